// kavrel_trader.gateways.cqg.wrapper.CelHost: host of CQG's CEL COM component.
//
// At import: pywin32 (pythoncom, win32com.client, win32event), threading and sys are bound
// as module attributes, and the COM wrapper of CEL's type library is made sure of, which
// makes CEL's enumerations readable as win32com.client.constants. Without pywin32 the
// import fails with the host's own import error.
#include "common.hpp"
#include "py/module_entry.hpp"

namespace kv {
namespace cel_host {

const Names& N() {
    static const Names n;
    return n;
}

}  // namespace cel_host
}  // namespace kv

namespace {
namespace cel = kv::cel_host;

// CEL's type library: identifier, locale, major and minor version.
const char* const kTypeLibrary = "{51F35562-AEB4-4AB3-99E8-AC9666344B64}";

// "<thread ident>: <message>" on standard output, flushed. The message is joined with `+`,
// so anything but text fails as concatenating it would.
void write_trace(py::handle message) {
    py::object ident = cel::globals("threading").attr("current_thread")().attr("ident");
    py::object line = kv::steal(PyNumber_Add(py::str(ident).ptr(), py::str(": ").ptr()));
    line = kv::steal(PyNumber_Add(line.ptr(), message.ptr()));
    cel::globals.print(line);
    cel::globals("sys").attr("stdout").attr("flush")();
}

}  // namespace

KV_MODULE(CelHost, m) {
    // Imports first: a failed import leaves nothing half-defined behind.
    cel::N();
    m.attr("pythoncom") = py::module_::import("pythoncom");
    py::module_ client = py::module_::import("win32com.client");
    m.attr("win32com") = py::module_::import("win32com");
    m.attr("win32event") = py::module_::import("win32event");
    py::module_ threading = py::module_::import("threading");
    m.attr("threading") = threading;
    m.attr("Thread") = threading.attr("Thread");
    m.attr("sys") = py::module_::import("sys");
    client.attr("gencache").attr("EnsureModule")(kTypeLibrary, 0, 4, 0);

    m.doc() = "Host of the CEL COM component: a worker thread with its own apartment and "
              "message pump, start-up and configuration, and the event sinks.";
    cel::globals.bind(m);

    kv::def(m, "AssertMessage", {"condition", "message"}, [](const kv::Bound& a) {
        if (!kv::truthy(a[0])) kv::raise(PyExc_RuntimeError, a[1]);
        return py::none();
    });
    kv::def(m, "Trace", {"message"}, [](const kv::Bound& a) {
        write_trace(a[0]);
        return py::none();
    });
    cel::define_sinks(m);
    cel::define_host(m);
}
