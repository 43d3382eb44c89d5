"""The agent's guards over a real Redis server: who may reach it (open door, ACL users, TLS),
the risk limits on both backends, the halt switch and the audit trail."""
import glob
import json
import logging
import os
import shutil
import signal
import subprocess
import sys
import time
import uuid
from datetime import date, datetime

import pytest
import redis

from kavrel_tools.qmt_agent import FixedClock, SimBackend, simulator
from kavrel_tools.qmt_agent.cli import build_limits, build_parser, main_agent
from kavrel_tools.qmt_agent.core import QmtAgent, redis_client
from kavrel_tools.qmt_agent.guards import TERMINAL_LIMITS, AuditTrail, Limits
from kavrel_tools.redis_server import RedisServer, free_port
from qmt_wire import PREFIX, call, ok, send, wait_for

pytestmark = pytest.mark.timeout(60)

CODE = "600000.SH"
OTHER = "000001.SZ"
FRIDAY = datetime(2024, 3, 1, 10, 0, 30)
HERE = os.path.dirname(os.path.abspath(__file__))
PYTHON_DIR = os.path.join(HERE, "..", "python")
NOT_HERE = "192.0.2.1"          # a documentation address: bound only as optional, never used


def order(r, volume=100, order_type="MARKET", price=0.0, direction="BUY", code=CODE):
    return call(r, "place_order", {"code": code, "direction": direction, "volume": volume,
                                   "order_type": order_type, "price": price,
                                   "order_ref": uuid.uuid4().hex})


# ---------------------------------------------------------------- agents on both backends
@pytest.fixture(params=["sim", "xtquant"])
def guarded(request, redis_server, redis_client):
    """``guarded(limits)``: a started agent with those limits on the backend of the param;
    ``guarded.ask`` is the best ask of CODE, ``guarded.sent()`` counts the orders that
    reached the backend's market."""
    started = []
    if request.param == "xtquant":
        pytest.importorskip("xtquant.xttype")
        from fakes import xtdata as fake_xtdata
        from fakes import xttrader as fake_xttrader
        from kavrel_tools.qmt_agent.xtquant_backend import XtQuantBackend
        fake_xtdata.STATE.reset()
        fake_xttrader.STATE.reset()
        for code, ask in ((CODE, 10.0), (OTHER, 12.5)):
            fake_xtdata.STATE.ticks[code] = {"askPrice": [ask] * 5,
                                             "bidPrice": [ask - 0.01] * 5}

    def make(limits):
        if request.param == "sim":
            ag = simulator(redis_server.url, clock=FixedClock(FRIDAY), workers=2,
                           limits=limits)
        else:
            backend = XtQuantBackend("C:/qmt/userdata_mini", "8800001", session_id=42,
                                     modules={"xtdata": fake_xtdata,
                                              "xttrader": fake_xttrader},
                                     backoff=(0.05, 0.2))
            ag = QmtAgent(backend, redis_server.url, allow_orders=True, account_id="8800001",
                          workers=2, limits=limits)
        started.append(ag.start())
        if request.param == "xtquant":
            assert wait_for(lambda: ag.backend.connected)
        return ag

    if request.param == "sim":
        make.ask = SimBackend(clock=FixedClock(FRIDAY)).best_price(CODE, "BUY")
        make.sent = lambda: len(started[-1].backend.account.orders)
    else:
        make.ask = 10.0
        make.sent = lambda: len(fake_xttrader.STATE.orders)
    yield make
    for ag in started:
        ag.stop()
    if request.param == "xtquant":
        for trader in fake_xttrader.STATE.traders:
            if trader.executor is not None:
                trader.executor.shutdown(wait=True)


def best_ask(r, code=CODE):
    return ok(r, "get_full_tick", {"codes": [code]})[code]["askPrice"][0]


