"""The CEL host over the pywin32 stand-ins: start-up, configuration, the message pump,
failures at every stage, shutdown, and which thread writes each trace line."""
import inspect
import os
import pickle
import subprocess
import sys
import threading
import time

import pytest

from fakes.pywin32 import SITE
from fakes.pywin32.harness import by_thread, cel, trace_lines, workers  # noqa: F401

pytestmark = pytest.mark.timeout(30)

WORKER_START = [
    "COM framework is initializing...", "COM framework is initialized!",
    "CQG.CQGCEL.4 creation...", "CQG.CQGCEL.4 created!",
    "Marshal CQGCEL in stream", "CQGCEL is marshaled in stream",
    "Internal sink subscription to events", "Internal sink ctor", "Internal sink subscribed",
    "Sink subscription to events", "Sink subscribed", "Internal sink is initialized",
    "Starting message pumping..",
]
WORKER_END = ["COM framework is uninitializing...", "COM framework is uninitialized!"]
CALLER_PREPARE = ["Waiting for CQGCEL creation..", "CQGCEL is created!", "Marshaled CQGCEL from stream",
                  "CQGCEL is marshaled from stream!", "CQGCEL default configuring..."]
CALLER_STARTUP = ["Startup CQGCEL..", "Waiting for CQGCEL start..", "CQGCEL has started."]
SHUTDOWN = ["CQGCEL is being shut down..", "CQGCEL is shut down."]
FIXED = [("CollectionsThrowException", False), ("NewInstrumentChangeMode", True), ("ReadyStatusCheck", 0),
         ("TimeZoneCode", 9), ("IncludeOrderTransactions", True), ("UseOrderSide", True)]


def app_class(mod, start=None, init=None):
    """An application sink that overrides one event and records what happens to it."""
    class App(mod.CELSinkBase):
        def __init__(self):
            self.calls = []

        def Init(self, celHost):
            self.calls.append("Init")
            self.host = celHost
            if init:
                init(self)

        def Start(self):
            self.calls.append("Start")
            if start:
                start(self)

        def OnOrderChanged(self, changeType, cqgOrder, oldProperties, cqgFill, cqgError):
            self.calls.append(("OnOrderChanged", changeType, threading.current_thread().name))
            self.host.eventOrder.set()
    return App


def wait_for_order_event(app):
    app.host.eventOrder = threading.Event()
    cel_object = app.cel.com.components[0]
    cel_object.fire("OnIdle")                        # not overridden: the base absorbs it
    cel_object.fire("OnTicksAdded", "ticks", 2)
    cel_object.fire("OnOrderChanged", 1, "order", None, None, None)
    assert app.host.eventOrder.wait(5)


def com_log(cel, what):
    return [thread for thread, w, _ in cel.com.log if w == what]


def test_start_runs_the_application_with_events_on_the_worker(cel, capsys):
    App = app_class(cel.mod, start=wait_for_order_event)
    App.cel = cel
    assert cel.mod.Start(App) is None
    out, err = capsys.readouterr()

    host = cel.com.components[0]._sinks[1].host
    worker = host.thread
    assert worker.name == "cel_threadfunc" and worker.daemon is False and not worker.is_alive()
    assert worker.ident != threading.get_ident()
    assert by_thread(out, worker.ident) == WORKER_START + ["SinkInternal: CELStarted!"] + WORKER_END
    assert by_thread(out, threading.get_ident()) == CALLER_PREPARE + CALLER_STARTUP + SHUTDOWN
    assert len(trace_lines(out)) == len(out.splitlines())

    sink = host.sink
    assert sink.calls == ["Init", "Start", ("OnOrderChanged", 1, "cel_threadfunc")]
    assert [type(s).__mro__[2].__name__ for s in cel.com.components[0]._sinks] == ["SinkInternal", "App"]
    # CEL's methods ran in its own apartment; COM lived and ended on the worker.
    assert cel.com.components[0].calls == [("cel_threadfunc", "Startup"), ("cel_threadfunc", "Shutdown")]
    assert com_log(cel, "CoInitialize") == com_log(cel, "CoUninitialize") == ["cel_threadfunc"]
    assert com_log(cel, "marshal") == ["cel_threadfunc"] and com_log(cel, "unmarshal") == ["MainThread"]
    assert host.errorHappened is False and host.eventAllPrepared.is_set() and host.eventCELStarted.is_set()
    assert "pythoncom error" not in err


