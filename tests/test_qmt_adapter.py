"""QMT gateway: row readers, construction and close, bridge events, the quote refresh."""
import inspect
import pickle
import types
from datetime import datetime

import pytest
from hypothesis import given, strategies as st

from fakes.qmt_bridge import FakeQmtBridge
from reference import qmt_adapter as ref

from kavrel_trader.core.constants import Exchange, OrderStatus
from kavrel_trader.core.order import Order
from kavrel_trader.core.security import Stock
from kavrel_trader.gateways import BaseGateway
from kavrel_trader.gateways.qmt import qmt_adapter as qa

SEC = Stock("SH.600000", "Pudong", 100, Exchange.SSE)
SZ = Stock("SZ.000001", "PingAn", 100, Exchange.SZSE)
FROZEN = datetime(2024, 3, 1, 10, 15, 42, 123456)


class FrozenClock(datetime):
    @classmethod
    def now(cls, tz=None):
        return FROZEN


@pytest.fixture
def make(monkeypatch, capsys):
    """make(replies, cfg, securities) -> (gateway, fake bridge), stdout of construction dropped."""
    monkeypatch.setattr(qa, "datetime", FrozenClock)

    built = []

    def build(replies=None, cfg=None, securities=(SEC,), **kwargs):
        factory = FakeQmtBridge.factory(replies=replies)
        monkeypatch.setattr(qa, "QmtRedisBridge", factory)
        monkeypatch.setattr(qa, "GATEWAYS", {"Qmt": dict(cfg or {})})
        gw = qa.QmtAdapter(list(securities), **kwargs)
        built.append(gw)
        capsys.readouterr()
        return gw, factory.made[-1]

    yield build
    for gw in built:     # a reconciliation timer a test armed does not outlive the test
        timer = getattr(gw, "_reconcile_timer", None)
        if timer is not None:
            timer.cancel()


# ---------------------------------------------------------------- row readers

@pytest.mark.parametrize("row, keys, default, expected", [
    ({"a": None, "b": "1.5"}, ["a", "b"], 0.0, 1.5),
    ({"a": "x", "b": 2}, ["a", "b"], 0.0, 2.0),
    ({"a": [1], "b": {}}, ["a", "b"], 3, 3.0),
    ({"a": True}, ["a"], 0.0, 1.0),
    ({"A": 5.0}, ["a"], 0.0, 0.0),               # keys match exactly
    ({"a": " 7e1 "}, ["a"], 0.0, 70.0),
    ({}, [], -1, -1.0),
])
def test_first_number(row, keys, default, expected):
    got = qa._first_number(row, keys, default)
    assert got == expected and type(got) is float
    assert got == ref._first_number(row, keys, default)


@pytest.mark.parametrize("row, keys, index, expected", [
    ({"bidPrice": [10.01, 10.0, 9.99]}, ["bidPrice", "bidPrices"], 2, 9.99),
    ({"bidPrice": [10.01], "bidPrices": (1, 2)}, ["bidPrice", "bidPrices"], 1, 2.0),  # too short: next key
    ({"bidPrice": ["x", 1], "bidPrices": [3]}, ["bidPrice", "bidPrices"], 0, 3.0),    # bad element: next key
    ({"bidPrice": "10.0"}, ["bidPrice"], 0, 0.0),                                    # not a list
    ({"bidPrice": [1, 2]}, ["bidPrice"], 2, 0.0),
    ({"bidPrice": [1, 2]}, ["bidPrice"], -1, 2.0),
])
def test_level_number(row, keys, index, expected):
    assert qa._level_number(row, keys, index) == expected == ref._level_number(row, keys, index)


