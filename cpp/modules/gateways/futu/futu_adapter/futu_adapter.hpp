// kavrel_trader.gateways.futu.futu_adapter: what the parts of the module share.
//
// Every outside name (the SDK's contexts, handler bases, enumerations and return codes, the
// framework's records, enumerations, bases and utilities, the configuration, datetime,
// uuid, pandas) is a module attribute bound at import and read from the module namespace
// when used, so a test or a host can replace any of them.
#pragma once

#include <pybind11/pybind11.h>

#include <initializer_list>
#include <string>

#include "py/pyhelpers.hpp"
#include "py/signature.hpp"
#include "py/time_text.hpp"

namespace futu {
namespace py = pybind11;

extern kv::ModuleNames names;
extern kv::TimeTextParser time_parser;  // try_parsing_datetime, natively once it agreed
extern bool asserts_enabled;            // the host runs with assert statements on

// Interned attribute, key and column names.
struct Strings {
    PyObject *code, *expiry_date, *exchange, *value, *security, *lot_size, *quantity, *price,
        *order_type, *direction, *offset, *status, *filled_quantity, *filled_avg_price,
        *updated_time, *quote, *orderbook, *orders, *deals, *put, *get, *securities,
        *quote_ctx, *trd_ctx, *futu_trd_env, *trade_mode, *trade_mode_, *get_security,
        *data_date, *data_time, *svr_recv_time_ask, *svr_recv_time_bid, *bid, *ask, *order_id,
        *dealt_qty, *dealt_avg_price, *order_status, *deal_id, *qty, *create_time, *time_key,
        *open, *high, *low, *close, *volume, *datetime, *space, *empty, *hk_prefix, *main,
        *gateway, *name_, *sim_booked;
};
extern Strings S;
void init_strings();

// ------------------------------------------------------------------ small host operations

inline py::object getattr(py::handle o, PyObject* name) {
    return kv::steal(PyObject_GetAttr(o.ptr(), name));
}
inline void setattr(py::handle o, PyObject* name, py::handle v) {
    if (PyObject_SetAttr(o.ptr(), name, v.ptr()) < 0) throw py::error_already_set();
}
inline py::object getitem(py::handle o, py::handle key) {
    return kv::steal(PyObject_GetItem(o.ptr(), key.ptr()));
}
// bool(a == b), with the host's own comparison (no identity shortcut).
inline bool eq(py::handle a, py::handle b) {
    py::object r = kv::steal(PyObject_RichCompare(a.ptr(), b.ptr(), Py_EQ));
    return kv::truthy(r);
}
inline py::object borrow(py::handle h) { return py::reinterpret_borrow<py::object>(h); }

// o.name(*args) with positional arguments.
template <class... Args>
py::object call_method(py::handle o, PyObject* name, Args... args) {
    PyObject* stack[] = {o.ptr(), py::handle(args).ptr()...};
    return kv::steal(PyObject_VectorcallMethod(name, stack,
                                               (sizeof...(Args) + 1) | PY_VECTORCALL_ARGUMENTS_OFFSET,
                                               nullptr));
}

// `a, b, ... = seq` into out[0..n), with the host's unpacking errors.
void unpack(py::handle seq, py::object* out, int n);

// A message built as an f-string is: literal pieces and the text form (format(v, "")) of
// values, joined.
class Text {
public:
    Text& operator<<(const char* literal) {
        append(kv::steal(PyUnicode_FromString(literal)));
        return *this;
    }
    Text& operator<<(py::handle value) {
        append(kv::steal(PyObject_Format(value.ptr(), S.empty)));
        return *this;
    }
    py::str str() const {
        PyObject* s = PyUnicode_Join(S.empty, parts_.ptr());
        if (!s) throw py::error_already_set();
        return py::reinterpret_steal<py::str>(s);
    }

private:
    void append(const py::object& s) {
        if (PyList_Append(parts_.ptr(), s.ptr()) < 0) throw py::error_already_set();
    }
    py::list parts_;
};

[[noreturn]] inline void raise(PyObject* exc_type, const Text& message) {
    PyErr_SetObject(exc_type, message.str().ptr());
    throw py::error_already_set();
}

// say(*args) through the module's print.
inline py::object printable(const Text& t) { return t.str(); }
inline py::object printable(py::handle h) { return borrow(h); }
template <class... Args>
void say(const Args&... args) {
    names.print(printable(args)...);
}

// The order's security counts in lots: a Stock (or kind of it) whose code contains "HK.".
bool is_hk_stock(py::handle security);
// The stored type check of a declared parameter: `table` is a pandas DataFrame.
void check_dataframe(py::handle table, const char* arg);
// The framework's TradeMode member SIMULATE / LIVETRADE, read when used.
py::object trade_mode_member(const char* name);

// ------------------------------------------------------------------ the parts of the module

void add_conversions(py::module_& m);
void add_lifecycle(py::module_& m, kv::PyClassBuilder& adapter);
void add_pushes(py::module_& m, kv::PyClassBuilder& adapter);
void add_market_data(py::module_& m, kv::PyClassBuilder& adapter);
void add_orders(py::module_& m, kv::PyClassBuilder& adapter);
void add_futures_gateway(py::module_& m, kv::PyClassBuilder& futures);
void add_crypto_lifecycle(py::module_& m, kv::PyClassBuilder& crypto);
void add_crypto_pushes(py::module_& m, kv::PyClassBuilder& crypto);
void add_crypto_market_data(py::module_& m, kv::PyClassBuilder& crypto);
void add_crypto_orders(py::module_& m, kv::PyClassBuilder& crypto);

}  // namespace futu
