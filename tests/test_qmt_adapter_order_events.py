"""QMT gateway: order-state and fill events, held events, cancels the terminal refuses, and
reconciliation from the agent's "query_orders" / "query_trades"."""
import math
from datetime import datetime

import pytest

from fakes.qmt_bridge import FakeQmtBridge
from test_qmt_adapter import FROZEN, SEC, make  # noqa: F401  (fixture)

from kavrel_trader.core.constants import Direction, OrderStatus, OrderType
from kavrel_trader.core.deal import Deal
from kavrel_trader.core.order import Order
from kavrel_trader.gateways.qmt import qmt_adapter as qa

S = OrderStatus
ORDERS_ON = {"allow_orders": True}


def order(ref="R1", status=S.SUBMITTED, **kw):
    base = dict(security=SEC, price=10.5, quantity=500.0, direction=Direction.LONG,
                order_type=OrderType.LIMIT, status=status, orderid=ref)
    base.update(kw)
    return Order(**base)


def state(word, traded=None, price=None, ref="R1"):
    data = {"order_ref": ref, "order_id": "77", "code": "600000.SH", "status": word,
            "volume": 500, "submitted": True, "cancelled": word == "cancelled"}
    if traded is not None:
        data["traded_volume"] = traded
    if price is not None:
        data["traded_price"] = price
    return {"type": "order", "data": data}


def fill(trade_id, qty, price, ref="R1", time="2024-03-01 10:15:03"):
    return {"type": "order", "data": {"order_ref": ref, "order_id": "77", "code": "600000.SH",
                                      "status": "trade", "trade_id": trade_id,
                                      "traded_volume": qty, "traded_price": price, "time": time,
                                      "submitted": True, "cancelled": False}}


def figures(o):
    return o.status, o.filled_quantity, o.filled_avg_price


@pytest.mark.parametrize("events, expected", [
    ([state("submitted", 0, 0)], (S.SUBMITTED, 0.0, 0.0)),
    ([state("wait_reporting")], (S.SUBMITTED, None, None)),
    ([state("partly_filled", 200, 10.1)], (S.PART_FILLED, 200.0, 10.1)),
    ([state("partly_filled", 200, 10.1), state("filled", 500, 10.14)], (S.FILLED, 500.0, 10.14)),
    ([state("cancelled", 200, 10.1)], (S.CANCELLED, 200.0, 10.1)),
    ([state("rejected", 0, 0)], (S.FAILED, 0.0, 0.0)),
    # A final state stays; a late working event does not move it back.
    ([state("filled", 500, 10.2), state("partly_filled", 200, 10.1)], (S.FILLED, 500.0, 10.2)),
    ([state("cancelled", 0, 0), state("submitted", 0, 0)], (S.CANCELLED, 0.0, 0.0)),
    ([state("rejected", 0, 0), state("filled", 500, 10.0)], (S.FAILED, 0.0, 0.0)),
    ([state("filled", 500, 10.2), {"type": "order", "data": {"order_ref": "R1", "submitted": True}}],
     (S.FILLED, 500.0, 10.2)),                                  # an older agent's flags too
    # An older cumulative figure than the order shows changes nothing.
    ([state("partly_filled", 300, 10.1), state("partly_filled", 200, 10.0)],
     (S.PART_FILLED, 300.0, 10.1)),
    # A refused cancel of a working order: the fills tell its state.
    ([state("partly_filled", 100, 10.0), state("cancel_failed", 100, 10.0)],
     (S.PART_FILLED, 100.0, 10.0)),
])
def test_order_state_events_set_status_and_fills(make, events, expected):
    gw, bridge = make()
    o = order(status=S.UNKNOWN)
    gw.orders.put("R1", o)
    for ev in events:
        bridge.fire(ev)
    assert figures(o) == expected and o.updated_time == FROZEN and gw.orders.get("R1") is o


def test_fill_events_book_one_deal_each(make):
    gw, bridge = make()
    o = order(ref="R1", direction=Direction.SHORT, order_type=OrderType.MARKET)
    gw.orders.put("R1", o)
    for ev in [fill("T1", 200, 10.1), fill("T2", 300, 10.2, time="2024-03-01 10:15:09"),
               fill("T1", 200, 10.1),                       # replayed: nothing new
               state("filled", 500, 10.16)]:
        bridge.fire(ev)
    assert list(gw.deals.queue) == ["T1", "T2"]
    d = gw.deals.get("T2")
    assert isinstance(d, Deal) and d == Deal(
        security=SEC, direction=Direction.SHORT, offset=None, order_type=OrderType.MARKET,
        updated_time=datetime(2024, 3, 1, 10, 15, 9), filled_avg_price=10.2,
        filled_quantity=300.0, dealid="T2", orderid="R1")
    assert figures(o) == (S.FILLED, 500.0, 10.16)


