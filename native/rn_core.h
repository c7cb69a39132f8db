// Pure C++ helpers shared by the extension modules; no Python here, so they
// can be unit-tested on their own.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace rn {

// Python's floor modulo for integers: the result takes the sign of `m`.
// `m` must not be 0.
inline int64_t floor_mod(int64_t a, int64_t m) {
    int64_t r = a % m;
    if (r != 0 && ((r < 0) != (m < 0))) r += m;
    return r;
}

// "'a'", "'a' and 'b'", "'a', 'b', and 'c'": the list CPython prints for
// missing arguments.
inline std::string join_quoted_names(const std::vector<std::string>& names) {
    std::string out;
    const size_t n = names.size();
    for (size_t i = 0; i < n; ++i) {
        if (i > 0) {
            if (n == 2) out += " and ";
            else if (i == n - 1) out += ", and ";
            else out += ", ";
        }
        out += '\'';
        out += names[i];
        out += '\'';
    }
    return out;
}

// "a, b": the list CPython prints (inside one pair of quotes) for
// positional-only parameters passed by keyword.
inline std::string join_names(const std::vector<std::string>& names) {
    std::string out;
    for (size_t i = 0; i < names.size(); ++i) {
        if (i) out += ", ";
        out += names[i];
    }
    return out;
}

}  // namespace rn
