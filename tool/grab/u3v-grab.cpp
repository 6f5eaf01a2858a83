// Takes images from a camera and saves them, or measures the throughput of its stream.
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#ifdef TESSORAL_HAVE_PNG
#include <png.h>
#endif

#include "ToolCommon.h"
#include "genicam/NodeMap.h"

namespace {

const char kUsage[] =
    "Usage: u3v-grab [--camera ID] [--count N | --seconds T] [--output DIR | --no-save]\n"
    "                [--format pgm|png] [--buffers N] [--transfer-size BYTES] [--timeout MS]\n"
    "Starts the camera's acquisition, takes images and saves each as image-<block id>.pgm.\n"
    "\n"
    "  --count N             take N images (default 10)\n"
    "  --seconds T           take images for T seconds instead\n"
    "  --output DIR          save the images in DIR (default: the current directory)\n"
    "  --no-save             only count them: a throughput run\n"
    "  --format pgm|png      file format of the saved images (png: "
#ifdef TESSORAL_HAVE_PNG
    "available"
#else
    "not built in"
#endif
    ")\n"
    "  --buffers N           images the library may hold for the tool (1 to 1024)\n"
    "  --transfer-size B     bytes per USB payload transfer\n"
    "  --timeout MS          longest wait for one image (default 5000)\n"
    "  --camera ID           the camera with this GUID or serial number (default: the first)\n"
    "  --verbose             show the library's messages on standard error\n"
    "  --help                show this text\n"
    "On a terminal a progress line shows images, frame rate, MB/s, missing transfers and\n"
    "drops (block ids skipped); a summary follows at the end. Ctrl-C ends the run early.\n";

constexpr uint32_t kMono8 = 0x01080001;
constexpr uint64_t kSbrmPointer = 0x01D8;          // ABRM: address of the SBRM
constexpr uint64_t kSbrmSirmAddress = 0x20;        // SBRM: address of the SIRM
constexpr uint64_t kSiRequiredPayloadSize = 0x08;  // SIRM
constexpr uint64_t kMaxBuffers = 1024;

std::atomic<bool> interrupted{false};
extern "C" void onInterrupt(int) { interrupted = true; }

struct Options {
    std::string id;
    uint64_t count = 0;
    double seconds = 0;
    std::string output = ".";
    bool save = true;
    bool png = false;
    uint64_t buffers = 0;       // 0: the library's default
    uint64_t transferSize = 0;  // 0: the library's default
    uint64_t timeoutMs = 5000;
    bool verbose = false;
};

uint64_t number(const std::string& option, const std::string& text, uint64_t lo, uint64_t hi) {
    uint64_t v = 0;
    if (!tool::parseUnsigned(text, v) || v < lo || v > hi)
        throw tool::UsageError(option + " takes a number from " + std::to_string(lo) + " to " + std::to_string(hi));
    return v;
}

Options parse(int argc, char** argv, bool& help) {
    Options o;
    const tool::CommonOptions common = tool::parseCommandLine(argc, argv, true, [&](const std::string& a, int& i) {
        if (a == "--count") o.count = number(a, tool::optionValue(argc, argv, i), 1, UINT32_MAX);
        else if (a == "--seconds") {
            const std::string v = tool::optionValue(argc, argv, i);
            char* end = nullptr;
            o.seconds = std::strtod(v.c_str(), &end);
            if (end == v.c_str() || *end != '\0' || !(o.seconds > 0) || o.seconds > 1e7)
                throw tool::UsageError("--seconds takes a positive number");
        } else if (a == "--output" || a == "-o") o.output = tool::optionValue(argc, argv, i);
        else if (a == "--no-save") o.save = false;
        else if (a == "--format") {
            const std::string f = tool::optionValue(argc, argv, i);
            if (f != "pgm" && f != "png") throw tool::UsageError("--format is pgm or png");
            o.png = f == "png";
#ifndef TESSORAL_HAVE_PNG
            if (o.png) throw tool::UsageError("this u3v-grab was built without libpng");
#endif
        } else if (a == "--buffers") o.buffers = number(a, tool::optionValue(argc, argv, i), 1, kMaxBuffers);
        else if (a == "--transfer-size") o.transferSize = number(a, tool::optionValue(argc, argv, i), 1, 0x7FFFFFFF);
        else if (a == "--timeout") o.timeoutMs = number(a, tool::optionValue(argc, argv, i), 1, 3600000);
        else throw tool::UsageError("unknown argument '" + a + "'");
    });
    o.id = common.camera;
    o.verbose = common.verbose;
    help = common.help;
    if (help) return o;
    if (o.count != 0 && o.seconds != 0) throw tool::UsageError("give --count or --seconds, not both");
    if (o.count == 0 && o.seconds == 0) o.count = 10;
    return o;
}

// Sets an enumeration when the camera has it, so that acquisition runs free.
void setIfPresent(genicam::NodeMap& map, const char* feature, const char* entry) {
    genicam::Node* n = map.find(feature);
    if (n == nullptr || n->interface() != genicam::Interface::Enumeration) return;
    const genicam::Access a = n->access();
    if (a != genicam::Access::RW && a != genicam::Access::WO) return;
    n->setString(entry);
}

// The library's stream and the camera's acquisition, stopped and closed on every path.
class Acquisition {
public:
    Acquisition(const tool::Camera& camera, genicam::NodeMap& map, const Options& o) : camera_(camera), map_(map) {
        const uint16_t open = U3V_OpenStream(camera.device(), camera.control(), &stream_,
                                             static_cast<uint32_t>(o.timeoutMs));
        if (open != U3V_OK) {
            close();
            throw tool::Failure("cannot open the camera's stream: " + tool::statusText(open));
        }
        try {
            start(o);
        } catch (...) {
            try {
                stop();
            } catch (...) {
                // The first error is the one to report.
            }
            close();
            throw;
        }
    }
    ~Acquisition() {
        try {
            stop();
        } catch (...) {
            // Already failing: the first error is the one to report.
        }
        close();
    }
    Acquisition(const Acquisition&) = delete;
    Acquisition& operator=(const Acquisition&) = delete;

