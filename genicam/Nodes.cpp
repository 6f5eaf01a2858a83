// The node types: value nodes, registers, formula nodes and the structural ones.
#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstring>
#include <limits>
#include <optional>

#include "Formula.h"
#include "Nodes.h"

namespace genicam {

namespace {

constexpr int64_t kIntMin = std::numeric_limits<int64_t>::min();
constexpr int64_t kIntMax = std::numeric_limits<int64_t>::max();
// A string register larger than this is a broken file, not a camera feature.
constexpr int64_t kMaxStringLength = 1 << 20;

std::string number(double v) {
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

    static Source of(const Props& props, const char* element) {
        Source s;
        s.element = element;
        if (const Props::Item* i = props.first(element)) {
            s.literal = i->text;
            s.hasLiteral = true;
        }
        if (const Props::Item* i = props.first(std::string("p") + element)) s.ref = i->text;
        return s;
    }
    bool present() const { return hasLiteral || !ref.empty(); }
};

Access accessMode(const std::string& text) {
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

    void checkIntRange(int64_t v) const {
        const int64_t lo = intMin(), hi = intMax(), inc = intInc();
        if (v < lo) fail(std::to_string(v) + " is below the minimum " + std::to_string(lo));
        if (v > hi) fail(std::to_string(v) + " is above the maximum " + std::to_string(hi));
        if (inc > 1 && (static_cast<uint64_t>(v) - static_cast<uint64_t>(lo)) % static_cast<uint64_t>(inc) != 0)
            fail(std::to_string(v) + " is not the minimum " + std::to_string(lo) + " plus a multiple of the increment " +
                 std::to_string(inc));
    }
    void checkFloatRange(double v, std::optional<double> inc = std::nullopt) const {
        if (!std::isfinite(v)) fail("the value must be a finite number");
        const double lo = floatMin(), hi = floatMax();
        if (v < lo) fail(number(v) + " is below the minimum " + number(lo));
        if (v > hi) fail(number(v) + " is above the maximum " + number(hi));
        if (inc && *inc > 0) {
            const double steps = (v - lo) / *inc;
            if (std::fabs(steps - std::round(steps)) > 1e-9 * std::max(1.0, std::fabs(steps)))
                fail(number(v) + " is not the minimum " + number(lo) + " plus a multiple of the increment " +
                     number(*inc));
        }
    }
};

// Integer, Float, Boolean, Enumeration, Command and String: a value of their own
// (<Value>, kept here) or another node's (<pValue>).
class ValueNode : public Base {
public:
    ValueNode(NodeMap& map, const std::string& name, const std::string& type, const Props& props)
        : Base(map, name, type, props), value_(Source::of(props, "Value")) {}

protected:
    bool indirect() const { return !value_.ref.empty(); }
    Node& valueNode() const { return target(value_); }
    void requireValue() const {
        if (!value_.present()) fail("has neither <Value> nor <pValue>");
    }
    Access baseAccess() const override {
        requireValue();
        return indirect() ? accessOf(valueNode()) : Access::RW;
    }

    Source value_;
};

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
        if (!stored_) stored_ = literalInt(value_);
        return *stored_;
    }
    void doSetInt(int64_t v) override {
        requireValue();
        checkIntRange(v);
        if (indirect()) writeInt(valueNode(), v);
        else stored_ = v;
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
    mutable std::optional<int64_t> stored_;
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
        if (!stored_) stored_ = literalFloat(value_);
        return *stored_;
    }
    void doSetFloat(double v) override {
        requireValue();
        checkFloatRange(v, inc_.present() ? std::optional<double>(floatFrom(inc_)) : std::nullopt);
        if (indirect()) writeFloat(valueNode(), v);
        else stored_ = v;
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
    mutable std::optional<double> stored_;
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
        if (!stored_) stored_ = literalInt(value_);
        return *stored_;
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
        else stored_ = v;
    }
    void doSetInt(int64_t v) override {
        if (v != onValue() && v != offValue())
            fail(std::to_string(v) + " is neither the on value nor the off value");
        doSetBool(v == onValue());
    }

private:
    Source on_, off_;
    mutable std::optional<int64_t> stored_;
};

