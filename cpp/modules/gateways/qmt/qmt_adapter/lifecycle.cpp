// kavrel_trader.gateways.qmt.qmt_adapter: construction, close, trade mode and subscribe.
#include <pybind11/pybind11.h>

#include "adapter.hpp"

namespace kv {
namespace qmt_adapter {
namespace {

// super(QmtAdapter, self).__init__(securities, gateway_name, **kwargs)
void init_base(py::handle self, py::handle securities, py::handle gateway_name, const py::dict& kwargs) {
    py::object sup = steal(PyObject_CallFunctionObjArgs(reinterpret_cast<PyObject*>(&PySuper_Type),
                                                        adapter_class, self.ptr(), nullptr));
    py::object init = sup.attr("__init__");
    py::tuple args = py::make_tuple(securities, gateway_name);
    steal(PyObject_Call(init.ptr(), args.ptr(), kwargs.ptr()));
}

py::object make_bridge(py::handle self) {
    py::object password = cfg_get(self, "redis_password", py::none());
    if (!truthy(password)) password = py::none();
    py::dict kw;
    kw["host"] = cfg_get(self, "redis_host", py::str("127.0.0.1"), true);
    kw["port"] = steal(PyNumber_Long(cfg_get(self, "redis_port", py::int_(6379), true).ptr()));
    kw["password"] = password;
    kw["db"] = steal(PyNumber_Long(cfg_get(self, "redis_db", py::int_(5), true).ptr()));
    kw["key_prefix"] = cfg_get(self, "key_prefix", py::str("kavrel:qmt"), true);
    kw["timeout"] = steal(PyNumber_Float(cfg_get(self, "rpc_timeout", py::float_(10.0), true).ptr()));
    py::object cls = globals("QmtRedisBridge");
    py::tuple none;
    return steal(PyObject_Call(cls.ptr(), none.ptr(), kw.ptr()));
}

py::object init(const Bound& a) {
    py::handle self = a[0], securities = a[1], gateway_name = a[2];
    check_str(gateway_name, "gateway_name");
    init_base(self, securities, gateway_name, a.kwargs());
    self.attr("fees") = a[5];
    self.attr("start") = a[3];
    self.attr("end") = a[4];
    py::object cfg = getitem(globals("GATEWAYS"), gateway_name);
    setattr(self, N().cfg, cfg);
    setattr(self, N().recent_bars, steal(PyDict_New()));
    // The state of the order events (order_events.cpp).
    setattr(self, N().order_lock, globals("threading").attr("RLock")());
    setattr(self, N().held_events, py::list());
    setattr(self, N().held_dropped_line, py::none());
    setattr(self, N().cancel_marked, py::set());
    setattr(self, N().unknown_since, py::dict());
    setattr(self, N().reconcile_timer, py::none());
    setattr(self, N().reconcile_ops, py::bool_(true));
    setattr(self, N().closed, py::bool_(false));

    py::object rpc = make_bridge(self);
    setattr(self, N().rpc, rpc);
    // A gateway that fails to come up releases its bridge client (and any event thread it
    // started) before the error reaches the caller.
    try {
        py::object pong = call_method(rpc, N().ping);
        globals.print(join({getattr(self, N().NAME), py::str(" Redis bridge ping ok: "), pong}));
        call_method(rpc, N().start_events, getattr(self, N().on_event),
                    getattr(self, N().on_events_recovered));
        call_method(self, N().subscribe);
        call_method(self, N().reconcile);
    } catch (py::error_already_set& e) {
        try {
            call_method(rpc, N().close);
        } catch (py::error_already_set&) {
        }
        e.restore();
        throw py::error_already_set();
    }
    return py::none();
}

// No reconciliation runs on a timer once the gateway is closed.
void stop_reconciling(py::handle self) {
    setattr(self, N().closed, py::bool_(true));
    py::object timer = getattr_or(self, N().reconcile_timer, py::none());
    if (!timer.is_none()) call_method(timer, N().cancel);
}

py::object close(const Bound& a) {
    py::handle self = a[0];
    stop_reconciling(self);
    try {
        call_method(self, N().unsubscribe);
    } catch (py::error_already_set& e) {
        // Close the client anyway; the unsubscribe error reaches the caller (a close error
        // replaces it, as a `finally` clause that raises would).
        call_method(getattr(self, N().rpc), N().close);
        throw;
    }
    call_method(getattr(self, N().rpc), N().close);
    return py::none();
}

}  // namespace

void add_lifecycle(PyClassBuilder& cls, py::module_& m) {
    cls.def("__init__",
            {{"self"}, {"securities"}, {"gateway_name", py::str("Qmt")}, {"start", py::none()},
             {"end", py::none()}, {"fees", m.attr("QmtCommissionsCN")}, var_kw()},
            false, [](const Bound& a) { return init(a); });
    cls.def("close", {{"self"}}, false, [](const Bound& a) { return close(a); });
    cls.def("set_trade_mode", {{"self"}, {"trade_mode"}}, false, [](const Bound& a) {
        a[0].attr("trade_mode") = a[1];
        return py::none();
    });
    cls.def("subscribe", {{"self"}}, false, [](const Bound& a) {
        call_method(a[0], N().refresh_quotes);
        return py::none();
    });
    cls.def("unsubscribe", {{"self"}}, false, [](const Bound&) { return py::none(); });
}

}  // namespace qmt_adapter
}  // namespace kv
