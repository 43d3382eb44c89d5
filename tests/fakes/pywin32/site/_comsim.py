"""A small simulation of COM for the pywin32 stand-ins.

Apartments are per-thread message queues. An object belongs to the apartment of the thread
that created it; another apartment reaches it only through an interface unmarshalled from a
stream, and every call through that proxy is posted to the owner's queue and runs when the
owner pumps messages (the caller blocks meanwhile), as a cross-apartment call does. Calls to
an apartment whose thread has ended fail with RPC_E_DISCONNECTED.

The registered component "CQG.CQGCEL.4" (`CQGCEL`) has an APIConfiguration object, and its
`Startup` posts OnCELStarted or OnDataError to its own thread's queue, as `behaviour` says.
Event sinks connect by class (`connect_events`); events reach them when their apartment's
queue is pumped. `behaviour` is reset between tests; `log` records what ran on which thread.
"""
import collections
import sys
import threading
import time
import traceback

from pywintypes import com_error

E_NOINTERFACE = -2147467262
E_INVALIDARG = -2147024809
CO_E_NOTINITIALIZED = -2147221008
CO_E_CLASSSTRING = -2147221005
TYPE_E_LIBNOTREGISTERED = -2147319779
RPC_E_DISCONNECTED = -2147417848
DISP_E_EXCEPTION = -2147352567

IID_IDispatch = "{00020400-0000-0000-C000-000000000046}"
CEL_PROGID = "CQG.CQGCEL.4"
CEL_TYPELIB = ("{51F35562-AEB4-4AB3-99E8-AC9666344B64}", 0, 4, 0)
CEL_CONSTANTS = {"tzChina": 9, "tzCentral": 1}

# One lock and condition for every queue and event: simple and free of lost wake-ups.
cond = threading.Condition()


class Aborted(BaseException):
    """Raised in every blocked fake call once a test has given up (see `abort`)."""


class Behaviour:
    def __init__(self):
        self.registered = {CEL_PROGID}
        self.typelib_registered = True
        self.co_initialize_error = None   # exception CoInitialize raises
        # "started", "data_error", "data_error_without_object", "silent" (no report),
        # "bad_wait" (the worker's next wait returns an unexpected value)
        self.startup = "started"
        self.data_error = (3, "Wrong user name or password")
        self.shutdown_error = None        # exception CQGCEL.Shutdown raises
        self.wait_results = []            # values MsgWaitForMultipleObjects returns first
        self.bad_wait_value = 258         # what the wait returns after a "bad_wait" Startup
        self.aborted = False


behaviour = Behaviour()
log = []            # (thread name, what, details)
components = []     # every CQGCEL created
constants = {}      # the type library's enumerations, once its wrapper exists


def record(what, *details):
    log.append((threading.current_thread().name, what, details))


def reset():
    global behaviour
    with cond:
        behaviour = Behaviour()
        log.clear()
        components.clear()


def abort():
    """Ends every blocked wait and call of the fakes (used when a test gave up)."""
    with cond:
        behaviour.aborted = True
        cond.notify_all()


def check_aborted():
    if behaviour.aborted:
        raise Aborted()


def error(hresult, text, excepinfo=None):
    return com_error(hresult, text, excepinfo, None)


# ---------------------------------------------------------------- apartments

class Apartment:
    def __init__(self, thread):
        self.thread = thread
        self.queue = collections.deque()
        self.inits = 0

    @property
    def alive(self):
        return self.thread.is_alive()


_local = threading.local()


def current():
    ap = getattr(_local, "apartment", None)
    if ap is None:
        ap = _local.apartment = Apartment(threading.current_thread())
    return ap


def require_initialized():
    if current().inits <= 0:
        raise error(CO_E_NOTINITIALIZED, "CoInitialize has not been called.")


def post(apartment, message):
    with cond:
        apartment.queue.append(message)
        cond.notify_all()


def pump_waiting():
    """Runs every message waiting in this thread's queue, those posted meanwhile included."""
    ap = current()
    while True:
        with cond:
            if not ap.queue:
                return
            message = ap.queue.popleft()
        message()


