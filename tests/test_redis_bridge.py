"""The QMT bridge client: wire format, waits, replies and the event subscriber, on a real
Redis server (tests/conftest.py) with the small agent of tests/bridge_agent.py; a recording
stand-in client where exact arguments matter."""
import json
import re
import subprocess
import sys
import threading
import time
import types
import uuid
from collections import OrderedDict, defaultdict

import pytest
import redis

from bridge_agent import EchoAgent
from kavrel_trader.gateways.qmt import redis_bridge as rb
from qmt_wire import wait_for

TIMEOUT_RE = (r"QMT Redis RPC timeout after {wait}s \(op={op}, id=([0-9a-f]{{32}})\)\. "
              r"Is the Big QMT bridge agent running\?")


def _bridge(server, **kw):
    kw.setdefault("timeout", 2.0)
    return rb.QmtRedisBridge(host=server.host, port=server.port, db=0, **kw)


@pytest.fixture
def bridge(redis_server, redis_client):
    b = _bridge(redis_server)
    yield b
    b.close()


# ---------------------------------------------------------------- a recording client

class RecordingClient:
    """Stands in for redis.Redis: keeps lists in memory and records every command."""
    instances = []

    def __init__(self, **kw):
        self.kw = kw
        self.calls = []
        self.lists = defaultdict(list)
        self.answer = None  # fn(request dict) -> reply text, run on RPUSH
        self.closed = False
        RecordingClient.instances.append(self)

    def delete(self, key):
        self.calls.append(("delete", key))
        self.lists.pop(key, None)

    def rpush(self, key, value):
        self.calls.append(("rpush", key, value))
        self.lists[key].append(value)
        if self.answer is not None:
            req = json.loads(value)
            self.lists[key].remove(value)
            self.lists["kavrel:qmt:res:" + req["id"]].append(self.answer(req))

    def brpop(self, key, timeout=0):
        self.calls.append(("brpop", key, timeout))
        items = self.lists.get(key)
        return (key, items.pop()) if items else None

    def lrem(self, key, count, value):
        self.calls.append(("lrem", key, count, value))
        items = self.lists.get(key, [])
        if value in items:
            items.remove(value)
            return 1
        return 0

    def close(self):
        self.closed = True
        raise OSError("closing failed")


class OldClient(RecordingClient):
    """A client of the redis-py 4 line: no `protocol` argument."""

    def __init__(self, **kw):
        if "protocol" in kw:
            raise TypeError("__init__() got an unexpected keyword argument 'protocol'")
        super().__init__(**kw)


@pytest.fixture
def recording(monkeypatch):
    RecordingClient.instances = []
    fake = type("FakeRedisModule", (), {"Redis": RecordingClient})
    monkeypatch.setattr(rb, "redis", fake)
    return fake


@pytest.mark.parametrize("cls", [RecordingClient, OldClient])
@pytest.mark.parametrize("timeout, password, connect, sock, auth", [
    (10.0, None, 5.0, 11.0, None),
    (2.5, "", 2.5, 3.5, None),
    (7, "pw", 5.0, 8.0, "pw"),
    (0.2, "x", 0.2, 1.2, "x"),
])
def test_client_settings(recording, cls, timeout, password, connect, sock, auth):
    recording.Redis = cls
    b = rb.QmtRedisBridge("h", 6380.0, password, 3.9, "p:", timeout)
    kw = b._r.kw
    assert kw.pop("password", None) == auth
    expected = {"host": "h", "port": 6380, "db": 3, "decode_responses": True,
                "socket_connect_timeout": connect, "socket_timeout": sock, "protocol": 2}
    if cls is OldClient:
        del expected["protocol"]
    assert kw == expected and type(kw["port"]) is int and type(kw["db"]) is int
    assert type(b.timeout) is float and b.timeout == timeout
    assert (b._pubsub, b._event_thread, b._event_handler) == (None, None, None)
    assert not b._stop_events.is_set()


@pytest.mark.parametrize("prefix, stripped", [
    ("kavrel:qmt::", "kavrel:qmt"), ("kavrel:qmt", "kavrel:qmt"), ("a:b:", "a:b"),
    ("行情:", "行情"), (":::", ""),
])
def test_keys_follow_the_prefix(recording, prefix, stripped):
    b = rb.QmtRedisBridge(key_prefix=prefix)
    assert b.key_prefix == stripped
    assert (b.req_key, b.events_channel, b.res_key("R1")) == (
        stripped + ":req", stripped + ":events", stripped + ":res:R1")
    b.key_prefix = "other"  # read when used
    assert b.req_key == "other:req"
    with pytest.raises(AttributeError):
        b.req_key = "x"


