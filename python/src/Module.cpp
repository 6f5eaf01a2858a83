// The native half of the tessoral package: the library's handles and the feature engine,
// with the GIL released around everything that waits for the camera. The Python half
// (tessoral/__init__.py) gives it its idiomatic shape.
#include <chrono>
#include <cmath>
#include <iterator>
#include <limits>
#include <memory>

#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include "Camera.h"
#include "Events.h"
#include "Features.h"
#include "Status.h"
#include "Stream.h"

namespace py = pybind11;
using namespace pytessoral;

namespace {

using Clock = std::chrono::steady_clock;

// Waits are cut into slices this long, so that Ctrl-C and the caller's time limit are
// noticed between them.
constexpr uint32_t kSliceMs = 100;

py::dict infoDict(const U3V_DEVICE_INFO& i) {
    py::dict d;
    d["guid"] = field(i.DeviceGUID, sizeof i.DeviceGUID);
    d["vendor"] = field(i.VendorName, sizeof i.VendorName);
    d["model"] = field(i.ModelName, sizeof i.ModelName);
    d["family"] = field(i.FamilyName, sizeof i.FamilyName);
    d["version"] = field(i.DeviceVersion, sizeof i.DeviceVersion);
    d["manufacturer_info"] = field(i.ManufacturerInfo, sizeof i.ManufacturerInfo);
    d["serial"] = field(i.SerialNumber, sizeof i.SerialNumber);
    d["user_name"] = field(i.UserDefinedName, sizeof i.UserDefinedName);
    d["in_use"] = i.InUse != 0;
    d["gencp_version"] = static_cast<uint32_t>(i.GenCPVersion);
    d["u3v_version"] = static_cast<uint32_t>(i.U3VVersion);
    d["speed_support"] = static_cast<unsigned>(i.SpeedSupport);
    return d;
}

// Text from a camera may be anything: undecodable bytes are replaced, never an exception.
py::str text(const std::string& s) {
    PyObject* o = PyUnicode_DecodeUTF8(s.data(), static_cast<Py_ssize_t>(s.size()), "replace");
    if (o == nullptr) throw py::error_already_set();
    return py::reinterpret_steal<py::str>(o);
}

// Any C-contiguous buffer, as its raw bytes.
std::vector<uint8_t> bufferBytes(const py::handle& v, const std::string& name) {
    Py_buffer view;
    if (PyObject_GetBuffer(v.ptr(), &view, PyBUF_C_CONTIGUOUS) != 0) {
        PyErr_Clear();
        throw StatusError(U3V_ERR_INVALID_HANDLE, name + ": a register takes contiguous bytes");
    }
    const auto* p = static_cast<const uint8_t*>(view.buf);
    std::vector<uint8_t> out(p, p + view.len);
    PyBuffer_Release(&view);
    return out;
}

bool bytesLike(const py::handle& v) {
    // A numpy scalar offers a buffer too, but is a number.
    return py::isinstance<py::bytes>(v) || PyByteArray_Check(v.ptr()) || PyMemoryView_Check(v.ptr()) ||
           (py::isinstance<py::array>(v) && py::reinterpret_borrow<py::array>(v).ndim() > 0);
}

Value toValue(const py::handle& v, const std::string& name) {
    if (py::isinstance<py::bool_>(v)) return v.cast<bool>();
    if (bytesLike(v)) return bufferBytes(v, name);
    // Any integer type (numpy's too), but never a float cut short.
    if (!py::isinstance<py::float_>(v) && PyIndex_Check(v.ptr())) {
        const py::object index = py::reinterpret_steal<py::object>(PyNumber_Index(v.ptr()));
        if (!index) throw py::error_already_set();
        int overflow = 0;
        const long long n = PyLong_AsLongLongAndOverflow(index.ptr(), &overflow);
        if (overflow != 0)
            throw StatusError(U3V_ERR_INVALID_HANDLE, name + ": " + py::repr(v).cast<std::string>() +
                                                          " does not fit a 64-bit integer");
        if (n == -1 && PyErr_Occurred()) throw py::error_already_set();
        return static_cast<int64_t>(n);
    }
    if (py::isinstance<py::float_>(v)) return v.cast<double>();
    if (py::isinstance<py::str>(v)) return v.cast<std::string>();
    throw StatusError(U3V_ERR_INVALID_HANDLE,
                      name + ": a feature takes int, float, str, bool or bytes, not " +
                          py::str(py::type::handle_of(v).attr("__name__")).cast<std::string>());
}

py::object fromValue(const Value& v) {
    switch (v.index()) {
    case 0: return py::int_(std::get<int64_t>(v));
    case 1: return py::float_(std::get<double>(v));
    case 2: return text(std::get<std::string>(v));
    case 3: return py::bool_(std::get<bool>(v));
    default: {
        const auto& b = std::get<std::vector<uint8_t>>(v);
        return py::bytes(reinterpret_cast<const char*>(b.data()), b.size());
    }
    }
}

// Runs f without the GIL.
template <class F>
auto released(F&& f) {
    py::gil_scoped_release release;
    return f();
}

void refuseInCallback(const char* what) {
    if (inEventCallback())
        throw StatusError(U3V_ERR_CALLED_FROM_CALLBACK,
                          std::string("an event callback cannot ") + what + ": the close waits for the callback's thread");
}

// A time-out in seconds (None: none) as a deadline.
std::optional<Clock::time_point> deadline(const std::optional<double>& timeout) {
    if (!timeout) return std::nullopt;
    if (!std::isfinite(*timeout) || *timeout < 0)
        throw StatusError(U3V_ERR_INVALID_HANDLE, "a time-out must be a number of seconds, 0 or more");
    const double capped = std::min(*timeout, 1e9);
    return Clock::now() + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(capped));
}

