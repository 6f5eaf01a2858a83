#include "device/SourceCost.h"

#include <time.h>

#include <atomic>

#include "vcam/vcam.h"

namespace vcam {

namespace {
std::atomic<bool> clockOn{false};
std::atomic<uint64_t> transfers{0}, bytesWritten{0}, spentNs{0};
}  // namespace

namespace sourcecost {

bool on() { return clockOn.load(std::memory_order_relaxed); }

uint64_t threadNs() {
    timespec t{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return static_cast<uint64_t>(t.tv_sec) * 1000000000u + static_cast<uint64_t>(t.tv_nsec);
}

void add(uint64_t ns, uint64_t bytes) {
    transfers.fetch_add(1, std::memory_order_relaxed);
    bytesWritten.fetch_add(bytes, std::memory_order_relaxed);
    spentNs.fetch_add(ns, std::memory_order_relaxed);
}

}  // namespace sourcecost

void setSourceCostClock(bool on) {
    if (on) {
        transfers = 0;
        bytesWritten = 0;
        spentNs = 0;
    }
    clockOn = on;
}

SourceCost sourceCost() {
    SourceCost cost;
    cost.transfers = transfers.load();
    cost.bytes = bytesWritten.load();
    cost.cpuSeconds = static_cast<double>(spentNs.load()) / 1e9;
    return cost;
}

}  // namespace vcam
