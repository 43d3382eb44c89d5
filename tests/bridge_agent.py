"""A small bridge agent for the bridge client's tests and benchmark.

It serves the request list of one key prefix: takes requests in order (BLPOP), answers
each on the request's reply list (RPUSH, then EXPIRE) and records what it took. Operations:
"ping" -> {"pong": true}; "echo" -> the params; "raw" -> params["text"] pushed verbatim as
the reply; "sleep" -> waits params["seconds"], then answers params.get("data"); anything
else -> ok false with a reason. Runs in a thread (EchoAgent.start/stop) or as a process:

    python tests/bridge_agent.py --port 6379 --db 5 --key-prefix kavrel:qmt
"""
import argparse
import json
import threading
import time

import redis


class EchoAgent:
    def __init__(self, host="127.0.0.1", port=6379, db=5, key_prefix="kavrel:qmt",
                 expire=60, password=None):
        self.client = redis.Redis(host=host, port=port, db=db, password=password,
                                  decode_responses=True)
        self.req_key = key_prefix + ":req"
        self.res_prefix = key_prefix + ":res:"
        self.expire = expire
        self.taken = []  # request texts, in the order they were taken
        self._stop = threading.Event()
        self._thread = None

    def answer(self, req):
        op, params = req.get("op"), req.get("params") or {}
        if op == "ping":
            return json.dumps({"ok": True, "data": {"pong": True}})
        if op == "echo":
            return json.dumps({"ok": True, "data": params}, ensure_ascii=False)
        if op == "raw":
            return params["text"]
        if op == "sleep":
            time.sleep(params["seconds"])
            return json.dumps({"ok": True, "data": params.get("data")})
        return json.dumps({"ok": False, "error": "unknown op %r" % (op,)})

    def serve_one(self, block=1):
        """Serve one request if one comes within `block` seconds; True when one was served."""
        item = self.client.blpop(self.req_key, timeout=block)
        if item is None:
            return False
        text = item[1]
        self.taken.append(text)
        req = json.loads(text)
        key = self.res_prefix + req["id"]
        self.client.rpush(key, self.answer(req))
        self.client.expire(key, self.expire)
        return True

    def run(self):
        while not self._stop.is_set():
            try:
                self.serve_one()
            except redis.RedisError:
                self._stop.wait(0.1)

    def start(self):
        self._thread = threading.Thread(target=self.run, name="test-bridge-agent", daemon=True)
        self._thread.start()
        return self

    def stop(self):
        self._stop.set()
        if self._thread is not None:
            self._thread.join(5)
        self.client.close()


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--host", default="127.0.0.1")
    ap.add_argument("--port", type=int, default=6379)
    ap.add_argument("--db", type=int, default=5)
    ap.add_argument("--key-prefix", default="kavrel:qmt")
    args = ap.parse_args()
    agent = EchoAgent(args.host, args.port, args.db, args.key_prefix)
    try:
        agent.run()
    except KeyboardInterrupt:
        pass


if __name__ == "__main__":
    main()
