"""What stands between a request and the market: risk limits, the halt switch, the audit trail,
and the open-door check run before an agent that may trade starts.

Every order and cancel request passes through ``Guards.serve`` on its way to the backend, so
the sim and terminal backends share one implementation. For an order the guards decide in
this order: the allow-orders switch, the halt switch (``<prefix>:halt``, its value the
reason), the code allow-list, the volume, the value, the position after the order, the
orders-per-minute window; the first that fails refuses the order with a reason naming the
limit and the figure, and nothing reaches the backend. Orders are decided and sent one at a
time, so two orders arriving together cannot both slip under a limit that only one fits.
Cancels are never refused by the guards: cancelling lowers risk, and the halt switch cancels
nothing by itself.

A backend supplies the figures the limits need through ``best_price(code, direction)`` and
``position_value(code)``; they are asked only when a limit that needs them is set.

The audit trail is one JSON line per request, per decision and per answer, written, flushed
and synced to disk before the backend is called (the decision) and before the reply is
written (the answer), so a crash never leaves a sent order unrecorded. An order whose
decision cannot be recorded is not sent.
"""
from __future__ import annotations

import collections
import ipaddress
import json
import logging
import os
import threading
import time
from dataclasses import dataclass
from datetime import date, datetime
from typing import Any, Callable, Dict, FrozenSet, Iterable, List, Optional
from urllib.parse import unquote, urlsplit

import redis

from .core import OpError
from .params import read_order

__all__ = ["AuditTrail", "Guards", "Limits", "TERMINAL_LIMITS", "open_door"]

log = logging.getLogger("kavrel.qmt_agent")

WINDOW = 60.0              # seconds of the orders-per-minute window
_HALT_READ_EVERY = 1.0     # seconds between reads of the halt switch when idle
NAG_EVERY = 3600.0         # seconds between repeats of the insecure-start warning
_AUDIT_KEYS = ("code", "direction", "order_type", "price", "volume", "order_ref", "order_id")
_CLIP = 64                 # characters of a request's text field kept in the audit trail


@dataclass(frozen=True)
class Limits:
    """Risk limits on orders; None switches a limit off."""

    max_order_value: Optional[float] = None
    max_order_volume: Optional[int] = None
    max_orders_per_minute: Optional[int] = None
    max_position_value: Optional[float] = None
    codes: Optional[FrozenSet[str]] = None

    def as_dict(self) -> Dict[str, Any]:
        return {"max_order_value": self.max_order_value,
                "max_order_volume": self.max_order_volume,
                "max_orders_per_minute": self.max_orders_per_minute,
                "max_position_value": self.max_position_value,
                "codes": sorted(self.codes) if self.codes is not None else None}

    def describe(self) -> str:
        parts = []
        for key, value in self.as_dict().items():
            if value is None:
                continue
            if key == "codes":
                value = ",".join(value) or "(none)"
            elif isinstance(value, float):
                value = "%.2f" % value
            parts.append("%s=%s" % (key.replace("_", "-"), value))
        return " ".join(parts) or "none"


# The terminal backend trades real money: limits on unless the operator sets them.
TERMINAL_LIMITS = Limits(max_order_value=50_000.0, max_order_volume=10_000,
                         max_orders_per_minute=20, max_position_value=200_000.0)


# ---------------------------------------------------------------- the open door
def _loopback(host: str) -> bool:
    host = host.strip().lstrip("-").strip("[]")
    if host.lower() == "localhost":
        return True
    try:
        return ipaddress.ip_address(host.split("%", 1)[0]).is_loopback
    except ValueError:
        return False          # a host name other than localhost may resolve anywhere


