// Construction, close, trade mode, subscribe, and the bridge's event handler.
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
    py::object cls = names("QmtRedisBridge");
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
    py::object cfg = steal(PyObject_GetItem(names("GATEWAYS").ptr(), gateway_name.ptr()));
    setattr(self, S._cfg, cfg);
    setattr(self, S._recent_bars, steal(PyDict_New()));

    py::object rpc = make_bridge(self);
    setattr(self, S._rpc, rpc);
    // A gateway that fails to come up releases its bridge client (and any event thread it
    // started) before the error reaches the caller.
    try {
        py::object pong = rpc.attr("ping")();
        names.print(join({getattr(self, S.NAME), py::str(" Redis bridge ping ok: "), pong}));
        rpc.attr("start_events")(self.attr("_on_event"));
        self.attr("subscribe")();
    } catch (py::error_already_set& e) {
        try {
            rpc.attr("close")();
        } catch (py::error_already_set&) {
        }
        e.restore();
        throw py::error_already_set();
    }
    return py::none();
}

py::object close(const Bound& a) {
    py::handle self = a[0];
    try {
        self.attr("unsubscribe")();
    } catch (py::error_already_set& e) {
        // Close the client anyway; the unsubscribe error reaches the caller (a close error
        // replaces it, as a `finally` clause that raises would).
        getattr(self, S._rpc).attr("close")();
        throw;
    }
    getattr(self, S._rpc).attr("close")();
    return py::none();
}

// Applies an "order" event of the bridge to the order stored under its reference.
py::object on_event(const Bound& a) {
    py::handle self = a[0], event = a[1];
    // Anything but a mapping with a mapping as "data" is not an order event.
    if (!is_mapping(event)) return py::none();
    py::object type = row_value(event, py::str("type"));
    if (!type) return py::none();
    int is_order = PyObject_RichCompareBool(type.ptr(), py::str("order").ptr(), Py_EQ);
    if (is_order < 0) throw py::error_already_set();
    if (!is_order) return py::none();

    py::object data = row_value(event, py::str("data"));
    if (!data || !truthy(data) || !is_mapping(data)) return py::none();

    py::object ref;
    for (const char* key : {"order_ref", "order_id"}) {
        py::object v = row_value(data, py::str(key));
        if (v && truthy(v)) {
            ref = v;
            break;
        }
    }
    if (!ref) return py::none();
    py::object order_id = text(ref);
    if (!truthy(order_id)) return py::none();

    py::object orders = getattr(self, S.orders);
    int known = PySequence_Contains(getattr(orders, S.queue).ptr(), order_id.ptr());
    if (known < 0) throw py::error_already_set();
    if (!known) return py::none();

    py::object order = orders.attr("get")(order_id);
    auto flag = [&](const char* key) {
        py::object v = row_value(data, py::str(key));
        return v && truthy(v);
    };
    py::object status_enum = names("OrderStatus");
    if (flag("cancelled"))
        setattr(order, S.status, status_enum.attr("CANCELLED"));
    else if (flag("submitted"))
        setattr(order, S.status, status_enum.attr("SUBMITTED"));
    setattr(order, S.updated_time, now());
    orders.attr("put")(order_id, order);
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
        a[0].attr("_refresh_quotes")();
        return py::none();
    });
    cls.def("unsubscribe", {{"self"}}, false, [](const Bound&) { return py::none(); });
    cls.def("_on_event", {{"self"}, {"event"}}, false, [](const Bound& a) { return on_event(a); });
}

}  // namespace qmt_adapter
}  // namespace kv
