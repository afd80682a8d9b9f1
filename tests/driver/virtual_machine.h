// A camera, the driver and an open handle on a kernel of its own, with bus
// time on the wall clock or virtual (sim::SetVirtualTime): the setting of the
// tests that measure the driver's time bounds in bus time, to the frame.
#pragma once

#include <gtest/gtest.h>

#include <atomic>
#include <functional>
#include <memory>
#include <thread>

#include "usbcam/usbcam_ioctl.h"
#include "driver/driver.h"
#include "driver_fixture.h"
#include "sim/kernel.h"
#include "sim/usbbus.h"

namespace drvtest {

class VirtualMachine {
public:
    explicit VirtualMachine(bool virtualTime) {
        sim::KernelBoot();
        if (virtualTime) {
            sim::SetVirtualTime(true);
            part_.reset(new sim::TimeParticipant);
        }
        EXPECT_EQ(sim::usb::BusStart(), STATUS_SUCCESS);
        NTSTATUS status = STATUS_UNSUCCESSFUL;
        driver_ = sim::LoadDriver("tavrinoscope", DriverEntry, &status);
        EXPECT_EQ(status, STATUS_SUCCESS);
        sim::usb::PlugResult plugged = sim::usb::PlugReferenceCamera();
        EXPECT_EQ(plugged.Status, STATUS_SUCCESS);
        port_ = plugged.Port;
        pdo_ = plugged.Pdo;
        EXPECT_EQ(sim::PnpReportChild(pdo_, driver_), STATUS_SUCCESS);
        EXPECT_EQ(sim::PnpStartDevice(pdo_), STATUS_SUCCESS);
        EXPECT_EQ(sim::ClientOpen(Win32Name(0).c_str(), &handle_), STATUS_SUCCESS);
    }

    ~VirtualMachine() {
        if (handle_ != 0) sim::ClientClose(handle_);
        if (!removed_) EXPECT_EQ(sim::PnpRemoveDevice(pdo_), STATUS_SUCCESS);
        sim::usb::BusStop();
        sim::UnloadDriver(driver_);
        part_.reset();
        for (const auto &v : sim::VerifierTakeViolations())
            ADD_FAILURE() << v.Rule << " at " << v.Site << ": " << v.Detail;
        sim::KernelShutdown();
        sim::VerifierTakeViolations();
    }

    sim::IoResult Call(ULONG code, const void *in, ULONG inLength, void *out, ULONG outLength) {
        return sim::ClientDeviceIoControl(handle_, code, in, inLength, out, outLength);
    }
    NTSTATUS SetTimeout(LONG milliseconds) {
        TimeoutRecord record = {1, milliseconds};
        return Call(IOCTL_USBCAM_SET_TIMEOUT, &record, sizeof(record), nullptr, 0).Status;
    }
    USBD_STATUS LastStatus() {
        ULONG last = 0;
        EXPECT_EQ(Call(IOCTL_USBCAM_GET_LAST_STATUS, nullptr, 0, &last, sizeof(last)).Status,
                  STATUS_SUCCESS);
        return (USBD_STATUS)last;
    }
    // Removes the camera with the handle still open (the removal waits for
    // the requests in flight, not for the handle).
    NTSTATUS Remove() {
        removed_ = true;
        return sim::PnpRemoveDevice(pdo_);
    }
    int Port() const { return port_; }

    // Runs fn on a thread of its own that takes part in virtual time, as a
    // second client thread does; returns once the thread takes part, so that
    // time cannot run ahead of it.
    static std::thread Client(std::function<void()> fn) {
        std::atomic<bool> taking{false};
        std::thread thread([fn, &taking] {
            sim::TimeParticipant part;
            taking = true;
            fn();
        });
        while (!taking) std::this_thread::yield();
        return thread;
    }
    // Joins a Client thread, letting time move meanwhile (a join is no
    // kernel wait).
    static void Join(std::thread &thread) {
        sim::TimeWaitScope waiting;
        thread.join();
    }

private:
    std::unique_ptr<sim::TimeParticipant> part_;
    PDRIVER_OBJECT driver_ = nullptr;
    PDEVICE_OBJECT pdo_ = nullptr;
    int port_ = 0;
    sim::ClientHandle handle_ = 0;
    bool removed_ = false;
};

}  // namespace drvtest
