import math
import warnings
from datetime import datetime

import numpy as np
import pandas as pd
import pytest
from hypothesis import assume, given
from hypothesis import strategies as st

from kavrel_trader.plugins.analysis import metrics

from reference import metrics as ref


def outcome(fn, *args):
    """The value of fn(*args), or its exception's type and message."""
    try:
        return fn(*args)
    except Exception as exc:  # noqa: BLE001 - the exception is the outcome compared
        return (type(exc), str(exc))


def close(ours, want, rel=1e-12):
    if isinstance(want, (float, np.floating)) and math.isnan(want):
        return isinstance(ours, (float, np.floating)) and math.isnan(ours)
    return ours == pytest.approx(want, rel=rel, abs=1e-300)


def is_constant(values):
    arr = np.asarray(values, dtype=float)
    arr = arr[~np.isnan(arr)] if isinstance(values, pd.Series) else arr
    return arr.size > 0 and bool((arr == arr[0]).all())


returns_lists = st.lists(st.floats(-1.0, 1.0, allow_nan=False), max_size=300)


# ---------------------------------------------------------------- ratios

@pytest.mark.parametrize("fn, args, expected", [
    (metrics.sharpe_ratio, ([0.01, 0.02, 0.03],), 38.8844441904),
    (metrics.sharpe_ratio, ([0.01, 0.02, 0.03], 1), 0.02 / math.sqrt(2 / 3) / 0.01),
    (metrics.sharpe_ratio, ([-0.01, -0.02, -0.03],), -38.8844441904),
    (metrics.sharpe_ratio, (np.full(1000, 0.001),), math.nan),
    (metrics.sharpe_ratio, (pd.Series([0.001] * 7 + [np.nan]),), math.nan),
    (metrics.sharpe_ratio, (pd.Series([0.01, 0.02, 0.03]),), 31.7490157328),
    (metrics.sharpe_ratio, (pd.Series([0.01, np.nan, 0.02, 0.03]),), 31.7490157328),
    (metrics.information_ratio, (pd.Series([0.02, 0.03, 0.04]), [0.01, 0.01, 0.01]), 31.7490157328),
    (metrics.information_ratio, ([0.02, 0.03, 0.04], pd.Series([0.01, 0.01, 0.01])), 31.7490157328),
    (metrics.modigliani_ratio, (pd.Series([0.01, 0.02, 0.03]), [0.0, 0.02]), 31.7490157328 * 0.01),
    (metrics.modigliani_ratio, ([0.01, 0.02, 0.03], pd.Series([0.0, 0.02])), 38.8844441904 * 0.01 * math.sqrt(2)),
    (metrics.modigliani_ratio, (np.full(1000, 0.001), [0.01, 0.03]), math.nan),
    (metrics.modigliani_ratio, ([0.01, 0.02, 0.03], np.full(10, 0.002)), 0.0),
    (metrics.modigliani_ratio, ([0.01, 0.02, 0.03], [0.0, 0.02]), 38.8844441904 * 0.01),
    (metrics.information_ratio, ([0.01, 0.05, 0.03], [0.01, 0.05, 0.03]), math.nan),
    (metrics.information_ratio, ([0.02, 0.03, 0.04], [0.01, 0.01, 0.01]), 38.8844441904),
])
def test_ratio_examples(fn, args, expected):
    result = fn(*args)
    if math.isnan(expected):
        assert math.isnan(result)
    else:
        assert result == pytest.approx(expected, rel=1e-9)


@pytest.mark.parametrize("dtype", [np.float64, np.float32])
def test_constant_series_has_no_deviation(dtype):
    # numpy's pairwise mean of 1000 x 0.001 is a few ulps off, leaving a deviation of 4e-19
    # and a Sharpe ratio of 3.7e16; equal returns have no deviation.
    constant = np.full(1000, 0.001, dtype=dtype)
    assert ref.sharpe_ratio(constant) > 1e7
    assert math.isnan(metrics.sharpe_ratio(constant))
    assert metrics.modigliani_ratio([0.01, 0.03], constant) == 0.0


