/* The public header must compile as plain C. */
#include "tessoral/tessoral.h"

#include <stddef.h>

_Static_assert(offsetof(U3V_DEVICE_INFO, DeviceGUID) == 8, "DeviceGUID offset");
_Static_assert(offsetof(U3V_DEVICE_INFO, UserDefinedName) == 405, "UserDefinedName offset");
_Static_assert(offsetof(U3V_DEVICE_INFO, InUse) == 470, "InUse offset");

int tessoral_header_c_check(void) {
    U3V_LogCallback log = NULL;
    uint16_t (*discover)(uint16_t *) = U3V_DiscoveryDevices;
    return log == NULL && discover != NULL;
}
