#include "Formula.h"

#include <algorithm>
#include <cctype>
#include <charconv>
#include <cmath>
#include <limits>

#include "genicam/NodeMap.h"

namespace genicam {

namespace {

// Deeper formulas than this are refused so that neither parsing nor evaluation can run
// the stack out, whatever a description file holds.
constexpr int kMaxDepth = 256;
constexpr size_t kMaxLength = 64 * 1024;

struct Function {
    const char* name;
    int arguments;  // ROUND takes 1 or 2
};
constexpr Function kFunctions[] = {
    {"SGN", 1}, {"NEG", 1}, {"ABS", 1}, {"SQRT", 1}, {"EXP", 1}, {"LN", 1}, {"LG", 1},
    {"SIN", 1}, {"COS", 1}, {"TAN", 1}, {"ASIN", 1}, {"ACOS", 1}, {"ATAN", 1},
    {"TRUNC", 1}, {"FLOOR", 1}, {"CEIL", 1}, {"ROUND", 2},
};

const Function* functionNamed(std::string_view name) {
    for (const Function& f : kFunctions)
        if (name == f.name) return &f;
    return nullptr;
}

// Two's complement arithmetic without signed overflow.
int64_t wrap(uint64_t v) { return static_cast<int64_t>(v); }
uint64_t bits(int64_t v) { return static_cast<uint64_t>(v); }

int64_t toInt(double v) {
    // 2^63 is exactly representable; anything at or past it does not fit.
    if (!std::isfinite(v) || v >= 9223372036854775808.0 || v < -9223372036854775808.0)
        throw FormulaError("formula result " + std::to_string(v) + " has no 64-bit integer value");
    return static_cast<int64_t>(v);
}

double applyFunction(std::string_view name, double x, double digits) {
    if (name == "SGN") return x > 0 ? 1.0 : x < 0 ? -1.0 : 0.0;
    if (name == "NEG") return -x;
    if (name == "ABS") return std::fabs(x);
    if (name == "SQRT") return std::sqrt(x);
    if (name == "EXP") return std::exp(x);
    if (name == "LN") return std::log(x);
    if (name == "LG") return std::log10(x);
    if (name == "SIN") return std::sin(x);
    if (name == "COS") return std::cos(x);
    if (name == "TAN") return std::tan(x);
    if (name == "ASIN") return std::asin(x);
    if (name == "ACOS") return std::acos(x);
    if (name == "ATAN") return std::atan(x);
    if (name == "TRUNC") return std::trunc(x);
    if (name == "FLOOR") return std::floor(x);
    if (name == "CEIL") return std::ceil(x);
    // ROUND(x, n): to n decimals.
    const double scale = std::pow(10.0, std::trunc(digits));
    return std::round(x * scale) / scale;
}

}  // namespace

class Formula::Parser {
public:
    Parser(Formula& f, std::string_view text) : f_(f), text_(text) {}

    int parse() {
        if (text_.size() > kMaxLength) throw FormulaError("formula longer than 64 KiB");
        int e = ternary();
        skip();
        if (pos_ != text_.size()) fault("unexpected '" + std::string(1, text_[pos_]) + "'");
        return e;
    }

private:
    Formula& f_;
    std::string_view text_;
    size_t pos_ = 0;
    int nesting_ = 0;
    std::vector<int> depth_;  // depth of each expression, to bound evaluation's recursion

    [[noreturn]] void fault(const std::string& what) const {
        throw FormulaError("formula \"" + std::string(text_.substr(0, 80)) + (text_.size() > 80 ? "..." : "") +
                    "\": " + what + " at position " + std::to_string(pos_ + 1));
    }

    void skip() {
        while (pos_ < text_.size() && std::isspace(static_cast<unsigned char>(text_[pos_]))) ++pos_;
    }
    bool take(std::string_view token) {
        skip();
        if (text_.substr(pos_, token.size()) != token) return false;
        pos_ += token.size();
        return true;
    }
    // An operator that is not the first character of a longer one.
    bool takeAlone(char c, std::string_view notFollowedBy) {
        skip();
        if (pos_ >= text_.size() || text_[pos_] != c) return false;
        if (pos_ + 1 < text_.size() && notFollowedBy.find(text_[pos_ + 1]) != std::string_view::npos)
            return false;
        ++pos_;
        return true;
    }

