// Building the framework's records (Bar, Quote, Deal, ...) by keyword through whatever class
// the module namespace holds.
#pragma once

#include <pybind11/pybind11.h>

#include "py/pyhelpers.hpp"

namespace kv {

// Calls a record class by keyword. For an ordinary class (metaclass `type`, object.__new__,
// __init__ a Python function) it does what calling the class does, object.__new__ then
// __init__, but hands the keywords to __init__ directly instead of through a dict; any
// other class is simply called.
class KeywordMaker {
public:
    KeywordMaker() = default;
    explicit KeywordMaker(py::object cls) { bind(std::move(cls)); }

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
        if (PyFunction_Check(init)) init_ = steal(init);
        else Py_DECREF(init);
    }
    bool bound() const { return static_cast<bool>(cls_); }

    // cls(**dict(zip(kwnames, args))); `args` has one free slot before it (args[-1]).
    py::object operator()(PyObject** args, PyObject* kwnames) const {
        if (!init_) {
            return steal(PyObject_Vectorcall(cls_.ptr(), args, 0, kwnames));
        }
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
