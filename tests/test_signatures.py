"""Native module functions take their arguments exactly as the equivalent plain `def` would."""
import inspect
import pickle
from datetime import datetime

import numpy as np
import pytest

from kavrel_trader.core import bar_rollup
from kavrel_trader.gateways.qmt import kline_history, symbols
from kavrel_trader.plugins.analysis import metrics

# name -> (parameter list of the equivalent def, docstring or None)
BAR_ROLLUP = {
    "parse_bar_freq": ("freq", None),
    "try_parse_aggregatable_nmin": ("freq", "Return N if ``freq`` is an aggregatable N-min (N>1); else None."),
    "is_nmin_aggregatable": ("freq", None),
    "to_backtest_interval": ("freq", "Normalize gateway-style freq to backtest interval (``1min`` / ``1day``)."),
    "_bucket_start": ("dt, n_min", None),
    "_merge_bucket": ("bars, bar_convention", None),
    "aggregate_1min_bars": ("bars, n_min, *, require_full=True, bar_convention='end', max_gap_minutes=1.5",
                            "Aggregate sorted (or unsorted) 1-minute bars into N-minute bars."),
    "aggregate_1min_ohlcv_df": ("df, n_min, *, require_full=True, bar_convention='end', max_gap_minutes=1.5, "
                                "time_col='time_key'",
                                "Aggregate a 1-min OHLCV DataFrame into N-min rows (same columns kept)."),
    "fetch_aggregated_nmin_bars": ("*, n_min, periods, fetch_1min, bar_convention='end'",
                                   "Fetch 1-min bars via ``fetch_1min(count)`` and return last ``periods`` N-min bars."),
    "maybe_req_aggregated_nmin": ("freq, periods, fetch_1min, bar_convention='end'",
                                  "If ``freq`` is aggregatable N-min, return aggregated bars; else None."),
}

SYMBOLS = {
    "to_qmt_code": ("code", 'QMT form of a code ("SH.600000" -> "600000.SH"); an unrecognised '
                            "code comes back\nstripped and upper-cased."),
    "from_qmt_code": ("code", 'Framework form of a code ("600000.SH" -> "SH.600000"); an '
                              "unrecognised code comes\nback stripped and upper-cased."),
    "exchange_from_qmt_code": ("code", "Exchange.SZSE for a Shenzhen code, otherwise Exchange.SSE."),
    "security_codes_for_lookup": ("security",
                                  "The set of code forms under which the security may appear in a bridge payload."),
}

KLINE_HISTORY = {
    "qmt_period_for_freq": ("freq", 'QMT period string for a framework frequency ("1Min" -> "1m", "1Day" -> "1d").'),
    "clamp_periods": ("freq, periods, max_count=None",
                      "Number of bars to request: periods, capped by max_count or the frequency's default."),
    "format_qmt_end_time": ("cur_datetime, freq", 'end_time for get_market_data_ex; "" means the latest available bar.'),
    "format_qmt_start_time": ("cur_datetime, periods, freq",
                              "start_time for get_market_data_ex, reaching back far enough to hold periods bars."),
    "parse_qmt_bar_time": ("value", "Bar time from a record's time field (datetime, compact digits or dashed text)."),
    "_row_number": ("row, keys, default=0.0",
                    "First usable number among keys (lower case) in row, matched without regard to case."),
    "is_placeholder_bar": ("bar", "True for a QMT fill-in bar: open, high, low, close and volume all zero."),
    "records_to_bars": ("records, security, drop_placeholders=True",
                        "Bar records built from the bridge's bar records, in record order."),
}

METRICS = {
    "sharpe_ratio": ("returns, days=252", None),
    "information_ratio": ("returns, benchmark_returns, days=252", None),
    "modigliani_ratio": ("returns, benchmark_returns, days=252", None),
    "rolling_maximum_drawdown": ("portfolio_value, window=252", "(default) use a trailing 252 trading day window"),
    "holding_period": ("time_", None),
    "percentile": ("n", None),
    "convert_time": ("time_", "time_ in the format: %H:%M:%S"),
}

FUNCTIONS = [(module, name, params, doc)
             for module, table in ((bar_rollup, BAR_ROLLUP), (symbols, SYMBOLS),
                                   (kline_history, KLINE_HISTORY), (metrics, METRICS))
             for name, (params, doc) in table.items()]


def reference(name, params, doc):
    ns = {}
    exec(f"def _ref({params}):\n    {doc!r}\n", ns)
    return ns["_ref"]