@pytest.mark.parametrize("row, keys, expected_str, expected_int", [
    ({"a": None, "b": "  ", "c": 600000}, ["a", "b", "c"], "600000", 600000),
    ({"a": " 200.0 "}, ["a"], "200.0", 200),
    ({"a": -2.7}, ["a"], "-2.7", -2),
    ({"a": "nan", "b": "3"}, ["a", "b"], "nan", 3),
    ({"a": "abc"}, ["a"], "abc", 0),
    ({}, ["a"], "", 0),
])
def test_first_str_and_int(row, keys, expected_str, expected_int):
    assert qa._first_str(row, keys) == expected_str == ref._first_str(row, keys)
    got = qa._first_int(row, keys)
    assert got == expected_int == ref._first_int(row, keys) and type(got) is int


@pytest.mark.parametrize("fn, args, message", [
    (qa._first_number, ([("a", 1)], ["a"]), "Argument 'row' has incorrect type (expected dict, got list)"),
    (qa._first_str, ({"a": 1}, ("a",)), "Argument 'keys' has incorrect type (expected list, got tuple)"),
    (qa._first_int, ({"a": 1}, "a"), "Argument 'keys' has incorrect type (expected list, got str)"),
    (qa._level_number, ({}, ["a"], "0"), "Argument 'index' has incorrect type (expected int, got str)"),
    (qa._first_number, (None, ["a"]), "Argument 'row' has incorrect type (expected dict, got NoneType)"),
])
def test_row_readers_check_argument_types(fn, args, message):
    with pytest.raises(TypeError) as e:
        fn(*args)
    assert str(e.value) == message


def test_row_readers_accept_any_mapping():
    row = types.MappingProxyType({"a": "1", "b": [4, 5]})
    assert qa._first_number(row, ["a"]) == 1.0 and qa._level_number(row, ["b"], 1) == 5.0


# ---------------------------------------------------------------- construction and close

def test_module_names_and_class():
    assert qa._DEFAULT_HIST_RPC_TIMEOUT == 30.0 and qa.QMT == qa.GATEWAYS["Qmt"]
    assert issubclass(qa.QmtAdapter, BaseGateway)
    assert qa.QmtAdapter.__doc__ == "Live gateway backed by the Big QMT Redis bridge agent."
    assert (qa.QmtAdapter.NAME, qa.QmtAdapter.KL_ALLOWED, qa.QmtAdapter.SHORT_INTEREST_RATE) == \
           ("QMT", ("1Day", "1Min"), 0.0)
    assert qa.QmtAdapter.TIME_STEP == qa.TIME_STEP
    assert qa._level_number.__doc__ == "Read level-N from list fields like bidPrice/askVol (Big QMT tick shape)."


@pytest.mark.parametrize("cfg, expected", [
    ({}, dict(host="127.0.0.1", port=6379, password=None, db=5, key_prefix="kavrel:qmt", timeout=10.0)),
    ({"redis_host": "h", "redis_port": "6380", "redis_password": "", "redis_db": 2.0,
      "key_prefix": "p:", "rpc_timeout": "5"},
     dict(host="h", port=6380, password=None, db=2, key_prefix="p:", timeout=5.0)),
    ({"redis_password": "s3cret", "rpc_timeout": 3}, dict(password="s3cret", timeout=3.0)),
    ({"redis_host": None, "redis_port": None, "redis_db": None, "rpc_timeout": None},  # None: the default
     dict(host="127.0.0.1", port=6379, db=5, timeout=10.0)),
])
def test_construction_builds_bridge_from_config(make, cfg, expected):
    gw, bridge = make(cfg=cfg)
    for k, v in expected.items():
        assert bridge.kwargs[k] == v and type(bridge.kwargs[k]) is type(v)
    assert bridge.ops() == ["ping", "get_full_tick"]
    assert bridge.handler == gw._on_event and gw._cfg == cfg and gw._recent_bars == {}


def test_construction_prints_pong_and_keeps_arguments(monkeypatch, capsys):
    factory = FakeQmtBridge.factory(pong={"agent": "up"})
    monkeypatch.setattr(qa, "QmtRedisBridge", factory)
    monkeypatch.setattr(qa, "GATEWAYS", {"Other": {}})
    start = datetime(2024, 1, 1)
    gw = qa.QmtAdapter([SEC], "Other", start, None, fees="F", extra=1)
    assert capsys.readouterr().out == "QMT Redis bridge ping ok: {'agent': 'up'}\n"
    assert (gw.fees, gw.start, gw.end, gw.gateway_name, gw.securities) == ("F", start, None, "Other", [SEC])
    assert gw.fees is not None and qa.QmtAdapter([SEC], "Other").fees is qa.QmtCommissionsCN


