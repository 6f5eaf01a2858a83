// Formula nodes: IntSwissKnife, SwissKnife, IntConverter and Converter.
#include <memory>

#include "Formula.h"
#include "NodeBase.h"

namespace genicam::detail {

namespace {

class FormulaNode : public Base {
protected:
    FormulaNode(NodeMap& map, const std::string& name, const std::string& type, const Props& props, bool integral)
        : Base(map, name, type, props), integral_(integral), hex_(props.text("Representation") == "HexNumber") {
        for (const Props::Item* i : props.all("pVariable")) variables_.push_back({nameOf(*i), i->text});
        for (const Props::Item* i : props.all("Constant")) constants_.push_back({nameOf(*i), i->text});
        for (const Props::Item* i : props.all("Expression")) expressions_.push_back({nameOf(*i), compile(i->text)});
    }

    struct Compiled {
        std::shared_ptr<Formula> formula;
        std::string error;
    };
    static Compiled compile(const std::string& text) {
        try {
            return {std::make_shared<Formula>(text), {}};
        } catch (const Error& e) {
            return {nullptr, e.what()};  // reported when the formula is used
        }
    }
    static std::string nameOf(const Props::Item& i) {
        const std::string* n = i.attribute("Name");
        return n ? *n : std::string();
    }

    // A name bound for one evaluation (FROM or TO of a converter).
    template <class T>
    struct Binding {
        const char* name;
        T value;
    };

    template <class T>
    T evaluate(const Compiled& c, const char* element, const Binding<T>* bound) const {
        if (!c.formula) fail(c.error.empty() ? "has no <" + std::string(element) + ">" : c.error);
        auto lookup = [this, bound](std::string_view n) { return variable<T>(n, bound); };
        try {
            if constexpr (std::is_same_v<T, int64_t>) return c.formula->evalInt(lookup);
            else return c.formula->evalFloat(lookup);
        } catch (const FormulaError& e) {
            fail(e.what());
        }
    }

    template <class T>
    T variable(std::string_view n, const Binding<T>* bound) const {
        if (bound != nullptr && n == bound->name) return bound->value;
        for (const auto& [var, node] : variables_) {
            if (n == var) return valueOf<T>(ref(node, "pVariable"));
            if (n.size() > var.size() + 1 && n.substr(0, var.size()) == var && n[var.size()] == '.') {
                const std::string_view property = n.substr(var.size() + 1);
                const Node& target = ref(node, "pVariable");
                if (property == "Value") return valueOf<T>(target);
                if (property == "Min") return integralMode<T>() ? T(target.intMin()) : T(target.floatMin());
                if (property == "Max") return integralMode<T>() ? T(target.intMax()) : T(target.floatMax());
                if (property == "Inc") return T(target.intInc());
            }
        }
        for (const auto& [constant, text] : constants_) {
            if (n != constant) continue;
            if constexpr (std::is_same_v<T, int64_t>) {
                int64_t v = 0;
                double d = 0;
                if (parseInt(text, v)) return v;
                if (parseFloat(text, d)) return toInteger(std::trunc(d));
            } else {
                double d = 0;
                if (parseFloat(text, d)) return d;
            }
            fail("constant " + constant + " holds '" + text + "', which is not a number");
        }
        for (const auto& [expression, compiled] : expressions_) {
            if (n != expression) continue;
            NodeMap::Step step(map_, *this);  // expressions may name each other in a loop
            return evaluate<T>(compiled, "Expression", bound);
        }
        fail("has a formula that uses '" + std::string(n) + "', which is no variable, constant or expression of it");
    }

    template <class T>
    static constexpr bool integralMode() {
        return std::is_same_v<T, int64_t>;
    }
    template <class T>
    static T valueOf(const Node& n) {
        if constexpr (std::is_same_v<T, int64_t>) return intOf(n);
        else return floatOf(n);
    }

    bool hexRepresentation() const override { return hex_; }

