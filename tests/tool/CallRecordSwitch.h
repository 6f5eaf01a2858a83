// The virtual camera's call record may be off unless asked for; where the switch exists it
// is turned on, where it does not the record is always on.
#pragma once

namespace vcam {
void setCallRecord(bool on) __attribute__((weak));
}

inline void recordUsbCalls() {
    if (vcam::setCallRecord != nullptr) vcam::setCallRecord(true);
}
