// kavrel_trader.gateways.qmt.symbols: conversion between framework codes ("SH.600000")
// and QMT codes ("600000.SH").
//
// Codes are normalised as `(code or "").strip().upper()`. ASCII text (the normal case) is
// handled in C++; other text is normalised by the str methods themselves, so the result is
// the same as Python's for any input, and then converted on its UTF-8 bytes.
#include <pybind11/pybind11.h>

#include <cstring>
#include <string>
#include <string_view>

#include "engine/qmt_codes.hpp"
#include "py/module_entry.hpp"
#include "py/pyhelpers.hpp"
#include "py/signature.hpp"

namespace kv {
namespace symbols {
namespace {
namespace q = kv::qmt;

ModuleNames globals;

// A normalised code. `sv` views either `holder`'s ASCII data or `buf`; the object is filled
// in place and never copied (views into `buf` must not move).
struct Raw {
    std::string_view sv;
    std::string buf;
    py::object holder;     // the text `sv` was taken from
    bool ascii = true;     // false: `sv` holds UTF-8 of non-ASCII text
    bool whole = false;    // `sv` is exactly `holder`'s text

    Raw() = default;
    Raw(const Raw&) = delete;
    Raw& operator=(const Raw&) = delete;
};

// The characters of an exact str (not a subclass) that is pure ASCII.
bool exact_ascii(PyObject* o, std::string_view& s) {
    return PyUnicode_CheckExact(o) && kv::ascii_view(o, s);
}

void normalise(PyObject* code, Raw& r) {
    std::string_view s;
    if (exact_ascii(code, s)) {
        r.holder = py::reinterpret_borrow<py::object>(code);
        r.sv = q::normalise_ascii(s, r.buf);
        r.whole = r.sv.data() == s.data() && r.sv.size() == s.size();
        return;
    }
    // Non-ASCII text or a str subclass: the host's own methods decide.
    py::object v = kv::truthy(code) ? py::reinterpret_borrow<py::object>(code) : py::str("");
    v = v.attr("strip")();
    v = v.attr("upper")();
    kv::check_str(v, "code");
    r.holder = v;
    r.whole = true;
    if (kv::ascii_view(v.ptr(), r.sv)) return;
    PyObject* b = PyUnicode_AsEncodedString(v.ptr(), "utf-8", "surrogatepass");
    if (!b) throw py::error_already_set();
    py::object bytes = py::reinterpret_steal<py::object>(b);
    r.buf.assign(PyBytes_AS_STRING(bytes.ptr()), static_cast<std::size_t>(PyBytes_GET_SIZE(bytes.ptr())));
    r.sv = r.buf;
    r.ascii = false;
}

py::object make_str(std::string_view s, bool ascii) {
    if (ascii) {
        PyObject* u = PyUnicode_New(static_cast<Py_ssize_t>(s.size()), 127);
        if (!u) throw py::error_already_set();
        if (!s.empty()) std::memcpy(PyUnicode_1BYTE_DATA(u), s.data(), s.size());
        return py::reinterpret_steal<py::object>(u);
    }
    PyObject* u = PyUnicode_DecodeUTF8(s.data(), static_cast<Py_ssize_t>(s.size()), "surrogatepass");
    if (!u) throw py::error_already_set();
    return py::reinterpret_steal<py::object>(u);
}

// to_qmt_code / from_qmt_code on a str.
py::object convert(PyObject* code, bool to_qmt) {
    Raw r;
    normalise(code, r);
    q::Converted c = to_qmt ? q::to_qmt(r.sv) : q::from_qmt(r.sv);
    if (c.market == q::Market::None) {
        if (r.whole) return r.holder;
        return make_str(r.sv, r.ascii);
    }
    std::string out;
    if (to_qmt)
        q::format_qmt(c, r.sv, out);
    else
        q::format_framework(c, r.sv, out);
    return make_str(out, r.ascii);
}

py::object exchange_from_qmt_code(py::handle code) {
    kv::check_str(code, "code");
    Raw r;
    normalise(code.ptr(), r);
    bool sz = q::is_shenzhen(r.sv);
    return globals("Exchange").attr(sz ? "SZSE" : "SSE");
}

// Adds `text` to the set unless an equal text was added already.
struct CodeSet {
    py::object set;
    std::string_view seen[6];
    int n_seen = 0;

