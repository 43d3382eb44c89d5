import copy
import dataclasses
import gc
import math
import pickle
import tracemalloc

import numpy as np
import pytest

from kavrel_trader.core.constants import Exchange
from kavrel_trader.core import security as sec
from kavrel_trader.core.security import Commodity, Currency, Futures, Security, Stock

from reference import security as ref

KINDS = [Stock, Currency, Commodity, Futures]
ALL = [Security] + KINDS
DEFAULTS = {
    Security: (None, None),
    Stock: (1, Exchange.SEHK),
    Currency: (1000, Exchange.IDEALPRO),
    Commodity: (1000, Exchange.IDEALPRO),
    Futures: (1000, Exchange.SMART),
}


# The frozen-dataclass model of the same rules, by native class.
REF = {cls: getattr(ref, cls.__name__) for cls in ALL}


def outcome(fn):
    try:
        return fn()
    except Exception as e:  # noqa: BLE001 - the exception type is the outcome
        return type(e)


# ---------------------------------------------------------------- construction

@pytest.mark.parametrize("cls", ALL)
def test_defaults_and_field_order(cls):
    s = cls("HK.00700", "Tencent")
    lot, exch = DEFAULTS[cls]
    assert (s.code, s.security_name, s.lot_size, s.exchange, s.expiry_date, s.quote_currency) == \
        ("HK.00700", "Tencent", lot, exch, None, "")
    assert cls("C", "N", 5, Exchange.NYSE, "2025-01", "USD") == cls(
        quote_currency="USD", expiry_date="2025-01", exchange=Exchange.NYSE, lot_size=5,
        security_name="N", code="C")
    assert isinstance(s, Security) and type(s) is cls


def test_docs_and_names():
    assert [c.__doc__ for c in ALL] == ["Base class for different asset types", "Cash equity",
                                        "Foreign exchange", "Commodity", "Futures"]
    assert all(c.__module__ == "kavrel_trader.core.security" for c in ALL)
    assert sec.Exchange is Exchange


@pytest.mark.parametrize("cls", [Security, Stock, Futures])
@pytest.mark.parametrize("args, kwargs", [
    ((), {}), (("C",), {}), ((), {"code": "C"}), ((), {"security_name": "N"}),
    (tuple(range(7)), {}), (("C", "N"), {"foo": 1}), (("C",), {"code": "D"}),
    (tuple(range(7)), {"bar": 1}), (("C",), {"code": 1, "bar": 2}), ((), {"Code": "C"}),
    (("C", "N"), {"self": 1}), (("C", "N"), {"lotsize": 1}), (("C", "N"), {"quote_ccy": ""}),
])
def test_argument_errors_read_like_a_dataclass(cls, args, kwargs):
    with pytest.raises(TypeError) as ours:
        cls(*args, **kwargs)
    with pytest.raises(TypeError) as ref:
        REF[cls](*args, **kwargs)
    assert str(ours.value) == str(ref.value)


@pytest.mark.parametrize("value", [object(), [1], 3.5, None, b"x", -1])
def test_no_validation_of_field_values(value):
    s = Stock(value, value, value, value, value, value)
    assert s.code is value and s.exchange is value and s.quote_currency is value


@pytest.mark.parametrize("cls", ALL)
def test_dataclass_helpers(cls):
    s = cls("C", "N", exchange=Exchange.NYSE)
    assert dataclasses.is_dataclass(s)
    assert [f.name for f in dataclasses.fields(s)] == [f.name for f in dataclasses.fields(REF[cls])]
    assert dataclasses.asdict(s) == dataclasses.asdict(REF[cls]("C", "N", exchange=Exchange.NYSE))
    t = dataclasses.replace(s, lot_size=7)
    assert type(t) is cls and t.lot_size == 7 and (t.code, t.exchange) == ("C", Exchange.NYSE)


# ---------------------------------------------------------------- equality and hashing

