// The camera's control side: GenCP commands from the control OUT pipe, answered from a
// table-driven register map.
//
// Faults. A fault matches every command (or those whose address field equals its address),
// skips its first `skip` matches and then applies to `count` matches. Every matching fault
// counts a command, but only the first fault (in the order added) whose turn it is shapes
// the answer. The camera executes a faulted command as usual, except under Status (the
// camera refuses it and says so) and StallOut (the command never arrives); the other kinds
// spoil or withhold only the answer, so a write under NoAck or ShortAck still changes memory,
// as it would on a camera whose answer got lost on the way back.
#include "camera/CameraFirmware.h"

#include <chrono>
#include <cstring>
#include <optional>

#include "camera/CameraRegisters.h"
#include "camera/ChunkData.h"
#include "camera/DescriptionFile.h"
#include "camera/FirmwareImage.h"
#include "camera/FirmwareWindow.h"
#include "camera/GenCpPackets.h"
#include "camera/RegisterMap.h"
#include "camera/StreamPackets.h"
#include "platform/Sha1.h"

namespace vcam {

namespace st = gencp::status;

namespace {

struct FaultEntry {
    ControlFault fault;
    int matches = 0;
    int applied = 0;
};

// A command as far as it can be understood. Without a trusted header nothing is answered.
struct Command {
    bool headerTrusted = false;
    gencp::Header header;
    std::optional<uint64_t> address;  // for fault matching
};

uint16_t ackIdFor(uint16_t commandId) { return static_cast<uint16_t>(commandId + 1); }

std::vector<uint8_t> statusAck(const gencp::Header& command, uint16_t status) {
    std::vector<uint8_t> ack;
    gencp::appendHeader(ack, {gencp::kPrefix, status, ackIdFor(command.commandId), 0, command.requestId});
    return ack;
}

}  // namespace

struct CameraFirmware::State {
    CameraConfig config;
    RegisterMap map;
    FirmwareWindow window;
    bool windowBusy = false;       // flashing: the window takes no more writes
    bool startRequested = false;  // the last command wrote the start magic
    std::vector<FaultEntry> faults;
    std::chrono::steady_clock::time_point powerOn;
    StreamSource& stream;
    EventSource& events;

    State(const CameraConfig& c, SteadyTime on, StreamSource& s, EventSource& e)
        : config(c), window(c.firmwareWindowSize), powerOn(on), stream(s), events(e) {
        buildBootstrap();
        buildFeatures();
        buildDescription();
    }
    State(const State&) = delete;  // the register hooks point back at this object
    State& operator=(const State&) = delete;

    uint64_t timestampNs() const {
        return static_cast<uint64_t>(std::chrono::duration_cast<std::chrono::nanoseconds>(
                                         std::chrono::steady_clock::now() - powerOn)
                                         .count());
    }

