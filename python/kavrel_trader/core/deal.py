"""Deal (fill) record."""
from dataclasses import dataclass
from datetime import datetime
from typing import Any, Optional


@dataclass
class Deal:
    security: Any = None
    direction: Any = None
    offset: Any = None
    order_type: Any = None
    updated_time: Optional[datetime] = None
    filled_avg_price: Optional[float] = None
    filled_quantity: Optional[float] = None
    dealid: Optional[str] = None
    orderid: Optional[str] = None
