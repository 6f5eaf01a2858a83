// The clock behind vcam::sourceCost: the CPU time sources spend writing transfers into
// reads, measured on the thread that asks them (a reader's, or the wake timer's).
#pragma once

#include <cstdint>

namespace vcam::sourcecost {

bool on();
uint64_t threadNs();  // the calling thread's CPU clock
void add(uint64_t ns, uint64_t bytes);

}  // namespace vcam::sourcecost
