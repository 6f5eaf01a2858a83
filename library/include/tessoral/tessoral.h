/*
 * Tessoral: access to USB3 Vision cameras.
 *
 * Every function returns a 16-bit status: U3V_OK (0), one of the library's own codes
 * (0xC001 to 0xC020), or a GenCP status that the camera sent in an acknowledge.
 * Handles are opaque; the function that opens one stores it, the matching close
 * function destroys it.
 *
 * Null pointers: a null handle gives U3V_ERR_INVALID_HANDLE. So does a null output
 * pointer, a null device GUID or a null data buffer with a non-zero length: the call
 * then does nothing else and writes nothing.
 *
 * Threads. Any thread may call any function. What may overlap on one handle:
 * - Discovery (U3V_DiscoveryDevices, U3V_GetDeviceInfo) is for one thread at a time, and
 *   not beside U3V_OpenDevice.
 * - Device handle: every call may overlap every call on its control, event and stream
 *   handles. A close never overlaps another call on the handle it closes, nor follows
 *   the close of the handles opened from it (close stream and event, then control, then
 *   device).
 * - Control handle: U3V_ReadMem, U3V_WriteMem, U3V_ReadXml and U3V_WriteXml may be called
 *   from several threads at once, also beside the event and stream channels that use the
 *   same control handle: each access (all transactions of a split one) and each
 *   description file transfer runs whole, one after the other.
 * - Event handle: U3V_TestEvent may overlap it all but U3V_CloseEvent. The callback runs
 *   on the channel's worker thread; it may call any function except U3V_CloseEvent of
 *   its own channel (refused with U3V_ERR_CALLED_FROM_CALLBACK).
 * - Stream handle: one thread at a time in U3V_GetImage; U3V_AcquisitionStart,
 *   U3V_AcquisitionStop, U3V_CloseStream and the Get/Set of buffer count and transfer size
 *   may be called from other threads meanwhile (start, stop and close run one at a time).
 *   A waiting U3V_GetImage is then woken as described below; start, stop and close change
 *   the image buffers only after it has left. U3V_CloseStream may be called while
 *   another thread waits in U3V_GetImage, never after: the handle is gone once it returns.
 *
 * A camera gone. Once the library has seen the camera leave the bus (a USB transfer that
 * says so), every later call on its device, control, event and stream handles gives
 * U3V_ERR_DEVICE_GONE, except that images received before it are still handed out by
 * U3V_GetImage. The close functions still release everything and return U3V_OK.
 */
#ifndef TESSORAL_TESSORAL_H
#define TESSORAL_TESSORAL_H

#include <stdint.h>

#if defined(__GNUC__)
#define U3V_API __attribute__((visibility("default")))
#else
#define U3V_API
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* Status codes. */
#define U3V_OK                        0x0000u
#define U3V_ERR_USB_OPEN              0xC001u /* the USB device could not be opened */
#define U3V_ERR_NO_CONFIGURATION      0xC002u /* a USB3 Vision class device has no configuration */
#define U3V_ERR_NO_INTERFACES         0xC003u /* the configuration declares no interfaces */
#define U3V_ERR_CONFIG_DESCRIPTOR     0xC004u /* reading the configuration descriptor failed */
#define U3V_ERR_STRING_DESCRIPTOR     0xC005u /* reading a device information string failed */
#define U3V_ERR_CONTROL_CLAIM         0xC006u /* the control interface could not be claimed */
#define U3V_ERR_CONTROL_NOT_OPEN      0xC007u /* transaction on a control channel that is not open */
#define U3V_ERR_ACK_PREFIX            0xC008u /* acknowledge without the "U3VC" prefix */
#define U3V_ERR_ACK_COMMAND           0xC009u /* acknowledge with an unexpected command id */
#define U3V_ERR_ACK_REQUEST_ID        0xC00Au /* acknowledge for another request id */
#define U3V_ERR_XML_EMPTY             0xC00Bu /* the description file is empty: a manifest size
                                                 of 0, a zipped one whose first member is empty
                                                 or a directory, or an empty file to write */
#define U3V_ERR_XML_READ              0xC00Cu /* reading the description file failed too often,
                                                 or its size is larger than the library accepts */
