"""QMT China A-share fee schedule."""
from kavrel_trader.core.deal import Deal
from kavrel_trader.gateways.base_gateway import BaseFees

class QmtCommissionsCN(BaseFees):
    """Simplified mainland A-share fee model (broker schedules vary).
    - Commission: 0.025% of notional, min CNY 5
    - Stamp duty: 0.05% of notional on sells only (current CN policy)
    - Transfer fee: 0.001% of notional (SSE/SZSE)"""

    # Rates are read through the object: a subclass or an instance may change them.
    COMMISSION_RATE: float = 0.00025
    COMMISSION_MIN: float = 5.0
    STAMP_RATE: float = 0.0005
    TRANSFER_RATE: float = 0.00001
    # Charges the deals at once; the breakdown is left in the fee attributes.
    def __init__(self, *deals: Deal) -> None: ...
