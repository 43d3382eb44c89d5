"""QMT bridge client: replies popped from Redis, the arguments of `call`, pub/sub messages
and event handlers, driven in-process through stand-in clients (no server, no threads: the
module's `threading` is swapped for one whose threads run at `start` on the caller's
thread, and whose events never wait)."""
import json
import math
import re

from hypothesis import strategies as st

from fakes import inline_threading
from kavrel_trader.gateways.qmt import redis_bridge as rb

from . import target
from .hostile import Boom, Make, RaisingStr, anything, hostile_objects, numbers, sometimes, texts

BRIDGE = rb.QmtRedisBridge(host="127.0.0.1", port=1, db=0, timeout=3.0)
REAL = {name: getattr(rb, name) for name in ("redis", "json", "threading")}


class patched:
    """Module names swapped for the length of one input."""

    def __init__(self, **names):
        self.names = names

    def __enter__(self):
        for k, v in self.names.items():
            setattr(rb, k, v)

    def __exit__(self, *exc):
        for k in self.names:
            if k in REAL:
                setattr(rb, k, REAL[k])
            else:
                delattr(rb, k)  # `print` falls back to the builtin


# ---------------------------------------------------------------- stand-in clients

class Client:
    """Any client object: driven through delete/rpush/brpop/lrem."""

    def __init__(self, popped, lrem=0):
        self.popped, self.lrem_result = popped, lrem
        self.pushed = []

    def delete(self, key):
        pass

    def rpush(self, key, text):
        self.pushed.append(text)

    def brpop(self, key, timeout=0):
        assert isinstance(timeout, int) and timeout >= 1, timeout
        return self.popped

    def lrem(self, key, n, text):
        if isinstance(self.lrem_result, BaseException):
            raise self.lrem_result
        return self.lrem_result


class Connection:
    socket_timeout = 4.0

    def __init__(self, client):
        self.client = client
        self.sent = []
        self._sock = self

    def settimeout(self, t):
        pass

    def pack_commands(self, cmds):
        return list(cmds)

    def send_packed_command(self, packed):
        for cmd in packed:
            if cmd[0] == "RPUSH":
                self.client.pushed.append(cmd[2])

    def send_command(self, *args):
        assert args[0] == "BRPOP" and isinstance(args[2], int) and args[2] >= 1, args
        self.sent.append(args)

    def read_response(self):
        if self.sent:
            self.sent.pop()
            return self.client.popped
        return 1

    def disconnect(self):
        pass


class Pool:
    def __init__(self, client):
        self.client = client
        self.out = 0

    def get_connection(self):
        self.out += 1
        return Connection(self.client)

    def release(self, conn):
        self.out -= 1


class PooledClient(Client):
    """A redis-py client as the bridge sees it: commands go over one pooled connection."""
    connection = None

    def __init__(self, popped, lrem=0):
        Client.__init__(self, popped, lrem)
        self.connection_pool = Pool(self)


class FakeRedisModule:
    Redis = PooledClient


# ---------------------------------------------------------------- replies

json_values = st.recursive(
    st.none() | st.booleans() | st.integers() | st.floats() | st.text(max_size=8),
    lambda inner: st.lists(inner, max_size=3) | st.dictionaries(st.text(max_size=4), inner, max_size=3),
    max_leaves=6)
reply_objects = st.fixed_dictionaries({}, optional={"ok": json_values, "error": json_values,
                                                    "data": json_values, "extra": json_values})
