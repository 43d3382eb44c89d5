// kavrel_trader.gateways.qmt.redis_bridge: what the parts of the module share.
//
// Here: the module's namespace (`globals`), its interned names (N()), the clean-up helpers
// of the event thread (on_failure, parked_call) and the functions that add each group of
// methods. The host operations (getattr, setattr, call_method, ignoring_errors, raise, ...)
// are those of py/host_ops.hpp, shared by every module.
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
#include <functional>
#include <thread>

#include "py/host_ops.hpp"
#include "py/pyhelpers.hpp"
#include "py/signature.hpp"

namespace kv {
namespace redis_bridge {

// The module's namespace: `redis`, `json`, `uuid`, `time`, `threading`, `print`, ...
extern ModuleNames globals;

// Attribute, method and key names used per call.
struct Names {
    Name key_prefix{"key_prefix"}, timeout{"timeout"}, r{"_r"}, pubsub{"_pubsub"},
        event_thread{"_event_thread"}, event_handler{"_event_handler"},
        stop_events{"_stop_events"}, subscription{"_event_subscription"};
    Name req_key{"req_key"}, res_key{"res_key"}, events_channel{"events_channel"},
        call{"call"}, stop_events_method{"stop_events"};
    Name is_set{"is_set"}, set{"set"}, wait{"wait"}, join{"join"}, is_alive{"is_alive"},
        close{"close"}, get_message{"get_message"}, subscribe{"subscribe"};
    Name type{"type"}, data{"data"}, message{"message"}, get{"get"}, withdrawn{"withdrawn"};
    Name redis_cls{"Redis"}, connection{"connection"}, connection_pool{"connection_pool"},
        sock{"_sock"};
    Name get_connection{"get_connection"}, send_packed_command{"send_packed_command"},
        pack_commands{"pack_commands"}, read_response{"read_response"},
        send_command{"send_command"}, socket_timeout{"socket_timeout"},
        settimeout{"settimeout"}, disconnect{"disconnect"}, release{"release"},
        delete_{"delete"}, rpush{"rpush"}, brpop{"brpop"}, lrem{"lrem"}, uuid4{"uuid4"},
        hex{"hex"}, time{"time"}, dumps{"dumps"}, loads{"loads"}, ok{"ok"}, error{"error"},
        pubsub_method{"pubsub"}, current_thread{"current_thread"}, event{"Event"},
        start{"start"}, rstrip{"rstrip"};
    // numbered events and the event log (event_log.cpp)
    Name recovered_handler{"_recovered_handler"}, last_seq{"_last_seq"}, seq{"seq"},
        event_field{"event"}, xrange{"xrange"}, xrevrange{"xrevrange"};
};
const Names& N();  // module.cpp

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

// ---------------------------------------------------------------- the event log

// True when a decoded event is to be delivered: it carries no number ("seq"), or one after
// the last delivered, which it then becomes.
bool take_in_order(py::handle self, py::handle event);
// The id of the newest entry of the event log; "0-0" when there is none or no answer.
py::object newest_logged(py::handle self);
// The logged events numbered after `after`, in order, each handed to `deliver` (which
// returns false to stop); false when stopped. A failed read raises.
bool replay_logged(py::handle self, py::handle after,
                   const std::function<bool(const py::object&)>& deliver);

// Methods of QmtRedisBridge, by concern.
void add_rpc_methods(py::module_& m, PyClassBuilder& cls);     // rpc.cpp: call, ping
void add_event_methods(py::module_& m, PyClassBuilder& cls);   // events.cpp: subscriber

}  // namespace redis_bridge
}  // namespace kv
