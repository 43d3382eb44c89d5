// What the parts of kavrel_trader.gateways.cqg.wrapper.CelHost share.
//
// Every outside name (pythoncom, win32com, win32event, threading, Thread, sys, print) and
// the module's own classes and functions (CelHost, SinkInternal, Trace) are read from the
// module's namespace when used, so a host or a test that replaces one of them on the module
// is obeyed, as with a Python module.
#pragma once

#include <pybind11/pybind11.h>

#include "py/pyhelpers.hpp"
#include "py/signature.hpp"

namespace kv {
namespace cel {
namespace py = pybind11;

inline ModuleNames names;

// Trace(message) through the module's own `Trace`.
inline void trace(const char* message) { names("Trace")(py::str(message)); }

// `obj.name = value`
inline void set(py::handle obj, const char* name, py::handle value) {
    if (PyObject_SetAttrString(obj.ptr(), name, value.ptr()) < 0) throw py::error_already_set();
}

void define_sinks(py::module_& m);  // CELSinkBase, SinkInternal
void define_host(py::module_& m);   // CelHost, Start

}  // namespace cel
}  // namespace kv
