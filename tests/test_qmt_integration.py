"""The native QMT gateway and bridge client against the simulator, over a real Redis server."""
import time
import uuid
from datetime import datetime, timedelta

import pytest

from kavrel_trader.core.constants import Direction, Exchange, OrderStatus, OrderType
from kavrel_trader.core.order import Order
from kavrel_trader.core.security import Stock
from kavrel_tools.qmt_agent import FixedClock, simulator

qmt_adapter = pytest.importorskip("kavrel_trader.gateways.qmt.qmt_adapter")

pytestmark = pytest.mark.timeout(60)

MARKET_OPEN = datetime(2024, 3, 1, 10, 0)        # a Friday, continuous trading


def _secs():
    return [Stock("SH.600000", "Pudong Bank", lot_size=100, exchange=Exchange.SSE),
            Stock("SZ.000001", "Ping An Bank", lot_size=100, exchange=Exchange.SZSE)]


@pytest.fixture
def market(redis_server, monkeypatch, capsys):
    """A running simulator on a frozen clock and a gateway connected to it."""
    prefix = "it:" + uuid.uuid4().hex[:8]
    clock = FixedClock(MARKET_OPEN)
    url = f"redis://{redis_server.host}:{redis_server.port}/5"
    agent = simulator(url, seed=7, clock=clock, key_prefix=prefix, allow_orders=True).start()
    cfg = {"redis_host": redis_server.host, "redis_port": redis_server.port, "redis_db": 5,
           "key_prefix": prefix, "rpc_timeout": 5.0, "allow_orders": True}
    monkeypatch.setitem(qmt_adapter.GATEWAYS, "QmtIT", cfg)
    gw = None
    try:
        gw = qmt_adapter.QmtAdapter(_secs(), gateway_name="QmtIT")
        yield gw, agent, clock, cfg
    finally:
        if gw is not None:
            gw.close()
        agent.stop()


def _wait(cond, timeout=5.0):
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        if cond():
            return True
        time.sleep(0.02)
    return cond()


def test_connect_pings_and_takes_a_snapshot(market, capsys):
    gw, *_ = market
    out = capsys.readouterr().out
    assert out.startswith("QMT Redis bridge ping ok: {")
    for sec in gw.securities:
        q = gw.get_quote(sec)
        assert q.last_price > 0 and 0 < q.bid_price < q.ask_price
        assert q.price_spread == pytest.approx(q.ask_price - q.bid_price)
        book = gw.get_orderbook(sec)
        bids = [getattr(book, f"bid_price_{i}") for i in range(1, 6)]
        asks = [getattr(book, f"ask_price_{i}") for i in range(1, 6)]
        assert bids == sorted(bids, reverse=True) and asks == sorted(asks)
        assert bids[0] == q.bid_price and asks[0] == q.ask_price
        assert gw.get_recent_bar(sec).close == q.last_price


def test_security_lookup_by_any_code_form(market):
    gw, *_ = market
    sec = gw.securities[0]
    for code in ("SH.600000", "sh.600000", "600000.SH"):
        assert gw.get_security(code) is sec
    assert gw.get_security("SZ.300750") is None


@pytest.mark.parametrize("freq, periods, step_s", [("1Min", 30, 60), ("1Day", 5, 86400)])
def test_native_history_ends_before_now_in_time_order(market, freq, periods, step_s):
    gw, *_ = market
    bars = gw.req_historical_bars(gw.securities[0], periods, freq, cur_datetime=MARKET_OPEN)
    assert len(bars) == periods
    times = [b.datetime for b in bars]
    assert times == sorted(times) and times[-1] <= MARKET_OPEN
    assert all(b.low <= min(b.open, b.close) <= max(b.open, b.close) <= b.high for b in bars)


def test_five_minute_bars_roll_up_from_one_minute_history(market):
    gw, *_ = market
    bars = gw.req_historical_bars(gw.securities[1], 3, "5Min", cur_datetime=MARKET_OPEN)
    assert len(bars) == 3
    assert [(b.datetime - a.datetime).total_seconds() for a, b in zip(bars, bars[1:])] == [300, 300]
    ones = gw.req_historical_bars(gw.securities[1], 30, "1Min", cur_datetime=MARKET_OPEN)
    first = bars[0].datetime - (bars[1].datetime - bars[0].datetime) + timedelta(minutes=1)
    covered = [b for b in ones if first <= b.datetime <= bars[-1].datetime]
    assert len(covered) == 15
    assert sum(b.volume for b in covered) == sum(b.volume for b in bars) > 0
    assert max(b.high for b in covered) == max(b.high for b in bars)


def test_limit_order_fills_and_a_resting_one_is_cancelled(market):
    gw, agent, clock, cfg = market
    sec = gw.securities[0]
    q = gw.get_quote(sec)
    crossing = Order(security=sec, price=q.ask_price, quantity=200, direction=Direction.LONG,
                     order_type=OrderType.LIMIT)
    ref = gw.place_order(crossing)
    assert len(ref) == 32 and crossing.orderid == ref
    assert gw.orders.get(ref) is crossing and crossing.status == OrderStatus.SUBMITTED
    resting = Order(security=sec, price=round(q.bid_price * 0.9, 2), quantity=100,
                    direction=Direction.LONG, order_type=OrderType.LIMIT, orderid="mine-1")
    assert gw.place_order(resting) == "mine-1"
    gw.cancel_order("mine-1")
    assert resting.status == OrderStatus.CANCELLED
    # The agent's events reach the gateway's store on the event thread.
    assert _wait(lambda: resting.updated_time is not None and crossing.updated_time is not None)
    held = {p.security: p for p in gw.get_all_broker_positions()}
    assert held[sec].quantity == 200 and held[sec].direction == Direction.LONG
    assert gw.get_broker_position(sec, Direction.LONG).quantity == 200
    assert gw.get_broker_position(gw.securities[1], Direction.LONG) is None
    bal = gw.get_broker_balance()
    assert 0 < bal.available_cash == bal.net_cash_power < 1_000_000.0


def test_market_order_when_the_agent_refuses_orders(market, capsys):
    gw, agent, clock, cfg = market
    agent.allow_orders = False
    order = Order(security=gw.securities[1], price=None, quantity=100,
                  direction=Direction.LONG, order_type=OrderType.MARKET)
    assert gw.place_order(order) == ""
    assert order.status == OrderStatus.FAILED
    assert "[QMT] place_order failed: " in capsys.readouterr().out


def test_gateway_switch_off_sends_nothing(market, monkeypatch, capsys):
    gw, agent, clock, cfg = market
    monkeypatch.setitem(cfg, "allow_orders", False)
    order = Order(security=gw.securities[0], price=10.0, quantity=100,
                  direction=Direction.SHORT, order_type=OrderType.LIMIT)
    assert gw.place_order(order) == "" and order.status is None
    assert "[QMT] place_order blocked: " in capsys.readouterr().out
