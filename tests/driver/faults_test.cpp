// Every allocation of the driver's paths failed in turn: each path reports its
// failure, unwinds completely and leaves the device usable.
#include "allocation_walk.h"
#include "driver_fixture.h"

namespace drvtest {
namespace {

class FaultsTest : public DriverTest {
protected:
    // The allocation-failure walk over our driver's allocations.
    int Walk(const std::function<void()> &run, const std::function<void(bool)> &check,
             const std::function<void()> &prepare = nullptr) {
        return sim::test::WalkAllocations(driver_, run, check, prepare);
    }
};

TEST_F(FaultsTest, AddDeviceAndStartUnwindEveryAllocationFailure) {
    // A device creation that fails for want of memory moves on to the next
    // name, so AddDevice still succeeds; nothing of the failed attempt stays.
    sim::usb::PlugResult plugged;
    NTSTATUS added = STATUS_PENDING;
    Walk(
        [&] {
            added = sim::PnpReportChild(plugged.Pdo, driver_);
            sim::FaultClear();
        },
        [&](bool) {
            EXPECT_EQ(added, STATUS_SUCCESS);
            EXPECT_EQ(driver_->DeviceObject, plugged.Pdo->AttachedDevice);
            EXPECT_EQ(driver_->DeviceObject->NextDevice, nullptr);
            Camera camera;
            camera.Port = plugged.Port;
            camera.Pdo = plugged.Pdo;
            camera.Fdo = plugged.Pdo->AttachedDevice;
            cameras_.push_back(camera);
            EXPECT_EQ(sim::PnpStartDevice(camera.Pdo), STATUS_SUCCESS);
            Remove(camera);
            EXPECT_EQ(driver_->DeviceObject, nullptr);
            EXPECT_FALSE(sim::SymbolicLinkExists(LinkName(0).c_str()));
            EXPECT_FALSE(sim::SymbolicLinkExists(LinkName(1).c_str()));
        },
        [&] { plugged = sim::usb::PlugReferenceCamera(); });

    Camera camera = Plug("", false);
    ASSERT_NE(camera.Fdo, nullptr);
    NTSTATUS status = STATUS_PENDING;
    int startFailures = 0;
    // Every allocation of a start is needed: each one failed fails the start,
    // the copy of the interface record (the last one) included.
    Walk([&] { status = sim::PnpStartDevice(camera.Pdo); },
         [&](bool injected) {
             if (injected) {
                 startFailures++;
                 EXPECT_TRUE(status == STATUS_NO_MEMORY || status == STATUS_INSUFFICIENT_RESOURCES)
                     << std::hex << status;
                 EXPECT_FALSE(Opens());
                 // Whether the start got as far as keeping a table only the extension tells.
                 EXPECT_EQ(OurBlocks(), Ext(camera)->InterfaceInfo != nullptr ? 1 : 0);
             } else {
                 EXPECT_EQ(status, STATUS_SUCCESS);
             }
         });
    EXPECT_GE(startFailures, 5);  // at least the descriptor buffers and the copy
    EXPECT_TRUE(Opens());
    EXPECT_EQ(OurBlocks(), 1);
    Open();
}

TEST_F(FaultsTest, ControlCodesUnwindEveryAllocationFailure) {
    Camera camera = Plug();
    sim::ClientHandle handle = Open();

    struct Code {
        const char *Name;
        std::function<sim::IoResult()> Call;
        NTSTATUS Expected;                     // STATUS_PENDING: any status
        NTSTATUS FirstFault = STATUS_PENDING;  // when the first allocation fails, if not Expected
    };
    std::vector<uint8_t> buffer(2048, 0x11);
    VendorRequestRecord vendorOut = {0xA0, 0, 0x100, 0, 40, 0, 0};
    VendorRequestRecord vendorIn = {0xA0, 0, 0x100, 0, 40, 1, 0};
    ControlRequestRecord control = {1, 2, 0, 0, 0xA0, 0, 0x100, 0};
    FeatureRecord feature = {USB_FEATURE_REMOTE_WAKEUP, 0};
    StringDescriptorRequest string = {1, 0, 0x0409};
    MemoryAddressRecord address = {0x200};
    PipeIndexRecord pipe = {1};
    auto call = [&](ULONG code, const void *in, ULONG inLength, void *out, ULONG outLength) {
        return [=] { return sim::ClientDeviceIoControl(handle, code, in, inLength, out, outLength); };
    };
    std::vector<uint8_t> out(256);
    std::vector<Code> codes = {
        {"vendor out", call(IOCTL_USBCAM_VENDOR_REQUEST, &vendorOut, 10, nullptr, 0), STATUS_SUCCESS},
        {"vendor in", call(IOCTL_USBCAM_VENDOR_REQUEST, &vendorIn, 10, out.data(), 64), STATUS_SUCCESS},
        {"control", call(IOCTL_USBCAM_CONTROL_REQUEST, &control, 10, out.data(), 32), STATUS_PENDING},
        {"feature", call(IOCTL_USBCAM_SET_FEATURE, &feature, 4, nullptr, 0), STATUS_UNSUCCESSFUL},
        {"device descriptor", call(IOCTL_USBCAM_GET_DEVICE_DESCRIPTOR, nullptr, 0, out.data(), 18),
         STATUS_SUCCESS},
        {"config descriptor", call(IOCTL_USBCAM_GET_CONFIG_DESCRIPTOR, nullptr, 0, out.data(), 100),
         STATUS_SUCCESS},
        {"string", call(IOCTL_USBCAM_GET_STRING_DESCRIPTOR, &string, 4, out.data(), 64), STATUS_PENDING},
        {"frame", call(IOCTL_USBCAM_GET_FRAME_NUMBER, nullptr, 0, out.data(), 4), STATUS_PENDING},
        // The first allocation is the system mapping of the data buffer.
        {"load memory", call(IOCTL_USBCAM_LOAD_MEMORY, &address, 2, buffer.data(), 130), STATUS_SUCCESS,
         STATUS_INSUFFICIENT_RESOURCES},
        {"load blocks", call(IOCTL_USBCAM_LOAD_MEMORY_BLOCKS, buffer.data(), 1024, nullptr, 0),
         STATUS_SUCCESS},
        {"reset pipe", call(IOCTL_USBCAM_RESET_PIPE, &pipe, 4, nullptr, 0), STATUS_PENDING},
        {"abort pipe", call(IOCTL_USBCAM_ABORT_PIPE, &pipe, 4, nullptr, 0), STATUS_SUCCESS},
        {"reset port", call(IOCTL_USBCAM_RESET_PORT, nullptr, 0, nullptr, 0), STATUS_SUCCESS},
    };
    for (const Code &code : codes) {
        SCOPED_TRACE(code.Name);
        sim::IoResult result{};
        int pass = 0;
        const int passes = Walk([&] { result = code.Call(); },
                                [&](bool injected) {
                                    if (++pass == 1 && injected && code.FirstFault != STATUS_PENDING) {
                                        EXPECT_EQ(result.Status, code.FirstFault);
                                    } else if (code.Expected != STATUS_PENDING) {
                                        EXPECT_EQ(result.Status, code.Expected);
                                    }
                                    if (injected && code.Expected == STATUS_PENDING) {
                                        EXPECT_LT(result.Status, 0);
                                        EXPECT_EQ(result.Information, 0u);
                                    }
                                    // The gate's count: a leak shows otherwise only as a removal that never ends.
                                    EXPECT_EQ(Ext(camera)->IoCount, 1);
                                    EXPECT_EQ(OurBlocks(), 1);
                                });
        EXPECT_GT(passes, 1);  // the path allocates, and every allocation was failed once
    }
}

TEST_F(FaultsTest, SelectionStopAndRemovalUnwindEveryAllocationFailure) {
    Camera camera = Plug();
    sim::ClientHandle handle = Open();
    InterfaceSelection alt1 = {0, 1};
    Walk([&] { Ioctl(handle, IOCTL_USBCAM_SELECT_INTERFACE, &alt1, 2, nullptr, 0); },
         [&](bool injected) {
             PUSBD_INTERFACE_INFORMATION info = Ext(camera)->InterfaceInfo;
             // The old table, the new one, or (a failed copy) none; never a leak.
             EXPECT_EQ(OurBlocks(), info != nullptr ? 1 : 0);
             if (!injected) {
                 ASSERT_NE(info, nullptr);
                 EXPECT_EQ(info->AlternateSetting, 1);
             }
         });

    NTSTATUS status = STATUS_PENDING;
    Walk([&] { status = sim::PnpStopDevice(camera.Pdo); },
         [&](bool) {
             EXPECT_EQ(status, STATUS_SUCCESS);  // a failed unconfiguration is not reported
             ASSERT_EQ(sim::PnpStartDevice(camera.Pdo), STATUS_SUCCESS);
         });

    // Removal always runs to its end: failed pipe aborts are ignored, and the
    // device object, its names and its interface copy are gone.
    for (auto h : handles_) sim::ClientClose(h);
    handles_.clear();
    Remove(camera);
    Walk([&] { status = Remove(cameras_.back()); },
         [&](bool) {
             EXPECT_EQ(status, STATUS_SUCCESS);
             EXPECT_EQ(driver_->DeviceObject, nullptr);
             EXPECT_FALSE(sim::SymbolicLinkExists(LinkName(0).c_str()));
             EXPECT_EQ(OurBlocks(), 0);
         },
         [&] { Plug(); });
}

}  // namespace
}  // namespace drvtest