uint32_t nextSlice(const std::optional<Clock::time_point>& end) {
    if (!end) return kSliceMs;
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(*end - Clock::now()).count();
    return static_cast<uint32_t>(std::clamp<int64_t>(left, 0, kSliceMs));
}

// Lets a pending Ctrl-C (or any signal handler's exception) out between slices.
void checkSignals() {
    if (PyErr_CheckSignals() != 0) throw py::error_already_set();
}

// tessoral.Image, handed over once at import. Images are made here rather than by Python
// code: this runs for every image, after a wait that leaves the interpreter's caches cold,
// and the Python way in (a classmethod and a setter) cost about 20 us an image.
PyObject* imageClass = nullptr;

void setImageClass(const py::handle& cls) {
    if (!PyType_Check(cls.ptr())) throw StatusError(U3V_ERR_INVALID_HANDLE, "the image class must be a class");
    Py_XDECREF(imageClass);
    imageClass = cls.inc_ref().ptr();
}

// An Image of the array and the leader's fields, set straight into its slots.
py::object makeImage(py::object data, const U3V_ImageInfo& info, uint16_t status) {
    if (imageClass == nullptr) throw StatusError(U3V_ERR_INVALID_HANDLE, "tessoral did not register its image class");
    static const char* const names[] = {"data",     "block_id", "timestamp", "pixel_format",      "width",  "height",
                                        "offset_x", "offset_y", "padding_x", "missing_transfers", "status", "_array"};
    static PyObject* interned[std::size(names)] = {};
    for (size_t i = 0; i < std::size(names); ++i)
        if (interned[i] == nullptr && (interned[i] = PyUnicode_InternFromString(names[i])) == nullptr)
            throw py::error_already_set();
    auto* type = reinterpret_cast<PyTypeObject*>(imageClass);
    py::object image = py::reinterpret_steal<py::object>(type->tp_alloc(type, 0));
    if (!image) throw py::error_already_set();
    const py::object values[] = {std::move(data),
                                 py::int_(static_cast<uint64_t>(info.BlockId)),
                                 py::int_(static_cast<uint64_t>(info.Timestamp)),
                                 py::int_(static_cast<uint32_t>(info.PixelFormat)),
                                 py::int_(static_cast<uint32_t>(info.SizeX)),
                                 py::int_(static_cast<uint32_t>(info.SizeY)),
                                 py::int_(static_cast<uint32_t>(info.OffsetX)),
                                 py::int_(static_cast<uint32_t>(info.OffsetY)),
                                 py::int_(static_cast<unsigned>(info.PaddingX)),
                                 py::int_(static_cast<uint32_t>(info.MissingTransfers)),
                                 py::int_(static_cast<unsigned>(status)),
                                 py::none()};
    for (size_t i = 0; i < std::size(names); ++i)
        if (PyObject_SetAttr(image.ptr(), interned[i], values[i].ptr()) != 0) throw py::error_already_set();
    return image;
}