def test_host_construction(cel):
    host = cel.mod.CelHost()
    assert vars(host).keys() == {"eventCELStarted", "eventAllPrepared", "shutdownEvent", "errorHappened"}
    assert not host.eventCELStarted.is_set() and host.eventCELStarted is not host.eventAllPrepared
    assert (host.shutdownEvent.manual, host.shutdownEvent.signalled, host.shutdownEvent.name) == (False, False, None)
    assert [d for _, w, d in cel.com.log if w == "CreateEvent"] == [(None, 0, 0, None)]
    host.SetError()
    assert host.errorHappened is True


@pytest.mark.parametrize("custom, expected, custom_traced", [
    (None, FIXED, False),
    (lambda cfg: setattr(cfg, "ReadyStatusCheck", 5), FIXED + [("ReadyStatusCheck", 5)], True),
    (lambda cfg: setattr(cfg, "DefaultCurrency", "EUR"), FIXED + [("DefaultCurrency", "EUR")], True),
])
def test_configuration_fixed_then_custom(cel, capsys, custom, expected, custom_traced):
    host = cel.mod.CelHost()
    host.Init(cel.mod.CELSinkBase, custom)
    try:
        config = cel.com.components[0].APIConfiguration
        assert [(n, v) for _, n, v in config.history] == expected
        assert {t for t, _, _ in config.history} == {"cel_threadfunc"}   # set through the proxy
        final = dict(expected)
        assert {n: config.values[n] for n in final} == final
    finally:
        host.Shutdown()
    caller = by_thread(capsys.readouterr().out, threading.get_ident())
    assert ("CQGCEL custom configuring..." in caller) is custom_traced
    assert caller[caller.index("CQGCEL default configuring...") + 1] == (
        "CQGCEL custom configuring..." if custom_traced else "Startup CQGCEL..")


@pytest.mark.parametrize("how, error_line", [
    ("data_error", ["SinkInternal: OnDataError: Code: 3 Description: Wrong user name or password"]),
    ("data_error_without_object", []),
])
def test_data_error_at_startup_skips_the_application(cel, capsys, how, error_line):
    cel.com.behaviour.startup = how
    App = app_class(cel.mod)
    assert cel.mod.Start(App) is None
    out = capsys.readouterr().out
    host = cel.com.components[0]._sinks[0].celHost
    assert host.errorHappened is True and host.sink.calls == []
    assert by_thread(out, host.thread.ident) == WORKER_START + error_line + WORKER_END
    assert by_thread(out, threading.get_ident()) == (
        CALLER_PREPARE + CALLER_STARTUP + ["Error happened during CQGCEL start up!"] + SHUTDOWN)
    assert not host.thread.is_alive() and com_log(cel, "CoUninitialize") == ["cel_threadfunc"]


def test_data_error_while_running_marks_the_host(cel):
    def start(app):
        app.cel.com.components[0].fire("OnDataError", None, "late")
        deadline = time.monotonic() + 5
        while not app.host.errorHappened and time.monotonic() < deadline:
            time.sleep(0.01)
    App = app_class(cel.mod, start=start)
    App.cel = cel
    cel.mod.Start(App)
    host = cel.com.components[0]._sinks[1].host
    assert host.errorHappened is True and host.sink.calls == ["Init", "Start"]


class Stop(BaseException):
    pass


def raise_(error):
    def f(app):
        raise error
    return f


