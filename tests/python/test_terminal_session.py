"""The bundled terminal, started and found by the module: session functions,
login outcomes, settings."""

import calendar
import os
import signal
import time

from test_terminal_helpers import install, ok, roaming  # noqa: F401  fixtures

import zelkor5
import zelkor5.terminal
from zelkor5.terminal import DEMO_LOGIN, DEMO_PASSWORD, DEMO_SERVER, configure_replay


def test_initialize_with_a_path_starts_the_terminal(install):
    inst = install()
    assert inst.pids() == []
    assert inst.initialize(), zelkor5.last_error()
    assert zelkor5.last_error() == (1, "Success")
    assert len(inst.pids()) == 1
    major, build, date = zelkor5.version()
    assert (major, build) == (500, 4410) and date
    info = ok(zelkor5.terminal_info())
    assert info.build == 4410 and info.connected and not info.tradeapi_disabled
    assert info.path == inst.dir
    assert info.data_path == inst.dir  # portable: data beside the executable
    acc = ok(zelkor5.account_info())
    assert acc.login == DEMO_LOGIN and acc.server == DEMO_SERVER and acc.currency == "USD"
    # A second initialize finds it serving and starts nothing more.
    assert inst.initialize()
    assert len(inst.pids()) == 1


def test_initialize_without_a_path_finds_and_starts_the_last_used_installation(install, roaming):
    older = install(portable=False, settings="IdleExit=1\n", name="older")
    newer = install(portable=False, settings="IdleExit=1\n", name="newer")
    assert older.initialize()
    zelkor5.shutdown()
    time.sleep(0.05)
    assert newer.initialize()
    zelkor5.shutdown()
    assert older.wait_gone() and newer.wait_gone()
    folders = sorted(os.listdir(os.path.join(str(roaming), "Brundel", "Terminal")))
    assert len([f for f in folders if f != "Common"]) == 2
    # Nothing runs now; the search picks the newer one and starts it.
    assert zelkor5.initialize(), zelkor5.last_error()
    assert ok(zelkor5.terminal_info()).path == newer.dir
    assert newer.pids() and not older.pids()


def test_search_starts_a_portable_installation_with_portable(install, roaming):
    inst = install(settings="IdleExit=1\n")
    assert inst.initialize()
    zelkor5.shutdown()
    assert inst.wait_gone()
    assert zelkor5.initialize(), zelkor5.last_error()
    info = ok(zelkor5.terminal_info())
    assert info.data_path == inst.dir
    pid = inst.pids()[0]
    with open("/proc/%d/cmdline" % pid, "rb") as f:
        assert f.read().split(b"\0")[1] == b"/portable"


def test_login_outcomes(install):
    inst = install()
    assert inst.initialize(login=DEMO_LOGIN, password=DEMO_PASSWORD, server=DEMO_SERVER)
    assert not zelkor5.login(DEMO_LOGIN, "wrong")
    assert zelkor5.last_error() == (-6, "Terminal: Authorization failed")
    # The refused login leaves the account logged in, as a real terminal does.
    assert ok(zelkor5.account_info()).login == DEMO_LOGIN
    assert zelkor5.symbol_info_tick("EURUSD") is not None
    assert not zelkor5.login(DEMO_LOGIN + 1, DEMO_PASSWORD)
    assert zelkor5.last_error() == (
        -7,
        "Unsupported authorization mode, OTP or certificate password needed",
    )
    assert zelkor5.login(DEMO_LOGIN, DEMO_PASSWORD, DEMO_SERVER), zelkor5.last_error()
    assert ok(zelkor5.account_info()).login == DEMO_LOGIN
    # initialize with a wrong password fails through state 3 and disconnects.
    assert not inst.initialize(login=DEMO_LOGIN, password="nope")
    assert zelkor5.last_error() == (-6, "Terminal: Authorization failed")
    assert zelkor5.account_info() is None
    assert zelkor5.last_error()[0] == -10004
    assert not inst.initialize(login=DEMO_LOGIN + 1, password=DEMO_PASSWORD)
    assert zelkor5.last_error()[0] == -7