class EnumEntryNode : public Base {
public:
    EnumEntryNode(NodeMap& map, const std::string& name, const std::string& type, const Props& props)
        : Base(map, name, type, props), value_(Source::of(props, "Value")) {
        fileName_ = props.text("#Name");
        symbolic_ = props.text("Symbolic");
        if (symbolic_.empty()) {
            // The Name is the symbolic, bar the prefixes some files write:
            // EnumEntry_<Enumeration>_<Symbolic> or <Enumeration>_<Symbolic>.
            symbolic_ = fileName_.empty() ? name : fileName_;
            const std::string enumeration = props.text("#Enumeration");
            if (symbolic_.rfind("EnumEntry_", 0) == 0) symbolic_.erase(0, 10);
            if (symbolic_.size() > enumeration.size() + 1 && symbolic_.rfind(enumeration + "_", 0) == 0)
                symbolic_.erase(0, enumeration.size() + 1);
        }
    }

    Interface interface() const override { return Interface::Integer; }
    const std::string& symbolic() const { return symbolic_; }
    // The Name the file gave the entry.
    const std::string& fileName() const { return fileName_; }
    int64_t entryValue() const {
        if (!value_.present()) fail("has no <Value>");
        return intFrom(value_);
    }

protected:
    Access baseAccess() const override { return Access::RO; }
    int64_t getInt() const override { return entryValue(); }

private:
    Source value_;
    std::string symbolic_, fileName_;
};

class EnumerationNode : public ValueNode {
public:
    EnumerationNode(NodeMap& map, const std::string& name, const std::string& type, const Props& props)
        : ValueNode(map, name, type, props) {
        for (const Props::Item* i : props.all("EnumEntry")) entryNames_.push_back(i->text);
    }

    Interface interface() const override { return Interface::Enumeration; }

    std::vector<std::string> entries() const override {
        std::vector<std::string> names;
        for (const EnumEntryNode* e : all()) {
            const Access a = accessOf(*e);
            if (a != Access::NA && a != Access::NI) names.push_back(e->symbolic());
        }
        return names;
    }

protected:
    std::vector<const EnumEntryNode*> all() const {
        std::vector<const EnumEntryNode*> list;
        for (const std::string& n : entryNames_) {
            auto* e = dynamic_cast<const EnumEntryNode*>(&ref(n, "EnumEntry"));
            if (e == nullptr) fail("entry '" + n + "' is no EnumEntry");
            list.push_back(e);
        }
        return list;
    }

    int64_t getInt() const override {
        requireValue();
        if (indirect()) return intOf(valueNode());
        if (!stored_) stored_ = literalInt(value_);
        return *stored_;
    }
    std::string getString() const override {
        const int64_t v = getInt();
        for (const EnumEntryNode* e : all())
            if (e->entryValue() == v) return e->symbolic();
        fail("the camera holds " + std::to_string(v) + ", which is the value of no entry");
    }
    void doSetString(const std::string& symbolic) override {
        for (const EnumEntryNode* e : all()) {
            if (e->symbolic() != symbolic && e->name() != symbolic && e->fileName() != symbolic) continue;
            const Access a = accessOf(*e);
            if (a == Access::NA || a == Access::NI) fail("entry " + symbolic + " is not available now");
            return store(e->entryValue());
        }
        std::string list;
        for (const std::string& s : entries()) list += (list.empty() ? "" : ", ") + s;
        fail("has no entry '" + symbolic + "' (its entries: " + (list.empty() ? "none" : list) + ")");
    }
    void doSetInt(int64_t v) override {
        for (const EnumEntryNode* e : all()) {
            if (e->entryValue() != v) continue;
            const Access a = accessOf(*e);
            if (a == Access::NA || a == Access::NI) fail("entry " + e->symbolic() + " is not available now");
            return store(v);
        }
        fail(std::to_string(v) + " is the value of no entry");
    }

private:
    void store(int64_t v) {
        requireValue();
        if (indirect()) writeInt(valueNode(), v);
        else stored_ = v;
    }

    std::vector<std::string> entryNames_;
    mutable std::optional<int64_t> stored_;
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
        return stored_ ? *stored_ : value_.literal;
    }
    void doSetString(const std::string& v) override {
        requireValue();
        if (indirect()) writeString(valueNode(), v);
        else stored_ = v;
    }

private:
    mutable std::optional<std::string> stored_;
};

