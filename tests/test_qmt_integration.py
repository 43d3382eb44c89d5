"""The native QMT gateway and bridge client against both agent backends, over a real Redis server.

``sim`` is the simulated market on a frozen clock. ``xtquant`` is the terminal-SDK backend with
the SDK's data and trading modules replaced by the stand-ins of tests/fakes; the stand-ins are
loaded with the simulator's own ticks and bars for the same clock, and a small exchange fills
orders the way the simulator does (market orders and crossing limit orders at the best
opposite price), so the same assertions hold for both.
"""
import threading
import uuid
from datetime import datetime, timedelta

import pytest

from kavrel_trader.core.constants import Direction, Exchange, OrderStatus, OrderType
from kavrel_trader.core.order import Order
from kavrel_trader.core.security import Stock
from fakes.qmt_agents import xtquant_backend
from kavrel_tools.qmt_agent import FixedClock, QmtAgent, SimBackend, simulator
from kavrel_tools.qmt_agent import core as agent_core
from qmt_wire import wait_for

qmt_adapter = pytest.importorskip("kavrel_trader.gateways.qmt.qmt_adapter")

pytestmark = pytest.mark.timeout(60)

MARKET_OPEN = datetime(2024, 3, 1, 10, 0)        # a Friday, continuous trading
CASH = 1_000_000.0
ACCOUNT = "8800001"


def _secs():
    return [Stock("SH.600000", "Pudong Bank", lot_size=100, exchange=Exchange.SSE),
            Stock("SZ.000001", "Ping An Bank", lot_size=100, exchange=Exchange.SZSE)]


class Terminal:
    """The SDK stand-ins loaded from a simulator on the same clock, plus an exchange that fills
    market orders and crossing limit orders whole at the best opposite price and keeps the
    account (cash, positions) the trader's queries return."""

    def __init__(self, xtdata, xttrader, xtc, xttype, clock):
        self.data, self.trade = xtdata.STATE, xttrader.STATE
        self.xtc, self.xttype = xtc, xttype
        self.lock = threading.Lock()
        self.cash = CASH
        self.held = {}                       # code -> [volume, cost]
        self.sim = sim = SimBackend(seed=7, clock=clock)
        codes = ["600000.SH", "000001.SZ"]
        self.refresh_ticks()
        fields = ["open", "high", "low", "close", "volume", "amount"]
        for period, start in (("1m", "20240226"), ("1d", "20231101")):
            bars = sim.op_get_market_data_ex({"codes": codes, "period": period, "fill_data": False,
                                              "start_time": start, "fields": fields})
            for code in codes:
                # What the terminal has locally: the last days; older bars need a download.
                self.data.remote[(code, period)] = bars[code]
                self.data.local[(code, period)] = bars[code][-60:]
        self.trade.exchange = self.exchange
        self._sync()

    def refresh_ticks(self):
        """The terminal's ticks at the clock's time (after the test moved it)."""
        self.data.ticks.update(self.sim.op_get_full_tick({"codes": ["600000.SH", "000001.SZ"]}))

    def exchange(self, trader, order):
        tick = self.data.ticks[order.stock_code]
        buy = order.order_type == self.xtc.STOCK_BUY
        best = tick["askPrice"][0] if buy else tick["bidPrice"][0]
        market = order.price_type != self.xtc.FIX_PRICE
        if not (market or (order.price >= best if buy else order.price <= best)):
            return
        with self.lock:
            vol, cost = self.held.get(order.stock_code, [0, 0.0])
            amount = best * order.order_volume
            if buy:
                self.cash -= amount + max(5.0, amount * 0.0003)
                cost = (cost * vol + amount) / (vol + order.order_volume)
                vol += order.order_volume
            else:
                self.cash += amount
                vol -= order.order_volume
            self.held[order.stock_code] = [vol, cost]
            self._sync()
        trader._later(trader.fill, order.order_id, best)     # after the push of the placing

    def _sync(self):
        value = 0.0
        positions = []
        for code, (vol, cost) in self.held.items():
            if vol:
                last = self.data.ticks[code]["lastPrice"]
                value += last * vol
                positions.append(self.xttype.XtPosition(
                    ACCOUNT, code, vol, 0, cost, last * vol, 0, 0, 0, cost,
                    self.xtc.DIRECTION_FLAG_LONG, last, 0.0, "A1", code))
        self.trade.positions = positions
        self.trade.asset = self.xttype.XtAsset(ACCOUNT, round(self.cash, 2), 0.0, value,
                                               self.cash + value, self.cash)


