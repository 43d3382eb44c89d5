"""The agent's terminal-SDK backend over a real Redis server, with the SDK's data and trading
modules replaced by the stand-ins of tests/fakes (its constants and object classes are real)."""
import logging
import sys

import pytest

xtconstant = pytest.importorskip("xtquant.xtconstant")
xttype = pytest.importorskip("xtquant.xttype")

from fakes import xtdata as fake_xtdata  # noqa: E402
from fakes import xttrader as fake_xttrader  # noqa: E402
from fakes.qmt_agents import make_xtquant_agent, xtquant_backend  # noqa: E402
from kavrel_tools.qmt_agent.xtquant_backend import ORDER_STATUS, XtQuantBackend  # noqa: E402
from qmt_wire import call, ok, wait_for  # noqa: E402
pytestmark = pytest.mark.timeout(60)


def test_market_data_passes_the_terminals_shapes(xtquant_agent, redis_client, xt_sdk):
    data, _ = xt_sdk
    data.ticks["600000.SH"] = {"lastPrice": 10.5, "bidPrice": [10.49] * 5, "askVol": [3] * 5}
    ticks = ok(redis_client, "get_full_tick", {"codes": ["600000.SH", "000001.SZ"]})
    assert ticks == {"600000.SH": data.ticks["600000.SH"]}
    pong = ok(redis_client, "ping")
    assert (pong["backend"], pong["trader_connected"], pong["allow_orders"],
            pong["account_id"]) == ("xtquant", True, True, "8800001")


@pytest.mark.parametrize("local", [True, False])
def test_history_downloads_what_the_terminal_lacks(xtquant_agent, redis_client, xt_sdk, local):
    data, _ = xt_sdk
    rows = [{"time": "2024030%d" % d, "open": 1.0 * d, "high": 2.0, "low": 0.5,
             "close": float("nan") if d == 2 else 1.5, "volume": 100 * d} for d in (1, 2, 4)]
    (data.local if local else data.remote)[("600000.SH", "1d")] = rows
    params = {"codes": ["600000.SH"], "period": "1d", "count": 2, "start_time": "20240101",
              "end_time": "20240305", "fields": ["open", "high", "low", "close", "volume"],
              "dividend_type": "follow", "fill_data": False, "subscribe": True}
    got = ok(redis_client, "get_market_data_ex", params)["600000.SH"]
    assert got == [{"time": "20240302", "open": 2.0, "high": 2.0, "low": 0.5, "close": None,
                    "volume": 200},
                   {"time": "20240304", "open": 4.0, "high": 2.0, "low": 0.5, "close": 1.5,
                    "volume": 400}]
    names = [c[0] for c in data.calls]
    assert names == (["subscribe_quote", "get_market_data_ex"] if local else
                     ["subscribe_quote", "get_market_data_ex", "download_history_data",
                      "get_market_data_ex"])
    params["fields"] = ["time", "close"]
    with_time = ok(redis_client, "get_market_data_ex", params)["600000.SH"]
    assert with_time == [{"time": "20240302", "close": None}, {"time": "20240304", "close": 1.5}]
    fetch = [c for c in data.calls if c[0] == "get_market_data_ex"][0]
    assert fetch[1:] == (["open", "high", "low", "close", "volume"], ["600000.SH"], "1d",
                         "20240101", "20240305", 2, "follow", False)


def test_history_downloads_when_the_terminal_has_too_few_bars(xtquant_agent, redis_client, xt_sdk):
    data, _ = xt_sdk
    rows = [{"time": "202402%02d" % d, "close": 1.0 * d} for d in range(1, 11)]
    data.local[("600000.SH", "1d")] = rows[-3:]
    data.remote[("600000.SH", "1d")] = rows
    params = {"codes": ["600000.SH"], "period": "1d", "fields": ["close"]}
    got = ok(redis_client, "get_market_data_ex", dict(params, count=5))["600000.SH"]
    assert [r["close"] for r in got] == [6.0, 7.0, 8.0, 9.0, 10.0]
    assert [c[0] for c in data.calls].count("download_history_data") == 1
    ok(redis_client, "get_market_data_ex", dict(params, count=5))
    ok(redis_client, "get_market_data_ex", dict(params, count=-1))
    assert [c[0] for c in data.calls].count("download_history_data") == 1


