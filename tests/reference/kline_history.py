"""QMT bar records as plain Python: bar times, numbers from records, records to bars."""
from collections.abc import Mapping
from datetime import datetime

from kavrel_trader.core.data import Bar
from kavrel_trader.core.utility import try_parsing_datetime

TIME_FORMATS = ("%Y%m%d%H%M%S", "%Y-%m-%d %H:%M:%S", "%Y%m%d", "%Y-%m-%d")
TIME_KEYS = ("time", "datetime", "index", "bar_time", "stime")
NUMBER_KEYS = {"open": ("open", "open_price"), "high": ("high", "high_price"),
               "low": ("low", "low_price"), "close": ("close", "close_price", "last"),
               "volume": ("volume", "vol")}


def parse_qmt_bar_time(value):
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


def _row_number(row, keys, default=0.0):
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


def is_placeholder_bar(bar):
    for v in (bar.open, bar.high, bar.low, bar.close):
        if float(v or 0) != 0:
            return False
    return float(bar.volume or 0) == 0


def records_to_bars(records, security, drop_placeholders=True):
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
        bar = Bar(datetime=parse_qmt_bar_time(time_value), security=security,
                  open=_row_number(row, NUMBER_KEYS["open"]),
                  high=_row_number(row, NUMBER_KEYS["high"]),
                  low=_row_number(row, NUMBER_KEYS["low"]),
                  close=_row_number(row, NUMBER_KEYS["close"]),
                  volume=_row_number(row, NUMBER_KEYS["volume"]))
        if drop_placeholders and is_placeholder_bar(bar):
            continue
        bars.append(bar)
    return bars
