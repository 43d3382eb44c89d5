"""Account balance record."""
from dataclasses import dataclass


@dataclass
class AccountBalance:
    cash: float = 0.0
    available_cash: float = 0.0
    maintenance_margin: float = 0.0
    unrealized_pnl: float = 0.0
    max_power_short: float = 0.0
    net_cash_power: float = 0.0
