"""QMT gateway: snapshot reads, recent and historical bars, orders, balance and positions."""
import re
from datetime import datetime, timedelta

import pytest

from fakes.qmt_bridge import FakeQmtBridge
from test_qmt_adapter import FROZEN, SEC, SZ, make  # noqa: F401  (fixture)

from kavrel_trader.core.balance import AccountBalance
from kavrel_trader.core.constants import Direction, Exchange, OrderStatus, OrderType
from kavrel_trader.core.order import Order
from kavrel_trader.core.security import Stock
from kavrel_trader.gateways.qmt import qmt_adapter as qa

TICKS = {"get_full_tick": {"600000.SH": {"lastPrice": 10.0}}}


def minutes(n, start=datetime(2024, 3, 1, 9, 30), zero_every=0):
    rows = []
    for i in range(n):
        p = 0 if zero_every and i % zero_every == 0 else 10.0 + i * 0.01
        rows.append({"time": (start + timedelta(minutes=i)).strftime("%Y%m%d%H%M%S"), "open": p,
                     "high": p, "low": p, "close": p, "volume": 100 if p else 0})
    return rows


def days(n, start=datetime(2020, 1, 1)):
    return [{"time": (start + timedelta(days=i)).strftime("%Y%m%d"), "open": 1, "high": 2, "low": 1,
             "close": 1.5, "volume": 10} for i in range(n)]


# ---------------------------------------------------------------- snapshot reads

@pytest.mark.parametrize("method, store", [("get_quote", "quote"), ("get_orderbook", "orderbook")])
def test_snapshot_reads_refresh_only_when_missing(make, method, store):
    gw, bridge = make(TICKS, securities=(SEC, SZ))
    stored = getattr(gw, store).get(SEC)
    assert getattr(gw, method)(SEC) is stored and bridge.ops().count("get_full_tick") == 1
    assert getattr(gw, method)(SZ) is None and bridge.ops().count("get_full_tick") == 2


def test_recent_bar_refreshes_always_and_names_missing_code(make):
    gw, bridge = make(TICKS, securities=(SEC, SZ))
    assert gw.get_recent_bar(SEC, "5Min").close == 10.0 and bridge.ops().count("get_full_tick") == 2
    with pytest.raises(ValueError) as e:
        gw.get_recent_bar(SZ)
    assert str(e.value) == ("No bars/ticks available for SZ.000001. Is the Big QMT agent running "
                            "and subscribed to this symbol?")


@pytest.mark.parametrize("periods", [1, None, 0, 1.9])
def test_recent_bars_single_from_snapshot(make, periods):
    gw, bridge = make(TICKS)
    bars = gw.get_recent_bars(SEC, "1Day", periods)
    assert bars == [gw._recent_bars[SEC]] and "get_market_data_ex" not in bridge.ops()


@pytest.mark.parametrize("interval, count, period", [
    ("7Min", 3, "1m"), (None, 3, "1m"), ("", 3, "1m"), ("1Day", 3, "1d"), ("5Min", 20, "1m"),
])
def test_recent_bars_frequency_choice(make, interval, count, period):
    gw, bridge = make(dict(TICKS, get_market_data_ex=lambda p: {
        p["codes"][0]: minutes(p["count"], start=datetime(2024, 3, 1, 9, 30))}))
    bars = gw.get_recent_bars(SEC, interval, 3)
    (_, params, _), = [c for c in bridge.calls if c[0] == "get_market_data_ex"]
    assert (params["count"], params["period"]) == (count, period) and len(bars) == 3
    if interval == "5Min":  # 09:30..09:49: four full buckets, the last three kept (end labels)
        assert [b.datetime.strftime("%H:%M") for b in bars] == ["09:39", "09:44", "09:49"]


