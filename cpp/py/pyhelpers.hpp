// Shared binding helpers: what every module needs to behave like a Python module.
//
//  - Module names resolved when used (ModuleNames): outside names (framework classes,
//    `datetime`, `print`, ...) are bound as module attributes at import and read from the
//    module's namespace at call time, so monkeypatching the module works as in Python.
//  - Argument checks with the wording of a typed Python signature.
//  - Exceptions raised by type and message, optionally chained.
#pragma once

#include <pybind11/pybind11.h>

#include <string>
#include <string_view>
#include <utility>

namespace kv {
namespace py = pybind11;

// ---------------------------------------------------------------- references

// A new reference returned by the C API, or its pending error raised.
inline py::object steal(PyObject* o) {
    if (!o) throw py::error_already_set();
    return py::reinterpret_steal<py::object>(o);
}

// An interned str for attribute and keyword names, kept for the life of the process.
inline PyObject* intern(const char* s) {
    PyObject* o = PyUnicode_InternFromString(s);
    if (!o) throw py::error_already_set();
    return o;
}

// bool(o), with its errors raised.
inline bool truthy(py::handle o) {
    int r = PyObject_IsTrue(o.ptr());
    if (r < 0) throw py::error_already_set();
    return r != 0;
}

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

// ---------------------------------------------------------------- errors

// Raise `exc_type(message)` as a Python exception (pybind11 passes it through unchanged).
[[noreturn]] inline void raise(PyObject* exc_type, const std::string& message) {
    PyErr_SetString(exc_type, message.c_str());
    throw py::error_already_set();
}

// Raise `exc_type(message)` with `__cause__` set to the exception being handled.
[[noreturn]] inline void raise_from(py::error_already_set& cause, PyObject* exc_type,
                                    const std::string& message) {
    cause.restore();
    py::raise_from(exc_type, message.c_str());
    throw py::error_already_set();
}

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

// ---------------------------------------------------------------- module names

// A module's namespace, read at call time. Created once in PYBIND11_MODULE; it keeps the
// module's __dict__ alive for the life of the process (modules are never unloaded).
class ModuleNames {
public:
    void bind(py::module_& m) {
        dict_ = PyModule_GetDict(m.ptr());
        Py_INCREF(dict_);
    }

    // `name` as the module's code would see it: a module global, else a builtin.
    // NameError("name 'x' is not defined") when neither has it.
    py::object operator()(const char* name) const {
        PyObject* v = PyDict_GetItemString(dict_, name);  // borrowed
        if (!v) {
            PyObject* builtins = PyEval_GetBuiltins();     // borrowed
            v = builtins ? PyDict_GetItemString(builtins, name) : nullptr;
        }
        if (!v) raise(PyExc_NameError, std::string("name '") + name + "' is not defined");
        return py::reinterpret_borrow<py::object>(v);
    }

    // print(*args) through the module's `print`, so sys.stdout redirection sees it.
    template <class... Args>
    void print(Args&&... args) const {
        (*this)("print")(std::forward<Args>(args)...);
    }

    // datetime.now() through the module's `datetime` class (a frozen clock in tests works).
    py::object now() const { return (*this)("datetime").attr("now")(); }

private:
    PyObject* dict_ = nullptr;
};

// `from <module> import <name>` as a module attribute of `m`.
inline void import_name(py::module_& m, const char* module, const char* name) {
    m.attr(name) = py::module_::import(module).attr(name);
}

}  // namespace kv
