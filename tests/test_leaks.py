"""Hot calls repeated many times leave nothing behind: no references held on their inputs,
no growth in the interpreter's allocations (tracemalloc), none in resident memory.

CASES is the table: a name, a function building (call, inputs) once, and the calls per
round. The gateways add their request, push and event paths as further rows, and
THREAD_CASES rows (open, close) for the threads they must not leave behind after close.
"""
import gc
import os
import sys
import threading
import time
import tracemalloc
from datetime import datetime, timedelta

import numpy as np
import pandas as pd
import pytest

import leak_cases_futu_cel
import leak_cases_qmt
from kavrel_trader.core import bar_rollup as br
from kavrel_trader.core.constants import Direction, Exchange
from kavrel_trader.core.data import Bar
from kavrel_trader.core.deal import Deal
from kavrel_trader.core.security import Futures, Security, Stock
from kavrel_trader.gateways.cqg.cqg_commissions import CQGCommissions
from kavrel_trader.gateways.ib.ib_commissions import IbHKEquityFees
from kavrel_trader.gateways.qmt import kline_history as kh
from kavrel_trader.gateways.qmt import symbols
from kavrel_trader.gateways.qmt.qmt_commissions import QmtCommissionsCN
from kavrel_trader.plugins.analysis import metrics

CALLS = 3000          # calls per round of a small hot call
ALLOC_SLACK = 64_000  # bytes of tracemalloc noise allowed per round (caches, interned text)
RSS_SLACK = 8 << 20   # bytes of resident-memory noise allowed (allocator arenas)


def _bars(n=30):
    t0 = datetime(2024, 1, 2, 9, 30)
    return [Bar(datetime=t0 + timedelta(minutes=i), security="S", open=1.0, high=2.0, low=0.5,
                close=1.5, volume=10.0, num_trds=i or None) for i in range(n)]


def _df(n=600):
    t = pd.date_range("2024-01-02 09:30", periods=n, freq="min")
    return pd.DataFrame({"time_key": t, "open": 1.0, "high": 2.0, "low": 0.5, "close": 1.5,
                         "volume": 10.0})


def _case_security():
    code, name = "SH.600000", "PF Bank"
    other = Security(code, name, 100, Exchange.SSE)

    def call():
        s = Stock(code, name, 100, Exchange.SSE)
        hash(s), s == other, other == s, repr(s), {s: 1}[s]
        try:
            s == 5
            Security(code, name) == other  # exchange None: the rule's error
        except AttributeError:
            pass
    return call, [code, name, other]


def _case_symbols():
    code, sec = " sh.600000 ", Futures("SZ.000001", "x")

    def call():
        symbols.to_qmt_code(code), symbols.from_qmt_code(code), symbols.exchange_from_qmt_code(code)
        symbols.security_codes_for_lookup(sec)
        try:
            symbols.to_qmt_code(None)
        except TypeError:
            pass
    return call, [code, sec]


def _case_kline():
    records = [{"Time": "20240102093000", "open": "1.5", "Close": 2, "vol": None},
               {"time": 20240102, "close": "x", "last": 9.8}, 7, {"open": 0, "close": 0, "time": "2024-01-02"}]
    sec, when = Stock("SH.600000", "A"), datetime(2024, 3, 1, 15)

    def call():
        kh.records_to_bars(records, sec, True)
        kh._row_number(records[0], ["open", "close"], 1)
        kh.parse_qmt_bar_time("2024-01-02 09:30:00")
        kh.format_qmt_start_time(when, 480, "1Min"), kh.clamp_periods("1Min", 5, None)
        try:
            kh.qmt_period_for_freq("5min")
        except ValueError:
            pass
    return call, [records, records[0], sec, when]


def _case_bar_rollup():
    bars = _bars()

    def call():
        br.aggregate_1min_bars(bars, 5, require_full=False)
        br.maybe_req_aggregated_nmin("5Min", 2, lambda n: bars)
        br.parse_bar_freq("15 minutes")
        try:
            br.aggregate_1min_bars(bars, 7)
        except ValueError:
            pass
    return call, [bars, bars[0], bars[0].datetime]


def _case_bar_table():
    df = _df()

    def call():
        br.aggregate_1min_ohlcv_df(df, 5)
    return call, [df]


def _case_fees():
    deals = [Deal(filled_avg_price=10.5, filled_quantity=1000, direction=Direction.SHORT),
             Deal(filled_avg_price=3, filled_quantity=7, direction=Direction.LONG)]

    def call():
        QmtCommissionsCN(*deals), IbHKEquityFees(*deals), CQGCommissions(*deals)
        try:
            QmtCommissionsCN(object())
        except AttributeError:
            pass
    return call, deals + [deals[0].filled_avg_price]


def _case_metrics():
    r = np.linspace(-0.01, 0.02, 500)
    b = r[::-1].copy()
    pv = pd.Series(np.cumprod(1 + r))
    row = {"open_datetime": "2021-03-01 09:30:00", "close_datetime": "2021-03-01 10:45:30"}

    def call():
        metrics.sharpe_ratio(r), metrics.information_ratio(r, b), metrics.modigliani_ratio(r, b)
        metrics.holding_period(row), metrics.convert_time("09:47:12")
        metrics.percentile(50)(pv)
    return call, [r, b, pv, row]


