"""Tests of kavrel_trader.core.bar_rollup against plain-Python references of the same rules."""
import math
import re
from datetime import datetime, timedelta, timezone

import numpy as np
import pandas as pd
import pytest
from hypothesis import given, strategies as st

from kavrel_trader.core import bar_rollup as br
from kavrel_trader.core.data import Bar

from reference import bar_rollup as ref

try:
    from zoneinfo import ZoneInfo
    NY = ZoneInfo("America/New_York")
except Exception:  # pragma: no cover - no tz database
    NY = timezone(timedelta(hours=-5))

BASE = datetime(2024, 1, 2, 9, 30)


def same(a, b, approx=False):
    if isinstance(a, float) and isinstance(b, float) and math.isnan(a) and math.isnan(b):
        return True
    if approx and isinstance(a, (int, float)) and isinstance(b, (int, float)):
        return a == pytest.approx(b, rel=1e-12, abs=1e-9)
    return type(a) is type(b) and a == b


def assert_bars_equal(got, want):
    assert len(got) == len(want)
    for g, w in zip(got, want):
        for f in ("datetime", "security", "open", "high", "low", "close", "volume", "num_trds", "value"):
            assert same(getattr(g, f), getattr(w, f)), (f, g, w)


def cell_equal(a, b):
    if pd.isna(a) and pd.isna(b):
        return True
    if isinstance(a, (float, np.floating)) or isinstance(b, (float, np.floating)):
        return float(a) == pytest.approx(float(b), rel=1e-12, abs=1e-9)
    return a == b


def assert_tables_equal(got, want):
    assert list(got.columns) == list(want.columns)
    assert len(got) == len(want)
    assert isinstance(got.index, pd.RangeIndex) and got.index.start == 0
    for c in got.columns:
        for a, b in zip(got[c].tolist(), want[c].tolist()):
            assert cell_equal(a, b), (c, a, b)


def mkbar(minute, **kw):
    d = dict(datetime=BASE + timedelta(minutes=minute), security="SH.600000", open=10.0 + minute,
             high=11.0 + minute, low=9.0 + minute, close=10.5 + minute, volume=100)
    d.update(kw)
    return Bar(**d)


# ---------------------------------------------------------------- frequency texts

@pytest.mark.parametrize("text, want", [
    ("5Min", ("min", 5)), ("1day", ("day", 1)), ("  15 minutes", ("min", 15)), ("2 D", ("day", 2)),
    ("3DAYS", ("day", 3)), ("10MIN", ("min", 10)), ("05min", ("min", 5)), ("0min", ("min", 0)),
    ("7m\n", ("min", 7)), ("\x1c4mins\x1f", ("min", 4)), ("\u0665min", ("min", 5)), ("\u00a01d\u3000", ("day", 1)),
    ("9" * 40 + "min", ("min", int("9" * 40))),
])
def test_parse_bar_freq_accepts(text, want):
    got = br.parse_bar_freq(text)
    assert got == want and type(got[1]) is int


@pytest.mark.parametrize("text", ["1h", "30s", "1.5min", "-5min", "5min x", "min", "5", "5 mi n", "5minutess"])
def test_parse_bar_freq_not_supported(text):
    with pytest.raises(ValueError) as e:
        br.parse_bar_freq(text)
    assert str(e.value) == f"freq={text!r}" + ref.UNSUPPORTED


@pytest.mark.parametrize("value", ["", None, 5, b"5min", ["5min"]])
def test_parse_bar_freq_not_valid(value):
    with pytest.raises(ValueError, match=re.escape(f"freq={value!r} is not a valid bar frequency")):
        br.parse_bar_freq(value)


@given(st.text(alphabet=st.sampled_from(list("0123456789 \t\n\x0b\x1c\u00a0\u0665\uff15minutesdayMINDAYSKh.-\u017f\u0130")),
               max_size=14))
def test_parse_matches_reference(text):
    try:
        want = ref.parse_bar_freq(text)
    except ValueError as e:
        with pytest.raises(ValueError, match=re.escape(str(e))):
            br.parse_bar_freq(text)
        assert br.try_parse_aggregatable_nmin(text) is None
        return
    assert br.parse_bar_freq(text) == want
    assert br.to_backtest_interval(text) == f"{want[1]}{want[0]}"
    agg = want[0] == "min" and want[1] in br.AGGREGATABLE_NMIN
    assert br.try_parse_aggregatable_nmin(text) == (want[1] if agg else None)
    assert br.is_nmin_aggregatable(text) is agg