def test_construction_fails_without_config_or_ping(monkeypatch):
    factory = FakeQmtBridge.factory(pong=ConnectionError("refused"))
    monkeypatch.setattr(qa, "QmtRedisBridge", factory)
    monkeypatch.setattr(qa, "GATEWAYS", {"Qmt": {}})
    with pytest.raises(KeyError):
        qa.QmtAdapter([SEC], "Missing")
    with pytest.raises(ConnectionError, match="refused"):
        qa.QmtAdapter([SEC])
    assert factory.made[-1].closed == 1  # a gateway that fails to come up releases its client
    with pytest.raises(TypeError, match="Argument 'gateway_name' has incorrect type"):
        qa.QmtAdapter([SEC], 5)


@pytest.mark.parametrize("unsubscribe_fails", [False, True])
def test_close_always_closes_the_bridge(make, unsubscribe_fails):
    gw, bridge = make()
    if unsubscribe_fails:
        gw.unsubscribe = lambda: (_ for _ in ()).throw(RuntimeError("unsub"))
        with pytest.raises(RuntimeError, match="unsub"):
            gw.close()
    else:
        gw.close()
    assert bridge.closed == 1


def test_subclass_overrides_and_trade_mode(monkeypatch):
    class Mine(qa.QmtAdapter):
        NAME = "MINE"

        def _refresh_quotes(self):
            self.refreshed = getattr(self, "refreshed", 0) + 1

    monkeypatch.setattr(qa, "QmtRedisBridge", FakeQmtBridge.factory())
    monkeypatch.setattr(qa, "GATEWAYS", {"Qmt": {}})
    gw = Mine([SEC])
    gw.subscribe()
    assert gw.refreshed == 2
    gw.set_trade_mode("LIVE")
    assert gw.trade_mode == "LIVE"
    with pytest.raises(TypeError, match=r"set_trade_mode\(\) missing 1 required positional argument: 'trade_mode'"):
        gw.set_trade_mode()


# ---------------------------------------------------------------- events

@pytest.mark.parametrize("data, status", [
    ({"order_ref": "abc", "cancelled": True}, OrderStatus.CANCELLED),
    ({"order_ref": "abc", "submitted": 1, "cancelled": 0}, OrderStatus.SUBMITTED),
    ({"order_ref": "", "order_id": "abc", "cancelled": True, "submitted": True}, OrderStatus.CANCELLED),
    ({"order_ref": "abc"}, OrderStatus.UNKNOWN),  # no flag: status kept, time stamped
])
def test_order_event_updates_known_order(make, data, status):
    gw, bridge = make()
    order = Order(orderid="abc", status=OrderStatus.UNKNOWN)
    gw.orders.put("abc", order)
    bridge.fire({"type": "order", "data": data})
    assert gw.orders.get("abc") is order and order.status is status and order.updated_time == FROZEN


@pytest.mark.parametrize("event", [
    {"type": "order", "data": {"order_ref": "zzz", "cancelled": True}},
    {"type": "trade", "data": {"order_ref": "abc", "cancelled": True}},
    {"data": {"order_ref": "abc", "cancelled": True}},
    {"type": "order", "data": None},
    {"type": "order", "data": ["abc"]},
    {"type": "order", "data": {"order_ref": None, "order_id": 0, "cancelled": True}},
    ["order"],
    None,
])
def test_other_events_change_nothing(make, event):
    gw, bridge = make()
    order = Order(orderid="abc", status=OrderStatus.SUBMITTED)
    gw.orders.put("abc", order)
    bridge.fire(event)
    assert order.status is OrderStatus.SUBMITTED and order.updated_time is None
    assert list(gw.orders.queue) == ["abc"]


