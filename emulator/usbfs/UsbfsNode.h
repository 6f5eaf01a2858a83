// One device node of the emulated kernel (/dev/bus/usb/BBB/AAA) and what hangs off it: the
// device's time on the bus at that address (a session), the files programs opened on it,
// and the URBs of each file. Everything is guarded by the world lock; the ioctl handler
// runs on umockdev's worker thread.
#pragma once

#include <umockdev.h>

#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <set>
#include <string>

#include "device/VirtualDevice.h"

namespace vcam::usbfs {

class Kernel;
class OpenFile;
class Urb;

// A device at one address, from its arrival to its departure.
class Session {
public:
    Session(std::shared_ptr<VirtualDevice> device, uint64_t session, uint8_t bus, uint8_t address);
    ~Session();
    Session(const Session&) = delete;
    Session& operator=(const Session&) = delete;

    VirtualDevice& device() { return *device_; }
    bool connected() const { return connected_; }
    void disconnect() { connected_ = false; }
    uint8_t bus() const { return bus_; }
    uint8_t address() const { return address_; }
    const std::shared_ptr<VirtualDevice>& devicePtr() const { return device_; }
    uint64_t number() const { return session_; }
    std::string devnode() const;

    // The node is a FIFO that the kernel keeps full, so that poll() reports it writable
    // (a URB to reap) only while one of its files has a completed URB.
    void setReadiness(int fifo);
    void updateReadiness();
    std::set<OpenFile*>& files() { return files_; }

private:
    std::shared_ptr<VirtualDevice> device_;
    uint64_t session_;
    uint8_t bus_, address_;
    bool connected_ = true;
    int fifo_ = -1;
    bool signalled_ = false;
    std::set<OpenFile*> files_;
};

// One open file of a device node: its claims, its URBs in flight and those to reap.
class OpenFile {
public:
    OpenFile(Kernel& kernel, std::shared_ptr<Session> session);
    ~OpenFile();  // releases claims and frees every URB, as a close does
    OpenFile(const OpenFile&) = delete;
    OpenFile& operator=(const OpenFile&) = delete;

    long ioctl(unsigned long request, UMockdevIoctlData* arg, std::unique_lock<std::mutex>& lock);

    // Called by a URB when it completes.
    void completed(Urb* urb);
    bool hasCompleted() const;
    Kernel& kernel() { return kernel_; }
    Session& session() { return *session_; }

private:
    long submit(UMockdevIoctlData* arg, std::unique_lock<std::mutex>& lock);
    long reap(UMockdevIoctlData* arg);
    long discard(UMockdevIoctlData* arg);
    long control(UMockdevIoctlData* arg, std::unique_lock<std::mutex>& lock);
    long bulk(UMockdevIoctlData* arg, std::unique_lock<std::mutex>& lock);
    long submitControl(Urb* urb);
    long submitBulk(Urb* urb, Endpoint& ep, std::unique_lock<std::mutex>& lock);
    // A standard request to the device on behalf of the kernel (clear halt, set interface).
    long deviceRequest(uint8_t requestType, uint8_t request, uint16_t value, uint16_t index);
    // Claims the interface for this file (as a first transfer on it does implicitly).
    long claim(int interface);
    long release(int interface);
    long claimFor(uint8_t endpointAddress);
    void killUrbs(int interface, int status);
    void cancelContinuations(uint8_t endpoint);
    long disconnectDriver(int interface);

    Kernel& kernel_;
    std::shared_ptr<Session> session_;
    std::set<int> claimed_;
    std::set<Urb*> inFlight_;
    std::deque<Urb*> done_;
    std::set<uint8_t> disabledBulk_;  // endpoints refusing continuation URBs after an error
};

// The handler of one device node path; attached to the testbed once and kept, so that a
// device plugged in again at the same address answers through it.
class Node {
public:
    Node(Kernel& kernel, UMockdevTestbed* testbed, const std::string& devnode);
    ~Node();
    Node(const Node&) = delete;
    Node& operator=(const Node&) = delete;

    // Under the world lock.
    void setSession(std::shared_ptr<Session> session) { session_ = std::move(session); }
    void releaseSession(const std::shared_ptr<Session>& session) {
        if (session_ == session) session_.reset();
    }

private:
    static gboolean onIoctl(UMockdevIoctlBase* handler, UMockdevIoctlClient* client, gpointer self);
    static void onClosed(gpointer self, GObject* gone);
    long handle(UMockdevIoctlClient* client);

    Kernel& kernel_;
    UMockdevTestbed* testbed_;
    std::string devnode_;
    UMockdevIoctlBase* handler_ = nullptr;
    std::shared_ptr<Session> session_;
    std::map<UMockdevIoctlClient*, std::unique_ptr<OpenFile>> files_;
};

}  // namespace vcam::usbfs