reply_texts = st.one_of(
    reply_objects.map(lambda d: json.dumps(d, ensure_ascii=False)),
    reply_objects.map(json.dumps),
    json_values.map(json.dumps),
    texts,
    st.builds(lambda n, s: s * n, st.sampled_from([10, 5000, 200_000]), st.sampled_from(["[", '{"a":', "[1,"])),
    st.builds(lambda n: '{"ok": true, "data": "%s"}' % ("x" * n), st.sampled_from([10, 200_000])),
    st.sampled_from(['{"ok": true', '{"ok": 1, "data": NaN}', '{"ok": true, "data": "\\ud800"}',
                     "\ufeff{}", '{"ok": true}\x00', '{"ok": 0, "error": "\\udfff"}', "", " ",
                     '{"ok": true, "ok": false}', '{"ok": [], "error": {}}', '{"ok": false, "error": 0}']),
)
elements = st.one_of(
    reply_texts,
    reply_texts.filter(lambda s: type(s) is str).map(lambda s: s.encode("utf-8", "surrogatepass")),
    st.sampled_from([b"\xff\xfe", b'{"ok": true, "data": "\xe8"}', bytearray(b'{"ok": 1}'), b"\xef\xbb\xbf{}"]),
    anything(4),
)


def ref_reply(element, op):
    """What `call` makes of a popped element, in plain Python."""
    reply = json.loads(element)
    if not isinstance(reply, dict) or not reply.get("ok"):
        err = reply.get("error") if isinstance(reply, dict) else None
        raise RuntimeError(err if err else "RPC op=%s failed" % op)
    return reply.get("data")


def outcome(fn, *args):
    try:
        return fn(*args)
    except Exception as e:  # noqa: BLE001 - the exception is the outcome
        return e


def same(a, b):
    if isinstance(a, BaseException) or isinstance(b, BaseException):
        if type(a) is not type(b):
            return False
        return not isinstance(a, RuntimeError) or a.args == b.args or repr(a.args) == repr(b.args)
    return repr(a) == repr(b)


PLAIN = (str, bytes, bytearray)
CALL_ERRORS = (TimeoutError, ValueError, TypeError)


def run_call(client, op="ping", params=None, timeout=None, **names):
    BRIDGE._r = client
    with patched(**names):
        return BRIDGE.call(op, params, timeout)


@target(st.tuples(st.booleans(), st.integers(0, 9), elements, st.sampled_from(["ping", "get_full_tick", "股", "\ud800"])),
        allowed=CALL_ERRORS)
def reply(pooled, shape, element, op):
    """Whatever BRPOP hands back: the result is the reply's data, or the documented errors
    (a RuntimeError only with the agent's error or the "failed" text)."""
    popped = ("k", element) if shape < 5 else [["k", element], (element,), element, None, ("k", element)][shape - 5]
    client = (PooledClient if pooled else Client)(popped)
    got = outcome(run_call, client, op, None, 0.5, **({"redis": FakeRedisModule} if pooled else {}))
    assert len(client.pushed) == 1, client.pushed
    if pooled:
        assert client.connection_pool.out == 0, "connection not returned to the pool"
    if popped is None:
        assert isinstance(got, TimeoutError) and got.withdrawn is False, got
        assert re.fullmatch(r"QMT Redis RPC timeout after 0\.5s \(op=%s, id=[0-9a-f]{32}\)\. "
                            r"Is the Big QMT bridge agent running\?" % re.escape(op), str(got)), got
        return
    if shape in (6, 7):
        # Not the (key, element) pair a client returns: any lookup or decoding error.
        if isinstance(got, (LookupError, TypeError, ValueError, RecursionError, RuntimeError)):
            return
    elif type(element) in PLAIN:
        want = outcome(ref_reply, element, op)
        assert same(got, want), (element[:200], got, want)
        if isinstance(got, (RuntimeError, RecursionError)):
            return  # the agent's failure, or json's own nesting limit, as the plain decoder
    if isinstance(got, BaseException):
        raise got


class FakeJson:
    """json whose loads hands back a prepared object (any shape, hostile items included)."""

    def __init__(self, obj):
        self.obj = obj

    def dumps(self, *a, **k):
        return REAL["json"].dumps(*a, **k)

    def loads(self, text):
        return self.obj


@target(st.tuples(st.one_of(st.fixed_dictionaries({}, optional={"ok": sometimes(numbers | texts, hostile_objects, 2),
                                                               "error": anything(3), "data": anything(3)}),
                            anything(5))),
        allowed=())
