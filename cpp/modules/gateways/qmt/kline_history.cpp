// kavrel_trader.gateways.qmt.kline_history: QMT periods, request windows and the
// conversion of the bridge's bar records into framework Bar records.
//
// Outside names (datetime, timedelta, Mapping, Bar, Security, try_parsing_datetime) and the
// module's own tables are module attributes read when used, so monkeypatching the module
// (a frozen-clock datetime, another Bar class, a changed FREQ_TO_QMT_PERIOD) works as on a
// plain Python module. records_to_bars also honours replaced parse_qmt_bar_time,
// _row_number and is_placeholder_bar functions.
//
// Fast paths: exact dict records with str keys are scanned once per record (keys lower-
// cased in C++ and matched against every candidate key), numbers and texts are converted
// without the interpreter where that is certain to give float()'s result, the four time
// formats are matched in C++ and the datetimes built through the C API while the module's
// `datetime` is the real class. Everything unusual takes the interpreter's own road.
#include <pybind11/pybind11.h>

#include <datetime.h>

#include <algorithm>
#include <charconv>
#include <string>
#include <string_view>
#include <vector>

#include "engine/qmt_bars.hpp"
#include "py/module_entry.hpp"
#include "py/pyhelpers.hpp"
#include "py/row_values.hpp"
#include "py/signature.hpp"

namespace q = kv::qmt;

namespace kv {
namespace kline_history {
namespace {

ModuleNames globals;

// Interned texts and the module's own function objects, set once at import.
struct Statics {
    PyObject* bar_keys[q::kBarKeyCount] = {};  // "time", ..., "vol"
    PyObject* field_keys[5] = {};              // ("open", "open_price"), ... for _row_number
    PyObject* field_names[5] = {};             // "open", "high", "low", "close", "volume"
    PyObject* bar_kwnames = nullptr;           // Bar keyword names, in call order
    PyObject* fn_parse = nullptr;  // the module's own functions, to spot replacements
    PyObject* fn_row_number = nullptr;
    PyObject* fn_placeholder = nullptr;
} g;

// Method and text names used per call.
struct Names {
    Name lower{"lower"}, strip{"strip"}, now{"now"}, strptime{"strptime"},
        strftime{"strftime"}, get{"get"}, items{"items"}, one_day{"1Day"};
};
const Names& N() {
    static const Names n;
    return n;
}

// ---------------------------------------------------------------- numbers

// Whether converting `v` (float(), str(), a time parse) runs only the interpreter's own
// code for built-in types, never code of the caller's that could change a record.
bool is_plain(PyObject* v) {
    return v == Py_None || PyFloat_CheckExact(v) || PyLong_CheckExact(v) || PyBool_Check(v) ||
           PyUnicode_CheckExact(v);
}

// `float(value or 0)`, for the placeholder test.
double float_or_zero(PyObject* v) {
    if (PyFloat_CheckExact(v)) return PyFloat_AS_DOUBLE(v);
    if (!truthy(v)) return 0.0;
    py::object f = steal(PyNumber_Float(v));
    return PyFloat_AS_DOUBLE(f.ptr());
}

// open, high, low, close and volume all zero, read in that order up to the first non-zero.
bool native_is_placeholder(PyObject* bar) {
    for (PyObject* name : g.field_names) {
        py::object v = steal(PyObject_GetAttr(bar, name));
        if (float_or_zero(v.ptr()) != 0.0) return false;
    }
    return true;
}

// ---------------------------------------------------------------- names read per call

// Module names a call needs, each read from the module namespace at its first use in the
// call and kept for the rest of it.
class CallNames {
public:
    PyObject* datetime_cls() {
        if (!datetime_) {
            datetime_ = globals("datetime");
            real_datetime_ = datetime_.ptr() == reinterpret_cast<PyObject*>(PyDateTimeAPI->DateTimeType);
        }
        return datetime_.ptr();
    }
    bool real_datetime() {
        datetime_cls();
        return real_datetime_;
    }