    bool integral_;
    bool hex_;
    std::vector<std::pair<std::string, std::string>> variables_;
    std::vector<std::pair<std::string, std::string>> constants_;
    std::vector<std::pair<std::string, Compiled>> expressions_;

public:
    Interface interface() const override { return integral_ ? Interface::Integer : Interface::Float; }
};

class SwissKnifeNode : public FormulaNode {
public:
    SwissKnifeNode(NodeMap& map, const std::string& name, const std::string& type, const Props& props)
        : FormulaNode(map, name, type, props, type == "IntSwissKnife"), formula_(compile(props.text("Formula"))) {
        if (!props.has("Formula")) formula_ = {};
    }

protected:
    Access baseAccess() const override { return Access::RO; }
    int64_t getInt() const override {
        if (integral_) return evaluate<int64_t>(formula_, "Formula", nullptr);
        return toInteger(evaluate<double>(formula_, "Formula", nullptr));
    }
    double getFloat() const override {
        if (integral_) return static_cast<double>(evaluate<int64_t>(formula_, "Formula", nullptr));
        return evaluate<double>(formula_, "Formula", nullptr);
    }

private:
    Compiled formula_;
};

// A value converted to and from another node's value: FormulaTo turns this node's value
// (FROM) into the other's (TO); FormulaFrom turns TO back into FROM.
class ConverterNode : public FormulaNode {
public:
    ConverterNode(NodeMap& map, const std::string& name, const std::string& type, const Props& props)
        : FormulaNode(map, name, type, props, type == "IntConverter"),
          value_(props.text("pValue")),
          to_(props.has("FormulaTo") ? compile(props.text("FormulaTo")) : Compiled{}),
          from_(props.has("FormulaFrom") ? compile(props.text("FormulaFrom")) : Compiled{}) {}

protected:
    Node& valueNode() const {
        if (value_.empty()) fail("has no <pValue>");
        return ref(value_, "pValue");
    }
    Access baseAccess() const override { return accessOf(valueNode()); }

    int64_t fromInt(int64_t to) const {
        const Binding<int64_t> b{"TO", to};
        return evaluate<int64_t>(from_, "FormulaFrom", &b);
    }
    double fromFloat(double to) const {
        const Binding<double> b{"TO", to};
        return evaluate<double>(from_, "FormulaFrom", &b);
    }

    int64_t getInt() const override {
        if (integral_) return fromInt(intOf(valueNode()));
        return toInteger(fromFloat(floatOf(valueNode())));
    }
    double getFloat() const override {
        if (integral_) return static_cast<double>(fromInt(intOf(valueNode())));
        return fromFloat(floatOf(valueNode()));
    }

    // The limits follow from the other node's through FormulaFrom, in either order (the
    // slope may fall); a formula that cannot be evaluated there leaves the side open.
    int64_t minInt() const override { return limitsInt().first; }
    int64_t maxInt() const override { return limitsInt().second; }
    double minFloat() const override { return limitsFloat().first; }
    double maxFloat() const override { return limitsFloat().second; }

    std::pair<int64_t, int64_t> limitsInt() const {
        int64_t a = kIntMin, b = kIntMax;
        try {
            a = fromInt(valueNode().intMin());
            b = fromInt(valueNode().intMax());
        } catch (const Error&) {
            return {kIntMin, kIntMax};
        }
        return {std::min(a, b), std::max(a, b)};
    }
    std::pair<double, double> limitsFloat() const {
        double a = 0, b = 0;
        try {
            a = fromFloat(valueNode().floatMin());
            b = fromFloat(valueNode().floatMax());
        } catch (const Error&) {
            return {std::numeric_limits<double>::lowest(), std::numeric_limits<double>::max()};
        }
        if (std::isnan(a) || std::isnan(b)) return {std::numeric_limits<double>::lowest(), std::numeric_limits<double>::max()};
        return {std::min(a, b), std::max(a, b)};
    }

    void doSetInt(int64_t v) override {
        if (!integral_) return doSetFloat(static_cast<double>(v));
        checkIntRange(v);
        const Binding<int64_t> b{"FROM", v};
        writeInt(valueNode(), evaluate<int64_t>(to_, "FormulaTo", &b));
    }
    void doSetFloat(double v) override {
        if (integral_) return doSetInt(toInteger(v));
        checkFloatRange(v);
        const Binding<double> b{"FROM", v};
        const double converted = evaluate<double>(to_, "FormulaTo", &b);
        Node& target = valueNode();
        if (integral(target)) writeInt(target, toInteger(converted));
        else writeFloat(target, converted);
    }

private:
    std::string value_;
    Compiled to_, from_;
};

}  // namespace

std::unique_ptr<Node> makeFormulaNode(NodeMap& map, const std::string& type, const std::string& name,
                                      const Props& props) {
    if (type == "IntSwissKnife" || type == "SwissKnife") return std::make_unique<SwissKnifeNode>(map, name, type, props);
    if (type == "IntConverter" || type == "Converter") return std::make_unique<ConverterNode>(map, name, type, props);
    return nullptr;
}

}  // namespace genicam::detail