def _pairs():
    yield "same base, other lot", lambda c: (c[Security]("C", "N", 1, Exchange.SEHK),
                                             c[Security]("C", "N", 100, Exchange.SEHK))
    yield "stock lot differs", lambda c: (c[Stock]("C", "N", 1), c[Stock]("C", "N", 100))
    yield "stock vs base", lambda c: (c[Stock]("C", "N", 100), c[Security]("C", "N", 1, Exchange.SEHK))
    yield "stock vs base other exch", lambda c: (c[Stock]("C", "N"), c[Security]("C", "N", 1, Exchange.NYSE))
    yield "stock vs futures", lambda c: (c[Stock]("C", "N", 1, Exchange.SEHK),
                                         c[Futures]("C", "N", 1, Exchange.SEHK))
    yield "currency vs commodity", lambda c: (c[Currency]("C", "N"), c[Commodity]("C", "N"))
    yield "kind vs int", lambda c: (c[Stock]("C", "N"), 5)
    yield "kind vs None", lambda c: (c[Futures]("C", "N"), None)
    yield "base vs int", lambda c: (c[Security]("C", "N", exchange=Exchange.SEHK), 5)
    yield "base vs str", lambda c: (c[Security]("C", "N", exchange=Exchange.SEHK), "C")
    yield "base no exch, other code", lambda c: (c[Security]("C", "N"), c[Security]("D", "N"))
    yield "base no exch, same code/name", lambda c: (c[Security]("C", "N"), c[Security]("C", "N"))
    yield "base no exch vs stock", lambda c: (c[Security]("C", "N"), c[Stock]("C", "N"))
    yield "base vs other name", lambda c: (c[Security]("C", "N", exchange=Exchange.SEHK),
                                           c[Stock]("C", "M"))
    yield "nan code kind", lambda c: (c[Stock](math.nan, "N"), c[Stock](math.nan, "N"))
    yield "nan code base", lambda c: (c[Security](math.nan, "N"), c[Security](math.nan, "N"))
    yield "odd values", lambda c: (c[Security](1, 2, exchange=Exchange.SMART), c[Stock](1, 2, 3, Exchange.SMART))


PAIRS = list(_pairs())


@pytest.mark.parametrize("build", [p[1] for p in PAIRS], ids=[p[0] for p in PAIRS])
def test_comparisons_match_the_dataclass_model(build):
    ours_a, ours_b = build({c: c for c in ALL})
    ref_a, ref_b = build(REF)
    for f in (lambda a, b: a == b, lambda a, b: b == a, lambda a, b: a != b, lambda a, b: b != a,
              lambda a, b: a == a):
        assert outcome(lambda: f(ours_a, ours_b)) == outcome(lambda: f(ref_a, ref_b))
    assert outcome(lambda: hash(ours_a)) == outcome(lambda: hash(ref_a))


class Answer:
    """A field value whose comparisons answer with a truthy or falsy non-bool object."""
    def __init__(self, equal):
        self.equal = equal

    def __eq__(self, other):
        return np.bool_(self.equal)

    __hash__ = object.__hash__


@pytest.mark.parametrize("build", [
    lambda: (Stock("x", np.int64(5)), Security("x", "x")),          # base rule, name differs
    lambda: (Security("x", np.int64(5), exchange=Exchange.SEHK), Security("x", np.int64(5), exchange=Exchange.SEHK)),
    lambda: (Security(np.float64(1.0), "N"), Security(np.float64(2.0), "N")),
    lambda: (Stock(np.float64(1.0), "N"), Stock(np.float64(1.0), "N")),   # kind rule, all equal
    lambda: (Stock("C", "N", np.int64(1)), Stock("C", "N", np.int64(2))),
    lambda: (Futures("C", "N", expiry_date=Answer(True)), Futures("C", "N", expiry_date=Answer(True))),
    lambda: (Futures("C", "N", expiry_date=Answer(False)), Futures("C", "N", expiry_date=Answer(False))),
    lambda: (Security(Answer(True), "N", exchange=Exchange.SEHK), Security(Answer(True), "N", exchange=Exchange.SEHK)),
])
def test_equality_always_answers_a_bool(build):
    a, b = build()
    assert all(type(result) is bool for result in (a == b, b == a, a != b, b != a))
    assert (a == b) is (not (a != b))
    ra, rb = (REF[type(x)](*dataclasses.astuple(x)) for x in (a, b))
    assert (a == b) is bool(ra == rb)


@pytest.mark.parametrize("cls", ALL)
@pytest.mark.parametrize("op, message", [
    (lambda a, b: a < b, "'<' not supported between instances of '{a}' and '{b}'"),
    (lambda a, b: a >= b, "'>=' not supported between instances of '{a}' and '{b}'"),
    (lambda a, b: a + b, "unsupported operand type(s) for +: '{a}' and '{b}'"),
    (lambda a, b: len(a), "object of type '{a}' has no len()"),
    (lambda a, b: a[0], "'{a}' object is not subscriptable"),
])
def test_messages_name_the_class_as_python_does(cls, op, message):
    a, b = cls("C", "N", 1, Exchange.SEHK), Futures("C", "N")
    with pytest.raises(TypeError) as e:
        op(a, b)
    assert str(e.value) == message.format(a=cls.__name__, b="Futures")
    with pytest.raises(TypeError) as e:                      # the dataclass model says the same
        op(REF[cls]("C", "N", 1, Exchange.SEHK), REF[Futures]("C", "N"))
    assert str(e.value) == message.format(a=cls.__name__, b="Futures")
    assert (cls.__module__, cls.__qualname__, cls.__name__) == ("kavrel_trader.core.security", cls.__name__, cls.__name__)
    assert repr(cls) == f"<class 'kavrel_trader.core.security.{cls.__name__}'>"
    assert pickle.loads(pickle.dumps(cls)) is cls