    void buildBootstrap() {
        using namespace regs;
        const Identity& id = config.identity;
        const Access RO = Access::ReadOnly, RW = Access::ReadWrite, WO = Access::WriteOnly;

        uint64_t capability = kCapUserDefinedName | kCapTimestamp | kCapFamilyName | kCapSbrm |
                              kCapEndianessRegister;  // string encoding 0: ASCII
        if (config.hasEvent) capability |= kCapMessageChannel;
        if (config.writtenLengthField) capability |= kCapWrittenLengthField;

        map.addRegister(kGenCpVersion, 4, RO, 0x00010000);  // 1.0
        map.addString(kManufacturerName, kStringRegisterSize, RO, id.vendor);
        map.addString(kModelName, kStringRegisterSize, RO, id.model);
        map.addString(kFamilyName, kStringRegisterSize, RO, id.family);
        map.addString(kDeviceVersion, kStringRegisterSize, RO, id.deviceVersion);
        map.addString(kManufacturerInfo, kStringRegisterSize, RO, id.manufacturerInfo);
        map.addString(kSerialNumber, kStringRegisterSize, RO, id.serialNumber);
        map.addString(kUserDefinedName, kStringRegisterSize, RW, id.userDefinedName);
        map.addRegister(kDeviceCapability, 8, RO, capability);
        map.addRegister(kMaxDeviceResponseTime, 4, RO, config.maxDeviceResponseTimeMs);
        map.addRegister(kManifestTableAddress, 8, RO, kManifest);
        map.addRegister(kSbrmAddress, 8, RO, kSbrm);
        map.addRegister(kDeviceConfiguration, 8, RW, 0);
        map.addRegister(kHeartbeatTimeout, 4, RW, 3000);
        map.addRegister(kMessageChannelId, 4, RW, 0);
        map.addRegister(kTimestamp, 8, RO, 0);
        map.addRegister(kTimestampLatch, 4, WO, 0, {nullptr, [this](uint64_t v) {
                            if (v & 1) map.setValue(regs::kTimestamp, timestampNs());
                            map.setValue(regs::kTimestampLatch, 0);
                        }});
        map.addRegister(kTimestampIncrement, 8, RO, 1);  // ns per tick
        map.addRegister(kAccessPrivilege, 4, RW, 0);
        map.addRegister(kProtocolEndianess, 4, RO, kEndianessLittle);
        map.addRegister(kImplementationEndianess, 4, RO, kEndianessLittle);

        uint64_t u3vCapability = 0;
        if (config.hasStream) u3vCapability |= kU3vCapSirmAvailable;
        if (config.hasEvent) u3vCapability |= kU3vCapEirmAvailable;
        map.addRegister(kSbrm + kSbrmU3vVersion, 4, RO, 0x00010000);  // 1.0
        map.addRegister(kSbrm + kSbrmCapability, 8, RO, u3vCapability);
        map.addRegister(kSbrm + kSbrmConfiguration, 8, RW, 0);
        map.addRegister(kSbrm + kSbrmMaxCommandTransferLength, 4, RO, config.maxCommandTransferLength);
        map.addRegister(kSbrm + kSbrmMaxAckTransferLength, 4, RO, config.maxAckTransferLength);
        map.addRegister(kSbrm + kSbrmNumStreamChannels, 4, RO, config.hasStream ? 1 : 0);
        map.addRegister(kSbrm + kSbrmSirmAddress, 8, RO, config.hasStream ? kSirm : 0);
        map.addRegister(kSbrm + kSbrmSirmLength, 4, RO, config.hasStream ? kSirmSize : 0);
        map.addRegister(kSbrm + kSbrmEirmAddress, 8, RO, config.hasEvent ? kEirm : 0);
        map.addRegister(kSbrm + kSbrmEirmLength, 4, RO, config.hasEvent ? kEirmSize : 0);
        map.addRegister(kSbrm + kSbrmIidc2Address, 8, RO, 0);
        map.addRegister(kSbrm + kSbrmCurrentSpeed, 4, RO, kSpeedSuper);

        if (config.hasStream) {
            map.addRegister(kSirm + kSiInfo, 4, RO, uint64_t{config.payloadAlignmentLog2} << 24);
            map.addRegister(kSirm + kSiControl, 4, RW, 0,
                            {[this](uint64_t v) { return (v & 1) ? checkPlan() : st::kSuccess; },
                             [this](uint64_t v) { setStreamEnable((v & 1) != 0); }});
            map.addRegister(kSirm + kSiRequiredPayloadSize, 8, RO, 0);
            map.addRegister(kSirm + kSiRequiredLeaderSize, 4, RO, 52);   // generic + image leader
            map.addRegister(kSirm + kSiRequiredTrailerSize, 4, RO, 32);  // generic + image trailer
            map.addRegister(kSirm + kSiMaximumLeaderSize, 4, RW, 0);
            map.addRegister(kSirm + kSiPayloadTransferSize, 4, RW, 0);
            map.addRegister(kSirm + kSiPayloadTransferCount, 4, RW, 0);
            map.addRegister(kSirm + kSiPayloadFinalTransfer1Size, 4, RW, 0);
            map.addRegister(kSirm + kSiPayloadFinalTransfer2Size, 4, RW, 0);
            map.addRegister(kSirm + kSiMaximumTrailerSize, 4, RW, 0);
        }
        if (config.hasEvent) {
            map.addRegister(kEirm + kEiControl, 4, RW, 0,
                            {nullptr, [this](uint64_t v) { events.setEnabled((v & 1) != 0); }});
            map.addRegister(kEirm + kEiMaxEventTransferLength, 4, RO, config.maxEventTransferLength);
            map.addRegister(kEirm + kEiEventTestControl, 4, RW, 0, {nullptr, [this](uint64_t v) {
                                map.setValue(kEirm + kEiEventTestControl, 0);
                                if (v & 1) events.sendTestEvent(timestampNs());
                            }});
        }
    }

