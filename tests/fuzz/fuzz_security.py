"""Security records: construction, hashing, comparison, text form, pickling and copying."""
import copy
import dataclasses
import pickle

from hypothesis import strategies as st

from kavrel_trader.core.constants import Exchange
from kavrel_trader.core.security import Commodity, Currency, Futures, Security, Stock

from reference import security as ref

from . import target
from .hostile import Boom, Make, anything, hostile_objects, sometimes, texts

KINDS = [Security, Stock, Currency, Commodity, Futures]
FIELDS = ("code", "security_name", "lot_size", "exchange", "expiry_date", "quote_currency")


class SubStock(Stock):
    pass


class InitSub(Security):
    """A Python subclass with its own __init__ that passes hostile values on."""

    def __init__(self, *args, **kwargs):
        super().__init__(*args, **kwargs)


class ExchangeLike:
    """Not an Exchange, but has a value (as a duck-typed exchange would)."""

    def __init__(self, value):
        self.value = value


CLASSES = st.sampled_from(KINDS + [SubStock, InitSub])
ALLOWED = (TypeError, ValueError, AttributeError, pickle.PicklingError, dataclasses.FrozenInstanceError)

field_values = st.one_of(
    texts, st.none(), st.sampled_from(list(Exchange)), st.integers(-5, 10 ** 6),
    st.builds(lambda v: Make(ExchangeLike, v), st.one_of(texts, st.none(), hostile_objects)), hostile_objects,
)
args_and_kwargs = st.tuples(
    st.lists(sometimes(field_values), max_size=7),
    st.dictionaries(st.one_of(st.sampled_from(FIELDS), st.text(max_size=4)), sometimes(field_values),
                    max_size=4),
)


def _exercise(s, other):
    repr(s)
    hash(s)
    s == other
    other == s
    s != other
    copy.copy(s)
    copy.deepcopy(s)
    pickle.loads(pickle.dumps(s))
    for name in FIELDS:
        getattr(s, name)


@target(st.tuples(CLASSES, args_and_kwargs, anything(6)), allowed=ALLOWED)
def construct_and_use(cls, ak, other):
    args, kwargs = ak
    s = cls(*args, **kwargs)
    for step in (lambda: repr(s), lambda: hash(s), lambda: s == other, lambda: other == s,
                 lambda: copy.copy(s), lambda: pickle.loads(pickle.dumps(s))):
        try:
            step()
        except ALLOWED + (Boom,):
            pass
    try:
        setattr(s, "code", "X")
    except dataclasses.FrozenInstanceError:
        pass
    else:
        raise AssertionError("a field was assigned on a frozen record")


@target(st.tuples(CLASSES, anything(8), st.booleans()), allowed=ALLOWED)
def setstate(cls, state, ready):
    """__setstate__ with any state, on a fresh object and on a finished one."""
    s = cls("C", "N") if ready else cls.__new__(cls)
    s.__setstate__(state)
    for step in (lambda: repr(s), lambda: hash(s), lambda: s == cls("C", "N"), lambda: s.__reduce__(),
                 lambda: copy.copy(s)):
        try:
            step()
        except ALLOWED + (Boom,):
            pass


good_fields = st.tuples(st.sampled_from(["SH.600000", "HK.00700", "", "股", "\ud800"]),
                        st.sampled_from(["A", "B", "", "é"]),
                        st.one_of(st.none(), st.integers(0, 3)),
                        st.sampled_from(list(Exchange)),
                        st.one_of(st.none(), st.sampled_from(["2025-01", ""])),
                        st.sampled_from(["", "USD"]))


@target(st.tuples(st.sampled_from(KINDS), good_fields, st.sampled_from(KINDS), good_fields),
        allowed=())
def rules_match_the_dataclasses(ca, fa, cb, fb):
    """Equality and hash agree with the frozen-dataclass model for well-formed records."""
    a, b = ca(*fa), cb(*fb)
    ra, rb = getattr(ref, ca.__name__)(*fa), getattr(ref, cb.__name__)(*fb)
    assert (a == b) == (ra == rb), (a, b)
    assert (b == a) == (rb == ra), (a, b)
    assert (a != b) == (not (ra == rb)), (a, b)
    if a == b and type(a) is type(b):
        assert hash(a) == hash(b)
    assert hash(a) == hash(ra)
    assert repr(a) == repr(ra)
    assert pickle.loads(pickle.dumps(a)) == a
