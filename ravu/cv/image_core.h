// Python-free pixel loops of ravu.cv.image: standardisation, with numpy's
// own float32 statistics, and the grey margins of a letterbox canvas.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <type_traits>

// GCC 12 takes the deliberately undefined start value of some AVX-512
// conversions for an uninitialised read.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#pragma GCC diagnostic ignored "-Wuninitialized"
#include <immintrin.h>
#pragma GCC diagnostic pop

namespace ravu_image {

// numpy (1.24) sums float32 data in float32, and its order of addition is
// part of the result: a reduction hands its inner loop the data in pieces
// of kChunk elements (the ufunc buffer size) and adds each piece's pairwise
// sum to the running total; the pairwise sum splits a piece in halves down
// to blocks of at most kBlock elements, each summed in eight lanes.  The
// loops below repeat that order, so np.mean of the float32 image comes out
// bit for bit, and np.std too but for 8-bit images (below).
constexpr size_t kChunk = 8192;
constexpr size_t kBlock = 128;

// The instruction sets the loops are built for; the widest one the
// processor has is chosen at run time, so that one build runs on any
// x86-64.
enum class Isa { sse2, avx2, avx512 };

inline bool isa_supported(Isa isa) {
    __builtin_cpu_init();
    switch (isa) {
    case Isa::avx512:
        return __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512bw") &&
               __builtin_cpu_supports("avx512vl") && __builtin_cpu_supports("avx512dq");
    case Isa::avx2:
        return __builtin_cpu_supports("avx2");
    default:
        return true;
    }
}

inline Isa widest_isa() {
    return isa_supported(Isa::avx512) ? Isa::avx512
           : isa_supported(Isa::avx2) ? Isa::avx2
                                       : Isa::sse2;
}

// numpy's mean and population deviation of the float32 values of n > 0
// elements, as np.mean and np.std compute them: the mean divides the float32
// sum by n in float64 and rounds; the deviation subtracts a mean divided in
// float32, sums the float32 squares, divides as the mean does and takes a
// float32 root.
//
// For 8-bit images the loops give numpy's mean bit for bit but the exact
// deviation, rounded once to float32, in place of numpy's float32 one, from
// which it differs by a few units in the last place (numpy's rounding of
// each square and each partial sum: up to 3 on 416x416x3 frames, 9 on
// 1080p ones).  numpy's order for the squares would take a float pass of
// its own, 19 us on a 416x416x3 frame where the integer moments take 3 us
// and the whole standardisation 36 us.  The wider element types, never the
// hot case, get numpy's deviation bit for bit.
struct Stats {
    float mean, std;
};

inline float numpy_mean(float sum, size_t n) {
    return static_cast<float>(static_cast<double>(sum) / static_cast<double>(n));
}
inline float numpy_centre(float sum, size_t n) { return sum / static_cast<float>(n); }
inline float numpy_std(float squares, size_t n) {
    return std::sqrt(static_cast<float>(static_cast<double>(squares) / static_cast<double>(n)));
}
// From the exact integer sum and sum of squares: N^2 var = N sum(x^2) - sum(x)^2.
inline float exact_std(__int128 sum, __int128 squares, size_t n) {
    const __int128 count = static_cast<__int128>(n);
    const double nn = static_cast<double>(n);
    return static_cast<float>(std::sqrt(static_cast<double>(count * squares - sum * sum) / nn / nn));
}

namespace lanes_sse2 {
constexpr int kW = 8;  // two SSE registers per vector
#define RAVU_LANES 1
#include "image_lanes.inc"
}  // namespace lanes_sse2

#pragma GCC push_options
#pragma GCC target("avx2")
namespace lanes_avx2 {
constexpr int kW = 8;
#undef RAVU_LANES
#define RAVU_LANES 2
#include "image_lanes.inc"
}  // namespace lanes_avx2
#pragma GCC pop_options

#pragma GCC push_options
#pragma GCC target("avx512f,avx512bw,avx512vl,avx512dq")
namespace lanes_avx512 {
constexpr int kW = 16;
#undef RAVU_LANES
#define RAVU_LANES 3
#include "image_lanes.inc"
}  // namespace lanes_avx512
#undef RAVU_LANES
#pragma GCC pop_options

// The loops of one element type for one instruction set.
template <typename T>
struct Loops {
    Stats (*stats)(const T*, size_t);
    void (*apply)(const T*, size_t, float, float, float*);
};

template <typename T>
Loops<T> loops(Isa isa) {
    switch (isa) {
    case Isa::avx512:
        return {lanes_avx512::stats<T>, lanes_avx512::apply<T>};
    case Isa::avx2:
        return {lanes_avx2::stats<T>, lanes_avx2::apply<T>};
    default:
        return {lanes_sse2::stats<T>, lanes_sse2::apply<T>};
    }
}

// The whole standardisation of n > 0 elements into out:
//   out = (x - mean) * float32(1 / max(std, 1 / sqrt(n)))
// where the bound and the maximum are float64 (a NaN deviation stays NaN).
template <typename T>
void standardise(Isa isa, const T* p, size_t n, float* out) {
    const Loops<T> l = loops<T>(isa);
    const Stats st = l.stats(p, n);
    const double deviation = st.std;
    const double bound = 1.0 / std::sqrt(static_cast<double>(n));
    const double std_adj = std::isnan(deviation) ? deviation : std::max(deviation, bound);
    l.apply(p, n, st.mean, static_cast<float>(1 / std_adj), out);
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