def call_in(apartment, fn):
    """fn() run in `apartment`: directly on its own thread, else as a cross-apartment call."""
    ap = current()
    if ap is apartment:
        return fn()
    require_initialized()
    done = threading.Event()
    box = {}

    def message():
        try:
            box["result"] = fn()
        except BaseException as e:  # noqa: B902 - handed back to the caller
            box["error"] = e
        finally:
            done.set()

    if not apartment.alive:
        raise error(RPC_E_DISCONNECTED, "The object invoked has disconnected from its clients.")
    post(apartment, message)
    while not done.wait(0.02):
        check_aborted()
        if not apartment.alive:
            raise error(RPC_E_DISCONNECTED, "The object invoked has disconnected from its clients.")
    if "error" in box:
        e = box["error"]
        if isinstance(e, com_error):
            raise e
        raise error(DISP_E_EXCEPTION, "Exception occurred.",
                    (0, type(e).__name__, str(e), None, 0, DISP_E_EXCEPTION)) from e
    return box["result"]


# ---------------------------------------------------------------- interfaces

class ComObject:
    """An object living in the apartment of the thread that created it."""

    def __init__(self):
        self._apartment = current()


class PyIDispatch:
    """A raw interface pointer: no properties of its own; Dispatch() wraps it."""

    def __init__(self, target, apartment):
        self._target = target
        self._apartment = apartment


class CDispatch:
    """Late-bound access to a COM object; across apartments every access is marshalled."""

    def __init__(self, target, apartment):
        object.__setattr__(self, "_target", target)
        object.__setattr__(self, "_apartment", apartment)

    def __getattr__(self, name):
        if name.startswith("_"):
            raise AttributeError(name)
        ap = self._apartment
        value = call_in(ap, lambda: getattr(self._target, name))
        if isinstance(value, ComObject):
            return CDispatch(value, ap)
        if callable(value):
            return lambda *args: wrap(call_in(ap, lambda: value(*args)), ap)
        return value

    def __setattr__(self, name, value):
        call_in(self._apartment, lambda: setattr(self._target, name, value))


def wrap(value, apartment):
    return CDispatch(value, apartment) if isinstance(value, ComObject) else value


def dispatch(obj):
    """win32com.client.Dispatch"""
    if isinstance(obj, str):
        require_initialized()
        if obj not in behaviour.registered:
            raise error(CO_E_CLASSSTRING, "Invalid class string")
        component = CQGCEL()
        record("create", obj)
        return CDispatch(component, component._apartment)
    if isinstance(obj, CDispatch):
        return obj
    if isinstance(obj, PyIDispatch):
        return CDispatch(obj._target, obj._apartment)
    raise TypeError("This COM object can not automate the makepy process - please run makepy manually for this object")


def target_of(obj):
    if isinstance(obj, (CDispatch, PyIDispatch)):
        return obj._target, obj._apartment
    raise TypeError("The Python object is invalid")


class PyIStream:
    def __init__(self, target, apartment):
        self.target = target
        self.apartment = apartment
        self.released = False


def marshal(iid, obj):
    require_initialized()
    if iid != IID_IDispatch:
        raise error(E_NOINTERFACE, "No such interface supported")
    target, ap = target_of(obj)
    if ap is not current():
        raise error(E_INVALIDARG, "The parameter is incorrect.")
    record("marshal")
    return PyIStream(target, ap)


def unmarshal(stream, iid):
    require_initialized()
    if iid != IID_IDispatch:
        raise error(E_NOINTERFACE, "No such interface supported")
    if not isinstance(stream, PyIStream) or stream.released:
        raise error(E_INVALIDARG, "The parameter is incorrect.")
    stream.released = True
    record("unmarshal")
    return PyIDispatch(stream.target, stream.apartment)


# ---------------------------------------------------------------- events

class EventsBase:
    """What WithEvents derives the sink class from: connects the instance to the source."""

    def __init__(self, source):
        self.__dict__["_source_"] = source
        source._sinks.append(self)


def connect_events(obj, user_event_class):
    """win32com.client.WithEvents"""
    target, ap = target_of(obj)
    if ap is not current():
        raise error(E_INVALIDARG, "Event sinks are connected on the object's own thread")
    result_class = type("COMEventClass", (EventsBase, user_event_class), {})
    instance = result_class(target)  # the first base's __init__ only, as pywin32 does
    if hasattr(user_event_class, "__init__"):
        user_event_class.__init__(instance)
    record("connect", user_event_class.__name__)
    return instance


