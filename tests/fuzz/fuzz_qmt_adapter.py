"""QMT gateway: row readers, tick replies through the quote refresh and the order book, account
and position rows, historical replies, order events, and place/cancel replies, each fed by a
stand-in bridge; plain replies are checked against the plain-Python gateway."""
import json
import math
import re
import sys
from collections.abc import Mapping
from datetime import datetime

from hypothesis import strategies as st

from fakes.qmt_bridge import FakeQmtBridge
from kavrel_trader.core.constants import Direction, Exchange, OrderStatus, OrderType
from kavrel_trader.core.order import Order
from kavrel_trader.core.security import Stock
from kavrel_trader.gateways.qmt import qmt_adapter as qa

from reference import qmt_adapter as ref

from . import target
from .hostile import (Boom, DictSub, Make, MutatingNumber, anything, hostile_objects, numbers, sometimes, texts)

FROZEN = datetime(2024, 3, 1, 10, 15, 42, 123456)


class FrozenClock(datetime):
    @classmethod
    def now(cls, tz=None):
        return FROZEN


LOG = []
qa.datetime = ref.datetime = FrozenClock  # this process only (the fuzz command's child)
qa.print = lambda *a: LOG.append(a)
qa.QmtRedisBridge = FakeQmtBridge.factory()

SEC = Stock("SH.600000", "Pudong", 100, Exchange.SSE)
SZ = Stock("SZ.000001", "PingAn", 100, Exchange.SZSE)


class Bridge(FakeQmtBridge):
    """Answers each operation with its reply as it stands (an exception instance is raised)."""

    raised = None

    def call(self, op, params=None, timeout=None):
        self.calls.append((op, params, timeout))
        value = self.replies.get(op)
        try:
            json.dumps(params, ensure_ascii=False)  # the request must be JSON text, as on the wire
            if isinstance(value, BaseException):
                raise value
        except Exception as e:
            self.raised = e
            raise
        return value


def gateway(replies=None, cfg=None, securities=(SEC, SZ)):
    """A fresh gateway over a stand-in bridge answering `replies`."""
    qa.GATEWAYS = {"Qmt": dict(cfg or {})}
    gw = qa.QmtAdapter(list(securities))
    gw._rpc = Bridge(replies)
    del LOG[:]
    return gw


def outcome(fn, *args, **kw):
    try:
        return fn(*args, **kw)
    except Exception as e:  # noqa: BLE001 - the exception is the outcome
        return e


_DATETIME = re.compile(r"datetime\.datetime\((\d+(?:, \d+){2,6})\)")


def _now_masked(text):
    """A bar time that could not be read is the time of the call: two calls, two clocks. A
    datetime within two minutes of now reads as "NOW" so that the outcomes compare."""
    now = datetime.now()

    def mask(m):
        try:
            t = datetime(*map(int, m.group(1).split(", ")))
        except (ValueError, OverflowError):
            return m.group(0)
        return "NOW" if abs((t - now).total_seconds()) < 120 else m.group(0)
    return _DATETIME.sub(mask, text)


def same_outcome(a, b):
    if isinstance(a, BaseException) or isinstance(b, BaseException):
        return type(a) is type(b)
    return repr(a) == repr(b) or _now_masked(repr(a)) == _now_masked(repr(b))


def is_plain(x, depth=0):
    """JSON-shaped: what the bridge's decoder can hand over."""
    if x is None or type(x) in (bool, int, float, str):
        return True
    if depth > 4:
        return False
    if type(x) is list:
        return all(is_plain(v, depth + 1) for v in x)
    if type(x) is dict:
        return all(type(k) is str and is_plain(v, depth + 1) for k, v in x.items())
    return False


# ---------------------------------------------------------------- row readers

values = st.one_of(numbers, texts, st.none(),
                   st.sampled_from(["1.5", " 2 ", "nan", "-inf", "1e999", "0x10", "1_000", "٣", "", "200.0"]),
                   st.lists(st.one_of(numbers, texts, st.none()), max_size=6),
                   st.tuples(numbers, numbers), hostile_objects)
row_keys = st.sampled_from(["a", "b", "c", "bidPrice", "askVol", "lastPrice", "volume"])
# Values at the edges of the conversions (NaN, infinities as text and float, out-of-range
# text), under the few keys the key lists name, so that every rule of the readers is reached.
edge_values = st.sampled_from(["nan", float("nan"), "inf", float("-inf"), "-1e999", "1.5", " 7 ", 2, 0, None, "",
                               "x", True, [1.0, "nan"], [float("nan"), 2], ("3", None), [], 1e300])