#define U3V_ERR_XML_FILE_OPEN         0xC00Du /* the file to write cannot be opened or read
                                                 whole (a read error, a directory, or other
                                                 bytes than its length says) */
#define U3V_ERR_XML_WRITE             0xC00Eu /* writing the description file failed too often */
#define U3V_ERR_MANIFEST_WRITE        0xC00Fu /* writing the manifest table failed */
#define U3V_ERR_NO_EVENT_INTERFACE    0xC010u
#define U3V_ERR_EVENT_CLAIM_FAILED    0xC011u
#define U3V_ERR_EVENT_NOT_OPEN        0xC012u
#define U3V_ERR_EIRM_NOT_AVAILABLE    0xC013u
#define U3V_ERR_NO_STREAM_INTERFACE   0xC014u
#define U3V_ERR_STREAM_CLAIM_FAILED   0xC015u
#define U3V_ERR_STREAM_NOT_OPEN       0xC016u
#define U3V_ERR_NO_IMAGE              0xC017u
#define U3V_ERR_IMAGE_TIMEOUT         0xC018u
#define U3V_ERR_MISSING_PACKETS       0xC019u
#define U3V_ERR_INVALID_HANDLE        0xC01Au /* null handle or argument, no device table, or
                                                 an argument outside what the call accepts */
#define U3V_ERR_EXCEPTION             0xC01Bu /* an exception was caught by the export's frame */
#define U3V_ERR_DEVICE_NOT_FOUND      0xC01Cu /* no device with that GUID, or a device number
                                                 outside 1..count */
#define U3V_ERR_XML_UNZIP             0xC01Du /* a zipped description file could not be unpacked,
                                                 or it is larger than the library accepts */
#define U3V_ERR_DEVICE_GONE           0xC01Eu /* the camera has left the bus: every later call
                                                 on its device, control, event or stream
                                                 handle gives this too */
#define U3V_ERR_ACQUISITION_STOPPED   0xC01Fu /* a waiting U3V_GetImage was woken because
                                                 acquisition was stopped, restarted, or the
                                                 stream closed, from another thread; also a
                                                 U3V_GetImage that arrives while a close runs */
#define U3V_ERR_CALLED_FROM_CALLBACK  0xC020u /* called from the channel's own callback on its
                                                 worker thread, which the call would wait for */
#define U3V_ERR_USB_TRANSFER          0x800Bu /* a control bulk transfer failed or timed out,
                                                 or a transaction outran the bounds below */
#define U3V_ERR_ACK_LENGTH            0x800Eu /* an acknowledge of the wrong length */

/* Bounds on what a camera may ask of the control channel. No camera needs more; they keep
 * a broken or hostile one from stalling the caller.
 * - Each wait for an acknowledge lasts at most U3V_MAX_ACK_WAIT_MS, whether the camera's
 *   Maximum Device Response Time or a pending acknowledge asks for longer. A time-out of
 *   0 from the camera means the default of 3000 ms.
 * - One transaction (a command and its acknowledge, pending ones included) ends with
 *   U3V_ERR_USB_TRANSFER after U3V_MAX_TRANSACTION_MS, or after
 *   U3V_MAX_ACKS_PER_TRANSACTION acknowledges that were not its answer.
 * - Pending acknowledges are waited out for reads and writes alike. Acknowledges of the
 *   requests just before (answers that came after their transaction gave up) are read
 *   past, and opening the control channel first drains any left on the pipe.
 * - Every piece of a split access carries at least U3V_MIN_TRANSFER_DATA bytes (one
 *   32-bit register), in whole words, even when the camera's Maximum Command or
 *   Acknowledge Transfer Length leaves less room beside the packet header; a camera that
 *   really cannot take them refuses them with its own status. A length of 0 counts as
 *   not given: the library's own buffer sizes apply (1012 bytes a read, 1036 a write).
 * - U3V_OpenControl tries a claim refused as busy again for U3V_CLAIM_BUSY_WAIT_MS
 *   (discovery, here or in another program, holds it for a moment) before it gives
 *   U3V_ERR_CONTROL_CLAIM. */
#define U3V_MAX_ACK_WAIT_MS           30000u
#define U3V_MAX_TRANSACTION_MS        120000u
#define U3V_MAX_ACKS_PER_TRANSACTION  1024
#define U3V_MIN_TRANSFER_DATA         4u
#define U3V_CLAIM_BUSY_WAIT_MS        500u

