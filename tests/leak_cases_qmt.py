"""Leak rows for the QMT bridge client and gateway (joined into test_leaks.py's tables).

The bridge's request and event paths run against a private redis-server started here on
first use (stopped at exit) with a small in-process agent; the event loop is also driven
on the caller's thread through stand-in `threading` and pub/sub objects, so its decoding
and handler paths repeat many times without a server. The gateway runs over a stand-in
bridge that answers from a table and records nothing.
"""
import atexit
import contextlib
import io
import json
import threading
import weakref
from datetime import datetime, timedelta

from fakes import inline_threading
from kavrel_trader.core.constants import Direction, Exchange, OrderStatus, OrderType
from kavrel_trader.core.order import Order
from kavrel_trader.core.security import Stock
from kavrel_trader.gateways.qmt import qmt_adapter as qa
from kavrel_trader.gateways.qmt import redis_bridge as rb

PREFIX = "leak:qmt"
_server = []


def server():
    """The private redis-server of these rows, started once."""
    if not _server:
        from kavrel_tools.redis_server import RedisServer

        srv = RedisServer().start()
        atexit.register(srv.close)
        _server.append(srv)
    return _server[0]


def bridge(**kw):
    srv = server()
    return rb.QmtRedisBridge(host=srv.host, port=srv.port, db=0, key_prefix=PREFIX, timeout=5.0, **kw)


def agent(requests):
    """Answers up to `requests` requests ("echo": its params; anything else: ok false), then
    ends; it also ends after 10 s without a request, when `stop` (returned) is set, or when
    the server is gone (a call left waiting then fails on its own time-out)."""
    import redis

    srv = server()
    client = redis.Redis(host=srv.host, port=srv.port, db=0, decode_responses=True)
    stop = threading.Event()

    def run():
        try:
            served, idle = 0, 0
            while served < requests and idle < 10 and not stop.is_set():
                item = client.blpop(PREFIX + ":req", timeout=1)
                if item is None:
                    idle += 1
                    continue
                served, idle = served + 1, 0
                req = json.loads(item[1])
                if req["op"] == "echo":
                    reply = json.dumps({"ok": True, "data": req["params"]}, ensure_ascii=False)
                else:
                    reply = json.dumps({"ok": False, "error": "refused: " + req["op"]})
                client.rpush(PREFIX + ":res:" + req["id"], reply)
        except redis.RedisError:
            pass
        finally:
            client.close()

    threading.Thread(target=run, name="leak-qmt-agent", daemon=True).start()
    return stop


BRIDGE_CALLS = 1000


def _case_bridge_requests():
    """`call` round trips through the pooled connection: a reply with data, an agent refusal."""
    b = bridge()
    stop = agent(2 * 4 * BRIDGE_CALLS)  # two requests a call; a warm-up and up to three rounds
    op, params = "echo", {"codes": ["600000.SH", "000001.SZ"], "股": 1.5}

    def call():
        assert b.call(op, params) == params
        try:
            b.call("nope")
        except RuntimeError:
            pass
    # The agent stops, and the bridge closes, once the test has let go of the call.
    weakref.finalize(call, stop.set)
    weakref.finalize(call, b.close)
    return call, [b, op, params, params["codes"]]


EVENTS = 300


def _case_bridge_events_redis():
    """Events published on the server reach the handler on the event thread."""
    import redis

    srv = server()
    b = bridge()
    got = threading.Semaphore(0)
    b.start_events(lambda ev: got.release())
    pub = redis.Redis(host=srv.host, port=srv.port, db=0, decode_responses=True)
    text = json.dumps({"type": "order", "data": {"order_ref": "R1", "cancelled": True}})
    ch = b.events_channel
    while not got.acquire(timeout=0.05):  # the subscription is live once one arrives
        pub.publish(ch, text)

    def call():
        pub.publish(ch, text)
        assert got.acquire(timeout=5), "event not delivered"
    # No subscriber left running once the test has let go of the call.
    weakref.finalize(call, b.close)
    weakref.finalize(call, pub.close)
    return call, [b, text]


# The event loop on the caller's thread (fakes.inline_threading), over a pub/sub handle that
# hands out a fixed script then stops its subscription.

class _PubSub:
    def __init__(self, script, stop):
        self.script, self.stop, self.i = script, stop, 0

    def subscribe(self, channel):
        pass

    def get_message(self, timeout=None):
        if self.i >= len(self.script):
            self.stop.set()
            return None
        m = self.script[self.i]
        self.i += 1
        if isinstance(m, type) and issubclass(m, Exception):
            raise m("read failed")
        return m

    def close(self):
        pass