@pytest.mark.parametrize("where", ["init", "start"])
def test_application_error_is_traced_then_shut_down(cel, capsys, where):
    fail = raise_(ValueError("order book empty"))
    App = app_class(cel.mod, **{where: fail})
    assert cel.mod.Start(App) is None
    out = capsys.readouterr().out
    caller = by_thread(out, threading.get_ident())
    assert caller[-3:] == ["Exception: order book empty"] + SHUTDOWN
    assert cel.com.components[0].calls[-1] == ("cel_threadfunc", "Shutdown")
    assert not workers() and com_log(cel, "CoUninitialize") == ["cel_threadfunc"]


def test_other_errors_escape_after_the_shutdown(cel, capsys):
    App = app_class(cel.mod, start=raise_(Stop("halt")))
    with pytest.raises(Stop, match="halt"):
        cel.mod.Start(App)
    caller = by_thread(capsys.readouterr().out, threading.get_ident())
    assert caller[-2:] == SHUTDOWN and not any(m.startswith("Exception") for m in caller)
    assert not workers()


@pytest.mark.parametrize("error_type", [Stop, SystemExit, KeyboardInterrupt])
@pytest.mark.parametrize("where", ["configuration", "init", "start"])
def test_a_failing_shutdown_keeps_the_error_that_ended_the_run(cel, where, error_type):
    error = error_type("halt")
    cel.com.behaviour.shutdown_error = cel.com.error(-2147467259, "Unspecified error")
    if where == "configuration":
        App, custom = app_class(cel.mod), raise_(error)
    else:
        App, custom = app_class(cel.mod, **{where: raise_(error)}), None
    with pytest.raises(cel.com.com_error, match="Unspecified error") as failure:
        cel.mod.Start(App, custom)
    assert failure.value.__context__ is error and not workers()


def test_custom_configuration_that_raises(cel, capsys):
    def custom(cfg):
        raise KeyError("ReadyStatusCheck")
    cel.mod.Start(app_class(cel.mod), custom)
    out = capsys.readouterr().out
    assert by_thread(out, threading.get_ident())[-4:] == [
        "CQGCEL custom configuring...", "Exception: 'ReadyStatusCheck'"] + SHUTDOWN
    assert [c for _, c in cel.com.components[0].calls] == ["Shutdown"]  # never started
    assert WORKER_END == [m for i, m in trace_lines(out) if i != threading.get_ident()][-2:]
    assert not workers()


def child_env(with_fakes):
    """This process's import path for a child, with or without the pywin32 stand-ins."""
    paths = ([SITE] if with_fakes else []) + [p for p in sys.path if p and p != SITE]
    return dict(os.environ, PYTHONPATH=os.pathsep.join(paths))


class FailingSink:
    def __init__(self):
        raise ValueError("sink refused")


def setup_failure(cel, case):
    com = cel.com
    if case == "not registered":
        com.behaviour.registered = set()
        return com.com_error, "Invalid class string", True
    if case == "CoInitialize":
        com.behaviour.co_initialize_error = com.error(-2147417850, "Cannot change thread mode after it is set.")
        return com.com_error, "thread mode", False
    return ValueError, "sink refused", True


@pytest.mark.parametrize("case", ["not registered", "CoInitialize", "sink raises"])
def test_startup_failures_reach_init(cel, capsys, case):
    error, match, com_was_up = setup_failure(cel, case)
    host = cel.mod.CelHost()
    with pytest.raises(error, match=match):
        host.Init(FailingSink if case == "sink raises" else cel.mod.CELSinkBase, None)
    host.thread.join(5)
    assert not host.thread.is_alive() and not host.eventAllPrepared.is_set()
    out = by_thread(capsys.readouterr().out, host.thread.ident)
    assert (out[-2:] == WORKER_END) is com_was_up
    assert com_log(cel, "CoUninitialize") == (["cel_threadfunc"] if com_was_up else [])
    host.Shutdown()                      # nothing left to stop: no error, no wait
    assert [m for m in by_thread(capsys.readouterr().out, threading.get_ident())] == SHUTDOWN


