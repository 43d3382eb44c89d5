// Exact rounding of a double to two decimal places, as Python's round(x, 2) does it: the
// exact binary value of x is rounded to the nearest multiple of 0.01, ties to even, and the
// result is the double nearest to that decimal.
#pragma once

#include <cfloat>
#include <charconv>
#include <cmath>
#include <system_error>

namespace kv {

// Print the exact value rounded to 2 decimals (to_chars is correctly rounded, ties to even),
// then read that decimal back (from_chars is correctly rounded). round2 below uses it for
// huge, infinite and NaN values; for the rest it is the reference round2 agrees with.
inline double round2_by_text(double x) {
    if (!std::isfinite(x)) return x;
    char buf[400];  // DBL_MAX needs 309 integer digits + sign + ".00"
    auto r = std::to_chars(buf, buf + sizeof buf, x, std::chars_format::fixed, 2);
    if (r.ec != std::errc()) return x;  // cannot happen with this buffer size
    double out = x;
    std::from_chars(buf, r.ptr, out, std::chars_format::fixed);
    return out;
}

// Fast path for the usual magnitudes, same results. With v = |x| * 100 held exactly as
// p + e (fma gives the rounding error e), the integer part k and the position of v against
// the midpoint k + 0.5 are decided exactly; k' / 100.0 is then the double nearest k' / 100,
// the same value that reading the decimal text back gives.
inline double round2(double x) {
#if defined(FLT_EVAL_METHOD) && FLT_EVAL_METHOD != 0
    // Intermediates kept wider than double (x87 code, e.g. 32-bit gcc without SSE2) break
    // the exact steps below; the text route is exact under any evaluation method.
    return round2_by_text(x);
#endif
    double ax = std::fabs(x);
    if (!(ax >= 1e-200 && ax < 1e13)) {
        if (ax < 1e-200) return std::copysign(0.0, x);  // far below 0.005: rounds to a signed 0
        return round2_by_text(x);                      // huge, inf or nan
    }
    double p = ax * 100.0;
    double e = std::fma(ax, 100.0, -p);  // |x| * 100 == p + e exactly
    double k = std::floor(p);
    if (p == k && e < 0) k -= 1.0;       // exact value lies just below the integer p
    // Near the midpoint p - (k + 0.5) is exact (the operands are within a factor of 2); far
    // from it the tiny e cannot change its sign. Either way d has the sign of v - (k + 0.5).
    double d = (p - (k + 0.5)) + e;
    double kk;
    if (d > 0)
        kk = k + 1.0;
    else if (d < 0)
        kk = k;
    else
        kk = (std::fmod(k, 2.0) == 0.0) ? k : k + 1.0;  // tie: to even
    return std::copysign(kk / 100.0, x);
}

}  // namespace kv