@pytest.mark.parametrize("text, want", [("5Min", 5), ("5min", 5), ("60 minutes", 60), ("1Min", None), ("1Day", None),
                                         ("7min", None), ("120min", None), ("5d", None), ("nonsense", None),
                                         (None, None), ("", None)])
def test_try_parse_aggregatable_nmin(text, want):
    assert br.try_parse_aggregatable_nmin(text) == want
    assert br.is_nmin_aggregatable(text) is (want is not None)


@pytest.mark.parametrize("text, want", [("15Min", "15min"), ("2 d", "2day"), ("0min", "0min"), ("005Days", "5day")])
def test_to_backtest_interval(text, want):
    assert br.to_backtest_interval(text) == want


def test_module_constants_and_docs():
    assert br._FREQ_RE.pattern == ref.FREQ_RE.pattern and br._FREQ_RE.flags & re.IGNORECASE
    assert br.AGGREGATABLE_NMIN == (2, 3, 5, 10, 15, 20, 30, 60)
    assert br.try_parse_aggregatable_nmin.__doc__ == "Return N if ``freq`` is an aggregatable N-min (N>1); else None."
    assert br.maybe_req_aggregated_nmin.__doc__ == "If ``freq`` is aggregatable N-min, return aggregated bars; else None."


# ---------------------------------------------------------------- bucket start

@pytest.mark.parametrize("dt, n, want", [
    (datetime(2024, 1, 2, 9, 37, 42, 500000), 5, datetime(2024, 1, 2, 9, 35)),
    (datetime(2024, 1, 2, 9, 37, 42, 500000), 60, datetime(2024, 1, 2, 9, 0)),
    (datetime(2024, 1, 2, 23, 59, 59), 60, datetime(2024, 1, 2, 23, 0)),
    (datetime(2024, 1, 2, 9, 0), 7, datetime(2024, 1, 2, 8, 59)),
    (datetime(2024, 1, 2, 9, 37, tzinfo=NY), 15, datetime(2024, 1, 2, 9, 30, tzinfo=NY)),
    (pd.Timestamp("2024-01-02 09:37:42.123456789", tz="Asia/Shanghai"), 5,
     pd.Timestamp("2024-01-02 09:35", tz="Asia/Shanghai")),
    (datetime(2024, 1, 2, 9, 37), 10 ** 30, datetime(2024, 1, 2, 0, 0)),
])
def test_bucket_start(dt, n, want):
    got = br._bucket_start(dt, n)
    assert got == want and type(got) is type(want)
    assert getattr(got, "tzinfo", None) is getattr(dt, "tzinfo", None) or got.tzinfo == dt.tzinfo


@pytest.mark.parametrize("dt, n, exc", [(datetime(2024, 1, 2), 0, ZeroDivisionError), (datetime(2024, 1, 2), 5.0, TypeError),
                                        ("09:30", 5, TypeError), (datetime(2024, 1, 2, 9, 30), -7, None)])
def test_bucket_start_bad_arguments(dt, n, exc):
    if exc is None:
        assert br._bucket_start(dt, n) == ref.bucket_start(dt, n)
    else:
        with pytest.raises(exc):
            br._bucket_start(dt, n)


# ---------------------------------------------------------------- record aggregation

@pytest.mark.parametrize("n, msg", [(1, "n_min must be > 1, got 1"), (0, "n_min must be > 1, got 0"),
                                     (True, "n_min must be > 1, got 1"),
                                     (7, "n_min=7 is not supported. Allowed: 2, 3, 5, 10, 15, 20, 30, 60")])
def test_record_bad_n_min(n, msg):
    with pytest.raises(ValueError) as e:
        br.aggregate_1min_bars([], n)
    assert str(e.value) == msg


