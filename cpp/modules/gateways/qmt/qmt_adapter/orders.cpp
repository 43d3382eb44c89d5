// Orders and account: place and cancel through the bridge, cash and positions from the
// terminal's account rows (read in C++ by the row readers).
#include <pybind11/pybind11.h>

#include "adapter.hpp"

namespace kv {
namespace qmt_adapter {
namespace {

bool orders_allowed(py::handle self) { return truthy(cfg_get(self, "allow_orders", py::bool_(false))); }

bool equals(py::handle a, py::handle b) {
    int r = PyObject_RichCompareBool(a.ptr(), b.ptr(), Py_EQ);
    if (r < 0) throw py::error_already_set();
    return r != 0;
}

// A time-out whose request was not withdrawn from the request list: the agent may have
// taken it, so the order may still reach the terminal.
bool may_have_been_sent(const py::error_already_set& e) {
    if (!PyErr_GivenExceptionMatches(e.type().ptr(), names("TimeoutError").ptr())) return false;
    PyObject* w = PyObject_GetAttrString(e.value().ptr(), "withdrawn");
    if (!w) {
        PyErr_Clear();
        return true;
    }
    py::object withdrawn = steal(w);
    return !truthy(withdrawn);
}

py::object place_order(py::handle self, py::handle order) {
    if (!orders_allowed(self)) {
        log(self, {py::str(" place_order blocked: set GATEWAYS['Qmt']['allow_orders']=True and agent "
                           "ALLOW_ORDERS=True")});
        return py::str("");
    }
    py::object ref = getattr(order, S.orderid);
    if (!truthy(ref)) ref = names("uuid").attr("uuid4")().attr("hex");
    const bool buy = equals(getattr(order, S.direction), names("Direction").attr("LONG"));
    const bool market = equals(order.attr("order_type"), names("OrderType").attr("MARKET"));

    py::object price = order.attr("price");
    if (!truthy(price)) price = py::float_(0.0);
    py::dict params;
    params["code"] = names("to_qmt_code")(getattr(getattr(order, S.security), S.code));
    params["direction"] = py::str(buy ? "BUY" : "SELL");
    params["order_type"] = py::str(market ? "MARKET" : "LIMIT");
    params["price"] = steal(PyNumber_Float(price.ptr()));
    params["volume"] = steal(PyNumber_Long(order.attr("quantity").ptr()));
    params["order_ref"] = ref;

    py::object orders = getattr(self, S.orders);
    py::object result;
    try {
        result = getattr(self, S._rpc).attr("call")("place_order", params);
    } catch (py::error_already_set& e) {
        if (!is_exception(e)) throw;
        log(self, {py::str(" place_order failed: "), e.value()});
        py::object status = names("OrderStatus");
        if (may_have_been_sent(e)) {
            // Outcome unknown: keep the order under its reference so a later "order" event
            // from the agent settles it.
            setattr(order, S.orderid, ref);
            setattr(order, S.status, status.attr("UNKNOWN"));
            setattr(order, S.updated_time, now());
        } else {
            setattr(order, S.status, status.attr("FAILED"));
        }
        orders.attr("put")(ref, order);
        return py::str("");
    }
    setattr(order, S.orderid, ref);
    setattr(order, S.status, names("OrderStatus").attr("SUBMITTED"));
    setattr(order, S.updated_time, now());
    orders.attr("put")(ref, order);
    log(self, {py::str(" place_order ok: "), result});
    return ref;
}

py::object cancel_order(py::handle self, py::handle orderid) {
    if (!orders_allowed(self)) {
        log(self, {py::str(" cancel_order blocked: allow_orders=False")});
        return py::none();
    }
    try {
        py::dict params;
        params["order_id"] = text(orderid);
        getattr(self, S._rpc).attr("call")("cancel_order", params);
    } catch (py::error_already_set& e) {
        if (!is_exception(e)) throw;
        log(self, {py::str(" cancel_order("), orderid, py::str(") failed: "), e.value()});
        return py::none();
    }
    py::object orders = getattr(self, S.orders);
    int known = PySequence_Contains(getattr(orders, S.queue).ptr(), orderid.ptr());
    if (known < 0) throw py::error_already_set();
    if (known) {
        py::object order = orders.attr("get")(orderid);
        setattr(order, S.status, names("OrderStatus").attr("CANCELLED"));
        setattr(order, S.updated_time, now());
        orders.attr("put")(orderid, order);
    }
    return py::none();
}

py::object get_broker_balance(py::handle self) {
    py::object data;
    try {
        data = getattr(self, S._rpc).attr("call")("query_asset");
    } catch (py::error_already_set& e) {
        if (!is_exception(e)) throw;
        log(self, {py::str(" get_broker_balance failed: "), e.value()});
        return names("AccountBalance")();
    }
    if (!truthy(data)) data = py::dict();
    py::object balance = names("AccountBalance")();
    balance.attr("cash") = read_number(data, {"cash", "m_dBalance", "m_dFetchBalance"});
    py::object available = read_number(data, {"available_cash", "m_dAvailable", "m_dFetchBalance", "cash"});
    balance.attr("available_cash") = available;
    balance.attr("net_cash_power") = available;
    balance.attr("unrealized_pnl") = read_number(data, {"m_dPositionProfit", "unrealized_pnl", "m_dFloatProfit"});
    return balance;
}

py::object get_all_broker_positions(py::handle self) {
    py::object rows;
    try {
        rows = getattr(self, S._rpc).attr("call")("query_positions");
    } catch (py::error_already_set& e) {
        if (!is_exception(e)) throw;
        log(self, {py::str(" get_all_broker_positions failed: "), e.value()});
        return py::list();
    }
    py::list out;
    if (!truthy(rows)) return std::move(out);
    py::object when = now();
    py::object make_position, long_dir;
    for (py::handle row : rows) {
        py::object code = read_str(row, {"code", "m_strInstrumentID", "m_strStockCode", "stock_code"});
        if (!truthy(code)) continue;
        py::object exchange_id = read_str(row, {"exchange", "m_strExchangeID"});
        if (truthy(exchange_id)) {
            int dotted = PySequence_Contains(code.ptr(), py::str(".").ptr());
            if (dotted < 0) throw py::error_already_set();
            if (!dotted) code = join({code, py::str("."), exchange_id});
        }
        py::object security = self.attr("get_security")(code);
        if (security.is_none()) {
            py::object fw = names("from_qmt_code")(code);
            security = names("Stock")(py::arg("code") = fw, py::arg("lot_size") = 100,
                                      py::arg("security_name") = fw,
                                      py::arg("exchange") = names("exchange_from_qmt_code")(code));
        }
        py::object quantity = read_int(row, {"volume", "m_nVolume", "can_use_volume"});
        if (!truthy(quantity)) continue;
        if (!make_position) {
            make_position = names("PositionData");
            long_dir = names("Direction").attr("LONG");
        }
        out.append(make_position(py::arg("security") = security, py::arg("direction") = long_dir,
                                 py::arg("holding_price") =
                                     read_number(row, {"cost_price", "m_dOpenPrice", "m_dAvgPrice"}),
                                 py::arg("quantity") = quantity, py::arg("update_time") = when));
    }
    return std::move(out);
}

py::object get_broker_position(py::handle self, py::handle security, py::handle direction) {
    py::object positions = self.attr("get_all_broker_positions")();
    for (py::handle p : positions)
        if (equals(getattr(p, S.security), security) && equals(getattr(p, S.direction), direction))
            return borrow(p.ptr());
    return py::none();
}

}  // namespace

void add_orders(PyClassBuilder& cls, py::module_&) {
    cls.def("place_order", {{"self"}, {"order"}}, false,
            [](const Bound& a) { return place_order(a[0], a[1]); });
    cls.def("cancel_order", {{"self"}, {"orderid"}}, false,
            [](const Bound& a) { return cancel_order(a[0], a[1]); });
    cls.def("get_broker_balance", {{"self"}}, false,
            [](const Bound& a) { return get_broker_balance(a[0]); });
    cls.def("get_broker_position", {{"self"}, {"security"}, {"direction"}}, false,
            [](const Bound& a) { return get_broker_position(a[0], a[1], a[2]); });
    cls.def("get_all_broker_positions", {{"self"}}, false,
            [](const Bound& a) { return get_all_broker_positions(a[0]); });
}

}  // namespace qmt_adapter
}  // namespace kv
