"""futu_adapter gateways: construction, push handlers, subscription, trade mode, close."""
import futu
import pandas as pd
import pytest

from fakes.futu_contexts import RET_ERROR, RET_OK, FutuContexts, make_gateway
from fakes.futu_wire import book_push, deal_push, order_push, quote_push
from kavrel_trader.core.constants import TradeMode
from kavrel_trader.core.security import Commodity, Stock
from kavrel_trader.gateways.base_gateway import BaseFees
from kavrel_trader.gateways.futu import futu_adapter as fa
from kavrel_trader.gateways.futu.futu_fees import FutuFeesCrypto

TENCENT = Stock("HK.00700", "Tencent", lot_size=100)
APPLE = Stock("US.AAPL", "Apple")
CLASSES = [("FutuAdapter", "sec", "FUTU"), ("FutuFuturesGateway", "future", "FUTUFUTURES"),
           ("FutuCryptoGateway", "crypto", "FUTUCRYPTO")]


@pytest.mark.parametrize("cls_name, trade_kind, name", CLASSES)
def test_construction_sequence_and_lines(monkeypatch, capsys, cls_name, trade_kind, name):
    settings = {"host": "10.0.0.2", "port": 2222, "pwd_unlock": "s3cret"}
    monkeypatch.setattr(fa, name, settings)
    gw, ctx = make_gateway(monkeypatch, fa, cls_name, [TENCENT, APPLE])
    quote, trade = ctx.quote, ctx.trade(trade_kind)
    assert [c.kind for c in ctx.created] == ["quote", trade_kind]
    assert (quote.host, quote.port, trade.host, trade.port) == ("10.0.0.2", 2222, "10.0.0.2", 2222)
    assert [c[0] for c in quote.calls] == ["set_handler", "set_handler", "start", "subscribe"]
    assert quote.calls[3][1:] == ((["HK.00700", "US.AAPL"], ["K_1M", "QUOTE", "ORDER_BOOK"]),
                                  {"subscribe_push": True})
    assert [c[0] for c in trade.calls] == ["set_handler", "set_handler", "unlock_trade", "start"]
    assert trade.calls[2][1] == ("s3cret",)
    assert gw.quote_ctx is quote and gw.trd_ctx is trade and gw.pwd_unlock == "s3cret"
    assert capsys.readouterr().out.splitlines() == [
        f"{name} successfully connected to Quote and Orderbook.",
        f"Successfully subscribed K_1M, QUOTE, and ORDER_BOOK for {[TENCENT, APPLE]}",
        "(0, 'unlocked')",
        f"{name} successfully connected to Order and Deal.",
    ]
    assert "s3cret" not in capsys.readouterr().out


@pytest.mark.parametrize("step, dfield", [(60000, "K_1M"), (60999, "K_1M"), (300000, "K_5M"),
                                          (86400000, "K_DAY")])
def test_subscription_type_from_time_step(monkeypatch, step, dfield):
    monkeypatch.setattr(fa, "TIME_STEP", step)
    gw, ctx = make_gateway(monkeypatch, fa, securities=[TENCENT])
    assert ctx.quote.calls_to("subscribe")[0][1][1] == [dfield, "QUOTE", "ORDER_BOOK"]


def test_refused_subscription(monkeypatch):
    with pytest.raises(ValueError, match="^Subscription Error: no quota$"):
        make_gateway(monkeypatch, fa, securities=[TENCENT],
                     program={"quote": {"subscribe_result": (RET_ERROR, "no quota")}})


@pytest.mark.parametrize("settings, error", [(None, TypeError), ({"host": "h", "port": 1}, KeyError),
                                             ({"pwd_unlock": 1, "port": 1}, KeyError)])
def test_missing_settings(monkeypatch, settings, error):
    monkeypatch.setattr(fa, "FUTU", settings)
    with pytest.raises(error):
        make_gateway(monkeypatch, fa, securities=[TENCENT])


def test_crypto_without_settings_opens_nothing(monkeypatch):
    monkeypatch.setattr(fa, "FUTUCRYPTO", None)
    contexts = FutuContexts().install(monkeypatch, fa)
    with pytest.raises(ValueError) as e:
        fa.FutuCryptoGateway([TENCENT], "cc")
    assert str(e.value) == ("GATEWAYS['Futucrypto'] is missing; add FUTUCRYPTO_GATEWAY to "
                            "kavrel_trader_config.")
    assert contexts.created == []


