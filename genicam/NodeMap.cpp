#include "genicam/NodeMap.h"

#include <libxml/parser.h>
#include <libxml/tree.h>

#include <cctype>
#include <charconv>
#include <cmath>
#include <algorithm>
#include <cstring>
#include <limits>

#include "Nodes.h"

namespace genicam {

namespace {

// Deep enough for any real chain of references, small enough for any stack.
constexpr int kMaxSteps = 128;

std::string formatFloat(double v) {
    char text[64];
    auto [end, ec] = std::to_chars(text, text + sizeof text, v);
    if (ec != std::errc()) return std::to_string(v);
    return std::string(text, end);
}

std::string quoted(std::string_view text) {
    std::string q;
    q.reserve(text.size() + 2);
    q += '\'';
    q.append(text.data(), text.size());
    q += '\'';
    return q;
}

Access combine(Access own, Access imposed) {
    if (own == Access::NI || own == Access::NA || imposed == Access::RW) return own;
    if (imposed == Access::RO) return own == Access::WO ? Access::NA : Access::RO;
    if (imposed == Access::WO) return own == Access::RO ? Access::NA : Access::WO;
    return own;
}

}  // namespace

const char* accessName(Access access) {
    switch (access) {
    case Access::NI: return "NI";
    case Access::NA: return "NA";
    case Access::WO: return "WO";
    case Access::RO: return "RO";
    case Access::RW: return "RW";
    }
    return "?";
}

const char* interfaceName(Interface interface) {
    switch (interface) {
    case Interface::Category: return "Category";
    case Interface::Integer: return "Integer";
    case Interface::Float: return "Float";
    case Interface::Boolean: return "Boolean";
    case Interface::Enumeration: return "Enumeration";
    case Interface::Command: return "Command";
    case Interface::String: return "String";
    case Interface::Register: return "Register";
    case Interface::Port: return "Port";
    case Interface::Unsupported: return "Unsupported";
    }
    return "?";
}

bool parseInt(std::string_view text, int64_t& value) {
    bool negative = false;
    if (!text.empty() && (text[0] == '-' || text[0] == '+')) {
        negative = text[0] == '-';
        text.remove_prefix(1);
    }
    if (text.empty()) return false;
    uint64_t magnitude = 0;
    if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
        // Hexadecimal gives the 64-bit pattern, as register values are written.
        auto [p, ec] = std::from_chars(text.data() + 2, text.data() + text.size(), magnitude, 16);
        if (ec != std::errc() || p != text.data() + text.size()) return false;
        value = static_cast<int64_t>(negative ? 0 - magnitude : magnitude);
        return true;
    }
    auto [p, ec] = std::from_chars(text.data(), text.data() + text.size(), magnitude, 10);
    if (ec != std::errc() || p != text.data() + text.size()) return false;
    constexpr uint64_t kMax = static_cast<uint64_t>(std::numeric_limits<int64_t>::max());
    if (magnitude > kMax + (negative ? 1 : 0)) return false;
    value = negative ? static_cast<int64_t>(0 - magnitude) : static_cast<int64_t>(magnitude);
    return true;
}

