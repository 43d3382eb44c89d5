// Functions and classes with Python signatures.
//
// Functions with a Python signature: parameters with names, defaults and keyword-only
// markers (and optionally *args), bound with the host's vectorcall convention and with the
// argument errors a plain `def` raises ("f() missing 1 required positional argument: 'x'",
// "f() got an unexpected keyword argument 'y'", ...). The docstring is exactly the given
// text (None without one) and inspect.signature() sees the parameters.
//
//     kv::def(m, "clamp_periods",
//             {{"freq"}, {"periods"}, {"max_count", py::none()}},
//             [](const kv::Bound& a) { return clamp(a[0], a[1], a[2]); });
//
// Classes over Python bases (PyClassBuilder): real Python classes, `type(name, bases, ns)`
// through the bases' metaclass, whose methods are such functions wrapped as instance
// methods, so they bind like `def`s, can be overridden in subclasses, and instances keep
// their state in __dict__.
#pragma once

#include <pybind11/pybind11.h>

#include <array>
#include <functional>
#include <stdexcept>
#include <type_traits>
#include <string>
#include <utility>
#include <vector>

#include "py/fastcall.hpp"
#include "py/pyhelpers.hpp"

namespace kv {

struct Param {
    Param(const char* n) : name(n) {}  // NOLINT: implicit on purpose, {"x"} reads well
    Param(const char* n, py::object d) : name(n), dflt(std::move(d)) {}
    const char* name;
    py::object dflt;  // null: required
};

// Marker placed between parameters: the ones after it are keyword-only.
inline Param kw_only() { return Param("*"); }

// Marker placed last: keywords that name no parameter are collected into a dict
// (`def f(a, **kwargs)`), read with Bound::kwargs().
inline Param var_kw() { return Param("**"); }

// The bound arguments: one borrowed object per parameter (defaults filled in), then, for a
// function with *args, the tuple of extra positional arguments.
class Bound {
public:
    static constexpr size_t kMax = 12;  // parameters a function may have

    py::handle operator[](size_t i) const { return values_[i]; }
    const py::tuple& varargs() const { return varargs_; }
    // The extra keywords of a function with var_kw() (a new dict per call).
    const py::dict& kwargs() const { return kwargs_; }

private:
    friend class Signature;
    std::array<PyObject*, kMax> values_{};  // no allocation per call
    py::tuple varargs_ = py::reinterpret_steal<py::tuple>(py::handle());  // set with *args
    py::dict kwargs_ = py::reinterpret_steal<py::dict>(py::handle());     // set with **kwargs
};

// Bound argument i as an owned reference.
inline py::object arg(const Bound& a, size_t i) { return borrow(a[i]); }

class Signature {
public:
    // `qualname` names the function in messages on Python 3.10+ ("Cls.__init__"); 3.9 uses
    // its last part (a def's code name, even after a rename), as the interpreter itself does.
    Signature(std::string name, std::string qualname, std::vector<Param> params, bool varargs)
        : name_(std::move(name)), qualname_(std::move(qualname)), varargs_(varargs) {
        for (auto& p : params) {
            if (std::string(p.name) == "**") {
                varkw_ = true;
                continue;
            }
            if (std::string(p.name) == "*") {
                n_positional_ = static_cast<Py_ssize_t>(params_.size());
                continue;
            }
            params_.push_back(std::move(p));
        }
        if (n_positional_ < 0) n_positional_ = static_cast<Py_ssize_t>(params_.size());
        if (params_.size() > Bound::kMax) throw std::logic_error("too many parameters");
        for (Py_ssize_t i = 0; i < n_positional_; ++i)
            if (!params_[i].dflt) n_required_positional_ = i + 1;
    }

