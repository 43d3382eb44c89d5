// Shared binding helpers over the host operations (py/host_ops.hpp, included here):
//
//  - Argument checks with the wording of a typed Python signature.
//  - Text views, work without the GIL, and `from <module> import <name>` at import.
#pragma once

#include <pybind11/pybind11.h>

#include <string>
#include <string_view>
#include <utility>

#include "py/host_ops.hpp"

namespace kv {

// ---------------------------------------------------------------- text and threads

// The characters of a str (any str object) when it is pure ASCII.
inline bool ascii_view(PyObject* s, std::string_view& out) {
#if PY_VERSION_HEX < 0x030C0000
    if (PyUnicode_READY(s) < 0) throw py::error_already_set();
#endif
    if (!PyUnicode_IS_ASCII(s)) return false;
    out = std::string_view(static_cast<const char*>(PyUnicode_DATA(s)),
                           static_cast<std::size_t>(PyUnicode_GET_LENGTH(s)));
    return true;
}

// Runs pure C++ `work` with the GIL released when `release` is true (large inputs), so
// other Python threads run meanwhile; small inputs don't pay for the switch.
template <class Work>
void without_gil_if(bool release, Work&& work) {
    if (release) {
        py::gil_scoped_release nogil;
        work();
    } else {
        work();
    }
}

// ---------------------------------------------------------------- argument checks

// The type name shown in argument messages: the type's tp_name ("int", "NoneType",
// "datetime.datetime"), as typed extension signatures report it.
inline std::string type_name(py::handle obj) { return Py_TYPE(obj.ptr())->tp_name; }

// TypeError("Argument 'code' has incorrect type (expected str, got int)")
[[noreturn]] inline void raise_arg_type(const char* arg, const char* expected, py::handle got) {
    raise(PyExc_TypeError, std::string("Argument '") + arg + "' has incorrect type (expected " +
                               expected + ", got " + type_name(got) + ")");
}

// Argument checks for declared parameter types; subclasses pass, as in Python.
inline void check_str(py::handle obj, const char* arg) {
    if (!PyUnicode_Check(obj.ptr())) raise_arg_type(arg, "str", obj);
}

// An `int` argument: an exact integer, or any number that `int()` truncates (a float 2.9
// becomes 2). Text, None and other objects are rejected with the argument's name.
inline py::int_ to_int_arg(py::handle obj, const char* arg) {
    if (PyLong_Check(obj.ptr())) return py::reinterpret_borrow<py::int_>(obj);
    if (PyUnicode_Check(obj.ptr()) || PyBytes_Check(obj.ptr()) || PyComplex_Check(obj.ptr()) ||
        !PyNumber_Check(obj.ptr()))
        raise_arg_type(arg, "int", obj);
    PyObject* r = PyNumber_Long(obj.ptr());
    if (!r) throw py::error_already_set();
    return py::reinterpret_steal<py::int_>(r);
}

// An `int` argument checked strictly: int or a subclass of it (bool included, as Python's
// own int parameters accept it). Numbers of other kinds (float, numpy integers, Decimal)
// are refused with the argument's name. Use to_int_arg where a number is to be truncated.
inline void check_int_arg(py::handle obj, const char* arg) {
    if (!PyLong_Check(obj.ptr())) raise_arg_type(arg, "int", obj);
}

// An int or an int subclass (bool included) as an exact int of the same value, read from
// the number itself (a subclass's own __int__ or __index__ is not called for values that
// fit 64 bits; operator.index keeps a bool a bool before Python 3.10).
inline py::object exact_int(py::handle obj) {
    if (PyLong_CheckExact(obj.ptr())) return py::reinterpret_borrow<py::object>(obj);
    int overflow = 0;
    long long v = PyLong_AsLongLongAndOverflow(obj.ptr(), &overflow);
    if (v == -1 && PyErr_Occurred()) throw py::error_already_set();
    if (!overflow) return steal(PyLong_FromLongLong(v));
    py::object idx = steal(PyNumber_Index(obj.ptr()));
    if (PyLong_CheckExact(idx.ptr())) return idx;
    return steal(PyNumber_Long(idx.ptr()));
}

// An `Optional[int]` argument: None, or what check_int_arg accepts.
inline void check_optional_int_arg(py::handle obj, const char* arg) {
    if (!obj.is_none() && !PyLong_Check(obj.ptr())) raise_arg_type(arg, "int", obj);
}

// A `float` argument: any real number (int, float, numpy scalar, objects with __float__).
inline double to_double_arg(py::handle obj, const char* arg) {
    if (PyFloat_CheckExact(obj.ptr())) return PyFloat_AS_DOUBLE(obj.ptr());
    if (PyUnicode_Check(obj.ptr()) || PyBytes_Check(obj.ptr()) || PyComplex_Check(obj.ptr()) ||
        !PyNumber_Check(obj.ptr()))
        raise_arg_type(arg, "float", obj);
    double r = PyFloat_AsDouble(obj.ptr());
    if (r == -1.0 && PyErr_Occurred()) throw py::error_already_set();
    return r;
}

// `from <module> import <name>` as a module attribute of `m`.
inline void import_name(py::module_& m, const char* module, const char* name) {
    m.attr(name) = py::module_::import(module).attr(name);
}

}  // namespace kv