# Each case: the limits (a function of the best ask) and the orders in turn, each with the
# text its refusal must carry (None: it passes). Market orders are valued at the best ask.
LIMIT_CASES = {
    "codes": (lambda a: Limits(codes=frozenset({OTHER})),
              [(dict(code=CODE), "codes: 600000.SH is not in the allowed codes (000001.SZ)"),
               (dict(code=OTHER), None)]),
    "volume": (lambda a: Limits(max_order_volume=200),
               [(dict(volume=300), "max-order-volume: volume 300 is above the limit of 200"),
                (dict(volume=200), None)]),
    "value": (lambda a: Limits(max_order_value=round(a * 250, 2)),
              [(dict(volume=300), "max-order-value: order value %.2f (300 x %.2f) is above "
                "the limit of %.2f"),
               (dict(volume=200), None)]),
    "position": (lambda a: Limits(max_position_value=round(a * 250, 2)),
                 [(dict(volume=100, order_type="LIMIT"), None),
                  (dict(volume=200, order_type="LIMIT"), "max-position-value: the position "
                   "in 600000.SH would be worth"),
                  (dict(volume=100, order_type="LIMIT"), None),
                  (dict(volume=100, direction="SELL", order_type="LIMIT"), "!ok")]),
    "per-minute": (lambda a: Limits(max_orders_per_minute=2),
                   [(dict(), None), (dict(), None),
                    (dict(), "max-orders-per-minute: 2 orders accepted in the last 60 "
                     "seconds, the limit is 2")]),
}


@pytest.mark.parametrize("case", sorted(LIMIT_CASES))
def test_each_limit_refuses_with_its_figure_while_a_smaller_order_passes(
        guarded, redis_client, case):
    make_limits, orders = LIMIT_CASES[case]
    ask = guarded.ask
    ag = guarded(make_limits(ask))
    assert best_ask(redis_client) == ask
    sent = 0
    for params, refusal in orders:
        if params.get("order_type") == "LIMIT":
            params = dict(params, price=ask)
        before = guarded.sent()
        reply = order(redis_client, **params)
        if refusal is None:
            assert reply["ok"] is True, reply
            sent += 1
        elif refusal == "!ok":          # a sell passes the position limit: the market's call
            assert "max-position-value" not in reply.get("error", ""), reply
            sent = guarded.sent()
        else:
            if "%" in refusal:
                refusal = refusal % (300 * ask, ask, round(ask * 250, 2))
            assert reply["ok"] is False and reply["error"].startswith(refusal), reply
            assert guarded.sent() == before          # nothing reached the market
        assert guarded.sent() == sent
    assert ok(redis_client, "ping")["limits"] == ag.guards.limits.as_dict()


def test_a_working_market_buy_counts_at_the_best_ask(guarded, redis_client):
    """A market buy has no price of its own: while it works, the position limit counts its
    unfilled part at the best ask, as it counts a new market order (not at 0)."""
    ag = guarded(Limits())
    assert order(redis_client, volume=100)["ok"] is True
    assert ag.backend.position_value(CODE) == pytest.approx(100 * guarded.ask, rel=0.01)


def test_the_per_minute_window_slides_and_counts_only_accepted_orders(redis_server,
                                                                      redis_client):
    now = [1000.0]
    with simulator(redis_server.url, clock=FixedClock(FRIDAY),
                   limits=Limits(max_orders_per_minute=2)) as ag:
        ag.guards.clock = lambda: now[0]
        refused = order(redis_client, direction="SELL")         # the market refuses it
        assert refused["ok"] is False and "sellable" in refused["error"]
        steps = [(0, True), (30, True), (40, False), (60.5, True), (65, False), (90.5, True)]
        for at, passes in steps:
            now[0] = 1000.0 + at
            reply = order(redis_client)
            assert reply["ok"] is passes, (at, reply)
            if not passes:
                assert "2 orders accepted in the last 60 seconds" in reply["error"]


@pytest.mark.parametrize("backend, argv, env, expect", [
    ("sim", [], {}, Limits()),
    ("xtquant", [], {}, TERMINAL_LIMITS),
    ("xtquant", ["--max-order-value", "off", "--codes", "600000.sh, 000001.SZ"],
     {"KAVREL_QMT_MAX_ORDERS_PER_MINUTE": "5", "KAVREL_QMT_MAX_POSITION_VALUE": "0"},
     Limits(max_order_volume=10_000, max_orders_per_minute=5,
            codes=frozenset({CODE, OTHER}))),
    ("sim", ["--max-order-volume", "300"], {"KAVREL_QMT_MAX_ORDER_VOLUME": "100",
                                            "KAVREL_QMT_MAX_ORDER_VALUE": "1e5"},
     Limits(max_order_value=100000.0, max_order_volume=300)),
    ("sim", ["--max-order-volume", "1.5"], {}, SystemExit),
    ("sim", ["--codes", "SH.600000"], {}, SystemExit),
    ("sim", [], {"KAVREL_QMT_MAX_ORDER_VALUE": "-3"}, SystemExit),
])
def test_limit_options_environment_and_defaults(backend, argv, env, expect, monkeypatch):
    for name in list(os.environ):
        if name.startswith("KAVREL_QMT_"):
            monkeypatch.delenv(name)
    for k, v in env.items():
        monkeypatch.setenv(k, v)
    args = build_parser("kavrel-qmt-agent", True).parse_args(argv)
    if expect is SystemExit:
        with pytest.raises(SystemExit):
            build_limits(args, backend)
    else:
        assert build_limits(args, backend) == expect


