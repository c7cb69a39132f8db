// The pixel loop of the zone's fill crops, free of Python: out = image * mask
// for an 8-bit three-channel window and an 8-bit mask window of the same
// rows and columns, each product wrapped to 8 bits as numpy's uint8 multiply
// does.  Masks hold long runs of 0 and 1, so a run of ones is one copy and a
// run of zeros one clear; any other value is multiplied.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

namespace geo {

struct FillWindow {
    const uint8_t* image;  // first pixel of the image window
    ptrdiff_t is0, is1, is2;  // its strides in bytes: rows, columns, channels
    const uint8_t* mask;
    ptrdiff_t ms0, ms1;
    uint8_t* out;  // rows x cols x 3, C-contiguous
    ptrdiff_t rows, cols;
};

inline void fill_row_packed(const uint8_t* in, const uint8_t* m, uint8_t* out, ptrdiff_t cols) {
    ptrdiff_t j = 0;
    while (j < cols) {
        const uint8_t v = m[j];
        ptrdiff_t k = j + 1;
        // Runs are long: compare eight mask bytes at a time first.
        const uint64_t pattern = 0x0101010101010101ULL * v;
        for (uint64_t word; k + 8 <= cols; k += 8) {
            std::memcpy(&word, m + k, 8);
            if (word != pattern) break;
        }
        while (k < cols && m[k] == v) ++k;
        const size_t n = (size_t)(k - j) * 3;
        if (v == 1) {
            std::memcpy(out + 3 * j, in + 3 * j, n);
        } else if (v == 0) {
            std::memset(out + 3 * j, 0, n);
        } else {
            for (size_t p = 3 * (size_t)j, e = p + n; p < e; ++p) out[p] = (uint8_t)(in[p] * v);
        }
        j = k;
    }
}

inline void fill_masked(const FillWindow& w) {
    const bool packed = w.is1 == 3 && w.is2 == 1 && w.ms1 == 1;
    for (ptrdiff_t r = 0; r < w.rows; ++r) {
        const uint8_t* in = w.image + r * w.is0;
        const uint8_t* m = w.mask + r * w.ms0;
        uint8_t* out = w.out + r * w.cols * 3;
        if (packed) {
            fill_row_packed(in, m, out, w.cols);
            continue;
        }
        for (ptrdiff_t c = 0; c < w.cols; ++c) {
            const uint8_t v = m[c * w.ms1];
            const uint8_t* px = in + c * w.is1;
            for (int ch = 0; ch < 3; ++ch) out[3 * c + ch] = (uint8_t)(px[ch * w.is2] * v);
        }
    }
}

}  // namespace geo
