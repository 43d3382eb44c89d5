// An extension module entry point whose import errors reach the importer unchanged.
//
// PYBIND11_MODULE turns every error raised by the module body into
// ImportError("initialization failed"). A module whose body imports other packages or calls
// them at import should fail as a Python module would: without pywin32, `import CelHost`
// gives ModuleNotFoundError("No module named 'pythoncom'"), and an error raised by a call
// made at import keeps its own type and message.
//
//     KV_MODULE(CelHost, m) {
//         m.attr("pythoncom") = py::module_::import("pythoncom");
//         ...
//     }
//
// A C++ exception of the body becomes the Python error fastcall::guarded makes of it.
// Do the imports first: a body that fails before it defines anything can run again on the
// next import attempt (kv::def binds each body once per process).
#pragma once

#include <pybind11/pybind11.h>

#include "py/fastcall.hpp"

#if PYBIND11_VERSION_MAJOR >= 3
// Multi-phase initialisation, as PYBIND11_MODULE does it, with the body's errors kept.
#define KV_MODULE(name, variable)                                                          \
    PYBIND11_MODULE_PYINIT(name)                                                           \
    static void kv_module_body_##name(::pybind11::module_&);                               \
    int pybind11_exec_##name(PyObject* pm) {                                               \
        PyObject* done = ::kv::fastcall::guarded([pm]() -> PyObject* {                     \
            ::pybind11::detail::ensure_internals();                                        \
            auto m = ::pybind11::reinterpret_borrow<::pybind11::module_>(pm);              \
            if (!::pybind11::detail::get_cached_module(m.attr("__spec__").attr("name"))) { \
                kv_module_body_##name(m);                                                  \
                ::pybind11::detail::cache_completed_module(m);                             \
            }                                                                              \
            return pm;                                                                     \
        });                                                                                \
        return done ? 0 : -1;                                                              \
    }                                                                                      \
    void kv_module_body_##name(::pybind11::module_& variable)
#else
// Single-phase initialisation, as PYBIND11_MODULE does it in pybind11 2.x.
#define KV_MODULE(name, variable)                                                          \
    static ::pybind11::module_::module_def kv_module_def_##name;                           \
    static void kv_module_body_##name(::pybind11::module_&);                               \
    PYBIND11_PLUGIN_IMPL(name) {                                                           \
        PYBIND11_CHECK_PYTHON_VERSION                                                      \
        PYBIND11_ENSURE_INTERNALS_READY                                                    \
        auto m = ::pybind11::module_::create_extension_module(#name, nullptr,              \
                                                              &kv_module_def_##name);      \
        return ::kv::fastcall::guarded([&m]() -> PyObject* {                               \
            kv_module_body_##name(m);                                                      \
            return m.ptr();                                                                \
        });                                                                                \
    }                                                                                      \
    void kv_module_body_##name(::pybind11::module_& variable)
#endif
