"""Interactive Brokers fee schedules."""
from kavrel_trader.core.deal import Deal
from kavrel_trader.gateways.base_gateway import BaseFees

# Each schedule charges the deals at once in its constructor and leaves the
# breakdown in the fee attributes it inherits.

class IbHKEquityFees(BaseFees):
    """Interactive Brokers fees for Hong Kong equities (fixed, non-tiered rates).

    The broker computes its volume and value tiers once daily, so reduced rates take effect
    on the trading day after a threshold is passed.

    Rate sources (the broker's pages): government stamp duty and SFC transaction levy;
    exchange fee and clearing fee; Hong Kong tiered and fixed commission."""

    def __init__(self, *deals: Deal) -> None: ...

class IbSHSZHKConnectEquityFees(BaseFees):
    """Interactive Brokers fees for Shanghai/Shenzhen-Hong Kong Connect equities (fixed,
    non-tiered rates).

    The broker computes its volume and value tiers once daily, so reduced rates take effect
    on the trading day after a threshold is passed.

    Rate sources (the broker's pages): government stamp duty and SFC transaction levy;
    exchange fee and clearing fee; Hong Kong tiered and fixed commission."""

    def __init__(self, *deals: Deal) -> None: ...

class IbUSFuturesFees(BaseFees):
    """Interactive Brokers fees for US futures (the broker's futures commission page).

    For simplicity, use 0.85 USD/contract"""

    def __init__(self, *deals: Deal) -> None: ...