    static RegisterHooks oneOf(std::initializer_list<uint64_t> allowed) {
        std::vector<uint64_t> values(allowed);
        return {[values](uint64_t v) {
                    for (uint64_t a : values)
                        if (a == v) return st::kSuccess;
                    return st::kInvalidParameter;
                },
                nullptr};
    }

    // Bit 0 triggers the action; the register reads 0 again once it is done.
    RegisterHooks command(uint64_t address, void (State::*action)()) {
        return {nullptr, [this, address, action](uint64_t v) {
                    map.setValue(address, 0);
                    if (v & 1) (this->*action)();
                }};
    }

    // SingleFrame takes one image, MultiFrame AcquisitionFrameCount, Continuous any number.
    void startAcquisition() {
        using namespace regs;
        const uint64_t mode = map.value(kAcquisitionMode);
        const uint64_t frames = mode == kAcquisitionSingleFrame  ? 1
                                : mode == kAcquisitionMultiFrame ? map.value(kAcquisitionFrameCount)
                                                                 : 0;
        stream.setAcquisition(true, frames);
    }
    void stopAcquisition() { stream.setAcquisition(false); }
    void triggerSoftware() {
        if (map.value(regs::kTriggerSource) == kTriggerSourceSoftware) stream.trigger();
    }

    static constexpr uint64_t kTriggerSourceSoftware = 0;

    StreamPlan plan() const {
        using namespace regs;
        return {static_cast<uint32_t>(map.value(kSirm + kSiPayloadTransferSize)),
                static_cast<uint32_t>(map.value(kSirm + kSiPayloadTransferCount)),
                static_cast<uint32_t>(map.value(kSirm + kSiPayloadFinalTransfer1Size)),
                static_cast<uint32_t>(map.value(kSirm + kSiPayloadFinalTransfer2Size))};
    }

    // Stream enable is refused while the programmed transfers cannot carry an image.
    uint16_t checkPlan() const {
        const StreamPlan p = plan();
        const uint64_t capacity = uint64_t{p.transferSize} * p.transferCount + p.final1 + p.final2;
        return capacity < map.value(regs::kSirm + regs::kSiRequiredPayloadSize)
                   ? u3v::kStatusSiRegistersInconsistent
                   : st::kSuccess;
    }

    void setStreamEnable(bool on) {
        using namespace regs;
        if (!on) {
            stream.disable();
            return;
        }
        const ImageGeometry geometry{static_cast<uint32_t>(map.value(kWidth)),
                                     static_cast<uint32_t>(map.value(kHeight)),
                                     static_cast<uint32_t>(map.value(kPixelFormat))};
        stream.enable(plan(), imageSize(), geometry, chunkLayout());
    }

    uint64_t imageSize() const {
        return map.value(regs::kWidth) * map.value(regs::kHeight) *
               bytesPerPixel(static_cast<uint32_t>(map.value(regs::kPixelFormat)));
    }

