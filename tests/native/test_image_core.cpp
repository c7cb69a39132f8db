// The standardisation loops of ravu.cv.image against plain loops that add
// in numpy's float32 order one element at a time, on every instruction set
// this processor has; and the letterbox margins against a per-byte loop.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <random>
#include <vector>

#include "image_core.h"

namespace {

namespace ri = ravu_image;
using ri::Isa;

// numpy's pairwise float32 sum of float32 values (one piece).
float ref_pairwise(const float* a, size_t n) {
    if (n < 8) {
        float res = 0.f;
        for (size_t i = 0; i < n; ++i) res += a[i];
        return res;
    }
    if (n <= 128) {
        float r[8];
        for (int j = 0; j < 8; ++j) r[j] = a[j];
        size_t i = 8;
        for (; i < n - n % 8; i += 8)
            for (int j = 0; j < 8; ++j) r[j] += a[i + j];
        float res = ((r[0] + r[1]) + (r[2] + r[3])) + ((r[4] + r[5]) + (r[6] + r[7]));
        for (; i < n; ++i) res += a[i];
        return res;
    }
    size_t n2 = n / 2;
    n2 -= n2 % 8;
    return ref_pairwise(a, n2) + ref_pairwise(a + n2, n - n2);
}

// numpy's add.reduce of a float32 array: pieces of 8192 onto a zero total.
float ref_sum(const std::vector<float>& a) {
    float s = 0.f;
    for (size_t i = 0; i < a.size(); i += 8192)
        s += ref_pairwise(a.data() + i, std::min<size_t>(8192, a.size() - i));
    return s;
}

// np.mean and np.std of the float32 values, step by step on float32 arrays.
template <typename T>
ri::Stats ref_numpy_stats(const std::vector<T>& x) {
    const size_t n = x.size();
    std::vector<float> f(x.begin(), x.end());  // astype(float32)
    const float s = ref_sum(f);
    const float mean = static_cast<float>(double(s) / double(n));  // np.mean
    const float centre = s / static_cast<float>(n);                // _var's mean
    std::vector<float> sq(n);
    for (size_t i = 0; i < n; ++i) {
        const float d = f[i] - centre;
        sq[i] = d * d;
    }
    const float var = static_cast<float>(double(ref_sum(sq)) / double(n));
    return {mean, std::sqrt(var)};
}

// The exact population deviation of integers, rounded once.
template <typename T>
float ref_exact_std(const std::vector<T>& x) {
    long double s = 0, q = 0;
    for (T v : x) {
        s += v;
        q += static_cast<long double>(v) * v;
    }
    const long double n = x.size(), mean = s / n;
    return static_cast<float>(std::sqrt(static_cast<double>(q / n - mean * mean)));
}

// The output pass of the numpy expression for given statistics.
template <typename T>
std::vector<float> ref_apply(const std::vector<T>& x, ri::Stats st) {
    const double std_adj = std::max(double(st.std), 1.0 / std::sqrt(double(x.size())));
    const float factor = static_cast<float>(1 / std_adj);
    std::vector<float> out(x.size());
    for (size_t i = 0; i < x.size(); ++i) out[i] = (static_cast<float>(x[i]) - st.mean) * factor;
    return out;
}

int ulps(float a, float b) {
    int32_t ia, ib;
    std::memcpy(&ia, &a, 4);
    std::memcpy(&ib, &b, 4);
    return std::abs(ia - ib);
}

std::vector<Isa> available() {
    std::vector<Isa> out;
    for (Isa isa : {Isa::sse2, Isa::avx2, Isa::avx512})
        if (ri::isa_supported(isa)) out.push_back(isa);
    return out;
}

template <typename T>
std::vector<T> random_values(size_t n, double lo, double hi, unsigned seed) {
    std::mt19937 gen(seed);
    std::uniform_real_distribution<double> d(lo, hi);
    std::vector<T> v(n);
    for (auto& e : v) e = static_cast<T>(d(gen));
    return v;
}

// Bitwise equal, so that a different rounding anywhere shows.
void expect_same_bits(const std::vector<float>& got, const std::vector<float>& want,
                      const char* what) {
    ASSERT_EQ(got.size(), want.size());
    for (size_t i = 0; i < got.size(); ++i) {
        uint32_t g, w;
        std::memcpy(&g, &got[i], 4);
        std::memcpy(&w, &want[i], 4);
        ASSERT_EQ(g, w) << what << " element " << i << " of " << got.size() << ": " << got[i]
                        << " != " << want[i];
    }
}

// Sizes around a block, around the 8192-element piece and several pieces.
const size_t kSizes[] = {1,    5,    7,    8,    9,    15,    127,   128,   129,  300,
                         1000, 8191, 8192, 8193, 16384, 20000, 24583, 65536, 519168};

// Every width against numpy's order: the mean bit for bit, the deviation
// bit for bit for the wider types and exact (rounded once) for bytes, then
// the output elements bit for bit.
template <typename T>
void check_type(double lo, double hi) {
    for (Isa isa : available()) {
        for (size_t n : kSizes) {
            SCOPED_TRACE("isa " + std::to_string(int(isa)) + " n " + std::to_string(n));
            const auto x = random_values<T>(n, lo, hi, static_cast<unsigned>(n));
            const ri::Stats got = ri::loops<T>(isa).stats(x.data(), n);
            ri::Stats want = ref_numpy_stats(x);
            ASSERT_EQ(got.mean, want.mean);
            if constexpr (sizeof(T) == 1) {
                ASSERT_EQ(got.std, ref_exact_std(x));
                // numpy's own float32 deviation is a few units away at most.
                ASSERT_LE(ulps(got.std, want.std), 4) << got.std << " " << want.std;
                want.std = got.std;
            } else {
                ASSERT_EQ(got.std, want.std);
            }
            std::vector<float> out(n, -1.f);
            ri::standardise(isa, x.data(), n, out.data());
            expect_same_bits(out, ref_apply(x, want), "standardised");
        }
    }
}

TEST(ImageCore, Uint8MatchesNumpyOrderOnEveryWidth) { check_type<uint8_t>(0, 256); }
TEST(ImageCore, Int8MatchesNumpyOrderOnEveryWidth) { check_type<int8_t>(-128, 128); }
TEST(ImageCore, Uint16MatchesNumpyOrderOnEveryWidth) { check_type<uint16_t>(0, 65536); }
TEST(ImageCore, Int16MatchesNumpyOrderOnEveryWidth) { check_type<int16_t>(-32768, 32768); }
TEST(ImageCore, FloatMatchesNumpyOrderOnEveryWidth) { check_type<float>(-1e3, 1e5); }

TEST(ImageCore, LargeFloatsRoundAtEveryAdditionInNumpysOrder) {
    for (Isa isa : available()) {
        for (size_t n : kSizes) {
            const auto x = random_values<float>(n, 0, 3e7, 7 + static_cast<unsigned>(n));
            const ri::Stats got = ri::loops<float>(isa).stats(x.data(), n), want = ref_numpy_stats(x);
            EXPECT_EQ(got.mean, want.mean) << "n " << n;
            EXPECT_EQ(got.std, want.std) << "n " << n;
        }
    }
}

TEST(ImageCore, ByteMomentsAreExactAtTheLimits) {
    for (Isa isa : available()) {
        const size_t n = 3 * 8192 + 77;
        const ri::Stats full = ri::loops<uint8_t>(isa).stats(std::vector<uint8_t>(n, 255).data(), n);
        EXPECT_EQ(full.mean, 255.f);
        EXPECT_EQ(full.std, 0.f);
        for (int8_t v : {-128, 127}) {
            const ri::Stats st = ri::loops<int8_t>(isa).stats(std::vector<int8_t>(n, v).data(), n);
            EXPECT_EQ(st.mean, float(v));
            EXPECT_EQ(st.std, 0.f);
        }
        std::vector<int8_t> halves(n);
        for (size_t i = 0; i < n; ++i) halves[i] = i % 2 ? 127 : -128;
        const ri::Stats st = ri::loops<int8_t>(isa).stats(halves.data(), n);
        EXPECT_EQ(st.std, ref_exact_std(halves));
    }
}

TEST(ImageCore, UniformAndNonFiniteImages) {
    const float nan = std::numeric_limits<float>::quiet_NaN();
    const float inf = std::numeric_limits<float>::infinity();
    for (Isa isa : available()) {
        std::vector<uint8_t> grey(416 * 416 * 3, 77);
        std::vector<float> out(grey.size(), -1.f);
        ri::standardise(isa, grey.data(), grey.size(), out.data());
        for (float v : out) ASSERT_EQ(v, 0.f);
        for (float bad : {nan, inf}) {
            std::vector<float> x(1000, 2.f);
            x[500] = bad;
            std::vector<float> got(x.size());
            ri::standardise(isa, x.data(), x.size(), got.data());
            for (float v : got) ASSERT_TRUE(std::isnan(v));
        }
    }
}

TEST(ImageCore, WidestIsaIsOneThisProcessorRuns) {
    EXPECT_TRUE(ri::isa_supported(ri::widest_isa()));
    EXPECT_TRUE(ri::isa_supported(Isa::sse2));
}

TEST(ImageCore, MarginsAreExactlyOutsideThePicture) {
    const size_t h = 9, w = 11, c = 3;
    for (size_t top : {0, 2}) {
        for (size_t left : {0, 3}) {
            const size_t rows = h - top - 1, cols = w - left - 2;
            std::vector<uint8_t> canvas(h * w * c, 7);
            ri::fill_margins(canvas.data(), h, w, c, top, rows, left, cols, 128);
            for (size_t y = 0; y < h; ++y)
                for (size_t x = 0; x < w; ++x) {
                    const bool inside = y >= top && y < top + rows && x >= left && x < left + cols;
                    for (size_t k = 0; k < c; ++k)
                        ASSERT_EQ(canvas[(y * w + x) * c + k], inside ? 7 : 128)
                            << y << "," << x << "," << k;
                }
        }
    }
}

}  // namespace
