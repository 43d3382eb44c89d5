"""Framework enumerations."""
from enum import Enum


class Direction(Enum):
    LONG = "LONG"
    SHORT = "SHORT"
    NET = "NET"


class Offset(Enum):
    NONE = ""
    OPEN = "OPEN"
    CLOSE = "CLOSE"


class OrderType(Enum):
    MARKET = "MARKET"
    LIMIT = "LIMIT"


class OrderStatus(Enum):
    UNKNOWN = "UNKNOWN"
    SUBMITTED = "SUBMITTED"
    FILLED = "FILLED"
    PART_FILLED = "PART_FILLED"
    CANCELLED = "CANCELLED"
    FAILED = "FAILED"


class TradeMode(Enum):
    BACKTEST = "BACKTEST"
    SIMULATE = "SIMULATE"
    LIVETRADE = "LIVETRADE"


class Exchange(Enum):
    SEHK = "SEHK"
    HKFE = "HKFE"
    SMART = "SMART"
    IDEALPRO = "IDEALPRO"
    NYSE = "NYSE"
    NASDAQ = "NASDAQ"
    SSE = "SSE"
    SZSE = "SZSE"
    CRYPTO = "CRYPTO"
