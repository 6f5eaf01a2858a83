// The feature engine on a description file as a camera might send it, then every feature
// used as a listing and a user would use it, over a register space filled from the same
// input; an input starting with '=' is a formula instead. The engine's promises: every
// refusal is a genicam::Error with a message, reads stay within what the file asks
// (1 byte to 1 MiB a register), evaluation ends (the step budget, libFuzzer's timeout),
// and the sanitizers see no read outside a buffer.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "Formula.h"
#include "NodeBase.h"
#include "genicam/NodeMap.h"

namespace {

[[noreturn]] void broken(const char* what) {
    std::fprintf(stderr, "check failed: %s\n", what);
    std::abort();
}

// 4 KiB of registers, the input's first bytes, seen again every 4 KiB up to 4 GiB; above
// that nothing.
class FuzzPort : public genicam::Port {
public:
    static constexpr size_t kSize = 4096;
    explicit FuzzPort(std::string_view seed) {
        for (size_t i = 0; i < kSize; ++i) bytes_[i] = seed.empty() ? 0 : static_cast<uint8_t>(seed[i % seed.size()]);
    }
    void read(uint64_t address, uint8_t* data, size_t length) override {
        check(address, length);
        for (size_t i = 0; i < length; ++i) data[i] = bytes_[(address + i) % kSize];
    }
    void write(uint64_t address, const uint8_t* data, size_t length) override {
        check(address, length);
        for (size_t i = 0; i < length; ++i) bytes_[(address + i) % kSize] = data[i];
    }

private:
    static void check(uint64_t address, size_t length) {
        if (length == 0 || length > (1u << 20)) broken("a register access of a length the engine refuses");
        if (address >= (uint64_t{1} << 32) || length > (uint64_t{1} << 32) - address)
            throw genicam::Error("no register there");
    }
    uint8_t bytes_[kSize];
};

template <class F>
void guarded(F f) {
    try {
        f();
    } catch (const genicam::Error& e) {
        if (e.what()[0] == '\0') broken("an error without a message");
    }
}

void useFormula(std::string_view text) {
    guarded([&] {
        const genicam::Formula f(text);
        int calls = 0;
        auto intOf = [&](std::string_view name) -> int64_t {
            // Each name written is looked up once at most: a name takes a character of text.
            if (++calls > static_cast<int>(text.size())) broken("a formula looked up more names than it holds");
            if (name == "Z") throw genicam::Error("no such name");
            return static_cast<int64_t>(name.size()) - 3;
        };
        guarded([&] { f.evalInt(intOf); });
        calls = 0;
        guarded([&] { f.evalFloat([&](std::string_view n) { return static_cast<double>(intOf(n)) / 3; }); });
    });
}

void useNode(genicam::NodeMap& map, genicam::Node& n, bool write) {
    using genicam::Interface;
    guarded([&] { n.access(); });
    guarded([&] { n.valueText(); });
    guarded([&] { n.entries(); });
    guarded([&] { n.selector(), n.indexedValues(); });
    switch (n.interface()) {
    case Interface::Integer: guarded([&] { n.intMin(), n.intMax(), n.intInc(); }); break;
    case Interface::Float: guarded([&] { n.floatMin(), n.floatMax(); }); break;
    case Interface::Register: guarded([&] { n.byteLength(); }); break;
    case Interface::Command: guarded([&] { n.isDone(); }); break;
    default: break;
    }
    if (!write) return;
    switch (n.interface()) {
    case Interface::Command: guarded([&] { n.execute(); }); break;
    case Interface::Enumeration:
        guarded([&] {
            const std::vector<std::string> e = n.entries();
            n.setText(e.empty() ? "Off" : e.back());
        });
        break;
    case Interface::Register: guarded([&] { n.setBytes(std::vector<uint8_t>(n.byteLength(), 0x5A)); }); break;
    case Interface::Category:
    case Interface::Port:
    case Interface::Unsupported: break;
    default: guarded([&] { n.setText("1"); });
    }
    (void)map;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string_view input(reinterpret_cast<const char*>(data), size);
    if (!input.empty() && input[0] == '=') {
        useFormula(input.substr(1));
        return 0;
    }
    FuzzPort port(input.substr(0, 4096));
    std::unique_ptr<genicam::NodeMap> map;
    try {
        map = genicam::NodeMap::parse(input, port);
    } catch (const genicam::Error& e) {
        if (e.what()[0] == '\0') broken("a refused file without a message");
        return 0;
    }
    // Chunk and event data for every such port: part of the input, so its length varies.
    for (genicam::Node* n : map->nodes()) {
        const auto* p = dynamic_cast<const genicam::detail::PortNode*>(n);
        if (p == nullptr || p->kind() == genicam::detail::PortNode::Kind::Camera) continue;
        std::vector<uint8_t> bytes(data, data + std::min<size_t>(size, p->id() % 64));
        if (p->kind() == genicam::detail::PortNode::Kind::Chunk) map->attachChunk(p->id(), bytes);
        else map->attachEvent(p->id(), bytes);
    }
    const size_t limit = 4000;  // nodes used per input, so that each run stays short
    {
        genicam::NodeMap::Cache cache(*map);
        size_t used = 0;
        for (genicam::Node* n : map->nodes()) {
            if (++used > limit) break;
            useNode(*map, *n, false);
        }
    }
    size_t used = 0;
    for (genicam::Node* n : map->nodes()) {
        if (++used > limit) break;
        useNode(*map, *n, true);
    }
    const genicam::NodeMap::Stats s = map->stats();
    if (s.distinctReads > s.reads) broken("more distinct registers than reads");
    return 0;
}
