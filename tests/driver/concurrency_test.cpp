// Client threads racing Plug and Play: removal against requests in flight,
// stop and start against interface selection, and the device-wide values that
// any client may write while others read them. Each case checks outcomes that
// hold under every interleaving; built with ThreadSanitizer (make tsan) the same
// cases also check that every shared value is accessed as the driver intends.
#include <atomic>
#include <set>
#include <thread>

#include "driver_fixture.h"

namespace drvtest {
namespace {

using ConcurrencyTest = DriverTest;

// Requests per client thread before the main thread acts, and after.
constexpr int kWarmUpRequests = 20;
constexpr int kRefusalsToSee = 5;
constexpr int kClientThreads = 3;

// One client's request mix: a device-wide write, a pipe-table read, a control
// transfer that may fail at the USB level, the last USB status, the stream
// stop flag and the version.
NTSTATUS OneRequest(DriverTest *test, sim::ClientHandle handle, int thread, int i,
                    USBD_STATUS *lastStatus) {
    auto ioctl = [&](ULONG code, const void *in, ULONG inLength, void *out, ULONG outLength) {
        return sim::ClientDeviceIoControl(handle, code, in, inLength, out, outLength);
    };
    (void)test;
    switch ((thread + i) % 6) {
        case 0: {
            TimeoutRecord record = {1, (int32_t)(1000 + thread)};
            return ioctl(IOCTL_USBCAM_SET_TIMEOUT, &record, sizeof(record), nullptr, 0).Status;
        }
        case 1: {
            uint8_t out[256];
            return ioctl(IOCTL_USBCAM_GET_INTERFACE_INFO, nullptr, 0, out, sizeof(out)).Status;
        }
        case 2: {
            VendorRequestRecord record = {0xA0, 0, 0x2000, 0, 4, 1, 0};
            uint8_t buffer[16] = {};
            memcpy(buffer, &record, sizeof(record));
            return ioctl(IOCTL_USBCAM_VENDOR_REQUEST, buffer, sizeof(record), buffer, 4).Status;
        }
        case 3: {
            USBD_STATUS last = 0;
            sim::IoResult r = ioctl(IOCTL_USBCAM_GET_LAST_STATUS, nullptr, 0, &last, sizeof(last));
            if (r.Status == STATUS_SUCCESS) *lastStatus = last;
            return r.Status;
        }
        case 4: return ioctl(IOCTL_USBCAM_STOP_STREAM, nullptr, 0, nullptr, 0).Status;
        default: {
            VersionRecord version = {};
            return ioctl(IOCTL_USBCAM_GET_VERSION, nullptr, 0, &version, sizeof(version)).Status;
        }
    }
}

// Removal while clients keep sending: every request is either served or
// refused with STATUS_DELETE_PENDING, none after the removal has returned is
// served, the last USB status is only ever a value the bus produced, and the
// device leaves nothing behind (the fixture's verifier check).
TEST_F(ConcurrencyTest, RemovalRacingClientsAdmitsOrRefusesEachRequestWhole) {
    Camera camera = Plug();
    sim::ClientHandle handle = Open();
    // Control transfers take a few frames and some fail, so requests are in
    // flight (and LastUsbdStatus changes) while removal begins.
    sim::usb::SetLatency(camera.Port, 0, 2000);
    sim::usb::FailNext(camera.Port, 0, 1000, USBD_STATUS_STALL_PID);

    std::atomic<int> warmedUp{0};
    std::atomic<bool> removed{false};
    std::atomic<int> unexpected{0};
    std::atomic<int> servedAfterRemoval{0};
    std::atomic<int> badLastStatus{0};
    std::vector<std::thread> clients;
    for (int t = 0; t < kClientThreads; t++) {
        clients.emplace_back([&, t] {
            int refusals = 0;
            for (int i = 0; refusals < kRefusalsToSee; i++) {
                const bool removalDone = removed.load();
                USBD_STATUS last = 0;
                NTSTATUS status = OneRequest(this, handle, t, i, &last);
                if (status == STATUS_DELETE_PENDING) {
                    refusals++;
                } else if (removalDone) {
                    servedAfterRemoval++;
                } else if (status != STATUS_SUCCESS && status != STATUS_UNSUCCESSFUL) {
                    unexpected++;
                }
                if (last != 0 && last != USBD_STATUS_STALL_PID) badLastStatus++;
                if (i == kWarmUpRequests) warmedUp++;
            }
        });
    }
    while (warmedUp.load() < kClientThreads) std::this_thread::yield();
    EXPECT_EQ(Remove(camera), STATUS_SUCCESS);
    removed = true;
    for (auto &t : clients) t.join();

    EXPECT_EQ(unexpected.load(), 0);
    EXPECT_EQ(servedAfterRemoval.load(), 0);
    EXPECT_EQ(badLastStatus.load(), 0);
}

// The camera pulled out while clients send: the surprise removal comes at
// once and requests keep arriving on the open handle (those that reach the
// camera find it gone); the removal waits for the handle to be closed, and
// then nothing is left (the fixture's verifier check).
TEST_F(ConcurrencyTest, UnplugRacingClientsEndsEveryRequest) {
    Camera camera = Plug();
    sim::ClientHandle handle = Open();
    sim::usb::SetLatency(camera.Port, 0, 1000);

    std::atomic<int> warmedUp{0};
    std::atomic<bool> unplugged{false};
    std::vector<std::thread> clients;
    for (int t = 0; t < kClientThreads; t++) {
        clients.emplace_back([&, t] {
            int afterUnplug = 0;
            for (int i = 0; afterUnplug < kWarmUpRequests; i++) {
                const bool gone = unplugged.load();
                USBD_STATUS last = 0;
                OneRequest(this, handle, t, i, &last);
                if (gone) afterUnplug++;
                if (i == kWarmUpRequests) warmedUp++;
            }
        });
    }
    while (warmedUp.load() < kClientThreads) std::this_thread::yield();
    EXPECT_EQ(sim::usb::SurpriseRemove(camera.Port), STATUS_PENDING);  // a handle is open
    EXPECT_NE(driver_->DeviceObject, nullptr);
    unplugged = true;
    for (auto &t : clients) t.join();
    USBD_STATUS last = 0;
    EXPECT_EQ(sim::ClientDeviceIoControl(handle, IOCTL_USBCAM_GET_LAST_STATUS, nullptr, 0, &last,
                                         sizeof(last))
                  .Status,
              STATUS_SUCCESS);
    EXPECT_EQ(last, USBD_STATUS_DEVICE_GONE);

    // Closing the last handle lets the removal through.
    EXPECT_EQ(sim::ClientClose(handle), STATUS_SUCCESS);
    handles_.clear();
    for (auto &known : cameras_) known.Removed = true;
    EXPECT_EQ(driver_->DeviceObject, nullptr);
    EXPECT_EQ(sim::usb::PortPdo(camera.Port), nullptr);
}

// Stop and start cycles while a client that opened the device keeps selecting
// interfaces and reading the table: a selection made while the camera is
// unconfigured fails, and after the last start the device serves selections
// again with the configuration that start selected.
TEST_F(ConcurrencyTest, StopAndStartRacingSelectionLeaveAWorkingConfiguration) {
    Camera camera = Plug();
    sim::ClientHandle handle = Open();

    std::atomic<bool> stop{false};
    std::atomic<int> torn{0};
    std::thread client([&] {
        uint8_t out[256];
        for (int i = 0; !stop; i++) {
            InterfaceSelection selection = {0, (uint8_t)(i % 2)};
            sim::ClientDeviceIoControl(handle, IOCTL_USBCAM_SELECT_INTERFACE, &selection,
                                       sizeof(selection), nullptr, 0);
            sim::IoResult r = sim::ClientDeviceIoControl(handle, IOCTL_USBCAM_GET_INTERFACE_INFO,
                                                         nullptr, 0, out, sizeof(out));
            const auto *info = (const USBD_INTERFACE_INFORMATION *)out;
            if (r.Status == STATUS_SUCCESS && r.Information != 0 &&
                r.Information != info->Length) {
                torn++;
            }
        }
    });
    for (int cycle = 0; cycle < 5; cycle++) {
        EXPECT_EQ(sim::PnpStopDevice(camera.Pdo), STATUS_SUCCESS);
        EXPECT_EQ(sim::PnpStartDevice(camera.Pdo), STATUS_SUCCESS);
    }
    stop = true;
    client.join();
    EXPECT_EQ(torn.load(), 0);

    InterfaceSelection selection = {0, 1};
    EXPECT_EQ(Ioctl(handle, IOCTL_USBCAM_SELECT_INTERFACE, &selection, sizeof(selection), nullptr, 0)
                  .Status,
              STATUS_SUCCESS);
    EXPECT_EQ(SelectedInterface(handle).AlternateSetting, 1);
}

// Opens racing the start request: an open either fails (not started yet) or
// succeeds, and a handle that succeeded finds the device configured.
TEST_F(ConcurrencyTest, OpensRacingStartSeeAConfiguredDeviceOnceAdmitted) {
    Camera camera = Plug("", /*start=*/false);
    std::atomic<bool> started{false};
    std::atomic<int> unconfigured{0};
    std::thread opener([&] {
        for (;;) {
            const bool last = started.load();
            sim::ClientHandle h = 0;
            if (sim::ClientOpen(Win32Name(0).c_str(), &h) == STATUS_SUCCESS) {
                uint8_t out[256];
                sim::IoResult r = sim::ClientDeviceIoControl(h, IOCTL_USBCAM_GET_INTERFACE_INFO,
                                                             nullptr, 0, out, sizeof(out));
                if (r.Status != STATUS_SUCCESS || r.Information == 0) unconfigured++;
                InterfaceSelection selection = {0, 0};
                r = sim::ClientDeviceIoControl(h, IOCTL_USBCAM_SELECT_INTERFACE, &selection,
                                               sizeof(selection), nullptr, 0);
                if (r.Status != STATUS_SUCCESS) unconfigured++;
                sim::ClientClose(h);
                break;
            }
            if (last) {
                unconfigured++;  // refused after the start had returned
                break;
            }
        }
    });
    EXPECT_EQ(sim::PnpStartDevice(camera.Pdo), STATUS_SUCCESS);
    started = true;
    opener.join();
    EXPECT_EQ(unconfigured.load(), 0);
}

// Two cameras reported and started at once: their device objects are created
// without a lock of the driver's, yet they get two different names and both
// serve requests.
TEST_F(ConcurrencyTest, CamerasAddedAtOnceGetDistinctNames) {
    Camera cameras[2];
    for (Camera &camera : cameras) {
        sim::usb::PlugResult plugged = sim::usb::PlugReferenceCamera();
        ASSERT_EQ(plugged.Status, STATUS_SUCCESS) << plugged.Error;
        camera.Port = plugged.Port;
        camera.Pdo = plugged.Pdo;
    }
    NTSTATUS added[2] = {STATUS_PENDING, STATUS_PENDING};
    NTSTATUS started[2] = {STATUS_PENDING, STATUS_PENDING};
    std::vector<std::thread> managers;
    for (int i = 0; i < 2; i++) {
        managers.emplace_back([&, i] {
            added[i] = sim::PnpReportChild(cameras[i].Pdo, driver_);
            if (added[i] == STATUS_SUCCESS) started[i] = sim::PnpStartDevice(cameras[i].Pdo);
        });
    }
    for (auto &t : managers) t.join();
    for (int i = 0; i < 2; i++) {
        ASSERT_EQ(added[i], STATUS_SUCCESS);
        cameras[i].Fdo = cameras[i].Pdo->AttachedDevice;
        cameras_.push_back(cameras[i]);
        EXPECT_EQ(started[i], STATUS_SUCCESS);
    }
    std::set<std::u16string> links;
    for (const Camera &camera : cameras) links.insert(Ext(camera)->LinkName);
    EXPECT_EQ(links.size(), 2u);
    for (int index = 0; index < 2; index++) {
        sim::ClientHandle handle = Open(index);
        VersionRecord version = {};
        EXPECT_EQ(Ioctl(handle, IOCTL_USBCAM_GET_VERSION, nullptr, 0, &version, sizeof(version)).Status,
                  STATUS_SUCCESS);
    }
}

}  // namespace
}  // namespace drvtest