@pytest.mark.parametrize("call, message", [
    (lambda: rb.QmtRedisBridge(host=1), "Argument 'host' has incorrect type (expected str, got int)"),
    (lambda: rb.QmtRedisBridge(port="1"), "Argument 'port' has incorrect type (expected int, got str)"),
    (lambda: rb.QmtRedisBridge(password=5), "Argument 'password' has incorrect type (expected str, got int)"),
    (lambda: rb.QmtRedisBridge(timeout="1"), "Argument 'timeout' has incorrect type (expected float, got str)"),
    (lambda: rb.QmtRedisBridge().call(1), "Argument 'op' has incorrect type (expected str, got int)"),
    (lambda: rb.QmtRedisBridge().call("x", [1]), "Argument 'params' has incorrect type (expected dict, got list)"),
    (lambda: rb.QmtRedisBridge().call("x", None, "1"), "Argument 'timeout' has incorrect type (expected float, got str)"),
    (lambda: rb.QmtRedisBridge().res_key(5), "Argument 'req_id' has incorrect type (expected str, got int)"),
    (lambda: rb.QmtRedisBridge().start_events(5), "Argument 'handler' has incorrect type (expected EventHandler, got int)"),
])
def test_bad_arguments_fail_before_anything_is_sent(recording, call, message):
    with pytest.raises(TypeError) as ei:
        call()
    assert str(ei.value) == message
    assert all(c.calls == [] for c in RecordingClient.instances)


@pytest.mark.parametrize("wait, block", [
    (None, 10), (0.2, 1), (0.5, 1), (1.0, 1), (1.9, 1), (2.5, 2), (30, 30), (-3.0, 1),
])
def test_brpop_blocks_whole_seconds_of_the_wait(recording, wait, block):
    b = rb.QmtRedisBridge()
    with pytest.raises(TimeoutError) as ei:
        b.call("ping", None, wait)
    shown = 10.0 if wait is None else float(wait)
    m = re.fullmatch(TIMEOUT_RE.format(wait=re.escape(str(shown)), op="ping"), str(ei.value))
    assert m, str(ei.value)
    req = json.loads(b._r.calls[1][2])
    key = "kavrel:qmt:res:" + req["id"]
    assert m.group(1) == req["id"]
    assert [c[:2] for c in b._r.calls] == [("delete", key), ("rpush", "kavrel:qmt:req"),
                                           ("brpop", key), ("lrem", "kavrel:qmt:req")]
    assert b._r.calls[2][2] == block and type(b._r.calls[2][2]) is int
    # The request was still queued: it is withdrawn, and the error says so.
    assert ei.value.withdrawn is True and b._r.lists["kavrel:qmt:req"] == []


@pytest.mark.parametrize("wait", [float("nan"), float("inf")])
def test_a_wait_without_whole_seconds_sends_nothing(recording, wait):
    b = rb.QmtRedisBridge()
    with pytest.raises((ValueError, OverflowError)):
        b.call("ping", None, wait)
    assert b._r.calls == []


def test_module_names_are_read_when_used(recording, monkeypatch):
    ids = iter(["a" * 32, "b" * 32])
    monkeypatch.setattr(rb, "uuid", type("U", (), {"uuid4": staticmethod(
        lambda: type("I", (), {"hex": next(ids)})())}))
    monkeypatch.setattr(rb, "time", type("T", (), {"time": staticmethod(lambda: 12.5)}))
    b = rb.QmtRedisBridge()
    b._r.answer = lambda req: json.dumps({"ok": True, "data": req})
    assert b.call("x") == {"id": "a" * 32, "op": "x", "params": {}, "ts": 12.5}
    assert b.call("y")["id"] == "b" * 32


def test_close_stops_and_ignores_client_errors(recording):
    b = rb.QmtRedisBridge()
    b.close()  # the stand-in's close raises
    assert b._r.closed and b._stop_events.is_set()


@pytest.mark.parametrize("data, ok", [({"a": 1}, True), (None, True), ([1], False),
                                      ("up", False), (3, False)])
