"""Readers of request parameters that refuse bad values with a reason (``OpError``)."""
from __future__ import annotations

import math
from datetime import datetime, timedelta
from typing import Any, Dict, List, Optional, Tuple

from .core import OpError
from .market import normalize_code

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


def _clip(value) -> str:
    """The repr of a bad value, cut short: a huge number's digits do not belong in a reply."""
    text = repr(value)
    return text if len(text) <= 40 else text[:37] + "..."


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
    except OverflowError:       # an int too large for a float is not a finite number either
        number = math.inf
    if not math.isfinite(number):
        raise OpError("%s must be a finite number, got %s" % (key, _clip(value)))
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


def read_order(params: Dict[str, Any]) -> Tuple[str, str, str, float, int, str]:
    """code, direction, order type, price, volume and reference of a "place_order" request."""
    code = normalize_code(params.get("code"))
    if code is None:
        raise OpError("invalid code %r: expected six digits and .SH, .SZ or .BJ"
                      % (params.get("code"),))
    direction = str_param(params, "direction", required=True).upper()
    if direction not in ("BUY", "SELL"):
        raise OpError("direction must be BUY or SELL, got %r" % (params["direction"],))
    order_type = str_param(params, "order_type", default="LIMIT").upper()
    if order_type not in ("MARKET", "LIMIT"):
        raise OpError("order_type must be MARKET or LIMIT, got %r" % (params["order_type"],))
    price = number_param(params, "price", default=0.0)
    if price < 0:
        raise OpError("price must not be negative, got %r" % (price,))
    volume = int_param(params, "volume", required=True)
    if volume <= 0:
        raise OpError("volume must be a positive number of shares, got %r" % (volume,))
    ref = params.get("order_ref")
    if ref is not None and not isinstance(ref, str):
        raise OpError("order_ref must be a string")
    if ref and not ref.isascii():
        try:
            ref.encode("utf-8")
        except UnicodeEncodeError:
            # The state file, the terminal and the events all keep the reference as UTF-8.
            raise OpError("order_ref %r is not valid text (a lone surrogate)" % (ref,)) from None
    return code, direction, order_type, price, volume, ref or ""


def codes_param(params: Dict[str, Any]) -> List[str]:
    """The "codes" list of a market-data request (a single text counts as a list of one)."""
    codes = params.get("codes")
    if isinstance(codes, str):
        codes = [codes]
    if not isinstance(codes, list) or not codes or not all(isinstance(c, str) for c in codes):
        raise OpError("codes must be a non-empty list of codes such as 600000.SH")
    return codes


def order_id_param(params: Dict[str, Any]) -> str:
    """The "order_id" of a cancel request: an order id or the reference it was placed with."""
    raw = params.get("order_id")
    if isinstance(raw, bool) or not isinstance(raw, (str, int)) or str(raw) == "":
        raise OpError("order_id must be a non-empty string")
    return str(raw)