def open_door(url: str, authenticated: bool, client: redis.Redis) -> Optional[str]:
    """Why others than this machine's users could send requests through this Redis, or None.

    Without authentication, a non-loopback host in the URL is an open door; so is a server
    whose ``bind`` (when it answers CONFIG GET) lists any address that is not loopback, or
    none at all (every interface). Connection errors reach the caller.
    """
    if authenticated:
        return None
    parts = urlsplit(url)
    if parts.scheme == "unix":
        return None
    host = parts.hostname or "localhost"
    if not _loopback(host):
        return "the Redis host %s in the URL is not a loopback address" % host
    try:
        bind = (client.config_get("bind") or {}).get("bind")
    except redis.AuthenticationError:
        return None           # the server wants a password: nobody gets in without one
    except redis.ResponseError:
        return None           # CONFIG refused or renamed: the URL is all there is to judge
    if bind is None:
        return None
    addresses = bind.split()
    if not addresses or not all(_loopback(a) for a in addresses):
        return "the Redis server listens beyond loopback (bind %r)" % (bind or "every address")


# ---------------------------------------------------------------- audit trail
class AuditTrail:
    """Appends JSON lines to one file per local day: ``audit.jsonl`` becomes
    ``audit.2024-03-01.jsonl``. Each line is flushed and synced before ``write`` returns."""

    def __init__(self, path: str, today: Callable[[], date] = date.today,
                 secrets: Iterable[str] = ()) -> None:
        self.path = os.path.abspath(path)
        self.today = today
        # Each secret as given, percent-decoded (a URL's password) and as JSON writes it
        # (escaped quotes, backslashes, control characters).
        forms = set()
        for secret in secrets:
            if secret:
                for text in (secret, unquote(secret)):
                    forms.update((text, json.dumps(text, ensure_ascii=False)[1:-1]))
        self.secrets = sorted(forms, key=len, reverse=True)
        self._lock = threading.Lock()
        self._day: Optional[date] = None
        self._fd: Optional[int] = None
        with self._lock:
            self._open(self.today())      # a path that cannot be written fails at start

    def file_for(self, day: date) -> str:
        root, ext = os.path.splitext(self.path)
        return "%s.%s%s" % (root, day.isoformat(), ext)

    def _open(self, day: date) -> None:
        fd = os.open(self.file_for(day), os.O_WRONLY | os.O_APPEND | os.O_CREAT, 0o600)
        if self._fd is not None:
            os.close(self._fd)
        self._fd, self._day = fd, day

    def write(self, record: Dict[str, Any]) -> None:
        now = datetime.now().astimezone()
        line = json.dumps(dict({"time": now.isoformat(timespec="milliseconds")}, **record),
                          ensure_ascii=False, default=str)
        for secret in self.secrets:
            line = line.replace(secret, "***")
        # A lone surrogate (a "\udcff" escape in a request) is written as that escape.
        data = (line + "\n").encode("utf-8", "backslashreplace")
        with self._lock:
            day = self.today()
            if day != self._day or self._fd is None:     # a new day, or reopened after close
                self._open(day)
            written = 0
            while written < len(data):
                written += os.write(self._fd, data[written:])
            os.fsync(self._fd)

    def close(self) -> None:
        with self._lock:
            fd, self._fd = self._fd, None
        if fd is not None:
            os.close(fd)


def _audit_params(params: Dict[str, Any]) -> Dict[str, Any]:
    """The order fields of a request, text clipped; other keys by name only."""
    out: Dict[str, Any] = {}
    for key in _AUDIT_KEYS:
        if key in params:
            value = params[key]
            if isinstance(value, str) and len(value) > _CLIP:
                value = value[:_CLIP] + "..."
            elif not isinstance(value, (str, int, float, bool, type(None))):
                value = "<%s>" % type(value).__name__
            out[key] = value
    other = sorted(str(k)[:_CLIP] for k in params if k not in _AUDIT_KEYS)
    if other:
        out["other_keys"] = other
    return out


