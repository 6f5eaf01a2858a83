// A URB as the kernel holds it between SUBMITURB and its reaping. Its buffer is the
// kernel's own copy of the program's: OUT data was taken at submission, IN data reaches
// the program only when the URB is reaped, and only as far as it arrived. Nothing of the
// program's buffer is written while the URB is submitted: the program may free it as soon
// as it has reaped the URB, possibly before the submitting call has returned.
#pragma once

#include <umockdev.h>

#include <cstdint>
#include <vector>

#include "device/Endpoint.h"

namespace vcam::usbfs {

class OpenFile;

class Urb final : public InRequest {
public:
    // Takes the reference to `data` (the URB struct, with the buffer resolved under it).
    // `buffer` (or null): the program's buffer resolved at submission, kept for the answer.
    Urb(OpenFile& file, UMockdevIoctlData* data, UMockdevIoctlData* buffer, std::vector<uint8_t>&& bytes,
        size_t charged);
    ~Urb() override;

    OpenFile& file() { return file_; }
    gulong clientAddress() const { return clientAddress_; }
    uint8_t type() const { return type_; }
    uint8_t endpoint() const { return endpoint_; }
    unsigned flags() const { return flags_; }
    bool continuation() const;
    size_t charged() const { return charged_; }
    Endpoint* waitingOn() const { return waitingOn_; }
    void setWaitingOn(Endpoint* ep) { waitingOn_ = ep; }

    // Device-side outcome of a read (under the world lock).
    void finish(IoStatus status, int actual, std::vector<uint8_t>&& data) override;
    // Completes with an errno-style status (0 or negative) and a length.
    void complete(int status, int actual);
    int status() const { return status_; }

    // Writes status and length into the URB struct and points the reap argument at it;
    // umockdev copies the struct and the buffer back into the program.
    bool deliver(UMockdevIoctlData* reapArg);

private:
    OpenFile& file_;
    UMockdevIoctlData* data_;
    UMockdevIoctlData* buffer_;
    std::vector<uint8_t> bytes_;  // the kernel's copy of the buffer
    gulong clientAddress_;
    uint8_t type_, endpoint_;
    unsigned flags_;
    size_t charged_;
    Endpoint* waitingOn_ = nullptr;
    int status_ = 0;
    int actual_ = 0;
};

}  // namespace vcam::usbfs