def test_any_error_that_ends_the_worker_reaches_init(cel, monkeypatch):
    class Closed(Exception):
        pass
    real = cel.mod.Trace

    def trace(message):
        if threading.current_thread().name == "cel_threadfunc":
            raise Closed("stdout closed")
        real(message)
    monkeypatch.setattr(cel.mod, "Trace", trace)
    monkeypatch.setattr(threading, "excepthook", lambda args: None)
    host = cel.mod.CelHost()
    with pytest.raises(Closed, match="stdout closed"):
        host.Init(cel.mod.CELSinkBase, None)
    host.Shutdown()
    assert not host.thread.is_alive()


@pytest.mark.parametrize("case", ["not registered", "sink raises"])
def test_startup_failure_in_start_is_traced(cel, capsys, case):
    setup_failure(cel, case)
    sink = FailingSink if case == "sink raises" else app_class(cel.mod)
    assert cel.mod.Start(sink) is None
    caller = by_thread(capsys.readouterr().out, threading.get_ident())
    assert caller[0] == "Waiting for CQGCEL creation.." and caller[1].startswith("Exception: ")
    assert caller[2:] == SHUTDOWN and not workers()


def test_shutdown_ends_the_worker_when_cel_shutdown_raises(cel, capsys):
    cel.com.behaviour.shutdown_error = cel.com.error(-2147467259, "Unspecified error")
    with pytest.raises(cel.com.com_error, match="Unspecified error"):
        cel.mod.Start(app_class(cel.mod))
    out = capsys.readouterr().out
    assert not workers() and com_log(cel, "SetEvent") == ["MainThread"]
    assert [m for i, m in trace_lines(out) if i != threading.get_ident()][-2:] == WORKER_END
    assert by_thread(out, threading.get_ident())[-1] == "CQGCEL is being shut down.."


@pytest.mark.timeout(60)
def test_process_exits_when_cel_shutdown_raises(tmp_path):
    script = tmp_path / "run.py"
    script.write_text(
        "import _comsim\n"
        "_comsim.behaviour.shutdown_error = _comsim.error(-2147467259, 'Unspecified error')\n"
        "from kavrel_trader.gateways.cqg.wrapper import CelHost\n"
        "class App(CelHost.CELSinkBase):\n"
        "    def Init(self, host): pass\n"
        "    def Start(self): pass\n"
        "CelHost.Start(App)\n")
    proc = subprocess.run([sys.executable, str(script)], capture_output=True, text=True, timeout=30,
                          env=child_env(with_fakes=True))
    assert proc.returncode == 1 and "Unspecified error" in proc.stderr
    assert "COM framework is uninitialized!" in proc.stdout


WAIT_VALUES = [258, 0xFFFFFFFF, 2, 0x80]


@pytest.mark.parametrize("value", WAIT_VALUES)
def test_unexpected_wait_result_ends_the_worker(cel, capsys, monkeypatch, value):
    ended = []
    monkeypatch.setattr(threading, "excepthook", lambda args: ended.append((args.thread.name, args.exc_value)))
    cel.com.behaviour.startup = "bad_wait"
    cel.com.behaviour.bad_wait_value = value
    host = cel.mod.CelHost()
    with pytest.raises(RuntimeError, match="^unexpected win32wait return value$"):
        host.Init(cel.mod.CELSinkBase, None)
    host.thread.join(5)
    out = capsys.readouterr()
    assert by_thread(out.out, host.thread.ident) == WORKER_START          # no COM uninitialisation
    assert [(n, str(e)) for n, e in ended] == [("cel_threadfunc", "unexpected win32wait return value")]
    assert com_log(cel, "CoUninitialize") == []
    with pytest.raises(cel.com.com_error):                                # CEL went with its thread
        host.Shutdown()
    assert not host.thread.is_alive()