// ---------------------------------------------------------------------------------------
// Registers: bytes at an address of the port.

class RegisterNode : public Base {
public:
    RegisterNode(NodeMap& map, const std::string& name, const std::string& type, const Props& props)
        : Base(map, name, type, props),
          length_(Source::of(props, "Length")),
          access_(accessMode(props.text("AccessMode"))),
          accessText_(props.text("AccessMode")),
          port_(props.text("pPort")),
          bigEndian_(props.text("Endianess") == "BigEndian"),
          signed_(props.text("Sign") == "Signed") {
        for (const Props::Item* i : props.all("Address")) addresses_.push_back(i->text);
        for (const Props::Item* i : props.all("pAddress")) pAddresses_.push_back(i->text);
        if (const Props::Item* i = props.first("pIndex")) {
            index_ = i->text;
            if (const std::string* o = i->attribute("Offset")) offset_ = *o;
            if (const std::string* o = i->attribute("pOffset")) pOffset_ = *o;
        }
    }

protected:
    Access baseAccess() const override {
        if (!accessText_.empty() && accessText_ != "RO" && accessText_ != "RW" && accessText_ != "WO")
            fail("<AccessMode> is '" + accessText_ + "'; it must be RO, WO or RW");
        return access_;
    }

    uint64_t address() const {
        if (addresses_.empty() && pAddresses_.empty()) fail("has no <Address>");
        uint64_t a = 0;
        for (const std::string& text : addresses_) {
            int64_t v = 0;
            if (!parseInt(text, v)) fail("<Address> holds '" + text + "', which is not an integer");
            a += static_cast<uint64_t>(v);
        }
        for (const std::string& n : pAddresses_) a += static_cast<uint64_t>(intOf(ref(n, "pAddress")));
        if (!index_.empty()) {
            const int64_t index = intOf(ref(index_, "pIndex"));
            int64_t offset = 0;
            if (!pOffset_.empty()) offset = intOf(ref(pOffset_, "pOffset"));
            else if (!offset_.empty() && !parseInt(offset_, offset)) fail("pIndex Offset '" + offset_ + "' is not an integer");
            else if (offset_.empty()) offset = static_cast<int64_t>(length(1, kMaxStringLength));
            a += static_cast<uint64_t>(index) * static_cast<uint64_t>(offset);
        }
        return a;
    }

    size_t length(int64_t lo, int64_t hi) const {
        if (!length_.present()) fail("has no <Length>");
        const int64_t n = intFrom(length_);
        if (n < lo || n > hi)
            fail("<Length> is " + std::to_string(n) + "; it must be " + std::to_string(lo) + " to " + std::to_string(hi));
        return static_cast<size_t>(n);
    }

    Port& port() const {
        if (!port_.empty() && ref(port_, "pPort").interface() != Interface::Port)
            fail("<pPort> names '" + port_ + "', which is no Port");
        return map_.port();
    }

    std::vector<uint8_t> readBytes(size_t n) const {
        std::vector<uint8_t> bytes(n);
        const uint64_t at = address();
        port().read(at, bytes.data(), n);
        return bytes;
    }
    void writeBytes(const std::vector<uint8_t>& bytes) {
        const uint64_t at = address();
        port().write(at, bytes.data(), bytes.size());
    }

    uint64_t readUnsigned(size_t n) const {
        const std::vector<uint8_t> b = readBytes(n);
        uint64_t v = 0;
        for (size_t i = 0; i < n; ++i) v |= static_cast<uint64_t>(b[bigEndian_ ? n - 1 - i : i]) << (8 * i);
        return v;
    }
    void writeUnsigned(uint64_t v, size_t n) {
        std::vector<uint8_t> b(n);
        for (size_t i = 0; i < n; ++i) b[bigEndian_ ? n - 1 - i : i] = static_cast<uint8_t>(v >> (8 * i));
        writeBytes(b);
    }