# ---------------------------------------------------------------- the guards
class Guards:
    """Risk limits, halt switch and audit trail of one agent (see the module text)."""

    def __init__(self, limits: Optional[Limits] = None, audit: Optional[AuditTrail] = None,
                 clock: Callable[[], float] = time.monotonic) -> None:
        self.limits = limits or Limits()
        self.audit = audit
        self.clock = clock
        self.nag: Optional[str] = None        # repeated every hour while set (insecure start)
        self.halt_key = "kavrel:qmt:halt"
        self._client: Optional[redis.Redis] = None
        self._accepted: collections.deque = collections.deque()
        self._order_lock = threading.Lock()
        self._state_lock = threading.Lock()
        self._halt_seen: Any = _UNREAD
        self._next_halt_read = 0.0
        self._next_nag = 0.0

    def bind(self, client: redis.Redis, key_prefix: str) -> None:
        self._client = client
        self.halt_key = key_prefix + ":halt"

    def close(self) -> None:
        if self.audit is not None:
            self.audit.close()

    # ------------------------------------------------------------ halt switch
    def halt_reason(self) -> Optional[str]:
        """The reason trading is halted, or None; read from Redis, changes logged."""
        value = self._client.get(self.halt_key) if self._client is not None else None
        if isinstance(value, bytes):
            value = value.decode("utf-8", "replace")
        self._note_halt(value)
        return value

    def _note_halt(self, value: Optional[str]) -> None:
        with self._state_lock:
            before, self._halt_seen = self._halt_seen, value
        if value == before or (before is _UNREAD and value is None):
            return
        if value is None:
            log.warning("trading resumed: the halt switch %s is cleared", self.halt_key)
        else:
            log.warning("trading halted by %s: %s", self.halt_key, value)

    def poll(self) -> None:
        """From the agent's loop: notice the halt switch changing; repeat the nag."""
        now = self.clock()
        if self.nag is not None and now >= self._next_nag:
            self._next_nag = now + NAG_EVERY
            log.warning("%s", self.nag)
        if now >= self._next_halt_read:
            self._next_halt_read = now + _HALT_READ_EVERY
            try:
                self.halt_reason()
            except redis.RedisError:
                pass                          # the request loop reports Redis trouble

    def status(self) -> Dict[str, Any]:
        """What "ping" shows about the guards."""
        try:
            reason = self.halt_reason()
        except redis.RedisError as exc:
            reason = "unknown: the halt switch cannot be read (%s)" % exc
        return {"halted": reason is not None, "halt_reason": reason,
                "limits": self.limits.as_dict()}

    # ------------------------------------------------------------ one request
    def serve(self, req_id: str, op: str, params: Dict[str, Any], backend: Any,
              refusal: Optional[str], send: Callable[[], Dict[str, Any]]) -> Dict[str, Any]:
        """Answer an order or cancel request: record it, decide, send, record the answer.

        ``refusal`` is a reason decided before the guards (orders switched off); ``send``
        calls the backend and returns the reply.
        """
        is_order = op == "place_order"
        base = {"id": req_id, "op": op}
        try:
            self._record(dict(base, event="request", params=_audit_params(params)))
        except Exception as exc:  # noqa: BLE001 - an order not recorded is not sent
            if is_order:
                return self._unrecorded(exc)
            log.error("audit line not written (%s): request", exc)
        if not is_order:
            self._record_quietly(dict(base, event="decision", decision="sent"))
            reply = send()
        else:
            with self._order_lock:
                if refusal is None:
                    try:
                        refusal = self._check_order(params, backend)
                    except Exception as exc:  # noqa: BLE001 - a guard that fails refuses
                        log.exception("risk limits could not be checked")
                        refusal = ("order not sent: the risk limits could not be checked "
                                   "(%s: %s)" % (type(exc).__name__, exc))
                if refusal is not None:
                    self._record_quietly(dict(base, event="decision", decision="refused",
                                              reason=refusal))
                    return {"ok": False, "error": refusal}
                token = self._accept()
                try:
                    self._record(dict(base, event="decision", decision="sent"))
                except Exception as exc:  # noqa: BLE001
                    self._release(token)
                    return self._unrecorded(exc)
                reply = send()
                if not reply.get("ok"):
                    self._release(token)      # only orders the market took count
        answer = dict(base, event="answer", ok=bool(reply.get("ok")))
        if reply.get("ok"):
            answer["data"] = reply.get("data")
        else:
            answer["error"] = reply.get("error")
        self._record_quietly(answer)
        return reply

    def _record(self, record: Dict[str, Any]) -> None:
        if self.audit is not None:
            self.audit.write(record)

    def _record_quietly(self, record: Dict[str, Any]) -> None:
        try:
            self._record(record)
        except Exception as exc:  # noqa: BLE001 - the reply goes out whatever the trail says
            log.error("audit line not written (%s): %s", exc, record.get("event"))

    @staticmethod
    def _unrecorded(exc: Exception) -> Dict[str, Any]:
        log.error("audit trail cannot be written: %s", exc)
        return {"ok": False, "error": "order not sent: the audit trail cannot be written "
                "(%s)" % exc}

    # ------------------------------------------------------------ the limits
    def _check_order(self, params: Dict[str, Any], backend: Any) -> Optional[str]:
        try:
            reason = self.halt_reason()
        except redis.RedisError as exc:
            return "order not sent: the halt switch cannot be read (%s)" % exc
        if reason is not None:
            return ("trading is halted: %s (kavrel-qmt-agent resume clears %s)"
                    % (reason, self.halt_key))
        lim = self.limits
        if (lim.max_order_value is None and lim.max_order_volume is None
                and lim.max_orders_per_minute is None and lim.max_position_value is None
                and lim.codes is None):
            return None
        try:
            code, direction, order_type, price, volume, _ = read_order(params)
        except OpError as exc:
            return str(exc)
        if lim.codes is not None and code not in lim.codes:
            return "codes: %s is not in the allowed codes (%s)" % (code, _listed(lim.codes))
        if lim.max_order_volume is not None and volume > lim.max_order_volume:
            return ("max-order-volume: volume %d is above the limit of %d"
                    % (volume, lim.max_order_volume))
        value = None
        if lim.max_order_value is not None or (lim.max_position_value is not None
                                               and direction == "BUY"):
            if order_type == "MARKET":
                try:
                    price = backend.best_price(code, direction)
                except OpError as exc:
                    return "cannot value the market order: %s" % exc
                if price is None:
                    return ("cannot value the market order: no best %s for %s"
                            % ("ask" if direction == "BUY" else "bid", code))
            value = price * volume
        # Compared as "not within": a figure that is not a number refuses the order.
        if lim.max_order_value is not None and not value <= lim.max_order_value + 1e-9:
            return ("max-order-value: order value %.2f (%d x %.2f) is above the limit of %.2f"
                    % (value, volume, price, lim.max_order_value))
        if lim.max_position_value is not None and direction == "BUY":
            try:
                held = float(backend.position_value(code))
            except OpError as exc:
                return "cannot value the position in %s: %s" % (code, exc)
            after = held + value
            if not after <= lim.max_position_value + 1e-9:
                return ("max-position-value: the position in %s would be worth %.2f after the "
                        "order (%.2f held or bid for, %.2f in this order), above the limit of "
                        "%.2f" % (code, after, held, value, lim.max_position_value))
        if lim.max_orders_per_minute is not None:
            self._expire()
            if len(self._accepted) >= lim.max_orders_per_minute:
                return ("max-orders-per-minute: %d orders accepted in the last %d seconds, "
                        "the limit is %d" % (len(self._accepted), WINDOW,
                                             lim.max_orders_per_minute))
        return None

    def _expire(self) -> None:
        edge = self.clock() - WINDOW
        while self._accepted and self._accepted[0][0] <= edge:
            self._accepted.popleft()

    def _accept(self) -> List[float]:
        token = [self.clock()]                 # a list: removed by identity, not by value
        self._accepted.append(token)
        return token

    def _release(self, token: List[float]) -> None:
        for i, held in enumerate(self._accepted):
            if held is token:
                del self._accepted[i]
                return


_UNREAD = object()


def _listed(codes: FrozenSet[str], most: int = 8) -> str:
    names = sorted(codes)
    text = ", ".join(names[:most])
    return text + (", ... %d in all" % len(names) if len(names) > most else "")
