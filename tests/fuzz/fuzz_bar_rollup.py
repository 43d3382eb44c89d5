"""Bar frequencies, bucketing and one-minute aggregation (records, tables, n-minute requests)."""
from datetime import datetime, timedelta
from types import SimpleNamespace

import pandas as pd
from hypothesis import strategies as st

from kavrel_trader.core import bar_rollup as br
from kavrel_trader.core.data import Bar

from reference import bar_rollup as ref

from . import target
from .hostile import Boom, Make, RaisingNumber, anything, datetimes, hostile_objects, numbers, sometimes, texts

# ArithmeticError: the caller's own numbers (Decimal NaN, ...) failing in sums and comparisons.
ERRORS = (TypeError, ValueError, AttributeError, ArithmeticError)
freq_texts = st.one_of(
    st.tuples(st.sampled_from(["", " ", "\t", "\u3000"]), st.sampled_from(["0", "1", "5", "05", "60", "7", "٥", "99999999999999999999"]),
              st.sampled_from(["", " "]), st.sampled_from(["min", "Min", "M", "minutes", "d", "DAYS", "h", "s", "mİn"]),
              st.sampled_from(["", " ", "\n", "x"])).map("".join),
    texts,
)


def outcome(fn, *args, **kw):
    try:
        return fn(*args, **kw)
    except Exception as e:  # noqa: BLE001 - the exception is the outcome
        return e


@target(st.tuples(st.integers(0, 3), sometimes(freq_texts)), allowed=(ValueError, TypeError))
def frequencies(which, freq):
    fn = [br.parse_bar_freq, br.try_parse_aggregatable_nmin, br.is_nmin_aggregatable, br.to_backtest_interval][which]
    got = outcome(fn, freq)
    if which in (1, 2):
        # never raises for a bad frequency (a hostile repr in the message is the caller's)
        assert isinstance(got, Boom) or not isinstance(got, BaseException), repr(got)
    if which == 0 and (not isinstance(freq, str) or len(freq) < 1000):
        want = outcome(ref.parse_bar_freq, freq)
        if isinstance(want, BaseException):
            assert type(got) is type(want) and str(got) == str(want), (freq, got, want)
        else:
            assert got == want, (freq, got, want)
    if isinstance(got, BaseException):
        raise got


@target(st.tuples(sometimes(datetimes), sometimes(st.integers(-3, 1500) | numbers)),
        allowed=ERRORS + (ZeroDivisionError,))
def bucket_start(dt, n_min):
    got = outcome(br._bucket_start, dt, n_min)
    if type(dt) is datetime and type(n_min) is int and n_min > 0:
        assert got == ref.bucket_start(dt, n_min), (dt, n_min, got)
    if isinstance(got, BaseException):
        raise got


def minute_bars(draw_gaps):
    """Well-formed one-minute bars with some gaps and repeats, in shuffled order."""
    def build(start, steps, prices, order):
        t, out = start, []
        for i, (step, p) in enumerate(zip(steps, prices)):
            t = t + timedelta(seconds=step)
            out.append(Bar(datetime=t, security="S", open=p, high=p + 1, low=p - 1, close=p,
                           volume=float(i), num_trds=i % 3 or None, value=None if i % 2 else p))
        if order:
            out.reverse()
        return out
    return st.builds(build, st.datetimes(min_value=datetime(2000, 1, 1), max_value=datetime(2030, 1, 1)),
                     st.lists(st.sampled_from([0, 60, 60, 60, 90, 91, 120, 3600]), max_size=40),
                     st.lists(st.floats(-1e6, 1e6), min_size=40, max_size=40), st.booleans())


bar_field = sometimes(st.one_of(numbers, st.none()))
odd_bars = st.lists(st.one_of(
    st.builds(lambda dt, o, h, l, c, v, n: SimpleNamespace(datetime=dt, security="S", open=o, high=h, low=l,
                                                           close=c, volume=v, num_trds=n),
              sometimes(datetimes), bar_field, bar_field, bar_field, bar_field, bar_field, bar_field),
    hostile_objects,
), max_size=12)
NMIN = st.one_of(st.sampled_from(br.AGGREGATABLE_NMIN), st.integers(-2, 61), numbers)
GAPS = sometimes(st.one_of(st.just(1.5), st.floats(), numbers))
CONV = sometimes(st.sampled_from(["end", "start", "START", ""]) | texts)