class _EventClient:
    def __init__(self, owner, script):
        self.owner, self.script = owner, script

    def pubsub(self, ignore_subscribe_messages=False):
        return _PubSub(self.script, self.owner._stop_events)

    def close(self):
        pass


def _case_bridge_event_loop():
    """The event loop's decoding, dropping and handler-error paths, on the caller's thread."""
    b = rb.QmtRedisBridge(host="127.0.0.1", port=1, db=0)
    script = [{"type": "message", "data": '{"type": "order", "data": {"order_ref": "R1"}}'},
              {"type": "message", "data": "not json"}, None, ConnectionError,
              {"type": "subscribe", "data": 1}, {"type": "message", "data": b'{"n": 2}'},
              {"type": "message", "data": '{"raise": true}'}, 7, {"type": "message"}]
    b._r = _EventClient(b, script)
    seen = []

    def handler(ev):
        if "raise" in ev:
            raise ValueError("bad event")
        seen.append(ev)

    def call():
        out = io.StringIO()
        saved = rb.threading
        rb.threading = inline_threading
        try:
            with contextlib.redirect_stdout(out):
                b.start_events(handler)
                b.stop_events()
        finally:
            rb.threading = saved
        assert len(seen) == 2 and out.getvalue() == "[QmtRedisBridge] event handler error: bad event\n"
        del seen[:]
    return call, [b, handler, script, script[0]]


# ---------------------------------------------------------------- the gateway

SEC = Stock("SH.600000", "Pudong", 100, Exchange.SSE)
SZ = Stock("SZ.000001", "PingAn", 100, Exchange.SZSE)


class _Bridge:
    """Answers each operation from `replies` (an exception instance is raised); records nothing."""

    def __init__(self, replies):
        self.replies = replies

    def call(self, op, params=None, timeout=None):
        value = self.replies.get(op)
        if isinstance(value, BaseException):
            raise type(value)(*value.args)  # a fresh one: a raised instance keeps its traceback
        return value

    def ping(self):
        return {"pong": True}

    def start_events(self, handler, recovered=None):
        pass

    def stop_events(self):
        pass

    def close(self):
        pass


def gateway(replies, cfg=None):
    saved = qa.QmtRedisBridge, qa.GATEWAYS
    qa.QmtRedisBridge = lambda **kw: _Bridge({})
    qa.GATEWAYS = {"Qmt": dict(cfg or {})}
    try:
        with contextlib.redirect_stdout(io.StringIO()):
            gw = qa.QmtAdapter([SEC, SZ])
    finally:
        qa.QmtRedisBridge, qa.GATEWAYS = saved
    gw._rpc = _Bridge(replies)
    return gw


def quiet(fn):
    """fn with the gateway's log lines sent to a buffer dropped after each call."""
    def call():
        with contextlib.redirect_stdout(io.StringIO()):
            fn()
    return call


TICKS = {
    "600000.SH": {"lastPrice": 10.5, "open": 10.0, "high": 10.8, "low": 9.9, "lastClose": 10.1,
                  "volume": 12345, "amount": 1.2e7, "bidPrice": [10.49, 10.48, 10.47, 10.46, 10.45],
                  "askPrice": [10.5, 10.51, 10.52, 10.53, 10.54], "bidVol": [1, 2, 3, 4, 5],
                  "askVol": [5, 4, 3, 2, 1]},
    "SZ.000001": {"m_dLastPrice": "12.5", "m_dBidPrice1": 12.4, "askPrice1": 12.6, "m_nVolume": 100},
}


def _case_quotes():
    ticks = TICKS
    gw = gateway({"get_full_tick": ticks})
    bad = gateway({"get_full_tick": RuntimeError("RPC op=get_full_tick failed")})

    def call():
        gw._refresh_quotes()
        gw.get_recent_bar(SEC), gw.get_orderbook(SZ)
        bad._refresh_quotes()
    return quiet(call), [gw, ticks, ticks["600000.SH"], ticks["600000.SH"]["bidPrice"]]


def _minutes(n):
    t0 = datetime(2024, 3, 1, 9, 30)
    return [{"time": (t0 + timedelta(minutes=i)).strftime("%Y%m%d%H%M%S"), "open": 10.0 + i / 100,
             "high": 11.0, "low": 9.0, "close": 10.5, "volume": 100} for i in range(n)]


