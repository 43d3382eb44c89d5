"""Order record."""
from dataclasses import dataclass
from datetime import datetime
from typing import Any, Optional


@dataclass
class Order:
    security: Any = None
    price: Optional[float] = None
    quantity: Optional[float] = None
    direction: Any = None
    offset: Any = None
    order_type: Any = None
    updated_time: Optional[datetime] = None
    filled_avg_price: Optional[float] = None
    filled_quantity: Optional[float] = None
    status: Any = None
    orderid: Optional[str] = None

    def __str__(self):
        code = getattr(self.security, "code", self.security)
        return (f"Order[{self.orderid}]: {code} {self.direction} {self.order_type} "
                f"{self.quantity}@{self.price} status={self.status} "
                f"filled={self.filled_quantity}@{self.filled_avg_price}")