@target(st.tuples(st.one_of(minute_bars(True), odd_bars, anything(6)), NMIN, st.booleans(), CONV, GAPS),
        allowed=ERRORS)
def aggregate_1min_bars(bars, n_min, full, conv, gap):
    # Decided before the call: a hostile bar may empty the list while it is read.
    plain = type(bars) is list and all(type(b) is Bar for b in bars) and type(n_min) is int \
        and n_min in br.AGGREGATABLE_NMIN and type(gap) is float and gap == gap and abs(gap) < 1e6 \
        and type(conv) is str
    got = outcome(br.aggregate_1min_bars, bars, n_min, require_full=full, bar_convention=conv,
                  max_gap_minutes=gap)
    if plain:
        want = ref.aggregate_1min_bars(bars, n_min, require_full=full, bar_convention=conv, max_gap_minutes=gap)
        assert got == want, (bars, n_min, got, want)
    if isinstance(got, BaseException):
        raise got


@target(st.tuples(st.one_of(minute_bars(True), odd_bars, anything(5)), CONV), allowed=ERRORS + (IndexError,))
def merge_bucket(bars, conv):
    br._merge_bucket(bars, conv)


def fetcher(kind, bars):
    if kind == 0:
        return lambda count: bars
    if kind == 1:
        def boom(count):
            raise Boom("fetch")
        return boom
    if kind == 2:
        return lambda count: Make(RaisingNumber)  # not a list at all
    return lambda: bars  # wrong arity


@target(st.tuples(sometimes(freq_texts), sometimes(st.integers(-2, 30) | numbers), st.integers(0, 3),
                  st.one_of(minute_bars(True), odd_bars, anything(4)), CONV, st.booleans()),
        allowed=ERRORS)
def aggregated_requests(freq, periods, kind, bars, conv, direct):
    fetch = fetcher(kind, bars)
    if direct:
        br.fetch_aggregated_nmin_bars(n_min=br.try_parse_aggregatable_nmin(freq) or 5, periods=periods,
                                      fetch_1min=fetch, bar_convention=conv)
    else:
        br.maybe_req_aggregated_nmin(freq, periods, fetch, conv)


cells = st.one_of(st.floats(), st.integers(-10, 10 ** 12), st.none(), texts, hostile_objects)
times = st.one_of(
    st.lists(st.datetimes(min_value=datetime(1990, 1, 1), max_value=datetime(2100, 1, 1)), max_size=30),
    st.lists(st.sampled_from(["2024-01-02 09:30", "2024-01-02 09:31:00", "", "nonsense", None, "NaT",
                              "2024-01-02T09:32:00+08:00"]), max_size=10),
    st.lists(datetimes, max_size=6),
)


def frame(ts, cols, extra, time_col):
    n = len(ts)
    data = {time_col: ts}
    for name, values in zip(cols, extra):
        data[name] = (values * (n // max(len(values), 1) + 1))[:n] if values else [None] * n
    return pd.DataFrame(data)


frames = st.builds(
    frame, times,
    st.lists(st.sampled_from(["open", "high", "low", "close", "volume", "num_trds", "value", "other"]),
             min_size=0, max_size=8, unique=True),
    st.lists(st.lists(sometimes(st.floats(-1e9, 1e9), cells), max_size=8), min_size=8, max_size=8),
    st.sampled_from(["time_key", "t"]))


@target(st.tuples(st.one_of(frames, st.none(), anything(3)), NMIN, st.booleans(), CONV, GAPS,
                  st.sampled_from(["time_key", "t", "open", "missing"])),
        allowed=ERRORS + (KeyError, pd.errors.ParserError, pd.errors.OutOfBoundsDatetime))
def aggregate_1min_ohlcv_df(df, n_min, full, conv, gap, time_col):
    br.aggregate_1min_ohlcv_df(df, n_min, require_full=full, bar_convention=conv, max_gap_minutes=gap,
                               time_col=time_col)