def test_order_event_reference_is_matched_as_text(make):
    gw, bridge = make()
    order = Order(orderid="42")
    gw.orders.put("42", order)
    bridge.fire({"type": "order", "data": {"order_id": 42, "submitted": True}})
    assert order.status is OrderStatus.SUBMITTED


# ---------------------------------------------------------------- quote refresh

LEVELS = [10.01, 10.0, 9.99, 9.98, 9.97]


def book_levels(book, side="bid", what="price"):
    return [getattr(book, f"{side}_{what}_{i}") for i in range(1, 6)]


@pytest.mark.parametrize("tick, quote_bid, book_bids", [
    ({"bidPrices": LEVELS}, 10.01, LEVELS),
    ({"bid_price": 10.01}, 10.01, [0.0] * 5),
    ({"bidPrice1": 0, "bidPrices": LEVELS}, 10.01, LEVELS),
    ({"bidPrice1": "10.5", "bid2": 10.4, "m_dBidPrice3": 10.3, "bidPrice": LEVELS},
     10.5, [10.5, 10.4, 10.3, 9.98, 9.97]),
    ({"bidPrice": LEVELS[:2]}, 10.01, LEVELS[:2] + [0.0] * 3),
    ({1: "x", "bidPrices": LEVELS, "bid3": "9"}, 10.01, LEVELS[:2] + [9.0] + LEVELS[3:]),  # a non-text key
])
def test_refresh_reads_bid_side(make, tick, quote_bid, book_bids):
    gw, _ = make({"get_full_tick": {"600000.SH": tick}})
    assert gw.get_quote(SEC).bid_price == quote_bid
    assert book_levels(gw.get_orderbook(SEC)) == book_bids


def test_refresh_builds_quote_book_and_bar(make):
    tick = {"m_dLastPrice": 10.5, "m_dOpen": 10.2, "high": "10.8", "low_price": 10.1,
            "lastClose": 10.0, "m_nVolume": 1200, "amount": 1.26e6, "askPrice": [10.6, 10.7],
            "bidVol": [300, 200], "askVols": (100,), "ask_volume": 50}
    gw, bridge = make({"get_full_tick": {"600000.SH": tick}})
    q, book, bar = gw.quote.get(SEC), gw.orderbook.get(SEC), gw._recent_bars[SEC]
    assert bridge.calls[-1] == ("get_full_tick", {"codes": ["600000.SH"]}, None)
    assert (q.security, q.exchange, q.datetime) == (SEC, Exchange.SSE, FROZEN)
    assert (q.last_price, q.open_price, q.high_price, q.low_price, q.prev_close_price,
            q.volume, q.turnover, q.bid_price, q.ask_price) == \
           (10.5, 10.2, 10.8, 10.1, 10.0, 1200.0, 1.26e6, 0.0, 10.6)
    assert q.price_spread == 0.0  # one side empty
    assert (book.bid_volume_1, book.ask_volume_1, book.ask_price_2, book.bid_volume_2) == (300.0, 100.0, 10.7, 200.0)
    assert bar.datetime == FROZEN.replace(second=0, microsecond=0)
    assert (bar.open, bar.high, bar.low, bar.close, bar.volume, bar.security) == (10.2, 10.8, 10.1, 10.5, 1200.0, SEC)


@pytest.mark.parametrize("tick, bar", [
    ({"lastPrice": 10.0}, (10.0, 10.0, 10.0, 10.0)),
    ({"open": 9.5, "high": 9.9}, (9.5, 9.9, 0.0, 9.5)),
    ({"lastPrice": 0, "open": 0, "high": 11}, None),  # previous bar stays
])
def test_refresh_latest_bar_fallbacks(make, tick, bar):
    gw, bridge = make({"get_full_tick": {"600000.SH": {"lastPrice": 1.0}}})
    previous = gw._recent_bars[SEC]
    bridge.reply("get_full_tick", {"600000.SH": tick})
    gw.subscribe()
    got = gw._recent_bars[SEC]
    if bar is None:
        assert got is previous and gw.quote.get(SEC).high_price == 11.0
    else:
        assert (got.open, got.high, got.low, got.close) == bar