rows = st.one_of(st.dictionaries(st.sampled_from(["a", "b", "c"]), edge_values, max_size=3),
                 st.dictionaries(row_keys, values, max_size=5),
                 st.dictionaries(st.one_of(row_keys, texts, st.integers(), hostile_objects), sometimes(values), max_size=5),
                 st.builds(lambda d: Make(DictSub, d), st.dictionaries(row_keys, values, max_size=3)),
                 anything(4))
key_lists = sometimes(st.one_of(st.permutations(["a", "b", "c"]),
                                st.lists(st.one_of(row_keys, texts, st.integers()), max_size=4)))
READERS = [("_first_number", 0.0), ("_first_str", ""), ("_first_int", 0), ("_level_number", None)]


def plain_values(row):
    return type(row) is dict and all(type(k) is str for k in row) and all(
        v is None or type(v) in (int, float, str, bool) or
        type(v) in (list, tuple) and all(x is None or type(x) in (int, float, str, bool) for x in v)
        for v in row.values())


@target(st.tuples(st.integers(0, 3), rows, key_lists, sometimes(st.integers(-3, 6) | numbers)),
        allowed=(TypeError, ValueError, OverflowError))
def row_readers(which, row, keys, extra):
    name, default = READERS[which]
    plain = plain_values(row) and type(keys) is list and all(type(k) in (str, int) for k in keys)
    if name == "_level_number":
        args = (row, keys, extra)
        plain = plain and type(extra) is int
    else:
        args = (row, keys, default)
    lying = type(row) is dict and any(isinstance(v, (list, tuple)) and type(v) not in (list, tuple)
                                      for v in row.values())
    got = outcome(getattr(qa, name), *args)
    if plain:
        want = outcome(getattr(ref, name), *args)
        assert same_outcome(got, want), (args, got, want)
        if not isinstance(got, BaseException):
            assert type(got) is type(want)
    if isinstance(got, IndexError) and name == "_level_number":
        # An index below minus the length (or past a machine word), or a list subclass whose
        # __len__ lies, read as a plain list read would; the gateway's own reads use 0 to 4.
        i = outcome(int, extra)
        assert lying or isinstance(i, int) and not 0 <= i < sys.maxsize, (extra, got)
        return
    if isinstance(got, BaseException):
        raise got


# ---------------------------------------------------------------- ticks

tick_keys = sorted({k for spec in list(ref.QUOTE_FIELDS.values()) +
                    [s for i in range(1, 6) for s in ref.level_fields(i).values()]
                    for k in spec[0] + (spec[1] or [])})
tick_values = st.one_of(numbers, st.none(), st.sampled_from(["10.5", "", "x", "nan", "1e999"]),
                        st.lists(st.one_of(numbers, st.none(), st.sampled_from(["9.5", "y"])), max_size=7),
                        st.tuples(numbers, numbers))
plain_ticks = st.dictionaries(st.sampled_from(tick_keys), tick_values, max_size=10)
hostile_ticks = st.one_of(
    st.dictionaries(st.one_of(st.sampled_from(tick_keys), texts, st.integers(), hostile_objects),
                    sometimes(tick_values, st.one_of(hostile_objects, anything(3))), max_size=8),
    st.builds(lambda d: Make(DictSub, d), plain_ticks),
    st.dictionaries(st.sampled_from(tick_keys),
                    st.builds(lambda how, v: Make(MutatingNumber, how=how, value=v), st.integers(0, 3),
                              st.sampled_from([0.0, 1.5, float("nan")])), min_size=1, max_size=5),
    anything(4))
tick_codes = st.sampled_from(["600000.SH", "SH.600000", "000001.SZ", "SZ.000001", "600000.SS", "x"])
tick_reply_values = st.one_of(
    st.dictionaries(tick_codes, st.one_of(plain_ticks, st.none(), st.sampled_from([0, "", [], 5, "x"])), max_size=4),
    st.dictionaries(st.one_of(tick_codes, texts, hostile_objects), st.one_of(plain_ticks, hostile_ticks), max_size=4),
    st.builds(lambda d: Make(DictSub, d), st.dictionaries(tick_codes, plain_ticks, max_size=2)),
    st.sampled_from([None, {}, [], "x", 0, RuntimeError("RPC op=get_full_tick failed"),
                     TimeoutError("QMT Redis RPC timeout"), ConnectionError("lost")]),
    anything(4))