@given(returns_lists, st.sampled_from([252, 1, 365, True]))
def test_sharpe_matches_numpy_on_arrays_and_lists(values, days):
    arr = np.array(values, dtype=float)
    for x in (arr, values, arr[::2], arr.astype(np.float32), pd.Series(arr.astype(np.float32))):
        with warnings.catch_warnings():
            warnings.simplefilter("ignore")
            want = ref.sharpe_ratio(x, days) if not is_constant(x) else math.nan
            assert close(metrics.sharpe_ratio(x, days), want)


@given(st.lists(st.integers(-2**62, 2**62), min_size=1, max_size=300))
def test_sharpe_on_integers_matches_numpy(values):
    arr = np.array(values, dtype=np.int64)
    assume(not is_constant(arr))
    assert close(metrics.sharpe_ratio(arr), ref.sharpe_ratio(arr))


@given(st.lists(st.one_of(st.floats(-1.0, 1.0), st.just(math.nan)), max_size=300))
def test_sharpe_on_series_skips_nan_with_sample_deviation(values):
    series = pd.Series(values, dtype=float)
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        want = ref.sharpe_ratio(series) if not is_constant(series) else math.nan
        assert close(metrics.sharpe_ratio(series), want)
    valid = series.dropna().to_numpy()
    if valid.size > 1 and not is_constant(valid) and np.std(valid) > 1e-100:
        n = valid.size
        # the divisor n - 1: the population ratio scaled by sqrt((n - 1) / n)
        assert close(metrics.sharpe_ratio(series), ref.sharpe_ratio(valid) * math.sqrt((n - 1) / n), rel=1e-9)


def test_large_inputs_match_numpy_closely():
    rng = np.random.default_rng(3)
    a = rng.normal(0.0004, 0.01, 1_000_000)
    b = rng.normal(0.0003, 0.009, 1_000_000)
    assert close(metrics.sharpe_ratio(a), ref.sharpe_ratio(a))
    assert close(metrics.information_ratio(a, b), ref.information_ratio(a, b))
    assert close(metrics.modigliani_ratio(a, b), ref.modigliani_ratio(a, b))
    assert close(metrics.sharpe_ratio(pd.Series(a)), ref.sharpe_ratio(pd.Series(a)))


@given(st.integers(0, 200).flatmap(lambda n: st.tuples(
    st.lists(st.floats(-1.0, 1.0), min_size=n, max_size=n),
    st.lists(st.floats(-1.0, 1.0), min_size=n, max_size=n))))
def test_information_and_modigliani_match_numpy(pair):
    r, b = (np.array(x, dtype=float) for x in pair)
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        diff = r - b
        ref_ir = ref.sharpe_ratio(diff) if not is_constant(diff) else math.nan
        assert close(metrics.information_ratio(r, b), ref_ir)
        assert close(metrics.information_ratio(list(pair[0]), list(pair[1])), ref_ir)
        ref_m2 = ref.modigliani_ratio(r, b) if not is_constant(r) else math.nan
        if not is_constant(r) and is_constant(b):
            ref_m2 = 0.0
        assert close(metrics.modigliani_ratio(r, b), ref_m2)


def test_information_ratio_of_series_aligns_on_labels():
    r = pd.Series([0.01, 0.02, 0.05, 0.03], index=[0, 1, 2, 3])
    b = pd.Series([0.0, 0.01, 0.04], index=[3, 1, 0])
    assert close(metrics.information_ratio(r, b), ref.information_ratio(r, b))


@pytest.mark.parametrize("fn", [metrics.sharpe_ratio, metrics.information_ratio, metrics.modigliani_ratio])
def test_empty_input_is_nan_with_numpy_warnings(fn):
    args = ([],) if fn is metrics.sharpe_ratio else ([], [])
    py_fn = {metrics.sharpe_ratio: ref.sharpe_ratio, metrics.modigliani_ratio: ref.modigliani_ratio,
             metrics.information_ratio: lambda r, b: ref.information_ratio(np.asarray(r), np.asarray(b))}[fn]
    with warnings.catch_warnings(record=True) as ours:
        warnings.simplefilter("always")
        assert math.isnan(fn(*args))
    with warnings.catch_warnings(record=True) as expected:
        warnings.simplefilter("always")
        py_fn(*args)
    assert [str(w.message) for w in ours] == [str(w.message) for w in expected]
    assert any(str(w.message).startswith("Mean of empty slice") for w in ours)


