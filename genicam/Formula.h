// Formulas of the GenICam SwissKnife and Converter nodes: C-like expressions with
// `=`/`<>` for equality, `**` for powers, the functions SGN, NEG, ABS, SQRT, EXP, LN, LG,
// SIN, COS, TAN, ASIN, ACOS, ATAN, TRUNC, FLOOR, CEIL, ROUND and the constants PI and E.
// A formula is parsed once and evaluated either in 64-bit integers (IntSwissKnife,
// IntConverter) or in doubles (SwissKnife, Converter).
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "genicam/NodeMap.h"

namespace genicam {

// A fault of the formula itself: syntax, division by zero, a result with no integer value.
class FormulaError : public Error {
public:
    using Error::Error;
};

class Formula {
public:
    // Throws FormulaError describing the first syntax fault.
    explicit Formula(std::string_view text);

    // `lookup` gives the value of a name used in the formula and throws Error for an
    // unknown one. Integer evaluation throws Error on a division by zero and on a result
    // that has no integer value (a function giving NaN, say).
    int64_t evalInt(const std::function<int64_t(std::string_view)>& lookup) const;
    double evalFloat(const std::function<double(std::string_view)>& lookup) const;

    // Names the formula refers to, in order of first use.
    const std::vector<std::string>& names() const { return names_; }

private:
    enum class Op : uint8_t {
        Number, Name, Call,
        Neg, Plus, Not,
        Pow, Mul, Div, Mod, Add, Sub, Shl, Shr, Lt, Gt, Le, Ge, Eq, Ne,
        BitAnd, BitXor, BitOr, And, Or, Cond,
    };
    struct Expr {
        Op op = Op::Number;
        int a = -1, b = -1, c = -1;  // operands (Call: a = first argument, b = second or -1)
        bool integral = true;        // Number: written as an integer
        int64_t intValue = 0;
        double floatValue = 0;
        std::string name;            // Name, Call
    };
    class Parser;
    template <class T> struct Eval;

    std::vector<Expr> exprs_;
    int root_ = -1;
    std::vector<std::string> names_;
};

}  // namespace genicam
