#include "U3V_Control.h"

#include <algorithm>
#include <cstring>
#include <vector>

#include "BootstrapRegisters.h"
#include "DeviceLog.h"
#include "UsbLayer.h"

namespace tessoral {

using namespace control;

namespace {

// The camera's limit (minus the packet header) when it reported a usable one, in whole
// 32-bit words so that split accesses stay aligned; the buffer limit otherwise.
uint16_t chunkLimit(uint32_t cameraMax, size_t header, uint16_t bufferLimit) {
    if (cameraMax <= header) return bufferLimit;  // not read yet, or nonsense
    uint32_t limit = cameraMax - static_cast<uint32_t>(header);
    if (limit >= 4) limit &= ~3u;
    return limit < bufferLimit ? static_cast<uint16_t>(limit) : bufferLimit;
}

uint16_t transferFailed(DeviceHandle& d, uint8_t endpoint) {
    usb::clearHalt(d.UsbHandle, endpoint);
    return U3V_ERR_USB_TRANSFER;
}

uint16_t sendCommand(U3V_Control& c, const uint8_t* command, size_t size) {
    DeviceHandle& d = *c.pDevice;
    if (usb::bulkWrite(d.UsbHandle, d.ControlOutEndpoint, command, static_cast<int>(size),
                       c.nTimeout) < 0)
        return transferFailed(d, d.ControlOutEndpoint);
    return U3V_OK;
}

// One command and its acknowledge; length <= maxReadChunk.
uint16_t readTransaction(U3V_Control& c, uint64_t address, uint16_t length, uint8_t* dest) {
    uint8_t command[kReadMemCmdSize];
    const uint16_t requestId = c.nRequestId++;  // used up whatever happens next
    encodeReadMemCommand(command, requestId, address, length);
    if (const uint16_t s = sendCommand(c, command, sizeof command)) return s;

    DeviceHandle& d = *c.pDevice;
    uint8_t* ack = c.pAckBuffer.get();
    const int received = usb::bulkRead(d.UsbHandle, d.ControlInEndpoint, ack,
                                       static_cast<int>(length + kHeaderSize), c.nTimeout);
    if (received < 0) return transferFailed(d, d.ControlInEndpoint);
    if (static_cast<size_t>(received) < kHeaderSize) return U3V_ERR_ACK_LENGTH;
    const AckHeader h = decodeAckHeader(ack);
    // A camera that refuses a read answers with the header alone; that is no length
    // error, and its status must reach the caller.
    const bool refusal = static_cast<size_t>(received) == kHeaderSize && h.status != 0;
    if (!refusal && static_cast<size_t>(received) != length + kHeaderSize)
        return U3V_ERR_ACK_LENGTH;
    if (h.prefix != kPrefix) return U3V_ERR_ACK_PREFIX;
    if (h.commandId != kReadMemAck) return U3V_ERR_ACK_COMMAND;
    if (h.requestId != requestId) return U3V_ERR_ACK_REQUEST_ID;
    if (h.status != 0) return h.status;
    if (length != 0) std::memcpy(dest, ack + kHeaderSize, length);
    return U3V_OK;
}

// One command and its acknowledge, following pending acknowledges; length <= maxWriteChunk.
uint16_t writeTransaction(U3V_Control& c, uint64_t address, uint16_t length,
                          const uint8_t* source) {
    uint8_t command[kCommandBufferSize];
    const uint16_t requestId = c.nRequestId++;
    encodeWriteMemHeader(command, requestId, address, length);
    if (length != 0) std::memcpy(command + kWriteMemHeaderSize, source, length);
    if (const uint16_t s = sendCommand(c, command, kWriteMemHeaderSize + length)) return s;

    DeviceHandle& d = *c.pDevice;
    uint8_t* ack = c.pAckBuffer.get();
    unsigned waitMs = c.nTimeout;
    for (;;) {
        // Always room for the written-length field: a 12-byte ack arrives as a short
        // transfer, and a 16-byte pending ack fits whatever the camera declared.
        const int received = usb::bulkRead(d.UsbHandle, d.ControlInEndpoint, ack,
                                           static_cast<int>(kWriteAckSize), waitMs);
        if (received < 0) return transferFailed(d, d.ControlInEndpoint);
        if (static_cast<size_t>(received) < kHeaderSize) return U3V_ERR_ACK_LENGTH;
        const AckHeader h = decodeAckHeader(ack);
        if (h.prefix != kPrefix) return U3V_ERR_ACK_PREFIX;
        if (h.commandId == kPendingAck) {
            // A pending ack without its time-out field keeps the current wait.
            if (static_cast<size_t>(received) >= kWriteAckSize)
                waitMs = getLe16(ack + kPendingTimeoutOffset);
            continue;
        }
        if (h.commandId != kWriteMemAck) return U3V_ERR_ACK_COMMAND;
        if (h.requestId != requestId) return U3V_ERR_ACK_REQUEST_ID;
        return h.status;
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
    DeviceHandle& d = *c.pDevice;
    if (usb::claimInterface(d.UsbHandle, d.ControlInterface) < 0) {
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

    if (const uint16_t s = readBootstrap(c)) {
        DeviceLog(&d, U3V_LOG_ERROR, "Error open control interface.");
        return s;
    }
    DeviceLog(&d, U3V_LOG_INFO, "Open control interface successful.");
    return U3V_OK;
}

uint16_t ReadMem(U3V_Control& c, uint64_t address, uint16_t length, uint8_t* destination) {
    uint16_t s = U3V_ERR_CONTROL_NOT_OPEN;
    uint64_t at = address;
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
    uint16_t s = U3V_ERR_CONTROL_NOT_OPEN;
    uint64_t at = address;
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
