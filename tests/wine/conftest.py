"""The Wine suites: each module runs in one Wine session of its own, or is skipped where Wine
cannot run."""
import subprocess

import pytest

import propsim
import wine


@pytest.fixture(scope="module", autouse=True)
def wine_session():
    reason = wine.available()
    if reason:
        pytest.skip(reason)
    wine.ensure_prefix()
    # A wineserver that stays up between the programs of a module.
    subprocess.run(["wineserver", "-p"], env=wine.env(), check=True, timeout=60)
    yield
    wine.kill_server()


@pytest.fixture(scope="module")
def com_board(wine_session):
    """Starts a simulated board (propsim switches) behind COM<com> of the prefix. Wine keeps a pty
    it has opened until its server has gone: the boards stop only after the module's Wine session."""
    started = []

    def start(com, *args):
        board = propsim.Propsim(*args, name=f"com{com}")
        wine.link_com(com, board.device)
        started.append((com, board))
        return board

    yield start
    wine.kill_server()
    for com, board in started:
        wine.unlink_com(com)
        board.stop()