def test_ping_accepts_an_object_or_null(recording, data, ok):
    b = rb.QmtRedisBridge()
    seen = []
    b.call = lambda op: seen.append(op) or data  # ping goes through the object's call
    if ok:
        assert b.ping() == data
    else:
        with pytest.raises(TypeError):
            b.ping()
    assert seen == ["ping"]


def test_missing_client_package_names_the_extra():
    code = ("import sys; sys.modules['redis'] = None\n"
            "try:\n    import kavrel_trader.gateways.qmt.redis_bridge\n"
            "except ImportError as e:\n    print(type(e).__name__, '|', e)\n")
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True,
                         timeout=60).stdout.strip()
    assert out == ("ImportError | redis is required for the QMT gateway. Install with: "
                   "pip install kavrel-trader[qmt]")


EXIT_SCRIPT = '''
import sys, time
from kavrel_tools.redis_server import RedisServer
from kavrel_trader.gateways.qmt import redis_bridge as rb
srv = RedisServer().start()
try:
    b = rb.QmtRedisBridge(port=srv.port)
    if sys.argv[1] == "stuck handler":
        b.start_events(lambda e: [time.sleep(0.01) for _ in range(6000)])
        time.sleep(0.3)
        b._r.publish(b.events_channel, "{}")
    else:
        b.start_events(lambda e: None)
    time.sleep(0.5)
    if sys.argv[1] == "server gone":
        srv.stop()
        time.sleep(0.3)
    print("leaving", flush=True)
finally:
    srv.close()
'''


@pytest.mark.timeout(60)
@pytest.mark.parametrize("case", ["subscriber running", "stuck handler", "server gone"])
def test_the_process_exits_cleanly_with_a_subscriber_left_running(case):
    p = subprocess.run([sys.executable, "-c", EXIT_SCRIPT, case], capture_output=True,
                       text=True, timeout=50)
    assert (p.returncode, p.stdout) == (0, "leaving\n"), p.stderr[-500:]


# ---------------------------------------------------------------- over a real server

@pytest.mark.timeout(30)
@pytest.mark.parametrize("params, sent", [
    (None, {}),
    ({}, {}),
    (OrderedDict(), {}),
    ({"codes": ["600000.SH", "000001.SZ"]}, {"codes": ["600000.SH", "000001.SZ"]}),
    (OrderedDict([("code", "600000.SH"), ("name", "浦发银行"), ("price", 9.5)]),
     {"code": "600000.SH", "name": "浦发银行", "price": 9.5}),
])
def test_wire_format(bridge, echo_agent, params, sent):
    before = time.time()
    assert bridge.call("echo", params) == sent
    after = time.time()
    text = echo_agent.taken[-1]
    req = json.loads(text)
    assert list(req) == ["id", "op", "params", "ts"]
    assert list(req["params"]) == list(sent)
    assert text == json.dumps(req, ensure_ascii=False)  # ", " and ": ", nothing escaped
    assert "\\u" not in text and ("浦发银行" in text) == ("name" in sent)
    assert re.fullmatch(r"[0-9a-f]{32}", req["id"]) and uuid.UUID(req["id"]).version == 4
    assert req["op"] == "echo" and isinstance(req["ts"], float) and before <= req["ts"] <= after


@pytest.mark.timeout(30)
@pytest.mark.parametrize("reply, outcome", [
    ('{"ok": true, "data": {"cash": 1.5}}', {"cash": 1.5}),
    ('{"ok": 1, "data": [1, "二"]}', [1, "二"]),
    ('{"ok": true}', None),
    ('{"ok": false}', RuntimeError("RPC op=raw failed")),
    ('{"ok": false, "error": ""}', RuntimeError("RPC op=raw failed")),
    ('{"ok": 0, "error": null, "data": 5}', RuntimeError("RPC op=raw failed")),
    ('{"data": 5}', RuntimeError("RPC op=raw failed")),
    ('{"ok": false, "error": "资金不足"}', RuntimeError("资金不足")),
    ('{"ok": false, "error": {"code": 7}}', RuntimeError({"code": 7})),
    ('[true]', RuntimeError("RPC op=raw failed")),
    ('not json', json.JSONDecodeError),
])
def test_replies(bridge, echo_agent, reply, outcome):
    if isinstance(outcome, RuntimeError):
        with pytest.raises(RuntimeError) as ei:
            bridge.call("raw", {"text": reply})
        assert type(ei.value) is RuntimeError and ei.value.args == outcome.args
    elif outcome is json.JSONDecodeError:
        with pytest.raises(json.JSONDecodeError):
            bridge.call("raw", {"text": reply})
    else:
        assert bridge.call("raw", {"text": reply}) == outcome


