// Value nodes (Integer, Float, Boolean, Command, String), categories, ports and the
// nodes of types the engine does not know.
#include "NodeBase.h"

namespace genicam::detail {

void Base::checkIntRange(int64_t v) const {
    const int64_t lo = intMin(), hi = intMax(), inc = intInc();
    if (v < lo) fail(std::to_string(v) + " is below the minimum " + std::to_string(lo));
    if (v > hi) fail(std::to_string(v) + " is above the maximum " + std::to_string(hi));
    if (inc > 1 && (static_cast<uint64_t>(v) - static_cast<uint64_t>(lo)) % static_cast<uint64_t>(inc) != 0)
        fail(std::to_string(v) + " is not the minimum " + std::to_string(lo) + " plus a multiple of the increment " +
             std::to_string(inc));
}

void Base::checkFloatRange(double v, std::optional<double> inc) const {
    if (!std::isfinite(v)) fail("the value must be a finite number");
    const double lo = floatMin(), hi = floatMax();
    // A limit that is no number (a formula dividing by zero) admits nothing.
    if (std::isnan(lo) || std::isnan(hi)) fail("has a limit that is not a number, so no value can be checked");
    if (v < lo) fail(number(v) + " is below the minimum " + number(lo));
    if (v > hi) fail(number(v) + " is above the maximum " + number(hi));
    if (inc && *inc > 0 && std::isfinite(lo)) {
        const double steps = (v - lo) / *inc;
        if (std::fabs(steps - std::round(steps)) > 1e-9 * std::max(1.0, std::fabs(steps)))
            fail(number(v) + " is not the minimum " + number(lo) + " plus a multiple of the increment " + number(*inc));
    }
}

ValueNode::ValueNode(NodeMap& map, const std::string& name, const std::string& type, const Props& props)
    : Base(map, name, type, props), value_(Source::of(props, "Value")) {
    index_ = props.text("pIndex");
    for (const Props::Item& i : props.items) {
        if (i.element != "ValueIndexed" && i.element != "pValueIndexed") continue;
        const std::string* at = i.attribute("Index");
        int64_t index = 0;
        if (at == nullptr || !parseInt(*at, index))
            throw Error(name + ": <" + i.element + "> has no integer Index attribute");
        indexed_.push_back({index, i.element == "ValueIndexed" ? Source::literalOf("ValueIndexed", i.text)
                                                               : Source::refOf("ValueIndexed", i.text)});
    }
    if (const Props::Item* i = props.first("ValueDefault")) default_ = Source::literalOf("ValueDefault", i->text);
    else if (const Props::Item* i = props.first("pValueDefault")) default_ = Source::refOf("ValueDefault", i->text);
}

const Source& ValueNode::current() const {
    if (index_.empty()) return value_;
    const int64_t index = intOf(ref(index_, "pIndex"));
    for (const Indexed& i : indexed_)
        if (i.index == index) return i.source;
    if (default_.present()) return default_;
    fail("has no value for index " + std::to_string(index) + " of " + index_ + " and no <ValueDefault>");
}

std::vector<std::string> ValueNode::indexedValues() const {
    std::vector<std::string> list;
    auto text = [](const Source& s) { return s.ref.empty() ? s.literal : s.ref; };
    for (const Indexed& i : indexed_) list.push_back(std::to_string(i.index) + ": " + text(i.source));
    if (!index_.empty() && default_.present()) list.push_back("default: " + text(default_));
    return list;
}

int64_t ValueNode::ownInt() const {
    const Source& s = current();
    auto it = ints_.find(&s);
    return it != ints_.end() ? it->second : literalInt(s);
}
double ValueNode::ownFloat() const {
    const Source& s = current();
    auto it = floats_.find(&s);
    return it != floats_.end() ? it->second : literalFloat(s);
}
std::string ValueNode::ownString() const {
    const Source& s = current();
    auto it = strings_.find(&s);
    return it != strings_.end() ? it->second : s.literal;
}

// Chunk and event IDs are written in hexadecimal, with or without 0x.
PortNode::PortNode(NodeMap& map, const std::string& name, const std::string& type, const Props& props)
    : Base(map, name, type, props) {
    if (props.has("ChunkID")) {
        kind_ = Kind::Chunk;
        idText_ = props.text("ChunkID");
    } else if (props.has("EventID")) {
        kind_ = Kind::Event;
        idText_ = props.text("EventID");
    }
    if (kind_ == Kind::Camera) return;
    std::string_view hex = idText_;
    if (hex.size() > 2 && hex[0] == '0' && (hex[1] == 'x' || hex[1] == 'X')) hex.remove_prefix(2);
    auto [p, ec] = std::from_chars(hex.data(), hex.data() + hex.size(), id_, 16);
    if (hex.empty() || ec != std::errc() || p != hex.data() + hex.size())
        throw Error(name + ": the " + what() + " ID '" + idText_ + "' is not a hexadecimal number");
}

const std::vector<uint8_t>* PortNode::data() const {
    if (kind_ == Kind::Chunk) return map_.chunk(id_);
    if (kind_ == Kind::Event) return map_.event(id_);
    return nullptr;
}

// The camera's port is read and written; chunk and event data only read, and only while
// some is attached.
Access PortNode::baseAccess() const {
    if (kind_ == Kind::Camera) return Access::RW;
    return data() ? Access::RO : Access::NA;
}

namespace {

class IntegerNode : public ValueNode {
public:
    IntegerNode(NodeMap& map, const std::string& name, const std::string& type, const Props& props)
        : ValueNode(map, name, type, props),
          min_(Source::of(props, "Min")),
          max_(Source::of(props, "Max")),
          inc_(Source::of(props, "Inc")),
          hex_(props.text("Representation") == "HexNumber") {}

