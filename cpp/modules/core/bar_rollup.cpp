// kavrel_trader.core.bar_rollup: bar-frequency texts, clock-aligned minute buckets and the
// aggregation of one-minute bars (records or table rows) into n-minute bars.
//
// The engine (cpp/engine/bars.hpp) does the arithmetic on plain buffers; this file turns
// Python objects into those buffers and back, and keeps the Python-facing behaviour:
// messages, argument checks, Python comparison and summation semantics for records.
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include <datetime.h>

#include <cstring>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "engine/bars.hpp"
#include "py/module_entry.hpp"
#include "py/pyhelpers.hpp"
#include "py/signature.hpp"

namespace kv {
namespace bar_rollup {
namespace {

using kv::bars::GapLimit;

ModuleNames globals;

const char* const kFreqPattern = R"(^\s*(\d+)\s*(min|m|mins|minutes|day|d|days)\s*$)";

// Attribute and keyword names used per call.
struct Names {
    Name datetime{"datetime"}, security{"security"}, open{"open"}, high{"high"}, low{"low"},
        close{"close"}, volume{"volume"}, num_trds{"num_trds"}, value{"value"}, hour{"hour"},
        minute{"minute"}, nanosecond{"nanosecond"}, unit_min{"min"}, unit_day{"day"};
};
const Names& N() {
    static const Names n;
    return n;
}

// The Bar keyword tuples and the int 0, made once at import and kept for the process life.
struct Statics {
    PyObject* zero;
    PyObject* kwnames[4];  // Bar keywords: base, +num_trds, +value, +both
} S;

// str(o) as UTF-8 text.
std::string text_of(py::handle o) { return py::str(o).cast<std::string>(); }

// ---------------------------------------------------------------- argument checks

// An `int` parameter: int or a subclass of it (bool included), returned as an exact int.
// Other numbers are refused, as a typed signature refuses them: truncating 2.9 to 2 would
// silently change the bucket size.
py::object int_arg(py::handle o, const char* name) {
    kv::check_int_arg(o, name);
    return kv::exact_int(o);
}

// An exact int clamped to the int64 range.
int64_t clamp64(py::handle i) {
    int overflow = 0;
    long long v = PyLong_AsLongLongAndOverflow(i.ptr(), &overflow);
    if (overflow > 0) return INT64_MAX;
    if (overflow < 0) return INT64_MIN;
    if (v == -1 && PyErr_Occurred()) throw py::error_already_set();
    return static_cast<int64_t>(v);
}

bool int_le(py::handle a, long b) {
    py::object bo = steal(PyLong_FromLong(b));
    int r = PyObject_RichCompareBool(a.ptr(), bo.ptr(), Py_LE);
    if (r < 0) throw py::error_already_set();
    return r != 0;
}

bool is_start_convention(py::handle conv) {
    return PyUnicode_CompareWithASCIIString(conv.ptr(), "start") == 0;
}

// ---------------------------------------------------------------- frequency texts

struct Freq {
    bool day;
    py::object count;  // exact int
};

[[noreturn]] void raise_freq(PyObject* freq, const char* fmt) {
    kv::raise(PyExc_ValueError, steal(PyUnicode_FromFormat(fmt, freq)));
}

Freq parse_freq(py::handle freq_h) {
    PyObject* freq = freq_h.ptr();
    const char* invalid = "freq=%R is not a valid bar frequency";
    if (!PyUnicode_Check(freq)) raise_freq(freq, invalid);
    std::string_view text;
    const bool ascii = kv::ascii_view(freq, text);
    if (ascii && text.empty()) raise_freq(freq, invalid);  // "" (an empty str is ASCII)
    const char* unsupported =
        "freq=%R is not supported. Use forms like '1Min', '5Min', '15min', or '1Day'.";
    if (ascii) {
        kv::bars::FreqText t = kv::bars::parse_freq_ascii(text.data(), text.size());
        if (!t.matched) raise_freq(freq, unsupported);
        if (t.small) return {t.day, steal(PyLong_FromUnsignedLongLong(t.count))};
        // A long digit run: Python's own int() (unbounded, with its digit limit).
        py::object digits = steal(PyUnicode_Substring(freq, static_cast<Py_ssize_t>(t.digits_begin),
                                                      static_cast<Py_ssize_t>(t.digits_end)));
        return {t.day, steal(PyNumber_Long(digits.ptr()))};
    }
    // Non-ASCII text (Unicode digits and blanks, case folding): the compiled pattern decides.
    py::object m = globals("_FREQ_RE").attr("match")(freq_h);
    if (m.is_none()) raise_freq(freq, unsupported);
    py::object count = steal(PyNumber_Long(m.attr("group")(1).ptr()));
    py::object unit = m.attr("group")(2);
    bool day = false;
    if (PyUnicode_Check(unit.ptr()) && PyUnicode_GET_LENGTH(unit.ptr()) > 0) {
        Py_UCS4 c = PyUnicode_ReadChar(unit.ptr(), 0);
        day = c == 'd' || c == 'D';
    }
    return {day, count};
}

py::object try_parse_nmin(py::handle freq) {
    Freq f{false, py::none()};
    try {
        f = parse_freq(freq);
    } catch (py::error_already_set& e) {
        if (e.matches(PyExc_ValueError)) return py::none();
        throw;
    }
    if (f.day || int_le(f.count, 1)) return py::none();
    if (!contains(globals("AGGREGATABLE_NMIN"), f.count)) return py::none();
    return f.count;
}

// ---------------------------------------------------------------- bucket start

PyObject* dt_tzinfo(PyObject* dt) {
    auto* d = reinterpret_cast<PyDateTime_DateTime*>(dt);
    return d->hastzinfo ? d->tzinfo : Py_None;
}

// dt.replace(hour=h, minute=m, second=0, microsecond=0); a sub-microsecond part (pandas
// Timestamps) is cleared too, so every time inside one minute gets the same bucket start.
py::object replace_hm(py::handle dt, py::handle h, py::handle m) {
    if (PyDateTime_CheckExact(dt.ptr())) {
        long hh = PyLong_AsLong(h.ptr()), mm = PyLong_AsLong(m.ptr());
        if (!PyErr_Occurred() && hh >= 0 && hh <= 23 && mm >= 0 && mm <= 59) {
            PyObject* o = dt.ptr();
            return steal(PyDateTimeAPI->DateTime_FromDateAndTimeAndFold(
                PyDateTime_GET_YEAR(o), PyDateTime_GET_MONTH(o), PyDateTime_GET_DAY(o), static_cast<int>(hh),
                static_cast<int>(mm), 0, 0, dt_tzinfo(o), PyDateTime_DATE_GET_FOLD(o), PyDateTimeAPI->DateTimeType));
        }
        PyErr_Clear();
    }
    py::dict kw;
    kw["hour"] = h;
    kw["minute"] = m;
    kw["second"] = 0;
    kw["microsecond"] = 0;
    if (!PyDateTime_CheckExact(dt.ptr())) {
        PyObject* ns = PyObject_GetAttr(dt.ptr(), N().nanosecond);
        if (!ns) {
            PyErr_Clear();
        } else {
            py::object nso = steal(ns);
            if (PyLong_Check(ns) && truthy(nso)) kw["nanosecond"] = 0;
        }
    }
    return dt.attr("replace")(**kw);
}

// _bucket_start for any datetime-like object and an exact int size, with Python arithmetic
// (so a zero or negative size fails or behaves as Python's floor division makes it).
py::object bucket_start_obj(py::handle dt, py::handle n_int) {
    py::object hour, minute;
    if (PyDateTime_CheckExact(dt.ptr())) {
        hour = steal(PyLong_FromLong(PyDateTime_DATE_GET_HOUR(dt.ptr())));
        minute = steal(PyLong_FromLong(PyDateTime_DATE_GET_MINUTE(dt.ptr())));
    } else {
        hour = steal(PyObject_GetAttr(dt.ptr(), N().hour));
        minute = steal(PyObject_GetAttr(dt.ptr(), N().minute));
    }
    const int64_t n = clamp64(n_int);
    if (n >= 1 && PyLong_CheckExact(hour.ptr()) && PyLong_CheckExact(minute.ptr())) {
        const long h = PyLong_AsLong(hour.ptr()), mi = PyLong_AsLong(minute.ptr());
        if (!PyErr_Occurred() && h >= 0 && h < 1000000 && mi >= 0 && mi < 1000000) {
            const int64_t total = static_cast<int64_t>(h) * 60 + mi;
            const int64_t floored = (total / n) * n;
            py::object fh = steal(PyLong_FromLongLong(floored / 60));
            py::object fm = steal(PyLong_FromLongLong(floored % 60));
            return replace_hm(dt, fh, fm);
        }
        PyErr_Clear();
    }
    py::object sixty = steal(PyLong_FromLong(60));
    py::object total = steal(PyNumber_Add(steal(PyNumber_Multiply(hour.ptr(), sixty.ptr())).ptr(), minute.ptr()));
    py::object q = steal(PyNumber_FloorDivide(total.ptr(), n_int.ptr()));
    py::object floored = steal(PyNumber_Multiply(q.ptr(), n_int.ptr()));
    py::object fh = steal(PyNumber_FloorDivide(floored.ptr(), sixty.ptr()));
    py::object fm = steal(PyNumber_Remainder(floored.ptr(), sixty.ptr()));
    return replace_hm(dt, fh, fm);
}

// ---------------------------------------------------------------- gap limit

// The gap limit of the record form: timedelta(minutes=x), compared exactly in microseconds.
// An infinite or out-of-range limit never (or, negative, always) splits; NaN never splits.
struct RecordGap {
    GapLimit g;
    py::object td;  // the timedelta when finite, for comparisons with non-datetime gaps
};

RecordGap record_gap(double minutes) {
    RecordGap r;
    if (std::isnan(minutes)) { r.g.kind = GapLimit::Never; return r; }
    if (std::isinf(minutes) || std::fabs(minutes) > 1e12) {
        r.g.kind = minutes > 0 ? GapLimit::Never : GapLimit::Always;
        return r;
    }
    py::dict kw;
    kw["minutes"] = minutes;
    PyObject* td = PyObject_Call(reinterpret_cast<PyObject*>(PyDateTimeAPI->DeltaType), py::tuple().ptr(), kw.ptr());
    if (!td) {
        if (!PyErr_ExceptionMatches(PyExc_OverflowError)) throw py::error_already_set();
        PyErr_Clear();
        r.g.kind = minutes > 0 ? GapLimit::Never : GapLimit::Always;
        return r;
    }
    r.td = steal(td);
    const int64_t days = PyDateTime_DELTA_GET_DAYS(td);
    if (days > 20000000) { r.g.kind = GapLimit::Never; return r; }
    if (days < -20000000) { r.g.kind = GapLimit::Always; return r; }
    r.g.limit = days * 86400000000LL + static_cast<int64_t>(PyDateTime_DELTA_GET_SECONDS(td)) * 1000000LL +
                PyDateTime_DELTA_GET_MICROSECONDS(td);
    return r;
}

// ---------------------------------------------------------------- run splitting, Python semantics

// Order (stable, by Python's `<`) and runs of time objects that are not all plain datetimes
// of one time zone: keys through _bucket_start, gaps through the objects' own subtraction.
void general_runs(PyObject* const* times, Py_ssize_t n, py::handle n_int, const RecordGap& gap,
                  std::vector<int64_t>& order, std::vector<int64_t>& starts) {
    py::list tl(n);
    py::list idx(n);
    for (Py_ssize_t i = 0; i < n; ++i) {
        tl[static_cast<size_t>(i)] = py::reinterpret_borrow<py::object>(times[i]);
        idx[static_cast<size_t>(i)] = py::int_(i);
    }
    // sorted(range(n), key=times.__getitem__), done in place on our own list: list.sort keeps
    // it a permutation of 0..n-1 whatever the times' comparisons do, so the positions read
    // back below are always in range.
    py::dict kw;
    kw["key"] = tl.attr("__getitem__");
    idx.attr("sort")(**kw);
    order.resize(static_cast<size_t>(n));
    for (Py_ssize_t p = 0; p < n; ++p)
        order[static_cast<size_t>(p)] = PyLong_AsLongLong(PyList_GET_ITEM(idx.ptr(), p));
    starts.clear();
    starts.push_back(0);
    py::object cur_key, prev;
    for (Py_ssize_t p = 0; p < n; ++p) {
        py::handle t = times[order[static_cast<size_t>(p)]];
        py::object key = bucket_start_obj(t, n_int);
        if (p > 0) {
            py::object g = steal(PyNumber_Subtract(t.ptr(), prev.ptr()));
            bool split;
            if (gap.g.kind == GapLimit::Finite) {
                int c = PyObject_RichCompareBool(g.ptr(), gap.td.ptr(), Py_GT);
                if (c < 0) throw py::error_already_set();
                split = c != 0;
            } else {
                split = gap.g.kind == GapLimit::Always;
            }
            if (!split) {
                int c = PyObject_RichCompareBool(key.ptr(), cur_key.ptr(), Py_NE);
                if (c < 0) throw py::error_already_set();
                split = c != 0;
            }
            if (split) starts.push_back(p);
        }
        if (starts.back() == p) cur_key = key;
        prev = py::reinterpret_borrow<py::object>(t);
    }
    starts.push_back(n);
}

// ---------------------------------------------------------------- merging one bucket of records

// Reusable buffers of one aggregation call (the GIL is held throughout).
struct Scratch {
    std::vector<py::object> hold;
    std::vector<PyObject*> highs, lows, vols, trds, vals;
    std::vector<int64_t> ints;
    std::vector<double> floats;
};

// Python's sum() of the objects (start 0, left to right), in C++ when all are ints or all
// are floats, otherwise through the interpreter's `sum`.
py::object python_sum(const std::vector<PyObject*>& vals, py::handle sum_fn, Scratch& sc) {
    bool all_int = true, all_float = true;
    for (PyObject* v : vals) {
        all_int = all_int && (PyLong_CheckExact(v) || PyBool_Check(v));
        all_float = all_float && PyFloat_CheckExact(v);
    }
    if (all_int) {
        std::vector<int64_t>& xs = sc.ints;
        xs.clear();
        bool ok = true;
        for (PyObject* v : vals) {
            int overflow = 0;
            long long x = PyLong_AsLongLongAndOverflow(v, &overflow);
            if (overflow) { ok = false; break; }
            xs.push_back(static_cast<int64_t>(x));
        }
        int64_t s = 0;
        if (ok && kv::bars::int_sum_checked(xs.data(), xs.size(), s)) return steal(PyLong_FromLongLong(s));
    } else if (all_float) {
        std::vector<double>& xs = sc.floats;
        xs.clear();
        for (PyObject* v : vals) xs.push_back(PyFloat_AS_DOUBLE(v));
        double s = 0.0;
        if (kv::bars::python_float_sum(xs.data(), xs.size(), PY_VERSION_HEX >= 0x030C0000, s))
            return steal(PyFloat_FromDouble(s));
    }
    py::list l(vals.size());
    for (size_t i = 0; i < vals.size(); ++i) l[i] = py::reinterpret_borrow<py::object>(vals[i]);
    return sum_fn(l);
}

// Python's max()/min() over the objects: keep the current one unless a later one compares
// strictly greater (smaller); returns a borrowed reference to the winning object.
PyObject* python_extreme(const std::vector<PyObject*>& vals, int op) {
    PyObject* best = vals[0];
    for (size_t i = 1; i < vals.size(); ++i) {
        PyObject* x = vals[i];
        int c;
        if (PyFloat_CheckExact(x) && PyFloat_CheckExact(best)) {
            const double a = PyFloat_AS_DOUBLE(x), b = PyFloat_AS_DOUBLE(best);
            c = op == Py_GT ? a > b : a < b;
        } else {
            c = PyObject_RichCompareBool(x, best, op);
            if (c < 0) throw py::error_already_set();
        }
        if (c) best = x;
    }
    return best;
}

// Attribute read that treats a missing attribute as None.
py::object optional_attr(PyObject* o, PyObject* name) {
    PyObject* v = PyObject_GetAttr(o, name);
    if (v) return steal(v);
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throw py::error_already_set();
    PyErr_Clear();
    return py::none();
}

struct MergeCtx {
    py::object bar_cls;
    py::object sum_fn;
    Scratch* scratch;
};

// Merges one non-empty bucket (bars in time order) into one bar built through `Bar` by keyword.
py::object merge_bucket(PyObject* const* bars, size_t k, py::handle label, const MergeCtx& ctx) {
    Scratch& sc = *ctx.scratch;
    std::vector<py::object>& hold = sc.hold;
    std::vector<PyObject*>&highs = sc.highs, &lows = sc.lows, &vols = sc.vols, &trds = sc.trds, &vals = sc.vals;
    hold.clear(), highs.clear(), lows.clear(), vols.clear(), trds.clear(), vals.clear();
    hold.reserve(k * 5);
    bool any_trds = false, any_vals = false;
    for (size_t i = 0; i < k; ++i) {
        PyObject* b = bars[i];
        hold.push_back(steal(PyObject_GetAttr(b, N().high)));
        highs.push_back(hold.back().ptr());
        hold.push_back(steal(PyObject_GetAttr(b, N().low)));
        lows.push_back(hold.back().ptr());
        hold.push_back(steal(PyObject_GetAttr(b, N().volume)));
        vols.push_back(hold.back().ptr());
        for (int which = 0; which < 2; ++which) {
            py::object v = optional_attr(b, which == 0 ? N().num_trds : N().value);
            const bool t = truthy(v);
            if (t) hold.push_back(std::move(v));
            PyObject* use = t ? hold.back().ptr() : S.zero;
            if (which == 0) { trds.push_back(use); any_trds = any_trds || t; }
            else { vals.push_back(use); any_vals = any_vals || t; }
        }
    }
    PyObject* high = python_extreme(highs, Py_GT);
    PyObject* low = python_extreme(lows, Py_LT);
    py::object volume = python_sum(vols, ctx.sum_fn, sc);
    py::object num_trds, value;
    if (any_trds) num_trds = python_sum(trds, ctx.sum_fn, sc);
    if (any_vals) value = python_sum(vals, ctx.sum_fn, sc);
    py::object security = steal(PyObject_GetAttr(bars[0], N().security));
    py::object open = steal(PyObject_GetAttr(bars[0], N().open));
    py::object close = steal(PyObject_GetAttr(bars[k - 1], N().close));

    PyObject* args[9] = {label.ptr(), security.ptr(), open.ptr(), high, low, close.ptr(), volume.ptr(), nullptr, nullptr};
    size_t nargs = 7;
    if (any_trds) args[nargs++] = num_trds.ptr();
    if (any_vals) args[nargs++] = value.ptr();
    PyObject* kwn = S.kwnames[(any_trds ? 1 : 0) + (any_vals ? 2 : 0)];
    return steal(PyObject_Vectorcall(ctx.bar_cls.ptr(), args, 0, kwn));
}

MergeCtx merge_ctx(Scratch& sc) { return MergeCtx{globals("Bar"), globals("sum"), &sc}; }

// ---------------------------------------------------------------- record aggregation

py::list aggregate_records(py::handle bars, py::handle n_int, bool require_full, py::handle conv, double gap_minutes) {
    if (int_le(n_int, 1)) kv::raise(PyExc_ValueError, "n_min must be > 1, got " + text_of(n_int));
    py::object allowed = globals("AGGREGATABLE_NMIN");
    if (!contains(allowed, n_int)) {
        std::string list;
        for (py::handle a : allowed) {
            if (!list.empty()) list += ", ";
            list += text_of(a);
        }
        kv::raise(PyExc_ValueError, "n_min=" + text_of(n_int) + " is not supported. Allowed: " + list);
    }
    // A tuple of our own: the bars' attribute reads and comparisons run Python code that may
    // change the caller's list while we still walk it.
    py::object seq = steal(PySequence_Tuple(bars.ptr()));
    const Py_ssize_t n = PyTuple_GET_SIZE(seq.ptr());
    py::list out;
    if (n == 0) return out;
    PyObject* const* items = reinterpret_cast<PyTupleObject*>(seq.ptr())->ob_item;
    const bool start = is_start_convention(conv);
    const int64_t n_min = clamp64(n_int);
    const RecordGap gap = record_gap(gap_minutes);

    std::vector<py::object> dts;
    dts.reserve(static_cast<size_t>(n));
    bool fast = true;
    PyObject* tz0 = nullptr;
    for (Py_ssize_t i = 0; i < n; ++i) {
        dts.push_back(steal(PyObject_GetAttr(items[i], N().datetime)));
        PyObject* d = dts.back().ptr();
        if (fast) {
            if (!PyDateTime_CheckExact(d)) fast = false;
            else if (!tz0) tz0 = dt_tzinfo(d);
            else if (dt_tzinfo(d) != tz0) fast = false;
        }
    }

    std::vector<int64_t> order, starts;
    if (fast) {
        // Plain datetimes sharing one tzinfo compare and subtract as wall-clock times.
        std::vector<int64_t> us(static_cast<size_t>(n)), key(static_cast<size_t>(n));
        const int64_t grid = kv::bars::grid_size(n_min);
        for (Py_ssize_t i = 0; i < n; ++i) {
            PyObject* d = dts[static_cast<size_t>(i)].ptr();
            const int64_t days = kv::days_from_civil(PyDateTime_GET_YEAR(d), PyDateTime_GET_MONTH(d), PyDateTime_GET_DAY(d));
            const int64_t mod = PyDateTime_DATE_GET_HOUR(d) * 60 + PyDateTime_DATE_GET_MINUTE(d);
            us[static_cast<size_t>(i)] = (days * 1440 + mod) * 60000000LL + PyDateTime_DATE_GET_SECOND(d) * 1000000LL +
                                         PyDateTime_DATE_GET_MICROSECOND(d);
            key[static_cast<size_t>(i)] = days * 1440 + kv::bars::floor_minute_of_day(mod, grid);
        }
        order.resize(static_cast<size_t>(n));
        kv::without_gil_if(n >= 50000, [&] {
            kv::bars::stable_time_order(us.data(), nullptr, n, order.data());
            kv::bars::split_runs(us.data(), key.data(), nullptr, order.data(), n, gap.g, starts);
        });
    } else {
        std::vector<PyObject*> raw(static_cast<size_t>(n));
        for (Py_ssize_t i = 0; i < n; ++i) raw[static_cast<size_t>(i)] = dts[static_cast<size_t>(i)].ptr();
        general_runs(raw.data(), n, n_int, gap, order, starts);
    }

    Scratch scratch;
    const MergeCtx ctx = merge_ctx(scratch);
    std::vector<PyObject*> members;
    for (size_t r = 0; r + 1 < starts.size(); ++r) {
        const int64_t b = starts[r], e = starts[r + 1];
        if (require_full && e - b < n_min) continue;
        members.clear();
        for (int64_t p = b; p < e; ++p) members.push_back(items[order[static_cast<size_t>(p)]]);
        py::handle label = dts[static_cast<size_t>(order[static_cast<size_t>(start ? b : e - 1)])];
        out.append(merge_bucket(members.data(), members.size(), label, ctx));
    }
    return out;
}

// ---------------------------------------------------------------- table aggregation

// Ticks per second of a numpy datetime64 dtype text ("datetime64[us]"), 0 if not s/ms/us/ns.
int64_t ticks_per_second(const std::string& dtype) {
    if (dtype == "datetime64[s]") return 1;
    if (dtype == "datetime64[ms]") return 1000;
    if (dtype == "datetime64[us]") return 1000000;
    if (dtype == "datetime64[ns]") return 1000000000;
    return 0;
}

// Values of one column (or of the converted times) as a C-contiguous buffer of exactly
// `rows` values: the row positions computed for the table index straight into it.
template <class T>
py::array_t<T> contiguous(py::handle arr, int64_t rows) {
    auto a = py::array_t<T, py::array::c_style | py::array::forcecast>::ensure(arr);
    if (!a || a.ndim() != 1 || static_cast<int64_t>(a.size()) != rows)
        kv::raise(PyExc_ValueError, "expected " + std::to_string(rows) + " values, one per row, got " +
                                        text_of(py::repr(arr)).substr(0, 80));
    return a;
}

// The converted times as a list of exactly `rows` objects.
py::list row_list(const py::object& values, int64_t rows) {
    py::list l(values);
    if (static_cast<int64_t>(PyList_GET_SIZE(l.ptr())) != rows)
        kv::raise(PyExc_ValueError, "expected " + std::to_string(rows) + " values, one per row, got " +
                                        std::to_string(PyList_GET_SIZE(l.ptr())));
    return l;
}

enum class Role { Other, Time, Open, High, Low, Close, Volume, NumTrds, Value };

// `name == what` for a column label (any hashable; its __eq__ may raise).
bool name_is(py::handle name, py::handle what) {
    int r = PyObject_RichCompareBool(name.ptr(), what.ptr(), Py_EQ);
    if (r < 0) throw py::error_already_set();
    return r != 0;
}

struct TableRuns {
    std::vector<int64_t> starts;
    std::vector<int64_t> kept;
    py::array_t<int64_t> order;
};

// Per-run reduction of one column: C++ over float64/int64 buffers for numpy numeric dtypes,
// otherwise the table library's grouped reduction over the kept runs.
py::object reduce_column(py::handle series, kv::bars::Reduce op, const TableRuns& tr, py::handle np) {
    const int64_t* order = tr.order.data();
    const auto K = static_cast<py::ssize_t>(tr.kept.size());
    py::object dtype = series.attr("dtype");
    if (py::isinstance(dtype, np.attr("dtype"))) {
        const std::string kind = text_of(dtype.attr("kind"));
        const int64_t itemsize = dtype.attr("itemsize").cast<int64_t>();
        const bool big = tr.order.size() >= 65536;
        if (kind == "f") {
            auto buf = contiguous<double>(series.attr("to_numpy")("float64"), tr.order.size());
            py::array_t<double> out(K);
            const double* src = buf.data();
            double* dst = out.mutable_data();
            kv::without_gil_if(big, [&] { kv::bars::reduce_f64(src, order, tr.starts, tr.kept, op, dst); });
            if (op != kv::bars::Reduce::Sum && itemsize != 8) return out.attr("astype")(dtype);
            return std::move(out);
        }
        if (kind == "i" || kind == "b" || (kind == "u" && itemsize < 8)) {
            auto buf = contiguous<int64_t>(series.attr("to_numpy")("int64"), tr.order.size());
            py::array_t<int64_t> out(K);
            const int64_t* src = buf.data();
            int64_t* dst = out.mutable_data();
            kv::without_gil_if(big, [&] { kv::bars::reduce_i64(src, order, tr.starts, tr.kept, op, dst); });
            if (op != kv::bars::Reduce::Sum && !(kind == "i" && itemsize == 8)) return out.attr("astype")(dtype);
            return std::move(out);
        }
    }
    // Other dtypes (nullable, object, ...): one grouped reduction over the kept rows.
    int64_t total = 0;
    for (int64_t r : tr.kept) total += tr.starts[static_cast<size_t>(r) + 1] - tr.starts[static_cast<size_t>(r)];
    py::array_t<int64_t> rows(static_cast<py::ssize_t>(total)), gid(static_cast<py::ssize_t>(total));
    int64_t* rp = rows.mutable_data();
    int64_t* gp = gid.mutable_data();
    int64_t w = 0;
    for (size_t k = 0; k < tr.kept.size(); ++k) {
        const int64_t r = tr.kept[k];
        for (int64_t p = tr.starts[static_cast<size_t>(r)]; p < tr.starts[static_cast<size_t>(r) + 1]; ++p, ++w) {
            rp[w] = order[p];
            gp[w] = static_cast<int64_t>(k);
        }
    }
    py::object grouped = series.attr("take")(rows).attr("reset_index")(py::arg("drop") = true).attr("groupby")(gid);
    const char* fn = op == kv::bars::Reduce::Max ? "max" : op == kv::bars::Reduce::Min ? "min" : "sum";
    return grouped.attr(fn)().attr("reset_index")(py::arg("drop") = true);
}

py::object aggregate_table(py::handle df, py::handle n_int, bool require_full, py::handle conv, double gap_minutes,
                           py::handle time_col) {
    py::object pd = globals("pd");
    py::object np = globals("np");
    if (df.is_none()) return pd.attr("DataFrame")();
    if (!py::isinstance(df, pd.attr("DataFrame"))) kv::raise_arg_type("df", "DataFrame", df);
    const auto nrows = static_cast<py::ssize_t>(py::len(df));
    if (nrows == 0 || int_le(n_int, 1)) return df.attr("copy")();
    const int64_t n_min = clamp64(n_int);
    const bool start = is_start_convention(conv);

    // Missing columns fail here, with the table library's KeyError.
    py::object tcol = df[time_col];
    for (const char* c : {"open", "high", "low", "close", "volume"}) {
        py::object col = df[py::str(c)];
        (void)col;
    }
    py::object times = pd.attr("to_datetime")(tcol);

    TableRuns tr;
    tr.order = py::array_t<int64_t>(nrows);
    int64_t* order = tr.order.mutable_data();
    py::object tdtype = times.attr("dtype");
    const bool is_dt64 = text_of(tdtype.attr("kind")) == "M";
    py::object utc_vals, wall_vals;
    int64_t tps = 0;
    if (is_dt64) {
        if (!py::getattr(tdtype, "tz", py::none()).is_none()) {
            py::object dt = times.attr("dt");
            utc_vals = dt.attr("tz_convert")(py::none()).attr("to_numpy")();
            wall_vals = dt.attr("tz_localize")(py::none()).attr("to_numpy")();
        } else {
            utc_vals = times.attr("to_numpy")();
            wall_vals = utc_vals;
        }
        tps = ticks_per_second(text_of(utc_vals.attr("dtype")));
    }
    if (tps > 0) {
        auto utc = contiguous<int64_t>(utc_vals.attr("view")("i8"), nrows);
        auto wall = contiguous<int64_t>(wall_vals.attr("view")("i8"), nrows);
        py::array_t<int64_t> key(nrows);
        py::array_t<uint8_t> invalid(nrows);
        const int64_t* u = utc.data();
        const int64_t* wl = wall.data();
        int64_t* kp = key.mutable_data();
        uint8_t* inv = invalid.mutable_data();
        const int64_t minute_ticks = 60 * tps;
        const GapLimit gap = kv::bars::gap_limit_from_minutes(gap_minutes, static_cast<double>(minute_ticks));
        const int64_t grid = kv::bars::grid_size(n_min);
        kv::without_gil_if(nrows >= 65536, [&] {
            bool any_invalid = false;
            for (int64_t i = 0; i < nrows; ++i) {
                inv[i] = u[i] == INT64_MIN || wl[i] == INT64_MIN;
                any_invalid = any_invalid || inv[i];
                if (inv[i]) { kp[i] = 0; continue; }
                // Bucket by the wall clock; the key is the bucket start's instant.
                kp[i] = kv::bars::bucket_start_key(u[i], wl[i], minute_ticks, grid);
            }
            const uint8_t* invp = any_invalid ? inv : nullptr;
            kv::bars::stable_time_order(u, invp, nrows, order);
            kv::bars::split_runs(u, kp, invp, order, nrows, gap, tr.starts);
        });
    } else {
        // Times the conversion left as objects (mixed time zones): Python semantics per row.
        py::list tl = row_list(times, nrows);
        std::vector<PyObject*> raw(static_cast<size_t>(nrows));
        for (py::ssize_t i = 0; i < nrows; ++i) raw[static_cast<size_t>(i)] = PyList_GET_ITEM(tl.ptr(), i);
        std::vector<int64_t> ord;
        const RecordGap gap = record_gap(gap_minutes);
        general_runs(raw.data(), nrows, n_int, gap, ord, tr.starts);
        std::memcpy(order, ord.data(), sizeof(int64_t) * static_cast<size_t>(nrows));
    }

    for (size_t r = 0; r + 1 < tr.starts.size(); ++r) {
        const int64_t len = tr.starts[r + 1] - tr.starts[r];
        if (len > 0 && (!require_full || len >= n_min)) tr.kept.push_back(static_cast<int64_t>(r));
    }
    if (tr.kept.empty()) return df.attr("iloc")[py::slice(0, 0, 1)].attr("reset_index")(py::arg("drop") = true);

    const auto K = static_cast<py::ssize_t>(tr.kept.size());
    py::array_t<int64_t> first_pos(K), last_pos(K);
    for (py::ssize_t k = 0; k < K; ++k) {
        const int64_t r = tr.kept[static_cast<size_t>(k)];
        first_pos.mutable_data()[k] = order[tr.starts[static_cast<size_t>(r)]];
        last_pos.mutable_data()[k] = order[tr.starts[static_cast<size_t>(r) + 1] - 1];
    }

    py::object columns = df.attr("columns");
    const auto ncols = static_cast<py::ssize_t>(py::len(columns));
    py::object iloc = df.attr("iloc");
    std::vector<py::object> built(static_cast<size_t>(ncols));
    py::ssize_t time_pos = -1;
    bool seen[static_cast<int>(Role::Value) + 1] = {};  // which roles some column took
    auto take = [](py::handle series, const py::array_t<int64_t>& pos) {
        return series.attr("take")(pos).attr("reset_index")(py::arg("drop") = true);
    };
    for (py::ssize_t j = 0; j < ncols; ++j) {
        py::object name = columns[py::int_(j)];
        const bool is_time = name_is(name, time_col);
        Role role = Role::Other;
        if (name_is(name, N().open)) role = Role::Open;
        else if (name_is(name, N().high)) role = Role::High;
        else if (name_is(name, N().low)) role = Role::Low;
        else if (name_is(name, N().close)) role = Role::Close;
        else if (name_is(name, N().volume)) role = Role::Volume;
        else if (name_is(name, N().num_trds)) role = Role::NumTrds;
        else if (name_is(name, N().value)) role = Role::Value;
        seen[static_cast<int>(role)] = true;
        if (is_time) {
            seen[static_cast<int>(Role::Time)] = true;
            if (time_pos < 0) time_pos = j;
        }
        py::object raw = iloc[py::make_tuple(py::slice(py::none(), py::none(), py::none()), j)];
        // The field rules come after the time rule, as when the row is built field by field: a
        // time column also named "open" holds the first row's time whatever the convention.
        py::object col;
        switch (role) {
            case Role::Open:
            case Role::Close:
                col = take(is_time ? times : raw, role == Role::Open ? first_pos : last_pos);
                break;
            case Role::High:
            case Role::Low:
                if (is_time) {  // the rows are in time order: the extremes are the run's ends
                    col = take(times, role == Role::High ? last_pos : first_pos);
                    break;
                }
                col = reduce_column(raw, role == Role::High ? kv::bars::Reduce::Max : kv::bars::Reduce::Min, tr, np);
                break;
            case Role::Volume:
            case Role::NumTrds:
            case Role::Value:
                col = reduce_column(raw, kv::bars::Reduce::Sum, tr, np);
                if (is_time) col = pd.attr("to_datetime")(col);
                break;
            default:
                col = is_time ? take(times, start ? first_pos : last_pos) : take(raw, first_pos);
        }
        built[static_cast<size_t>(j)] = col;
    }
    // Labels that pandas resolved above but that no column equals (MultiIndex levels): the
    // columns could not be told apart, so fail as a missing column instead of guessing.
    const std::pair<Role, PyObject*> required[] = {{Role::Time, time_col.ptr()}, {Role::Open, N().open},
                                                   {Role::High, N().high},         {Role::Low, N().low},
                                                   {Role::Close, N().close},       {Role::Volume, N().volume}};
    for (const auto& req : required) {
        if (!seen[static_cast<int>(req.first)]) {
            kv::raise(PyExc_KeyError, req.second);
        }
    }
    // Time column first, the others in their input order.
    std::vector<py::ssize_t> perm;
    if (time_pos >= 0) perm.push_back(time_pos);
    for (py::ssize_t j = 0; j < ncols; ++j)
        if (j != time_pos) perm.push_back(j);
    py::dict data;
    py::list perm_list;
    for (size_t i = 0; i < perm.size(); ++i) {
        data[py::int_(i)] = built[static_cast<size_t>(perm[i])];
        perm_list.append(perm[i]);
    }
    py::object out = pd.attr("DataFrame")(data);
    out.attr("columns") = columns.attr("take")(perm_list);
    return out;
}

// ---------------------------------------------------------------- n-minute requests

py::list fetch_aggregated(py::handle n_int, py::handle periods, py::handle fetch, py::handle conv) {
    if (int_le(periods, 0)) kv::raise(PyExc_ValueError, "periods must be > 0, got " + text_of(periods));
    py::object count = steal(PyNumber_Add(steal(PyNumber_Multiply(periods.ptr(), n_int.ptr())).ptr(), n_int.ptr()));
    py::object got = fetch(count);
    py::object bars_1m = truthy(got) ? got : py::list();
    py::object seq = steal(PySequence_Tuple(bars_1m.ptr()));
    py::list agg = aggregate_records(seq, n_int, true, conv, 1.5);
    const Py_ssize_t have = PyList_GET_SIZE(agg.ptr());
    py::object have_obj = py::int_(have);
    int fewer = PyObject_RichCompareBool(have_obj.ptr(), periods.ptr(), Py_LT);
    if (fewer < 0) throw py::error_already_set();
    if (fewer)
        kv::raise(PyExc_ValueError, "Not enough aggregated " + text_of(n_int) + "Min bars: need " + text_of(periods) +
                                        ", got " + std::to_string(have) + " from " +
                                        std::to_string(PyTuple_GET_SIZE(seq.ptr())) + " 1Min bars.");
    const Py_ssize_t p = PyLong_AsSsize_t(periods.ptr());
    return py::reinterpret_steal<py::list>(steal(PyList_GetSlice(agg.ptr(), have - p, have)).release());
}

}  // namespace

void define_module(py::module_& m) {
    PyDateTime_IMPORT;
    if (!PyDateTimeAPI) throw py::error_already_set();
    py::options options;
    options.disable_function_signatures();
    N();
    globals.bind(m);

    S.zero = steal(PyLong_FromLong(0)).release().ptr();
    {
        const char* base[] = {"datetime", "security", "open", "high", "low", "close", "volume"};
        for (int v = 0; v < 4; ++v) {
            // Interned, so the callee matches keywords to its parameters by identity.
            py::list l;
            for (const char* b : base) l.append(py::reinterpret_steal<py::object>(intern(b)));
            if (v & 1) l.append(py::reinterpret_steal<py::object>(intern("num_trds")));
            if (v & 2) l.append(py::reinterpret_steal<py::object>(intern("value")));
            S.kwnames[v] = py::tuple(l).release().ptr();
        }
    }

    // Module-level imports, as a Python module's own `import` lines bind them.
    py::module_ re = py::module_::import("re");
    m.attr("re") = re;
    m.attr("np") = py::module_::import("numpy");
    m.attr("pd") = py::module_::import("pandas");
    kv::import_name(m, "datetime", "datetime");
    kv::import_name(m, "datetime", "timedelta");
    kv::import_name(m, "kavrel_trader.core.data", "Bar");

    m.attr("_FREQ_RE") = re.attr("compile")(kFreqPattern, re.attr("IGNORECASE"));
    m.attr("AGGREGATABLE_NMIN") = py::make_tuple(2, 3, 5, 10, 15, 20, 30, 60);

    // Module functions take their arguments as a plain `def` would: names, defaults and
    // keyword-only markers as documented, Python's own argument errors, __doc__ None where the
    // function has no docstring.
    const py::object end_conv = py::str("end");

    kv::def(m, "parse_bar_freq", {{"freq"}}, [](const kv::Bound& a) -> py::object {
        Freq f = parse_freq(a[0]);
        return py::make_tuple(py::handle(f.day ? N().unit_day : N().unit_min), f.count);
    });

    kv::def(m, "try_parse_aggregatable_nmin", {{"freq"}},
            [](const kv::Bound& a) { return try_parse_nmin(a[0]); },
            "Return N if ``freq`` is an aggregatable N-min (N>1); else None.");

    kv::def(m, "is_nmin_aggregatable", {{"freq"}}, [](const kv::Bound& a) -> py::object {
        return py::bool_(!try_parse_nmin(a[0]).is_none());
    });

    kv::def(m, "to_backtest_interval", {{"freq"}}, [](const kv::Bound& a) {
        Freq f = parse_freq(a[0]);
        return steal(PyUnicode_FromFormat("%S%s", f.count.ptr(), f.day ? "day" : "min"));
    }, "Normalize gateway-style freq to backtest interval (``1min`` / ``1day``).");

    kv::def(m, "_bucket_start", {{"dt"}, {"n_min"}}, [](const kv::Bound& a) {
        if (!PyDateTime_Check(a[0].ptr())) kv::raise_arg_type("dt", "datetime", a[0]);
        py::object n = int_arg(a[1], "n_min");
        return bucket_start_obj(a[0], n);
    });

    kv::def(m, "_merge_bucket", {{"bars"}, {"bar_convention"}}, [](const kv::Bound& a) {
        py::handle bars = a[0], conv = a[1];
        kv::check_str(conv, "bar_convention");
        py::object seq = steal(PySequence_Tuple(bars.ptr()));  // stable while Python code runs
        const Py_ssize_t k = PyTuple_GET_SIZE(seq.ptr());
        if (k == 0) return steal(PySequence_GetItem(bars.ptr(), 0));  // the sequence's own IndexError
        PyObject* const* items = reinterpret_cast<PyTupleObject*>(seq.ptr())->ob_item;
        py::object label = steal(PyObject_GetAttr(items[is_start_convention(conv) ? 0 : k - 1], N().datetime));
        Scratch scratch;
        return merge_bucket(items, static_cast<size_t>(k), label, merge_ctx(scratch));
    });

    kv::def(m, "aggregate_1min_bars",
            {{"bars"}, {"n_min"}, kv::kw_only(), {"require_full", py::bool_(true)},
             {"bar_convention", end_conv}, {"max_gap_minutes", py::float_(1.5)}},
            [](const kv::Bound& a) -> py::object {
        py::object n = int_arg(a[1], "n_min");
        const bool full = truthy(a[2]);
        kv::check_str(a[3], "bar_convention");
        const double gap = kv::to_double_arg(a[4], "max_gap_minutes");
        return aggregate_records(a[0], n, full, a[3], gap);
    }, "Aggregate sorted (or unsorted) 1-minute bars into N-minute bars.");

    kv::def(m, "aggregate_1min_ohlcv_df",
            {{"df"}, {"n_min"}, kv::kw_only(), {"require_full", py::bool_(true)},
             {"bar_convention", end_conv}, {"max_gap_minutes", py::float_(1.5)},
             {"time_col", py::str("time_key")}},
            [](const kv::Bound& a) -> py::object {
        py::object n = int_arg(a[1], "n_min");
        const bool full = truthy(a[2]);
        kv::check_str(a[3], "bar_convention");
        const double gap = kv::to_double_arg(a[4], "max_gap_minutes");
        kv::check_str(a[5], "time_col");
        return aggregate_table(a[0], n, full, a[3], gap, a[5]);
    }, "Aggregate a 1-min OHLCV DataFrame into N-min rows (same columns kept).");

    kv::def(m, "fetch_aggregated_nmin_bars",
            {kv::kw_only(), {"n_min"}, {"periods"}, {"fetch_1min"}, {"bar_convention", end_conv}},
            [](const kv::Bound& a) -> py::object {
        py::object n = int_arg(a[0], "n_min");
        py::object p = int_arg(a[1], "periods");
        kv::check_str(a[3], "bar_convention");
        return fetch_aggregated(n, p, a[2], a[3]);
    }, "Fetch 1-min bars via ``fetch_1min(count)`` and return last ``periods`` N-min bars.");

    kv::def(m, "maybe_req_aggregated_nmin",
            {{"freq"}, {"periods"}, {"fetch_1min"}, {"bar_convention", end_conv}},
            [](const kv::Bound& a) -> py::object {
        py::object p = int_arg(a[1], "periods");
        kv::check_str(a[3], "bar_convention");
        py::object n = try_parse_nmin(a[0]);
        if (n.is_none()) return py::none();
        return fetch_aggregated(n, p, a[2], a[3]);
    }, "If ``freq`` is aggregatable N-min, return aggregated bars; else None.");
}

}  // namespace bar_rollup
}  // namespace kv

KV_MODULE(bar_rollup, m) { kv::bar_rollup::define_module(m); }
