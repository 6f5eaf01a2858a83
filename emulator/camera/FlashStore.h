// A camera's flash as a file in the state directory, so that what one process flashed is
// what the next process's camera boots. One file per camera GUID; an empty file is an
// erased flash (the camera boots its boot loader).
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace vcam {

class FlashStore {
public:
    FlashStore(std::string directory, const std::string& guid);

    bool enabled() const { return !path_.empty(); }
    const std::string& path() const { return path_; }

    // The stored flash; nothing when no file exists (or it cannot be read: said on stderr).
    std::optional<std::vector<uint8_t>> load() const;
    // Replaces the file in one step: a reader (this or another process) sees the old flash
    // or the new one, never a mixture, and a crash midway leaves the old one. Failure is
    // said on stderr; the camera goes on with the flash it has in memory.
    bool save(const std::vector<uint8_t>& flash) const;

private:
    std::string directory_;
    std::string path_;
};

}  // namespace vcam
