// The emulated kernel as the system libusb meets it: enumeration from sysfs, claims that
// belong to one open file, and what closing a file releases.
#include "emulator/usbfs/UsbfsWorld.h"

namespace {

using namespace usbtest;
using UsbfsEnumeration = UsbfsWorld;
using UsbfsClaims = UsbfsWorld;

TEST_F(UsbfsEnumeration, DevicesComeFromSysfsAndTheirNodesAnswerDescriptors) {
    vcam::addCamera();
    vcam::addDevice();  // a mouse, on the other bus
    std::vector<libusb_device*> all = devices();
    ASSERT_EQ(all.size(), 2u);
    libusb_device* camera = nullptr;
    for (libusb_device* d : all) {
        libusb_device_descriptor dd{};
        ASSERT_EQ(libusb_get_device_descriptor(d, &dd), 0);
        if (dd.idVendor == 0x1209) {
            camera = d;
            EXPECT_EQ(libusb_get_bus_number(d), 2);
            EXPECT_EQ(libusb_get_device_speed(d), LIBUSB_SPEED_SUPER);
        } else {
            EXPECT_EQ(libusb_get_bus_number(d), 1);
            EXPECT_EQ(libusb_get_device_speed(d), LIBUSB_SPEED_HIGH);
        }
    }
    ASSERT_NE(camera, nullptr);
    libusb_config_descriptor* config = nullptr;
    ASSERT_EQ(libusb_get_active_config_descriptor(camera, &config), 0);
    EXPECT_EQ(config->bNumInterfaces, 3);
    EXPECT_EQ(config->extra_length, 8) << "the interface association";
    EXPECT_EQ(config->interface[0].altsetting[0].extra_length, 20) << "the device info descriptor";
    libusb_free_config_descriptor(config);

    libusb_device_handle* h = open(camera);
    ASSERT_NE(h, nullptr);
    EXPECT_EQ(ascii(h, 1), "Tessoral Virtual") << "strings come through the default pipe";
    EXPECT_EQ(ascii(h, 3), "00000001");
    libusb_bos_descriptor* bos = nullptr;
    ASSERT_EQ(libusb_get_bos_descriptor(h, &bos), 0);
    EXPECT_EQ(bos->bNumDeviceCaps, 2);
    libusb_free_bos_descriptor(bos);
}

TEST_F(UsbfsClaims, AnInterfaceBelongsToOneFileUntilReleasedOrClosed) {
    vcam::addCamera();
    libusb_device* dev = only();
    libusb_device_handle* a = open(dev);
    libusb_device_handle* b = open(dev);
    ASSERT_TRUE(a && b);

    EXPECT_EQ(libusb_claim_interface(a, 0), 0);
    EXPECT_EQ(libusb_claim_interface(b, 0), LIBUSB_ERROR_BUSY);
    EXPECT_EQ(libusb_claim_interface(a, 5), LIBUSB_ERROR_NOT_FOUND);
    EXPECT_EQ(libusb_release_interface(a, 0), 0);
    EXPECT_EQ(libusb_claim_interface(b, 0), 0);
    EXPECT_EQ(libusb_claim_interface(a, 0), LIBUSB_ERROR_BUSY);

    // A transfer claims its interface for its file, as the kernel does on first use.
    uint8_t buf[1024];
    int got = 0;
    EXPECT_EQ(libusb_bulk_transfer(a, 0x82, buf, sizeof buf, &got, 20), LIBUSB_ERROR_TIMEOUT);
    EXPECT_EQ(libusb_claim_interface(b, 1), LIBUSB_ERROR_BUSY);

    const uint64_t closedBefore = stats().filesClosed;
    close(b);
    ASSERT_TRUE(eventually([&] { return stats().filesClosed > closedBefore; }));
    EXPECT_EQ(libusb_claim_interface(a, 0), 0) << "closing released the other file's claim";
}

TEST_F(UsbfsClaims, HeldInterfacesAndKernelDriversAreBusy) {
    vcam::CameraConfig held;
    held.controlHeldElsewhere = true;
    vcam::addCamera(held);
    libusb_device_handle* cam = open(only());
    EXPECT_EQ(libusb_claim_interface(cam, 0), LIBUSB_ERROR_BUSY);
    EXPECT_EQ(libusb_claim_interface(cam, 2), 0);
    EXPECT_EQ(libusb_kernel_driver_active(cam, 2), 0);
    vcam::reset();

    vcam::addDevice();  // usbhid holds the mouse's interface
    libusb_device_handle* mouse = open(only());
    EXPECT_EQ(libusb_kernel_driver_active(mouse, 0), 1);
    EXPECT_EQ(libusb_claim_interface(mouse, 0), LIBUSB_ERROR_BUSY);
    EXPECT_EQ(libusb_set_auto_detach_kernel_driver(mouse, 1), 0);
    EXPECT_EQ(libusb_claim_interface(mouse, 0), 0);
    EXPECT_EQ(libusb_kernel_driver_active(mouse, 0), 0) << "usbfs holds it now";
    EXPECT_EQ(libusb_release_interface(mouse, 0), 0);
    EXPECT_EQ(libusb_kernel_driver_active(mouse, 0), 1) << "auto-detach gives it back";
}

}  // namespace
