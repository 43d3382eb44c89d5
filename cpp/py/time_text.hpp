// Turning broker time texts into datetimes the way the framework's parser does, without the
// parser's cost on every text. The parser is an outside function (`try_parsing_datetime`);
// once it has given, for one text of a dashed shape ("YYYY-MM-DD HH:MM:SS[.ffffff]"), exactly
// the naive datetime written in it, later texts of that shape are built natively. A
// replaced parser (another object under the name) is always called.
#pragma once

#include <pybind11/pybind11.h>

#include <datetime.h>

#include "engine/datetime_text.hpp"
#include "py/pyhelpers.hpp"

namespace kv {

// The datetime C API, one per process (the header's PyDateTimeAPI is per source file).
inline PyDateTime_CAPI* datetime_api() {
    static PyDateTime_CAPI* api =
        static_cast<PyDateTime_CAPI*>(PyCapsule_Import(PyDateTime_CAPSULE_NAME, 0));
    if (!api) throw py::error_already_set();
    return api;
}

inline py::object make_datetime(const dt::DateTimeParts& p) {
    PyDateTime_CAPI* api = datetime_api();
    return steal(api->DateTime_FromDateAndTime(p.year, p.month, p.day, p.hour, p.minute,
                                               p.second, p.microsecond, Py_None,
                                               api->DateTimeType));
}

inline bool is_real_datetime_class(py::handle cls) {
    return cls.ptr() == reinterpret_cast<PyObject*>(datetime_api()->DateTimeType);
}

// type(o) is datetime.datetime
inline bool is_exact_datetime(py::handle o) {
    return Py_TYPE(o.ptr()) == datetime_api()->DateTimeType;
}

class TimeTextParser {
public:
    // The parser object found at import: the only one whose agreement is remembered.
    void bind(py::handle genuine) {
        genuine_ = genuine.ptr();
        Py_INCREF(genuine_);
    }

    // fn(text), natively where `fn` is the import-time parser and it agreed on this shape.
    py::object operator()(py::handle fn, py::handle text) {
        std::string_view s;
        dt::DateTimeParts parts;
        int shape = -1;
        if (fn.ptr() != genuine_ || !PyUnicode_CheckExact(text.ptr()) ||
            !ascii_view(text.ptr(), s) || !dt::parse_dashed(s, parts, shape))
            return call(fn, text);
        if (trust_[shape] > 0) return make_datetime(parts);
        py::object r = call(fn, text);
        if (trust_[shape] == 0) {
            bool same = false;
            if (is_exact_datetime(r)) {
                py::object mine = make_datetime(parts);
                int eq = PyObject_RichCompareBool(r.ptr(), mine.ptr(), Py_EQ);
                if (eq < 0) PyErr_Clear();
                same = eq > 0 && reinterpret_cast<PyDateTime_DateTime*>(r.ptr())->hastzinfo == 0;
            }
            trust_[shape] = same ? 1 : -1;
        }
        return r;
    }

    // datetime_cls.strptime(text, "%Y-%m-%d %H:%M:%S"): natively for the real class and a
    // matching text, else by the class itself (its error for a text that does not match).
    static py::object strptime_seconds(py::handle datetime_cls, py::handle text) {
        std::string_view s;
        dt::DateTimeParts parts;
        int shape = -1;
        if (is_real_datetime_class(datetime_cls) && PyUnicode_CheckExact(text.ptr()) &&
            ascii_view(text.ptr(), s) && dt::parse_dashed(s, parts, shape) &&
            shape == dt::kDashedSeconds)
            return make_datetime(parts);
        return datetime_cls.attr("strptime")(text, "%Y-%m-%d %H:%M:%S");
    }

private:
    static py::object call(py::handle fn, py::handle text) {
        return steal(PyObject_CallOneArg(fn.ptr(), text.ptr()));
    }
    PyObject* genuine_ = nullptr;
    int trust_[dt::kDashedShapes] = {0, 0};  // 1 agreed, -1 disagreed, 0 not yet asked
};

}  // namespace kv
