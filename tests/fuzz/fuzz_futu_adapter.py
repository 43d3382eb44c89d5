"""Futu gateway: the four conversions, push tables and order books, the push handlers, history
pages and the trade context's replies, over the recording stand-ins of the SDK's contexts.

Every push is checked for "no trace when it fails": a push that raises leaves the stores and
the stored order as they were; a good push stores what its first row says.
"""
import contextlib
import io
import math

import numpy as np
import pandas as pd
from hypothesis import strategies as st

from fakes.futu_contexts import RET_ERROR, RET_OK, make_gateway_quietly
from kavrel_trader.core.constants import Direction, OrderStatus, OrderType, TradeMode
from kavrel_trader.core.order import Order
from kavrel_trader.core.security import Futures, Security, Stock
from kavrel_trader.gateways.futu import futu_adapter as fa

from . import target
from .hostile import Make, MutatingNumber, anything, hostile_objects, numbers, sometimes, texts

# Errors the host raises for a push or reply of the wrong shape: a missing column or key, an
# empty table, a text that is no time, a value of the wrong kind, a number out of range.
SHAPE = (KeyError, IndexError, TypeError, ValueError, AttributeError, OverflowError)

TENCENT = Stock("HK.00700", "Tencent", lot_size=100)
APPLE = Stock("US.AAPL", "Apple")
HSI = Futures("HK.HSImain", "HSI", expiry_date="20240130")
BTC = Security("CC.BTCUSD", "Bitcoin")
NUMS = (int, float, np.int64, np.float64)
CODES = ["HK.00700", "US.AAPL", "HK.HSImain", "CC.BTCUSD"]


_gateways = {}


def gateway(cls_name="FutuAdapter"):
    """One gateway per class for the whole run (built quietly), with both contexts."""
    if cls_name not in _gateways:
        secs = [BTC] if cls_name == "FutuCryptoGateway" else [TENCENT, APPLE, HSI, BTC]
        _gateways[cls_name] = make_gateway_quietly(fa, cls_name, secs, trade_mode=TradeMode.LIVETRADE)
    return _gateways[cls_name]


def quiet(fn, *args):
    with contextlib.redirect_stdout(io.StringIO()):
        return fn(*args)


def same(a, b):
    if isinstance(a, float) and isinstance(b, float) and math.isnan(a) and math.isnan(b):
        return True
    return type(a) is type(b) and a == b


def plain(v):
    return type(v) in (int, float, str, bool, type(None))


# ---------------------------------------------------------------- conversions

def ref_convert(which, value):
    """The conversions in plain Python: (result,) or the error's (type, message)."""
    tables = [
        [(Direction.SHORT, fa.TrdSide.SELL), (Direction.LONG, fa.TrdSide.BUY)],
        [(TradeMode.SIMULATE, fa.TrdEnv.SIMULATE), (TradeMode.LIVETRADE, fa.TrdEnv.REAL)],
    ]
    if which < 2:
        for k, v in tables[which]:
            if value == k:
                return (v,)
        what = ("Direction %s is not supported.", "TradeMode %s is not supported.")[which]
        return ValueError, what % format(value, "")
    S = fa.OrderStatus
    groups = [((S.NONE, S.UNSUBMITTED, S.WAITING_SUBMIT, S.SUBMITTING, S.DISABLED, S.DELETED), "UNKNOWN"),
              ((S.SUBMITTED,), "SUBMITTED"), ((S.FILLED_ALL,), "FILLED"), ((S.FILLED_PART,), "PART_FILLED"),
              ((S.CANCELLED_ALL, S.CANCELLED_PART, S.CANCELLING_PART), "CANCELLED"),
              ((S.SUBMIT_FAILED, S.TIMEOUT, S.FAILED), "FAILED")]
    for members, result in groups:
        for m in members:
            if value == m:
                return (getattr(OrderStatus, result),)
    return ValueError, "Order status %s is not recognized." % format(value, "")


sdk_statuses = st.sampled_from([getattr(fa.OrderStatus, n) for n in dir(fa.OrderStatus)
                                if n.isupper() and isinstance(getattr(fa.OrderStatus, n), str)])
