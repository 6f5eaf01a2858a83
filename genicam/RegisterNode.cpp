#include "RegisterNode.h"

namespace genicam::detail {

RegisterNode::RegisterNode(NodeMap& map, const std::string& name, const std::string& type, const Props& props)
    : Base(map, name, type, props),
      length_(Source::of(props, "Length")),
      access_(accessMode(props.text("AccessMode"))),
      accessText_(props.text("AccessMode")),
      port_(props.text("pPort")),
      bigEndian_(props.text("Endianess") == "BigEndian"),
      signed_(props.text("Sign") == "Signed"),
      cachingText_(props.text("Cachable")) {
    for (const Props::Item* i : props.all("Address")) addresses_.push_back(i->text);
    for (const Props::Item* i : props.all("pAddress")) pAddresses_.push_back(i->text);
    for (const Props::Item* i : props.all("pIndex")) {
        Index index{i->text, {}, {}};
        if (const std::string* o = i->attribute("Offset")) index.offset = *o;
        if (const std::string* o = i->attribute("pOffset")) index.pOffset = *o;
        indexes_.push_back(std::move(index));
    }
    if (cachingText_ == "NoCache") caching_ = NodeMap::Caching::NoCache;
    else if (cachingText_ == "WriteAround") caching_ = NodeMap::Caching::WriteAround;
    for (const Props::Item* i : props.all("pInvalidator")) map.invalidators_[i->text].push_back(this);
}

Access RegisterNode::baseAccess() const {
    if (!accessText_.empty() && accessText_ != "RO" && accessText_ != "RW" && accessText_ != "WO")
        fail("<AccessMode> is '" + accessText_ + "'; it must be RO, WO or RW");
    if (const PortNode* p = portNode(); p != nullptr && p->kind() != PortNode::Kind::Camera) {
        if (p->data() == nullptr) return Access::NA;
        return access_ == Access::WO ? Access::NA : Access::RO;
    }
    return access_;
}

uint64_t RegisterNode::address() const {
    if (addresses_.empty() && pAddresses_.empty() && indexes_.empty()) fail("has no <Address>");
    uint64_t a = 0;
    for (const std::string& text : addresses_) {
        int64_t v = 0;
        if (!parseInt(text, v)) fail("<Address> holds '" + text + "', which is not an integer");
        a += static_cast<uint64_t>(v);
    }
    for (const std::string& n : pAddresses_) a += static_cast<uint64_t>(intOf(ref(n, "pAddress")));
    for (const Index& i : indexes_) {
        const int64_t index = intOf(ref(i.node, "pIndex"));
        int64_t offset = 0;
        if (!i.pOffset.empty()) offset = intOf(ref(i.pOffset, "pOffset"));
        else if (!i.offset.empty()) {
            if (!parseInt(i.offset, offset)) fail("<pIndex> Offset '" + i.offset + "' is not an integer");
        } else {
            offset = static_cast<int64_t>(length(1, kMaxRegisterLength));
        }
        a += static_cast<uint64_t>(index) * static_cast<uint64_t>(offset);
    }
    return a;
}

size_t RegisterNode::length(int64_t lo, int64_t hi) const {
    if (!length_.present()) fail("has no <Length>");
    const int64_t n = intFrom(length_);
    if (n < lo || n > hi)
        fail("<Length> is " + std::to_string(n) + "; it must be " + std::to_string(lo) + " to " + std::to_string(hi));
    return static_cast<size_t>(n);
}

const PortNode* RegisterNode::portNode() const {
    if (port_.empty()) return nullptr;
    const auto* p = dynamic_cast<const PortNode*>(&ref(port_, "pPort"));
    if (p == nullptr) fail("<pPort> names '" + port_ + "', which is no Port");
    return p;
}

std::vector<uint8_t> RegisterNode::readBytes(size_t n) const {
    std::vector<uint8_t> bytes(n);
    const uint64_t at = address();
    const PortNode* p = portNode();
    if (p == nullptr || p->kind() == PortNode::Kind::Camera) {
        map_.readCamera(at, bytes.data(), n, caching_);
        const std::pair<uint64_t, size_t> span{at, n};
        if (caching_ != NodeMap::Caching::NoCache && map_.cacheScopes_ > 0 &&
            std::find(cached_.begin(), cached_.end(), span) == cached_.end())
            cached_.push_back(span);
        return bytes;
    }
    const std::vector<uint8_t>* data = p->data();
    if (data == nullptr)
        fail("needs " + std::string(p->what()) + " data (port " + p->name() + "), and none is attached");
    if (at > data->size() || n > data->size() - at)
        fail("lies at bytes " + std::to_string(at) + " to " + std::to_string(at + n - 1) + " of " + p->what() + " " +
             p->name() + ", which holds " + std::to_string(data->size()));
    std::copy(data->begin() + static_cast<long>(at), data->begin() + static_cast<long>(at + n), bytes.begin());
    return bytes;
}

void RegisterNode::writeBytes(const std::vector<uint8_t>& bytes) {
    const uint64_t at = address();
    const PortNode* p = portNode();
    if (p != nullptr && p->kind() != PortNode::Kind::Camera)
        fail("lies in " + std::string(p->what()) + " data, which cannot be written");
    map_.writeCamera(at, bytes.data(), bytes.size(), caching_);
}

void RegisterNode::doSetBytes(const std::vector<uint8_t>& bytes) {
    const size_t n = getLength();
    if (bytes.size() != n)
        fail("holds " + std::to_string(n) + " bytes; " + std::to_string(bytes.size()) + " were given");
    writeBytes(bytes);
}

void RegisterNode::forget() const {
    for (const auto& [at, n] : cached_) map_.drop(at, n);
    cached_.clear();
}

uint64_t RegisterNode::readUnsigned(size_t n) const {
    const std::vector<uint8_t> b = readBytes(n);
    uint64_t v = 0;
    for (size_t i = 0; i < n; ++i) v |= static_cast<uint64_t>(b[bigEndian_ ? n - 1 - i : i]) << (8 * i);
    return v;
}

void RegisterNode::writeUnsigned(uint64_t v, size_t n) {
    std::vector<uint8_t> b(n);
    for (size_t i = 0; i < n; ++i) b[bigEndian_ ? n - 1 - i : i] = static_cast<uint8_t>(v >> (8 * i));
    writeBytes(b);
}

int64_t RegisterNode::fieldMin(unsigned width) const {
    return signed_ ? (width == 64 ? kIntMin : -(int64_t{1} << (width - 1))) : 0;
}

int64_t RegisterNode::fieldMax(unsigned width) const {
    if (signed_) return width == 64 ? kIntMax : (int64_t{1} << (width - 1)) - 1;
    return width >= 63 ? kIntMax : (int64_t{1} << width) - 1;  // unsigned 64-bit shows as int64
}

int64_t RegisterNode::fieldValue(uint64_t raw, unsigned width) const {
    const uint64_t mask = width == 64 ? ~uint64_t{0} : (uint64_t{1} << width) - 1;
    raw &= mask;
    if (signed_ && width < 64 && (raw >> (width - 1)) & 1) raw |= ~mask;
    return static_cast<int64_t>(raw);
}

}  // namespace genicam::detail