// A buffer the library lent: the base object of the array that views it, giving it back
// when the last view goes. Holds the stream, which keeps the buffer alive (see Stream).
struct Lease {
    std::shared_ptr<Stream> stream;
    void* data;
};

py::array lentArray(const std::shared_ptr<Stream>& s, void* data, uint64_t size) {
    auto* lease = new Lease{s, data};
    py::capsule base(lease, [](void* p) {
        std::unique_ptr<Lease> l(static_cast<Lease*>(p));
        py::gil_scoped_release release;  // the last one back may close the stream
        l->stream->unlock(l->data);
        l->stream.reset();
    });
    return py::array_t<uint8_t>(static_cast<py::ssize_t>(size), static_cast<uint8_t*>(data), base);
}

// The next image as a tessoral.Image, or None when the time-out passed. Without `copy` the
// array views the library's buffer.
py::object grab(const std::shared_ptr<Stream>& sp, const std::optional<double>& timeout, bool copy) {
    Stream& s = *sp;
    const auto end = deadline(timeout);
    const uint64_t payload = s.payloadSize();
    if (!s.running()) throw StatusError(U3V_ERR_ACQUISITION_STOPPED, "the stream is not started");
    py::array_t<uint8_t> owned;
    uint8_t* buffer = nullptr;
    if (copy) {
        owned = py::array_t<uint8_t>(static_cast<py::ssize_t>(payload));
        buffer = owned.mutable_data();
    }
    for (;;) {
        U3V_ImageInfo info{};
        const uint32_t slice = nextSlice(end);
        void* lent = nullptr;
        const uint16_t status = released([&] {
            return copy ? s.grab(buffer, payload, slice, info) : s.lock(slice, info, lent);
        });
        if (lent != nullptr) {
            // Given back should anything below fail.
            py::array a = lentArray(sp, lent, payload);
            return makeImage(std::move(a), info, status);
        }
        if (copy && statusHasImage(status)) return makeImage(std::move(owned), info, status);
        if (status != U3V_ERR_IMAGE_TIMEOUT && status != U3V_ERR_NO_IMAGE)
            throw StatusError(status, "taking an image failed");
        checkSignals();
        // A camera that left the bus ends the wait with U3V_ERR_DEVICE_GONE above.
        if (end && Clock::now() >= *end) return py::none();
    }
}

py::object nextEvent(Events& e, const std::optional<double>& timeout) {
    const auto end = deadline(timeout);
    for (;;) {
        const uint32_t slice = nextSlice(end);
        const auto m = released([&] { return e.next(slice); });
        if (m) return py::make_tuple(m->id, m->timestamp, m->length, m->data);
        checkSignals();
        if (end && Clock::now() >= *end) return py::none();
    }
}

py::dict describeDict(Camera& c, const std::string& name) {
    const FeatureInfo f = released([&] { return describe(c, name); });
    py::dict d;
    d["name"] = text(f.name);
    d["type"] = text(f.type);
    d["interface"] = f.interface;
    d["access"] = f.access;
    d["tool_tip"] = text(f.toolTip);
    d["unit"] = text(f.unit);
    d["min"] = f.intMin ? py::object(py::int_(*f.intMin)) : f.floatMin ? py::object(py::float_(*f.floatMin)) : py::none();
    d["max"] = f.intMax ? py::object(py::int_(*f.intMax)) : f.floatMax ? py::object(py::float_(*f.floatMax)) : py::none();
    d["inc"] = f.intInc ? py::object(py::int_(*f.intInc)) : py::none();
    d["length"] = f.length ? py::object(py::int_(*f.length)) : py::none();
    py::list entries, features;
    for (const auto& e : f.entries) entries.append(text(e));
    for (const auto& e : f.features) features.append(text(e));
    d["entries"] = entries;
    d["features"] = features;
    return d;
}

}  // namespace

