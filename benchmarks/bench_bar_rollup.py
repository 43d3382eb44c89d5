"""Bar aggregation: native module against plain-Python and pandas versions of the same rules."""
import tracemalloc

import numpy as np
import pandas as pd

from _timing import best_time, report
from reference import bar_rollup as ref
from kavrel_trader.core import bar_rollup as br
from kavrel_trader.core.data import Bar


# ---------------------------------------------------------------- inputs

def session_times(n):
    """n one-minute stamps over trading sessions (09:30-11:30, 13:00-15:00), weekdays only."""
    day = np.arange(240)
    minutes = np.where(day < 120, 570 + day, 780 + day - 120)
    days = np.arange(n // 240 + 1)
    stamps = (days[:, None] * 1440 + minutes[None, :]).ravel()[:n]
    return pd.Timestamp("2024-01-02") + pd.to_timedelta(stamps, unit="min")


def make_bars(n):
    rng = np.random.default_rng(1)
    times = session_times(n).to_pydatetime()
    px = 10 + rng.normal(size=n).cumsum() * 0.01
    return [Bar(datetime=t, security="SH.600000", open=float(p), high=float(p) + 0.02, low=float(p) - 0.02,
                close=float(p) + 0.01, volume=int(v), num_trds=int(k))
            for t, p, v, k in zip(times, px, rng.integers(100, 10000, n), rng.integers(1, 50, n))]


def make_table(n):
    rng = np.random.default_rng(2)
    px = 10 + rng.normal(size=n).cumsum() * 0.01
    df = pd.DataFrame({
        "code": "SH.600000", "time_key": session_times(n),
        "open": px, "high": px + 0.02, "low": px - 0.02, "close": px + 0.01,
        "volume": rng.integers(100, 10000, n), "turnover": rng.random(n) * 1e6,
        "num_trds": rng.integers(1, 50, n).astype(float), "last_close": px, "flag": rng.random(n) < 0.5,
    })
    df.loc[::97, "high"] = np.nan
    return df


def resample(df, n):
    return df.resample(f"{n}min", on="time_key", label="right", closed="left").agg(
        {"code": "first", "open": "first", "high": "max", "low": "min", "close": "last", "volume": "sum",
         "turnover": "first", "num_trds": "sum", "last_close": "first", "flag": "first"}).dropna(subset=["open"])


def peak_memory(fn):
    tracemalloc.start()
    tracemalloc.reset_peak()
    base = tracemalloc.get_traced_memory()[0]
    fn()
    peak = tracemalloc.get_traced_memory()[1]
    tracemalloc.stop()
    return peak - base


def main():
    n_min = 5
    bars = make_bars(100_000)
    ours = best_time(lambda: br.aggregate_1min_bars(bars, n_min), repeat=3)
    base = best_time(lambda: ref.aggregate_1min_bars(bars, n_min), repeat=3)
    report("aggregate_1min_bars, 100k records (sorted)", ours, base, 5, "plain Python")
    shuffled = bars[::-1]
    ours = best_time(lambda: br.aggregate_1min_bars(shuffled, n_min), repeat=3)
    base = best_time(lambda: ref.aggregate_1min_bars(shuffled, n_min), repeat=3)
    report("aggregate_1min_bars, 100k records (reversed)", ours, base, 5, "plain Python")

    df = make_table(100_000)
    shuffled_df = df.sample(frac=1, random_state=0)
    ours = best_time(lambda: br.aggregate_1min_ohlcv_df(df, n_min), repeat=3)
    base = best_time(lambda: resample(df, n_min), repeat=3)
    report("aggregate_1min_ohlcv_df, 100k rows vs df.resample().agg()", ours, base, 1, "resample")
    ours_shuf = best_time(lambda: br.aggregate_1min_ohlcv_df(shuffled_df, n_min), repeat=3)
    report("aggregate_1min_ohlcv_df, 100k shuffled rows vs resample", ours_shuf, base, 1, "resample")
    small = df.iloc[:10_000]
    ours_small = best_time(lambda: br.aggregate_1min_ohlcv_df(small, n_min), repeat=3)
    row = best_time(lambda: ref.aggregate_1min_ohlcv_df(small, n_min), repeat=1)
    report("aggregate_1min_ohlcv_df, 10k rows vs row-by-row Python", ours_small, row, 100, "row-by-row")
    print(f"    (row-by-row timed on 10k rows; scaled to 100k it would take about {row * 10:.1f} s)")

    input_bytes = df.memory_usage(deep=True).sum()
    peak = peak_memory(lambda: br.aggregate_1min_ohlcv_df(shuffled_df, n_min))
    print(f"{'peak traced memory, 100k shuffled rows':<58} {peak / 2**20:8.2f} MiB = {peak / input_bytes:.2f}x "
          f"input ({input_bytes / 2**20:.2f} MiB)  (goal <= 3x: {'met' if peak <= 3 * input_bytes else 'NOT MET'})")

    times = []
    for n in (10_000, 100_000, 1_000_000):
        t = make_table(n)
        times.append(best_time(lambda: br.aggregate_1min_ohlcv_df(t, n_min), repeat=3))
    print(f"{'growth 10k/100k/1M rows (ms)':<58} " + " / ".join(f"{x * 1e3:.2f}" for x in times)
          + f"  ratios {times[1] / times[0]:.1f}x, {times[2] / times[1]:.1f}x per 10x rows")


if __name__ == "__main__":
    main()