bool parseFloat(std::string_view text, double& value) {
    if (text.empty()) return false;
    int64_t i = 0;
    if (text.find_first_of("xX") != std::string_view::npos) {
        if (!parseInt(text, i)) return false;
        value = static_cast<double>(i);
        return true;
    }
    if (text[0] == '+') text.remove_prefix(1);
    auto [p, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
    return ec == std::errc() && p == text.data() + text.size() && std::isfinite(value);
}

// ---------------------------------------------------------------------------------------
// Node

Node::Node(NodeMap& map, std::string name, std::string type, const Props& props)
    : map_(map), name_(std::move(name)), type_(std::move(type)) {
    toolTip_ = props.text("ToolTip");
    if (toolTip_.empty()) toolTip_ = props.text("Description");
    unit_ = props.text("Unit");
    isAvailable_ = props.text("pIsAvailable");
    isImplemented_ = props.text("pIsImplemented");
    isLocked_ = props.text("pIsLocked");
    const std::string imposed = props.text("ImposedAccessMode");
    if (imposed == "RO") imposed_ = Access::RO;
    else if (imposed == "WO") imposed_ = Access::WO;
}

void Node::fail(const std::string& message) const {
    // "Width has no <Address>" reads better than "Width: has no <Address>".
    const bool predicate = message.rfind("has ", 0) == 0 || message.rfind("is ", 0) == 0;
    throw Error(name_ + (predicate ? " " : ": ") + message);
}

void Node::unsupported(const char* what) const {
    if (interface() == Interface::Unsupported)
        throw Error(name_ + " is a " + type_ + " node, which is not supported");
    throw Error(name_ + " (" + type_ + ") has no " + what);
}

int64_t Node::toInteger(double value) const {
    const double r = std::round(value);
    if (!std::isfinite(r) || r >= 9223372036854775808.0 || r < -9223372036854775808.0)
        fail(formatFloat(value) + " has no 64-bit integer value");
    return static_cast<int64_t>(r);
}

Node& Node::ref(const std::string& target, std::string_view element) const {
    Node* n = map_.find(target);
    if (n == nullptr)
        fail("<" + std::string(element) + "> names '" + target + "', which is not in the description file");
    return *n;
}

bool Node::locked() const { return !isLocked_.empty() && truthOf(ref(isLocked_, "pIsLocked")); }

Access Node::access() const {
    NodeMap::Step step(map_, *this);
    if (!isImplemented_.empty() && !truthOf(ref(isImplemented_, "pIsImplemented"))) return Access::NI;
    if (!isAvailable_.empty() && !truthOf(ref(isAvailable_, "pIsAvailable"))) return Access::NA;
    Access a = baseAccess();
    if (a == Access::RW && locked()) a = Access::RO;
    return combine(a, imposed_);
}

void Node::requireReadable() const {
    if (interface() == Interface::Unsupported) unsupported("value");
    switch (access()) {
    case Access::RO:
    case Access::RW: return;
    case Access::WO: throw Error(name_ + " is write-only");
    case Access::NA: throw Error(name_ + " is not available now");
    case Access::NI: throw Error(name_ + " is not implemented");
    }
}

void Node::requireWritable() const {
    if (interface() == Interface::Unsupported) unsupported("value");
    switch (access()) {
    case Access::WO:
    case Access::RW: return;
    case Access::RO: throw Error(name_ + (locked() ? " is locked" : " is read-only"));
    case Access::NA: throw Error(name_ + " is not available now");
    case Access::NI: throw Error(name_ + " is not implemented");
    }
}

int64_t Node::intValue() const {
    requireReadable();
    return intOf(*this);
}
double Node::floatValue() const {
    requireReadable();
    return floatOf(*this);
}
std::string Node::stringValue() const {
    requireReadable();
    return stringOf(*this);
}
bool Node::boolValue() const {
    requireReadable();
    return truthOf(*this);
}
void Node::setInt(int64_t value) {
    requireWritable();
    writeInt(*this, value);
}
void Node::setFloat(double value) {
    requireWritable();
    writeFloat(*this, value);
}
void Node::setString(const std::string& value) {
    requireWritable();
    writeString(*this, value);
}
void Node::setBool(bool value) {
    requireWritable();
    NodeMap::Step step(map_, *this);
    doSetBool(value);
    written(*this);
}
void Node::execute() {
    requireWritable();
    NodeMap::Step step(map_, *this);
    doExecute();
    written(*this);
}
size_t Node::byteLength() const {
    NodeMap::Step step(map_, *this);
    return getLength();
}
std::vector<uint8_t> Node::bytes() const {
    requireReadable();
    NodeMap::Step step(map_, *this);
    return getBytes();
}
void Node::setBytes(const std::vector<uint8_t>& bytes) {
    requireWritable();
    NodeMap::Step step(map_, *this);
    doSetBytes(bytes);
    written(*this);
}
bool Node::isDone() const {
    NodeMap::Step step(map_, *this);
    return doIsDone();
}

int64_t Node::intMin() const {
    NodeMap::Step step(map_, *this);
    return minInt();
}
int64_t Node::intMax() const {
    NodeMap::Step step(map_, *this);
    return maxInt();
}
int64_t Node::intInc() const {
    NodeMap::Step step(map_, *this);
    return incInt();
}
double Node::floatMin() const {
    NodeMap::Step step(map_, *this);
    return minFloat();
}
double Node::floatMax() const {
    NodeMap::Step step(map_, *this);
    return maxFloat();
}

int64_t Node::intOf(const Node& n) {
    NodeMap::Step step(n.map_, n);
    return n.getInt();
}
double Node::floatOf(const Node& n) {
    NodeMap::Step step(n.map_, n);
    return n.getFloat();
}
std::string Node::stringOf(const Node& n) {
    NodeMap::Step step(n.map_, n);
    return n.getString();
}
bool Node::truthOf(const Node& n) {
    NodeMap::Step step(n.map_, n);
    return n.interface() == Interface::Boolean ? n.getBool() : n.getInt() != 0;
}
void Node::writeInt(Node& n, int64_t value) {
    NodeMap::Step step(n.map_, n);
    n.doSetInt(value);
    written(n);
}
void Node::writeFloat(Node& n, double value) {
    NodeMap::Step step(n.map_, n);
    n.doSetFloat(value);
    written(n);
}
void Node::writeString(Node& n, const std::string& value) {
    NodeMap::Step step(n.map_, n);
    n.doSetString(value);
    written(n);
}
void Node::written(const Node& n) { n.map_.invalidateDependents(n.name_); }
Access Node::accessOf(const Node& n) { return n.access(); }
bool Node::integral(const Node& n) {
    const Interface i = n.interface();
    return i == Interface::Integer || i == Interface::Enumeration || i == Interface::Boolean;
}

int64_t Node::getInt() const {
    if (interface() == Interface::Float) return toInteger(getFloat());
    unsupported("integer value");
}
double Node::getFloat() const {
    if (integral(*this)) return static_cast<double>(getInt());
    unsupported("numeric value");
}
std::string Node::getString() const { unsupported("string value"); }
bool Node::getBool() const { unsupported("boolean value"); }
void Node::doSetInt(int64_t value) {
    if (interface() == Interface::Float) return doSetFloat(static_cast<double>(value));
    unsupported("integer value");
}
void Node::doSetFloat(double value) {
    if (integral(*this)) return doSetInt(toInteger(value));
    unsupported("numeric value");
}
void Node::doSetString(const std::string&) { unsupported("string value"); }
void Node::doSetBool(bool) { unsupported("boolean value"); }
void Node::doExecute() { unsupported("command to execute"); }
size_t Node::getLength() const { unsupported("bytes of a register"); }
std::vector<uint8_t> Node::getBytes() const { unsupported("bytes of a register"); }
void Node::doSetBytes(const std::vector<uint8_t>&) { unsupported("bytes of a register"); }
bool Node::doIsDone() const { unsupported("command to execute"); }
int64_t Node::minInt() const { return std::numeric_limits<int64_t>::min(); }
int64_t Node::maxInt() const { return std::numeric_limits<int64_t>::max(); }
int64_t Node::incInt() const { return 1; }
double Node::minFloat() const {
    if (integral(*this)) return static_cast<double>(minInt());
    return std::numeric_limits<double>::lowest();
}
double Node::maxFloat() const {
    if (integral(*this)) return static_cast<double>(maxInt());
    return std::numeric_limits<double>::max();
}
std::vector<std::string> Node::features() const { return {}; }
std::vector<std::string> Node::entries() const { return {}; }

std::string Node::valueText() const {
    std::string text;
    switch (interface()) {
    case Interface::Integer: {
        const int64_t v = intValue();
        if (hexRepresentation()) {
            char hex[24];
            std::snprintf(hex, sizeof hex, "0x%llX", static_cast<unsigned long long>(v));
            text = hex;
        } else {
            text = std::to_string(v);
        }
        break;
    }
    case Interface::Float: text = formatFloat(floatValue()); break;
    case Interface::Boolean: return boolValue() ? "true" : "false";
    case Interface::Enumeration:
    case Interface::String: return stringValue();
    case Interface::Register: {
        // The first bytes in hex, enough to recognise a table in a listing.
        constexpr size_t kShown = 16;
        const std::vector<uint8_t> b = bytes();
        static const char digits[] = "0123456789ABCDEF";
        for (size_t i = 0; i < std::min(b.size(), kShown); ++i) {
            text += digits[b[i] >> 4];
            text += digits[b[i] & 15];
        }
        if (b.size() > kShown) text += "...";
        return text + " (" + std::to_string(b.size()) + " bytes)";
    }
    default: return {};
    }
    const std::string u = unit();
    return u.empty() ? text : text + " " + u;
}

void Node::setText(std::string_view text) {
    switch (interface()) {
    case Interface::Integer: {
        int64_t v = 0;
        if (!parseInt(text, v)) fail("'" + std::string(text) + "' is not an integer");
        return setInt(v);
    }
    case Interface::Float: {
        double v = 0;
        if (!parseFloat(text, v)) fail("'" + std::string(text) + "' is not a number");
        return setFloat(v);
    }
    case Interface::Boolean: {
        std::string lower(text);
        for (char& c : lower) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        if (lower == "true" || lower == "1" || lower == "on") return setBool(true);
        if (lower == "false" || lower == "0" || lower == "off") return setBool(false);
        fail("'" + std::string(text) + "' is not true or false");
    }
    case Interface::Enumeration:
    case Interface::String: return setString(std::string(text));
    case Interface::Register: {
        // Hexadecimal digits, two a byte; spaces between bytes are allowed.
        std::vector<uint8_t> b;
        int high = -1;
        for (char c : text) {
            if (c == ' ') continue;
            const int v = std::isdigit(static_cast<unsigned char>(c)) ? c - '0'
                          : (c >= 'a' && c <= 'f')                    ? c - 'a' + 10
                          : (c >= 'A' && c <= 'F')                    ? c - 'A' + 10
                                                                      : -1;
            if (v < 0) fail(quoted(text) + " is not hexadecimal bytes");
            if (high < 0) high = v;
            else {
                b.push_back(static_cast<uint8_t>(high << 4 | v));
                high = -1;
            }
        }
        if (high >= 0) fail(quoted(text) + " has an odd number of hexadecimal digits");
        return setBytes(b);
    }
    case Interface::Command: fail("a command takes no value: give its name alone to execute it");
    case Interface::Category: fail("a category has no value");
    default: unsupported("value");
    }
}

// ---------------------------------------------------------------------------------------
// NodeMap

NodeMap::Step::Step(const NodeMap& map, const Node& node) : map_(map) {
    if (map.depth_ >= kMaxSteps)
        throw Error(node.name() + ": references run in a loop (more than " + std::to_string(kMaxSteps) +
                    " steps deep)");
    ++map.depth_;
}

NodeMap::Step::~Step() { --map_.depth_; }

NodeMap::~NodeMap() = default;

Node* NodeMap::find(std::string_view name) const {
    auto it = nodes_.find(name);
    return it == nodes_.end() ? nullptr : it->second.get();
}

Node& NodeMap::node(std::string_view name) const {
    Node* n = find(name);
    if (n == nullptr) throw Error("the description file has no feature named '" + std::string(name) + "'");
    return *n;
}

}  // namespace genicam