@pytest.mark.timeout(30)
def test_ping_over_redis(bridge, echo_agent):
    assert bridge.ping() == {"pong": True}


@pytest.mark.timeout(30)
def test_a_stale_reply_is_deleted_before_the_request(bridge, redis_client, monkeypatch):
    rid = "c" * 32
    monkeypatch.setattr(rb, "uuid", type("U", (), {"uuid4": staticmethod(
        lambda: type("I", (), {"hex": rid})())}))
    redis_client.rpush(bridge.res_key(rid), '{"ok": true, "data": "stale"}')
    with pytest.raises(TimeoutError, match=rid):
        bridge.call("ping", timeout=0.2)
    assert not redis_client.exists(bridge.res_key(rid))


@pytest.mark.timeout(30)
def test_no_agent_times_out_exactly_and_withdraws(bridge, redis_client):
    t0 = time.monotonic()
    with pytest.raises(TimeoutError) as ei:
        bridge.call("place_order", {"code": "600000.SH"}, 0.2)
    assert 0.9 <= time.monotonic() - t0 < 1.8
    assert type(ei.value) is TimeoutError
    assert re.fullmatch(TIMEOUT_RE.format(wait="0.2", op="place_order"), str(ei.value))
    assert ei.value.withdrawn is True and redis_client.llen(bridge.req_key) == 0


@pytest.mark.timeout(40)
def test_a_late_reply_is_never_read_by_a_later_call(bridge, echo_agent, redis_client):
    with pytest.raises(TimeoutError) as ei:
        bridge.call("sleep", {"seconds": 1.5, "data": "late"}, 0.5)
    # The agent had taken the request: it may still run, and the error says so.
    assert ei.value.withdrawn is False
    late_id = re.search(r"id=([0-9a-f]{32})", str(ei.value)).group(1)
    assert wait_for(lambda: redis_client.exists(bridge.res_key(late_id)))
    for i in range(5):
        assert bridge.call("echo", {"i": i}) == {"i": i}
    assert redis_client.lrange(bridge.res_key(late_id), 0, -1) == ['{"ok": true, "data": "late"}']


@pytest.mark.timeout(40)
@pytest.mark.parametrize("reply_after, outcome", [(None, TimeoutError), (1.7, "on time")])
def test_waits_longer_than_the_socket_read_timeout(redis_server, redis_client, reply_after,
                                                   outcome):
    # A 0.5 s default wait gives the client a 1.5 s socket read time-out; a 2 s call
    # outlasts it, and so does a reply after 1.7 s.
    b = _bridge(redis_server, timeout=0.5)
    timer = None
    try:
        if reply_after is not None:
            def answer():
                text = redis_client.lpop(b.req_key)
                rid = json.loads(text)["id"]
                redis_client.rpush(b.res_key(rid), json.dumps({"ok": True, "data": outcome}))
            timer = threading.Timer(reply_after, answer)
            timer.start()
        t0 = time.monotonic()
        if outcome is TimeoutError:
            with pytest.raises(Exception) as ei:
                b.call("get_market_data_ex", {}, 2.0)
            assert type(ei.value) is TimeoutError, repr(ei.value)
            assert 1.9 <= time.monotonic() - t0 < 3.5
        else:
            assert b.call("get_market_data_ex", {}, 2.0) == outcome
            assert 1.6 <= time.monotonic() - t0 < 2.0
    finally:
        if timer is not None:
            timer.join()
        b.close()


@pytest.mark.timeout(120)
def test_concurrent_calls_are_never_crossed(bridge, echo_agent):
    errors, done = [], [0]

    def worker(w):
        try:
            for i in range(500):
                params = {"w": w, "i": i, "tag": "线程%d" % w}
                got = bridge.call("echo", params, 20)
                if got != params:
                    errors.append((params, got))
            done[0] += 1
        except Exception as e:  # pragma: no cover - reported below
            errors.append(e)

    threads = [threading.Thread(target=worker, args=(w,)) for w in range(8)]
    for t in threads:
        t.start()
    for t in threads:
        t.join(100)
    assert errors == [] and done[0] == 8
    assert len(echo_agent.taken) == 8 * 500 and len(set(echo_agent.taken)) == 8 * 500