    Bound bind(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) const {
        const Py_ssize_t n = static_cast<Py_ssize_t>(params_.size());
        Bound b;
        Py_ssize_t take = nargs < n_positional_ ? nargs : n_positional_;
        for (Py_ssize_t i = 0; i < take; ++i) b.values_[i] = args[i];
        if (varargs_) {
            PyObject* extra = PyTuple_New(nargs > take ? nargs - take : 0);
            if (!extra) throw py::error_already_set();
            for (Py_ssize_t i = take; i < nargs; ++i) {
                Py_INCREF(args[i]);
                PyTuple_SET_ITEM(extra, i - take, args[i]);
            }
            b.varargs_ = py::reinterpret_steal<py::tuple>(extra);
        }
        if (varkw_) b.kwargs_ = py::dict();
        Py_ssize_t kw_only_given = 0;
        const Py_ssize_t nkw = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
        for (Py_ssize_t k = 0; k < nkw; ++k) {
            PyObject* key = PyTuple_GET_ITEM(kwnames, k);
            Py_ssize_t j = 0;
            while (j < n && PyUnicode_CompareWithASCIIString(key, params_[j].name) != 0) ++j;
            if (j == n && varkw_) {
                if (PyDict_SetItem(b.kwargs_.ptr(), key, args[nargs + k]) < 0)
                    throw py::error_already_set();
                continue;
            }
            if (j == n) fail("%U() got an unexpected keyword argument '%S'", key);
            if (b.values_[j]) fail("%U() got multiple values for argument '%S'", key);
            b.values_[j] = args[nargs + k];
            if (j >= n_positional_) ++kw_only_given;
        }
        if (nargs > n_positional_ && !varargs_) too_many_positional(nargs, kw_only_given);
        bool complete = true;
        for (Py_ssize_t i = 0; i < n; ++i) {
            if (b.values_[i]) continue;
            b.values_[i] = params_[i].dflt.ptr();
            complete = complete && b.values_[i];
        }
        if (!complete) {
            missing(b, 0, n_positional_, "positional");
            missing(b, n_positional_, n, "keyword-only");
        }
        return b;
    }

    // "name($module, /, a, b=1, *, c=None)" for __text_signature__, or "" when a default
    // has no literal text form that inspect could read back.
    std::string text_signature() const {
        if (varkw_) return "";
        std::string s = name_ + "($module, /";
        for (size_t i = 0; i < params_.size(); ++i) {
            if (static_cast<Py_ssize_t>(i) == n_positional_) s += ", *";
            s += ", ";
            s += params_[i].name;
            if (params_[i].dflt) {
                py::handle d = params_[i].dflt;
                if (!(d.is_none() || PyBool_Check(d.ptr()) || PyLong_CheckExact(d.ptr()) ||
                      PyFloat_CheckExact(d.ptr()) || PyUnicode_CheckExact(d.ptr())))
                    return "";
                s += "=" + py::repr(d).cast<std::string>();
            }
        }
        return s + ")";
    }

private:
    [[noreturn]] void fail(const char* fmt, PyObject* arg = nullptr) const {
        py::str who(PY_VERSION_HEX >= 0x030A0000 ? qualname_
                                                 : qualname_.substr(qualname_.rfind('.') + 1));
        if (arg)
            PyErr_Format(PyExc_TypeError, fmt, who.ptr(), arg);
        else
            PyErr_Format(PyExc_TypeError, fmt, who.ptr());
        throw py::error_already_set();
    }

    [[noreturn]] void too_many_positional(Py_ssize_t given, Py_ssize_t kw_only_given) const {
        std::string takes = n_required_positional_ < n_positional_
                                ? "from " + std::to_string(n_required_positional_) + " to " +
                                      std::to_string(n_positional_)
                                : std::to_string(n_positional_);
        std::string kw;
        if (kw_only_given)
            kw = " positional argument" + std::string(given == 1 ? "" : "s") + " (and " +
                 std::to_string(kw_only_given) + " keyword-only argument" +
                 (kw_only_given == 1 ? ")" : "s)");
        std::string msg = "%U() takes " + takes + " positional argument" +
                          (n_positional_ == 1 && takes == "1" ? "" : "s") + " but " +
                          std::to_string(given) + kw +
                          (given == 1 && !kw_only_given ? " was" : " were") + " given";
        fail(msg.c_str());
    }

