"""QMT bar records: periods, request windows, bar times, numbers from records, records to bars."""
import math
from datetime import datetime, timedelta
from types import SimpleNamespace

from hypothesis import strategies as st

from kavrel_trader.core.security import Stock
from kavrel_trader.gateways.qmt import kline_history as kh

from reference import kline_history as ref

from . import target
from .hostile import (Make, DictSub, MutatingNumber, anything, datetimes, hostile_objects, numbers,
                      sometimes, texts)

ARITH = (TypeError, ValueError, OverflowError)
freqs = sometimes(st.sampled_from(["1Min", "1Day", "1min", "5Min", "", "\ud800", "1Day "]) | texts)


def same(a, b):
    """Equal results, NaN equal to NaN (bars compared field by field), errors by type."""
    if isinstance(a, BaseException) or isinstance(b, BaseException):
        return type(a) is type(b)
    if isinstance(a, float) and isinstance(b, float):
        return a == b or (math.isnan(a) and math.isnan(b))
    if isinstance(a, list) and isinstance(b, list):
        return len(a) == len(b) and all(same(x, y) for x, y in zip(a, b))
    if hasattr(a, "__dataclass_fields__") and hasattr(b, "__dataclass_fields__"):
        return all(same(getattr(a, f), getattr(b, f)) for f in a.__dataclass_fields__)
    if type(a) is datetime and type(b) is datetime and a != b:
        # A time that could not be read is the time of the call: two calls, two clocks.
        now = datetime.now()
        return abs(now - a) < timedelta(minutes=2) and abs(now - b) < timedelta(minutes=2)
    return a == b


def outcome(fn, *args):
    try:
        return fn(*args)
    except Exception as e:  # noqa: BLE001 - the exception is the outcome
        return e


@target(st.tuples(st.integers(0, 3), freqs, sometimes(numbers), sometimes(st.none() | numbers),
                  sometimes(st.none() | datetimes)), allowed=ARITH + (AttributeError,))
def periods_and_windows(which, freq, periods, max_count, when):
    if which == 0:
        assert kh.qmt_period_for_freq(freq) in ("1m", "1d")
    elif which == 1:
        n = kh.clamp_periods(freq, periods, max_count)
        assert isinstance(n, int) or max_count is not None
    elif which == 2:
        assert isinstance(kh.format_qmt_end_time(when, freq), str)
    else:
        assert isinstance(kh.format_qmt_start_time(when, periods, freq), str)


time_texts = st.one_of(
    st.sampled_from(["20240102093000", "2024-01-02 09:30:00", "20240102", "2024-01-02", "2024-1-2",
                     " 20240102 ", "20241302", "2024-02-30", "00000000", "99991231235959",
                     "2024-01-02 09:30:00.5", "2024/01/02", "\ud80020240102", "２０２４０１０２"]),
    texts,
)
time_values = st.one_of(time_texts, st.integers(-10, 10 ** 15), numbers, datetimes, anything(4))


@target(st.tuples(time_values), allowed=ARITH)
def parse_qmt_bar_time(value):
    got = outcome(kh.parse_qmt_bar_time, value)
    if type(value) in (str, int) and str(value).strip():
        want = outcome(ref.parse_qmt_bar_time, value)
        assert same(got, want), (value, got, want)
    if isinstance(got, BaseException):
        raise got  # checked against the allowed errors


row_values = st.one_of(numbers, texts, st.none(), st.sampled_from(["1.5", " 2 ", "nan", "1e999", "0x10",
                                                                 "1_000", "٣", "inf", ""]))
row_keys = st.one_of(st.sampled_from(["open", "Open", "OPEN", "close", "Close", "last", "vol", "volume",
                                      "time", "Time", "stime", "high_price", "low", "İopen"]),
                     texts, st.integers(), hostile_objects)
plain_rows = st.dictionaries(st.one_of(st.sampled_from(["open", "Open", "close", "Close", "last", "vol",
                                                        "volume", "high", "LOW", "time", "Time", "stime"]),
                                       st.text(max_size=3)),
                             row_values, max_size=6)
rows = st.one_of(plain_rows,
                 st.dictionaries(row_keys, sometimes(row_values), max_size=6),
                 st.builds(lambda d: Make(DictSub, d), plain_rows),
                 anything(4))


@target(st.tuples(rows, sometimes(st.lists(st.sampled_from(["open", "close", "last", "vol", "x"]), max_size=4)),
                  sometimes(numbers)), allowed=(TypeError, ValueError, OverflowError, AttributeError))
def row_number(row, keys, default):
    plain = type(row) is dict and all(type(k) is str for k in row) and type(keys) is list \
        and type(default) in (int, float) and all(type(v) in (str, int, float, type(None)) for v in row.values())
    got = outcome(kh._row_number, row, keys, default)
    if plain:
        assert same(got, outcome(ref._row_number, row, keys, default)), (row, keys, default, got)
    if isinstance(got, BaseException):
        raise got


plain_records = st.lists(st.one_of(
    st.fixed_dictionaries({"time": st.sampled_from(["20240102093000", "2024-01-02", 20240102])},
                          optional={"open": row_values, "Close": row_values, "vol": row_values,
                                    "high": row_values, "low": row_values}),
    st.sampled_from([1, "x", None, [("time", 1)]]),
), max_size=6)
SEC = Stock("SH.600000", "A")

# Records whose numbers change the records list or their own row while being read.
mutating = st.builds(lambda how, v: Make(MutatingNumber, how=how, value=v), st.integers(0, 3),
                     st.sampled_from([0.0, 1.5, float("nan")]))
mutating_records = st.lists(st.fixed_dictionaries(
    {"time": st.sampled_from(["20240102093000", 20240102])},
    optional={k: st.one_of(row_values, mutating) for k in ("open", "Close", "vol", "high", "LOW")}),
    min_size=2, max_size=5)


@target(st.tuples(st.one_of(plain_records, mutating_records, st.lists(rows, max_size=5), anything(6)),
                  st.booleans()),
        allowed=(TypeError, ValueError, OverflowError, AttributeError))
def records_to_bars(recs, drop):
    # Decided before the call: hostile values may change the list while it is read.
    plain = type(recs) is list and all(type(r) is not dict or ("time" in r and all(
        type(v) in (str, int, float, type(None)) for v in r.values())) for r in recs)
    got = outcome(kh.records_to_bars, recs, SEC, drop)
    if plain:
        want = outcome(ref.records_to_bars, recs, SEC, drop)
        assert same(got, want), (recs, got, want)
    if isinstance(got, BaseException):
        raise got


bar_fields = {k: sometimes(st.one_of(numbers, st.none(), texts)) for k in ("open", "high", "low", "close", "volume")}


@target(st.tuples(st.one_of(st.fixed_dictionaries({}, optional=bar_fields).map(lambda d: SimpleNamespace(**d)),
                            anything(4))),
        allowed=(TypeError, ValueError, OverflowError, AttributeError))
def is_placeholder_bar(bar):
    got = outcome(kh.is_placeholder_bar, bar)
    # With all five fields present the order of reading does not matter.
    if type(bar) is SimpleNamespace and len(vars(bar)) == 5 and \
            all(type(v) in (int, float, type(None)) for v in vars(bar).values()):
        assert got == outcome(ref.is_placeholder_bar, bar), (bar, got)
    if isinstance(got, BaseException):
        raise got
