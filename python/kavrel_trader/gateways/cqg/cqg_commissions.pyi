"""CQG fee schedule."""
from kavrel_trader.core.deal import Deal
from kavrel_trader.gateways.base_gateway import BaseFees

class CQGCommissions(BaseFees):
    """CQG fee model"""

    # Charges the deals at once, replacing the stored amounts.
    def __init__(self, *deals: Deal) -> None: ...