    bool known(std::string_view s) const {
        for (int k = 0; k < n_seen; ++k)
            if (seen[k] == s) return true;
        return false;
    }
    void add(const py::object& o) {
        if (PySet_Add(set.ptr(), o.ptr()) < 0) throw py::error_already_set();
    }
    void add_text(std::string_view s) {
        if (known(s)) return;
        seen[n_seen++] = s;
        add(make_str(s, true));
    }
};

py::object security_codes_for_lookup(py::handle security) {
    py::object code = security.attr("code");
    kv::check_str(code, "code");
    CodeSet out;
    out.set = py::reinterpret_steal<py::object>(PySet_New(nullptr));
    if (!out.set) throw py::error_already_set();

    std::string_view text;
    if (!exact_ascii(code.ptr(), text)) {
        out.add(code);
        out.add(code.attr("upper")());
        py::object to = convert(code.ptr(), true);
        py::object from = convert(code.ptr(), false);
        out.add(to);
        out.add(from);
        out.add(convert(from.ptr(), true));
        out.add(convert(to.ptr(), false));
        return std::move(out.set);
    }

    // ASCII: every form in C++, each distinct text made into a str once.
    out.add(code);
    out.seen[out.n_seen++] = text;
    std::string upper;
    q::upper_ascii(text, upper);
    out.add_text(upper);

    std::string buf;
    std::string_view raw = q::normalise_ascii(text, buf);
    std::string to, from, to_from, from_to, nbuf;
    q::format_qmt(q::to_qmt(raw), raw, to);
    q::format_framework(q::from_qmt(raw), raw, from);
    std::string_view nfrom = q::normalise_ascii(from, nbuf);
    q::format_qmt(q::to_qmt(nfrom), nfrom, to_from);
    std::string nbuf2;
    std::string_view nto = q::normalise_ascii(to, nbuf2);
    q::format_framework(q::from_qmt(nto), nto, from_to);
    out.add_text(to);
    out.add_text(from);
    out.add_text(to_from);
    out.add_text(from_to);
    return std::move(out.set);
}

}  // namespace

void define_module(py::module_& m) {
    m.doc() = "Conversion between framework security codes and QMT codes.";
    kv::import_name(m, "kavrel_trader.core.constants", "Exchange");
    kv::import_name(m, "kavrel_trader.core.security", "Security");
    globals.bind(m);

    kv::def(m, "to_qmt_code", {{"code"}},
            [](const kv::Bound& a) {
                kv::check_str(a[0], "code");
                return convert(a[0].ptr(), true);
            },
            "QMT form of a code (\"SH.600000\" -> \"600000.SH\"); an unrecognised code comes back\n"
            "stripped and upper-cased.");
    kv::def(m, "from_qmt_code", {{"code"}},
            [](const kv::Bound& a) {
                kv::check_str(a[0], "code");
                return convert(a[0].ptr(), false);
            },
            "Framework form of a code (\"600000.SH\" -> \"SH.600000\"); an unrecognised code comes\n"
            "back stripped and upper-cased.");
    kv::def(m, "exchange_from_qmt_code", {{"code"}},
            [](const kv::Bound& a) { return exchange_from_qmt_code(a[0]); },
            "Exchange.SZSE for a Shenzhen code, otherwise Exchange.SSE.");
    kv::def(m, "security_codes_for_lookup", {{"security"}},
            [](const kv::Bound& a) { return security_codes_for_lookup(a[0]); },
            "The set of code forms under which the security may appear in a bridge payload.");
}

}  // namespace symbols
}  // namespace kv

KV_MODULE(symbols, m) { kv::symbols::define_module(m); }
