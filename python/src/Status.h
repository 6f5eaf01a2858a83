// Library statuses as Python sees them: one exception class carrying the 16-bit status, its
// name and its meaning.
#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>

#include <pybind11/pybind11.h>

namespace pytessoral {

// A failure with the status that caused it; turned into tessoral.Error at the border.
class StatusError : public std::runtime_error {
public:
    StatusError(uint16_t status, const std::string& message) : std::runtime_error(message), status_(status) {}
    uint16_t status() const { return status_; }

private:
    uint16_t status_;
};

// "U3V_ERR_DEVICE_GONE", or "GENCP_INVALID_PARAMETER" for a camera's own status; empty
// when the status is unknown.
const char* statusName(uint16_t status);
// What the status means, as the header says; "unknown status" otherwise.
const char* statusMeaning(uint16_t status);

// Throws StatusError when status is not U3V_OK; `what` says which call.
void check(uint16_t status, const std::string& what);

// Defines tessoral.Error in the module and translates StatusError into it.
void registerErrors(pybind11::module_& m);

}  // namespace pytessoral