def _case_drawdown():
    pv = np.cumprod(1 + np.sin(np.arange(5000)) / 100)

    def call():
        metrics.rolling_maximum_drawdown(pv, 252)
    return call, [pv]


# name -> (set-up, calls per round[, tracemalloc slack in bytes])
CASES = {
    "security": (_case_security, CALLS),
    "symbols": (_case_symbols, CALLS),
    "kline_history": (_case_kline, CALLS),
    "bar_rollup": (_case_bar_rollup, CALLS // 3),
    # pandas keeps caches of its own that grow with the calls on one frame (its own
    # resample grows alike, ~120 kB over 300 calls): allowed up to 512 kB here.
    "bar_rollup.table": (_case_bar_table, 100, 512_000),
    "fees": (_case_fees, CALLS),
    "metrics": (_case_metrics, 300),
    "metrics.drawdown": (_case_drawdown, 100),
}

# name -> set-up returning (open, close): open() starts the object's threads, close() ends them.
THREAD_CASES = {}

# The gateways' rows (request, push and event paths, and the threads close or Shutdown must
# end) are set up beside their stand-ins, in leak_cases_<gateway>.py.
for _gateway in (leak_cases_qmt, leak_cases_futu_cel):
    CASES.update(_gateway.CASES)
    THREAD_CASES.update(_gateway.THREAD_CASES)


# Under AddressSanitizer freed memory waits in a quarantine, so resident memory grows
# whatever the code does: the reference and tracemalloc checks still run there. The runtime
# is gcc's libasan or clang's libclang_rt.asan.
SANITIZED = "asan" in os.environ.get("LD_PRELOAD", "")


def rss():
    """Resident memory in bytes (Linux), or None where it cannot be read."""
    if SANITIZED:
        return None
    try:
        with open("/proc/self/statm") as f:
            return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")
    except (OSError, ValueError, AttributeError):
        return None


def settle():
    """Frees what is garbage and empties the interpreter's type attribute cache: that cache
    keeps the name of each lookup alive until another name takes its slot, so names built
    afresh on each call (an attribute named by a C string) would show as growth that stops
    only once the cache is full."""
    gc.collect()
    sys._clear_type_cache()


def growth(call, inputs, calls, rounds=2):
    """Runs a warm-up round of `calls` calls, then `rounds` measured rounds, and returns
    (growth of the inputs' reference counts over the measured rounds, the smallest growth of
    one measured round in tracemalloc bytes, the same in resident bytes). A leak grows in
    every round; a cache or free list filling up grows in one and then stops."""
    for _ in range(calls):
        call()
    settle()
    refs = [sys.getrefcount(x) for x in inputs]
    traced, resident = [], []
    tracemalloc.start()
    try:
        for _ in range(rounds):
            mem0, before = rss(), tracemalloc.get_traced_memory()[0]
            for _ in range(calls):
                call()
            settle()
            traced.append(tracemalloc.get_traced_memory()[0] - before)
            mem1 = rss()
            resident.append(mem1 - mem0 if mem0 is not None and mem1 is not None else 0)
    finally:
        tracemalloc.stop()
    extra = [sys.getrefcount(x) for x in inputs]  # measured the same way as `refs`
    extra = [a - b for a, b in zip(extra, refs)]
    return extra, min(traced), min(resident)


@pytest.mark.timeout(120)
@pytest.mark.parametrize("name", sorted(CASES))
def test_hot_calls_leave_nothing_behind(name):
    setup, calls, slack = (CASES[name] + (ALLOC_SLACK,))[:3]
    call, inputs = setup()
    refs, traced, resident = growth(call, inputs, calls)
    assert refs == [0] * len(inputs), "references held on the inputs: %s" % refs
    assert traced < slack, "tracemalloc grew by %d bytes in each round of %d calls" % (traced, calls)
    assert resident < RSS_SLACK, "resident memory grew by %d bytes in each round of %d calls" % (
        resident, calls)


@pytest.mark.timeout(60)
@pytest.mark.parametrize("name", sorted(THREAD_CASES))
def test_no_thread_left_after_close(name):
    before = set(threading.enumerate())
    open_, close = THREAD_CASES[name]()
    open_()
    close()
    deadline = time.monotonic() + 10
    while set(threading.enumerate()) - before and time.monotonic() < deadline:
        time.sleep(0.05)
    assert not set(threading.enumerate()) - before


# ---------------------------------------------------------------- the detector itself

_kept = []


@pytest.mark.parametrize("fault", ["reference", "object", "native"])
def test_the_checks_see_a_leak(fault):
    """Each of the three measures catches the kind of leak it is there for."""
    x = object()
    if fault == "reference":
        refs, _, _ = growth(lambda: _kept.append(x), [x], 500)
        assert refs[0] >= 500
    elif fault == "object":
        _, traced, _ = growth(lambda: _kept.append([0] * 20), [x], 500)
        assert traced > ALLOC_SLACK
    else:
        import ctypes
        if rss() is None:
            pytest.skip("no resident-memory reading on this platform")
        libc = ctypes.CDLL(None)
        libc.malloc.restype = ctypes.c_void_p

        def leak():  # memory the interpreter does not see, touched so it is resident
            p = libc.malloc(65536)
            ctypes.memset(p, 1, 65536)
        _, _, resident = growth(leak, [x], 300)
        assert resident > RSS_SLACK
    _kept.clear()