@pytest.mark.parametrize("direction, order_type, code, side, price_type, price", [
    ("BUY", "LIMIT", "600000.SH", xtconstant.STOCK_BUY, xtconstant.FIX_PRICE, 10.5),
    ("SELL", "LIMIT", "000001.SZ", xtconstant.STOCK_SELL, xtconstant.FIX_PRICE, 9.9),
    ("BUY", "MARKET", "600000.SH", xtconstant.STOCK_BUY,
     xtconstant.MARKET_SH_CONVERT_5_CANCEL, 0.0),
    ("SELL", "MARKET", "000001.SZ", xtconstant.STOCK_SELL,
     xtconstant.MARKET_SZ_CONVERT_5_CANCEL, 0.0),
])
def test_orders_map_to_the_sdk(xtquant_agent, redis_client, xt_sdk, events, direction, order_type, code,
                               side, price_type, price):
    _, trade = xt_sdk
    placed = ok(redis_client, "place_order", {"code": code, "direction": direction,
                                               "order_type": order_type, "price": price or 7.0,
                                               "volume": 300, "order_ref": "ref-9"})
    o = trade.orders[int(placed["order_id"])]
    assert (o.stock_code, o.order_type, o.price_type, o.price, o.order_volume,
            o.order_remark) == (code, side, price_type, price, 300, "ref-9")
    ev = events.take(1)
    assert ev[0]["order_ref"] == "ref-9" and ev[0]["submitted"] and not ev[0]["cancelled"]


def test_order_life_becomes_events_with_the_gateways_reference(xtquant_agent, redis_client, xt_sdk,
                                                               events):
    _, trade = xt_sdk
    trader = trade.traders[-1]
    ids = [ok(redis_client, "place_order", {"code": "600000.SH", "direction": "BUY",
                                            "order_type": "LIMIT", "price": 10.0,
                                            "volume": 100, "order_ref": ref})["order_id"]
           for ref in ("a", "b", "c", "d")]
    events.take(4)
    trader.fill(int(ids[0]), 10.0)
    got = events.take(2)
    assert {(e["order_ref"], e["status"]) for e in got} == {("a", "trade"), ("a", "filled")}
    trader.reject(int(ids[1]), "no money")
    e = events.take(1)[0]
    assert (e["order_ref"], e["cancelled"], e["submitted"], e["reason"]) == (
        "b", True, False, "no money")
    assert ok(redis_client, "cancel_order", {"order_id": "c"})["order_id"] == ids[2]
    e = events.take(1)[0]
    assert (e["order_ref"], e["status"], e["cancelled"]) == ("c", "cancelled", True)
    ok(redis_client, "cancel_order", {"order_id": ids[3]})
    events.take(1)
    trader.refuse_cancel(int(ids[3]), "already traded")
    e = events.take(1)[0]
    assert (e["order_ref"], e["submitted"], e["cancelled"]) == ("d", True, False)


@pytest.mark.parametrize("status, working, cancelled", [
    (xtconstant.ORDER_REPORTED, True, False), (xtconstant.ORDER_PART_SUCC, True, False),
    (xtconstant.ORDER_REPORTED_CANCEL, True, False), (xtconstant.ORDER_CANCELED, False, True),
    (xtconstant.ORDER_PART_CANCEL, False, True), (xtconstant.ORDER_JUNK, False, True),
    (xtconstant.ORDER_SUCCEEDED, True, False),
])
def test_order_states_map_to_the_gateways_flags(status, working, cancelled):
    assert ORDER_STATUS[status][1:] == (working, cancelled)


@pytest.mark.parametrize("setup, op, params, reason", [
    ("order_rc", "place_order", {"code": "600000.SH", "direction": "BUY", "order_type": "LIMIT",
                                 "price": 10.0, "volume": 100, "order_ref": "x"}, "refused"),
    ("cancel_rc", "cancel_order", {"order_id": "1001"}, "refused the cancel"),
    (None, "cancel_order", {"order_id": "not-ours"}, "unknown order"),
    (None, "place_order", {"code": "600000.SH", "direction": "BUY", "order_type": "LIMIT",
                           "price": 0, "volume": 100}, "positive price"),
    (None, "query_asset", {}, "no asset data"),
    (None, "get_market_data_ex", {"codes": ["600000.SH"], "start_time": "2024-01-01"},
     "start_time"),
])
def test_terminal_refusals_are_failed_replies(xtquant_agent, redis_client, xt_sdk, setup, op, params,
                                              reason):
    _, trade = xt_sdk
    if setup == "order_rc":
        trade.order_rc = -1
    elif setup == "cancel_rc":
        trade.cancel_rc = -1
    reply = call(redis_client, op, params)
    assert reply["ok"] is False and reason in reply["error"], reply