    struct Format {
        py::object text;
        q::TimeFormat native;
    };
    const std::vector<Format>& formats() {
        if (!formats_loaded_) {
            py::object seq = globals("_QMT_TIME_FORMATS");
            py::object it = steal(PyObject_GetIter(seq.ptr()));
            while (PyObject* f = PyIter_Next(it.ptr())) {
                py::object fmt = steal(f);
                q::TimeFormat native = q::kFormatUnknown;
                std::string_view s;
                if (PyUnicode_CheckExact(f) && ascii_view(f, s)) native = q::time_format_of(s);
                formats_.push_back({fmt, native});
            }
            if (PyErr_Occurred()) throw py::error_already_set();
            formats_loaded_ = true;
        }
        return formats_;
    }

    py::object try_parsing_datetime() {
        if (!try_parsing_) try_parsing_ = globals("try_parsing_datetime");
        return try_parsing_;
    }
    py::object now() { return call_method(datetime_cls(), N().now); }
    PyObject* mapping() {
        if (!mapping_) mapping_ = globals("Mapping");
        return mapping_.ptr();
    }

private:
    py::object datetime_;
    bool real_datetime_ = false;
    std::vector<Format> formats_;
    bool formats_loaded_ = false;
    py::object try_parsing_;
    py::object mapping_;
};

// isinstance(row, Mapping), dicts without a lookup.
bool is_mapping(CallNames& names, PyObject* row) {
    if (PyDict_Check(row)) return true;
    int r = PyObject_IsInstance(row, names.mapping());
    if (r < 0) throw py::error_already_set();
    return r != 0;
}

// ---------------------------------------------------------------- bar times

py::object parse_time(CallNames& names, PyObject* value) {
    PyObject* dt_cls = names.datetime_cls();
    int inst = names.real_datetime() ? PyDateTime_Check(value) : PyObject_IsInstance(value, dt_cls);
    if (inst < 0) throw py::error_already_set();
    if (inst) return borrow(value);
    if (value == Py_None) return names.now();

    // text = str(value).strip()
    py::object s, text;
    std::string_view ascii;
    bool native_text = false;
    char digits[24];
    long long as_int = 0;
    int overflow = 1;
    if (PyLong_CheckExact(value)) {
        as_int = PyLong_AsLongLongAndOverflow(value, &overflow);
        if (as_int == -1 && PyErr_Occurred()) throw py::error_already_set();
    }
    if (overflow == 0) {  // an int's text is its decimal digits
        auto res = std::to_chars(digits, digits + sizeof digits, as_int);
        ascii = std::string_view(digits, static_cast<std::size_t>(res.ptr - digits));
        native_text = true;
    } else {
        s = PyUnicode_CheckExact(value) ? borrow(value) : steal(PyObject_Str(value));
        if (PyUnicode_CheckExact(s.ptr()) && ascii_view(s.ptr(), ascii)) {
            std::string_view stripped = kv::strip_py_space(ascii);
            native_text = true;
            if (stripped.size() == ascii.size())
                text = s;
            else
                ascii = stripped;  // the text object is made only if the interpreter needs it
        } else {
            text = call_method(s.ptr(), N().strip);
            if (PyUnicode_CheckExact(text.ptr()) && ascii_view(text.ptr(), ascii))
                native_text = true;
        }
    }
    auto text_object = [&]() -> PyObject* {
        if (!text) text = steal(PyUnicode_FromStringAndSize(ascii.data(), static_cast<Py_ssize_t>(ascii.size())));
        return text.ptr();
    };

    const bool empty = native_text ? ascii.empty() : !truthy(text);
    if (empty) return names.now();

    for (const auto& fmt : names.formats()) {
        if (native_text && fmt.native != q::kFormatUnknown && names.real_datetime()) {
            q::BarTime bt;
            if (q::parse_bar_time(ascii, fmt.native, bt))
                return steal(PyDateTime_FromDateAndTime(bt.year, bt.month, bt.day, bt.hour,
                                                        bt.minute, bt.second, 0));
            continue;
        }
        try {
            return call_method(dt_cls, N().strptime, text_object(), fmt.text);
        } catch (py::error_already_set& e) {
            if (!e.matches(PyExc_ValueError)) throw;
        }
    }
    return names.try_parsing_datetime()(py::handle(text_object()));
}

// ---------------------------------------------------------------- generic record access

// `k, v = item` with the interpreter's unpacking errors.
void unpack2(PyObject* item, py::object& k, py::object& v) {
    if (PyTuple_CheckExact(item) && PyTuple_GET_SIZE(item) == 2) {
        k = borrow(PyTuple_GET_ITEM(item, 0));
        v = borrow(PyTuple_GET_ITEM(item, 1));
        return;
    }
    py::object it = steal(PyObject_GetIter(item));
    py::object parts[3];
    int n = 0;
    for (; n < 3; ++n) {
        PyObject* x = PyIter_Next(it.ptr());
        if (!x) break;
        parts[n] = steal(x);
    }
    if (PyErr_Occurred()) throw py::error_already_set();
    if (n < 2)
        kv::raise(PyExc_ValueError,
                  "not enough values to unpack (expected 2, got " + std::to_string(n) + ")");
    if (n > 2) kv::raise(PyExc_ValueError, "too many values to unpack (expected 2)");
    k = parts[0];
    v = parts[1];
}

py::object items_iter(PyObject* row) {
    py::object items = call_method(row, N().items);
    return steal(PyObject_GetIter(items.ptr()));
}

py::object lower_text_of(PyObject* k) {
    py::object s = steal(PyObject_Str(k));
    return call_method(s.ptr(), N().lower);
}

// Calls visit(str(k).lower(), v) for each (k, v) of row.items(), in order, until it
// returns true; returns whether one did.
template <class Visit>
bool visit_lowered_items(PyObject* row, Visit&& visit) {
    py::object it = items_iter(row);
    while (PyObject* item = PyIter_Next(it.ptr())) {
        py::object holder = steal(item);
        py::object k, v;
        unpack2(item, k, v);
        if (visit(lower_text_of(k.ptr()), v)) return true;
    }
    if (PyErr_Occurred()) throw py::error_already_set();
    return false;
}

// {str(k).lower(): v for k, v in row.items()}
py::object lowered_view(PyObject* row) {
    py::object view = steal(PyDict_New());
    visit_lowered_items(row, [&](const py::object& lk, const py::object& v) {
        if (PyDict_SetItem(view.ptr(), lk.ptr(), v.ptr()) < 0) throw py::error_already_set();
        return false;
    });
    return view;
}

// First usable number among `keys` in a lowered view, or `dflt`. `*foreign` is set when a
// value of a type other than the plain ones was converted.
py::object number_from_view(PyObject* view, PyObject* keys, double dflt, bool* foreign = nullptr) {
    py::object it = steal(PyObject_GetIter(keys));
    while (PyObject* key = PyIter_Next(it.ptr())) {
        py::object holder = steal(key);
        PyObject* v = PyDict_GetItemWithError(view, key);
        if (!v) {
            if (PyErr_Occurred()) throw py::error_already_set();
            continue;
        }
        if (v == Py_None) continue;
        py::object value = borrow(v);
        if (foreign && !is_plain(v)) *foreign = true;
        double d;
        if (to_float(value.ptr(), d)) return float_object(value.ptr(), d);
    }
    if (PyErr_Occurred()) throw py::error_already_set();
    return steal(PyFloat_FromDouble(dflt));
}

// The time value of any mapping: the exact key first, then the first key whose lower-cased
// text equals the candidate, per candidate in order; None when none has a value.
py::object generic_time_value(PyObject* row) {
    for (int c = 0; c < q::kTimeKeyCount; ++c) {
        PyObject* cand = g.bar_keys[c];
        py::object v;
        if (PyDict_CheckExact(row)) {
            PyObject* x = PyDict_GetItemWithError(row, cand);
            if (!x && PyErr_Occurred()) throw py::error_already_set();
            v = x ? borrow(x) : py::none();
        } else {
            v = call_method(row, N().get, cand);
        }
        if (!v.is_none()) return v;
        bool found = visit_lowered_items(row, [&](const py::object& lk, const py::object& val) {
            int eq = PyObject_RichCompareBool(lk.ptr(), cand, Py_EQ);
            if (eq < 0) throw py::error_already_set();
            if (eq && !val.is_none()) v = val;
            return eq && !val.is_none();
        });
        if (found) return v;
    }
    return py::none();
}

// ---------------------------------------------------------------- one-pass record scan

// Lower-case a str key into `buf` (at most `cap` bytes). Returns the length, or -1 when the
// key cannot equal any candidate (too long, or its lower-case form is not encodable);
// `changed` tells whether lower-casing changed the key.
Py_ssize_t lowered_key(PyObject* k, char* buf, std::size_t cap, bool& changed) {
    std::string_view s;
    if (ascii_view(k, s)) {
        if (s.size() > cap) return -1;
        changed = q::ascii_lower(s, buf);
        return static_cast<Py_ssize_t>(s.size());
    }
    // Non-ASCII keys can lower-case to ASCII (KELVIN SIGN becomes 'k').
    py::object low = call_method(k, N().lower);
    Py_ssize_t n = 0;
    const char* utf8 = PyUnicode_AsUTF8AndSize(low.ptr(), &n);
    if (!utf8) {  // lone surrogates: equal to no candidate
        PyErr_Clear();
        return -1;
    }
    if (static_cast<std::size_t>(n) > cap) return -1;
    std::copy(utf8, utf8 + n, buf);
    changed = true;
    return n;
}

// Values found for the bar-record candidates in one pass over an exact dict.
struct RecordScan {
    py::object exact_time[q::kTimeKeyCount];  // row[candidate], when not None
    py::object ci_time[q::kTimeKeyCount];     // first non-None value under a case variant
    py::object last[q::kBarKeyCount];         // last value under a case variant (numbers)

