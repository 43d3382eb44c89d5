"""Security records as frozen dataclasses.

The classes carry the native classes' names, so argument errors and reprs read the same.
"""
from dataclasses import dataclass, field, make_dataclass
from typing import Optional

from kavrel_trader.core.constants import Exchange


@dataclass(frozen=True)
class Security:
    """Base class for different asset types"""
    code: str
    security_name: str
    lot_size: Optional[int] = None
    exchange: Optional[Exchange] = None
    expiry_date: Optional[str] = None
    quote_currency: str = ""

    # The base record is keyed by code, name and exchange only; the kinds below get the
    # dataclass rules (same class, all fields) back.
    def __eq__(self, other):
        return bool(self.code == other.code
                    and self.security_name == other.security_name
                    and self.exchange.value == other.exchange.value)

    def __hash__(self):
        return hash(f"{self.security_name}|{self.code}|{self.exchange.value}")


def _kind(name, doc, lot_size, exchange):
    """A kind of security: the base fields with its own defaults, and the dataclass rules."""
    cls = make_dataclass(name, [("lot_size", Optional[int], field(default=lot_size)),
                                ("exchange", Optional[Exchange], field(default=exchange))],
                         bases=(Security,), frozen=True, namespace={"__doc__": doc})
    cls.__module__ = __name__
    return cls


Stock = _kind("Stock", "Cash equity", 1, Exchange.SEHK)
Currency = _kind("Currency", "Foreign exchange", 1000, Exchange.IDEALPRO)
Commodity = _kind("Commodity", "Commodity", 1000, Exchange.IDEALPRO)
Futures = _kind("Futures", "Futures", 1000, Exchange.SMART)