def test_account_queries_read_the_sdk_objects(xtquant_agent, redis_client, xt_sdk):
    _, trade = xt_sdk
    trade.asset = xttype.XtAsset("8800001", 80000.0, 20000.0, 50000.0, 150000.0, 79000.0)
    trade.positions = [
        xttype.XtPosition("8800001", "600000.SH", 1000, 600, 10.0, 11000.0, 400, 0, 600,
                          10.2, xtconstant.DIRECTION_FLAG_LONG, 11.0, 0.08, "A1", "PF")]
    asset = ok(redis_client, "query_asset")
    assert (asset["cash"], asset["available_cash"], asset["frozen_cash"],
            asset["unrealized_pnl"]) == (100000.0, 80000.0, 20000.0, 800.0)
    pos = ok(redis_client, "query_positions")
    assert [(p["code"], p["volume"], p["can_use_volume"], p["cost_price"]) for p in pos] == [
        ("600000.SH", 1000, 600, 10.2)]


def test_allow_orders_off_never_reaches_the_trader(redis_server, redis_client, xt_sdk):
    _, trade = xt_sdk
    with make_xtquant_agent(redis_server.url, allow_orders=False) as ag:
        assert wait_for(lambda: ag.backend.connected)
        reply = call(redis_client, "place_order", {"code": "600000.SH", "direction": "BUY",
                                                   "order_type": "MARKET", "volume": 100})
        assert reply["ok"] is False and "ALLOW_ORDERS" in reply["error"]
    assert trade.orders == {}


def test_reconnects_with_back_off_and_says_so(redis_server, redis_client, xt_sdk, events, caplog):
    _, trade = xt_sdk
    caplog.set_level(logging.INFO, logger="kavrel.qmt_agent")
    trade.connect_rc = [-1, -1, 0]
    with make_xtquant_agent(redis_server.url) as ag:
        assert wait_for(lambda: ag.backend.connected)
        assert len(trade.traders) == 3 and all(t.stopped for t in trade.traders[:2])
        assert events.take(1, kind="status") == [{"connected": True}]
        trade.connect_rc = [-1, 0]
        trade.traders[-1].disconnect()
        assert events.take(1, kind="status") == [{"connected": False}]
        reply = call(redis_client, "query_positions")
        assert reply["ok"] is False or reply["data"] == []     # unless already reconnected
        assert wait_for(lambda: ag.backend.connected)
        assert events.take(1, kind="status") == [{"connected": True}]
        assert ok(redis_client, "query_positions") == []
        assert all(t.stopped for t in trade.traders[:-1])      # the lost trader is let go
    assert trade.traders[-1].stopped
    text = caplog.text
    assert text.count("trader connect failed") == 3 and "retrying in 0.1s" in text
    assert text.count("trader connected") == 2 and "terminal disconnected" in text


def test_command_line_builds_the_sdk_backend(monkeypatch, xt_sdk):
    from kavrel_tools.qmt_agent.cli import build_agent, build_parser
    monkeypatch.setitem(sys.modules, "xtquant.xtdata", fake_xtdata)
    monkeypatch.setitem(sys.modules, "xtquant.xttrader", fake_xttrader)
    monkeypatch.delenv("ALLOW_ORDERS", raising=False)
    parser = build_parser("kavrel-qmt-agent", True)
    args = parser.parse_args(["--backend", "xtquant", "--account-id", "8800001",
                              "--user-data-path", "C:/qmt/userdata_mini",
                              "--redis-url", "redis://127.0.0.1:1/5"])
    ag = build_agent(args)
    assert isinstance(ag.backend, XtQuantBackend) and ag.allow_orders is False
    assert ag.backend.user_data_path == "C:/qmt/userdata_mini"
    ag.stop()
    with pytest.raises(SystemExit):
        build_agent(parser.parse_args(["--backend", "xtquant", "--account-id", "1"]))


def _backend(backoff=(1.0, 4.0)):
    return xtquant_backend(backoff=backoff)


@pytest.mark.parametrize("connect_rc, subscribe_rc, connected", [
    ([0], 0, True), ([-1], 0, False), ([0], -1, False)])
