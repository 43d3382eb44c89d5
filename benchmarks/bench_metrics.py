"""Metrics: the native functions against the numpy/pandas expressions of the same formulas."""
import numpy as np
import pandas as pd

from _timing import best_time, report
from reference import metrics as ref

from kavrel_trader.plugins.analysis import metrics


def main():
    rng = np.random.default_rng(7)
    for n in (10_000, 100_000, 1_000_000):
        returns = rng.normal(0.0004, 0.01, n)
        bench = rng.normal(0.0003, 0.009, n)
        series = pd.Series(returns)
        bench_series = pd.Series(bench)
        values = 100.0 * np.cumprod(1.0 + returns)
        reps = 20 if n <= 100_000 else 7
        goal_ratio = 1.5 if n == 1_000_000 else None
        goal_dd = 5.0 if n == 1_000_000 else None
        report(f"sharpe_ratio, array of {n:,}", best_time(lambda: metrics.sharpe_ratio(returns), repeat=reps),
               best_time(lambda: ref.sharpe_ratio(returns), repeat=reps), goal_ratio, "numpy")
        # A Series gets pandas' own statistics; the baseline is the same formula on the Series.
        report(f"sharpe_ratio, Series of {n:,}", best_time(lambda: metrics.sharpe_ratio(series), repeat=reps),
               best_time(lambda: ref.sharpe_ratio(series), repeat=reps), None, "pandas")
        report(f"information_ratio, Series of {n:,}",
               best_time(lambda: metrics.information_ratio(series, bench_series), repeat=reps),
               best_time(lambda: ref.information_ratio(series, bench_series), repeat=reps), None, "pandas")
        report(f"modigliani_ratio, Series of {n:,}",
               best_time(lambda: metrics.modigliani_ratio(series, bench_series), repeat=reps),
               best_time(lambda: ref.modigliani_ratio(series, bench_series), repeat=reps), None, "pandas")
        report(f"sharpe_ratio, Series of {n:,} vs the same data as an array",
               best_time(lambda: metrics.sharpe_ratio(series), repeat=reps),
               best_time(lambda: metrics.sharpe_ratio(returns), repeat=reps), None, "array")
        report(f"information_ratio, arrays of {n:,}",
               best_time(lambda: metrics.information_ratio(returns, bench), repeat=reps),
               best_time(lambda: ref.information_ratio(returns, bench), repeat=reps), goal_ratio, "numpy")
        report(f"modigliani_ratio, arrays of {n:,}",
               best_time(lambda: metrics.modigliani_ratio(returns, bench), repeat=reps),
               best_time(lambda: ref.modigliani_ratio(returns, bench), repeat=reps), goal_ratio, "numpy")
        report(f"rolling_maximum_drawdown, array of {n:,}",
               best_time(lambda: metrics.rolling_maximum_drawdown(values), repeat=reps),
               best_time(lambda: ref.rolling_maximum_drawdown(values), repeat=reps), goal_dd, "pandas")
        agg = metrics.percentile(25)
        report(f"percentile(25) aggregator, Series of {n:,}", best_time(lambda: agg(series), repeat=reps),
               best_time(lambda: series.quantile(0.25), repeat=reps), None, "pandas")