@pytest.mark.parametrize("args", [
    (np.array([0.01, 0.02, 0.03]), np.array([0.01, 0.02])),
    ([0.01, 0.02, 0.03], [0.01, 0.02]),
    (np.array([[0.01, 0.02]]), np.array([0.01, 0.02, 0.03])),
])
def test_information_ratio_length_mismatch_is_numpys_error(args):
    with pytest.raises(ValueError, match=r"operands could not be broadcast together with shapes"):
        metrics.information_ratio(*args)
    with pytest.raises(ValueError, match=r"\(3,\) \(2,\) $|\(1,2\) \(3,\) $"):
        metrics.information_ratio(*args)


class StdLookupFails:
    """Looking up its `std` fails with another error than AttributeError, which numpy lets out."""

    @property
    def std(self):
        raise ValueError("std is not available")


@pytest.mark.parametrize("bad", [["a", "b"], [None, 1.0], "text", None, np.array(["1", "2"]),
                                 StdLookupFails()])
def test_non_numeric_returns_fail_as_numpy_does(bad):
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        assert outcome(metrics.sharpe_ratio, bad) == outcome(ref.sharpe_ratio, bad)


def test_infinite_returns_give_numpys_result_and_warning():
    arr = np.array([0.01, np.inf, 0.02])
    with pytest.warns(RuntimeWarning, match="invalid value"):
        assert math.isnan(metrics.sharpe_ratio(arr))
    assert math.isnan(metrics.sharpe_ratio(np.array([0.01, np.nan, 0.02])))


def test_ratio_result_types_and_days_forms():
    assert type(metrics.sharpe_ratio([0.01, 0.02, 0.03])) is np.float64
    assert type(metrics.sharpe_ratio([0.001, 0.001])) is float  # np.nan
    with pytest.warns(RuntimeWarning):
        assert math.isnan(metrics.sharpe_ratio([0.01, 0.02, 0.04], days=-1))


class Days(int):
    pass


RATIOS = [(metrics.sharpe_ratio, ref.sharpe_ratio, 1), (metrics.information_ratio, ref.information_ratio, 2),
          (metrics.modigliani_ratio, ref.modigliani_ratio, 2)]


@pytest.mark.parametrize("fn, ref_fn, nargs", RATIOS)
@pytest.mark.parametrize("days, got", [(2.5, "float"), (252.0, "float"), (np.int64(252), "numpy.int64"),
                                       (np.float64(252), "numpy.float64"), ("252", "str"), (None, "NoneType"),
                                       (np.array([1, 4]), "numpy.ndarray")])
def test_days_must_be_an_int(fn, ref_fn, nargs, days, got):
    args = ([0.01, 0.02, 0.04], [0.0, 0.01, 0.0])[:nargs]
    message = f"Argument 'days' has incorrect type (expected int, got {got})"
    for call in (lambda: fn(*args, days=days), lambda: fn(*args, days)):
        with pytest.raises(TypeError) as e:
            call()
        assert str(e.value) == message
    with pytest.raises(TypeError):  # checked before the returns are looked at
        fn(*(["x"] * nargs), days=days)


@pytest.mark.parametrize("fn, ref_fn, nargs", RATIOS)
@pytest.mark.parametrize("days", [True, Days(52), 52, 10**30])
def test_days_takes_int_and_its_subclasses(fn, ref_fn, nargs, days):
    args = (np.array([0.01, 0.02, 0.04]), np.array([0.0, 0.01, 0.0]))[:nargs]
    if days == 10**30:
        assert outcome(fn, *args, days) == outcome(ref_fn, *args, days)
    else:
        assert close(fn(*args, days), ref_fn(*args, int(days)))


# Every kind of Series: pandas' own mean and deviation (divisor n - 1, missing values
# skipped); plain arrays and lists: numpy's (divisor n).
class MySeries(pd.Series):
    @property
    def _constructor(self):
        return MySeries


