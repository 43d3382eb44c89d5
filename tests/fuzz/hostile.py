"""Hostile inputs shared by the fuzz targets.

Everything a caller can hand a native function from outside: wrong types, empty and huge
values, NaN and infinities, non-ASCII text and lone surrogates, subclasses of the expected
types, and objects whose special methods raise `Boom` or change the container being read
while the native code is still walking it (the way use-after-free faults surface).
"""
import math
import sys
from datetime import date, datetime, timedelta, timezone
from decimal import Decimal
from fractions import Fraction

import numpy as np
from hypothesis import strategies as st


class Boom(Exception):
    """Raised by hostile objects; a target may let it through (it is the caller's error)."""


# ---------------------------------------------------------------- victims
#
# A mutating object acts on a "victim": the list or dict the native code is reading when
# the object's method runs. `realize` attaches the victim when it builds the objects.

_busy = set()


def _mutate(victim, how):
    # Not re-entered: removing a key from a dict hashes it again, which would mutate again.
    if victim is None or id(victim) in _busy:
        return
    _busy.add(id(victim))
    try:
        _mutate_once(victim, how)
    finally:
        _busy.discard(id(victim))


def _mutate_once(victim, how):
    if isinstance(victim, list):
        if how == 0:
            victim.clear()
        elif how == 1:
            victim.extend(object() for _ in range(64))  # forces a reallocation
        elif how == 2 and victim:
            victim[:] = [None] * len(victim)             # drops every element's reference
        else:
            del victim[: len(victim) // 2]
    elif isinstance(victim, dict):
        if how == 0:
            victim.clear()
        elif how == 1:
            for i in range(64):
                victim["k%d" % i] = i                     # forces a resize
        else:
            for k in list(victim)[: len(victim) // 2]:
                victim.pop(k, None)


class Hostile:
    """Base of the misbehaving objects: `victim` is the container to mutate, `how` the way."""

    def __init__(self, how=0, victim=None, value=1.0):
        self.how = how
        self.victim = victim
        self.value = value

    def __repr__(self):
        return "%s(how=%d)" % (type(self).__name__, self.how)


class RaisingEq(Hostile):
    def __eq__(self, other):
        raise Boom("__eq__")

    def __ne__(self, other):
        raise Boom("__ne__")

    def __hash__(self):
        raise Boom("__hash__")

    def __lt__(self, other):
        raise Boom("__lt__")

    __le__ = __gt__ = __ge__ = __lt__


class MutatingEq(Hostile):
    """Compares and hashes like its value, after changing the victim."""

    def __eq__(self, other):
        _mutate(self.victim, self.how)
        return self.value == other

    def __hash__(self):
        _mutate(self.victim, self.how)
        return hash(self.value)

    def __lt__(self, other):
        _mutate(self.victim, self.how)
        return id(self) < id(other)

    __gt__ = __lt__


class RaisingNumber(Hostile):
    """Claims to be a number; every conversion raises."""

    def __float__(self):
        raise Boom("__float__")

    def __index__(self):
        raise Boom("__index__")

    def __int__(self):
        raise Boom("__int__")

    def __bool__(self):
        raise Boom("__bool__")

    def __add__(self, other):
        raise Boom("__add__")

    __radd__ = __sub__ = __rsub__ = __mul__ = __rmul__ = __truediv__ = __rtruediv__ = __add__


class MutatingNumber(Hostile):
    """A number whose conversions change the victim first."""

    def __float__(self):
        _mutate(self.victim, self.how)
        return float(self.value)

    def __index__(self):
        _mutate(self.victim, self.how)
        return int(self.value) if math.isfinite(self.value) else 0

    __int__ = __index__

    def __bool__(self):
        _mutate(self.victim, self.how)
        return bool(self.value)


class WrongFloat(Hostile):
    """__float__ returns something that is not a float."""

    def __float__(self):
        return "1.0"

    def __index__(self):
        return 1.5


class RaisingGetattr(Hostile):
    def __getattr__(self, name):
        raise Boom("__getattr__ " + name)


class MutatingGetattr(Hostile):
    """Every missing attribute reads as the value, after changing the victim."""

    def __getattr__(self, name):
        if name.startswith("__"):
            raise AttributeError(name)
        _mutate(self.__dict__.get("victim"), self.__dict__.get("how", 0))
        return self.__dict__.get("value", 1.0)


class RaisingIter(Hostile):
    def __iter__(self):
        raise Boom("__iter__")

    def __len__(self):
        return 3

    def __getitem__(self, i):
        raise Boom("__getitem__")


class LyingLen(Hostile):
    """Reports more items than its iterator yields, or fewer."""

    def __len__(self):
        return 10 ** 6 if self.how % 2 else 0

    def __iter__(self):
        _mutate(self.victim, self.how)
        return iter([self.value, self.value])

    def __getitem__(self, i):
        if i < 2:
            return self.value
        raise IndexError(i)


class StrSub(str):
    """A str subclass whose Python-level methods misbehave (native code must not rely on them)."""

    def __eq__(self, other):
        raise Boom("StrSub.__eq__")

    def __hash__(self):
        return str.__hash__(self)

    def upper(self):
        raise Boom("StrSub.upper")

    def strip(self, *a):
        raise Boom("StrSub.strip")

    def __str__(self):
        raise Boom("StrSub.__str__")


class FloatSub(float):
    def __float__(self):
        raise Boom("FloatSub.__float__")

    def __eq__(self, other):
        raise Boom("FloatSub.__eq__")

    __hash__ = float.__hash__


class IntSub(int):
    def __index__(self):
        raise Boom("IntSub.__index__")

    def __eq__(self, other):
        raise Boom("IntSub.__eq__")

    __hash__ = int.__hash__


class DictSub(dict):
    """A dict subclass whose Python-level accessors raise or change the dict itself."""

    def __getitem__(self, k):
        dict.clear(self)
        raise Boom("DictSub.__getitem__")

    def get(self, k, default=None):
        dict.clear(self)
        return default

    def items(self):
        raise Boom("DictSub.items")

    def keys(self):
        raise Boom("DictSub.keys")


class ListSub(list):
    def __iter__(self):
        raise Boom("ListSub.__iter__")

    def __len__(self):
        return list.__len__(self) + 5


class DatetimeSub(datetime):
    def __sub__(self, other):
        raise Boom("DatetimeSub.__sub__")

    def __lt__(self, other):
        raise Boom("DatetimeSub.__lt__")

    def replace(self, *a, **k):
        raise Boom("DatetimeSub.replace")

    def strftime(self, fmt):
        raise Boom("DatetimeSub.strftime")


class RaisingStr(Hostile):
    def __str__(self):
        raise Boom("__str__")

    def __repr__(self):
        raise Boom("__repr__")

    def __format__(self, spec):
        raise Boom("__format__")


class HugeRepr(Hostile):
    def __repr__(self):
        return "x" * 100_000

    __str__ = __repr__


HOSTILE_CLASSES = (RaisingEq, MutatingEq, RaisingNumber, MutatingNumber, WrongFloat,
                   RaisingGetattr, MutatingGetattr, RaisingIter, LyingLen, RaisingStr, HugeRepr)


class Make:
    """A recipe for a hostile object, built fresh for every call by `realize`.

    Hypothesis only ever sees recipes (plain objects it can compare, hash and replay), so
    objects whose special methods raise or mutate never run inside the engine, and a
    mutation during one call cannot leak into the next input.
    """

    def __init__(self, cls, *args, **kwargs):
        self.cls, self.args, self.kwargs = cls, args, kwargs

    def __repr__(self):
        return "%s(%s)" % (self.cls.__name__, ", ".join(
            [repr(a) for a in self.args] + ["%s=%r" % kv for kv in self.kwargs.items()]))


def _victims(obj):
    """The hostile objects directly inside `obj` (a container or an attribute record)."""
    if isinstance(obj, Hostile):
        return [obj]
    if isinstance(obj, dict):
        vals = list(dict.values(obj))
    elif isinstance(obj, list):
        vals = list(list.__iter__(obj))
    elif isinstance(obj, tuple):
        vals = list(tuple.__iter__(obj))
    else:
        d = getattr(obj, "__dict__", None)
        vals = list(d.values()) if type(d) is dict and not isinstance(obj, Hostile) else []
    return [v for v in vals if isinstance(v, Hostile)]


def realize(value):
    """The real objects for a drawn value: recipes built, containers rebuilt, and every
    hostile object pointed at the nearest container holding it (its victim)."""
    from types import SimpleNamespace

    if isinstance(value, Make):
        args = [realize(a) for a in value.args]
        kwargs = {k: realize(v) for k, v in value.kwargs.items()}
        if value.cls in (ListSub, DictSub) and args:
            obj = value.cls(args[0])
        else:
            obj = value.cls(*args, **kwargs)
    elif type(value) is list:
        obj = [realize(v) for v in value]
    elif type(value) is tuple:
        obj = tuple(realize(v) for v in value)
    elif type(value) is dict:
        obj = {realize(k): realize(v) for k, v in value.items()}
    elif type(value) is SimpleNamespace:
        obj = SimpleNamespace(**{k: realize(v) for k, v in vars(value).items()})
    else:
        return value
    # Hostile items mutate the container they sit in; items of a record mutate the record's
    # own container one level up (set by the caller's pass).
    for item in _victims(obj):
        if item.victim is None:
            item.victim = obj
    if isinstance(obj, dict):  # hostile keys too: hashing or comparing them changes the dict
        for key in list(dict.keys(obj)):
            if isinstance(key, Hostile):
                key.victim = obj
    if isinstance(obj, (list, dict)):
        # One level down: items of a record always, and items of an inner dict with an odd
        # `how`, act on this outer container instead (the rows of a list of records, say,
        # pulled from under the code while it reads a row).
        inner = list(dict.values(obj)) if isinstance(obj, dict) else list(list.__iter__(obj))
        for rec in inner:
            if isinstance(rec, (list, tuple)):
                continue
            for item in _victims(rec):
                if not isinstance(rec, dict) or item.how % 2:
                    item.victim = obj
    return obj


# ---------------------------------------------------------------- strategies

hostile_objects = st.builds(
    lambda cls, how, value: Make(cls, how=how, value=value),
    st.sampled_from(HOSTILE_CLASSES),
    st.integers(0, 3),
    st.sampled_from([0.0, 1.0, -1.0, float("nan"), float("inf"), 1e308]),
)

special_floats = st.sampled_from([
    0.0, -0.0, 1.0, -1.0, 0.5, float("nan"), float("inf"), float("-inf"), 1e308, -1e308,
    5e-324, sys.float_info.max, sys.float_info.min, 2.0 ** 63, -(2.0 ** 63), 2.0 ** 31,
])

big_ints = st.sampled_from([
    0, 1, -1, 2, 5, 7, 60, 61, 240, 2 ** 31 - 1, 2 ** 31, -(2 ** 31), 2 ** 32, 2 ** 53 + 1,
    2 ** 63 - 1, 2 ** 63, -(2 ** 63), -(2 ** 63) - 1, 2 ** 64, 10 ** 30, -(10 ** 30),
])

numbers = st.one_of(
    st.integers(-10 ** 6, 10 ** 6),
    big_ints,
    st.floats(allow_nan=True, allow_infinity=True),
    special_floats,
    st.booleans(),
    st.builds(Decimal, st.sampled_from(["1.5", "NaN", "-Infinity", "1e999", "-0"])),
    st.builds(Fraction, st.integers(-100, 100), st.integers(1, 7)),
    st.sampled_from([np.float64("nan"), np.float32(3.5), np.int64(2 ** 63 - 1), np.int8(-7),
                     np.uint64(2 ** 64 - 1), np.bool_(True), np.float16(1e4), np.longdouble(2.5)]),
    st.builds(lambda x: Make(FloatSub, x), st.floats()),
    st.builds(lambda x: Make(IntSub, x), st.integers()),
)

odd_chars = st.sampled_from(["\ud800", "\udfff", "\x00", "股", "é", "\u3000", "\u2028",
                             "\U0001F600", "\xa0", "\u0130", "ß", "\ufb00", "ı"])

texts = st.one_of(
    st.text(max_size=20),
    st.text(alphabet=st.characters(blacklist_categories=()), max_size=20),
    st.lists(st.one_of(odd_chars, st.sampled_from(list("0123456789.:- SHZmindayMIND"))),
             max_size=24).map("".join),
    st.builds(lambda s, n: s * n, st.sampled_from(["9", " ", "a", "\ud800", "股", "."]),
              st.sampled_from([1000, 20_000])),
    st.builds(lambda x: Make(StrSub, x), st.text(max_size=10)),
)

datetimes = st.one_of(
    st.datetimes(),
    st.datetimes(timezones=st.just(timezone(timedelta(hours=8)))),
    st.sampled_from([datetime.min, datetime.max, datetime(1970, 1, 1), datetime(2024, 2, 29, 23, 59, 59, 999999),
                     datetime(9999, 12, 31, 23, 59), datetime(1, 1, 1, 0, 1)]),
    st.builds(lambda *a: Make(DatetimeSub, *a), st.integers(1, 9999), st.integers(1, 12), st.integers(1, 28),
              st.integers(0, 23), st.integers(0, 59)),
)

scalars = st.one_of(st.none(), numbers, texts, datetimes,
                    st.sampled_from([b"", b"5Min", bytearray(b"x"), date(2024, 1, 2), timedelta(1),
                                     object(), type, print, complex(1, 2), Ellipsis, NotImplemented,
                                     np.datetime64("NaT"), np.datetime64("2024-01-02T09:30")]),
                    hostile_objects)


def anything(max_leaves=12):
    """Scalars, hostile objects, and lists, tuples and dicts of them (nested a little)."""
    return st.recursive(
        scalars,
        lambda inner: st.one_of(
            st.lists(inner, max_size=6),
            st.tuples(inner, inner),
            st.dictionaries(st.one_of(texts, st.integers(), hostile_objects), inner, max_size=5),
            st.lists(inner, max_size=4).map(lambda x: Make(ListSub, x)),
            st.dictionaries(texts, inner, max_size=4).map(lambda x: Make(DictSub, x)),
        ),
        max_leaves=max_leaves,
    )


def sometimes(good, bad=None, p_bad=4):
    """Mostly `good` values, now and then anything at all (1 in `p_bad` draws)."""
    bad = bad if bad is not None else anything(6)
    return st.one_of(*([good] * (p_bad - 1)), bad)
