"""Futu OpenAPI gateways: Hong Kong and US stocks, Hong Kong futures and crypto spot."""
from datetime import datetime
from typing import Any, Dict, Iterator, List, Optional, Tuple, Type, Union

import pandas as pd

from kavrel_trader.core.balance import AccountBalance
from kavrel_trader.core.constants import Direction, TradeMode
from kavrel_trader.core.constants import OrderStatus as KVOrderStatus
from kavrel_trader.core.data import Bar, CapitalDistribution, Quote
from kavrel_trader.core.order import Order
from kavrel_trader.core.position import PositionData
from kavrel_trader.core.security import Futures, Security
from kavrel_trader.gateways.base_gateway import BaseFees, BaseGateway

# The SDK's success and failure return codes. SDK values (trade sides, environments,
# order statuses, kline types) are typed as Any: the SDK ships no type information.
RET_OK: int
RET_ERROR: int
# The framework configuration, as kavrel_trader_config holds it.
GATEWAYS: Dict[str, Dict[str, Any]]
DATA_PATH: Dict[str, str]
TIME_STEP: int
# Each gateway's settings, None when the configuration has no such section.
FUTU: Optional[Dict[str, Any]]
FUTUFUTURES: Optional[Dict[str, Any]]
FUTUCRYPTO: Optional[Dict[str, Any]]

def convert_direction_kv2futu(direction: Direction) -> Any:
    """Convert KV direction to Futu"""

def convert_trade_mode_kv2futu(trade_mode: TradeMode) -> Any:
    """Convert trade mode to Futu"""

def convert_orderstatus_futu2kv(status: Any) -> KVOrderStatus: ...
def get_hk_futures_code(security: Futures) -> str:
    """Use security code and expiry date to determine exact futures code"""

class FutuAdapter(BaseGateway):
    """Futu Gateway"""

    TIME_STEP: int = 60000
    SHORT_INTEREST_RATE: float = 0.0098
    NAME: str = "FUTU"
    KL_ALLOWED: Tuple[str, str] = ("1Day", "1Min")
    # Connects the quote and trade contexts of the gateway's settings.
    def __init__(
        self,
        securities: List[Security],
        gateway_name: str,
        start: Optional[datetime] = None,
        end: Optional[datetime] = None,
        fees: Union[Type[BaseFees], BaseFees] = BaseFees,
        **kwargs: Any,
    ) -> None: ...
    def close(self) -> None: ...
    def connect_quote(self) -> None:
        """Price subscription, including Quote and Orderbook"""
    def connect_trade(self) -> None:
        """Trade subscription, including Order and Deal"""
    def subscribe(self) -> None: ...
    def unsubscribe(self) -> None: ...
    @property
    def trade_mode(self) -> Optional[TradeMode]: ...
    @trade_mode.setter  # type: ignore[override]
    def trade_mode(self, trade_mode: TradeMode) -> None: ...
    # The machine's local date and time, naive.
    @property
    def market_datetime(self) -> datetime: ...
    def process_quote(self, content: pd.DataFrame) -> None:
        """Callback of Quote"""
    def process_orderbook(self, content: Dict[str, Any]) -> None:
        """Callback of Orderbook"""
    def process_order(self, content: pd.DataFrame) -> None:
        """Callback of Order"""
    def process_deal(self, content: pd.DataFrame) -> None:
        """Callback of Deal"""
    def get_security(self, code: str) -> Optional[Security]:
        """Get security with security code"""
    def get_quote(self, security: Security) -> Optional[Quote]: ...
    # An OrderBook record (the record type is built at run time, so it is typed as Any).
    def get_orderbook(self, security: Security) -> Any: ...
    def get_recent_bar(self, security: Security) -> Optional[Bar]:
        """Get recent OHLCV"""
    def get_recent_capital_distribution(self, security: Security) -> Optional[CapitalDistribution]: ...
    # A Bar, a CapitalDistribution or a mapping of both, by the `dfield` option.
    def get_recent_data(
        self, security: Security, **kwargs: Any
    ) -> Union[Bar, CapitalDistribution, Dict[str, Union[Bar, CapitalDistribution]]]:
        """Get recent data (OHLCV or CapitalDistribution)"""
    def req_historical_bars(
        self,
        security: Security,
        periods: int,
        freq: str,
        cur_datetime: datetime,
        trading_sessions: Optional[List[List[datetime]]] = None,
        mode: str = "direct",
    ) -> List[Bar]:
        """request historical bar data."""
    def _api_get_historical_bar(
        self,
        instrument: str,
        asset_type: str,
        end_date: str = "today",
        start_date: Optional[str] = None,
        periods: int = 1,
        **kwargs: Any,
    ) -> Optional[pd.DataFrame]:
        """Use FUTU API to get historical Data"""
    # A lazy iterator over the page tables. Defaults: ktype KLType.K_DAY, autype AuType.QFQ, fields [KL_FIELD.ALL].
    def _api_req_historical_bar(
        self,
        code: str,
        start: str,
        end: str,
        ktype: Any = ...,
        autype: Any = ...,
        fields: List[Any] = ...,
        max_count: int = 500,
        extended_time: bool = False,
    ) -> Iterator[pd.DataFrame]:
        """Paged history request: one page table per step, fetched when the next page is asked for.

        Server quotas: history of a limited number of instruments per 30 days; at most 60 history
        requests per 30 seconds, only the first page of a paged request counting; minute bars for
        the last 2 years and daily bars for the last 10 years."""
    # The SDK order id, or "" when the order was not placed.
    def place_order(self, order: Order) -> str:
        """Place order"""
    def cancel_order(self, orderid: str) -> None:
        """Cancel order"""
    def get_broker_balance(self) -> Optional[AccountBalance]:
        """Broker balance"""
    def get_broker_position(self, security: Security, direction: Direction) -> Optional[PositionData]:
        """Broker position"""
    def get_all_broker_positions(self) -> Optional[List[PositionData]]:
        """All broker positions"""