def _case_history():
    data = {"600000.SH": _minutes(60)}
    gw = gateway({"get_market_data_ex": data})
    bad = gateway({"get_market_data_ex": TimeoutError("QMT Redis RPC timeout")})
    empty = gateway({"get_market_data_ex": {"600000.SS": []}})
    when = datetime(2024, 3, 1, 15)

    def call():
        assert len(gw.req_historical_bars(SEC, 30, "1Min", when)) == 30
        gw.req_historical_bars(SEC, 2, "5Min", when)
        for g, err in ((bad, RuntimeError), (empty, ValueError)):
            try:
                g.req_historical_bars(SEC, 5, "1Day", when)
            except err:
                pass
    return quiet(call), [gw, data, data["600000.SH"], data["600000.SH"][0], when]


def _case_orders():
    ok = gateway({"place_order": {"order_id": 7}, "cancel_order": None}, {"allow_orders": True})
    failing = gateway({"place_order": ConnectionError("lost"), "cancel_order": RuntimeError("refused")},
                      {"allow_orders": True})
    o = Order(security=SEC, price=10.5, quantity=100.0, direction=Direction.LONG, order_type=OrderType.LIMIT,
              orderid="R1")

    def call():
        o.status = OrderStatus.UNKNOWN
        ok.place_order(o)
        ok.cancel_order("R1")
        failing.place_order(o)
        failing.cancel_order("R1")
    return quiet(call), [ok, failing, o, o.security]


def _case_account():
    asset = {"m_dBalance": 100000, "m_dAvailable": "80000", "m_dPositionProfit": -3.5}
    rows = [{"m_strInstrumentID": "600000", "m_strExchangeID": "SH", "m_nVolume": 300, "m_dOpenPrice": 10.5},
            {"code": "000002.SZ", "volume": "200.0", "cost_price": "9.5"}, {"code": " ", "volume": 100}]
    gw = gateway({"query_asset": asset, "query_positions": rows})

    def call():
        gw.get_broker_balance()
        gw.get_all_broker_positions()
        gw.get_broker_position(SEC, Direction.LONG)
    return call, [gw, asset, rows, rows[0]]


def _case_order_events():
    gw = gateway({})
    o = Order(security=SEC, status=OrderStatus.SUBMITTED, orderid="R1")
    gw.orders.put("R1", o)
    events = [{"type": "order", "data": {"order_ref": "R1", "cancelled": True}},
              {"type": "order", "data": {"order_id": "R1", "submitted": 1}},
              {"type": "order", "data": {"order_ref": "unknown"}}, {"type": "trade", "data": {}},
              {"type": "order", "data": []}, [1, 2]]

    def call():
        for ev in events:
            gw._on_event(ev)
    return call, [gw, o, events, events[0], events[0]["data"], events[0]["data"]["order_ref"]]


# name -> (set-up, calls per round[, tracemalloc slack in bytes])
CASES = {
    "qmt.bridge.requests": (_case_bridge_requests, BRIDGE_CALLS),
    "qmt.bridge.events": (_case_bridge_events_redis, EVENTS),
    "qmt.bridge.event_loop": (_case_bridge_event_loop, 1000),
    "qmt.adapter.quotes": (_case_quotes, 1000),
    "qmt.adapter.history": (_case_history, 300),
    "qmt.adapter.orders": (_case_orders, 1000),
    "qmt.adapter.account": (_case_account, 3000),
    "qmt.adapter.order_events": (_case_order_events, 1000),
}


# ---------------------------------------------------------------- threads

def _events_thread(action, raising=False):
    def setup():
        b = bridge()
        seen = threading.Event()

        def handler(ev):
            seen.set()
            if raising:
                raise ValueError("handler failed")

        def open_():
            import redis

            srv = server()
            b.start_events(handler)
            pub = redis.Redis(host=srv.host, port=srv.port, db=0)
            try:
                for _ in range(100):  # until the subscription is live and the handler ran
                    pub.publish(b.events_channel, '{"type": "order"}')
                    if seen.wait(0.05):
                        break
            finally:
                pub.close()
            assert seen.is_set(), "no event reached the handler"

        def close():
            with contextlib.redirect_stdout(io.StringIO()):
                getattr(b, action)()
        return open_, close
    return setup


THREAD_CASES = {
    "qmt.bridge.close": _events_thread("close"),
    "qmt.bridge.stop_events": _events_thread("stop_events"),
    "qmt.bridge.close_after_handler_error": _events_thread("close", raising=True),
}
