// The exact int and float arithmetic of the line classes: each operation
// gives the interpreter's value or leaves the case to the interpreter
// (`none`), never a wrapped integer, a different rounding or a value where
// the interpreter raises.
#include <gtest/gtest.h>

#include <limits>

#include "line_num.h"

namespace {

using ln::Val;

constexpr int64_t kMax = std::numeric_limits<int64_t>::max();
constexpr int64_t kMin = std::numeric_limits<int64_t>::min();
const double kNan = std::numeric_limits<double>::quiet_NaN();
const double kInf = std::numeric_limits<double>::infinity();

Val I(int64_t v) { return ln::of_int(v); }
Val F(double v) { return ln::of_float(v); }

bool is_int(const Val& v, int64_t want) { return v.k == ln::Kind::i && v.i == want; }
bool is_float(const Val& v, double want) {
    return v.k == ln::Kind::f && (v.f == want || (std::isnan(v.f) && std::isnan(want))) &&
           std::signbit(v.f) == std::signbit(want);
}

TEST(LineNum, IntegerResultsPast64BitsAreLeftToTheInterpreter) {
    EXPECT_TRUE(is_int(ln::add(I(kMax - 1), I(1)), kMax));
    EXPECT_FALSE(ln::known(ln::add(I(kMax), I(1))));
    EXPECT_FALSE(ln::known(ln::sub(I(kMin), I(1))));
    EXPECT_FALSE(ln::known(ln::sub(I(kMax), I(-1))));
    EXPECT_FALSE(ln::known(ln::mul(I(int64_t(1) << 32), I(int64_t(1) << 31))));
    EXPECT_TRUE(is_int(ln::mul(I(int64_t(1) << 31), I(int64_t(1) << 31)), int64_t(1) << 62));
    EXPECT_FALSE(ln::known(ln::mul(I(kMin), I(-1))));
    EXPECT_FALSE(ln::known(ln::neg(I(kMin))));
    EXPECT_FALSE(ln::known(ln::abs(I(kMin))));
    EXPECT_TRUE(is_int(ln::abs(I(kMin + 1)), kMax));
}

TEST(LineNum, UnknownOperandsStayUnknown) {
    EXPECT_FALSE(ln::known(ln::add(ln::none(), I(1))));
    EXPECT_FALSE(ln::known(ln::mul(F(1.0), ln::none())));
    EXPECT_FALSE(ln::known(ln::sqrt(ln::none())));
    EXPECT_EQ(ln::eq(ln::none(), I(0)), -1);
}

TEST(LineNum, MixedOperandsGiveFloats) {
    EXPECT_TRUE(is_float(ln::add(I(1), F(0.5)), 1.5));
    EXPECT_TRUE(is_float(ln::mul(I(3), F(0.0)), 0.0));
    // An int beyond 2**53 meets a float rounded to nearest, ties to even.
    EXPECT_TRUE(is_float(ln::add(I((int64_t(1) << 53) + 1), F(0.0)), 9007199254740992.0));
    EXPECT_TRUE(is_float(ln::add(I((int64_t(1) << 53) + 3), F(0.0)), 9007199254740996.0));
}

TEST(LineNum, EachOperationRoundsByItself) {
    // 0.1 * 10 rounds to 1.0 exactly; a fused multiply-add would keep the
    // product's error and give 5.551115123125783e-17.  (volatile: computed
    // at run time, not folded by the compiler.)
    volatile double tenth = 0.1, ten = 10.0;
    EXPECT_TRUE(is_float(ln::sub(ln::mul(F(tenth), F(ten)), F(1.0)), 0.0));
    // 0.6*4 - 0.8*3 in double precision, not 0.
    EXPECT_TRUE(is_float(ln::sub(ln::mul(F(0.6), I(4)), ln::mul(F(0.8), I(3))),
                         -4.440892098500626e-16));
}

TEST(LineNum, TrueDivision) {
    EXPECT_TRUE(is_float(ln::truediv(I(1), I(3)), 1.0 / 3.0));
    EXPECT_TRUE(is_float(ln::truediv(I(-7), I(2)), -3.5));
    EXPECT_TRUE(is_float(ln::truediv(I(int64_t(1) << 53), I(3)), 9007199254740992.0 / 3.0));
    // Beyond 2**53 the interpreter's correctly rounded division decides.
    EXPECT_FALSE(ln::known(ln::truediv(I((int64_t(1) << 53) + 1), I(3))));
    EXPECT_FALSE(ln::known(ln::truediv(I(3), I(-(int64_t(1) << 53) - 1))));
    // A zero divisor raises in the interpreter, with its own message.
    EXPECT_FALSE(ln::known(ln::truediv(I(1), I(0))));
    EXPECT_FALSE(ln::known(ln::truediv(F(1.0), F(-0.0))));
    EXPECT_FALSE(ln::known(ln::truediv(F(0.0), I(0))));
    EXPECT_TRUE(is_float(ln::truediv(I(1), F(kInf)), 0.0));
    EXPECT_TRUE(is_float(ln::truediv(F(-1.0), F(kInf)), -0.0));
}

TEST(LineNum, IntTruncatesTowardZero) {
    EXPECT_TRUE(is_int(ln::to_int(F(-2.3)), -2));
    EXPECT_TRUE(is_int(ln::to_int(F(3.9)), 3));
    EXPECT_TRUE(is_int(ln::to_int(F(-0.0)), 0));
    EXPECT_TRUE(is_int(ln::to_int(I(kMin)), kMin));
    EXPECT_TRUE(is_int(ln::to_int(F(-9223372036854775808.0)), kMin));
    EXPECT_TRUE(is_int(ln::to_int(F(9223372036854774784.0)), 9223372036854774784));
    // 2**63 and beyond, infinities and NaN: the interpreter's big int or error.
    EXPECT_FALSE(ln::known(ln::to_int(F(9223372036854775808.0))));
    EXPECT_FALSE(ln::known(ln::to_int(F(-9223372036854777856.0))));
    EXPECT_FALSE(ln::known(ln::to_int(F(kInf))));
    EXPECT_FALSE(ln::known(ln::to_int(F(-kInf))));
    EXPECT_FALSE(ln::known(ln::to_int(F(kNan))));
}

TEST(LineNum, EqualityIsExact) {
    EXPECT_EQ(ln::eq(I(1), F(1.0)), 1);
    EXPECT_EQ(ln::eq(F(0.0), F(-0.0)), 1);
    EXPECT_EQ(ln::eq(F(kNan), F(kNan)), 0);
    EXPECT_EQ(ln::eq(I(kMax), I(kMax)), 1);
    EXPECT_EQ(ln::eq(I(int64_t(1) << 53), F(9007199254740992.0)), 1);
    // 2**53 + 1 as a double is 2**53: only the interpreter compares exactly.
    EXPECT_EQ(ln::eq(I((int64_t(1) << 53) + 1), F(9007199254740992.0)), -1);
    EXPECT_EQ(ln::eq(F(9007199254740992.0), I(-(int64_t(1) << 53) - 1)), -1);
}

TEST(LineNum, MathDomainErrorsAreLeftToTheInterpreter) {
    EXPECT_TRUE(is_float(ln::sqrt(I(25)), 5.0));
    EXPECT_TRUE(is_float(ln::sqrt(F(-0.0)), -0.0));
    EXPECT_TRUE(is_float(ln::sqrt(F(kInf)), kInf));
    EXPECT_TRUE(is_float(ln::sqrt(F(kNan)), kNan));
    EXPECT_FALSE(ln::known(ln::sqrt(I(-1))));
    EXPECT_FALSE(ln::known(ln::sqrt(F(-kInf))));
    EXPECT_TRUE(is_float(ln::acos(I(-1)), std::acos(-1.0)));
    EXPECT_TRUE(is_float(ln::acos(F(kNan)), kNan));
    EXPECT_FALSE(ln::known(ln::acos(F(1.0000000000000002))));
    EXPECT_FALSE(ln::known(ln::acos(F(kInf))));
}

TEST(LineNum, OnlyRoundingOvershootOfACosineIsPulledBack) {
    struct Case {
        double c;
        bool pulled;
        double to;
    };
    const Case cases[] = {
        {1.0000000000000002, true, 1.0},  {-1.0000000000000002, true, -1.0},
        {1.0 + 1e-12, true, 1.0},         {-(1.0 + 1e-12), true, -1.0},
        {1.0 + 2e-12, false, 0},          {-(1.0 + 2e-12), false, 0},
        {1.0, false, 0},                  {-1.0, false, 0},
        {0.5, false, 0},                  {2.0, false, 0},
        {kNan, false, 0},                 {kInf, false, 0},
    };
    for (const Case& k : cases) {
        double out = 42.0;
        EXPECT_EQ(ln::cosine_overshoot(k.c, &out), k.pulled) << k.c;
        if (k.pulled) {
            EXPECT_EQ(out, k.to) << k.c;
        }
    }
}

TEST(LineNum, SignAsNumpyGivesIt) {
    EXPECT_TRUE(is_int(ln::sign(I(kMin)), -1));
    EXPECT_TRUE(is_int(ln::sign(I(0)), 0));
    EXPECT_TRUE(is_int(ln::sign(I(kMax)), 1));
    EXPECT_TRUE(is_float(ln::sign(F(-0.0)), 0.0));
    EXPECT_TRUE(is_float(ln::sign(F(-kInf)), -1.0));
    EXPECT_TRUE(is_float(ln::sign(F(5e-324)), 1.0));
    EXPECT_FALSE(ln::known(ln::sign(F(kNan))));
}

}  // namespace
