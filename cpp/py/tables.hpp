// Reading broker tables (pandas DataFrames) through pandas' public API only: the first row's
// value of a named column, and whole columns as lists of host values. Positional access
// (`columns.get_loc` and `iat`) costs a fraction of building a Series per column.
#pragma once

#include <pybind11/pybind11.h>

#include "py/pyhelpers.hpp"

namespace kv {
namespace tables {
namespace py = pybind11;

struct Names {
    PyObject *columns, *iat, *get_loc, *values, *tolist;
    static const Names& get() {
        static const Names n{intern("columns"), intern("iat"), intern("get_loc"),
                             intern("values"), intern("tolist")};
        return n;
    }
};

// `table[name].values[0]`, the value of a column in the first row, as the table gives it.
// A missing column raises the table's KeyError; an empty table the IndexError of `values[0]`.
class FirstRow {
public:
    explicit FirstRow(py::handle table) : table_(table) {}

    py::object operator[](PyObject* name) {
        const Names& N = Names::get();
        if (!columns_) {
            columns_ = steal(PyObject_GetAttr(table_.ptr(), N.columns));
            iat_ = steal(PyObject_GetAttr(table_.ptr(), N.iat));
        }
        py::object loc = steal(PyObject_CallMethodObjArgs(columns_.ptr(), N.get_loc, name, nullptr));
        if (PyLong_Check(loc.ptr())) {  // a unique column: iat[0, position]
            py::object key = steal(PyTuple_Pack(2, zero(), loc.ptr()));
            return steal(PyObject_GetItem(iat_.ptr(), key.ptr()));
        }
        // Repeated column names: whatever `table[name].values[0]` gives.
        py::object col = steal(PyObject_GetItem(table_.ptr(), name));
        py::object values = steal(PyObject_GetAttr(col.ptr(), N.values));
        return steal(PySequence_GetItem(values.ptr(), 0));
    }

private:
    static PyObject* zero() {
        static PyObject* z = PyLong_FromLong(0);
        return z;
    }
    py::handle table_;
    py::object columns_, iat_;
};

// `list(table[name])` as host values (`Series.tolist()`: numpy numbers become int/float).
inline py::object column_list(py::handle table, PyObject* name) {
    py::object col = steal(PyObject_GetItem(table.ptr(), name));
    PyObject* lst = PyObject_CallMethodObjArgs(col.ptr(), Names::get().tolist, nullptr);
    if (lst && PyList_CheckExact(lst)) return steal(lst);
    if (lst) Py_DECREF(lst);
    else if (PyErr_ExceptionMatches(PyExc_AttributeError)) PyErr_Clear();
    else throw py::error_already_set();
    return steal(PySequence_List(col.ptr()));
}

// len(table)
inline Py_ssize_t row_count(py::handle table) {
    Py_ssize_t n = PyObject_Length(table.ptr());
    if (n < 0) throw py::error_already_set();
    return n;
}

}  // namespace tables
}  // namespace kv