    // False when a key is not an exact str: the record then takes the generic road.
    bool scan(PyObject* row) {
        Py_ssize_t pos = 0;
        PyObject *k, *v;
        char buf[q::kLongestBarKey];
        while (PyDict_Next(row, &pos, &k, &v)) {
            if (!PyUnicode_CheckExact(k)) return false;
            bool changed = false;
            Py_ssize_t n = lowered_key(k, buf, sizeof buf, changed);
            if (n < 0) continue;
            int idx = q::bar_key_index(std::string_view(buf, static_cast<std::size_t>(n)));
            if (idx < 0) continue;
            if (idx < q::kTimeKeyCount) {
                if (v == Py_None) continue;
                if (!changed && !exact_time[idx]) exact_time[idx] = borrow(v);
                if (!ci_time[idx]) ci_time[idx] = borrow(v);
            } else {
                last[idx] = borrow(v);
            }
        }
        return true;
    }

    py::object time_value() const {
        for (int c = 0; c < q::kTimeKeyCount; ++c) {
            if (exact_time[c]) return exact_time[c];
            if (ci_time[c]) return ci_time[c];
        }
        return py::none();
    }

    py::object number(int field, bool& foreign) const {
        for (int key : q::kNumberFields[field].keys) {
            if (key < 0) break;
            const py::object& v = last[key];
            if (!v || v.is_none()) continue;
            if (!is_plain(v.ptr())) foreign = true;
            double d;
            if (to_float(v.ptr(), d)) return float_object(v.ptr(), d);
        }
        return steal(PyFloat_FromDouble(0.0));
    }
};

// ---------------------------------------------------------------- functions

py::object qmt_period_for_freq(py::object freq) {
    kv::check_str(freq, "freq");
    py::object table = globals("FREQ_TO_QMT_PERIOD");
    if (!contains(table, freq)) {
        py::object sorted_keys = globals("sorted")(table);
        py::object allowed = py::str(", ").attr("join")(sorted_keys);
        py::object r = steal(PyObject_Repr(freq.ptr()));
        py::object msg = steal(PyUnicode_FromFormat("freq=%U is not supported. Allowed: %U",
                                                    r.ptr(), allowed.ptr()));
        raise(PyExc_ValueError, msg);
    }
    return getitem(table, freq);
}

// An int argument as an exact int (bool becomes 0 or 1, a float is truncated).
py::object exact_int_arg(py::handle obj, const char* arg) {
    py::int_ v = kv::to_int_arg(obj, arg);
    if (PyLong_CheckExact(v.ptr())) return std::move(v);
    return steal(PyNumber_Long(v.ptr()));
}

py::object clamp_periods(py::object freq, py::object periods, py::object max_count) {
    kv::check_str(freq, "freq");
    py::object n = exact_int_arg(periods, "periods");
    kv::check_optional_int_arg(max_count, "max_count");
    py::object cap_arg = max_count;  // the cap is taken as given

    py::object zero = steal(PyLong_FromLong(0));
    int nonpositive = PyObject_RichCompareBool(n.ptr(), zero.ptr(), Py_LE);
    if (nonpositive < 0) throw py::error_already_set();
    if (nonpositive) {
        py::object r = steal(PyObject_Repr(n.ptr()));
        raise(PyExc_ValueError,
              steal(PyUnicode_FromFormat("periods must be a positive int, got %U", r.ptr())));
    }
    py::object cap;
    if (!cap_arg.is_none()) {
        cap = cap_arg;
    } else {
        py::object table = globals("DEFAULT_MAX_COUNT");
        py::object fallback = steal(PyLong_FromLong(1000));
        if (PyDict_CheckExact(table.ptr())) {
            PyObject* v = PyDict_GetItemWithError(table.ptr(), freq.ptr());
            if (!v && PyErr_Occurred()) throw py::error_already_set();
            cap = v ? borrow(v) : fallback;
        } else {
            cap = call_method(table.ptr(), N().get, freq.ptr(), fallback.ptr());
        }
    }
    // min(periods, cap): the first of equals
    int less = PyObject_RichCompareBool(cap.ptr(), n.ptr(), Py_LT);
    if (less < 0) throw py::error_already_set();
    return less ? cap : n;
}

bool is_1day(py::handle freq) {
    int eq = PyObject_RichCompareBool(freq.ptr(), N().one_day, Py_EQ);
    if (eq < 0) throw py::error_already_set();
    return eq != 0;
}

py::object strftime(py::handle when, const char* fmt) {
    py::object f = steal(PyUnicode_FromString(fmt));
    return call_method(when.ptr(), N().strftime, f.ptr());
}

py::object format_qmt_end_time(py::object cur_datetime, py::object freq) {
    kv::check_str(freq, "freq");
    if (cur_datetime.is_none()) return py::str("");
    return strftime(cur_datetime, is_1day(freq) ? "%Y%m%d" : "%Y%m%d%H%M%S");
}

py::object format_qmt_start_time(py::object cur_datetime, py::object periods, py::object freq) {
    py::object n = exact_int_arg(periods, "periods");
    kv::check_str(freq, "freq");
    py::object end = truthy(cur_datetime) ? cur_datetime : globals.now();

    py::object one = steal(PyLong_FromLong(1));
    int more = PyObject_RichCompareBool(n.ptr(), one.ptr(), Py_GT);  // max(1, periods)
    if (more < 0) throw py::error_already_set();
    if (!more) n = one;

    bool day = is_1day(freq);
    py::object days;
    if (day) {  // 2 * n + 14
        py::object two = steal(PyLong_FromLong(2)), fourteen = steal(PyLong_FromLong(14));
        py::object twice = steal(PyNumber_Multiply(two.ptr(), n.ptr()));
        days = steal(PyNumber_Add(twice.ptr(), fourteen.ptr()));
    } else {  // int(n / 240) + 5
        py::object d240 = steal(PyLong_FromLong(240)), five = steal(PyLong_FromLong(5));
        py::object ratio = steal(PyNumber_TrueDivide(n.ptr(), d240.ptr()));
        py::object whole = steal(PyNumber_Long(ratio.ptr()));
        days = steal(PyNumber_Add(whole.ptr(), five.ptr()));
    }
    py::object delta = globals("timedelta")(py::arg("days") = days);
    py::object start = steal(PyNumber_Subtract(end.ptr(), delta.ptr()));
    return strftime(start, day ? "%Y%m%d" : "%Y%m%d%H%M%S");
}

py::object parse_qmt_bar_time(py::object value) {
    CallNames names;
    return parse_time(names, value.ptr());
}

py::object row_number(py::object row, py::object keys, py::object dflt) {
    CallNames names;
    if (!is_mapping(names, row.ptr())) kv::raise_arg_type("row", "dict", row);
    double d = kv::to_double_arg(dflt, "default");

    bool fast = PyDict_CheckExact(row.ptr()) &&
                (PyList_CheckExact(keys.ptr()) || PyTuple_CheckExact(keys.ptr()));
    std::vector<py::object> cands;
    std::vector<std::string_view> cand_utf8;
    std::size_t longest = 0;
    if (fast) {
        py::object seq = steal(PySequence_Fast(keys.ptr(), "keys"));
        Py_ssize_t n = PySequence_Fast_GET_SIZE(seq.ptr());
        for (Py_ssize_t i = 0; i < n && fast; ++i) {
            PyObject* key = PySequence_Fast_GET_ITEM(seq.ptr(), i);
            Py_ssize_t len = 0;
            const char* u = PyUnicode_CheckExact(key) ? PyUnicode_AsUTF8AndSize(key, &len) : nullptr;
            if (!u) {
                PyErr_Clear();
                fast = false;
                break;
            }
            cands.push_back(borrow(key));
            cand_utf8.emplace_back(u, static_cast<std::size_t>(len));
            longest = std::max(longest, static_cast<std::size_t>(len));
        }
    }
    if (fast) {
        std::vector<py::object> last(cands.size());
        std::string buf(longest, '\0');
        Py_ssize_t pos = 0;
        PyObject *k, *v;
        while (fast && PyDict_Next(row.ptr(), &pos, &k, &v)) {
            if (!PyUnicode_CheckExact(k)) {
                fast = false;
                break;
            }
            bool changed = false;
            Py_ssize_t n = lowered_key(k, &buf[0], buf.size(), changed);
            if (n < 0) continue;
            std::string_view lk(buf.data(), static_cast<std::size_t>(n));
            for (std::size_t j = 0; j < cands.size(); ++j)
                if (cand_utf8[j] == lk) last[j] = borrow(v);
        }
        if (fast) {
            for (const auto& v : last) {
                if (!v || v.is_none()) continue;
                double x;
                if (to_float(v.ptr(), x)) return float_object(v.ptr(), x);
            }
            return steal(PyFloat_FromDouble(d));
        }
    }
    py::object view = lowered_view(row.ptr());
    return number_from_view(view.ptr(), keys.ptr(), d);
}

py::bool_ is_placeholder_bar(py::object bar) { return py::bool_(native_is_placeholder(bar.ptr())); }

// Names records_to_bars reads once per call, at the first record.
struct BarNames {
    bool loaded = false;
    KeywordMaker make_bar;
    py::object parse_fn, row_number_fn, placeholder_fn;  // set only when replaced

