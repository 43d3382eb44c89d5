// CelHost and Start: the CEL object lives on a worker thread "cel_threadfunc" with its own
// COM apartment and message pump; the calling thread uses it through a marshalled proxy,
// configures and starts it, and at the end shuts it down and joins the worker.
//
// Hand-offs between the two threads are the host's three events: eventAllPrepared (worker
// to caller: the CEL object exists, is marshalled, both sinks listen), eventCELStarted
// (worker, through the internal sink, to caller: CEL started or reported an error) and
// shutdownEvent (caller to worker: stop pumping).
//
// Two waits of the caller have no time limit, yet neither outlives the worker: a worker that
// ends without setting the awaited event (COM or CEL could not be set up, a sink class
// raised, the pump failed) leaves its error in `_workerError`, and the caller raises it
// instead of waiting for an event nobody will set. Shutdown always signals the pump and
// joins the worker, also when CEL's own Shutdown raises, so the worker (not a daemon: the
// process waits for it) never keeps the process alive after Shutdown.
#include <optional>
#include <utility>

#include "common.hpp"

namespace kv {
namespace cel_host {
namespace {

// How often a waiting caller checks that the worker is still alive (seconds).
constexpr double kWorkerCheckSeconds = 0.05;

// The worker's error, kept for a caller that waits on it. Setting it cannot fail in any way
// the worker could report better than the error it is ending with.
void keep_worker_error(py::handle self, py::error_already_set& e) {
    if (PyObject_SetAttrString(self.ptr(), "_workerError", e.value().ptr()) < 0) PyErr_Clear();
}

// Raises the error the worker ended with, with the traceback it had on the worker.
[[noreturn]] void raise_worker_error(py::handle self) {
    py::object error = getattr_or(self, N().worker_error, py::none());
    if (!PyExceptionInstance_Check(error.ptr()))
        raise(PyExc_RuntimeError, "cel_threadfunc ended unexpectedly");
    PyObject* type = reinterpret_cast<PyObject*>(Py_TYPE(error.ptr()));
    PyObject* tb = PyException_GetTraceback(error.ptr());  // new reference or null
    Py_INCREF(type);
    PyErr_Restore(type, error.release().ptr(), tb);
    throw py::error_already_set();
}

// `thread` is a started thread that has ended.
bool worker_ended(py::handle thread) {
    return !thread.is_none() && !thread.attr("ident").is_none() &&
           !truthy(thread.attr("is_alive")());
}

// Waits on `event` without a time limit while the worker lives; raises the worker's error
// when it has ended without setting the event.
void wait_for_worker(py::handle self, py::handle event) {
    py::object wait = event.attr("wait");
    py::object thread = getattr_or(self, N().thread, py::none());
    py::float_ period(kWorkerCheckSeconds);
    for (;;) {
        if (truthy(wait(period))) return;
        if (!worker_ended(thread)) continue;
        if (truthy(event.attr("is_set")())) return;
        raise_worker_error(self);
    }
}

// ---------------------------------------------------------------- CelHost methods

py::object host_init(const Bound& a) {
    py::handle self = a[0];
    self.attr("eventCELStarted") = globals("threading").attr("Event")();
    self.attr("eventAllPrepared") = globals("threading").attr("Event")();
    self.attr("shutdownEvent") =
        globals("win32event").attr("CreateEvent")(py::none(), 0, 0, py::none());
    self.attr("errorHappened") = py::bool_(false);
    return py::none();
}

py::object host_Init(const Bound& a) {
    py::handle self = a[0], sink_type = a[1], custom = a[2];
    // A host runs once: a second worker would leave the first pumping for ever, and the
    // process, which waits for it, would never end.
    if (getattr_or(self, N().thread, py::handle()))
        raise(PyExc_RuntimeError, "CelHost.Init was already called");
    py::object thread = globals("Thread")(py::arg("target") = self.attr("threadedFunction"),
                                        py::arg("args") = py::make_tuple(sink_type),
                                        py::arg("name") = "cel_threadfunc",
                                        py::arg("daemon") = false);
    self.attr("thread") = thread;
    thread.attr("start")();

    trace("Waiting for CQGCEL creation..");
    wait_for_worker(self, self.attr("eventAllPrepared"));
    trace("CQGCEL is created!");
    trace("Marshaled CQGCEL from stream");
    py::object pythoncom = globals("pythoncom");
    py::object dispatch = pythoncom.attr("CoGetInterfaceAndReleaseStream")(
        self.attr("cqgCELStream"), pythoncom.attr("IID_IDispatch"));
    self.attr("cqgCEL") = globals("win32com").attr("client").attr("Dispatch")(dispatch);
    trace("CQGCEL is marshaled from stream!");

    self.attr("apiConfigurationSet")(custom);
    self.attr("startupCel")();
    if (truthy(self.attr("errorHappened"))) trace("Error happened during CQGCEL start up!");
    return self.attr("sink");
}

// Worker steps from creating the CEL object to setting eventAllPrepared. `cel` and
// `sink_internal` are the worker's own references, kept while it pumps messages.
void prepare(py::handle self, py::handle sink_type, py::object& cel, py::object& sink_internal) {
    py::object client = globals("win32com").attr("client");
    trace("CQG.CQGCEL.4 creation...");
    cel = client.attr("Dispatch")("CQG.CQGCEL.4");
    trace("CQG.CQGCEL.4 created!");

    trace("Marshal CQGCEL in stream");
    py::object pythoncom = globals("pythoncom");
    self.attr("cqgCELStream") = pythoncom.attr("CoMarshalInterThreadInterfaceInStream")(
        pythoncom.attr("IID_IDispatch"), cel);
    trace("CQGCEL is marshaled in stream");

    trace("Internal sink subscription to events");
    sink_internal = client.attr("WithEvents")(cel, globals("SinkInternal"));
    trace("Internal sink subscribed");

    trace("Sink subscription to events");
    self.attr("sink") = client.attr("WithEvents")(cel, sink_type);
    trace("Sink subscribed");

    sink_internal.attr("Init")(self.attr("eventCELStarted"), self);
    trace("Internal sink is initialized");
    self.attr("eventAllPrepared").attr("set")();
}

// The worker: COM apartment, CEL object, sinks, then the pump until Shutdown. A failure
// before eventAllPrepared is left for Init to raise and the worker ends quietly, its
// apartment left if it was entered; a later failure (the pump's) ends the worker with it.
void run_worker(py::handle self, py::handle sink_type) {
    trace("COM framework is initializing...");
    try {
        globals("pythoncom").attr("CoInitialize")();
    } catch (py::error_already_set& e) {
        keep_worker_error(self, e);  // no apartment to leave
        return;
    }
    trace("COM framework is initialized!");
    {
        py::object cel, sink_internal;
        bool prepared = false;
        try {
            prepare(self, sink_type, cel, sink_internal);
            prepared = true;
        } catch (py::error_already_set& e) {
            keep_worker_error(self, e);
        }
        if (prepared) {
            trace("Starting message pumping..");
            self.attr("pumpMessages")();
        }
    }  // the worker's references go before its apartment does
    trace("COM framework is uninitializing...");
    globals("pythoncom").attr("CoUninitialize")();
    trace("COM framework is uninitialized!");
}

py::object host_threadedFunction(const Bound& a) {
    try {
        run_worker(a[0], a[1]);
    } catch (py::error_already_set& e) {
        keep_worker_error(a[0], e);
        throw;  // ends the worker with the error, its apartment as it is
    }
    return py::none();
}

py::object host_pumpMessages(const Bound& a) {
    py::handle self = a[0];
    py::int_ one(1);
    for (;;) {
        py::object win32event = globals("win32event");
        py::object res = win32event.attr("MsgWaitForMultipleObjects")(
            py::make_tuple(self.attr("shutdownEvent")), 0, win32event.attr("INFINITE"),
            win32event.attr("QS_ALLEVENTS"));
        py::object first = win32event.attr("WAIT_OBJECT_0");
        if (eq(res, first)) return py::none();
        if (!eq(res, steal(PyNumber_Add(first.ptr(), one.ptr()))))
            raise(PyExc_RuntimeError, "unexpected win32wait return value");
        globals("pythoncom").attr("PumpWaitingMessages")();
    }
}

py::object host_apiConfigurationSet(const Bound& a) {
    py::handle self = a[0], custom = a[1];
    trace("CQGCEL default configuring...");
    py::object config = self.attr("cqgCEL").attr("APIConfiguration");
    config.attr("CollectionsThrowException") = py::bool_(false);
    config.attr("NewInstrumentChangeMode") = py::bool_(true);
    config.attr("ReadyStatusCheck") = py::int_(0);
    config.attr("TimeZoneCode") =
        globals("win32com").attr("client").attr("constants").attr("tzChina");
    config.attr("IncludeOrderTransactions") = py::bool_(true);
    config.attr("UseOrderSide") = py::bool_(true);
    if (custom.is_none()) return py::none();
    trace("CQGCEL custom configuring...");
    custom(self.attr("cqgCEL").attr("APIConfiguration"));
    return py::none();
}

py::object host_startupCel(const Bound& a) {
    py::handle self = a[0];
    trace("Startup CQGCEL..");
    self.attr("cqgCEL").attr("Startup")();
    trace("Waiting for CQGCEL start..");
    wait_for_worker(self, self.attr("eventCELStarted"));
    trace("CQGCEL has started.");
    return py::none();
}

py::object host_Shutdown(const Bound& a) {
    py::handle self = a[0];
    trace("CQGCEL is being shut down..");
    // CEL's own Shutdown may fail (or there is no CEL object when Init failed early): the
    // pump is stopped and the worker joined all the same, then the failure is raised.
    std::optional<py::error_already_set> failure;
    if (getattr_or(self, N().cqg_cel, py::handle())) {
        try {
            self.attr("cqgCEL").attr("Shutdown")();
        } catch (py::error_already_set& e) {
            failure = std::move(e);
        }
    }
    globals("win32event").attr("SetEvent")(self.attr("shutdownEvent"));
    py::object thread = getattr_or(self, N().thread, py::none());
    if (!thread.is_none() && !thread.attr("ident").is_none()) thread.attr("join")();
    if (failure) throw *failure;
    trace("CQGCEL is shut down.");
    return py::none();
}

// ---------------------------------------------------------------- Start

// host.Shutdown() after `error` ended the run; a failing shutdown keeps `error` as its
// context, as a `finally` clause would.
void shutdown_after(py::handle host, py::error_already_set& error) {
    try {
        host.attr("Shutdown")();
    } catch (py::error_already_set& e) {
        py::object context = error.value();
        PyException_SetContext(e.value().ptr(), context.release().ptr());
        throw;
    }
}

py::object start(const Bound& a) {
    py::object host = globals("CelHost")();
    try {
        try {
            py::object sample = host.attr("Init")(a[0], a[1]);
            if (!truthy(host.attr("errorHappened"))) {
                sample.attr("Init")(host);
                sample.attr("Start")();
            }
        } catch (py::error_already_set& e) {
            if (!e.matches(PyExc_Exception)) throw;
            globals("Trace")(py::str("Exception: {}").attr("format")(e.value()));
        }
    } catch (py::error_already_set& e) {
        shutdown_after(host, e);
        throw;
    } catch (...) {
        host.attr("Shutdown")();
        throw;
    }
    host.attr("Shutdown")();
    return py::none();
}

}  // namespace

void define_host(py::module_& m) {
    PyClassBuilder host(m, "CelHost");
    host.def("__init__", {"self"}, false, &host_init)
        .def("Init", {"self", "sinkType", "customAPIConfiguration"}, false, &host_Init)
        .def("threadedFunction", {"self", "sinkType"}, false, &host_threadedFunction)
        .def("pumpMessages", {"self"}, false, &host_pumpMessages)
        .def("apiConfigurationSet", {"self", "customAPIConfiguration"}, false,
             &host_apiConfigurationSet)
        .def("startupCel", {"self"}, false, &host_startupCel)
        .def("Shutdown", {"self"}, false, &host_Shutdown)
        .def("SetError", {"self"}, false, [](const Bound& a) {
            a[0].attr("errorHappened") = py::bool_(true);
            return py::none();
        });
    host.build(py::tuple());

    def(m, "Start", {{"sampleClassType"}, {"customConfiguration", py::none()}},
        [](const Bound& a) { return start(a); });
}

}  // namespace cel_host
}  // namespace kv
