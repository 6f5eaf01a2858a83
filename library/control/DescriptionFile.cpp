#include "DescriptionFile.h"

#include <zip.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <thread>
#include <vector>

#include "BootstrapRegisters.h"
#include "DeviceLog.h"
#include "DeviceTable.h"
#include "ExportFrame.h"
#include "platform/Sha1.h"

namespace tessoral {

namespace {

constexpr int kMaxFailures = 5;           // counted over the whole file
constexpr uint32_t kReadChunk = 256;
constexpr uint16_t kWriteChunk = 512;
constexpr size_t kMaxChunkBuffer = 64 * 1024;  // the camera's command length is untrusted

struct FileCloser {
    void operator()(FILE* f) const { std::fclose(f); }
};
using File = std::unique_ptr<FILE, FileCloser>;

uint16_t readXmlFailed(U3V_Control& c, uint16_t status) {
    DeviceLog(c.pDevice, U3V_LOG_ERROR, "U3V_ReadXml: %04X", status);
    return status;
}

uint16_t writeXmlFailed(U3V_Control& c, uint16_t status) {
    DeviceLog(c.pDevice, U3V_LOG_ERROR, "U3V_WriteXml: %04X", status);
    return status;
}

// A failed copy is not a failure of the read; it is only reported.
void saveCopy(U3V_Control& c) {
    const DeviceEntry* entry = c.pDevice->Entry;
    if (entry == nullptr) return;
    char path[260];
    if (!descriptionFilePath(LibraryDirectory, entry->VendorName, entry->ModelName, path)) {
        DeviceLog(c.pDevice, U3V_LOG_WARNING,
                  "Description file not saved: the path is longer than 259 characters.");
        return;
    }
    FILE* f = std::fopen(path, "wb");
    if (f == nullptr) {
        DeviceLog(c.pDevice, U3V_LOG_WARNING, "Description file not saved to %s.", path);
        return;
    }
    const bool written = std::fwrite(c.pXmlBuffer.get(), 1, c.nXmlSize, f) == c.nXmlSize;
    if (std::fclose(f) != 0 || !written) {
        std::remove(path);  // no half copies
        DeviceLog(c.pDevice, U3V_LOG_WARNING, "Description file not saved to %s.", path);
    }
}

// A library never writes to the program's standard output: the debug trace always, and
// the device log when there is a device to tell.
void say(const DeviceHandle* device, const char* text) {
    DebugTrace("%s", text);
    DeviceLog(device, U3V_LOG_ERROR, "%s", text);
}

}  // namespace

std::string safeFileNamePart(const char* text, size_t maxLength) {
    std::string s(text, strnlen(text, maxLength));
    for (char& ch : s) {
        const auto u = static_cast<unsigned char>(ch);
        if (ch == '/' || ch == '\\' || u < 0x20 || u == 0x7F) ch = '_';
    }
    if (s.empty() || s == "." || s == "..") s.assign(1, '_');
    return s;
}

bool descriptionFilePath(const char* directory, const char* vendor, const char* model,
                         char (&path)[260]) {
    constexpr size_t kField = sizeof(DeviceEntry::VendorName);
    const std::string v = safeFileNamePart(vendor, kField);
    const std::string m = safeFileNamePart(model, kField);
    const int dirLength = static_cast<int>(strnlen(directory, sizeof path));
    const int n = std::snprintf(path, sizeof path, "%.*s/%s-%s.xml", dirLength, directory,
                                v.c_str(), m.c_str());
    return n > 0 && static_cast<size_t>(n) < sizeof path;
}

uint16_t unzipFirstMember(const uint8_t* data, size_t length, std::unique_ptr<uint8_t[]>& out,
                          uint32_t& size, const DeviceHandle* device) {
    zip_error_t error;
    zip_error_init(&error);
    zip_source_t* source = zip_source_buffer_create(data, length, 0, &error);
    zip_t* archive = source ? zip_open_from_source(source, ZIP_RDONLY, &error) : nullptr;
    zip_error_fini(&error);
    if (archive == nullptr) {
        if (source != nullptr) zip_source_free(source);
        say(device, "mz_zip_reader_init_file() failed!\n");
        return U3V_ERR_XML_UNZIP;
    }
    std::unique_ptr<zip_t, void (*)(zip_t*)> closer(archive, zip_discard);

    zip_stat_t st;
    zip_stat_init(&st);
    if (zip_stat_index(archive, 0, 0, &st) != 0 || (st.valid & ZIP_STAT_NAME) == 0 ||
        (st.valid & ZIP_STAT_SIZE) == 0) {
        say(device, "mz_zip_reader_file_stat() failed!\n");
        return U3V_ERR_XML_UNZIP;
    }
    auto extractFailed = [device] {
        say(device, "mz_zip_reader_extract_file_to_heap() failed!\n");
        return U3V_ERR_XML_UNZIP;
    };
    if (st.size > kMaxUnzippedXmlSize) return extractFailed();
    // A directory holds no description: as empty as a manifest size of 0.
    const size_t nameLength = std::strlen(st.name);
    if (nameLength > 0 && st.name[nameLength - 1] == '/') return U3V_ERR_XML_EMPTY;

    const zip_int64_t index = zip_name_locate(archive, st.name, 0);
    if (index < 0) return extractFailed();
    zip_file_t* member = zip_fopen_index(archive, static_cast<zip_uint64_t>(index), 0);
    if (member == nullptr) return extractFailed();
    // Not zeroed: the size may be a claim of up to 64 MiB, and only a read that fills it
    // whole is kept.
    auto buffer = std::make_unique_for_overwrite<uint8_t[]>(st.size + 1);
    buffer[st.size] = 0;  // for text users
    // The recorded size counts only when the data really ends there (and its CRC holds,
    // which libzip checks on reaching the end).
    const zip_int64_t got = zip_fread(member, buffer.get(), st.size);
    uint8_t beyond;
    const bool whole = got >= 0 && static_cast<zip_uint64_t>(got) == st.size &&
                       zip_fread(member, &beyond, 1) == 0;
    zip_fclose(member);
    if (!whole) return extractFailed();
    if (st.size == 0) return U3V_ERR_XML_EMPTY;

    out = std::move(buffer);
    size = static_cast<uint32_t>(st.size);
    return U3V_OK;
}

uint16_t ReadXml(U3V_Control& c, uint8_t** buffer, uint32_t* size, uint8_t save) {
    std::lock_guard<std::recursive_mutex> lock(c.mTransaction);
    if (c.pDevice->bGone) return U3V_ERR_DEVICE_GONE;
    if (!c.bControlOpen) return readXmlFailed(c, U3V_ERR_CONTROL_NOT_OPEN);

    uint8_t bytes[manifest::kTableSize];
    if (const uint16_t s = ReadMem(c, abrm::kManifestTableAddress, 8, bytes))
        return readXmlFailed(c, s);
    const uint64_t tableAddress = getLe64(bytes);
    if (const uint16_t s = ReadMem(c, tableAddress, manifest::kTableSize, bytes))
        return readXmlFailed(c, s);
    const manifest::Entry entry = manifest::decode(bytes);

    if (entry.count == 0)
        DeviceLog(c.pDevice, U3V_LOG_WARNING, "Manifest table count == 0, using defaut table.");
    if (entry.fileSize == 0) return readXmlFailed(c, U3V_ERR_XML_EMPTY);
    if (entry.fileSize > kMaxRawXmlSize) return readXmlFailed(c, U3V_ERR_XML_READ);

    const auto fileSize = static_cast<uint32_t>(entry.fileSize);
    DeviceLog(c.pDevice, U3V_LOG_INFO, "Read %d bytes from xml memory %llX",
              static_cast<int>(fileSize), static_cast<unsigned long long>(entry.fileAddress));
    c.pXmlBuffer.reset();
    c.nXmlSize = 0;
    // The last chunk is rounded up to whole words and may overrun the file by 3 bytes.
    // Not zeroed up front (the size is the camera's claim, up to 16 MiB): every byte is
    // read before it is handed out, and the slack behind the file is cleared.
    c.pXmlBuffer = std::make_unique_for_overwrite<uint8_t[]>(size_t{fileSize} + 256);
    std::memset(c.pXmlBuffer.get() + fileSize, 0, 256);
    c.nXmlSize = fileSize;
    c.bXmlZipped = entry.zipped() ? 1 : 0;

    uint64_t address = entry.fileAddress;
    uint32_t remaining = fileSize;
    uint8_t* at = c.pXmlBuffer.get();
    int failures = 0;
    while (remaining > 0) {
        const auto chunk = static_cast<uint16_t>((std::min(kReadChunk, remaining) + 3) & ~3u);
        const uint16_t s = ReadMem(c, address, chunk, at);
        if (s == 0) {
            address += chunk;
            at += chunk;
            remaining -= std::min<uint32_t>(chunk, remaining);
            continue;
        }
        DeviceLog(c.pDevice, U3V_LOG_ERROR, "U3V_ReadXml: %04X", s);
        // Retries cannot bring a camera back that left the bus.
        if (s == U3V_ERR_DEVICE_GONE || ++failures == kMaxFailures) {
            // Nothing half-read stays behind for a later call.
            c.pXmlBuffer.reset();
            c.nXmlSize = 0;
            return readXmlFailed(c, s == U3V_ERR_DEVICE_GONE ? s : U3V_ERR_XML_READ);
        }
    }

    if (save) saveCopy(c);

    if (c.bXmlZipped) {
        std::unique_ptr<uint8_t[]> unpacked;
        uint32_t unpackedSize = 0;
        if (const uint16_t s = unzipFirstMember(c.pXmlBuffer.get(), c.nXmlSize, unpacked,
                                                unpackedSize, c.pDevice))
            return readXmlFailed(c, s);
        c.pXmlBuffer = std::move(unpacked);
        c.nXmlSize = unpackedSize;
    }

    DeviceLog(c.pDevice, U3V_LOG_INFO, "Read xml memory successfully.");
    *buffer = c.pXmlBuffer.get();
    *size = c.nXmlSize;
    return U3V_OK;
}

uint16_t WriteXml(U3V_Control& c, const char* path, uint32_t dataAddress,
                  uint32_t manifestAddress, uint32_t fileVersion, uint16_t schemaVersion,
                  U3V_ProgressCallback progress) {
    std::lock_guard<std::recursive_mutex> lock(c.mTransaction);
    if (c.pDevice->bGone) return U3V_ERR_DEVICE_GONE;
    if (!c.bControlOpen) return writeXmlFailed(c, U3V_ERR_CONTROL_NOT_OPEN);

    // Chunks are 512 bytes; a camera that takes less per command gets them split by
    // WriteMem.
    std::vector<uint8_t> chunk(std::max<size_t>(
        kWriteChunk, std::min<size_t>(c.nMaxCommandTransferLength, kMaxChunkBuffer)));

    File file(std::fopen(path, "rb"));
    if (!file) return writeXmlFailed(c, U3V_ERR_XML_FILE_OPEN);
    long length = -1;
    if (std::fseek(file.get(), 0, SEEK_END) == 0) length = std::ftell(file.get());
    if (length < 0 || std::fseek(file.get(), 0, SEEK_SET) != 0)
        return writeXmlFailed(c, U3V_ERR_XML_FILE_OPEN);
    // A file under one block reports 0 throughout.
    const float step = 98.0f / static_cast<float>(std::max(1L, length / kWriteChunk));

    // The digest covers exactly the bytes the camera accepted, in order.
    platform::Sha1 sha;
    uint64_t address = dataAddress;
    uint64_t byteCount = 0;
    int failures = 0;
    int32_t progressCounter = 0;
    for (;;) {
        std::fill_n(chunk.begin(), kWriteChunk, uint8_t{0});  // past the end of file: zeros
        const size_t got = std::fread(chunk.data(), 1, kWriteChunk, file.get());
        // A read error, or more bytes than the length said: the camera would be told of a
        // file it never got whole. Its old manifest stays.
        if (std::ferror(file.get()) || byteCount + got > static_cast<uint64_t>(length))
            return writeXmlFailed(c, U3V_ERR_XML_FILE_OPEN);
        if (got == 0) break;  // no meaningless chunk after a file of whole blocks
        const uint16_t written = WriteMem(c, address, kWriteChunk, chunk.data());
        if (written == U3V_ERR_DEVICE_GONE) return writeXmlFailed(c, written);
        const bool sent = written == 0;
        if (sent) {
            address += kWriteChunk;
            byteCount += got;
            sha.update(chunk.data(), got);
        } else {
            // Same chunk, same address, next pass.
            if (++failures == kMaxFailures ||
                std::fseek(file.get(), static_cast<long>(byteCount), SEEK_SET) != 0)
                return writeXmlFailed(c, U3V_ERR_XML_WRITE);
        }
        if (progress != nullptr)
            progress(static_cast<int32_t>(static_cast<float>(progressCounter) * step));
        ++progressCounter;
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        if (sent && got < kWriteChunk) break;  // that was the end of the file
    }
    file.reset();
    if (byteCount != static_cast<uint64_t>(length)) return writeXmlFailed(c, U3V_ERR_XML_FILE_OPEN);
    // An empty description would leave the camera without one.
    if (byteCount == 0) return writeXmlFailed(c, U3V_ERR_XML_EMPTY);

    manifest::Entry entry;
    entry.count = 1;
    entry.fileVersion = fileVersion;
    const bool zipped = std::strstr(path, "zip") != nullptr || std::strstr(path, "ZIP") != nullptr;
    entry.schemaAndType = (zipped ? manifest::kFileTypeZip : 0u) |
                          (static_cast<uint32_t>(schemaVersion & 0xFF) << 16) |
                          (static_cast<uint32_t>(schemaVersion >> 8) << 24);
    entry.fileAddress = dataAddress;
    entry.fileSize = byteCount;
    entry.sha1 = sha.finish();
    uint8_t table[manifest::kTableSize];
    manifest::encode(table, entry);
    if (WriteMem(c, manifestAddress, sizeof table, table) != 0)
        return writeXmlFailed(c, U3V_ERR_MANIFEST_WRITE);
    return U3V_OK;
}

}  // namespace tessoral

using tessoral::guardedHandle;
using tessoral::U3V_Control;

uint16_t U3V_ReadXml(void* control, uint8_t** buffer, uint32_t* size, uint8_t save) {
    if (control != nullptr && (buffer == nullptr || size == nullptr))
        return U3V_ERR_INVALID_HANDLE;
    return guardedHandle<U3V_Control>(control, [&](U3V_Control& c) {
        return tessoral::ReadXml(c, buffer, size, save);
    });
}

uint16_t U3V_WriteXml(void* control, const char* path, uint32_t dataAddress,
                      uint32_t manifestAddress, uint32_t fileVersion, uint16_t schemaVersion,
                      U3V_ProgressCallback progress) {
    if (control != nullptr && path == nullptr) return U3V_ERR_INVALID_HANDLE;
    return guardedHandle<U3V_Control>(control, [&](U3V_Control& c) {
        return tessoral::WriteXml(c, path, dataAddress, manifestAddress, fileVersion,
                                  schemaVersion, progress);
    });
}
