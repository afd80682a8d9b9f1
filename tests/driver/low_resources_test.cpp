// Low resources, systematically: for each scenario (start, restart, interface
// selection, every control code, each transfer kind, stream start, removal)
// every allocation and MDL mapping the scenario makes is failed in turn (the
// n-th for every n), then every distinct call site (all its allocations at
// once), then a seeded random share of them. After each pass the scenario's
// status is success or one of its documented failures, our pool is back to
// what it was, no request is left counted in the I/O gate, the verifier has
// nothing to say (fixture teardown) and the device still serves requests.
//
// USBCAM_LOW_RESOURCES_SEED picks the random mode's seed (printed, so a run
// replays); USBCAM_LOW_RESOURCES_ROUNDS its rounds per scenario (default 20).
#include <chrono>
#include <iostream>
#include <random>
#include <thread>

#include "allocation_walk.h"
#include "iso_support.h"

namespace drvtest {
namespace {

uint64_t EnvNumber(const char *name, uint64_t fallback) {
    const char *text = getenv(name);
    return text != nullptr && *text != 0 ? strtoull(text, nullptr, 0) : fallback;
}

struct Scenario {
    const char *Name;
    std::function<void()> Prepare;   // unarmed: may allocate freely
    std::function<NTSTATUS()> Run;   // armed
    std::function<void()> Cleanup;   // unarmed
    std::vector<NTSTATUS> Failures;  // besides the two shortage statuses
    NTSTATUS Unfaulted = STATUS_SUCCESS;
};

class LowResourcesTest : public IsoCameraTest {
protected:
    struct Tally {
        int Points = 0;  // allocations failed one at a time
        int Sites = 0;   // distinct call sites failed
        int RandomFaults = 0;
    };

