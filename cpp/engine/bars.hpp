// Bar aggregation engine: frequency-text parsing, clock-aligned minute buckets, run splitting
// over int64 timestamps and per-run column reductions. Pure C++ (no Python.h): the binding
// module gathers the inputs into plain buffers and turns the results back into objects.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <vector>

#include "engine/ascii_text.hpp"
#include "engine/numeric.hpp"

namespace kv {
namespace bars {

// ---------------------------------------------------------------- integer helpers

// Floor division and modulo with Python's sign rules (the divisor must not be 0).
inline int64_t floor_div(int64_t a, int64_t b) {
    int64_t q = a / b;
    if ((a % b != 0) && ((a < 0) != (b < 0))) --q;
    return q;
}
inline int64_t floor_mod(int64_t a, int64_t b) {
    int64_t r = a % b;  // no intermediate product: safe near the ends of the range
    if (r != 0 && ((r < 0) != (b < 0))) r += b;
    return r;
}

// a - b, saturated to the int64 range instead of overflowing.
inline int64_t sat_sub(int64_t a, int64_t b) {
    if (b < 0 && a > std::numeric_limits<int64_t>::max() + b) return std::numeric_limits<int64_t>::max();
    if (b > 0 && a < std::numeric_limits<int64_t>::min() + b) return std::numeric_limits<int64_t>::min();
    return a - b;
}

// ---------------------------------------------------------------- frequency text

struct FreqText {
    bool matched = false;
    bool day = false;           // unit word begins with d (day, d, days)
    std::size_t digits_begin = 0, digits_end = 0;
    bool small = false;         // count fits `count` (at most 18 significant digits)
    uint64_t count = 0;
};

// Matches an ASCII text against ^\s*(\d+)\s*(min|m|mins|minutes|day|d|days)\s*$ (any case).
inline FreqText parse_freq_ascii(const char* s, std::size_t n) {
    FreqText r;
    std::size_t i = 0;
    while (i < n && is_py_space(s[i])) ++i;
    const std::size_t d0 = i;
    while (i < n && s[i] >= '0' && s[i] <= '9') ++i;
    if (i == d0) return r;
    const std::size_t d1 = i;
    while (i < n && is_py_space(s[i])) ++i;
    std::size_t e = n;
    while (e > i && is_py_space(s[e - 1])) --e;
    const std::size_t len = e - i;
    if (len == 0 || len > 7) return r;
    char w[8] = {0};
    for (std::size_t k = 0; k < len; ++k) {
        char c = s[i + k];
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
        w[k] = c;
    }
    static const char* const words[] = {"min", "m", "mins", "minutes", "day", "d", "days"};
    bool ok = false;
    for (const char* word : words) {
        std::size_t k = 0;
        while (word[k] && word[k] == w[k]) ++k;
        if (!word[k] && k == len) { ok = true; break; }
    }
    if (!ok) return r;
    r.matched = true;
    r.day = w[0] == 'd';
    r.digits_begin = d0;
    r.digits_end = d1;
    std::size_t z = d0;
    while (z < d1 && s[z] == '0') ++z;
    if (d1 - z <= 18) {
        r.small = true;
        for (std::size_t k = z; k < d1; ++k) r.count = r.count * 10 + static_cast<uint64_t>(s[k] - '0');
    }
    return r;
}

// ---------------------------------------------------------------- buckets and runs

// Bucket size used for minute arithmetic: any size of a day or more puts every minute of a
// day into the bucket that starts at midnight, so sizes are capped at 1440.
inline int64_t grid_size(int64_t n_min) { return n_min > 1440 ? 1440 : n_min; }

// Floors a minute-of-day to the bucket grid (n >= 1).
inline int64_t floor_minute_of_day(int64_t minute_of_day, int64_t n) { return (minute_of_day / n) * n; }

// Key of the clock-aligned bucket holding a time given as an instant `utc` and as wall-clock
// ticks `wall` (the same for naive times): the instant at which the bucket starts on the wall
// clock, i.e. utc minus the time's distance into its bucket (less than a day). Wrapping
// arithmetic: a bucket that starts before the earliest representable instant still gets a key
// of its own, without signed overflow.
inline int64_t bucket_start_key(int64_t utc, int64_t wall, int64_t minute_ticks, int64_t grid) {
    const int64_t minute_of_day = floor_mod(floor_div(wall, minute_ticks), 1440);
    const int64_t into = floor_mod(wall, minute_ticks) +
                         (minute_of_day - floor_minute_of_day(minute_of_day, grid)) * minute_ticks;
    return static_cast<int64_t>(static_cast<uint64_t>(utc) - static_cast<uint64_t>(into));
}

// The gap rule between neighbours: split when (later - earlier) > limit.
struct GapLimit {
    enum Kind { Finite, Never, Always } kind = Finite;
    int64_t limit = 0;  // in the timestamps' ticks; gap > limit splits
    bool splits(int64_t gap) const {
        return kind == Always || (kind == Finite && gap > limit);
    }
};

// A gap limit of `minutes` minutes in ticks of `minute_ticks` per minute. For an integer gap
// g, g > L exactly when g > floor(L). NaN and +inf never split, -inf always does.
inline GapLimit gap_limit_from_minutes(double minutes, double minute_ticks) {
    GapLimit g;
    if (std::isnan(minutes)) { g.kind = GapLimit::Never; return g; }
    const double l = std::floor(minutes * minute_ticks);
    if (l >= 9.2e18) g.kind = GapLimit::Never;
    else if (l <= -9.2e18) g.kind = GapLimit::Always;
    else g.limit = static_cast<int64_t>(l);
    return g;
}

// Stable order of rows by time; `invalid` rows (missing times) go last in input order.
// Returns false (leaving `order` as the identity) when the rows are already in order.
inline bool stable_time_order(const int64_t* t, const uint8_t* invalid, int64_t n, int64_t* order) {
    bool sorted = true;
    bool seen_invalid = false;
    for (int64_t i = 0; i < n; ++i) {
        order[i] = i;
        const bool bad = invalid && invalid[i];
        if (bad) { seen_invalid = true; continue; }
        if (seen_invalid || (i > 0 && t[i] < t[i - 1])) sorted = false;
    }
    if (sorted) return false;
    std::stable_sort(order, order + n, [&](int64_t a, int64_t b) {
        const bool ia = invalid && invalid[a], ib = invalid && invalid[b];
        if (ia || ib) return !ia && ib;
        return t[a] < t[b];
    });
    return true;
}

// Splits rows (visited in `order`) into runs: a new run starts where the key changes or the
// time gap to the previous row exceeds the limit. Invalid rows never share a run. `starts`
// receives the position (in `order`) of every run's first row, plus n at the end.
inline void split_runs(const int64_t* t, const int64_t* key, const uint8_t* invalid, const int64_t* order,
                       int64_t n, const GapLimit& gap, std::vector<int64_t>& starts) {
    starts.clear();
    if (n <= 0) return;
    starts.push_back(0);
    for (int64_t p = 1; p < n; ++p) {
        const int64_t a = order[p - 1], b = order[p];
        bool split;
        if (invalid && (invalid[a] || invalid[b])) split = true;
        else split = gap.splits(sat_sub(t[b], t[a])) || key[b] != key[a];
        if (split) starts.push_back(p);
    }
    starts.push_back(n);
}

// ---------------------------------------------------------------- reductions

// Python's sum() of floats that starts from the integer 0: left to right, or (Python 3.12+)
// with Neumaier compensation. Returns false when the compensation is not finite, where the
// interpreter's own handling must decide.
inline bool python_float_sum(const double* v, std::size_t n, bool compensated, double& out) {
    double f = 0.0;
    if (n == 0) { out = f; return true; }
    f = 0.0 + v[0];
    if (!compensated) {
        for (std::size_t i = 1; i < n; ++i) f += v[i];
        out = f;
        return true;
    }
    double c = 0.0;
    for (std::size_t i = 1; i < n; ++i) {
        const double x = v[i];
        const double t = f + x;
        if (std::fabs(f) >= std::fabs(x)) c += (f - t) + x;
        else c += (x - t) + f;
        f = t;
    }
    if (!std::isfinite(c)) return false;
    if (c != 0.0) f += c;
    out = f;
    return true;
}

// Python's sum() of ints in int64; false on overflow.
inline bool int_sum_checked(const int64_t* v, std::size_t n, int64_t& out) {
    int64_t s = 0;
    for (std::size_t i = 0; i < n; ++i) {
        const int64_t x = v[i];
        if ((x > 0 && s > std::numeric_limits<int64_t>::max() - x) ||
            (x < 0 && s < std::numeric_limits<int64_t>::min() - x))
            return false;
        s += x;
    }
    out = s;
    return true;
}

// Per-run reductions over one float64 column. Rows of run r are order[starts[r] .. starts[r+1]).
// Missing cells (NaN) are skipped: max/min of an all-missing run is NaN, its sum 0.
enum class Reduce { Max, Min, Sum };

inline void reduce_f64(const double* col, const int64_t* order, const std::vector<int64_t>& starts,
                       const std::vector<int64_t>& kept, Reduce op, double* out) {
    const double nan = std::numeric_limits<double>::quiet_NaN();
    for (std::size_t k = 0; k < kept.size(); ++k) {
        const int64_t r = kept[k];
        const int64_t b = starts[r], e = starts[r + 1];
        if (op == Reduce::Sum) {
            // The run's cells in run order, a missing one as 0 (the table library's float sum).
            const int64_t* rows = order + b;
            auto cell = [col, rows](int64_t i) {
                const double x = col[rows[i]];
                return std::isnan(x) ? 0.0 : x;
            };
            out[k] = 0.0 + pairwise_sum(cell, 0, e - b);
            continue;
        }
        double best = nan;
        for (int64_t p = b; p < e; ++p) {
            const double x = col[order[p]];
            if (std::isnan(x)) continue;
            if (std::isnan(best) || (op == Reduce::Max ? x > best : x < best)) best = x;
        }
        out[k] = best;
    }
}

// The same over an int64 column (no missing cells); sums wrap around like the table library's.
inline void reduce_i64(const int64_t* col, const int64_t* order, const std::vector<int64_t>& starts,
                       const std::vector<int64_t>& kept, Reduce op, int64_t* out) {
    for (std::size_t k = 0; k < kept.size(); ++k) {
        const int64_t r = kept[k];
        const int64_t b = starts[r], e = starts[r + 1];
        if (op == Reduce::Sum) {
            uint64_t s = 0;
            for (int64_t p = b; p < e; ++p) s += static_cast<uint64_t>(col[order[p]]);
            out[k] = static_cast<int64_t>(s);
            continue;
        }
        int64_t best = col[order[b]];
        for (int64_t p = b + 1; p < e; ++p) {
            const int64_t x = col[order[p]];
            if (op == Reduce::Max ? x > best : x < best) best = x;
        }
        out[k] = best;
    }
}

}  // namespace bars
}  // namespace kv
