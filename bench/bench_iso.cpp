// Isochronous figures, side by side in one run:
//   RingAppendDrain / SpscQueueAppendDrain / MemcpySameBytes: one producer
//     thread appending chunks and one consumer thread draining them, through
//     the driver's byte ring and through Boost.Lockfree's spsc_queue on the
//     same pattern, against a memcpy of the same bytes on one thread; bytes
//     per second of wall time; and the ring appended and drained by one
//     thread, its own cost of two copies per byte without a second processor.
//     The two threads run on two processors of their own (the first two the
//     process may use), the same two for the ring and for spsc_queue.
//   RingAgainstSpscQueue: the same two runs paired, ring and spsc_queue one
//     after the other in every iteration (which goes first alternates), so
//     that both see the same machine; ring_over_spsc is the ring's rate over
//     spsc_queue's (above 1: the ring is ahead).
//   StreamPath: a continuous stream of 3072-byte packets through completion,
//     the rings and IOCTL_USBCAM_READ_STREAM, with a bus below that completes
//     every request at once (no clock, no camera) as long as the rings have
//     room for it, into a reader buffer of the client's own memory that each
//     read fills (256 packets): packets and bytes per second of the process's
//     CPU time (every thread), and that rate as a multiple of high-speed
//     USB's isochronous limit (3 x 1024 bytes per microframe, 24.576 MB/s);
//     lost_packets counts the gaps in the packets' sequence numbers (0: every
//     packet reached the reader).
#include <benchmark/benchmark.h>
#include <pthread.h>
#include <sched.h>
#include <string.h>

#include <boost/lockfree/spsc_queue.hpp>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <deque>
#include <mutex>
#include <thread>
#include <utility>
#include <vector>

#include "usbcam/usbcam_ioctl.h"
#include "driver/driver.h"
#include "sim/kernel.h"
#include "sim/usbbus.h"
#include "transfer/byte_ring.h"