/* Device log levels: single bits of the mask given to U3V_OpenDevice. */
#define U3V_LOG_INFO    1u
#define U3V_LOG_WARNING 2u
#define U3V_LOG_ERROR   4u

/* Receives one device log message; the text is valid only during the call. The result
 * is ignored. May be called on a library worker thread. */
typedef int (*U3V_LogCallback)(uint8_t level, const char *text);

/* Receives the progress of U3V_WriteXml, 0 rising towards 98. The result is ignored. */
typedef int (*U3V_ProgressCallback)(int32_t progress);

/* Receives one event message of the camera, on the event channel's worker thread:
 * the event id, the device timestamp, the length of the event data in bytes and its first
 * eight bytes as one little-endian value (bytes beyond the data read as 0). */
typedef void (*U3V_EventCallback)(uint16_t eventId, uint64_t timestamp, uint32_t dataLength,
                                  uint64_t data);

#pragma pack(push, 1)
/* Device information as found by discovery. 471 bytes, packed, little-endian. */
typedef struct U3V_DEVICE_INFO {
    uint32_t GenCPVersion;
    uint32_t U3VVersion;
    char DeviceGUID[13];
    char VendorName[64];
    char ModelName[64];
    char FamilyName[64];
    char DeviceVersion[64];
    char ManufacturerInfo[64];
    char SerialNumber[64];
    char UserDefinedName[64];
    uint8_t SpeedSupport;
    uint8_t InUse;
} U3V_DEVICE_INFO;
#pragma pack(pop)

#pragma pack(push, 1)
/* What U3V_GetImage tells about an image: its leader's fields and the number of payload
 * transfers that did not arrive in full. 42 bytes, packed, little-endian. */
typedef struct U3V_ImageInfo {
    uint64_t BlockId;
    uint64_t Timestamp;
    uint32_t PixelFormat;
    uint32_t SizeX;
    uint32_t SizeY;
    uint32_t OffsetX;
    uint32_t OffsetY;
    uint16_t PaddingX;
    uint32_t MissingTransfers;
} U3V_ImageInfo;
#pragma pack(pop)

#ifdef __cplusplus
static_assert(sizeof(U3V_DEVICE_INFO) == 471, "U3V_DEVICE_INFO must be 471 bytes");
static_assert(sizeof(U3V_ImageInfo) == 42, "U3V_ImageInfo must be 42 bytes");
#else
_Static_assert(sizeof(U3V_DEVICE_INFO) == 471, "U3V_DEVICE_INFO must be 471 bytes");
_Static_assert(sizeof(U3V_ImageInfo) == 42, "U3V_ImageInfo must be 42 bytes");
#endif

/* Discovery. Rebuilds the device table; *count receives the number of devices of the
 * last discovery that ran to its end (also when this one failed). Only devices whose
 * configuration has a USB3 Vision control interface are opened; other devices of the
 * same class code (webcams) are left alone. */
U3V_API uint16_t U3V_DiscoveryDevices(uint16_t *count);
/* Copies the information of device number 1..count of the last discovery.
 * Another number gives U3V_ERR_DEVICE_NOT_FOUND. InUse is 1 while any device handle of
 * this process is open on the camera (whichever discovery it was opened from), or when
 * discovery found its control interface held by another program. */
U3V_API uint16_t U3V_GetDeviceInfo(uint16_t device, U3V_DEVICE_INFO *info);

/* Device. *handle receives a handle whatever the status (unless it could not be
 * created); close it with U3V_CloseDevice. */
U3V_API uint16_t U3V_OpenDevice(const char *guid, void **handle, U3V_LogCallback callback,
                                uint8_t mask);
U3V_API uint16_t U3V_CloseDevice(void *handle);
U3V_API uint16_t U3V_SetDetailedLog(void *handle, uint8_t mask);
U3V_API uint16_t U3V_GetDetailedLog(void *handle, uint8_t *mask);

/* Control channel. *control receives a handle whatever the open yields; close it with
 * U3V_CloseControl before closing the device. */
