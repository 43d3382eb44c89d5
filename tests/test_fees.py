"""Fee schedules: IB (HK, Connect, US futures), QMT China A-shares, CQG futures."""
import math
import sys
import types
from decimal import Decimal
from fractions import Fraction

import numpy as np
import pytest
from hypothesis import given, strategies as st

from kavrel_trader.core.constants import Direction
from kavrel_trader.core.deal import Deal
from kavrel_trader.gateways.base_gateway import BaseFees
from kavrel_trader.gateways.cqg import cqg_commissions
from kavrel_trader.gateways.cqg.cqg_commissions import CQGCommissions
from kavrel_trader.gateways.ib import ib_commissions
from kavrel_trader.gateways.ib.ib_commissions import (
    IbHKEquityFees,
    IbSHSZHKConnectEquityFees,
    IbUSFuturesFees,
)
from kavrel_trader.gateways.qmt import qmt_commissions
from kavrel_trader.gateways.qmt.qmt_commissions import QmtCommissionsCN

from reference import fees as ref

ATTRS = ("commissions", "platform_fees", "system_fees", "settlement_fees", "stamp_fees",
         "trade_fees", "transaction_fees", "total_fees", "total_number_of_trades",
         "total_trade_amount")

# Each native schedule with its plain-Python version.
PAIRS = [(IbHKEquityFees, ref.IbHKEquityFees),
         (IbSHSZHKConnectEquityFees, ref.IbSHSZHKConnectEquityFees),
         (IbUSFuturesFees, ref.IbUSFuturesFees), (QmtCommissionsCN, ref.QmtCommissionsCN),
         (CQGCommissions, ref.CQGCommissions)]
PAIR_IDS = ["hk", "connect", "usfut", "qmt", "cqg"]


def same(a, b):
    """Equal value and the same type, NaN equal to NaN."""
    if type(a) is not type(b):
        return False
    if isinstance(a, float) and math.isnan(a):
        return math.isnan(b)
    return a == b


def assert_same_fees(ours, theirs):
    for name in ATTRS:
        a, b = getattr(ours, name), getattr(theirs, name)
        assert same(a, b), (name, a, b)
    assert list(vars(ours)) == list(vars(theirs))


def outcome(cls, deals):
    try:
        return cls(*deals), None
    except Exception as e:  # noqa: BLE001 - compared by type and text
        return None, (type(e), str(e))


def check_against_ref(cls, py_cls, deals):
    ours, err = outcome(cls, deals)
    theirs, ref_err = outcome(py_cls, deals)
    assert err == ref_err
    if ref_err is None:
        assert_same_fees(ours, theirs)


def deal(price=None, qty=None, direction=Direction.LONG):
    return Deal(filled_avg_price=price, filled_quantity=qty, direction=direction)


# ---------------------------------------------------------------- worked cases

def fees_of(obj):
    return {name: getattr(obj, name) for name in ATTRS}


@pytest.mark.parametrize("cls", [IbHKEquityFees, IbSHSZHKConnectEquityFees])
def test_equity_without_deals_charges_minimum_commission_once(cls):
    f = cls()
    assert fees_of(f) == dict.fromkeys(ATTRS, 0) | {"commissions": 18, "total_fees": 18}
    assert type(f.commissions) is int and type(f.total_fees) is int


@pytest.mark.parametrize("cls", [IbUSFuturesFees, CQGCommissions])
def test_futures_without_deals_all_zero_ints(cls):
    f = cls()
    assert all(getattr(f, name) == 0 and type(getattr(f, name)) is int for name in ATTRS)


def test_qmt_without_deals_number_types():
    f = QmtCommissionsCN()
    assert (f.commissions, f.trade_fees, f.stamp_fees, f.total_fees) == (0, 0, 0.0, 0.0)
    assert [type(v) for v in (f.commissions, f.trade_fees, f.stamp_fees, f.total_fees)] == \
        [int, int, float, float]
    assert "total_number_of_trades" not in vars(f)


