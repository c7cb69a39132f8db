// The exact int and float arithmetic of the number core: each operation
// gives the interpreter's value or leaves the case to the interpreter
// (`none`), never a wrapped integer, a different rounding or a value where
// the interpreter raises.
#include <gtest/gtest.h>

#include <limits>

#include "rn_num.h"

namespace {

using rn::num::Val;
namespace num = rn::num;

constexpr int64_t kMax = std::numeric_limits<int64_t>::max();
constexpr int64_t kMin = std::numeric_limits<int64_t>::min();
const double kNan = std::numeric_limits<double>::quiet_NaN();
const double kInf = std::numeric_limits<double>::infinity();

Val I(int64_t v) { return num::of_int(v); }
Val F(double v) { return num::of_float(v); }

bool is_int(const Val& v, int64_t want) { return v.k == num::Kind::i && v.i == want; }
bool is_float(const Val& v, double want) {
    return v.k == num::Kind::f && (v.f == want || (std::isnan(v.f) && std::isnan(want))) &&
           std::signbit(v.f) == std::signbit(want);
}

TEST(RnNum, IntegerResultsPast64BitsAreLeftToTheInterpreter) {
    EXPECT_TRUE(is_int(num::add(I(kMax - 1), I(1)), kMax));
    EXPECT_FALSE(num::known(num::add(I(kMax), I(1))));
    EXPECT_FALSE(num::known(num::sub(I(kMin), I(1))));
    EXPECT_FALSE(num::known(num::sub(I(kMax), I(-1))));
    EXPECT_FALSE(num::known(num::mul(I(int64_t(1) << 32), I(int64_t(1) << 31))));
    EXPECT_TRUE(is_int(num::mul(I(int64_t(1) << 31), I(int64_t(1) << 31)), int64_t(1) << 62));
    EXPECT_FALSE(num::known(num::mul(I(kMin), I(-1))));
    EXPECT_FALSE(num::known(num::neg(I(kMin))));
    EXPECT_FALSE(num::known(num::abs(I(kMin))));
    EXPECT_TRUE(is_int(num::abs(I(kMin + 1)), kMax));
}

TEST(RnNum, UnknownOperandsStayUnknown) {
    EXPECT_FALSE(num::known(num::add(num::none(), I(1))));
    EXPECT_FALSE(num::known(num::mul(F(1.0), num::none())));
    EXPECT_FALSE(num::known(num::sqrt(num::none())));
    EXPECT_EQ(num::eq(num::none(), I(0)), -1);
}

TEST(RnNum, MixedOperandsGiveFloats) {
    EXPECT_TRUE(is_float(num::add(I(1), F(0.5)), 1.5));
    EXPECT_TRUE(is_float(num::mul(I(3), F(0.0)), 0.0));
    // An int beyond 2**53 meets a float rounded to nearest, ties to even.
    EXPECT_TRUE(is_float(num::add(I((int64_t(1) << 53) + 1), F(0.0)), 9007199254740992.0));
    EXPECT_TRUE(is_float(num::add(I((int64_t(1) << 53) + 3), F(0.0)), 9007199254740996.0));
}

TEST(RnNum, EachOperationRoundsByItself) {
    // 0.1 * 10 rounds to 1.0 exactly; a fused multiply-add would keep the
    // product's error and give 5.551115123125783e-17.  (volatile: computed
    // at run time, not folded by the compiler.)
    volatile double tenth = 0.1, ten = 10.0;
    EXPECT_TRUE(is_float(num::sub(num::mul(F(tenth), F(ten)), F(1.0)), 0.0));
    // 0.6*4 - 0.8*3 in double precision, not 0.
    EXPECT_TRUE(is_float(num::sub(num::mul(F(0.6), I(4)), num::mul(F(0.8), I(3))),
                         -4.440892098500626e-16));
}

TEST(RnNum, TrueDivision) {
    EXPECT_TRUE(is_float(num::truediv(I(1), I(3)), 1.0 / 3.0));
    EXPECT_TRUE(is_float(num::truediv(I(-7), I(2)), -3.5));
    EXPECT_TRUE(is_float(num::truediv(I(int64_t(1) << 53), I(3)), 9007199254740992.0 / 3.0));
    // Beyond 2**53 the interpreter's correctly rounded division decides.
    EXPECT_FALSE(num::known(num::truediv(I((int64_t(1) << 53) + 1), I(3))));
    EXPECT_FALSE(num::known(num::truediv(I(3), I(-(int64_t(1) << 53) - 1))));
    // A zero divisor raises in the interpreter, with its own message.
    EXPECT_FALSE(num::known(num::truediv(I(1), I(0))));
    EXPECT_FALSE(num::known(num::truediv(F(1.0), F(-0.0))));
    EXPECT_FALSE(num::known(num::truediv(F(0.0), I(0))));
    EXPECT_TRUE(is_float(num::truediv(I(1), F(kInf)), 0.0));
    EXPECT_TRUE(is_float(num::truediv(F(-1.0), F(kInf)), -0.0));
}

TEST(RnNum, IntTruncatesTowardZero) {
    EXPECT_TRUE(is_int(num::to_int(F(-2.3)), -2));
    EXPECT_TRUE(is_int(num::to_int(F(3.9)), 3));
    EXPECT_TRUE(is_int(num::to_int(F(-0.0)), 0));
    EXPECT_TRUE(is_int(num::to_int(I(kMin)), kMin));
    EXPECT_TRUE(is_int(num::to_int(F(-9223372036854775808.0)), kMin));
    EXPECT_TRUE(is_int(num::to_int(F(9223372036854774784.0)), 9223372036854774784));
    // 2**63 and beyond, infinities and NaN: the interpreter's big int or error.
    EXPECT_FALSE(num::known(num::to_int(F(9223372036854775808.0))));
    EXPECT_FALSE(num::known(num::to_int(F(-9223372036854777856.0))));
    EXPECT_FALSE(num::known(num::to_int(F(kInf))));
    EXPECT_FALSE(num::known(num::to_int(F(-kInf))));
    EXPECT_FALSE(num::known(num::to_int(F(kNan))));
}

TEST(RnNum, EqualityIsExact) {
    EXPECT_EQ(num::eq(I(1), F(1.0)), 1);
    EXPECT_EQ(num::eq(F(0.0), F(-0.0)), 1);
    EXPECT_EQ(num::eq(F(kNan), F(kNan)), 0);
    EXPECT_EQ(num::eq(I(kMax), I(kMax)), 1);
    EXPECT_EQ(num::eq(I(int64_t(1) << 53), F(9007199254740992.0)), 1);
    // 2**53 + 1 as a double is 2**53: only the interpreter compares exactly.
    EXPECT_EQ(num::eq(I((int64_t(1) << 53) + 1), F(9007199254740992.0)), -1);
    EXPECT_EQ(num::eq(F(9007199254740992.0), I(-(int64_t(1) << 53) - 1)), -1);
}

TEST(RnNum, OrderingIsExact) {
    EXPECT_EQ(num::less(I(kMin), I(kMax)), 1);
    EXPECT_EQ(num::less(I(kMax), I(kMax)), 0);
    EXPECT_EQ(num::less(I(1), F(1.5)), 1);
    EXPECT_EQ(num::less(F(-0.0), I(0)), 0);
    EXPECT_EQ(num::less(F(kNan), I(0)), 0);
    EXPECT_EQ(num::less(I(0), F(kNan)), 0);
    EXPECT_EQ(num::less(F(-kInf), I(kMin)), -1);  // kMin is beyond 2**53
    EXPECT_EQ(num::less(I(int64_t(1) << 53), F(kInf)), 1);
    // 2**53 + 1 < 2.0**53 + 2 holds for the interpreter; as doubles both
    // sides may round alike, so that case is the interpreter's.
    EXPECT_EQ(num::less(I((int64_t(1) << 53) + 1), F(9007199254740994.0)), -1);
    EXPECT_EQ(num::less(num::none(), I(0)), -1);
    EXPECT_TRUE(num::exact_in_double(F(kNan)));
    EXPECT_TRUE(num::exact_in_double(I(-(int64_t(1) << 53))));
    EXPECT_FALSE(num::exact_in_double(I((int64_t(1) << 53) + 1)));
    EXPECT_FALSE(num::exact_in_double(num::none()));
}

TEST(RnNum, MathDomainErrorsAreLeftToTheInterpreter) {
    EXPECT_TRUE(is_float(num::sqrt(I(25)), 5.0));
    EXPECT_TRUE(is_float(num::sqrt(F(-0.0)), -0.0));
    EXPECT_TRUE(is_float(num::sqrt(F(kInf)), kInf));
    EXPECT_TRUE(is_float(num::sqrt(F(kNan)), kNan));
    EXPECT_FALSE(num::known(num::sqrt(I(-1))));
    EXPECT_FALSE(num::known(num::sqrt(F(-kInf))));
    EXPECT_TRUE(is_float(num::acos(I(-1)), std::acos(-1.0)));
    EXPECT_TRUE(is_float(num::acos(F(kNan)), kNan));
    EXPECT_FALSE(num::known(num::acos(F(1.0000000000000002))));
    EXPECT_FALSE(num::known(num::acos(F(kInf))));
}

TEST(RnNum, OnlyRoundingOvershootOfACosineIsPulledBack) {
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
        EXPECT_EQ(num::cosine_overshoot(k.c, &out), k.pulled) << k.c;
        if (k.pulled) {
            EXPECT_EQ(out, k.to) << k.c;
        }
    }
}

TEST(RnNum, SignAsNumpyGivesIt) {
    EXPECT_TRUE(is_int(num::sign(I(kMin)), -1));
    EXPECT_TRUE(is_int(num::sign(I(0)), 0));
    EXPECT_TRUE(is_int(num::sign(I(kMax)), 1));
    EXPECT_TRUE(is_float(num::sign(F(-0.0)), 0.0));
    EXPECT_TRUE(is_float(num::sign(F(-kInf)), -1.0));
    EXPECT_TRUE(is_float(num::sign(F(5e-324)), 1.0));
    EXPECT_FALSE(num::known(num::sign(F(kNan))));
}

}  // namespace
