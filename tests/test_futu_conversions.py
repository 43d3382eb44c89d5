"""futu_adapter conversions: direction, trade mode, order status, main-contract codes."""
import pytest
from futu import OrderStatus, TrdEnv, TrdSide

from kavrel_trader.core.constants import Direction, OrderStatus as KVOrderStatus, TradeMode
from kavrel_trader.core.security import Futures
from kavrel_trader.gateways.futu import futu_adapter as fa


@pytest.mark.parametrize("direction, side", [(Direction.SHORT, TrdSide.SELL),
                                             (Direction.LONG, TrdSide.BUY)])
def test_direction(direction, side):
    assert fa.convert_direction_kv2futu(direction) == side
    assert fa.convert_direction_kv2futu(direction=direction) == side


@pytest.mark.parametrize("mode, env", [(TradeMode.SIMULATE, TrdEnv.SIMULATE),
                                       (TradeMode.LIVETRADE, TrdEnv.REAL)])
def test_trade_mode(mode, env):
    assert fa.convert_trade_mode_kv2futu(mode) == env


@pytest.mark.parametrize("func, value, message", [
    (fa.convert_direction_kv2futu, Direction.NET, "Direction Direction.NET is not supported."),
    (fa.convert_direction_kv2futu, "LONG", "Direction LONG is not supported."),
    (fa.convert_trade_mode_kv2futu, TradeMode.BACKTEST,
     "TradeMode TradeMode.BACKTEST is not supported."),
    (fa.convert_orderstatus_futu2kv, OrderStatus.CANCELLING_ALL,
     "Order status CANCELLING_ALL is not recognized."),
    (fa.convert_orderstatus_futu2kv, OrderStatus.FILL_CANCELLED,
     "Order status FILL_CANCELLED is not recognized."),
    (fa.convert_orderstatus_futu2kv, None, "Order status None is not recognized."),
])
def test_unmapped_values_raise(func, value, message):
    with pytest.raises(ValueError) as e:
        func(value)
    assert str(e.value) == message


STATUS_TABLE = [
    ("NONE", "UNKNOWN"), ("UNSUBMITTED", "UNKNOWN"), ("WAITING_SUBMIT", "UNKNOWN"),
    ("SUBMITTING", "UNKNOWN"), ("DISABLED", "UNKNOWN"), ("DELETED", "UNKNOWN"),
    ("SUBMITTED", "SUBMITTED"), ("FILLED_ALL", "FILLED"), ("FILLED_PART", "PART_FILLED"),
    ("CANCELLED_ALL", "CANCELLED"), ("CANCELLED_PART", "CANCELLED"),
    ("CANCELLING_PART", "CANCELLED"), ("SUBMIT_FAILED", "FAILED"), ("TIMEOUT", "FAILED"),
    ("FAILED", "FAILED"),
]


@pytest.mark.parametrize("sdk, kv", STATUS_TABLE)
def test_order_status(sdk, kv):
    assert fa.convert_orderstatus_futu2kv(getattr(OrderStatus, sdk)) is getattr(KVOrderStatus, kv)


def test_status_groups_tested_in_order(monkeypatch):
    # A status equal to everything takes the first group's result.
    class Wild:
        def __eq__(self, other):
            return True

        __hash__ = object.__hash__

    assert fa.convert_orderstatus_futu2kv(Wild()) is KVOrderStatus.UNKNOWN


@pytest.mark.parametrize("code, expiry, expected", [
    ("HK.HSImain", "20240130", "HK.HSI2401"),
    ("HK.MHImain", "20231030", "HK.MHI2310"),
    ("HK.HSI2401", "20240130", "HK.HSI2401"),
    ("HK.HSImain", "2024", "HK.HSI24"),
    ("HK.mainXmain", "20991231", "HK.9912X9912"),
])
def test_hk_futures_code(code, expiry, expected):
    assert fa.get_hk_futures_code(Futures(code, "f", expiry_date=expiry)) == expected
    assert fa.get_hk_futures_code(security=Futures(code, "f", expiry_date=expiry)) == expected


def test_hk_futures_code_failures():
    with pytest.raises(TypeError):
        fa.get_hk_futures_code(Futures("HK.HSImain", "f"))  # no expiry date

    class NoExpiry:
        code = "HK.HSImain"

    with pytest.raises(AttributeError):
        fa.get_hk_futures_code(NoExpiry())

    class OddCode:
        expiry_date = "20240130"

        class code:
            @staticmethod
            def replace(old, new):
                return 7

    with pytest.raises(TypeError, match="Expected str, got int"):
        fa.get_hk_futures_code(OddCode())


def test_conversions_take_one_argument():
    with pytest.raises(TypeError, match="takes 1 positional argument but 2 were given"):
        fa.convert_direction_kv2futu(Direction.LONG, Direction.SHORT)
    with pytest.raises(TypeError, match="unexpected keyword argument 'side'"):
        fa.convert_direction_kv2futu(side=Direction.LONG)
    assert fa.convert_direction_kv2futu.__doc__ == "Convert KV direction to Futu"
    assert fa.get_hk_futures_code.__doc__ == \
        "Use security code and expiry date to determine exact futures code"


def test_sdk_names_read_when_used(monkeypatch):
    class Side:
        SELL, BUY = "S", "B"

    monkeypatch.setattr(fa, "TrdSide", Side)
    assert fa.convert_direction_kv2futu(Direction.SHORT) == "S"


def test_aliases_are_the_framework_enumerations():
    from kavrel_trader.core import constants
    assert fa.KVOrderStatus is constants.OrderStatus
    assert fa.KVOrderType is constants.OrderType
    assert fa.OrderStatus is OrderStatus


@pytest.mark.parametrize("name, params", [
    ("convert_direction_kv2futu", ["direction"]), ("convert_trade_mode_kv2futu", ["trade_mode"]),
    ("convert_orderstatus_futu2kv", ["status"]), ("get_hk_futures_code", ["security"]),
])
def test_functions_behave_like_defs(name, params):
    import inspect
    import pickle
    f = getattr(fa, name)
    assert list(inspect.signature(f).parameters) == params
    assert pickle.loads(pickle.dumps(f)) is f
    with pytest.raises(TypeError, match=f"missing 1 required positional argument: '{params[0]}'"):
        f()
