#include "U3V_Control.h"

#include <algorithm>
#include <chrono>
#include <cstring>
#include <vector>

#include "BootstrapRegisters.h"
#include "DeviceLog.h"
#include "UsbLayer.h"

namespace tessoral {

using namespace control;

namespace {

// The camera's limit (minus the packet header) when it reported one, in whole 32-bit
// words so that split accesses stay aligned and never cut a register into bytes: a limit
// that leaves less than one word still gets one (the camera refuses it itself if it
// really cannot take it). 0 means not read yet: the library's buffers then.
uint16_t chunkLimit(uint32_t cameraMax, size_t header, uint16_t bufferLimit) {
    if (cameraMax == 0) return bufferLimit;
    uint32_t limit = cameraMax >= header + kMinPieceData
                         ? cameraMax - static_cast<uint32_t>(header)
                         : static_cast<uint32_t>(kMinPieceData);
    limit &= ~3u;
    return limit < bufferLimit ? static_cast<uint16_t>(limit) : bufferLimit;
}

using Clock = std::chrono::steady_clock;
using Ms = std::chrono::milliseconds;

// A wait the camera asks for, made one the USB layer can honour: 0 is the default (libusb
// would wait for ever), and nothing beyond kMaxAckWaitMs.
unsigned boundedWait(uint32_t ms) {
    if (ms == 0) return usb::kDefaultTimeoutMs;
    return static_cast<unsigned>(std::min<uint32_t>(ms, kMaxAckWaitMs));
}

// An acknowledge of one of the requests just before this one: its transaction gave up
// on it, and it arrived late.
bool isStale(uint16_t ackId, uint16_t requestId) {
    const auto back = static_cast<uint16_t>(requestId - ackId);
    return back >= 1 && back <= kStaleRequestWindow;
}

uint16_t transferFailed(DeviceHandle& d, uint8_t endpoint, int usbResult) {
    if (noteGone(d, usbResult)) return U3V_ERR_DEVICE_GONE;
    usb::clearHalt(d.UsbHandle, endpoint);
    return U3V_ERR_USB_TRANSFER;
}

uint16_t sendCommand(U3V_Control& c, const uint8_t* command, size_t size) {
    DeviceHandle& d = *c.pDevice;
    const int r = usb::bulkWrite(d.UsbHandle, d.ControlOutEndpoint, command,
                                 static_cast<int>(size), boundedWait(c.nTimeout));
    if (r < 0) return transferFailed(d, d.ControlOutEndpoint, r);
    return U3V_OK;
}

// Receives the acknowledge of requestId into the ack buffer: waits out pending
// acknowledges (whatever command they answer) and reads past late acknowledges of
// earlier requests, within the bounds above. The whole buffer is offered to every read,
// so that no acknowledge, late or current, overflows it. Returns 0 and the bytes
// received, or the status of a failed or timed-out wait.
uint16_t receiveAck(U3V_Control& c, uint16_t requestId, size_t& received) {
    DeviceHandle& d = *c.pDevice;
    uint8_t* ack = c.pAckBuffer.get();
    const Clock::time_point start = Clock::now();
    const Clock::time_point end = start + Ms(kMaxTransactionMs);
    unsigned wait = boundedWait(c.nTimeout);
    Clock::time_point waitEnd = start + Ms(wait);
    unsigned timeout = wait;  // the clock is read again only when the answer is not the first ack
    // Milliseconds left until limit, rounded up so that a wait is never 0 (for ever to
    // libusb); 0 when it has passed.
    auto leftUntil = [](Clock::time_point limit) -> unsigned {
        const Clock::time_point now = Clock::now();
        return limit <= now ? 0u : static_cast<unsigned>(std::chrono::ceil<Ms>(limit - now).count());
    };
    for (int reads = 0; reads < kMaxAcksPerTransaction; ++reads) {
        const int got = usb::bulkRead(d.UsbHandle, d.ControlInEndpoint, ack,
                                      static_cast<int>(kAckBufferSize), timeout);
        if (got < 0) return transferFailed(d, d.ControlInEndpoint, got);
        received = static_cast<size_t>(got);
        if (received < kHeaderSize) return U3V_OK;  // the caller's checks reject it
        const AckHeader h = decodeAckHeader(ack);
        if (h.prefix != kPrefix) return U3V_OK;
        if (h.commandId == kPendingAck) {
            // A pending ack without its time-out field keeps the current wait.
            if (received >= kWriteAckSize) wait = boundedWait(getLe16(ack + kPendingTimeoutOffset));
            waitEnd = Clock::now() + Ms(wait);
            timeout = std::min(wait, leftUntil(end));
        } else if ((h.commandId == kReadMemAck || h.commandId == kWriteMemAck) &&
                   isStale(h.requestId, requestId)) {
            timeout = leftUntil(std::min(waitEnd, end));  // what is left of the same wait
        } else {
            return U3V_OK;
        }
        if (timeout == 0) return U3V_ERR_USB_TRANSFER;
    }
    return U3V_ERR_USB_TRANSFER;  // a camera that never stops asking for time
}

// One command and its acknowledge; length <= maxReadChunk.
uint16_t readTransaction(U3V_Control& c, uint64_t address, uint16_t length, uint8_t* dest) {
    uint8_t command[kReadMemCmdSize];
    const uint16_t requestId = c.nRequestId++;  // used up whatever happens next
    encodeReadMemCommand(command, requestId, address, length);
    if (const uint16_t s = sendCommand(c, command, sizeof command)) return s;

    size_t received = 0;
    if (const uint16_t s = receiveAck(c, requestId, received)) return s;
    const uint8_t* ack = c.pAckBuffer.get();
    if (received < kHeaderSize) return U3V_ERR_ACK_LENGTH;
    const AckHeader h = decodeAckHeader(ack);
    // A camera that refuses a read answers with the header alone; that is no length
    // error, and its status must reach the caller.
    const bool refusal = received == kHeaderSize && h.status != 0;
    if (!refusal && received != length + kHeaderSize) return U3V_ERR_ACK_LENGTH;
    if (h.prefix != kPrefix) return U3V_ERR_ACK_PREFIX;
    if (h.commandId != kReadMemAck) return U3V_ERR_ACK_COMMAND;
    if (h.requestId != requestId) return U3V_ERR_ACK_REQUEST_ID;
    if (h.status != 0) return h.status;
    if (length != 0) std::memcpy(dest, ack + kHeaderSize, length);
    return U3V_OK;
}

// One command and its acknowledge; length <= maxWriteChunk.
uint16_t writeTransaction(U3V_Control& c, uint64_t address, uint16_t length,
                          const uint8_t* source) {
    uint8_t command[kCommandBufferSize];
    const uint16_t requestId = c.nRequestId++;
    encodeWriteMemHeader(command, requestId, address, length);
    if (length != 0) std::memcpy(command + kWriteMemHeaderSize, source, length);
    if (const uint16_t s = sendCommand(c, command, kWriteMemHeaderSize + length)) return s;

    size_t received = 0;
    if (const uint16_t s = receiveAck(c, requestId, received)) return s;
    // 12 bytes, or 16 with the written-length field; anything else is no write ack.
    if (received < kHeaderSize || received > kWriteAckSize) return U3V_ERR_ACK_LENGTH;
    const AckHeader h = decodeAckHeader(c.pAckBuffer.get());
    if (h.prefix != kPrefix) return U3V_ERR_ACK_PREFIX;
    if (h.commandId != kWriteMemAck) return U3V_ERR_ACK_COMMAND;
    if (h.requestId != requestId) return U3V_ERR_ACK_REQUEST_ID;
    return h.status;
}

// Acknowledges left on the pipe by an earlier session (a transaction that gave up, a
// program that ended mid-transaction) would otherwise answer the first commands.
void drainStaleAcks(U3V_Control& c) {
    DeviceHandle& d = *c.pDevice;
    for (int i = 0; i < kMaxDrainedAcks; ++i) {
        if (usb::bulkRead(d.UsbHandle, d.ControlInEndpoint, c.pAckBuffer.get(),
                          static_cast<int>(kAckBufferSize), kDrainWaitMs) < 0)
            break;
    }
}

uint16_t readRegister32(U3V_Control& c, uint64_t address, uint32_t& value) {
    uint8_t bytes[4];
    const uint16_t s = ReadMem(c, address, sizeof bytes, bytes);
    if (s == 0) value = getLe32(bytes);
    return s;
}

uint16_t readRegister64(U3V_Control& c, uint64_t address, uint64_t& value) {
    uint8_t bytes[8];
    const uint16_t s = ReadMem(c, address, sizeof bytes, bytes);
    if (s == 0) value = getLe64(bytes);
    return s;
}

void decodeCapability(U3V_Control& c, uint32_t cap) {
    auto bit = [cap](int n) { return static_cast<uint8_t>((cap >> n) & 1u); };
    c.bUserDefinedName = bit(0);
    c.bAccessPrivilege = bit(1);
    c.bMessageChannel = bit(2);
    c.bTimestamp = bit(3);
    c.nStringEncoding = static_cast<uint8_t>((cap >> 4) & 0x0Fu);
    c.bFamilyName = bit(8);
    c.bSbrm = bit(9);
    c.bEndianessRegister = bit(10);
    c.bWrittenLengthField = bit(11);
}

uint16_t readBootstrap(U3V_Control& c) {
    uint16_t s = readRegister64(c, abrm::kSbrmAddress, c.nSbrmAddress);
    if (s == 0) s = readRegister32(c, abrm::kMaxDeviceResponseTime, c.nTimeout);
    if (s == 0)
        s = readRegister32(c, c.nSbrmAddress + sbrm::kMaxCommandTransferLength,
                           c.nMaxCommandTransferLength);
    if (s == 0)
        s = readRegister32(c, c.nSbrmAddress + sbrm::kMaxAckTransferLength,
                           c.nMaxAckTransferLength);
    if (s == 0)
        s = readRegister32(c, c.nSbrmAddress + sbrm::kNumStreamChannels, c.nNumStreamChannels);
    if (s == 0) {
        uint32_t cap = 0;
        s = readRegister32(c, abrm::kDeviceCapability, cap);
        if (s == 0) decodeCapability(c, cap);
    }
    if (s == 0) {
        const uint8_t zero[8] = {};
        s = WriteMem(c, abrm::kDeviceConfiguration, sizeof zero, zero);
    }
    return s;
}

}  // namespace

uint16_t maxReadChunk(const U3V_Control& c) {
    return chunkLimit(c.nMaxAckTransferLength, kHeaderSize, kMaxReadData);
}

uint16_t maxWriteChunk(const U3V_Control& c) {
    return chunkLimit(c.nMaxCommandTransferLength, kWriteMemHeaderSize, kMaxWriteData);
}

uint16_t OpenControlInterface(U3V_Control& c) {
    std::lock_guard<std::recursive_mutex> lock(c.mTransaction);
    DeviceHandle& d = *c.pDevice;
    if (d.bGone) return U3V_ERR_DEVICE_GONE;
    if (const int r = usb::claimInterface(d.UsbHandle, d.ControlInterface, kClaimBusyWaitMs); r < 0) {
        if (noteGone(d, r)) return U3V_ERR_DEVICE_GONE;
        DeviceLog(&d, U3V_LOG_ERROR, "Can't open/claiming control interface.");
        return U3V_ERR_CONTROL_CLAIM;
    }
    c.bControlOpen = 1;
    c.nRequestId = 0;
    c.pXmlBuffer.reset();
    c.bXmlZipped = 0;
    c.nXmlSize = 0;
    usb::clearHalt(d.UsbHandle, d.ControlInEndpoint);
    usb::clearHalt(d.UsbHandle, d.ControlOutEndpoint);
    drainStaleAcks(c);

    if (const uint16_t s = readBootstrap(c)) {
        DeviceLog(&d, U3V_LOG_ERROR, "Error open control interface.");
        return s;
    }
    DeviceLog(&d, U3V_LOG_INFO, "Open control interface successful.");
    return U3V_OK;
}

uint16_t ReadMem(U3V_Control& c, uint64_t address, uint16_t length, uint8_t* destination) {
    std::lock_guard<std::recursive_mutex> lock(c.mTransaction);
    uint16_t s = U3V_ERR_CONTROL_NOT_OPEN;
    uint64_t at = address;
    if (c.pDevice->bGone) return U3V_ERR_DEVICE_GONE;
    if (c.bControlOpen) {
        const uint16_t limit = maxReadChunk(c);
        if (length <= limit) {
            s = readTransaction(c, at, length, destination);
        } else {
            // Collect the pieces aside so that a failure half-way leaves the caller's
            // buffer as it was.
            std::vector<uint8_t> whole(length);
            size_t done = 0;
            s = U3V_OK;
            while (s == 0 && done < length) {
                const auto piece = static_cast<uint16_t>(std::min<size_t>(limit, length - done));
                at = address + done;
                s = readTransaction(c, at, piece, whole.data() + done);
                done += piece;
            }
            if (s == 0) std::memcpy(destination, whole.data(), length);
        }
    }
    if (s != 0)
        DeviceLog(c.pDevice, U3V_LOG_ERROR, "ReadMem [%llX]: %04X",
                  static_cast<unsigned long long>(at), s);
    return s;
}

uint16_t WriteMem(U3V_Control& c, uint64_t address, uint16_t length, const uint8_t* source) {
    std::lock_guard<std::recursive_mutex> lock(c.mTransaction);
    uint16_t s = U3V_ERR_CONTROL_NOT_OPEN;
    uint64_t at = address;
    if (c.pDevice->bGone) return U3V_ERR_DEVICE_GONE;
    if (c.bControlOpen) {
        const uint16_t limit = maxWriteChunk(c);
        size_t done = 0;
        do {  // a write of 0 bytes is still one transaction
            const auto piece = static_cast<uint16_t>(std::min<size_t>(limit, length - done));
            at = address + done;
            s = writeTransaction(c, at, piece, source + done);
            done += piece;
        } while (s == 0 && done < length);
    }
    if (s != 0)
        DeviceLog(c.pDevice, U3V_LOG_ERROR, "WriteMem [%llX]: %04X",
                  static_cast<unsigned long long>(at), s);
    return s;
}

}  // namespace tessoral
