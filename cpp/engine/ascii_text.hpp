// Whitespace of ASCII text as the interpreter's str methods see it.
#pragma once

#include <cstddef>
#include <string_view>

namespace kv {

// The ASCII characters str.isspace() accepts and str.strip() removes (strptime's \s matches
// the same set): \t \n \v \f \r, the information separators \x1c-\x1f, and the blank.
inline bool is_py_space(char c) {
    return c == ' ' || (c >= '\t' && c <= '\r') || (c >= '\x1c' && c <= '\x1f');
}

// str.strip() on an ASCII text.
inline std::string_view strip_py_space(std::string_view s) {
    std::size_t b = 0, e = s.size();
    while (b < e && is_py_space(s[b])) ++b;
    while (e > b && is_py_space(s[e - 1])) --e;
    return s.substr(b, e - b);
}

}  // namespace kv
