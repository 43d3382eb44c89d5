"""The ``sim`` backend: the bridge's operations answered from a simulated market and account.

Orders match against the five-level book of the simulated tick, one matching step per
simulated second of continuous trading: at each step an order takes at most the volume a
level shows (levels it crosses only: a limit order at its price or better, a market order the
best five), what several orders take from one level at one step is shared, and the rest keeps
working, so a large order fills in parts, at several prices, over time. A limit order the
book does not reach fills at its own price once the market trades through it, again at most
the best level's volume per step. Steps run a few times a second and before every request;
after a long pause (a clock moved on by hours) at most ``MAX_STEPS`` seconds spread over the
pause are matched. Whatever is still working at 15:00 is cancelled as expired.

Limit orders may be placed before the open and over lunch on a trading day; market orders
only during continuous trading. Buys come in lots of 100 shares; shares bought today can be
sold from the next trading day (T+1). Cash is frozen for working buys (a market buy at the
day's upper limit, so no fill can cost more than was frozen), shares for working sells.
Commission (with its minimum) is charged on an order's whole traded amount, each fill paying
the difference it makes, so an order costs the same in one fill or in ten.

Every fill is published as a fill event ("status": "trade", with its own "trade_id",
quantity, price and time) followed by the order's state event (cumulative traded volume,
average price); every other change of state as a state event. With a state file
(``state=PATH``) each change is committed before it is published.
"""
from __future__ import annotations

import itertools
import threading
from collections import OrderedDict
from datetime import date, datetime, time as dtime, timedelta
from typing import Any, Dict, List, Optional, Tuple

from .clock import Clock, WallClock
from .core import Backend, OpError, QmtAgent
from .market import (ANCHOR, SimMarket, in_continuous_session, is_trading_day, minute_of_day,
                     normalize_code, session_elapsed)
from .params import (bool_param, codes_param, int_param, order_id_param, read_order,
                     str_param, time_param)

__all__ = ["SimAccount", "SimBackend", "SIM_FIELDS", "MAX_STEPS"]

# Bar fields a history request may ask for ("time" is always served).
SIM_FIELDS = ("open", "high", "low", "close", "volume", "amount", "preClose", "suspendFlag")
_DIVIDEND_TYPES = ("none", "front", "back", "front_ratio", "back_ratio", "follow")
_CLOSE = dtime(15, 0)
_OPEN_AM, _OPEN_PM = dtime(9, 30), dtime(13, 0)
_SESSION_SECONDS = 4 * 3600     # seconds of continuous trading in a day
MAX_STEPS = 60                  # matching steps at most per order and matching call
_TAKEN_KEEP = 4096              # (code, second) entries remembered for shared level volume
WORKING = ("submitted", "partly_filled")
_STAMP = "%Y-%m-%d %H:%M:%S"


def last_second(now: datetime, day: date) -> int:
    """The last second of continuous trading of ``day`` that has begun by ``now``: 0 is
    09:30:00, 7199 is 11:29:59, 7200 is 13:00:00, 14399 is 14:59:59; -1 before the open."""
    if now.date() != day:
        return _SESSION_SECONDS - 1 if now.date() > day else -1
    k = int(session_elapsed(now) * 60 + 1e-6)
    if in_continuous_session(now):
        return min(k, _SESSION_SECONDS - 1)
    return min(k, _SESSION_SECONDS) - 1


