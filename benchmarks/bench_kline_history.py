"""kline_history: records_to_bars and parse_qmt_bar_time against plain Python."""
from collections.abc import Mapping
from datetime import datetime, timedelta

from _timing import best_time, report

from kavrel_trader.core.data import Bar
from kavrel_trader.core.utility import try_parsing_datetime
from kavrel_trader.gateways.qmt import kline_history as kh

# ---------------------------------------------------------------- plain-Python baseline

TIME_FORMATS = ("%Y%m%d%H%M%S", "%Y-%m-%d %H:%M:%S", "%Y%m%d", "%Y-%m-%d")
TIME_KEYS = ("time", "datetime", "index", "bar_time", "stime")


def py_parse_qmt_bar_time(value):
    if isinstance(value, datetime):
        return value
    if value is None:
        return datetime.now()
    text = str(value).strip()
    if not text:
        return datetime.now()
    for fmt in TIME_FORMATS:
        try:
            return datetime.strptime(text, fmt)
        except ValueError:
            continue
    return try_parsing_datetime(text)


def py_row_number(row, keys, default=0.0):
    lowered = {str(k).lower(): v for k, v in row.items()}
    for key in keys:
        value = lowered.get(key)
        if value is None:
            continue
        try:
            return float(value)
        except (TypeError, ValueError):
            continue
    return float(default)


def py_is_placeholder_bar(bar):
    for v in (bar.open, bar.high, bar.low, bar.close):
        if float(v or 0) != 0:
            return False
    return float(bar.volume or 0) == 0


def py_records_to_bars(records, security, drop_placeholders=True):
    bars = []
    if not records:
        return bars
    for row in records:
        if not isinstance(row, Mapping):
            continue
        time_value = None
        for key in TIME_KEYS:
            value = row.get(key)
            if value is None:
                for k, v in row.items():
                    if str(k).lower() == key and v is not None:
                        value = v
                        break
            if value is not None:
                time_value = value
                break
        bar = Bar(datetime=py_parse_qmt_bar_time(time_value), security=security,
                  open=py_row_number(row, ("open", "open_price")),
                  high=py_row_number(row, ("high", "high_price")),
                  low=py_row_number(row, ("low", "low_price")),
                  close=py_row_number(row, ("close", "close_price", "last")),
                  volume=py_row_number(row, ("volume", "vol")))
        if drop_placeholders and py_is_placeholder_bar(bar):
            continue
        bars.append(bar)
    return bars


# ---------------------------------------------------------------- data

def minute_records(n, *, int_times=False, upper=False):
    start = datetime(2024, 1, 2, 9, 30)
    rows = []
    for i in range(n):
        t = (start + timedelta(minutes=i)).strftime("%Y%m%d%H%M%S")
        price = 10.0 + (i % 97) * 0.01
        row = {"time": int(t) if int_times else t, "open": price, "high": price + 0.05,
               "low": price - 0.05, "close": price + 0.01, "volume": 1000 + i,
               "amount": price * (1000 + i), "settelementPrice": 0.0, "openInterest": 0,
               "preClose": price, "suspendFlag": 0}
        if upper:
            row = {k.capitalize(): v for k, v in row.items()}
        if i % 50 == 0:  # terminal fill-in bars
            row.update({"open": 0, "high": 0, "low": 0, "close": 0, "volume": 0})
        rows.append(row)
    return rows


def main():
    n = 10_000
    cases = [
        ("records_to_bars 10k, text times", minute_records(n)),
        ("records_to_bars 10k, int times", minute_records(n, int_times=True)),
        ("records_to_bars 10k, capitalised keys", minute_records(n, upper=True)),
    ]
    for name, rows in cases:
        assert [(b.datetime, b.close, b.volume) for b in kh.records_to_bars(rows, "SH.600000")] == \
               [(b.datetime, b.close, b.volume) for b in py_records_to_bars(rows, "SH.600000")]
        ours = best_time(lambda: kh.records_to_bars(rows, "SH.600000"), repeat=15)
        base = best_time(lambda: py_records_to_bars(rows, "SH.600000"), repeat=3)
        report(name, ours, base, target=10, baseline_name="python")

    texts = [r["time"] for r in minute_records(2000)]
    ours = best_time(lambda: [kh.parse_qmt_bar_time(t) for t in texts], repeat=5)
    base = best_time(lambda: [py_parse_qmt_bar_time(t) for t in texts], repeat=3)
    report("parse_qmt_bar_time x2000 (compact text)", ours, base, baseline_name="python")

    row = minute_records(1)[0]
    ours = best_time(lambda: kh._row_number(row, ("close", "close_price", "last")), number=20000)
    base = best_time(lambda: py_row_number(row, ("close", "close_price", "last")), number=20000)
    report("_row_number one call", ours, base, baseline_name="python")


if __name__ == "__main__":
    main()
