"""Fixtures shared by the script suites: a work folder per test or module, and boards. A test's
work folders go when it passes; a failed test keeps them, and its report says where."""
import re
import shutil

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


def tidy(node, failed):
    """Removes the work folders made while it waits at its yield, unless `failed()` says otherwise."""
    node.made_from = len(propsim.MADE)
    yield
    made = propsim.MADE[node.made_from:]
    del propsim.MADE[node.made_from:]
    if not failed():
        for d in made:
            shutil.rmtree(d, ignore_errors=True)


@pytest.hookimpl(hookwrapper=True)
def pytest_runtest_makereport(item, call):
    report = (yield).get_result()
    if report.failed:
        item.failed = item.module.failed = True
        # The module's folders and the test's own, before either is tidied away.
        start = min(getattr(node, "made_from", len(propsim.MADE)) for node in (item.module, item))
        kept = propsim.MADE[start:]
        report.sections.append(("kept work folders", "\n".join(map(str, kept)) or "none"))


@pytest.fixture(scope="module", autouse=True)
def tidy_module(request):
    yield from tidy(request.module, lambda: getattr(request.module, "failed", False))


@pytest.fixture(autouse=True)
def tidy_test(request):
    yield from tidy(request.node, lambda: getattr(request.node, "failed", False))


def pytest_sessionfinish(session, exitstatus):
    # Everything skipped (no Wine here): tell ctest, which shows the file as not run.
    reporter = session.config.pluginmanager.get_plugin("terminalreporter")
    if exitstatus == 0 and reporter and reporter.stats.get("skipped") and not reporter.stats.get("passed"):
        session.exitstatus = 77