@pytest.mark.parametrize("kw, exc", [({"n_min": 5.0}, "n_min"), ({"n_min": 5, "bar_convention": 1}, "bar_convention"),
                                     ({"n_min": 5, "max_gap_minutes": "x"}, "max_gap_minutes"),
                                     ({"n_min": 5, "max_gap_minutes": 1j}, "max_gap_minutes"),
                                     ({"n_min": np.int64(5)}, "n_min")])
def test_record_argument_types(kw, exc):
    with pytest.raises(TypeError, match=f"Argument '{exc}' has incorrect type"):
        br.aggregate_1min_bars([mkbar(0)], **kw)
    with pytest.raises(TypeError):
        br.aggregate_1min_bars([mkbar(0)], 5, False)  # keyword-only


def test_record_five_bars_and_conventions():
    bars = [mkbar(i, high=11.0 + (i == 2) * 5, low=9.0 - (i == 3)) for i in range(6)]
    end = br.aggregate_1min_bars(bars, 5)
    assert len(end) == 1
    b = end[0]
    assert (b.datetime, b.open, b.high, b.low, b.close, b.volume) == (BASE + timedelta(minutes=4), 10.0, 16.0, 8.0, 14.5, 500)
    assert b.num_trds is None and b.value is None
    start = br.aggregate_1min_bars(bars, 5, bar_convention="start", require_full=False)
    assert [x.datetime for x in start] == [BASE, BASE + timedelta(minutes=5)]
    assert br.aggregate_1min_bars(bars[::-1], 5) == end and br.aggregate_1min_bars(tuple(bars), 5) == end


@pytest.mark.parametrize("minutes, full, want", [
    ([0, 1, 3, 4], True, []),
    ([0, 1, 3, 4], False, [1, 4]),
    ([0, 1.5, 3, 4.5], False, [4.5]),              # gaps of exactly 90 s do not split
    ([0, 1.5 + 1 / 60, 3], False, [0, 3]),         # 91 s does
])
def test_record_gaps(minutes, full, want):
    bars = [mkbar(m) for m in minutes]
    got = br.aggregate_1min_bars(bars, 5, require_full=full)
    assert [(g.datetime - BASE) / timedelta(minutes=1) for g in got] == want


@pytest.mark.parametrize("gap, want", [(float("inf"), 1), (float("nan"), 1), (float("-inf"), 3), (0.5, 3), (2, 1)])
def test_record_gap_limit_values(gap, want):
    bars = [mkbar(m) for m in (0, 1, 2)]
    assert len(br.aggregate_1min_bars(bars, 5, require_full=False, max_gap_minutes=gap)) == want


@pytest.mark.parametrize("trds, want", [((None, None), None), ((5, None), 5), ((0, 0), None), ((2, 3), 5),
                                         ((0.0, 2), 2)])
def test_record_optional_fields(trds, want):
    bars = [mkbar(0, num_trds=trds[0], value=trds[1]), mkbar(1, num_trds=trds[1], value=None)]
    (b,) = br.aggregate_1min_bars(bars, 2)
    assert same(b.num_trds, want) if want is not None else b.num_trds is None
    assert same(b.value, trds[1]) if trds[1] else b.value is None


def test_record_duplicates_count_and_lacking_attributes():
    bars = [mkbar(0), mkbar(0), mkbar(1), mkbar(1), mkbar(1)]
    (b,) = br.aggregate_1min_bars(bars, 5)
    assert b.volume == 500

    class Slim:  # no num_trds / value attributes at all
        def __init__(self, m):
            self.datetime, self.security, self.open, self.high = BASE + timedelta(minutes=m), "X", 1, 2
            self.low, self.close, self.volume = 0, 1, 1
    (b,) = br.aggregate_1min_bars([Slim(0), Slim(1)], 2)
    assert b.num_trds is None and b.volume == 2
    slim = [Slim(0), Slim(1)]
    del slim[1].high
    with pytest.raises(AttributeError):
        br.aggregate_1min_bars(slim, 2)


def test_record_builds_through_module_bar(monkeypatch):
    made = []

    class MyBar:
        def __init__(self, **kw):
            made.append(kw)
    monkeypatch.setattr(br, "Bar", MyBar)
    br.aggregate_1min_bars([mkbar(0, num_trds=3), mkbar(1)], 2)
    assert list(made[0]) == ["datetime", "security", "open", "high", "low", "close", "volume", "num_trds"]


