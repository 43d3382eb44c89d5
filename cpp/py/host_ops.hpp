// Host operations: the Python operations the modules perform on objects, each named after
// the Python it stands for and with the interpreter's exact meaning; a failure raises the
// pending Python error as py::error_already_set.
//
//  - references: steal, borrow, intern; interned names (Name) built once per module
//  - attributes, items and comparisons: getattr, getattr_or, hasattr, setattr, getitem, eq,
//    contains, is_instance, truthy, unpack, str_of
//  - calls: call_method, through the method vectorcall (no bound method is made)
//  - messages and errors: Text (an f-string), raise, raise_from, ignoring_errors
//  - the module's namespace read when used: ModuleNames (`globals("x")`, `globals.print`,
//    `globals.now()`)
//
// The raw C API calls sit here, each wrapped once, so its reference and error rules are
// written and checked in one place.
#pragma once

#include <pybind11/pybind11.h>

#include <string>
#include <type_traits>
#include <utility>

namespace py = pybind11;

namespace kv {

// ---------------------------------------------------------------- references

// A new reference returned by the C API, or its pending error raised.
inline py::object steal(PyObject* o) {
    if (!o) throw py::error_already_set();
    return py::reinterpret_steal<py::object>(o);
}

// An owned reference to a borrowed object.
inline py::object borrow(py::handle h) { return py::reinterpret_borrow<py::object>(h); }

// An interned str for attribute and keyword names, kept for the life of the process.
inline PyObject* intern(const char* s) {
    PyObject* o = PyUnicode_InternFromString(s);
    if (!o) throw py::error_already_set();
    return o;
}

// An interned attribute, key or keyword name, made once (under the GIL, at import) and
// never freed. Each module keeps its names in one struct, each field with its own text:
//
//     struct Names { kv::Name code{"code"}, price{"price"}; };
//     const Names& N();  // module.cpp: a function-local static, made first at import
class Name : public py::handle {
public:
    explicit Name(const char* text) : py::handle(intern(text)) {}
    // The str itself, where a C API call or a table reader takes a name or key.
    operator PyObject*() const { return ptr(); }
};

// ---------------------------------------------------------------- attributes and items

// o.name
inline py::object getattr(py::handle o, const Name& name) {
    return steal(PyObject_GetAttr(o.ptr(), name.ptr()));
}
inline py::object getattr(py::handle o, PyObject* name) {
    return steal(PyObject_GetAttr(o.ptr(), name));
}

// getattr(o, name, dflt): only an AttributeError gives the default.
inline py::object getattr_or(py::handle o, PyObject* name, py::handle dflt) {
    PyObject* v = PyObject_GetAttr(o.ptr(), name);
    if (v) return py::reinterpret_steal<py::object>(v);
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throw py::error_already_set();
    PyErr_Clear();
    return borrow(dflt);
}
inline py::object getattr_or(py::handle o, const Name& name, py::handle dflt) {
    return getattr_or(o, name.ptr(), dflt);
}

// hasattr(o, name): only an AttributeError means no; any other error of the lookup is raised.
inline bool hasattr(py::handle o, PyObject* name) {
    PyObject* v = PyObject_GetAttr(o.ptr(), name);
    if (v) {
        Py_DECREF(v);
        return true;
    }
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throw py::error_already_set();
    PyErr_Clear();
    return false;
}
inline bool hasattr(py::handle o, const Name& name) { return hasattr(o, name.ptr()); }

// o.name = v
inline void setattr(py::handle o, PyObject* name, py::handle v) {
    if (PyObject_SetAttr(o.ptr(), name, v.ptr()) < 0) throw py::error_already_set();
}
inline void setattr(py::handle o, const Name& name, py::handle v) {
    setattr(o, name.ptr(), v);
}

// o[key]
inline py::object getitem(py::handle o, py::handle key) {
    return steal(PyObject_GetItem(o.ptr(), key.ptr()));
}

// bool(o)
inline bool truthy(py::handle o) {
    int r = PyObject_IsTrue(o.ptr());
    if (r < 0) throw py::error_already_set();
    return r != 0;
}

// bool(a == b): the host's own comparison, without the identity shortcut of `in`.
inline bool eq(py::handle a, py::handle b) {
    return truthy(steal(PyObject_RichCompare(a.ptr(), b.ptr(), Py_EQ)));
}

// x in c
inline bool contains(py::handle c, py::handle x) {
    int r = PySequence_Contains(c.ptr(), x.ptr());
    if (r < 0) throw py::error_already_set();
    return r != 0;
}

// isinstance(o, cls)
inline bool is_instance(py::handle o, py::handle cls) {
    int r = PyObject_IsInstance(o.ptr(), cls.ptr());
    if (r < 0) throw py::error_already_set();
    return r != 0;
}

// str(o)
inline py::object str_of(py::handle o) { return steal(PyObject_Str(o.ptr())); }

// ---------------------------------------------------------------- calls

// o.name(*args), positional arguments only. The method vectorcall finds a plain method
// without making a bound method object; instance attributes and descriptors are honoured
// as by o.name. Keyword calls go through pybind11: getattr(o, n)(py::arg("k") = v).
template <class... Args>
py::object call_method(py::handle o, const Name& name, const Args&... args) {
    PyObject* stack[] = {o.ptr(), py::handle(args).ptr()...};
    return steal(PyObject_VectorcallMethod(
        name.ptr(), stack, (sizeof...(Args) + 1) | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
}

// ---------------------------------------------------------------- messages and errors

// A message built as an f-string is: literal pieces and the text form (format(v, "")) of
// values, joined.
class Text {
public:
    Text& operator<<(const char* literal) {
        append(steal(PyUnicode_FromString(literal)));
        return *this;
    }
    Text& operator<<(py::handle value) {
        append(steal(PyObject_Format(value.ptr(), empty())));
        return *this;
    }
    py::str str() const {
        PyObject* s = PyUnicode_Join(empty(), parts_.ptr());
        if (!s) throw py::error_already_set();
        return py::reinterpret_steal<py::str>(s);
    }

private:
    static PyObject* empty() {
        static const Name e("");
        return e.ptr();
    }
    void append(const py::object& s) {
        if (PyList_Append(parts_.ptr(), s.ptr()) < 0) throw py::error_already_set();
    }
    py::list parts_;
};

// Raise exc_type(message). A message object is passed as the one argument of the
// exception (PyErr_SetObject would spread a tuple into the arguments).
[[noreturn]] inline void raise(PyObject* exc_type, const std::string& message) {
    PyErr_SetString(exc_type, message.c_str());
    throw py::error_already_set();
}
[[noreturn]] inline void raise(PyObject* exc_type, py::handle message) {
    py::object exc = steal(PyObject_CallOneArg(exc_type, message.ptr()));
    PyErr_SetObject(exc_type, exc.ptr());
    throw py::error_already_set();
}
[[noreturn]] inline void raise(PyObject* exc_type, const Text& message) {
    raise(exc_type, message.str());
}

// Raise exc_type(message) with `__cause__` set to the exception being handled.
[[noreturn]] inline void raise_from(py::error_already_set& cause, PyObject* exc_type,
                                    const std::string& message) {
    cause.restore();
    py::raise_from(exc_type, message.c_str());
    throw py::error_already_set();
}

// Whether a caught error is an Exception (not KeyboardInterrupt, SystemExit, ...).
inline bool is_exception(const py::error_already_set& e) { return e.matches(PyExc_Exception); }

// Runs `fn` and swallows an Exception it raises, as `except Exception: pass` does
// (a BaseException such as KeyboardInterrupt still propagates).
template <class Fn>
void ignoring_errors(Fn&& fn) {
    try {
        fn();
    } catch (py::error_already_set& e) {
        if (!is_exception(e)) throw;
    }
}

// `out[0], ..., out[n-1] = seq`, with the host's unpacking errors.
inline void unpack(py::handle seq, py::object* out, int n) {
    if (PyTuple_CheckExact(seq.ptr()) && PyTuple_GET_SIZE(seq.ptr()) == n) {
        for (int i = 0; i < n; ++i) out[i] = borrow(PyTuple_GET_ITEM(seq.ptr(), i));
        return;
    }
    py::object it = steal(PyObject_GetIter(seq.ptr()));
    int got = 0;
    for (; got <= n; ++got) {
        PyObject* x = PyIter_Next(it.ptr());
        if (!x) break;
        if (got == n) {
            Py_DECREF(x);
            raise(PyExc_ValueError,
                  "too many values to unpack (expected " + std::to_string(n) + ")");
        }
        out[got] = steal(x);
    }
    if (PyErr_Occurred()) throw py::error_already_set();
    if (got < n)
        raise(PyExc_ValueError, "not enough values to unpack (expected " + std::to_string(n) +
                                    ", got " + std::to_string(got) + ")");
}

// ---------------------------------------------------------------- module names

// A module's namespace, read at call time: each module has one `ModuleNames globals;`,
// bound in the module's entry. It keeps the module's __dict__ alive for the life of the
// process (modules are never unloaded).
class ModuleNames {
public:
    void bind(py::module_& m) {
        dict_ = PyModule_GetDict(m.ptr());
        Py_INCREF(dict_);
    }

    // `name` as the module's code would see it: a module global, else a builtin.
    // NameError("name 'x' is not defined") when neither has it.
    py::object operator()(const char* name) const {
        PyObject* v = PyDict_GetItemString(dict_, name);  // borrowed
        if (!v) {
            PyObject* builtins = PyEval_GetBuiltins();  // borrowed
            v = builtins ? PyDict_GetItemString(builtins, name) : nullptr;
        }
        if (!v) raise(PyExc_NameError, std::string("name '") + name + "' is not defined");
        return borrow(v);
    }

    // print(*args) through the module's `print`, so sys.stdout redirection sees it; a Text
    // is passed as its str.
    template <class... Args>
    void print(const Args&... args) const {
        (*this)("print")(printable(args)...);
    }

    // datetime.now() through the module's `datetime` class (a frozen clock in tests works).
    py::object now() const { return (*this)("datetime").attr("now")(); }

private:
    static py::str printable(const Text& t) { return t.str(); }
    template <class T, class = std::enable_if_t<!std::is_same<T, Text>::value>>
    static const T& printable(const T& v) {
        return v;
    }

    PyObject* dict_ = nullptr;
};

}  // namespace kv