def decoded_reply(obj):
    """Decoded replies of any type: wrong types for "ok" and "error", objects that raise or
    change the reply while it is read."""
    err0 = dict.get(obj, "error") if isinstance(obj, dict) else None
    try:
        run_call(Client(("k", "x")), "ping", None, None, json=FakeJson(obj))
    except RuntimeError as e:
        assert e.args == ("RPC op=ping failed",) or (e.args[0] is err0 and err0 is not None), e.args


timeouts = st.one_of(st.none(), numbers, st.sampled_from([-1.0, -1e308, 0.0, 0.2, 1.999, 2 ** 70, "1", b"1"]),
                     hostile_objects, anything(2))
params_values = st.one_of(st.none(), st.dictionaries(st.text(max_size=5), json_values, max_size=3),
                          st.dictionaries(st.one_of(texts, st.integers(), hostile_objects), anything(3), max_size=3),
                          anything(4))
ops = sometimes(st.sampled_from(["ping", "get_full_tick", "", "股"]) | texts)


@target(st.tuples(ops, params_values, timeouts), allowed=(TypeError, ValueError, OverflowError))
def call_arguments(op, params, timeout):
    """Bad op, params and time-outs are refused before anything is pushed; good ones reach
    the agent as the request object."""
    client = Client(("k", '{"ok": true, "data": 7}'))
    try:
        got = run_call(client, op, params, timeout)
    except Exception:
        assert not client.pushed, client.pushed  # a refused call leaves no request behind
        raise
    assert got == 7
    assert isinstance(op, str)
    req = json.loads(client.pushed[0])
    assert list(req) == ["id", "op", "params", "ts"] and req["op"] == str.__str__(op)
    assert re.fullmatch("[0-9a-f]{32}", req["id"]) and isinstance(req["ts"], float)
    if params is None or type(params) is dict and not params:
        assert req["params"] == {}
    if timeout is not None:
        w = float(timeout)
        assert not math.isnan(w) and not math.isinf(w)


# ---------------------------------------------------------------- events

class PubSub:
    """Hands out the script's messages one per read (an exception instance is raised),
    then sets its subscription's stop flag."""

    def __init__(self, script, stop):
        self.script, self.stop = script, stop
        self.closed = False

    def subscribe(self, channel):
        assert channel == "kavrel:qmt:events"

    def get_message(self, timeout=None):
        assert 0 <= timeout <= 1.0
        if not self.script:
            self.stop.set()
            return None
        m = self.script.pop(0)
        if isinstance(m, BaseException):
            raise m
        return m

    def close(self):
        self.closed = True


class EventClient:
    def __init__(self, script):
        self.script = script
        self.handles = []

    def pubsub(self, ignore_subscribe_messages=False):
        # Subscribe confirmations are read: each one after the first replays the event log.
        assert ignore_subscribe_messages is False
        p = PubSub(self.script, BRIDGE._stop_events)
        self.handles.append(p)
        return p

    def xrange(self, name, min="-", max="+", count=None):
        return []                       # an empty event log

    def xrevrange(self, name, max="+", min="-", count=None):
        return []

    def close(self):
        pass


DROPPED = object()


def ref_event(msg):
    """The event a plain pub/sub message delivers (JSON null included), or DROPPED."""
    if not isinstance(msg, dict) or msg.get("type") != "message":
        return DROPPED
    try:
        return json.loads(msg.get("data"))
    except (TypeError, ValueError, RecursionError):
        return DROPPED


def ref_seq(event):
    """The (ms, n) pair an event's "seq" reads as (a stream id "<ms>-<n>", 1 to 19 ASCII
    digits each), or None: the event is then delivered whatever its place."""
    seq = event.get("seq") if type(event) is dict else None
    if type(seq) is not str:
        return None
    ms, dash, n = seq.partition("-")
    if not dash or not all(0 < len(x) <= 19 and all("0" <= c <= "9" for c in x) for x in (ms, n)):
        return None
    return int(ms), int(n)