def test_connect_needs_the_connection_and_the_account(xt_sdk, connect_rc, subscribe_rc, connected):
    _, trade = xt_sdk
    trade.connect_rc, trade.subscribe_rc = connect_rc, subscribe_rc
    backend = _backend()
    assert backend.connect() is connected and backend.connected is connected
    assert trade.traders[-1].stopped is not connected


def test_back_off_doubles_to_its_cap_and_a_disconnect_retries_at_once(xt_sdk, caplog):
    _, trade = xt_sdk
    caplog.set_level(logging.INFO, logger="kavrel.qmt_agent")
    trade.connect_rc = [-1, -1, -1, -1, 0]
    backend = _backend()
    for _ in range(4):
        assert backend.connect() is False
    waits = [r.getMessage().rsplit(" ", 1)[1] for r in caplog.records
             if "connect failed" in r.getMessage()]
    assert waits == ["1.0s", "2.0s", "4.0s", "4.0s"]
    backend.poll()                              # the back-off has not run out
    assert not backend.connected and len(trade.traders) == 4
    assert backend.connect() is True
    trade.connect_rc = [0]
    trade.traders[-1].disconnect()
    assert wait_for(lambda: not backend.connected)
    with pytest.raises(Exception, match="not connected"):
        backend.op_query_positions({})
    backend.poll()                              # no waiting after a lost connection
    assert backend.connected and trade.traders[-2].stopped


def test_a_reference_is_used_once(xt_sdk):
    _, trade = xt_sdk
    backend = _backend()
    assert backend.connect()
    params = {"code": "600000.SH", "direction": "BUY", "order_type": "LIMIT", "price": 10.0,
              "volume": 100, "order_ref": "once"}
    backend.op_place_order(params)
    with pytest.raises(Exception, match="already used"):
        backend.op_place_order(params)
    assert len(trade.orders) == 1


def test_an_order_placed_before_a_restart_is_cancelled_by_its_reference(xt_sdk):
    _, trade = xt_sdk
    first = _backend()
    assert first.connect()
    params = {"code": "600000.SH", "direction": "BUY", "order_type": "LIMIT", "price": 10.0,
              "volume": 100}
    placed = first.op_place_order(dict(params, order_ref="old-ref"))
    first.op_place_order(dict(params, order_ref="other"))
    first.close()
    second = _backend()                          # a new agent: empty reference tables
    assert second.connect()
    got = second.op_cancel_order({"order_id": "old-ref"})
    assert (got["order_id"], got["order_ref"]) == (placed["order_id"], "old-ref")
    assert trade.orders[int(placed["order_id"])].order_status == xtconstant.ORDER_CANCELED
    with pytest.raises(Exception, match="already used"):
        second.op_place_order(dict(params, order_ref="old-ref"))
    with pytest.raises(Exception, match="unknown order"):
        second.op_cancel_order({"order_id": "never-placed"})


def test_a_late_disconnect_from_a_dropped_trader_leaves_its_successor_alone(xt_sdk):
    _, trade = xt_sdk
    backend = _backend(backoff=(0.05, 0.2))
    assert backend.connect()
    first = trade.traders[-1]
    first.disconnect()
    assert wait_for(lambda: not backend.connected)
    backend.poll()
    assert backend.connected and first.stopped and trade.traders[-1] is not first
    first.callback.on_disconnected()            # pushed late, by the trader let go
    assert backend.connected
    trade.traders[-1].callback.on_disconnected()
    assert not backend.connected
    backend.close()


def test_a_disconnect_while_connecting_fails_the_attempt(xt_sdk, monkeypatch):
    _, trade = xt_sdk
    real = fake_xttrader.XtQuantTrader.subscribe

    def dropped(self, account):
        self.callback.on_disconnected()
        return real(self, account)

    monkeypatch.setattr(fake_xttrader.XtQuantTrader, "subscribe", dropped)
    backend = _backend()
    assert backend.connect() is False and not backend.connected
    assert trade.traders[-1].stopped


# ---------------------------------------------------------------- fills, states and queries
from datetime import datetime  # noqa: E402


