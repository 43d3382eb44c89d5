"""Leak-check rows for the Futu gateway and the CEL host (joined into test_leaks' tables).

Futu: the request paths on the recording contexts, the four pushes through the real SDK's
handler bases (parsing the SDK's own push messages), pushes that fail, and the conversions.
CEL: the sink's handlers and the internal sink, and whole host runs (Init, events through
the worker's pump, Shutdown); THREAD_CASES: no worker left after Shutdown, also when CEL's
own Shutdown raises, and no thread left by a Futu gateway after close.
"""
import contextlib
import io

import pandas as pd

from fakes.futu_contexts import RET_ERROR, RET_OK, kline_table, make_gateway_quietly, minute_pages
from kavrel_trader.core.constants import Direction, OrderStatus, OrderType, TradeMode
from kavrel_trader.core.order import Order
from kavrel_trader.core.security import Futures, Stock

TENCENT = Stock("HK.00700", "Tencent", lot_size=100)
HSI = Futures("HK.HSImain", "HSI", expiry_date="20240130")


def _futu(cls_name="FutuAdapter", securities=(TENCENT, HSI), trade_mode=TradeMode.LIVETRADE):
    from kavrel_trader.gateways.futu import futu_adapter as fa
    return make_gateway_quietly(fa, cls_name, securities, trade_mode=trade_mode)


def _quiet(fn):
    def call():
        with contextlib.redirect_stdout(io.StringIO()):
            fn()
    return call


# ---------------------------------------------------------------- Futu

def _case_futu_conversions():
    from kavrel_trader.gateways.futu import futu_adapter as fa
    status, code = fa.OrderStatus.FILLED_PART, "HK.HSImain"

    def call():
        fa.convert_direction_kv2futu(Direction.SHORT), fa.convert_trade_mode_kv2futu(TradeMode.LIVETRADE)
        fa.convert_orderstatus_futu2kv(status), fa.get_hk_futures_code(HSI)
        for f, bad in ((fa.convert_direction_kv2futu, "UP"), (fa.convert_orderstatus_futu2kv, status + "x")):
            try:
                f(bad)
            except ValueError:
                pass
    return call, [status, code, HSI]


def _case_futu_requests():
    gw, ctx = _futu()
    q, t = ctx.quote, ctx.trade()
    # Every reply is a new table, as the SDK's are: a table handed out again would keep
    # pandas' own bookkeeping of its views growing, which is no leak of the gateway's.
    kline = kline_table([("2024-01-02 09:30:00", 1.0, 2.0, 0.5, 1.5, 10)])
    pages = minute_pages(12, 5)
    account = pd.DataFrame({"power": [1.0], "available_funds": [2.0], "maintenance_margin": [0.0],
                            "unrealized_pl": [0.0], "max_power_short": ["N/A"], "net_cash_power": [3.0]})
    positions = pd.DataFrame({"code": ["HK.HSI2401", "US.X"], "stock_name": ["a", "b"],
                              "position_side": ["LONG", "SHORT"], "cost_price": [1.0, 2.0], "qty": [1, 2]})
    q.capital_result = (RET_ERROR, "no quota")
    order = Order(security=TENCENT, quantity=2, price=350.0, direction=Direction.LONG, order_type=OrderType.LIMIT)

    def call():
        for c in (q, t):
            c.calls.clear()
        q.cur_kline_result = (RET_OK, kline.copy())
        q.history_pages = [p.copy() for p in pages]
        t.accinfo_result, t.position_result = (RET_OK, account.copy()), (RET_OK, positions.copy())
        gw.get_recent_bar(TENCENT), gw.get_recent_capital_distribution(TENCENT)
        gw._api_get_historical_bar("HK.HSImain", "Futures_HKFE", periods=10)
        order.status = OrderStatus.UNKNOWN
        gw.place_order(order), gw.cancel_order("F1001")
        gw.get_broker_balance(), gw.get_all_broker_positions(), gw.get_broker_position(HSI, Direction.LONG)
        gw.get_quote(TENCENT), gw.get_orderbook(TENCENT)
    return _quiet(call), [gw, order, TENCENT, HSI]


def _sdk_pushes():
    """The four pushes as OpenD sends them, parsed by the SDK's handler bases."""
    from fakes.futu_wire import book_push, deal_push, order_push, quote_push
    return quote_push(), book_push(bids=10, asks=10), order_push(), deal_push()


def _case_futu_pushes(trade_mode):
    def setup():
        gw, ctx = _futu(trade_mode=trade_mode)
        order = Order(security=TENCENT, quantity=5, direction=Direction.LONG)
        gw.orders.put("X123", order)
        quote, book = ctx.quote.handlers
        order_h, deal_h = ctx.trade().handlers
        pushes = _sdk_pushes()

        def call():
            for handler, push in zip((quote, book, order_h, deal_h), pushes):
                assert handler.on_recv_rsp(push)[0] == RET_OK
        return call, [gw, order, *pushes]
    return setup


