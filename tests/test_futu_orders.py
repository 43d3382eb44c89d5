"""futu_adapter orders and account, and the futures and crypto trade paths."""
from datetime import datetime

import pandas as pd
import pytest
from futu import ModifyOrderOp, OrderType as SdkOrderType, TrdEnv, TrdSide

from fakes.futu_contexts import RET_ERROR, RET_OK, make_gateway
from kavrel_trader.core.constants import Direction, Exchange, OrderStatus, OrderType, TradeMode
from kavrel_trader.core.order import Order
from kavrel_trader.core.security import Commodity, Futures, Security, Stock
from kavrel_trader.gateways.futu import futu_adapter as fa

TENCENT = Stock("HK.00700", "Tencent", lot_size=100)
APPLE = Stock("US.AAPL", "Apple", exchange=Exchange.NASDAQ)
HSI = Futures("HK.HSImain", "HSI", exchange=Exchange.HKFE, expiry_date="20240130")
MHI = Futures("HK.MHImain", "MHI", exchange=Exchange.HKFE, expiry_date="20231030")
BTC = Security("CC.BTCUSD", "Bitcoin", exchange=Exchange.CRYPTO)


@pytest.fixture
def gw(monkeypatch):
    return make_gateway(monkeypatch, fa, securities=[TENCENT, APPLE, HSI, MHI], trade_mode=TradeMode.LIVETRADE)[0]


@pytest.fixture
def crypto(monkeypatch):
    return make_gateway(monkeypatch, fa, "FutuCryptoGateway", [BTC], trade_mode=TradeMode.LIVETRADE)[0]


def order(security, quantity, order_type=OrderType.LIMIT, price=350.0, direction=Direction.LONG):
    return Order(security=security, price=price, quantity=quantity, direction=direction,
                 order_type=order_type, status=OrderStatus.UNKNOWN)


@pytest.mark.parametrize("security, quantity, order_type, qty, price, sdk_type, code", [
    (TENCENT, 2, OrderType.LIMIT, 200, 350.0, SdkOrderType.NORMAL, "HK.00700"),
    (TENCENT, 0.29, OrderType.LIMIT, 29, 350.0, SdkOrderType.NORMAL, "HK.00700"),
    (TENCENT, 0.57, OrderType.MARKET, 57, 0.01, SdkOrderType.MARKET, "HK.00700"),
    (APPLE, 1.7, OrderType.MARKET, 1, 0.01, SdkOrderType.MARKET, "US.AAPL"),
    (APPLE, -1.7, OrderType.LIMIT, -1, 350.0, SdkOrderType.NORMAL, "US.AAPL"),
    (HSI, 1, OrderType.LIMIT, 1, 350.0, SdkOrderType.NORMAL, "HK.HSI2401"),
    (Futures("HK.HSI2401", "HSI", expiry_date="20240130"), 3, OrderType.LIMIT, 3, 350.0,
     SdkOrderType.NORMAL, "HK.HSI2401"),
    (Stock("HK.MHImain", "not futures", expiry_date="20231030"), 1, OrderType.LIMIT, 1, 350.0,
     SdkOrderType.NORMAL, "HK.MHImain"),
])
def test_place_order(gw, security, quantity, order_type, qty, price, sdk_type, code):
    o = order(security, quantity, order_type, direction=Direction.SHORT)
    assert gw.place_order(o) == "F1001"
    (_, _, kw), = gw.trd_ctx.calls_to("place_order")
    assert kw == {"price": price, "qty": qty, "code": code, "trd_side": TrdSide.SELL,
                  "order_type": sdk_type, "trd_env": TrdEnv.REAL}
    assert type(kw["qty"]) is int
    assert o.status is OrderStatus.SUBMITTED and gw.orders.get("F1001") is o
    assert o.quantity == quantity


def test_refused_order(gw, capsys):
    gw.trd_ctx.place_result = (RET_ERROR, "insufficient funds")
    o = order(TENCENT, 1)
    capsys.readouterr()
    assert gw.place_order(o) == ""
    assert capsys.readouterr().out == f"[place_order]({o}) failed: insufficient funds\n"
    assert o.status is OrderStatus.UNKNOWN and gw.orders.queue == {}


@pytest.mark.parametrize("gateway", ["gw", "crypto"])
def test_order_id_the_store_refuses_leaves_the_status(request, gateway):
    # A reply table with two "order_id" columns gives an array as the id: unhashable.
    g = request.getfixturevalue(gateway)
    g.trd_ctx.place_result = (RET_OK, pd.DataFrame([["F1", "F2"]], columns=["order_id", "order_id"]))
    o = order(BTC, 1)
    with pytest.raises(TypeError, match="unhashable"):
        g.place_order(o)
    assert o.status is OrderStatus.UNKNOWN and g.orders.queue == {}