enum_values = st.one_of(st.sampled_from(list(Direction)), st.sampled_from(list(TradeMode)),
                        st.sampled_from(list(OrderStatus)), sdk_statuses)
convertible = st.one_of(enum_values, enum_values.map(lambda m: getattr(m, "value", m)),
                        texts, anything(4))
CONVERSIONS = [fa.convert_direction_kv2futu, fa.convert_trade_mode_kv2futu, fa.convert_orderstatus_futu2kv]


@target(st.tuples(st.integers(0, 2), convertible))
def conversions(which, value):
    try:
        got = (CONVERSIONS[which](value),)
    except ValueError as e:
        got = (ValueError, str(e))
    if type(value) in (str, int) or type(value) in (Direction, TradeMode, OrderStatus):
        want = ref_convert(which, value)
        assert got == want, (value, got, want)
    if len(got) == 1:
        assert got[0] is not None


codes = st.one_of(st.sampled_from(["HK.MHImain", "HK.HSImain", "HK.HSI2401", "mainmain", "", "HK.main股"]), texts)
expiries = st.one_of(st.sampled_from(["20231030", "2024", "20", "", "２０２４０１３０", "2024\ud8000130"]), texts)
futures_records = st.one_of(
    st.builds(lambda c, e: Futures(c, "F", expiry_date=e), codes, expiries),
    st.fixed_dictionaries({}, optional={"code": sometimes(codes), "expiry_date": sometimes(expiries)})
    .map(lambda d: Make(_Record, **d)),
    anything(3))


class _Record:
    def __init__(self, **kw):
        self.__dict__.update(kw)

    def __repr__(self):
        return "_Record(%r)" % vars(self)


# IndexError: a numpy scalar's own answer to being sliced.
@target(st.tuples(futures_records, st.booleans()), allowed=(TypeError, AttributeError, ValueError, IndexError))
def hk_futures_code(security, by_keyword):
    code, expiry = getattr(security, "code", None), getattr(security, "expiry_date", None)
    got = fa.get_hk_futures_code(security=security) if by_keyword else fa.get_hk_futures_code(security)
    assert type(got) is str
    if type(code) is str and type(expiry) is str:
        assert got == code.replace("main", expiry[2:6]), (code, expiry, got)


# ---------------------------------------------------------------- push tables

cells = st.one_of(numbers, texts, st.none(), hostile_objects,
                  st.sampled_from([float("nan"), float("inf"), True, b"x", (1, 2), [1], {"a": 1}]))
QUOTE_COLUMNS = ["code", "data_date", "data_time", "last_price", "open_price", "high_price", "low_price",
                 "prev_close_price", "volume", "turnover", "turnover_rate", "amplitude", "suspension",
                 "price_spread", "sec_status"]
GOOD_QUOTE = {"code": "HK.00700", "data_date": "2024-01-02", "data_time": "09:30:01", "last_price": 350.2,
              "open_price": 349.0, "high_price": 351.0, "low_price": 348.0, "prev_close_price": 347.0,
              "volume": 12345, "turnover": 1e7, "turnover_rate": 0.1, "amplitude": 0.5,
              "suspension": False, "price_spread": 0.2, "sec_status": "NORMAL"}


def table_strategy(good, columns_of_interest, special):
    """A small table: the good row with some cells replaced (by special values for some
    columns, anything for others), columns dropped or added, 0 to 3 rows, or no table."""
    def build(changes, dropped, extra, rows, dup):
        row = dict(good)
        row.update(changes)
        for c in dropped:
            row.pop(c, None)
        row.update(extra)
        return ("table", row, rows, dup)
    changes = st.dictionaries(st.sampled_from(columns_of_interest),
                              st.one_of(cells, *special), max_size=3)
    return st.one_of(
        st.builds(build, changes, st.lists(st.sampled_from(columns_of_interest), max_size=2),
                  st.dictionaries(st.one_of(st.text(max_size=4), st.sampled_from(["x", "\ud800"])),
                                  cells, max_size=2),
                  st.sampled_from([1, 1, 1, 0, 2, 3]), st.just(False)),
        st.builds(build, changes, st.just([]), st.just({}), st.just(1), st.just(True)),
        anything(3).map(lambda x: ("raw", x)))


