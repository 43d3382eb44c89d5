"""Accounts, orders and matching of the broker stand-in.

Accounts: one real and one simulated account for each trading category (Hong Kong stocks,
Hong Kong futures, crypto; crypto has no simulated account, as at the broker), each with its
own cash and positions. Real accounts take orders only after the trade unlock.

Matching: an order works against the instrument's ten-level book. At most once per second of
simulated time (the book is redrawn every second) a working order trades the levels its price
reaches: a buy the asks at or below its limit (a market order every level), a sell the bids at
or above it, each level up to its shown volume, one fill per level. What is left keeps working,
so a large order fills in parts over time. Orders placed in one second first trade in the next,
after their placement has been answered. Stocks and futures trade only during their sessions;
a day order still working after its day's last session is cancelled.
"""
from __future__ import annotations

import copy
import itertools
import math
import threading
from dataclasses import dataclass, field
from datetime import datetime
from typing import Callable, Dict, List, Optional, Tuple

from .market import FutuMarket, Instrument

__all__ = ["Account", "BrokerError", "SimBroker", "SimOrder", "SimFill", "ACCOUNTS"]

REAL, SIMULATE = "REAL", "SIMULATE"
STOCK, FUTURE, CRYPTO = "stock", "future", "crypto"

# (account id, environment, category, market authorities, starting cash, currency)
ACCOUNTS = (
    (281756460001001, REAL, STOCK, ("HK", "US"), 5_000_000.0, "HKD"),
    (8_001_001, SIMULATE, STOCK, ("HK",), 5_000_000.0, "HKD"),
    (281756460002001, REAL, FUTURE, ("FUTURES",), 2_000_000.0, "HKD"),
    (8_002_001, SIMULATE, FUTURE, ("FUTURES_SIMULATE_HK",), 2_000_000.0, "HKD"),
    (281756460003001, REAL, CRYPTO, ("CRYPTO",), 500_000.0, "USD"),
)
_WORKING = ("SUBMITTED", "FILLED_PART")
_MARGIN_RATE = 0.1


class BrokerError(Exception):
    """A refused request; its text goes back to the client as the reply's message."""


@dataclass
class SimOrder:
    order_id: int
    account: "Account"
    inst: Instrument
    side: str                   # "BUY" or "SELL"
    order_type: str             # "NORMAL" (limit) or "MARKET"
    qty: float
    price: float
    created: datetime
    status: str = "SUBMITTED"
    filled: float = 0.0
    avg_price: float = 0.0
    updated: Optional[datetime] = None
    last_round: int = 0         # the simulated second of its last match
    remark: str = ""
    last_err: str = ""

    @property
    def code(self) -> str:
        return self.inst.trade_code

    @property
    def left(self) -> float:
        return round(self.qty - self.filled, 8)


@dataclass
class SimFill:
    fill_id: int
    order: SimOrder
    qty: float
    price: float
    time: datetime


@dataclass
class Position:
    inst: Instrument
    qty: float = 0.0            # signed: negative is short (futures)
    cost: float = 0.0           # average price of the open quantity
    realized: float = 0.0
    today_buy: float = 0.0
    today_sell: float = 0.0


@dataclass
class Account:
    acc_id: int
    env: str
    category: str
    markets: Tuple[str, ...]
    cash: float
    currency: str
    positions: Dict[str, Position] = field(default_factory=dict)
    orders: Dict[int, SimOrder] = field(default_factory=dict)
    fills: List[SimFill] = field(default_factory=list)
    realized: float = 0.0

    def held(self, code: str) -> float:
        pos = self.positions.get(code)
        return pos.qty if pos else 0.0

    def pending_sell(self, code: str) -> float:
        return sum(o.left for o in self.orders.values()
                   if o.code == code and o.side == "SELL" and o.status in _WORKING)


Event = Tuple[str, object]      # ("order", SimOrder) or ("fill", SimFill)