# ---------------------------------------------------------------- halt switch
def test_halt_refuses_new_orders_cancels_nothing_and_resume_clears_it(
        redis_server, redis_client, caplog, capsys):
    caplog.set_level(logging.INFO, logger="kavrel.qmt_agent")
    with simulator(redis_server.url, clock=FixedClock(FRIDAY)) as ag:
        resting = order(redis_client, order_type="LIMIT",
                        price=round(best_ask(redis_client) * 0.95, 2))
        assert resting["data"]["status"] == "submitted"
        conn = ["--redis-url", redis_server.url, "--key-prefix", PREFIX + ":"]
        assert main_agent(["halt", "--reason", "desk says stop"] + conn) == 0
        assert redis_client.get(PREFIX + ":halt") == "desk says stop"
        refused = order(redis_client)
        assert refused == {"ok": False, "error": "trading is halted: desk says stop "
                           "(kavrel-qmt-agent resume clears kavrel:qmt:halt)"}
        pong = ok(redis_client, "ping")
        assert (pong["halted"], pong["halt_reason"]) == (True, "desk says stop")
        order_id = resting["data"]["order_id"]
        assert ag.backend.account.orders[order_id].status == "submitted"   # left standing
        assert ok(redis_client, "cancel_order", {"order_id": order_id})["status"] == "cancelled"
        assert main_agent(["resume"] + conn) == 0
        assert order(redis_client)["ok"] is True
        assert ok(redis_client, "ping")["halted"] is False
        assert len(ag.backend.account.orders) == 2
    said = [r.getMessage() for r in caplog.records if r.getMessage().startswith("trading ")]
    assert said == ["trading halted by kavrel:qmt:halt: desk says stop",
                    "trading resumed: the halt switch kavrel:qmt:halt is cleared"]
    out = capsys.readouterr().out
    assert "trading halted (kavrel:qmt:halt): desk says stop" in out
    assert "it was halted: desk says stop" in out


# ---------------------------------------------------------------- who may reach it
def _agent_process(url, *extra, env=None):
    env = dict(os.environ, PYTHONPATH=PYTHON_DIR, **(env or {}))
    for name in ("KAVREL_QMT_INSECURE", "KAVREL_QMT_REDIS_PASSWORD", "ALLOW_ORDERS"):
        env.pop(name, None)
    cmd = [sys.executable, "-m", "kavrel_tools.qmt_agent", "--backend", "sim",
           "--redis-url", url, "--start-time", "2024-03-01 10:00", "--speed", "0",
           "--workers", "1"] + list(extra)
    return subprocess.Popen(cmd, env=env, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE,
                            text=True)


def _first_reply(r, proc, op="ping", params=None, wait=20):
    """The reply to ``op`` once the agent process serves; None when it exits first."""
    deadline = time.monotonic() + wait
    while time.monotonic() < deadline and proc.poll() is None:
        req_id = send(r, op, params)
        got = r.brpop([PREFIX + ":res:" + req_id], timeout=0.5)
        if got:
            return json.loads(got[1])
    return None


@pytest.fixture(scope="module")
def open_redis():
    """A private server whose bind names an address beyond loopback; optional ("-") and not
    on this machine, so it still listens on loopback alone."""
    srv = RedisServer().start()
    client = redis.Redis(host=srv.host, port=srv.port, decode_responses=True)
    client.config_set("bind", "127.0.0.1 -" + NOT_HERE)
    client.acl_setuser("trader", enabled=True, passwords=["+acl-pw-8e1"], keys=["kavrel:*"],
                       channels=["kavrel:*"], commands=["+@all"])
    yield srv, client
    client.close()
    srv.close()


