// Values out of decoded JSON rows (dicts of numbers, texts and lists) and records built by
// keyword, shared by the gateways that read broker payloads.
//
//  - to_float: float(value) with the interpreter's answer for every input, computed in C++
//    for exact floats, ints and ASCII decimal texts; a TypeError or ValueError of float()
//    is reported as "no number" so callers can move on to the next key.
//  (Records are built by keyword with KeywordMaker, from py/records.hpp.)
#pragma once

#include <pybind11/pybind11.h>

#include <string_view>

#include "engine/qmt_bars.hpp"
#include "py/pyhelpers.hpp"
#include "py/records.hpp"

namespace kv {

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

}  // namespace kv
