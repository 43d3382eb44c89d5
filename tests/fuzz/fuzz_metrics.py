"""Metrics: ratios, drawdowns, holding periods, percentiles and half-hour rounding on any input."""
import numpy as np
import pandas as pd
from hypothesis import strategies as st

from kavrel_trader.plugins.analysis import metrics

from . import target
from .hostile import anything, numbers, sometimes, texts

# Arithmetic on the caller's values (Decimal, Fraction, object or 2-D arrays) fails as numpy and pandas do.
ERRORS = (TypeError, ValueError, AttributeError, ArithmeticError, KeyError, IndexError, NotImplementedError,
          pd.errors.DataError)

arrays = st.one_of(
    st.lists(st.floats(), max_size=40).map(lambda v: np.array(v, dtype=float)),
    st.lists(st.floats(-1, 1), max_size=40).map(lambda v: pd.Series(v, dtype=float)),
    st.lists(st.integers(-10 ** 6, 10 ** 6), max_size=20).map(lambda v: np.array(v, dtype=np.int64)),
    st.lists(st.floats(width=32), max_size=20).map(lambda v: np.array(v, dtype=np.float32)),
    st.lists(sometimes(st.floats(), numbers), max_size=20),
    st.lists(st.floats(), max_size=12).map(lambda v: np.array(v, dtype=object)),
    st.lists(st.floats(), min_size=4, max_size=12).map(lambda v: np.array(v)[::-2]),      # strided view
    st.lists(st.floats(), min_size=4, max_size=12).map(lambda v: np.array(v).reshape(2, -1) if len(v) % 2 == 0 else np.array(v)),
    st.sampled_from([np.array(1.5), np.array([], dtype=float), np.array(["1", "2"]), np.array([1 + 2j]),
                     np.array(["2024-01-02"], dtype="datetime64[D]"), np.array([True, False]),
                     pd.Series([1.0, None, 3.0]), pd.Series(["a", "b"]), np.zeros(100_000)]),
    anything(4),
)
DAYS = sometimes(st.one_of(st.integers(-5, 400), numbers))


@target(st.tuples(st.integers(0, 2), arrays, arrays, DAYS), allowed=ERRORS)
def ratios(which, a, b, days):
    if which == 0:
        r = metrics.sharpe_ratio(a, days)
    elif which == 1:
        r = metrics.information_ratio(a, b, days)
    else:
        r = metrics.modigliani_ratio(a, b, days)
    if type(days) is int:
        assert np.ndim(r) == 0, type(r)  # one number (numpy keeps a float32 or complex input's type)


@target(st.tuples(arrays, sometimes(st.one_of(st.integers(-3, 300), numbers))), allowed=ERRORS)
def rolling_maximum_drawdown(values, window):
    out = metrics.rolling_maximum_drawdown(values, window)
    assert isinstance(out, pd.Series) and out.name == "pv"


stamps = st.one_of(st.sampled_from(["2021-03-01 09:30:00", "2021-03-01 10:45:30", "2021-3-1 9:30:00",
                                    "2021-03-01 09:30", "", "9999-12-31 23:59:59", "0001-01-01 00:00:00"]),
                   texts)
rows = st.one_of(
    st.builds(lambda o, c: {"open_datetime": o, "close_datetime": c}, sometimes(stamps), sometimes(stamps)),
    st.builds(lambda o, c: pd.Series({"open_datetime": o, "close_datetime": c}), stamps, stamps),
    anything(4),
)


@target(st.tuples(rows), allowed=ERRORS)
def holding_period(row):
    assert isinstance(metrics.holding_period(row), float)


@target(st.tuples(sometimes(numbers), arrays), allowed=ERRORS)
def percentile(n, values):
    agg = metrics.percentile(n)
    agg.__name__
    agg(values if isinstance(values, pd.Series) else pd.Series(values) if isinstance(values, list) else values)


clock = st.one_of(st.sampled_from(["09:29:59", "09:30:00", "9:45:00", "23:59", ":", "::", "12:٣٠:00",
                                   "12:+30", "12: 30", "12:3_0", "x:99999999999999999999999"]), texts)


@target(st.tuples(sometimes(clock)), allowed=ERRORS)
def convert_time(text):
    assert isinstance(metrics.convert_time(text), str)