PYBIND11_MODULE(_native, m) {
    m.doc() = "Native half of tessoral; use the tessoral package instead.";
    m.def("status_name", [](unsigned status) { return std::string(statusName(static_cast<uint16_t>(status))); });
    m.def("status_meaning", [](unsigned status) { return std::string(statusMeaning(static_cast<uint16_t>(status))); });
    registerErrors(m);
    m.def("set_image_class", &setImageClass);

    m.def("discover", [] {
        const auto found = released([] { return discover(); });
        py::list out;
        for (const auto& i : found) out.append(infoDict(i));
        return out;
    });

    py::class_<Camera, std::shared_ptr<Camera>>(m, "Camera")
        .def(py::init([](const std::string& id) { return released([&] { return std::make_shared<Camera>(id); }); }))
        .def("close", [](Camera& c) {
            refuseInCallback("close its camera");
            released([&] { c.close(); });
        })
        .def_property_readonly("is_open", &Camera::isOpen)
        .def_property_readonly("info", [](Camera& c) { return infoDict(c.info()); })
        .def("read", [](Camera& c, uint64_t address, size_t length) {
            const auto data = released([&] { return c.read(address, length); });
            return py::bytes(reinterpret_cast<const char*>(data.data()), data.size());
        })
        .def("write", [](Camera& c, uint64_t address, const py::buffer& data) {
            const py::buffer_info b = data.request();
            if (b.ndim != 1 || b.itemsize != 1 || b.strides[0] != 1)
                throw StatusError(U3V_ERR_INVALID_HANDLE, "write takes bytes or another contiguous byte buffer");
            const auto* p = static_cast<const uint8_t*>(b.ptr);
            const size_t n = static_cast<size_t>(b.size);
            released([&] { c.write(address, p, n); });
        })
        .def("description_file", [](Camera& c) { return text(released([&] { return c.descriptionFile(); })); })
        .def("feature_names", [](Camera& c, bool commands) { return released([&] { return featureNames(c, commands); }); })
        .def("categories", [](Camera& c) { return released([&] { return categories(c); }); })
        .def("has_feature", [](Camera& c, const std::string& n) { return released([&] { return hasFeature(c, n); }); })
        .def("get", [](Camera& c, const std::string& n) { return fromValue(released([&] { return getValue(c, n); })); })
        .def("set", [](Camera& c, const std::string& n, const py::object& v) {
            const Value value = toValue(v, n);
            released([&] { setValue(c, n, value); });
        })
        .def("execute", [](Camera& c, const std::string& n) { released([&] { execute(c, n); }); })
        .def("is_done", [](Camera& c, const std::string& n) { return released([&] { return isDone(c, n); }); })
        .def("get_text", [](Camera& c, const std::string& n) { return text(released([&] { return getText(c, n); })); })
        .def("set_text", [](Camera& c, const std::string& n, const std::string& t) { released([&] { setText(c, n, t); }); })
        .def("describe", &describeDict)
        .def("open_stream", [](const std::shared_ptr<Camera>& c, uint32_t timeoutMs) {
            return released([&] { return std::make_shared<Stream>(c, timeoutMs); });
        })
        .def("open_events", [](const std::shared_ptr<Camera>& c, py::object callback, uint32_t timeoutMs) {
            if (!callback.is_none() && !PyCallable_Check(callback.ptr()))
                throw StatusError(U3V_ERR_INVALID_HANDLE, "the event callback must be callable");
            if (callback.is_none()) callback = py::object();
            return released([&] { return std::make_shared<Events>(c, callback, timeoutMs); });
        });

    py::class_<Stream, std::shared_ptr<Stream>>(m, "Stream")
        .def_property("buffer_count", [](Stream& s) { return released([&] { return s.bufferCount(); }); },
                      [](Stream& s, uint32_t n) { released([&] { s.setBufferCount(n); }); })
        .def_property("transfer_size", [](Stream& s) { return released([&] { return s.transferSize(); }); },
                      [](Stream& s, uint32_t n) { released([&] { s.setTransferSize(n); }); })
        .def("start", [](Stream& s) { released([&] { s.start(); }); })
        .def("stop", [](Stream& s) { released([&] { s.stop(); }); })
        .def_property_readonly("running", &Stream::running)
        .def_property_readonly("payload_size", &Stream::payloadSize)
        .def("grab", &grab, py::arg("timeout"), py::arg("copy") = false)
        .def("close", [](Stream& s) { released([&] { s.release(); }); })
        .def_property_readonly("is_open", [](Stream& s) { return released([&] { return s.isOpen(); }); });

    py::class_<Events, std::shared_ptr<Events>>(m, "Events")
        .def("test", [](Events& e) { released([&] { e.test(); }); })
        .def("next", &nextEvent, py::arg("timeout"))
        .def_property_readonly("dropped", &Events::dropped)
        .def("close", [](Events& e) {
            refuseInCallback("close its own event channel");
            released([&] { e.release(); });
        })
        .def_property_readonly("is_open", [](Events& e) { return released([&] { return e.isOpen(); }); });
}