class Market:
    def __init__(self, kind, gw, agent, cfg, clock, terminal=None):
        self.kind, self.gw, self.agent, self.cfg = kind, gw, agent, cfg
        self.clock, self.terminal = clock, terminal

    def restart_agent(self):
        """Stop the agent and start a new one on the same prefix. The simulator's market and
        account live in its backend, which the new agent takes over; the SDK backend starts
        afresh, as a new agent process next to the same terminal would."""
        old = self.agent
        old.stop()
        backend = old.backend if self.kind == "sim" else _xt_backend(self.clock)
        self.agent = QmtAgent(backend, old.redis_url, key_prefix=old.key_prefix,
                              allow_orders=True, account_id=old.account_id, workers=2).start()
        if self.kind != "sim":
            assert wait_for(lambda: backend.connected)


def _xt_backend(clock):
    return xtquant_backend(clock)


def _make_agent(kind, url, prefix, clock):
    if kind == "sim":
        return simulator(url, seed=7, clock=clock, key_prefix=prefix, allow_orders=True), None
    xtc = pytest.importorskip("xtquant.xtconstant")
    xttype = pytest.importorskip("xtquant.xttype")
    from fakes import xtdata as fake_xtdata
    from fakes import xttrader as fake_xttrader
    fake_xtdata.STATE.reset()
    fake_xttrader.STATE.reset()
    terminal = Terminal(fake_xtdata, fake_xttrader, xtc, xttype, clock)
    agent = QmtAgent(_xt_backend(clock), url, key_prefix=prefix, allow_orders=True, account_id=ACCOUNT,
                     workers=2)
    return agent, terminal


@pytest.fixture(params=["sim", "xtquant"])
def market(request, redis_server, monkeypatch, capsys):
    """A running agent of either backend on a frozen clock and a gateway connected to it."""
    if not redis_server.running:
        redis_server.start()
    prefix = "it:" + uuid.uuid4().hex[:8]
    clock = FixedClock(MARKET_OPEN)
    url = f"redis://{redis_server.host}:{redis_server.port}/5"
    agent, terminal = _make_agent(request.param, url, prefix, clock)
    agent.start()
    cfg = {"redis_host": redis_server.host, "redis_port": redis_server.port, "redis_db": 5,
           "key_prefix": prefix, "rpc_timeout": 5.0, "allow_orders": True}
    monkeypatch.setitem(qmt_adapter.GATEWAYS, "QmtIT", cfg)
    gw = None
    try:
        if terminal is not None:
            assert wait_for(lambda: agent.backend.connected)
        gw = qmt_adapter.QmtAdapter(_secs(), gateway_name="QmtIT")
        m = Market(request.param, gw, agent, cfg, clock, terminal)
        yield m
        agent = m.agent
    finally:
        if gw is not None:
            gw.close()
        agent.stop()
        if terminal is not None:
            for trader in terminal.trade.traders:
                if trader.executor is not None:
                    trader.executor.shutdown(wait=True)


def test_connect_pings_and_takes_a_snapshot(market, capsys):
    gw = market.gw
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
        assert all(getattr(book, f"{side}_volume_{i}") > 0
                   for side in ("bid", "ask") for i in range(1, 6))
        assert gw.get_recent_bar(sec).close == q.last_price


def test_quotes_follow_the_market_on_refresh(market):
    gw = market.gw
    before = [gw.get_quote(sec).last_price for sec in gw.securities]
    market.clock.advance(minutes=30)
    if market.terminal is not None:
        market.terminal.refresh_ticks()
    assert [gw.get_quote(sec).last_price for sec in gw.securities] == before   # stored
    for sec in gw.securities:
        bar = gw.get_recent_bar(sec)                 # refreshes every quote from the agent
        assert gw.get_quote(sec).last_price == bar.close
    after = [gw.get_quote(sec).last_price for sec in gw.securities]
    assert after != before
    assert gw.get_orderbook(gw.securities[0]).bid_price_1 == gw.get_quote(gw.securities[0]).bid_price


