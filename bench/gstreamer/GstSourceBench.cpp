// tessoralsrc ! fakesink against the library's own stream, in the same run: a camera paced
// at 400 MB/s (1920x1200 Mono8) for a while (10 s by default) each, in rounds
// (3 by default): GstSourceBench [SECONDS [ROUNDS]]. Frames per second,
// images lost (the camera's drops plus block id gaps) and CPU seconds per GB delivered (the
// whole process, virtual camera included). The library is measured both ways it delivers:
// a copy per image (U3V_GetImage) and its own buffer (U3V_LockImage, as tessoralsrc does
// when the rows need no re-layout). All use the library's default buffer count.
#include <gst/gst.h>
#include <stdlib.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include "../BenchCamera.h"

namespace {

using Clock = std::chrono::steady_clock;
constexpr uint32_t kW = 1920, kH = 1200;
constexpr uint64_t kBytesPerSecond = 400000000;

struct Result {
    uint64_t images = 0, lost = 0;
    double seconds = 0, cpu = 0;
    bool ok = false;
    double gb() const { return static_cast<double>(images) * kW * kH / 1e9; }
};

Result runLibrary(double duration, bool locked) {
    Result r;
    bench::Camera camera;
    bench::LibraryStream lib;
    if (!camera.open(kBytesPerSecond) || !camera.size(kW, kH) || !lib.start(camera)) return r;
    std::vector<uint8_t> destination(size_t{kW} * kH);
    U3V_ImageInfo info{};
    auto take = [&] {
        if (!locked) return U3V_GetImage(lib.stream, destination.data(), 2000, &info) == U3V_OK;
        void* data = nullptr;
        uint32_t size = 0;
        if (U3V_LockImage(lib.stream, &data, &size, 2000, &info) != U3V_OK) return false;
        // Read where the image lies, as a consumer would; the check at the end needs it.
        std::memcpy(destination.data(), data, 8);
        return U3V_UnlockImage(lib.stream, data) == U3V_OK;
    };
    r.ok = take();  // the count starts here
    uint64_t previous = info.BlockId;
    const uint64_t dropped0 = vcam::streamStats(camera.id).dropped;
    const double cpu0 = bench::cpuSeconds();
    const auto t0 = Clock::now();
    while (r.ok && bench::seconds(Clock::now() - t0) < duration) {
        r.ok = take();
        if (!r.ok) break;
        if (info.BlockId > previous + 1) r.lost += info.BlockId - previous - 1;
        previous = info.BlockId;
        ++r.images;
    }
    r.seconds = bench::seconds(Clock::now() - t0);
    r.cpu = bench::cpuSeconds() - cpu0;
    r.lost += vcam::streamStats(camera.id).dropped - dropped0;
    r.ok = r.ok && vcam::firstMismatch(previous, destination.data(), locked ? 8 : destination.size()) == -1;
    lib.stop(camera);
    return r;
}

struct Counter {
    std::atomic<uint64_t> images{0}, lost{0}, last{0};
};

// Counts at the sink's pad: a probe costs far less a buffer than fakesink's handoff signal,
// which is the bench's instrument and not the element's cost.
GstPadProbeReturn onBuffer(GstPad*, GstPadProbeInfo* info, gpointer data) {
    auto* c = static_cast<Counter*>(data);
    const uint64_t block = GST_BUFFER_OFFSET(GST_PAD_PROBE_INFO_BUFFER(info));
    if (c->last != 0 && block > c->last + 1) c->lost += block - c->last - 1;
    c->last = block;
    ++c->images;
    return GST_PAD_PROBE_OK;
}

Result runElement(double duration) {
    Result r;
    vcam::reset();
    vcam::CameraConfig config;
    config.streamBytesPerSecond = kBytesPerSecond;
    const int camera = vcam::addCamera(config);
    // Without the sink's last-sample, a debugging aid that keeps the previous frame (one
    // camera buffer fewer) and makes a sample of every frame.
    const std::string description = "tessoralsrc ! video/x-raw,width=" + std::to_string(kW) +
                                    ",height=" + std::to_string(kH) +
                                    " ! fakesink name=sink sync=false enable-last-sample=false";
    GstElement* pipeline = gst_parse_launch(description.c_str(), nullptr);
    if (pipeline == nullptr) return r;
    Counter counter;
    GstElement* sink = gst_bin_get_by_name(GST_BIN(pipeline), "sink");
    GstPad* pad = gst_element_get_static_pad(sink, "sink");
    gst_pad_add_probe(pad, GST_PAD_PROBE_TYPE_BUFFER, onBuffer, &counter, nullptr);
    gst_object_unref(pad);
    gst_object_unref(sink);
    gst_element_set_state(pipeline, GST_STATE_PLAYING);
    const auto started = Clock::now();
    while (counter.images == 0 && bench::seconds(Clock::now() - started) < 10)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    const uint64_t images0 = counter.images, lost0 = counter.lost;
    const uint64_t dropped0 = vcam::streamStats(camera).dropped;
    const double cpu0 = bench::cpuSeconds();
    const auto t0 = Clock::now();
    // One sleep: this thread is the bench's, and waking it 100 times a second would count
    // against the element (the library's sides have no such thread).
    std::this_thread::sleep_for(std::chrono::duration<double>(duration));
    r.seconds = bench::seconds(Clock::now() - t0);
    r.cpu = bench::cpuSeconds() - cpu0;
    r.images = counter.images - images0;
    r.lost = counter.lost - lost0 + vcam::streamStats(camera).dropped - dropped0;
    GstBus* bus = gst_element_get_bus(pipeline);
    GstMessage* error = gst_bus_pop_filtered(bus, GST_MESSAGE_ERROR);
    r.ok = images0 > 0 && error == nullptr;
    if (error != nullptr) gst_message_unref(error);
    gst_object_unref(bus);
    gst_element_set_state(pipeline, GST_STATE_NULL);
    gst_object_unref(pipeline);
    return r;
}

void print(const char* prefix, const Result& r) {
    std::printf("%sframes_per_s: %.1f\n", prefix, r.seconds > 0 ? r.images / r.seconds : 0.0);
    std::printf("%smb_s: %.1f\n", prefix, r.seconds > 0 ? r.gb() * 1000 / r.seconds : 0.0);
    std::printf("%scpu_s_per_gb: %.3f\n", prefix, r.gb() > 0 ? r.cpu / r.gb() : 0.0);
    std::printf("%slost: %llu\n", prefix, static_cast<unsigned long long>(r.lost));
}

double perGb(const Result& r) { return r.gb() > 0 ? r.cpu / r.gb() : 0.0; }

// The median round of a side, by CPU per GB, and every round's figure.
struct Side {
    std::vector<Result> rounds;
    Result median() const { return bench::medianRound(rounds, perGb); }
    bool ok() const {
        return !rounds.empty() && std::all_of(rounds.begin(), rounds.end(), [](const Result& r) { return r.ok; });
    }
};

void printRounds(const char* prefix, const Side& side) {
    print(prefix, side.median());
    std::printf("%scpu_s_per_gb_rounds:", prefix);
    for (const Result& r : side.rounds) std::printf(" %.3f", perGb(r));
    std::printf("\n");
}

void printRatio(const char* name, const Side& element, const Side& library) {
    const auto figures = [](const Side& side) {
        std::vector<double> f;
        for (const Result& r : side.rounds) f.push_back(perGb(r));
        return f;
    };
    const std::vector<double> ratios = bench::roundRatios(figures(element), figures(library));
    std::printf("%s: %.2f\n", name, bench::median(ratios));
    std::printf("%s_per_round:", name);
    for (double r : ratios) std::printf(" %.2f", r);
    std::printf("\n");
}

}  // namespace

