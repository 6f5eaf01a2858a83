// The feature engine on a large generated description file: load time against Aravis'
// GenICam loader on the same file (when built with it, as a black box), and the register
// reads one full listing costs against the distinct registers it touches.
// Prints `name: value` lines.  GenicamLoadBench [--blocks N] [--write FILE]
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <set>
#include <string>
#include <vector>

#include "GenicamFileGenerator.h"
#include "genicam/NodeMap.h"

#ifdef TESSORAL_HAVE_ARAVIS
#include <arv.h>
#endif

namespace {

class MemoryPort : public genicam::Port {
public:
    std::vector<uint8_t> bytes = std::vector<uint8_t>(0x10000, 0);
    uint64_t reads = 0;
    void read(uint64_t address, uint8_t* data, size_t length) override {
        check(address, length);
        ++reads;
        std::memcpy(data, bytes.data() + (address - genfile::kRegisterBase), length);
    }
    void write(uint64_t address, const uint8_t* data, size_t length) override {
        check(address, length);
        std::memcpy(bytes.data() + (address - genfile::kRegisterBase), data, length);
    }

private:
    void check(uint64_t address, size_t length) const {
        if (address < genfile::kRegisterBase || address - genfile::kRegisterBase + length > bytes.size())
            throw genicam::Error("no register there");
    }
};

template <class F>
double ms(F f) {
    const auto start = std::chrono::steady_clock::now();
    f();
    return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
}

double median(std::vector<double> t) {
    std::sort(t.begin(), t.end());
    return t[t.size() / 2];
}

// What u3v-feature does for each feature of a listing: its access, and its value when readable.
void list(const genicam::NodeMap& map, const genicam::Node& n, std::set<std::string>& seen, int& failures) {
    if (n.interface() == genicam::Interface::Category) {
        if (!seen.insert(n.name()).second) return;
        for (const std::string& f : n.features())
            if (const genicam::Node* c = map.find(f)) list(map, *c, seen, failures);
        return;
    }
    if (n.interface() == genicam::Interface::Unsupported) return;
    try {
        const genicam::Access a = n.access();
        if (n.interface() != genicam::Interface::Command && (a == genicam::Access::RO || a == genicam::Access::RW))
            n.valueText();
    } catch (const genicam::Error&) {
        ++failures;
    }
}

}  // namespace

int main(int argc, char** argv) {
    int blocks = 240;
    std::string writeTo;
    for (int i = 1; i < argc; ++i) {
        if (!std::strcmp(argv[i], "--blocks") && i + 1 < argc) blocks = std::max(1, std::atoi(argv[++i]));
        else if (!std::strcmp(argv[i], "--write") && i + 1 < argc) writeTo = argv[++i];
        else {
            std::fprintf(stderr, "usage: GenicamLoadBench [--blocks N] [--write FILE]\n");
            return 2;
        }
    }
    const std::string xml = genfile::cameraFile(blocks);
    if (!writeTo.empty()) {
        std::ofstream(writeTo, std::ios::binary) << xml;
        return 0;
    }
    MemoryPort port;
    auto map = genicam::NodeMap::parse(xml, port);
    std::printf("genicam_file_bytes: %zu\n", xml.size());
    std::printf("genicam_file_nodes: %zu\n", map->nodes().size());

    // Engine and peer take turns, so that a busy machine slows both alike.
    const int runs = 15;
    std::vector<double> engineRuns, peerRuns;
    for (int i = 0; i < runs; ++i) {
        engineRuns.push_back(ms([&] { genicam::NodeMap::parse(xml, port); }));
#ifdef TESSORAL_HAVE_ARAVIS
        peerRuns.push_back(ms([&] {
            ArvGc* gc = arv_gc_new(nullptr, xml.data(), xml.size());
            if (gc == nullptr) std::fprintf(stderr, "the peer did not load the file\n");
            else g_object_unref(gc);
        }));
#endif
    }
    const double engine = median(engineRuns);
    std::printf("genicam_engine_load_ms: %.2f\n", engine);
#ifdef TESSORAL_HAVE_ARAVIS
    const double peer = median(peerRuns);
    std::printf("genicam_aravis_load_ms: %.2f\n", peer);
    std::printf("genicam_engine_to_aravis_load_ratio: %.2f\n", engine / peer);
#else
    std::printf("genicam_aravis_load_ms: (not built with Aravis)\n");
#endif

    int failures = 0;
    std::set<std::string> seen;
    port.reads = 0;
    list(*map, *map->root(), seen, failures);
    std::printf("genicam_listing_reads_uncached: %llu\n", static_cast<unsigned long long>(port.reads));
    map->resetStats();
    {
        genicam::NodeMap::Cache cache(*map);
        seen.clear();
        failures = 0;
        list(*map, *map->root(), seen, failures);
    }
    const genicam::NodeMap::Stats s = map->stats();
    std::printf("genicam_listing_reads: %llu\n", static_cast<unsigned long long>(s.reads));
    std::printf("genicam_listing_distinct_registers: %zu\n", s.distinctReads);
    std::printf("genicam_listing_features_failed: %d\n", failures);
    return 0;
}
