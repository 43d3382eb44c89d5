"""The ``xtquant`` backend: the bridge's operations served by the terminal's own Python SDK.

Runs next to the terminal, in the 64-bit Windows Python that the SDK supports. Market data
comes from ``xtquant.xtdata`` (``get_full_tick``, ``get_market_data_ex``, with
``download_history_data`` first when the terminal has fewer local bars than asked), orders and account
queries from ``xtquant.xttrader.XtQuantTrader``. The trader's callbacks become "order"
events carrying the reference the gateway placed the order with (kept in a table by order id
and also sent as the order remark, so orders placed before a restart still map back).

Events: the order push becomes an order-state event (status word, cumulative traded volume,
average price), each trade push a fill event (its own trade id, quantity, price and time)
followed by the order's state with the fills seen so far, an order error a "rejected" state, a
refused cancel "cancel_failed" followed by the order's last known state. The backend keeps the
day's orders it has seen (volume, cumulative fills, trade ids) so that the state after a fill
is cumulative whichever of the terminal's pushes comes first, and a trade pushed twice is
published once.

The trader connects on start and reconnects with back-off (1 s doubling to 30 s) whenever
the terminal drops it; trading operations meanwhile answer ``ok: false`` with the reason.

Locks: the SDK runs its pushes (order, trade, error callbacks) and the answers to its blocking
calls on one executor thread, so a callback that waited for a lock held by a thread inside a
blocking call would never let that call's answer through. Calls into the trader are
serialised by ``_sdk_lock``, which callbacks never take; the order-reference tables have a
lock of their own that is never held across an SDK call.
"""
from __future__ import annotations

import importlib
import logging
import math
import threading
import time
from collections import OrderedDict
from datetime import datetime
from typing import Any, Callable, Dict, List, Optional

from .core import Backend, OpError
from .params import (bool_param, codes_param, int_param, order_id_param, read_order,
                     str_param)

__all__ = ["XtQuantBackend", "ORDER_STATUS"]

log = logging.getLogger("kavrel.qmt_agent.xtquant")

# The terminal's order states (xtconstant.ORDER_*) as (status text, still working, cancelled).
ORDER_STATUS = {
    48: ("unreported", True, False),
    49: ("wait_reporting", True, False),
    50: ("submitted", True, False),
    51: ("cancel_pending", True, False),
    52: ("cancel_pending", True, False),
    53: ("cancelled", False, True),          # partly filled, rest cancelled
    54: ("cancelled", False, True),
    55: ("partly_filled", True, False),
    56: ("filled", True, False),
    57: ("rejected", False, True),
}
_FINAL = ("filled", "cancelled", "rejected")
_HISTORY_FIELDS = ("open", "high", "low", "close", "volume", "amount")
_KEEP_ORDERS = 100_000          # orders remembered for cumulative fills; the oldest go first


class _Seen:
    """What the backend knows of one order from its pushes: the fills from the trade pushes
    (summed, each trade id once) and the cumulative fill of the last order push; whichever
    is further along is the order's fill so far."""

    __slots__ = ("code", "volume", "status", "reason", "trades_volume", "trades_amount",
                 "pushed_volume", "pushed_price", "trade_ids", "published")

    def __init__(self) -> None:
        self.code, self.volume, self.status, self.reason = "", 0, "submitted", ""
        self.trades_volume, self.trades_amount = 0, 0.0
        self.pushed_volume, self.pushed_price = 0, 0.0
        self.trade_ids: set = set()
        self.published: Any = None          # the last state published, to skip repeats

    def changed(self) -> bool:
        """True (once) when the state differs from the last one published."""
        now = (self.status, self.traded_volume, self.traded_price, self.reason)
        if now == self.published:
            return False
        self.published = now
        return True

    @property
    def traded_volume(self) -> int:
        return max(self.trades_volume, self.pushed_volume)

    @property
    def traded_price(self) -> float:
        if self.pushed_volume > self.trades_volume:
            return self.pushed_price
        return round(self.trades_amount / self.trades_volume, 4) if self.trades_volume else 0.0


