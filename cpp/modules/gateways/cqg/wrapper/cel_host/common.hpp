// kavrel_trader.gateways.cqg.wrapper.CelHost: what the parts of the module share.
//
// Here: the module's namespace (`globals`), its interned names (N()), `trace` and the
// functions that define the classes. The host operations (getattr_or, eq, truthy, raise,
// ...) are those of py/host_ops.hpp, shared by every module.
//
// Every outside name (pythoncom, win32com, win32event, threading, Thread, sys, print) and
// the module's own classes and functions (CelHost, SinkInternal, Trace) are read from the
// module's namespace when used, so a host or a test that replaces one of them on the module
// is obeyed, as with a Python module.
#pragma once

#include <pybind11/pybind11.h>

#include "py/host_ops.hpp"
#include "py/pyhelpers.hpp"
#include "py/signature.hpp"

namespace kv {
namespace cel_host {

inline ModuleNames globals;

// Attribute names read where a missing attribute has a meaning.
struct Names {
    Name worker_error{"_workerError"}, thread{"thread"}, cqg_cel{"cqgCEL"};
};
const Names& N();  // module.cpp

// Trace(message) through the module's own `Trace`.
inline void trace(const char* message) { globals("Trace")(py::str(message)); }

void define_sinks(py::module_& m);  // CELSinkBase, SinkInternal
void define_host(py::module_& m);   // CelHost, Start

}  // namespace cel_host
}  // namespace kv
