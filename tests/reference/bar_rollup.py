"""Bar frequency texts and one-minute bar aggregation as plain Python (records and tables)."""
import re
from datetime import timedelta

import numpy as np
import pandas as pd

from kavrel_trader.core.data import Bar

FREQ_RE = re.compile(r"^\s*(\d+)\s*(min|m|mins|minutes|day|d|days)\s*$", re.IGNORECASE)
UNSUPPORTED = " is not supported. Use forms like '1Min', '5Min', '15min', or '1Day'."


def parse_bar_freq(freq):
    if not isinstance(freq, str) or not freq:
        raise ValueError(f"freq={freq!r} is not a valid bar frequency")
    m = FREQ_RE.match(freq)
    if not m:
        raise ValueError(f"freq={freq!r}" + UNSUPPORTED)
    return ("day" if m.group(2).lower().startswith("d") else "min"), int(m.group(1))


def bucket_start(dt, n_min):
    """Start of the n-minute bucket holding dt, counted from midnight on the wall clock."""
    total = dt.hour * 60 + dt.minute
    floored = total // n_min * n_min
    kw = dict(hour=floored // 60, minute=floored % 60, second=0, microsecond=0)
    if isinstance(dt, pd.Timestamp):
        kw["nanosecond"] = 0
    return dt.replace(**kw)


def merge_bucket(bucket, bar_convention):
    first, last = bucket[0], bucket[-1]
    extra = {}
    for name in ("num_trds", "value"):
        vals = [getattr(b, name, None) or 0 for b in bucket]
        if any(vals):
            extra[name] = sum(vals)
    return Bar(datetime=first.datetime if bar_convention == "start" else last.datetime, security=first.security,
               open=first.open, high=max(b.high for b in bucket), low=min(b.low for b in bucket),
               close=last.close, volume=sum(b.volume for b in bucket), **extra)


def aggregate_1min_bars(bars, n_min, *, require_full=True, bar_convention="end", max_gap_minutes=1.5):
    out, bucket, cur = [], [], None
    limit = timedelta(minutes=max_gap_minutes)

    def flush():
        if bucket and (not require_full or len(bucket) >= n_min):
            out.append(merge_bucket(bucket, bar_convention))
        bucket.clear()

    for b in sorted(bars, key=lambda b: b.datetime):
        key = bucket_start(b.datetime, n_min)
        if bucket and (b.datetime - bucket[-1].datetime > limit or key != cur):
            flush()
        if not bucket:
            cur = key
        bucket.append(b)
    flush()
    return out


def aggregate_1min_ohlcv_df(df, n_min, *, require_full=True, bar_convention="end", max_gap_minutes=1.5,
                            time_col="time_key"):
    """Row-by-row version of the table rules (rows ordered by their converted times)."""
    times_all = pd.to_datetime(df[time_col])
    order = np.argsort(times_all.to_numpy(), kind="stable")
    work = df.iloc[order].reset_index(drop=True)
    times = times_all.iloc[order].reset_index(drop=True)
    limit = pd.Timedelta(minutes=max_gap_minutes)
    rows = []

    def emit(i0, i1):
        chunk = work.iloc[i0:i1]
        if chunk.empty or (require_full and len(chunk) < n_min):
            return
        row = {c: chunk[c].iloc[0] for c in work.columns}
        row[time_col] = times.iloc[i0] if bar_convention == "start" else times.iloc[i1 - 1]
        row.update(open=chunk["open"].iloc[0], high=chunk["high"].max(), low=chunk["low"].min(),
                   close=chunk["close"].iloc[-1], volume=chunk["volume"].sum())
        for c in ("num_trds", "value"):
            if c in chunk.columns:
                row[c] = chunk[c].fillna(0).sum()
        rows.append(row)

    start, cur = 0, bucket_start(times.iloc[0], n_min)
    for i in range(1, len(work)):
        key = bucket_start(times.iloc[i], n_min)
        if times.iloc[i] - times.iloc[i - 1] > limit or key != cur:
            emit(start, i)
            start, cur = i, key
    emit(start, len(work))
    if not rows:
        return pd.DataFrame(columns=work.columns)
    out = pd.DataFrame(rows, columns=df.columns)
    return out[[time_col] + [c for c in out.columns if c != time_col]]
