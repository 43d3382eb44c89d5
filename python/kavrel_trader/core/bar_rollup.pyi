from datetime import datetime
from typing import Callable, List, Optional, Pattern, Sequence, Tuple

import pandas as pd

from kavrel_trader.core.data import Bar

# Frequency text: a count and a unit ("5Min", "15 minutes", "1Day"), case-insensitive.
_FREQ_RE: Pattern[str]
# Minute sizes built from one-minute bars; each divides 60.
AGGREGATABLE_NMIN: Tuple[int, ...]

def parse_bar_freq(freq: str) -> Tuple[str, int]: ...
def try_parse_aggregatable_nmin(freq: str) -> Optional[int]:
    """Return N if ``freq`` is an aggregatable N-min (N>1); else None."""

def is_nmin_aggregatable(freq: str) -> bool: ...
def to_backtest_interval(freq: str) -> str:
    """Normalize gateway-style freq to backtest interval (``1min`` / ``1day``)."""

def _bucket_start(dt: datetime, n_min: int) -> datetime: ...
def _merge_bucket(bars: Sequence[Bar], bar_convention: str) -> Bar: ...
def aggregate_1min_bars(
    bars: Sequence[Bar],
    n_min: int,
    *,
    require_full: bool = True,
    bar_convention: str = "end",
    max_gap_minutes: float = 1.5,
) -> List[Bar]:
    """Aggregate sorted (or unsorted) 1-minute bars into N-minute bars."""

def aggregate_1min_ohlcv_df(
    df: Optional[pd.DataFrame],
    n_min: int,
    *,
    require_full: bool = True,
    bar_convention: str = "end",
    max_gap_minutes: float = 1.5,
    time_col: str = "time_key",
) -> pd.DataFrame:
    """Aggregate a 1-min OHLCV DataFrame into N-min rows (same columns kept)."""

def fetch_aggregated_nmin_bars(
    *,
    n_min: int,
    periods: int,
    fetch_1min: Callable[[int], Optional[List[Bar]]],
    bar_convention: str = "end",
) -> List[Bar]:
    """Fetch 1-min bars via ``fetch_1min(count)`` and return last ``periods`` N-min bars."""

def maybe_req_aggregated_nmin(
    freq: str,
    periods: int,
    fetch_1min: Callable[[int], Optional[List[Bar]]],
    bar_convention: str = "end",
) -> Optional[List[Bar]]:
    """If ``freq`` is aggregatable N-min, return aggregated bars; else None."""
