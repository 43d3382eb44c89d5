// Building blocks for functions with the host's vectorcall convention (METH_FASTCALL |
// METH_KEYWORDS); signature.hpp binds the arguments.
#pragma once

#include <pybind11/pybind11.h>

#include <exception>
#include <new>
#if defined(__GLIBCXX__)
#include <cxxabi.h>  // abi::__forced_unwind
#endif

#include "py/host_ops.hpp"

namespace kv {
namespace fastcall {

using FastFn = PyObject* (*)(PyObject*, PyObject* const*, Py_ssize_t, PyObject*);

// PyMethodDef's slot type for a FASTCALL function (cast through void(*)() so compilers
// accept the differing signature).
inline PyCFunction as_cfunction(FastFn f) {
    return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(f));
}

// Runs `body` and turns any C++ exception into the pending Python exception (NULL result).
template <class Body>
PyObject* guarded(Body&& body) {
    try {
        return body();
#if defined(__GLIBCXX__)
    } catch (abi::__forced_unwind&) {
        // A thread ended by the runtime (a daemon thread at interpreter exit) unwinds
        // through here: it must go on, or the process aborts.
        throw;
#endif
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