def test_fills_become_fill_events_then_cumulative_states_and_queries_agree(xtquant_agent, redis_client,
                                                                          xt_sdk, events):
    _, trade = xt_sdk
    trader = trade.traders[-1]
    oid = int(ok(redis_client, "place_order", {"code": "600000.SH", "direction": "BUY",
                                              "order_type": "LIMIT", "price": 10.5,
                                              "volume": 300, "order_ref": "p"})["order_id"])
    assert [e["status"] for e in events.take(1)] == ["submitted"]
    first = trader.fill(oid, 10.0, 100)
    trader.fill(oid, 10.3, 200, order_first=True)     # the order push before its trade
    trader._later(trader.callback.on_stock_trade, first)   # a trade pushed twice
    ev = events.take(6, wait=1.0)
    stamp = datetime.fromtimestamp(1709262030).strftime("%Y-%m-%d %H:%M:%S")
    assert [(e["status"], e.get("trade_id"), e["traded_volume"], e["traded_price"])
            for e in ev] == [
        ("trade", "T%d-1" % oid, 100, 10.0), ("partly_filled", None, 100, 10.0),
        ("filled", None, 300, 10.2), ("trade", "T%d-2" % oid, 200, 10.3)]
    assert all(e["order_ref"] == "p" and e["code"] == "600000.SH" for e in ev)
    assert ev[0]["time"] == stamp and ev[2]["volume"] == 300
    orders = ok(redis_client, "query_orders")
    assert [(o["order_ref"], o["status"], o["volume"], o["traded_volume"], o["traded_price"])
            for o in orders] == [("p", "filled", 300, 300, 10.2)]
    trades = ok(redis_client, "query_trades")
    assert [(t["trade_id"], t["order_ref"], t["traded_volume"], t["traded_price"], t["time"])
            for t in trades] == [(e["trade_id"], "p", e["traded_volume"], e["traded_price"],
                                  stamp) for e in (ev[0], ev[3])]


def test_rejection_and_a_refused_cancel_say_what_the_order_is(xtquant_agent, redis_client, xt_sdk, events):
    _, trade = xt_sdk
    trader = trade.traders[-1]
    ids = [int(ok(redis_client, "place_order", {"code": "600000.SH", "direction": "BUY",
                                                "order_type": "LIMIT", "price": 10.0,
                                                "volume": 200, "order_ref": ref})["order_id"])
           for ref in ("r", "k")]
    events.take(2)
    trader.reject(ids[0], "no money")
    trader.fill(ids[1], 10.0, 100)
    trader.refuse_cancel(ids[1], "too late")
    got = events.take(5)
    assert [(e["order_ref"], e["status"], e.get("traded_volume")) for e in got] == [
        ("r", "rejected", 0), ("k", "trade", 100), ("k", "partly_filled", 100),
        ("k", "cancel_failed", None), ("k", "partly_filled", 100)]
    assert got[0]["cancelled"] is True and got[0]["reason"] == "no money"


@pytest.mark.parametrize("value, text", [
    (1709262030, datetime.fromtimestamp(1709262030).strftime("%Y-%m-%d %H:%M:%S")),
    (1709262030123, datetime.fromtimestamp(1709262030.123).strftime("%Y-%m-%d %H:%M:%S")),
    (20240301093015, "2024-03-01 09:30:15"), (93015, "2024-03-01 09:30:15"),
    ("garbage", "2024-03-01 10:00:00"), (None, "2024-03-01 10:00:00")])
def test_trade_times_read_the_sdks_forms(value, text):
    from kavrel_tools.qmt_agent.xtquant_backend import _stamp
    assert _stamp(value, lambda: datetime(2024, 3, 1, 10, 0)) == text


def test_a_push_the_backend_cannot_read_is_logged_and_the_next_still_counts(xtquant_agent, redis_client,
                                                                            xt_sdk, events, caplog):
    _, trade = xt_sdk
    trader = trade.traders[-1]
    oid = int(ok(redis_client, "place_order", {"code": "600000.SH", "direction": "BUY",
                                              "order_type": "LIMIT", "price": 10.0,
                                              "volume": 100, "order_ref": "m"})["order_id"])
    events.take(1)
    bad = xttype.XtTrade("8800001", "600000.SH", 23, "T-bad", 0, 10.0, "lots", 0, oid, "",
                         "", "m", 0, 0, 0, "", "")
    trader._later(trader.callback.on_stock_trade, bad)
    trader.fill(oid, 10.0)
    assert [(e["status"], e["traded_volume"]) for e in events.take(2)] == [
        ("trade", 100), ("filled", 100)]
    assert "cannot read the terminal's push" in caplog.text