@pytest.mark.parametrize("results, pumps", [([0], 0), ([1, 0], 1), ([1, 1, 1, 0], 3)])
def test_pump_dispatches_until_the_shutdown_index(cel, monkeypatch, results, pumps):
    host = cel.mod.CelHost()
    cel.com.behaviour.wait_results[:] = results
    calls = []
    monkeypatch.setattr(cel.mod, "pythoncom", type("PC", (), {"PumpWaitingMessages": staticmethod(lambda: calls.append(1))}))
    assert host.pumpMessages() is None
    assert len(calls) == pumps and cel.com.behaviour.wait_results == []


def test_init_waits_without_time_limit_while_cel_is_silent(cel, capsys):
    cel.com.behaviour.startup = "silent"
    host = cel.mod.CelHost()
    result = []

    def run():
        cel.fakes.pythoncom.CoInitialize()
        result.append(host.Init(cel.mod.CELSinkBase, None))
    caller = threading.Thread(target=run, daemon=True)
    caller.start()
    try:
        assert not host.eventCELStarted.wait(0.5) and caller.is_alive()
        cel.com.components[0].fire("OnCELStarted")
        caller.join(5)
        assert result == [host.sink]
    finally:
        host.Shutdown()


def test_a_host_runs_once(cel):
    host = cel.mod.CelHost()
    host.Init(cel.mod.CELSinkBase, None)
    try:
        with pytest.raises(RuntimeError, match="^CelHost.Init was already called$"):
            host.Init(cel.mod.CELSinkBase, None)
        assert len(workers()) == 1 and len(cel.com.components) == 1
    finally:
        host.Shutdown()


def test_worker_is_not_a_daemon_even_from_a_daemon_caller(cel):
    seen = {}

    def run():
        cel.fakes.pythoncom.CoInitialize()
        host = cel.mod.CelHost()
        host.Init(cel.mod.CELSinkBase, None)
        seen.update(name=host.thread.name, daemon=host.thread.daemon, ident=host.thread.ident)
        host.Shutdown()
    caller = threading.Thread(target=run, daemon=True)
    caller.start()
    caller.join(10)
    assert seen["name"] == "cel_threadfunc" and seen["daemon"] is False and seen["ident"] != caller.ident


def test_trace_lines_go_through_the_module_trace(cel, monkeypatch):
    seen = []
    monkeypatch.setattr(cel.mod, "Trace", lambda m: seen.append((threading.current_thread().name, m)))
    cel.mod.Start(app_class(cel.mod))
    assert [m for t, m in seen if t == "cel_threadfunc"] == WORKER_START + ["SinkInternal: CELStarted!"] + WORKER_END
    assert [m for t, m in seen if t == "MainThread"] == CALLER_PREPARE + CALLER_STARTUP + SHUTDOWN


class Recorder:
    def __init__(self):
        self.parts, self.flushes = [], 0

    def write(self, s):
        self.parts.append(s)

    def flush(self):
        self.flushes += 1


def test_trace_writes_the_thread_ident_and_flushes(cel, monkeypatch):
    rec = Recorder()
    monkeypatch.setattr(sys, "stdout", rec)
    cel.mod.Trace("hello")
    other = threading.Thread(target=cel.mod.Trace, args=("from elsewhere",))
    other.start()
    other.join()
    assert "".join(rec.parts) == f"{threading.get_ident()}: hello\n{other.ident}: from elsewhere\n"
    assert rec.flushes == 2


@pytest.mark.parametrize("message, kind", [(5, "int"), (None, "NoneType"), (b"x", "bytes")])
def test_trace_needs_text(cel, message, kind):
    with pytest.raises(TypeError, match=rf'^can only concatenate str \(not "{kind}"\) to str$'):
        cel.mod.Trace(message)


@pytest.mark.parametrize("condition, raises", [
    (True, False), (1, False), ("x", False), ([0], False),
    (False, True), (0, True), ("", True), ([], True), (None, True)])
def test_assert_message(cel, condition, raises):
    if raises:
        with pytest.raises(RuntimeError) as info:
            cel.mod.AssertMessage(condition, "CEL is not ready")
        assert info.value.args == ("CEL is not ready",)
    else:
        assert cel.mod.AssertMessage(condition, "CEL is not ready") is None


