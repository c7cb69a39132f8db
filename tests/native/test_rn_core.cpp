#include <gtest/gtest.h>

#include "rn_core.h"

TEST(FloorMod, TakesTheSignOfTheDivisor) {
    struct Case { int64_t a, m, want; };
    for (auto c : {Case{7, 4, 3}, Case{-1, 4, 3}, Case{-5, 4, 3}, Case{4, 4, 0}, Case{-8, 4, 0},
                   Case{1, -3, -2}, Case{-1, -3, -1}, Case{0, 5, 0}}) {
        EXPECT_EQ(rn::floor_mod(c.a, c.m), c.want) << c.a << " % " << c.m;
    }
}

TEST(NameLists, ReadLikeCPython) {
    EXPECT_EQ(rn::join_quoted_names({"x"}), "'x'");
    EXPECT_EQ(rn::join_quoted_names({"x", "y"}), "'x' and 'y'");
    EXPECT_EQ(rn::join_quoted_names({"a", "b", "c"}), "'a', 'b', and 'c'");
    EXPECT_EQ(rn::join_names({"a", "b"}), "a, b");
}
