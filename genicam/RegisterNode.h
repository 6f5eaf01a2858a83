// Internal: the registers: bytes at an address of a port, the address being the sum of
// every <Address>, <pAddress> (inline IntSwissKnife included) and <pIndex> term.
#pragma once

#include "NodeBase.h"

namespace genicam::detail {

class RegisterNode : public Base {
public:
    RegisterNode(NodeMap& map, const std::string& name, const std::string& type, const Props& props);

    // The address as far as it is fixed, and the length the file gives, for the cache.
    void forget() const;

protected:
    Access baseAccess() const override;
    uint64_t address() const;
    size_t length(int64_t lo, int64_t hi) const;
    size_t getLength() const override { return length(1, kMaxRegisterLength); }
    std::vector<uint8_t> getBytes() const override { return readBytes(getLength()); }
    void doSetBytes(const std::vector<uint8_t>& bytes) override;

    // The Port node named by <pPort>, or null for the camera's own.
    const PortNode* portNode() const;
    std::vector<uint8_t> readBytes(size_t n) const;
    void writeBytes(const std::vector<uint8_t>& bytes);
    uint64_t readUnsigned(size_t n) const;
    void writeUnsigned(uint64_t v, size_t n);

    // Limits and value of a field of `width` bits.
    int64_t fieldMin(unsigned width) const;
    int64_t fieldMax(unsigned width) const;
    int64_t fieldValue(uint64_t raw, unsigned width) const;

    Source length_;
    Access access_;
    std::string accessText_;
    std::string port_;
    bool bigEndian_;
    bool signed_;
    NodeMap::Caching caching_ = NodeMap::Caching::WriteThrough;
    std::string cachingText_;

private:
    struct Index {
        std::string node;
        std::string offset, pOffset;  // as written; neither: the register's length
    };
    std::vector<std::string> addresses_, pAddresses_;
    std::vector<Index> indexes_;
    // Where the cache holds this register's bytes, for <pInvalidator>.
    mutable std::vector<std::pair<uint64_t, size_t>> cached_;
};

}  // namespace genicam::detail
