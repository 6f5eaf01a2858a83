// tessoralsrc in pipelines of this process, on the virtual camera: what arrives downstream
// is the camera's test pattern, what the pipeline asks is what the camera holds, and every
// end (EOS, error, unplug, a state change at any moment) leaves the camera closed.
#include <gst/gst.h>
#include <gtest/gtest.h>
#include <png.h>
#include <stdlib.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "PixelFormats.h"
#include "vcam/vcam.h"

namespace fs = std::filesystem;

namespace {

constexpr uint64_t kWidthReg = 0x50000, kHeightReg = 0x50004, kPixelFormatReg = 0x50008, kExposureReg = 0x50058,
                   kGainReg = 0x50064;
constexpr uint64_t kTriggerModeReg = 0x40104, kTriggerSourceReg = 0x40144;
constexpr uint64_t kManifestPointer = 0x01D0;

class GstEnvironment : public ::testing::Environment {
public:
    void SetUp() override {
        // The plugin from the build tree only, and no registry file or scanner process.
        setenv("GST_PLUGIN_PATH", TESSORAL_PLUGIN_DIR, 1);
        setenv("GST_REGISTRY_FORK", "no", 1);
        setenv("GST_REGISTRY", (fs::temp_directory_path() / "tessoralsrc-test-registry.bin").c_str(), 1);
        gst_init(nullptr, nullptr);
    }
};
const auto* const environment = ::testing::AddGlobalTestEnvironment(new GstEnvironment);

uint64_t peekLe(int camera, uint64_t address, size_t n = 4) {
    uint8_t b[8] = {};
    EXPECT_TRUE(vcam::peek(camera, address, b, n));
    uint64_t v = 0;
    for (size_t i = 0; i < n; ++i) v |= uint64_t{b[i]} << (8 * i);
    return v;
}

void poke32(int camera, uint64_t address, uint32_t value) {
    const uint8_t b[4] = {uint8_t(value), uint8_t(value >> 8), uint8_t(value >> 16), uint8_t(value >> 24)};
    ASSERT_TRUE(vcam::poke(camera, address, b, 4));
}

// A pipeline whose sink (named "sink", a fakesink) counts and keeps what reaches it.
class Pipeline {
public:
    explicit Pipeline(const std::string& description) {
        GError* error = nullptr;
        pipeline_ = gst_parse_launch(description.c_str(), &error);
        if (error != nullptr) {
            ADD_FAILURE() << description << ": " << error->message;
            g_error_free(error);
        }
        if (GstElement* sink = gst_bin_get_by_name(GST_BIN(pipeline_), "sink")) {
            g_object_set(sink, "signal-handoffs", TRUE, nullptr);
            g_signal_connect(sink, "handoff", G_CALLBACK(onHandoff), this);
            gst_object_unref(sink);
        }
    }
    ~Pipeline() {
        gst_element_set_state(pipeline_, GST_STATE_NULL);
        gst_object_unref(pipeline_);
    }

