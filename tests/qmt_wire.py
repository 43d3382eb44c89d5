"""The gateway's side of the bridge, as the agent tests speak it over a real Redis server."""
import json
import time
import uuid

PREFIX = "kavrel:qmt"


def send(r, op, params=None, req_id=None, prefix=PREFIX):
    req_id = req_id or uuid.uuid4().hex
    text = json.dumps({"id": req_id, "op": op, "params": params or {}, "ts": time.time()},
                      ensure_ascii=False)
    r.delete(prefix + ":res:" + req_id)
    r.rpush(prefix + ":req", text)
    return req_id


def call(r, op, params=None, prefix=PREFIX, wait=5):
    req_id = send(r, op, params, prefix=prefix)
    got = r.brpop([prefix + ":res:" + req_id], timeout=wait)
    assert got is not None, "no reply to %s" % op
    return json.loads(got[1])


def ok(r, op, params=None, **kw):
    reply = call(r, op, params, **kw)
    assert reply["ok"] is True, reply
    return reply["data"]


def wait_for(pred, wait=5.0):
    deadline = time.monotonic() + wait
    while time.monotonic() < deadline:
        if pred():
            return True
        time.sleep(0.02)
    return bool(pred())


class Events:
    """The event channel, subscribed before the agent acts."""

    def __init__(self, r, prefix=PREFIX):
        self.ps = r.pubsub(ignore_subscribe_messages=True)
        self.ps.subscribe(prefix + ":events")

    def take(self, n, wait=3.0, kind="order"):
        """Up to ``n`` events of type ``kind`` (their "data"), waiting at most ``wait``."""
        got, deadline = [], time.monotonic() + wait
        while len(got) < n and time.monotonic() < deadline:
            m = self.ps.get_message(timeout=0.1)
            if m is not None:
                ev = json.loads(m["data"])
                if ev["type"] == kind:
                    got.append(ev["data"])
        return got

    def close(self):
        self.ps.close()
