"""QMT bar records and periods: request windows for the bridge and the conversion of its bar records into framework Bar records."""
from datetime import datetime
from typing import Any, Dict, List, Mapping, Optional, Sequence, Tuple

from kavrel_trader.core.data import Bar
from kavrel_trader.core.security import Security

# Framework frequency -> QMT period; the only two frequencies the bridge is asked for.
FREQ_TO_QMT_PERIOD: Dict[str, str]
# Largest number of bars asked for in one call when the caller gives no cap.
DEFAULT_MAX_COUNT: Dict[str, int]
# Text forms of a bar time, tried in order.
_QMT_TIME_FORMATS: Tuple[str, ...]

def qmt_period_for_freq(freq: str) -> str:
    """QMT period string for a framework frequency ("1Min" -> "1m", "1Day" -> "1d")."""

def clamp_periods(freq: str, periods: int, max_count: Optional[int] = None) -> int:
    """Number of bars to request: periods, capped by max_count or the frequency's default."""

def format_qmt_end_time(cur_datetime: Optional[datetime], freq: str) -> str:
    """end_time for get_market_data_ex; "" means the latest available bar."""

def format_qmt_start_time(cur_datetime: Optional[datetime], periods: int, freq: str) -> str:
    """start_time for get_market_data_ex, reaching back far enough to hold periods bars."""

def parse_qmt_bar_time(value: Any) -> datetime:
    """Bar time from a record's time field (datetime, compact digits or dashed text)."""

def _row_number(row: Mapping[str, Any], keys: Sequence[str], default: float = 0.0) -> float:
    """First usable number among keys (lower case) in row, matched without regard to case."""

def is_placeholder_bar(bar: Bar) -> bool:
    """True for a QMT fill-in bar: open, high, low, close and volume all zero."""

def records_to_bars(
    records: Optional[Sequence[Mapping[str, Any]]], security: Security, drop_placeholders: bool = True
) -> List[Bar]:
    """Bar records built from the bridge's bar records, in record order."""