def make_table(spec):
    """The drawn table, or None when pandas itself refuses the cells (not our concern)."""
    if spec[0] == "raw":
        return spec[1]
    _, row, rows, dup = spec
    try:
        table = pd.DataFrame({k: [v] * rows for k, v in row.items()}) if rows else \
            pd.DataFrame({k: [] for k in row})
        if dup and len(table.columns) > 1:  # a repeated column name
            table = pd.concat([table, table.iloc[:, :1]], axis=1)
        return table
    except Exception:  # noqa: BLE001 - a frame pandas cannot build is no input
        return None


def first(table, col):
    return table[col].values[0]


quote_tables = table_strategy(GOOD_QUOTE, QUOTE_COLUMNS, [
    st.sampled_from(CODES + ["HK.09988", "hk.00700"]).map(lambda c: c),
    st.sampled_from(["2024-01-02", "2024-13-02", "", "20240102"]),
    st.sampled_from(["09:30:01", "25:00:00", "09:30:01.5", ""])])


@target(st.tuples(quote_tables, st.sampled_from(["FutuAdapter", "FutuCryptoGateway"])), allowed=SHAPE)
def quote_push(spec, cls_name):
    gw, _ = gateway(cls_name)
    table = make_table(spec)
    if table is None:
        return
    gw.quote.queue.clear()
    try:
        gw.process_quote(table)
    except BaseException:
        assert gw.quote.queue == {}, "a failed quote push stored something"
        raise
    if not isinstance(table, pd.DataFrame):
        raise AssertionError("process_quote took a %s" % type(table).__name__)
    code = first(table, "code")
    known = [s for s in gw.securities if type(code) is str and s.code == code]
    if not known:
        assert gw.quote.queue == {}
        return
    (q,) = gw.quote.queue.values()
    assert q.security is known[0]
    for col in ("last_price", "volume", "sec_status"):
        v = first(table, col)
        if plain(v) and table.columns.is_unique:
            assert same(getattr(q, col), v) or getattr(q, col) == v, (col, getattr(q, col), v)


def mostly(good, bad, n=8):
    """`good` in n - 1 draws of n, else `bad`."""
    return st.integers(0, n - 1).flatmap(lambda i: good if i else bad)


def levels(depth_max):
    level = mostly(st.tuples(numbers, numbers, st.integers(0, 99)), st.one_of(
        st.lists(cells, min_size=3, max_size=4),
        st.lists(cells, max_size=2),
        st.sampled_from(["abc", "ab", b"xyz", 5, None]),
        hostile_objects,
        st.lists(st.builds(lambda how: Make(MutatingNumber, how=how, value=1.5), st.integers(0, 3)),
                 min_size=3, max_size=3)), 12)
    return mostly(st.lists(level, max_size=depth_max),
                  st.one_of(anything(3), st.integers(0, 60).map(lambda n: [(1.0, 2, 3)] * n)), 4)


time_texts = mostly(st.sampled_from(["2024-01-02 09:30:01.100", "2024-01-02 09:30:02", "2024-01-02",
                                      "2024-01-02 09:30:01.5"]), st.one_of(st.just("2024-01-02 25:00:00"), texts, cells))
book_keys = {"code": st.one_of(st.sampled_from(CODES + ["HK.09988"]), cells),
             "svr_recv_time_ask": time_texts, "svr_recv_time_bid": time_texts,
             "Bid": levels(12), "Ask": levels(12)}
good_books = st.fixed_dictionaries({"code": st.sampled_from(CODES), "svr_recv_time_ask": time_texts,
                                    "svr_recv_time_bid": time_texts, "Bid": levels(12), "Ask": levels(12)})
books = mostly(good_books, st.one_of(
    st.fixed_dictionaries({}, optional=book_keys),
    st.fixed_dictionaries({"code": st.sampled_from(CODES)},
                          optional={k: v for k, v in book_keys.items() if k != "code"}).map(lambda d: Make(_DictSub, d)),
    anything(4)), 3)


class _DictSub(dict):
    pass