def test_merge_bucket():
    got = br._merge_bucket([mkbar(0), mkbar(1, value=2.5)], "start")
    assert got.datetime == BASE and got.value == 2.5 and got.num_trds is None
    with pytest.raises(IndexError):
        br._merge_bucket([], "end")


TZS = [None, timezone(timedelta(hours=8)), NY]
minute_offsets = st.lists(st.tuples(st.integers(0, 130), st.sampled_from([0, 0, 0, 30, 59])), max_size=60)
prices = st.one_of(st.floats(-5, 5, allow_nan=False), st.integers(-5, 5), st.just(float("nan")))
volumes = st.one_of(st.integers(0, 10 ** 6), st.floats(0, 1e6), st.integers(2 ** 62, 2 ** 63))
optional = st.one_of(st.none(), st.just(0), st.integers(0, 50), st.floats(0, 100, allow_nan=False))


@st.composite
def bar_lists(draw, kind):
    offs = draw(minute_offsets)
    tzs = draw(st.lists(st.sampled_from(TZS[1:]), min_size=len(offs), max_size=len(offs))) if kind == "mixed" else None
    tz = draw(st.sampled_from(TZS))
    bars = []
    for i, (m, s) in enumerate(offs):
        dt = BASE + timedelta(minutes=m, seconds=s)
        if kind == "mixed":
            dt = dt.replace(tzinfo=tzs[i])
        elif tz is not None:
            dt = dt.replace(tzinfo=tz)
        if kind == "pandas":
            dt = pd.Timestamp(dt) + pd.Timedelta(nanoseconds=draw(st.integers(0, 999)))
        bars.append(Bar(datetime=dt, security=draw(st.sampled_from(["A", "B"])), open=draw(prices), high=draw(prices),
                        low=draw(prices), close=draw(prices), volume=draw(volumes), num_trds=draw(optional),
                        value=draw(optional)))
    return bars


@pytest.mark.parametrize("kind", ["plain", "pandas", "mixed"])
@given(data=st.data())
def test_records_match_reference(kind, data):
    bars = data.draw(bar_lists(kind))
    n = data.draw(st.sampled_from(br.AGGREGATABLE_NMIN))
    kw = dict(require_full=data.draw(st.booleans()),
              bar_convention=data.draw(st.sampled_from(["end", "start", "x"])),
              max_gap_minutes=data.draw(st.sampled_from([1.5, 0.5, 3, 100])))
    want = ref.aggregate_1min_bars(bars, n, **kw)
    got = br.aggregate_1min_bars(bars, n, **kw)
    assert_bars_equal(got, want)


def test_records_large_input_releases_nothing_wrong():
    bars = [mkbar(i) for i in range(60000)][::-1]
    got = br.aggregate_1min_bars(bars, 5)
    assert_bars_equal(got, ref.aggregate_1min_bars(bars, 5))


class _ListMutatingBar:
    """A one-minute bar whose attribute reads empty the list it was passed in."""

    def __init__(self, bars, minute, hook):
        self._bars, self._hook = bars, hook
        self.datetime = BASE + timedelta(minutes=minute)
        self.security, self.open, self.high, self.low, self.close, self.volume = "S", 1.0, 2.0, 0.5, 1.5, 10

    def __getattribute__(self, name):
        if name == object.__getattribute__(self, "_hook"):
            object.__getattribute__(self, "_bars").clear()
        return object.__getattribute__(self, name)


@pytest.mark.parametrize("hook", ["datetime", "high", "num_trds"])
@pytest.mark.parametrize("call", ["aggregate", "merge"])
def test_records_survive_input_list_mutated_while_read(hook, call):
    bars = []
    bars.extend(_ListMutatingBar(bars, m, hook) for m in range(10))
    if call == "merge":
        merged = br._merge_bucket(bars, "end")
        assert (merged.volume, merged.datetime) == (100, BASE + timedelta(minutes=9))
    else:
        out = br.aggregate_1min_bars(bars, 5)
        assert [(b.datetime.minute, b.volume) for b in out] == [(34, 50), (39, 50)]