    static Expr make(Op op) {
        Expr e;
        e.op = op;
        return e;
    }

    int add(Expr e) {
        int d = 1;
        for (int child : {e.a, e.b, e.c})
            if (child >= 0) d = std::max(d, depth_[child] + 1);
        if (d > kMaxDepth) fault("nesting deeper than " + std::to_string(kMaxDepth));
        f_.exprs_.push_back(std::move(e));
        depth_.push_back(d);
        return static_cast<int>(f_.exprs_.size()) - 1;
    }
    int binary(Op op, int a, int b) {
        Expr e = make(op);
        e.a = a;
        e.b = b;
        return add(std::move(e));
    }

    struct Nest {
        explicit Nest(Parser& p) : p_(p) {
            if (++p_.nesting_ > kMaxDepth) p_.fault("nesting deeper than " + std::to_string(kMaxDepth));
        }
        ~Nest() { --p_.nesting_; }
        Parser& p_;
    };

    int ternary() {
        Nest nest(*this);
        int c = logicalOr();
        if (!take("?")) return c;
        int a = ternary();
        if (!take(":")) fault("missing ':'");
        int b = ternary();
        Expr e = make(Op::Cond);
        e.a = c;
        e.b = a;
        e.c = b;
        return add(std::move(e));
    }
    int logicalOr() {
        int l = logicalAnd();
        while (take("||")) l = binary(Op::Or, l, logicalAnd());
        return l;
    }
    int logicalAnd() {
        int l = bitOr();
        while (take("&&")) l = binary(Op::And, l, bitOr());
        return l;
    }
    int bitOr() {
        int l = bitXor();
        while (takeAlone('|', "|")) l = binary(Op::BitOr, l, bitXor());
        return l;
    }
    int bitXor() {
        int l = bitAnd();
        while (take("^")) l = binary(Op::BitXor, l, bitAnd());
        return l;
    }
    int bitAnd() {
        int l = equality();
        while (takeAlone('&', "&")) l = binary(Op::BitAnd, l, equality());
        return l;
    }
    int equality() {
        int l = relational();
        for (;;) {
            if (take("<>")) l = binary(Op::Ne, l, relational());
            else if (take("=")) l = binary(Op::Eq, l, relational());
            else return l;
        }
    }
    int relational() {
        int l = shift();
        for (;;) {
            if (take("<=")) l = binary(Op::Le, l, shift());
            else if (take(">=")) l = binary(Op::Ge, l, shift());
            else if (takeAlone('<', "<>=")) l = binary(Op::Lt, l, shift());
            else if (takeAlone('>', ">=")) l = binary(Op::Gt, l, shift());
            else return l;
        }
    }
    int shift() {
        int l = additive();
        for (;;) {
            if (take("<<")) l = binary(Op::Shl, l, additive());
            else if (take(">>")) l = binary(Op::Shr, l, additive());
            else return l;
        }
    }
    int additive() {
        int l = multiplicative();
        for (;;) {
            if (take("+")) l = binary(Op::Add, l, multiplicative());
            else if (take("-")) l = binary(Op::Sub, l, multiplicative());
            else return l;
        }
    }
    int multiplicative() {
        int l = unary();
        for (;;) {
            if (takeAlone('*', "*")) l = binary(Op::Mul, l, unary());
            else if (take("/")) l = binary(Op::Div, l, unary());
            else if (take("%")) l = binary(Op::Mod, l, unary());
            else return l;
        }
    }
    int unary() {
        Nest nest(*this);
        Op op;
        if (take("-")) op = Op::Neg;
        else if (take("+")) op = Op::Plus;
        else if (take("~")) op = Op::Not;
        else return power();
        Expr e = make(op);
        e.a = unary();
        return add(std::move(e));
    }
    int power() {
        int base = primary();
        if (!take("**")) return base;
        return binary(Op::Pow, base, unary());  // right-associative: 2**3**2 is 2**9
    }

    int primary() {
        skip();
        if (pos_ >= text_.size()) fault("unexpected end");
        const char c = text_[pos_];
        if (c == '(') {
            ++pos_;
            int e = ternary();
            if (!take(")")) fault("missing ')'");
            return e;
        }
        if (std::isdigit(static_cast<unsigned char>(c)) || c == '.') return number();
        if (std::isalpha(static_cast<unsigned char>(c)) || c == '_') return name();
        fault("unexpected '" + std::string(1, c) + "'");
    }