    chunk::Layout chunkLayout() const {
        chunk::Layout layout;
        layout.active = map.value(regs::kChunkModeActive) != 0;
        for (uint32_t i = 0; i < chunk::kCount; ++i)
            if (map.value(regs::kChunkEnable + 4 * i) != 0) layout.enabled |= 1u << i;
        return layout;
    }

    void updatePayloadSize() {
        const uint64_t size = imageSize() + chunk::tailSize(chunkLayout());
        map.setValue(regs::kPayloadSize, size);
        if (config.hasStream) map.setValue(regs::kSirm + regs::kSiRequiredPayloadSize, size);
    }

    // What the payload's size depends on is locked while the stream is enabled (the plan
    // was made for it) and while the host has locked its transport parameters.
    uint16_t payloadLocked() const {
        return stream.enabled() || map.value(regs::kTLParamsLocked) != 0 ? st::kAccessDenied : st::kSuccess;
    }

    // A register the payload's size depends on: locked as above, `valid` vets the value,
    // and PayloadSize follows every write.
    RegisterHooks payloadShaping(bool (*valid)(uint64_t)) {
        return {[this, valid](uint64_t v) {
                    if (uint16_t locked = payloadLocked()) return locked;
                    return valid(v) ? st::kSuccess : st::kInvalidParameter;
                },
                [this](uint64_t) { updatePayloadSize(); }};
    }

    void buildFeatures() {
        using namespace regs;
        const Access RO = Access::ReadOnly, RW = Access::ReadWrite;
        const RegisterHooks side = payloadShaping([](uint64_t v) { return v >= kMinImageSide && v <= kMaxImageSide; });
        const RegisterHooks chunkSwitch = payloadShaping([](uint64_t v) { return v <= 1; });
        const RegisterHooks pixelFormat =
            payloadShaping([](uint64_t v) { return v == kPixelFormatMono8 || v == kPixelFormatRGB8; });

        map.addRegister(kAcquisitionMode, 4, RW, kAcquisitionContinuous,
                        oneOf({kAcquisitionContinuous, kAcquisitionSingleFrame, kAcquisitionMultiFrame}));
        map.addRegister(kAcquisitionFrameCount, 4, RW, 1, {[](uint64_t v) {
                            return v >= 1 && v <= kMaxFrameCount ? st::kSuccess : st::kInvalidParameter;
                        }, nullptr});
        map.addRegister(kTLParamsLocked, 4, RW, 0, oneOf({0, 1}));
        map.addRegister(kAcquisitionStart, 4, RW, 0, command(kAcquisitionStart, &State::startAcquisition));
        map.addRegister(kAcquisitionStop, 4, RW, 0, command(kAcquisitionStop, &State::stopAcquisition));
        RegisterHooks triggerMode = oneOf({0, 1});  // Off, On
        triggerMode.apply = [this](uint64_t v) { stream.setTriggerMode(v == 1); };
        map.addRegister(kTriggerMode, 4, RW, 0, triggerMode);
        map.addRegister(kTriggerSource, 4, RW, 0, oneOf({0, 1}));  // Software
        map.addRegister(kTriggerSoftware, 4, RW, 0, command(kTriggerSoftware, &State::triggerSoftware));

        map.addRegister(kWidth, 4, RW, 640, side);
        map.addRegister(kHeight, 4, RW, 480, side);
        map.addRegister(kPixelFormat, 4, RW, kPixelFormatMono8, pixelFormat);
        map.addRegister(kPayloadSize, 4, RO, 0);
        map.addRegister(kAcquisitionStartAlias, 4, RW, 0,
                        command(kAcquisitionStartAlias, &State::startAcquisition));
        map.addRegister(kExposureTime, 4, RW, 10000,  // µs
                        {nullptr, [this](uint64_t v) { stream.setExposure(static_cast<uint32_t>(v)); }});
        stream.setExposure(10000);
        map.addRegister(kGain, 4, RW, 0);         // dB
        map.addRegister(kGainDigital, 4, RW, 0);  // dB
        map.addRegister(kGainSelector, 4, RW, 0, oneOf({0, 1}));
        map.addRegister(kLineSelector, 4, RW, 0, oneOf({0, 1}));
        map.addRegister(kLine1Mode, 4, RW, 0, oneOf({0, 1}));  // Input, Output

        map.addMemory(kLut, kLutSize, RW);
        uint8_t identity[kLutSize];
        for (uint32_t i = 0; i < kLutSize; ++i) identity[i] = static_cast<uint8_t>(i);
        map.poke(kLut, identity, sizeof identity);

        map.addRegister(kChunkModeActive, 4, RW, 0, chunkSwitch);
        map.addRegister(kChunkSelector, 4, RW, 0, {[](uint64_t v) {
                            return v < chunk::kCount ? st::kSuccess : st::kInvalidParameter;
                        }, nullptr});
        for (uint32_t i = 0; i < chunk::kCount; ++i) map.addRegister(kChunkEnable + 4 * i, 4, RW, 0, chunkSwitch);
        updatePayloadSize();
    }

