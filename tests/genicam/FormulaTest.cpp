// Formulas of SwissKnife and Converter nodes, evaluated on their own.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <map>
#include <numbers>
#include <string>

#include "Formula.h"

using genicam::Error;
using genicam::Formula;

namespace {

std::map<std::string, int64_t, std::less<>> intVars = {{"X", 7}, {"Y", -3}, {"MIN", INT64_MIN}};

int64_t asInt(const std::string& text) {
    return Formula(text).evalInt([](std::string_view n) {
        auto it = intVars.find(n);
        if (it == intVars.end()) throw Error("unknown " + std::string(n));
        return it->second;
    });
}

double asFloat(const std::string& text, double x = 2.5) {
    return Formula(text).evalFloat([x](std::string_view n) {
        if (n == "X") return x;
        throw Error("unknown " + std::string(n));
    });
}

TEST(FormulaTest, PrecedenceFollowsCWithPowerAboveUnaryMinus) {
    EXPECT_EQ(asInt("1 + 2 * 3"), 7);
    EXPECT_EQ(asInt("(1 + 2) * 3"), 9);
    EXPECT_EQ(asInt("10 - 4 - 3"), 3);  // left-associative
    EXPECT_EQ(asInt("2 ** 3 ** 2"), 512);  // right-associative
    EXPECT_EQ(asInt("-2 ** 2"), -4);
    EXPECT_EQ(asInt("2 ** -1"), 0);
    EXPECT_EQ(asInt("1 << 4 + 1"), 32);  // shift below addition
    EXPECT_EQ(asInt("6 & 3 | 8"), 10);
    EXPECT_EQ(asInt("6 ^ 3"), 5);
    EXPECT_EQ(asInt("~0"), -1);
    EXPECT_EQ(asInt("1 + 2 = 3"), 1);  // '=' is equality
    EXPECT_EQ(asInt("3 <> 3"), 0);
    EXPECT_EQ(asInt("2 < 3 && 3 <= 3 && 4 > 3 && 3 >= 4 || 0"), 0);
    EXPECT_EQ(asInt("X > 5 ? X * 2 : 0"), 14);
    EXPECT_EQ(asInt("Y < 0 ? 1 : Y > 0 ? 2 : 3"), 1);
    EXPECT_EQ(asInt("0x10 + 0XfF"), 271);
}

TEST(FormulaTest, IntegerArithmeticTruncatesAndNeverTraps) {
    EXPECT_EQ(asInt("X / 2"), 3);
    EXPECT_EQ(asInt("Y / 2"), -1);  // toward zero
    EXPECT_EQ(asInt("Y % 2"), -1);
    EXPECT_EQ(asInt("MIN / -1"), INT64_MIN);  // would trap as a plain division
    EXPECT_EQ(asInt("MIN % -1"), 0);
    EXPECT_EQ(asInt("0x7FFFFFFFFFFFFFFF + 1"), INT64_MIN);  // wraps
    EXPECT_EQ(asInt("1 << 64"), 0);
    EXPECT_EQ(asInt("Y >> 70"), -1);
    EXPECT_EQ(asInt("1 << -1"), 0);
    EXPECT_EQ(asInt("2.9 + 0"), 2);
    EXPECT_EQ(asInt("ABS(Y) + SGN(Y) + NEG(X)"), 3 - 1 - 7);
    EXPECT_THROW(asInt("X / 0"), Error);
    EXPECT_THROW(asInt("X % (Y + 3)"), Error);
    EXPECT_THROW(asInt("SQRT(-1)"), Error);  // NaN has no integer value
    EXPECT_THROW(asInt("0 ? 1 : 1 / 0"), Error);
    EXPECT_EQ(asInt("1 ? 1 : 1 / 0"), 1);  // only the branch taken is evaluated
}

TEST(FormulaTest, FloatArithmeticAndFunctions) {
    EXPECT_DOUBLE_EQ(asFloat("X / 2"), 1.25);
    EXPECT_DOUBLE_EQ(asFloat("X * 1e2 + .5"), 250.5);
    EXPECT_DOUBLE_EQ(asFloat("SQRT(16) + EXP(0) + LN(1) + LG(100)"), 7.0);
    EXPECT_NEAR(asFloat("SIN(PI / 2) + COS(0) + TAN(0) + ATAN(1) * 4 + ASIN(0) + ACOS(1)"), 2 + std::numbers::pi, 1e-12);
    EXPECT_NEAR(asFloat("ROUND(X * 1.23456, 2)"), 3.09, 1e-12);
    EXPECT_DOUBLE_EQ(asFloat("ROUND(2.5) + TRUNC(-2.7) + FLOOR(-2.5) + CEIL(2.1)"), 3 - 2 - 3 + 3);
    EXPECT_DOUBLE_EQ(asFloat("X % 1"), 0.5);
    EXPECT_DOUBLE_EQ(asFloat("(X > 2) + (X = 2.5)"), 2.0);
    EXPECT_DOUBLE_EQ(asFloat("E"), std::exp(1.0));
    EXPECT_TRUE(std::isinf(asFloat("1 / 0")));  // IEEE in float formulas
}

TEST(FormulaTest, SyntaxFaultsAreClearErrors) {
    for (const char* bad : {"", "1 +", "(1", "1)", "2 ** ", "X ? 1", "FOO(1)", "SIN(1, 2)", "1 $ 2", "0x", ".", "3 4"}) {
        try {
            Formula f(bad);
            ADD_FAILURE() << "accepted: " << bad;
        } catch (const Error& e) {
            EXPECT_NE(std::string(e.what()).find("formula"), std::string::npos) << e.what();
        }
    }
}

TEST(FormulaTest, UnknownNamesComeFromTheLookup) {
    try {
        asInt("X + Z");
        FAIL();
    } catch (const Error& e) {
        EXPECT_STREQ(e.what(), "unknown Z");
    }
    Formula f("A + B.Max * A");
    EXPECT_EQ(f.names(), (std::vector<std::string>{"A", "B.Max"}));
}

TEST(FormulaTest, DeepNestingIsRefusedNotOverflowed) {
    EXPECT_THROW(Formula(std::string(100000, '(') + "1" + std::string(100000, ')')), Error);
    EXPECT_THROW(Formula(std::string(100000, '-') + "1"), Error);
    std::string chain = "1";
    for (int i = 0; i < 5000; ++i) chain += "+1";
    EXPECT_THROW(Formula{chain}, Error);  // would recurse 5000 deep when evaluated
    std::string fine = "1";
    for (int i = 0; i < 200; ++i) fine += "+1";
    EXPECT_EQ(asInt(fine), 201);
}

}  // namespace
