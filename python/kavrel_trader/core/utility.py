"""Framework utility functions used by the gateways."""
from datetime import datetime

_DATETIME_FORMATS = (
    "%Y-%m-%d %H:%M:%S",
    "%Y-%m-%d %H:%M:%S.%f",
    "%Y-%m-%d %H:%M",
    "%Y-%m-%d",
    "%Y/%m/%d %H:%M:%S",
    "%Y/%m/%d",
    "%Y%m%d %H:%M:%S",
    "%Y%m%d%H%M%S",
    "%Y%m%d",
)

# Futu SDK SubType member names for bar sizes in seconds.
_KLINE_SUBTYPES = {
    60: "K_1M", 180: "K_3M", 300: "K_5M", 900: "K_15M", 1800: "K_30M",
    3600: "K_60M", 86400: "K_DAY", 604800: "K_WEEK",
}


def try_parsing_datetime(text):
    """Parse a date-time text in one of the framework's accepted forms."""
    for fmt in _DATETIME_FORMATS:
        try:
            return datetime.strptime(text, fmt)
        except ValueError:
            pass
    raise ValueError(f"no valid date format found for {text!r}")


def get_kline_dfield_from_seconds(seconds):
    """Name of the SubType member for bars of `seconds` seconds."""
    try:
        return _KLINE_SUBTYPES[int(seconds)]
    except KeyError:
        raise ValueError(f"no kline subscription type for {seconds} seconds") from None