    // Limits of a field of `width` bits.
    int64_t fieldMin(unsigned width) const {
        return signed_ ? (width == 64 ? kIntMin : -(int64_t{1} << (width - 1))) : 0;
    }
    int64_t fieldMax(unsigned width) const {
        if (signed_) return width == 64 ? kIntMax : (int64_t{1} << (width - 1)) - 1;
        return width >= 63 ? kIntMax : (int64_t{1} << width) - 1;  // unsigned 64-bit shows as int64
    }
    int64_t fieldValue(uint64_t raw, unsigned width) const {
        const uint64_t mask = width == 64 ? ~uint64_t{0} : (uint64_t{1} << width) - 1;
        raw &= mask;
        if (signed_ && width < 64 && (raw >> (width - 1)) & 1) raw |= ~mask;
        return static_cast<int64_t>(raw);
    }

    Source length_;
    Access access_;
    std::string accessText_;
    std::string port_;
    bool bigEndian_;
    bool signed_;
    std::vector<std::string> addresses_, pAddresses_;
    std::string index_, offset_, pOffset_;
};

class IntRegNode : public RegisterNode {
public:
    using RegisterNode::RegisterNode;
    Interface interface() const override { return Interface::Integer; }

protected:
    unsigned width() const { return static_cast<unsigned>(length(1, 8) * 8); }
    int64_t getInt() const override { return fieldValue(readUnsigned(length(1, 8)), width()); }
    int64_t minInt() const override { return fieldMin(width()); }
    int64_t maxInt() const override { return fieldMax(width()); }
    void doSetInt(int64_t v) override {
        checkIntRange(v);
        writeUnsigned(static_cast<uint64_t>(v), length(1, 8));
    }
};

// MaskedIntReg, and StructEntry: a bit field of a register. Bits count from the least
// significant for little-endian registers and from the most significant for big-endian
// ones, as GenICam numbers them.
class MaskedIntRegNode : public RegisterNode {
public:
    MaskedIntRegNode(NodeMap& map, const std::string& name, const std::string& type, const Props& props)
        : RegisterNode(map, name, type, props) {
        if (props.has("Bit")) lsb_ = msb_ = props.text("Bit");
        else {
            lsb_ = props.text("LSB");
            msb_ = props.text("MSB");
        }
    }
    Interface interface() const override { return Interface::Integer; }

protected:
    struct Field {
        size_t length;
        unsigned low, width;
    };
    Field field() const {
        const size_t n = length(1, 8);
        const int64_t bitsTotal = static_cast<int64_t>(n * 8);
        if (lsb_.empty() || msb_.empty()) fail("has neither <Bit> nor <LSB> and <MSB>");
        int64_t lsb = 0, msb = 0;
        if (!parseInt(lsb_, lsb) || !parseInt(msb_, msb)) fail("has bit numbers that are not integers");
        if (lsb < 0 || msb < 0 || lsb >= bitsTotal || msb >= bitsTotal)
            fail("bit " + std::to_string(std::max(lsb, msb)) + " lies outside its " + std::to_string(n) + "-byte register");
        if (bigEndian_) {
            lsb = bitsTotal - 1 - lsb;
            msb = bitsTotal - 1 - msb;
        }
        const int64_t low = std::min(lsb, msb), high = std::max(lsb, msb);
        return {n, static_cast<unsigned>(low), static_cast<unsigned>(high - low + 1)};
    }
    uint64_t mask(unsigned width) const { return width == 64 ? ~uint64_t{0} : (uint64_t{1} << width) - 1; }

    int64_t getInt() const override {
        const Field f = field();
        return fieldValue(readUnsigned(f.length) >> f.low, f.width);
    }
    int64_t minInt() const override { return fieldMin(field().width); }
    int64_t maxInt() const override { return fieldMax(field().width); }
    void doSetInt(int64_t v) override {
        checkIntRange(v);
        const Field f = field();
        // The other bits keep what the camera holds; a write-only register has nothing to keep.
        uint64_t raw = access_ == Access::WO ? 0 : readUnsigned(f.length);
        raw &= ~(mask(f.width) << f.low);
        raw |= (static_cast<uint64_t>(v) & mask(f.width)) << f.low;
        writeUnsigned(raw, f.length);
    }

private:
    std::string lsb_, msb_;
};