def test_base_hash_is_the_hash_of_the_key_text():
    s = Security("HK.00700", "Tencent", 100, Exchange.SEHK)
    assert hash(s) == hash("Tencent|HK.00700|SEHK")
    assert hash(Security(7, None, exchange=Exchange.SMART)) == hash("None|7|SMART")


@pytest.mark.parametrize("cls", KINDS)
def test_kind_hash_is_the_hash_of_the_field_tuple(cls):
    s = cls("C", "N", 3, Exchange.NYSE, "2030-01-01", "USD")
    assert hash(s) == hash(("C", "N", 3, Exchange.NYSE, "2030-01-01", "USD"))
    assert hash(s) == hash(cls("C", "N", 3, Exchange.NYSE, "2030-01-01", "USD"))


def test_hash_errors_are_raised_each_time():
    s = Security("C", "N")
    for _ in range(2):
        with pytest.raises(AttributeError):
            hash(s)
    for _ in range(2):
        with pytest.raises(TypeError):
            hash(Stock("C", "N", [1]))


def test_records_as_dict_keys():
    d = {Stock("C", "N"): 1, Security("C", "N", exchange=Exchange.SEHK): 2, Futures("C", "N"): 3}
    assert d[Stock("C", "N")] == 1
    assert d[Security("C", "N", 9, Exchange.SEHK)] == 2
    assert Stock("C", "N", 100) not in d
    assert len({Stock("C", "N"), Stock("C", "N")}) == 1


# ---------------------------------------------------------------- immutability, text form

@pytest.mark.parametrize("cls", ALL)
@pytest.mark.parametrize("name", ["code", "exchange", "quote_currency", "other"])
def test_frozen(cls, name):
    s = cls("C", "N", 1, Exchange.SEHK)
    with pytest.raises(dataclasses.FrozenInstanceError, match=f"^cannot assign to field '{name}'$"):
        setattr(s, name, 1)
    with pytest.raises(dataclasses.FrozenInstanceError, match=f"^cannot delete field '{name}'$"):
        delattr(s, name)
    with pytest.raises((TypeError, AttributeError)):
        object.__setattr__(s, "code", 1)
    assert s.code == "C" and s == cls("C", "N", 1, Exchange.SEHK)


def test_repr():
    assert repr(Stock("HK.00700", "Tencent")) == (
        "Stock(code='HK.00700', security_name='Tencent', lot_size=1, "
        "exchange=<Exchange.SEHK: 'SEHK'>, expiry_date=None, quote_currency='')")
    s = Futures("HK.HSI", "HSI", 50, Exchange.HKFE, "2024-06", "HKD")
    assert str(s) == repr(s) == repr(REF[Futures]("HK.HSI", "HSI", 50, Exchange.HKFE, "2024-06", "HKD"))
    assert repr(Security("C", "N")).startswith("Security(code='C', security_name='N', lot_size=None")
    items = []
    nested = Stock(items, "N")
    items.append(nested)
    assert repr(nested).startswith("Stock(code=[...], ")


# ---------------------------------------------------------------- pickle and copy

@pytest.mark.parametrize("cls", ALL)
@pytest.mark.parametrize("protocol", range(pickle.HIGHEST_PROTOCOL + 1))
def test_pickle_round_trip(cls, protocol):
    s = cls("C", "N", 10, Exchange.NYSE, "2030-01", "USD")
    t = pickle.loads(pickle.dumps(s, protocol))
    assert type(t) is cls and t == s and hash(t) == hash(s) and repr(t) == repr(s)


@pytest.mark.parametrize("cls", ALL)
@pytest.mark.parametrize("op", [copy.copy, copy.deepcopy])
def test_copy(cls, op):
    s = cls("C", "N", 10, Exchange.NYSE)
    t = op(s)
    assert type(t) is cls and t == s and t.exchange is Exchange.NYSE


def test_pickle_state_is_the_dataclass_state():
    # The same (__newobj__, (cls,), field dict) form a frozen dataclass pickles to, so state
    # written by either form restores into the other.
    s = Stock("C", "N")
    func, args, state = s.__reduce__()[:3]
    assert args == (Stock,) and state == dataclasses.asdict(REF[Stock]("C", "N"))
    t = func(*args)
    t.__setstate__(state)
    assert t == s
    with pytest.raises(dataclasses.FrozenInstanceError):
        s.__setstate__({"code": "X"})
    assert s.code == "C"


# ---------------------------------------------------------------- Python subclasses

class MySecurity(Security):
    pass


class MyStock(Stock):
    pass