def test_refresh_spread_and_framework_code_key(make):
    gw, _ = make({"get_full_tick": {"SH.600000": {"bid1": 10.0, "ask1": 10.25},
                                    "000001.SZ": {}}}, securities=(SEC, SZ))
    assert gw.quote.get(SEC).price_spread == 0.25
    assert gw.quote.get(SZ) is None


def test_missing_tick_keeps_last_good_data(make):
    gw, bridge = make({"get_full_tick": {"600000.SH": {"lastPrice": 10.0}, "000001.SZ": {"lastPrice": 5.0}}},
                      securities=(SEC, SZ))
    kept = gw.quote.get(SZ), gw.orderbook.get(SZ), gw._recent_bars[SZ]
    for reply in ({"600000.SH": {"lastPrice": 10.5}}, {"600000.SH": {"lastPrice": 10.5}, "000001.SZ": None},
                  {"600000.SH": {"lastPrice": 10.5}, "000001.SZ": {}}):
        bridge.reply("get_full_tick", reply)
        gw.subscribe()
        assert (gw.quote.get(SZ), gw.orderbook.get(SZ), gw._recent_bars[SZ]) == kept
        assert gw.quote.get(SZ).last_price == 5.0 and gw.quote.get(SEC).last_price == 10.5


@pytest.mark.parametrize("reply", [RuntimeError("agent down"), None, {}, ["600000.SH"], {"600000.SH": "tick"}])
def test_failed_or_empty_refresh_changes_nothing(make, capsys, reply):
    gw, bridge = make({"get_full_tick": {"600000.SH": {"lastPrice": 10.0}}})
    before = gw.quote.get(SEC), gw.orderbook.get(SEC), gw._recent_bars[SEC]
    bridge.reply("get_full_tick", reply)
    gw.subscribe()
    assert (gw.quote.get(SEC), gw.orderbook.get(SEC), gw._recent_bars[SEC]) == before
    out = capsys.readouterr().out
    assert out == ("[QMT] get_full_tick failed: agent down\n" if isinstance(reply, Exception) else "")


def test_refresh_without_securities_sends_nothing(make):
    gw, bridge = make(securities=())
    assert bridge.ops() == ["ping"]


def test_security_without_exchange_takes_it_from_its_code(make):
    class Bare:  # a security record without an exchange field
        code = "SZ.000002"

    plain = Bare()
    gw, _ = make({"get_full_tick": {"000002.SZ": {"lastPrice": 3.0}}}, securities=(plain,))
    assert gw.quote.get(plain).exchange is Exchange.SZSE


def test_refresh_uses_replaced_readers(make, monkeypatch):
    gw, _ = make({"get_full_tick": {"600000.SH": {"lastPrice": 10.0, "bidPrice": [9.9]}}})
    seen = []
    monkeypatch.setattr(qa, "_first_number", lambda row, keys: seen.append(keys[0]) or 1.0)
    gw.subscribe()
    assert gw.quote.get(SEC).last_price == 1.0 and gw.quote.get(SEC).bid_price == 1.0
    assert seen[:3] == ["lastPrice", "bid_price", "ask_price"] and len(seen) == 31


NUMBERS = st.one_of(st.floats(allow_nan=False, allow_infinity=False, width=32), st.integers(-10**6, 10**6),
                    st.sampled_from(["1.5", " 2 ", "x", "", "1e3", "1_0"]), st.none(), st.booleans())
TICK_KEYS = sorted({k for spec in list(ref.QUOTE_FIELDS.values())
                    + [s for i in range(1, 6) for s in ref.level_fields(i).values()]
                    for k in spec[0] + (spec[1] or [])} | {"other"})
