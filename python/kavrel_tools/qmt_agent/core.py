"""The bridge agent: one request loop, one reply writer, one event publisher.

The agent takes JSON requests from the request list (prefix + ":req"), hands each to a
backend on a small worker pool, and pushes the reply onto the request's own reply list
(prefix + ":res:" + id) with an expiry, so a reply nobody collects does not stay in Redis.
Order events go out on the event channel (prefix + ":events"). A backend only answers
operations; everything about Redis, threads, logging and the allow-orders switch lives here.

Request:  {"id": "<32 hex>", "op": "get_full_tick", "params": {...}, "ts": 1709265600.0}
Reply:    {"ok": true, "data": ...}  or  {"ok": false, "error": "<reason>"}
Event:    {"type": "order", "data": {...}, "ts": 1709265600.0}
"""
from __future__ import annotations

import json
import logging
import threading
import time
from concurrent.futures import ThreadPoolExecutor
from typing import Any, Callable, Dict, Optional
from urllib.parse import urlsplit, urlunsplit

import redis

__all__ = ["Backend", "OpError", "QmtAgent", "mask_url", "ORDER_OPS"]

log = logging.getLogger("kavrel.qmt_agent")

# Operations that send something to the market; refused while the agent's switch is off.
ORDER_OPS = frozenset({"place_order"})

_MAX_ID_LEN = 128
_POLL_EVERY = 0.2          # seconds between backend housekeeping calls (order matching)
_POP_WAIT = 0.5          # seconds; bounds how long stop() waits for the loop
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


def _dumps(obj: Any) -> str:
    return json.dumps(obj, ensure_ascii=False, allow_nan=False, default=str)


class QmtAgent:
    """Serves a backend over the Redis bridge, in-process (start/stop) or as a command.

    ``QmtAgent(backend, redis_url=..., key_prefix="kavrel:qmt", workers=4, reply_ttl=60,
    allow_orders=False, account_id="", redis_password=None)``; ``start()`` runs the request
    loop on a daemon thread and returns; ``stop()`` ends it, lets running requests finish,
    closes the backend and the Redis client. Also a context manager.
    """

    def __init__(self, backend: Backend, redis_url: str = "redis://127.0.0.1:6379/5", *,
                 redis_password: Optional[str] = None, key_prefix: str = "kavrel:qmt",
                 workers: int = 4, reply_ttl: int = 60, allow_orders: bool = False,
                 account_id: str = "", client: Optional[redis.Redis] = None) -> None:
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
        self._r = client if client is not None else redis.Redis.from_url(
            redis_url, password=redis_password or None, decode_responses=True,
            socket_connect_timeout=3.0, socket_timeout=_POP_WAIT + 5.0)
        self._ops = backend.ops()
        self._stop = threading.Event()
        self._thread: Optional[threading.Thread] = None
        self._pool: Optional[ThreadPoolExecutor] = None
        self._slots = threading.BoundedSemaphore(self.workers)
        self.served = 0
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
        try:
            self.backend.close()
        except Exception:  # noqa: BLE001 - stopping must not fail on a backend's close
            log.exception("backend close failed")
        try:
            self._r.close()
        except Exception:  # noqa: BLE001
            pass
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
        if op in ORDER_OPS and not self.allow_orders:
            return req_id, op, {"ok": False, "error": "orders are disabled on the bridge "
                                "agent: start it with ALLOW_ORDERS=1 or --allow-orders"}
        try:
            data = handler(params)
        except OpError as exc:
            return req_id, op, {"ok": False, "error": str(exc)}
        except Exception as exc:  # noqa: BLE001 - a backend fault is a failed reply
            log.exception("op=%s id=%s backend error", op, req_id)
            return req_id, op, {"ok": False, "error": "%s: %s" % (type(exc).__name__, exc)}
        if op == "ping" and isinstance(data, dict):
            data.setdefault("allow_orders", self.allow_orders)
            data.setdefault("account_id", self.account_id)
        return req_id, op, {"ok": True, "data": data}

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
        """Publish one event on the event channel; False when Redis refused it."""
        try:
            self._r.publish(self.events_channel,
                            _dumps({"type": type_, "data": data, "ts": time.time()}))
            return True
        except Exception as exc:  # noqa: BLE001
            log.warning("event %s not published: %s", type_, exc)
            return False