def stores(gw):
    secs = (SEC, SZ)
    return repr([(gw.quote.get(s) if s in gw.quote.queue else None,
                  vars(gw.orderbook.get(s)) if s in gw.orderbook.queue else None,
                  gw._recent_bars.get(s)) for s in secs])


@target(st.tuples(tick_reply_values, st.integers(0, 2)), allowed=(TypeError,))
def tick_replies(reply, read):
    """The quote refresh (directly, or through get_quote / get_orderbook) stores what the
    plain gateway stores; a failed request, a bad reply or a bad row changes nothing."""
    plain = is_plain(reply) or isinstance(reply, Exception)
    gw = gateway({"get_full_tick": reply})
    before = stores(gw)  # the first refresh at construction got nothing
    if read == 0:
        gw._refresh_quotes()
    elif read == 1:
        gw.get_quote(SEC)
    else:
        gw.get_orderbook(SZ)
    if not plain:
        return
    want = ref.RefQmtAdapter([SEC, SZ], Bridge({"get_full_tick": reply}))
    want._refresh_quotes()
    assert stores(gw) == stores(want), (reply, stores(gw), stores(want))
    if isinstance(reply, Exception):
        assert stores(gw) == before and LOG == [("[QMT] get_full_tick failed: %s" % reply,)], LOG
    else:
        assert LOG == []


# ---------------------------------------------------------------- account rows

account_values = st.one_of(numbers, st.none(), texts, st.sampled_from(["100000", " 8e4 ", "x", "", "nan"]))
balance_keys = st.sampled_from(["cash", "m_dBalance", "m_dFetchBalance", "available_cash", "m_dAvailable",
                                "m_dPositionProfit", "unrealized_pnl", "m_dFloatProfit", "other"])
position_keys = st.sampled_from(["code", "m_strInstrumentID", "m_strStockCode", "stock_code", "exchange",
                                 "m_strExchangeID", "volume", "m_nVolume", "can_use_volume", "cost_price",
                                 "m_dOpenPrice", "m_dAvgPrice"])
code_values = st.one_of(st.sampled_from(["600000", "600000.SH", "SH", "SZ", "000001", "000001.SZ", " ", "",
                                         "SH.600000", "x.y", "股", "\ud800"]), texts, numbers, st.none())
position_rows = st.dictionaries(position_keys, st.one_of(account_values, code_values), max_size=6)
FAILURES = st.sampled_from([RuntimeError("RPC op=x failed"), TimeoutError("timeout"), ConnectionError("lost"),
                            ValueError("Expecting value")])
balance_replies = st.one_of(st.dictionaries(balance_keys, account_values, max_size=5), FAILURES,
                            st.sampled_from([None, {}, [], 0, "", [1, 2], "x"]),
                            st.dictionaries(balance_keys, sometimes(account_values, hostile_objects), max_size=4),
                            anything(4))
position_replies = st.one_of(st.lists(position_rows, max_size=4), FAILURES,
                             st.sampled_from([None, [], {}, "", 0, [1], {"code": "600000.SH"}, "abc"]),
                             st.lists(st.one_of(position_rows, anything(3)), max_size=3), anything(4))


def want_balance(data):
    if isinstance(data, Exception):
        return (0.0, 0.0, 0.0, 0.0)
    data = data or {}
    if not isinstance(data, Mapping):
        raise TypeError("row")
    n = ref._first_number
    avail = n(data, ["available_cash", "m_dAvailable", "m_dFetchBalance", "cash"])
    return (n(data, ["cash", "m_dBalance", "m_dFetchBalance"]), avail, avail,
            n(data, ["m_dPositionProfit", "unrealized_pnl", "m_dFloatProfit"]))


def want_positions(rows, gw):
    from kavrel_trader.gateways.qmt import symbols
    if isinstance(rows, Exception) or not rows:
        return []
    out = []
    for row in rows:
        if not isinstance(row, Mapping):
            raise TypeError("row")
        code = ref._first_str(row, ["code", "m_strInstrumentID", "m_strStockCode", "stock_code"])
        if not code:
            continue
        ex = ref._first_str(row, ["exchange", "m_strExchangeID"])
        if ex and "." not in code:
            code = code + "." + ex
        sec = gw.get_security(code)
        if sec is None:
            fw = symbols.from_qmt_code(code)
            sec = Stock(code=fw, lot_size=100, security_name=fw, exchange=symbols.exchange_from_qmt_code(code))
        qty = ref._first_int(row, ["volume", "m_nVolume", "can_use_volume"])
        if qty:
            out.append((sec, qty, ref._first_number(row, ["cost_price", "m_dOpenPrice", "m_dAvgPrice"])))
    return out


