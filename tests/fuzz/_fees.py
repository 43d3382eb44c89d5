"""Shared pieces of the fee-schedule targets: deals, odd subclasses, the comparison."""
import math
from types import SimpleNamespace

from hypothesis import strategies as st

from kavrel_trader.core.constants import Direction
from kavrel_trader.core.deal import Deal

from .hostile import Make, MutatingNumber, RaisingNumber, anything, hostile_objects, numbers, sometimes

ATTRS = ("commissions", "platform_fees", "system_fees", "settlement_fees", "stamp_fees", "trade_fees",
         "transaction_fees", "total_fees", "total_number_of_trades", "total_trade_amount")
# ArithmeticError: the caller's own numbers (a Decimal NaN, ...) failing in the formulas.
ALLOWED = (TypeError, ValueError, AttributeError, ArithmeticError)

plain_number = st.one_of(st.integers(-10 ** 9, 10 ** 9), st.floats(allow_nan=True), st.sampled_from([0, 0.0, 1e308, -0.0]))
direction = st.one_of(st.sampled_from(list(Direction)), st.none(), hostile_objects, st.sampled_from(["SHORT", 1]))

plain_deals = st.lists(st.builds(lambda p, q, d: Deal(filled_avg_price=p, filled_quantity=q, direction=d),
                                 plain_number, plain_number, st.sampled_from(list(Direction))), max_size=8)
odd_deals = st.lists(st.one_of(
    st.builds(lambda p, q, d: Deal(filled_avg_price=p, filled_quantity=q, direction=d),
              sometimes(numbers), sometimes(numbers), direction),
    st.builds(lambda d: SimpleNamespace(**d),
              st.fixed_dictionaries({}, optional={"filled_avg_price": sometimes(numbers),
                                                  "filled_quantity": sometimes(numbers), "direction": direction})),
    hostile_objects,
), max_size=8)
deals = st.one_of(plain_deals, odd_deals, st.lists(anything(3), max_size=4))

# Values a derived schedule may have put in the result attributes or rates first.
preset = st.dictionaries(st.sampled_from(ATTRS + ("COMMISSION_RATE", "COMMISSION_MIN", "STAMP_RATE", "TRANSFER_RATE")),
                         st.one_of(numbers, st.builds(lambda: Make(RaisingNumber)),
                                   st.builds(lambda v: Make(MutatingNumber, value=v), st.floats())), max_size=3)


def same(a, b):
    if isinstance(a, float) and isinstance(b, float) and math.isnan(a) and math.isnan(b):
        return True
    return a == b and type(a) is type(b)


def run(native_cls, ref_cls, deals, preset, via_subclass):
    # Decided before the call: a hostile deal may empty the list while it is being charged.
    plain = not preset and all(type(d) is Deal and type(d.filled_avg_price) in (int, float)
                               and type(d.filled_quantity) in (int, float) for d in deals)
    deals = tuple(deals)
    cls = native_cls
    if preset and via_subclass:
        cls = type("Derived", (native_cls,), dict(preset))
    try:
        if preset and not via_subclass:
            obj = native_cls.__new__(native_cls)
            for k, v in preset.items():
                setattr(obj, k, v)
            obj.__init__(*deals)
        else:
            obj = cls(*deals)
    except MemoryError:
        # A sequence for a price times a huge quantity: the plain formulas fail alike.
        try:
            ref_cls(*deals)
        except MemoryError:
            return
        except Exception:  # noqa: BLE001 - any other outcome makes the MemoryError ours
            pass
        raise
    if plain:
        want = ref_cls(*deals)
        for a in ATTRS:
            assert same(getattr(obj, a), getattr(want, a)), (a, getattr(obj, a), getattr(want, a), deals)
