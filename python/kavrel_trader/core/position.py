"""Position record."""
from dataclasses import dataclass
from datetime import datetime
from typing import Any, Optional


@dataclass
class PositionData:
    security: Any = None
    direction: Any = None
    holding_price: Optional[float] = None
    quantity: Optional[float] = None
    update_time: Optional[datetime] = None