@pytest.mark.parametrize("deals, expected", [
    ([deal(10.0, 1000)], dict(settlement_fees=2.0, stamp_fees=13, trade_fees=0.5,
                              transaction_fees=0.27, system_fees=0.5, commissions=18,
                              total_fees=34.27, total_number_of_trades=1)),
    ([deal(10000.0, 1000)], dict(settlement_fees=100.0, commissions=8000.0)),
    ([deal(1.0, 1000), deal(1.0, 1000)], dict(stamp_fees=4)),
    ([deal(15.0, 1000), deal(15.0, 1000)], dict(commissions=24.0)),
    ([deal(0.0, 0)], dict(system_fees=0.5, settlement_fees=2.0, trade_fees=0.01,
                          transaction_fees=0.01, stamp_fees=0)),
], ids=["ta10k", "cap100", "stamp-per-deal", "commission-once", "zero-ta"])
def test_hk_worked_cases(deals, expected):
    f = IbHKEquityFees(*deals)
    for name, value in expected.items():
        assert getattr(f, name) == pytest.approx(value), name
    assert type(f.stamp_fees) is int


def test_connect_worked_case():
    f = IbSHSZHKConnectEquityFees(deal(100.0, 1000))
    assert (f.system_fees, f.settlement_fees, f.stamp_fees, f.trade_fees, f.transaction_fees,
            f.commissions, f.total_fees) == (2.0, 4.0, 100.0, 4.87, 0, 80.0, 190.87)


@pytest.mark.parametrize("cls, commissions", [(IbUSFuturesFees, 4.25), (CQGCommissions, 9.6)])
def test_futures_per_contract(cls, commissions):
    f = cls(deal(None, 3), deal(None, 2))
    assert f.commissions == pytest.approx(commissions) and f.total_fees == f.commissions
    assert "total_number_of_trades" not in vars(f)


@pytest.mark.parametrize("deals, expected", [
    ([deal(10.0, 1000)], (5.0, 0.1, 0.0, 5.1)),
    ([deal(10.0, 1000, Direction.SHORT)], (5.0, 0.1, 5.0, 10.1)),
    ([deal(1234.56, 1, Direction.SHORT)], (5.0, 0.01, 0.62, 5.63)),
    ([deal(10.0, 1000, Direction.SHORT)] * 2, (10.0, 0.2, 10.0, 20.2)),
    ([deal(25.0, 10000, Direction.SHORT)], (62.5, 2.5, 125.0, 190.0)),
], ids=["buy", "sell", "stamp-up", "two-sells", "above-min"])
def test_qmt_worked_cases(deals, expected):
    f = QmtCommissionsCN(*deals)
    assert (f.commissions, f.trade_fees, f.stamp_fees, f.total_fees) == \
        pytest.approx(expected)


@pytest.mark.parametrize("cls, py_cls, rates, deals, name, want", [
    (IbHKEquityFees, ref.IbHKEquityFees, {}, [deal(22.5, 1000)], "commissions", 18.0),
    (IbSHSZHKConnectEquityFees, ref.IbSHSZHKConnectEquityFees, {},
     [deal(225, 60), deal(Fraction(45, 2), 400)], "commissions", 18.0),
    (QmtCommissionsCN, ref.QmtCommissionsCN, {"COMMISSION_MIN": 5}, [deal(10.0, 2000)], "commissions", 5.0),
    (QmtCommissionsCN, ref.QmtCommissionsCN, {"COMMISSION_RATE": 0, "COMMISSION_MIN": 0.0},
     [deal(10, 100)], "commissions", 0),
    (IbHKEquityFees, ref.IbHKEquityFees, {}, [deal(np.float64(100.0), 1000)], "settlement_fees",
     np.float64(2.0)),
], ids=["hk-minimum", "connect-minimum-exact-ints", "qmt-int-minimum", "qmt-int-rate", "hk-settlement-floor"])
def test_a_tie_with_the_minimum_keeps_the_first_as_max_does(cls, py_cls, rates, deals, name, want):
    # The fee equals its minimum (0.0008 * 22,500 == 18, 0.00025 * 20,000 == 5, ...).
    ours, theirs = type("Ours", (cls,), rates), type("Theirs", (py_cls,), rates)
    assert same(getattr(ours(*deals), name), want)
    check_against_ref(ours, theirs, deals)