    int number() {
        Expr e = make(Op::Number);
        const char* begin = text_.data() + pos_;
        const char* end = text_.data() + text_.size();
        if (text_.substr(pos_, 2) == "0x" || text_.substr(pos_, 2) == "0X") {
            uint64_t v = 0;
            auto [p, ec] = std::from_chars(begin + 2, end, v, 16);
            if (ec != std::errc() || p == begin + 2) fault("bad hexadecimal number");
            e.intValue = wrap(v);
            e.floatValue = static_cast<double>(v);
            pos_ += static_cast<size_t>(p - begin);
        } else {
            size_t n = pos_;
            while (n < text_.size() && std::isdigit(static_cast<unsigned char>(text_[n]))) ++n;
            bool integral = true;
            if (n < text_.size() && text_[n] == '.') {
                integral = false;
                ++n;
                while (n < text_.size() && std::isdigit(static_cast<unsigned char>(text_[n]))) ++n;
            }
            if (n < text_.size() && (text_[n] == 'e' || text_[n] == 'E')) {
                size_t m = n + 1;
                if (m < text_.size() && (text_[m] == '+' || text_[m] == '-')) ++m;
                if (m < text_.size() && std::isdigit(static_cast<unsigned char>(text_[m]))) {
                    integral = false;
                    n = m;
                    while (n < text_.size() && std::isdigit(static_cast<unsigned char>(text_[n]))) ++n;
                }
            }
            const std::string literal(text_.substr(pos_, n - pos_));
            if (literal == ".") fault("bad number");
            e.floatValue = std::strtod(literal.c_str(), nullptr);
            if (integral) {
                uint64_t v = 0;
                auto [p, ec] = std::from_chars(literal.data(), literal.data() + literal.size(), v);
                if (ec != std::errc() || v > static_cast<uint64_t>(std::numeric_limits<int64_t>::max()))
                    integral = false;  // too large for an integer: kept as a double
                else
                    e.intValue = static_cast<int64_t>(v);
            }
            e.integral = integral;
            pos_ = n;
        }
        return add(std::move(e));
    }

    int name() {
        size_t n = pos_;
        while (n < text_.size() &&
               (std::isalnum(static_cast<unsigned char>(text_[n])) || text_[n] == '_' || text_[n] == '.'))
            ++n;
        std::string word(text_.substr(pos_, n - pos_));
        pos_ = n;
        if (take("(")) {
            const Function* fn = functionNamed(word);
            if (fn == nullptr) fault("unknown function " + word);
            Expr e = make(Op::Call);
            e.name = word;
            e.a = ternary();
            if (take(",")) {
                if (fn->arguments < 2) fault(word + " takes one argument");
                e.b = ternary();
            }
            if (!take(")")) fault("missing ')'");
            return add(std::move(e));
        }
        if (std::find(f_.names_.begin(), f_.names_.end(), word) == f_.names_.end()) f_.names_.push_back(word);
        Expr e = make(Op::Name);
        e.name = std::move(word);
        return add(std::move(e));
    }
};

Formula::Formula(std::string_view text) {
    Parser p(*this, text);
    root_ = p.parse();
}

template <class T>
struct Formula::Eval {
    const Formula& f;
    const std::function<T(std::string_view)>& lookup;

    static constexpr bool kInt = std::is_same_v<T, int64_t>;

    static T fromDouble(double v) {
        if constexpr (kInt) return toInt(std::trunc(v));
        else return v;
    }
    static int64_t asInt(T v) {
        if constexpr (kInt) return v;
        else return toInt(std::trunc(v));
    }
    static double asDouble(T v) { return static_cast<double>(v); }

    // PI and E are reserved: a description file cannot name a variable so.
    T name(const std::string& n) const {
        if (n == "PI") return fromDouble(3.14159265358979323846);
        if (n == "E") return fromDouble(2.71828182845904523536);
        return lookup(n);
    }

