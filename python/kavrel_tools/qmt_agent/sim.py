"""The ``sim`` backend: the bridge's operations answered from a simulated market and account.

Orders: market orders fill at once, whole, at the best ask (buy) or bid (sell), during
continuous trading only. Limit orders fill at once at the best opposite price when they cross
it; otherwise they rest and fill at their limit as soon as the simulated price path trades
through it (checked a few times a second and before every request); any still resting at
15:00 are cancelled as expired. Limit orders may be placed before the open and over lunch on a
trading day. Buys come in lots of 100 shares; shares bought today can be sold from the next
trading day (T+1). Cash is frozen for resting buys, shares for resting sells. Every state
change is published as an "order" event carrying the reference the order was placed with.
"""
from __future__ import annotations

import itertools
import threading
from datetime import date, datetime, time as dtime
from typing import Any, Dict, List, Optional

from .clock import Clock, WallClock
from .core import Backend, OpError, QmtAgent
from .market import (ANCHOR, SimMarket, in_continuous_session, is_trading_day, normalize_code,
                     session_elapsed)
from .params import (bool_param, codes_param, int_param, order_id_param, read_order,
                     str_param, time_param)

__all__ = ["SimAccount", "SimBackend", "SIM_FIELDS"]

# Bar fields a history request may ask for ("time" is always served).
SIM_FIELDS = ("open", "high", "low", "close", "volume", "amount", "preClose", "suspendFlag")
_DIVIDEND_TYPES = ("none", "front", "back", "front_ratio", "back_ratio", "follow")
_CLOSE = dtime(15, 0)


class _Order:
    __slots__ = ("order_id", "order_ref", "code", "direction", "order_type", "price", "volume",
                 "status", "traded_volume", "traded_price", "day", "checked", "frozen_cash",
                 "reason", "updated")

    def event(self) -> Dict[str, Any]:
        working = self.status in ("submitted", "filled")
        return {"order_ref": self.order_ref, "order_id": self.order_id, "code": self.code,
                "direction": self.direction, "order_type": self.order_type,
                "price": self.price, "volume": self.volume, "status": self.status,
                "traded_volume": self.traded_volume, "traded_price": self.traded_price,
                "submitted": working, "cancelled": self.status == "cancelled",
                "filled": self.status == "filled", "reason": self.reason,
                "time": self.updated.strftime("%Y-%m-%d %H:%M:%S")}


class _Position:
    __slots__ = ("volume", "cost", "bought_day", "bought_today", "frozen")

    def __init__(self) -> None:
        self.volume = 0
        self.cost = 0.0                 # average traded price of the shares held
        self.bought_day: Optional[date] = None
        self.bought_today = 0
        self.frozen = 0                 # shares held by resting sell orders

    def sellable(self, today: date) -> int:
        locked = self.bought_today if self.bought_day == today else 0
        return max(0, self.volume - locked - self.frozen)


class SimAccount:
    """Cash, positions and orders of one simulated account."""

    def __init__(self, cash: float = 1_000_000.0, commission_rate: float = 0.0003,
                 min_commission: float = 5.0, stamp_tax_rate: float = 0.0005) -> None:
        self.cash = float(cash)
        self.frozen_cash = 0.0
        self.commission_rate = commission_rate
        self.min_commission = min_commission
        self.stamp_tax_rate = stamp_tax_rate
        self.positions: Dict[str, _Position] = {}
        self.orders: Dict[str, _Order] = {}
        self.by_ref: Dict[str, str] = {}

    def fee(self, direction: str, amount: float) -> float:
        fee = max(self.min_commission, amount * self.commission_rate) if amount else 0.0
        if direction == "SELL":
            fee += amount * self.stamp_tax_rate
        return round(fee, 2)


