// The control channel: one per U3V_OpenControl, the object behind a control handle. The
// event and stream channels read and write their register maps through ReadMem/WriteMem.
// Transactions of one channel are serialised by its own lock, so any threads may share a
// control handle.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>

#include "ControlPackets.h"
#include "DeviceHandle.h"

namespace tessoral {

// Bounds on what a camera may ask of the channel (see the public header).
constexpr uint32_t kMaxAckWaitMs = U3V_MAX_ACK_WAIT_MS;
constexpr uint32_t kMaxTransactionMs = U3V_MAX_TRANSACTION_MS;
constexpr int kMaxAcksPerTransaction = U3V_MAX_ACKS_PER_TRANSACTION;
constexpr uint16_t kMinPieceData = U3V_MIN_TRANSFER_DATA;
// Request ids this far back may still be answered late.
constexpr uint16_t kStaleRequestWindow = 64;
// Opening reads at most this many stale acknowledges, each wait this short: they are
// already on the pipe when they matter.
constexpr int kMaxDrainedAcks = 256;
constexpr unsigned kDrainWaitMs = 1;
constexpr unsigned kClaimBusyWaitMs = U3V_CLAIM_BUSY_WAIT_MS;

struct U3V_Control {
    explicit U3V_Control(DeviceHandle* device)
        : pDevice(device), pAckBuffer(new uint8_t[control::kAckBufferSize]) {}

    DeviceHandle* pDevice;                  // not owned
    std::unique_ptr<uint8_t[]> pAckBuffer;  // kAckBufferSize bytes, every ack lands here
    uint16_t nRequestId = 0;
    uint8_t bControlOpen = 0;
    uint32_t nMaxCommandTransferLength = 0;
    uint32_t nMaxAckTransferLength = 0;
    uint32_t nNumStreamChannels = 0;
    uint8_t bUserDefinedName = 0;
    uint8_t bAccessPrivilege = 0;
    uint8_t bMessageChannel = 0;
    uint8_t bTimestamp = 0;
    uint8_t nStringEncoding = 0;
    uint8_t bFamilyName = 0;
    uint8_t bSbrm = 0;
    uint8_t bEndianessRegister = 0;
    uint8_t bWrittenLengthField = 0;
    uint32_t nTimeout = 3000;               // ms, the camera's response time once read
    std::unique_ptr<uint8_t[]> pXmlBuffer;  // description file last read
    uint32_t nXmlSize = 0;
    uint8_t bXmlZipped = 0;
    uint64_t nSbrmAddress = 0;
    // Held for each access (all pieces of a split one) and for each description file
    // read or write; recursive because those are made of accesses.
    std::recursive_mutex mTransaction;
};

// Claims the control interface and reads the bootstrap registers.
uint16_t OpenControlInterface(U3V_Control& control);

// One register/memory access. Accesses larger than one transaction carries are split; a
// failed read leaves destination unchanged. Returns 0, a library status or the camera's.
uint16_t ReadMem(U3V_Control& control, uint64_t address, uint16_t length, uint8_t* destination);
uint16_t WriteMem(U3V_Control& control, uint64_t address, uint16_t length,
                  const uint8_t* source);

// Data bytes one transaction carries: the library's buffers, narrowed to the camera's
// maximum transfer lengths once those are known.
uint16_t maxReadChunk(const U3V_Control& control);
uint16_t maxWriteChunk(const U3V_Control& control);

}  // namespace tessoral
