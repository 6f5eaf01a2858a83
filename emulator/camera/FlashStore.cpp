#include "camera/FlashStore.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>

namespace vcam {

namespace {

// GUIDs come from configuration files: anything that could leave the directory or make an
// awkward file name is spelled out in hex.
std::string fileNameFor(const std::string& guid) {
    if (guid.empty()) return "no-guid.flash";
    std::string out;
    for (unsigned char c : guid) {
        if (std::isalnum(c) || c == '-' || c == '_') {
            out.push_back(static_cast<char>(c));
        } else {
            char hex[4];
            std::snprintf(hex, sizeof hex, "%%%02X", c);
            out += hex;
        }
    }
    return out + ".flash";
}

bool writeAll(int fd, const uint8_t* data, size_t size) {
    while (size > 0) {
        const ssize_t n = ::write(fd, data, size);
        if (n < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        data += n;
        size -= static_cast<size_t>(n);
    }
    return true;
}

}  // namespace

FlashStore::FlashStore(std::string directory, const std::string& guid)
    : directory_(std::move(directory)) {
    if (!directory_.empty()) path_ = (std::filesystem::path(directory_) / fileNameFor(guid)).string();
}

std::optional<std::vector<uint8_t>> FlashStore::load() const {
    if (!enabled()) return std::nullopt;
    std::error_code ec;
    if (!std::filesystem::exists(path_, ec)) return std::nullopt;
    std::ifstream in(path_, std::ios::binary);
    if (!in) {
        std::fprintf(stderr, "vcam: cannot read %s\n", path_.c_str());
        return std::nullopt;
    }
    std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    if (in.bad()) {
        std::fprintf(stderr, "vcam: cannot read %s\n", path_.c_str());
        return std::nullopt;
    }
    return bytes;
}

bool FlashStore::save(const std::vector<uint8_t>& flash) const {
    if (!enabled()) return true;
    std::error_code ec;
    std::filesystem::create_directories(directory_, ec);
    // A temporary name of our own beside the target, then rename: atomic on one file
    // system, and two processes saving at once each rename a complete file.
    std::string temp = path_ + ".XXXXXX";
    const int fd = ::mkstemp(temp.data());
    if (fd < 0) {
        std::fprintf(stderr, "vcam: cannot save flash in %s: %s\n", directory_.c_str(), std::strerror(errno));
        return false;
    }
    bool ok = writeAll(fd, flash.data(), flash.size()) && ::fchmod(fd, 0644) == 0 && ::fsync(fd) == 0;
    ok = ::close(fd) == 0 && ok;
    ok = ok && ::rename(temp.c_str(), path_.c_str()) == 0;
    if (!ok) {
        std::fprintf(stderr, "vcam: cannot save flash to %s: %s\n", path_.c_str(), std::strerror(errno));
        ::unlink(temp.c_str());
        return false;
    }
    // The rename itself is durable only once the directory is synced.
    const int dir = ::open(directory_.c_str(), O_RDONLY | O_DIRECTORY);
    if (dir >= 0) {
        ::fsync(dir);
        ::close(dir);
    }
    return true;
}

}  // namespace vcam
