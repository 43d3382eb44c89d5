"""The bridge agent: one request loop, one reply writer, one event publisher.

The agent takes JSON requests from the request list (prefix + ":req"), hands each to a
backend on a small worker pool, and pushes the reply onto the request's own reply list
(prefix + ":res:" + id) with an expiry, so a reply nobody collects does not stay in Redis.
Order events go out on the event channel (prefix + ":events"). A backend only answers
operations; everything about Redis, threads, logging and the allow-orders switch lives here.
Order and cancel requests pass the guards (guards.py: risk limits, halt switch, audit trail)
on their way to the backend.

Request:  {"id": "<32 hex>", "op": "get_full_tick", "params": {...}, "ts": 1709265600.0}
Reply:    {"ok": true, "data": ...}  or  {"ok": false, "error": "<reason>"}
Event:    {"seq": "1709265600000-0", "type": "order", "data": {...}, "ts": 1709265600.0}

Every event is numbered and logged: one Lua script appends it to the capped stream
prefix + ":events:log" and publishes the same text, whose "seq" is the stream entry's id, so a
subscriber that lost the channel for a while reads what it missed from the log. Events that
cannot be published while Redis is away wait, in order, in a bounded buffer and go out before
any newer event once Redis answers again.
"""
from __future__ import annotations

import json
import logging
import threading
import time
from collections import deque
from concurrent.futures import ThreadPoolExecutor
from typing import Any, Callable, Deque, Dict, Optional
from urllib.parse import urlsplit, urlunsplit

import redis

__all__ = ["Backend", "OpError", "QmtAgent", "mask_url", "redis_client", "ORDER_OPS",
           "AUDITED_OPS"]

log = logging.getLogger("kavrel.qmt_agent")

# Operations that send something to the market; refused while the agent's switch is off.
ORDER_OPS = frozenset({"place_order"})
# Operations that pass the guards (risk limits, halt switch) and go to the audit trail.
AUDITED_OPS = frozenset({"place_order", "cancel_order"})

_MAX_ID_LEN = 128
_POLL_EVERY = 0.2          # seconds between backend housekeeping calls (order matching)
_POP_WAIT = 0.5          # seconds; bounds how long stop() waits for the loop
EVENT_LOG_MAXLEN = 10000   # entries kept (approximately) in the event log stream
MAX_PENDING_EVENTS = 10000  # events kept while Redis is away; the oldest go first

# Appends one event to the log and publishes it, atomically. ARGV[1] is the event's JSON text
# without its opening brace; the script puts the entry id in front as "seq". The id is made
# here (the server's time in ms, or the last id's ms with the next sequence number when the
# clock has not moved on) because a stream entry cannot be changed once added.
_PUBLISH_LUA = """
if redis.replicate_commands then redis.replicate_commands() end
local t = redis.call('TIME')
local ms = tonumber(t[1]) * 1000 + math.floor(tonumber(t[2]) / 1000)
local sq = 0
if redis.call('EXISTS', KEYS[1]) == 1 then
  local info = redis.call('XINFO', 'STREAM', KEYS[1])
  for i = 1, #info, 2 do
    if info[i] == 'last-generated-id' then
      local lms, lsq = string.match(info[i + 1], '^(%d+)-(%d+)$')
      lms, lsq = tonumber(lms), tonumber(lsq)
      if lms >= ms then ms, sq = lms, lsq + 1 end
    end
  end
end
local id = string.format('%.0f-%.0f', ms, sq)
local text = '{"seq": "' .. id .. '", ' .. ARGV[1]
redis.call('XADD', KEYS[1], 'MAXLEN', '~', ARGV[2], id, 'event', text)
redis.call('PUBLISH', KEYS[2], text)
return id
"""
_RETRY_FIRST = 0.5       # seconds before the first retry while Redis is unreachable ...
_RETRY_MAX = 5.0         # ... doubling up to this


class OpError(Exception):
    """A request the backend refuses; the message goes back as the reply's "error"."""