def test_records_survive_time_comparison_mutating_input():
    bars = []

    class ClearingTime(datetime):
        def __lt__(self, other):
            bars.clear()
            return datetime.__lt__(self, other)

    bars.extend(Bar(datetime=ClearingTime(2024, 1, 2, 9, 30 + m), security="S", open=1.0, high=2.0, low=0.5,
                    close=1.5, volume=1) for m in range(9, -1, -1))
    out = br.aggregate_1min_bars(bars, 5)
    assert [(b.datetime.minute, b.open, b.volume) for b in out] == [(34, 1.0, 5), (39, 1.0, 5)]


# ---------------------------------------------------------------- table aggregation

def make_df(n=12, tz=None, as_text=False):
    t = pd.date_range(BASE, periods=n, freq="min", tz=tz)
    df = pd.DataFrame({"code": "SH.600000", "time_key": t.astype(str) if as_text else t,
                       "open": np.arange(n, dtype=float), "high": np.arange(n) + 1.0, "low": np.arange(n) - 1.0,
                       "close": np.arange(n) + 0.5, "volume": np.arange(n) * 10, "flag": np.arange(n) % 2 == 0})
    return df


def test_table_trivial_inputs():
    assert br.aggregate_1min_ohlcv_df(None, 5).empty
    df = make_df()
    for out in (br.aggregate_1min_ohlcv_df(df.iloc[:0], 5), br.aggregate_1min_ohlcv_df(df, 1)):
        assert out is not df and out.equals(df.iloc[: len(out)])
    assert br.aggregate_1min_ohlcv_df(df, 1).equals(df)


def test_table_seven_minute_grid_and_column_order():
    df = make_df(20)[["open", "high", "time_key", "low", "close", "volume", "code"]]
    out = br.aggregate_1min_ohlcv_df(df, 7, require_full=False, bar_convention="start")
    assert list(out.columns) == ["time_key", "open", "high", "low", "close", "volume", "code"]
    assert [t.strftime("%H:%M") for t in out.time_key] == ["09:30", "09:34", "09:41", "09:48"]
    assert out.volume.tolist() == [0 + 10 + 20 + 30, sum(range(4, 11)) * 10, sum(range(11, 18)) * 10, 180 + 190]
    assert out.volume.dtype == np.int64 and out.flag.dtype == bool if "flag" in out else True


def test_table_empty_result_keeps_input_order():
    df = make_df(3)[["volume", "time_key", "open", "high", "low", "close"]]
    out = br.aggregate_1min_ohlcv_df(df, 5)
    assert out.empty and list(out.columns) == list(df.columns)


@pytest.mark.parametrize("drop", ["time_key", "open", "high", "low", "close", "volume"])
def test_table_missing_column(drop):
    with pytest.raises(KeyError, match=drop):
        br.aggregate_1min_ohlcv_df(make_df().drop(columns=[drop]), 5)


def test_table_errors_and_argument_types():
    df = make_df(5)
    df["time_key"] = df["time_key"].astype(str)
    df.loc[2, "time_key"] = "not a time"
    with pytest.raises((ValueError, TypeError)):
        br.aggregate_1min_ohlcv_df(df, 5)
    with pytest.raises(TypeError, match="Argument 'time_col' has incorrect type"):
        br.aggregate_1min_ohlcv_df(make_df(), 5, time_col=1)
    with pytest.raises(TypeError, match="Argument 'df' has incorrect type"):
        br.aggregate_1min_ohlcv_df([1], 5)


def test_table_timezone_wall_clock_and_text_times():
    for df in (make_df(10, tz="America/New_York"), make_df(10, as_text=True)):
        out = br.aggregate_1min_ohlcv_df(df.sample(frac=1, random_state=3), 5)
        assert_tables_equal(out, ref.aggregate_1min_ohlcv_df(df, 5))
        assert out.time_key.dt.minute.tolist() == [34, 39]


def test_table_duplicate_times_large_chunk_sums_like_pandas():
    rng = np.random.default_rng(7)
    df = make_df(300)
    df["time_key"] = BASE
    df["volume"] = rng.normal(size=300) * 1e6
    df.loc[::7, "volume"] = np.nan
    out = br.aggregate_1min_ohlcv_df(df, 5)
    assert out.volume[0] == df.volume.sum() and out.high[0] == df.high.max()


