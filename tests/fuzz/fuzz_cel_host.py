"""CEL host over the pywin32 stand-ins: the sink's 104 handlers called as COM calls them (any
arguments, arities and names), the internal sink, Trace and AssertMessage, the host's calls
with bad arguments, and whole runs (Init, events through the worker's pump, Shutdown) that
must never leave the worker behind.
"""
import contextlib
import io
import threading

from hypothesis import strategies as st

from fakes.pywin32.harness import load, workers
from test_cel_host_sink import TABLE  # handler names and parameters, as the class defines them

from . import target
from .hostile import Boom, anything, hostile_objects, texts

mod, fakes = load()
com = fakes.comsim
COM_ERROR = com.com_error
BASE = mod.CELSinkBase
HANDLERS = [n for n in vars(BASE) if n.startswith("On")]
assert len(HANDLERS) == 104


def reference(name, params):
    """The same handler as a plain def."""
    ns = {}
    exec("def %s(%s):\n    pass\n" % (name, ", ".join(["self"] + params)), ns)
    return ns[name], params


REFS = {n: reference(n, p) for n, p in TABLE}
assert list(REFS) == HANDLERS


def outcome(fn, *args, **kwargs):
    try:
        return fn(*args, **kwargs)
    except TypeError:
        return TypeError


def quiet():
    stack = contextlib.ExitStack()
    stack.enter_context(contextlib.redirect_stdout(io.StringIO()))
    stack.enter_context(contextlib.redirect_stderr(io.StringIO()))
    return stack


args_lists = st.lists(st.one_of(anything(2), hostile_objects), max_size=6)
kw_names = st.one_of(st.sampled_from(["symbol", "cqgError", "index", "newStatus", "self", "bogus",
                                      "changeType", "cqgOrder"]), texts)


@target(st.tuples(st.integers(0, 103), args_lists, st.dictionaries(kw_names, anything(1), max_size=3),
                  st.booleans()), allowed=(TypeError,))
def sink_handlers(index, args, kwargs, subclass):
    name = HANDLERS[index]
    ref, params = REFS[name]
    kwargs = {k: v for k, v in kwargs.items() if type(k) is str}
    sink = (_Sub if subclass else BASE)()
    want = outcome(ref, sink, *args, **kwargs)
    got = outcome(getattr(sink, name), *args, **kwargs)
    assert got is want, (name, len(args), sorted(kwargs), got, want)
    assert vars(sink) == {}


class _Sub(BASE):
    """An application sink: its own handlers over the base's."""


# ---------------------------------------------------------------- the internal sink

class _Event:
    def __init__(self):
        self.set_calls = 0

    def set(self):
        self.set_calls += 1


class _Host:
    errorHappened = False

    def SetError(self):
        self.errorHappened = True


def error_objects(code, description):
    return com.PyIDispatch(com.CELError(code, description), com.current())


cel_errors = st.one_of(
    st.none(),
    st.builds(lambda c, d: ("error", c, d), st.one_of(st.integers(), anything(1)), st.one_of(texts, anything(1))),
    st.sampled_from(["CQG.CQGCEL.4", "x", 5]),
    anything(2))


@target(st.tuples(st.integers(0, 3), cel_errors, anything(2), st.booleans()),
        allowed=(TypeError, AttributeError, ValueError, COM_ERROR))
def internal_sink(which, error, other, good_parts):
    sink = mod.SinkInternal.__new__(mod.SinkInternal)
    event, host = (_Event(), _Host()) if good_parts else (other, other)
    with quiet():
        sink.Init(event, host)
        assert sink.eventCELStarted is event and sink.celHost is host
        if which == 0:
            assert sink.OnCELStarted() is None
            assert event.set_calls == 1
        elif which == 1:
            if isinstance(error, tuple) and error and error[0] == "error":
                error = error_objects(error[1], error[2])
            try:
                assert sink.OnDataError(error, other) is None
            except Exception:
                # Without an error object nothing but the host and the event is touched.
                assert not (error is None and good_parts), "OnDataError(None, ...) raised"
                raise
            assert host.errorHappened is True and event.set_calls == 1
        elif which == 2:
            assert sink.OnIdle() is None and sink.OnDataConnectionStatusChanged(other) is None
        else:
            mod.SinkInternal()  # the traced constructor


@target(st.tuples(st.one_of(texts, anything(2)), st.one_of(anything(2), st.booleans())), allowed=(TypeError,))
def trace_and_assert(message, condition):
    out = io.StringIO()
    with contextlib.redirect_stdout(out):
        mod.Trace(message)
    assert isinstance(message, str)
    assert out.getvalue() == "%d: " % threading.get_ident() + message + "\n"  # no str() of it
    try:
        truth = bool(condition)
    except Boom:
        truth = None
    try:
        assert mod.AssertMessage(condition, message) is None
        assert truth is True
    except RuntimeError as e:
        assert truth is False and e.args == (message,)


# ---------------------------------------------------------------- host calls without a worker

waits = st.lists(st.one_of(st.sampled_from([1, 1.0, True, 2, 258, -1, "0", None]), anything(1)), max_size=4)


@target(st.tuples(st.integers(0, 3), anything(2), waits), allowed=(TypeError, AttributeError, COM_ERROR))
def host_calls(which, arg, wait_results):
    com.reset()
    with quiet():
        host = mod.CelHost()
        if which == 0:
            # No CEL object yet: the fixed settings cannot be applied.
            try:
                host.apiConfigurationSet(arg)
            except AttributeError:
                return
            raise AssertionError("configured without a CEL object")
        elif which == 1:
            host.SetError()
            assert host.errorHappened is True
        elif which == 2:
            assert host.Shutdown() is None  # never started: nothing to join
            assert not hasattr(host, "thread")
        else:
            com.behaviour.wait_results[:] = list(wait_results) + [0]  # 0: the shutdown index
            try:
                assert host.pumpMessages() is None
            except RuntimeError as e:
                assert str(e) == "unexpected win32wait return value", e


# ---------------------------------------------------------------- whole runs

def _raises(host_cfg):
    raise Boom("custom configuration")


customs = st.one_of(st.none(), st.sampled_from([_raises, lambda cfg: None, len, 5, "x"]), anything(1))
events = st.lists(st.tuples(st.integers(0, 103), st.lists(anything(2), max_size=5)), max_size=4)


@target(st.tuples(customs, st.sampled_from(["started", "data_error", "data_error_without_object"]),
                  st.booleans(), events, st.booleans()),
        allowed=(TypeError, AttributeError, COM_ERROR))
def host_run(custom, startup, shutdown_fails, fired, use_start):
    com.reset()
    com.behaviour.startup = startup
    if shutdown_fails:
        com.behaviour.shutdown_error = com.error(-2147467259, "Unspecified error")
    seen = []

    class App(BASE):
        def Init(self, host):
            self.host = host

        def Start(self):
            for index, args in fired:
                com.components[0].fire(HANDLERS[index], *args)

        def OnIdle(self):
            seen.append(threading.current_thread().name)

    try:
        with quiet():
            if use_start:
                assert mod.Start(App, custom) is None
            else:
                host = mod.CelHost()
                try:
                    sink = host.Init(App, custom)
                    assert isinstance(sink, App)
                    sink.Init(host)
                    sink.Start()
                finally:
                    host.Shutdown()
    finally:
        left = workers()
        if left:
            com.abort()
            for t in left:
                t.join(5)
        assert not left, "a cel_threadfunc worker outlived Shutdown"
    assert set(seen) <= {"cel_threadfunc"}
