// Python-free pixel loops of ravu.cv.image: the statistics and the output
// pass of standardisation, and the grey margins of a letterbox canvas.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <type_traits>

namespace ravu_image {

// Mean and population standard deviation of n values, exact up to the
// final rounding: integer sums for integer elements (whose float32 values
// are the integers themselves), blockwise double sums for floats.
struct Moments {
    double mean = 0, std = 0;
};

template <typename T>
Moments moments(const T* p, size_t n) {
    Moments m;
    if (n == 0) return m;
    if constexpr (std::is_integral_v<T>) {
        static_assert(sizeof(T) <= 2, "integer sums sized for 8- and 16-bit elements");
        // Blocks short enough that neither 64-bit partial sum can overflow.
        constexpr size_t kBlock = 1 << 16;
        __int128 sum = 0, sq = 0;
        for (size_t start = 0; start < n; start += kBlock) {
            const size_t end = std::min(n, start + kBlock);
            int64_t s = 0;
            uint64_t q = 0;
            for (size_t i = start; i < end; ++i) {
                const int64_t v = p[i];
                s += v;
                q += static_cast<uint64_t>(v * v);
            }
            sum += s;
            sq += q;
        }
        const __int128 count = static_cast<__int128>(n);
        // N * sum(x^2) - sum(x)^2 is N^2 times the variance, exactly.
        const __int128 num = count * sq - sum * sum;
        const double nn = static_cast<double>(n);
        m.mean = static_cast<double>(sum) / nn;
        m.std = std::sqrt(static_cast<double>(num) / nn / nn);
    } else {
        constexpr size_t kBlock = 1 << 12;
        double sum = 0;
        for (size_t start = 0; start < n; start += kBlock) {
            const size_t end = std::min(n, start + kBlock);
            double s = 0;
            for (size_t i = start; i < end; ++i) s += static_cast<double>(p[i]);
            sum += s;
        }
        m.mean = sum / static_cast<double>(n);
        double sq = 0;
        for (size_t start = 0; start < n; start += kBlock) {
            const size_t end = std::min(n, start + kBlock);
            double q = 0;
            for (size_t i = start; i < end; ++i) {
                const double d = static_cast<double>(p[i]) - m.mean;
                q += d * d;
            }
            sq += q;
        }
        m.std = std::sqrt(sq / static_cast<double>(n));
    }
    return m;
}

// out[i] = float32(float32(p[i]) - mean) * factor, all in float32.
template <typename T>
void standardise(const T* p, size_t n, float mean, float factor, float* out) {
    for (size_t i = 0; i < n; ++i) out[i] = (static_cast<float>(p[i]) - mean) * factor;
}

// Sets to `value` every byte of an (h, w, c) C-ordered canvas outside the
// rows [top, top + rows) and columns [left, left + cols).
inline void fill_margins(uint8_t* canvas, size_t h, size_t w, size_t c, size_t top, size_t rows,
                         size_t left, size_t cols, uint8_t value) {
    const size_t row_bytes = w * c;
    std::memset(canvas, value, top * row_bytes);
    std::memset(canvas + (top + rows) * row_bytes, value, (h - top - rows) * row_bytes);
    for (size_t r = top; r < top + rows; ++r) {
        uint8_t* row = canvas + r * row_bytes;
        std::memset(row, value, left * c);
        std::memset(row + (left + cols) * c, value, (w - left - cols) * c);
    }
}

}  // namespace ravu_image
