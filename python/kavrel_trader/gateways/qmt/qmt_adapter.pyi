"""QMT gateway: China A-share trading through the Big QMT Redis bridge agent."""
import threading
from datetime import datetime
from typing import Any, Dict, List, Mapping, Optional, Sequence, Set, Tuple, Type, Union

from kavrel_trader.core.balance import AccountBalance
from kavrel_trader.core.constants import Direction, TradeMode
from kavrel_trader.core.data import Bar, Quote
from kavrel_trader.core.order import Order
from kavrel_trader.core.position import PositionData
from kavrel_trader.core.security import Security
from kavrel_trader.gateways.base_gateway import BaseFees, BaseGateway
from kavrel_trader.gateways.qmt.qmt_commissions import QmtCommissionsCN
from kavrel_trader.gateways.qmt.redis_bridge import QmtRedisBridge

# The framework configuration, as kavrel_trader_config holds it.
GATEWAYS: Dict[str, Dict[str, Any]]
DATA_PATH: Dict[str, str]
TIME_STEP: int
# GATEWAYS["Qmt"], or an empty mapping when the configuration has none.
QMT: Dict[str, Any]
# Default wait, in seconds, for a historical-bar request.
_DEFAULT_HIST_RPC_TIMEOUT: float

def _first_number(row: Mapping[str, Any], keys: Sequence[str], default: float = 0.0) -> float: ...
def _level_number(row: Mapping[str, Any], list_keys: Sequence[str], index: int, default: float = 0.0) -> float:
    """Read level-N from list fields like bidPrice/askVol (Big QMT tick shape)."""
def _first_str(row: Mapping[str, Any], keys: Sequence[str], default: str = "") -> str: ...
def _first_int(row: Mapping[str, Any], keys: Sequence[str], default: int = 0) -> int: ...

class QmtAdapter(BaseGateway):
    """Live gateway backed by the Big QMT Redis bridge agent."""

    TIME_STEP: int = 60000
    SHORT_INTEREST_RATE: float = 0.0
    NAME: str = "QMT"
    KL_ALLOWED: Tuple[str, str] = ("1Day", "1Min")
    _cfg: Dict[str, Any]
    _recent_bars: Dict[Security, Bar]
    _rpc: QmtRedisBridge
    # Order events: the lock shared by the event thread and the order calls, events held for
    # references not yet stored (monotonic time, reference, data), references the gateway
    # marked CANCELLED on its own cancel request, and references left UNKNOWN by a time-out.
    _order_lock: Any
    _held_events: List[Tuple[float, str, Dict[str, Any]]]
    _cancel_marked: Set[str]
    _unknown_since: Dict[str, float]
    _reconcile_timer: Optional[threading.Timer]
    # Connects to the bridge, starts the event subscriber and takes a first quote snapshot.
    def __init__(
        self,
        securities: List[Security],
        gateway_name: str = "Qmt",
        start: Optional[datetime] = None,
        end: Optional[datetime] = None,
        fees: Union[Type[BaseFees], BaseFees] = QmtCommissionsCN,
        **kwargs: Any,
    ) -> None: ...
    def close(self) -> None: ...
    def set_trade_mode(self, trade_mode: TradeMode) -> None: ...
    def subscribe(self) -> None: ...
    def unsubscribe(self) -> None: ...
    def _on_event(self, event: Dict[str, Any]) -> None: ...
    def reconcile(self) -> None:
        """Settle the orders that are not final and book missing deals from the agent's "query_orders" and "query_trades"."""
    def _on_events_recovered(self) -> None: ...
    def _reconcile_due(self) -> None: ...
    def _refresh_quotes(self) -> None: ...
    def get_quote(self, security: Security) -> Optional[Quote]: ...
    # An OrderBook record (the record type is built at run time, so it is typed as Any).
    def get_orderbook(self, security: Security) -> Any: ...
    # Raises ValueError when the quote snapshot holds no bar for the security.
    def get_recent_bar(self, security: Security, bar_interval: Optional[str] = None) -> Bar: ...
    def get_recent_bars(
        self, security: Security, bar_interval: Optional[str] = None, periods: Optional[int] = 1
    ) -> List[Bar]: ...
    def get_recent_data(self, security: Security, **kwargs: Any) -> Dict[str, Any]: ...
    def req_historical_bars(
        self,
        security: Security,
        periods: int,
        freq: str,
        cur_datetime: Optional[datetime] = None,
        trading_sessions: Optional[List[Any]] = None,
        mode: str = "direct",
        **kwargs: Any,
    ) -> List[Bar]:
        """Request historical OHLCV via Big QMT ``get_market_data_ex`` (Redis)."""
    def get_security(self, code: str) -> Optional[Security]: ...
    # The order reference under which the order was sent, or "" when it was not sent.
    def place_order(self, order: Order) -> str: ...
    def cancel_order(self, orderid: str) -> None: ...
    def get_broker_balance(self) -> AccountBalance: ...
    def get_broker_position(self, security: Security, direction: Direction) -> Optional[PositionData]: ...
    def get_all_broker_positions(self) -> List[PositionData]: ...