    void* stream() const { return stream_; }
    // What U3V_GetImage copies per image: the payload size the library read at the start.
    uint64_t payloadSize() const { return payloadSize_; }

    // The camera has left the bus: nothing more can be said to it, only the stream's
    // resources remain to be given back.
    void abandon() {
        acquiring_ = false;
        if (streaming_) {
            streaming_ = false;
            uint64_t a = 0, b = 0;
            U3V_AcquisitionStop(stream_, &a, &b);
        }
    }

    void stop() {
        if (acquiring_) {
            acquiring_ = false;
            map_.node("AcquisitionStop").execute();
        }
        if (streaming_) {
            streaming_ = false;
            uint64_t a = 0, b = 0;
            check(U3V_AcquisitionStop(stream_, &a, &b), "cannot stop the stream");
        }
    }

private:
    void start(const Options& o) {
        check(o.buffers == 0 ? U3V_OK : U3V_SetBufferCount(stream_, static_cast<uint32_t>(o.buffers)),
              "cannot set the buffer count");
        check(o.transferSize == 0 ? U3V_OK : U3V_SetTransferSize(stream_, static_cast<uint32_t>(o.transferSize)),
              "cannot set the transfer size");
        check(U3V_AcquisitionStart(stream_, 0), "cannot start the stream");
        streaming_ = true;
        // U3V_GetImage takes no buffer size, so read the register the library sized its
        // images from, just as it did at the start.
        payloadSize_ = le(kSbrmPointer, 8);
        payloadSize_ = le(payloadSize_ + kSbrmSirmAddress, 8);
        payloadSize_ = le(payloadSize_ + kSiRequiredPayloadSize, 8);
        acquiring_ = true;  // set first: a start that fails half-way is stopped all the same
        map_.node("AcquisitionStart").execute();
    }