@target(st.tuples(balance_replies, position_replies), allowed=(TypeError, ValueError, OverflowError))
def account_rows(balance, positions):
    """Balance and positions as the row rules read them; a failed query is logged and
    answered empty; a payload of the wrong shape is the readers' TypeError."""
    gw = gateway({"query_asset": balance, "query_positions": positions})
    if is_plain(balance) or isinstance(balance, Exception):
        got = outcome(gw.get_broker_balance)
        want = outcome(want_balance, balance)
        if not isinstance(got, BaseException):
            got = (got.cash, got.available_cash, got.net_cash_power, got.unrealized_pnl)
        assert same_outcome(got, want), (balance, got, want)
    else:
        outcome(gw.get_broker_balance)
    got = outcome(gw.get_all_broker_positions)
    if is_plain(positions) or isinstance(positions, Exception):
        want = outcome(want_positions, positions, gw)
        if not isinstance(got, BaseException):
            assert all(p.direction is Direction.LONG and p.update_time == FROZEN for p in got)
            got = [(p.security, p.quantity, p.holding_price) for p in got]
        assert same_outcome(got, want), (positions, got, want)
    if isinstance(got, BaseException):
        raise got


# ---------------------------------------------------------------- history

bar_values = st.one_of(numbers, st.none(), st.sampled_from(["1.5", "x", "", 0, 0.0]))
times = st.one_of(st.sampled_from(["20240301093000", "20240301093100", "20240301", "2024-03-01 09:32:00",
                                   20240302, "2024-13-01", "", "x"]), texts, numbers)
records = st.fixed_dictionaries({"time": times}, optional={k: bar_values for k in
                                                           ("open", "high", "low", "close", "volume")})
hist_codes = st.sampled_from(["600000.SH", "SH.600000", "600000.SS", "sh.600000", "000001.SZ"])
hist_replies = st.one_of(
    st.dictionaries(hist_codes, st.one_of(st.lists(records, max_size=5), st.none(), st.sampled_from([0, "x", {}])),
                    max_size=3),
    st.dictionaries(st.one_of(hist_codes, st.integers(), hostile_objects),
                    st.one_of(st.lists(st.one_of(records, anything(2)), max_size=4), anything(3)), max_size=3),
    FAILURES, st.sampled_from([None, {}, [], "x", 0]), anything(4))


@target(st.tuples(hist_replies, st.sampled_from(["1Min", "1Day"]), sometimes(st.integers(1, 8), numbers)),
        allowed=(TypeError, ValueError, OverflowError, AttributeError))
def history_replies(reply, freq, periods):
    """Bars of any shape: the bars the plain gateway makes, else a value or type error; a
    failed request is the RuntimeError naming the code, chained to the bridge's error."""
    gw = gateway({"get_market_data_ex": reply})
    # The plain gateway reads a reply that is not a mapping with .get (an AttributeError);
    # this one finds no records in it.
    plain = (isinstance(reply, (dict, Exception)) or not reply) and is_plain(reply) or isinstance(reply, Exception)
    got = outcome(gw.req_historical_bars, SEC, periods, freq)
    if isinstance(got, RuntimeError):
        assert isinstance(reply, Exception) and got.__cause__ is reply, got
        assert str(got) == "[QMT] get_market_data_ex failed for SH.600000: %s" % reply
        return
    if plain and type(periods) is int:
        want_gw = ref.RefQmtAdapter([SEC, SZ], Bridge({"get_market_data_ex": reply}))
        want = outcome(want_gw.req_historical_bars, SEC, periods, freq)
        if isinstance(got, TypeError) and isinstance(want, ValueError):
            # Records found under a matching key that are not a list: the plain bar
            # reader takes them as no bars, the module's as the wrong type.
            assert any(v is not None and type(v) is not list for v in reply.values()), (reply, got)
        else:
            assert same_outcome(got, want), (reply, got, want)
        assert same_outcome(gw._recent_bars.get(SEC), want_gw._recent_bars.get(SEC)) or \
            freq == "1Day" or isinstance(got, BaseException)
    if isinstance(got, BaseException):
        raise got