@pytest.mark.timeout(30)
def test_passwords_never_appear_in_output(redis_server, redis_client, capsys):
    secret = "s3cr3t-unlock-pw"
    b = _bridge(redis_server, password=secret, timeout=0.5)
    try:
        with pytest.raises(redis.RedisError) as ei:
            b.call("ping")
        assert secret not in str(ei.value) and secret not in repr(ei.value)
        assert secret not in repr(b)  # (the client's own repr is redis-py's: some releases show it)
        with pytest.raises(redis.RedisError) as ei:
            b.start_events(lambda ev: None)
        assert secret not in str(ei.value)
    finally:
        b.close()
    out = capsys.readouterr()
    assert secret not in out.out and secret not in out.err


# ---------------------------------------------------------------- events

def _publish_until(redis_client, channel, payload, pred, limit=10.0):
    """Publish `payload` every 0.1 s until pred() holds (the subscriber may still be starting)."""
    deadline = time.monotonic() + limit
    while time.monotonic() < deadline:
        redis_client.publish(channel, payload)
        if wait_for(pred, 0.1):
            return True
    return False


def _unsubscribed(redis_client, channel):
    """No subscriber left on `channel`. Redis drops a closed connection's subscriptions when
    it reads the close, which may come after a command sent on another connection."""
    return wait_for(lambda: redis_client.pubsub_numsub(channel) == [(channel, 0)], 2.0)


def _event_threads():
    return [t for t in threading.enumerate() if t.name == "qmt-redis-events"]


@pytest.mark.timeout(30)
def test_events_reach_the_handler_and_bad_messages_are_dropped(bridge, redis_client, capsys):
    got = []
    handler = got.append
    bridge.start_events(handler)
    t = bridge._event_thread
    assert isinstance(t, threading.Thread) and t.name == "qmt-redis-events" and t.daemon
    assert bridge._event_handler is handler and bridge._pubsub is not None
    ch = bridge.events_channel
    assert _publish_until(redis_client, ch, '{"type": "ping"}', lambda: got)
    del got[:]
    for payload in ["not json", "", '{"type": "order", "data": {"order_ref": "R1", "状态": "已报"}}',
                    "[1, 2", '{"type": "order", "data": {"order_ref": "R2"}}']:
        redis_client.publish(ch, payload)
    assert wait_for(lambda: len(got) == 2)
    assert got == [{"type": "order", "data": {"order_ref": "R1", "状态": "已报"}},
                   {"type": "order", "data": {"order_ref": "R2"}}]
    assert capsys.readouterr().out == ""
    bridge.stop_events()
    assert not t.is_alive()
    assert (bridge._event_thread, bridge._event_handler, bridge._pubsub) == (None, None, None)
    assert _unsubscribed(redis_client, ch)


@pytest.mark.timeout(30)
def test_a_raising_handler_is_reported_once_per_failure(bridge, redis_client, capsys):
    seen = []

    def handler(ev):
        seen.append(ev["n"])
        raise ValueError("bad event %d" % ev["n"])

    bridge.start_events(handler)
    ch = bridge.events_channel
    assert _publish_until(redis_client, ch, '{"n": 0}', lambda: seen)
    n0 = len(seen)
    for n in range(1, 4):
        redis_client.publish(ch, json.dumps({"n": n}))
    assert wait_for(lambda: seen[-1:] == [3])
    bridge.stop_events()
    lines = capsys.readouterr().out.splitlines()
    assert lines == ["[QmtRedisBridge] event handler error: bad event %d" % n for n in seen]
    assert seen[n0:] == [1, 2, 3]


@pytest.mark.timeout(30)
@pytest.mark.parametrize("action", ["stop_events", "close", "restart"])
def test_a_handler_may_stop_its_own_subscriber(bridge, redis_client, capsys, action):
    got, later = [], []

    def handler(ev):
        got.append(ev)
        if action == "restart":
            bridge.start_events(later.append)
        else:
            getattr(bridge, action)()

    bridge.start_events(handler)
    first = bridge._event_thread
    ch = bridge.events_channel
    assert _publish_until(redis_client, ch, '{"n": 1}', lambda: got)
    assert wait_for(lambda: not first.is_alive())
    assert capsys.readouterr().out == "" and len(got) == 1
    if action == "restart":
        assert _publish_until(redis_client, ch, '{"n": 2}', lambda: later)
        bridge.stop_events()
    assert _unsubscribed(redis_client, ch)