namespace {

constexpr size_t kRingBytes = 1 << 20;
constexpr size_t kMovedBytes = 64 << 20;
constexpr double kUsbIsoLimitBytesPerSecond = 3.0 * 1024 * 8000;

// ---------------------------------------------------------------------------
// The machine: kernel, bus, driver and one started reference camera with its
// isochronous setting selected, booted on first use.

struct Machine {
    PDRIVER_OBJECT Driver = nullptr;
    int Port = 0;
    PDEVICE_OBJECT Pdo = nullptr;
    sim::ClientHandle Handle = 0;
};

// The kernel alone, for the rings: the bus clock and the camera model stay off
// while the rings are timed.
void BootKernelOnce() {
    static const bool booted = [] {
        sim::KernelBoot();
        return true;
    }();
    (void)booted;
}

Machine &TheMachine() {
    static Machine *machine = [] {
        Machine *m = new Machine;
        BootKernelOnce();
        sim::usb::BusStart();
        NTSTATUS status;
        m->Driver = sim::LoadDriver("tavrinoscope", DriverEntry, &status);
        sim::usb::PlugResult camera = sim::usb::PlugReferenceCamera();
        m->Port = camera.Port;
        m->Pdo = camera.Pdo;
        sim::PnpReportChild(camera.Pdo, m->Driver);
        sim::PnpStartDevice(camera.Pdo);
        sim::ClientOpen("\\\\.\\Tavrinoscope-0", &m->Handle);
        InterfaceSelection select = {0, 1};
        sim::ClientDeviceIoControl(m->Handle, IOCTL_USBCAM_SELECT_INTERFACE, &select, sizeof(select),
                                   nullptr, 0);
        return m;
    }();
    return *machine;
}

void ShutdownMachine() {
    Machine &m = TheMachine();
    sim::ClientClose(m.Handle);
    sim::PnpRemoveDevice(m.Pdo);
    sim::UnloadDriver(m.Driver);
    sim::usb::BusStop();
    auto violations = sim::VerifierTakeViolations();
    if (!violations.empty()) fprintf(stderr, "%zu verifier violations\n", violations.size());
    sim::KernelShutdown();
}

// ---------------------------------------------------------------------------
// Ring against spsc_queue against memcpy

// The two processors the producer and the consumer run on: the first two the
// process may use. Left to the scheduler, the two threads sometimes share a
// processor (and take turns through the ring's whole capacity), sometimes run
// apart, and the rates differ several times over between the two, so that two
// queues would be compared across placements rather than against each other.
struct Processors {
    bool Pinned = false;
    cpu_set_t Producer, Consumer;
};

Processors TwoProcessors() {
    Processors p;
    cpu_set_t allowed;
    CPU_ZERO(&p.Producer);
    CPU_ZERO(&p.Consumer);
    if (sched_getaffinity(0, sizeof(allowed), &allowed) != 0 || CPU_COUNT(&allowed) < 2) return p;
    int found = 0;
    for (int cpu = 0; cpu < CPU_SETSIZE && found < 2; cpu++) {
        if (!CPU_ISSET(cpu, &allowed)) continue;
        CPU_SET(cpu, found == 0 ? &p.Producer : &p.Consumer);
        found++;
    }
    p.Pinned = true;
    return p;
}

// Runs the calling thread on its side's processor until the scope ends, then
// where it ran before.
class PinnedScope {
public:
    explicit PinnedScope(const Processors &where, bool consumer) {
        if (!where.Pinned) return;
        pinned_ = pthread_getaffinity_np(pthread_self(), sizeof(before_), &before_) == 0 &&
                  pthread_setaffinity_np(pthread_self(), sizeof(cpu_set_t),
                                         consumer ? &where.Consumer : &where.Producer) == 0;
    }
    ~PinnedScope() {
        if (pinned_) pthread_setaffinity_np(pthread_self(), sizeof(before_), &before_);
    }
    PinnedScope(const PinnedScope &) = delete;
    PinnedScope &operator=(const PinnedScope &) = delete;

private:
    bool pinned_ = false;
    cpu_set_t before_;
};

// Moves kMovedBytes from a producer thread to the calling thread in chunks;
// returns the wall time it took in seconds.
template <typename Write, typename Read>
double AppendAndDrain(const Processors &where, size_t chunk, Write write, Read read) {
    PinnedScope consumerSide(where, true);
    const auto started = std::chrono::steady_clock::now();
    std::thread producer([&] {
        PinnedScope producerSide(where, false);
        std::vector<uint8_t> source(chunk, 0x5A);
        for (size_t sent = 0; sent < kMovedBytes; sent += chunk) {
            while (!write(source.data(), chunk)) std::this_thread::yield();
        }
    });
    std::vector<uint8_t> sink(chunk);
    for (size_t received = 0; received < kMovedBytes;) {
        const size_t n = read(sink.data(), chunk);
        if (n == 0) std::this_thread::yield();
        received += n;
    }
    producer.join();
    benchmark::DoNotOptimize(sink.data());
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
}

double RingRun(const Processors &where, ByteRing *ring, size_t chunk) {
    return AppendAndDrain(
        where, chunk, [&](const uint8_t *p, size_t n) { return RingWrite(ring, p, (ULONG)n) == n; },
        [&](uint8_t *p, size_t n) { return (size_t)RingRead(ring, p, (ULONG)n); });
}

double SpscQueueRun(const Processors &where, boost::lockfree::spsc_queue<uint8_t> &queue, size_t chunk) {
    return AppendAndDrain(
        where, chunk,
        [&](const uint8_t *p, size_t n) {
            // All of the chunk, as the ring appends it, in as many pushes as it takes.
            for (size_t done = 0; done < n;) {
                const size_t pushed = queue.push(p + done, n - done);
                if (pushed == 0) std::this_thread::yield();
                done += pushed;
            }
            return true;
        },
        [&](uint8_t *p, size_t n) { return queue.pop(p, n); });
}

void RingAppendDrain(benchmark::State &state) {
    BootKernelOnce();
    const size_t chunk = (size_t)state.range(0);
    const Processors where = TwoProcessors();
    ByteRing *ring = RingCreate(kRingBytes);
    for (auto _ : state) RingRun(where, ring, chunk);
    RingDestroy(ring);
    state.SetBytesProcessed((int64_t)(state.iterations() * kMovedBytes));
    state.counters["pinned"] = where.Pinned;
}

// The ring's own cost without a second processor: each chunk appended and
// drained by one thread (two copies per byte).
void RingAppendDrainOneThread(benchmark::State &state) {
    BootKernelOnce();
    const size_t chunk = (size_t)state.range(0);
    ByteRing *ring = RingCreate(kRingBytes);
    std::vector<uint8_t> source(chunk, 0x5A), sink(chunk);
    for (auto _ : state) {
        for (size_t moved = 0; moved < kMovedBytes; moved += chunk) {
            RingWrite(ring, source.data(), (ULONG)chunk);
            RingRead(ring, sink.data(), (ULONG)chunk);
        }
        benchmark::DoNotOptimize(sink.data());
    }
    RingDestroy(ring);
    state.SetBytesProcessed((int64_t)(state.iterations() * kMovedBytes));
}

void SpscQueueAppendDrain(benchmark::State &state) {
    const size_t chunk = (size_t)state.range(0);
    const Processors where = TwoProcessors();
    boost::lockfree::spsc_queue<uint8_t> queue(kRingBytes);
    for (auto _ : state) SpscQueueRun(where, queue, chunk);
    state.SetBytesProcessed((int64_t)(state.iterations() * kMovedBytes));
    state.counters["pinned"] = where.Pinned;
}

void RingAgainstSpscQueue(benchmark::State &state) {
    BootKernelOnce();
    const size_t chunk = (size_t)state.range(0);
    const Processors where = TwoProcessors();
    ByteRing *ring = RingCreate(kRingBytes);
    boost::lockfree::spsc_queue<uint8_t> queue(kRingBytes);
    double ringSeconds = 0, queueSeconds = 0;
    bool ringFirst = true;
    for (auto _ : state) {
        if (ringFirst) ringSeconds += RingRun(where, ring, chunk);
        queueSeconds += SpscQueueRun(where, queue, chunk);
        if (!ringFirst) ringSeconds += RingRun(where, ring, chunk);
        ringFirst = !ringFirst;
    }
    RingDestroy(ring);
    const double moved = (double)state.iterations() * kMovedBytes;
    state.counters["ring_GiB_per_s"] = moved / ringSeconds / (1 << 30);
    state.counters["spsc_GiB_per_s"] = moved / queueSeconds / (1 << 30);
    state.counters["ring_over_spsc"] = queueSeconds / ringSeconds;
    state.counters["pinned"] = where.Pinned;
}

void MemcpySameBytes(benchmark::State &state) {
    const size_t chunk = (size_t)state.range(0);
    std::vector<uint8_t> source(chunk, 0x5A), target(kRingBytes);
    for (auto _ : state) {
        size_t at = 0;
        for (size_t moved = 0; moved < kMovedBytes; moved += chunk) {
            if (at + chunk > target.size()) at = 0;
            memcpy(target.data() + at, source.data(), chunk);
            at += chunk;
        }
        benchmark::DoNotOptimize(target.data());
    }
    state.SetBytesProcessed((int64_t)(state.iterations() * kMovedBytes));
}

// ---------------------------------------------------------------------------
// The stream path over a bus that completes every request at once

struct FastBus {
    PDRIVER_OBJECT Driver = nullptr;
    PDEVICE_OBJECT Device = nullptr;
    std::mutex Lock;
    std::condition_variable Wake;   // the worker waits on it
    std::condition_variable Ready;  // the reader waits on it
    std::deque<PIRP> Queue;
    bool Quit = false;
    uint32_t RingPackets = 0;
    uint64_t CompletedPackets = 0;  // by the worker, before it completes them
    uint64_t FinishedPackets = 0;   // by the worker, once their completion has run
    uint64_t DeliveredPackets = 0;  // by the reader
    uint32_t NextSequence = 0;      // the worker's
    std::thread Worker;
};
FastBus *g_bus = nullptr;

NTSTATUS FastBusInternal(PDEVICE_OBJECT, PIRP irp) {
    IoMarkIrpPending(irp);
    {
        std::lock_guard<std::mutex> hold(g_bus->Lock);
        g_bus->Queue.push_back(irp);
    }
    g_bus->Wake.notify_one();
    return STATUS_PENDING;
}

NTSTATUS FastBusEntry(PDRIVER_OBJECT driver, PUNICODE_STRING) {
    driver->MajorFunction[IRP_MJ_INTERNAL_DEVICE_CONTROL] = FastBusInternal;
    return STATUS_SUCCESS;
}

// Completes each queued isochronous request with every packet full (its
// first four bytes a sequence number), at DISPATCH_LEVEL, as a bus thread
// would, as soon as the stream's rings have room for it: never more packets
// completed than the reader has taken plus the rings' capacity. Unpaced, the
// bus would race ahead of the reader and the full rings would drop many
// requests, whose completion and resubmission would count in the CPU time but
// not in the packets delivered.
void FastBusRun() {
    sim::DriverThreadScope scope(g_bus->Driver);
    KIRQL old = KfRaiseIrql(DISPATCH_LEVEL);
    for (;;) {
        PIRP irp;
        PURB urb;
        {
            std::unique_lock<std::mutex> hold(g_bus->Lock);
            g_bus->Wake.wait(hold, [] { return g_bus->Quit || !g_bus->Queue.empty(); });
            if (g_bus->Queue.empty()) break;
            irp = g_bus->Queue.front();
            urb = (PURB)IoGetCurrentIrpStackLocation(irp)->Parameters.Others.Argument1;
            const ULONG n = urb->UrbIsochronousTransfer.NumberOfPackets;
            g_bus->Wake.wait(hold, [&] {
                return g_bus->Quit ||
                       g_bus->CompletedPackets + n <= g_bus->DeliveredPackets + g_bus->RingPackets;
            });
            g_bus->Queue.pop_front();
            g_bus->CompletedPackets += n;
        }
        struct _URB_ISOCH_TRANSFER &iso = urb->UrbIsochronousTransfer;
        for (ULONG j = 0; j < iso.NumberOfPackets; j++) {
            const ULONG end = j + 1 < iso.NumberOfPackets ? iso.IsoPacket[j + 1].Offset
                                                          : iso.TransferBufferLength;
            iso.IsoPacket[j].Length = end - iso.IsoPacket[j].Offset;
            iso.IsoPacket[j].Status = USBD_STATUS_SUCCESS;
            // The packet's sequence number, for the reader's loss count.
            const uint32_t sequence = g_bus->NextSequence++;
            memcpy((uint8_t *)iso.TransferBuffer + iso.IsoPacket[j].Offset, &sequence,
                   sizeof(sequence));
        }
        iso.Hdr.Status = USBD_STATUS_SUCCESS;
        irp->IoStatus.Status = STATUS_SUCCESS;
        // The completion may rebuild the URB, or free it with its slot.
        const ULONG packets = iso.NumberOfPackets;
        IofCompleteRequest(irp, IO_NO_INCREMENT);
        // One bus thread completes in the order sent, so each completion
        // finds its slot the oldest: its packets are in the rings now.
        {
            std::lock_guard<std::mutex> hold(g_bus->Lock);
            g_bus->FinishedPackets += packets;
        }
        g_bus->Ready.notify_one();
    }
    KeLowerIrql(old);
}

void StreamPath(benchmark::State &state) {
    Machine &m = TheMachine();
    const uint32_t size = 3072, perRequest = (uint32_t)state.range(0), slots = 4;
    const uint32_t readPackets = 256;

    // The fast bus takes the real one's place below our device object.
    FastBus bus;
    g_bus = &bus;
    NTSTATUS status;
    bus.Driver = sim::LoadDriver("fastbus", FastBusEntry, &status);
    PDEVICE_OBJECT fdo = m.Pdo->AttachedDevice;
    DeviceExtension *ext = (DeviceExtension *)fdo->DeviceExtension;
    {
        sim::DriverThreadScope scope(bus.Driver);
        IoCreateDevice(bus.Driver, 0, nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &bus.Device);
    }
    bus.Device->StackSize = ext->LowerDeviceObject->StackSize;
    PDEVICE_OBJECT real = ext->LowerDeviceObject;
    ext->LowerDeviceObject = bus.Device;
    const uint32_t ringPackets = 2048;
    bus.RingPackets = ringPackets;
    bus.Worker = std::thread(FastBusRun);

    StreamStartRecord start = {2, size, ringPackets, perRequest, slots};
    if (sim::ClientDeviceIoControl(m.Handle, IOCTL_USBCAM_START_STREAM, &start, sizeof(start), nullptr, 0)
            .Status != STATUS_SUCCESS) {
        state.SkipWithError("START_STREAM failed");
    }
    // The reader's buffer is the client's own memory, which the I/O manager
    // locks where it lies (READ_STREAM is direct I/O): a buffer of plain host
    // memory would be copied into emulated client pages and back for every
    // request, a cost no real client pays.
    const size_t outBytes = (size_t)readPackets * (size + 12);
    uint8_t *out = static_cast<uint8_t *>(sim::ClientAlloc(outBytes));
    StreamReadRecord read = {0, size, readPackets, 0, 0};
    // One READ_STREAM; what it took frees room in the rings for the bus.
    auto readStream = [&] {
        sim::IoResult r = sim::ClientDeviceIoControl(m.Handle, IOCTL_USBCAM_READ_STREAM, &read,
                                                     sizeof(read), out, (ULONG)outBytes);
        const uint64_t got = r.Information / (size + 12);
        if (got != 0) {
            {
                std::lock_guard<std::mutex> hold(bus.Lock);
                bus.DeliveredPackets += got;
            }
            bus.Wake.notify_one();
        }
        return std::make_pair(r.Status, got);
    };
    uint64_t packets = 0, lost = 0;
    uint32_t expected = 0;
    for (auto _ : state) {
        // Each read takes a full buffer, as a client reading whole frames
        // would: the reader waits (no CPU time) until the bus has finished
        // that many packets more than it has taken. Reads of a few packets
        // would each pay the mapping of the whole buffer again.
        bool ready;
        {
            std::unique_lock<std::mutex> hold(bus.Lock);
            ready = bus.Ready.wait_for(hold, std::chrono::seconds(10), [&] {
                return bus.FinishedPackets >= bus.DeliveredPackets + readPackets;
            });
        }
        if (!ready) {
            state.SkipWithError("the stream stopped delivering");
            break;
        }
        const uint64_t got = readStream().second;
        packets += got;
        // Payload first, packet after packet: a gap in the sequence numbers
        // is packets the rings dropped.
        for (uint64_t i = 0; i < got; i++) {
            uint32_t sequence;
            memcpy(&sequence, out + i * size, sizeof(sequence));
            lost += (uint32_t)(sequence - expected);
            expected = sequence + 1;
        }
    }
    sim::ClientDeviceIoControl(m.Handle, IOCTL_USBCAM_STOP_STREAM, nullptr, 0, nullptr, 0);
    // The last slot stops on the fast bus; then the real bus goes back.
    while (readStream().first != STATUS_UNSUCCESSFUL) std::this_thread::yield();
    {
        std::lock_guard<std::mutex> hold(bus.Lock);
        bus.Quit = true;
    }
    bus.Wake.notify_one();
    bus.Worker.join();
    ext->LowerDeviceObject = real;
    {
        sim::DriverThreadScope scope(bus.Driver);
        IoDeleteDevice(bus.Device);
    }
    sim::UnloadDriver(bus.Driver);
    g_bus = nullptr;
    sim::ClientFree(out);

    const double bytes = (double)packets * size;
    // Packets the rings dropped while the reader was timed: 0 when the
    // pacing holds.
    state.counters["lost_packets"] = (double)lost;
    state.counters["packets_per_cpu_s"] = benchmark::Counter((double)packets, benchmark::Counter::kIsRate);
    state.counters["bytes_per_cpu_s"] = benchmark::Counter(bytes, benchmark::Counter::kIsRate);
    state.counters["x_usb_iso_limit"] =
        benchmark::Counter(bytes / kUsbIsoLimitBytesPerSecond, benchmark::Counter::kIsRate);
}

BENCHMARK(RingAppendDrain)->Arg(3072)->Arg(24576)->UseRealTime()->Unit(benchmark::kMillisecond);
BENCHMARK(RingAppendDrainOneThread)->Arg(3072)->Arg(24576)->Unit(benchmark::kMillisecond);
BENCHMARK(SpscQueueAppendDrain)->Arg(3072)->Arg(24576)->UseRealTime()->Unit(benchmark::kMillisecond);
BENCHMARK(MemcpySameBytes)->Arg(3072)->Arg(24576)->Unit(benchmark::kMillisecond);
BENCHMARK(RingAgainstSpscQueue)->Arg(3072)->Arg(24576)->UseRealTime()->Unit(benchmark::kMillisecond);
// Process CPU time: the reader, the completions and the fast bus together.
BENCHMARK(StreamPath)->Arg(8)->Arg(32)->MeasureProcessCPUTime()->Unit(benchmark::kMicrosecond);

}  // namespace

int main(int argc, char **argv) {
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    ShutdownMachine();
    return 0;
}
