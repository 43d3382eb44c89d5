// Module-level functions with the host's vectorcall convention (METH_FASTCALL |
// METH_KEYWORDS), for small hot functions where a generic dispatcher would cost more than
// the work. Argument errors carry the wording of a plain `def`.
#pragma once

#include <pybind11/pybind11.h>

#include <exception>
#include <new>
#include <string>

#include "py/pyhelpers.hpp"

namespace kv {
namespace fastcall {
namespace py = pybind11;

using FastFn = PyObject* (*)(PyObject*, PyObject* const*, Py_ssize_t, PyObject*);

// PyMethodDef's slot type for a FASTCALL function (cast through void(*)() so compilers
// accept the differing signature).
inline PyCFunction as_cfunction(FastFn f) {
    return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(f));
}

// The single argument `name` of `def fn(name)`, positional or by keyword.
inline PyObject* one_arg(const char* fn, const char* name, PyObject* const* args,
                         Py_ssize_t nargs, PyObject* kwnames) {
    PyObject* value = nargs >= 1 ? args[0] : nullptr;
    if (nargs > 1)
        raise(PyExc_TypeError, std::string(fn) + "() takes 1 positional argument but " +
                                   std::to_string(static_cast<long long>(nargs)) + " were given");
    if (kwnames) {
        Py_ssize_t nk = PyTuple_GET_SIZE(kwnames);
        for (Py_ssize_t k = 0; k < nk; ++k) {
            PyObject* key = PyTuple_GET_ITEM(kwnames, k);
            if (PyUnicode_CompareWithASCIIString(key, name) != 0) {
                // %U: the key as given, even one that has no UTF-8 form (a lone surrogate).
                PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'", fn,
                             key);
                throw py::error_already_set();
            }
            if (value)
                raise(PyExc_TypeError,
                      std::string(fn) + "() got multiple values for argument '" + name + "'");
            value = args[nargs + k];
        }
    }
    if (!value)
        raise(PyExc_TypeError,
              std::string(fn) + "() missing 1 required positional argument: '" + name + "'");
    return value;
}

// Runs `body` and turns any C++ exception into the pending Python exception (NULL result).
template <class Body>
PyObject* guarded(Body&& body) {
    try {
        return body();
    } catch (py::error_already_set& e) {
        e.restore();
    } catch (const py::builtin_exception& e) {
        e.set_error();
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    } catch (const std::exception& e) {
        PyErr_SetString(PyExc_RuntimeError, e.what());
    } catch (...) {
        PyErr_SetString(PyExc_RuntimeError, "unknown C++ exception");
    }
    return nullptr;
}

}  // namespace fastcall
}  // namespace kv