    Interface interface() const override { return Interface::Integer; }

protected:
    bool hexRepresentation() const override { return hex_; }
    int64_t getInt() const override {
        requireValue();
        if (indirect()) return intOf(valueNode());
        return ownInt();
    }
    void doSetInt(int64_t v) override {
        requireValue();
        checkIntRange(v);
        if (indirect()) writeInt(valueNode(), v);
        else keepInt(v);
    }
    int64_t minInt() const override {
        if (min_.present()) return intFrom(min_);
        return indirect() ? valueNode().intMin() : kIntMin;
    }
    int64_t maxInt() const override {
        if (max_.present()) return intFrom(max_);
        return indirect() ? valueNode().intMax() : kIntMax;
    }
    int64_t incInt() const override {
        if (!inc_.present()) return 1;
        const int64_t inc = intFrom(inc_);
        if (inc < 1) fail("<Inc> is " + std::to_string(inc) + "; it must be at least 1");
        return inc;
    }

private:
    Source min_, max_, inc_;
    bool hex_;
};

class FloatNode : public ValueNode {
public:
    FloatNode(NodeMap& map, const std::string& name, const std::string& type, const Props& props)
        : ValueNode(map, name, type, props),
          min_(Source::of(props, "Min")),
          max_(Source::of(props, "Max")),
          inc_(Source::of(props, "Inc")) {}

    Interface interface() const override { return Interface::Float; }

protected:
    double getFloat() const override {
        requireValue();
        if (indirect()) return floatOf(valueNode());
        return ownFloat();
    }
    void doSetFloat(double v) override {
        requireValue();
        checkFloatRange(v, inc_.present() ? std::optional<double>(floatFrom(inc_)) : std::nullopt);
        if (indirect()) writeFloat(valueNode(), v);
        else keepFloat(v);
    }
    double minFloat() const override {
        if (min_.present()) return floatFrom(min_);
        return indirect() ? valueNode().floatMin() : std::numeric_limits<double>::lowest();
    }
    double maxFloat() const override {
        if (max_.present()) return floatFrom(max_);
        return indirect() ? valueNode().floatMax() : std::numeric_limits<double>::max();
    }

private:
    Source min_, max_, inc_;
};

class BooleanNode : public ValueNode {
public:
    BooleanNode(NodeMap& map, const std::string& name, const std::string& type, const Props& props)
        : ValueNode(map, name, type, props), on_(Source::of(props, "OnValue")), off_(Source::of(props, "OffValue")) {}