def test_recent_data(make):
    gw, _ = make(TICKS)
    assert gw.get_recent_data(SEC, dfield="kline") == {"kline": gw._recent_bars[SEC]}
    with pytest.raises(AssertionError) as e:
        gw.get_recent_data(SEC, field="kline")
    assert str(e.value) == "`dfield` should be passed in as kwargs, but kwargs={'field': 'kline'}"
    with pytest.raises(NotImplementedError, match=re.escape("[QMT] dfield=capdist is not supported")):
        gw.get_recent_data(SEC)  # the default DATA_PATH holds "kline" and "capdist"


@pytest.mark.parametrize("code, found", [
    ("SH.600000", SEC), ("sh.600000", SEC), ("600000.SH", SEC), ("SSE.600000", SEC),
    ("000001.sz", SZ), ("SH.600001", None),
])
def test_get_security(make, code, found):
    gw, _ = make(securities=(SEC, SZ))
    assert gw.get_security(code) is found


# ---------------------------------------------------------------- historical bars

def test_historical_request_parameters(make):
    gw, bridge = make(dict(TICKS, get_market_data_ex={"600000.SH": minutes(5)}),
                      cfg={"hist_dividend_type": "front", "hist_fill_data": 1, "hist_subscribe": ""})
    when = datetime(2024, 3, 1, 15, 0)
    bars = gw.req_historical_bars(SEC, 5, "1Min", when, trading_sessions=[1], mode="x", extra=1)
    op, params, timeout = bridge.calls[-1]
    assert op == "get_market_data_ex" and timeout == 30.0
    assert list(params.items()) == [
        ("codes", ["600000.SH"]), ("period", "1m"), ("count", 5), ("start_time", "20240225150000"),
        ("end_time", "20240301150000"), ("fields", ["open", "high", "low", "close", "volume"]),
        ("dividend_type", "front"), ("fill_data", True), ("subscribe", False)]
    assert [b.close for b in bars] == [10.0, 10.01, 10.02, 10.03, 10.04] and bars[0].security is SEC


@pytest.mark.parametrize("cfg, timeout", [
    ({}, 30.0), ({"rpc_timeout": 60}, 60.0), ({"hist_rpc_timeout": 0, "rpc_timeout": 12}, 30.0),
    ({"hist_rpc_timeout": 0, "rpc_timeout": 45}, 45.0), ({"hist_rpc_timeout": "90"}, 90.0),
])
def test_historical_wait(make, cfg, timeout):
    gw, bridge = make(dict(TICKS, get_market_data_ex={"600000.SH": days(2)}), cfg=cfg)
    gw.req_historical_bars(SEC, 2, "1Day")
    assert bridge.calls[-1][2] == timeout and type(bridge.calls[-1][2]) is float


@pytest.mark.parametrize("returned, kept, printed", [
    (5000, 5000, ""), (5001, 5000, ""),
    (4200, 4200, "[QMT] Only 4200/5000 bars for SH.600000 freq=1Day. Download more local history in QMT.\n"),
])
def test_historical_count_cap_and_short_reply(make, capsys, returned, kept, printed):
    rows = days(returned)
    gw, bridge = make(dict(TICKS, get_market_data_ex={"600000.SH": rows}))
    bars = gw.req_historical_bars(SEC, 6000, "1Day")
    assert bridge.calls[-1][1]["count"] == 5000 and len(bars) == kept
    assert bars[-1].datetime == datetime(2020, 1, 1) + timedelta(days=returned - 1)
    assert capsys.readouterr().out == printed


@pytest.mark.parametrize("key", ["600000.SH", "SH.600000", "600000.SS", "sse.600000"])
def test_historical_records_found_under_any_code_form(make, key):
    gw, _ = make(dict(TICKS, get_market_data_ex={"000001.SZ": days(1), key: days(3)}))
    assert len(gw.req_historical_bars(SEC, 3, "1Day")) == 3


@pytest.mark.parametrize("code, key", [("SH.600000", "600000.SH"), ("SH.600000", "SH.600000"),
                                       ("sh.600000", "sh.600000")])