BAD = [
    state(5, 100, 10.0), state("half_done", 100, 10.0), state("filled", -1, 10.0),
    state("filled", "500", 10.0), state("filled", True, 10.0), state("filled", math.nan, 10.0),
    state("filled", 500, "x"), state("filled", 500, -0.5), state("filled", 10 ** 400, 1.0),
    fill(None, 100, 10.0), fill("", 100, 10.0), fill(["T9"], 100, 10.0), fill("T9", 0, 10.0),
    fill("T9", -100, 10.0), fill("T9", "100", 10.0), fill("T9", 100, None),
    fill("T9", 100, math.inf), fill("T9", 100, 10.0, time="10:15"),
    fill("T9", 100, 10.0, time=1709288103), fill("T1", 999, 99.0),   # T1 already booked
    {"type": "order", "data": {"order_ref": "R1", "status": "trade"}},
]


@pytest.mark.parametrize("event", BAD)
def test_malformed_event_data_changes_nothing(make, event):
    gw, bridge = make()
    o = order(status=S.PART_FILLED, filled_quantity=100.0, filled_avg_price=10.0)
    gw.orders.put("R1", o)
    gw.deals.put("T1", "booked")
    bridge.fire(event)
    assert figures(o) == (S.PART_FILLED, 100.0, 10.0) and o.updated_time is None
    assert dict(gw.deals.queue) == {"T1": "booked"}


@pytest.mark.parametrize("after_cancel, expected", [
    ([state("cancel_failed", 0, 0)], (S.SUBMITTED, 0.0, 0.0)),
    ([state("cancel_failed", 200, 10.0)], (S.PART_FILLED, 200.0, 10.0)),
    ([state("partly_filled", 200, 10.0)], (S.CANCELLED, 200.0, 10.0)),   # the cancel may land
    ([state("filled", 500, 10.0)], (S.FILLED, 500.0, 10.0)),             # filled before it did
    ([state("cancelled", 100, 10.0), state("cancel_failed", 100, 10.0)], (S.CANCELLED, 100.0, 10.0)),
])
def test_a_cancel_the_terminal_refuses_undoes_the_gateways_mark(make, after_cancel, expected):
    gw, bridge = make(cfg=ORDERS_ON)
    o = order()
    gw.orders.put("R1", o)
    gw.cancel_order("R1")
    assert o.status is S.CANCELLED
    for ev in after_cancel:
        bridge.fire(ev)
    assert figures(o) == expected


def test_a_cancel_after_the_final_state_keeps_it(make):
    gw, bridge = make(cfg=ORDERS_ON)
    o = order()
    gw.orders.put("R1", o)
    bridge.fire(state("filled", 500, 10.0))
    gw.cancel_order("R1")
    assert o.status is S.FILLED


# ---------------------------------------------------------------- events before the reply

def test_events_before_the_reply_are_applied_when_the_order_is_stored(make):
    gw, bridge = None, None

    def place(params):
        # The agent publishes the fill before its reply reaches the gateway.
        ref = params["order_ref"]
        bridge.fire(fill("T1", 500, 10.4, ref=ref))
        bridge.fire(state("filled", 500, 10.4, ref=ref))
        return {"order_id": 77}

    gw, bridge = make({"place_order": place}, cfg=ORDERS_ON)
    o = order(ref="", status=None)
    ref = gw.place_order(o)
    assert figures(o) == (S.FILLED, 500.0, 10.4) and gw.deals.get("T1").orderid == ref
    assert gw._held_events == []


def test_held_events_are_bounded_in_count_and_age(make, monkeypatch, capsys):
    gw, bridge = make()
    clock = [1000.0]
    monkeypatch.setattr(qa, "time", type("T", (), {"monotonic": staticmethod(lambda: clock[0])}))
    for i in range(1000):
        bridge.fire(state("submitted", ref=f"X{i}"))
    assert len(gw._held_events) == 1000 and capsys.readouterr().out == ""
    bridge.fire(state("submitted", ref="X1000"))             # the oldest makes room
    bridge.fire(state("submitted", ref="X1001"))             # ... again, within the minute
    assert len(gw._held_events) == 1000 and gw._held_events[0][1] == "X2"
    clock[0] += 61
    bridge.fire(state("filled", 100, 10.0, ref="Y"))        # all others are too old now
    assert [h[1] for h in gw._held_events] == ["Y"]
    lines = capsys.readouterr().out.splitlines()
    assert [line.split(" held")[0] for line in lines] == [
        "[QMT] order events dropped: 1", "[QMT] order events dropped: 1000"]