def test_security_lookup_by_any_code_form(market):
    gw = market.gw
    sec = gw.securities[0]
    for code in ("SH.600000", "sh.600000", "600000.SH"):
        assert gw.get_security(code) is sec
    assert gw.get_security("SZ.300750") is None


@pytest.mark.parametrize("freq, periods, step_s", [("1Min", 30, 60), ("1Day", 5, 86400),
                                                   ("1Day", 80, 86400)])
def test_native_history_ends_before_now_in_time_order(market, freq, periods, step_s):
    gw = market.gw
    bars = gw.req_historical_bars(gw.securities[0], periods, freq, cur_datetime=MARKET_OPEN)
    assert len(bars) == periods
    times = [b.datetime for b in bars]
    assert times == sorted(times) and times[-1] <= MARKET_OPEN
    assert len(set(times)) == periods
    assert min(b - a for a, b in zip(times, times[1:])) >= timedelta(seconds=step_s)
    assert all(b.low <= min(b.open, b.close) <= max(b.open, b.close) <= b.high for b in bars)


def test_five_minute_bars_roll_up_from_one_minute_history(market):
    gw = market.gw
    bars = gw.req_historical_bars(gw.securities[1], 3, "5Min", cur_datetime=MARKET_OPEN)
    assert len(bars) == 3
    assert [(b.datetime - a.datetime).total_seconds() for a, b in zip(bars, bars[1:])] == [300, 300]
    ones = gw.req_historical_bars(gw.securities[1], 30, "1Min", cur_datetime=MARKET_OPEN)
    first = bars[0].datetime - (bars[1].datetime - bars[0].datetime) + timedelta(minutes=1)
    covered = [b for b in ones if first <= b.datetime <= bars[-1].datetime]
    assert len(covered) == 15
    assert sum(b.volume for b in covered) == sum(b.volume for b in bars) > 0
    assert max(b.high for b in covered) == max(b.high for b in bars)
    assert min(b.low for b in covered) == min(b.low for b in bars)
    assert [b.close for b in bars] == [covered[i].close for i in (4, 9, 14)]


def _held(gw):
    return {p.security: p.quantity for p in gw.get_all_broker_positions()}


def test_limit_order_fills_and_a_resting_one_is_cancelled(market):
    gw = market.gw
    sec = gw.securities[0]
    q = gw.get_quote(sec)
    crossing = Order(security=sec, price=q.ask_price, quantity=200, direction=Direction.LONG,
                     order_type=OrderType.LIMIT)
    ref = gw.place_order(crossing)
    assert len(ref) == 32 and crossing.orderid == ref and gw.orders.get(ref) is crossing
    resting = Order(security=sec, price=round(q.bid_price * 0.9, 2), quantity=100,
                    direction=Direction.LONG, order_type=OrderType.LIMIT, orderid="mine-1")
    assert gw.place_order(resting) == "mine-1"
    gw.cancel_order("mine-1")
    assert resting.status == OrderStatus.CANCELLED
    # Place and cancel stamp the orders; events are checked by _events_flow.
    assert wait_for(lambda: resting.updated_time is not None and crossing.updated_time is not None)
    assert wait_for(lambda: crossing.status == OrderStatus.FILLED)
    assert (crossing.filled_quantity, crossing.filled_avg_price) == (200, q.ask_price)
    assert _deals_of(gw, ref) == [(200, q.ask_price)]
    assert wait_for(lambda: _held(gw).get(sec) == 200)
    held = {p.security: p for p in gw.get_all_broker_positions()}
    assert held[sec].direction == Direction.LONG
    assert gw.get_broker_position(sec, Direction.LONG).quantity == 200
    assert gw.get_broker_position(gw.securities[1], Direction.LONG) is None
    bal = gw.get_broker_balance()
    spent = 200 * q.ask_price
    assert 0 < bal.available_cash == bal.net_cash_power < CASH - spent
    assert bal.available_cash > CASH - spent - 100.0             # a fee, not more