def _stamp(value: Any, clock: Callable[[], datetime]) -> str:
    """The SDK's trade time (epoch seconds; milliseconds and digit texts also read) as local
    "YYYY-MM-DD HH:MM:SS"; the clock's now when it cannot be read."""
    fmt = "%Y-%m-%d %H:%M:%S"
    try:
        text = str(int(value))
        if len(text) == 14:
            return datetime.strptime(text, "%Y%m%d%H%M%S").strftime(fmt)
        number = int(text)
        if number >= 10 ** 11:
            return datetime.fromtimestamp(number / 1000.0).strftime(fmt)
        if number >= 10 ** 8:
            return datetime.fromtimestamp(number).strftime(fmt)
        if 0 <= number <= 235959:
            hms = datetime.strptime("%06d" % number, "%H%M%S").time()
            return datetime.combine(clock().date(), hms).strftime(fmt)
    except (TypeError, ValueError, OverflowError, OSError):
        pass
    return clock().strftime(fmt)


def _plain(value: Any) -> Any:
    """A JSON-safe copy of a value from the SDK (numpy scalars, NaN, nested lists)."""
    if hasattr(value, "item") and not isinstance(value, (list, dict, str)):
        try:
            value = value.item()
        except (TypeError, ValueError):
            return str(value)
    if isinstance(value, float):
        return value if math.isfinite(value) else None
    if isinstance(value, (list, tuple)):
        return [_plain(v) for v in value]
    if isinstance(value, dict):
        return {str(k): _plain(v) for k, v in value.items()}
    return value


def _frame_records(frame: Any) -> List[Dict[str, Any]]:
    """Rows of one code's history frame; the row label is the bar's time text."""
    if frame is None or getattr(frame, "empty", True):
        return []
    columns = [str(c) for c in frame.columns]
    rows = []
    for label, values in zip(frame.index, frame.itertuples(index=False, name=None)):
        row = {"time": str(label)}
        for col, v in zip(columns, values):
            if col != "time":
                row[col] = _plain(v)
        rows.append(row)
    return rows


