#include "CameraSession.h"

#include <algorithm>
#include <sstream>

namespace tessoralsrc {

namespace {

constexpr uint64_t kSbrmPointer = 0x01D8;          // ABRM: address of the SBRM
constexpr uint64_t kSbrmSirmAddress = 0x20;        // SBRM: address of the SIRM
constexpr uint64_t kSiRequiredPayloadSize = 0x08;  // SIRM

bool writable(const genicam::Node& n) {
    const genicam::Access a = n.access();
    return a == genicam::Access::RW || a == genicam::Access::WO;
}

bool readable(const genicam::Node& n) {
    const genicam::Access a = n.access();
    return a == genicam::Access::RW || a == genicam::Access::RO;
}

// Sets an enumeration when the camera has it and lets it be written.
void setIfPresent(genicam::NodeMap& map, const char* feature, const char* entry) {
    genicam::Node* n = map.find(feature);
    if (n == nullptr || n->interface() != genicam::Interface::Enumeration || !writable(*n)) return;
    n->setString(entry);
}

// The enumeration `feature` that can be set to `entry` now, or Failure saying why not.
genicam::Node& settableEntry(genicam::NodeMap& map, const char* feature, const std::string& entry) {
    genicam::Node* n = map.find(feature);
    if (n == nullptr || n->interface() != genicam::Interface::Enumeration)
        throw Failure(std::string("the camera has no ") + feature + " enumeration");
    if (!writable(*n)) throw Failure(std::string("the camera's ") + feature + " is not writable now");
    const std::vector<std::string> entries = n->entries();
    if (std::find(entries.begin(), entries.end(), entry) == entries.end()) {
        std::string listed;
        for (const std::string& e : entries) listed += (listed.empty() ? "" : ", ") + e;
        throw Failure(std::string("the camera's ") + feature + " has no entry " + entry + " (it lists " +
                      (listed.empty() ? "none" : listed) + ")");
    }
    return *n;
}

void check(uint16_t status, const char* what) {
    if (status != U3V_OK) throw Failure(std::string(what) + ": " + tool::statusText(status));
}

}  // namespace

std::vector<std::pair<std::string, std::string>> parseFeatures(const std::string& text) {
    std::vector<std::pair<std::string, std::string>> out;
    std::istringstream items(text);
    for (std::string item; items >> item;) {
        const size_t eq = item.find('=');
        if (eq == std::string::npos || eq == 0)
            throw Failure("features: '" + item + "' is not NAME=VALUE");
        out.emplace_back(item.substr(0, eq), item.substr(eq + 1));
    }
    return out;
}

CameraSession::CameraSession(const std::string& id)
    : camera_(id, false), port_(camera_), map_(genicam::NodeMap::parse(camera_.descriptionFile(), port_)) {}

CameraSession::~CameraSession() {
    try {
        stop();
    } catch (...) {
        // Closing regardless: the handles below are given back on every path.
    }
    closeStream();
}

void CameraSession::applyFeatures(const std::string& text) {
    std::lock_guard<std::mutex> guard(features_);
    for (const auto& [name, value] : parseFeatures(text)) {
        try {
            map_->node(name).setText(value);
        } catch (const genicam::Error& e) {
            throw Failure(std::string("features: ") + e.what());
        }
    }
}

void CameraSession::prepareAcquisition(TriggerMode mode, const std::string& source) {
    std::lock_guard<std::mutex> guard(features_);
    try {
        setIfPresent(*map_, "AcquisitionMode", "Continuous");
        // Without a selector, the trigger features are the frame start's.
        if (mode == TriggerMode::Off) {
            if (const genicam::Node* selector = map_->find("TriggerSelector"); selector != nullptr) {
                const std::vector<std::string> entries = selector->entries();
                if (std::find(entries.begin(), entries.end(), "FrameStart") != entries.end())
                    setIfPresent(*map_, "TriggerSelector", "FrameStart");
            }
            setIfPresent(*map_, "TriggerMode", "Off");
            return;
        }
        if (map_->find("TriggerSelector") != nullptr) settableEntry(*map_, "TriggerSelector", "FrameStart").setString("FrameStart");
        genicam::Node& triggerMode = settableEntry(*map_, "TriggerMode", "On");
        std::string entry = mode == TriggerMode::Software ? "Software" : source;
        if (entry.empty()) {
            genicam::Node* sources = map_->find("TriggerSource");
            if (sources != nullptr)
                for (const std::string& e : sources->entries())
                    if (e != "Software") {
                        entry = e;
                        break;
                    }
            if (entry.empty()) throw Failure("the camera lists no hardware trigger source");
        }
        genicam::Node& triggerSource = settableEntry(*map_, "TriggerSource", entry);
        if (mode == TriggerMode::Software) {
            const genicam::Node* command = map_->find("TriggerSoftware");
            if (command == nullptr || command->interface() != genicam::Interface::Command || !writable(*command))
                throw Failure("the camera has no TriggerSoftware command");
        }
        triggerSource.setString(entry);
        triggerMode.setString("On");
    } catch (const genicam::Error& e) {
        throw Failure(std::string("trigger: ") + e.what());
    }
}

void CameraSession::triggerSoftware() {
    std::lock_guard<std::mutex> guard(features_);
    try {
        map_->node("TriggerSoftware").execute();
    } catch (const genicam::Error& e) {
        throw Failure(std::string("TriggerSoftware: ") + e.what());
    }
}

Geometry CameraSession::geometry() const {
    std::lock_guard<std::mutex> guard(features_);
    return currentGeometry();
}

Geometry CameraSession::currentGeometry() const {
    Geometry g;
    g.format = map_->node("PixelFormat").stringValue();
    g.width = map_->node("Width").intValue();
    g.height = map_->node("Height").intValue();
    if (const genicam::Node* rate = map_->find("AcquisitionFrameRate"); rate != nullptr && readable(*rate))
        g.frameRate = rate->floatValue();
    return g;
}

Limits CameraSession::limits() const {
    std::lock_guard<std::mutex> guard(features_);
    Limits l;
    const genicam::Node& width = map_->node("Width");
    const genicam::Node& height = map_->node("Height");
    l.widthMin = width.intMin();
    l.widthMax = width.intMax();
    l.widthInc = std::max<int64_t>(1, width.intInc());
    l.heightMin = height.intMin();
    l.heightMax = height.intMax();
    l.heightInc = std::max<int64_t>(1, height.intInc());
    // Width and height the camera refuses to change now (locked) are their current values.
    if (!writable(width)) l.widthMin = l.widthMax = width.intValue();
    if (!writable(height)) l.heightMin = l.heightMax = height.intValue();
    const genicam::Node& format = map_->node("PixelFormat");
    if (writable(format)) l.formats = format.entries();
    else l.formats = {format.stringValue()};
    if (const genicam::Node* rate = map_->find("AcquisitionFrameRate");
        rate != nullptr && rate->interface() == genicam::Interface::Float && writable(*rate)) {
        l.frameRateSettable = true;
        l.frameRateMin = rate->floatMin();
        l.frameRateMax = rate->floatMax();
    }
    return l;
}

void CameraSession::setGeometry(const Geometry& wanted) {
    std::lock_guard<std::mutex> guard(features_);
    if (streaming_) throw Failure("the camera's image format cannot change while it streams");
    const Geometry now = currentGeometry();
    try {
        // The format first: it may change the limits of width and height.
        if (wanted.format != now.format) map_->node("PixelFormat").setString(wanted.format);
        if (wanted.width != now.width) map_->node("Width").setInt(wanted.width);
        if (wanted.height != now.height) map_->node("Height").setInt(wanted.height);
        if (wanted.frameRate > 0 && wanted.frameRate != now.frameRate) {
            setIfPresent(*map_, "AcquisitionFrameRateEnable", "On");
            if (genicam::Node* enable = map_->find("AcquisitionFrameRateEnable");
                enable != nullptr && enable->interface() == genicam::Interface::Boolean && writable(*enable))
                enable->setBool(true);
            map_->node("AcquisitionFrameRate").setFloat(wanted.frameRate);
        }
    } catch (const genicam::Error& e) {
        throw Failure(std::string("cannot set the negotiated format: ") + e.what());
    }
}

void CameraSession::start(uint32_t bufferCount, uint32_t transferSize, uint32_t timeoutMs) {
    std::lock_guard<std::mutex> guard(features_);
    if (stream_ == nullptr) {
        const uint16_t open = U3V_OpenStream(camera_.device(), camera_.control(), &stream_, timeoutMs);
        if (open != U3V_OK) {
            closeStream();
            throw Failure("cannot open the camera's stream: " + tool::statusText(open));
        }
    }
    if (bufferCount != 0) check(U3V_SetBufferCount(stream_, bufferCount), "cannot set the buffer count");
    if (transferSize != 0) check(U3V_SetTransferSize(stream_, transferSize), "cannot set the transfer size");
    check(U3V_AcquisitionStart(stream_, 0), "cannot start the stream");
    streaming_ = true;
    // U3V_GetImage takes no buffer size: read the register the library sized its images
    // from, just as it did at the start.
    uint64_t sirm = readLe(readLe(kSbrmPointer, 8) + kSbrmSirmAddress, 8);
    payloadSize_ = readLe(sirm + kSiRequiredPayloadSize, 8);
    if (payloadSize_ == 0 || payloadSize_ > UINT32_MAX)
        throw Failure("the camera gives a payload size of " + std::to_string(payloadSize_) + " bytes");
    acquiring_ = true;  // first: a start that fails half-way is stopped all the same
    map_->node("AcquisitionStart").execute();
}

void CameraSession::stop(bool gone) {
    std::lock_guard<std::mutex> guard(features_);
    const bool acquiring = acquiring_, streaming = streaming_;
    acquiring_ = streaming_ = false;
    // The library's side first, so that it stops receiving even when the camera's fails.
    if (streaming) {
        uint64_t a = 0, b = 0;
        const uint16_t status = U3V_AcquisitionStop(stream_, &a, &b);
        if (!gone && status != U3V_OK && status != U3V_ERR_DEVICE_GONE)
            throw Failure("cannot stop the stream: " + tool::statusText(status));
    }
    if (acquiring && !gone) map_->node("AcquisitionStop").execute();
}

uint16_t CameraSession::grab(void* buffer, uint32_t waitMs, U3V_ImageInfo& info) {
    return U3V_GetImage(stream_, buffer, waitMs, &info);
}

uint16_t CameraSession::lock(void** data, uint32_t* size, uint32_t waitMs, U3V_ImageInfo& info) {
    return U3V_LockImage(stream_, data, size, waitMs, &info);
}

uint64_t CameraSession::readLe(uint64_t address, size_t n) const {
    uint8_t b[8] = {};
    camera_.read(address, b, n);
    uint64_t v = 0;
    for (size_t i = 0; i < n; ++i) v |= uint64_t{b[i]} << (8 * i);
    return v;
}

void CameraSession::closeStream() {
    if (stream_ != nullptr) U3V_CloseStream(stream_);
    stream_ = nullptr;
}

}  // namespace tessoralsrc
