"""Instrument records: Security and its kinds Stock, Currency, Commodity, Futures."""
from dataclasses import dataclass
from typing import Optional

from typing_extensions import disjoint_base

from kavrel_trader.core.constants import Exchange

# Immutable records: assigning a field raises dataclasses.FrozenInstanceError.
# A plain Security compares by code, name and exchange value; a kind compares
# by its exact class and all six fields.

@disjoint_base
@dataclass(frozen=True)
class Security:
    """Base class for different asset types"""

    code: str
    security_name: str
    lot_size: Optional[int] = None
    exchange: Optional[Exchange] = None
    expiry_date: Optional[str] = None
    quote_currency: str = ""
    def __eq__(self, other: object, /) -> bool: ...
    def __hash__(self) -> int: ...

@dataclass(frozen=True)
class Stock(Security):
    """Cash equity"""

    lot_size: Optional[int] = 1
    exchange: Optional[Exchange] = Exchange.SEHK

@dataclass(frozen=True)
class Currency(Security):
    """Foreign exchange"""

    lot_size: Optional[int] = 1000
    exchange: Optional[Exchange] = Exchange.IDEALPRO

@dataclass(frozen=True)
class Commodity(Security):
    """Commodity"""

    lot_size: Optional[int] = 1000
    exchange: Optional[Exchange] = Exchange.IDEALPRO

@dataclass(frozen=True)
class Futures(Security):
    """Futures"""

    lot_size: Optional[int] = 1000
    exchange: Optional[Exchange] = Exchange.SMART