def report_handler_error():
    # Like pywin32's gateway: the error is written to stderr and the event source goes on.
    sys.stderr.write("pythoncom error: Python error invoking COM method.\n")
    traceback.print_exc()


# ---------------------------------------------------------------- the CEL component

class APIConfiguration(ComObject):
    PROPERTIES = ("CollectionsThrowException", "NewInstrumentChangeMode", "ReadyStatusCheck",
                  "TimeZoneCode", "IncludeOrderTransactions", "UseOrderSide", "DefaultCurrency")

    def __init__(self):
        self.__dict__["_apartment"] = current()
        self.__dict__["history"] = []
        self.__dict__["values"] = {"CollectionsThrowException": True, "NewInstrumentChangeMode": False,
                                   "ReadyStatusCheck": 1, "TimeZoneCode": 0,
                                   "IncludeOrderTransactions": False, "UseOrderSide": False,
                                   "DefaultCurrency": "USD"}

    def __getattr__(self, name):
        try:
            return self.__dict__["values"][name]
        except KeyError:
            raise AttributeError(name) from None

    def __setattr__(self, name, value):
        if name not in self.PROPERTIES:
            raise AttributeError("Property 'APIConfiguration.%s' can not be set." % name)
        self.values[name] = value
        self.history.append((threading.current_thread().name, name, value))


class CELError(ComObject):
    def __init__(self, code, description):
        super().__init__()
        self.Code = code
        self.Description = description


class CQGCEL(ComObject):
    def __init__(self):
        super().__init__()
        self._sinks = []
        self.APIConfiguration = APIConfiguration()
        self.calls = []
        components.append(self)

    def _call(self, name):
        self.calls.append((threading.current_thread().name, name))
        record(name)

    def fire(self, name, *args):
        """Posts event `name` to this object's thread; it reaches the sinks when pumped."""
        def deliver():
            for sink in list(self._sinks):
                handler = getattr(sink, name, None)
                if handler is None:
                    continue
                try:
                    handler(*args)
                except Exception:
                    report_handler_error()
        post(self._apartment, deliver)

    def Startup(self):
        self._call("Startup")
        how = behaviour.startup
        if how == "started":
            self.fire("OnCELStarted")
        elif how == "data_error":
            err = CELError(*behaviour.data_error)
            self.fire("OnDataError", PyIDispatch(err, self._apartment), behaviour.data_error[1])
        elif how == "data_error_without_object":
            self.fire("OnDataError", None, behaviour.data_error[1])
        elif how == "bad_wait":
            behaviour.wait_results.append(behaviour.bad_wait_value)

    def Shutdown(self):
        self._call("Shutdown")
        if behaviour.shutdown_error is not None:
            raise behaviour.shutdown_error


# ---------------------------------------------------------------- Win32 events

class PyHANDLE:
    def __init__(self, manual, initial, name):
        self.manual = bool(manual)
        self.signalled = bool(initial)
        self.name = name


def wait_for_messages(handles, milliseconds, wait_object_0=0, wait_timeout=258):
    """MsgWaitForMultipleObjects for one thread: a signalled handle (an auto-reset one is
    reset), else input in the thread's queue, else the time-out."""
    if behaviour.wait_results:
        return behaviour.wait_results.pop(0)
    ap = current()
    infinite = milliseconds == 0xFFFFFFFF
    deadline = None if infinite else time.monotonic() + milliseconds / 1000.0
    with cond:
        while True:
            check_aborted()
            for i, h in enumerate(handles):
                if h.signalled:
                    if not h.manual:
                        h.signalled = False
                    return wait_object_0 + i
            if ap.queue:
                return wait_object_0 + len(handles)
            if deadline is not None:
                left = deadline - time.monotonic()
                if left <= 0:
                    return wait_timeout
                cond.wait(min(left, 0.5))
            else:
                cond.wait(0.5)


def set_event(handle):
    with cond:
        handle.signalled = True
        cond.notify_all()