class SimBroker:
    def __init__(self, market: FutuMarket, clock: Callable[[], datetime],
                 unlock_password_md5: Optional[str] = None) -> None:
        self.market = market
        self.clock = clock
        self.unlock_password_md5 = unlock_password_md5
        self.unlocked = False
        self.accounts: Dict[int, Account] = {
            a[0]: Account(a[0], a[1], a[2], a[3], a[4], a[5]) for a in ACCOUNTS}
        self._order_ids = itertools.count(7_000_000_001)
        self._fill_ids = itertools.count(9_000_000_001)
        self.lock = threading.RLock()

    # ---------------------------------------------------------------- accounts
    def accounts_of(self, category: Optional[str]) -> List[Account]:
        return [a for a in self.accounts.values() if category is None or a.category == category]

    def account(self, acc_id: int, env: str) -> Account:
        acct = self.accounts.get(acc_id)
        if acct is None or acct.env != env:
            raise BrokerError("unknown account %s in the %s environment" % (acc_id, env))
        return acct

    def unlock(self, password_md5: str, unlock: bool) -> str:
        if not unlock:
            self.unlocked = False
            return ""
        if self.unlock_password_md5 and password_md5.lower() != self.unlock_password_md5:
            raise BrokerError("unlock failed: wrong trade password")
        already = self.unlocked
        self.unlocked = True
        return "already unlocked" if already else ""

    # ---------------------------------------------------------------- orders
    def place(self, acct: Account, code: str, side: str, order_type: str, qty: float,
              price: float, remark: str = "") -> Tuple[SimOrder, List[Event]]:
        now = self.clock()
        if acct.env == REAL and not self.unlocked:
            raise BrokerError("trading is locked: unlock the trade password first")
        inst = self.market.instrument(code, now.date())
        if inst is None or inst.kind != acct.category:
            raise BrokerError("unknown security %s for this account" % code)
        if side not in ("BUY", "SELL"):
            raise BrokerError("unsupported trade side %s" % side)
        if order_type not in ("NORMAL", "MARKET"):
            raise BrokerError("unsupported order type %s: NORMAL and MARKET are served"
                              % order_type)
        self._check_qty(inst, qty)
        phase = self.market.phase(inst, now)
        if order_type == "MARKET":
            if phase != "open":
                raise BrokerError("market orders only during trading sessions")
            price = 0.0
        else:
            self._check_price(inst, price)
            if phase in ("after", "closed") and inst.kind != CRYPTO:
                raise BrokerError("market closed: orders are taken until the day's last session"
                                  " ends")
        st = self.market.state(inst, now)
        ref = price if order_type == "NORMAL" else float(st["last"]) * 1.02  # type: ignore
        if inst.kind == STOCK or inst.kind == CRYPTO:
            if side == "BUY":
                need = ref * qty + self.fee(inst, ref * qty)
                if need > self.buying_power(acct, now) + 1e-9:
                    raise BrokerError("insufficient buying power: need %.2f, have %.2f"
                                      % (need, self.buying_power(acct, now)))
            else:
                free = acct.held(inst.trade_code) - acct.pending_sell(inst.trade_code)
                if qty > free + 1e-12:
                    raise BrokerError("insufficient position to sell: have %s, asked %s"
                                      % (free, qty))
        else:
            need = ref * qty * inst.multiplier * _MARGIN_RATE
            if need > self.buying_power(acct, now) + 1e-9:
                raise BrokerError("insufficient margin: need %.2f, have %.2f"
                                  % (need, self.buying_power(acct, now)))
        order = SimOrder(next(self._order_ids), acct, inst, side, order_type, float(qty),
                         float(price), now, updated=now, last_round=int(now.timestamp()),
                         remark=remark)
        acct.orders[order.order_id] = order
        return order, [("order", copy.copy(order))]

    @staticmethod
    def _check_qty(inst: Instrument, qty: float) -> None:
        if not 0 < qty < math.inf:
            raise BrokerError("quantity must be positive, got %s" % qty)
        if inst.kind == STOCK and (qty != int(qty) or int(qty) % int(inst.lot)):
            raise BrokerError("quantity %s is not a whole number of board lots of %d shares"
                              % (qty, inst.lot))
        if inst.kind == FUTURE and qty != int(qty):
            raise BrokerError("quantity %s is not a whole number of contracts" % qty)
        if inst.kind == CRYPTO and abs(round(qty / inst.lot) * inst.lot - qty) > 1e-9:
            raise BrokerError("quantity %s is not a multiple of the step %s" % (qty, inst.lot))

    @staticmethod
    def _check_price(inst: Instrument, price: float) -> None:
        if not 0 < price < math.inf:
            raise BrokerError("a limit order needs a positive price, got %s" % price)
        if not inst.on_grid(price):
            raise BrokerError("price %s is off the price step %s" % (price, inst.tick(price)))

    def find(self, acct: Account, order_id: str) -> SimOrder:
        try:
            order = acct.orders.get(int(order_id))
        except (TypeError, ValueError):
            order = None
        if order is None:
            raise BrokerError("unknown order %s" % order_id)
        return order

    def cancel(self, order: SimOrder) -> List[Event]:
        if order.status not in _WORKING:
            raise BrokerError("order %s is already %s" % (order.order_id, order.status))
        order.status = "CANCELLED_PART" if order.filled else "CANCELLED_ALL"
        order.updated = self.clock()
        return [("order", copy.copy(order))]

    def modify(self, order: SimOrder, qty: float, price: float) -> List[Event]:
        if order.status not in _WORKING:
            raise BrokerError("order %s is already %s" % (order.order_id, order.status))
        if qty < order.filled:
            raise BrokerError("new quantity %s below the filled %s" % (qty, order.filled))
        self._check_qty(order.inst, qty)
        if order.order_type == "NORMAL":
            self._check_price(order.inst, price)
            order.price = float(price)
        order.qty = float(qty)
        order.updated = self.clock()
        if order.left <= 0:
            order.status = "FILLED_ALL"
        return [("order", copy.copy(order))]

    # ---------------------------------------------------------------- matching
    def match(self, now: Optional[datetime] = None) -> List[Event]:
        """One round: every working order trades what the book of this second gives it."""
        now = now or self.clock()
        second = int(now.timestamp())
        events: List[Event] = []
        for acct in self.accounts.values():
            for order in list(acct.orders.values()):
                if order.status not in _WORKING:
                    continue
                inst = order.inst
                phase = self.market.phase(inst, now)
                if inst.kind != CRYPTO and (now.date() > order.created.date()
                                            or phase in ("after", "closed")):
                    order.status = "CANCELLED_PART" if order.filled else "CANCELLED_ALL"
                    order.updated, order.last_err = now, "expired at the end of the day"
                    events.append(("order", copy.copy(order)))
                    continue
                if second <= order.last_round or phase != "open":
                    continue
                order.last_round = second
                events.extend(self._trade(order, now))
        return events

    def trade_at_once(self, order: SimOrder) -> List[Event]:
        """The order's round of this second, taken now rather than at the next tick."""
        now = self.clock()
        if order.status not in _WORKING or self.market.phase(order.inst, now) != "open":
            return []
        order.last_round = int(now.timestamp())
        return self._trade(order, now)

    def _trade(self, order: SimOrder, now: datetime) -> List[Event]:
        inst = order.inst
        st = self.market.state(inst, now)
        bids, asks = self.market.book(inst, st, now)
        levels = asks if order.side == "BUY" else bids
        events: List[Event] = []
        for price, volume, _count in levels:
            if order.left <= 0:
                break
            if order.order_type == "NORMAL":
                if order.side == "BUY" and price > order.price + 1e-9:
                    break
                if order.side == "SELL" and price < order.price - 1e-9:
                    break
            qty = min(order.left, volume)
            if inst.kind == CRYPTO:
                qty = round(qty, 5)
            if qty <= 0:
                break
            if not self._affordable(order, qty, price, now):
                break
            fill = self._book_fill(order, qty, price, now)
            events.append(("order", copy.copy(order)))
            events.append(("fill", fill))
        return events

    def _affordable(self, order: SimOrder, qty: float, price: float, now: datetime) -> bool:
        inst, acct = order.inst, order.account
        if order.side != "BUY" or inst.kind == FUTURE:
            return True
        return price * qty + self.fee(inst, price * qty) <= acct.cash + 1e-6

    def _book_fill(self, order: SimOrder, qty: float, price: float, now: datetime) -> SimFill:
        inst, acct = order.inst, order.account
        amount = price * qty * inst.multiplier
        fee = self.fee(inst, amount, qty)
        sign = 1.0 if order.side == "BUY" else -1.0
        pos = acct.positions.get(inst.trade_code)
        if pos is None:
            pos = acct.positions[inst.trade_code] = Position(inst)
        if inst.kind == FUTURE:
            old = pos.qty
            new = round(old + sign * qty, 8)
            if old == 0 or (old > 0) == (sign > 0):                 # opening or adding
                pos.cost = (pos.cost * abs(old) + price * qty) / abs(new)
            else:                                                   # reducing or flipping
                closed = min(abs(old), qty)
                pnl = (price - pos.cost) * closed * inst.multiplier * (1 if old > 0 else -1)
                pos.realized += pnl
                acct.realized += pnl
                acct.cash += pnl
                if abs(new) > 1e-12 and (new > 0) != (old > 0):
                    pos.cost = price
            pos.qty = new
            acct.cash -= fee
        else:
            if sign > 0:
                pos.cost = (pos.cost * pos.qty + price * qty) / (pos.qty + qty)
                acct.cash -= amount + fee
            else:
                pnl = (price - pos.cost) * qty
                pos.realized += pnl
                acct.realized += pnl
                acct.cash += amount - fee
            pos.qty = round(pos.qty + sign * qty, 8)
        if sign > 0:
            pos.today_buy += qty
        else:
            pos.today_sell += qty
        if abs(pos.qty) < 1e-12 and inst.kind != FUTURE:
            del acct.positions[inst.trade_code]
        acct.cash = round(acct.cash, 2)
        total = order.filled + qty
        order.avg_price = round((order.avg_price * order.filled + price * qty) / total, 6)
        order.filled = round(total, 8)
        order.status = "FILLED_ALL" if order.left <= 1e-12 else "FILLED_PART"
        order.updated = now
        fill = SimFill(next(self._fill_ids), order, qty, price, now)
        acct.fills.append(fill)
        return fill

    @staticmethod
    def fee(inst: Instrument, amount: float, qty: float = 0.0) -> float:
        """Commission and levies of one fill (stamp duty included for stocks)."""
        if inst.kind == STOCK:
            return round(max(3.0, amount * 0.0003) + amount * 0.0013 + amount * 0.0000565, 2)
        if inst.kind == FUTURE:
            return round(10.0 * qty, 2)
        return round(amount * 0.001, 2)

    # ---------------------------------------------------------------- valuation
    def valuation(self, acct: Account, now: datetime) -> Dict[str, float]:
        market_val = unrealized = margin = long_mv = short_mv = 0.0
        for pos in acct.positions.values():
            last = float(self.market.state(pos.inst, now)["last"])  # type: ignore[arg-type]
            value = last * pos.qty * pos.inst.multiplier
            pnl = (last - pos.cost) * pos.qty * pos.inst.multiplier
            unrealized += pnl
            if pos.inst.kind == FUTURE:
                margin += abs(value) * _MARGIN_RATE
            else:
                market_val += value
            if value >= 0:
                long_mv += value
            else:
                short_mv += -value
        frozen = 0.0
        for o in acct.orders.values():
            if o.status in _WORKING and o.side == "BUY" and o.inst.kind != FUTURE:
                ref = o.price or float(self.market.state(o.inst, now)["last"])  # type: ignore
                frozen += ref * o.left
        return {"market_val": round(market_val, 2), "unrealized": round(unrealized, 2),
                "margin": round(margin, 2), "frozen": round(frozen, 2),
                "long_mv": round(long_mv, 2), "short_mv": round(short_mv, 2)}

    def buying_power(self, acct: Account, now: datetime) -> float:
        v = self.valuation(acct, now)
        if acct.category == FUTURE:
            return round(acct.cash + v["unrealized"] - v["margin"], 2)
        return round(acct.cash - v["frozen"], 2)