class XtQuantBackend(Backend):
    name = "xtquant"

    def __init__(self, user_data_path: str, account_id: str, session_id: Optional[int] = None,
                 modules: Optional[Dict[str, Any]] = None, clock: Callable[[], datetime] =
                 datetime.now, backoff: tuple = (1.0, 30.0)) -> None:
        super().__init__()
        if not account_id:
            raise ValueError("the xtquant backend needs an account id")
        mods = dict(modules or {})
        for name in ("xtdata", "xttrader", "xtconstant", "xttype"):
            if name not in mods:
                mods[name] = importlib.import_module("xtquant." + name)
        self.xtdata, self.xttrader = mods["xtdata"], mods["xttrader"]
        self.xtc, self.xttype = mods["xtconstant"], mods["xttype"]
        self.user_data_path = user_data_path
        self.session_id = int(session_id if session_id is not None else time.time())
        self.account = self.xttype.StockAccount(account_id)
        self.account_id = account_id
        self.clock = clock
        self._min_backoff, self._max_backoff = backoff
        self._backoff = self._min_backoff
        self._next_try = 0.0
        self._trader: Any = None
        self.connected = False
        self._sdk_lock = threading.RLock()      # held across trader calls; never in callbacks
        self._data_lock = threading.Lock()      # xtdata calls, one at a time
        self._refs_lock = threading.Lock()      # the reference tables; never across SDK calls
        self._refs: Dict[str, str] = {}          # order id -> order_ref
        self._ids: Dict[str, str] = {}           # order_ref -> order id
        self._seen: "OrderedDict[str, _Seen]" = OrderedDict()   # order id -> its fills

    # ---------------------------------------------------------------- connection
    def _make_callback(self):
        # One callback per trader: a disconnect pushed by a trader already let go (stopping
        # it may push one, late) must not mark its successor lost.
        backend = self

        class _Callback(backend.xttrader.XtQuantTraderCallback):
            trader = None
            lost = False

            def on_disconnected(self):
                self.lost = True
                if self.trader is not None and self.trader is backend._trader:
                    backend._lost()

            def on_stock_order(self, order):
                backend._push(backend._on_order, order)

            def on_stock_trade(self, trade):
                backend._push(backend._on_trade, trade)

            def on_order_error(self, order_error):
                backend._push(backend._on_order_error, order_error)

            def on_cancel_error(self, cancel_error):
                backend._push(backend._on_cancel_error, cancel_error)

        return _Callback()

    def connect(self) -> bool:
        """One connection attempt; True when the trader is connected and subscribed."""
        with self._sdk_lock:
            self._drop_trader()
            callback = self._make_callback()
            trader = self.xttrader.XtQuantTrader(self.user_data_path, self.session_id,
                                                 callback)
            callback.trader = trader
            try:
                trader.start()
                rc = trader.connect()
                if rc != 0:
                    raise OpError("connect returned %r" % (rc,))
                rc = trader.subscribe(self.account)
                if rc != 0:
                    raise OpError("subscribe of the account returned %r" % (rc,))
                if callback.lost:
                    raise OpError("disconnected while connecting")
            except Exception as exc:  # noqa: BLE001 - any failure means try again later
                self._trader = trader
                self._drop_trader()
                log.warning("trader connect failed (%s); retrying in %.1fs", exc, self._backoff)
                self._next_try = time.monotonic() + self._backoff
                self._backoff = min(self._max_backoff, self._backoff * 2)
                return False
            self._trader, self.connected = trader, True
            self._backoff = self._min_backoff
            log.info("trader connected (session %d)", self.session_id)
            return True

    def _drop_trader(self) -> None:
        trader, self._trader, self.connected = self._trader, None, False
        if trader is not None:
            try:
                trader.stop()
            except Exception:  # noqa: BLE001
                pass

    def _lost(self) -> None:
        # On the SDK's callback thread: flags only, the reconnect happens in poll().
        log.warning("terminal disconnected the trader; reconnecting")
        self.connected = False
        self._next_try = 0.0
        self.publish("status", {"connected": False})

    def poll(self) -> None:
        if not self.connected and time.monotonic() >= self._next_try:
            if self.connect():
                self.publish("status", {"connected": True})

    def close(self) -> None:
        with self._sdk_lock:
            self._drop_trader()

    def _require_trader(self) -> Any:
        trader = self._trader
        if not self.connected or trader is None:
            raise OpError("the trader is not connected to the terminal (reconnecting)")
        return trader

    # ---------------------------------------------------------------- events
    def _ref_for(self, order_id: Any, remark: Any) -> str:
        key = str(order_id)
        with self._refs_lock:
            ref = self._refs.get(key)
        return ref or (remark if isinstance(remark, str) and remark else key)

    @staticmethod
    def _push(handler: Callable[[Any], None], obj: Any) -> None:
        # On the SDK's thread: a push the backend cannot read is logged, never raised there.
        try:
            handler(obj)
        except Exception:  # noqa: BLE001
            log.exception("cannot read the terminal's push %r", obj)

    def _seen_order(self, order_id: str) -> _Seen:
        # Under _refs_lock.
        seen = self._seen.get(order_id)
        if seen is None:
            seen = self._seen[order_id] = _Seen()
            if len(self._seen) > _KEEP_ORDERS:
                self._seen.popitem(last=False)
        return seen

    def _state_event(self, order_id: str, ref: str, seen: _Seen) -> Dict[str, Any]:
        working = seen.status not in ("cancelled", "rejected")
        return {"order_ref": ref, "order_id": order_id, "code": seen.code,
                "status": seen.status, "submitted": working, "cancelled": not working,
                "filled": seen.status == "filled", "volume": seen.volume,
                "traded_volume": seen.traded_volume, "traded_price": seen.traded_price,
                "reason": seen.reason}

    def _on_order(self, o: Any) -> None:
        status, _, _ = ORDER_STATUS.get(o.order_status, ("unknown", True, False))
        order_id = str(o.order_id)
        ref = self._ref_for(o.order_id, o.order_remark)
        with self._refs_lock:
            seen = self._seen_order(order_id)
            seen.code, seen.volume = o.stock_code, int(o.order_volume or 0)
            seen.reason = o.status_msg or ""
            traded = int(o.traded_volume or 0)
            if traded >= seen.pushed_volume:     # an older push arriving late counts for less
                seen.pushed_volume, seen.pushed_price = traded, float(o.traded_price or 0.0)
            if seen.status not in _FINAL or status in _FINAL:
                seen.status = status
            _settle(seen)
            if not seen.changed():
                return                          # the state a trade push already told
            event = self._state_event(order_id, ref, seen)
        event.update(order_status=o.order_status, price=o.price)
        self.publish("order", event)

    def _on_trade(self, t: Any) -> None:
        order_id, trade_id = str(t.order_id), str(t.traded_id)
        ref = self._ref_for(t.order_id, t.order_remark)
        volume, price = int(t.traded_volume or 0), float(t.traded_price or 0.0)
        with self._refs_lock:
            seen = self._seen_order(order_id)
            if trade_id in seen.trade_ids:
                return                          # the same fill pushed again
            seen.trade_ids.add(trade_id)
            seen.code = seen.code or t.stock_code
            seen.trades_volume += volume
            seen.trades_amount += float(t.traded_amount or volume * price)
            _settle(seen)
            state = self._state_event(order_id, ref, seen) if seen.volume and \
                seen.changed() else None
        self.publish("order", {
            "order_ref": ref, "order_id": order_id, "code": t.stock_code, "status": "trade",
            "submitted": True, "cancelled": False, "trade_id": trade_id,
            "traded_volume": volume, "traded_price": price,
            "time": _stamp(t.traded_time, self.clock),
            "traded_amount": t.traded_amount, "commission": t.commission})
        if state is not None:                   # unknown volume: the order push follows
            self.publish("order", state)

    def _on_order_error(self, e: Any) -> None:
        order_id = str(e.order_id)
        ref = self._ref_for(e.order_id, e.order_remark)
        with self._refs_lock:
            seen = self._seen_order(order_id)
            seen.status, seen.reason = "rejected", e.error_msg or ""
            seen.changed()
            event = self._state_event(order_id, ref, seen)
        event["error_id"] = e.error_id
        self.publish("order", event)

    def _on_cancel_error(self, e: Any) -> None:
        # The gateway marks an order cancelled once the cancel request is accepted; a refused
        # cancel puts it back to what the order last was.
        order_id = str(e.order_id)
        ref = self._ref_for(e.order_id, None)
        with self._refs_lock:
            seen = self._seen.get(order_id)
            state = self._state_event(order_id, ref, seen) if seen is not None else None
        self.publish("order", {
            "order_ref": ref, "order_id": order_id, "status": "cancel_failed",
            "submitted": True, "cancelled": False, "error_id": e.error_id,
            "reason": e.error_msg or ""})
        if state is not None:
            self.publish("order", state)

    # ---------------------------------------------------------------- operations
    def op_ping(self, params: Dict[str, Any]) -> Dict[str, Any]:
        return {"pong": True, "backend": self.name, "trader_connected": self.connected,
                "time": self.clock().strftime("%Y-%m-%d %H:%M:%S")}

    def op_get_full_tick(self, params: Dict[str, Any]) -> Dict[str, Any]:
        codes = codes_param(params)
        with self._data_lock:
            ticks = self.xtdata.get_full_tick(codes) or {}
        return {code: _plain(tick) for code, tick in ticks.items() if isinstance(tick, dict)}

    def op_get_market_data_ex(self, params: Dict[str, Any]) -> Dict[str, Any]:
        codes = codes_param(params)
        period = str_param(params, "period", default="1d")
        count = int_param(params, "count", default=-1)
        start = _time_text(params, "start_time")
        end = _time_text(params, "end_time")
        fields = params.get("fields") or list(_HISTORY_FIELDS)
        if not isinstance(fields, list) or not all(isinstance(f, str) for f in fields):
            raise OpError("fields must be a list of field names")
        dividend = str_param(params, "dividend_type", default="none")
        fill_data = bool_param(params, "fill_data", default=True)
        subscribe = bool_param(params, "subscribe", default=False)

        def fetch():
            return self.xtdata.get_market_data_ex(
                fields, codes, period=period, start_time=start, end_time=end, count=count,
                dividend_type=dividend, fill_data=fill_data) or {}

        with self._data_lock:
            if subscribe:
                for code in codes:
                    self.xtdata.subscribe_quote(code, period=period, count=-1)
            data = fetch()
            # A code is short when the terminal has no local bars for it, or fewer than the
            # count asked for (its local history starts later than the window).
            missing = [c for c in codes if _short(data.get(c), count)]
            if missing:
                for code in missing:             # the terminal lacks local bars: fetch them
                    self.xtdata.download_history_data(code, period, start, end)
                data = fetch()
        return {code: _frame_records(data.get(code)) for code in codes}

    def op_place_order(self, params: Dict[str, Any]) -> Dict[str, Any]:
        code, direction, order_type, price, volume, ref = read_order(params)
        xtc = self.xtc
        side = xtc.STOCK_BUY if direction == "BUY" else xtc.STOCK_SELL
        if order_type == "LIMIT":
            if price <= 0:
                raise OpError("a limit order needs a positive price")
            price_type = xtc.FIX_PRICE
        else:
            price_type = (xtc.MARKET_SZ_CONVERT_5_CANCEL if code.endswith(".SZ")
                          else xtc.MARKET_SH_CONVERT_5_CANCEL)
            price = 0.0
        with self._refs_lock:                    # reserve the reference before sending
            if ref and ref in self._ids:
                raise OpError("order_ref %r already used by order %s"
                              % (ref, self._ids[ref] or "being placed"))
            if ref:
                self._ids[ref] = ""
        try:
            with self._sdk_lock:
                trader = self._require_trader()
                order_id = trader.order_stock(self.account, code, side, volume, price_type,
                                              price, "kavrel", ref)
            if order_id is None or int(order_id) < 0:
                raise OpError("the terminal refused the order (order_stock returned %r)"
                              % (order_id,))
        except BaseException:
            with self._refs_lock:
                if ref:
                    self._ids.pop(ref, None)
            raise
        order_id = str(order_id)
        ref = ref or order_id
        with self._refs_lock:
            self._refs[order_id], self._ids[ref] = ref, order_id
            seen = self._seen_order(order_id)
            seen.code, seen.volume = seen.code or code, seen.volume or volume
        return {"order_id": order_id, "order_ref": ref, "status": "submitted", "code": code,
                "direction": direction, "order_type": order_type, "price": price,
                "volume": volume}

    # ---------------------------------------------------------------- risk figures
    def best_price(self, code: str, direction: str) -> Optional[float]:
        with self._data_lock:
            ticks = self.xtdata.get_full_tick([code]) or {}
        tick = ticks.get(code)
        side = _plain(tick.get("askPrice" if direction == "BUY" else "bidPrice")) \
            if isinstance(tick, dict) else None
        best = side[0] if isinstance(side, list) and side else None
        return float(best) if isinstance(best, (int, float)) and best > 0 else None

    def position_value(self, code: str) -> float:
        with self._sdk_lock:
            trader = self._require_trader()
            positions = trader.query_stock_positions(self.account) or []
            orders = trader.query_stock_orders(self.account, True) or []
        value = 0.0
        for p in positions:
            if p.stock_code == code:
                value += p.market_value or p.volume * p.last_price
        for o in orders:
            if o.stock_code == code and o.order_type == self.xtc.STOCK_BUY:
                # A working market buy has no price of its own: its unfilled part is valued
                # at the best ask, as a new market order is (NaN, which refuses, without one).
                price = o.price
                if o.price_type != self.xtc.FIX_PRICE:
                    ask = self.best_price(code, "BUY")
                    price = float("nan") if ask is None else ask
                value += price * max(0, o.order_volume - o.traded_volume)
        return value

    def op_cancel_order(self, params: Dict[str, Any]) -> Dict[str, Any]:
        key = order_id_param(params)
        with self._refs_lock:
            order_id = self._ids.get(key) or key
        if not order_id.isdigit():
            order_id = self._order_id_by_remark(key)
        with self._sdk_lock:
            trader = self._require_trader()
            rc = trader.cancel_order_stock(self.account, int(order_id))
        if rc != 0:
            raise OpError("the terminal refused the cancel of order %s (returned %r)"
                          % (order_id, rc))
        return {"order_id": order_id, "order_ref": self._ref_for(order_id, key),
                "status": "cancel_requested"}

    def _order_id_by_remark(self, ref: str) -> str:
        """The order id of an order placed with ``ref`` before this agent started (the
        reference tables start empty; the terminal keeps it as the order's remark)."""
        with self._sdk_lock:
            trader = self._require_trader()
            orders = trader.query_stock_orders(self.account, False) or []
        for o in orders:
            if o.order_remark == ref:
                order_id = str(o.order_id)
                with self._refs_lock:
                    self._refs.setdefault(order_id, ref)
                    self._ids.setdefault(ref, order_id)
                return order_id
        raise OpError("unknown order %r" % ref)

    def op_query_asset(self, params: Dict[str, Any]) -> Dict[str, Any]:
        with self._sdk_lock:
            trader = self._require_trader()
            asset = trader.query_stock_asset(self.account)
            positions = trader.query_stock_positions(self.account) or []
        if asset is None:
            raise OpError("the terminal returned no asset data for account %s"
                          % self.account_id)
        pnl = 0.0
        for p in positions:
            pnl += (p.last_price - p.avg_price) * p.volume
        # XtAsset.cash is the available cash; the balance adds what open orders hold.
        return {"account_id": asset.account_id, "cash": round(asset.cash + asset.frozen_cash, 2),
                "available_cash": asset.cash, "frozen_cash": asset.frozen_cash,
                "market_value": asset.market_value, "total_asset": asset.total_asset,
                "fetch_balance": asset.fetch_balance, "unrealized_pnl": round(pnl, 2)}

    def op_query_positions(self, params: Dict[str, Any]) -> List[Dict[str, Any]]:
        with self._sdk_lock:
            trader = self._require_trader()
            positions = trader.query_stock_positions(self.account) or []
        rows = []
        for p in positions:
            rows.append({"account_id": p.account_id, "code": p.stock_code, "volume": p.volume,
                         "can_use_volume": p.can_use_volume, "frozen_volume": p.frozen_volume,
                         "yesterday_volume": p.yesterday_volume,
                         "on_road_volume": p.on_road_volume, "cost_price": p.avg_price,
                         "open_price": p.open_price, "last_price": p.last_price,
                         "market_value": p.market_value,
                         "unrealized_pnl": round((p.last_price - p.avg_price) * p.volume, 2)})
        return rows


    def op_query_orders(self, params: Dict[str, Any]) -> List[Dict[str, Any]]:
        with self._sdk_lock:
            trader = self._require_trader()
            orders = trader.query_stock_orders(self.account, False) or []
        rows = []
        for o in orders:
            status = ORDER_STATUS.get(o.order_status, ("unknown",))[0]
            rows.append({"order_ref": self._ref_for(o.order_id, o.order_remark),
                         "order_id": str(o.order_id), "code": o.stock_code,
                         "status": status, "volume": o.order_volume,
                         "traded_volume": o.traded_volume, "traded_price": o.traded_price,
                         "order_status": o.order_status, "price": o.price,
                         "reason": o.status_msg or ""})
        return rows

    def op_query_trades(self, params: Dict[str, Any]) -> List[Dict[str, Any]]:
        with self._sdk_lock:
            trader = self._require_trader()
            trades = trader.query_stock_trades(self.account) or []
        return [{"trade_id": str(t.traded_id),
                 "order_ref": self._ref_for(t.order_id, t.order_remark),
                 "order_id": str(t.order_id), "code": t.stock_code,
                 "traded_volume": t.traded_volume, "traded_price": t.traded_price,
                 "time": _stamp(t.traded_time, self.clock), "traded_amount": t.traded_amount,
                 "commission": t.commission} for t in trades]

def _settle(seen: _Seen) -> None:
    """A working status that the fills seen so far contradict follows the fills."""
    if seen.status in _FINAL or not seen.traded_volume:
        return
    if seen.volume and seen.traded_volume >= seen.volume:
        seen.status = "filled"
    elif seen.status in ("unreported", "wait_reporting", "submitted"):
        seen.status = "partly_filled"


def _short(frame: Any, count: int) -> bool:
    rows = 0 if frame is None or getattr(frame, "empty", True) else len(frame)
    return rows == 0 or (count > 0 and rows < count)


def _time_text(params: Dict[str, Any], key: str) -> str:
    value = params.get(key)
    if value is None:
        return ""
    if isinstance(value, bool) or not isinstance(value, (str, int)):
        raise OpError("%s must be a time text such as 20240301 or 20240301093000" % key)
    text = str(value).strip()
    if text and not (text.isdigit() and len(text) in (8, 14)):
        raise OpError("cannot read %s %r; use 20240301 or 20240301093000" % (key, text))
    return text
