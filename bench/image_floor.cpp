// The floor of normalize_image for the benchmark: the cheapest C code with
// its calling shape (one positional array, a new float32 array back) that
// does only the work no standardisation of a uint8 image can avoid: one
// pass for the integer sum and sum of squares, one pass writing
// (x - mean) * factor, with the GIL released, on the widest vectors the
// processor has (GCC's function clones, picked when the module loads).
// No checks beyond what keeps it safe: uint8, C order, aligned.
#define PY_SSIZE_T_CLEAN
#include <Python.h>
#define NPY_NO_DEPRECATED_API NPY_1_7_API_VERSION
#include <numpy/arrayobject.h>

#include <cmath>
#include <cstddef>
#include <cstdint>

#include "rn_thread.h"

namespace {

// GCC 12 takes the undefined start value of some AVX-512 intrinsics for
// an uninitialised read.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#pragma GCC diagnostic ignored "-Wuninitialized"
#include <immintrin.h>
#pragma GCC diagnostic pop

#define FLOOR_CLONES __attribute__((target_clones("arch=x86-64-v4", "arch=x86-64-v3", "default")))

// Sum and sum of squares: the sum of bytes by vpsadbw and the squares by
// vpmaddwd, a vector a step (GCC's vectoriser finds neither); plain loops
// in 32-bit blocks without AVX2.
__attribute__((target("avx512f,avx512bw"))) void moments_avx512(const uint8_t* p, size_t n,
                                                                uint64_t* sum, uint64_t* sq) {
    const __m512i zero = _mm512_setzero_si512();
    __m512i s = zero, q64 = zero;
    size_t i = 0;
    while (i + 64 <= n) {
        __m512i q = zero;  // 32-bit lanes: at most 512 steps of 2 * 255^2 each
        for (int k = 0; k < 512 && i + 64 <= n; ++k, i += 64) {
            const __m512i v = _mm512_loadu_si512(p + i);
            s = _mm512_add_epi64(s, _mm512_sad_epu8(v, zero));
            const __m512i lo = _mm512_cvtepu8_epi16(_mm512_castsi512_si256(v));
            const __m512i hi = _mm512_cvtepu8_epi16(_mm512_extracti64x4_epi64(v, 1));
            q = _mm512_add_epi32(q, _mm512_add_epi32(_mm512_madd_epi16(lo, lo), _mm512_madd_epi16(hi, hi)));
        }
        q64 = _mm512_add_epi64(q64, _mm512_cvtepu32_epi64(_mm512_castsi512_si256(q)));
        q64 = _mm512_add_epi64(q64, _mm512_cvtepu32_epi64(_mm512_extracti64x4_epi64(q, 1)));
    }
    uint64_t ts = _mm512_reduce_add_epi64(s), tq = _mm512_reduce_add_epi64(q64);
    for (; i < n; ++i) {
        ts += p[i];
        tq += uint32_t(p[i]) * p[i];
    }
    *sum = ts;
    *sq = tq;
}

__attribute__((target("avx2"))) void moments_avx2(const uint8_t* p, size_t n, uint64_t* sum,
                                                  uint64_t* sq) {
    const __m256i zero = _mm256_setzero_si256();
    __m256i s = zero, q64 = zero;
    size_t i = 0;
    while (i + 32 <= n) {
        __m256i q = zero;
        for (int k = 0; k < 1024 && i + 32 <= n; ++k, i += 32) {
            const __m256i v = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p + i));
            s = _mm256_add_epi64(s, _mm256_sad_epu8(v, zero));
            const __m256i lo = _mm256_unpacklo_epi8(v, zero), hi = _mm256_unpackhi_epi8(v, zero);
            q = _mm256_add_epi32(q, _mm256_add_epi32(_mm256_madd_epi16(lo, lo), _mm256_madd_epi16(hi, hi)));
        }
        q64 = _mm256_add_epi64(q64, _mm256_unpacklo_epi32(q, zero));
        q64 = _mm256_add_epi64(q64, _mm256_unpackhi_epi32(q, zero));
    }
    uint64_t ls[4], lq[4];
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(ls), s);
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(lq), q64);
    uint64_t ts = ls[0] + ls[1] + ls[2] + ls[3], tq = lq[0] + lq[1] + lq[2] + lq[3];
    for (; i < n; ++i) {
        ts += p[i];
        tq += uint32_t(p[i]) * p[i];
    }
    *sum = ts;
    *sq = tq;
}

FLOOR_CLONES void moments_plain(const uint8_t* p, size_t n, uint64_t* sum, uint64_t* sq) {
    uint64_t s = 0, q = 0;
    for (size_t start = 0; start < n; start += 4096) {
        const size_t end = start + 4096 < n ? start + 4096 : n;
        uint32_t bs = 0, bq = 0;
        for (size_t i = start; i < end; ++i) {
            const uint32_t v = p[i];
            bs += v;
            bq += v * v;
        }
        s += bs;
        q += bq;
    }
    *sum = s;
    *sq = q;
}

const bool g_avx512 = __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512bw");
const bool g_avx2 = __builtin_cpu_supports("avx2");

void moments(const uint8_t* p, size_t n, uint64_t* sum, uint64_t* sq) {
    if (g_avx512) moments_avx512(p, n, sum, sq);
    else if (g_avx2) moments_avx2(p, n, sum, sq);
    else moments_plain(p, n, sum, sq);
}

FLOOR_CLONES void apply(const uint8_t* p, size_t n, float m, float f, float* out) {
    for (size_t i = 0; i < n; ++i) out[i] = (static_cast<float>(p[i]) - m) * f;
}

PyObject* normalize_floor(PyObject*, PyObject* image) {
    if (!PyArray_CheckExact(image)) {
        PyErr_SetString(PyExc_TypeError, "a uint8 array");
        return nullptr;
    }
    PyArrayObject* a = reinterpret_cast<PyArrayObject*>(image);
    if (PyArray_TYPE(a) != NPY_UBYTE || !PyArray_IS_C_CONTIGUOUS(a) || PyArray_SIZE(a) == 0) {
        PyErr_SetString(PyExc_TypeError, "a non-empty C-ordered uint8 array");
        return nullptr;
    }
    PyObject* out = PyArray_SimpleNew(PyArray_NDIM(a), PyArray_DIMS(a), NPY_FLOAT);
    if (!out) return nullptr;
    const uint8_t* p = static_cast<const uint8_t*>(PyArray_DATA(a));
    float* o = static_cast<float*>(PyArray_DATA(reinterpret_cast<PyArrayObject*>(out)));
    const size_t n = static_cast<size_t>(PyArray_SIZE(a));
    rn::Unlocked unlocked;
    uint64_t s, q;
    moments(p, n, &s, &q);
    const double mean = double(s) / double(n);
    const double var = double(q) / double(n) - mean * mean;
    const double std_adj = std::fmax(std::sqrt(var > 0 ? var : 0), 1 / std::sqrt(double(n)));
    apply(p, n, static_cast<float>(mean), static_cast<float>(1 / std_adj), o);
    return out;
}

PyMethodDef methods[] = {
    {"normalize_floor", normalize_floor, METH_O, "The floor of normalize_image (uint8)."}, {}};

PyModuleDef module = {PyModuleDef_HEAD_INIT, "_image_floor", "Benchmark floor.", -1, methods};

}  // namespace

PyMODINIT_FUNC PyInit__image_floor() {
    import_array();
    return PyModule_Create(&module);
}