class _RaisingLabel:
    def __eq__(self, other):
        raise RuntimeError("label comparison")

    __hash__ = object.__hash__


def test_table_column_label_comparison_error_propagates():
    df = make_df(10)
    df[_RaisingLabel()] = 1
    with pytest.raises(RuntimeError, match="label comparison"):
        br.aggregate_1min_ohlcv_df(df, 5)


@pytest.mark.parametrize("field, conv, want_minute", [
    ("open", "end", 30), ("open", "start", 30), ("close", "start", 34), ("close", "end", 34),
    ("high", "start", 34), ("low", "end", 30)])
def test_table_time_column_sharing_a_field_name(field, conv, want_minute):
    # The row is built from the time rule first, then the field rules: the field rule wins.
    df = make_df(5).drop(columns=[field]).rename(columns={"time_key": field})
    out = br.aggregate_1min_ohlcv_df(df, 5, bar_convention=conv, time_col=field)
    assert list(out.columns)[0] == field and out[field].dt.minute.tolist() == [want_minute]


def test_table_multiindex_columns_fail_instead_of_guessing():
    df = make_df(10)
    df.columns = pd.MultiIndex.from_tuples([(c, "") for c in df.columns])
    with pytest.raises(KeyError):
        br.aggregate_1min_ohlcv_df(df, 5)


@pytest.mark.parametrize("unit, first", [("ns", np.iinfo(np.int64).min + 1), ("s", -2**62 + 17)])
def test_table_times_at_the_ends_of_the_range(unit, first):
    # Buckets do not depend on whole-day shifts: the table at the lower end of the range
    # aggregates like the same table moved ten days later, away from the end.
    ticks = {"ns": 60 * 10**9, "s": 60}[unit]
    far = np.array([first + m * ticks for m in (0, 1, 2, 4, 5)]).astype(f"datetime64[{unit}]")
    shift = np.timedelta64(10 * 1440 * ticks, unit)
    outs = [br.aggregate_1min_ohlcv_df(make_df(5).assign(time_key=t), 2, require_full=False)
            for t in (far, far + shift)]
    assert len(outs[0]) == len(outs[1]) >= 3
    assert (outs[0].time_key.to_numpy() + shift).tolist() == outs[1].time_key.to_numpy().tolist()


@pytest.mark.parametrize("start, tz, unit", [
    ("1969-12-31 23:41:20", None, "ns"), ("1969-12-31 23:41:20", "America/New_York", "ns"),
    ("1901-06-30 11:40:40", "Asia/Hong_Kong", "us"), ("1850-03-01 09:27:40", None, "s")])
@pytest.mark.parametrize("n", [5, 60])
def test_times_before_1970_fall_into_their_clock_buckets(start, tz, unit, n):
    # Rows 50 s apart: their seconds vary and no gap splits a bucket.
    times = pd.date_range(start, periods=40, freq="50s", tz=tz, unit=unit)
    df = make_df(40).assign(time_key=times)
    assert_tables_equal(br.aggregate_1min_ohlcv_df(df, n, require_full=False),
                        ref.aggregate_1min_ohlcv_df(df, n, require_full=False))
    bars = [mkbar(0, datetime=t.to_pydatetime()) for t in times]
    assert_bars_equal(br.aggregate_1min_bars(bars, n, require_full=False),
                      ref.aggregate_1min_bars(bars, n, require_full=False))


@pytest.mark.parametrize("missing", [[0], [4], [11], [0, 5, 6]])
@pytest.mark.parametrize("order", ["sorted", "shuffled"])
def test_table_rows_without_a_time_go_last(missing, order):
    # Each row without a time makes a row of its own, after the aggregated ones.
    df = make_df(12)
    df.loc[missing, "time_key"] = pd.NaT
    if order == "shuffled":
        df = df.sample(frac=1, random_state=4)
    got = br.aggregate_1min_ohlcv_df(df, 3, require_full=False)
    assert_tables_equal(got, ref.aggregate_1min_ohlcv_df(df, 3, require_full=False))