SERIES_KINDS = {
    "float64": lambda v: pd.Series(v, dtype=float),
    "float64 with NaN": lambda v: pd.Series(list(v) + [np.nan], index=range(len(v) + 1)[::-1], dtype=float),
    "strided float64": lambda v: pd.Series(np.repeat(np.asarray(v, dtype=float), 2)[::2]),
    "float32": lambda v: pd.Series(v, dtype=np.float32),
    "Float64 with NA": lambda v: pd.Series(list(v) + [None], dtype="Float64"),
    "int64": lambda v: pd.Series((np.asarray(v) * 1000).astype(np.int64)),
    "object": lambda v: pd.Series(list(v), dtype=object),
    "subclass": lambda v: MySeries(v, dtype=float),
}


def pandas_ratio(x, days=252):
    return np.sqrt(days) * x.mean() / x.std()


@pytest.mark.parametrize("kind", SERIES_KINDS)
@pytest.mark.parametrize("values", [[0.01, 0.02, 0.03], [0.011, -0.02, 0.035, 0.004, -0.001]])
def test_series_get_pandas_statistics(kind, values):
    x = SERIES_KINDS[kind](values)
    b = SERIES_KINDS[kind](values[::-1])
    assert close(metrics.sharpe_ratio(x), pandas_ratio(x))
    assert close(metrics.sharpe_ratio(x, 12), pandas_ratio(x, 12))
    assert close(metrics.information_ratio(x, b), pandas_ratio(x - b))
    assert close(metrics.modigliani_ratio(x, b), pandas_ratio(x) * b.std())
    arr = np.asarray(x.dropna(), dtype=float)
    assert not close(metrics.sharpe_ratio(x), ref.sharpe_ratio(arr), rel=1e-6)  # not the array's


@pytest.mark.parametrize("kind", SERIES_KINDS)
@pytest.mark.parametrize("value", [0.001, 0.1, -0.3])
def test_constant_series_of_any_kind_has_no_ratio(kind, value):
    x = SERIES_KINDS[kind]([value] * 1000)
    assert math.isnan(metrics.sharpe_ratio(x))
    assert math.isnan(metrics.modigliani_ratio(x, [0.01, 0.03]))
    assert math.isnan(metrics.information_ratio(x, x))
    assert metrics.modigliani_ratio([0.01, 0.03], x) == 0.0


@pytest.mark.parametrize("make", [lambda v: pd.Series(v, dtype=float), lambda v: pd.Series(v, dtype="Float64"),
                                  lambda v: pd.Series(v, dtype=object)])
@pytest.mark.parametrize("values", [[], [0.02], [np.nan], [np.nan, 0.01, np.nan], [np.inf, 0.01, 0.02]])
def test_series_with_fewer_than_two_values_has_no_ratio(make, values):
    x = make(values)
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        assert math.isnan(metrics.sharpe_ratio(x))
        assert math.isnan(metrics.modigliani_ratio(x, [0.01, 0.03]))
        assert math.isnan(metrics.modigliani_ratio([0.01, 0.03], x))
        assert math.isnan(metrics.information_ratio(x, np.zeros(len(x))))


@given(st.lists(st.floats(-1.0, 1.0), min_size=2, max_size=60), st.data())
def test_information_ratio_of_series_subtracts_as_pandas_does(values, data):
    n = len(values)
    labels = data.draw(st.lists(st.integers(0, 2 * n), min_size=n, max_size=n, unique=True))
    r = pd.Series(values, index=labels)
    b_values = data.draw(st.lists(st.floats(-1.0, 1.0), min_size=n, max_size=n))
    b = pd.Series(b_values, index=data.draw(st.permutations(labels)))
    for x, y in ((r, b), (r, np.array(b_values)), (list(values), b), (np.array(values), b)):
        diff = x - y
        want = math.nan if is_constant(diff) else ref.sharpe_ratio(diff)
        assert isinstance(diff, pd.Series)
        assert close(metrics.information_ratio(x, y), want, rel=1e-9)