    // Raises for the parameters in [from, to) left unset (no argument and no default).
    void missing(const Bound& b, Py_ssize_t from, Py_ssize_t to, const char* kind) const {
        std::vector<std::string> names;
        for (Py_ssize_t i = from; i < to; ++i)
            if (!b.values_[i]) names.push_back(std::string("'") + params_[i].name + "'");
        if (names.empty()) return;
        std::string list;
        for (size_t i = 0; i < names.size(); ++i) {
            if (i) list += names.size() == 2 ? " and " : (i + 1 == names.size() ? ", and " : ", ");
            list += names[i];
        }
        std::string msg = "%U() missing " + std::to_string(names.size()) + " required " + kind +
                          " argument" + (names.size() == 1 ? "" : "s") + ": " + list;
        fail(msg.c_str());
    }

    std::string name_, qualname_;
    std::vector<Param> params_;
    Py_ssize_t n_positional_ = -1;
    Py_ssize_t n_required_positional_ = 0;
    bool varargs_;
    bool varkw_ = false;
};

namespace detail {

// What CPython needs to make a builtin function: its name, signature and docstring, and a
// method definition that points at them (so the three live as long as the definition).
struct FunctionSpec {
    FunctionSpec(const std::string& name, const std::string& qualname, std::vector<Param> params,
                 bool varargs, const char* text, PyCFunction impl)
        : name(name), sig(name, qualname, std::move(params), varargs) {
        // CPython takes "name(sig)\n--\n\n" off the front of a builtin's doc into
        // __text_signature__; with no text after it, __doc__ is None. The leading "$module"
        // parameter stands for __self__ (the module, or a method's capsule) and inspect
        // drops it, so a method reads "(self, a, ...)" on the class and "(a, ...)" bound.
        // A name with a dot ("percentile_2.5") carries none: CPython matches the doc's
        // leading name against the part after the last dot, so it would stay in __doc__.
        std::string text_sig = varargs || name.find('.') != std::string::npos
                                   ? std::string()
                                   : sig.text_signature();
        if (!text_sig.empty()) doc = text_sig + "\n--\n\n";
        if (text) doc += text;
        def.ml_name = this->name.c_str();
        def.ml_meth = impl;
        def.ml_flags = METH_FASTCALL | METH_KEYWORDS;
        def.ml_doc = doc.empty() ? nullptr : doc.c_str();
    }
    std::string name;
    Signature sig;
    std::string doc;
    PyMethodDef def{};
};

inline py::object new_builtin(FunctionSpec& spec, PyObject* self, const std::string& module_name) {
    PyObject* fn = PyCFunction_NewEx(&spec.def, self, py::str(module_name).ptr());
    if (!fn) throw py::error_already_set();
    return py::reinterpret_steal<py::object>(fn);
}

// A module function: its __self__ is the module, as for any builtin module function, so it
// pickles by name. Each body type gets its own C entry point holding the body and its
// spec; they live as long as the process, like a module's static method table.
template <class Body>
struct ModuleFunction {
    static inline FunctionSpec* spec = nullptr;
    static inline Body* body = nullptr;

    static PyObject* call(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
        return fastcall::guarded([&]() -> PyObject* {
            return (*body)(spec->sig.bind(args, nargs, kwnames)).release().ptr();
        });
    }
};

// A function made at run time (an aggregator a call returns, a class's method): its data
// is owned by a capsule that the function holds as __self__.
struct DynamicFunction {
    FunctionSpec spec;
    std::function<py::object(const Bound&)> body;

