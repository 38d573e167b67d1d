"""Fixtures shared by the script suites: a work folder per test or module, and boards."""
import re

import pytest

import propsim


@pytest.fixture
def work(request):
    return propsim.work_dir(re.sub(r"\W+", "-", request.node.name)[:60])


@pytest.fixture(scope="module")
def module_work(request):
    return propsim.work_dir(request.module.__name__)


@pytest.fixture
def boards():
    """Starts simulated boards (propsim switches) on demand; stops them after the test."""
    started = []

    def start(*args, name="board"):
        started.append(propsim.Propsim(*args, name=name))
        return started[-1]

    yield start
    for board in started:
        board.stop()


def pytest_sessionfinish(session, exitstatus):
    # Everything skipped (no Wine here): tell ctest, which shows the file as not run.
    reporter = session.config.pluginmanager.get_plugin("terminalreporter")
    if exitstatus == 0 and reporter and reporter.stats.get("skipped") and not reporter.stats.get("passed"):
        session.exitstatus = 77
