// Reading broker tables (pandas DataFrames) through pandas' public API only: the first row's
// value of a named column, and whole columns as lists of host values. Positional access
// (`columns.get_loc`, then `iat` or one `to_numpy()`) costs a fraction of building a Series
// per column.
#pragma once

#include <pybind11/pybind11.h>

#include <cstdlib>
#include <string>

#include "py/host_ops.hpp"
#include "py/pyhelpers.hpp"

namespace kv {
namespace tables {

// Attribute and method names of pandas tables.
struct Names {
    Name columns{"columns"}, iat{"iat"}, get_loc{"get_loc"}, values{"values"},
        tolist{"tolist"}, to_numpy{"to_numpy"};
    static const Names& get() {
        static const Names n;
        return n;
    }
};

// Which positional road is cheap depends on how pandas stores a table: pandas 3 keeps text
// columns apart (one array each), so `iat` is cheap and a whole-table `to_numpy()` dear;
// pandas 2 keeps them in one block, where `to_numpy()` is cheap and `iat` dear.
inline bool iat_is_cheap() {
    static const int major = [] {
        py::object version = py::module_::import("pandas").attr("__version__");
        std::string v = py::str(version).cast<std::string>();
        return v.empty() ? 0 : std::atoi(v.c_str());
    }();
    return major >= 3;
}

// `table[name].values[0]`, the value of a column in the first row, as the table gives it.
// A missing column raises the table's KeyError; an empty table the IndexError of `values[0]`.
class FirstRow {
public:
    explicit FirstRow(py::handle table) : table_(table) {}

    py::object operator[](PyObject* name) {
        const Names& N = Names::get();
        if (!columns_) columns_ = getattr(table_, N.columns);
        py::object loc = call_method(columns_, N.get_loc, name);
        if (PyLong_Check(loc.ptr())) {  // a unique column: [0, position]
            if (!rows_) {
                rows_ = iat_is_cheap()
                            ? getattr(table_, N.iat)
                            : call_method(table_, N.to_numpy);
            }
            py::object key = steal(PyTuple_Pack(2, zero(), loc.ptr()));
            return getitem(rows_, key);
        }
        // Repeated column names: whatever `table[name].values[0]` gives.
        py::object col = getitem(table_, name);
        py::object values = getattr(col, N.values);
        return steal(PySequence_GetItem(values.ptr(), 0));
    }

private:
    static PyObject* zero() {
        static PyObject* z = PyLong_FromLong(0);
        return z;
    }
    py::handle table_;
    py::object columns_, rows_;  // rows_: the table's iat, or its to_numpy() array
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
