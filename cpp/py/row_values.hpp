// Values out of decoded JSON rows (dicts of numbers, texts and lists) and records built by
// keyword, shared by the gateways that read broker payloads.
//
//  - to_float: float(value) with the interpreter's answer for every input, computed in C++
//    for exact floats, ints and ASCII decimal texts; a TypeError or ValueError of float()
//    is reported as "no number" so callers can move on to the next key.
//  - KeywordMaker: calls a record class by keyword, handing the keywords of an ordinary
//    class straight to its __init__ (no keyword dict per record).
#pragma once

#include <pybind11/pybind11.h>

#include <string_view>

#include "engine/qmt_bars.hpp"
#include "py/pyhelpers.hpp"

namespace kv {
namespace py = pybind11;

// True when the current exception is a TypeError or ValueError (then cleared).
inline bool clear_if_type_or_value_error() {
    if (PyErr_ExceptionMatches(PyExc_TypeError) || PyErr_ExceptionMatches(PyExc_ValueError)) {
        PyErr_Clear();
        return true;
    }
    return false;
}

// float(value): true with the result; false when float() raises TypeError or ValueError;
// any other error propagates.
inline bool to_float(PyObject* v, double& out) {
    if (PyFloat_CheckExact(v)) {
        out = PyFloat_AS_DOUBLE(v);
        return true;
    }
    if (PyLong_CheckExact(v) || PyBool_Check(v)) {
        out = PyLong_AsDouble(v);  // OverflowError for huge ints, as float() gives it
        if (out == -1.0 && PyErr_Occurred()) throw py::error_already_set();
        return true;
    }
    if (PyUnicode_CheckExact(v)) {
        std::string_view s;
        if (ascii_view(v, s) && qmt::parse_decimal(s, out)) return true;
    }
    PyObject* r = PyNumber_Float(v);
    if (!r) {
        if (clear_if_type_or_value_error()) return false;
        throw py::error_already_set();
    }
    out = PyFloat_AS_DOUBLE(r);
    Py_DECREF(r);
    return true;
}

// The float object for a converted value: the value itself when it is an exact float.
inline py::object float_object(PyObject* src, double v) {
    if (PyFloat_CheckExact(src)) return py::reinterpret_borrow<py::object>(src);
    return steal(PyFloat_FromDouble(v));
}

// Calls a record class by keyword. For an ordinary class (metaclass `type`, object.__new__,
// __init__ a Python function) it does what calling the class does, object.__new__ then
// __init__, but hands the keywords to __init__ directly instead of through a dict; any
// other class is simply called.
class KeywordMaker {
public:
    void bind(py::object cls) {
        cls_ = std::move(cls);
        init_ = py::object();
        PyObject* c = cls_.ptr();
        if (Py_TYPE(c) != &PyType_Type) return;
        auto* t = reinterpret_cast<PyTypeObject*>(c);
        if (t->tp_new != PyBaseObject_Type.tp_new) return;
        PyObject* init = PyObject_GetAttrString(c, "__init__");
        if (!init) {
            PyErr_Clear();
            return;
        }
        if (PyFunction_Check(init))
            init_ = steal(init);
        else
            Py_DECREF(init);
    }
    bool bound() const { return static_cast<bool>(cls_); }

    // cls(**dict(zip(kwnames, args))); `args` has one free slot before it (args[-1]).
    py::object operator()(PyObject** args, PyObject* kwnames) const {
        if (!init_) return steal(PyObject_Vectorcall(cls_.ptr(), args, 0, kwnames));
        auto* t = reinterpret_cast<PyTypeObject*>(cls_.ptr());
        py::object empty = steal(PyTuple_New(0));
        py::object obj = steal(t->tp_new(t, empty.ptr(), nullptr));
        PyObject* saved = args[-1];
        args[-1] = obj.ptr();
        PyObject* r = PyObject_Vectorcall(init_.ptr(), args - 1, 1, kwnames);
        args[-1] = saved;
        py::object res = steal(r);
        if (!res.is_none()) {
            PyErr_Format(PyExc_TypeError, "__init__() should return None, not '%.200s'",
                         Py_TYPE(r)->tp_name);
            throw py::error_already_set();
        }
        return obj;
    }

private:
    py::object cls_;
    py::object init_;
};

}  // namespace kv