@pytest.mark.parametrize("case", ["url host", "bind", "insecure", "acl user"])
def test_orders_on_an_open_redis_refuse_to_start(open_redis, case):
    srv, client = open_redis
    client.flushall()
    url = "redis://%s:%d/0" % (srv.host, srv.port)
    extra = []
    if case == "url host":
        url = "redis://%s:%d/0" % (NOT_HERE, srv.port)   # refused before any connection
    elif case == "insecure":
        extra = ["--insecure"]
    elif case == "acl user":
        url = "redis://trader:acl-pw-8e1@%s:%d/0" % (srv.host, srv.port)
    proc = _agent_process(url, *extra)
    try:
        if case in ("url host", "bind"):
            assert proc.wait(20) == 2
            lines = proc.stderr.read().strip().splitlines()
            assert len(lines) == 1, lines
            assert lines[0].startswith("kavrel-qmt-agent: refusing to start with orders "
                                       "allowed: Redis redis://")
            assert ("not a loopback address" if case == "url host" else
                    "listens beyond loopback (bind '127.0.0.1 -192.0.2.1')") in lines[0]
            assert "--insecure" in lines[0]
            return
        pong = _first_reply(client, proc)
        assert pong and pong["data"]["allow_orders"] is True, proc.poll()
        proc.send_signal(signal.SIGTERM)
        assert proc.wait(10) == 0
        err = proc.stderr.read()
        warned = [ln for ln in err.splitlines() if "INSECURE:" in ln]
        assert len(warned) == (1 if case == "insecure" else 0), err
        assert "acl-pw-8e1" not in err
    finally:
        if proc.poll() is None:
            proc.kill()
            proc.wait()
        proc.stderr.close()


def _self_signed(folder):
    openssl = shutil.which("openssl")
    if openssl is None:
        pytest.skip("openssl is not installed")
    key, cert = os.path.join(folder, "key.pem"), os.path.join(folder, "cert.pem")
    subprocess.run([openssl, "req", "-x509", "-newkey", "ec", "-pkeyopt",
                    "ec_paramgen_curve:prime256v1", "-nodes", "-keyout", key, "-out", cert,
                    "-subj", "/CN=localhost", "-days", "1",
                    "-addext", "subjectAltName=IP:127.0.0.1,DNS:localhost"],
                   check=True, capture_output=True)
    return key, cert


def test_tls_with_a_ca_file(tmp_path):
    from kavrel_tools.redis_server import find_redis_server
    key, cert = _self_signed(str(tmp_path))
    port = free_port()
    server = subprocess.Popen(
        [find_redis_server(), "--port", "0", "--tls-port", str(port), "--bind", "127.0.0.1",
         "--tls-cert-file", cert, "--tls-key-file", key, "--tls-ca-cert-file", cert,
         "--tls-auth-clients", "no", "--save", "", "--appendonly", "no",
         "--dir", str(tmp_path)], stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)
    url = "rediss://127.0.0.1:%d/0" % port
    try:
        client = redis_client(url, ca_file=cert, socket_connect_timeout=2)
        if not wait_for(lambda: _pings(client), 5):
            server.kill()
            pytest.skip("this redis-server does not serve TLS: %s" % server.communicate()[0])
        unverified = redis_client(url, socket_connect_timeout=2)
        with pytest.raises(redis.ConnectionError, match="certificate verify failed"):
            unverified.ping()
        unverified.close()
        with pytest.raises(ValueError, match="rediss://"):
            redis_client("redis://127.0.0.1:%d/0" % port, ca_file=cert)
        with simulator(url, clock=FixedClock(FRIDAY), redis_ca_file=cert):
            assert ok(client, "ping")["pong"] is True
            assert order(client)["ok"] is True
        client.close()
    finally:
        if server.poll() is None:
            server.terminate()
            server.wait(10)
        server.stdout.close()


def _pings(client):
    try:
        return client.ping()
    except redis.ConnectionError:
        return False