@pytest.mark.parametrize("index", [None, [3, 1, 2, 1, 0, 5], list("abcdef"),
                                   pd.date_range("2024-01-01", periods=6)])
@pytest.mark.parametrize("nan_at", [(), (0,), (2, 5)])
def test_information_ratio_of_series_on_equal_labels_matches_pandas_exactly(index, nan_at):
    rng = np.random.default_rng(len(nan_at))
    r_values, b_values = rng.normal(0.001, 0.01, 6), rng.normal(0.0, 0.01, 6)
    r_values[list(nan_at)] = np.nan
    b_values[list(nan_at[1:])] = np.nan
    r = pd.Series(r_values, index=index)
    for b in (pd.Series(b_values, index=r.index), pd.Series(b_values, index=None if index is None else list(index))):
        diff = r - b
        assert metrics.information_ratio(r, b) == np.sqrt(252) * diff.mean() / diff.std()
        assert metrics.information_ratio(r, b, 12) == np.sqrt(12) * diff.mean() / diff.std()
    assert math.isnan(metrics.information_ratio(r, r.copy()))


@given(st.integers(1, 200).flatmap(lambda n: st.tuples(
    st.lists(st.floats(-1.0, 1.0), min_size=n, max_size=n),
    st.lists(st.floats(-1.0, 1.0), min_size=n, max_size=n))))
def test_arrays_and_lists_keep_numpys_results_exactly(pair):
    values, other = pair
    arr, bench = np.array(values), np.array(other)
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        for x, y in ((arr, bench), (values, other)):
            vol = np.std(arr)
            want = math.nan if vol == 0 or is_constant(arr) else np.sqrt(252) * np.mean(arr) / vol
            assert close(metrics.sharpe_ratio(x), want, rel=0)
            bvol = 0.0 if is_constant(bench) else np.std(bench)
            assert close(metrics.modigliani_ratio(x, y), want * bvol, rel=0)
            diff = arr - bench
            vol = np.std(diff)
            want = math.nan if vol == 0 or is_constant(diff) else np.sqrt(252) * np.mean(diff) / vol
            assert close(metrics.information_ratio(x, y), want, rel=0)


# ---------------------------------------------------------------- rolling drawdown

@pytest.mark.parametrize("values, window, expected", [
    ([100, 120, 90, 130], 252, [0.0, 0.0, -0.25, -0.25]),
    ([100, 50, 100, 100], 252, [0.0, -0.5, -0.5, -0.5]),
    ([100, 50, 100, 100], 2, [0.0, -0.5, -0.5, 0.0]),
    ([100, 50, 100, 100], 1, [0.0, 0.0, 0.0, 0.0]),
    ([42.0], 252, [0.0]),
    ([np.nan, 2.0, np.nan, np.nan, 1.0], 2, [np.nan, 0.0, 0.0, np.nan, 0.0]),
    ([0.0, -1.0, 1.0], 3, [np.nan, np.nan, 0.0]),
    ([2.0, 0.0, 4.0], 3, [0.0, -1.0, -1.0]),
])
def test_drawdown_examples(values, window, expected):
    result = metrics.rolling_maximum_drawdown(values, window)
    assert result.name == "pv"
    np.testing.assert_array_equal(result.to_numpy(), np.array(expected))
    assert result.index.equals(pd.RangeIndex(len(values)))


drawdown_values = st.lists(st.one_of(
    st.floats(allow_nan=True, allow_infinity=True),
    st.sampled_from([0.0, -0.0, 1.0, 2.0, -1.0, np.nan, np.inf, -np.inf, 1e308, -1e308])), max_size=60)


@given(drawdown_values, st.integers(1, 70))
def test_drawdown_matches_pandas_rolling(values, window):
    arr = np.array(values, dtype=float)
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        ours = metrics.rolling_maximum_drawdown(arr, window)
        want = ref.rolling_maximum_drawdown(arr, window)
    pd.testing.assert_series_equal(ours, want)
    np.testing.assert_array_equal(np.signbit(ours.to_numpy()), np.signbit(want.to_numpy()))


