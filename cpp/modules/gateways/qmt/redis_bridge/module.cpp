// kavrel_trader.gateways.qmt.redis_bridge: QmtRedisBridge, the request/reply client and
// event subscriber between the QMT gateway and the bridge agent beside the terminal.
//
// Requests are JSON objects pushed on the Redis list <prefix>:req; each reply comes back on
// its own list <prefix>:res:<request id>; the agent publishes events on <prefix>:events.
// The Redis client (`redis`), `json`, `uuid`, `time`, `threading` and `print` are module
// attributes read when used, so a host or a test can swap any of them.
//
// This file: module set-up, construction, key names and close. rpc.cpp: call and ping.
// events.cpp: the event subscriber and its thread. event_log.cpp: event numbers and the
// replay of the agent's event log.
#include <pybind11/pybind11.h>

#include <algorithm>
#include <string>

#include "py/module_entry.hpp"
#include "bridge.hpp"

namespace kv {
namespace redis_bridge {

ModuleNames globals;

const Names& N() {
    static const Names n;
    return n;
}

namespace {

const char* const kNoRedis =
    "redis is required for the QMT gateway. Install with: pip install kavrel-trader[qmt]";

// An optional text argument: None or a str.
void check_optional_str(py::handle v, const char* arg) {
    if (!v.is_none() && !PyUnicode_Check(v.ptr())) raise_arg_type(arg, "str", v);
}

py::object init(const Bound& a) {
    const Names& n = N();
    py::handle self = a[0];
    check_str(a[1], "host");
    py::int_ port = to_int_arg(a[2], "port");
    check_optional_str(a[3], "password");
    py::int_ db = to_int_arg(a[4], "db");
    check_str(a[5], "key_prefix");
    const double timeout = to_double_arg(a[6], "timeout");

    setattr(self, n.key_prefix, call_method(a[5], n.rstrip, py::str(":")));
    setattr(self, n.timeout, py::float_(timeout));

    // The client: text replies, connect time-out capped at 5 s, read/write time-out one
    // second above the default wait, RESP2. Nothing connects until the first command.
    py::dict kw;
    kw["host"] = arg(a, 1);
    kw["port"] = port;
    kw["db"] = db;
    kw["decode_responses"] = true;
    kw["socket_connect_timeout"] = py::float_(std::min(timeout, 5.0));
    kw["socket_timeout"] = py::float_(timeout + 1.0);
    kw["protocol"] = 2;
    if (!a[3].is_none() && truthy(a[3])) kw["password"] = arg(a, 3);
    py::object redis_cls = globals("redis").attr("Redis");
    py::object client;
    try {
        client = redis_cls(**kw);
    } catch (py::error_already_set& e) {
        // Clients before redis-py 5 speak RESP2 only and take no `protocol` argument.
        if (!e.matches(PyExc_TypeError) ||
            py::str(e.value()).cast<std::string>().find("protocol") == std::string::npos)
            throw;
        PyDict_DelItemString(kw.ptr(), "protocol");
        client = redis_cls(**kw);
    }
    setattr(self, n.r, client);
    setattr(self, n.pubsub, py::none());
    setattr(self, n.event_thread, py::none());
    setattr(self, n.event_handler, py::none());
    setattr(self, n.recovered_handler, py::none());
    setattr(self, n.last_seq, py::none());
    setattr(self, n.stop_events, call_method(globals("threading"), n.event));
    return py::none();
}

// prefix + suffix, the prefix read from the object.
py::object prefixed(py::handle self, const char* suffix) {
    py::object prefix = getattr(self, N().key_prefix);
    return steal(PyNumber_Add(prefix.ptr(), py::str(suffix).ptr()));
}

py::object close(const Bound& a) {
    py::handle self = a[0];
    call_method(self, N().stop_events_method);
    ignoring_errors([&] { call_method(getattr(self, N().r), N().close); });
    return py::none();
}

// property(fget) for a read-only attribute computed from the object.
template <class Body>
py::object read_only(py::module_& m, const char* name, Body&& body, const char* doc) {
    py::object fget = detail::make_function(m.attr("__name__").cast<std::string>(), name,
                                            std::string("QmtRedisBridge.") + name, {{"self"}},
                                            false, std::forward<Body>(body), doc);
    return py::module_::import("builtins").attr("property")(fget, py::none(), py::none(), doc);
}

}  // namespace
}  // namespace redis_bridge
}  // namespace kv

KV_MODULE(redis_bridge, m) {
    namespace b = kv::redis_bridge;
    b::N();
    m.doc() = "Redis request/reply client and event subscriber for the QMT bridge agent.";

    // Without the client package the import fails with ImportError(kNoRedis), chained
    // from the loader's own error, as `except ImportError as e: raise ... from e` would.
    try {
        m.attr("redis") = py::module_::import("redis");
    } catch (py::error_already_set& e) {
        if (!e.matches(PyExc_ImportError)) throw;
        kv::raise_from(e, PyExc_ImportError, b::kNoRedis);
    }
    kv::import_name(m, "collections.abc", "Mapping");
    m.attr("json") = py::module_::import("json");
    m.attr("threading") = py::module_::import("threading");
    m.attr("time") = py::module_::import("time");
    m.attr("uuid") = py::module_::import("uuid");
    for (const char* name : {"Any", "Callable", "Dict", "Optional"})
        kv::import_name(m, "typing", name);
    // EventHandler = Callable[[Dict[str, Any]], None]
    py::object str_any = m.attr("Dict")[py::make_tuple(py::type::of(py::str()), m.attr("Any"))];
    m.attr("EventHandler") =
        m.attr("Callable")[py::make_tuple(py::make_tuple(str_any), py::none())];

    b::globals.bind(m);

    kv::PyClassBuilder cls(m, "QmtRedisBridge",
                           "Thin Redis request/reply + optional event subscriber.");
    cls.def("__init__",
            {{"self"}, {"host", py::str("127.0.0.1")}, {"port", py::int_(6379)},
             {"password", py::none()}, {"db", py::int_(5)}, {"key_prefix", py::str("kavrel:qmt")},
             {"timeout", py::float_(10.0)}},
            false, &b::init);
    cls.attr("req_key", b::read_only(
                            m, "req_key",
                            [](const kv::Bound& a) { return b::prefixed(a[0], ":req"); },
                            "The request list: prefix + \":req\"."));
    cls.attr("events_channel",
             b::read_only(
                 m, "events_channel",
                 [](const kv::Bound& a) { return b::prefixed(a[0], ":events"); },
                 "The event channel: prefix + \":events\"."));
    cls.def("res_key", {{"self"}, {"req_id"}}, false,
            [](const kv::Bound& a) {
                kv::check_str(a[1], "req_id");
                py::object head = b::prefixed(a[0], ":res:");
                return kv::steal(PyNumber_Add(head.ptr(), a[1].ptr()));
            },
            "The reply list of request `req_id`: prefix + \":res:\" + req_id.");
    b::add_rpc_methods(m, cls);
    b::add_event_methods(m, cls);
    cls.def("close", {{"self"}}, false, &b::close,
            "Stop the event subscriber and close the Redis client.");
    cls.build(py::tuple());
}
