// Numeric kernels of the performance metrics: moments, rolling extrema, quantiles and the
// date/time arithmetic of trade rows. Pure C++ (no Python.h).
//
// The moments reproduce numpy's arithmetic step for step (pairwise summation in numpy's
// block order, mean = sum / n, deviation from the squared differences to that mean), so the
// results are the numbers numpy prints for the same data, not merely close to them.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <vector>

#include "engine/numeric.hpp"

namespace kv {
namespace stats {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

// ---------------------------------------------------------------- summation

// numpy's add.reduce over n terms. A reduction that casts its input (integers or booleans
// summed as float64) runs through a buffer of `chunk` elements and adds the pairwise sums
// (kv::pairwise_sum) of the chunks one after another; chunk <= 0 means one pairwise sum
// over everything.
template <class Get>
double reduce_sum(const Get& get, int64_t n, int64_t chunk) {
    if (chunk <= 0 || n <= chunk) return 0.0 + pairwise_sum(get, 0, n);
    double res = 0.0;
    for (int64_t lo = 0; lo < n; lo += chunk) res += pairwise_sum(get, lo, std::min(chunk, n - lo));
    return res;
}

// ---------------------------------------------------------------- moments

// Mean and population variance (divisor: the number of values counted).
struct Moments {
    double mean = kNaN;
    double var = kNaN;
};

// True when get(i) == get(0) for every i < n (n >= 1, get(0) not NaN).
template <class Get>
bool all_equal(const Get& get, int64_t n) {
    const double first = get(0);
    if (first != first) return false;
    bool same = true;
    for (int64_t i = 1; i < n; ++i) same &= (get(i) == first);
    return same;
}

template <class Get>
bool any_nan(const Get& get, int64_t n) {
    bool nan = false;
    for (int64_t i = 0; i < n; ++i) nan |= (get(i) != get(i));
    return nan;
}

namespace detail {

// A variance this small next to the squared mean is either rounding noise of equal
// values (the pairwise mean of n equal values can be a few ulps off the value, leaving a
// deviation of about n ulps) or a genuinely tiny spread; only then is it worth a pass to
// tell the two apart. Equal values have a variance of exactly 0.
inline bool maybe_rounding_noise(double var, double mean) {
    return var == 0.0 || (std::isfinite(var) && var <= mean * mean * 1e-16);
}

}  // namespace detail

// np.mean / np.var of the values get(i), i in [0, n): NaN propagates. `chunk` is the
// buffering of the mean's sum (see reduce_sum); the squared differences are a float64
// array in numpy, so their sum is never chunked. Equal values have variance 0 exactly.
template <class Get>
Moments population_moments(const Get& get, int64_t n, int64_t chunk = 0) {
    Moments m;
    if (n == 0) return m;
    const double mean = reduce_sum(get, n, chunk) / static_cast<double>(n);
    auto sq = [&get, mean](int64_t i) {
        const double d = get(i) - mean;
        return d * d;
    };
    m.mean = mean;
    m.var = (0.0 + pairwise_sum(sq, 0, n)) / static_cast<double>(n);
    if (detail::maybe_rounding_noise(m.var, mean) && all_equal(get, n)) m.var = 0.0;
    return m;
}

// The moments a pandas Series gives (Series.mean(), Series.var(ddof=ddof)): NaN values are
// skipped. pandas sums the whole column with the NaNs replaced by 0 and divides by the count
// of the others, and likewise for the squared differences, whose sum it divides by
// count - ddof; this follows the same order. With count <= ddof the variance is NaN (and
// with no value at all the mean is NaN too).
inline Moments nan_skipping_moments(const double* a, int64_t n, int64_t ddof = 0) {
    Moments m;
    int64_t nans = 0;
    for (int64_t i = 0; i < n; ++i) nans += (a[i] != a[i]);
    const int64_t count = n - nans;
    if (count == 0) return m;
    // Without NaN the masked terms are the plain ones: the same sums, in a branch-free loop.
    auto filled = [a](int64_t i) { return a[i] == a[i] ? a[i] : 0.0; };
    auto plain = [a](int64_t i) { return a[i]; };
    const double sum = nans ? pairwise_sum(filled, 0, n) : pairwise_sum(plain, 0, n);
    const double mean = (0.0 + sum) / static_cast<double>(count);
    m.mean = mean;
    if (count <= ddof) return m;
    auto sq = [a, mean](int64_t i) {
        const double d = mean - a[i];
        return a[i] == a[i] ? d * d : 0.0;
    };
    auto plain_sq = [a, mean](int64_t i) {
        const double d = mean - a[i];
        return d * d;
    };
    const double ss = nans ? pairwise_sum(sq, 0, n) : pairwise_sum(plain_sq, 0, n);
    m.var = (0.0 + ss) / static_cast<double>(count - ddof);
    if (detail::maybe_rounding_noise(m.var, mean)) {
        double first = kNaN;
        bool same = true;
        for (int64_t i = 0; i < n; ++i) {
            if (a[i] != a[i]) continue;
            if (first != first) first = a[i];
            same &= (a[i] == first);
        }
        if (same) m.var = 0.0;
    }
    return m;
}

// ---------------------------------------------------------------- rolling drawdown

// Worst drawdown in a trailing window:
//   peak[t] = max of pv over the window ending at t (at least one observation),
//   dd[t]   = pv[t] / peak[t] - 1.0,
//   out[t]  = min of dd over the window ending at t.
// Both windows hold `window` elements (window >= 1), fewer at the start. NaN and infinite
// values are not observations (the table library's rolling functions treat them alike);
// a window without observations gives NaN. Among equal extremes the latest counts, so a
// zero extreme carries the sign of the latest equal zero, as the library's result does.
//
// Method: the window extremes come from block prefix/suffix extremes (van Herk /
// Gil-Werman). The input is cut into blocks of `window` elements; the window ending at t
// is the tail of the previous block (its suffix extreme, kept from a backward scan) joined
// with the head of t's block (a running prefix extreme). Both stages run in one forward
// sweep over the blocks, with three buffers of one block each. Every step is a compare and
// select without data-dependent branches, which keeps random-walk input as fast as any
// other (a monotonic deque's pop loop mispredicts on about every other element).
inline void rolling_max_drawdown(const double* pv, int64_t n, int64_t window, double* out) {
    if (n <= 0 || window < 1) return;
    constexpr double inf = std::numeric_limits<double>::infinity();
    const int64_t w = std::min(window, n);
    // Observations as themselves, everything else as the identity of the extreme.
    auto for_max = [](double v) { return std::isfinite(v) ? v : -inf; };
    auto for_min = [](double v) { return std::isfinite(v) ? v : inf; };
    // Extremes of an earlier and a later operand; a tie goes to the later one.
    auto later_max = [](double earlier, double later) { return later >= earlier ? later : earlier; };
    auto later_min = [](double earlier, double later) { return later <= earlier ? later : earlier; };

    const size_t ws = static_cast<size_t>(w);
    std::vector<double> tail_max(ws), tail_min(ws);  // previous block: suffix extremes
    std::vector<double> dd(ws);                      // this block's daily drawdowns
    for (int64_t b = 0; b < n; b += w) {
        const int64_t len = std::min(w, n - b);
        const bool has_prev = b > 0;
        double head_max = -inf, head_min = inf;
        for (int64_t j = 0; j < len; ++j) {
            const int64_t t = b + j;
            const bool joined = has_prev && j + 1 < w;
            head_max = later_max(head_max, for_max(pv[t]));
            double peak = joined ? later_max(tail_max[static_cast<size_t>(j + 1)], head_max) : head_max;
            if (peak == -inf) peak = kNaN;
            const double d = pv[t] / peak - 1.0;
            dd[static_cast<size_t>(j)] = d;
            head_min = later_min(head_min, for_min(d));
            const double low = joined ? later_min(tail_min[static_cast<size_t>(j + 1)], head_min) : head_min;
            out[t] = low == inf ? kNaN : low;
        }
        if (b + len < n) {  // a full block with a successor: its suffix extremes
            double sx = -inf, sd = inf;
            for (int64_t j = len - 1; j >= 0; --j) {
                sx = later_max(for_max(pv[b + j]), sx);
                sd = later_min(for_min(dd[static_cast<size_t>(j)]), sd);
                tail_max[static_cast<size_t>(j)] = sx;
                tail_min[static_cast<size_t>(j)] = sd;
            }
        }
    }
}

// ---------------------------------------------------------------- quantile

// numpy's "linear" quantile (the table library's default) of `values`, which hold no NaN
// and are reordered in place. Virtual index (n - 1) * q; the neighbours are found by
// partial sorting; interpolation as numpy's lerp: a + (b - a) * t, or b - (b - a) * (1 - t)
// when t >= 0.5. An index at or past the end takes the last value with t = index + 1, as
// numpy does. q must lie in [0, 1].
inline double quantile_linear(std::vector<double>& values, double q) {
    const int64_t n = static_cast<int64_t>(values.size());
    if (n == 0) return kNaN;
    const double virt = static_cast<double>(n - 1) * q;
    double prev_f = std::floor(virt);
    int64_t prev, next;
    if (virt >= static_cast<double>(n - 1)) {
        prev_f = -1.0;
        prev = next = n - 1;
    } else {
        prev = static_cast<int64_t>(prev_f);
        next = prev + 1;
    }
    const double t = virt - prev_f;
    auto nth = [&](int64_t k) {
        std::nth_element(values.begin(), values.begin() + k, values.end());
        return values[static_cast<size_t>(k)];
    };
    const double a = nth(prev);
    double b = a;
    if (next != prev) {
        // Everything after position prev is >= a; the next order statistic is their minimum.
        b = *std::min_element(values.begin() + prev + 1, values.end());
    }
    const double diff = b - a;
    if (t >= 0.5) return b - diff * (1.0 - t);
    return a + diff * t;
}

// ---------------------------------------------------------------- dates and times

inline int days_in_month(int64_t y, int64_t m) {
    static const int kDays[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    const bool leap = (y % 4 == 0 && y % 100 != 0) || y % 400 == 0;
    return (m == 2 && leap) ? 29 : kDays[m - 1];
}

// Reads up to `max_digits` ASCII digits at s[pos], advancing pos; true when there were at
// least `min_digits`.
inline bool read_digits(const char* s, size_t len, size_t& pos, int min_digits, int max_digits,
                        int64_t& value) {
    int k = 0;
    value = 0;
    while (pos < len && k < max_digits && s[pos] >= '0' && s[pos] <= '9') {
        value = value * 10 + (s[pos] - '0');
        ++pos;
        ++k;
    }
    return k >= min_digits;
}

// Seconds since the epoch of a valid "%Y-%m-%d %H:%M:%S" text in its plain form: a four
// digit year, the other fields of one or two ASCII digits, one space between date and time,
// every field in range. Returns false for anything else (the caller then lets the full
// parser decide, which also produces its error messages).
inline bool parse_datetime_seconds(const char* s, size_t len, int64_t& seconds) {
    size_t pos = 0;
    int64_t y, mo, d, h, mi, se;
    auto sep = [&](char c) {
        if (pos < len && s[pos] == c) {
            ++pos;
            return true;
        }
        return false;
    };
    if (!read_digits(s, len, pos, 4, 4, y) || !sep('-')) return false;
    if (!read_digits(s, len, pos, 1, 2, mo) || !sep('-')) return false;
    if (!read_digits(s, len, pos, 1, 2, d) || !sep(' ')) return false;
    if (!read_digits(s, len, pos, 1, 2, h) || !sep(':')) return false;
    if (!read_digits(s, len, pos, 1, 2, mi) || !sep(':')) return false;
    if (!read_digits(s, len, pos, 1, 2, se) || pos != len) return false;
    if (y < 1 || mo < 1 || mo > 12 || d < 1 || d > days_in_month(y, mo)) return false;
    if (h > 23 || mi > 59 || se > 59) return false;
    seconds = days_from_civil(y, mo, d) * 86400 + h * 3600 + mi * 60 + se;
    return true;
}

}  // namespace stats
}  // namespace kv
