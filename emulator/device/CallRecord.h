// The record of libusb calls. Adding sits on the data path, so an entry keeps the
// function name as a pointer to a literal and takes its data vector by move; the public
// form is built only when someone asks. Guarded by the world lock.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <vector>

#include "vcam/vcam.h"

namespace vcam {

struct CallEntry {
    const char* function = "";  // a string literal
    int device = 0;
    uint8_t endpoint = 0;
    int interface = -1;
    int length = 0;
    unsigned timeoutMs = 0;
    std::vector<uint8_t> data;
    int result = 0;
    int transferred = 0;
};

// The record is off unless a test or the configuration turns it on: a process streaming
// for hours cannot afford it.
bool callRecordOn();
void setCallRecordOn(bool on);
// Bytes kept of a stream or event transfer.
inline constexpr size_t kRecordedHead = 64;

class CallRecord {
public:
    // A process that streams for hours must not grow without bound: past these limits the
    // oldest entries are dropped.
    static constexpr size_t kMaxEntries = size_t{1} << 20;
    static constexpr size_t kMaxDataBytes = size_t{128} << 20;

    void add(CallEntry&& entry);
    std::vector<UsbCall> snapshot() const;
    void clear();

private:
    std::deque<CallEntry> entries_;
    size_t dataBytes_ = 0;
};

}  // namespace vcam