def test_python_subclasses_keep_their_rule():
    base = MySecurity("C", "N", exchange=Exchange.SEHK)
    assert base == Stock("C", "N") and Stock("C", "N") == base
    assert hash(base) == hash("N|C|SEHK")
    mine = MyStock("C", "N")
    assert mine != Stock("C", "N") and Stock("C", "N") != mine
    assert mine == MyStock("C", "N") and hash(mine) == hash(Stock("C", "N"))
    assert mine == Security("C", "N", exchange=Exchange.SEHK)
    mine.note = "kept"
    with pytest.raises(dataclasses.FrozenInstanceError):
        mine.code = "X"
    t = pickle.loads(pickle.dumps(mine))
    assert type(t) is MyStock and t.note == "kept" and t == mine
    assert repr(mine).startswith("MyStock(code='C'")


class SlottedStock(Stock):
    __slots__ = ("board", "unset")


class SlottedWithDict(SlottedStock):
    pass


@pytest.mark.parametrize("cls", [SlottedStock, SlottedWithDict])
@pytest.mark.parametrize("op", [copy.copy, copy.deepcopy, lambda s: pickle.loads(pickle.dumps(s, 0)),
                                lambda s: pickle.loads(pickle.dumps(s))])
def test_subclass_slot_values_survive_copy_and_pickle(cls, op):
    s = cls("C", "N")
    s.board = "main"
    if cls is SlottedWithDict:
        s.note = "kept"
    t = op(s)
    assert type(t) is cls and t == s and t.board == "main" and not hasattr(t, "unset")
    assert getattr(t, "note", None) == getattr(s, "note", None)


def test_subclass_fields_read_as_attributes():
    class Routed(Security):
        @property
        def exchange(self):
            return Exchange.SMART

    r = Routed("C", "N")
    assert hash(r) == hash("N|C|SMART") and r == Stock("C", "N", exchange=Exchange.SMART)
    assert "exchange=<Exchange.SMART: 'SMART'>" in repr(r)


def test_subclass_with_its_own_init():
    class Listed(Stock):
        def __init__(self, code, board):
            self.board = board
            super().__init__(code, "Listed " + code, lot_size=100)

    s = Listed("HK.1", "main")
    assert (s.code, s.security_name, s.lot_size, s.exchange, s.board) == \
        ("HK.1", "Listed HK.1", 100, Exchange.SEHK, "main")
    assert copy.deepcopy(s) == s

    class Forgetful(Security):
        def __init__(self, x):
            pass

    f = Forgetful(1)
    for op in (lambda: f.code, lambda: hash(f), lambda: repr(f), lambda: f == f):
        with pytest.raises(AttributeError):
            op()


# ---------------------------------------------------------------- robustness

@pytest.mark.parametrize("cls", KINDS)
def test_equality_survives_a_field_refilling_its_record(cls):
    # A record left unfinished by a failed __setstate__ can still be filled by __init__; a field
    # whose __eq__ does that releases the values being compared.
    class Refill:
        def __init__(self):
            self.victim = None

        def __eq__(self, other):
            victim, self.victim = self.victim, None
            if victim is not None:
                victim.__init__("Z", "Z")
            return NotImplemented

        __hash__ = object.__hash__

    class Other:
        def __eq__(self, other):
            return isinstance(other, Refill)

        __hash__ = object.__hash__

    s = cls.__new__(cls)
    state = dict(code=Refill(), security_name="N", lot_size=1, exchange=Exchange.SEHK, expiry_date=None,
                 quote_currency="")
    state[1] = 2  # a non-str key after the fields: the state is refused half applied
    with pytest.raises(TypeError):
        s.__setstate__(state)
    del state  # the record holds the only reference to its code
    s.code.victim = s
    assert (s == cls(Other(), "N", 1, Exchange.SEHK)) is False
    assert s.code == "Z"


def test_deep_nesting_does_not_crash():
    s = Stock("C", "N")
    for _ in range(100_000):
        s = Stock(s, "N")
    with pytest.raises(RecursionError):
        hash(s)
    del s  # deallocation of a deep chain must not overflow the C stack


def test_no_leaks():
    def work():
        for cls in ALL:
            s = cls("C", "N", 1, Exchange.SEHK)
            hash(s), s == cls("C", "N", 1, Exchange.SEHK), repr(s), copy.deepcopy(s)
            pickle.loads(pickle.dumps(s))
            outcome(lambda: s == 5)
            outcome(lambda: cls())
            outcome(lambda: setattr(s, "code", 1))

    for _ in range(200):
        work()
    gc.collect()
    tracemalloc.start()
    before = tracemalloc.get_traced_memory()[0]
    for _ in range(2000):
        work()
    gc.collect()
    grown = tracemalloc.get_traced_memory()[0] - before
    tracemalloc.stop()
    assert grown < 50_000