# ---------------------------------------------------------------- class shape

@pytest.mark.parametrize("cls", [c for c, _ in PAIRS], ids=PAIR_IDS)
def test_real_class_over_base_fees(cls):
    assert BaseFees in cls.__mro__ and isinstance(cls(), BaseFees)
    assert type(cls) is type(BaseFees)
    assert cls.__module__ == sys.modules[cls.__module__].__name__


@pytest.mark.parametrize("module", [ib_commissions, qmt_commissions, cqg_commissions])
def test_module_names_bound(module):
    assert module.BaseFees is BaseFees and module.Deal is Deal


def test_docstrings():
    assert CQGCommissions.__doc__ == "CQG fee model"
    assert QmtCommissionsCN.__doc__.splitlines() == [
        "Simplified mainland A-share fee model (broker schedules vary).",
        "- Commission: 0.025% of notional, min CNY 5",
        "- Stamp duty: 0.05% of notional on sells only (current CN policy)",
        "- Transfer fee: 0.001% of notional (SSE/SZSE)"]
    assert IbUSFuturesFees.__doc__.endswith("For simplicity, use 0.85 USD/contract")
    assert (QmtCommissionsCN.COMMISSION_RATE, QmtCommissionsCN.COMMISSION_MIN,
            QmtCommissionsCN.STAMP_RATE, QmtCommissionsCN.TRANSFER_RATE) == \
        (0.00025, 5.0, 0.0005, 0.00001)


@pytest.mark.parametrize("cls", [c for c, _ in PAIRS], ids=PAIR_IDS)
@pytest.mark.parametrize("key", ["fees", "\ud800"])  # a lone surrogate once gave UnicodeEncodeError
def test_keywords_rejected(cls, key):
    prefix = "__init__()" if sys.version_info < (3, 10) else f"{cls.__name__}.__init__()"
    with pytest.raises(TypeError) as ei:
        cls(deal(1.0, 1), **{key: 1})
    assert str(ei.value) == f"{prefix} got an unexpected keyword argument '{key}'"


# ---------------------------------------------------------------- adds to / sets, subclasses

PRESET = dict(commissions=1.5, platform_fees=3, system_fees=0.25, settlement_fees=7,
              stamp_fees=2.5, trade_fees=1, transaction_fees=0.125, total_fees=99,
              total_number_of_trades=10, total_trade_amount=1000)


def with_preset(cls):
    class Preset(cls):
        def __init__(self, *deals):
            for name, value in PRESET.items():
                setattr(self, name, value)
            super().__init__(*deals)
    return Preset


@pytest.mark.parametrize("cls, py_cls", PAIRS, ids=PAIR_IDS)
@pytest.mark.parametrize("n", [0, 2])
def test_preset_attributes_added_to_or_replaced(cls, py_cls, n):
    deals = [deal(12.5, 300, Direction.SHORT), deal(3.0, 7)][:n]
    ours, theirs = with_preset(cls)(*deals), with_preset(py_cls)(*deals)
    assert_same_fees(ours, theirs)


def test_futures_rebuild_replaces():
    f = CQGCommissions(deal(None, 3))
    f.__init__(deal(None, 2))
    assert f.commissions == pytest.approx(3.84)


def test_equity_rebuild_adds():
    f = IbHKEquityFees(deal(10.0, 1000))
    f.__init__(deal(10.0, 1000))
    assert f.total_number_of_trades == 2 and f.stamp_fees == 26


