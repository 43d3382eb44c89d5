// QMT bar records: time texts and decimal numbers, parsed without the interpreter.
//
// Time texts come in four fixed forms ("%Y%m%d%H%M%S", "%Y-%m-%d %H:%M:%S", "%Y%m%d",
// "%Y-%m-%d"). They are matched the way the interpreter's strptime matches them: each
// directive is a regular-expression alternation tried in order with backtracking, a blank
// in the format stands for one or more whitespace characters, the first match found wins
// and must then cover the whole text (no search for a longer match), and the fields must
// form a valid date and time. Only ASCII texts are handled here; callers hand anything
// else to the interpreter, whose \d and \s also take non-ASCII digits and blanks.
//
// Decimal numbers follow float() on text: surrounding blanks, an optional sign, digits
// with at most one point and an optional exponent, underscores only between digits, and
// "inf", "infinity", "nan" in any letter case. The parser only answers when it is sure;
// a text it declines may still be valid and is then converted by the interpreter.
#pragma once

#include <charconv>
#include <cstddef>
#include <limits>
#include <string_view>
#include <system_error>

#include "engine/ascii_text.hpp"

namespace kv {
namespace qmt {

// ---------------------------------------------------------------- character classes

inline bool is_digit(char c) { return c >= '0' && c <= '9'; }

// ---------------------------------------------------------------- time texts

struct BarTime {
    int year = 1900, month = 1, day = 1, hour = 0, minute = 0, second = 0;
};

enum TimeFormat : int {
    kFormatUnknown = -1,
    kCompactDateTime = 0,  // %Y%m%d%H%M%S
    kDashedDateTime = 1,   // %Y-%m-%d %H:%M:%S
    kCompactDate = 2,      // %Y%m%d
    kDashedDate = 3,       // %Y-%m-%d
};

// The format texts in the order the module tries them.
inline constexpr const char* kTimeFormatTexts[4] = {"%Y%m%d%H%M%S", "%Y-%m-%d %H:%M:%S",
                                                    "%Y%m%d", "%Y-%m-%d"};

inline TimeFormat time_format_of(std::string_view fmt) {
    for (int i = 0; i < 4; ++i)
        if (fmt == kTimeFormatTexts[i]) return static_cast<TimeFormat>(i);
    return kFormatUnknown;
}

namespace detail {

// One regex alternative: a fixed run of character ranges ("3[01]" is {'3','3'},{'0','1'}).
struct Range {
    char lo, hi;
};
struct Alt {
    int len;
    Range r[4];
};
struct Directive {
    const Alt* alts;
    int count;
};

constexpr Range D{'0', '9'};
// strptime's patterns, alternatives in their order.
constexpr Alt kYear[] = {{4, {D, D, D, D}}};
constexpr Alt kMonth[] = {{2, {{'1', '1'}, {'0', '2'}}}, {2, {{'0', '0'}, {'1', '9'}}},
                          {1, {{'1', '9'}}}};
constexpr Alt kDay[] = {{2, {{'3', '3'}, {'0', '1'}}}, {2, {{'1', '2'}, D}},
                        {2, {{'0', '0'}, {'1', '9'}}}, {1, {{'1', '9'}}},
                        {2, {{' ', ' '}, {'1', '9'}}}};
constexpr Alt kHour[] = {{2, {{'2', '2'}, {'0', '3'}}}, {2, {{'0', '1'}, D}}, {1, {D}}};
constexpr Alt kMinute[] = {{2, {{'0', '5'}, D}}, {1, {D}}};
constexpr Alt kSecond[] = {{2, {{'6', '6'}, {'0', '1'}}}, {2, {{'0', '5'}, D}}, {1, {D}}};

// Format programs: a letter is a directive, ' ' one or more blanks, anything else itself.
constexpr const char* kPrograms[4] = {"YmdHMS", "Y-m-d H:M:S", "Ymd", "Y-m-d"};

inline bool directive_of(char c, Directive& d, int& slot) {
    switch (c) {
        case 'Y': d = {kYear, 1}; slot = 0; return true;
        case 'm': d = {kMonth, 3}; slot = 1; return true;
        case 'd': d = {kDay, 5}; slot = 2; return true;
        case 'H': d = {kHour, 3}; slot = 3; return true;
        case 'M': d = {kMinute, 2}; slot = 4; return true;
        case 'S': d = {kSecond, 3}; slot = 5; return true;
        default: return false;
    }
}

inline bool alt_matches(const Alt& a, std::string_view s, std::size_t pos, int& value) {
    if (pos + static_cast<std::size_t>(a.len) > s.size()) return false;
    int v = 0;
    for (int i = 0; i < a.len; ++i) {
        char c = s[pos + static_cast<std::size_t>(i)];
        if (c < a.r[i].lo || c > a.r[i].hi) return false;
        if (c != ' ') v = v * 10 + (c - '0');
    }
    value = v;
    return true;
}

// First match of the program from `pos` in backtracking order; `end` is where it stops.
inline bool match(const char* prog, std::string_view s, std::size_t pos, int* fields,
                  std::size_t& end) {
    char c = *prog;
    if (c == '\0') {
        end = pos;
        return true;
    }
    Directive d{};
    int slot = 0;
    if (directive_of(c, d, slot)) {
        for (int i = 0; i < d.count; ++i) {
            int v = 0;
            if (!alt_matches(d.alts[i], s, pos, v)) continue;
            fields[slot] = v;
            if (match(prog + 1, s, pos + static_cast<std::size_t>(d.alts[i].len), fields, end))
                return true;
        }
        return false;
    }
    if (c == ' ') {  // \s+ : greedy, giving back one blank at a time
        std::size_t run = 0;
        while (pos + run < s.size() && is_py_space(s[pos + run])) ++run;
        for (; run >= 1; --run)
            if (match(prog + 1, s, pos + run, fields, end)) return true;
        return false;
    }
    if (pos < s.size() && s[pos] == c) return match(prog + 1, s, pos + 1, fields, end);
    return false;
}

}  // namespace detail

inline bool is_leap_year(int y) { return (y % 4 == 0 && y % 100 != 0) || y % 400 == 0; }

inline int days_in_month(int y, int m) {
    static constexpr int kDays[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    return (m == 2 && is_leap_year(y)) ? 29 : kDays[m - 1];
}

// Parse an ASCII `text` with one of the four formats; false when strptime would fail
// (no match, text left over, or a date or time out of range).
inline bool parse_bar_time(std::string_view text, TimeFormat fmt, BarTime& out) {
    if (fmt == kFormatUnknown) return false;
    int f[6] = {1900, 1, 1, 0, 0, 0};
    std::size_t end = 0;
    if (!detail::match(detail::kPrograms[fmt], text, 0, f, end) || end != text.size())
        return false;
    // Month, hour and minute ranges are enforced by the patterns; seconds 60 and 61 match
    // the pattern but make no valid time.
    if (f[0] < 1 || f[2] > days_in_month(f[0], f[1]) || f[5] > 59) return false;
    out = BarTime{f[0], f[1], f[2], f[3], f[4], f[5]};
    return true;
}

// ---------------------------------------------------------------- decimal numbers

namespace detail {
// Whitespace float() strips from an ASCII text (it does not include 0x1C..0x1F).
inline bool is_c_space(char c) { return c == ' ' || (c >= '\t' && c <= '\r'); }

inline bool iequals(std::string_view a, const char* lower) {
    std::size_t i = 0;
    for (; i < a.size(); ++i) {
        char c = a[i];
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
        if (lower[i] == '\0' || c != lower[i]) return false;
    }
    return lower[i] == '\0';
}
}  // namespace detail

// float(text) for an ASCII text. Returns true with the value when the text is certainly a
// valid number and its value is known; false otherwise (invalid, or out of double range:
// the caller then asks the interpreter, which raises or gives inf / 0.0).
inline bool parse_decimal(std::string_view text, double& out) {
    std::size_t b = 0, e = text.size();
    while (b < e && detail::is_c_space(text[b])) ++b;
    while (e > b && detail::is_c_space(text[e - 1])) --e;
    std::string_view s = text.substr(b, e - b);
    if (s.empty()) return false;

    // Underscores: allowed only between two digits; removed before conversion.
    char buf[128];
    if (s.find('_') != std::string_view::npos) {
        if (s.size() > sizeof buf) return false;
        std::size_t n = 0;
        char prev = '\0';
        for (char c : s) {
            if (c == '_') {
                if (!is_digit(prev)) return false;
            } else {
                if (prev == '_' && !is_digit(c)) return false;
                buf[n++] = c;
            }
            prev = c;
        }
        if (prev == '_') return false;
        s = std::string_view(buf, n);
    }

    bool negative = false;
    std::string_view body = s;
    if (!body.empty() && (body[0] == '+' || body[0] == '-')) {
        negative = body[0] == '-';
        body.remove_prefix(1);
    }
    if (body.empty()) return false;
    if (!is_digit(body[0]) && body[0] != '.') {
        if (detail::iequals(body, "inf") || detail::iequals(body, "infinity")) {
            out = negative ? -std::numeric_limits<double>::infinity()
                           : std::numeric_limits<double>::infinity();
            return true;
        }
        if (detail::iequals(body, "nan")) {
            out = negative ? -std::numeric_limits<double>::quiet_NaN()
                           : std::numeric_limits<double>::quiet_NaN();
            return true;
        }
        return false;
    }

    // digits [. digits] [(e|E) [sign] digits], at least one mantissa digit.
    std::size_t i = 0, mant_digits = 0;
    while (i < body.size() && is_digit(body[i])) ++i, ++mant_digits;
    if (i < body.size() && body[i] == '.') {
        ++i;
        while (i < body.size() && is_digit(body[i])) ++i, ++mant_digits;
    }
    if (mant_digits == 0) return false;
    if (i < body.size() && (body[i] == 'e' || body[i] == 'E')) {
        ++i;
        if (i < body.size() && (body[i] == '+' || body[i] == '-')) ++i;
        std::size_t exp_digits = 0;
        while (i < body.size() && is_digit(body[i])) ++i, ++exp_digits;
        if (exp_digits == 0) return false;
    }
    if (i != body.size()) return false;

    double v = 0.0;
    const char* first = body.data();
    const char* last = body.data() + body.size();
    auto res = std::from_chars(first, last, v, std::chars_format::general);
    if (res.ec != std::errc() || res.ptr != last) return false;
    out = negative ? -v : v;
    return true;
}

// ---------------------------------------------------------------- bar record keys

// Candidate keys of a bar record, all fields together, so one pass over a record's keys
// finds every field. Time candidates first, then the prices and the volume.
enum BarKey : int {
    kTime, kDatetime, kIndex, kBarTime, kStime,
    kOpen, kOpenPrice, kHigh, kHighPrice, kLow, kLowPrice,
    kClose, kClosePrice, kLast, kVolume, kVol,
    kBarKeyCount
};
inline constexpr int kTimeKeyCount = 5;
inline constexpr const char* kBarKeyTexts[kBarKeyCount] = {
    "time", "datetime", "index", "bar_time", "stime",
    "open", "open_price", "high", "high_price", "low", "low_price",
    "close", "close_price", "last", "volume", "vol"};
inline constexpr std::size_t kLongestBarKey = 11;  // "close_price"

// Number fields of Bar with their candidate keys (ends at -1).
struct NumberField {
    const char* name;
    int keys[4];
};
inline constexpr NumberField kNumberFields[5] = {
    {"open", {kOpen, kOpenPrice, -1, -1}},
    {"high", {kHigh, kHighPrice, -1, -1}},
    {"low", {kLow, kLowPrice, -1, -1}},
    {"close", {kClose, kClosePrice, kLast, -1}},
    {"volume", {kVolume, kVol, -1, -1}},
};

// The candidate equal to an already lower-cased key, or -1.
inline int bar_key_index(std::string_view lowered) {
    if (lowered.size() > kLongestBarKey || lowered.size() < 3) return -1;
    for (int i = 0; i < kBarKeyCount; ++i)
        if (lowered == kBarKeyTexts[i]) return i;
    return -1;
}

// ASCII lower-casing into `out` (which must hold s.size() bytes); returns whether any
// letter changed.
inline bool ascii_lower(std::string_view s, char* out) {
    bool changed = false;
    for (std::size_t i = 0; i < s.size(); ++i) {
        char c = s[i];
        if (c >= 'A' && c <= 'Z') {
            c = static_cast<char>(c - 'A' + 'a');
            changed = true;
        }
        out[i] = c;
    }
    return changed;
}

}  // namespace qmt
}  // namespace kv
