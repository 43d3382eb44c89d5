// Checks of the pure C++ engine that depend on the width of integers and on floating-point
// evaluation: built and run as a 32-bit program by `make m32` (long and pointers of 4 bytes,
// as on the deployment host), and usable as a 64-bit program as well.
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <limits>
#include <string_view>

#include "engine/ascii_text.hpp"
#include "engine/bars.hpp"
#include "engine/fees.hpp"
#include "engine/numeric.hpp"
#include "engine/qmt_bars.hpp"
#include "engine/qmt_codes.hpp"
#include "engine/round2.hpp"
#include "engine/stats.hpp"

static int failures = 0;

#define CHECK(cond)                                                   \
    do {                                                              \
        if (!(cond)) {                                                \
            std::printf("%s:%d: check failed: %s\n", __FILE__, __LINE__, #cond); \
            ++failures;                                               \
        }                                                             \
    } while (0)

int main() {
    using kv::round2;
    const int64_t max = std::numeric_limits<int64_t>::max(), min = std::numeric_limits<int64_t>::min();

    // Python's round(x, 2): the exact double value decides, ties go to even.
    CHECK(round2(2.675) == 2.67);  // 2.67499999999999982236431605997495353221893310546875
    CHECK(round2(0.125) == 0.12);  // an exact tie
    CHECK(round2(0.375) == 0.38);
    CHECK(round2(1.005) == 1.0);
    CHECK(round2(-0.125) == -0.12);
    CHECK(round2(34.265) == 34.27);
    CHECK(round2(1e300) == 1e300);
    CHECK(std::isnan(round2(std::nan(""))));
    CHECK(std::signbit(round2(-1e-300)));
    CHECK(round2(0.1 + 0.2) == 0.3);
    CHECK(round2(123456789.125) == 123456789.12);

    // 64-bit arithmetic stays 64-bit on a 32-bit target.
    CHECK(kv::bars::floor_div(-7, 2) == -4 && kv::bars::floor_mod(-7, 2) == 1);
    CHECK(kv::bars::floor_div(min, 1440) == -6405119470038039LL);
    CHECK(kv::bars::floor_mod(min, 1440) == 352);
    CHECK(kv::bars::sat_sub(min, 1) == min && kv::bars::sat_sub(max, -1) == max && kv::bars::sat_sub(5, 7) == -2);
    CHECK(kv::days_from_civil(1970, 1, 1) == 0);
    CHECK(kv::days_from_civil(2000, 3, 1) == 11017);
    CHECK(kv::days_from_civil(1, 1, 1) == -719162);
    CHECK(kv::days_from_civil(9999, 12, 31) == 2932896);

    // Frequency texts: a count too long for 64 bits is flagged, not wrapped.
    const char* big = "99999999999999999999min";
    kv::bars::FreqText f = kv::bars::parse_freq_ascii(big, std::strlen(big));
    CHECK(f.matched && !f.small);
    const char* five = " 005 Minutes ";
    f = kv::bars::parse_freq_ascii(five, std::strlen(five));
    CHECK(f.matched && f.small && f.count == 5 && !f.day);
    const char* h = "5h";
    CHECK(!kv::bars::parse_freq_ascii(h, 2).matched);

    // Sums with the interpreter's results, and overflow seen rather than wrapped.
    int64_t s = 0;
    const int64_t over[2] = {max, 1};
    CHECK(!kv::bars::int_sum_checked(over, 2, s));
    const int64_t fine[3] = {max - 2, 1, 1};
    CHECK(kv::bars::int_sum_checked(fine, 3, s) && s == max);
    const double v[4] = {1e16, 1.0, -1e16, 1.0};
    double out = 0;
    CHECK(kv::bars::python_float_sum(v, 4, false, out));

    // Bar times with strptime's rules.
    kv::qmt::BarTime t;
    CHECK(kv::qmt::parse_bar_time("20240229235959", kv::qmt::kCompactDateTime, t) && t.day == 29 && t.second == 59);
    CHECK(!kv::qmt::parse_bar_time("20230229", kv::qmt::kCompactDate, t));
    CHECK(kv::qmt::parse_bar_time("2024-1-2", kv::qmt::kDashedDate, t) && t.month == 1 && t.day == 2);

    if (failures) {
        std::printf("%d engine check(s) failed (%u-bit build)\n", failures, unsigned(sizeof(void*) * 8));
        return 1;
    }
    std::printf("engine checks passed (%u-bit build, long of %u bytes)\n", unsigned(sizeof(void*) * 8),
                unsigned(sizeof(long)));
    return 0;
}