@st.composite
def tables(draw):
    n = draw(st.integers(1, 40))
    offs = draw(st.lists(st.integers(0, 90), min_size=n, max_size=n))
    secs = draw(st.lists(st.sampled_from([0, 0, 20, 59]), min_size=n, max_size=n))
    fl = st.one_of(st.floats(-100, 100, allow_nan=False), st.just(float("nan")))
    cols = {
        "extra_s": draw(st.lists(st.sampled_from(["a", "b", None]), min_size=n, max_size=n)),
        "time_key": [BASE + timedelta(minutes=m, seconds=s) for m, s in zip(offs, secs)],
        "open": draw(st.lists(fl, min_size=n, max_size=n)),
        "high": draw(st.lists(fl, min_size=n, max_size=n)),
        "low": draw(st.lists(fl, min_size=n, max_size=n)),
        "close": draw(st.lists(fl, min_size=n, max_size=n)),
        "volume": draw(st.one_of(st.lists(st.integers(0, 10 ** 9), min_size=n, max_size=n),
                                 st.lists(fl, min_size=n, max_size=n))),
    }
    if draw(st.booleans()):
        cols["num_trds"] = draw(st.lists(st.one_of(st.none(), st.integers(0, 9)), min_size=n, max_size=n))
    if draw(st.booleans()):
        cols["value"] = draw(st.lists(fl, min_size=n, max_size=n))
    cols["extra_i"] = draw(st.lists(st.integers(-5, 5), min_size=n, max_size=n))
    df = pd.DataFrame(cols)
    df["extra_c"] = pd.Categorical(df["extra_i"] % 3)
    if draw(st.booleans()):
        df["extra_n"] = pd.array(df["extra_i"], dtype="Int64")
        df.loc[0, "extra_n"] = pd.NA
    form = draw(st.sampled_from(["dt", "text", "tz"]))
    if form == "text":
        df["time_key"] = df["time_key"].astype(str)
    elif form == "tz":
        df["time_key"] = df["time_key"].dt.tz_localize("Asia/Hong_Kong")
    df.index = draw(st.permutations(list(range(100, 100 + n))))
    return df


@given(df=tables(), n=st.sampled_from([2, 3, 5, 7, 60]), full=st.booleans(), conv=st.sampled_from(["end", "start"]))
def test_tables_match_reference(df, n, full, conv):
    before = df.copy()
    got = br.aggregate_1min_ohlcv_df(df, n, require_full=full, bar_convention=conv)
    want = ref.aggregate_1min_ohlcv_df(df, n, require_full=full, bar_convention=conv)
    assert_tables_equal(got, want)
    assert df.equals(before)
    if len(got):
        assert got.columns[0] == "time_key" and str(got.extra_c.dtype) == "category"


@given(data=st.data(), n=st.sampled_from(br.AGGREGATABLE_NMIN), full=st.booleans())
def test_record_and_table_forms_agree(data, n, full):
    bars = [b for b in data.draw(bar_lists("plain")) if b.datetime.tzinfo is None]
    for b in bars:  # numeric, no missing prices: both forms then follow the same arithmetic
        b.open, b.high, b.low, b.close = (float(x) if x == x else 1.0 for x in (b.open, b.high, b.low, b.close))
        b.volume = int(b.volume) % 10 ** 9
        b.num_trds = int(b.num_trds or 0)
    rec = br.aggregate_1min_bars(bars, n, require_full=full)
    df = pd.DataFrame([{"time_key": b.datetime, "open": b.open, "high": b.high, "low": b.low, "close": b.close,
                        "volume": b.volume, "num_trds": b.num_trds} for b in bars])
    tab = br.aggregate_1min_ohlcv_df(df, n, require_full=full) if bars else pd.DataFrame()
    assert len(rec) == len(tab)
    for b, (_, row) in zip(rec, tab.iterrows()):
        assert row.time_key == b.datetime
        assert (row.open, row.high, row.low, row.close, row.volume) == (b.open, b.high, b.low, b.close, b.volume)
        assert row.num_trds == (b.num_trds or 0)


# ---------------------------------------------------------------- n-minute requests

def fetcher(first_minute, calls, count_override=None):
    def fetch(count):
        calls.append(count)
        n = count if count_override is None else count_override
        return [mkbar(first_minute + i) for i in range(n)][::-1]
    return fetch


