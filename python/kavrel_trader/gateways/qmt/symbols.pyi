"""Conversion between framework security codes and QMT codes."""
from typing import Set

from kavrel_trader.core.constants import Exchange
from kavrel_trader.core.security import Security

def to_qmt_code(code: str) -> str:
    """QMT form of a code ("SH.600000" -> "600000.SH"); an unrecognised code comes back
    stripped and upper-cased."""

def from_qmt_code(code: str) -> str:
    """Framework form of a code ("600000.SH" -> "SH.600000"); an unrecognised code comes
    back stripped and upper-cased."""

def exchange_from_qmt_code(code: str) -> Exchange:
    """Exchange.SZSE for a Shenzhen code, otherwise Exchange.SSE."""

def security_codes_for_lookup(security: Security) -> Set[str]:
    """The set of code forms under which the security may appear in a bridge payload."""