@given(st.lists(st.floats(0.5, 2.0), min_size=1, max_size=400), st.integers(1, 500))
def test_drawdown_random_walks_match_pandas(steps, window):
    values = 100.0 * np.cumprod(steps)
    pd.testing.assert_series_equal(metrics.rolling_maximum_drawdown(values, window), ref.rolling_maximum_drawdown(values, window))


@pytest.mark.parametrize("make", [
    lambda v: pd.Series(v, index=pd.date_range("2024-01-01", periods=len(v)), name="equity"),
    lambda v: pd.Series(v, index=[5, 3, 9, 1, 7]),
    lambda v: pd.Series(np.array(v, dtype=np.float32)),
    lambda v: np.array(v, dtype=np.int64),
    lambda v: [int(x) for x in v],
    lambda v: pd.Series(v, dtype="Float64"),
    lambda v: np.array(v).reshape(-1, 1),
])
def test_drawdown_input_forms(make):
    values = [100, 120, 90, 130, 60]
    data = make(values)
    result = metrics.rolling_maximum_drawdown(data, 3)
    expected_index = data.index if isinstance(data, pd.Series) else pd.RangeIndex(len(values))
    assert result.name == "pv"
    assert result.index.equals(expected_index)
    np.testing.assert_allclose(result.to_numpy(dtype=float), ref.rolling_maximum_drawdown(np.array(values, float), 3).to_numpy())


def test_drawdown_long_input_and_large_window():
    rng = np.random.default_rng(5)
    values = 100.0 * np.cumprod(1 + rng.normal(0, 0.01, 200_000))
    values[rng.integers(0, values.size, 500)] = np.nan
    for window in (252, 5, 10**12):
        pd.testing.assert_series_equal(metrics.rolling_maximum_drawdown(values, window), ref.rolling_maximum_drawdown(values, window))


@pytest.mark.parametrize("window", [0, -1])
def test_drawdown_bad_window_is_pandas_error(window):
    ours = outcome(metrics.rolling_maximum_drawdown, [1.0, 2.0], window)
    assert ours == outcome(ref.rolling_maximum_drawdown, [1.0, 2.0], window)
    assert ours[0] is ValueError


@pytest.mark.parametrize("window, got", [(1.5, "float"), (2.0, "float"), ("x", "str"), (None, "NoneType"),
                                         (np.int64(2), "numpy.int64")])
def test_drawdown_window_must_be_an_int(window, got):
    for values in ([1.0, 2.0], pd.Series([1.0, 2.0], dtype="Float64")):
        with pytest.raises(TypeError) as e:
            metrics.rolling_maximum_drawdown(values, window)
        assert str(e.value) == f"Argument 'window' has incorrect type (expected int, got {got})"


@pytest.mark.parametrize("window", [True, Days(2), 2])
@pytest.mark.parametrize("make", [np.array, lambda v: pd.Series(v, dtype="Float64")])
def test_drawdown_window_takes_int_subclasses(window, make):
    values = [100.0, 50.0, 100.0, 100.0]
    result = metrics.rolling_maximum_drawdown(make(values), window)
    want = ref.rolling_maximum_drawdown(np.array(values), int(window))
    np.testing.assert_array_equal(result.to_numpy(dtype=float), want.to_numpy())


def test_drawdown_default_window_and_doc():
    assert metrics.rolling_maximum_drawdown.__doc__ == "(default) use a trailing 252 trading day window"
    values = np.r_[100.0, np.full(600, 50.0)]
    result = metrics.rolling_maximum_drawdown(values)
    # dd is -0.5 while the 100 is inside the window (t <= 251), and the worst dd stays for
    # another 251 elements
    assert result.iloc[502] == -0.5 and result.iloc[503] == 0.0


# ---------------------------------------------------------------- holding period

