"""Market-data records: mutable, built by keyword, every field optional."""
from dataclasses import dataclass, make_dataclass, field
from datetime import datetime
from typing import Any, Optional


@dataclass
class Bar:
    datetime: Optional[datetime] = None
    security: Any = None
    open: Optional[float] = None
    high: Optional[float] = None
    low: Optional[float] = None
    close: Optional[float] = None
    volume: Optional[float] = None
    num_trds: Optional[int] = None
    value: Optional[float] = None


@dataclass
class Quote:
    security: Any = None
    exchange: Any = None
    datetime: Optional[datetime] = None
    last_price: Optional[float] = None
    open_price: Optional[float] = None
    high_price: Optional[float] = None
    low_price: Optional[float] = None
    prev_close_price: Optional[float] = None
    volume: Optional[float] = None
    turnover: Optional[float] = None
    turnover_rate: Optional[float] = None
    amplitude: Optional[float] = None
    suspension: Optional[bool] = None
    price_spread: Optional[float] = None
    sec_status: Any = None
    bid_price: Optional[float] = None
    ask_price: Optional[float] = None


ORDERBOOK_LEVELS = 10

# OrderBook: security, exchange, datetime and, per level n, bid/ask price, volume and count.
OrderBook = make_dataclass(
    "OrderBook",
    [("security", Any, field(default=None)),
     ("exchange", Any, field(default=None)),
     ("datetime", Optional[datetime], field(default=None))]
    + [(f"{side}_{what}_{n}", Any, field(default=None))
       for n in range(1, ORDERBOOK_LEVELS + 1)
       for side in ("bid", "ask")
       for what in ("price", "volume", "num")],
    namespace={"__module__": __name__},
)


@dataclass
class CapitalDistribution:
    datetime: Optional[datetime] = None
    security: Any = None
    capital_in_big: Optional[float] = None
    capital_in_mid: Optional[float] = None
    capital_in_small: Optional[float] = None
    capital_out_big: Optional[float] = None
    capital_out_mid: Optional[float] = None
    capital_out_small: Optional[float] = None