@pytest.mark.parametrize("args, message", [
    (((TENCENT,), "g"), "Argument 'securities' has incorrect type (expected list, got tuple)"),
    (([TENCENT], 5), "Argument 'gateway_name' has incorrect type (expected str, got int)"),
])
def test_argument_types(monkeypatch, args, message):
    make_gateway(monkeypatch, fa, securities=[])
    with pytest.raises(TypeError) as e:
        fa.FutuAdapter(*args)
    assert str(e.value) == message


def test_attributes_and_keyword_options(monkeypatch):
    seen = []
    real = fa.BaseGateway

    class RecordingBase:
        def __init__(self, securities, gateway_name, **kwargs):
            seen.append(kwargs)
            real.__init__(self, securities, gateway_name, **kwargs)

    monkeypatch.setattr(fa, "BaseGateway", RecordingBase)
    sessions = [[1, 2]]
    gw, _ = make_gateway(monkeypatch, fa, securities=[TENCENT], trading_sessions=sessions, x=1)
    assert gw.trading_sessions is sessions and gw.fees is BaseFees
    assert gw.start is None and gw.end is None
    assert seen[-1] == {"trading_sessions": sessions, "x": 1}
    plain, _ = make_gateway(monkeypatch, fa, securities=[TENCENT], start=1, end=2, fees=int)
    assert not hasattr(plain, "trading_sessions")
    assert (plain.start, plain.end, plain.fees) == (1, 2, int)
    fut, _ = make_gateway(monkeypatch, fa, "FutuFuturesGateway", [TENCENT], trading_sessions=sessions)
    assert seen[-1] == {} and fut.trading_sessions is sessions
    cc, _ = make_gateway(monkeypatch, fa, "FutuCryptoGateway", [TENCENT], x=2)
    assert seen[-1] == {"x": 2} and cc.fees is FutuFeesCrypto
    assert not hasattr(gw, "_trade_mode") and not hasattr(gw, "futu_trd_env")


def test_class_attributes():
    attrs = [k for k in vars(fa.FutuAdapter) if k.isupper()]
    assert attrs == ["TIME_STEP", "SHORT_INTEREST_RATE", "NAME", "KL_ALLOWED"]
    table = {fa.FutuAdapter: (0.0098, "FUTU"), fa.FutuFuturesGateway: (0.0, "FUTUFUTURES"),
             fa.FutuCryptoGateway: (0.0, "FUTUCRYPTO")}
    for cls, (rate, name) in table.items():
        assert (cls.SHORT_INTEREST_RATE, cls.NAME, cls.KL_ALLOWED, cls.TIME_STEP) == \
            (rate, name, ("1Day", "1Min"), 60000)
    assert fa.FutuAdapter.__doc__ == "Futu Gateway"
    assert fa.FutuFuturesGateway.__doc__ == "Futu futures gateway"
    assert "Paper trading is not supported by Futu for crypto." in fa.FutuCryptoGateway.__doc__
    assert issubclass(fa.FutuCryptoGateway, fa.FutuAdapter)
    assert issubclass(fa.FutuAdapter, fa.BaseGateway)


def test_module_constants_from_configuration():
    import kavrel_trader_config as cfg
    assert fa.FUTU == cfg.GATEWAYS.get("Futu")
    assert fa.FUTUFUTURES == cfg.GATEWAYS.get("Futufutures")
    assert fa.FUTUCRYPTO == cfg.GATEWAYS.get("Futucrypto")


SDK_NAMES = ["OpenQuoteContext", "OpenSecTradeContext", "OpenFutureTradeContext",
             "OpenCryptoTradeContext", "StockQuoteHandlerBase", "OrderBookHandlerBase",
             "TradeOrderHandlerBase", "TradeDealHandlerBase", "RET_OK", "RET_ERROR", "TrdSide",
             "TrdEnv", "OrderStatus", "KLType", "SubType", "AuType", "OrderType",
             "ModifyOrderOp", "KL_FIELD"]
