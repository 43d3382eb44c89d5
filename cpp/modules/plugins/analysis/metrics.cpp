// kavrel_trader.plugins.analysis.metrics: performance statistics of back-test runs.
//
// The functions are the numpy/pandas formulas of the analysis code, computed natively where
// the input is a plain numeric column (numpy array, list of numbers, float64 Series) and
// handed to numpy/pandas otherwise, so every other input behaves exactly as the formula
// would (results, warnings and errors). The numeric kernels are in engine/stats.hpp.
//
// What a pandas Series gets from the ratios: pandas' own statistics, Series.mean() and
// Series.std() (missing values skipped, divisor n - 1), and in information_ratio pandas'
// subtraction (labels aligned). Plain arrays and lists get numpy's np.mean and np.std
// (divisor n). Equal values have no deviation, and so no ratio, for every kind of input.
// The native path covers float64 Series; other Series go through their own methods.
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include <cmath>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "engine/stats.hpp"
#include "py/module_entry.hpp"
#include "py/pyhelpers.hpp"
#include "py/signature.hpp"

namespace st = kv::stats;

namespace kv {
namespace metrics {
namespace {

ModuleNames globals;

// The real datetime class bound at import; the native date parser is used only while the
// module's `datetime` is still that class (a test may replace it).
PyObject* g_datetime_class = nullptr;

// pandas 2.x computes Series.quantile(q) as np.percentile(values, q * 100.0), which divides
// by 100 again; pandas 3 calls np.quantile(values, q). The fraction actually used differs
// in the last bit for some q, so the native quantile follows the installed pandas.
bool g_quantile_via_percent = false;

// Inputs at least this long are computed with the GIL released.
constexpr int64_t kNoGilThreshold = 1 << 15;

py::object mul(const py::object& a, const py::object& b) {
    return kv::steal(PyNumber_Multiply(a.ptr(), b.ptr()));
}
py::object div(const py::object& a, const py::object& b) {
    return kv::steal(PyNumber_TrueDivide(a.ptr(), b.ptr()));
}
py::object sub(const py::object& a, const py::object& b) {
    return kv::steal(PyNumber_Subtract(a.ptr(), b.ptr()));
}

// Python truth of `a == 0`, as `if volatility == 0:` evaluates it.
bool equals_zero(const py::object& a) { return eq(a, py::int_(0)); }

bool is_exact_type(py::handle obj, const py::object& type) {
    return reinterpret_cast<PyObject*>(Py_TYPE(obj.ptr())) == type.ptr();
}

// ---------------------------------------------------------------- input columns

// One numeric input of a ratio. A pandas Series has pandas' statistics (Series.mean() and
// Series.std(): missing values skipped, divisor n - 1); anything else has numpy's
// (np.mean, np.std: divisor n), as the formula applies them.
struct Column {
    py::object obj;      // what the expressions receive (a plain sequence converted)
    py::object data;     // C-contiguous float64 array, when `native`
    bool native = false; // computed here
    bool series = false; // a pandas Series: pandas' mean and std
    bool cast = false;   // integer/boolean input converted to float64
    int64_t chunk = 0;   // numpy's buffering of a casting sum (see stats::reduce_sum)