    void buildDescription() {
        using namespace regs;
        DescriptionFile file(config.identity, config.zippedDescription);
        const std::vector<uint8_t>& bytes = file.stored();
        if (bytes.size() > kDescriptionAreaSize) throw std::length_error("description file too large");

        map.addMemory(kManifest, kManifestAreaSize, Access::ReadWrite);
        map.addMemory(kDescription, kDescriptionAreaSize, Access::ReadOnly);
        map.addMemory(kRam, kRamSize, Access::ReadWrite);
        map.poke(kDescription, bytes.data(), bytes.size());

        uint8_t manifest[8 + kManifestEntrySize] = {};
        uint32_t schema = (uint32_t{DescriptionFile::kSchemaMajor} << 24) |
                          (uint32_t{DescriptionFile::kSchemaMinor} << 16) |
                          (file.zipped() ? kManifestTypeZip : 0);
        gencp::putLe64(manifest, 1);  // one entry
        gencp::putLe32(manifest + 8, DescriptionFile::kFileVersion);
        gencp::putLe32(manifest + 12, schema);
        gencp::putLe64(manifest + 16, kDescription);
        gencp::putLe64(manifest + 24, bytes.size());
        platform::Sha1::Digest digest = platform::Sha1::of(bytes.data(), bytes.size());
        std::memcpy(manifest + 32, digest.data(), digest.size());
        map.poke(kManifest, manifest, sizeof manifest);
    }

    uint16_t writeMemory(uint64_t address, const uint8_t* data, size_t count) {
        if (!window.touches(address, count)) return map.write(address, data, count);
        if (windowBusy) return st::kBusy;
        bool started = false;
        uint16_t status = window.write(address, data, count, started);
        if (started) startRequested = true;
        return status;
    }

    Command parse(const uint8_t* data, size_t length) const {
        Command c;
        if (data == nullptr || length < gencp::kHeaderSize) return c;
        c.header = gencp::decodeHeader(data);
        if (c.header.prefix != gencp::kPrefix) return c;
        c.headerTrusted = true;
        if (length >= gencp::kOffsetAddress + 8 &&
            (c.header.commandId == gencp::kReadMemCommand || c.header.commandId == gencp::kWriteMemCommand))
            c.address = gencp::getLe64(data + gencp::kOffsetAddress);
        return c;
    }

    FaultEntry* pickFault(const Command& c) {
        FaultEntry* chosen = nullptr;
        for (FaultEntry& f : faults) {
            if (f.fault.address && (!c.address || *c.address != *f.fault.address)) continue;
            ++f.matches;
            bool due = f.matches > f.fault.skip && (f.fault.count < 0 || f.applied < f.fault.count);
            if (!due) continue;
            ++f.applied;  // its turn is used up even when an earlier fault wins
            if (!chosen) chosen = &f;
        }
        return chosen;
    }