def test_historical_exact_code_forms_come_before_the_scan(make, code, key):
    sec = Stock(code, "Pudong", 100, Exchange.SSE)
    gw, _ = make(dict(TICKS, get_market_data_ex={"600000.SS": days(1), key: days(3)}), securities=(sec,))
    assert len(gw.req_historical_bars(sec, 3, "1Day")) == 3


@pytest.mark.parametrize("data", [{"600000.SH": [{"time": "20240101", "open": 0, "close": 0}] * 3},
                                  None, {}, {"000001.SZ": days(3)}, [days(3)]])
def test_historical_nothing_usable(make, data):
    gw, _ = make(dict(TICKS, get_market_data_ex=data))
    with pytest.raises(ValueError) as e:
        gw.req_historical_bars(SEC, 3, "1Day")
    assert str(e.value) == ("[QMT] No historical bars for SH.600000 (freq=1Day, periods=3). Ensure Big QMT "
                            "has local history for this symbol/period (数据管理 → 补充数据).")


def test_historical_failure_is_chained(make):
    cause = TimeoutError("QMT Redis RPC timeout after 30.0s")
    gw, _ = make(dict(TICKS, get_market_data_ex=cause))
    with pytest.raises(RuntimeError) as e:
        gw.req_historical_bars(SEC, 3, "1Min")
    assert str(e.value) == "[QMT] get_market_data_ex failed for SH.600000: QMT Redis RPC timeout after 30.0s"
    assert e.value.__cause__ is cause


@pytest.mark.parametrize("freq, message", [
    ("2Day", "Parameter freq=2Day is Not supported. Only ('1Day', '1Min') are allowed "
             "(or aggregatable N-min such as 5Min / 15Min)."),
])
def test_historical_unsupported_frequency(make, freq, message):
    gw, bridge = make(TICKS)
    with pytest.raises(AssertionError) as e:
        gw.req_historical_bars(SEC, 3, freq)
    assert str(e.value) == message and "get_market_data_ex" not in bridge.ops()
    with pytest.raises(TypeError, match="Argument 'freq' has incorrect type"):
        gw.req_historical_bars(SEC, 3, 1)


@pytest.mark.parametrize("freq, replaces", [("1Min", True), ("1Day", False), ("5Min", True)])
def test_only_one_minute_history_sets_latest_bar(make, freq, replaces):
    gw, bridge = make(dict(TICKS, get_market_data_ex=lambda p: {
        "600000.SH": minutes(p["count"]) if p["period"] == "1m" else days(p["count"])}))
    snapshot = gw._recent_bars[SEC]
    bars = gw.req_historical_bars(SEC, 2, freq)
    latest = gw._recent_bars[SEC]
    if replaces:
        assert latest is not snapshot and latest.datetime.second == 0 and latest.volume == 100
        assert latest.datetime - bars[-1].datetime < timedelta(minutes=5)
    else:
        assert latest is snapshot


# ---------------------------------------------------------------- orders

def order(**kw):
    base = dict(security=SEC, price=10.5, quantity=100.0, direction=Direction.LONG,
                order_type=OrderType.LIMIT, status=OrderStatus.UNKNOWN, orderid="")
    base.update(kw)
    return Order(**base)


@pytest.mark.parametrize("cfg", [{}, {"allow_orders": False}, {"allow_orders": 0}])
def test_orders_blocked_by_config(make, capsys, cfg):
    gw, bridge = make(cfg=cfg)
    o = order(orderid="A1")
    assert gw.place_order(o) == ""
    gw.orders.put("A1", o)
    assert gw.cancel_order("A1") is None
    assert o.status is OrderStatus.UNKNOWN and bridge.ops() == ["ping", "get_full_tick"]
    assert capsys.readouterr().out == (
        "[QMT] place_order blocked: set GATEWAYS['Qmt']['allow_orders']=True and agent ALLOW_ORDERS=True\n"
        "[QMT] cancel_order blocked: allow_orders=False\n")