    int64_t size() const;
    const double* ptr() const;
};

using F64Array = py::array_t<double, py::array::c_style | py::array::forcecast>;

// Native byte order 1-D numeric arrays become a contiguous float64 array in `out` (copied
// only when strided or of another type). Returns the kind: 'f' float64, 'c' integer or
// boolean (cast), 0 not handled here (also integers when `float64_only`).
char take_array(const py::array& arr, py::object& out, bool float64_only = false) {
    if (arr.ndim() != 1) return 0;
    py::dtype dt = arr.dtype();
    const char kind = dt.kind();
    const char order = dt.byteorder();
    if (order != '=' && order != '|') return 0;
    char result = 0;
    if (kind == 'f' && dt.itemsize() == 8) result = 'f';
    else if (!float64_only && (kind == 'i' || kind == 'u' || kind == 'b')) result = 'c';
    if (result == 0) return 0;
    out = F64Array::ensure(arr);
    if (!out) throw py::error_already_set();
    return result;
}

const double* f64_data(const py::object& arr) {
    return static_cast<const double*>(py::reinterpret_borrow<py::array>(arr).data());
}
size_t f64_size(const py::object& arr) {
    return static_cast<size_t>(py::reinterpret_borrow<py::array>(arr).size());
}

int64_t Column::size() const { return static_cast<int64_t>(f64_size(data)); }
const double* Column::ptr() const { return f64_data(data); }

// A float64 Series' values as a contiguous buffer in `out`; false for other Series.
bool series_float64_values(py::handle series, const py::object& ndarray, py::object& out) {
    py::object values = series.attr("values");
    if (!is_exact_type(values, ndarray)) return false;
    return take_array(py::reinterpret_borrow<py::array>(values), out, true) == 'f';
}

Column resolve(py::handle x, const py::object& np, const py::object& pd) {
    Column c;
    c.obj = py::reinterpret_borrow<py::object>(x);
    py::object ndarray = np.attr("ndarray");
    py::object arr;
    py::object series_type = pd.attr("Series");
    if (is_exact_type(x, ndarray)) {
        arr = py::reinterpret_borrow<py::object>(x);
    } else if (is_exact_type(x, series_type)) {
        c.series = true;
        c.native = series_float64_values(x, ndarray, c.data);
        return c;
    } else if (py::isinstance(x, series_type)) {
        c.series = true;  // a subclass: its own mean and std
        return c;
    } else if (kv::hasattr(x, py::str("std").ptr())) {
        return c;  // numpy calls the object's own std/mean methods
    } else {
        c.obj = np.attr("asanyarray")(x);
        if (!is_exact_type(c.obj, ndarray)) return c;
        arr = c.obj;
    }
    const char kind = take_array(py::reinterpret_borrow<py::array>(arr), c.data);
    if (kind == 0) return c;
    c.native = true;
    if (kind == 'c') {
        c.cast = true;
        c.chunk = np.attr("getbufsize")().cast<int64_t>();
    }
    return c;
}

// Moments of a column, or `ok == false` when numpy or pandas must compute it (an empty
// array, an infinity or an overflow: numpy then also warns, and the result is numpy's; for
// a Series also fewer than two values, where pandas' deviation is missing).
struct ColumnStats {
    bool ok = false;
    double mean = 0.0;
    double std = 0.0;
};

ColumnStats finish_stats(const st::Moments& m, bool quiet_nan) {
    ColumnStats s;
    const bool finite = std::isfinite(m.mean) && std::isfinite(m.var);
    if (!finite && !quiet_nan) return s;
    s.ok = true;
    s.mean = m.mean;
    s.std = std::sqrt(m.var);
    return s;
}

ColumnStats column_stats(const Column& c) {
    if (!c.native || c.size() == 0) return ColumnStats();
    const double* a = c.ptr();
    const int64_t n = c.size();
    auto get = [a](int64_t i) { return a[i]; };
    st::Moments m;
    bool quiet_nan = false;
    kv::without_gil_if(n >= kNoGilThreshold, [&] {
        if (c.series) {
            m = st::nan_skipping_moments(a, n, 1);
        } else {
            m = st::population_moments(get, n, c.cast ? c.chunk : 0);
            // NaN data gives NaN quietly in numpy; other non-finite results are left to numpy.
            if (!(std::isfinite(m.mean) && std::isfinite(m.var))) quiet_nan = st::any_nan(get, n);
        }
    });
    return finish_stats(m, quiet_nan);
}

// A Series' mean and deviation as pandas computes them, for Series not handled natively
// (other dtypes, subclasses, too few values). `missing` when the deviation is NaN or NA.
// Equal values are given no deviation, whatever rounding residue pandas leaves.
struct SeriesStats {
    py::object mean, std;
    bool missing = false;
};

SeriesStats pandas_stats(const py::object& pd, py::handle x) {
    SeriesStats s;
    s.std = x.attr("std")();
    s.mean = x.attr("mean")();
    s.missing = kv::truthy(pd.attr("isna")(s.std));
    if (s.missing || equals_zero(s.std)) return s;
    // Only a deviation that is tiny next to the mean can be a residue of equal values.
    const double sd = PyFloat_AsDouble(s.std.ptr());
    const double mean = PyFloat_AsDouble(s.mean.ptr());
    if (PyErr_Occurred()) {
        PyErr_Clear();
    } else if (std::fabs(sd) > std::fabs(mean) * 1e-7) {
        return s;
    }
    py::object valid = x.attr("dropna")();
    if (py::len(valid) == 0) return s;
    py::object first = valid.attr("iloc")[py::int_(0)];
    py::object same = kv::steal(PyObject_RichCompare(valid.ptr(), first.ptr(), Py_EQ));
    if (kv::truthy(same.attr("all")())) s.std = mul(s.std, py::int_(0));
    return s;
}

// ---------------------------------------------------------------- ratio arithmetic

// sqrt(days) as np.sqrt gives it, when days is a plain non-negative int.
bool plain_sqrt_days(py::handle days, double& out) {
    if (!PyLong_CheckExact(days.ptr())) return false;
    int overflow = 0;
    long long v = PyLong_AsLongLongAndOverflow(days.ptr(), &overflow);
    if (v == -1 && PyErr_Occurred()) throw py::error_already_set();
    if (overflow || v < 0) return false;
    out = std::sqrt(static_cast<double>(v));
    return true;
}

// np.sqrt(days) * mean / volatility, the result numpy's scalar arithmetic gives.
py::object annualised(const py::object& np, py::handle days, double mean, double vol) {
    py::object f64 = np.attr("float64");
    double sd = 0.0;
    if (plain_sqrt_days(days, sd)) return f64((sd * mean) / vol);
    return div(mul(np.attr("sqrt")(days), f64(mean)), f64(vol));
}

// np.std(x) for inputs not handled natively, with equal values given no deviation (as the
// native path does): a float32 array of equal values otherwise keeps a rounding residue.
py::object numpy_std(const py::object& np, py::handle x) {
    py::object vol = np.attr("std")(x);
    if (is_exact_type(x, np.attr("ndarray"))) {
        py::array arr = py::reinterpret_borrow<py::array>(x);
        const char kind = arr.dtype().kind();
        if (arr.size() > 0 && (kind == 'f' || kind == 'c') && !equals_zero(vol)) {
            py::object first = arr.attr("flat")[py::int_(0)];
            py::object same = kv::steal(PyObject_RichCompare(arr.ptr(), first.ptr(), Py_EQ));
            if (same.attr("all")().cast<bool>()) return mul(vol, py::int_(0));
        }
    }
    return vol;
}

// The formula as numpy or pandas evaluates it, for inputs not handled natively.
//   volatility = std(x); if volatility == 0: NaN; else np.sqrt(days) * mean(x) / volatility
// A Series whose deviation is missing (fewer than two values) gives NaN.
py::object fallback_ratio(const py::object& np, const py::object& pd, const Column& c,
                          py::handle days) {
    if (c.series) {
        SeriesStats s = pandas_stats(pd, c.obj);
        if (s.missing || equals_zero(s.std)) return np.attr("nan");
        return div(mul(np.attr("sqrt")(days), s.mean), s.std);
    }
    py::object vol = numpy_std(np, c.obj);
    if (equals_zero(vol)) return np.attr("nan");
    return div(mul(np.attr("sqrt")(days), np.attr("mean")(c.obj)), vol);
}

// sqrt(days) * mean(x) / std(x), NaN when std(x) == 0.
py::object ratio_of(const py::object& np, const py::object& pd, const Column& c, py::handle days) {
    ColumnStats s = column_stats(c);
    if (!s.ok) return fallback_ratio(np, pd, c, days);
    if (s.std == 0.0) return np.attr("nan");
    return annualised(np, days, s.mean, s.std);
}

py::object sharpe_ratio(py::object returns, py::object days) {
    kv::check_int_arg(days, "days");
    py::object np = globals("np");
    py::object pd = globals("pd");
    Column c = resolve(returns, np, pd);
    return ratio_of(np, pd, c, days);
}

// returns - benchmark_returns, element by element: natively for two equally long plain
// columns of which at least one is float64 (numpy would convert the other to float64 too);
// everything else (Series alignment, broadcasting, integer arithmetic, shape errors) by the
// operands' own subtraction. A Series on either side makes the difference a Series.
py::object information_ratio(py::object returns, py::object benchmark_returns, py::object days) {
    kv::check_int_arg(days, "days");
    py::object np = globals("np");
    py::object pd = globals("pd");
    Column r = resolve(returns, np, pd);
    Column b = resolve(benchmark_returns, np, pd);
    const bool paired = r.native && b.native && !r.series && !b.series && !(r.cast && b.cast) &&
                        r.size() == b.size() && r.size() > 0;
    if (paired) {
        const double* pa = r.ptr();
        const double* pb = b.ptr();
        const int64_t n = r.size();
        auto diff = [pa, pb](int64_t i) { return pa[i] - pb[i]; };
        st::Moments m;
        bool quiet_nan = false;
        kv::without_gil_if(n >= kNoGilThreshold, [&] {
            m = st::population_moments(diff, n);
            if (!(std::isfinite(m.mean) && std::isfinite(m.var)))
                quiet_nan = st::any_nan([pa](int64_t i) { return pa[i]; }, n) ||
                            st::any_nan([pb](int64_t i) { return pb[i]; }, n);
        });
        ColumnStats s = finish_stats(m, quiet_nan);
        if (s.ok) {
            if (s.std == 0.0) return np.attr("nan");
            return annualised(np, days, s.mean, s.std);
        }
    }
    // Two float64 Series on equal labels: pandas subtracts their values as they stand (it
    // aligns only unequal labels), so the difference is computed here without a new Series.
    if (r.series && b.series && r.native && b.native && r.size() == b.size() && r.size() > 0) {
        py::object ri = returns.attr("index");
        py::object bi = benchmark_returns.attr("index");
        if (ri.ptr() == bi.ptr() || kv::truthy(ri.attr("equals")(bi))) {
            const double* pa = r.ptr();
            const double* pb = b.ptr();
            const int64_t n = r.size();
            st::Moments m;
            kv::without_gil_if(n >= kNoGilThreshold, [&] {
                std::vector<double> diff(static_cast<size_t>(n));
                for (int64_t i = 0; i < n; ++i) diff[static_cast<size_t>(i)] = pa[i] - pb[i];
                m = st::nan_skipping_moments(diff.data(), n, 1);
            });
            ColumnStats s = finish_stats(m, false);
            if (s.ok) {
                if (s.std == 0.0) return np.attr("nan");
                return annualised(np, days, s.mean, s.std);
            }
        }
    }
    py::object difference = sub(r.obj, b.obj);
    return ratio_of(np, pd, resolve(difference, np, pd), days);
}

py::object modigliani_ratio(py::object returns, py::object benchmark_returns, py::object days) {
    kv::check_int_arg(days, "days");
    py::object np = globals("np");
    py::object pd = globals("pd");
    Column r = resolve(returns, np, pd);
    ColumnStats s = column_stats(r);
    py::object sharpe;
    double sharpe_d = 0.0;
    bool sharpe_native = false;
    if (s.ok) {
        if (s.std == 0.0) return np.attr("nan");
        double sd = 0.0;
        if (plain_sqrt_days(days, sd)) {
            sharpe_d = (sd * s.mean) / s.std;
            sharpe_native = true;
        } else {
            sharpe = annualised(np, days, s.mean, s.std);
        }
    } else if (r.series) {
        SeriesStats ps = pandas_stats(pd, r.obj);
        if (ps.missing || equals_zero(ps.std)) return np.attr("nan");
        sharpe = div(mul(np.attr("sqrt")(days), ps.mean), ps.std);
    } else {
        py::object vol = numpy_std(np, r.obj);
        if (equals_zero(vol)) return np.attr("nan");
        sharpe = div(mul(np.attr("sqrt")(days), np.attr("mean")(r.obj)), vol);
    }
    // The benchmark is looked at only once the returns have a deviation.
    Column b = resolve(benchmark_returns, np, pd);
    ColumnStats bs = column_stats(b);
    py::object f64 = np.attr("float64");
    if (bs.ok && sharpe_native) return f64(sharpe_d * bs.std);
    if (sharpe_native) sharpe = f64(sharpe_d);
    py::object bvol;
    if (bs.ok) {
        bvol = f64(bs.std);
    } else if (b.series) {
        SeriesStats ps = pandas_stats(pd, b.obj);
        bvol = ps.missing ? py::object(np.attr("nan")) : ps.std;
    } else {
        bvol = numpy_std(np, b.obj);
    }
    return mul(sharpe, bvol);
}

// ---------------------------------------------------------------- drawdown

// The pandas formulation, for inputs and windows not handled natively. The column is named
// "pv" whatever a Series input is called (building the frame with columns=["pv"] from a
// Series of another name would select a missing column and give all-NaN drawdowns).
py::object pandas_drawdown(const py::object& pd, py::handle pv, py::handle window) {
    py::object data = py::reinterpret_borrow<py::object>(pv);
    if (py::isinstance(pv, pd.attr("Series"))) data = data.attr("rename")("pv");
    py::list columns;
    columns.append("pv");
    py::object df = pd.attr("DataFrame")(data, py::arg("columns") = columns);
    py::object col = df["pv"];
    py::object roll_max = col.attr("rolling")(window, py::arg("min_periods") = 1).attr("max")();
    py::object daily = sub(div(col, roll_max), py::float_(1.0));
    return daily.attr("rolling")(window, py::arg("min_periods") = 1).attr("min")();
}

// The window as a positive element count, when it is one that fits (an int, bool included).
bool plain_window(py::handle window, int64_t& out) {
    int overflow = 0;
    long long v = PyLong_AsLongLongAndOverflow(window.ptr(), &overflow);
    if (v == -1 && PyErr_Occurred()) throw py::error_already_set();
    if (overflow || v < 1) return false;
    out = static_cast<int64_t>(v);
    return true;
}

py::object rolling_maximum_drawdown(py::object portfolio_value, py::object window) {
    kv::check_int_arg(window, "window");
    // pandas takes the element count as a plain int (it refuses a bool).
    window = kv::exact_int(window);
    py::object np = globals("np");
    py::object pd = globals("pd");
    int64_t w = 0;
    if (!plain_window(window, w)) return pandas_drawdown(pd, portfolio_value, window);

    py::object ndarray = np.attr("ndarray");
    py::object series_type = pd.attr("Series");
    py::object index = py::none();
    py::object data;
    char kind = 0;
    if (is_exact_type(portfolio_value, series_type)) {
        py::object values = portfolio_value.attr("values");
        if (is_exact_type(values, ndarray)) kind = take_array(py::reinterpret_borrow<py::array>(values), data);
        index = portfolio_value.attr("index");
    } else if (is_exact_type(portfolio_value, ndarray)) {
        kind = take_array(py::reinterpret_borrow<py::array>(portfolio_value), data);
    } else if (PyList_Check(portfolio_value.ptr()) && PyList_GET_SIZE(portfolio_value.ptr()) > 0) {
        // A list becomes the frame's column as numpy would type it, for numbers.
        py::object arr = np.attr("asarray")(portfolio_value);
        py::dtype dt = py::reinterpret_borrow<py::array>(arr).dtype();
        if ((dt.kind() == 'f' || dt.kind() == 'i') && dt.itemsize() == 8)
            kind = take_array(py::reinterpret_borrow<py::array>(arr), data);
    }
    if (kind == 0) return pandas_drawdown(pd, portfolio_value, window);

    const int64_t n = static_cast<int64_t>(f64_size(data));
    py::array_t<double> out(static_cast<py::ssize_t>(n));
    const double* in = f64_data(data);
    double* res = out.mutable_data();
    kv::without_gil_if(n >= kNoGilThreshold, [&] { st::rolling_max_drawdown(in, n, w, res); });
    return series_type(out, py::arg("index") = index, py::arg("name") = "pv", py::arg("copy") = false);
}

// ---------------------------------------------------------------- holding period

const char* const kDateFormat = "%Y-%m-%d %H:%M:%S";

// Seconds since the epoch of a date text in the plain form, or false.
bool fast_datetime(py::handle text, int64_t& seconds) {
    // The plain form is ASCII; any other text is left to strptime (also for its errors).
    std::string_view s;
    if (!PyUnicode_Check(text.ptr()) || !kv::ascii_view(text.ptr(), s)) return false;
    return st::parse_datetime_seconds(s.data(), s.size(), seconds);
}

py::object holding_period(py::object time_) {
    py::object dt_class = globals("datetime");
    const bool native = dt_class.ptr() == g_datetime_class;
    py::object open_text = time_["open_datetime"];
    int64_t open_s = 0, close_s = 0;
    bool open_fast = native && fast_datetime(open_text, open_s);
    py::object open_dt;
    if (!open_fast) open_dt = dt_class.attr("strptime")(open_text, kDateFormat);
    py::object close_text = time_["close_datetime"];
    bool close_fast = native && fast_datetime(close_text, close_s);
    if (open_fast && close_fast) return py::float_(static_cast<double>(close_s - open_s) / 60.0);
    py::object close_dt = dt_class.attr("strptime")(close_text, kDateFormat);
    if (!open_dt) open_dt = dt_class.attr("strptime")(open_text, kDateFormat);
    py::object seconds = sub(close_dt, open_dt).attr("total_seconds")();
    return div(seconds, py::float_(60.0));
}

// ---------------------------------------------------------------- percentile

// x.quantile(fraction): natively for a float64 Series, through x's own quantile otherwise
// (which also raises pandas' error for a fraction outside [0, 1]).
py::object apply_percentile(py::handle x, double fraction) {
    py::object np = globals("np");
    py::object pd = globals("pd");
    if (fraction >= 0.0 && fraction <= 1.0 && is_exact_type(x, pd.attr("Series"))) {
        py::object values;
        if (series_float64_values(x, np.attr("ndarray"), values)) {
            const double* a = f64_data(values);
            const size_t n = f64_size(values);
            const double q = g_quantile_via_percent ? (fraction * 100.0) / 100.0 : fraction;
            double result = st::kNaN;
            kv::without_gil_if(static_cast<int64_t>(n) >= kNoGilThreshold, [&] {
                std::vector<double> kept;
                kept.reserve(n);
                for (size_t i = 0; i < n; ++i)
                    if (a[i] == a[i]) kept.push_back(a[i]);
                result = st::quantile_linear(kept, q);
            });
            return np.attr("float64")(result);
        }
    }
    return py::reinterpret_borrow<py::object>(x).attr("quantile")(fraction);
}

// The aggregator is the nested function `percentile_(x)` of the analysis code, renamed
// "percentile_<n>": argument errors name it as Python names that inner function.
py::object percentile(py::object n, const std::string& module_name) {
    const double value = kv::to_double_arg(n, "n");
    const double fraction = value / 100.0;
    py::object as_float = py::float_(value);
    std::string name = "percentile_" + py::repr(as_float).cast<std::string>();
    return kv::detail::make_function(
        module_name, name, "percentile.<locals>.percentile_", {{"x"}}, false,
        [fraction](const kv::Bound& a) { return apply_percentile(a[0], fraction); }, nullptr);
}

// ---------------------------------------------------------------- half hours

py::object convert_time(py::object time_) {
    kv::check_str(time_, "time_");
    PyObject* s = time_.ptr();
    const Py_ssize_t len = PyUnicode_GetLength(s);  // also readies the str for the reads below
    if (len < 0) throw py::error_already_set();
    const Py_ssize_t colon = PyUnicode_FindChar(s, ':', 0, len, 1);
    if (colon == -2) throw py::error_already_set();
    if (colon == -1) kv::raise(PyExc_IndexError, "list index out of range");
    Py_ssize_t end = PyUnicode_FindChar(s, ':', colon + 1, len, 1);
    if (end == -2) throw py::error_already_set();
    if (end == -1) end = len;

    // The minute: plain ASCII digits here, anything else as int() reads it (whitespace,
    // signs, underscores, other scripts' digits) or rejects it.
    bool below_half = false;
    bool done = false;
    const Py_ssize_t mlen = end - colon - 1;
    if (mlen > 0 && mlen <= 18) {
        const int kind = PyUnicode_KIND(s);
        const void* data = PyUnicode_DATA(s);
        int64_t minute = 0;
        bool digits = true;
        for (Py_ssize_t i = colon + 1; i < end && digits; ++i) {
            const Py_UCS4 ch = PyUnicode_READ(kind, data, i);
            digits = ch >= '0' && ch <= '9';
            minute = minute * 10 + (static_cast<int64_t>(ch) - '0');
        }
        if (digits) {
            below_half = minute < 30;
            done = true;
        }
    }
    if (!done) {
        py::object text = kv::steal(PyUnicode_Substring(s, colon + 1, end));
        py::object minute = kv::steal(PyLong_FromUnicodeObject(text.ptr(), 10));
        py::object thirty = py::int_(30);
        int r = PyObject_RichCompareBool(minute.ptr(), thirty.ptr(), Py_LT);
        if (r < 0) throw py::error_already_set();
        below_half = r == 1;
    }
    py::object hour = kv::steal(PyUnicode_Substring(s, 0, colon));
    py::str tail(below_half ? ":00:00" : ":30:00");
    return kv::steal(PyUnicode_Concat(hour.ptr(), tail.ptr()));
}

}  // namespace

void define_module(py::module_& m) {
    globals.bind(m);
    m.attr("np") = py::module_::import("numpy");
    m.attr("pd") = py::module_::import("pandas");
    kv::import_name(m, "datetime", "datetime");
    g_datetime_class = m.attr("datetime").ptr();
    Py_INCREF(g_datetime_class);  // kept for the life of the process

    try {
        py::object q = py::module_::import("pandas.core.array_algos.quantile");
        g_quantile_via_percent = !py::hasattr(q, "_nanquantile") && py::hasattr(q, "_nanpercentile");
    } catch (py::error_already_set&) {
        g_quantile_via_percent = false;  // layout unknown: the pandas 3 formula
    }

    kv::def(m, "sharpe_ratio", {{"returns"}, {"days", py::int_(252)}},
            [](const kv::Bound& a) { return sharpe_ratio(arg(a, 0), arg(a, 1)); });
    kv::def(m, "information_ratio", {{"returns"}, {"benchmark_returns"}, {"days", py::int_(252)}},
            [](const kv::Bound& a) { return information_ratio(arg(a, 0), arg(a, 1), arg(a, 2)); });
    kv::def(m, "modigliani_ratio", {{"returns"}, {"benchmark_returns"}, {"days", py::int_(252)}},
            [](const kv::Bound& a) { return modigliani_ratio(arg(a, 0), arg(a, 1), arg(a, 2)); });
    kv::def(m, "rolling_maximum_drawdown", {{"portfolio_value"}, {"window", py::int_(252)}},
            [](const kv::Bound& a) { return rolling_maximum_drawdown(arg(a, 0), arg(a, 1)); },
            "(default) use a trailing 252 trading day window");
    kv::def(m, "holding_period", {{"time_"}},
            [](const kv::Bound& a) { return holding_period(arg(a, 0)); });
    std::string module_name = m.attr("__name__").cast<std::string>();
    kv::def(m, "percentile", {{"n"}},
            [module_name](const kv::Bound& a) { return percentile(arg(a, 0), module_name); });
    kv::def(m, "convert_time", {{"time_"}},
            [](const kv::Bound& a) { return convert_time(arg(a, 0)); },
            "time_ in the format: %H:%M:%S");
}

}  // namespace metrics
}  // namespace kv

KV_MODULE(metrics, m) { kv::metrics::define_module(m); }