# ---------------------------------------------------------------- audit trail
def test_every_decision_is_on_disk_when_the_agent_is_killed_after_replying(
        redis_server, redis_client, tmp_path):
    redis_client.acl_setuser("auditor", enabled=True, passwords=["+Aud1t-s3cret"],
                             keys=["*"], channels=["*"], commands=["+@all"])
    url = "redis://auditor:Aud1t-s3cret@%s:%d/0" % (redis_server.host, redis_server.port)
    proc = _agent_process(url, "--audit", str(tmp_path / "audit.jsonl"),
                          "--max-order-volume", "200")
    try:
        assert _first_reply(redis_client, proc), proc.poll()
        ask = best_ask(redis_client)
        asked = [("place_order", dict(code=CODE, direction="BUY", order_type="MARKET",
                                      volume=100, order_ref="fill-1")),
                 ("place_order", dict(code=CODE, direction="BUY", order_type="MARKET",
                                      volume=300, order_ref="too-big")),
                 ("place_order", dict(code=CODE, direction="BUY", order_type="LIMIT",
                                      price=round(ask * 0.95, 2), volume=100,
                                      order_ref="rest-1", secret="x" * 80)),
                 ("cancel_order", dict(order_id="rest-1")),
                 ("cancel_order", dict(order_id="nope"))]
        ids = []
        for op, params in asked:
            req_id = send(redis_client, op, params)
            reply = json.loads(redis_client.brpop([PREFIX + ":res:" + req_id], 5)[1])
            ids.append((req_id, reply))
        os.kill(proc.pid, signal.SIGKILL)        # at once, after the last reply
        proc.wait(10)
    finally:
        if proc.poll() is None:
            proc.kill()
            proc.wait()
        proc.stderr.close()
        redis_client.acl_deluser("auditor")
    files = glob.glob(str(tmp_path / "audit.*.jsonl"))
    assert [os.path.basename(f) for f in files] == ["audit.%s.jsonl" % date.today()]
    with open(files[0], encoding="utf-8") as f:
        text = f.read()
    assert "Aud1t-s3cret" not in text and "x" * 80 not in text
    lines = [json.loads(ln) for ln in text.splitlines()]
    by_id = {}
    for line in lines:
        by_id.setdefault(line["id"], []).append(line)
    expected = [["sent", True], ["refused"], ["sent", True], ["sent", True], ["sent", False]]
    for (req_id, reply), want in zip(ids, expected):
        got = by_id.pop(req_id, [])
        assert [g["event"] for g in got] == ["request", "decision", "answer"][:len(want) + 1]
        assert got[1]["decision"] == want[0]
        if want[0] == "refused":
            assert got[1]["reason"] == reply["error"]
            assert reply["error"].startswith("max-order-volume: volume 300")
        else:
            assert got[2]["ok"] is want[1] is reply["ok"]
            assert got[2].get("data") == reply.get("data")
        assert got[0]["params"].get("order_ref", got[0]["params"].get("order_id"))
    assert by_id == {}                           # pings and queries are not audited
    rest = [ln for ln in lines if ln["id"] == ids[2][0]][0]
    assert rest["params"]["other_keys"] == ["secret"] and rest["params"]["volume"] == 100


def test_audit_file_turns_over_with_the_day(tmp_path):
    day = [date(2024, 3, 1)]
    trail = AuditTrail(str(tmp_path / "trail.log"), today=lambda: day[0], secrets=["pw9"])
    trail.write({"id": "a", "note": "pw9"})
    day[0] = date(2024, 3, 2)
    trail.write({"id": "b"})
    trail.close()
    first = (tmp_path / "trail.2024-03-01.log").read_text().splitlines()
    second = (tmp_path / "trail.2024-03-02.log").read_text().splitlines()
    assert [json.loads(x)["id"] for x in first + second] == ["a", "b"]
    assert json.loads(first[0])["note"] == "***"


@pytest.mark.parametrize("case", ["volume beyond a float", "position not a number"])
def test_an_order_the_limits_cannot_judge_is_refused_with_a_reply(
        redis_server, redis_client, tmp_path, case):
    trail = str(tmp_path / "audit.jsonl")
    if case == "volume beyond a float":
        limits, params = Limits(max_order_volume=200), dict(volume=10 ** 400)
    else:
        limits, params = Limits(max_position_value=1e9), dict()
    with simulator(redis_server.url, clock=FixedClock(FRIDAY), limits=limits,
                   audit=trail) as ag:
        ag.backend.position_value = lambda code: float("nan")
        reply = order(redis_client, **params)
        assert reply["ok"] is False and not ag.backend.account.orders, reply
    with open(AuditTrail(trail).file_for(date.today()), encoding="utf-8") as f:
        lines = [json.loads(ln) for ln in f]
    assert [(ln["event"], ln.get("decision")) for ln in lines] == [
        ("request", None), ("decision", "refused")]
    assert lines[1]["reason"] == reply["error"]


def test_audit_lines_stay_json_and_hide_secrets_in_every_form(tmp_path):
    secrets = ['q"w\\9', "p%40ss"]           # escaped by JSON; percent-encoded in a URL
    trail = AuditTrail(str(tmp_path / "a.log"), today=lambda: date(2024, 3, 1), secrets=secrets)
    trail.write({"id": "a", "quote": 'x q"w\\9 y', "url": "p@ss p%40ss", "bad": "\udcff"})
    trail.close()
    text = (tmp_path / "a.2024-03-01.log").read_text()
    line = json.loads(text)
    assert (line["quote"], line["url"], line["bad"]) == ("x *** y", "*** ***", "\udcff")
