// Building blocks shared by the engine headers: float sums in numpy's pairwise order and
// civil-date arithmetic. Pure C++ (no Python.h).
#pragma once

#include <cstdint>

namespace kv {

// Sum of get(i) for i in [lo, lo + n), in the order of numpy's pairwise summation for
// float64 (which the table library's column sums share): blocks of at most 128 terms summed
// with 8 interleaved accumulators, larger ranges split in two at a multiple of 8. `get` is
// inlined, so the loop over the 8 accumulators vectorises without reordering any addition.
// Callers add the result to 0.0, as numpy's reduction does, so an all -0.0 input gives 0.0.
template <class Get>
double pairwise_sum(const Get& get, int64_t lo, int64_t n) {
    if (n < 8) {
        double res = 0.0;
        for (int64_t i = 0; i < n; ++i) res += get(lo + i);
        return res;
    }
    if (n <= 128) {
        double r[8];
        for (int j = 0; j < 8; ++j) r[j] = get(lo + j);
        int64_t i = 8;
        const int64_t stop = n - (n % 8);
        for (; i < stop; i += 8)
            for (int j = 0; j < 8; ++j) r[j] += get(lo + i + j);
        double res = ((r[0] + r[1]) + (r[2] + r[3])) + ((r[4] + r[5]) + (r[6] + r[7]));
        for (; i < n; ++i) res += get(lo + i);
        return res;
    }
    int64_t n2 = n / 2;
    n2 -= n2 % 8;
    return pairwise_sum(get, lo, n2) + pairwise_sum(get, lo + n2, n - n2);
}

// Days since 1970-01-01 of a proleptic Gregorian date (any year, also before 1 and after 9999).
inline int64_t days_from_civil(int64_t y, int64_t m, int64_t d) {
    y -= m <= 2;
    const int64_t era = (y >= 0 ? y : y - 399) / 400;  // floor(y / 400)
    const int64_t yoe = y - era * 400;
    const int64_t doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
    const int64_t doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + doe - 719468;
}

}  // namespace kv