    // Waits for an asynchronous change unless told not to (a live sink waits for its first
    // buffer before it is PLAYING).
    GstStateChangeReturn setState(GstState state, bool wait = true) {
        const GstStateChangeReturn r = gst_element_set_state(pipeline_, state);
        if (r != GST_STATE_CHANGE_ASYNC || !wait) return r;
        return gst_element_get_state(pipeline_, nullptr, nullptr, 20 * GST_SECOND);
    }
    // The next error or EOS within `seconds`; warnings on the way are counted.
    GstMessageType waitEnd(int seconds = 20) {
        GstBus* bus = gst_element_get_bus(pipeline_);
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
        GstMessageType type = GST_MESSAGE_UNKNOWN;
        while (type == GST_MESSAGE_UNKNOWN && std::chrono::steady_clock::now() < deadline) {
            GstMessage* m = gst_bus_timed_pop_filtered(
                bus, 100 * GST_MSECOND,
                static_cast<GstMessageType>(GST_MESSAGE_ERROR | GST_MESSAGE_EOS | GST_MESSAGE_WARNING));
            if (m == nullptr) continue;
            if (GST_MESSAGE_TYPE(m) == GST_MESSAGE_WARNING) {
                ++warnings;
                GError* e = nullptr;
                gst_message_parse_warning(m, &e, nullptr);
                warning = e->message;
                g_error_free(e);
            } else {
                type = GST_MESSAGE_TYPE(m);
                if (type == GST_MESSAGE_ERROR) {
                    GError* e = nullptr;
                    gchar* debug = nullptr;
                    gst_message_parse_error(m, &e, &debug);
                    error = std::string(e->message) + " | " + (debug ? debug : "");
                    g_error_free(e);
                    g_free(debug);
                }
            }
            gst_message_unref(m);
        }
        gst_object_unref(bus);
        return type;
    }
    // PLAYING, then the end: whether it is `wanted`, and for an error whether it says `text`.
    ::testing::AssertionResult playsTo(GstMessageType wanted, const std::string& text = "") {
        setState(GST_STATE_PLAYING);
        const GstMessageType end = waitEnd();
        if (end != wanted)
            return ::testing::AssertionFailure() << "ended with " << gst_message_type_get_name(end) << ": " << error;
        if (error.find(text) == std::string::npos)
            return ::testing::AssertionFailure() << "the error does not say '" << text << "': " << error;
        return ::testing::AssertionSuccess();
    }
    bool waitBuffers(int n, int seconds = 20) {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
        while (buffers < n && std::chrono::steady_clock::now() < deadline)
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        return buffers >= n;
    }
    GstElement* element(const char* name) const { return gst_bin_get_by_name(GST_BIN(pipeline_), name); }
    bool sendEvent(GstEvent* event) { return gst_element_send_event(pipeline_, event); }

    // What reached the sink, copied under the lock the streaming thread takes.
    struct Seen {
        std::vector<uint64_t> offsets;  // block ids, in order
        std::vector<GstClockTime> pts;
        std::vector<size_t> sizes;
        std::vector<long long> mismatches;  // first byte unlike the test pattern, -1: none
        std::string caps;  // of the first buffer
    };
    Seen seen() {
        std::lock_guard<std::mutex> guard(mutex_);
        return seen_;
    }

    std::atomic<int> buffers{0};
    std::string error, warning;  // the last ones
    int warnings = 0;

private:
    static void onHandoff(GstElement*, GstBuffer* buffer, GstPad* pad, gpointer self) {
        auto* p = static_cast<Pipeline*>(self);
        std::lock_guard<std::mutex> guard(p->mutex_);
        p->seen_.offsets.push_back(GST_BUFFER_OFFSET(buffer));
        p->seen_.pts.push_back(GST_BUFFER_PTS(buffer));
        p->seen_.sizes.push_back(gst_buffer_get_size(buffer));
        GstMapInfo map;
        if (gst_buffer_map(buffer, &map, GST_MAP_READ)) {
            p->seen_.mismatches.push_back(vcam::firstMismatch(GST_BUFFER_OFFSET(buffer), map.data, map.size));
            gst_buffer_unmap(buffer, &map);
        }
        if (p->seen_.caps.empty()) {
            GstCaps* caps = gst_pad_get_current_caps(pad);
            gchar* text = caps ? gst_caps_to_string(caps) : nullptr;
            p->seen_.caps = text ? text : "(none)";
            g_free(text);
            if (caps) gst_caps_unref(caps);
        }
        ++p->buffers;
    }