@pytest.mark.parametrize("kw, sent", [
    ({}, {"direction": "BUY", "order_type": "LIMIT", "price": 10.5, "volume": 100}),
    ({"direction": Direction.SHORT, "quantity": 300.9}, {"direction": "SELL", "volume": 300}),
    ({"order_type": OrderType.MARKET, "price": None}, {"order_type": "MARKET", "price": 0.0}),
    ({"order_type": "STOP", "price": 0}, {"order_type": "LIMIT", "price": 0.0}),
    ({"security": SZ, "price": 7}, {"code": "000001.SZ", "price": 7.0}),
])
def test_place_order_sends_and_stores(make, capsys, kw, sent):
    gw, bridge = make(dict(TICKS, place_order={"order_id": 77}), cfg={"allow_orders": True})
    o = order(**kw)
    ref = gw.place_order(o)
    op, params, _ = bridge.calls[-1]
    assert op == "place_order" and list(params) == ["code", "direction", "order_type", "price", "volume",
                                                    "order_ref"]
    assert re.fullmatch("[0-9a-f]{32}", ref) and params["order_ref"] == ref
    assert {k: params[k] for k in sent} == sent and type(params["volume"]) is int
    assert (o.orderid, o.status, o.updated_time) == (ref, OrderStatus.SUBMITTED, FROZEN)
    assert gw.orders.get(ref) is o
    assert capsys.readouterr().out == "[QMT] place_order ok: {'order_id': 77}\n"


def test_place_order_keeps_given_reference(make):
    gw, bridge = make(TICKS, cfg={"allow_orders": True})
    assert gw.place_order(order(orderid="mine-1")) == "mine-1" and bridge.calls[-1][1]["order_ref"] == "mine-1"


@pytest.mark.parametrize("error, status", [
    (RuntimeError("refused by agent"), OrderStatus.FAILED),
    (FakeQmtBridge.timeout(withdrawn=True), OrderStatus.FAILED),
    (FakeQmtBridge.timeout(withdrawn=False), OrderStatus.UNKNOWN),
    (FakeQmtBridge.timeout(), OrderStatus.UNKNOWN),  # no `withdrawn`: may have been taken
    (ConnectionError("lost"), OrderStatus.FAILED),
])
def test_place_order_failures(make, capsys, error, status):
    gw, bridge = make(dict(TICKS, place_order=error), cfg={"allow_orders": True})
    o = order(orderid="R1", status=OrderStatus.SUBMITTED)
    assert gw.place_order(o) == ""
    assert o.status is status and gw.orders.get("R1") is o
    assert capsys.readouterr().out == f"[QMT] place_order failed: {error}\n"


@pytest.mark.parametrize("event, status", [
    ({"order_ref": None, "cancelled": True}, OrderStatus.CANCELLED),
    ({"order_ref": None, "submitted": True}, OrderStatus.SUBMITTED),
])
def test_order_that_timed_out_is_settled_by_a_later_event(make, event, status):
    gw, bridge = make(dict(TICKS, place_order=FakeQmtBridge.timeout(withdrawn=False)), cfg={"allow_orders": True})
    o = order()
    assert gw.place_order(o) == ""
    ref = bridge.calls[-1][1]["order_ref"]
    assert o.status is OrderStatus.UNKNOWN and o.orderid == ref and gw.orders.get(ref) is o
    bridge.fire({"type": "order", "data": dict(event, order_ref=ref)})
    assert o.status is status