    void Check(const Scenario &s, const char *mode, uint64_t pass, NTSTATUS status) {
        SCOPED_TRACE(std::string(s.Name) + " " + mode + " " + std::to_string(pass));
        bool allowed = status == s.Unfaulted || status == STATUS_INSUFFICIENT_RESOURCES ||
                       status == STATUS_NO_MEMORY;
        for (NTSTATUS f : s.Failures) allowed = allowed || status == f;
        EXPECT_TRUE(allowed) << std::hex << status;
        EXPECT_NE(status, STATUS_PENDING);
        EXPECT_EQ(OurBlocks(), baselineBlocks_);
        // The gate's count: a leak shows otherwise only as a removal that never ends.
        // A stream's last slot leaves the gate right after it has freed its
        // pool (leaving is its last touch of the device), so once the pool is
        // back the count may still be on its way down for a moment.
        for (int i = 0; i < 5000 && ReadNoFence(&Ext(camera_)->IoCount) != 1; i++) {
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        EXPECT_EQ(ReadNoFence(&Ext(camera_)->IoCount), 1);
        // The next request is served.
        EXPECT_EQ(Call(IOCTL_USBCAM_NOP, nullptr, 0, nullptr, 0).Status, STATUS_SUCCESS);
        uint8_t info[512];
        EXPECT_EQ(Call(IOCTL_USBCAM_GET_INTERFACE_INFO, nullptr, 0, info, sizeof(info)).Status,
                  STATUS_SUCCESS);
    }

    NTSTATUS Once(const Scenario &s, const std::function<void()> &arm) {
        if (s.Prepare) s.Prepare();
        arm();
        NTSTATUS status = s.Run();
        sim::FaultClear();
        if (s.Cleanup) s.Cleanup();
        return status;
    }

    Tally Sweep(const Scenario &s, uint64_t seed, uint64_t rounds) {
        Tally tally;
        // The n-th allocation, for every n until a pass needs none.
        sim::test::AllocationWalk walk;
        walk.Driver = driver_;
        walk.Limit = 1000;
        NTSTATUS status = STATUS_PENDING;
        walk.Prepare = s.Prepare;
        walk.Run = [&] { status = s.Run(); };
        walk.Check = [&](bool injected) {
            sim::FaultClear();
            if (s.Cleanup) s.Cleanup();
            Check(s, "nth", (uint64_t)tally.Points + 1, status);
            if (injected) tally.Points++;
            else EXPECT_EQ(status, s.Unfaulted) << s.Name << ": the unfaulted pass";
        };
        sim::test::WalkAllocations(walk);
        // Each call site the unfaulted scenario reaches, all its allocations
        // failing at once.
        sim::TakeAllocationSites(driver_);
        Once(s, [] {});
        std::vector<std::string> sites = sim::TakeAllocationSites(driver_);
        for (size_t i = 0; i < sites.size(); i++) {
            NTSTATUS status = Once(s, [&] { sim::FaultFailSite(sites[i]); });
            Check(s, ("site " + sites[i]).c_str(), i, status);
            tally.Sites++;
        }
        // A few percent of every allocation, at random.
        for (uint64_t r = 0; r < rounds; r++) {
            const uint64_t before = sim::FaultInjectedCount();
            NTSTATUS status = Once(s, [&] { sim::FaultFailRandomly(50, seed + r, driver_); });
            tally.RandomFaults += (int)(sim::FaultInjectedCount() - before);
            Check(s, "random", seed + r, status);
        }
        return tally;
    }

    NTSTATUS Select(uint8_t alternate) {
        InterfaceSelection select = {0, alternate};
        return Call(IOCTL_USBCAM_SELECT_INTERFACE, &select, sizeof(select), nullptr, 0).Status;
    }
    std::function<NTSTATUS()> Code(ULONG code, const void *in, ULONG inLength, ULONG outLength) {
        return [=] {
            out_.assign(outLength, 0);
            return Call(code, in, inLength, out_.empty() ? nullptr : out_.data(), outLength).Status;
        };
    }

    std::vector<uint8_t> out_;
    std::vector<uint8_t> bulk_;
};

TEST_F(LowResourcesTest, EveryAllocationOfEveryScenarioFailedInTurn) {
    const uint64_t seed = EnvNumber("USBCAM_LOW_RESOURCES_SEED", 20261208);
    const uint64_t rounds = EnvNumber("USBCAM_LOW_RESOURCES_ROUNDS", 20);
    std::cout << "low resources: seed " << seed << ", " << rounds << " random rounds per scenario\n";

    VendorRequestRecord vendorOut = {0xA0, 0, 0x100, 0, 40, 0, 0};
    VendorRequestRecord vendorIn = {0xA0, 0, 0x100, 0, 40, 1, 0};
    ControlRequestRecord control = {1, 2, 0, 0, 0xA0, 0, 0x100, 0};
    FeatureRecord feature = {USB_FEATURE_REMOTE_WAKEUP, 0};
    StringDescriptorRequest string = {1, 0, 0x0409};
    MemoryAddressRecord address = {0x200};
    PipeIndexRecord pipe = {kBulkPipe};
    TimeoutRecord timeout = {1, 2000};
    IsoReadRecord isoIn = {kIsoInPipe, 256, 16, 8, 2};
    IsoReadRecord isoOut = {kIsoOutPipe, 256, 16, 8, 2};
    std::vector<uint8_t> blocks(1024, 0x11);
    std::vector<uint8_t> memory(130, 0x22);
    uint32_t bulkPipe = kBulkPipe;                    // 0x01, the command pipe: zero commands are ignored
    const NTSTATUS usbFailure = STATUS_UNSUCCESSFUL;  // a USB error the fault provoked

    auto alt1 = [&] { ASSERT_EQ(Select(1), STATUS_SUCCESS); };
    auto stopStream = [&] {
        StopStream();
        EXPECT_TRUE(WaitStreamGone());
    };
    std::vector<Scenario> scenarios = {
        {"restart",
         [&] { ASSERT_EQ(sim::PnpStopDevice(camera_.Pdo), STATUS_SUCCESS); },
         [&] { return sim::PnpStartDevice(camera_.Pdo); },
         [&] {
             if (!Ext(camera_)->Started) ASSERT_EQ(sim::PnpStartDevice(camera_.Pdo), STATUS_SUCCESS);
             alt1();
         },
         {}},
        {"select", nullptr, [&] { return Select(0); }, alt1, {}},
        {"vendor out", nullptr, Code(IOCTL_USBCAM_VENDOR_REQUEST, &vendorOut, 10, 0), nullptr, {}},
        {"vendor in", nullptr, Code(IOCTL_USBCAM_VENDOR_REQUEST, &vendorIn, 10, 64), nullptr, {}},
        {"control", nullptr, Code(IOCTL_USBCAM_CONTROL_REQUEST, &control, 10, 32), nullptr, {usbFailure}},
        // The reference camera refuses remote wake-up.
        {"feature", nullptr, Code(IOCTL_USBCAM_SET_FEATURE, &feature, 4, 0), nullptr, {}, usbFailure},
        {"device descriptor", nullptr, Code(IOCTL_USBCAM_GET_DEVICE_DESCRIPTOR, nullptr, 0, 18), nullptr, {}},
        {"config descriptor", nullptr, Code(IOCTL_USBCAM_GET_CONFIG_DESCRIPTOR, nullptr, 0, 100), nullptr, {}},
        {"string", nullptr, Code(IOCTL_USBCAM_GET_STRING_DESCRIPTOR, &string, 4, 64), nullptr, {usbFailure}},
        {"frame number", nullptr, Code(IOCTL_USBCAM_GET_FRAME_NUMBER, nullptr, 0, 4), nullptr, {usbFailure}},
        {"load memory", nullptr, [&] { return Call(IOCTL_USBCAM_LOAD_MEMORY, &address, 2, memory.data(), (ULONG)memory.size()).Status; }, nullptr, {}},
        {"load blocks", nullptr, Code(IOCTL_USBCAM_LOAD_MEMORY_BLOCKS, blocks.data(), 1024, 0), nullptr, {}},
        {"reset pipe", nullptr, Code(IOCTL_USBCAM_RESET_PIPE, &pipe, 4, 0), nullptr, {usbFailure}},
        {"abort pipe", nullptr, Code(IOCTL_USBCAM_ABORT_PIPE, &pipe, 4, 0), nullptr, {}},
        {"reset port", nullptr, Code(IOCTL_USBCAM_RESET_PORT, nullptr, 0, 0), nullptr, {}},
        {"timeout", nullptr, Code(IOCTL_USBCAM_SET_TIMEOUT, &timeout, 8, 0), nullptr, {}},
        {"last status", nullptr, Code(IOCTL_USBCAM_GET_LAST_STATUS, nullptr, 0, 4), nullptr, {}},
        {"version", nullptr, Code(IOCTL_USBCAM_GET_VERSION, nullptr, 0, 6), nullptr, {}},
        {"bulk write", nullptr, [&] { return Call(IOCTL_USBCAM_WRITE_PIPE, &bulkPipe, 4, bulk_.data(), 64).Status; }, nullptr, {usbFailure}},
        {"segmented bulk write", nullptr, [&] { return Call(IOCTL_USBCAM_WRITE_PIPE_LARGE, &bulkPipe, 4, bulk_.data(), 8192).Status; }, nullptr, {usbFailure}},
        {"iso read", nullptr, Code(IOCTL_USBCAM_ISO_READ, &isoIn, sizeof(isoIn), 16 * (256 + 12)), nullptr, {}},
        {"iso write", nullptr, Code(IOCTL_USBCAM_ISO_WRITE, &isoOut, sizeof(isoOut), 16 * (256 + 12)), nullptr, {}},
        {"stream start", nullptr, [&] { return StartStream(kIsoInPipe, 1024, 32, 8, 2).Status; }, stopStream, {}},
    };
    bulk_.assign(8192, 0);

    Tally total;
    for (const Scenario &s : scenarios) {
        Tally t = Sweep(s, seed, rounds);
        std::cout << "  " << s.Name << ": " << t.Points << " failure points, " << t.Sites << " call sites, "
                  << t.RandomFaults << " random faults\n";
        total.Points += t.Points;
        total.Sites += t.Sites;
        total.RandomFaults += t.RandomFaults;
    }
    std::cout << "low resources total: " << scenarios.size() << " scenarios, " << total.Points
              << " failure points, " << total.Sites << " call-site passes, " << total.RandomFaults
              << " random faults\n";
}

// Removal is its own scenario: a camera of its own is plugged for each pass
// (unarmed) and removed (armed); the removal always completes and leaves
// nothing of the driver's.
TEST_F(LowResourcesTest, RemovalRunsToItsEndUnderEveryAllocationFailure) {
    CloseHandle();
    const int baseline = OurBlocks();
    Camera extra;
    const int points = sim::test::WalkAllocations(
                           driver_, [&] { EXPECT_EQ(Remove(extra), STATUS_SUCCESS); },
                           [&](bool) { EXPECT_EQ(OurBlocks(), baseline); }, [&] { extra = Plug(); }) -
                       1;
    std::cout << "removal: " << points << " failure points\n";
}

}  // namespace
}  // namespace drvtest