TICKS = st.dictionaries(st.sampled_from(TICK_KEYS),
                        st.one_of(NUMBERS, st.lists(NUMBERS, max_size=6), st.tuples(NUMBERS, NUMBERS)),
                        max_size=25)


@given(tick=TICKS, proxy=st.booleans())
def test_refresh_matches_plain_python(tick, proxy):
    fake = FakeQmtBridge(replies={"get_full_tick": {
        "600000.SH": types.MappingProxyType(tick) if proxy else tick}})
    ours = qa.QmtAdapter.__new__(qa.QmtAdapter)
    BaseGateway.__init__(ours, [SEC], "Qmt")
    ours._rpc, ours._cfg, ours._recent_bars = fake, {}, {}
    theirs = ref.RefQmtAdapter([SEC], fake)
    ours._refresh_quotes()
    theirs._refresh_quotes()

    def fields(record):
        return {k: v for k, v in vars(record).items() if k != "datetime"} if record else None

    assert fields(ours.quote.get(SEC)) == fields(theirs.quote.get(SEC))
    assert fields(ours.orderbook.get(SEC)) == fields(theirs.orderbook.get(SEC))
    assert fields(ours._recent_bars.get(SEC)) == fields(theirs._recent_bars.get(SEC))


# ---------------------------------------------------------------- signatures

READERS = {
    "_first_number": ("row, keys, default=0.0", None),
    "_level_number": ("row, list_keys, index, default=0.0",
                      "Read level-N from list fields like bidPrice/askVol (Big QMT tick shape)."),
    "_first_str": ("row, keys, default=''", None),
    "_first_int": ("row, keys, default=0", None),
}

METHODS = {
    "__init__": "securities, gateway_name='Qmt', start=None, end=None, fees=None, **kwargs",
    "close": "", "set_trade_mode": "trade_mode", "subscribe": "", "unsubscribe": "",
    "_on_event": "event", "_refresh_quotes": "", "reconcile": "", "_on_events_recovered": "",
    "_reconcile_due": "",
    "get_quote": "security", "get_orderbook": "security", "get_recent_bar": "security, bar_interval=None",
    "get_recent_bars": "security, bar_interval=None, periods=1", "get_recent_data": "security, **kwargs",
    "req_historical_bars": "security, periods, freq, cur_datetime=None, trading_sessions=None, "
                           "mode='direct', **kwargs",
    "get_security": "code", "place_order": "order", "cancel_order": "orderid",
    "get_broker_balance": "", "get_broker_position": "security, direction",
    "get_all_broker_positions": "",
}


@pytest.mark.parametrize("name", sorted(READERS))
def test_row_readers_behave_like_defs(name):
    from test_signatures import error, reference, wrong_calls
    params, doc = READERS[name]
    ref_fn, ours = reference(name, params, doc), getattr(qa, name)
    assert ours.__doc__ == doc and pickle.loads(pickle.dumps(ours)) is ours
    assert inspect.signature(ours) == inspect.signature(ref_fn)
    for args, kwargs, msg in wrong_calls(ref_fn):
        assert error(ours, args, kwargs) == msg.replace("_ref()", f"{name}()")


@pytest.mark.parametrize("name", sorted(METHODS))
def test_methods_take_arguments_like_defs(name):
    params = ", ".join(p for p in ("self", METHODS[name]) if p)
    ns = {}
    exec(f"class QmtAdapter:\n    def {name}({params}):\n        pass\n", ns)
    theirs = ns["QmtAdapter"].__new__(ns["QmtAdapter"])
    ours = qa.QmtAdapter.__new__(qa.QmtAdapter)
    for args, kwargs in [((), {}), ((0,) * 8, {}), ((0,) * 7, {"bogus": 0}), ((0,), {"security": 0})]:
        try:
            getattr(theirs, name)(*args, **kwargs)
            continue  # accepted by the def (**kwargs); the body would run
        except TypeError as e:
            expected = str(e)
        with pytest.raises(TypeError) as got:
            getattr(ours, name)(*args, **kwargs)
        assert str(got.value) == expected
