// The interpreter's int and float arithmetic on 64-bit integers and
// doubles, one operation at a time.  No Python here: rn_pynum.h binds it to
// objects.
//
// Every operation either yields exactly the value the interpreter gives
// for exact `int` and `float` operands, or yields `none`: then the caller
// asks the interpreter, which handles what is not decided here (results
// past 64 bits, division by zero and its message, int/int division beyond
// 2**53, comparisons of floats with ints beyond 2**53, domain errors, NaN
// to int).
//
// Built with -ffp-contract=off: a*b + c must round twice, as the
// interpreter does, never once through a fused multiply-add.
#pragma once

#include <cmath>
#include <cstdint>

namespace rn::num {

enum class Kind : uint8_t { none, i, f };

struct Val {
    Kind k = Kind::none;
    int64_t i = 0;
    double f = 0.0;
};

inline Val none() { return {}; }
inline Val of_int(int64_t v) {
    Val r;
    r.k = Kind::i;
    r.i = v;
    return r;
}
inline Val of_float(double v) {
    Val r;
    r.k = Kind::f;
    r.f = v;
    return r;
}

inline bool known(const Val& a) { return a.k != Kind::none; }
inline bool known(const Val& a, const Val& b) { return known(a) && known(b); }
inline bool both_int(const Val& a, const Val& b) { return a.k == Kind::i && b.k == Kind::i; }

// An int meeting a float is converted as PyLong_AsDouble does: rounded to
// nearest, ties to even, which is what the C conversion does too.
inline double as_double(const Val& a) { return a.k == Kind::i ? (double)a.i : a.f; }

// Integers of at most this magnitude are doubles exactly.
constexpr int64_t kExactInDouble = int64_t(1) << 53;

inline bool exact_in_double(int64_t v) { return v >= -kExactInDouble && v <= kExactInDouble; }

// A known value that converts to a double without rounding.
inline bool exact_in_double(const Val& a) {
    return a.k == Kind::f || (a.k == Kind::i && exact_in_double(a.i));
}

inline Val add(Val a, Val b) {
    if (!known(a, b)) return none();
    if (both_int(a, b)) {
        int64_t r;
        return __builtin_add_overflow(a.i, b.i, &r) ? none() : of_int(r);
    }
    return of_float(as_double(a) + as_double(b));
}

inline Val sub(Val a, Val b) {
    if (!known(a, b)) return none();
    if (both_int(a, b)) {
        int64_t r;
        return __builtin_sub_overflow(a.i, b.i, &r) ? none() : of_int(r);
    }
    return of_float(as_double(a) - as_double(b));
}

inline Val mul(Val a, Val b) {
    if (!known(a, b)) return none();
    if (both_int(a, b)) {
        int64_t r;
        return __builtin_mul_overflow(a.i, b.i, &r) ? none() : of_int(r);
    }
    return of_float(as_double(a) * as_double(b));
}

// True division.  int/int is correctly rounded by the interpreter; for
// operands within 2**53 that is one IEEE division of the exact doubles.
// A zero divisor is left to the interpreter for its own error text.
inline Val truediv(Val a, Val b) {
    if (!known(a, b)) return none();
    if (both_int(a, b)) {
        if (b.i == 0 || !exact_in_double(a.i) || !exact_in_double(b.i)) return none();
        return of_float((double)a.i / (double)b.i);
    }
    const double d = as_double(b);
    if (d == 0.0) return none();
    return of_float(as_double(a) / d);
}

inline Val neg(Val a) {
    if (a.k == Kind::i) return a.i == INT64_MIN ? none() : of_int(-a.i);
    if (a.k == Kind::f) return of_float(-a.f);
    return none();
}

inline Val abs(Val a) {
    if (a.k == Kind::i) return a.i == INT64_MIN ? none() : of_int(a.i < 0 ? -a.i : a.i);
    if (a.k == Kind::f) return of_float(std::fabs(a.f));
    return none();
}

// int(a): truncation toward zero; NaN, infinities and floats beyond the
// 64-bit range are the interpreter's.
inline Val to_int(Val a) {
    if (a.k == Kind::i) return a;
    if (a.k == Kind::f && a.f >= -9223372036854775808.0 && a.f < 9223372036854775808.0)
        return of_int((int64_t)a.f);
    return none();
}

// a == b as the interpreter compares: exactly, also between int and float.
// 1 or 0, or -1 when not decided here.
inline int eq(Val a, Val b) {
    if (!known(a, b)) return -1;
    if (both_int(a, b)) return a.i == b.i;
    if (!exact_in_double(a) || !exact_in_double(b)) return -1;
    return as_double(a) == as_double(b);
}

// a < b, exactly as eq; 1, 0 or -1 (not decided here).
inline int less(Val a, Val b) {
    if (!known(a, b)) return -1;
    if (both_int(a, b)) return a.i < b.i;
    if (!exact_in_double(a) || !exact_in_double(b)) return -1;
    return as_double(a) < as_double(b);
}

// The math module's one-argument functions: the argument taken as a
// double, `none` where the interpreter raises its domain error.
inline Val sqrt(Val a) {
    if (!known(a)) return none();
    const double x = as_double(a), r = std::sqrt(x);
    return (std::isnan(r) && !std::isnan(x)) ? none() : of_float(r);
}

inline Val acos(Val a) {
    if (!known(a)) return none();
    const double x = as_double(a), r = std::acos(x);
    return (std::isnan(r) && !std::isnan(x)) ? none() : of_float(r);
}

// A cosine computed from unit vectors can round past +-1 by a few units
// in the last place, which acos refuses.  Only such rounding overshoot
// (at most 1e-12) is pulled back onto +-1; NaN and larger excess stay.
constexpr double kCosineSlack = 1.0 + 1e-12;

inline bool cosine_overshoot(double c, double* clamped) {
    if (c > 1.0 && c <= kCosineSlack) {
        *clamped = 1.0;
        return true;
    }
    if (c < -1.0 && c >= -kCosineSlack) {
        *clamped = -1.0;
        return true;
    }
    return false;
}

// numpy's sign of an exact number: -1, 0 or +1; `none` for NaN.
inline Val sign(Val a) {
    if (a.k == Kind::i) return of_int((a.i > 0) - (a.i < 0));
    if (a.k == Kind::f && !std::isnan(a.f)) return of_float((a.f > 0) - (a.f < 0));
    return none();
}

}  // namespace rn::num