# ---------------------------------------------------------------- order events

event_data = st.fixed_dictionaries({}, optional={
    "order_ref": st.one_of(st.sampled_from(["R1", "R2", "", None, 0, "R1 "]), texts, numbers),
    "order_id": st.one_of(st.sampled_from(["R1", "R2", "", None]), numbers),
    "cancelled": st.one_of(st.booleans(), st.none(), st.sampled_from([0, 1, "", "no"])),
    "submitted": st.one_of(st.booleans(), st.none(), st.sampled_from([0, 1, "", "yes"])),
})
events = st.one_of(
    st.fixed_dictionaries({"type": st.sampled_from(["order", "order", "trade", "", None, "ORDER"])},
                          optional={"data": st.one_of(event_data, st.none(), st.sampled_from([[], "x", 0, {}]))}),
    st.dictionaries(st.sampled_from(["type", "data"]), anything(3), max_size=2),
    st.builds(lambda d: Make(DictSub, d), st.fixed_dictionaries({"type": st.just("order"), "data": event_data})),
    st.fixed_dictionaries({"type": st.just("order"),
                           "data": st.dictionaries(st.sampled_from(["order_ref", "order_id", "cancelled", "submitted"]),
                                                   st.one_of(hostile_objects, st.just("R1")), max_size=4)}),
    anything(4))


def want_status(event, status):
    """The status and whether the order was touched, by the plain rules."""
    if not isinstance(event, Mapping) or event.get("type") != "order":
        return status, False
    data = event.get("data") or {}
    if not isinstance(data, Mapping):
        return status, False
    oid = str(data.get("order_ref") or data.get("order_id") or "")
    if oid != "R1":
        return status, False
    if data.get("cancelled"):
        return OrderStatus.CANCELLED, True
    if data.get("submitted"):
        return OrderStatus.SUBMITTED, True
    return status, True


ORDER_GW = gateway()


@target(st.tuples(events), allowed=())
def order_events(event):
    """An "order" event for a known order sets its status and time; anything else changes
    nothing; no event ever makes the handler raise, except a caller's own object."""
    o = Order(security=SEC, price=1.0, quantity=100, direction=Direction.LONG, order_type=OrderType.LIMIT,
              status=OrderStatus.SUBMITTED, orderid="R1")
    ORDER_GW.orders.put("R1", o)
    plain = is_plain(event)  # decided before the call: hostile values may change the event
    if plain:
        status, touched = want_status(event, OrderStatus.SUBMITTED)
    ORDER_GW._on_event(event)
    if plain:
        assert o.status is status and (o.updated_time == FROZEN) == touched, (event, o)


STATUS_WORDS = ["submitted", "partly_filled", "filled", "cancelled", "rejected", "cancel_failed",
                "trade", "unreported", "wait_reporting", "cancel_pending", "FILLED", "", "expired"]
quantities = st.one_of(st.integers(-10, 10 ** 6), st.floats(allow_nan=True), st.booleans(), st.none(),
                       st.sampled_from(["100", "abc", [], {}]), st.integers(10 ** 300, 10 ** 400))
state_data = st.fixed_dictionaries({"order_ref": st.sampled_from(["R1", "R2"])}, optional={
    "status": st.one_of(st.sampled_from(STATUS_WORDS), anything(1)),
    "traded_volume": quantities, "traded_price": quantities,
    "trade_id": st.one_of(st.sampled_from(["T1", "T2", "", None, 7, True]), anything(1)),
    "time": st.one_of(st.sampled_from(["2024-03-01 10:00:00", "10:00", "", None, 0]), texts),
    "cancelled": st.booleans(), "submitted": st.booleans(),
})
FINAL = (OrderStatus.FILLED, OrderStatus.CANCELLED, OrderStatus.FAILED)
STATE_GW = gateway()


@target(st.tuples(st.lists(state_data, max_size=6)), allowed=())
def order_state_and_fill_events(datas):
    """Status words, cumulative figures and fills of any shape never make the handler raise;
    a final state set by the terminal stays; deals are only booked from well-formed fills."""
    STATE_GW.orders.put("R1", Order(security=SEC, price=1.0, quantity=100, direction=Direction.LONG,
                                    order_type=OrderType.LIMIT, status=OrderStatus.SUBMITTED, orderid="R1"))
    STATE_GW.deals.queue.clear()
    final = None
    for data in datas:
        STATE_GW._on_event({"type": "order", "data": data})
        o = STATE_GW.orders.get("R1")
        assert isinstance(o.status, OrderStatus), data
        if final is not None:
            assert o.status is final, (datas, o)
        elif o.status in FINAL:
            final = o.status
    for d in STATE_GW.deals.queue.values():
        assert type(d.filled_quantity) is float and d.filled_quantity > 0 and math.isfinite(d.filled_avg_price)


