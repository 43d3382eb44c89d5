"""Native module functions take their arguments exactly as the equivalent plain `def` would."""
import inspect
import pickle

import pytest

from kavrel_trader.core import bar_rollup as br

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


CASES = [(name, args, kwargs, msg.replace("_ref()", f"{name}()"))
         for name, (params, doc) in BAR_ROLLUP.items()
         for args, kwargs, msg in wrong_calls(reference(name, params, doc))]


@pytest.mark.parametrize("name, args, kwargs, msg", CASES)
def test_argument_errors_match_def(name, args, kwargs, msg):
    assert msg is not None and error(getattr(br, name), args, kwargs) == msg


@pytest.mark.parametrize("name", BAR_ROLLUP)
def test_doc_and_signature_match_def(name):
    ref = reference(name, *BAR_ROLLUP[name])
    f = getattr(br, name)
    assert f.__doc__ == ref.__doc__
    assert f.__name__ == name and f.__module__ == br.__name__
    assert pickle.loads(pickle.dumps(f)) is f  # by name, as a def
    assert list(inspect.signature(f).parameters.values()) == list(inspect.signature(ref).parameters.values())
