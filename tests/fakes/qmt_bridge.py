"""A recording stand-in for the QMT Redis bridge client.

Mirrors the client's public surface (`call`, `ping`, `start_events`, `stop_events`, `close`)
and its failure conventions: a time-out is the builtin TimeoutError carrying `withdrawn`,
an agent refusal a RuntimeError. Replies are programmed per operation; events are fired by
the test on the caller's thread.
"""


class FakeQmtBridge:
    """Construct through `FakeQmtBridge.factory(...)` and install it as `QmtRedisBridge`."""

    def __init__(self, replies=None, pong=None, **kwargs):
        self.kwargs = kwargs
        self.replies = dict(replies or {})
        self.pong = {"ok": "pong"} if pong is None else pong
        self.calls = []           # (op, params, timeout)
        self.handler = None
        self.recovered = None     # the second callback of start_events
        self.started = 0
        self.stopped = 0
        self.closed = 0

    @classmethod
    def factory(cls, replies=None, pong=None):
        """A callable that builds the bridge and remembers every instance it built."""
        made = []

        def make(**kwargs):
            bridge = cls(replies=replies, pong=pong, **kwargs)
            made.append(bridge)
            return bridge

        make.made = made
        return make

    # ------------------------------------------------------------ programming
    def reply(self, op, value):
        """The data `call(op)` returns; an exception instance is raised instead; a callable
        is called with the params and its result returned (or raised)."""
        self.replies[op] = value

    @staticmethod
    def timeout(op="place_order", withdrawn=None):
        err = TimeoutError(f"QMT Redis RPC timeout after 10.0s (op={op}, id={'0' * 32}). "
                           "Is the Big QMT bridge agent running?")
        if withdrawn is not None:
            err.withdrawn = withdrawn
        return err

    def fire(self, event):
        """Deliver one decoded event to the handler, as the event thread would."""
        assert self.handler is not None, "no subscriber"
        self.handler(event)

    def ops(self):
        return [c[0] for c in self.calls]

    # ------------------------------------------------------------ client surface
    def call(self, op, params=None, timeout=None):
        self.calls.append((op, params, timeout))
        value = self.replies.get(op)
        if callable(value) and not isinstance(value, type):
            value = value(params)
        if isinstance(value, BaseException):
            raise value
        return value

    def ping(self):
        self.calls.append(("ping", None, None))
        if isinstance(self.pong, BaseException):
            raise self.pong
        return self.pong

    def start_events(self, handler, recovered=None):
        self.stop_events()
        self.handler, self.recovered = handler, recovered
        self.started += 1

    def stop_events(self):
        self.stopped += 1
        self.handler = self.recovered = None

    def close(self):
        self.stop_events()
        self.closed += 1