SDK_MEMBERS = {"TrdSide": ["BUY", "SELL"], "TrdEnv": ["REAL", "SIMULATE"],
               "KLType": ["K_1M", "K_DAY"], "SubType": ["K_1M", "QUOTE", "ORDER_BOOK"],
               "AuType": ["QFQ", "NONE"], "OrderType": ["MARKET", "NORMAL"],
               "ModifyOrderOp": ["CANCEL"], "KL_FIELD": ["ALL"],
               "OrderStatus": [s for s, _ in __import__("test_futu_conversions").STATUS_TABLE]}


@pytest.mark.parametrize("name", SDK_NAMES)
def test_sdk_names_exist_in_the_real_package(name):
    real = getattr(futu, name)
    assert getattr(fa, name) is real
    assert isinstance(real, type) or type(real) is int
    for member in SDK_MEMBERS.get(name, []):
        assert isinstance(getattr(real, member), str)


def test_trade_mode_property(monkeypatch):
    gw, _ = make_gateway(monkeypatch, fa, securities=[TENCENT])
    with pytest.raises(AttributeError):
        gw.trade_mode
    gw.trade_mode = TradeMode.LIVETRADE
    assert gw.trade_mode is TradeMode.LIVETRADE and gw.futu_trd_env == futu.TrdEnv.REAL
    gw.trade_mode = TradeMode.SIMULATE
    assert gw.futu_trd_env == futu.TrdEnv.SIMULATE and gw._trade_mode is TradeMode.SIMULATE
    with pytest.raises(ValueError) as e:
        gw.trade_mode = TradeMode.BACKTEST
    assert str(e.value) == ("FutuAdapter only supports `SIMULATE` or `LIVETRADE` mode, "
                            "TradeMode.BACKTEST was passed in instead.")
    assert gw.trade_mode is TradeMode.SIMULATE and gw.futu_trd_env == futu.TrdEnv.SIMULATE


def test_crypto_trade_mode(monkeypatch):
    gw, _ = make_gateway(monkeypatch, fa, "FutuCryptoGateway", [TENCENT])
    gw.trade_mode = TradeMode.LIVETRADE
    assert gw.futu_trd_env == futu.TrdEnv.REAL
    with pytest.raises(ValueError) as e:
        gw.trade_mode = TradeMode.SIMULATE
    assert str(e.value) == ("FutuCryptoGateway only supports `LIVETRADE` mode (Futu crypto has "
                            "no paper trading); got TradeMode.SIMULATE.")
    assert gw.trade_mode is TradeMode.LIVETRADE


def test_market_datetime_is_local_now(monkeypatch):
    from datetime import datetime

    class Frozen(datetime):
        @classmethod
        def now(cls, tz=None):
            return datetime(2024, 5, 6, 7, 8, 9)

    gw, _ = make_gateway(monkeypatch, fa, securities=[TENCENT])
    monkeypatch.setattr(fa, "datetime", Frozen)
    assert gw.market_datetime == datetime(2024, 5, 6, 7, 8, 9)
    assert gw.unsubscribe() is None


# ---------------------------------------------------------------- push handlers

def test_handler_classes_fresh_per_connect(monkeypatch):
    gw, ctx = make_gateway(monkeypatch, fa, securities=[TENCENT])
    q, ob = ctx.quote.handlers
    order, deal = ctx.trade().handlers
    bases = [futu.StockQuoteHandlerBase, futu.OrderBookHandlerBase, futu.TradeOrderHandlerBase,
             futu.TradeDealHandlerBase]
    names = ["QuoteHandler", "OrderBookHandler", "TradeOrderHandler", "TradeDealHandler"]
    for h, base, name in zip((q, ob, order, deal), bases, names):
        assert type(h).__bases__ == (base,) and type(h).__name__ == name
        assert type(h).gateway is gw
    gw.connect_quote()
    assert type(ctx.quote.handlers[2]) is not type(q)
    assert type(ctx.quote.handlers[2]).gateway is gw