class FutuFuturesGateway(FutuAdapter):
    """Futu futures gateway"""

    TIME_STEP: int = 60000
    SHORT_INTEREST_RATE: float = 0.0
    NAME: str = "FUTUFUTURES"
    def __init__(
        self,
        securities: List[Security],
        gateway_name: str,
        start: Optional[datetime] = None,
        end: Optional[datetime] = None,
        fees: Union[Type[BaseFees], BaseFees] = BaseFees,
        **kwargs: Any,
    ) -> None: ...

class FutuCryptoGateway(FutuAdapter):
    """Futu crypto spot gateway.

    Paper trading is not supported by Futu for crypto.
    Prefer tradeable pairs such as CC.BTCUSD or CC.BTCHKD; bare symbols such as CC.BTC may be
    quote-only depending on the account.
    Quantity is fractional (float); do not cast to int."""

    TIME_STEP: int = 60000
    SHORT_INTEREST_RATE: float = 0.0
    NAME: str = "FUTUCRYPTO"
    KL_ALLOWED: Tuple[str, str] = ("1Day", "1Min")
    # Fees default to FutuFeesCrypto.
    def __init__(
        self,
        securities: List[Security],
        gateway_name: str,
        start: Optional[datetime] = None,
        end: Optional[datetime] = None,
        fees: Union[Type[BaseFees], BaseFees] = ...,
        **kwargs: Any,
    ) -> None: ...
    @property
    def trade_mode(self) -> Optional[TradeMode]: ...
    @trade_mode.setter  # type: ignore[override]
    def trade_mode(self, trade_mode: TradeMode) -> None: ...
    def process_order(self, content: pd.DataFrame) -> None:
        """Callback of Order (no HK lot-size rescale)."""
    def process_deal(self, content: pd.DataFrame) -> None:
        """Callback of Deal (no HK lot-size rescale)."""
    def get_recent_bar(self, security: Security) -> Optional[Bar]:
        """Get recent OHLCV"""
    def place_order(self, order: Order) -> str:
        """Place crypto spot order with fractional quantity."""
    def get_all_broker_positions(self) -> Optional[List[PositionData]]:
        """Crypto positions (no HK futures main-contract rewrite)."""
