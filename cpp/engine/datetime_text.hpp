// Date-time texts in the dashed form "YYYY-MM-DD HH:MM:SS", optionally followed by a
// fraction ".f" of one to six digits (strptime's "%Y-%m-%d %H:%M:%S" and
// "%Y-%m-%d %H:%M:%S.%f" with zero-padded fields). Pure C++ (no Python.h).
#pragma once

#include <string_view>

namespace kv {
namespace dt {

struct DateTimeParts {
    int year = 1900, month = 1, day = 1, hour = 0, minute = 0, second = 0, microsecond = 0;
};

// Which of the two shapes a text has.
enum DashedShape : int { kDashedSeconds = 0, kDashedFraction = 1, kDashedShapes = 2 };

namespace detail {
inline bool digits(std::string_view s, std::size_t pos, std::size_t n, int& out) {
    if (pos + n > s.size()) return false;
    int v = 0;
    for (std::size_t i = pos; i < pos + n; ++i) {
        char c = s[i];
        if (c < '0' || c > '9') return false;
        v = v * 10 + (c - '0');
    }
    out = v;
    return true;
}

inline bool leap(int y) { return (y % 4 == 0 && y % 100 != 0) || y % 400 == 0; }

inline int month_days(int y, int m) {
    static constexpr int kDays[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    return (m == 2 && leap(y)) ? 29 : kDays[m - 1];
}
}  // namespace detail

// Parses `s` when it has one of the two shapes and names a valid date and time; false
// otherwise (the caller then leaves the text to the host's own parser).
inline bool parse_dashed(std::string_view s, DateTimeParts& out, int& shape) {
    DateTimeParts p;
    if (s.size() < 19 || s[4] != '-' || s[7] != '-' || s[10] != ' ' || s[13] != ':' ||
        s[16] != ':')
        return false;
    if (!detail::digits(s, 0, 4, p.year) || !detail::digits(s, 5, 2, p.month) ||
        !detail::digits(s, 8, 2, p.day) || !detail::digits(s, 11, 2, p.hour) ||
        !detail::digits(s, 14, 2, p.minute) || !detail::digits(s, 17, 2, p.second))
        return false;
    if (s.size() == 19) {
        shape = kDashedSeconds;
    } else {
        std::size_t n = s.size() - 20;
        if (s[19] != '.' || n < 1 || n > 6 || !detail::digits(s, 20, n, p.microsecond))
            return false;
        for (std::size_t i = n; i < 6; ++i) p.microsecond *= 10;
        shape = kDashedFraction;
    }
    if (p.year < 1 || p.month < 1 || p.month > 12 || p.day < 1 ||
        p.day > detail::month_days(p.year, p.month) || p.hour > 23 || p.minute > 59 ||
        p.second > 59)
        return false;
    out = p;
    return true;
}

}  // namespace dt
}  // namespace kv
