// Orders and account: placing and cancelling orders, the account balance and the positions,
// each in the trading environment the current trade mode selected. SDK failures are printed
// with the method's tag and give the method's failure value.
#include <cmath>

#include "futu_adapter.hpp"
#include "py/records.hpp"
#include "py/tables.hpp"

namespace kv {
namespace futu_adapter {
namespace {

PyObject* g_position_kw = nullptr;  // PositionData keywords, in order

// (price, SDK order type) for the order's type; `who` names the gateway in the refusal.
void price_and_type(py::handle order, const char* who, py::object& price, py::object& type) {
    py::object ot = getattr(order, N().order_type);
    py::object kv_type = globals("KVOrderType");
    if (eq(ot, kv_type.attr("MARKET"))) {
        price = py::float_(0.01);
        type = globals("OrderType").attr("MARKET");
    } else if (eq(ot, kv_type.attr("LIMIT"))) {
        price = getattr(order, N().price);
        type = globals("OrderType").attr("NORMAL");
    } else {
        raise(PyExc_ValueError, Text() << "Order type " << ot << " is not supported in " << who << ".");
    }
}

// Sends the order and, on success, stores it as submitted under the SDK's order id.
py::object send_order(py::handle self, py::handle order, py::handle price, py::handle qty,
                      py::handle code, py::handle type) {
    py::object place = getattr(self, N().trd_ctx).attr("place_order");
    py::object side = globals("convert_direction_kv2futu")(getattr(order, N().direction));
    py::object env = getattr(self, N().futu_trd_env);
    py::object reply = place(py::arg("price") = price, py::arg("qty") = qty,
                             py::arg("code") = code, py::arg("trd_side") = side,
                             py::arg("order_type") = type, py::arg("trd_env") = env);
    py::object out[2];
    unpack(reply, out, 2);
    if (truthy(out[0])) {
        globals.print(Text() << "[place_order](" << order << ") failed: " << out[1]);
        return py::str("");
    }
    py::object orderid = tables::FirstRow(out[1])[N().order_id];
    // Submitted before it is stored, so a push finding the order never sees its status
    // overwritten; an order id the store refuses (unhashable) gives the status back. The
    // pushes that came before this reply are applied in the same step.
    WithLock lock = order_lock(self);
    py::object previous = getattr(order, N().status);
    setattr(order, N().status, globals("KVOrderStatus").attr("SUBMITTED"));
    try {
        call_method(getattr(self, N().orders), N().put, orderid, order);
    } catch (py::error_already_set&) {
        if (PyObject_SetAttr(order.ptr(), N().status, previous.ptr()) < 0) PyErr_Clear();
        throw;
    }
    apply_held_pushes(self, orderid);
    return orderid;
}

py::object place_order(py::handle self, py::handle order) {
    py::object price, type;
    price_and_type(order, "Futu Gateway", price, type);
    py::object security = getattr(order, N().security);
    py::object quantity = getattr(order, N().quantity);
    py::object qty;
    if (is_hk_stock(security)) {
        // Lots to shares, rounded to the nearest share: 0.29 lots of 100 shares is 29 shares
        // although 0.29 * 100 is 28.999999999999996 in floating point.
        py::object shares = steal(PyNumber_Multiply(quantity.ptr(), getattr(security, N().lot_size).ptr()));
        qty = steal(PyNumber_Long(globals("round")(shares).ptr()));
    } else {
        qty = steal(PyNumber_Long(quantity.ptr()));
    }
    py::object code = getattr(security, N().code);
    if (is_instance(security, globals("Futures")) && contains(code, N().hk_prefix) && contains(code, N().main))
        code = globals("get_hk_futures_code")(py::arg("security") = security);
    return send_order(self, order, price, qty, code, type);
}

// Crypto quantities go as floats rounded up to the 0.00001 step (less a 1e-12-step
// tolerance against quotients just above a whole number of steps), five decimals at most.
py::object crypto_place_order(py::handle self, py::handle order) {
    py::object price, type;
    price_and_type(order, "FutuCryptoGateway", price, type);
    py::object as_float = steal(PyNumber_Float(getattr(order, N().quantity).ptr()));
    double q = PyFloat_AS_DOUBLE(as_float.ptr());
    if (!(q > 0)) {
        globals.print(Text() << "[place_order](" << order << ") failed: quantity must be > 0");
        return py::str("");
    }
    double steps = std::ceil(q / 1e-05 - 1e-12);
    if (std::isinf(steps)) raise(PyExc_OverflowError, "cannot convert float infinity to integer");
    char* text = PyOS_double_to_string(steps * 1e-05, 'f', 5, 0, nullptr);
    if (!text) throw py::error_already_set();
    double rounded = PyOS_string_to_double(text, nullptr, nullptr);
    PyMem_Free(text);
    if (rounded == -1.0 && PyErr_Occurred()) throw py::error_already_set();
    if (!(rounded > 0)) {
        globals.print(Text() << "[place_order](" << order
                     << ") failed: quantity rounds to 0 (min tick is usually 0.00001 for BTC pairs)");
        return py::str("");
    }
    py::object code = getattr(getattr(order, N().security), N().code);
    return send_order(self, order, price, py::float_(rounded), code, type);
}

py::object cancel_order(py::handle self, py::handle orderid) {
    py::object modify = getattr(self, N().trd_ctx).attr("modify_order");
    py::object cancel = globals("ModifyOrderOp").attr("CANCEL");
    py::object env = getattr(self, N().futu_trd_env);
    py::object reply = modify(cancel, orderid, 0, 0, py::arg("trd_env") = env);
    py::object out[2];
    unpack(reply, out, 2);
    if (truthy(out[0])) globals.print(Text() << "[cancel_order](" << orderid << ") failed: " << out[1]);
    return py::none();
}

// trd_ctx.<method>(trd_env=self.futu_trd_env): the reply's table, or a null object after
// printing "<tag> failed: <data>" when the SDK reports a failure.
py::object account_query(py::handle self, const char* method, const char* tag) {
    py::object query = getattr(self, N().trd_ctx).attr(method);
    py::object reply = query(py::arg("trd_env") = getattr(self, N().futu_trd_env));
    py::object out[2];
    unpack(reply, out, 2);
    if (!truthy(out[0])) return out[1];
    globals.print(Text() << tag << " failed: " << out[1]);
    return py::object();
}

py::object get_broker_balance(py::handle self) {
    py::object table = account_query(self, "accinfo_query", "[get_broker_balanc]");
    if (!table) return py::none();
    static const char* const kFields[6][2] = {{"cash", "power"},
                                              {"available_cash", "available_funds"},
                                              {"maintenance_margin", "maintenance_margin"},
                                              {"unrealized_pnl", "unrealized_pl"},
                                              {"max_power_short", "max_power_short"},
                                              {"net_cash_power", "net_cash_power"}};
    tables::FirstRow row(table);
    py::object values[6];
    for (int i = 0; i < 6; ++i) values[i] = row[intern(kFields[i][1])];
    py::object balance = globals("AccountBalance")();
    for (int i = 0; i < 6; ++i) balance.attr(kFields[i][0]) = values[i];
    for (int i = 4; i < 6; ++i) {  // a power the SDK gives as text (or any non-float): -1
        py::object v = balance.attr(kFields[i][0]);
        if (!PyFloat_Check(v.ptr())) balance.attr(kFields[i][0]) = py::int_(-1);
    }
    return balance;
}

// HK.<3 to 5 capital letters><4 digits> at the start: a dated Hong Kong futures code.
bool dated_hk_futures(py::handle code) {
    std::string_view s;
    if (!PyUnicode_Check(code.ptr()) || !ascii_view(code.ptr(), s)) return false;
    if (s.size() < 3 || s.substr(0, 3) != "HK.") return false;
    size_t i = 3;
    while (i < s.size() && s[i] >= 'A' && s[i] <= 'Z') ++i;
    size_t letters = i - 3;
    if (letters < 3 || letters > 5) return false;
    for (size_t k = 0; k < 4; ++k, ++i)
        if (i >= s.size() || s[i] < '0' || s[i] > '9') return false;
    return true;
}

// `crypto`: codes as delivered, and an unknown code becomes a crypto Commodity.
py::object all_positions(py::handle self, bool crypto) {
    py::object table = account_query(self, "position_list_query", "[get_all_broker_positions]");
    if (!table) return py::none();
    Py_ssize_t n = tables::row_count(table);
    py::list result;
    if (n == 0) return std::move(result);
    py::object codes = tables::column_list(table, N().code);
    py::object sides = tables::column_list(table, intern("position_side"));
    py::object costs = tables::column_list(table, intern("cost_price"));
    py::object qtys = tables::column_list(table, N().qty);
    py::object names_col;  // "stock_name", read when a row needs it
    py::str long_text("LONG");
    KeywordMaker make_position(globals("PositionData"));
    py::object direction_cls = globals("Direction");
    for (Py_ssize_t i = 0; i < n && i < PyList_GET_SIZE(codes.ptr()); ++i) {
        py::object row_code = borrow(PyList_GET_ITEM(codes.ptr(), i));
        py::object code = row_code;
        if (!crypto && dated_hk_futures(row_code)) {
            py::object cut = steal(PySlice_New(nullptr, py::int_(-4).ptr(), nullptr));
            code = steal(PyNumber_Add(getitem(row_code, cut).ptr(), N().main));
        }
        py::object security = self.attr("get_security")(py::arg("code") = code);
        if (security.is_none()) {
            if (!names_col) names_col = tables::column_list(table, intern("stock_name"));
            py::object name = borrow(PyList_GET_ITEM(names_col.ptr(), i));
            if (crypto)
                security = globals("Commodity")(py::arg("code") = row_code,
                                              py::arg("security_name") = name,
                                              py::arg("lot_size") = 1,
                                              py::arg("exchange") = globals("Exchange").attr("CRYPTO"));
            else
                security = globals("Security")(py::arg("code") = row_code,
                                             py::arg("security_name") = name);
        }
        py::object direction = direction_cls.attr(
            eq(borrow(PyList_GET_ITEM(sides.ptr(), i)), long_text) ? "LONG" : "SHORT");
        py::object now = globals.now();
        PyObject* slots[6] = {nullptr, security.ptr(), direction.ptr(),
                              PyList_GET_ITEM(costs.ptr(), i), PyList_GET_ITEM(qtys.ptr(), i),
                              now.ptr()};
        result.append(make_position(slots + 1, g_position_kw));
    }
    return std::move(result);
}

py::object broker_position(py::handle self, py::handle security, py::handle direction) {
    py::object positions = call_method(self, N().get_all_broker_positions);
    if (positions.is_none()) return py::none();  // the query failed: no position known
    for (py::handle p : positions) {
        if (eq(getattr(p, N().security), security) && eq(getattr(p, N().direction), direction))
            return borrow(p);
    }
    return py::none();
}

}  // namespace

void add_orders(py::module_&, PyClassBuilder& b) {
    g_position_kw = py::make_tuple("security", "direction", "holding_price", "quantity",
                                   "update_time").release().ptr();
    b.def("place_order", {{"self"}, {"order"}}, false,
          [](const Bound& a) { return place_order(a[0], a[1]); }, "Place order");
    b.def("cancel_order", {{"self"}, {"orderid"}}, false,
          [](const Bound& a) { return cancel_order(a[0], a[1]); }, "Cancel order");
    b.def("get_broker_balance", {{"self"}}, false,
          [](const Bound& a) { return get_broker_balance(a[0]); }, "Broker balance");
    b.def("get_broker_position", {{"self"}, {"security"}, {"direction"}}, false,
          [](const Bound& a) { return broker_position(a[0], a[1], a[2]); }, "Broker position");
    b.def("get_all_broker_positions", {{"self"}}, false,
          [](const Bound& a) { return all_positions(a[0], false); }, "All broker positions");
}

void add_crypto_orders(py::module_&, PyClassBuilder& b) {
    b.def("place_order", {{"self"}, {"order"}}, false,
          [](const Bound& a) { return crypto_place_order(a[0], a[1]); },
          "Place crypto spot order with fractional quantity.");
    b.def("get_all_broker_positions", {{"self"}}, false,
          [](const Bound& a) { return all_positions(a[0], true); },
          "Crypto positions (no HK futures main-contract rewrite).");
}

}  // namespace futu_adapter
}  // namespace kv
