"""QMT bridge round trip: QmtRedisBridge.call("ping") against a bare redis-py exchange
(RPUSH the request, BRPOP the reply) served by the same echo agent on a private Redis
server. The Redis round trips are the floor; the goal is at most 1.3x the bare exchange."""
import json
import pathlib
import subprocess
import sys
import time
import uuid

import redis

from _timing import best_time

from kavrel_tools.redis_server import RedisServer
from kavrel_trader.gateways.qmt import redis_bridge

AGENT = pathlib.Path(__file__).resolve().parent.parent / "tests" / "bridge_agent.py"
PREFIX = "kavrel:qmt"
DB = 5


def _bare_exchange(r):
    def once():
        rid = uuid.uuid4().hex
        r.rpush(PREFIX + ":req",
                json.dumps({"id": rid, "op": "ping", "params": {}, "ts": time.time()}))
        return r.brpop(PREFIX + ":res:" + rid, timeout=10)
    return once


def main(number=300, repeat=7):
    with RedisServer() as srv:
        agent = subprocess.Popen([sys.executable, str(AGENT), "--port", str(srv.port),
                                  "--db", str(DB), "--key-prefix", PREFIX],
                                 stdout=subprocess.DEVNULL)
        bridge = redis_bridge.QmtRedisBridge(port=srv.port, db=DB, key_prefix=PREFIX)
        bare = redis.Redis(host=srv.host, port=srv.port, db=DB, decode_responses=True)
        try:
            assert bridge.ping() == {"pong": True}
            bare_once = _bare_exchange(bare)
            assert bare_once() is not None
            ours, base = float("inf"), float("inf")
            for _ in range(repeat):  # interleaved, so both see the same machine load
                ours = min(ours, best_time(lambda: bridge.call("ping"), repeat=1, number=number))
                base = min(base, best_time(bare_once, repeat=1, number=number))
            ratio = ours / base
            name = 'call("ping") round trip'
            print(f"{name:<58} ours {ours * 1e6:12.2f} us  "
                  f"bare RPUSH+BRPOP {base * 1e6:12.2f} us  ratio {ratio:5.2f}x"
                  f"  (goal <= 1.3x: {'met' if ratio <= 1.3 else 'NOT MET'})")
            return ratio
        finally:
            bridge.close()
            bare.close()
            agent.terminate()
            agent.wait(10)


if __name__ == "__main__":
    main()