    static T power(T base, T exponent) {
        if constexpr (kInt) {
            if (exponent < 0) {
                if (base == 1) return 1;
                if (base == -1) return (exponent & 1) ? -1 : 1;
                if (base == 0) throw FormulaError("formula divides by zero");
                return 0;
            }
            uint64_t result = 1, b = bits(base);
            for (uint64_t e = bits(exponent); e != 0; e >>= 1) {
                if (e & 1) result *= b;
                b *= b;
            }
            return wrap(result);
        } else {
            return std::pow(base, exponent);
        }
    }

    T run(int index) const {
        const Expr& e = f.exprs_[static_cast<size_t>(index)];
        switch (e.op) {
        case Op::Number:
            if constexpr (kInt) return e.integral ? e.intValue : toInt(std::trunc(e.floatValue));
            else return e.integral ? static_cast<double>(e.intValue) : e.floatValue;
        case Op::Name: return name(e.name);
        case Op::Call: {
            const T x = run(e.a);
            if constexpr (kInt) {
                if (e.name == "ABS") return x < 0 ? wrap(0 - bits(x)) : x;
                if (e.name == "NEG") return wrap(0 - bits(x));
                if (e.name == "SGN") return x > 0 ? 1 : x < 0 ? -1 : 0;
            }
            const double digits = e.b >= 0 ? asDouble(run(e.b)) : 0.0;
            return fromDouble(applyFunction(e.name, asDouble(x), digits));
        }
        case Op::Neg:
            if constexpr (kInt) return wrap(0 - bits(run(e.a)));
            else return -run(e.a);
        case Op::Plus: return run(e.a);
        case Op::Not: return static_cast<T>(~asInt(run(e.a)));
        case Op::Cond: return run(e.a) != 0 ? run(e.b) : run(e.c);
        case Op::And: return (run(e.a) != 0 && run(e.b) != 0) ? 1 : 0;
        case Op::Or: return (run(e.a) != 0 || run(e.b) != 0) ? 1 : 0;
        default: break;
        }
        const T a = run(e.a);
        const T b = run(e.b);
        switch (e.op) {
        case Op::Pow: return power(a, b);
        case Op::Mul:
            if constexpr (kInt) return wrap(bits(a) * bits(b));
            else return a * b;
        case Op::Div:
            if constexpr (kInt) {
                if (b == 0) throw FormulaError("formula divides by zero");
                if (b == -1) return wrap(0 - bits(a));  // INT64_MIN / -1 would trap
                return a / b;
            } else {
                return a / b;
            }
        case Op::Mod:
            if constexpr (kInt) {
                if (b == 0) throw FormulaError("formula divides by zero");
                if (b == -1) return 0;
                return a % b;
            } else {
                return std::fmod(a, b);
            }
        case Op::Add:
            if constexpr (kInt) return wrap(bits(a) + bits(b));
            else return a + b;
        case Op::Sub:
            if constexpr (kInt) return wrap(bits(a) - bits(b));
            else return a - b;
        case Op::Shl: {
            const int64_t n = asInt(b);
            if (n < 0 || n > 63) return 0;
            return static_cast<T>(wrap(bits(asInt(a)) << n));
        }
        case Op::Shr: {
            const int64_t n = asInt(b);
            const int64_t v = asInt(a);
            if (n < 0 || n > 63) return v < 0 ? -1 : 0;
            return static_cast<T>(v >> n);
        }
        case Op::Lt: return a < b ? 1 : 0;
        case Op::Gt: return a > b ? 1 : 0;
        case Op::Le: return a <= b ? 1 : 0;
        case Op::Ge: return a >= b ? 1 : 0;
        case Op::Eq: return a == b ? 1 : 0;
        case Op::Ne: return a != b ? 1 : 0;
        case Op::BitAnd: return static_cast<T>(asInt(a) & asInt(b));
        case Op::BitXor: return static_cast<T>(asInt(a) ^ asInt(b));
        case Op::BitOr: return static_cast<T>(asInt(a) | asInt(b));
        default: throw FormulaError("formula holds an unknown operation");
        }
    }
};

int64_t Formula::evalInt(const std::function<int64_t(std::string_view)>& lookup) const {
    return Eval<int64_t>{*this, lookup}.run(root_);
}

double Formula::evalFloat(const std::function<double(std::string_view)>& lookup) const {
    return Eval<double>{*this, lookup}.run(root_);
}

}  // namespace genicam