@pytest.mark.parametrize("error", [None, RuntimeError("no such order")])
def test_cancel_order(make, capsys, error):
    gw, bridge = make(dict(TICKS, cancel_order=error), cfg={"allow_orders": True})
    o = order(orderid=5, status=OrderStatus.SUBMITTED)
    gw.orders.put(5, o)
    gw.cancel_order(5)
    assert bridge.calls[-1] == ("cancel_order", {"order_id": "5"}, None)
    if error is None:
        assert (o.status, o.updated_time) == (OrderStatus.CANCELLED, FROZEN)
        assert capsys.readouterr().out == ""
    else:
        assert (o.status, o.updated_time) == (OrderStatus.SUBMITTED, None)
        assert capsys.readouterr().out == "[QMT] cancel_order(5) failed: no such order\n"
    gw.cancel_order("unknown")  # accepted by the agent, nothing stored: nothing to update


# ---------------------------------------------------------------- account

@pytest.mark.parametrize("data, expected", [
    ({"m_dBalance": 100000, "m_dAvailable": 80000}, (100000.0, 80000.0, 80000.0, 0.0)),
    ({"cash": "5000.5", "m_dFetchBalance": 1, "m_dFloatProfit": -3}, (5000.5, 1.0, 1.0, -3.0)),
    ({"cash": 10, "m_dPositionProfit": None, "unrealized_pnl": "2"}, (10.0, 10.0, 10.0, 2.0)),
    (None, (0.0, 0.0, 0.0, 0.0)),
])
def test_broker_balance(make, data, expected):
    gw, _ = make(dict(TICKS, query_asset=data))
    b = gw.get_broker_balance()
    assert isinstance(b, AccountBalance)
    assert (b.cash, b.available_cash, b.net_cash_power, b.unrealized_pnl) == expected


def test_broker_balance_failures(make, capsys):
    gw, bridge = make(dict(TICKS, query_asset=RuntimeError("down")))
    assert gw.get_broker_balance() == AccountBalance()
    assert capsys.readouterr().out == "[QMT] get_broker_balance failed: down\n"
    bridge.reply("query_asset", [1, 2])
    with pytest.raises(TypeError, match="Argument 'row' has incorrect type"):
        gw.get_broker_balance()


POSITION_ROWS = [
    {"m_strInstrumentID": "600001", "m_strExchangeID": "SH", "m_nVolume": 300, "m_dOpenPrice": 10.5},
    {"code": "600000.SH", "volume": "200.0", "cost_price": "9.5"},
    {"stock_code": "000001", "exchange": "SZ", "volume": 0},
    {"code": " ", "volume": 100},
    {"m_strStockCode": "000002.SZ", "volume": None, "can_use_volume": 50.7, "m_dAvgPrice": 3},
]


def test_all_broker_positions(make):
    gw, _ = make(dict(TICKS, query_positions=POSITION_ROWS), securities=(SEC, SZ))
    got = gw.get_all_broker_positions()
    assert [(p.security, p.direction, p.quantity, p.holding_price, p.update_time) for p in got] == [
        (Stock("SH.600001", "SH.600001", 100, Exchange.SSE), Direction.LONG, 300, 10.5, FROZEN),
        (SEC, Direction.LONG, 200, 9.5, FROZEN),
        (Stock("SZ.000002", "SZ.000002", 100, Exchange.SZSE), Direction.LONG, 50, 3.0, FROZEN)]
    assert got[1].security is SEC and type(got[0].quantity) is int


@pytest.mark.parametrize("security, direction, quantity", [
    (SEC, Direction.LONG, 200), (SEC, Direction.SHORT, None), (SZ, Direction.LONG, None),
])
def test_broker_position(make, security, direction, quantity):
    gw, _ = make(dict(TICKS, query_positions=POSITION_ROWS), securities=(SEC, SZ))
    p = gw.get_broker_position(security, direction)
    assert (p.quantity if p else None) == quantity


def test_broker_positions_failure(make, capsys):
    gw, bridge = make(dict(TICKS, query_positions=RuntimeError("down")))
    assert gw.get_all_broker_positions() == [] and gw.get_broker_position(SEC, Direction.LONG) is None
    assert capsys.readouterr().out == "[QMT] get_all_broker_positions failed: down\n" * 2
    bridge.reply("query_positions", None)
    assert gw.get_all_broker_positions() == []
