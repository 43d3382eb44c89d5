"""Gateway and fee base classes."""
from typing import Any, Dict, List, Optional

from kavrel_trader.core.constants import TradeMode


class Store:
    """A keyed store holding the latest item per key."""

    def __init__(self):
        self.queue: Dict[Any, Any] = {}

    def put(self, key, item):
        self.queue[key] = item

    def get(self, key):
        return self.queue.get(key)


class BaseGateway:
    NAME = "BASE"
    TIME_STEP = 60000
    SHORT_INTEREST_RATE = 0.0
    KL_ALLOWED = ("1Min", "1Day")
    # Class-level default: a gateway may define `trade_mode` as a property of its own, which
    # an assignment in __init__ would run before the gateway has set anything up.
    trade_mode: Optional[TradeMode] = None

    def __init__(self, securities: List[Any], gateway_name: str = "Backtest", **kwargs):
        self.securities = list(securities)
        self.gateway_name = gateway_name
        self.fees = kwargs.get("fees")
        self.start = kwargs.get("start")
        self.end = kwargs.get("end")
        self.quote = Store()
        self.orderbook = Store()
        self.orders = Store()
        self.deals = Store()

    def set_trade_mode(self, trade_mode: TradeMode):
        self.trade_mode = trade_mode


class BaseFees:
    """Fee breakdown of a set of deals; every amount starts at 0."""

    commissions = 0
    platform_fees = 0
    system_fees = 0
    settlement_fees = 0
    stamp_fees = 0
    trade_fees = 0
    transaction_fees = 0
    total_fees = 0
    total_number_of_trades = 0
    total_trade_amount = 0

    def __init__(self, *deals):
        pass
