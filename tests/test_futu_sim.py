"""The Futu stand-in's simulated market and broker: calendars and sessions, instruments,
history pages, order checks, matching in parts over time, accounts kept apart."""
import math
from datetime import date, datetime, timedelta

import pytest

from kavrel_tools.futu_sim.broker import BrokerError, SimBroker
from kavrel_tools.futu_sim.market import FutuMarket, _expiry
from kavrel_tools.qmt_agent.clock import FixedClock

MON = datetime(2024, 3, 4, 10, 0, 30)          # a Monday
SIM_ACC, REAL_ACC, FUT_SIM_ACC = 8_001_001, 281756460001001, 8_002_001


@pytest.fixture
def market():
    return FutuMarket(seed=7)


@pytest.fixture
def broker(market):
    clock = FixedClock(MON)
    return SimBroker(market, clock, unlock_password_md5=None)


@pytest.mark.parametrize("code, day, count, first, last", [
    ("HK.00700", date(2024, 3, 4), 330, "09:30", "15:59"),
    ("HK.HSImain", date(2024, 3, 4), 375, "09:15", "16:29"),
    ("CC.BTCUSD", date(2024, 3, 4), 1440, "00:00", "23:59"),
    ("CC.BTCUSD", date(2024, 3, 9), 1440, "00:00", "23:59"),    # crypto trades on Saturday
    ("HK.00700", date(2024, 3, 9), 0, None, None),              # stocks do not
])
def test_sessions_and_gaps(market, code, day, count, first, last):
    inst = market.instrument(code, day)
    start = datetime.combine(day, datetime.min.time())
    rows, more = market.minute_bars(inst, start, start + timedelta(hours=23, minutes=59),
                                    start + timedelta(days=2), 5000)
    assert len(rows) == count and more is None
    if count:
        times = [r[0][11:16] for r in rows]
        assert (times[0], times[-1]) == (first, last)
        assert not any("12:00" <= t < "13:00" for t in times) or inst.kind == "crypto"
        assert all(r[3] <= min(r[1], r[4]) and r[2] >= max(r[1], r[4]) for r in rows)


@pytest.mark.parametrize("code, today, trade_code, lot", [
    ("HK.00005", date(2024, 3, 4), "HK.00005", 400),
    ("HK.12345", date(2024, 3, 4), "HK.12345", 100),          # not in the table: 100 shares
    ("HK.HSImain", date(2024, 3, 4), "HK.HSI2403", 1),
    ("HK.HSImain", _expiry(2024, 3) + timedelta(days=1), "HK.HSI2404", 1),   # after expiry
    ("HK.MHI2406", date(2024, 3, 4), "HK.MHI2406", 1),
    ("CC.ETHUSD", date(2024, 3, 4), "CC.ETHUSD", 0.00001),
    ("HK.HSI2402", date(2024, 3, 4), None, None),             # expired month
    ("HK.0070", date(2024, 3, 4), None, None),
    ("US.AAPL", date(2024, 3, 4), None, None),
])
def test_instruments(market, code, today, trade_code, lot):
    inst = market.instrument(code, today)
    assert (inst.trade_code, inst.lot) == (trade_code, lot) if trade_code else inst is None


def test_pages_join_into_the_whole_history_and_agree_with_live_prices(market):
    inst = market.instrument("HK.00700", MON.date())
    begin = datetime(2024, 2, 26)
    whole, _ = market.minute_bars(inst, begin, MON, MON, 100_000)
    pages, start = [], begin
    while start is not None:
        rows, start = market.minute_bars(inst, start, MON, MON, 500)
        pages += rows
    assert pages == whole and len(whole) == 5 * 330 + 31
    # a finished bar's close is the traded price at the end of its minute
    st = market.state(inst, datetime(2024, 3, 4, 9, 45))
    bar = next(r for r in whole if r[0] == "2024-03-04 09:44:00")
    assert bar[4] == st["last"]
    assert FutuMarket(seed=7).minute_bars(inst, begin, MON, MON, 100)[0] == whole[:100]


