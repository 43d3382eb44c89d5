// Shared declarations of the QMT gateway module: the module namespace, interned names,
// small helpers for configuration, log lines and caught errors, the row readers, and the
// functions that add each group of methods to the QmtAdapter class.
#pragma once

#include <pybind11/pybind11.h>

#include <string>

#include "py/pyhelpers.hpp"
#include "py/signature.hpp"

namespace kv {
namespace qmt_adapter {
namespace py = pybind11;

// The module's namespace: every outside name is read from it when used.
extern ModuleNames names;

// Interned attribute and key names, set once at import.
struct Interned {
    PyObject *NAME, *KL_ALLOWED, *_cfg, *_rpc, *_recent_bars, *securities, *quote, *orderbook,
        *orders, *queue, *put, *get, *code, *exchange, *status, *updated_time, *orderid, *call,
        *now, *replace, *items, *security, *direction;
};
extern Interned S;

inline py::object borrow(PyObject* o) { return py::reinterpret_borrow<py::object>(o); }
inline py::object arg(const Bound& a, size_t i) { return borrow(a[i].ptr()); }
inline py::object getattr(py::handle o, PyObject* name) { return steal(PyObject_GetAttr(o.ptr(), name)); }
inline void setattr(py::handle o, PyObject* name, py::handle v) {
    if (PyObject_SetAttr(o.ptr(), name, v.ptr()) < 0) throw py::error_already_set();
}

// str(o)
inline py::object text(py::handle o) { return steal(PyObject_Str(o.ptr())); }

// Raise exc_type(message) with a str message object.
[[noreturn]] inline void raise_obj(PyObject* exc_type, const py::object& message) {
    PyErr_SetObject(exc_type, message.ptr());
    throw py::error_already_set();
}

// The concatenation of the text forms of `parts`.
py::object join(std::initializer_list<py::handle> parts);

// print("[" + self.NAME + "]" + message_parts...)
void log(py::handle self, std::initializer_list<py::handle> parts);

// self._cfg.get(key, default); a value of None counts as missing when `none_is_missing`.
py::object cfg_get(py::handle self, const char* key, py::handle dflt, bool none_is_missing = false);

// Current local time through the module's `datetime`.
inline py::object now() { return names.now(); }

// isinstance(o, Mapping) through the module's `Mapping` (dicts without a lookup).
bool is_mapping(py::handle o);

// Whether a caught error is an Exception (not KeyboardInterrupt, SystemExit, ...), the kind
// the gateway turns into a log line or an absent result.
bool is_exception(const py::error_already_set& e);

// self.<name>(args...) through the instance, so overrides in subclasses are honoured.
template <class... Args>
py::object call_method(py::handle self, const char* name, Args&&... args) {
    return self.attr(name)(std::forward<Args>(args)...);
}

// ---------------------------------------------------------------- row readers

// The value under exactly `key`, or a null object when the row lacks it (a non-dict mapping
// is asked through its `get`).
py::object row_value(py::handle row, py::handle key);

// Checks of the readers' declared argument types.
void check_row(py::handle row);
void check_keys(py::handle keys);

py::object first_number(py::handle row, py::handle keys, double dflt);
py::object level_number(py::handle row, py::handle keys, py::handle index, double dflt);
py::object first_str(py::handle row, py::handle keys, py::handle dflt);
py::object first_int(py::handle row, py::handle keys, py::handle dflt);

// The readers as the module namespace holds them: the native ones run directly, a
// replacement set on the module is called instead. `keys` is a list of key texts.
py::object read_number(py::handle row, std::initializer_list<const char*> keys);
py::object read_str(py::handle row, std::initializer_list<const char*> keys);
py::object read_int(py::handle row, std::initializer_list<const char*> keys);

// The module's own reader functions, to spot replacements.
struct OriginalReaders {
    PyObject *first_number = nullptr, *level_number = nullptr, *first_str = nullptr, *first_int = nullptr;
};
extern OriginalReaders originals;

// ---------------------------------------------------------------- registration

void add_row_readers(py::module_& m);
void add_lifecycle(PyClassBuilder& cls, py::module_& m);
void add_market_data(PyClassBuilder& cls, py::module_& m);
void add_orders(PyClassBuilder& cls, py::module_& m);
void bind_market_data_statics(py::module_& m);

// The class once built (for super() in __init__).
extern PyObject* adapter_class;

}  // namespace qmt_adapter
}  // namespace kv