    std::mutex mutex_;
    Seen seen_;
    GstElement* pipeline_ = nullptr;
};

class TessoralSrcTest : public ::testing::Test {
protected:
    void SetUp() override {
        vcam::reset();
        camera_ = vcam::addCamera();
    }
    void TearDown() override {
        // Whatever a test did, the element closed the camera: the stream is off.
        EXPECT_FALSE(vcam::streamStats(camera_).streaming);
        vcam::reset();
    }
    int camera_ = 0;
};

TEST_F(TessoralSrcTest, ThirtyBuffersWithTheCamerasCaps) {
    Pipeline p("tessoralsrc num-buffers=30 ! fakesink name=sink");
    ASSERT_TRUE(p.playsTo(GST_MESSAGE_EOS));
    ASSERT_EQ(p.buffers, 30);
    const Pipeline::Seen seen = p.seen();
    EXPECT_EQ(seen.caps, "video/x-raw, format=(string)GRAY8, width=(int)640, height=(int)480, "
                                 "framerate=(fraction)0/1");
    for (size_t i = 0; i < seen.offsets.size(); ++i) {
        EXPECT_EQ(seen.sizes[i], 640u * 480u);
        EXPECT_TRUE(GST_CLOCK_TIME_IS_VALID(seen.pts[i]));
        if (i == 0) continue;
        EXPECT_GT(seen.offsets[i], seen.offsets[i - 1]) << "block ids rise";
        EXPECT_GE(seen.pts[i], seen.pts[i - 1]) << "arrival times on the pipeline clock";
    }
    EXPECT_EQ(seen.offsets.front(), 1u);
}

// The negotiated width and height reach the camera's registers, and the buffers have them.
TEST_F(TessoralSrcTest, CapsNegotiationSetsTheCamerasSize) {
    Pipeline p("tessoralsrc num-buffers=2 ! video/x-raw,width=320,height=240 ! fakesink name=sink");
    ASSERT_TRUE(p.playsTo(GST_MESSAGE_EOS));
    EXPECT_EQ(peekLe(camera_, kWidthReg), 320u);
    EXPECT_EQ(peekLe(camera_, kHeightReg), 240u);
    ASSERT_EQ(p.buffers, 2);
    EXPECT_EQ(p.seen().sizes[0], 320u * 240u);
    ASSERT_EQ(p.setState(GST_STATE_NULL), GST_STATE_CHANGE_SUCCESS);

    // A colour format the camera offers is set before the size, and the buffers are its
    // images byte for byte (320 RGB pixels fill a row without padding).
    Pipeline rgb("tessoralsrc num-buffers=2 ! video/x-raw,format=RGB,width=320,height=240 ! fakesink name=sink");
    ASSERT_TRUE(rgb.playsTo(GST_MESSAGE_EOS));
    EXPECT_EQ(peekLe(camera_, kPixelFormatReg), 0x02180014u);
    ASSERT_EQ(rgb.buffers, 2);
    const Pipeline::Seen seenRgb = rgb.seen();
    EXPECT_EQ(seenRgb.caps.rfind("video/x-raw, format=(string)RGB, width=(int)320, height=(int)240", 0), 0u)
        << seenRgb.caps;
    EXPECT_EQ(seenRgb.sizes[0], 320u * 240u * 3u);
    EXPECT_EQ(seenRgb.mismatches, (std::vector<long long>{-1, -1}));
    ASSERT_EQ(rgb.setState(GST_STATE_NULL), GST_STATE_CHANGE_SUCCESS);

    // A size the camera cannot give ends the negotiation, not the process.
    Pipeline refused("tessoralsrc num-buffers=2 ! video/x-raw,width=100000 ! fakesink name=sink");
    EXPECT_TRUE(refused.playsTo(GST_MESSAGE_ERROR));
    EXPECT_EQ(refused.buffers, 0);
}

TEST_F(TessoralSrcTest, FeaturesAreWrittenThroughTheEngine) {
    Pipeline p("tessoralsrc num-buffers=1 features=\"ExposureTime=5000 Gain=3\" ! fakesink name=sink");
    ASSERT_TRUE(p.playsTo(GST_MESSAGE_EOS));
    EXPECT_EQ(peekLe(camera_, kExposureReg), 5000u);
    EXPECT_EQ(peekLe(camera_, kGainReg), 3u);
    ASSERT_EQ(p.setState(GST_STATE_NULL), GST_STATE_CHANGE_SUCCESS);  // the camera is free again

    // The engine's range check refuses before anything is sent; the bus says which feature.
    Pipeline outOfRange("tessoralsrc features=\"Gain=3 Width=99999\" ! fakesink name=sink");
    EXPECT_TRUE(outOfRange.playsTo(GST_MESSAGE_ERROR, "Cannot set the camera's features."));
    EXPECT_NE(outOfRange.error.find("Width"), std::string::npos) << outOfRange.error;
    EXPECT_EQ(peekLe(camera_, kWidthReg), 640u);
    ASSERT_EQ(outOfRange.setState(GST_STATE_NULL), GST_STATE_CHANGE_SUCCESS);

    Pipeline malformed("tessoralsrc features=\"Gain\" ! fakesink name=sink");
    EXPECT_TRUE(malformed.playsTo(GST_MESSAGE_ERROR, "'Gain' is not NAME=VALUE"));
}

// Spoiled images are counted and dropped, never pushed as good ones.
TEST_F(TessoralSrcTest, BadImagesAreCountedAndDropped) {
    vcam::StreamFault status;
    status.kind = vcam::StreamFaultKind::TrailerStatus;
    status.skip = 2;  // block id 3
    vcam::addStreamFault(camera_, status);
    vcam::StreamFault shortPayload;
    shortPayload.kind = vcam::StreamFaultKind::ShortPayload;
    shortPayload.skip = 4;  // block id 5
    shortPayload.shortBy = 100;
    vcam::addStreamFault(camera_, shortPayload);
    // Paced and with room to spare, so that no image is dropped for a slow reader.
    vcam::setStreamPacing(camera_, 0, 100);

    Pipeline p("tessoralsrc name=src num-buffers=6 buffer-count=16 ! fakesink name=sink");
    ASSERT_TRUE(p.playsTo(GST_MESSAGE_EOS));
    EXPECT_EQ(p.seen().offsets, (std::vector<uint64_t>{1, 2, 4, 6, 7, 8}));
    GstElement* src = p.element("src");
    guint64 bad = 0, incomplete = 0, missing = 0;
    g_object_get(src, "bad-images", &bad, "incomplete-images", &incomplete, "missing-images", &missing, nullptr);
    gst_object_unref(src);
    EXPECT_EQ(bad, 1u);
    EXPECT_EQ(incomplete, 1u);
    EXPECT_EQ(missing, 0u);
    EXPECT_GE(p.warnings, 1);
}

// Pulled out mid-stream: an error on the bus, and the pipeline stops without hanging.
TEST_F(TessoralSrcTest, UnplugEndsWithAnError) {
    Pipeline p("tessoralsrc timeout=60000 ! fakesink name=sink");  // said at once, not after a time-out
    ASSERT_NE(p.setState(GST_STATE_PLAYING), GST_STATE_CHANGE_FAILURE);
    ASSERT_TRUE(p.waitBuffers(10));
    vcam::unplug(camera_);
    EXPECT_EQ(p.waitEnd(), GST_MESSAGE_ERROR);
    EXPECT_EQ(p.error.rfind("The camera is gone.", 0), 0u) << p.error;
    EXPECT_EQ(p.setState(GST_STATE_NULL), GST_STATE_CHANGE_SUCCESS);
}

// Each PLAYING -> NULL closes the camera; the next PLAYING opens and streams again.
TEST_F(TessoralSrcTest, StateCyclesRestartTheCamera) {
    Pipeline p("tessoralsrc ! fakesink name=sink");
    for (int round = 0; round < 5; ++round) {
        SCOPED_TRACE(round);
        const int before = p.buffers;
        ASSERT_NE(p.setState(GST_STATE_PLAYING), GST_STATE_CHANGE_FAILURE);
        ASSERT_TRUE(p.waitBuffers(before + 5));
        ASSERT_EQ(p.setState(GST_STATE_NULL), GST_STATE_CHANGE_SUCCESS);
        EXPECT_FALSE(vcam::streamStats(camera_).streaming);
        // Block ids start again with each start.
        EXPECT_EQ(p.seen().offsets[static_cast<size_t>(before)], 1u);
    }
    // Stopping in PAUSED, before any image was asked for, closes as well.
    ASSERT_NE(p.setState(GST_STATE_PAUSED), GST_STATE_CHANGE_FAILURE);
    ASSERT_EQ(p.setState(GST_STATE_NULL), GST_STATE_CHANGE_SUCCESS);
}

// An image the application still holds after the stop stays whole (it is the library's own
// buffer, handed out without a copy); the camera closes when it is freed.
TEST_F(TessoralSrcTest, HeldImageOutlivesTheStop) {
    GstBuffer* held = nullptr;
    {
        Pipeline p("tessoralsrc num-buffers=3 ! fakesink name=sink");
        GstElement* sink = p.element("sink");
        g_signal_connect(sink, "handoff", G_CALLBACK(+[](GstElement*, GstBuffer* b, GstPad*, gpointer out) {
                             auto** keep = static_cast<GstBuffer**>(out);
                             if (*keep == nullptr) *keep = gst_buffer_ref(b);
                         }),
                         &held);
        gst_object_unref(sink);
        ASSERT_TRUE(p.playsTo(GST_MESSAGE_EOS));
        ASSERT_EQ(p.setState(GST_STATE_NULL), GST_STATE_CHANGE_SUCCESS);
    }
    ASSERT_NE(held, nullptr);
    GstMapInfo map;
    ASSERT_TRUE(gst_buffer_map(held, &map, GST_MAP_READ));
    EXPECT_EQ(vcam::firstMismatch(GST_BUFFER_OFFSET(held), map.data, map.size), -1);
    gst_buffer_unmap(held, &map);
    gst_buffer_unref(held);
    // Freed: the camera is free for the next pipeline.
    Pipeline again("tessoralsrc num-buffers=1 ! fakesink name=sink");
    EXPECT_TRUE(again.playsTo(GST_MESSAGE_EOS));
}

TEST_F(TessoralSrcTest, NoCameraIsAnErrorOnTheBus) {
    Pipeline p("tessoralsrc camera=NO-SUCH-CAMERA ! fakesink name=sink");
    EXPECT_EQ(p.setState(GST_STATE_PLAYING), GST_STATE_CHANGE_FAILURE);
    EXPECT_EQ(p.waitEnd(), GST_MESSAGE_ERROR);
    EXPECT_NE(p.error.find("no camera with GUID or serial number 'NO-SUCH-CAMERA'"), std::string::npos) << p.error;
}

// ---- frames written as PNG files ----

std::vector<uint8_t> readGrayPng(const fs::path& path, uint32_t& width, uint32_t& height) {
    png_image image{};
    image.version = PNG_IMAGE_VERSION;
    if (!png_image_begin_read_from_file(&image, path.c_str())) return {};
    image.format = PNG_FORMAT_GRAY;
    std::vector<uint8_t> pixels(PNG_IMAGE_SIZE(image));
    if (!png_image_finish_read(&image, nullptr, pixels.data(), 0, nullptr)) return {};
    width = image.width;
    height = image.height;
    return pixels;
}

// Frames through pngenc ! multifilesink are the test pattern byte for byte, also at a width
// whose rows GStreamer pads (322 bytes packed by the camera, 324 in a GStreamer frame).
TEST_F(TessoralSrcTest, PngFramesAreThePattern) {
    for (const uint32_t width : {640u, 322u}) {
        SCOPED_TRACE(width);
        char pattern[] = "/tmp/tessoralsrc-png-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        const fs::path dir = pattern;
        // Slow enough that pngenc keeps up: no image is dropped, block ids are 1, 2, 3, 4.
        vcam::setStreamPacing(camera_, 0, 50);
        Pipeline p("tessoralsrc num-buffers=4 ! video/x-raw,width=" + std::to_string(width) +
                   " ! pngenc ! multifilesink location=" + (dir / "frame-%02d.png").string());
        ASSERT_TRUE(p.playsTo(GST_MESSAGE_EOS));
        for (uint64_t id = 1; id <= 4; ++id) {
            char name[32];
            std::snprintf(name, sizeof name, "frame-%02u.png", static_cast<unsigned>(id - 1));
            uint32_t w = 0, h = 0;
            const std::vector<uint8_t> pixels = readGrayPng(dir / name, w, h);
            ASSERT_EQ(w, width) << name;
            ASSERT_EQ(h, 480u) << name;
            EXPECT_EQ(vcam::firstMismatch(id, pixels.data(), pixels.size()), -1) << name;
        }
        fs::remove_all(dir);
    }
}

// ---- trigger ----

// Renames a name throughout the camera's description file (to one of the same length, so
// that the file stays whole): the camera then lacks the feature.
void renameInDescription(int camera, const std::string& from, const std::string& to) {
    ASSERT_EQ(from.size(), to.size());
    const uint64_t manifest = peekLe(camera, kManifestPointer, 8);
    const uint64_t address = peekLe(camera, manifest + 16, 8), size = peekLe(camera, manifest + 24, 8);
    std::string file(size, '\0');
    ASSERT_TRUE(vcam::peek(camera, address, file.data(), size));
    int renamed = 0;
    for (size_t at = file.find(from); at != std::string::npos; at = file.find(from, at + to.size()), ++renamed)
        file.replace(at, to.size(), to);
    ASSERT_GT(renamed, 0) << from;
    ASSERT_TRUE(vcam::poke(camera, address, file.data(), size));
}

bool trigger(GstElement* src) {
    gboolean sent = FALSE;
    g_signal_emit_by_name(src, "trigger", &sent);
    return sent;
}

class TriggerTest : public TessoralSrcTest {
protected:
    bool waitStreaming() {
        for (int i = 0; i < 1000 && !vcam::streamStats(camera_).streaming; ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        return vcam::streamStats(camera_).streaming;
    }
};

// No image until a trigger, then exactly one per trigger (signal or upstream event), each
// the camera's test pattern; a trigger fired before the camera runs is kept. Waiting longer
// than the time-out for a trigger ends nothing. Trigger mode off streams freely again.
TEST_F(TriggerTest, OneImagePerSoftwareTrigger) {
    {
        Pipeline p("tessoralsrc name=src trigger-mode=software timeout=300 ! fakesink name=sink");
        GstElement* src = p.element("src");
        EXPECT_FALSE(trigger(src)) << "no camera open yet";
        ASSERT_NE(p.setState(GST_STATE_PAUSED), GST_STATE_CHANGE_FAILURE);
        EXPECT_TRUE(trigger(src)) << "kept for the start";
        ASSERT_NE(p.setState(GST_STATE_PLAYING, false), GST_STATE_CHANGE_FAILURE);
        ASSERT_TRUE(waitStreaming());
        EXPECT_EQ(peekLe(camera_, kTriggerModeReg), 1u);
        EXPECT_EQ(peekLe(camera_, kTriggerSourceReg), 0u);  // Software
        ASSERT_TRUE(p.waitBuffers(1));

        EXPECT_EQ(p.waitEnd(1), GST_MESSAGE_UNKNOWN) << p.error;  // longer than the time-out
        EXPECT_EQ(p.buffers, 1);
        EXPECT_EQ(p.warnings, 0) << p.warning;
        for (int i = 0; i < 3; ++i) EXPECT_TRUE(trigger(src));
        EXPECT_TRUE(p.sendEvent(gst_event_new_custom(GST_EVENT_CUSTOM_UPSTREAM,
                                                     gst_structure_new_empty("tessoral-trigger"))));
        ASSERT_TRUE(p.waitBuffers(5));
        EXPECT_EQ(p.waitEnd(1), GST_MESSAGE_UNKNOWN) << p.error;
        EXPECT_EQ(p.buffers, 5);
        const Pipeline::Seen seen = p.seen();
        EXPECT_EQ(seen.offsets, (std::vector<uint64_t>{1, 2, 3, 4, 5}));
        EXPECT_EQ(seen.mismatches, std::vector<long long>(5, -1));
        EXPECT_EQ(seen.sizes, std::vector<size_t>(5, 640u * 480u));
        ASSERT_EQ(p.setState(GST_STATE_NULL), GST_STATE_CHANGE_SUCCESS);
        EXPECT_FALSE(trigger(src)) << "closed";
        gst_object_unref(src);
    }
    Pipeline freeRun("tessoralsrc ! fakesink name=sink");
    ASSERT_NE(freeRun.setState(GST_STATE_PLAYING), GST_STATE_CHANGE_FAILURE);
    ASSERT_TRUE(freeRun.waitBuffers(10));
    EXPECT_EQ(peekLe(camera_, kTriggerModeReg), 0u);
}

// A software trigger the camera does not answer is a warning after the time-out, and the
// stream goes on to the next trigger.
TEST_F(TriggerTest, UnansweredTriggerWarns) {
    // A time-out with room for an image that comes on a loaded machine.
    Pipeline p("tessoralsrc name=src trigger-mode=software timeout=1000 ! fakesink name=sink");
    GstElement* src = p.element("src");
    ASSERT_NE(p.setState(GST_STATE_PLAYING, false), GST_STATE_CHANGE_FAILURE);
    ASSERT_TRUE(waitStreaming());
    poke32(camera_, kTriggerSourceReg, 1);  // Line0 behind the element's back: TriggerSoftware does nothing
    EXPECT_TRUE(trigger(src));
    EXPECT_EQ(p.waitEnd(3), GST_MESSAGE_UNKNOWN) << p.error;
    EXPECT_EQ(p.warnings, 1);
    EXPECT_EQ(p.warning, "No image came within 1000 ms of a software trigger.");
    poke32(camera_, kTriggerSourceReg, 0);
    EXPECT_TRUE(trigger(src));
    ASSERT_TRUE(p.waitBuffers(1));
    EXPECT_EQ(p.waitEnd(1), GST_MESSAGE_UNKNOWN) << p.error;
    EXPECT_EQ(p.warnings, 1) << p.warning;
    EXPECT_EQ(p.seen().offsets, std::vector<uint64_t>{1});
    gst_object_unref(src);
}

// Hardware: the line is the first the camera lists, or the one named; the element waits
// for it without an error, and takes no software trigger.
TEST_F(TriggerTest, HardwareTriggerWaitsForTheLine) {
    Pipeline p("tessoralsrc name=src trigger-mode=hardware timeout=100 ! fakesink name=sink");
    GstElement* src = p.element("src");
    ASSERT_NE(p.setState(GST_STATE_PLAYING, false), GST_STATE_CHANGE_FAILURE);
    ASSERT_TRUE(waitStreaming());
    EXPECT_EQ(peekLe(camera_, kTriggerModeReg), 1u);
    EXPECT_EQ(peekLe(camera_, kTriggerSourceReg), 1u);  // Line0
    EXPECT_FALSE(trigger(src));
    EXPECT_EQ(p.waitEnd(1), GST_MESSAGE_UNKNOWN) << p.error;
    EXPECT_EQ(p.buffers, 0);
    gst_object_unref(src);
    ASSERT_EQ(p.setState(GST_STATE_NULL), GST_STATE_CHANGE_SUCCESS);

    Pipeline unknown("tessoralsrc trigger-mode=hardware trigger-source=Line7 ! fakesink name=sink");
    EXPECT_TRUE(unknown.playsTo(GST_MESSAGE_ERROR, "has no entry Line7 (it lists Software, Line0)"));
}

// A camera without the trigger features fails at the start when a trigger is asked for,
// and still streams without one.
TEST_F(TriggerTest, CameraWithoutTriggerFeatures) {
    renameInDescription(camera_, "TriggerMode", "TriggerMoxe");
    {
        Pipeline p("tessoralsrc trigger-mode=software ! fakesink name=sink");
        EXPECT_TRUE(p.playsTo(GST_MESSAGE_ERROR, "Cannot set up the camera's trigger."));
        EXPECT_NE(p.error.find("the camera has no TriggerMode enumeration"), std::string::npos) << p.error;
    }
    {
        Pipeline freeRun("tessoralsrc num-buffers=3 ! fakesink name=sink");
        EXPECT_TRUE(freeRun.playsTo(GST_MESSAGE_EOS));
    }

    renameInDescription(camera_, "TriggerSoftware", "TriggerSoftwarf");
    Pipeline noCommand("tessoralsrc trigger-mode=software ! fakesink name=sink");
    renameInDescription(camera_, "TriggerMoxe", "TriggerMode");
    EXPECT_TRUE(noCommand.playsTo(GST_MESSAGE_ERROR, "the camera has no TriggerSoftware command"));
}

// PLAYING -> NULL while the element waits for a trigger returns at once, not after the
// time-out.
TEST_F(TriggerTest, StopWhileWaitingForATrigger) {
    Pipeline p("tessoralsrc trigger-mode=software timeout=60000 ! fakesink name=sink");
    ASSERT_NE(p.setState(GST_STATE_PLAYING, false), GST_STATE_CHANGE_FAILURE);
    ASSERT_TRUE(waitStreaming());
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    const auto before = std::chrono::steady_clock::now();
    ASSERT_EQ(p.setState(GST_STATE_NULL), GST_STATE_CHANGE_SUCCESS);
    EXPECT_LT(std::chrono::steady_clock::now() - before, std::chrono::seconds(5));
    EXPECT_FALSE(vcam::streamStats(camera_).streaming);
}

TEST(PixelFormatTable, NamesCapsAndStrides) {
    using namespace tessoralsrc;
    const PixelFormat* mono8 = pixelFormatByName("Mono8");
    ASSERT_NE(mono8, nullptr);
    EXPECT_EQ(pixelFormatByCaps("video/x-raw", "GRAY8"), mono8);
    EXPECT_EQ(pixelFormatByCaps("video/x-bayer", "GRAY8"), nullptr);
    ASSERT_NE(pixelFormatByName("BayerRG8"), nullptr);
    EXPECT_STREQ(pixelFormatByName("BayerRG8")->format, "rggb");
    EXPECT_EQ(pixelFormatByName("BayerGB8")->code, 0x0108000Au);
    EXPECT_EQ(pixelFormatByName("Mono10"), nullptr);
    EXPECT_EQ(pixelFormatByName("mono8"), nullptr);  // entry names are exact
    const PixelFormat* rgb = pixelFormatByName("RGB8");
    EXPECT_EQ(packedStride(*rgb, 5), 15u);
    EXPECT_EQ(gstStride(*rgb, 5), 16u);
    EXPECT_EQ(gstStride(*pixelFormatByName("Mono16"), 3), 8u);
    EXPECT_EQ(gstStride(*mono8, 640), 640u);
    for (const PixelFormat& f : pixelFormats()) EXPECT_EQ(pixelFormatByCaps(f.media, f.format), &f) << f.name;
}

}  // namespace
