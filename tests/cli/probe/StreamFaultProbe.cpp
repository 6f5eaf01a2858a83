// Preloaded into a program under test (a tool, gst-launch-1.0): spoils the stream of the
// first camera of the configured world as the environment says.
//   VCAM_PROBE_UNPLUG_AFTER_IMAGES=N   the camera sends N images, then leaves the bus in
//                                      the middle of the next one
#include <cstdlib>

#include "vcam/vcam.h"

namespace {

__attribute__((constructor)) void spoilStream() {
    const char* after = std::getenv("VCAM_PROBE_UNPLUG_AFTER_IMAGES");
    if (after == nullptr) return;
    vcam::StreamFault fault;
    fault.kind = vcam::StreamFaultKind::Unplug;
    fault.skip = std::atoi(after);
    fault.transfer = 0;
    vcam::addStreamFault(1, fault);
}

}  // namespace
