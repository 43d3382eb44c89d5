"""Readers of request parameters that refuse bad values with a reason (``OpError``)."""
from __future__ import annotations

import math
from datetime import datetime, timedelta
from typing import Any, Dict, Optional

from .core import OpError

_MISSING = object()
_TIME_FORMATS = ("%Y%m%d%H%M%S", "%Y%m%d", "%Y-%m-%d %H:%M:%S", "%Y-%m-%d")


def _get(params: Dict[str, Any], key: str, required: bool, default: Any) -> Any:
    value = params.get(key, _MISSING)
    if value is _MISSING or value is None:
        if required:
            raise OpError("missing parameter %r" % key)
        return _MISSING
    return value


def str_param(params, key, default: str = "", required: bool = False) -> str:
    value = _get(params, key, required, default)
    if value is _MISSING:
        return default
    if not isinstance(value, str):
        raise OpError("%s must be a string, got %s" % (key, type(value).__name__))
    return value.strip()


def number_param(params, key, default: float = 0.0, required: bool = False) -> float:
    value = _get(params, key, required, default)
    if value is _MISSING:
        return default
    if isinstance(value, bool) or not isinstance(value, (int, float, str)):
        raise OpError("%s must be a number, got %s" % (key, type(value).__name__))
    try:
        number = float(value)
    except ValueError:
        raise OpError("%s must be a number, got %r" % (key, value)) from None
    if not math.isfinite(number):
        raise OpError("%s must be a finite number, got %r" % (key, value))
    return number


def int_param(params, key, default: int = 0, required: bool = False) -> int:
    value = _get(params, key, required, default)
    if value is _MISSING:
        return default
    number = number_param({key: value}, key)
    if number != int(number):
        raise OpError("%s must be a whole number, got %r" % (key, value))
    return int(number)


def bool_param(params, key, default: bool = False) -> bool:
    value = params.get(key)
    if value is None:
        return default
    if isinstance(value, bool):
        return value
    if isinstance(value, int) and value in (0, 1):
        return bool(value)
    raise OpError("%s must be true or false, got %r" % (key, value))


def time_param(params, key, end_of_day: bool = False) -> Optional[datetime]:
    """A time window bound: "" or missing for none, else compact or dashed digits. A bare
    date as an end bound reaches to the end of that day."""
    value = params.get(key)
    if value is None:
        return None
    if isinstance(value, bool) or not isinstance(value, (str, int)):
        raise OpError("%s must be a time text such as 20240301 or 20240301093000" % key)
    text = str(value).strip()
    if not text:
        return None
    for fmt in _TIME_FORMATS:
        try:
            t = datetime.strptime(text, fmt)
        except ValueError:
            continue
        if end_of_day and "%H" not in fmt:
            t += timedelta(days=1, microseconds=-1)
        return t
    raise OpError("cannot read %s %r; use 20240301 or 20240301093000" % (key, text))