@pytest.mark.parametrize("open_, close_, minutes", [
    ("2021-03-01 09:30:00", "2021-03-01 10:45:30", 75.5),
    ("2021-03-01 09:30:00", "2021-03-02 09:30:00", 1440.0),
    ("2021-03-01 10:00:00", "2021-03-01 09:59:00", -1.0),
    ("2020-02-28 23:00:00", "2020-03-01 00:00:00", 1500.0),
    ("2021-3-1 9:5:7", "2021-03-01 09:06:07", 1.0),
    ("1999-12-31 23:59:59", "2000-01-01 00:00:00", 1 / 60),
])
def test_holding_period_examples(open_, close_, minutes):
    row = {"open_datetime": open_, "close_datetime": close_}
    assert metrics.holding_period(row) == pytest.approx(minutes, abs=0)
    assert metrics.holding_period(pd.Series(row)) == pytest.approx(minutes, abs=0)


date_texts = st.builds(
    "{}{}{}{}{}{}{}{}{}{}{}".format,
    st.sampled_from(["2021", "0001", "9999", "0000", "21", "20210", "２０２１"]), st.sampled_from(["-", "/"]),
    st.sampled_from(["1", "01", "12", "13", "00", "2", "02"]), st.just("-"),
    st.sampled_from(["1", "29", "30", "31", "00", " 5", "32"]), st.sampled_from([" ", "  ", "T", "\t"]),
    st.sampled_from(["0", "00", "23", "24", "9"]), st.just(":"),
    st.sampled_from(["0", "59", "60", "7"]), st.sampled_from([":", "."]),
    st.sampled_from(["0", "59", "60", "61", "5x", "", "05 "]))


@given(date_texts, date_texts)
def test_holding_period_parses_like_strptime(open_, close_):
    row = {"open_datetime": open_, "close_datetime": close_}
    assert outcome(metrics.holding_period, row) == outcome(ref.holding_period, row)


@pytest.mark.parametrize("row, exc", [
    ({"close_datetime": "2021-03-01 10:00:00"}, KeyError),
    ({"open_datetime": "2021-03-01 10:00:00"}, KeyError),
    ({"open_datetime": 5, "close_datetime": "2021-03-01 10:00:00"}, TypeError),
    ({"open_datetime": "2021-03-01", "close_datetime": "2021-03-01 10:00:00"}, ValueError),
    ({"open_datetime": "1900-02-29 10:00:00", "close_datetime": "2021-03-01 10:00:00"}, ValueError),
    ({"open_datetime": "2021-03-01 10:00:00", "close_datetime": "2100-02-29 10:00:00"}, ValueError),
    ({"open_datetime": "2021-03-01 24:00:00", "close_datetime": "2021-03-02 10:00:00"}, ValueError),
])
def test_holding_period_errors(row, exc):
    with pytest.raises(exc) as info:
        metrics.holding_period(row)
    assert outcome(ref.holding_period, row) == (exc, str(info.value))


def test_holding_period_uses_module_datetime(monkeypatch):
    class Shifted(datetime):
        @classmethod
        def strptime(cls, text, fmt):
            return datetime.strptime(text, fmt) + (cls.resolution * 6e7 if "10:" in text else cls.resolution * 0)

    monkeypatch.setattr(metrics, "datetime", Shifted)
    row = {"open_datetime": "2021-03-01 09:00:00", "close_datetime": "2021-03-01 10:00:00"}
    assert metrics.holding_period(row) == 61.0


# ---------------------------------------------------------------- percentile

@pytest.mark.parametrize("n, name, expected", [
    (50, "percentile_50.0", 2.5), (0, "percentile_0.0", 1.0), (100, "percentile_100.0", 4.0),
    (25, "percentile_25.0", 1.75), (2.5, "percentile_2.5", 1.075), (np.float32(10), "percentile_10.0", 1.3),
])
def test_percentile_examples(n, name, expected):
    agg = metrics.percentile(n)
    assert agg.__name__ == name
    assert agg(pd.Series([4.0, 1.0, np.nan, 3.0, 2.0])) == pytest.approx(expected, rel=1e-15)


@given(st.lists(st.one_of(st.floats(allow_infinity=True, allow_nan=False), st.just(math.nan)), max_size=60),
       st.one_of(st.floats(0, 100), st.integers(0, 100)))
def test_percentile_matches_series_quantile(values, n):
    series = pd.Series(values, dtype=float)
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        ours = metrics.percentile(n)(series)
        want = series.quantile(float(n) / 100)
    assert (ours == want) or (math.isnan(ours) and math.isnan(want))