def _case_futu_bad_pushes():
    gw, _ = _futu()
    gw.orders.put("F1", Order(security=TENCENT, quantity=5, direction=Direction.LONG))
    quote = pd.DataFrame({"code": ["HK.00700"], "data_date": ["2024-01-02"], "data_time": ["25:00:00"]})
    order = pd.DataFrame({"order_id": ["F1"], "dealt_qty": [300], "updated_time": ["2024-01-02 09:30:05"],
                          "dealt_avg_price": [1.0], "order_status": ["NOT_A_STATUS"]})
    deal = pd.DataFrame({"order_id": ["F1"], "deal_id": [[1]], "qty": [1], "create_time": ["2024-01-02"],
                         "price": [1.0]})
    book = {"code": "HK.00700", "svr_recv_time_ask": "2024-01-02 09:30:01", "svr_recv_time_bid": "2024-01-02",
            "Bid": [(1.0, 2, 3), (1.0, 2)], "Ask": []}

    def call():
        for method, push in ((gw.process_quote, quote), (gw.process_order, order), (gw.process_deal, deal),
                             (gw.process_orderbook, book), (gw.process_quote, {"code": "x"})):
            try:
                method(push)
            except (ValueError, TypeError, IndexError, KeyError):
                pass
    return call, [gw, quote, order, deal, book, book["Bid"][1]]


# ---------------------------------------------------------------- CEL

def _cel():
    from fakes.pywin32.harness import load
    mod, fakes = load()
    fakes.comsim.reset()
    return mod, fakes.comsim


def _case_cel_handlers():
    mod, com = _cel()

    class App(mod.CELSinkBase):
        def OnIdle(self):
            pass

    sink, internal, host = App(), mod.SinkInternal.__new__(mod.SinkInternal), mod.CelHost()
    error = com.PyIDispatch(com.CELError(3, "Wrong user name or password"), com.current())
    internal.Init(host.eventCELStarted, host)
    args = ("order", None, 1.5, "x")
    names = [n for n in vars(mod.CELSinkBase) if n.startswith("On")]

    def call():
        for n in names:
            try:
                getattr(sink, n)(*args)
            except TypeError:
                pass
        sink.OnOrderChanged(1, "order", None, None, None)
        internal.OnDataError(error, "not used"), internal.OnDataError(None, "x"), internal.OnCELStarted()
        mod.Trace("line")
        try:
            mod.AssertMessage(0, "no")
        except RuntimeError:
            pass
    return _quiet(call), [sink, internal, host, error, args[0]]


def _case_cel_runs():
    mod, com = _cel()
    config = []

    class App(mod.CELSinkBase):
        def Init(self, host):
            self.host = host

        def Start(self):
            com.components[0].fire("OnOrderChanged", 1, "order", None, None, None)
            com.components[0].fire("OnTicksAdded", "ticks")  # wrong arity: reported, not raised

        def OnOrderChanged(self, changeType, cqgOrder, oldProperties, cqgFill, cqgError):
            pass

    def custom(cfg):
        cfg.ReadyStatusCheck = 1

    def call():
        com.reset()  # the stand-ins' own records of components and calls
        with contextlib.redirect_stderr(io.StringIO()):
            mod.Start(App, custom)
        host = mod.CelHost()
        try:
            host.Init(App, lambda cfg: cfg.nothing)  # fails across the apartments
        except com.com_error:
            pass
        host.Shutdown()
    return _quiet(call), [App, custom, config]


def _thread_case_cel(shutdown_raises):
    def setup():
        mod, com = _cel()
        if shutdown_raises:
            com.behaviour.shutdown_error = com.error(-2147467259, "Unspecified error")
        host = mod.CelHost()

        def open_():
            with contextlib.redirect_stdout(io.StringIO()):
                host.Init(mod.CELSinkBase, None)

        def close():
            with contextlib.redirect_stdout(io.StringIO()):
                try:
                    host.Shutdown()
                except com.com_error:
                    assert shutdown_raises
        return open_, close
    return setup


def _thread_case_futu():
    box = {}

    def open_():
        box["gw"] = _futu()[0]

    def close():
        box["gw"].close()
    return open_, close


CASES = {
    "futu.conversions": (_case_futu_conversions, 3000),
    # pandas keeps caches of its own that grow with the tables it builds and reads: 100-230 kB
    # in the first measured round, 50-75 kB in the next, then falling (CPython 3.9 and 3.11).
    "futu.requests": (_case_futu_requests, 300, 512_000),
    "futu.pushes.live": (_case_futu_pushes(TradeMode.LIVETRADE), 100),
    "futu.pushes.paper": (_case_futu_pushes(TradeMode.SIMULATE), 100),
    "futu.pushes.failing": (_case_futu_bad_pushes, 300),
    "cel.handlers": (_case_cel_handlers, 3000),
    "cel.runs": (_case_cel_runs, 300),
}

THREAD_CASES = {
    "cel_host": _thread_case_cel(False),
    "cel_host.shutdown_raises": _thread_case_cel(True),
    "futu": _thread_case_futu,
}