    uint64_t le(uint64_t address, size_t n) const {
        uint8_t b[8] = {};
        camera_.read(address, b, n);
        uint64_t v = 0;
        for (size_t i = 0; i < n; ++i) v |= uint64_t{b[i]} << (8 * i);
        return v;
    }
    void check(uint16_t status, const char* what) {
        if (status != U3V_OK) throw tool::Failure(std::string(what) + ": " + tool::statusText(status));
    }
    void close() {
        if (stream_ != nullptr) U3V_CloseStream(stream_);
        stream_ = nullptr;
    }

    const tool::Camera& camera_;
    genicam::NodeMap& map_;
    uint64_t payloadSize_ = 0;
    void* stream_ = nullptr;
    bool streaming_ = false;
    bool acquiring_ = false;
};

void savePgm(const std::string& path, const uint8_t* pixels, uint32_t width, uint32_t height) {
    std::string file = "P5\n" + std::to_string(width) + " " + std::to_string(height) + "\n255\n";
    file.append(reinterpret_cast<const char*>(pixels), static_cast<size_t>(width) * height);
    tool::writeFile(path, file.data(), file.size());
}

#ifdef TESSORAL_HAVE_PNG
void savePng(const std::string& path, const uint8_t* pixels, uint32_t width, uint32_t height) {
    png_image image{};
    image.version = PNG_IMAGE_VERSION;
    image.width = width;
    image.height = height;
    image.format = PNG_FORMAT_GRAY;
    if (!png_image_write_to_file(&image, path.c_str(), 0, pixels, static_cast<png_int_32>(width), nullptr)) {
        const std::string why = image.message;
        png_image_free(&image);
        throw tool::Failure("cannot write " + path + ": " + why);
    }
}
#endif

struct Totals {
    uint64_t images = 0, bytes = 0, missing = 0, drops = 0, bad = 0, saved = 0;
    uint64_t lastBlockId = 0;
    bool any = false;
};

void progress(const Totals& t, double seconds, bool final) {
    const double fps = seconds > 0 ? t.images / seconds : 0;
    const double mbs = seconds > 0 ? t.bytes / seconds / 1e6 : 0;
    std::fprintf(stderr, "\r%llu images  %.1f frames/s  %.1f MB/s  missing transfers %llu  drops %llu   %s",
                 static_cast<unsigned long long>(t.images), fps, mbs, static_cast<unsigned long long>(t.missing),
                 static_cast<unsigned long long>(t.drops), final ? "\n" : "");
    std::fflush(stderr);
}

int run(int argc, char** argv) {
    bool help = false;
    const Options o = parse(argc, argv, help);
    if (help) {
        std::fputs(kUsage, stdout);
        return 0;
    }
    if (o.save) {
        std::error_code ec;
        std::filesystem::create_directories(o.output, ec);
        if (ec) throw tool::Failure("cannot create " + o.output + ": " + ec.message());
    }

    tool::Camera camera(o.id, o.verbose);
    tool::CameraPort port(camera);
    const auto map = genicam::NodeMap::parse(camera.descriptionFile(), port);
    setIfPresent(*map, "AcquisitionMode", "Continuous");
    setIfPresent(*map, "TriggerMode", "Off");
    std::signal(SIGINT, onInterrupt);
    const bool terminal = isatty(STDERR_FILENO) != 0;
    Totals t;
    Acquisition acquisition(camera, *map, o);
    const uint64_t payload = acquisition.payloadSize();
    if (payload == 0 || payload > UINT32_MAX)
        throw tool::Failure("the camera gives a payload size of " + std::to_string(payload) + " bytes");
    std::vector<uint8_t> buffer(static_cast<size_t>(payload));
    const auto start = std::chrono::steady_clock::now();
    const auto end = start + std::chrono::duration_cast<std::chrono::steady_clock::duration>(
                                 std::chrono::duration<double>(o.seconds));
    auto lastImage = start, lastProgress = start;
    auto elapsed = [&] { return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count(); };

    bool gone = false;
    while (!interrupted) {
        const auto now = std::chrono::steady_clock::now();
        if (o.count != 0 && t.images >= o.count) break;
        if (o.seconds != 0 && now >= end) break;
        if (now - lastImage > std::chrono::milliseconds(o.timeoutMs))
            throw tool::Failure("no image came within " + std::to_string(o.timeoutMs) + " ms (" +
                                std::to_string(t.images) + " taken)");
        uint32_t wait = 200;  // short waits keep Ctrl-C and the time limit responsive
        if (o.seconds != 0)
            wait = static_cast<uint32_t>(std::clamp<int64_t>(
                std::chrono::duration_cast<std::chrono::milliseconds>(end - now).count() + 1, 1, 200));

        U3V_ImageInfo info{};
        const uint16_t status = U3V_GetImage(acquisition.stream(), buffer.data(), wait, &info);
        if (status == U3V_ERR_IMAGE_TIMEOUT || status == U3V_ERR_NO_IMAGE) continue;
        if (status == U3V_ERR_DEVICE_GONE) {
            gone = true;
            break;
        }
        // The library's own codes say no image came; a camera's trailer status is an image.
        if ((status & 0xFF00u) == 0xC000u && status != U3V_ERR_MISSING_PACKETS)
            throw tool::Failure("taking an image failed: " + tool::statusText(status));

        lastImage = std::chrono::steady_clock::now();
        ++t.images;
        t.bytes += buffer.size();
        t.missing += info.MissingTransfers;
        if (status != U3V_OK && status != U3V_ERR_MISSING_PACKETS) ++t.bad;  // the trailer's status
        if (t.any && info.BlockId > t.lastBlockId + 1) t.drops += info.BlockId - t.lastBlockId - 1;
        t.lastBlockId = info.BlockId;
        t.any = true;

        if (o.save) {
            char name[64];
            const bool mono8 = info.PixelFormat == kMono8 && info.SizeX > 0 && info.SizeY > 0 &&
                               uint64_t{info.SizeX} * info.SizeY <= buffer.size();
            std::snprintf(name, sizeof name, "image-%08llu.%s", static_cast<unsigned long long>(info.BlockId),
                          !mono8 ? "raw" : o.png ? "png" : "pgm");
            const std::string path = (std::filesystem::path(o.output) / name).string();
            if (!mono8) tool::writeFile(path, buffer.data(), buffer.size());  // a format this tool cannot draw
#ifdef TESSORAL_HAVE_PNG
            else if (o.png) savePng(path, buffer.data(), info.SizeX, info.SizeY);
#endif
            else savePgm(path, buffer.data(), info.SizeX, info.SizeY);
            ++t.saved;
        }
        if (terminal && lastImage - lastProgress > std::chrono::milliseconds(250)) {
            progress(t, elapsed(), false);
            lastProgress = lastImage;
        }
    }
    const double seconds = elapsed();
    // The summary comes whatever the end: what was taken is worth knowing.
    std::string stopFailure;
    if (gone) {
        acquisition.abandon();
    } else {
        try {
            acquisition.stop();
        } catch (const std::exception& e) {
            stopFailure = e.what();
        }
    }
    if (terminal) progress(t, seconds, true);

    std::printf("%llu images in %.2f s: %.1f frames/s, %.1f MB/s; missing transfers %llu, drops %llu, "
                "images with a bad status %llu",
                static_cast<unsigned long long>(t.images), seconds, seconds > 0 ? t.images / seconds : 0.0,
                seconds > 0 ? t.bytes / seconds / 1e6 : 0.0, static_cast<unsigned long long>(t.missing),
                static_cast<unsigned long long>(t.drops), static_cast<unsigned long long>(t.bad));
    if (o.save) std::printf("; %llu saved in %s", static_cast<unsigned long long>(t.saved), o.output.c_str());
    std::printf("%s\n", gone ? " (camera gone)" : interrupted ? " (interrupted)" : "");
    std::fflush(stdout);
    if (gone) {
        std::fprintf(stderr, "u3v-grab: camera gone after %llu images\n", static_cast<unsigned long long>(t.images));
        return 1;
    }
    if (!stopFailure.empty()) throw tool::Failure(stopFailure);
    return interrupted ? 130 : 0;
}

}  // namespace

int main(int argc, char** argv) { return tool::runTool("u3v-grab", run, argc, argv); }