def test_percentile_in_groupby_agg():
    df = pd.DataFrame({"k": ["a", "a", "b", "b", "b"], "v": [1.0, 3.0, 2.0, np.nan, 6.0], "w": [1, 2, 3, 4, 5]})
    result = df.groupby("k")["v"].agg([metrics.percentile(25), "mean", metrics.percentile(50)])
    assert list(result.columns) == ["percentile_25.0", "mean", "percentile_50.0"]
    assert result.loc["a", "percentile_25.0"] == 1.5 and result.loc["b", "percentile_50.0"] == 4.0
    named = df.groupby("k").agg(p90=("w", metrics.percentile(90)))
    assert named["p90"].tolist() == [1.9, 4.8]
    assert df.groupby("k").agg(metrics.percentile(50))["w"].tolist() == [1.5, 4.0]


@pytest.mark.parametrize("n", [101, -1, math.nan])
def test_percentile_out_of_range_fails_when_applied(n):
    agg = metrics.percentile(n)
    with pytest.raises(ValueError, match=r"percentiles should all be in the interval \[0, 1\]"):
        agg(pd.Series([1.0, 2.0]))


@pytest.mark.parametrize("x", [pd.Series([], dtype=float), pd.Series([np.nan, np.nan])])
def test_percentile_of_nothing_is_nan(x):
    assert math.isnan(metrics.percentile(50)(x))


def test_percentile_defers_to_the_objects_quantile():
    df = pd.DataFrame({"a": [1.0, 2.0, 3.0], "b": [1, 2, 5]})
    pd.testing.assert_series_equal(metrics.percentile(50)(df), df.quantile(0.5))
    assert metrics.percentile(50)(pd.Series([1, 2, 5])) == 2.0
    with pytest.raises(AttributeError):
        metrics.percentile(50)([1.0, 2.0])
    with pytest.raises(TypeError, match=r"Argument 'n' has incorrect type \(expected float, got str\)"):
        metrics.percentile("50")


# ---------------------------------------------------------------- half hours

@pytest.mark.parametrize("text, expected", [
    ("09:29:59", "09:00:00"), ("09:30:00", "09:30:00"), ("9:45:00", "9:30:00"), ("23:59", "23:30:00"),
    ("10:00:00", "10:00:00"), ("xx:31:zz", "xx:30:00"), (":5", ":00:00"), ("7: 45 :00", "7:30:00"),
    ("7:+29", "7:00:00"), ("7:-45", "7:00:00"), ("7:3_0", "7:30:00"), ("7:٤٥", "7:30:00"),
    ("時:000000000000000000000045", "時:30:00"),
])
def test_convert_time_examples(text, expected):
    assert metrics.convert_time(text) == expected


@pytest.mark.parametrize("text, exc, message", [
    ("0930", IndexError, "list index out of range"),
    ("", IndexError, "list index out of range"),
    ("09:xx:00", ValueError, "invalid literal for int() with base 10: 'xx'"),
    ("09::00", ValueError, "invalid literal for int() with base 10: ''"),
    ("09:1.5", ValueError, "invalid literal for int() with base 10: '1.5'"),
])
def test_convert_time_errors(text, exc, message):
    with pytest.raises(exc) as info:
        metrics.convert_time(text)
    assert str(info.value) == message


@pytest.mark.parametrize("value, got", [(930, "int"), (None, "NoneType"), (b"09:30", "bytes")])
def test_convert_time_requires_str(value, got):
    with pytest.raises(TypeError, match=rf"Argument 'time_' has incorrect type \(expected str, got {got}\)"):
        metrics.convert_time(value)


@given(st.text(alphabet="0123456789: -+_x٣", max_size=12))
def test_convert_time_matches_split_and_int(text):
    assert outcome(metrics.convert_time, text) == outcome(ref.convert_time, text)


def test_module_names_and_docs():
    assert metrics.np is np and metrics.pd is pd and metrics.datetime is datetime
    assert metrics.convert_time.__doc__ == "time_ in the format: %H:%M:%S"
