// Interface selection replacing the pipe table while other requests read it.
#include <atomic>
#include <thread>

#include "driver_fixture.h"
#include "usb/interface_snapshot.h"

namespace drvtest {
namespace {

using RacesTest = DriverTest;

TEST_F(RacesTest, SelectionRacesReadersWithoutTearingOrFreeingTheirTable) {
    Camera camera = Plug();
    sim::ClientHandle handle = Open();
    std::atomic<bool> stop{false};
    std::atomic<int> torn{0};
    std::atomic<int> reads{0};

    std::vector<std::thread> threads;
    threads.emplace_back([&] {
        const uint8_t settings[] = {1, 2, 0};
        for (int i = 0; i < 60; i++) {
            InterfaceSelection selection = {0, settings[i % 3]};
            Ioctl(handle, IOCTL_USBCAM_SELECT_INTERFACE, &selection, sizeof(selection), nullptr, 0);
        }
        stop = true;
    });
    threads.emplace_back([&] {
        std::vector<uint8_t> out(512);
        while (!stop) {
            sim::IoResult r = Ioctl(handle, IOCTL_USBCAM_GET_INTERFACE_INFO, nullptr, 0,
                                    out.data(), (ULONG)out.size());
            const auto *info = (const USBD_INTERFACE_INFORMATION *)out.data();
            if (r.Status != STATUS_SUCCESS || r.Information != info->Length ||
                info->Length != 24 + 24 * info->NumberOfPipes ||
                (info->NumberOfPipes != 0 && info->NumberOfPipes != 4)) {
                torn++;
            }
            reads++;
        }
    });
    threads.emplace_back([&] {
        PipeIndexRecord pipe = {3};
        while (!stop) {
            sim::IoResult r = Ioctl(handle, IOCTL_USBCAM_ABORT_PIPE, &pipe, sizeof(pipe), nullptr, 0);
            // Pipe 3 exists in settings 0 and 1, not in setting 2.
            if (r.Status != STATUS_SUCCESS && r.Status != STATUS_INVALID_PARAMETER) torn++;
            Ioctl(handle, IOCTL_USBCAM_RESET_PIPE, &pipe, sizeof(pipe), nullptr, 0);
        }
    });
    for (auto &t : threads) t.join();
    EXPECT_EQ(torn.load(), 0);
    EXPECT_GT(reads.load(), 0);
    // One table alive at the end, the one of the last selection.
    int copies = 0;
    for (const auto &block : sim::PoolOutstanding()) copies += block.Tag == USBCAM_POOL_TAG;
    EXPECT_EQ(copies, 1);
    EXPECT_EQ(SelectedInterface(handle).AlternateSetting, 0);
}

// The same guarantee, made deterministic: a reader that holds the table across
// a replacement (as a transfer holds it across its waits) still reads the table
// it took, and the last holder frees it.
TEST_F(RacesTest, ATableHeldByAReaderOutlivesItsReplacement) {
    Camera camera = Plug();
    sim::ClientHandle handle = Open();
    auto countCopies = [] {
        int copies = 0;
        for (const auto &block : sim::PoolOutstanding()) copies += block.Tag == USBCAM_POOL_TAG;
        return copies;
    };

    PUSBD_INTERFACE_INFORMATION held = nullptr;
    AtPassive(driver_, [&] { held = AcquireInterfaceInfo(Ext(camera)); });
    ASSERT_NE(held, nullptr);
    std::vector<uint8_t> saved((uint8_t *)held, (uint8_t *)held + held->Length);

    for (uint8_t alternate : {1, 2, 0}) {
        InterfaceSelection selection = {0, alternate};
        Ioctl(handle, IOCTL_USBCAM_SELECT_INTERFACE, &selection, sizeof(selection), nullptr, 0);
    }
    // The current table is a new one: the last selection's own pipe handles.
    const Interface current = SelectedInterface(handle);
    ASSERT_FALSE(current.Pipes.empty());
    EXPECT_NE(current.Pipes[0].PipeHandle, ((USBD_INTERFACE_INFORMATION *)saved.data())->Pipes[0].PipeHandle);
    EXPECT_EQ(countCopies(), 2);  // the current table and the held one
    EXPECT_EQ(memcmp(held, saved.data(), saved.size()), 0);

    AtPassive(driver_, [&] { ReleaseInterfaceInfo(held); });
    EXPECT_EQ(countCopies(), 1);
}

}  // namespace
}  // namespace drvtest
