// Object name space and client handles.
#include <gtest/gtest.h>

#include "support/kernel_test.h"
#include "test_driver.h"

namespace {

class NameSpaceTest : public sim::test::KernelTest {};

TEST_F(NameSpaceTest, DeviceAndLinkNamesCollideCaseInsensitively) {
    PDRIVER_OBJECT d = kt::LoadTestDriver("names");
    PDEVICE_OBJECT dev = kt::CreateDevice(d, "\\Device\\Cam-0");
    ASSERT_NE(nullptr, dev);
    EXPECT_TRUE(sim::DeviceNameExists("\\device\\cam-0"));

    PDEVICE_OBJECT other = reinterpret_cast<PDEVICE_OBJECT>(1);
    kt::WideName same("\\DEVICE\\CAM-0");
    EXPECT_EQ(STATUS_OBJECT_NAME_COLLISION,
              IoCreateDevice(d, 0, &same.Unicode, FILE_DEVICE_UNKNOWN, 0, FALSE, &other));
    EXPECT_EQ(nullptr, other);

    kt::WideName link("\\DosDevices\\Cam-0");
    kt::WideName target("\\Device\\Cam-0");
    EXPECT_EQ(STATUS_SUCCESS, IoCreateSymbolicLink(&link.Unicode, &target.Unicode));
    // "\??\" is the same directory as "\DosDevices\".
    kt::WideName alias("\\??\\cam-0");
    EXPECT_EQ(STATUS_OBJECT_NAME_COLLISION, IoCreateSymbolicLink(&alias.Unicode, &target.Unicode));
    EXPECT_TRUE(sim::SymbolicLinkExists("\\??\\CAM-0"));
    EXPECT_EQ(dev, sim::FindDevice("\\DosDevices\\Cam-0"));

    EXPECT_EQ(STATUS_SUCCESS, IoDeleteSymbolicLink(&alias.Unicode));
    EXPECT_EQ(STATUS_OBJECT_NAME_NOT_FOUND, IoDeleteSymbolicLink(&link.Unicode));
    kt::DeleteDevice(dev);
    EXPECT_FALSE(sim::DeviceNameExists("\\Device\\Cam-0"));
    // The name is free again.
    PDEVICE_OBJECT again = kt::CreateDevice(d, "\\Device\\Cam-0");
    kt::DeleteDevice(again);
    sim::UnloadDriver(d);
}

TEST_F(NameSpaceTest, ClientOpensByLinkAndHandleOutlivesDeletion) {
    PDRIVER_OBJECT d = kt::LoadTestDriver("open");
    PDEVICE_OBJECT dev = kt::CreateDevice(d, "\\Device\\Cam-1");
    kt::WideName link("\\DosDevices\\Cam-1");
    kt::WideName target("\\Device\\Cam-1");
    ASSERT_EQ(STATUS_SUCCESS, IoCreateSymbolicLink(&link.Unicode, &target.Unicode));

    int creates = 0, cleanups = 0, closes = 0, controls = 0;
    KPROCESSOR_MODE mode = KernelMode;
    PFILE_OBJECT createFile = nullptr, controlFile = nullptr;
    kt::SetHandler(dev, [&](PDEVICE_OBJECT, PIRP irp) {
        PIO_STACK_LOCATION s = IoGetCurrentIrpStackLocation(irp);
        mode = irp->RequestorMode;
        EXPECT_EQ(PASSIVE_LEVEL, KeGetCurrentIrql());
        if (s->MajorFunction == IRP_MJ_CREATE) ++creates, createFile = s->FileObject;
        if (s->MajorFunction == IRP_MJ_CLEANUP) {
            EXPECT_EQ(0, closes);
            ++cleanups;
        }
        if (s->MajorFunction == IRP_MJ_CLOSE) ++closes;
        if (s->MajorFunction == IRP_MJ_DEVICE_CONTROL) ++controls, controlFile = s->FileObject;
        return kt::CompleteWith(irp, STATUS_SUCCESS);
    });

    sim::ClientHandle h = 0;
    EXPECT_EQ(STATUS_OBJECT_NAME_NOT_FOUND, sim::ClientOpen("\\\\.\\Cam-9", &h));
    ASSERT_EQ(STATUS_SUCCESS, sim::ClientOpen("\\\\.\\cam-1", &h));
    EXPECT_EQ(1, creates);
    EXPECT_EQ(UserMode, mode);

    // Delete link and device while the handle is open: new opens fail, the
    // handle's requests still reach the driver.
    EXPECT_EQ(STATUS_SUCCESS, IoDeleteSymbolicLink(&link.Unicode));
    IoDeleteDevice(dev);
    sim::ClientHandle h2 = 0;
    EXPECT_EQ(STATUS_OBJECT_NAME_NOT_FOUND, sim::ClientOpen("\\\\.\\Cam-1", &h2));
    sim::IoResult r = sim::ClientDeviceIoControl(h, CTL_CODE(0x22, 0x800, METHOD_BUFFERED, 0),
                                                 nullptr, 0, nullptr, 0);
    EXPECT_EQ(STATUS_SUCCESS, r.Status);
    EXPECT_EQ(1, controls);
    EXPECT_EQ(createFile, controlFile);
    EXPECT_EQ(STATUS_SUCCESS, sim::ClientClose(h));
    EXPECT_EQ(1, cleanups);
    EXPECT_EQ(1, closes);
    EXPECT_EQ(STATUS_INVALID_HANDLE, sim::ClientClose(h));

    // A stray link leads nowhere.
    ASSERT_EQ(STATUS_SUCCESS, sim::CreateStrayLink("\\DosDevices\\Cam-2", "\\Device\\Nothing"));
    EXPECT_EQ(STATUS_OBJECT_NAME_NOT_FOUND, sim::ClientOpen("\\\\.\\Cam-2", &h2));
    sim::UnloadDriver(d);
}

// An open references the device object its name lookup found: a driver that
// deletes the device object while the create request is in its dispatch
// routine still has the object (and the events in its extension) until the
// open is over; a device object still initializing is refused before any
// create request.
TEST_F(NameSpaceTest, OpenHoldsTheDeviceObjectItFoundAndRefusesAnInitializingOne) {
    PDRIVER_OBJECT d = kt::LoadTestDriver("lookup");
    PDEVICE_OBJECT dev = kt::CreateDevice(d, "\\Device\\Cam-3", nullptr, sizeof(KEVENT));
    PKEVENT event = static_cast<PKEVENT>(dev->DeviceExtension);
    KeInitializeEvent(event, NotificationEvent, FALSE);
    int creates = 0;
    kt::SetHandler(dev, [&](PDEVICE_OBJECT self, PIRP irp) {
        if (IoGetCurrentIrpStackLocation(irp)->MajorFunction != IRP_MJ_CREATE) {
            return kt::CompleteWith(irp, STATUS_SUCCESS);
        }
        ++creates;
        IoDeleteDevice(self);
        KeSetEvent(event, IO_NO_INCREMENT, FALSE);  // the memory is still the device's
        return kt::CompleteWith(irp, STATUS_DELETE_PENDING);
    });
    sim::ClientHandle h = 0;
    EXPECT_EQ(STATUS_DELETE_PENDING, sim::ClientOpen("\\Device\\Cam-3", &h));
    EXPECT_EQ(1, creates);
    EXPECT_EQ(STATUS_OBJECT_NAME_NOT_FOUND, sim::ClientOpen("\\Device\\Cam-3", &h));
    // The failed open let the object go: now any use of it is a report.
    ExpectViolation("DEVICE_OBJECT_DELETED_USED");
    KeSetEvent(event, IO_NO_INCREMENT, FALSE);

    PDEVICE_OBJECT young = nullptr;
    kt::WideName name("\\Device\\Cam-4");
    ASSERT_EQ(STATUS_SUCCESS,
              IoCreateDevice(d, 0, &name.Unicode, FILE_DEVICE_UNKNOWN, 0, FALSE, &young));
    bool reached = false;
    kt::SetHandler(young, [&](PDEVICE_OBJECT, PIRP irp) {
        reached = true;
        return kt::CompleteWith(irp, STATUS_SUCCESS);
    });
    EXPECT_EQ(STATUS_NO_SUCH_DEVICE, sim::ClientOpen("\\Device\\Cam-4", &h));
    EXPECT_FALSE(reached);
    young->Flags &= ~DO_DEVICE_INITIALIZING;
    ASSERT_EQ(STATUS_SUCCESS, sim::ClientOpen("\\Device\\Cam-4", &h));
    EXPECT_TRUE(reached);
    EXPECT_EQ(STATUS_SUCCESS, sim::ClientClose(h));
    kt::DeleteDevice(young);
    sim::UnloadDriver(d);
}

TEST_F(NameSpaceTest, UninstalledMajorFunctionIsInvalidDeviceRequest) {
    NTSTATUS st;
    PDRIVER_OBJECT d = sim::LoadDriver(
        "bare", [](PDRIVER_OBJECT, PUNICODE_STRING) -> NTSTATUS { return STATUS_SUCCESS; }, &st);
    ASSERT_NE(nullptr, d);
    PDEVICE_OBJECT dev = kt::CreateDevice(d, "\\Device\\Bare");
    kt::WideName link("\\DosDevices\\Bare");
    kt::WideName target("\\Device\\Bare");
    ASSERT_EQ(STATUS_SUCCESS, IoCreateSymbolicLink(&link.Unicode, &target.Unicode));
    sim::ClientHandle h;
    EXPECT_EQ(STATUS_INVALID_DEVICE_REQUEST, sim::ClientOpen("\\\\.\\Bare", &h));
    IoDeleteSymbolicLink(&link.Unicode);
    IoDeleteDevice(dev);
    sim::UnloadDriver(d);
}

TEST_F(NameSpaceTest, FailingDriverEntryLoadsNothingAndMustUndoItsWork) {
    NTSTATUS st = STATUS_SUCCESS;
    PDRIVER_OBJECT d = sim::LoadDriver(
        "broken", [](PDRIVER_OBJECT, PUNICODE_STRING) -> NTSTATUS { return STATUS_NO_MEMORY; },
        &st);
    EXPECT_EQ(nullptr, d);
    EXPECT_EQ(STATUS_NO_MEMORY, st);

    // An entry that fails after creating a device object leaves it behind.
    d = sim::LoadDriver(
        "sloppy",
        [](PDRIVER_OBJECT driver, PUNICODE_STRING) -> NTSTATUS {
            PDEVICE_OBJECT dev;
            IoCreateDevice(driver, 0, nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &dev);
            return STATUS_UNSUCCESSFUL;
        },
        &st);
    EXPECT_EQ(nullptr, d);
    EXPECT_EQ(1u, TakeViolations("DEVICE_NOT_DELETED"));
    ExpectViolation("DEVICE_NOT_DELETED");
}

}  // namespace