@pytest.mark.parametrize("first, want", [(3, [9, 14, 19]), (0, [9, 14, 19])])
def test_maybe_req_aggregated(first, want):
    calls = []
    got = br.maybe_req_aggregated_nmin("5Min", 3, fetcher(first, calls))
    assert calls == [20]
    assert [(b.datetime - BASE) // timedelta(minutes=1) for b in got] == want


@pytest.mark.parametrize("freq", ["1Min", "1Day", "7min", "junk", None])
def test_maybe_req_not_aggregatable(freq):
    calls = []
    assert br.maybe_req_aggregated_nmin(freq, 3, fetcher(0, calls)) is None and calls == []


@pytest.mark.parametrize("fetch_result, periods, msg", [
    (None, 3, "Not enough aggregated 5Min bars: need 3, got 0 from 0 1Min bars."),
    ([], 3, "Not enough aggregated 5Min bars: need 3, got 0 from 0 1Min bars."),
    ([mkbar(i) for i in range(12)], 3, "Not enough aggregated 5Min bars: need 3, got 2 from 12 1Min bars."),
])
def test_fetch_not_enough(fetch_result, periods, msg):
    with pytest.raises(ValueError) as e:
        br.fetch_aggregated_nmin_bars(n_min=5, periods=periods, fetch_1min=lambda n: fetch_result)
    assert str(e.value) == msg


def test_fetch_periods_checked_first_and_keyword_only():
    calls = []
    with pytest.raises(ValueError, match=r"^periods must be > 0, got 0$"):
        br.maybe_req_aggregated_nmin("5Min", 0, fetcher(0, calls))
    assert calls == []
    with pytest.raises(TypeError):
        br.fetch_aggregated_nmin_bars(5, 3, fetcher(0, calls))
    with pytest.raises(RuntimeError):
        br.fetch_aggregated_nmin_bars(n_min=5, periods=1, fetch_1min=lambda n: (_ for _ in ()).throw(RuntimeError("x")))
    got = br.fetch_aggregated_nmin_bars(n_min=5, periods=2, fetch_1min=fetcher(0, calls), bar_convention="start")
    assert calls == [15] and [b.datetime.minute for b in got] == [35, 40]


# ---------------------------------------------------------------- declared int parameters

class Size(int):
    pass


INT_PARAM_CALLS = {
    "_bucket_start n_min": ("n_min", lambda v: br._bucket_start(BASE, v)),
    "aggregate_1min_bars n_min": ("n_min", lambda v: br.aggregate_1min_bars([mkbar(0)], v)),
    "aggregate_1min_ohlcv_df n_min": ("n_min", lambda v: br.aggregate_1min_ohlcv_df(make_df(5), v)),
    "fetch n_min": ("n_min", lambda v: br.fetch_aggregated_nmin_bars(n_min=v, periods=1, fetch_1min=fetcher(0, []))),
    "fetch periods": ("periods", lambda v: br.fetch_aggregated_nmin_bars(n_min=5, periods=v, fetch_1min=fetcher(0, []))),
    "maybe_req periods": ("periods", lambda v: br.maybe_req_aggregated_nmin("5Min", v, fetcher(0, []))),
}


@pytest.mark.parametrize("call", INT_PARAM_CALLS, ids=list(INT_PARAM_CALLS))
@pytest.mark.parametrize("value, got", [(np.int64(5), "numpy.int64"), (5.0, "float"), (np.float64(5), "numpy.float64"),
                                        ("5", "str"), (None, "NoneType")])
def test_int_parameters_take_only_ints(call, value, got):
    name, fn = INT_PARAM_CALLS[call]
    with pytest.raises(TypeError) as e:
        fn(value)
    assert str(e.value) == f"Argument '{name}' has incorrect type (expected int, got {got})"


def result_or_error(fn, *args):
    try:
        return repr(fn(*args))
    except ValueError as e:
        return str(e)


@pytest.mark.parametrize("call", INT_PARAM_CALLS, ids=list(INT_PARAM_CALLS))
@pytest.mark.parametrize("value, same_as", [(Size(5), 5), (True, 1), (Size(7), 7)])
def test_int_parameters_take_int_subclasses(call, value, same_as):
    _, fn = INT_PARAM_CALLS[call]
    assert result_or_error(fn, value) == result_or_error(fn, same_as)
