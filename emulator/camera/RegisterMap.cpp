#include "camera/RegisterMap.h"

#include <algorithm>
#include <cstring>
#include <stdexcept>

#include "camera/GenCpPackets.h"

namespace vcam {

void RegisterMap::add(Region region) {
    if (region.size == 0 || region.address + region.size < region.address)
        throw std::logic_error("register region out of range");
    auto next = regions_.lower_bound(region.address);
    if (next != regions_.end() && next->first < region.address + region.size)
        throw std::logic_error("register regions overlap");
    if (next != regions_.begin()) {
        const Region& before = std::prev(next)->second;
        if (before.address + before.size > region.address)
            throw std::logic_error("register regions overlap");
    }
    region.bytes.assign(region.size, 0);
    uint64_t address = region.address;
    regions_.emplace(address, std::move(region));
}

void RegisterMap::addRegister(uint64_t address, uint32_t size, Access access, uint64_t initial,
                              RegisterHooks hooks) {
    if (size == 0 || size > 8) throw std::logic_error("numeric register of 1 to 8 bytes");
    Region r;
    r.address = address;
    r.size = size;
    r.access = access;
    r.numeric = true;
    r.hooks = std::move(hooks);
    add(std::move(r));
    setValue(address, initial);
}

void RegisterMap::addString(uint64_t address, uint32_t size, Access access, std::string_view text) {
    Region r;
    r.address = address;
    r.size = size;
    r.access = access;
    add(std::move(r));
    Region& added = regions_.at(address);
    size_t n = std::min<size_t>(text.size(), size - 1);
    std::memcpy(added.bytes.data(), text.data(), n);
}

void RegisterMap::addMemory(uint64_t address, uint64_t size, Access access) {
    Region r;
    r.address = address;
    r.size = size;
    r.access = access;
    add(std::move(r));
}

template <class Map, class R>
bool RegisterMap::cover(Map& regions, uint64_t address, size_t length,
                        std::vector<Piece<R>>& pieces) {
    pieces.clear();
    if (length == 0) {
        // An empty access still has to name a mapped address.
        auto it = regions.upper_bound(address);
        if (it == regions.begin()) return false;
        --it;
        return address < it->second.address + it->second.size;
    }
    if (address + length < address) return false;
    uint64_t at = address;
    size_t done = 0;
    auto it = regions.upper_bound(at);
    if (it == regions.begin()) return false;
    --it;
    while (done < length) {
        if (it == regions.end()) return false;
        R& r = it->second;
        if (at < r.address || at >= r.address + r.size) return false;
        uint64_t offset = at - r.address;
        uint64_t n = std::min<uint64_t>(r.size - offset, length - done);
        pieces.push_back(Piece<R>{&r, offset, n, done});
        at += n;
        done += n;
        ++it;
    }
    return true;
}

uint16_t RegisterMap::read(uint64_t address, uint8_t* out, size_t length) const {
    std::vector<Piece<const Region>> pieces;
    if (!cover(regions_, address, length, pieces)) return gencp::status::kInvalidAddress;
    for (const auto& p : pieces) {
        if (p.region->access == Access::WriteOnly)
            std::memset(out + p.dataOffset, 0, p.length);
        else
            std::memcpy(out + p.dataOffset, p.region->bytes.data() + p.offset, p.length);
    }
    return gencp::status::kSuccess;
}

uint16_t RegisterMap::write(uint64_t address, const uint8_t* data, size_t length) {
    std::vector<Piece<Region>> pieces;
    if (!cover(regions_, address, length, pieces)) return gencp::status::kInvalidAddress;
    for (const auto& p : pieces)
        if (p.region->access == Access::ReadOnly) return gencp::status::kWriteProtect;

    // Every touched register vets its would-be value before any byte is stored, so that a
    // refused write leaves the camera as it was.
    std::vector<uint64_t> newValues(pieces.size(), 0);
    for (size_t i = 0; i < pieces.size(); ++i) {
        const auto& p = pieces[i];
        if (!p.region->numeric) continue;
        uint8_t merged[8];
        std::memcpy(merged, p.region->bytes.data(), p.region->size);
        std::memcpy(merged + p.offset, data + p.dataOffset, p.length);
        newValues[i] = gencp::getLe(merged, p.region->size);
        if (p.region->hooks.check) {
            uint16_t status = p.region->hooks.check(newValues[i]);
            if (status != gencp::status::kSuccess) return status;
        }
    }
    for (const auto& p : pieces)
        std::memcpy(p.region->bytes.data() + p.offset, data + p.dataOffset, p.length);
    for (size_t i = 0; i < pieces.size(); ++i)
        if (pieces[i].region->numeric && pieces[i].region->hooks.apply)
            pieces[i].region->hooks.apply(newValues[i]);
    return gencp::status::kSuccess;
}

bool RegisterMap::peek(uint64_t address, uint8_t* out, size_t length) const {
    std::vector<Piece<const Region>> pieces;
    if (!cover(regions_, address, length, pieces)) return false;
    for (const auto& p : pieces)
        std::memcpy(out + p.dataOffset, p.region->bytes.data() + p.offset, p.length);
    return true;
}

bool RegisterMap::poke(uint64_t address, const uint8_t* data, size_t length) {
    std::vector<Piece<Region>> pieces;
    if (!cover(regions_, address, length, pieces)) return false;
    for (const auto& p : pieces)
        std::memcpy(p.region->bytes.data() + p.offset, data + p.dataOffset, p.length);
    return true;
}

RegisterMap::Region& RegisterMap::numericRegion(uint64_t address) {
    auto it = regions_.find(address);
    if (it == regions_.end() || !it->second.numeric) throw std::logic_error("no such register");
    return it->second;
}

const RegisterMap::Region& RegisterMap::numericRegion(uint64_t address) const {
    auto it = regions_.find(address);
    if (it == regions_.end() || !it->second.numeric) throw std::logic_error("no such register");
    return it->second;
}

uint64_t RegisterMap::value(uint64_t address) const {
    const Region& r = numericRegion(address);
    return gencp::getLe(r.bytes.data(), r.size);
}

void RegisterMap::setValue(uint64_t address, uint64_t value) {
    Region& r = numericRegion(address);
    gencp::putLe(r.bytes.data(), value, r.size);
}

}  // namespace vcam