def test_market_order_fills_at_the_best_ask(market):
    gw = market.gw
    sec = gw.securities[1]
    q = gw.get_quote(sec)
    order = Order(security=sec, price=None, quantity=300, direction=Direction.LONG,
                  order_type=OrderType.MARKET)
    ref = gw.place_order(order)
    assert ref and wait_for(lambda: order.status == OrderStatus.FILLED)
    assert _deals_of(gw, ref) == [(300, q.ask_price)] and order.filled_quantity == 300
    assert wait_for(lambda: _held(gw).get(sec) == 300)
    assert gw.get_broker_balance().available_cash < CASH - 300 * q.ask_price


def _deals_of(gw, ref):
    return sorted((d.filled_quantity, d.filled_avg_price) for d in list(gw.deals.queue.values())
                  if d.orderid == ref)


def test_a_large_market_order_fills_in_parts_and_books_each_fill(market):
    if market.kind != "sim":
        pytest.skip("the SDK stand-in fills whole orders")
    gw = market.gw
    sec = gw.securities[1]
    book = gw.get_orderbook(sec)
    shown = sum(getattr(book, f"ask_volume_{i}") for i in range(1, 6)) * 100
    order = Order(security=sec, price=None, quantity=shown + 2000, direction=Direction.LONG,
                  order_type=OrderType.MARKET)
    ref = gw.place_order(order)
    assert ref and wait_for(lambda: order.status == OrderStatus.PART_FILLED)
    assert 0 < order.filled_quantity < order.quantity
    market.clock.set(MARKET_OPEN + timedelta(minutes=2))
    assert wait_for(lambda: order.status == OrderStatus.FILLED, 10)
    deals = _deals_of(gw, ref)
    assert len(deals) > 5 and len({p for _, p in deals}) > 1
    assert sum(q for q, _ in deals) == order.filled_quantity == order.quantity
    average = sum(q * p for q, p in deals) / order.quantity
    assert order.filled_avg_price == pytest.approx(average, abs=0.005)
    assert all(d.security is sec and d.direction == Direction.LONG and
               d.order_type == OrderType.MARKET for d in gw.deals.queue.values())


def test_market_order_when_the_agent_refuses_orders(market, capsys):
    gw = market.gw
    market.agent.allow_orders = False
    order = Order(security=gw.securities[1], price=None, quantity=100,
                  direction=Direction.LONG, order_type=OrderType.MARKET)
    assert gw.place_order(order) == ""
    assert order.status == OrderStatus.FAILED
    assert "[QMT] place_order failed: " in capsys.readouterr().out
    if market.terminal is not None:
        assert market.terminal.trade.orders == {}


def test_gateway_switch_off_sends_nothing(market, monkeypatch, capsys):
    gw = market.gw
    monkeypatch.setitem(market.cfg, "allow_orders", False)
    order = Order(security=gw.securities[0], price=10.0, quantity=100,
                  direction=Direction.SHORT, order_type=OrderType.LIMIT)
    assert gw.place_order(order) == "" and order.status is None
    assert "[QMT] place_order blocked: " in capsys.readouterr().out


def _resting(gw, orderid):
    sec = gw.securities[0]
    q = gw.get_quote(sec)
    order = Order(security=sec, price=round(q.bid_price * 0.95, 2), quantity=100,
                  direction=Direction.LONG, order_type=OrderType.LIMIT, orderid=orderid)
    assert gw.place_order(order) == orderid and order.status == OrderStatus.SUBMITTED
    return order


def _events_flow(market, orderid):
    """Cancel a resting order at the agent's side, not through the gateway: only the agent's
    event can turn it CANCELLED in the gateway's store."""
    order = _resting(market.gw, orderid)
    market.agent.backend.op_cancel_order({"order_id": orderid})
    assert wait_for(lambda: order.status == OrderStatus.CANCELLED), "no event reached the gateway"


def test_an_order_cancelled_at_the_terminal_reaches_the_gateway(market):
    _events_flow(market, "cancelled-outside")
    assert market.gw.orders.get("cancelled-outside").status == OrderStatus.CANCELLED