class FloatRegNode : public RegisterNode {
public:
    FloatRegNode(NodeMap& map, const std::string& name, const std::string& type, const Props& props)
        : RegisterNode(map, name, type, props) {}
    Interface interface() const override { return Interface::Float; }

protected:
    size_t size() const {
        const size_t n = length(1, kMaxStringLength);
        if (n != 4 && n != 8) fail("<Length> is " + std::to_string(n) + "; a FloatReg has 4 or 8 bytes");
        return n;
    }
    double getFloat() const override {
        const size_t n = size();
        const uint64_t raw = readUnsigned(n);
        if (n == 4) {
            float f;
            const uint32_t r = static_cast<uint32_t>(raw);
            std::memcpy(&f, &r, 4);
            return f;
        }
        double d;
        std::memcpy(&d, &raw, 8);
        return d;
    }
    double minFloat() const override {
        return size() == 4 ? -double(std::numeric_limits<float>::max()) : std::numeric_limits<double>::lowest();
    }
    double maxFloat() const override {
        return size() == 4 ? double(std::numeric_limits<float>::max()) : std::numeric_limits<double>::max();
    }
    void doSetFloat(double v) override {
        checkFloatRange(v);
        const size_t n = size();
        uint64_t raw = 0;
        if (n == 4) {
            const float f = static_cast<float>(v);
            uint32_t r;
            std::memcpy(&r, &f, 4);
            raw = r;
        } else {
            std::memcpy(&raw, &v, 8);
        }
        writeUnsigned(raw, n);
    }
};

class StringRegNode : public RegisterNode {
public:
    using RegisterNode::RegisterNode;
    Interface interface() const override { return Interface::String; }

protected:
    std::string getString() const override {
        const std::vector<uint8_t> b = readBytes(length(1, kMaxStringLength));
        const auto end = std::find(b.begin(), b.end(), uint8_t{0});
        return std::string(b.begin(), end);
    }
    void doSetString(const std::string& v) override {
        const size_t n = length(1, kMaxStringLength);
        if (v.size() > n)
            fail("'" + v + "' has " + std::to_string(v.size()) + " characters; the camera holds at most " +
                 std::to_string(n));
        if (v.find('\0') != std::string::npos) fail("a string cannot hold a NUL character");
        std::vector<uint8_t> b(n, 0);
        std::memcpy(b.data(), v.data(), v.size());
        writeBytes(b);
    }
};

// ---------------------------------------------------------------------------------------
// Formula nodes.

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

// ---------------------------------------------------------------------------------------

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

class PortNode : public Base {
public:
    using Base::Base;
    Interface interface() const override { return Interface::Port; }

protected:
    Access baseAccess() const override { return Access::RW; }
};

class UnsupportedNode : public Base {
public:
    using Base::Base;
    Interface interface() const override { return Interface::Unsupported; }

protected:
    Access baseAccess() const override { return Access::NA; }
};

}  // namespace

std::unique_ptr<Node> makeNode(NodeMap& map, const std::string& type, const std::string& name, const Props& props) {
    if (type == "Category") return std::make_unique<CategoryNode>(map, name, type, props);
    if (type == "Integer") return std::make_unique<IntegerNode>(map, name, type, props);
    if (type == "Float") return std::make_unique<FloatNode>(map, name, type, props);
    if (type == "Boolean") return std::make_unique<BooleanNode>(map, name, type, props);
    if (type == "Enumeration") return std::make_unique<EnumerationNode>(map, name, type, props);
    if (type == "EnumEntry") return std::make_unique<EnumEntryNode>(map, name, type, props);
    if (type == "Command") return std::make_unique<CommandNode>(map, name, type, props);
    if (type == "String") return std::make_unique<StringNode>(map, name, type, props);
    if (type == "IntReg") return std::make_unique<IntRegNode>(map, name, type, props);
    if (type == "MaskedIntReg" || type == "StructEntry") return std::make_unique<MaskedIntRegNode>(map, name, type, props);
    if (type == "FloatReg") return std::make_unique<FloatRegNode>(map, name, type, props);
    if (type == "StringReg") return std::make_unique<StringRegNode>(map, name, type, props);
    if (type == "IntSwissKnife" || type == "SwissKnife") return std::make_unique<SwissKnifeNode>(map, name, type, props);
    if (type == "IntConverter" || type == "Converter") return std::make_unique<ConverterNode>(map, name, type, props);
    if (type == "Port") return std::make_unique<PortNode>(map, name, type, props);
    return std::make_unique<UnsupportedNode>(map, name, type, props);
}

}  // namespace genicam