class Backend:
    """Answers operations. Subclasses define ``op_<name>(self, params)`` methods.

    ``publish(type, data)`` is bound by the agent before the first request; ``poll()`` is
    called from the agent's loop a few times a second for time-driven work (matching
    resting orders); ``close()`` once when the agent stops.
    """

    name = "backend"

    def __init__(self) -> None:
        self.publish: Callable[[str, Dict[str, Any]], None] = lambda type_, data: None

    def ops(self) -> Dict[str, Callable[[Dict[str, Any]], Any]]:
        return {name[3:]: getattr(self, name) for name in dir(self)
                if name.startswith("op_") and callable(getattr(self, name))}

    def poll(self) -> None:
        pass

    def close(self) -> None:
        pass

    # Figures for the agent's risk limits, asked only when a limit needs them.
    def best_price(self, code: str, direction: str) -> Optional[float]:
        """The best ask (BUY) or bid (SELL) of ``code``; None when that side is empty."""
        raise OpError("the %s backend cannot price market orders" % self.name)

    def position_value(self, code: str) -> float:
        """The value of ``code`` held (at the last price) plus the unfilled part of working
        buy orders in it."""
        raise OpError("the %s backend cannot value positions" % self.name)


def mask_url(url: str) -> str:
    """The Redis URL with any password replaced by ***, for log lines."""
    try:
        parts = urlsplit(url)
    except ValueError:
        return "<unparsable url>"
    if parts.password is None:
        return url
    host = parts.hostname or ""
    if parts.port is not None:
        host += ":" + str(parts.port)
    user = parts.username or ""
    return urlunsplit((parts.scheme, user + ":***@" + host, parts.path, parts.query,
                       parts.fragment))


def redis_client(url: str, password: Optional[str] = None, ca_file: Optional[str] = None,
                 **options: Any) -> redis.Redis:
    """A decoded client for ``url`` (redis://, rediss:// with TLS, unix://); ``ca_file``
    names the certificates that verify a TLS server."""
    if ca_file:
        if urlsplit(url).scheme != "rediss":
            raise ValueError("a CA file is for TLS connections: use a rediss:// URL")
        options["ssl_ca_certs"] = ca_file
    return redis.Redis.from_url(url, password=password or None, decode_responses=True,
                                **options)


def _url_password(url: str) -> Optional[str]:
    try:
        return urlsplit(url).password
    except ValueError:
        return None


def _dumps(obj: Any) -> str:
    """JSON text that Redis can take as UTF-8. A lone surrogate (a "\\udcxx" escape in a
    request, echoed in its reply or an event) has no UTF-8 form: such a text escapes every
    non-ASCII character instead, which reads back the same."""
    text = json.dumps(obj, ensure_ascii=False, allow_nan=False, default=str)
    if not text.isascii():
        try:
            text.encode("utf-8")
        except UnicodeEncodeError:
            return json.dumps(obj, ensure_ascii=True, allow_nan=False, default=str)
    return text