    void load() {
        if (loaded) return;
        make_bar.bind(globals("Bar"));
        py::object f = globals("parse_qmt_bar_time");
        if (f.ptr() != g.fn_parse) parse_fn = f;
        f = globals("_row_number");
        if (f.ptr() != g.fn_row_number) row_number_fn = f;
        f = globals("is_placeholder_bar");
        if (f.ptr() != g.fn_placeholder) placeholder_fn = f;
        loaded = true;
    }
};

py::object records_to_bars(py::object records, py::object security, py::object drop_placeholders) {
    const bool drop = truthy(drop_placeholders);
    py::list out;
    if (records.is_none()) return std::move(out);

    CallNames names;
    BarNames bn;
    RecordScan scan;

    auto one_row = [&](PyObject* row) {
        if (!is_mapping(names, row)) return;
        bn.load();

        bool scanned = false;
        if (PyDict_CheckExact(row)) {
            scan = RecordScan();
            scanned = scan.scan(row);
        }
        py::object time_value = scanned ? scan.time_value() : generic_time_value(row);
        py::object when = bn.parse_fn ? bn.parse_fn(time_value) : parse_time(names, time_value.ptr());

        py::object nums[5];
        if (bn.row_number_fn) {
            for (int f = 0; f < 5; ++f)
                nums[f] = steal(PyObject_CallFunctionObjArgs(bn.row_number_fn.ptr(), row,
                                                             g.field_keys[f], nullptr));
        } else {
            // Each number is read from the record as it stands, as one _row_number call per
            // field reads it: the scan (or lowered view) is made again when code that could
            // have changed the record (a __float__ or __str__ of the caller's, a replaced
            // datetime or parser) ran since it was made.
            bool stale = bn.parse_fn || !names.real_datetime() ||
                         !(is_plain(time_value.ptr()) || PyDateTime_CheckExact(time_value.ptr()));
            py::object view;
            for (int f = 0; f < 5; ++f) {
                if (stale) {
                    scanned = PyDict_CheckExact(row) && (scan = RecordScan(), scan.scan(row));
                    view = py::object();
                }
                stale = false;
                if (scanned) {
                    nums[f] = scan.number(f, stale);
                } else {
                    if (!view) view = lowered_view(row);
                    nums[f] = number_from_view(view.ptr(), g.field_keys[f], 0.0, &stale);
                }
            }
        }

        PyObject* slots[8] = {nullptr,       when.ptr(),    security.ptr(), nums[0].ptr(),
                              nums[1].ptr(), nums[2].ptr(), nums[3].ptr(),  nums[4].ptr()};
        py::object bar = bn.make_bar(slots + 1, g.bar_kwnames);

        if (drop) {
            bool placeholder;
            if (bn.placeholder_fn) {
                placeholder = truthy(bn.placeholder_fn(bar));
            } else {
                placeholder = native_is_placeholder(bar.ptr());
            }
            if (placeholder) return;
        }
        if (PyList_Append(out.ptr(), bar.ptr()) < 0) throw py::error_already_set();
    };

    if (PyList_CheckExact(records.ptr())) {
        // Index loop re-reading the size, as a list iterator does.
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(records.ptr()); ++i) {
            py::object row = borrow(PyList_GET_ITEM(records.ptr(), i));
            one_row(row.ptr());
        }
    } else {
        py::object it = steal(PyObject_GetIter(records.ptr()));
        while (PyObject* item = PyIter_Next(it.ptr())) {
            py::object row = steal(item);
            one_row(row.ptr());
        }
        if (PyErr_Occurred()) throw py::error_already_set();
    }
    return std::move(out);
}

}  // namespace

void define_module(py::module_& m) {
    PyDateTime_IMPORT;
    if (!PyDateTimeAPI) throw py::error_already_set();
    m.doc() = "QMT bar records and periods: request windows for the bridge and the conversion "
              "of its bar records into framework Bar records.";
    N();
    globals.bind(m);

    // Imports, bound as module attributes and read when used.
    kv::import_name(m, "collections.abc", "Mapping");
    kv::import_name(m, "datetime", "datetime");
    kv::import_name(m, "datetime", "timedelta");
    kv::import_name(m, "kavrel_trader.core.data", "Bar");
    kv::import_name(m, "kavrel_trader.core.security", "Security");
    kv::import_name(m, "kavrel_trader.core.utility", "try_parsing_datetime");

    py::dict periods;
    periods["1Day"] = "1d";
    periods["1Min"] = "1m";
    m.attr("FREQ_TO_QMT_PERIOD") = periods;
    py::dict max_count;
    max_count["1Day"] = 5000;
    max_count["1Min"] = 1000;
    m.attr("DEFAULT_MAX_COUNT") = max_count;
    m.attr("_QMT_TIME_FORMATS") = py::make_tuple(q::kTimeFormatTexts[0], q::kTimeFormatTexts[1],
                                                 q::kTimeFormatTexts[2], q::kTimeFormatTexts[3]);

    for (int i = 0; i < q::kBarKeyCount; ++i) g.bar_keys[i] = intern(q::kBarKeyTexts[i]);
    for (int f = 0; f < 5; ++f) {
        const auto& nf = q::kNumberFields[f];
        int n = 0;
        while (n < 4 && nf.keys[n] >= 0) ++n;
        PyObject* t = PyTuple_New(n);
        if (!t) throw py::error_already_set();
        for (int i = 0; i < n; ++i) {
            Py_INCREF(g.bar_keys[nf.keys[i]]);
            PyTuple_SET_ITEM(t, i, g.bar_keys[nf.keys[i]]);
        }
        g.field_keys[f] = t;
        g.field_names[f] = intern(nf.name);
    }
    g.bar_kwnames = py::make_tuple("datetime", "security", "open", "high", "low", "close", "volume")
                        .release()
                        .ptr();

    kv::def(m, "qmt_period_for_freq", {{"freq"}},
            [](const kv::Bound& a) { return qmt_period_for_freq(arg(a, 0)); },
            "QMT period string for a framework frequency (\"1Min\" -> \"1m\", \"1Day\" -> \"1d\").");
    kv::def(m, "clamp_periods", {{"freq"}, {"periods"}, {"max_count", py::none()}},
            [](const kv::Bound& a) { return clamp_periods(arg(a, 0), arg(a, 1), arg(a, 2)); },
            "Number of bars to request: periods, capped by max_count or the frequency's default.");
    kv::def(m, "format_qmt_end_time", {{"cur_datetime"}, {"freq"}},
            [](const kv::Bound& a) { return format_qmt_end_time(arg(a, 0), arg(a, 1)); },
            "end_time for get_market_data_ex; \"\" means the latest available bar.");
    kv::def(m, "format_qmt_start_time", {{"cur_datetime"}, {"periods"}, {"freq"}},
            [](const kv::Bound& a) {
                return format_qmt_start_time(arg(a, 0), arg(a, 1), arg(a, 2));
            },
            "start_time for get_market_data_ex, reaching back far enough to hold periods bars.");
    kv::def(m, "parse_qmt_bar_time", {{"value"}},
            [](const kv::Bound& a) { return parse_qmt_bar_time(arg(a, 0)); },
            "Bar time from a record's time field (datetime, compact digits or dashed text).");
    kv::def(m, "_row_number", {{"row"}, {"keys"}, {"default", py::float_(0.0)}},
            [](const kv::Bound& a) { return row_number(arg(a, 0), arg(a, 1), arg(a, 2)); },
            "First usable number among keys (lower case) in row, matched without regard to case.");
    kv::def(m, "is_placeholder_bar", {{"bar"}},
            [](const kv::Bound& a) -> py::object { return is_placeholder_bar(arg(a, 0)); },
            "True for a QMT fill-in bar: open, high, low, close and volume all zero.");
    kv::def(m, "records_to_bars", {{"records"}, {"security"}, {"drop_placeholders", py::bool_(true)}},
            [](const kv::Bound& a) { return records_to_bars(arg(a, 0), arg(a, 1), arg(a, 2)); },
            "Bar records built from the bridge's bar records, in record order.");

    g.fn_parse = m.attr("parse_qmt_bar_time").ptr();
    g.fn_row_number = m.attr("_row_number").ptr();
    g.fn_placeholder = m.attr("is_placeholder_bar").ptr();
    Py_INCREF(g.fn_parse);
    Py_INCREF(g.fn_row_number);
    Py_INCREF(g.fn_placeholder);
}

}  // namespace kline_history
}  // namespace kv

KV_MODULE(kline_history, m) { kv::kline_history::define_module(m); }
