// The camera's address space as a table of regions: numeric registers (1 to 8 bytes,
// little-endian), string registers and plain memory. Bytes that no region covers are
// unmapped. Side effects of a write hang off the register as hooks, so that features
// added later (streaming, events, firmware download) slot in without touching the
// protocol code.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <string_view>
#include <vector>

namespace vcam {

enum class Access { ReadOnly, ReadWrite, WriteOnly };

struct RegisterHooks {
    // Vets the value a write would leave in the register; a non-zero GenCP status refuses
    // the whole write before anything is stored.
    std::function<uint16_t(uint64_t value)> check;
    // Runs after the write has been stored, with the register's new value.
    std::function<void(uint64_t value)> apply;
};

class RegisterMap {
public:
    void addRegister(uint64_t address, uint32_t size, Access access, uint64_t initial = 0,
                     RegisterHooks hooks = {});
    // NUL-padded; text longer than size - 1 is cut so that a terminator always remains.
    void addString(uint64_t address, uint32_t size, Access access, std::string_view text);
    void addMemory(uint64_t address, uint64_t size, Access access);

    // Host accesses: GenCP status.
    uint16_t read(uint64_t address, uint8_t* out, size_t length) const;
    uint16_t write(uint64_t address, const uint8_t* data, size_t length);

    // Backdoor: any mapped byte, no access rules, no hooks.
    bool peek(uint64_t address, uint8_t* out, size_t length) const;
    bool poke(uint64_t address, const uint8_t* data, size_t length);

    // The firmware's own view of a numeric register (no hooks).
    uint64_t value(uint64_t address) const;
    void setValue(uint64_t address, uint64_t value);

private:
    struct Region {
        uint64_t address = 0;
        uint64_t size = 0;
        Access access = Access::ReadOnly;
        bool numeric = false;
        RegisterHooks hooks;
        std::vector<uint8_t> bytes;
    };
    template <class R>
    struct Piece {  // the part of one region that an access touches
        R* region;
        uint64_t offset;
        uint64_t length;
        size_t dataOffset;
    };

    void add(Region region);
    // The regions covering [address, address + length) in order; false if any byte is
    // unmapped (or the range wraps around the address space).
    template <class Map, class R>
    static bool cover(Map& regions, uint64_t address, size_t length, std::vector<Piece<R>>& pieces);
    Region& numericRegion(uint64_t address);
    const Region& numericRegion(uint64_t address) const;

    std::map<uint64_t, Region> regions_;
};

}  // namespace vcam