@target(st.tuples(books), allowed=SHAPE)
def orderbook_push(content):
    gw, _ = gateway()
    gw.orderbook.queue.clear()
    plain_levels = type(content) is dict and all(
        type(content.get(s)) is list and all(type(lv) in (list, tuple) and len(lv) >= 3
                                             and all(plain(x) for x in lv[:3]) for lv in content[s])
        for s in ("Bid", "Ask"))
    snapshot = [list(content[s]) for s in ("Bid", "Ask")] if plain_levels else None
    try:
        gw.process_orderbook(content)
    except BaseException:
        assert gw.orderbook.queue == {}, "a failed order-book push stored something"
        raise
    if type(content) is not dict:
        raise AssertionError("process_orderbook took a %s" % type(content).__name__)
    if not gw.orderbook.queue:
        return
    (b,) = gw.orderbook.queue.values()
    if snapshot:
        for side, name in zip(snapshot, ("bid", "ask")):
            for n, lv in enumerate(side, 1):
                got = [getattr(b, "%s_%s_%d" % (name, f, n)) for f in ("price", "volume", "num")]
                assert all(same(g, w) or g == w for g, w in zip(got, lv[:3])), (name, n, got, lv)
            assert getattr(b, "%s_price_%d" % (name, len(side) + 1), None) is None


ORDER_COLUMNS = ["order_id", "dealt_qty", "updated_time", "dealt_avg_price", "order_status"]
GOOD_ORDER = {"order_id": "F1", "dealt_qty": 300, "updated_time": "2024-01-02 09:30:05",
              "dealt_avg_price": 350.1, "order_status": "FILLED_ALL"}
DEAL_COLUMNS = ["order_id", "deal_id", "qty", "create_time", "price"]
GOOD_DEAL = {"order_id": "F1", "deal_id": 77, "qty": 300, "create_time": "2024-01-02 09:30:05", "price": 350.1}
order_ids = st.sampled_from(["F1", "F2", "F9", 1])
order_tables = table_strategy(GOOD_ORDER, ORDER_COLUMNS, [order_ids, sdk_statuses, numbers.filter(plain)])
deal_tables = table_strategy(GOOD_DEAL, DEAL_COLUMNS, [order_ids, numbers.filter(plain)])
ORDER_FIELDS = ("filled_quantity", "updated_time", "filled_avg_price", "status")


def fresh_orders(gw):
    """The stored orders every order or deal push starts from: F1 a Hong Kong stock order,
    F2 a US stock order, F9 unknown."""
    orders = {"F1": Order(security=TENCENT if gw.NAME != "FUTUCRYPTO" else BTC, quantity=5,
                          direction=Direction.LONG, order_type=OrderType.LIMIT),
              "F2": Order(security=APPLE, quantity=5, direction=Direction.SHORT)}
    gw.orders.queue.clear()
    gw.orders.queue.update(orders)
    gw.deals.queue.clear()
    gw.__dict__.pop("_sim_booked", None)
    return orders


# ArithmeticError: a cell's own arithmetic, as a Decimal NaN fill compared with the fills
# already booked in paper trading.
@target(st.tuples(order_tables, st.sampled_from(["FutuAdapter", "FutuCryptoGateway"]), st.booleans()),
        allowed=SHAPE + (ArithmeticError,))
def order_push(spec, cls_name, simulate):
    gw, _ = gateway(cls_name)
    table = make_table(spec)
    if table is None:
        return
    if cls_name == "FutuAdapter":
        gw.trade_mode = TradeMode.SIMULATE if simulate else TradeMode.LIVETRADE
    orders = fresh_orders(gw)
    before = {k: [getattr(o, f) for f in ORDER_FIELDS] for k, o in orders.items()}
    try:
        gw.process_order(table)
    except BaseException:
        assert gw.deals.queue == {} and gw.orders.queue == orders
        for k, o in orders.items():
            assert [getattr(o, f) for f in ORDER_FIELDS] == before[k], "a failed push changed order %s" % k
        raise
    oid = first(table, "order_id")
    stored = orders.get(oid) if type(oid) is str else None
    if stored is None:
        assert gw.deals.queue == {}
        return
    qty = first(table, "dealt_qty")
    if type(qty) in NUMS and table.columns.is_unique:
        want = qty / 100 if oid == "F1" and cls_name == "FutuAdapter" else qty
        assert same(float(stored.filled_quantity), float(want)), (stored.filled_quantity, want)
    filled = stored.status in (OrderStatus.FILLED, OrderStatus.PART_FILLED)
    if not (cls_name == "FutuAdapter" and simulate and filled):
        assert gw.deals.queue == {}
    else:
        assert len(gw.deals.queue) <= 1
        for d in gw.deals.queue.values():
            assert d.orderid == oid and d.security is stored.security


