// The register types: IntReg, MaskedIntReg (and StructEntry), FloatReg, StringReg and
// Register, the raw bytes.
#include <cstring>

#include "RegisterNode.h"

namespace genicam::detail {

namespace {

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
        const size_t n = length(1, kMaxRegisterLength);
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
        const std::vector<uint8_t> b = readBytes(length(1, kMaxRegisterLength));
        const auto end = std::find(b.begin(), b.end(), uint8_t{0});
        return std::string(b.begin(), end);
    }
    void doSetString(const std::string& v) override {
        const size_t n = length(1, kMaxRegisterLength);
        if (v.size() > n)
            fail("'" + v + "' has " + std::to_string(v.size()) + " characters; the camera holds at most " +
                 std::to_string(n));
        if (v.find('\0') != std::string::npos) fail("a string cannot hold a NUL character");
        std::vector<uint8_t> b(n, 0);
        std::memcpy(b.data(), v.data(), v.size());
        writeBytes(b);
    }
};


// Raw bytes (a lookup table, a file access buffer): read and written whole.
class ByteRegisterNode : public RegisterNode {
public:
    using RegisterNode::RegisterNode;
    Interface interface() const override { return Interface::Register; }
};

}  // namespace

std::unique_ptr<Node> makeRegisterNode(NodeMap& map, const std::string& type, const std::string& name,
                                       const Props& props) {
    if (type == "IntReg") return std::make_unique<IntRegNode>(map, name, type, props);
    if (type == "MaskedIntReg" || type == "StructEntry") return std::make_unique<MaskedIntRegNode>(map, name, type, props);
    if (type == "FloatReg") return std::make_unique<FloatRegNode>(map, name, type, props);
    if (type == "StringReg") return std::make_unique<StringRegNode>(map, name, type, props);
    if (type == "Register") return std::make_unique<ByteRegisterNode>(map, name, type, props);
    return nullptr;
}

}  // namespace genicam::detail