class SimBackend(Backend):
    """Answers every bridge operation against ``SimMarket`` and ``SimAccount``."""

    name = "sim"

    def __init__(self, seed: int = 7, clock: Optional[Clock] = None, cash: float = 1_000_000.0,
                 account_id: str = "SIM0001", suspend_rate: float = 0.01,
                 market: Optional[SimMarket] = None, account: Optional[SimAccount] = None):
        super().__init__()
        self.clock: Clock = clock or WallClock()
        self.market = market or SimMarket(seed, suspend_rate=suspend_rate)
        self.account = account or SimAccount(cash)
        self.account_id = account_id
        self._ids = itertools.count(100001)
        self._lock = threading.RLock()

    # ---------------------------------------------------------------- housekeeping
    def poll(self) -> None:
        with self._lock:
            self._match(self.clock())

    def _match(self, now: datetime) -> None:
        for order in list(self.account.orders.values()):
            if order.status != "submitted":
                continue
            day_end = datetime.combine(order.day, _CLOSE)
            upto = min(now, day_end)
            if upto > order.checked:
                self._try_fill_resting(order, upto)
            if order.status == "submitted" and now >= day_end:
                self._finish(order, "cancelled", now, "expired at the close")

    def _try_fill_resting(self, order: _Order, upto: datetime) -> None:
        path = self.market.day(order.code, order.day)
        e0 = session_elapsed(order.checked) if order.checked.date() == order.day else 0.0
        e1 = session_elapsed(upto)
        order.checked = upto
        if path is None or e1 <= e0:
            return
        lo, hi = path.price_range(e0, e1)
        first = path.price_at(e0)
        # A resting order fills once the market trades through its price (joining the
        # queue at the touch is not enough); an opening price already through it fills there.
        if order.direction == "BUY" and lo < order.price:
            self._fill(order, min(order.price, first), upto)
        elif order.direction == "SELL" and hi > order.price:
            self._fill(order, max(order.price, first), upto)

    # ---------------------------------------------------------------- order life
    def _fill(self, order: _Order, price: float, now: datetime) -> None:
        acct = self.account
        amount = round(price * order.volume, 2)
        fee = acct.fee(order.direction, amount)
        pos = acct.positions.setdefault(order.code, _Position())
        if order.direction == "BUY":
            acct.frozen_cash = max(0.0, round(acct.frozen_cash - order.frozen_cash, 2))
            acct.cash = round(acct.cash - amount - fee, 2)
            pos.cost = (pos.cost * pos.volume + amount) / (pos.volume + order.volume)
            pos.volume += order.volume
            if pos.bought_day != now.date():
                pos.bought_day, pos.bought_today = now.date(), 0
            pos.bought_today += order.volume
        else:
            pos.frozen = max(0, pos.frozen - order.volume)
            pos.volume -= order.volume
            acct.cash = round(acct.cash + amount - fee, 2)
            if pos.volume <= 0:
                del acct.positions[order.code]
        order.frozen_cash = 0.0
        order.traded_volume, order.traded_price = order.volume, price
        self._finish(order, "filled", now, "")

    def _finish(self, order: _Order, status: str, now: datetime, reason: str) -> None:
        if status == "cancelled":
            acct = self.account
            if order.direction == "BUY":
                acct.frozen_cash = max(0.0, round(acct.frozen_cash - order.frozen_cash, 2))
                order.frozen_cash = 0.0
            else:
                pos = acct.positions.get(order.code)
                if pos is not None:
                    pos.frozen = max(0, pos.frozen - order.volume)
        order.status, order.reason, order.updated = status, reason, now
        self.publish("order", order.event())

    # ---------------------------------------------------------------- operations
    def op_ping(self, params: Dict[str, Any]) -> Dict[str, Any]:
        now = self.clock()
        return {"pong": True, "backend": self.name, "time": now.strftime("%Y-%m-%d %H:%M:%S"),
                "trading": in_continuous_session(now)}

    def op_get_full_tick(self, params: Dict[str, Any]) -> Dict[str, Any]:
        codes = codes_param(params)
        now = self.clock()
        out: Dict[str, Any] = {}
        with self._lock:
            for code in codes:
                norm = normalize_code(code)
                tick = self.market.tick(norm, now) if norm else None
                if tick is not None:
                    out[code] = tick                 # unknown codes are left out
        return out

    def op_get_market_data_ex(self, params: Dict[str, Any]) -> Dict[str, Any]:
        codes = codes_param(params)
        period = str_param(params, "period", default="1d")
        if period not in ("1m", "1d"):
            raise OpError("unsupported period %r: served are '1m' and '1d'" % (period,))
        count = int_param(params, "count", default=-1)
        start = time_param(params, "start_time")
        end = time_param(params, "end_time", end_of_day=True)
        fields = params.get("fields")
        if fields is None or fields == []:
            fields = list(SIM_FIELDS)
        if not isinstance(fields, list) or not all(isinstance(f, str) for f in fields):
            raise OpError("fields must be a list of field names")
        unknown = [f for f in fields if f not in SIM_FIELDS and f != "time"]
        if unknown:
            raise OpError("unknown fields %s; served: time, %s"
                          % (", ".join(unknown), ", ".join(SIM_FIELDS)))
        dividend = str_param(params, "dividend_type", default="none")
        if dividend not in _DIVIDEND_TYPES:
            raise OpError("unknown dividend_type %r; one of %s"
                          % (dividend, ", ".join(_DIVIDEND_TYPES)))
        fill_data = bool_param(params, "fill_data", default=True)
        bool_param(params, "subscribe", default=False)
        now = self.clock()
        end = now if end is None else end
        keep = ["time"] + [f for f in fields if f != "time"]
        out: Dict[str, Any] = {}
        with self._lock:
            for code in codes:
                norm = normalize_code(code)
                if norm is None:
                    raise OpError("invalid code %r: expected six digits and .SH, .SZ or .BJ"
                                  % (code,))
                if period == "1m":
                    rows = self.market.minute_bars(norm, start, end, count, fill_data, now)
                else:
                    rows = self.market.daily_bars(norm, start.date() if start else None,
                                                  end.date(), count, fill_data, now)
                out[code] = [{k: r[k] for k in keep} for r in rows]
        return out

    def op_place_order(self, params: Dict[str, Any]) -> Dict[str, Any]:
        code, direction, order_type, price, volume, ref = read_order(params)
        with self._lock:
            now = self.clock()
            self._match(now)
            return self._place(code, direction, order_type, price, volume, ref, now)

    def _place(self, code, direction, order_type, price, volume, ref, now):
        acct = self.account
        if ref and ref in acct.by_ref:
            raise OpError("order_ref %r already used by order %s" % (ref, acct.by_ref[ref]))
        today = now.date()
        if not is_trading_day(today) or now.time() >= _CLOSE:
            raise OpError("market closed: orders are taken on weekdays until 15:00")
        if self.market.is_suspended(code, today):
            raise OpError("%s is suspended today" % code)
        if order_type == "MARKET" and not in_continuous_session(now):
            raise OpError("market orders only during continuous trading "
                          "(09:30-11:30, 13:00-15:00)")
        st = self.market.state(code, now)
        if st is None:
            raise OpError("no simulated market before %s" % ANCHOR.isoformat())
        path = st["path"]
        if direction == "BUY" and volume % 100:
            raise OpError("buy volume must be a multiple of 100 shares, got %d" % volume)
        if order_type == "LIMIT":
            if price <= 0:
                raise OpError("a limit order needs a positive price")
            if abs(round(price, 2) - price) > 1e-9:
                raise OpError("price %r is off the 0.01 price grid" % (price,))
            price = round(price, 2)
            if not path.limit_down <= price <= path.limit_up:
                raise OpError("price %.2f outside today's limits %.2f-%.2f"
                              % (price, path.limit_down, path.limit_up))
        bids, _, asks, _ = self.market.book(code, st, now)
        live = in_continuous_session(now)
        if order_type == "MARKET":
            best = asks[0] if direction == "BUY" else bids[0]
            if best <= 0:
                raise OpError("no %s in the book of %s (price at the daily limit)"
                              % ("sellers" if direction == "BUY" else "buyers", code))
            fill_at: Optional[float] = best
        else:
            crossing = (asks[0] > 0 and price >= asks[0]) if direction == "BUY" else \
                (bids[0] > 0 and price <= bids[0])
            fill_at = (asks[0] if direction == "BUY" else bids[0]) if live and crossing else None
        frozen = 0.0
        if direction == "BUY":
            worst = fill_at if fill_at is not None else price
            amount = round(worst * volume, 2)
            need = round(amount + acct.fee("BUY", amount), 2)
            available = round(acct.cash - acct.frozen_cash, 2)
            if need > available:
                raise OpError("insufficient cash: need %.2f, available %.2f" % (need, available))
            frozen = need
        else:
            pos = acct.positions.get(code)
            sellable = pos.sellable(today) if pos else 0
            if volume > sellable:
                raise OpError("insufficient sellable shares of %s: have %d, asked %d "
                              "(shares bought today sell from the next trading day)"
                              % (code, sellable, volume))
            pos.frozen += volume
        order = _Order()
        order.order_id = str(next(self._ids))
        order.order_ref = ref or order.order_id
        order.code, order.direction, order.order_type = code, direction, order_type
        order.price = price if order_type == "LIMIT" else 0.0
        order.volume, order.traded_volume, order.traded_price = volume, 0, 0.0
        order.day, order.checked, order.updated = today, now, now
        order.frozen_cash, order.reason = frozen, ""
        order.status = "submitted"
        acct.frozen_cash = round(acct.frozen_cash + frozen, 2)
        acct.orders[order.order_id] = order
        acct.by_ref[order.order_ref] = order.order_id
        self.publish("order", order.event())
        if fill_at is not None:
            self._fill(order, fill_at, now)
        return _order_reply(order)

    # ---------------------------------------------------------------- risk figures
    def best_price(self, code: str, direction: str) -> Optional[float]:
        with self._lock:
            now = self.clock()
            st = self.market.state(code, now)
            if st is None:
                return None
            bids, _, asks, _ = self.market.book(code, st, now)
            best = asks[0] if direction == "BUY" else bids[0]
            return best if best > 0 else None

    def position_value(self, code: str) -> float:
        with self._lock:
            now = self.clock()
            self._match(now)
            value = 0.0
            pos = self.account.positions.get(code)
            if pos is not None and pos.volume:
                value += self.market.state(code, now)["last"] * pos.volume
            for o in self.account.orders.values():
                if (o.code == code and o.direction == "BUY"
                        and o.status not in ("filled", "cancelled", "rejected")):
                    value += o.price * (o.volume - o.traded_volume)
            return value

    def op_cancel_order(self, params: Dict[str, Any]) -> Dict[str, Any]:
        key = order_id_param(params)
        with self._lock:
            now = self.clock()
            self._match(now)            # a fill that came first wins over the cancel
            acct = self.account
            order = acct.orders.get(key) or acct.orders.get(acct.by_ref.get(key, ""))
            if order is None:
                raise OpError("unknown order %r" % key)
            if order.status != "submitted":
                raise OpError("order %s is already %s" % (key, order.status))
            self._finish(order, "cancelled", now, "cancelled on request")
            return _order_reply(order)

    def op_query_asset(self, params: Dict[str, Any]) -> Dict[str, Any]:
        with self._lock:
            now = self.clock()
            self._match(now)
            acct = self.account
            value = pnl = 0.0
            for code, pos in acct.positions.items():
                last = self.market.state(code, now)["last"]
                value += last * pos.volume
                pnl += (last - pos.cost) * pos.volume
            return {"account_id": self.account_id, "cash": acct.cash,
                    "available_cash": round(acct.cash - acct.frozen_cash, 2),
                    "frozen_cash": acct.frozen_cash, "market_value": round(value, 2),
                    "total_asset": round(acct.cash + value, 2),
                    "unrealized_pnl": round(pnl, 2)}

    def op_query_positions(self, params: Dict[str, Any]) -> List[Dict[str, Any]]:
        with self._lock:
            now = self.clock()
            self._match(now)
            rows = []
            for code, pos in sorted(self.account.positions.items()):
                last = self.market.state(code, now)["last"]
                rows.append({"account_id": self.account_id, "code": code,
                             "volume": pos.volume, "can_use_volume": pos.sellable(now.date()),
                             "frozen_volume": pos.frozen, "cost_price": round(pos.cost, 4),
                             "last_price": last, "market_value": round(last * pos.volume, 2),
                             "unrealized_pnl": round((last - pos.cost) * pos.volume, 2)})
            return rows


def _order_reply(order: _Order) -> Dict[str, Any]:
    return {"order_id": order.order_id, "order_ref": order.order_ref, "status": order.status,
            "code": order.code, "direction": order.direction, "order_type": order.order_type,
            "price": order.price, "volume": order.volume,
            "traded_volume": order.traded_volume, "traded_price": order.traded_price}


def simulator(redis_url: str = "redis://127.0.0.1:6379/5", *, seed: int = 7,
              clock: Optional[Clock] = None, cash: float = 1_000_000.0,
              account_id: str = "SIM0001", allow_orders: bool = True,
              **agent_options: Any):
    """A ready agent over a ``SimBackend``; call ``start()`` (or use it in ``with``)."""
    backend = SimBackend(seed=seed, clock=clock, cash=cash, account_id=account_id)
    return QmtAgent(backend, redis_url, allow_orders=allow_orders, account_id=account_id,
                    **agent_options)