    Interface interface() const override { return Interface::Boolean; }

protected:
    int64_t onValue() const { return on_.present() ? intFrom(on_) : 1; }
    int64_t offValue() const { return off_.present() ? intFrom(off_) : 0; }

    int64_t getInt() const override {
        requireValue();
        if (indirect()) return intOf(valueNode());
        return ownInt();
    }
    bool getBool() const override {
        const int64_t v = getInt();
        if (v == onValue()) return true;
        if (v == offValue()) return false;
        fail("the camera holds " + std::to_string(v) + ", neither the on value " + std::to_string(onValue()) +
             " nor the off value " + std::to_string(offValue()));
    }
    void doSetBool(bool b) override {
        requireValue();
        const int64_t v = b ? onValue() : offValue();
        if (indirect()) writeInt(valueNode(), v);
        else keepInt(v);
    }
    void doSetInt(int64_t v) override {
        if (v != onValue() && v != offValue())
            fail(std::to_string(v) + " is neither the on value nor the off value");
        doSetBool(v == onValue());
    }

private:
    Source on_, off_;
};

class CommandNode : public ValueNode {
public:
    CommandNode(NodeMap& map, const std::string& name, const std::string& type, const Props& props)
        : ValueNode(map, name, type, props), command_(Source::of(props, "CommandValue")) {}

    Interface interface() const override { return Interface::Command; }

protected:
    int64_t commandValue() const {
        if (!command_.present()) fail("has no <CommandValue>");
        return intFrom(command_);
    }
    void doExecute() override {
        if (!indirect()) fail("has no <pValue> to write the command to");
        writeInt(valueNode(), commandValue());
    }
    bool doIsDone() const override {
        if (!indirect()) return true;
        if (accessOf(valueNode()) == Access::WO) return true;  // nothing to ask the camera
        return intOf(valueNode()) != commandValue();
    }

private:
    Source command_;
};

class StringNode : public ValueNode {
public:
    using ValueNode::ValueNode;
    Interface interface() const override { return Interface::String; }

protected:
    std::string getString() const override {
        requireValue();
        if (indirect()) return stringOf(valueNode());
        return ownString();
    }
    void doSetString(const std::string& v) override {
        requireValue();
        if (indirect()) writeString(valueNode(), v);
        else keepString(v);
    }

};


class CategoryNode : public Base {
public:
    CategoryNode(NodeMap& map, const std::string& name, const std::string& type, const Props& props)
        : Base(map, name, type, props) {
        for (const Props::Item* i : props.all("pFeature")) features_.push_back(i->text);
    }
    Interface interface() const override { return Interface::Category; }
    std::vector<std::string> features() const override { return features_; }

protected:
    Access baseAccess() const override { return Access::RO; }

private:
    std::vector<std::string> features_;
};

class UnsupportedNode : public Base {
public:
    using Base::Base;
    Interface interface() const override { return Interface::Unsupported; }

protected:
    Access baseAccess() const override { return Access::NA; }
};


}  // namespace

std::unique_ptr<Node> makeValueNode(NodeMap& map, const std::string& type, const std::string& name, const Props& props) {
    if (type == "Category") return std::make_unique<CategoryNode>(map, name, type, props);
    if (type == "Integer") return std::make_unique<IntegerNode>(map, name, type, props);
    if (type == "Float") return std::make_unique<FloatNode>(map, name, type, props);
    if (type == "Boolean") return std::make_unique<BooleanNode>(map, name, type, props);
    if (type == "Command") return std::make_unique<CommandNode>(map, name, type, props);
    if (type == "String") return std::make_unique<StringNode>(map, name, type, props);
    if (type == "Port") return std::make_unique<PortNode>(map, name, type, props);
    return nullptr;
}

std::unique_ptr<Node> makeUnsupportedNode(NodeMap& map, const std::string& type, const std::string& name,
                                          const Props& props) {
    return std::make_unique<UnsupportedNode>(map, name, type, props);
}

}  // namespace genicam::detail