# ---------------------------------------------------------------- place and cancel

place_replies = st.one_of(anything(2), FAILURES, st.just(TimeoutError("t")),
                          st.builds(lambda w: FakeQmtBridge.timeout(withdrawn=w), st.booleans()))
BAD = st.one_of(hostile_objects, anything(2))
order_fields = st.fixed_dictionaries({
    "price": sometimes(st.one_of(st.none(), st.floats(0, 1e6), st.integers(0, 10 ** 6)), BAD),
    "quantity": sometimes(st.one_of(st.integers(1, 10 ** 6), st.floats(1, 1e6)), BAD),
    "direction": sometimes(st.sampled_from([Direction.LONG, Direction.SHORT]), BAD),
    "order_type": sometimes(st.sampled_from([OrderType.LIMIT, OrderType.MARKET, "STOP"]), BAD),
    "orderid": sometimes(st.sampled_from(["", None, "mine-1", "股"]) | texts, BAD),
})


@target(st.tuples(order_fields, place_replies, st.booleans(), sometimes(st.sampled_from(["R1", "mine-1", "x"]), BAD)),
        allowed=(TypeError, ValueError, OverflowError, AttributeError))
def place_and_cancel(fields, reply, allowed, cancel_id):
    """Whatever the agent answers, place_order returns the reference it sent under (or ""),
    and the order's status says what happened; cancel marks a known order cancelled once
    the agent took the request."""
    gw = gateway({"place_order": reply, "cancel_order": reply, "get_full_tick": {}},
                 cfg={"allow_orders": allowed})
    # Closed at the end: an order left UNKNOWN arms the reconciliation timer, which would
    # otherwise fire (and log) during a later example or target.
    try:
        o = Order(security=SEC, status=OrderStatus.UNKNOWN, **fields)
        given = fields["orderid"]  # read now: hostile fields may empty `fields` during the call
        # A NaN or infinite quantity has no whole number of shares: its ValueError or
        # OverflowError is the clear error the caller gets.
        plain = type(fields["price"]) in (type(None), int, float) and type(fields["quantity"]) in (int, float) \
            and math.isfinite(fields["quantity"]) \
            and isinstance(fields["direction"], Direction) and type(given) in (str, type(None)) \
            and (isinstance(fields["order_type"], OrderType) or type(fields["order_type"]) is str)
        try:
            ref_id = gw.place_order(o)
        except Boom:
            raise  # a hostile reply's own error (its text read for the log line)
        except Exception:
            assert not plain, fields  # a well-formed order is sent or refused, never an error
            raise
        calls = gw._rpc.calls
        if not allowed:
            assert ref_id == "" and calls == [] and o.status is OrderStatus.UNKNOWN
        elif gw._rpc.raised is not None:
            assert ref_id == "" and o.status in (OrderStatus.FAILED, OrderStatus.UNKNOWN)
            sent = calls[-1][1]["order_ref"]
            assert gw.orders.get(sent) is o
        else:
            # the order's own reference when it has one (whatever its type), else a fresh one
            assert ref_id and o.orderid is ref_id and gw.orders.get(ref_id) is o
            assert given is ref_id if given else re.fullmatch("[0-9a-f]{32}", ref_id)
            assert o.status is OrderStatus.SUBMITTED and o.updated_time == FROZEN
            params = calls[-1][1]
            assert params["order_ref"] == ref_id and type(params["volume"]) is int and type(params["price"]) is float
            json.dumps(params)  # the request is JSON text
        gw.orders.put("R1", Order(security=SEC, status=OrderStatus.SUBMITTED, orderid="R1"))
        st0 = gw.orders.get("R1").status
        gw.cancel_order(cancel_id)
        if cancel_id == "R1" and allowed and not isinstance(reply, Exception):
            assert gw.orders.get("R1").status is OrderStatus.CANCELLED
        else:
            assert gw.orders.get("R1").status is st0
    finally:
        gw.close()