# ---------------------------------------------------------------- reconciliation

AGENT_ORDERS = [
    {"order_ref": "A", "order_id": "1", "code": "600000.SH", "status": "filled", "volume": 500,
     "traded_volume": 500, "traded_price": 10.2},
    {"order_ref": "B", "order_id": "2", "code": "600000.SH", "status": "partly_filled",
     "volume": 500, "traded_volume": 100, "traded_price": 10.0},
    {"order_ref": "F", "order_id": "6", "code": "600000.SH", "status": "cancelled",
     "volume": 500, "traded_volume": 0, "traded_price": 0},
    {"order_ref": "zzz", "order_id": "9", "code": "600000.SH", "status": "filled",
     "volume": 100, "traded_volume": 100, "traded_price": 9.0},
]
AGENT_TRADES = [
    {"trade_id": "T1", "order_ref": "A", "order_id": "1", "code": "600000.SH",
     "traded_volume": 500, "traded_price": 10.2, "time": "2024-03-01 10:01:00"},
    {"trade_id": "T2", "order_ref": "B", "order_id": "2", "code": "600000.SH",
     "traded_volume": 100, "traded_price": 10.0, "time": "2024-03-01 10:02:00"},
    {"trade_id": "T3", "order_ref": "zzz", "order_id": "9", "code": "600000.SH",
     "traded_volume": 100, "traded_price": 9.0, "time": "2024-03-01 10:03:00"},
]


def test_reconcile_settles_open_orders_and_books_missing_deals(make, monkeypatch, capsys):
    clock = [1000.0]
    monkeypatch.setattr(qa, "time", type("T", (), {"monotonic": staticmethod(lambda: clock[0])}))
    gw, bridge = make({"query_orders": AGENT_ORDERS, "query_trades": AGENT_TRADES,
                       "place_order": FakeQmtBridge.timeout(withdrawn=False)},
                      cfg=dict(ORDERS_ON, rpc_timeout=5.0))
    for ref in "AE":
        gw.orders.put(ref, order(ref))
    done = order("D", status=S.FILLED, filled_quantity=500.0)
    gw.orders.put("D", done)
    for ref in "BCF":                    # left UNKNOWN by a time-out
        assert gw.place_order(order(ref, status=None)) == ""
    clock[0] += 4.0
    capsys.readouterr()
    bridge.recovered()                   # the event channel is back
    a, b, c, e, f = (gw.orders.get(r) for r in "ABCEF")
    assert figures(a) == (S.FILLED, 500.0, 10.2) and figures(b) == (S.PART_FILLED, 100.0, 10.0)
    assert f.status is S.CANCELLED
    assert c.status is S.UNKNOWN and e.status is S.SUBMITTED     # not found, within the grace
    assert set(gw.deals.queue) == {"T1", "T2"} and done.status is S.FILLED
    assert gw._reconcile_timer is not None and gw._reconcile_timer.is_alive()
    clock[0] += 1.5
    gw._reconcile_due()                  # the timer's run
    assert c.status is S.FAILED and e.status is S.SUBMITTED
    assert capsys.readouterr().out == "[QMT] order C not found at the terminal: FAILED\n"
    bridge.calls.clear()
    gw.reconcile()                       # nothing left that it could settle but E
    assert bridge.ops() == ["query_orders", "query_trades"]


@pytest.mark.parametrize("error, retried", [
    (RuntimeError("unknown op 'query_orders' (served: ping, place_order)"), False),
    (FakeQmtBridge.timeout("query_orders"), True),
])
def test_reconcile_without_answers(make, capsys, error, retried):
    gw, bridge = make({"query_orders": error}, cfg=ORDERS_ON)
    gw.orders.put("A", order("A"))
    capsys.readouterr()
    gw.reconcile()
    gw.reconcile()
    out = capsys.readouterr().out
    assert bridge.ops().count("query_orders") == (2 if retried else 1)
    assert out.count("\n") == (2 if retried else 1) and gw.orders.get("A").status is S.SUBMITTED
    assert ("reconcile failed" in out) == retried