@pytest.mark.timeout(30)
@pytest.mark.parametrize("action", ["stop_events", "close", "restart"])
def test_an_event_read_before_the_stop_is_not_delivered(bridge, redis_client, monkeypatch, action):
    # The stop comes from the controlling thread while the event thread decodes a message
    # it has already read.
    got, later, decoding = [], [], []
    stop = {"stop_events": bridge.stop_events, "close": bridge.close,
            "restart": lambda: bridge.start_events(later.append)}[action]
    stopper = threading.Thread(target=stop)

    def loads(text):
        if not decoding:
            stopper.start()
            decoding.append(text)
            decoding.append(flag.wait(5))
        return json.loads(text)

    monkeypatch.setattr(rb, "json", types.SimpleNamespace(loads=loads, dumps=json.dumps))
    bridge.start_events(got.append)
    flag = bridge._stop_events
    ch = bridge.events_channel
    assert _publish_until(redis_client, ch, '{"n": 1}', lambda: decoding)
    stopper.join(5)
    assert decoding == ['{"n": 1}', True] and got == [] and later == []
    if action == "restart":
        assert _publish_until(redis_client, ch, '{"n": 2}', lambda: later)
        assert {"n": 1} not in later and got == []


@pytest.mark.timeout(30)
def test_stop_events_without_a_subscriber_only_sets_the_flag(bridge):
    t0 = time.monotonic()
    bridge.stop_events()
    assert time.monotonic() - t0 < 0.5
    assert bridge._stop_events.is_set() and bridge._event_thread is None


@pytest.mark.timeout(60)
def test_one_delivering_thread_even_after_a_slow_handler(bridge, redis_client):
    """A handler outlives the 2 s join; the next subscription must not revive its thread."""
    old, new = [], []
    release = threading.Event()

    def slow(ev):
        old.append(ev)
        release.wait(10)

    bridge.start_events(slow)
    ch = bridge.events_channel
    assert _publish_until(redis_client, ch, '{"n": -1}', lambda: old)
    first = bridge._event_thread
    t0 = time.monotonic()
    bridge.stop_events()
    assert 1.8 <= time.monotonic() - t0 < 3.0 and first.is_alive()
    bridge.start_events(new.append)
    release.set()
    assert wait_for(lambda: not first.is_alive())
    assert _publish_until(redis_client, ch, '{"n": 0}', lambda: new)
    del new[:]
    for n in range(1, 6):
        redis_client.publish(ch, json.dumps({"n": n}))
    assert wait_for(lambda: len(new) >= 5)
    time.sleep(0.3)
    assert new == [{"n": n} for n in range(1, 6)] and len(old) == 1
    assert len(_event_threads()) == 1
    bridge.stop_events()
    assert _unsubscribed(redis_client, ch)


@pytest.mark.timeout(120)
def test_start_stop_cycles_leave_no_subscription_and_a_usable_client(bridge, echo_agent, redis_client):
    ch = bridge.events_channel
    got = []
    # Stops at many points of the thread's read: at once, within and across its slices.
    pauses = [0.0, 0.001, 0.003, 0.01, 0.02, 0.05, 0.09, 0.1, 0.11, 0.15, 0.2, 0.35, 0.5,
              0.99, 1.0, 1.01, 1.3] + [0.005 * k for k in range(40)]
    for i, pause in enumerate(pauses):
        bridge.start_events(got.append)
        time.sleep(pause)
        if i % 3 == 0:
            redis_client.publish(ch, json.dumps({"i": i}))
        t0 = time.monotonic()
        bridge.stop_events()
        assert time.monotonic() - t0 < 2.5
        assert _unsubscribed(redis_client, ch), (i, pause)
        # Every pooled connection of the client still takes ordinary commands.
        for k in range(2):
            assert bridge.call("echo", {"k": k}) == {"k": k}
        bridge._r.set("probe", i)
        assert bridge._r.get("probe") == str(i)
    assert wait_for(lambda: not _event_threads(), 3)
    subscribed = [c for c in redis_client.client_list() if int(c.get("sub", 0)) > 0]
    assert subscribed == []
    # A last subscription still delivers.
    bridge.start_events(got.append)
    del got[:]
    assert _publish_until(redis_client, ch, '{"last": 1}', lambda: got)
    bridge.close()
    assert _unsubscribed(redis_client, ch)


