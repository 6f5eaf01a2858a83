#include "usbfs/UsbfsKernel.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>

#include "usbfs/UsbfsNode.h"

namespace vcam::usbfs {

namespace {

std::mutex startMutex;
Kernel* instance = nullptr;

std::string hex(const std::vector<uint8_t>& bytes) {
    static const char digits[] = "0123456789ABCDEF";
    std::string out;
    out.reserve(bytes.size() * 2);
    for (uint8_t b : bytes) {
        out.push_back(digits[b >> 4]);
        out.push_back(digits[b & 0x0F]);
    }
    return out;
}

std::string sysPath(uint8_t bus, uint8_t port) {
    return "/sys/devices/pci0000:00/0000:00:14.0/usb" + std::to_string(bus) + "/" +
           std::to_string(bus) + "-" + std::to_string(port);
}

// A string descriptor as the kernel shows it in sysfs (plain ASCII here).
std::string stringAttribute(const DeviceDescriptors& d, uint8_t index) {
    auto it = d.strings.find(index);
    if (index == 0 || it == d.strings.end()) return {};
    std::string text;
    for (size_t i = 2; i + 1 < it->second.size(); i += 2) {
        const char c = static_cast<char>(it->second[i]);
        text.push_back(c >= 0x20 && c < 0x7F && c != '\\' ? c : '?');
    }
    return text;
}

// What the kernel shows of an enumerated device in sysfs: the descriptors it read at
// enumeration (the device's answer to GET_DESCRIPTOR, as libusb reads them from there),
// its address and speed, and the properties udev tells with its events.
std::string sysfsRecord(const VirtualDevice& device, uint8_t bus, uint8_t address, uint8_t port) {
    const DeviceDescriptors& d = device.descriptors();
    std::vector<uint8_t> raw = d.device;
    const std::vector<uint8_t>& config = d.wireConfiguration ? *d.wireConfiguration : d.configuration;
    raw.insert(raw.end(), config.begin(), config.end());
    char node[32];
    std::snprintf(node, sizeof node, "bus/usb/%03u/%03u", bus, address);
    char ids[64];
    std::snprintf(ids, sizeof ids, "%04x\\n\nA: idProduct=%04x\\n\n", wire::getU16(d.device.data(), 8),
                  wire::getU16(d.device.data(), 10));
    const std::string path = sysPath(bus, port).substr(4);  // without /sys
    const unsigned configs = d.device.size() >= wire::kDeviceDescriptorSize ? d.device[17] : 0;
    const unsigned configValue = d.configuration.size() >= wire::kConfigDescriptorSize ? d.configuration[5] : 0;
    std::string r;
    r += "P: " + path + "\n";
    r += std::string("N: ") + node + "\n";
    r += "E: SUBSYSTEM=usb\nE: DEVTYPE=usb_device\nE: DRIVER=usb\n";
    r += "E: BUSNUM=" + std::string(node + 8, 3) + "\nE: DEVNUM=" + std::string(node + 12, 3) + "\n";
    r += std::string("E: DEVNAME=/dev/") + node + "\n";
    r += "A: busnum=" + std::to_string(bus) + "\\n\n";
    r += "A: devnum=" + std::to_string(address) + "\\n\n";
    r += std::string("A: speed=") + (device.isCamera() ? "5000" : "480") + "\\n\n";
    r += "A: bConfigurationValue=" + std::to_string(configValue) + "\\n\n";
    r += "A: bNumConfigurations=" + std::to_string(configs) + "\\n\n";
    r += std::string("A: idVendor=") + ids;
    static const char* const kStringNames[] = {"manufacturer", "product", "serial"};
    for (int i = 0; i < 3 && d.device.size() >= wire::kDeviceDescriptorSize; ++i) {
        const std::string text = stringAttribute(d, d.device[14 + i]);
        if (!text.empty()) r += std::string("A: ") + kStringNames[i] + "=" + text + "\\n\n";
    }
    r += "H: descriptors=" + hex(raw) + "\n";
    return r;
}

}  // namespace

Kernel& Kernel::start() {
    std::lock_guard<std::mutex> guard(startMutex);
    if (instance != nullptr) return *instance;
    instance = new Kernel;  // never destroyed, like the world it serves
    World& world = World::raw();
    {
        std::lock_guard<std::mutex> lock(world.mutex());
        world.addListener(instance);
        for (const auto& device : world.devices()) {
            if (device->plugged()) instance->deviceArrived(device);
        }
    }
    World::get();  // the world of VCAM_CONFIG (or one camera), if not made yet
    instance->settle();
    return *instance;
}

Kernel* Kernel::running() {
    std::lock_guard<std::mutex> guard(startMutex);
    return instance;
}

Kernel::Kernel() {
    testbed_ = umockdev_testbed_new();  // sets UMOCKDEV_DIR for programs started from here
    gchar* root = umockdev_testbed_get_root_dir(testbed_);
    root_ = root;
    g_free(root);
    hub_ = std::thread([this] { runHub(); });
    hub_.detach();

}

void Kernel::removeTestbed() {
    // An unplug the hub is still applying removes its device's files itself: let it end
    // first, or both remove the same files and umockdev aborts on the one already gone.
    settle();
    std::error_code ignored;
    std::filesystem::remove_all(root_, ignored);
}

KernelStats Kernel::stats() {
    std::lock_guard<std::mutex> lock(World::raw().mutex());
    return stats_;
}

bool Kernel::chargeMemory(size_t bytes) {
    const uint64_t limit = static_cast<uint64_t>(World::raw().kernel().memoryMb) << 20;
    if (limit != 0 && stats_.memoryInUse + bytes > limit) return false;
    stats_.memoryInUse += bytes;
    stats_.memoryPeak = std::max(stats_.memoryPeak, stats_.memoryInUse);
    return true;
}

void Kernel::releaseMemory(size_t bytes) { stats_.memoryInUse -= std::min(bytes, stats_.memoryInUse); }

void Kernel::deviceArrived(const std::shared_ptr<VirtualDevice>& device) {
    auto session = std::make_shared<Session>(device, device->session(), device->bus(), device->address());
    live_[device.get()] = session;
    std::lock_guard<std::mutex> hub(hubMutex_);
    changes_.push_back(Change{session, device->port(), true});
    ++queued_;
    hubCv_.notify_all();
}

void Kernel::deviceLeft(const std::shared_ptr<VirtualDevice>& device) {
    auto it = live_.find(device.get());
    if (it == live_.end()) return;
    std::shared_ptr<Session> session = it->second;
    live_.erase(it);
    // URBs in flight have ended with -ESHUTDOWN (the device failed its reads); from now on
    // everything but reaping answers ENODEV.
    session->disconnect();
    session->updateReadiness();
    std::lock_guard<std::mutex> hub(hubMutex_);
    changes_.push_back(Change{session, device->port(), false});
    ++queued_;
    hubCv_.notify_all();
}

void Kernel::settle() {
    std::unique_lock<std::mutex> hub(hubMutex_);
    const uint64_t target = queued_;
    hubCv_.wait(hub, [&] { return applied_ >= target; });
}

void Kernel::runHub() {
    std::unique_lock<std::mutex> hub(hubMutex_);
    for (;;) {
        hubCv_.wait(hub, [&] { return !changes_.empty(); });
        Change change = std::move(changes_.front());
        changes_.pop_front();
        hub.unlock();
        apply(change);
        hub.lock();
        ++applied_;
        hubCv_.notify_all();
    }
}

std::shared_ptr<Node> Kernel::nodeFor(const std::string& devnode) {
    auto it = nodes_.find(devnode);
    if (it != nodes_.end()) return it->second;
    auto node = std::make_shared<Node>(*this, testbed_, devnode);
    nodes_[devnode] = node;
    return node;
}

void Kernel::apply(const Change& change) {
    Session& session = *change.session;
    const std::string devnode = session.devnode();
    const std::string syspath = sysPath(session.bus(), change.port);
    const std::string file = root_ + devnode;
    std::shared_ptr<Node> node = nodeFor(devnode);  // before the node exists: no open misses it
    World& world = World::raw();
    if (!change.arrived) {
        {
            std::lock_guard<std::mutex> lock(world.mutex());
            node->releaseSession(change.session);
        }
        umockdev_testbed_uevent(testbed_, syspath.c_str(), "remove");
        umockdev_testbed_remove_device(testbed_, syspath.c_str());
        ::unlink(file.c_str());
        return;
    }
    {
        std::lock_guard<std::mutex> lock(world.mutex());
        node->setSession(change.session);
    }
    GError* error = nullptr;
    const std::string record = sysfsRecord(session.device(), session.bus(), session.address(), change.port);
    if (!umockdev_testbed_add_from_string(testbed_, record.c_str(), &error)) {
        std::fprintf(stderr, "vcam: cannot put %s into sysfs: %s\n", devnode.c_str(),
                     error ? error->message : "?");
        if (error) g_error_free(error);
        return;
    }
    // The node becomes a FIFO kept full (see Session), put in place in one step.
    const std::string fifo = file + ".fifo";
    ::unlink(fifo.c_str());
    int fd = -1;
    if (::mkfifo(fifo.c_str(), 0666) == 0) fd = ::open(fifo.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC);
    if (fd >= 0) {
        static const char page[4096] = {};
        while (::write(fd, page, sizeof page) == static_cast<ssize_t>(sizeof page)) {
        }
        if (::rename(fifo.c_str(), file.c_str()) != 0) {
            ::close(fd);
            fd = -1;
        }
    }
    if (fd < 0) std::fprintf(stderr, "vcam: %s stays a plain file: poll() will not wait\n", devnode.c_str());
    {
        std::lock_guard<std::mutex> lock(world.mutex());
        if (fd >= 0) session.setReadiness(fd);
    }
    umockdev_testbed_uevent(testbed_, syspath.c_str(), "add");
}

}  // namespace vcam::usbfs
