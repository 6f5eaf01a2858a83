// A stand-in for the camera library that exports only the first BOUND_ROWS of the 22
// functions the tool binds (and, with all 22, none of the functions it does not bind).
#include <cstdint>

#define ROW(n, name) \
    extern "C" __attribute__((visibility("default"))) uint16_t name() { return n; }

#if BOUND_ROWS >= 9
ROW(1, U3V_DiscoveryDevices)
ROW(2, U3V_GetDeviceInfo)
ROW(3, U3V_OpenDevice)
ROW(4, U3V_CloseDevice)
ROW(5, U3V_SetDetailedLog)
ROW(6, U3V_GetDetailedLog)
ROW(7, U3V_OpenControl)
ROW(8, U3V_CloseControl)
ROW(9, U3V_ReadMem)
#endif
#if BOUND_ROWS >= 22
ROW(10, U3V_WriteMem)
ROW(11, U3V_ReadXml)
ROW(12, U3V_WriteXml)
ROW(13, U3V_MaximumDeviceResponseTime)
ROW(14, U3V_OpenEvent)
ROW(15, U3V_CloseEvent)
ROW(16, U3V_OpenStream)
ROW(17, U3V_CloseStream)
ROW(18, U3V_AcquisitionStart)
ROW(19, U3V_AcquisitionStop)
ROW(20, U3V_GetImage)
ROW(21, U3V_GetTransferSize)
ROW(22, U3V_SetTransferSize)
#endif
