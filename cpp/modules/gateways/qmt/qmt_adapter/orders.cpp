// Orders and account: place and cancel through the bridge, cash and positions from the
// terminal's account rows (read in C++ by the row readers).
#include <pybind11/pybind11.h>

#include "adapter.hpp"

namespace kv {
namespace qmt_adapter {
namespace {

bool orders_allowed(py::handle self) { return truthy(cfg_get(self, "allow_orders", py::bool_(false))); }

// A time-out whose request was not withdrawn from the request list: the agent may have
// taken it, so the order may still reach the terminal. Any other error that says it was
// not withdrawn came after the request went out (the connection lost while waiting for
// the reply): the same holds.
bool may_have_been_sent(const py::error_already_set& e) {
    const bool timeout = is_instance(e.value(), globals("TimeoutError"));
    py::object withdrawn = getattr_or(e.value(), N().withdrawn, py::none());
    return withdrawn.is_none() ? timeout : !truthy(withdrawn);
}

py::object place_order(py::handle self, py::handle order) {
    if (!orders_allowed(self)) {
        log(self, {py::str(" place_order blocked: set GATEWAYS['Qmt']['allow_orders']=True and agent "
                           "ALLOW_ORDERS=True")});
        return py::str("");
    }
    py::object ref = getattr(order, N().orderid);
    if (!truthy(ref)) ref = getattr(call_method(globals("uuid"), N().uuid4), N().hex);
    const bool buy = eq(getattr(order, N().direction), globals("Direction").attr("LONG"));
    const bool market = eq(order.attr("order_type"), globals("OrderType").attr("MARKET"));

    py::object price = order.attr("price");
    if (!truthy(price)) price = py::float_(0.0);
    py::dict params;
    params["code"] = globals("to_qmt_code")(getattr(getattr(order, N().security), N().code));
    params["direction"] = py::str(buy ? "BUY" : "SELL");
    params["order_type"] = py::str(market ? "MARKET" : "LIMIT");
    params["price"] = steal(PyNumber_Float(price.ptr()));
    params["volume"] = steal(PyNumber_Long(order.attr("quantity").ptr()));
    params["order_ref"] = ref;

    py::object orders = getattr(self, N().orders);
    py::object result;
    try {
        result = call_method(getattr(self, N().rpc), N().call, py::str("place_order"), params);
    } catch (py::error_already_set& e) {
        if (!is_exception(e)) throw;
        log(self, {py::str(" place_order failed: "), e.value()});
        py::object status = globals("OrderStatus");
        WithLock lock = order_lock(self);
        if (may_have_been_sent(e)) {
            // Outcome unknown: keep the order under its reference so a later "order" event
            // or the reconciliation settles it.
            setattr(order, N().orderid, ref);
            setattr(order, N().status, status.attr("UNKNOWN"));
            setattr(order, N().updated_time, globals.now());
            call_method(orders, N().put, ref, order);
            note_unknown(self, ref);
            apply_held(self, ref, order);
        } else {
            setattr(order, N().status, status.attr("FAILED"));
            call_method(orders, N().put, ref, order);
        }
        return py::str("");
    }
    {
        // Stored and brought up to date with the events that came before the reply, in one
        // step for the event thread.
        WithLock lock = order_lock(self);
        setattr(order, N().orderid, ref);
        setattr(order, N().status, globals("OrderStatus").attr("SUBMITTED"));
        setattr(order, N().updated_time, globals.now());
        call_method(orders, N().put, ref, order);
        apply_held(self, ref, order);
    }
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
        params["order_id"] = str_of(orderid);
        call_method(getattr(self, N().rpc), N().call, py::str("cancel_order"), params);
    } catch (py::error_already_set& e) {
        if (!is_exception(e)) throw;
        log(self, {py::str(" cancel_order("), orderid, py::str(") failed: "), e.value()});
        return py::none();
    }
    // The order counts as cancelled once the agent took the request; the mark stays the
    // gateway's own until the terminal's word (a refused cancel undoes it). An order the
    // terminal already finished keeps its state.
    WithLock lock = order_lock(self);
    py::object orders = getattr(self, N().orders);
    if (contains(getattr(orders, N().queue), orderid)) {
        py::object order = call_method(orders, N().get, orderid);
        if (is_final_order(self, orderid, order)) return py::none();
        setattr(order, N().status, globals("OrderStatus").attr("CANCELLED"));
        setattr(order, N().updated_time, globals.now());
        call_method(getattr(self, N().cancel_marked), N().add, orderid);
        call_method(orders, N().put, orderid, order);
    }
    return py::none();
}

py::object get_broker_balance(py::handle self) {
    py::object data;
    try {
        data = call_method(getattr(self, N().rpc), N().call, py::str("query_asset"));
    } catch (py::error_already_set& e) {
        if (!is_exception(e)) throw;
        log(self, {py::str(" get_broker_balance failed: "), e.value()});
        return globals("AccountBalance")();
    }
    if (!truthy(data)) data = py::dict();
    py::object balance = globals("AccountBalance")();
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
        rows = call_method(getattr(self, N().rpc), N().call, py::str("query_positions"));
    } catch (py::error_already_set& e) {
        if (!is_exception(e)) throw;
        log(self, {py::str(" get_all_broker_positions failed: "), e.value()});
        return py::list();
    }
    py::list out;
    if (!truthy(rows)) return std::move(out);
    py::object when = globals.now();
    py::object make_position, long_dir;
    for (py::handle row : rows) {
        py::object code = read_str(row, {"code", "m_strInstrumentID", "m_strStockCode", "stock_code"});
        if (!truthy(code)) continue;
        py::object exchange_id = read_str(row, {"exchange", "m_strExchangeID"});
        if (truthy(exchange_id)) {
            if (!contains(code, py::str("."))) code = join({code, py::str("."), exchange_id});
        }
        py::object security = call_method(self, N().get_security, code);
        if (security.is_none()) {
            py::object fw = globals("from_qmt_code")(code);
            security = globals("Stock")(py::arg("code") = fw, py::arg("lot_size") = 100,
                                      py::arg("security_name") = fw,
                                      py::arg("exchange") = globals("exchange_from_qmt_code")(code));
        }
        py::object quantity = read_int(row, {"volume", "m_nVolume", "can_use_volume"});
        if (!truthy(quantity)) continue;
        if (!make_position) {
            make_position = globals("PositionData");
            long_dir = globals("Direction").attr("LONG");
        }
        out.append(make_position(py::arg("security") = security, py::arg("direction") = long_dir,
                                 py::arg("holding_price") =
                                     read_number(row, {"cost_price", "m_dOpenPrice", "m_dAvgPrice"}),
                                 py::arg("quantity") = quantity, py::arg("update_time") = when));
    }
    return std::move(out);
}

py::object get_broker_position(py::handle self, py::handle security, py::handle direction) {
    py::object positions = call_method(self, N().get_all_broker_positions);
    for (py::handle p : positions)
        if (eq(getattr(p, N().security), security) && eq(getattr(p, N().direction), direction))
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