class QmtAgent:
    """Serves a backend over the Redis bridge, in-process (start/stop) or as a command.

    ``QmtAgent(backend, redis_url=..., key_prefix="kavrel:qmt", workers=4, reply_ttl=60,
    allow_orders=False, account_id="", redis_password=None, redis_ca_file=None, limits=None,
    audit=None)`` with ``limits`` a ``guards.Limits`` and ``audit`` the audit trail's path;
    ``start()`` runs the request loop on a daemon thread and returns; ``stop()`` ends it, lets
    running requests finish, closes the backend and the Redis client. Also a context manager.
    """

    def __init__(self, backend: Backend, redis_url: str = "redis://127.0.0.1:6379/5", *,
                 redis_password: Optional[str] = None, key_prefix: str = "kavrel:qmt",
                 workers: int = 4, reply_ttl: int = 60, allow_orders: bool = False,
                 account_id: str = "", client: Optional[redis.Redis] = None,
                 redis_ca_file: Optional[str] = None, limits: Any = None,
                 audit: Optional[str] = None) -> None:
        from .guards import AuditTrail, Guards
        if int(workers) < 1:
            raise ValueError("workers must be at least 1, got %r" % (workers,))
        if int(reply_ttl) < 1:
            raise ValueError("reply_ttl must be at least 1 second, got %r" % (reply_ttl,))
        self.backend = backend
        self.redis_url = redis_url
        self.key_prefix = key_prefix.rstrip(":")
        self.workers = int(workers)
        self.reply_ttl = int(reply_ttl)
        self.allow_orders = bool(allow_orders)
        self.account_id = account_id
        self._r = client if client is not None else redis_client(
            redis_url, redis_password, redis_ca_file,
            socket_connect_timeout=3.0, socket_timeout=_POP_WAIT + 5.0)
        url_password = _url_password(redis_url)
        self.authenticated = bool(redis_password or url_password)
        trail = None if not audit else AuditTrail(audit, secrets=(redis_password, url_password))
        self.guards = Guards(limits, trail)
        self.guards.bind(self._r, self.key_prefix)
        self._ops = backend.ops()
        self._stop = threading.Event()
        self._thread: Optional[threading.Thread] = None
        self._pool: Optional[ThreadPoolExecutor] = None
        self._slots = threading.BoundedSemaphore(self.workers)
        self.served = 0
        self.max_pending = MAX_PENDING_EVENTS
        self._pending: Deque[str] = deque()     # event texts (without "seq") not yet out
        self._pending_dropped = 0
        self._pub_lock = threading.Lock()       # one publisher at a time keeps the order
        self._publish_script = self._r.register_script(_PUBLISH_LUA)
        self._plain_publish = False             # a server without streams or scripts
        backend.publish = self.publish

    # ---------------------------------------------------------------- keys
    @property
    def req_key(self) -> str:
        return self.key_prefix + ":req"

    def res_key(self, req_id: str) -> str:
        return self.key_prefix + ":res:" + req_id

    @property
    def events_channel(self) -> str:
        return self.key_prefix + ":events"

    @property
    def events_log(self) -> str:
        return self.key_prefix + ":events:log"

    # ---------------------------------------------------------------- lifecycle
    @property
    def running(self) -> bool:
        return self._thread is not None and self._thread.is_alive()

    def start(self) -> "QmtAgent":
        if self.running:
            return self
        self._stop.clear()
        self._pool = ThreadPoolExecutor(max_workers=self.workers,
                                        thread_name_prefix="qmt-agent-worker")
        self._thread = threading.Thread(target=self._loop, name="qmt-agent-loop", daemon=True)
        self._thread.start()
        log.info("serving backend=%s redis=%s prefix=%s workers=%d reply_ttl=%ds "
                 "allow_orders=%s", self.backend.name, mask_url(self.redis_url),
                 self.key_prefix, self.workers, self.reply_ttl, self.allow_orders)
        log.info("risk limits: %s; audit trail: %s", self.guards.limits.describe(),
                 self.guards.audit.path if self.guards.audit else "off")
        return self

    def stop(self, timeout: float = 10.0) -> None:
        """Stop taking requests, finish the ones being served, release everything."""
        self._stop.set()
        thread, self._thread = self._thread, None
        if thread is not None:
            thread.join(timeout)
        pool, self._pool = self._pool, None
        if pool is not None:
            pool.shutdown(wait=True)
        if self._pending:
            self.flush_events()
            if self._pending:
                log.warning("stopping with %d events not published", len(self._pending))
        try:
            self.backend.close()
        except Exception:  # noqa: BLE001 - stopping must not fail on a backend's close
            log.exception("backend close failed")
        try:
            self._r.close()
        except Exception:  # noqa: BLE001
            pass
        self.guards.close()
        log.info("stopped after %d requests", self.served)

    def run_forever(self) -> None:
        """Serve until ``request_stop()`` (a signal handler) is called, then stop."""
        self.start()
        try:
            while not self._stop.wait(0.5):
                if not self.running:
                    break
        finally:
            self.stop()

    def request_stop(self) -> None:
        self._stop.set()

    def open_door(self) -> Optional[str]:
        """Why others than this machine's users could reach the agent's Redis without a
        password, or None (see ``guards.open_door``); connection errors reach the caller."""
        from .guards import open_door
        return open_door(self.redis_url, self.authenticated, self._r)

    def __enter__(self) -> "QmtAgent":
        return self.start()

    def __exit__(self, *exc: Any) -> None:
        self.stop()

    # ---------------------------------------------------------------- request loop
    def _loop(self) -> None:
        backoff = 0.0
        last_poll = 0.0
        while not self._stop.is_set():
            now = time.monotonic()
            if now - last_poll >= _POLL_EVERY:
                last_poll = now
                self._poll_backend()
            # Take a request only when a worker is free, so others stay queued for peers.
            if not self._slots.acquire(timeout=_POP_WAIT):
                continue
            taken = False
            try:
                # Clients RPUSH; taking from the left serves requests in the order sent.
                item = self._r.blpop([self.req_key], timeout=_POP_WAIT)
                if backoff:
                    log.info("redis reachable again; serving")
                    backoff = 0.0
                if self._pending:
                    self.flush_events()
                if item is None:
                    continue
                pool = self._pool
                if pool is None:                 # stopping: leave it for the next agent
                    self._r.lpush(self.req_key, item[1])
                    continue
                pool.submit(self._serve_and_release, item[1])
                taken = True
            except (redis.ConnectionError, redis.TimeoutError, OSError) as exc:
                backoff = min(_RETRY_MAX, backoff * 2 or _RETRY_FIRST)
                log.warning("redis unavailable (%s); retrying in %.1fs", exc, backoff)
                self._stop.wait(backoff)
            except Exception:  # noqa: BLE001 - the loop must survive anything
                log.exception("request loop error")
                self._stop.wait(0.5)
            finally:
                if not taken:
                    self._slots.release()

    def _poll_backend(self) -> None:
        try:
            self.backend.poll()
        except Exception:  # noqa: BLE001
            log.exception("backend poll failed")
        try:
            self.guards.poll()
        except Exception:  # noqa: BLE001
            log.exception("guards poll failed")

    def _serve_and_release(self, raw: Any) -> None:
        try:
            self.serve_one(raw)
        except Exception:  # noqa: BLE001
            log.exception("request failed unexpectedly")
        finally:
            self._slots.release()

    # ---------------------------------------------------------------- one request
    def serve_one(self, raw: Any) -> Optional[Dict[str, Any]]:
        """Answer one request text; returns the reply written (None when none could be)."""
        started = time.perf_counter()
        req_id, op, reply = self._answer(raw)
        ms = (time.perf_counter() - started) * 1000.0
        if req_id is None:
            log.warning("op=%s id=- %.1fms dropped: %s", op or "-", ms, reply["error"])
            return None
        self.served += 1
        if reply.get("ok"):
            log.info("op=%s id=%s %.1fms ok", op, req_id, ms)
        else:
            log.info("op=%s id=%s %.1fms error: %s", op, req_id, ms, reply.get("error"))
        self._write_reply(req_id, reply)
        return reply

    def _answer(self, raw: Any):
        try:
            req = json.loads(raw)
        except (TypeError, ValueError) as exc:
            return None, None, {"ok": False, "error": "request is not JSON: %s" % exc}
        if not isinstance(req, dict):
            return None, None, {"ok": False, "error": "request is not a JSON object"}
        req_id = req.get("id")
        if isinstance(req_id, bool) or not isinstance(req_id, (str, int)):
            return None, req.get("op"), {"ok": False, "error": "request has no usable id"}
        req_id = str(req_id)
        if not req_id or len(req_id) > _MAX_ID_LEN or any(c.isspace() for c in req_id):
            return None, req.get("op"), {"ok": False, "error": "request id is empty, too "
                                         "long or contains white space"}
        op = req.get("op")
        if not isinstance(op, str) or not op:
            return req_id, None, {"ok": False, "error": "request has no op"}
        params = req.get("params")
        if params is None:
            params = {}
        if not isinstance(params, dict):
            return req_id, op, {"ok": False, "error": "params must be a JSON object, got "
                                + type(params).__name__}
        handler = self._ops.get(op)
        if handler is None:
            return req_id, op, {"ok": False, "error": "unknown op %r (served: %s)"
                                % (op, ", ".join(sorted(self._ops)))}
        refusal = None
        if op in ORDER_OPS and not self.allow_orders:
            refusal = ("orders are disabled on the bridge agent: start it with "
                       "ALLOW_ORDERS=1 or --allow-orders")
        if op in AUDITED_OPS:
            return req_id, op, self.guards.serve(
                req_id, op, params, self.backend, refusal,
                lambda: self._call(req_id, op, handler, params))
        if refusal is not None:
            return req_id, op, {"ok": False, "error": refusal}
        reply = self._call(req_id, op, handler, params)
        data = reply.get("data")
        if op == "ping" and isinstance(data, dict):
            data.setdefault("allow_orders", self.allow_orders)
            data.setdefault("account_id", self.account_id)
            data.update(self.guards.status())
        return req_id, op, reply

    def _call(self, req_id: str, op: str, handler: Callable[[Dict[str, Any]], Any],
              params: Dict[str, Any]) -> Dict[str, Any]:
        try:
            return {"ok": True, "data": handler(params)}
        except OpError as exc:
            return {"ok": False, "error": str(exc)}
        except Exception as exc:  # noqa: BLE001 - a backend fault is a failed reply
            log.exception("op=%s id=%s backend error", op, req_id)
            return {"ok": False, "error": "%s: %s" % (type(exc).__name__, exc)}

    def _write_reply(self, req_id: str, reply: Dict[str, Any]) -> None:
        try:
            text = _dumps(reply)
        except (TypeError, ValueError) as exc:
            text = _dumps({"ok": False, "error": "reply not serialisable: %s" % exc})
        key = self.res_key(req_id)
        try:
            pipe = self._r.pipeline(transaction=True)
            pipe.rpush(key, text)
            pipe.expire(key, self.reply_ttl)
            pipe.execute()
        except Exception as exc:  # noqa: BLE001 - a lost reply is logged, not fatal
            log.warning("reply for id=%s not written: %s", req_id, exc)

    # ---------------------------------------------------------------- events
    def publish(self, type_: str, data: Dict[str, Any]) -> bool:
        """Number, log and publish one event; False when it had to wait for Redis.

        Called from any thread (workers, the loop, SDK callbacks). While earlier events are
        waiting, a new one waits behind them without touching Redis, so events go out in the
        order they were made and a missing server costs one failed attempt, not one per event.
        """
        try:
            text = _dumps({"type": type_, "data": data, "ts": time.time()})
        except (TypeError, ValueError) as exc:
            log.warning("event %s not serialisable: %s", type_, exc)
            return False
        with self._pub_lock:
            if not self._pending and self._send(text):
                return True
            self._keep(text)
            return False

    def flush_events(self) -> int:
        """Publish the waiting events in order, up to the first that fails; returns how
        many are still waiting."""
        with self._pub_lock:
            sent = 0
            while self._pending and self._send(self._pending[0]):
                self._pending.popleft()
                sent += 1
            if sent:
                log.info("published %d events kept while redis was away%s", sent,
                         "" if not self._pending else "; %d still waiting" % len(self._pending))
            if not self._pending and self._pending_dropped:
                log.warning("%d events were dropped while redis was away (buffer of %d)",
                            self._pending_dropped, self.max_pending)
                self._pending_dropped = 0
            return len(self._pending)

    @property
    def pending_events(self) -> int:
        return len(self._pending)

    def _keep(self, text: str) -> None:
        if len(self._pending) >= self.max_pending:
            self._pending.popleft()
            if not self._pending_dropped:
                log.warning("event buffer full (%d): dropping the oldest events until redis "
                            "is back", self.max_pending)
            self._pending_dropped += 1
        self._pending.append(text)

    def _send(self, text: str) -> bool:
        try:
            if self._plain_publish:
                self._r.publish(self.events_channel, text)
            else:
                self._publish_script(keys=[self.events_log, self.events_channel],
                                     args=[text[1:], EVENT_LOG_MAXLEN])
            return True
        except redis.ResponseError as exc:
            if self._plain_publish or "unknown" not in str(exc).lower():
                log.warning("event not published, kept for later: %s", exc)
                return False
            # A server without streams, XINFO or scripting: events go out unnumbered.
            log.warning("event log unavailable on this redis (%s); publishing events "
                        "without numbers", exc)
            self._plain_publish = True
            return self._send(text)
        except Exception as exc:  # noqa: BLE001 - kept and sent again once redis is back
            log.warning("event not published, kept for later: %s", exc)
            return False