def test_qmt_rates_through_the_object():
    class Cheap(QmtCommissionsCN):
        COMMISSION_MIN = 1

    assert Cheap(deal(10.0, 1000)).commissions == 2.5
    assert Cheap(deal(1.0, 1)).commissions == 1 and type(Cheap(deal(1.0, 1)).commissions) is int

    class InstanceRates(QmtCommissionsCN):
        def __init__(self, *deals):
            self.STAMP_RATE = 0.001
            super().__init__(*deals)

    assert InstanceRates(deal(10.0, 1000, Direction.SHORT)).stamp_fees == 10.0


def test_override_and_extend():
    class Flat(IbHKEquityFees):
        def __init__(self, *deals):
            super().__init__(*deals)
            self.total_fees += 1

    assert Flat().total_fees == 19


# ---------------------------------------------------------------- module names at call time

def test_math_looked_up_at_call_time(monkeypatch):
    monkeypatch.setattr(ib_commissions, "math", types.SimpleNamespace(ceil=lambda x: 42))
    assert IbHKEquityFees(deal(1.0, 1), deal(1.0, 1)).stamp_fees == 84


def test_direction_looked_up_at_call_time(monkeypatch):
    monkeypatch.setattr(qmt_commissions, "Direction", types.SimpleNamespace(SHORT="S"))
    assert QmtCommissionsCN(deal(10.0, 1000, "S")).stamp_fees == 5.0
    assert QmtCommissionsCN(deal(10.0, 1000, Direction.SHORT)).stamp_fees == 0.0


def test_direction_equality_not_identity():
    class AnySell:
        def __eq__(self, other):
            return other is Direction.SHORT

    assert QmtCommissionsCN(deal(10.0, 1000, AnySell())).stamp_fees == 5.0
    assert QmtCommissionsCN(deal(10.0, 1000, "SHORT")).stamp_fees == 0.0


# ---------------------------------------------------------------- bad input

class NoPrice:
    filled_quantity = 1
    direction = Direction.LONG


class NoQuantity:
    filled_avg_price = 1.0
    direction = Direction.LONG


@pytest.mark.parametrize("cls, py_cls", PAIRS, ids=PAIR_IDS)
@pytest.mark.parametrize("bad", [
    NoPrice(), NoQuantity(), deal("abc", 3), deal(1.0, "x"), deal(None, 1), deal(1.0, None),
    deal(Decimal("1.5"), 2), deal(float("inf"), 1), deal(float("nan"), 1), deal(-float("inf"), 1),
], ids=["no-price", "no-qty", "str-price", "str-qty", "none-price", "none-qty", "decimal",
        "inf", "nan", "-inf"])
def test_bad_deals_fail_as_python_does(cls, py_cls, bad):
    check_against_ref(cls, py_cls, [deal(2.0, 5), bad])


def test_missing_field_is_attribute_error():
    with pytest.raises(AttributeError):
        IbHKEquityFees(NoQuantity())
    with pytest.raises(AttributeError):
        QmtCommissionsCN(types.SimpleNamespace(filled_avg_price=1.0, filled_quantity=1))


def test_ceil_errors():
    with pytest.raises(OverflowError, match="cannot convert float infinity to integer"):
        IbHKEquityFees(deal(float("inf"), 1))
    with pytest.raises(ValueError, match="cannot convert float NaN to integer"):
        QmtCommissionsCN(deal(float("nan"), 1, Direction.SHORT))


# ---------------------------------------------------------------- number semantics

@pytest.mark.parametrize("cls, py_cls", PAIRS, ids=PAIR_IDS)
@pytest.mark.parametrize("price, qty", [
    (10, 1000), (True, 7), (2**62, 4), (2**70, 3), (-(2**63), 1), (10**17, 10**3),
    (Fraction(1, 3), 300), (np.float64(2.675), 100), (np.int64(15), 1000),
    (Decimal(2), Decimal(3)), (1e308, 10.0), (-0.0, 5), (10.0, -1000),
], ids=["ints", "bool", "int-near-limit", "bigint", "int64-min", "int-product-overflow",
        "fraction", "np-float", "np-int", "decimal", "float-overflow", "neg-zero", "negative"])