def second_time(day: date, k: int) -> datetime:
    """The clock time of trading second ``k`` of ``day`` (see ``last_second``)."""
    if k < _SESSION_SECONDS // 2:
        return datetime.combine(day, _OPEN_AM) + timedelta(seconds=k)
    return datetime.combine(day, _OPEN_PM) + timedelta(seconds=k - _SESSION_SECONDS // 2)


def path_range(path: Any, e0: float, e1: float) -> Tuple[float, float]:
    """Lowest and highest price of the day's path between ``e0`` and ``e1`` minutes of
    trading, counting the minute marks inside (the path bends there)."""
    if e1 <= e0:
        p = path.price_at(e0)
        return p, p
    lo, hi = path.price_range(e0, e1)
    k0, k1 = int(e0) + 1, int(e1)
    if k0 <= k1:
        marks = path.marks[k0:k1 + 1]
        lo, hi = min(lo, min(marks)), max(hi, max(marks))
    return lo, hi


class _Order:
    __slots__ = ("order_id", "order_ref", "code", "direction", "order_type", "price", "volume",
                 "status", "traded_volume", "traded_price", "traded_amount", "day",
                 "last_step", "last_e", "frozen_cash", "reason", "updated")

    @property
    def working(self) -> bool:
        return self.status in WORKING

    def event(self) -> Dict[str, Any]:
        return {"order_ref": self.order_ref, "order_id": self.order_id, "code": self.code,
                "direction": self.direction, "order_type": self.order_type,
                "price": self.price, "volume": self.volume, "status": self.status,
                "traded_volume": self.traded_volume, "traded_price": self.traded_price,
                "submitted": self.status not in ("cancelled", "rejected"),
                "cancelled": self.status in ("cancelled", "rejected"),
                "filled": self.status == "filled", "reason": self.reason,
                "time": self.updated.strftime(_STAMP)}

    def row(self) -> Dict[str, Any]:
        """The order as "query_orders" lists it."""
        return {"order_ref": self.order_ref, "order_id": self.order_id, "code": self.code,
                "status": self.status, "volume": self.volume,
                "traded_volume": self.traded_volume, "traded_price": self.traded_price,
                "direction": self.direction, "order_type": self.order_type,
                "price": self.price}


class _Position:
    __slots__ = ("volume", "cost", "bought_day", "bought_today", "frozen")

    def __init__(self) -> None:
        self.volume = 0
        self.cost = 0.0                 # average traded price of the shares held
        self.bought_day: Optional[date] = None
        self.bought_today = 0
        self.frozen = 0                 # shares held by working sell orders

    def sellable(self, today: date) -> int:
        locked = self.bought_today if self.bought_day == today else 0
        return max(0, self.volume - locked - self.frozen)


class SimAccount:
    """Cash, positions, orders and fills of one simulated account."""

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
        self.trades: List[Dict[str, Any]] = []    # fills in the order they happened

    def fee(self, direction: str, amount: float) -> float:
        fee = max(self.min_commission, amount * self.commission_rate) if amount else 0.0
        if direction == "SELL":
            fee += amount * self.stamp_tax_rate
        return round(fee, 2)


class SimBackend(Backend):
    """Answers every bridge operation against ``SimMarket`` and ``SimAccount``.

    ``state``: a file (SQLite) keeping the account, its orders and fills; an existing file is
    loaded (its cash and positions win over ``cash``) and every change is committed to it.
    """

    name = "sim"

    def __init__(self, seed: int = 7, clock: Optional[Clock] = None, cash: float = 1_000_000.0,
                 account_id: str = "SIM0001", suspend_rate: float = 0.01,
                 market: Optional[SimMarket] = None, account: Optional[SimAccount] = None,
                 state: Optional[str] = None):
        super().__init__()
        self.clock: Clock = clock or WallClock()
        self.market = market or SimMarket(seed, suspend_rate=suspend_rate)
        self.account = account or SimAccount(cash)
        self.account_id = account_id
        self.store = None
        first_order, first_trade = 100001, 1
        if state is not None:
            from .sim_state import SimStore
            self.store = SimStore(state, account_id)
            last_order, last_trade = self.store.load(self.account, _Order, _Position)
            first_order, first_trade = max(first_order, last_order + 1), last_trade + 1
        self._ids = itertools.count(first_order)
        self._trade_ids = itertools.count(first_trade)
        self._taken: "OrderedDict[Tuple[str, date, int], Dict[Tuple[str, float], int]]" = \
            OrderedDict()
        self._books: "OrderedDict[Tuple[str, datetime], Any]" = OrderedDict()
        self._lock = threading.RLock()

    def close(self) -> None:
        with self._lock:
            if self.store is not None:
                self.store.close()

    # ---------------------------------------------------------------- housekeeping
    def poll(self) -> None:
        with self._lock:
            self._match(self.clock())

    def _match(self, now: datetime) -> None:
        for order in [o for o in self.account.orders.values() if o.working]:
            self._steps(order, now)
            if order.working and now >= datetime.combine(order.day, _CLOSE):
                self._finish(order, "cancelled", now, "expired at the close")

    def _steps(self, order: _Order, now: datetime) -> None:
        """Match ``order`` at the trading seconds it has not seen up to ``now``."""
        k_now = last_second(now, order.day)
        first = order.last_step + 1
        n = k_now - first + 1
        if n <= 0:
            return
        if order.order_type == "LIMIT" and not self._may_reach(order, k_now, now):
            order.last_step = k_now             # the price stayed away the whole time
            order.last_e = session_elapsed(second_time(order.day, k_now)
                                           if now.date() != order.day else now)
            return
        if n <= MAX_STEPS:
            steps = range(first, k_now + 1)
        else:
            steps = [first + (i + 1) * n // MAX_STEPS - 1 for i in range(MAX_STEPS)]
        for k in steps:
            t = second_time(order.day, k)
            order.last_step = k
            self._step(order, t if k < k_now or now.date() != order.day else max(t, now))
            if not order.working:
                break
        order.last_step = max(order.last_step, k_now)

    def _may_reach(self, order: _Order, k_now: int, now: datetime) -> bool:
        """False when the price stayed where the limit order can neither cross the book
        (one tick away from the last price) nor be traded through, from its last step to
        ``k_now``: then its steps are skipped at the cost of one look at the price path."""
        path = self.market.day(order.code, order.day)
        if path is None or path.suspended:
            return False
        e1 = session_elapsed(second_time(order.day, k_now) if now.date() != order.day else now)
        lo, hi = path_range(path, order.last_e, max(e1, order.last_e))
        if order.direction == "BUY":
            return lo < order.price + 0.005
        return hi > order.price - 0.005

    def _book_at(self, code: str, t: datetime):
        """The market state and five-level book of ``code`` at ``t`` (a pure function of
        both; kept for the orders on the same code at the same step)."""
        key = (code, t)
        got = self._books.get(key)
        if got is None:
            st = self.market.state(code, t)
            book = None if st is None or st["suspended"] or st["elapsed"] < 0 else \
                self.market.book(code, st, t)
            got = self._books[key] = (st, book)
            if len(self._books) > _TAKEN_KEEP:
                self._books.popitem(last=False)
        return got

    def _step(self, order: _Order, t: datetime) -> None:
        """One matching step at ``t``: take what the book shows, then, for a limit order the
        book does not reach, a trade through its price since its last step."""
        st, book = self._book_at(order.code, t)
        e = session_elapsed(t)
        e0, order.last_e = order.last_e, e
        if book is None:
            return
        bids, bid_vols, asks, ask_vols = book
        buy = order.direction == "BUY"
        prices, vols = (asks, ask_vols) if buy else (bids, bid_vols)
        taken = self._taken_at(order.code, t)
        side = order.direction
        limit = order.price if order.order_type == "LIMIT" else None
        crossed = False
        for price, lots in zip(prices, vols):
            rest = order.volume - order.traded_volume
            if rest <= 0 or price <= 0 or lots <= 0:
                break
            if limit is not None and (price > limit if buy else price < limit):
                break
            crossed = True
            q = min(rest, lots * 100 - taken.get((side, price), 0))
            if q > 0:
                taken[(side, price)] = taken.get((side, price), 0) + q
                self._fill(order, q, price, t)
        if limit is None or crossed or not order.working or e <= e0 or vols[0] <= 0:
            return
        lo, hi = path_range(st["path"], e0, e)
        # Trading through the price (not just touching it) fills a resting order there.
        if (lo < limit) if buy else (hi > limit):
            q = min(order.volume - order.traded_volume,
                    vols[0] * 100 - taken.get((side, limit), 0))
            if q > 0:
                taken[(side, limit)] = taken.get((side, limit), 0) + q
                self._fill(order, q, limit, t)

    def _taken_at(self, code: str, t: datetime) -> Dict[Tuple[str, float], int]:
        """Shares already taken from the book of ``code`` at the second of ``t``."""
        key = (code, t.date(), int(minute_of_day(t) * 60))
        taken = self._taken.get(key)
        if taken is None:
            taken = self._taken[key] = {}
            if len(self._taken) > _TAKEN_KEEP:
                self._taken.popitem(last=False)
        return taken

    # ---------------------------------------------------------------- order life
    def _fill(self, order: _Order, q: int, price: float, now: datetime) -> None:
        acct = self.account
        before = order.traded_amount
        amount = round(price * q, 2)
        order.traded_amount = round(before + amount, 2)
        fee = round(acct.fee(order.direction, order.traded_amount)
                    - acct.fee(order.direction, before), 2)
        pos = acct.positions.setdefault(order.code, _Position())
        if order.direction == "BUY":
            cost = round(amount + fee, 2)
            release = min(order.frozen_cash, cost)
            order.frozen_cash = round(order.frozen_cash - release, 2)
            acct.frozen_cash = max(0.0, round(acct.frozen_cash - release, 2))
            acct.cash = round(acct.cash - cost, 2)
            pos.cost = (pos.cost * pos.volume + amount) / (pos.volume + q)
            pos.volume += q
            if pos.bought_day != now.date():
                pos.bought_day, pos.bought_today = now.date(), 0
            pos.bought_today += q
        else:
            pos.frozen = max(0, pos.frozen - q)
            pos.volume -= q
            acct.cash = round(acct.cash + amount - fee, 2)
            if pos.volume <= 0 and pos.frozen <= 0:
                del acct.positions[order.code]
        order.traded_volume += q
        order.traded_price = round(order.traded_amount / order.traded_volume, 4)
        order.updated = now
        if order.traded_volume >= order.volume:
            order.status = "filled"
            if order.frozen_cash:               # frozen at a worse price than paid
                acct.frozen_cash = max(0.0, round(acct.frozen_cash - order.frozen_cash, 2))
                order.frozen_cash = 0.0
        else:
            order.status = "partly_filled"
        trade = {"trade_id": "T%d" % next(self._trade_ids), "order_ref": order.order_ref,
                 "order_id": order.order_id, "code": order.code,
                 "direction": order.direction, "traded_volume": q, "traded_price": price,
                 "time": now.strftime(_STAMP)}
        acct.trades.append(trade)
        if self.store is not None:
            self.store.save(acct, order, trade)
        self.publish("order", dict(trade, status="trade", submitted=True, cancelled=False))
        self.publish("order", order.event())

    def _finish(self, order: _Order, status: str, now: datetime, reason: str) -> None:
        acct = self.account
        if order.direction == "BUY":
            acct.frozen_cash = max(0.0, round(acct.frozen_cash - order.frozen_cash, 2))
            order.frozen_cash = 0.0
        else:
            pos = acct.positions.get(order.code)
            if pos is not None:
                pos.frozen = max(0, pos.frozen - (order.volume - order.traded_volume))
                if pos.volume <= 0 and pos.frozen <= 0:
                    del acct.positions[order.code]
        order.status, order.reason, order.updated = status, reason, now
        if self.store is not None:
            self.store.save(acct, order)
        self.publish("order", order.event())

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
        frozen = 0.0
        if direction == "BUY":
            # A limit buy never pays more than its price, a market buy never more than the
            # day's upper limit: freezing that much covers every fill.
            basis = price if order_type == "LIMIT" else path.limit_up
            amount = round(basis * volume, 2)
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
        if order_type == "MARKET":
            bids, _, asks, _ = self.market.book(code, st, now)
            if (asks[0] if direction == "BUY" else bids[0]) <= 0:
                raise OpError("no %s in the book of %s (price at the daily limit)"
                              % ("sellers" if direction == "BUY" else "buyers", code))
        if direction == "SELL":
            pos.frozen += volume
        order = _Order()
        order.order_id = str(next(self._ids))
        order.order_ref = ref or order.order_id
        order.code, order.direction, order.order_type = code, direction, order_type
        order.price = price if order_type == "LIMIT" else 0.0
        order.volume, order.traded_volume, order.traded_price = volume, 0, 0.0
        order.traded_amount = 0.0
        order.day, order.updated = today, now
        # Matching starts at the second of placement (the book the caller saw).
        order.last_step = last_second(now, today) - (1 if in_continuous_session(now) else 0)
        order.last_e = session_elapsed(now)
        order.frozen_cash, order.reason = frozen, ""
        order.status = "submitted"
        acct.frozen_cash = round(acct.frozen_cash + frozen, 2)
        acct.orders[order.order_id] = order
        acct.by_ref[order.order_ref] = order.order_id
        if self.store is not None:
            self.store.save(acct, order)
        self.publish("order", order.event())
        if in_continuous_session(now):
            self._steps(order, now)
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
            st = self.market.state(code, now)
            pos = self.account.positions.get(code)
            if pos is not None and pos.volume:
                value += st["last"] * pos.volume
            for o in self.account.orders.values():
                if (o.code == code and o.direction == "BUY"
                        and o.status not in ("filled", "cancelled", "rejected")):
                    # A working market buy has no price of its own: its unfilled part is
                    # valued at the best ask, as a new market order is.
                    price = o.price if o.order_type == "LIMIT" else self._best_ask(code, st, now)
                    value += price * (o.volume - o.traded_volume)
            return value

    def _best_ask(self, code: str, st: Optional[Dict[str, Any]], now: datetime) -> float:
        """The best ask of ``code``, or NaN (which refuses the order) when none is shown."""
        if st is None:
            return float("nan")
        _, _, asks, _ = self.market.book(code, st, now)
        return asks[0] if asks and asks[0] > 0 else float("nan")

    def op_cancel_order(self, params: Dict[str, Any]) -> Dict[str, Any]:
        key = order_id_param(params)
        with self._lock:
            now = self.clock()
            self._match(now)            # a fill that came first wins over the cancel
            acct = self.account
            order = acct.orders.get(key) or acct.orders.get(acct.by_ref.get(key, ""))
            if order is None:
                raise OpError("unknown order %r" % key)
            if not order.working:
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


    def op_query_orders(self, params: Dict[str, Any]) -> List[Dict[str, Any]]:
        with self._lock:
            now = self.clock()
            self._match(now)
            today = now.date()
            return [o.row() for o in self.account.orders.values() if o.day == today]

    def op_query_trades(self, params: Dict[str, Any]) -> List[Dict[str, Any]]:
        with self._lock:
            now = self.clock()
            self._match(now)
            today = now.strftime("%Y-%m-%d")
            return [dict(t) for t in self.account.trades if t["time"].startswith(today)]


def _order_reply(order: _Order) -> Dict[str, Any]:
    return {"order_id": order.order_id, "order_ref": order.order_ref, "status": order.status,
            "code": order.code, "direction": order.direction, "order_type": order.order_type,
            "price": order.price, "volume": order.volume,
            "traded_volume": order.traded_volume, "traded_price": order.traded_price}


def simulator(redis_url: str = "redis://127.0.0.1:6379/5", *, seed: int = 7,
              clock: Optional[Clock] = None, cash: float = 1_000_000.0,
              account_id: str = "SIM0001", allow_orders: bool = True,
              state: Optional[str] = None, **agent_options: Any):
    """A ready agent over a ``SimBackend``; call ``start()`` (or use it in ``with``)."""
    backend = SimBackend(seed=seed, clock=clock, cash=cash, account_id=account_id,
                         state=state)
    return QmtAgent(backend, redis_url, allow_orders=allow_orders, account_id=account_id,
                    **agent_options)