U3V_API uint16_t U3V_OpenControl(void *device, void **control);
U3V_API uint16_t U3V_CloseControl(void *control);
/* Accesses larger than one transaction carries are split into several transactions.
 * On failure the buffer of U3V_ReadMem is left unchanged. */
U3V_API uint16_t U3V_ReadMem(void *control, uint64_t address, uint16_t length, void *buffer);
U3V_API uint16_t U3V_WriteMem(void *control, uint64_t address, uint16_t length,
                              const void *buffer);
U3V_API uint16_t U3V_MaximumDeviceResponseTime(void *control, uint32_t *timeout);

/* Description file. The buffer handed out belongs to the control handle: valid until
 * the next U3V_ReadXml on it or U3V_CloseControl. U3V_WriteXml writes a new manifest
 * only for a file sent whole: an empty file gives U3V_ERR_XML_EMPTY, a file that cannot
 * be read whole U3V_ERR_XML_FILE_OPEN, and the camera keeps its old manifest. */
U3V_API uint16_t U3V_ReadXml(void *control, uint8_t **buffer, uint32_t *size, uint8_t save);
U3V_API uint16_t U3V_WriteXml(void *control, const char *path, uint32_t dataAddress,
                              uint32_t manifestAddress, uint32_t fileVersion,
                              uint16_t schemaVersion, U3V_ProgressCallback progress);

/* Event channel. Needs the device's event interface; the camera sends events only after
 * the caller has enabled them (EI_Control, with U3V_WriteMem). The callback (may be null)
 * runs on a worker thread; each read of the event pipe waits up to timeout ms, so a close
 * takes up to that long. On failure *event is null. One event channel per device handle:
 * a second U3V_OpenEvent while one is open gives U3V_ERR_EVENT_CLAIM_FAILED. After the
 * camera left the bus the worker stops reading and ends.
 * U3V_CloseEvent returns once the worker has ended. Called from the channel's own
 * callback it would wait for itself: it returns U3V_ERR_CALLED_FROM_CALLBACK at once and
 * does nothing, the channel stays open (events keep coming) and is closed from another
 * thread. */
U3V_API uint16_t U3V_OpenEvent(void *device, void *control, void **event,
                               U3V_EventCallback callback, uint32_t timeout);
U3V_API uint16_t U3V_CloseEvent(void *event);

/* Stream channel. *stream receives a handle whatever the open yields; close it with
 * U3V_CloseStream before closing the control channel. One stream channel per device
 * handle: a second U3V_OpenStream while one is open gives U3V_ERR_STREAM_CLAIM_FAILED
 * (the handle it gives is closed as any other).
 * U3V_AcquisitionStart plans the transfers from the camera's required payload size,
 * writes the plan to the camera (a camera that refuses a plan register fails the start
 * with its own status), makes bufferCount + 1 image buffers and starts receiving; a
 * start while acquisition runs stops it first (a restart). A camera payload of 4 GiB or
 * more is refused (U3V_ERR_INVALID_HANDLE).
 * U3V_AcquisitionStop writes 0 to both values and discards the images that wait.
 * U3V_GetImage copies the oldest waiting image (the payload size read at the last start)
 * into buffer and its information into *info, waiting up to timeout ms (0xFFFFFFFF: no
 * limit). It returns the trailer's status (0 for a good image), U3V_ERR_MISSING_PACKETS
 * for an image with missing data (delivered all the same), U3V_ERR_IMAGE_TIMEOUT, or
 * U3V_ERR_NO_IMAGE; with a null info the data is copied and the image stays queued.
 * A wait ends at once with U3V_ERR_ACQUISITION_STOPPED when another thread stops,
 * restarts or closes the stream, and with U3V_ERR_DEVICE_GONE when the camera leaves the
 * bus. Before the first start (and after a stop) it waits its time-out and gives
 * U3V_ERR_IMAGE_TIMEOUT, unless a start from another thread meanwhile brings an image,
 * which it then receives. On a stream whose open failed it gives U3V_ERR_STREAM_NOT_OPEN
 * at once.
 * Images that wait are never overwritten; when bufferCount images wait, newer ones are
 * dropped. A buffer count of 0 is accepted: the start succeeds, and no image can ever be
 * delivered (every image is dropped).
 * Transfer sizes of 0 or above 0x7FFFFFFF and buffer counts above 0x7FFFFFFE are refused
 * (U3V_ERR_INVALID_HANDLE);
 * both settings take effect at the next start. */
