"""A stand-in for the threading module, for the bridge's event loop: a thread runs its target
at start(), on the calling thread, and an event never waits. start_events then returns only
once the loop has ended, so the loop can be driven thousands of times with no real thread
(fuzzing, leak rounds)."""


class Event:
    def __init__(self):
        self.flag = False

    def set(self):
        self.flag = True

    def clear(self):
        self.flag = False

    def is_set(self):
        return self.flag

    def wait(self, timeout=None):
        return self.flag


class Thread:
    def __init__(self, target=None, name=None, daemon=None):
        self.target, self.name, self.daemon, self.alive = target, name, daemon, False

    def start(self):
        self.alive = True
        try:
            self.target()
        finally:
            self.alive = False
            del self.target  # as threading.Thread.run drops its target when it ends

    def is_alive(self):
        return self.alive

    def join(self, timeout=None):
        pass


_MAIN = Thread()


def current_thread():
    """Never the event loop's own thread object, as for any caller of start/stop."""
    return _MAIN