    static PyObject* call(PyObject* capsule, PyObject* const* args, Py_ssize_t nargs,
                          PyObject* kwnames) {
        auto* f = static_cast<DynamicFunction*>(PyCapsule_GetPointer(capsule, nullptr));
        return fastcall::guarded([&]() -> PyObject* {
            return f->body(f->spec.sig.bind(args, nargs, kwnames)).release().ptr();
        });
    }
};

inline py::object make_function(const std::string& module_name, const std::string& name,
                                const std::string& qualname, std::vector<Param> params,
                                bool varargs, std::function<py::object(const Bound&)> body,
                                const char* doc) {
    auto* f = new DynamicFunction{
        FunctionSpec(name, qualname, std::move(params), varargs, doc,
                     fastcall::as_cfunction(&DynamicFunction::call)),
        std::move(body)};
    py::capsule owner(f, [](void* p) { delete static_cast<DynamicFunction*>(p); });
    return new_builtin(f->spec, owner.ptr(), module_name);
}

}  // namespace detail

// Define module function `name` with the given parameters; `body` receives the bound
// arguments and returns the result. Each call site needs its own body (a lambda is).
template <class Body>
py::object def(py::module_& m, const char* name, std::vector<Param> params, Body&& body,
               const char* doc = nullptr) {
    using F = detail::ModuleFunction<std::decay_t<Body>>;
    if (F::body) throw std::logic_error(std::string("kv::def: body already bound: ") + name);
    F::spec = new detail::FunctionSpec(name, name, std::move(params), false, doc,
                                       fastcall::as_cfunction(&F::call));
    F::body = new std::decay_t<Body>(std::forward<Body>(body));
    py::object fn = detail::new_builtin(*F::spec, m.ptr(), m.attr("__name__").cast<std::string>());
    m.attr(name) = fn;
    return fn;
}

// A method for PyClassBuilder::attr: `params` start with `self`; `varargs` collects extra
// positional arguments (`def __init__(self, *deals)`).
template <class Body>
py::object method(py::module_& m, const char* cls, const char* name, std::vector<Param> params,
                  bool varargs, Body&& body, const char* doc = nullptr) {
    py::object fn = detail::make_function(m.attr("__name__").cast<std::string>(), name,
                                          std::string(cls) + "." + name, std::move(params),
                                          varargs, std::forward<Body>(body), doc);
    PyObject* meth = PyInstanceMethod_New(fn.ptr());
    if (!meth) throw py::error_already_set();
    return py::reinterpret_steal<py::object>(meth);
}

// ---------------------------------------------------------------- classes over Python bases

class PyClassBuilder {
public:
    PyClassBuilder(py::module_& m, const char* name, const char* doc = nullptr)
        : module_(m), name_(name) {
        ns_["__module__"] = m.attr("__name__");
        ns_["__qualname__"] = name;
        ns_["__doc__"] = doc ? py::object(py::str(doc)) : py::object(py::none());
    }

    // Method `name(self, <params...>[, *args])`; `params` start with "self".
    template <class Body>
    PyClassBuilder& def(const char* name, std::vector<Param> params, bool varargs, Body&& body,
                        const char* doc = nullptr) {
        ns_[name] = method(module_, name_, name, std::move(params), varargs,
                           std::forward<Body>(body), doc);
        return *this;
    }

    PyClassBuilder& attr(const char* name, py::object value) {
        ns_[name] = std::move(value);
        return *this;
    }

    // Create the class, set it as module attribute, and return it.
    py::object build(const py::tuple& bases) {
        py::handle first = bases.empty() ? py::handle(reinterpret_cast<PyObject*>(&PyBaseObject_Type))
                                         : py::handle(bases[0]);
        py::object cls = py::type::of(first)(name_, bases, ns_);
        module_.attr(name_) = cls;
        return cls;
    }

private:
    py::module_& module_;
    const char* name_;
    py::dict ns_;
};

}  // namespace kv