def test_real_quote_push_through_sdk_base(monkeypatch):
    from datetime import datetime
    gw, ctx = make_gateway(monkeypatch, fa, securities=[TENCENT])
    handler = ctx.quote.handlers[0]
    ret, data = handler.on_recv_rsp(quote_push())
    assert ret == futu.RET_OK and isinstance(data, pd.DataFrame)
    q = gw.get_quote(TENCENT)
    assert (q.security, q.exchange, q.datetime, q.last_price, q.volume, q.sec_status) == \
        (TENCENT, TENCENT.exchange, datetime(2024, 1, 2, 9, 30, 1), 350.2, 12345, "N/A")
    assert q.suspension == False  # noqa: E712  (numpy bool as the SDK gives it)


def test_real_order_book_push_through_sdk_base(monkeypatch):
    from datetime import datetime
    gw, ctx = make_gateway(monkeypatch, fa, securities=[TENCENT])
    ret, data = ctx.quote.handlers[1].on_recv_rsp(book_push())
    assert ret == futu.RET_OK
    book = gw.get_orderbook(TENCENT)
    assert book.datetime == datetime(2024, 1, 2, 9, 30, 1, 200000)
    assert (book.bid_price_1, book.bid_volume_3, book.bid_num_2, book.ask_price_1) == \
        (350.0, 300, 2, None)


def test_failed_push_is_not_processed(monkeypatch):
    gw, ctx = make_gateway(monkeypatch, fa, securities=[TENCENT])
    calls = []
    monkeypatch.setattr(fa.FutuAdapter, "process_quote", lambda self, d: calls.append(d))
    ret, data = ctx.quote.handlers[0].on_recv_rsp(quote_push(ret=-1))
    assert (ret, data, calls) == (futu.RET_ERROR, "bad push", [])
    ctx.quote.handlers[0].on_recv_rsp(quote_push())
    assert len(calls) == 1


@pytest.mark.parametrize("index, method", [(0, "process_order"), (1, "process_deal")])
def test_trade_handlers_forward_and_propagate(monkeypatch, index, method):
    table = pd.DataFrame({"order_id": ["1"]})
    replies = {"ok": (RET_OK, table), "bad": (RET_ERROR, "parse failed")}

    class Base:
        def on_recv_rsp(self, rsp_str):
            return replies[rsp_str]

    monkeypatch.setattr(fa, "TradeOrderHandlerBase", type("B1", (Base,), {}))
    monkeypatch.setattr(fa, "TradeDealHandlerBase", type("B2", (Base,), {}))
    gw, ctx = make_gateway(monkeypatch, fa, securities=[TENCENT])
    seen = []

    def process(self, data):
        seen.append(data)
        if len(seen) == 2:
            raise RuntimeError("processing failed")

    monkeypatch.setattr(fa.FutuAdapter, method, process)
    handler = ctx.trade().handlers[index]
    assert handler.on_recv_rsp("ok") == (RET_OK, table)
    assert handler.on_recv_rsp("bad") == (RET_ERROR, "parse failed")
    with pytest.raises(RuntimeError, match="processing failed"):
        handler.on_recv_rsp("ok")
    assert len(seen) == 2


# ---------------------------------------------------------------- close

@pytest.mark.parametrize("quote_fails, trade_fails", [(False, False), (True, False),
                                                      (False, True), (True, True)])
def test_close_closes_every_context(monkeypatch, quote_fails, trade_fails):
    gw, ctx = make_gateway(monkeypatch, fa, securities=[TENCENT])
    if quote_fails:
        ctx.quote.close_error = OSError("quote close failed")
    if trade_fails:
        ctx.trade().close_error = OSError("trade close failed")
    if quote_fails or trade_fails:
        first = "quote" if quote_fails else "trade"
        with pytest.raises(OSError, match=f"^{first} close failed$"):
            gw.close()
    else:
        assert gw.close() is None
    assert ctx.quote.calls[-1][0] == "close" and ctx.trade().calls[-1][0] == "close"


def test_close_without_trade_context(monkeypatch):
    gw, ctx = make_gateway(monkeypatch, fa, securities=[TENCENT])
    del gw.trd_ctx
    with pytest.raises(AttributeError):
        gw.close()
    assert ctx.quote.closed


