from typing import Callable

import numpy.typing as npt
import pandas as pd

# Inputs are one-dimensional numeric columns: a numpy array, a list of numbers or a
# Series. Ratios use the population deviation and are NaN where it is zero.

def sharpe_ratio(returns: npt.ArrayLike, days: int = 252) -> float: ...
def information_ratio(returns: npt.ArrayLike, benchmark_returns: npt.ArrayLike, days: int = 252) -> float: ...
def modigliani_ratio(returns: npt.ArrayLike, benchmark_returns: npt.ArrayLike, days: int = 252) -> float: ...
def rolling_maximum_drawdown(portfolio_value: npt.ArrayLike, window: int = 252) -> pd.Series:
    """(default) use a trailing 252 trading day window"""

def holding_period(time_: pd.Series) -> float: ...
def percentile(n: float) -> Callable[[pd.Series], float]: ...
def convert_time(time_: str) -> str:
    """time_ in the format: %H:%M:%S"""