def error(f, args, kwargs):
    try:
        f(*args, **kwargs)
    except TypeError as e:
        return str(e)
    return None


def wrong_calls(ref):
    """(args, kwargs, message) for calls the def rejects before its body runs."""
    params = list(inspect.signature(ref).parameters.values())
    pos = [p.name for p in params if p.kind is p.POSITIONAL_OR_KEYWORD]
    kw_only = [p.name for p in params if p.kind is p.KEYWORD_ONLY]
    calls = [((), {}),                                        # missing required arguments
             ((0,) * (len(pos) + 1), {}),                     # one positional too many
             ((0,) * len(pos), {"bogus": 0})]                 # unknown keyword
    if kw_only:                                               # keyword-only passed positionally
        calls.append(((0,) * (len(pos) + 1), {kw_only[0]: 0}))
    if pos:                                                   # given twice
        calls.append(((0,), {pos[0]: 0}))
    return [(args, kwargs, error(ref, args, kwargs)) for args, kwargs in calls]


CASES = [(module, name, args, kwargs, msg.replace("_ref()", f"{name}()"))
         for module, name, params, doc in FUNCTIONS
         for args, kwargs, msg in wrong_calls(reference(name, params, doc))]


@pytest.mark.parametrize("module, name, args, kwargs, msg", CASES)
def test_argument_errors_match_def(module, name, args, kwargs, msg):
    assert msg is not None and error(getattr(module, name), args, kwargs) == msg


@pytest.mark.parametrize("module, name, params, doc", FUNCTIONS)
def test_doc_and_signature_match_def(module, name, params, doc):
    ref = reference(name, params, doc)
    f = getattr(module, name)
    assert f.__doc__ == ref.__doc__
    assert f.__name__ == name and f.__module__ == module.__name__
    assert pickle.loads(pickle.dumps(f)) is f  # by name, as a def
    assert list(inspect.signature(f).parameters.values()) == list(inspect.signature(ref).parameters.values())


def _bridge():
    from kavrel_trader.gateways.qmt.redis_bridge import QmtRedisBridge
    return QmtRedisBridge


def _futu():
    from kavrel_trader.gateways.futu.futu_adapter import FutuAdapter
    return FutuAdapter


# Methods read like the defs they stand for: `self` first on the class, gone once bound, and
# the docstring without the signature text it carries.
METHODS = [
    (_bridge, "call", "self, op, params=None, timeout=None", "Send one request"),
    (_bridge, "start_events", "self, handler, recovered=None", "Subscribe to the bridge"),
    (_futu, "get_quote", "self, security", None),
    (_futu, "req_historical_bars", "self, security, periods, freq, cur_datetime, trading_sessions=None, mode='direct'",
     "request historical bar data."),
]


@pytest.mark.parametrize("get_cls, name, params, doc_start", METHODS)
def test_method_signatures_match_def(get_cls, name, params, doc_start):
    cls = get_cls()
    ref = reference(name, params, None)
    f = getattr(cls, name)
    assert list(inspect.signature(f).parameters.values()) == list(inspect.signature(ref).parameters.values())
    bound = getattr(cls.__new__(cls), name)
    assert list(inspect.signature(bound).parameters.values()) == \
        list(inspect.signature(ref).parameters.values())[1:]
    assert f.__doc__ is None if doc_start is None else f.__doc__.startswith(doc_start)


@pytest.mark.parametrize("n", [25, 2.5])
def test_percentile_aggregator_behaves_like_its_inner_def(n):
    # The aggregator stands for a nested `def percentile_(x)` renamed "percentile_<n>".
    ours = metrics.percentile(n)
    ref = reference("percentile_", "x", None)
    assert ours.__name__ == f"percentile_{float(n)}" and ours.__module__ == metrics.__name__
    assert ours.__doc__ is None
    for args, kwargs, msg in wrong_calls(ref):
        got = error(ours, args, kwargs)
        assert got is not None and got.endswith(msg.split("() ", 1)[1])


# ---------------------------------------------------------------- declared argument types