    // Runs a command whose header is trusted; the acknowledge it deserves.
    std::vector<uint8_t> execute(const Command& c, const uint8_t* data, size_t length) {
        const gencp::Header& h = c.header;
        if (gencp::kHeaderSize + size_t{h.length} != length) return statusAck(h, st::kInvalidHeader);
        if (length > config.maxCommandTransferLength) return statusAck(h, st::kInvalidParameter);

        if (h.commandId == gencp::kReadMemCommand) {
            if (h.length != gencp::kReadMemDataSize) return statusAck(h, st::kInvalidHeader);
            uint64_t address = gencp::getLe64(data + gencp::kOffsetAddress);
            uint16_t count = gencp::getLe16(data + gencp::kOffsetReadCount);
            if (gencp::kHeaderSize + size_t{count} > config.maxAckTransferLength)
                return statusAck(h, st::kInvalidParameter);
            std::vector<uint8_t> ack;
            gencp::appendHeader(ack, {gencp::kPrefix, st::kSuccess, gencp::kReadMemAck, count, h.requestId});
            ack.resize(gencp::kHeaderSize + count);
            uint8_t* out = ack.data() + gencp::kHeaderSize;
            uint16_t status = window.touches(address, count) ? window.read(address, out, count)
                                                             : map.read(address, out, count);
            if (status != st::kSuccess) return statusAck(h, status);
            return ack;
        }
        if (h.commandId == gencp::kWriteMemCommand) {
            if (h.length < gencp::kWriteMemAddressSize) return statusAck(h, st::kInvalidHeader);
            uint64_t address = gencp::getLe64(data + gencp::kOffsetAddress);
            size_t count = h.length - gencp::kWriteMemAddressSize;
            uint16_t status = writeMemory(address, data + gencp::kOffsetWriteData, count);
            std::vector<uint8_t> ack;
            if (!config.writtenLengthField) {
                gencp::appendHeader(ack, {gencp::kPrefix, status, gencp::kWriteMemAck, 0, h.requestId});
                return ack;
            }
            uint16_t written = status == st::kSuccess ? static_cast<uint16_t>(count) : 0;
            gencp::appendHeader(ack, {gencp::kPrefix, status, gencp::kWriteMemAck,
                                      static_cast<uint16_t>(gencp::kWrittenLengthSize), h.requestId});
            gencp::appendLe(ack, 0, 2);  // reserved
            gencp::appendLe(ack, written, 2);
            return ack;
        }
        return statusAck(h, st::kNotImplemented);
    }