SIGNATURES = [
    (None, "AssertMessage", "condition, message"), (None, "Trace", "message"),
    (None, "Start", "sampleClassType, customConfiguration=None"),
    ("CelHost", "__init__", "self"), ("CelHost", "Init", "self, sinkType, customAPIConfiguration"),
    ("CelHost", "threadedFunction", "self, sinkType"), ("CelHost", "pumpMessages", "self"),
    ("CelHost", "apiConfigurationSet", "self, customAPIConfiguration"), ("CelHost", "startupCel", "self"),
    ("CelHost", "Shutdown", "self"), ("CelHost", "SetError", "self"),
    ("SinkInternal", "__init__", "self"), ("SinkInternal", "Init", "self, eventCELStarted, celHost"),
    ("SinkInternal", "OnCELStarted", "self"), ("SinkInternal", "OnDataError", "self, cqgError, errorDescription"),
]


def argument_error(f, args, kwargs):
    try:
        f(*args, **kwargs)
    except TypeError as e:
        return str(e)


@pytest.mark.parametrize("cls, name, params", SIGNATURES)
def test_functions_and_methods_take_arguments_as_defs(cel, cls, name, params):
    ns = {}
    code = f"def {name}({params}):\n    pass\n"
    exec(f"class {cls}:\n    " + code.replace("\n    ", "\n        ") if cls else code, ns)
    ref = getattr(ns[cls], name) if cls else ns[name]
    f = getattr(getattr(cel.mod, cls), name) if cls else getattr(cel.mod, name)
    n = len(inspect.signature(ref).parameters)
    for args, kwargs in [((), {}), ((0,) * (n + 1), {}), ((0,) * n, {"bogus": 0})]:
        assert argument_error(f, args, kwargs) == argument_error(ref, args, kwargs) is not None
    if not cls:
        assert inspect.signature(f) == inspect.signature(ref) and f.__doc__ is None
        assert pickle.loads(pickle.dumps(f)) is f


def run_import(code, with_fakes=True):
    return subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=30,
                          env=child_env(with_fakes))


@pytest.mark.timeout(60)
def test_import_makes_sure_of_the_type_library():
    proc = run_import(
        "import _comsim\n"
        "from kavrel_trader.gateways.cqg.wrapper import CelHost as m\n"
        "import pythoncom, win32event, win32com.client, threading, sys\n"
        "print([e for e in _comsim.log if e[1] == 'EnsureModule'])\n"
        "print(m.pythoncom is pythoncom, m.win32event is win32event, m.win32com.client is win32com.client,\n"
        "      m.threading is threading, m.Thread is threading.Thread, m.sys is sys)\n")
    assert proc.returncode == 0, proc.stderr
    assert proc.stdout.splitlines() == [
        "[('MainThread', 'EnsureModule', ('{51F35562-AEB4-4AB3-99E8-AC9666344B64}', 0, 4, 0))]",
        "True True True True True True"]


@pytest.mark.timeout(60)
@pytest.mark.parametrize("code, error", [
    ("", "ModuleNotFoundError: No module named 'pythoncom'"),
    ("import _comsim; _comsim.behaviour.typelib_registered = False\n",
     "pywintypes.com_error: (-2147319779, 'Library not registered.', None, None)"),
])
def test_import_failures_are_the_hosts_errors(code, error):
    # A second attempt fails the same way: nothing half-defined was left behind.
    proc = run_import(code + "try:\n    import kavrel_trader.gateways.cqg.wrapper.CelHost\n"
                             "except ImportError as e:\n    print('first', type(e).__name__)\n"
                             "except Exception as e:\n    print('first', type(e).__name__)\n"
                             "from kavrel_trader.gateways.cqg.wrapper import CelHost\n", with_fakes=bool(code))
    assert proc.returncode == 1 and proc.stderr.rstrip().splitlines()[-1] == error
    assert proc.stdout.split() == ["first", error.split(":")[0].split(".")[-1]]