ALT_SDK = r'''
import sys, types
import pandas as pd
alt = types.ModuleType("futu")
alt.RET_OK, alt.RET_ERROR = 0, -1
for enum, members in {"TrdSide": "BUY SELL", "TrdEnv": "REAL SIMULATE", "KLType": "K_1M K_DAY",
                      "SubType": "K_1M QUOTE ORDER_BOOK", "AuType": "QFQ NONE",
                      "OrderType": "MARKET NORMAL", "ModifyOrderOp": "CANCEL", "KL_FIELD": "ALL",
                      "OrderStatus": "NONE UNSUBMITTED WAITING_SUBMIT SUBMITTING DISABLED DELETED "
                                     "SUBMITTED FILLED_ALL FILLED_PART CANCELLED_ALL CANCELLED_PART "
                                     "CANCELLING_PART SUBMIT_FAILED TIMEOUT FAILED"}.items():
    setattr(alt, enum, type(enum, (), {m: "alt-" + m for m in members.split()}))
class Handler:
    def on_recv_rsp(self, rsp):
        return 0, rsp
for name in ("StockQuoteHandlerBase", "OrderBookHandlerBase", "TradeOrderHandlerBase",
             "TradeDealHandlerBase"):
    setattr(alt, name, type(name, (Handler,), {}))
class Ctx:
    def __init__(self, host=None, port=None): self.handlers = []
    def set_handler(self, h): self.handlers.append(h)
    def start(self): pass
    def subscribe(self, codes, types, subscribe_push=True): return 0, ""
    def unlock_trade(self, pwd): return 0, ""
    def close(self): pass
for name in ("OpenQuoteContext", "OpenSecTradeContext", "OpenFutureTradeContext",
             "OpenCryptoTradeContext"):
    setattr(alt, name, type(name, (Ctx,), {}))
sys.modules["futu"] = alt
from kavrel_trader.gateways.futu import futu_adapter as fa
from kavrel_trader.core.security import Stock
s = Stock("HK.00700", "Tencent")
gw = fa.FutuAdapter([s], "alt")
assert fa.TrdSide is alt.TrdSide and gw.quote_ctx.handlers[0].__class__.__bases__[0] is alt.StockQuoteHandlerBase
push = pd.DataFrame([{"code": "HK.00700", "data_date": "2024-01-02", "data_time": "09:30:00",
                      **{k: 1 for k in ("last_price", "open_price", "high_price", "low_price",
                                        "prev_close_price", "volume", "turnover", "turnover_rate",
                                        "amplitude", "suspension", "price_spread", "sec_status")}}])
assert gw.quote_ctx.handlers[0].on_recv_rsp(push)[0] == 0
print(gw.get_quote(s).datetime, fa.convert_orderstatus_futu2kv("alt-FILLED_ALL"))
'''


@pytest.mark.timeout(120)
def test_module_works_with_another_sdk_build():
    import subprocess
    import sys
    out = subprocess.run([sys.executable, "-c", ALT_SDK], capture_output=True, text=True)
    assert out.returncode == 0, out.stderr
    assert out.stdout.splitlines()[-1] == "2024-01-02 09:30:00 OrderStatus.FILLED"


def test_real_trade_pushes_through_sdk_bases(monkeypatch):
    from datetime import datetime
    from kavrel_trader.core.constants import Direction, OrderStatus
    from kavrel_trader.core.order import Order
    gw, ctx = make_gateway(monkeypatch, fa, securities=[TENCENT])
    gw.trade_mode = TradeMode.SIMULATE
    order = Order(security=TENCENT, quantity=5, direction=Direction.LONG)
    gw.orders.put("X123", order)
    order_handler, deal_handler = ctx.trade().handlers
    assert order_handler.on_recv_rsp(order_push())[0] == futu.RET_OK
    assert (order.filled_quantity, order.status, order.filled_avg_price, order.updated_time) == \
        (3.0, OrderStatus.FILLED, 350.1, datetime(2024, 1, 2, 9, 30, 5))
    (synthetic,) = gw.deals.queue.values()
    assert synthetic.filled_quantity == 3.0 and synthetic.orderid == "X123"
    assert deal_handler.on_recv_rsp(deal_push())[0] == futu.RET_OK
    deal = gw.deals.get(77)
    assert (deal.filled_quantity, deal.filled_avg_price, deal.orderid) == (3.0, 350.1, "X123")