def test_number_types_like_python(cls, py_cls, price, qty):
    check_against_ref(cls, py_cls, [deal(price, qty, Direction.SHORT), deal(1.5, 10)])


def test_int_trade_amount_keeps_int_counters():
    f = IbHKEquityFees(deal(10, 1000))
    assert type(f.total_trade_amount) is int and type(f.stamp_fees) is int
    assert type(f.settlement_fees) is float


def test_overflow_midway_switches_to_exact_ints():
    deals = [deal(3, 5)] + [deal(2**62, 1)] * 3
    check_against_ref(IbHKEquityFees, ref.IbHKEquityFees, deals)
    assert IbHKEquityFees(*deals).total_trade_amount == 15 + 3 * 2**62


NUMBERS = st.one_of(
    st.integers(-10**6, 10**6),
    st.integers(-2**70, 2**70),
    st.floats(-1e9, 1e9),
    st.floats(allow_nan=False, allow_infinity=False),
    st.integers(-10**7, 10**7).map(lambda k: k / 100),
    st.booleans(),
)
DEALS = st.lists(
    st.builds(deal, NUMBERS, NUMBERS,
              st.sampled_from([Direction.LONG, Direction.SHORT, Direction.NET, None])),
    max_size=6)


@pytest.mark.parametrize("cls, py_cls", PAIRS, ids=PAIR_IDS)
@given(deals=DEALS)
def test_matches_python_reference(cls, py_cls, deals):
    check_against_ref(cls, py_cls, deals)


# ---------------------------------------------------------------- exact rounding

class RoundProbe(QmtCommissionsCN):
    """commissions and trade_fees end as round(0 + x, 2) for a single deal of price x."""
    COMMISSION_RATE = 1.0
    COMMISSION_MIN = float("-inf")
    TRANSFER_RATE = 1.0


TIE_SHAPED = st.one_of(
    st.integers(-10**12, 10**12).map(lambda k: k / 1000 + 0.005),
    st.integers(-10**12, 10**12).map(lambda k: k * 0.005),
    st.integers(-10**15, 10**15).map(lambda k: k / 1000),
    st.integers(-10**6, 10**6).map(lambda k: k / 100 + 0.005),
)
ANY_FLOAT = st.one_of(
    st.floats(allow_nan=True, allow_infinity=True),
    st.floats(-1e16, 1e16),
    st.floats(-1e-3, 1e-3),
    st.floats(min_value=1e12, max_value=1e20),
    TIE_SHAPED,
)


def _check_round(x):
    f = RoundProbe(deal(x, 1))
    expected = round(0 + x, 2)
    assert same(f.commissions, expected) and same(f.trade_fees, expected), x
    if expected == 0:
        assert math.copysign(1, f.commissions) == math.copysign(1, expected)


@given(x=ANY_FLOAT)
def test_round2_equals_python_round(x):
    _check_round(x)


@pytest.mark.parametrize("x", [2.675, 1.005, 0.125, 0.375, -2.675, -0.001, -0.005, 0.005,
                               1e-300, 5e-324, 1e13 + 0.005, 2.0**53, 1.7976931348623157e308,
                               6997.025000000001, 0.015, 0.025, 1.115, -1.115])
def test_round2_known_values(x):
    _check_round(x)


def test_round2_negative_zero():
    class Neg(RoundProbe):
        def __init__(self, *deals):
            self.commissions = -0.0
            super().__init__(*deals)

    f = Neg(deal(-0.001, 1))
    assert f.commissions == 0 and math.copysign(1, f.commissions) == -1