@pytest.mark.timeout(90)
def test_redis_stopped_mid_run_and_back(redis_server, redis_client):
    b = _bridge(redis_server, timeout=1.0)
    got = []
    agent = EchoAgent(port=redis_server.port, db=0).start()
    try:
        b.start_events(got.append)
        ch = b.events_channel
        assert b.call("echo", {"n": 1}) == {"n": 1}
        assert _publish_until(redis_client, ch, '{"before": 1}', lambda: got)
        thread = b._event_thread
        redis_server.stop()
        with pytest.raises(redis.ConnectionError):
            b.call("echo", {"n": 2})
        time.sleep(1.0)
        redis_server.start()
        # Same client: later calls succeed, and the event thread delivers again.
        assert wait_for(lambda: _try_call(b) == {"n": 3}, 20)
        del got[:]
        probe = redis.Redis(host=redis_server.host, port=redis_server.port, db=0,
                            decode_responses=True)
        try:
            assert _publish_until(probe, ch, '{"after": 1}', lambda: {"after": 1} in got, 20)
        finally:
            probe.close()
        assert thread.is_alive() and b._event_thread is thread
    finally:
        if not redis_server.running:
            redis_server.start()
        agent.stop()
        b.close()


def _try_call(b):
    try:
        return b.call("echo", {"n": 3}, 1.0)
    except (redis.RedisError, TimeoutError):
        return None


# ---------------------------------------------------------------- numbered events and the log

def _logged(r, bridge, seq, n, publish=True):
    """An event as the agent sends it: appended to the log under its number, then published."""
    text = json.dumps({"seq": seq, "type": "order", "data": {"n": n}})
    r.xadd(bridge.events_channel + ":log", {"event": text}, id=seq)
    if publish:
        r.publish(bridge.events_channel, text)
    return text


def _ns(events):
    return [e["data"]["n"] if "seq" in e else e for e in events]


@pytest.mark.timeout(60)
def test_numbered_events_are_delivered_once_in_order_and_missed_ones_replayed(bridge, redis_client):
    got, later = [], []
    bridge.start_events(got.append)
    ch = bridge.events_channel
    first = _logged(redis_client, bridge, "5-1", 1, publish=False)
    assert _publish_until(redis_client, ch, first, lambda: got)     # repeats are dropped
    redis_client.publish(ch, '{"older": "agent"}')                  # no number: delivered
    assert wait_for(lambda: len(got) == 2)
    bridge.stop_events()
    _logged(redis_client, bridge, "5-2", 2)                          # nobody subscribed
    _logged(redis_client, bridge, "16-0", 3)
    bridge.start_events(later.append)
    assert wait_for(lambda: len(later) == 2)
    redis_client.publish(ch, json.dumps({"seq": "9-9", "type": "order", "data": {"n": 99}}))
    _logged(redis_client, bridge, "16-1", 4)
    assert wait_for(lambda: len(later) == 3)
    time.sleep(0.2)
    assert _ns(got) == [1, {"older": "agent"}] and _ns(later) == [2, 3, 4]
    assert bridge._last_seq == "16-1"


@pytest.mark.timeout(90)
def test_after_an_outage_missed_events_come_first_and_the_recovery_is_reported(
        redis_server, redis_client):
    b = _bridge(redis_server, timeout=1.0)
    got, recovered = [], []
    probe = None
    try:
        b.start_events(got.append, lambda: recovered.append(len(got)))
        first = _logged(redis_client, b, "1-1", 1, publish=False)
        assert _publish_until(redis_client, b.events_channel, first, lambda: got)
        redis_server.stop()
        time.sleep(0.5)
        redis_server.start()                                         # empty
        probe = redis.Redis(host=redis_server.host, port=redis_server.port, db=0,
                            decode_responses=True)
        for seq, n in [("2-1", 2), ("2-2", 3)]:                      # the agent's buffered events
            _logged(probe, b, seq, n)
        assert wait_for(lambda: recovered, 20)
        _logged(probe, b, "3-0", 4)
        assert wait_for(lambda: len(got) == 4)
        time.sleep(0.2)
        assert _ns(got) == [1, 2, 3, 4] and len(recovered) == 1
    finally:
        if not redis_server.running:
            redis_server.start()
        if probe is not None:
            probe.close()
        b.close()