@pytest.mark.parametrize("acc, code, side, kind, qty, price, message", [
    (SIM_ACC, "HK.00700", "BUY", "NORMAL", 150, 380.0, "board lots"),
    (SIM_ACC, "HK.00700", "BUY", "NORMAL", 100, 380.1, "price step"),
    (SIM_ACC, "HK.00700", "SELL", "NORMAL", 100, 380.0, "insufficient position"),
    (SIM_ACC, "HK.00700", "BUY", "NORMAL", 100_000, 380.0, "insufficient buying power"),
    (SIM_ACC, "HK.HSImain", "BUY", "NORMAL", 1, 17000.0, "unknown security"),
    (REAL_ACC, "HK.00700", "BUY", "NORMAL", 100, 380.0, "unlock"),
    (FUT_SIM_ACC, "HK.HSImain", "BUY", "NORMAL", 1.5, 17000.0, "whole number of contracts"),
    (FUT_SIM_ACC, "HK.HSImain", "BUY", "NORMAL", math.inf, 17000.0, "must be positive"),
    (FUT_SIM_ACC, "HK.HSImain", "BUY", "NORMAL", 1, math.inf, "positive price"),
])
def test_refused_orders(broker, acc, code, side, kind, qty, price, message):
    acct = broker.accounts[acc]
    with pytest.raises(BrokerError, match=message):
        broker.place(acct, code, side, kind, qty, price)
    assert not acct.orders


@pytest.mark.parametrize("code, qty, price, message", [
    ("HK.00700", 150, 200.0, "board lots"),
    ("HK.00700", 200, 200.1, "price step"),
    ("HK.HSImain", math.inf, 16000.0, "must be positive"),      # would fill without end
    ("HK.HSImain", 2, math.nan, "positive price"),
])
def test_a_modification_is_checked_like_a_new_order(broker, code, qty, price, message):
    acct = broker.accounts[SIM_ACC if code == "HK.00700" else FUT_SIM_ACC]
    order, _ = broker.place(acct, code, "BUY", "NORMAL", 100 if code == "HK.00700" else 1,
                            200.0 if code == "HK.00700" else 16000.0)
    with pytest.raises(BrokerError, match=message):
        broker.modify(order, qty, price)
    assert (order.qty, order.status) == (100 if code == "HK.00700" else 1, "SUBMITTED")


def test_market_orders_outside_sessions_are_refused(broker):
    broker.clock.set(datetime(2024, 3, 4, 12, 30))
    with pytest.raises(BrokerError, match="during trading sessions"):
        broker.place(broker.accounts[SIM_ACC], "HK.00700", "BUY", "MARKET", 100, 0.0)


def test_an_order_fills_in_parts_over_seconds_and_only_its_account_changes(broker, market):
    acct, real = broker.accounts[SIM_ACC], broker.accounts[REAL_ACC]
    inst = market.instrument("HK.00700", MON.date())
    _, asks = market.book(inst, market.state(inst, MON), MON)
    order, _ = broker.place(acct, "HK.00700", "BUY", "NORMAL", 6000, asks[0][0] + 1.0)
    assert broker.match(MON) == []                        # not in the second it was placed
    parts = []
    for s in range(1, 40):
        events = broker.match(MON + timedelta(seconds=s))
        parts += [e[1] for e in events if e[0] == "fill"]
        if order.status == "FILLED_ALL":
            break
    assert order.status == "FILLED_ALL" and len(parts) >= 3
    assert sum(f.qty for f in parts) == order.filled == 6000
    assert all(f.qty <= 600 and f.price <= order.price for f in parts)   # one level at most
    assert acct.positions["HK.00700"].qty == 6000
    assert acct.cash < 5_000_000 - 6000 * order.avg_price
    assert (real.cash, real.positions) == (5_000_000.0, {})


def test_cancel_and_end_of_day(broker, market):
    acct = broker.accounts[SIM_ACC]
    low, _ = broker.place(acct, "HK.00700", "BUY", "NORMAL", 100, 200.0)
    broker.cancel(low)
    assert low.status == "CANCELLED_ALL"
    with pytest.raises(BrokerError, match="already CANCELLED_ALL"):
        broker.cancel(low)
    late, _ = broker.place(acct, "HK.00700", "BUY", "NORMAL", 100, 200.0)
    events = broker.match(datetime(2024, 3, 4, 16, 0, 1))
    assert late.status == "CANCELLED_ALL" and events[0][1].status == "CANCELLED_ALL"