U3V_API uint16_t U3V_OpenStream(void *device, void *control, void **stream, uint32_t timeout);
U3V_API uint16_t U3V_CloseStream(void *stream);
U3V_API uint16_t U3V_AcquisitionStart(void *stream, uint32_t unused);
U3V_API uint16_t U3V_AcquisitionStop(void *stream, uint64_t *valueA, uint64_t *valueB);
U3V_API uint16_t U3V_GetImage(void *stream, void *buffer, uint32_t timeout, U3V_ImageInfo *info);
/* Zero-copy delivery. U3V_LockImage waits as U3V_GetImage does (same time-out, wake-ups
 * and statuses) and hands out the oldest waiting image's own buffer instead of a copy:
 * *data and *size (the payload size read at the last start) are written only when an
 * image is locked, which is the case for U3V_OK, U3V_ERR_MISSING_PACKETS and a trailer
 * status; info may be null. The engine never writes a locked buffer; it counts against
 * bufferCount as a waiting image does, so with every buffer locked or waiting newer
 * images are dropped. Give it back with U3V_UnlockImage(stream, data), from any thread;
 * an address that is not a locked buffer of the stream (one given back already, or
 * never locked) gives U3V_ERR_INVALID_HANDLE and changes nothing.
 * A locked buffer stays valid and untouched across U3V_AcquisitionStop and restarts (a
 * start makes a new set of buffers; the locked ones are freed at their unlock), also after
 * the camera left the bus (U3V_UnlockImage still gives U3V_OK). U3V_CloseStream frees
 * every buffer, the locked ones too: their addresses are invalid once it returns.
 * U3V_LockImage and U3V_GetImage may be mixed, one thread at a time, as for U3V_GetImage. */
U3V_API uint16_t U3V_LockImage(void *stream, void **data, uint32_t *size, uint32_t timeout,
                               U3V_ImageInfo *info);
U3V_API uint16_t U3V_UnlockImage(void *stream, const void *data);
U3V_API uint16_t U3V_GetTransferSize(void *stream, uint32_t *size);
U3V_API uint16_t U3V_SetTransferSize(void *stream, uint32_t size);
U3V_API uint16_t U3V_GetBufferCount(void *stream, uint32_t *count);
U3V_API uint16_t U3V_SetBufferCount(void *stream, uint32_t count);
/* Memory of the USB reads queued at once for one image's payload and trailer, in bytes:
 * 8 MiB (U3V_DEFAULT_STREAM_MEMORY) unless set, 0 refused (U3V_ERR_INVALID_HANDLE). The
 * reads of an image are queued ahead of the one completing as far as this allows (at
 * least one), so images larger than it are received too; those of the next images go up
 * to 128 KiB ahead of the oldest's, several completion latencies of a fast bus. Linux
 * limits all USB buffers submitted by a program to usbcore.usbfs_memory_mb (16 MiB by
 * default). When the system refuses a read for lack of that memory, the stream keeps
 * what it had in flight as its new limit and says so once in the device log; the image
 * is not lost (unless not even one read can be queued for 100 ms). Takes effect at the
 * next start. */
#define U3V_DEFAULT_STREAM_MEMORY (8u << 20)
U3V_API uint16_t U3V_GetStreamMemoryLimit(void *stream, uint32_t *bytes);
U3V_API uint16_t U3V_SetStreamMemoryLimit(void *stream, uint32_t bytes);

#ifdef __cplusplus
}
#endif

/* Asks the camera for a test event (Event Test Control). U3V_ERR_EVENT_NOT_OPEN when the
 * channel's open did not succeed. This one function has C++ linkage: the library exports it
 * under the name U3V_TEST_EVENT_SYMBOL, which a C caller looks up with dlsym. */
#define U3V_TEST_EVENT_SYMBOL "_Z13U3V_TestEventPv"
typedef uint16_t (*U3V_TestEventFunction)(void *event);
#ifdef __cplusplus
U3V_API uint16_t U3V_TestEvent(void *event);
#endif

#endif /* TESSORAL_TESSORAL_H */
