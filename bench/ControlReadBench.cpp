// U3V_ReadMem of one register on the virtual camera against its floor: the same command
// and acknowledge sent with plain libusb-1.0 bulk calls on the same camera. The interface
// claim is exclusive per handle, so each case sets up and tears down its own world.
#include <benchmark/benchmark.h>
#include <libusb.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "tessoral/tessoral.h"
#include "vcam/vcam.h"

namespace {

constexpr uint64_t kRegister = 0x01CC;  // Maximum Device Response Time, 4 bytes

void plugOneCamera() {
    vcam::reset();
    vcam::addCamera();
}

void BM_LibraryReadMem(benchmark::State& state) {
    plugOneCamera();
    uint16_t count = 0;
    U3V_DEVICE_INFO info{};
    void* device = nullptr;
    void* control = nullptr;
    // Log mask 0: every message is masked out and costs only its test.
    if (U3V_DiscoveryDevices(&count) != U3V_OK || count < 1 || U3V_GetDeviceInfo(1, &info) != U3V_OK ||
        U3V_OpenDevice(info.DeviceGUID, &device, nullptr, 0) != U3V_OK ||
        U3V_OpenControl(device, &control) != U3V_OK) {
        state.SkipWithError("cannot open the virtual camera");
    } else {
        vcam::clearCalls();
        uint32_t value = 0;
        for (auto _ : state) {
            if (U3V_ReadMem(control, kRegister, 4, &value) != U3V_OK) {
                state.SkipWithError("U3V_ReadMem failed");
                break;
            }
            benchmark::DoNotOptimize(value);
        }
    }
    if (control != nullptr) U3V_CloseControl(control);
    if (device != nullptr) U3V_CloseDevice(device);
    vcam::clearCalls();
}

// The control interface and its two bulk endpoints, as any USB3 Vision host finds them.
struct ControlPipes {
    int interface = -1;
    uint8_t out = 0, in = 0;
};

bool findControlPipes(libusb_device* dev, ControlPipes& pipes) {
    libusb_config_descriptor* config = nullptr;
    if (libusb_get_config_descriptor(dev, 0, &config) != LIBUSB_SUCCESS) return false;
    for (int i = 0; i < config->bNumInterfaces && pipes.interface < 0; ++i) {
        if (config->interface[i].num_altsetting < 1) continue;
        const libusb_interface_descriptor& alt = config->interface[i].altsetting[0];
        if (alt.bInterfaceClass != 0xEF || alt.bInterfaceSubClass != 0x05 || alt.bInterfaceProtocol != 0)
            continue;
        pipes.interface = alt.bInterfaceNumber;
        for (int e = 0; e < alt.bNumEndpoints; ++e) {
            const uint8_t address = alt.endpoint[e].bEndpointAddress;
            (address & 0x80 ? pipes.in : pipes.out) = address;
        }
    }
    libusb_free_config_descriptor(config);
    return pipes.interface >= 0 && pipes.in != 0 && pipes.out != 0;
}

void BM_PlainLibusbReadMem(benchmark::State& state) {
    plugOneCamera();
    // The default context, as the library uses.
    libusb_context* context = nullptr;
    libusb_device_handle* handle = nullptr;
    ControlPipes pipes;
    if (libusb_init(nullptr) != LIBUSB_SUCCESS) {
        state.SkipWithError("libusb_init failed");
        return;
    }
    libusb_device** list = nullptr;
    const ssize_t n = libusb_get_device_list(context, &list);
    for (ssize_t i = 0; i < n && handle == nullptr; ++i) {
        ControlPipes found;
        if (findControlPipes(list[i], found) && libusb_open(list[i], &handle) == LIBUSB_SUCCESS)
            pipes = found;
    }
    if (list != nullptr) libusb_free_device_list(list, 1);

    if (handle == nullptr || libusb_claim_interface(handle, pipes.interface) != LIBUSB_SUCCESS) {
        state.SkipWithError("cannot open the virtual camera");
    } else {
        vcam::clearCalls();
        uint8_t command[24] = {'U', '3', 'V', 'C', 0x00, 0x40, 0x00, 0x08, 12, 0};
        for (int i = 0; i < 8; ++i) command[12 + i] = static_cast<uint8_t>(kRegister >> (8 * i));
        command[22] = 4;
        uint8_t ack[16];
        uint16_t requestId = 0;
        for (auto _ : state) {
            command[10] = static_cast<uint8_t>(requestId);
            command[11] = static_cast<uint8_t>(requestId >> 8);
            ++requestId;
            int sent = 0, received = 0;
            if (libusb_bulk_transfer(handle, pipes.out, command, sizeof command, &sent, 200) != 0 ||
                libusb_bulk_transfer(handle, pipes.in, ack, sizeof ack, &received, 200) != 0 ||
                received != 16 || std::memcmp(ack, "U3VC", 4) != 0) {
                state.SkipWithError("plain transfer failed");
                break;
            }
            benchmark::DoNotOptimize(ack);
        }
        libusb_release_interface(handle, pipes.interface);
    }
    if (handle != nullptr) libusb_close(handle);
    libusb_exit(context);
    vcam::clearCalls();
}

// What each access now pays for being safe across threads: one uncontended take and
// release of the channel's lock (the same kind of lock).
void BM_ChannelLock(benchmark::State& state) {
    std::recursive_mutex lock;
    for (auto _ : state) {
        lock.lock();
        benchmark::ClobberMemory();
        lock.unlock();
    }
}

}  // namespace

BENCHMARK(BM_ChannelLock)->Iterations(2000000)->Repetitions(5)->ReportAggregatesOnly(true);
// The virtual camera records every call; fixed iteration counts keep that record bounded
// and the two cases comparable.
BENCHMARK(BM_PlainLibusbReadMem)->Iterations(20000)->Repetitions(5)->ReportAggregatesOnly(true);
BENCHMARK(BM_LibraryReadMem)->Iterations(20000)->Repetitions(5)->ReportAggregatesOnly(true);

namespace {

// The console report, plus the ratio of the two medians at the end.
class RatioReporter : public benchmark::ConsoleReporter {
public:
    void ReportRuns(const std::vector<Run>& runs) override {
        for (const Run& run : runs)
            if (run.aggregate_name == "median")
                medians_[run.run_name.function_name] = run.GetAdjustedRealTime();
        ConsoleReporter::ReportRuns(runs);
    }
    double median(const std::string& name) const {
        const auto it = medians_.find(name);
        return it == medians_.end() ? 0.0 : it->second;
    }

private:
    std::map<std::string, double> medians_;
};

}  // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    RatioReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    benchmark::Shutdown();
    const double library = reporter.median("BM_LibraryReadMem");
    const double plain = reporter.median("BM_PlainLibusbReadMem");
    const double lock = reporter.median("BM_ChannelLock");
    if (library > 0 && plain > 0)
        std::printf("U3V_ReadMem / plain libusb (medians): %.3f\n", library / plain);
    if (library > 0 && lock > 0)
        std::printf("channel lock / U3V_ReadMem (medians): %.4f\n", lock / library);
    return 0;
}