int main(int argc, char** argv) {
    const double duration = argc > 1 ? std::atof(argv[1]) : 10.0;
    // The three sides run in rounds of turning order; the ratio is the median of the
    // rounds' ratios.
    const int rounds = argc > 2 ? std::max(1, std::atoi(argv[2])) : 3;
    setenv("GST_PLUGIN_PATH", TESSORAL_PLUGIN_DIR, 0);
    setenv("GST_REGISTRY_FORK", "no", 0);
    gst_init(nullptr, nullptr);
    std::printf("load_average_before: %s\n", bench::loadAverage().c_str());
    Side element, library, locked;
    bench::runInTurningOrder(rounds, {[&] { element.rounds.push_back(runElement(duration)); },
                                      [&] { library.rounds.push_back(runLibrary(duration, false)); },
                                      [&] { locked.rounds.push_back(runLibrary(duration, true)); }});
    printRounds("tessoralsrc_", element);
    printRounds("library_getimage_", library);
    printRounds("library_lockimage_", locked);
    printRatio("cpu_per_gb_ratio_tessoralsrc_to_getimage", element, library);
    printRatio("cpu_per_gb_ratio_tessoralsrc_to_lockimage", element, locked);
    std::printf("load_average_after: %s\n", bench::loadAverage().c_str());
    const bool ok = element.ok() && library.ok() && locked.ok();
    if (!ok) std::fprintf(stderr, "a run failed\n");
    return ok ? 0 : 1;
}