@target(st.tuples(deal_tables, st.sampled_from(["FutuAdapter", "FutuCryptoGateway"])), allowed=SHAPE)
def deal_push(spec, cls_name):
    gw, _ = gateway(cls_name)
    table = make_table(spec)
    if table is None:
        return
    orders = fresh_orders(gw)
    try:
        gw.process_deal(table)
    except BaseException:
        assert gw.deals.queue == {} and gw.orders.queue == orders
        raise
    oid = first(table, "order_id")
    if not (type(oid) is str and oid in orders):
        assert gw.deals.queue == {}
        return
    (deal,) = gw.deals.queue.values()
    qty = first(table, "qty")
    if type(qty) in NUMS and table.columns.is_unique:
        want = qty / 100 if oid == "F1" and cls_name == "FutuAdapter" else qty
        assert same(float(deal.filled_quantity), float(want))


# ---------------------------------------------------------------- handlers

class _Base:
    """An SDK handler base whose parse gives the drawn reply."""
    reply = None

    def on_recv_rsp(self, rsp_str):
        return _Base.reply


HANDLER_BASES = ["StockQuoteHandlerBase", "OrderBookHandlerBase", "TradeOrderHandlerBase", "TradeDealHandlerBase"]
replies = st.one_of(
    st.tuples(st.just("pair"), st.sampled_from([RET_OK, RET_ERROR, 0.0, False, -1, "0", None]) | anything(2),
              st.one_of(quote_tables, order_tables, anything(3))),
    st.tuples(st.just("pair"), st.just(RET_OK), books),
    st.tuples(st.just("raw"), st.lists(st.sampled_from([RET_OK, None]), max_size=3) | anything(3)))


def make_reply(tagged):
    """(ret, data) with its table built, or the raw reply."""
    if tagged[0] == "raw":
        return tagged[1]
    data = tagged[2]
    if isinstance(data, tuple) and len(data) == 4 and data[0] == "table":
        data = make_table(data)
    return (tagged[1], data)


@target(st.tuples(st.integers(0, 3), replies), allowed=SHAPE)
def handler_replies(kind, tagged):
    gw, ctx = gateway()
    handler = (ctx.quote.handlers + ctx.trade().handlers)[kind]
    reply = make_reply(tagged)
    fresh_orders(gw)
    gw.quote.queue.clear()
    gw.orderbook.queue.clear()
    _Base.reply = reply
    name = HANDLER_BASES[kind]
    saved = getattr(fa, name)
    setattr(fa, name, _Base)
    try:
        got = handler.on_recv_rsp(b"push")
    finally:
        setattr(fa, name, saved)
    assert type(got) is tuple and len(got) == 2
    if tagged[0] == "pair":
        assert got[1] is reply[1]
    if got[0] == RET_ERROR:
        assert not (gw.quote.queue or gw.orderbook.queue or gw.deals.queue)


# ---------------------------------------------------------------- requests and replies

pages = st.one_of(
    st.lists(st.builds(lambda n, drop: ("kline", n, drop), st.integers(0, 4),
                       st.sampled_from([None, None, "close", "time_key"])), max_size=3),
    st.lists(anything(2), max_size=2))


def make_page(p):
    if not (isinstance(p, tuple) and p and p[0] == "kline"):
        return p
    _, n, drop = p
    t = pd.DataFrame({"code": ["X"] * n, "time_key": ["2024-01-02 09:%02d:00" % (30 + i) for i in range(n)],
                      "open": [1.0] * n, "high": [2.0] * n, "low": [0.5] * n, "close": [1.5] * n,
                      "volume": [10] * n})
    return t.drop(columns=[drop]) if drop else t