@pytest.mark.timeout(90)
def test_a_redis_restart_mid_session_is_survived(market, redis_server, monkeypatch):
    monkeypatch.setattr(agent_core, "_RETRY_FIRST", 0.05)   # the agent's retries, shortened
    monkeypatch.setattr(agent_core, "_RETRY_MAX", 0.2)
    gw = market.gw
    _events_flow(market, "before-restart")
    during = _resting(gw, "cancelled-during-the-outage")
    try:
        redis_server.stop()
        # The agent's event for it waits in its outage buffer until Redis is back.
        market.agent.backend.op_cancel_order({"order_id": "cancelled-during-the-outage"})
        lost = Order(security=gw.securities[0], price=10.0, quantity=100,
                     direction=Direction.LONG, order_type=OrderType.LIMIT)
        assert gw.place_order(lost) == "" and lost.status == OrderStatus.FAILED
        assert not _quote_ok(gw)
    finally:
        redis_server.start()
    # The agent retries with back-off; the gateway's calls work again.
    assert wait_for(lambda: _quote_ok(gw), wait=20.0)
    assert wait_for(lambda: during.status == OrderStatus.CANCELLED, wait=20.0)
    # Events are published, not queued: the ones sent before the gateway's event thread has
    # subscribed again are lost, so wait for its subscription before checking they flow.
    assert wait_for(lambda: _subscribers(redis_server, market) > 0, wait=20.0)
    _events_flow(market, "events-after-restart")
    order = _resting(gw, "after-restart")
    gw.cancel_order("after-restart")
    assert order.status == OrderStatus.CANCELLED
    assert gw.get_broker_balance().available_cash > 0


def _subscribers(redis_server, market):
    import redis
    r = redis.Redis(host=redis_server.host, port=redis_server.port, decode_responses=True)
    try:
        return r.pubsub_numsub(market.agent.events_channel)[0][1]
    finally:
        r.close()


def _quote_ok(gw):
    """A gateway call that goes to the agent (quotes are read from the gateway's store)."""
    try:
        return len(gw.req_historical_bars(gw.securities[0], 2, "1Day",
                                          cur_datetime=MARKET_OPEN)) == 2
    except Exception:  # noqa: BLE001 - not back yet
        return False


@pytest.mark.timeout(90)
def test_a_terminal_disconnect_is_survived(market):
    if market.kind != "xtquant":
        pytest.skip("only the SDK backend has a terminal to lose")
    gw, backend = market.gw, market.agent.backend
    trade = market.terminal.trade
    _events_flow(market, "before-drop")
    trade.connect_rc = [-1, 0]                   # the first reconnect fails, the next works
    lost = trade.traders[-1]
    lost.disconnect()
    assert wait_for(lambda: not backend.connected)
    assert wait_for(lambda: backend.connected and trade.traders[-1] is not lost)
    assert lost.stopped and len(trade.traders) >= 3
    assert _quote_ok(gw)
    _events_flow(market, "events-after-drop")
    order = _resting(gw, "after-drop")
    gw.cancel_order("after-drop")
    assert order.status == OrderStatus.CANCELLED
    assert wait_for(lambda: trade.orders[int(_order_id(trade, "after-drop"))].order_status
                 == market.terminal.xtc.ORDER_CANCELED)


def _order_id(trade, ref):
    return next(oid for oid, o in trade.orders.items() if o.order_remark == ref)


def test_an_agent_restart_keeps_orders_cancellable_and_events_flowing(market):
    gw = market.gw
    before = _resting(gw, "before-agent-restart")
    market.restart_agent()
    gw.cancel_order("before-agent-restart")
    assert before.status == OrderStatus.CANCELLED
    _events_flow(market, "events-after-agent-restart")
    after = _resting(gw, "after-agent-restart")
    gw.cancel_order("after-agent-restart")
    assert after.status == OrderStatus.CANCELLED


def test_an_order_ended_by_the_market_reaches_the_gateway(market):
    """The simulator expires resting orders at the close (cancelled); the terminal rejects one
    (failed)."""
    order = _resting(market.gw, "ended-outside")
    if market.kind == "sim":
        market.clock.set(datetime(2024, 3, 1, 15, 0))
        ended = OrderStatus.CANCELLED
    else:
        trade = market.terminal.trade
        trade.traders[-1].reject(int(_order_id(trade, "ended-outside")), "no money")
        ended = OrderStatus.FAILED
    assert wait_for(lambda: order.status == ended)