def test_saved_accounts_log_in_without_a_password(install):
    inst = install()
    netting = DEMO_LOGIN + 2  # saved in accounts.dat, on the demo server
    assert inst.initialize(login=netting), zelkor5.last_error()
    acc = ok(zelkor5.account_info())
    assert (acc.login, acc.server, acc.margin_mode) == (netting, DEMO_SERVER, 0)
    assert zelkor5.login(DEMO_LOGIN), zelkor5.last_error()
    assert ok(zelkor5.account_info()).login == DEMO_LOGIN
    # Unknown without a password, or saved on another server: refused, and
    # the account in use stays.
    for args in ((424242,), (netting, "", "Other-Server")):
        assert not zelkor5.login(*args)
        assert zelkor5.last_error() == (-6, "Terminal: Authorization failed")
        assert ok(zelkor5.account_info()).login == DEMO_LOGIN
    assert zelkor5.login(netting, server=DEMO_SERVER), zelkor5.last_error()
    assert ok(zelkor5.account_info()).login == netting
    assert not inst.initialize(login=424242)
    assert zelkor5.last_error() == (-6, "Terminal: Authorization failed")


def test_replay_settings_reach_a_terminal_whose_path_lower_cases_unusually(install):
    """The data folder is named after the lower-cased installation path: the
    terminal maps U+0130 to "i" (one unit for one, unlike str.lower()) and
    leaves a character outside the BMP alone; configure_replay writes where
    the terminal reads."""
    inst = install(portable=False, name="\u0130stanbul \u03a3\U00010400")
    assert zelkor5.terminal.data_path(inst.exe) is None  # never started
    configure_replay("2024-03-05 00:40", step=60000, path=inst.exe, portable=False)
    assert inst.initialize(), zelkor5.last_error()
    assert (
        ok(zelkor5.terminal_info()).data_path
        == zelkor5.terminal.data_path(inst.exe)
        == inst.data_dir()
    )
    start = calendar.timegm((2024, 3, 5, 0, 40, 0))
    assert start <= ok(zelkor5.symbol_info_tick("EURUSD")).time < start + 3600


def test_a_login_delay_is_waited_for_and_can_time_out(install):
    inst = install(settings="IdleExit=3\nLoginDelay=400\n")
    start = time.monotonic()
    assert inst.initialize(login=DEMO_LOGIN, password=DEMO_PASSWORD)
    assert time.monotonic() - start >= 0.35
    assert not inst.initialize(login=DEMO_LOGIN, password=DEMO_PASSWORD, timeout=1)
    assert zelkor5.last_error() == (-10005, "IPC timeout")


def test_an_old_build_and_trading_switched_off(install):
    inst = install(settings="IdleExit=3\nBuild=2363\nTradeApi=0\n")
    assert inst.initialize()
    assert zelkor5.symbols_total() is None
    assert zelkor5.last_error()[0] == -5
    info = ok(zelkor5.symbol_info("EURUSD"))
    assert info.name == "EURUSD" and info.digits == 5
    assert ok(zelkor5.terminal_info()).tradeapi_disabled
    request = {"action": 1, "symbol": "BTCUSD", "volume": 0.01, "type": 0}
    assert zelkor5.order_send(request) is None
    assert zelkor5.last_error() == (-8, "Auto-Trading using Python API disabled in Terminal")
    assert ok(zelkor5.order_check(request)).retcode == 0


def test_sigterm_saves_and_leaves(install):
    inst = install(settings="IdleExit=120\n")
    assert inst.initialize()
    ok(zelkor5.symbol_select("XPTUSD", True))
    inst.signal(signal.SIGTERM)
    assert inst.wait_gone()
    with open(os.path.join(inst.dir, "config", "symbols.dat")) as f:
        assert "XPTUSD" in f.read().split()
    # The first call finds the pipe broken, the next one no connection.
    assert zelkor5.account_info() is None
    assert zelkor5.last_error()[0] in (-10001, -10002)
    assert zelkor5.account_info() is None
    assert zelkor5.last_error()[0] == -10004