@pytest.mark.parametrize("gateway", ["gw", "crypto"])
def test_unsupported_order_type_before_any_call(request, gateway):
    g = request.getfixturevalue(gateway)
    o = order(BTC, 1, order_type="STOP")
    who = "Futu Gateway" if gateway == "gw" else "FutuCryptoGateway"
    with pytest.raises(ValueError, match=f"^Order type STOP is not supported in {who}.$"):
        g.place_order(o)
    assert g.trd_ctx.calls_to("place_order") == []


def test_trade_calls_need_a_trade_mode(monkeypatch):
    g, ctx = make_gateway(monkeypatch, fa, securities=[TENCENT])
    for call in (lambda: g.place_order(order(TENCENT, 1)), lambda: g.cancel_order("1"),
                 g.get_broker_balance, g.get_all_broker_positions):
        with pytest.raises(AttributeError):
            call()
    assert [c[0] for c in ctx.trade().calls] == ["set_handler", "set_handler", "unlock_trade", "start"]


def test_cancel_order(gw, capsys):
    assert gw.cancel_order("F9") is None
    assert gw.trd_ctx.calls_to("modify_order") == [
        ("modify_order", (ModifyOrderOp.CANCEL, "F9", 0, 0), {"trd_env": TrdEnv.REAL})]
    gw.trd_ctx.modify_result = (RET_ERROR, "too late")
    capsys.readouterr()
    gw.cancel_order(orderid="F9")
    assert capsys.readouterr().out == "[cancel_order](F9) failed: too late\n"


def balance_table(**over):
    row = {"power": 1000.0, "available_funds": 900.0, "maintenance_margin": 10.0,
           "unrealized_pl": -5.0, "max_power_short": 800.0, "net_cash_power": 700.0}
    row.update(over)
    return pd.DataFrame([row])


@pytest.mark.parametrize("over, short, net", [({}, 800.0, 700.0),
                                              ({"max_power_short": "N/A"}, -1, 700.0),
                                              ({"net_cash_power": "N/A"}, 800.0, -1)])
def test_broker_balance(gw, over, short, net):
    gw.trd_ctx.accinfo_result = (RET_OK, balance_table(**over))
    b = gw.get_broker_balance()
    assert (b.cash, b.available_cash, b.maintenance_margin, b.unrealized_pnl) == \
        (1000.0, 900.0, 10.0, -5.0)
    assert (b.max_power_short, b.net_cash_power) == (short, net)
    assert gw.trd_ctx.calls_to("accinfo_query")[0][2] == {"trd_env": TrdEnv.REAL}


def test_broker_balance_failure(gw, capsys):
    gw.trd_ctx.accinfo_result = (RET_ERROR, "down")
    capsys.readouterr()
    assert gw.get_broker_balance() is None
    assert capsys.readouterr().out == "[get_broker_balanc] failed: down\n"


def positions(*rows):
    return pd.DataFrame([{"code": c, "stock_name": n, "position_side": s, "cost_price": p,
                          "qty": q} for c, n, s, p, q in rows],
                        columns=["code", "stock_name", "position_side", "cost_price", "qty"])


class Frozen(datetime):
    @classmethod
    def now(cls, tz=None):
        return datetime(2024, 3, 10, 15, 0, 0)


def test_positions(gw, monkeypatch):
    monkeypatch.setattr(fa, "datetime", Frozen)
    gw.trd_ctx.position_result = (RET_OK, positions(
        ("HK.MHI2310", "MHI Oct", "LONG", 17000.0, 2), ("HK.00700", "Tencent", "SHORT", 300.0, 500),
        ("HK.HSI2402", "HSI Feb", "LONG", 16000.0, 1), ("US.TSLA", "Tesla", "NET", 200.0, 3),
        ("HK.ABCDEF1234", "odd", "LONG", 1.0, 1), ("HK.AB1234", "odd", "LONG", 1.0, 1)))
    ps = gw.get_all_broker_positions()
    assert [p.security for p in ps[:2]] == [MHI, TENCENT]
    assert ps[2].security is HSI  # any dated month belongs to the main contract
    assert type(ps[3].security) is Security and ps[3].security.code == "US.TSLA"
    assert [p.security.code for p in ps[4:]] == ["HK.ABCDEF1234", "HK.AB1234"]
    assert [p.direction for p in ps[:4]] == [Direction.LONG, Direction.SHORT, Direction.LONG,
                                             Direction.SHORT]
    assert (ps[1].holding_price, ps[1].quantity, ps[1].update_time) == \
        (300.0, 500, datetime(2024, 3, 10, 15))
    assert gw.get_broker_position(TENCENT, Direction.SHORT).quantity == 500
    assert gw.get_broker_position(TENCENT, Direction.LONG) is None


