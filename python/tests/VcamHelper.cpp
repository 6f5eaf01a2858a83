// Test-side control of the virtual camera from Python: the few calls the package's tests
// need to shape the world and to see what crossed the bus.
#include <stdexcept>

#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include "vcam/vcam.h"

namespace py = pybind11;

namespace {

vcam::StreamFaultKind streamFault(const std::string& kind) {
    if (kind == "short_payload") return vcam::StreamFaultKind::ShortPayload;
    if (kind == "trailer_status") return vcam::StreamFaultKind::TrailerStatus;
    if (kind == "unplug") return vcam::StreamFaultKind::Unplug;
    if (kind == "stall") return vcam::StreamFaultKind::Stall;
    throw std::invalid_argument("unknown stream fault " + kind);
}

}  // namespace

PYBIND11_MODULE(_vcamtest, m) {
    // A world of one camera with the given identity (defaults elsewhere); returns its id.
    m.def("reset", [](const std::string& guid, const std::string& serial, uint64_t bytesPerSecond, bool hasEvent) {
        vcam::reset();
        vcam::CameraConfig c;
        if (!guid.empty()) c.identity.guid = guid;
        if (!serial.empty()) c.identity.serialNumber = serial;
        c.streamBytesPerSecond = bytesPerSecond;
        c.hasEvent = hasEvent;
        return vcam::addCamera(c);
    }, py::arg("guid") = "", py::arg("serial") = "", py::arg("bytes_per_second") = 400000000,
       py::arg("has_event") = true);
    m.def("add_camera", [](const std::string& guid, const std::string& serial) {
        vcam::CameraConfig c;
        c.identity.guid = guid;
        c.identity.serialNumber = serial;
        return vcam::addCamera(c);
    });
    m.def("unplug", &vcam::unplug);
    m.def("plugged", &vcam::plugged);
    m.def("expected_image", [](uint64_t blockId, size_t size) {
        const auto bytes = vcam::expectedImage(blockId, size);
        return py::bytes(reinterpret_cast<const char*>(bytes.data()), bytes.size());
    });
    m.def("stream_stats", [](int camera) {
        const vcam::StreamStats s = vcam::streamStats(camera);
        py::dict d;
        d["streaming"] = s.streaming;
        d["taken"] = s.taken;
        d["dropped"] = s.dropped;
        d["completed"] = s.completed;
        d["buffered"] = s.buffered;
        return d;
    });
    m.def("set_pacing", [](int camera, uint64_t bytesPerSecond, uint32_t frameRate) {
        vcam::setStreamPacing(camera, bytesPerSecond, frameRate);
    });
    m.def("add_stream_fault", [](int camera, const std::string& kind, int skip, int count, uint32_t transfer,
                                 uint16_t status) {
        vcam::StreamFault f;
        f.kind = streamFault(kind);
        f.skip = skip;
        f.count = count;
        f.transfer = transfer;
        f.status = status;
        vcam::addStreamFault(camera, f);
    }, py::arg("camera"), py::arg("kind"), py::arg("skip") = 0, py::arg("count") = 1, py::arg("transfer") = 0,
       py::arg("status") = 0xA100);
    m.def("set_call_record", &vcam::setCallRecord);
    m.def("clear_calls", &vcam::clearCalls);
    // (function, interface, endpoint, result, data) of every recorded call.
    m.def("calls", [] {
        py::list out;
        for (const vcam::UsbCall& c : vcam::calls())
            out.append(py::make_tuple(c.function, c.interface, c.endpoint, c.result,
                                      py::bytes(reinterpret_cast<const char*>(c.data.data()), c.data.size())));
        return out;
    });
    m.def("peek", [](int camera, uint64_t address, size_t length) {
        std::string out(length, '\0');
        if (!vcam::peek(camera, address, out.data(), length)) throw std::runtime_error("peek failed");
        return py::bytes(out);
    });
}
