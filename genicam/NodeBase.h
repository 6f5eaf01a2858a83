// Internal: what every node type shares: values given by an element or by another node,
// range checks, and the value of a node that may be indexed by a selector.
#pragma once

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <limits>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "Nodes.h"

namespace genicam::detail {

constexpr int64_t kIntMin = std::numeric_limits<int64_t>::min();
constexpr int64_t kIntMax = std::numeric_limits<int64_t>::max();
// A register larger than this is a broken file, not a camera feature.
constexpr int64_t kMaxRegisterLength = 1 << 20;

inline std::string number(double v) {
    char text[64];
    auto [end, ec] = std::to_chars(text, text + sizeof text, v);
    return ec == std::errc() ? std::string(text, end) : std::to_string(v);
}

// A value given either by an element (Value, Min, ...) or by a reference (pValue, pMin, ...).
struct Source {
    std::string element;
    std::string literal;
    bool hasLiteral = false;
    std::string ref;

    static Source of(const Props& props, const std::string& element) {
        Source s;
        s.element = element;
        if (const Props::Item* i = props.first(element)) {
            s.literal = i->text;
            s.hasLiteral = true;
        }
        if (const Props::Item* i = props.first("p" + element)) s.ref = i->text;
        return s;
    }
    static Source literalOf(const std::string& element, const std::string& text) {
        Source s;
        s.element = element;
        s.literal = text;
        s.hasLiteral = true;
        return s;
    }
    static Source refOf(const std::string& element, const std::string& node) {
        Source s;
        s.element = element;
        s.ref = node;
        return s;
    }
    bool present() const { return hasLiteral || !ref.empty(); }
};

inline Access accessMode(const std::string& text) {
    if (text == "RW") return Access::RW;
    if (text == "WO") return Access::WO;
    return Access::RO;  // also when absent: nothing is writable unless the file says so
}

// Helpers shared by every node that reads values from elements or other nodes.
class Base : public Node {
public:
    Base(NodeMap& map, const std::string& name, const std::string& type, const Props& props)
        : Node(map, name, type, props) {}

protected:
    Node& target(const Source& s) const { return ref(s.ref, "p" + s.element); }

    int64_t literalInt(const Source& s) const {
        int64_t v = 0;
        if (!parseInt(s.literal, v)) fail("<" + s.element + "> holds '" + s.literal + "', which is not an integer");
        return v;
    }
    double literalFloat(const Source& s) const {
        double v = 0;
        if (!parseFloat(s.literal, v)) fail("<" + s.element + "> holds '" + s.literal + "', which is not a number");
        return v;
    }
    int64_t intFrom(const Source& s) const { return s.ref.empty() ? literalInt(s) : intOf(target(s)); }
    double floatFrom(const Source& s) const { return s.ref.empty() ? literalFloat(s) : floatOf(target(s)); }

    void checkIntRange(int64_t v) const;
    void checkFloatRange(double v, std::optional<double> inc = std::nullopt) const;
};

// Integer, Float, Boolean, Enumeration, Command and String: a value of their own
// (<Value>, kept here) or another node's (<pValue>). A selector may choose it: with
// <pIndex>, the value is the <ValueIndexed> or <pValueIndexed> of the selector's value,
// else <ValueDefault> or <pValueDefault>.
class ValueNode : public Base {
public:
    ValueNode(NodeMap& map, const std::string& name, const std::string& type, const Props& props);

    // The selector node, when the value is indexed.
    const std::string& indexNode() const { return index_; }
    struct Indexed {
        int64_t index;
        Source source;
    };
    const std::vector<Indexed>& indexed() const { return indexed_; }
    std::string selector() const override { return index_; }
    std::vector<std::string> indexedValues() const override;

protected:
    // The source in force now: evaluates the selector of an indexed value.
    const Source& current() const;
    bool indirect() const { return !current().ref.empty(); }
    Node& valueNode() const { return target(current()); }
    void requireValue() const {
        if (!value_.present() && index_.empty()) fail("has neither <Value> nor <pValue>");
    }
    Access baseAccess() const override {
        requireValue();
        return indirect() ? accessOf(valueNode()) : Access::RW;
    }
    // A value of the node's own: the literal of the source in force until something is
    // written there.
    int64_t ownInt() const;
    double ownFloat() const;
    std::string ownString() const;
    void keepInt(int64_t v) { ints_[&current()] = v; }
    void keepFloat(double v) { floats_[&current()] = v; }
    void keepString(const std::string& v) { strings_[&current()] = v; }

    Source value_;
    std::string index_;
    std::vector<Indexed> indexed_;
    Source default_;

private:
    mutable std::map<const Source*, int64_t> ints_;
    mutable std::map<const Source*, double> floats_;
    mutable std::map<const Source*, std::string> strings_;
};

// A Port: the camera's register space, or the data of a chunk (<ChunkID>) or of an event
// (<EventID>) attached to the map.
class PortNode : public Base {
public:
    enum class Kind { Camera, Chunk, Event };
    PortNode(NodeMap& map, const std::string& name, const std::string& type, const Props& props);
    Interface interface() const override { return Interface::Port; }
    Kind kind() const { return kind_; }
    uint64_t id() const { return id_; }
    // The attached data, or null (always null for the camera's port).
    const std::vector<uint8_t>* data() const;
    const char* what() const { return kind_ == Kind::Chunk ? "chunk" : "event"; }

protected:
    Access baseAccess() const override;

private:
    Kind kind_ = Kind::Camera;
    uint64_t id_ = 0;
    std::string idText_;
};

// Node factories by family; each gives null for a type it does not make.
std::unique_ptr<Node> makeValueNode(NodeMap& map, const std::string& type, const std::string& name, const Props& props);
std::unique_ptr<Node> makeEnumerationNode(NodeMap& map, const std::string& type, const std::string& name,
                                          const Props& props);
std::unique_ptr<Node> makeRegisterNode(NodeMap& map, const std::string& type, const std::string& name,
                                       const Props& props);
std::unique_ptr<Node> makeFormulaNode(NodeMap& map, const std::string& type, const std::string& name,
                                      const Props& props);
std::unique_ptr<Node> makeUnsupportedNode(NodeMap& map, const std::string& type, const std::string& name,
                                          const Props& props);

}  // namespace genicam::detail