WRONG = {  # declared type -> values of other kinds, each with the type name the message shows
    "int": [(2.5, "float"), (np.int64(2), "numpy.int64"), ("2", "str"), (None, "NoneType")],
    "int (truncating)": [("2", "str"), (None, "NoneType"), (2j, "complex"), ([2], "list")],
    "int or None": [(2.5, "float"), (np.int64(2), "numpy.int64"), ("2", "str")],
    "float": [("1", "str"), (None, "NoneType"), (1j, "complex")],
    "str": [(1, "int"), (None, "NoneType"), (b"x", "bytes")],
    "datetime": [("09:30", "str"), (None, "NoneType")],
    "DataFrame": [([1], "list"), ("x", "str")],
    "dict": [([("a", 1)], "list"), ("x", "str")],
}
EXPECTED = {"int (truncating)": "int", "int or None": "int"}

# (function, a call that is valid by type, {parameter: declared type})
TYPED = [
    (bar_rollup._bucket_start, dict(dt=datetime(2024, 1, 2, 9, 30), n_min=5), {"dt": "datetime", "n_min": "int"}),
    (bar_rollup._merge_bucket, dict(bars=[], bar_convention="end"), {"bar_convention": "str"}),
    (bar_rollup.aggregate_1min_bars, dict(bars=[], n_min=5, bar_convention="end", max_gap_minutes=1.5),
     {"n_min": "int", "bar_convention": "str", "max_gap_minutes": "float"}),
    (bar_rollup.aggregate_1min_ohlcv_df, dict(df=None, n_min=5, bar_convention="end", max_gap_minutes=1.5,
                                              time_col="time_key"),
     {"df": "DataFrame", "n_min": "int", "bar_convention": "str", "max_gap_minutes": "float", "time_col": "str"}),
    (bar_rollup.fetch_aggregated_nmin_bars, dict(n_min=5, periods=1, fetch_1min=lambda n: [], bar_convention="end"),
     {"n_min": "int", "periods": "int", "bar_convention": "str"}),
    (bar_rollup.maybe_req_aggregated_nmin, dict(freq="1Min", periods=1, fetch_1min=lambda n: [], bar_convention="end"),
     {"periods": "int", "bar_convention": "str"}),
    (symbols.to_qmt_code, dict(code="SH.600000"), {"code": "str"}),
    (symbols.from_qmt_code, dict(code="600000.SH"), {"code": "str"}),
    (symbols.exchange_from_qmt_code, dict(code="600000.SH"), {"code": "str"}),
    (kline_history.qmt_period_for_freq, dict(freq="1Min"), {"freq": "str"}),
    (kline_history.clamp_periods, dict(freq="1Min", periods=5, max_count=None),
     {"freq": "str", "periods": "int (truncating)", "max_count": "int or None"}),
    (kline_history.format_qmt_end_time, dict(cur_datetime=None, freq="1Min"), {"freq": "str"}),
    (kline_history.format_qmt_start_time, dict(cur_datetime=datetime(2024, 3, 1), periods=5, freq="1Min"),
     {"periods": "int (truncating)", "freq": "str"}),
    (kline_history._row_number, dict(row={}, keys=["close"], default=0.0), {"row": "dict", "default": "float"}),
    (metrics.sharpe_ratio, dict(returns=[0.01, 0.02], days=252), {"days": "int"}),
    (metrics.information_ratio, dict(returns=[0.01, 0.02], benchmark_returns=[0.0, 0.0], days=252), {"days": "int"}),
    (metrics.modigliani_ratio, dict(returns=[0.01, 0.02], benchmark_returns=[0.0, 0.0], days=252), {"days": "int"}),
    (metrics.rolling_maximum_drawdown, dict(portfolio_value=[1.0, 2.0], window=252), {"window": "int"}),
    (metrics.percentile, dict(n=50), {"n": "float"}),
    (metrics.convert_time, dict(time_="09:30:00"), {"time_": "str"}),
]

TYPE_CASES = [(fn, call, param, declared, value, got)
              for fn, call, params in TYPED
              for param, declared in params.items()
              for value, got in WRONG[declared]]


@pytest.mark.parametrize("fn, call, param, declared, value, got", TYPE_CASES,
                         ids=[f"{c[0].__name__}-{c[2]}-{c[5]}" for c in TYPE_CASES])
def test_declared_types_are_checked_with_the_argument_named(fn, call, param, declared, value, got):
    try:  # the call is valid by type as it stands
        fn(**call)
    except (ValueError, IndexError):
        pass
    with pytest.raises(TypeError) as e:
        fn(**dict(call, **{param: value}))
    assert str(e.value) == (f"Argument '{param}' has incorrect type "
                            f"(expected {EXPECTED.get(declared, declared)}, got {got})")
