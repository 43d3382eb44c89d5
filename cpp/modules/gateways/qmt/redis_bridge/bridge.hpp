// Shared pieces of kavrel_trader.gateways.qmt.redis_bridge: the module namespace, the
// interned attribute names of QmtRedisBridge objects and small attribute helpers.
//
// QmtRedisBridge is a Python class (PyClassBuilder) whose state lives in the instance
// __dict__, so every attribute (`_r`, `timeout`, `_event_handler`, ...) is read when used
// and a host or a test may replace it, as with a class written in Python.
#pragma once

#include <pybind11/pybind11.h>

#if defined(__GLIBCXX__)
#include <cxxabi.h>  // abi::__forced_unwind
#endif

#include <chrono>
#include <thread>

#include "py/pyhelpers.hpp"
#include "py/signature.hpp"

namespace kv {
namespace qmtbridge {
namespace py = pybind11;

// The module's namespace: `redis`, `json`, `uuid`, `time`, `threading`, `print`, ...
extern ModuleNames g_names;

// Interned names, made once at import.
struct Names {
    PyObject *key_prefix, *timeout, *r, *pubsub, *event_thread, *event_handler, *stop_events,
        *subscription;
    PyObject *req_key, *res_key, *events_channel, *call, *stop_events_method;
    PyObject *is_set, *set, *wait, *join, *is_alive, *close, *get_message, *subscribe;
    PyObject *type, *data, *message, *ok, *error, *get;
    PyObject *withdrawn;
};
const Names& names();
void init_names();

inline py::object getattr(py::handle o, PyObject* name) {
    return steal(PyObject_GetAttr(o.ptr(), name));
}
inline void setattr(py::handle o, PyObject* name, py::handle v) {
    if (PyObject_SetAttr(o.ptr(), name, v.ptr()) < 0) throw py::error_already_set();
}
// o.name(args...)
template <class... Args>
py::object callmethod(py::handle o, PyObject* name, Args&&... args) {
    return getattr(o, name)(std::forward<Args>(args)...);
}
// Bound argument i as an owned reference.
inline py::object arg(const Bound& a, size_t i) { return py::reinterpret_borrow<py::object>(a[i]); }

// Runs `fn` and swallows any Exception it raises (BaseException such as KeyboardInterrupt
// still propagates). For best-effort clean-up: closing handles and connections.
template <class Fn>
void ignoring_errors(Fn&& fn) {
    try {
        fn();
    } catch (py::error_already_set& e) {
        if (!e.matches(PyExc_Exception)) throw;
    }
}

// Runs `body`; when it throws, runs `cleanup` and rethrows. A thread ended by the runtime
// (a daemon thread at interpreter exit, without the GIL) is let go without the clean-up,
// which would call into the interpreter.
template <class Body, class Cleanup>
void on_failure(Body&& body, Cleanup&& cleanup) {
    try {
        body();
#if defined(__GLIBCXX__)
    } catch (abi::__forced_unwind&) {
        throw;
#endif
    } catch (...) {
        cleanup();
        throw;
    }
}

// fn(*args, **kw) for calls a thread may be blocked in (reads, waits, the event handler).
// When the interpreter finalizes while a daemon thread is inside such a call, it ends the
// thread as soon as the thread wants the GIL back; with glibc that unwinds the thread's
// stack, and the clean-up of native frames would release Python objects without the GIL
// while the interpreter tears down. Here the thread is parked for good instead, like a
// pure-Python thread at that point, until the process exits.
inline py::object parked_call(py::handle fn, const py::tuple& args, py::handle kw = py::handle()) {
    PyObject* r = nullptr;
#if defined(__GLIBCXX__)
    try {
        r = PyObject_Call(fn.ptr(), args.ptr(), kw.ptr());
    } catch (abi::__forced_unwind&) {
        for (;;) std::this_thread::sleep_for(std::chrono::hours(24));
    }
#else
    r = PyObject_Call(fn.ptr(), args.ptr(), kw.ptr());
#endif
    return steal(r);
}

// Methods of QmtRedisBridge, by concern.
void add_rpc_methods(py::module_& m, PyClassBuilder& cls);     // rpc.cpp: call, ping
void add_event_methods(py::module_& m, PyClassBuilder& cls);   // events.cpp: subscriber

}  // namespace qmtbridge
}  // namespace kv
