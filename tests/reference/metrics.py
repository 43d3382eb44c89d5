"""Back-test metrics as numpy/pandas expressions and plain Python."""
from datetime import datetime

import numpy as np
import pandas as pd


def _std(x):
    """A Series' own deviation (divisor n - 1, NaN skipped); numpy's (divisor n) otherwise."""
    return x.std() if isinstance(x, pd.Series) else np.std(x)


def _mean(x):
    return x.mean() if isinstance(x, pd.Series) else np.mean(x)


def sharpe_ratio(returns, days=252):
    volatility = _std(returns)
    if volatility == 0:
        return np.nan
    return np.sqrt(days) * _mean(returns) / volatility


def information_ratio(returns, benchmark_returns, days=252):
    return sharpe_ratio(returns - benchmark_returns, days)


def modigliani_ratio(returns, benchmark_returns, days=252):
    volatility = _std(returns)
    if volatility == 0:
        return np.nan
    sharpe = np.sqrt(days) * _mean(returns) / volatility
    return sharpe * _std(benchmark_returns)


def rolling_maximum_drawdown(portfolio_value, window=252):
    pv = pd.Series(portfolio_value, name="pv")
    roll_max = pv.rolling(window, min_periods=1).max()
    daily_drawdown = pv / roll_max - 1.0
    return daily_drawdown.rolling(window, min_periods=1).min()


def holding_period(time_):
    open_ = datetime.strptime(time_["open_datetime"], "%Y-%m-%d %H:%M:%S")
    close = datetime.strptime(time_["close_datetime"], "%Y-%m-%d %H:%M:%S")
    return (close - open_).total_seconds() / 60.0


def convert_time(time_):
    parts = time_.split(":")
    hour, minute = parts[0], parts[1]
    return hour + (":00:00" if int(minute) < 30 else ":30:00")