def in_order(events):
    """The events delivered: a numbered one only when its number is above the last one's."""
    out, last = [], None
    for e in events:
        seq = ref_seq(e)
        if seq is not None:
            if last is not None and seq <= last:
                continue
            last = seq
        out.append(e)
    return out


seqs = st.one_of(st.builds("{}-{}".format, st.integers(0, 3), st.integers(0, 3)),
                 st.sampled_from(["x", "1-", "-1", "1-2-3", "", "99999999999999999999-0",
                                  "9999999999999999999-9999999999999999999", "\u0663-1", "\udcff-1",
                                  " 1-1", "1-1 "]),
                 st.integers(0, 5), st.none())
messages = st.one_of(
    st.builds(lambda seq, d: {"type": "message", "pattern": None, "channel": "kavrel:qmt:events",
                              "data": json.dumps({"seq": seq, "type": "order", "data": d})},
              seqs, json_values),
    st.builds(lambda t, d: {"type": t, "pattern": None, "channel": "kavrel:qmt:events", "data": d},
              st.sampled_from(["message", "message", "subscribe", "pmessage", "MESSAGE"]),
              st.one_of(json_values.map(json.dumps), reply_texts, texts, st.integers(),
                        st.sampled_from([b'{"a": 1}', b"\xff", None]))),
    st.dictionaries(st.sampled_from(["type", "data", "channel"]), anything(2), max_size=3),
    st.sampled_from([None, ConnectionError("lost"), TimeoutError("read"), ValueError("bad"), Boom("read")]),
    anything(3),
)
HANDLERS = ["record", "boom", "bad_str", "stop", "close", "restart", "none", "not_callable", "hostile"]


class BadStr(Exception):
    def __str__(self):
        raise Boom("__str__ of the handler's error")


@target(st.tuples(st.lists(messages, max_size=6), st.sampled_from(HANDLERS)), allowed=(TypeError,))
def events(script, how):
    """Every message reaches the handler exactly as the plain rules decode it, a numbered
    one only when its number is above the last delivered; hostile messages are dropped;
    handler errors are printed, never raised; the handle is closed."""
    plain = all(m is None or isinstance(m, Exception) or
                type(m) is dict and all(type(v) in (str, bytes, int, float, type(None), bool) for v in m.values())
                for m in script)
    want = in_order([e for e in (ref_event(m) for m in script if not isinstance(m, Exception))
                     if e is not DROPPED])
    got, printed, later = [], [], []

    def handler(ev):
        got.append(ev)
        if how == "boom":
            raise Boom("handler")
        if how == "bad_str":
            raise BadStr()
        if how in ("stop", "close"):
            getattr(BRIDGE, how == "stop" and "stop_events" or "close")()
        if how == "restart" and len(got) == 1:
            BRIDGE.start_events(later.append)

    h = {"none": None, "not_callable": 5, "hostile": Make(RaisingStr)}.get(how, handler)
    if isinstance(h, Make):
        from .hostile import realize
        h = realize(h)
    client = EventClient(list(script))
    BRIDGE._r = client
    BRIDGE._last_seq = None             # each example numbers its events afresh
    with patched(threading=inline_threading, print=lambda *a: printed.append(a)):
        try:
            BRIDGE.start_events(h)
        finally:
            BRIDGE.stop_events()
    assert all(p.closed for p in client.handles), "pub/sub handle left open"
    assert (BRIDGE._event_thread, BRIDGE._pubsub, BRIDGE._event_handler) == (None, None, None)
    if not plain:
        return
    if how in ("none", "not_callable", "hostile"):
        assert got == [] and printed == []
    elif how in ("stop", "close"):
        assert got == want[:1]
    elif how == "restart":
        assert got == want[:1] and later == want[1:]
    else:
        assert repr(got) == repr(want), (script, got, want)
    if how == "boom":
        assert printed == [("[QmtRedisBridge] event handler error: handler",)] * len(want)
    elif how not in ("bad_str",):
        assert printed == []
