#include "Status.h"

#include <cstdio>

#include <pybind11/eval.h>

#include "tessoral/tessoral.h"

namespace py = pybind11;

namespace pytessoral {

namespace {

struct Entry {
    uint16_t status;
    const char* name;
    const char* meaning;
};

// The library's codes with the header's words, then the GenCP statuses a camera sends.
constexpr Entry kStatuses[] = {
    {U3V_OK, "U3V_OK", "success"},
    {U3V_ERR_USB_OPEN, "U3V_ERR_USB_OPEN", "the USB device could not be opened"},
    {U3V_ERR_NO_CONFIGURATION, "U3V_ERR_NO_CONFIGURATION", "a USB3 Vision class device has no configuration"},
    {U3V_ERR_NO_INTERFACES, "U3V_ERR_NO_INTERFACES", "the configuration declares no interfaces"},
    {U3V_ERR_CONFIG_DESCRIPTOR, "U3V_ERR_CONFIG_DESCRIPTOR", "reading the configuration descriptor failed"},
    {U3V_ERR_STRING_DESCRIPTOR, "U3V_ERR_STRING_DESCRIPTOR", "reading a device information string failed"},
    {U3V_ERR_CONTROL_CLAIM, "U3V_ERR_CONTROL_CLAIM", "the control interface could not be claimed"},
    {U3V_ERR_CONTROL_NOT_OPEN, "U3V_ERR_CONTROL_NOT_OPEN", "transaction on a control channel that is not open"},
    {U3V_ERR_ACK_PREFIX, "U3V_ERR_ACK_PREFIX", "acknowledge without the \"U3VC\" prefix"},
    {U3V_ERR_ACK_COMMAND, "U3V_ERR_ACK_COMMAND", "acknowledge with an unexpected command id"},
    {U3V_ERR_ACK_REQUEST_ID, "U3V_ERR_ACK_REQUEST_ID", "acknowledge for another request id"},
    {U3V_ERR_XML_EMPTY, "U3V_ERR_XML_EMPTY", "the description file is empty"},
    {U3V_ERR_XML_READ, "U3V_ERR_XML_READ",
     "reading the description file failed too often, or its size is larger than the library accepts"},
    {U3V_ERR_XML_FILE_OPEN, "U3V_ERR_XML_FILE_OPEN", "the file to write cannot be opened or read whole"},
    {U3V_ERR_XML_WRITE, "U3V_ERR_XML_WRITE", "writing the description file failed too often"},
    {U3V_ERR_MANIFEST_WRITE, "U3V_ERR_MANIFEST_WRITE", "writing the manifest table failed"},
    {U3V_ERR_NO_EVENT_INTERFACE, "U3V_ERR_NO_EVENT_INTERFACE", "the camera has no event interface"},
    {U3V_ERR_EVENT_CLAIM_FAILED, "U3V_ERR_EVENT_CLAIM_FAILED", "the event interface could not be claimed"},
    {U3V_ERR_EVENT_NOT_OPEN, "U3V_ERR_EVENT_NOT_OPEN", "the event channel is not open"},
    {U3V_ERR_EIRM_NOT_AVAILABLE, "U3V_ERR_EIRM_NOT_AVAILABLE", "the camera has no event register map"},
    {U3V_ERR_NO_STREAM_INTERFACE, "U3V_ERR_NO_STREAM_INTERFACE", "the camera has no stream interface"},
    {U3V_ERR_STREAM_CLAIM_FAILED, "U3V_ERR_STREAM_CLAIM_FAILED", "the stream interface could not be claimed"},
    {U3V_ERR_STREAM_NOT_OPEN, "U3V_ERR_STREAM_NOT_OPEN", "the stream is not open"},
    {U3V_ERR_NO_IMAGE, "U3V_ERR_NO_IMAGE", "no image is waiting"},
    {U3V_ERR_IMAGE_TIMEOUT, "U3V_ERR_IMAGE_TIMEOUT", "no image came in time"},
    {U3V_ERR_MISSING_PACKETS, "U3V_ERR_MISSING_PACKETS", "the image is missing data"},
    {U3V_ERR_INVALID_HANDLE, "U3V_ERR_INVALID_HANDLE",
     "null handle or argument, no device table, or an argument outside what the call accepts"},
    {U3V_ERR_EXCEPTION, "U3V_ERR_EXCEPTION", "an exception was caught by the export's frame"},
    {U3V_ERR_DEVICE_NOT_FOUND, "U3V_ERR_DEVICE_NOT_FOUND",
     "no device with that GUID, or a device number outside 1..count"},
    {U3V_ERR_XML_UNZIP, "U3V_ERR_XML_UNZIP",
     "a zipped description file could not be unpacked, or it is larger than the library accepts"},
    {U3V_ERR_DEVICE_GONE, "U3V_ERR_DEVICE_GONE", "the camera has left the bus"},
    {U3V_ERR_ACQUISITION_STOPPED, "U3V_ERR_ACQUISITION_STOPPED",
     "a wait for an image was woken because acquisition was stopped, restarted, or the stream closed"},
    {U3V_ERR_CALLED_FROM_CALLBACK, "U3V_ERR_CALLED_FROM_CALLBACK",
     "called from the channel's own callback on its worker thread, which the call would wait for"},
    {U3V_ERR_USB_TRANSFER, "U3V_ERR_USB_TRANSFER",
     "a control bulk transfer failed or timed out, or a transaction outran the library's bounds"},
    {U3V_ERR_ACK_LENGTH, "U3V_ERR_ACK_LENGTH", "an acknowledge of the wrong length"},
    {0x8001, "GENCP_NOT_IMPLEMENTED", "the camera does not implement the command"},
    {0x8002, "GENCP_INVALID_PARAMETER", "the camera refused the value"},
    {0x8003, "GENCP_INVALID_ADDRESS", "the camera has nothing at that address"},
    {0x8004, "GENCP_WRITE_PROTECT", "the camera's register is write-protected"},
    {0x8005, "GENCP_BAD_ALIGNMENT", "the camera requires another alignment"},
    {0x8006, "GENCP_ACCESS_DENIED", "the camera denied access"},
    {0x8007, "GENCP_BUSY", "the camera is busy"},
    {0x800F, "GENCP_MSG_MISMATCH", "the camera's configuration does not allow it"},
    {0x8FFF, "GENCP_ERROR", "the camera reported a generic error"},
};

const Entry* find(uint16_t status) {
    for (const Entry& e : kStatuses)
        if (e.status == status) return &e;
    return nullptr;
}

}  // namespace

const char* statusName(uint16_t status) {
    const Entry* e = find(status);
    return e != nullptr ? e->name : "";
}

const char* statusMeaning(uint16_t status) {
    const Entry* e = find(status);
    return e != nullptr ? e->meaning : "unknown status";
}

void check(uint16_t status, const std::string& what) {
    if (status != U3V_OK) throw StatusError(status, what);
}

// The class is written in Python so that it pickles, prints and subclasses as Python users
// expect; the status table stays in C++, beside the header it mirrors.
void registerErrors(py::module_& m) {
    py::dict scope;
    scope["__builtins__"] = py::module_::import("builtins");
    scope["_name"] = m.attr("status_name");
    scope["_meaning"] = m.attr("status_meaning");
    py::exec(R"py(
class Error(Exception):
    """A failure of the library, the camera or a call's arguments.

    ``status`` is the 16-bit status (a library code 0xC001..0xC020, or a GenCP status the
    camera sent), ``name`` its symbolic name and ``meaning`` what it means.
    """

    def __init__(self, status, message=""):
        super().__init__(status, message)
        self.status = int(status)
        self.message = message
        self.name = _name(self.status) or "status 0x%04X" % self.status
        self.meaning = _meaning(self.status)

    def __str__(self):
        text = "0x%04X %s (%s)" % (self.status, self.name, self.meaning)
        return text + ": " + self.message if self.message else text

    def __reduce__(self):
        return (type(self), (self.status, self.message))
)py",
             scope);
    py::object error = scope["Error"];
    error.attr("__module__") = "tessoral";
    m.attr("Error") = error;
    // Kept for the translator; the module holds a reference as long as it lives.
    static PyObject* errorType = error.ptr();
    py::register_exception_translator([](std::exception_ptr p) {
        try {
            if (p) std::rethrow_exception(p);
        } catch (const StatusError& e) {
            py::object instance = py::reinterpret_borrow<py::object>(errorType)(e.status(), e.what());
            PyErr_SetObject(errorType, instance.ptr());
        }
    });
}

}  // namespace pytessoral