    ControlAnswer answer(const uint8_t* data, size_t length) {
        ControlAnswer out;
        Command c = parse(data, length);
        FaultEntry* fault = pickFault(c);
        const ControlFaultKind kind = fault ? fault->fault.kind : ControlFaultKind::NoAck;

        if (fault && kind == ControlFaultKind::StallOut) {
            out.stallOut = true;
            return out;
        }
        if (!c.headerTrusted) {
            if (fault && kind == ControlFaultKind::StallIn) out.stallIn = true;
            return out;
        }
        const bool ackRequested = (c.header.flagsOrStatus & gencp::kFlagAckRequested) != 0;
        std::vector<uint8_t> ack = fault && kind == ControlFaultKind::Status
                                       ? statusAck(c.header, fault->fault.status)
                                       : execute(c, data, length);
        if (!fault) {
            if (ackRequested) out.acks.push_back(std::move(ack));
            return out;
        }
        switch (kind) {
        case ControlFaultKind::NoAck:
            return out;
        case ControlFaultKind::StallIn:
            out.stallIn = true;
            return out;
        case ControlFaultKind::ShortAck:
            ack.pop_back();
            break;
        case ControlFaultKind::LongAck:
            ack.insert(ack.end(), {0xEE, 0xEE, 0xEE, 0xEE});
            break;
        case ControlFaultKind::WrongPrefix:
            ack[gencp::kOffsetPrefix + 3] = 'X';
            break;
        case ControlFaultKind::WrongCommand:
            gencp::putLe16(ack.data() + gencp::kOffsetCommandId,
                           static_cast<uint16_t>(gencp::getLe16(ack.data() + gencp::kOffsetCommandId) + 0x10));
            break;
        case ControlFaultKind::WrongRequestId:
            gencp::putLe16(ack.data() + gencp::kOffsetRequestId,
                           static_cast<uint16_t>(c.header.requestId + 1));
            break;
        case ControlFaultKind::Pending:
            if (!ackRequested) break;
            for (uint16_t timeout : fault->fault.pendingTimeoutsMs) {
                std::vector<uint8_t> pending;
                gencp::appendHeader(pending, {gencp::kPrefix, st::kSuccess, gencp::kPendingAck,
                                              static_cast<uint16_t>(gencp::kPendingDataSize),
                                              c.header.requestId});
                gencp::appendLe(pending, 0, 2);  // reserved
                gencp::appendLe(pending, timeout, 2);
                out.acks.push_back(std::move(pending));
            }
            break;
        case ControlFaultKind::Replace:
            ack = fault->fault.ack;
            break;
        case ControlFaultKind::Status:
        case ControlFaultKind::StallOut:
            break;
        }
        if (ackRequested) out.acks.push_back(std::move(ack));
        return out;
    }
};

CameraFirmware::CameraFirmware(const CameraConfig& config, const std::string& stateDir)
    : base_(config), store_(stateDir, config.identity.guid), flashBootLoader_(config.bootLoader) {
    if (std::optional<std::vector<uint8_t>> stored = store_.load(config.firmwareWindowSize)) {
        FirmwareImageInfo info = fwimage::inspect(stored->data(), stored->size());
        flashBootLoader_ = !info.valid;  // an erased or damaged flash leaves only the boot loader
        if (info.valid) {
            flash_ = std::move(*stored);
            flashModel_ = info.model;
            flashVersion_ = info.version;
        }
    }
    runningBootLoader_ = flashBootLoader_;
    const SteadyTime powerOn = std::chrono::steady_clock::now();
    const CameraConfig boot = bootConfig();
    stream_ = std::make_unique<StreamSource>(boot, powerOn);
    events_ = std::make_unique<EventSource>();
    state_ = std::make_unique<State>(boot, powerOn, *stream_, *events_);
    for (const ControlFault& fault : config.controlFaults) state_->faults.push_back(FaultEntry{fault});
}

void CameraFirmware::powerLoss() {
    std::lock_guard lock(mutex_);
    using namespace regs;
    if (state_->config.hasStream) state_->map.setValue(kSirm + kSiControl, 0);
    if (state_->config.hasEvent) state_->map.setValue(kEirm + kEiControl, 0);
    state_->map.setValue(kTriggerMode, 0);
    state_->map.setValue(kTLParamsLocked, 0);  // the host that locked them is gone
    stream_->reset();
    events_->reset();
}

CameraFirmware::~CameraFirmware() = default;

CameraConfig CameraFirmware::bootConfig() const {
    CameraConfig c = base_;
    if (flashBootLoader_) {
        c.identity.model = kBootLoaderModel;
        c.identity.deviceVersion = base_.bootLoaderVersion;
    } else if (!flashModel_.empty()) {
        c.identity.model = flashModel_;
        c.identity.deviceVersion = flashVersion_;
    }
    return c;
}

ControlAnswer CameraFirmware::onControlCommand(const uint8_t* data, size_t length) {
    std::lock_guard lock(mutex_);
    ControlAnswer answer = state_->answer(data, length);
    if (state_->startRequested) {
        state_->startRequested = false;
        beginUpdate(answer);
    }
    return answer;
}

// The image is checked once, on the start command, as a camera's updater does before it
// erases anything. A boot loader takes any good image; a running firmware only one made
// for its own model. Whatever is refused leaves the flash erased.
void CameraFirmware::beginUpdate(ControlAnswer& answer) {
    ++startCommands_;
    std::vector<uint8_t> image = state_->window.image();
    FirmwareImageInfo info = fwimage::inspect(image.data(), image.size());
    const std::string& model = state_->config.identity.model;
    if (info.valid && (runningBootLoader_ || info.model == model)) {
        ++updates_;
        flash_ = std::move(image);
        flashModel_ = info.model;
        flashVersion_ = info.version;
        flashBootLoader_ = false;
        lastProblem_.clear();
    } else {
        flash_.clear();
        flashModel_.clear();
        flashVersion_.clear();
        flashBootLoader_ = true;
        lastProblem_ = info.valid ? "image for model " + info.model + ", not " + model : info.problem;
    }
    store_.save(flash_);
    updating_ = true;
    state_->windowBusy = true;
    answer.then = updateListener_;
}

void CameraFirmware::setUpdateListener(std::function<void()> listener) {
    std::lock_guard lock(mutex_);
    updateListener_ = std::move(listener);
}

void CameraFirmware::reboot() {
    std::lock_guard lock(mutex_);
    // Streaming and events start off after a reboot; the stream keeps its clock, so the
    // firmware keeps the same one.
    stream_->reset();
    events_->reset();
    auto fresh = std::make_unique<State>(bootConfig(), state_->powerOn, *stream_, *events_);
    fresh->faults = std::move(state_->faults);
    state_ = std::move(fresh);
    runningBootLoader_ = flashBootLoader_;
}

void CameraFirmware::updateDone() {
    std::lock_guard lock(mutex_);
    updating_ = false;
}

void CameraFirmware::interruptUpdate() {
    std::lock_guard lock(mutex_);
    flash_.clear();
    flashModel_.clear();
    flashVersion_.clear();
    flashBootLoader_ = true;
    lastProblem_ = "update interrupted";
    store_.save(flash_);
}

Identity CameraFirmware::identity() const {
    std::lock_guard lock(mutex_);
    return state_->config.identity;
}

FirmwareStatus CameraFirmware::status() const {
    std::lock_guard lock(mutex_);
    FirmwareStatus s;
    s.model = state_->config.identity.model;
    s.deviceVersion = state_->config.identity.deviceVersion;
    s.bootLoader = runningBootLoader_;
    s.updating = updating_;
    s.startCommands = startCommands_;
    s.updates = updates_;
    s.flash = flash_;
    s.lastProblem = lastProblem_;
    return s;
}

bool CameraFirmware::peek(uint64_t address, void* out, size_t length) const {
    std::lock_guard lock(mutex_);
    if (out == nullptr && length > 0) return false;
    auto* bytes = static_cast<uint8_t*>(out);
    if (state_->window.touches(address, length)) return state_->window.peek(address, bytes, length);
    return state_->map.peek(address, bytes, length);
}

bool CameraFirmware::poke(uint64_t address, const void* data, size_t length) {
    std::lock_guard lock(mutex_);
    if (data == nullptr && length > 0) return false;
    auto* bytes = static_cast<const uint8_t*>(data);
    if (state_->window.touches(address, length)) return state_->window.poke(address, bytes, length);
    return state_->map.poke(address, bytes, length);
}

void CameraFirmware::addFault(const ControlFault& fault) {
    std::lock_guard lock(mutex_);
    state_->faults.push_back(FaultEntry{fault});
}

void CameraFirmware::clearFaults() {
    std::lock_guard lock(mutex_);
    state_->faults.clear();
}

}  // namespace vcam
