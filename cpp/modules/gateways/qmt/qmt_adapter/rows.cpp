// Row readers: the first number, level value, text or integer among a list of keys of a
// decoded bridge row, and the small helpers the method files share.
#include <pybind11/pybind11.h>

#include "adapter.hpp"
#include "py/row_values.hpp"

namespace kv {
namespace qmt_adapter {

py::object join(std::initializer_list<py::handle> parts) {
    py::object out = steal(PyUnicode_FromString(""));
    for (py::handle p : parts) {
        py::object t = PyUnicode_CheckExact(p.ptr()) ? borrow(p.ptr()) : str_of(p);
        out = steal(PyUnicode_Concat(out.ptr(), t.ptr()));
    }
    return out;
}

void log(py::handle self, std::initializer_list<py::handle> parts) {
    py::object line = join({py::str("["), getattr(self, N().NAME), py::str("]")});
    line = steal(PyUnicode_Concat(line.ptr(), join(parts).ptr()));
    globals.print(line);
}

py::object cfg_get(py::handle self, const char* key, py::handle dflt, bool none_is_missing) {
    py::object cfg = getattr(self, N().cfg);
    py::object k = py::str(key);
    py::object v;
    if (PyDict_CheckExact(cfg.ptr())) {
        PyObject* x = PyDict_GetItemWithError(cfg.ptr(), k.ptr());
        if (!x && PyErr_Occurred()) throw py::error_already_set();
        v = x ? borrow(x) : borrow(dflt.ptr());
    } else {
        v = call_method(cfg, N().get, k, dflt);
    }
    if (none_is_missing && v.is_none()) return borrow(dflt.ptr());
    return v;
}

bool is_mapping(py::handle o) {
    return PyDict_Check(o.ptr()) || is_instance(o, globals("Mapping"));
}

py::object row_value(py::handle row, py::handle key) {
    if (PyDict_Check(row.ptr())) {
        PyObject* v = PyDict_GetItemWithError(row.ptr(), key.ptr());
        if (!v) {
            if (PyErr_Occurred()) throw py::error_already_set();
            return py::object();
        }
        return borrow(v);
    }
    py::object v = call_method(row, N().get, key);
    return v.is_none() ? py::object() : v;
}

void check_row(py::handle row) {
    if (!is_mapping(row)) raise_arg_type("row", "dict", row);
}

void check_keys(py::handle keys) {
    if (!PyList_Check(keys.ptr())) raise_arg_type("keys", "list", keys);
}

namespace {

// Calls visit(value) for the non-null value of each key of `keys` present in `row`, in
// order, until it returns true; returns whether one did. The list is re-read at each step,
// as a for loop over it would.
template <class Visit>
bool each_value(py::handle row, py::handle keys, Visit&& visit) {
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(keys.ptr()); ++i) {
        py::object key = borrow(PyList_GET_ITEM(keys.ptr(), i));
        py::object v = row_value(row, key);
        if (!v || v.is_none()) continue;
        if (visit(v)) return true;
    }
    return false;
}

}  // namespace

py::object level_number(py::handle row, py::handle keys, py::handle index, double dflt) {
    py::int_ idx = to_int_arg(index, "index");
    py::object out;
    each_value(row, keys, [&](const py::object& v) {
        if (!PyList_Check(v.ptr()) && !PyTuple_Check(v.ptr())) return false;
        // len(v) > index, then v[index]
        py::object len = steal(PyLong_FromSsize_t(PySequence_Size(v.ptr())));
        int longer = PyObject_RichCompareBool(len.ptr(), idx.ptr(), Py_GT);
        if (longer < 0) throw py::error_already_set();
        if (!longer) return false;
        py::object item = getitem(v, idx);
        double d;
        if (!to_float(item.ptr(), d)) return false;
        out = float_object(item.ptr(), d);
        return true;
    });
    return out ? out : steal(PyFloat_FromDouble(dflt));
}

py::object first_number(py::handle row, py::handle keys, double dflt) {
    py::object out;
    each_value(row, keys, [&](const py::object& v) {
        double d;
        if (!to_float(v.ptr(), d)) return false;
        out = float_object(v.ptr(), d);
        return true;
    });
    return out ? out : steal(PyFloat_FromDouble(dflt));
}

py::object first_str(py::handle row, py::handle keys, py::handle dflt) {
    py::object out;
    each_value(row, keys, [&](const py::object& v) {
        py::object s = str_of(v);
        s = call_method(s, N().strip);
        if (!truthy(s)) return false;
        out = s;
        return true;
    });
    return out ? out : borrow(dflt.ptr());
}

py::object first_int(py::handle row, py::handle keys, py::handle dflt) {
    py::object out;
    each_value(row, keys, [&](const py::object& v) {
        double d;
        if (!to_float(v.ptr(), d)) return false;
        PyObject* i = PyLong_FromDouble(d);  // int(): ValueError for NaN, OverflowError for inf
        if (!i) {
            if (PyErr_ExceptionMatches(PyExc_ValueError)) {
                PyErr_Clear();
                return false;
            }
            throw py::error_already_set();
        }
        out = steal(i);
        return true;
    });
    return out ? out : borrow(dflt.ptr());
}

OriginalReaders originals;

namespace {
py::object key_list(std::initializer_list<const char*> keys) {
    py::object l = steal(PyList_New(0));
    for (const char* k : keys)
        if (PyList_Append(l.ptr(), py::str(k).ptr()) < 0) throw py::error_already_set();
    return l;
}
}  // namespace

py::object read_number(py::handle row, std::initializer_list<const char*> keys) {
    py::object fn = globals("_first_number");
    py::object l = key_list(keys);
    if (fn.ptr() != originals.first_number) return fn(row, l);
    check_row(row);
    return first_number(row, l, 0.0);
}

py::object read_str(py::handle row, std::initializer_list<const char*> keys) {
    py::object fn = globals("_first_str");
    py::object l = key_list(keys);
    if (fn.ptr() != originals.first_str) return fn(row, l);
    check_row(row);
    return first_str(row, l, py::str(""));
}

py::object read_int(py::handle row, std::initializer_list<const char*> keys) {
    py::object fn = globals("_first_int");
    py::object l = key_list(keys);
    if (fn.ptr() != originals.first_int) return fn(row, l);
    check_row(row);
    return first_int(row, l, py::int_(0));
}

void add_row_readers(py::module_& m) {
    def(m, "_first_number", {{"row"}, {"keys"}, {"default", py::float_(0.0)}},
        [](const Bound& a) {
            check_row(a[0]);
            check_keys(a[1]);
            return first_number(a[0], a[1], to_double_arg(a[2], "default"));
        });
    def(m, "_level_number",
        {{"row"}, {"list_keys"}, {"index"}, {"default", py::float_(0.0)}},
        [](const Bound& a) {
            check_row(a[0]);
            if (!PyList_Check(a[1].ptr())) raise_arg_type("list_keys", "list", a[1]);
            double d = to_double_arg(a[3], "default");
            return level_number(a[0], a[1], a[2], d);
        },
        "Read level-N from list fields like bidPrice/askVol (Big QMT tick shape).");
    def(m, "_first_str", {{"row"}, {"keys"}, {"default", py::str("")}},
        [](const Bound& a) {
            check_row(a[0]);
            check_keys(a[1]);
            check_str(a[2], "default");
            return first_str(a[0], a[1], a[2]);
        });
    def(m, "_first_int", {{"row"}, {"keys"}, {"default", py::int_(0)}},
        [](const Bound& a) {
            check_row(a[0]);
            check_keys(a[1]);
            py::int_ d = to_int_arg(a[2], "default");
            return first_int(a[0], a[1], d);
        });
    originals.first_number = py::object(m.attr("_first_number")).release().ptr();
    originals.level_number = py::object(m.attr("_level_number")).release().ptr();
    originals.first_str = py::object(m.attr("_first_str")).release().ptr();
    originals.first_int = py::object(m.attr("_first_int")).release().ptr();
}

}  // namespace qmt_adapter
}  // namespace kv