@target(st.tuples(pages, st.one_of(st.none(), st.integers(0, 3)), sometimes(st.integers(0, 12)),
                  st.sampled_from(["1Min", "1Day", "5Min", "2H"]), st.integers(0, 2)),
        allowed=SHAPE + (AssertionError,))
def history(drawn, fail_at, periods, freq, which):
    gw, ctx = gateway()
    q = ctx.quote
    q.history_pages = [make_page(p) for p in drawn] or [pd.DataFrame()]
    q.history_fail_at = fail_at
    q.calls.clear()
    if which == 0:
        got = quiet(gw._api_get_historical_bar, "HK.HSImain", "Futures_HKFE", "today", None, periods)
        if got is not None:
            assert isinstance(got, pd.DataFrame) and len(got) == periods
            assert list(got.columns) == ["time_key", "open", "high", "low", "close", "volume"]
    elif which == 1:
        got = quiet(lambda: gw.req_historical_bars(HSI, periods, freq, None, trading_sessions=[]))
        assert type(got) is list and len(got) <= max(periods, 0) * 5 + 5
    else:
        pager = gw._api_req_historical_bar("HK.HSImain", "2024-01-01", "2024-01-02")
        got = quiet(list, pager)
        assert len(got) <= len(q.history_pages)
    assert len(q.calls) <= len(q.history_pages) + 1


ret_codes = st.one_of(st.sampled_from([RET_OK, RET_ERROR, 0.0, 1, None, "", "0", float("nan")]), anything(2))
reply_data = st.one_of(
    st.builds(lambda spec: spec, table_strategy(
        {"order_id": "F77", "power": 1.5, "available_funds": 2.0, "maintenance_margin": 0.0,
         "unrealized_pl": 0.0, "max_power_short": "N/A", "net_cash_power": 3.0, "code": "HK.MHI2310",
         "stock_name": "n", "position_side": "LONG", "cost_price": 1.0, "qty": 2},
        ["order_id", "max_power_short", "net_cash_power", "code", "position_side", "power"],
        [st.sampled_from(["HK.MHI2310", "HK.ABCDEF1234", "CC.BTCUSD", "SHORT", "LONG"])])),
    texts, anything(2))
trade_orders = st.builds(
    lambda sec, qty, ot, d: Order(security=sec, quantity=qty, price=350.0, order_type=ot, direction=d),
    st.sampled_from([0, 1, 2, 3]).map(lambda i: (TENCENT, APPLE, HSI, BTC)[i]), sometimes(st.sampled_from([1, 2.5, 0.000123, 0])),
    st.sampled_from([OrderType.LIMIT, OrderType.MARKET]), st.sampled_from([Direction.LONG, Direction.SHORT]))


@target(st.tuples(st.integers(0, 4), st.tuples(st.just("pair"), ret_codes, reply_data) |
                  st.tuples(st.just("raw"), anything(2)), trade_orders,
                  st.sampled_from(["FutuAdapter", "FutuCryptoGateway"])), allowed=SHAPE)
def trade_replies(which, tagged, order, cls_name):
    gw, ctx = gateway(cls_name)
    reply = make_reply(tagged)
    trd = ctx.trade("crypto" if cls_name == "FutuCryptoGateway" else "sec")
    trd.place_result = trd.modify_result = trd.accinfo_result = trd.position_result = reply
    gw.orders.queue.clear()
    before = order.status
    if which == 0:
        try:
            got = quiet(gw.place_order, order)
        except BaseException:
            assert gw.orders.queue == {} and order.status == before
            raise
        # The reply's order id comes back as the reply states it (None included): the order
        # is stored under it.
        if got == "" and type(got) is str:
            assert gw.orders.queue == {} and order.status == before
        else:
            assert list(gw.orders.queue.values()) == [order] and order.status == OrderStatus.SUBMITTED
    elif which == 1:
        assert quiet(gw.cancel_order, "F77") is None
    elif which == 2:
        b = quiet(gw.get_broker_balance)
        if b is not None:
            assert isinstance(b.max_power_short, float) or b.max_power_short == -1
    elif which == 3:
        got = quiet(gw.get_all_broker_positions)
        assert got is None or type(got) is list
    else:
        got = quiet(gw.get_broker_position, HSI, Direction.LONG)
        assert got is None or got.security == HSI
