// Conversion between framework security codes (market first: "SH.600000") and QMT codes
// (market last: "600000.SH").
//
// The functions work on a normalised code (surrounding whitespace stripped, upper-cased),
// given as ASCII or UTF-8 bytes: only the ASCII '.' and the ASCII market tags are looked at,
// so multi-byte characters pass through untouched.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

#include "engine/ascii_text.hpp"

namespace kv {
namespace qmt {

enum class Market { None, SH, SZ };

// Canonical market of a tag: "SH", "SS", "SSE" are Shanghai; "SZ", "SZSE" are Shenzhen.
inline Market market_of_tag(std::string_view tag) {
    if (tag == "SH" || tag == "SS" || tag == "SSE") return Market::SH;
    if (tag == "SZ" || tag == "SZSE") return Market::SZ;
    return Market::None;
}

inline const char* tag_text(Market m) { return m == Market::SZ ? "SZ" : "SH"; }

// ---------------------------------------------------------------- ASCII normalisation

inline bool has_ascii_lower(std::string_view s) {
    for (char c : s)
        if (c >= 'a' && c <= 'z') return true;
    return false;
}

inline void upper_ascii(std::string_view s, std::string& out) {
    out.assign(s.data(), s.size());
    for (char& c : out)
        if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
}

// Normalised form of an ASCII code: a view into `s` when nothing needs upper-casing,
// otherwise into `buf`.
inline std::string_view normalise_ascii(std::string_view s, std::string& buf) {
    std::string_view t = strip_py_space(s);
    if (!has_ascii_lower(t)) return t;
    upper_ascii(t, buf);
    return buf;
}

// ---------------------------------------------------------------- conversions

// A converted code: the instrument number and the canonical market, or Market::None when
// the normalised code passes through unchanged.
struct Converted {
    std::string_view number;
    Market market = Market::None;
};

namespace detail {
inline bool split_first_dot(std::string_view raw, std::string_view& left, std::string_view& right) {
    std::size_t dot = raw.find('.');
    if (dot == std::string_view::npos) return false;
    left = raw.substr(0, dot);
    right = raw.substr(dot + 1);
    return true;
}
}  // namespace detail

// To QMT form: the market read as a prefix first, then as a suffix.
inline Converted to_qmt(std::string_view raw) {
    std::string_view left, right;
    if (raw.empty() || !detail::split_first_dot(raw, left, right)) return {};
    Market m = market_of_tag(left);
    if (m != Market::None) return {right, m};
    m = market_of_tag(right);
    if (m != Market::None) return {left, m};
    return {};
}

// To framework form: the market read as a suffix first, then as a prefix.
inline Converted from_qmt(std::string_view raw) {
    std::string_view left, right;
    if (raw.empty() || !detail::split_first_dot(raw, left, right)) return {};
    Market m = market_of_tag(right);
    if (m != Market::None) return {left, m};
    m = market_of_tag(left);
    if (m != Market::None) return {right, m};
    return {};
}

// The text of a conversion: "<number>.<tag>" (QMT form) or "<tag>.<number>" (framework
// form), or the normalised code itself.
inline void format_qmt(const Converted& c, std::string_view raw, std::string& out) {
    if (c.market == Market::None) {
        out.assign(raw.data(), raw.size());
        return;
    }
    out.assign(c.number.data(), c.number.size());
    out += '.';
    out += tag_text(c.market);
}

inline void format_framework(const Converted& c, std::string_view raw, std::string& out) {
    if (c.market == Market::None) {
        out.assign(raw.data(), raw.size());
        return;
    }
    out.assign(tag_text(c.market));
    out += '.';
    out.append(c.number.data(), c.number.size());
}

inline bool ends_with(std::string_view s, std::string_view tail) {
    return s.size() >= tail.size() && s.substr(s.size() - tail.size()) == tail;
}

// Whether a normalised code belongs to Shenzhen: its QMT form ends with ".SZ". Everything
// else, codes without a recognised market included, is Shanghai.
inline bool is_shenzhen(std::string_view raw) {
    Converted c = to_qmt(raw);
    if (c.market != Market::None) return c.market == Market::SZ;
    return ends_with(raw, ".SZ");
}

}  // namespace qmt
}  // namespace kv