def test_positions_failure(gw, capsys):
    gw.trd_ctx.position_result = (RET_ERROR, "no account")
    capsys.readouterr()
    assert gw.get_all_broker_positions() is None
    assert gw.get_broker_position(TENCENT, Direction.LONG) is None
    assert capsys.readouterr().out == "[get_all_broker_positions] failed: no account\n" * 2
    gw.trd_ctx.position_result = (RET_OK, positions())
    assert gw.get_all_broker_positions() == []


# ---------------------------------------------------------------- futures and crypto

def test_futures_gateway_trades_dated_contracts(monkeypatch):
    g, ctx = make_gateway(monkeypatch, fa, "FutuFuturesGateway", [HSI])
    g.trade_mode = TradeMode.SIMULATE
    assert g.place_order(order(HSI, 2)) == "F1001"
    assert ctx.trade("future").calls_to("place_order")[0][2]["code"] == "HK.HSI2401"
    assert ctx.trade("future").calls_to("place_order")[0][2]["trd_env"] == TrdEnv.SIMULATE


@pytest.mark.parametrize("quantity, sent", [(0.000123, 0.00013), (0.00012, 0.00012), (0.3, 0.3),
                                            (2, 2.0), (1.000001, 1.00001), (2e-17, 1e-05)])
def test_crypto_quantity_step(crypto, quantity, sent):
    o = order(BTC, quantity, price=42000.0)
    assert crypto.place_order(o) == "F1001"
    (_, _, kw), = crypto.trd_ctx.calls_to("place_order")
    assert kw["qty"] == sent and type(kw["qty"]) is float
    assert kw["code"] == "CC.BTCUSD" and kw["trd_env"] == TrdEnv.REAL
    assert o.status is OrderStatus.SUBMITTED


@pytest.mark.parametrize("quantity, reason", [
    (0, "quantity must be > 0"), (-0.5, "quantity must be > 0"), (float("nan"), "quantity must be > 0"),
    (1e-17, "quantity rounds to 0 (min tick is usually 0.00001 for BTC pairs)"),
    (5e-18, "quantity rounds to 0 (min tick is usually 0.00001 for BTC pairs)"),
])
def test_crypto_refusals(crypto, capsys, quantity, reason):
    o = order(BTC, quantity)
    capsys.readouterr()
    assert crypto.place_order(o) == ""
    assert capsys.readouterr().out == f"[place_order]({o}) failed: {reason}\n"
    assert crypto.trd_ctx.calls_to("place_order") == [] and crypto.orders.queue == {}


def test_crypto_main_code_unchanged(crypto):
    hk_main = Futures("HK.HSImain", "x", expiry_date="20240130")
    crypto.place_order(order(hk_main, 1))
    assert crypto.trd_ctx.calls_to("place_order")[0][2]["code"] == "HK.HSImain"


def test_crypto_positions(crypto):
    crypto.trd_ctx.position_result = (RET_OK, positions(
        ("CC.BTCUSD", "Bitcoin", "LONG", 42000.0, 0.5), ("CC.ETHUSD", "Ether", "LONG", 2000.0, 1.25),
        ("HK.MHI2310", "MHI", "SHORT", 1.0, 1)))
    ps = crypto.get_all_broker_positions()
    assert ps[0].security is BTC
    eth = ps[1].security
    assert type(eth) is Commodity and (eth.code, eth.security_name, eth.lot_size, eth.exchange) == \
        ("CC.ETHUSD", "Ether", 1, Exchange.CRYPTO)
    assert ps[2].security.code == "HK.MHI2310" and ps[2].direction is Direction.SHORT
    assert crypto.get_broker_position(BTC, Direction.LONG).quantity == 0.5


@pytest.mark.parametrize("row_code, attached", [("HK.ABC1234", True), ("HK.ABCDE1234X", True),
                                                ("HK.ABCDEF1234", False), ("HK.AB1234", False),
                                                ("HK.ABC123", False), ("XHK.ABC1234", False)])
def test_dated_code_pattern(gw, row_code, attached):
    mains = [Futures(code[:-4] + "main", "m") for code in (row_code, row_code[:-1])]
    gw.securities.extend(mains)
    gw.trd_ctx.position_result = (RET_OK, positions((row_code, "x", "LONG", 1.0, 1)))
    (p,) = gw.get_all_broker_positions()
    assert (p.security in mains and p.security.code == row_code[:-4] + "main") == attached
    if not attached:
        assert p.security.code == row_code
