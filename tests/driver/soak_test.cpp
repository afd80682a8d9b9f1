// The soak: the reference camera's high-bandwidth stream (alternate setting 3,
// isochronous IN 0x86, 3072-byte packets) restarted again and again for
// SOAK_SECONDS (default 600) while faults arrive at random (control stalls,
// failed isochronous packets, failed requests, slow completions, port resets
// and failed port resets) and client threads read the stream, select the
// interface, reset the pipe and the port and send vendor requests.
//
// Every packet is accounted for. The wire log says, per microframe, what the
// camera sent (its packets carry the microframe's sequence number) and what
// the host made of it; the readers say what reached the client: a good packet
// (its pattern checks), or a descriptor that reports a failure. A packet the
// camera sent is then received, reported failed by its descriptor, lost in a
// visible gap (its request found the rings full: the client sees the
// sequence numbers skip) or unread when a stream stopped (the rings' contents
// go with the stream, as documented). Anything else (a packet lost with no
// gap to show it, a damaged or duplicated packet, a packet the camera never
// sent) fails the run. At the end the driver's pool is what it was before
// the first stream and the verifier has reported nothing.
//
// Not part of make test: `make soak` (SOAK_SECONDS, SOAK_SEED) runs it.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>
#include <random>
#include <set>
#include <thread>
#include <vector>

#include "driver_fixture.h"

namespace drvtest {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

constexpr uint8_t kEndpoint = 0x86;
constexpr uint32_t kPipe = 0;  // the only pipe of alternate setting 3
constexpr uint32_t kPacket = 3072;
constexpr uint32_t kPerRequest = 16;
constexpr uint32_t kSlots = 8;
constexpr uint32_t kRingPackets = 4096;  // half a second: readers never fall that far behind
constexpr uint32_t kReadPackets = 64;    // whole requests: a read never splits one

uint64_t EnvNumber(const char *name, uint64_t fallback) {
    const char *text = getenv(name);
    return text != nullptr && *text != 0 ? strtoull(text, nullptr, 0) : fallback;
}

// What became of each microframe's packet, on the wire and at the client,
// indexed by sequence number (microframes since the bus started).
class Ledger {
public:
    enum Wire : uint8_t { kNoPacket = 0,
                          kSentGood,
                          kSentFailed,
                          kNotSent };
    enum Client : uint8_t { kNothing = 0,
                            kReceived,
                            kReportedFailed };

    void WirePacket(uint32_t seq, Wire state) {
        std::lock_guard<std::mutex> lock(mutex_);
        Grow(seq);
        wire_[seq] = state;
    }
    // One request's worth of packets as a reader found them.
    // fullRead: the read that brought them ended a run of reads that each took
    // all they asked for, long enough to drain full rings: they were full.
    void ClientRequest(const uint8_t *payload, const IsoPacketDescriptor *descriptors, uint32_t count,
                       bool fullRead) {
        int64_t base = -1;
        std::vector<uint32_t> good;
        for (uint32_t j = 0; j < count; j++) {
            const IsoPacketDescriptor &d = descriptors[j];
            if (!USBD_SUCCESS(d.Status)) continue;
            uint32_t seq = 0;
            if (d.Length != kPacket ||
                !sim::usb::CheckReferenceIsoPacket(payload + (size_t)j * kPacket, kPacket, &seq)) {
                damaged_++;
                continue;
            }
            if (base >= 0 && base != (int64_t)seq - j) misplaced_++;
            if (base < 0) base = (int64_t)seq - j;
            good.push_back(seq);
        }
        std::lock_guard<std::mutex> lock(mutex_);
        for (uint32_t seq : good) {
            Grow(seq);
            if (client_[seq] != kNothing) duplicated_++;
            client_[seq] = kReceived;
            full_[seq] = fullRead;
            receivedPackets_++;
        }
        for (uint32_t j = 0; j < count; j++) {
            if (USBD_SUCCESS(descriptors[j].Status)) continue;
            failedDescriptors_++;
            if (base < 0) {
                unplacedFailures_++;  // a request that failed whole: no sequence number to give it
                continue;
            }
            const uint32_t seq = (uint32_t)(base + j);
            Grow(seq);
            if (client_[seq] == kNothing) client_[seq] = kReportedFailed;
        }
    }
    void Session(uint32_t firstSeq, uint32_t endSeq) {
        std::lock_guard<std::mutex> lock(mutex_);
        sessions_.push_back({firstSeq, endSeq});
    }

    struct Totals {
        uint64_t Sent = 0, SentGood = 0, SentFailed = 0, NotSent = 0;
        uint64_t Received = 0, ReportedFailed = 0, LostInGaps = 0, LostWithRoom = 0, UnreadAtStop = 0;
        uint64_t Unaccounted = 0, Fabricated = 0;
        uint64_t Damaged = 0, Duplicated = 0, Misplaced = 0, FailedDescriptors = 0, Unplaced = 0;
        uint64_t ReceivedPackets = 0;
    };
    // Classifies every packet of every session.
    Totals Close() {
        std::lock_guard<std::mutex> lock(mutex_);
        Totals t;
        t.Damaged = damaged_;
        t.Duplicated = duplicated_;
        t.Misplaced = misplaced_;
        t.FailedDescriptors = failedDescriptors_;
        t.Unplaced = unplacedFailures_;
        t.ReceivedPackets = receivedPackets_;
        std::vector<uint8_t> inSession(wire_.size(), 0);
        for (const auto &s : sessions_) {
            // The last packet the client received of this session: what the
            // camera sent after it was still in the rings at the stop.
            int64_t last = -1;
            for (uint32_t seq = s.first; seq < s.second && seq < wire_.size(); seq++) {
                inSession[seq] = 1;
                if (client_[seq] == kReceived) last = seq;
            }
            // Whether the rings were full when a gap's packets were lost: the
            // first packet received after the gap then came behind the
            // backlog that filled them, at the end of a run of full reads.
            std::vector<uint8_t> ringsFull(s.second > s.first ? s.second - s.first : 0, 0);
            bool full = false;
            for (int64_t seq = (int64_t)std::min<size_t>(s.second, wire_.size()) - 1; seq >= (int64_t)s.first;
                 seq--) {
                if (client_[seq] == kReceived) full = full_[seq] != 0;
                ringsFull[seq - s.first] = full;
            }
            for (uint32_t seq = s.first; seq < s.second && seq < wire_.size(); seq++) {
                const uint8_t w = wire_[seq], c = client_[seq];
                if (w == kSentGood || w == kSentFailed) {
                    t.Sent++;
                    (w == kSentGood ? t.SentGood : t.SentFailed)++;
                    if (c == kReceived && w == kSentGood) t.Received++;
                    else if (c == kReceived) t.Fabricated++;
                    else if (c == kReportedFailed) t.ReportedFailed++;
                    // Failed on the wire, in a request that failed whole (with
                    // late packets): its descriptors said so, but with no
                    // good packet to give them sequence numbers.
                    else if (w == kSentFailed) t.ReportedFailed++;
                    else if ((int64_t)seq < last) (ringsFull[seq - s.first] ? t.LostInGaps : t.LostWithRoom)++;
                    else if (last >= 0 || SessionHadNothing(s)) t.UnreadAtStop++;
                    else t.Unaccounted++;
                } else {
                    if (w == kNotSent) t.NotSent++;
                    if (c == kReceived) t.Fabricated++;
                }
            }
        }
        for (size_t seq = 0; seq < wire_.size(); seq++) {
            // Requests failed before the bus scheduled them carry no frame of
            // their own: only what the camera sent or the client got counts.
            if (inSession[seq]) continue;
            if (wire_[seq] == kSentGood || wire_[seq] == kSentFailed) t.Unaccounted++;
            else if (client_[seq] == kReceived) t.Fabricated++;
        }
        return t;
    }

private:
    void Grow(uint32_t seq) {
        if (seq >= wire_.size()) {
            wire_.resize(std::max<size_t>(seq + 1, wire_.size() * 2), kNoPacket);
            client_.resize(wire_.size(), kNothing);
            full_.resize(wire_.size(), 0);
        }
    }
    // A session whose stream died before a reader got anything.
    bool SessionHadNothing(const std::pair<uint32_t, uint32_t> &s) const {
        for (uint32_t seq = s.first; seq < s.second && seq < client_.size(); seq++) {
            if (client_[seq] != kNothing) return false;
        }
        return true;
    }

    std::mutex mutex_;
    std::vector<uint8_t> wire_, client_, full_;
    std::vector<std::pair<uint32_t, uint32_t>> sessions_;  // [first, end) sequence numbers
    uint64_t damaged_ = 0, duplicated_ = 0, misplaced_ = 0, failedDescriptors_ = 0;
    uint64_t unplacedFailures_ = 0, receivedPackets_ = 0;
};

struct Counters {
    std::atomic<uint64_t> Reads{0}, ReadBytes{0};
    std::atomic<uint64_t> Sessions{0}, StartsRefused{0}, StreamsDiedEarly{0};
    std::atomic<uint64_t> SelectsDone{0}, SelectsRefused{0};
    std::atomic<uint64_t> PipeResetsDone{0}, PipeResetsRefused{0};
    std::atomic<uint64_t> PortResetsDone{0}, PortResetsFailed{0};
    std::atomic<uint64_t> VendorDone{0}, VendorFailed{0}, VendorWrong{0};
    std::atomic<uint64_t> Stalls{0}, PacketFaults{0}, RequestFaults{0}, SlowPeriods{0};
    std::atomic<uint64_t> PortResetFaults{0}, UnexpectedStatus{0};
    std::atomic<NTSTATUS> LastUnexpected{0};
};

class SoakTest : public DriverTest {
protected:
    static uint64_t OurPoolBytes(size_t *blocks) {
        uint64_t bytes = 0;
        *blocks = 0;
        for (const auto &block : sim::PoolOutstanding()) {
            if (block.Tag != USBCAM_POOL_TAG) continue;
            bytes += block.Bytes;
            (*blocks)++;
        }
        return bytes;
    }
    uint32_t NowSeq() const { return sim::usb::CurrentFrame() * 8; }
    // Whether a stream runs, read as the driver reads it: under its lock.
    bool StreamRunning() {
        bool running = false;
        sim::RunOnKernelThread(PASSIVE_LEVEL, [&] {
            DeviceExtension *ext = Ext(camera_);
            KIRQL old = KeAcquireSpinLockRaiseToDpc(&ext->StreamLock);
            running = ext->ActiveStream != nullptr;
            KeReleaseSpinLock(&ext->StreamLock, old);
        });
        return running;
    }
    void Unexpected(NTSTATUS status) {
        counters_.UnexpectedStatus++;
        counters_.LastUnexpected = status;
    }

    // Takes the isochronous records of the wire log it has not seen yet.
    void PollWire() {
        std::vector<sim::usb::WireRecord> log = sim::usb::WireLog(camera_.Port);
        for (const auto &r : log) {
            if (r.Type != sim::usb::TransferType::Isochronous || r.Endpoint != kEndpoint) continue;
            if (!seenRecords_.insert(r.Sequence).second) continue;
            // A request failed whole without reaching the camera (a knob, a
            // port reset under it): each packet carries the request's status.
            bool failedWhole = !USBD_SUCCESS(r.Status);
            for (const auto &p : r.IsoPackets) failedWhole = failedWhole && p.Status == r.Status;
            for (size_t j = 0; j < r.IsoPackets.size(); j++) {
                const auto &p = r.IsoPackets[j];
                const uint32_t seq = r.StartFrame * 8 + (uint32_t)j;
                Ledger::Wire state = Ledger::kSentGood;
                if (failedWhole || p.Status == USBD_STATUS_ISO_NOT_ACCESSED_LATE ||
                    p.Status == USBD_STATUS_ISO_NOT_ACCESSED_BY_HW || p.Status == USBD_STATUS_CANCELED) {
                    state = Ledger::kNotSent;
                } else if (!USBD_SUCCESS(p.Status)) {
                    state = Ledger::kSentFailed;
                }
                ledger_.WirePacket(seq, state);
            }
        }
        // Records older than the log's oldest can never come back.
        if (!log.empty()) {
            const uint64_t oldest = log.front().Sequence;
            seenRecords_.erase(seenRecords_.begin(), seenRecords_.lower_bound(oldest > 64 ? oldest - 64 : 0));
        }
    }

    void Reader(sim::ClientHandle handle, std::atomic<bool> &done) {
        std::vector<uint8_t> out((size_t)kReadPackets * (kPacket + 12));
        while (!done.load()) {
            StreamReadRecord record = {0, kPacket, kReadPackets, 0, 0};
            sim::IoResult r = sim::ClientDeviceIoControl(handle, IOCTL_USBCAM_READ_STREAM, &record,
                                                         sizeof(record), out.data(), (ULONG)out.size());
            if (r.Status == STATUS_UNSUCCESSFUL) {  // no stream running
                std::this_thread::sleep_for(1ms);
                continue;
            }
            if (r.Status != STATUS_SUCCESS) {
                Unexpected(r.Status);
                continue;
            }
            const uint32_t packets = (uint32_t)(r.Information / (kPacket + 12));
            if (r.Information != (ULONG_PTR)packets * (kPacket + 12) || packets % kPerRequest != 0) {
                misalignedReads_++;
            }
            counters_.Reads++;
            bool drainedFullRings;
            {
                std::lock_guard<std::mutex> lock(streakMutex_);
                fullReadStreak_ = packets == kReadPackets ? fullReadStreak_ + 1 : 0;
                drainedFullRings = fullReadStreak_ + 4 >= kRingPackets / kReadPackets;
            }
            counters_.ReadBytes += (uint64_t)packets * kPacket;
            std::vector<IsoPacketDescriptor> descriptors(packets);
            if (packets != 0) {
                memcpy(descriptors.data(), out.data() + (size_t)packets * kPacket,
                       packets * sizeof(IsoPacketDescriptor));
            }
            for (uint32_t k = 0; k < packets; k += kPerRequest) {
                ledger_.ClientRequest(out.data() + (size_t)k * kPacket, &descriptors[k],
                                      std::min(kPerRequest, packets - k), drainedFullRings);
            }
            if (packets == 0) std::this_thread::sleep_for(1ms);
        }
    }

    NTSTATUS Select(sim::ClientHandle handle, uint8_t alternate) {
        InterfaceSelection selection = {0, alternate};
        return sim::ClientDeviceIoControl(handle, IOCTL_USBCAM_SELECT_INTERFACE, &selection,
                                          sizeof(selection), nullptr, 0)
            .Status;
    }

    // Starts, runs for a while and stops streams until the deadline.
    void Controller(sim::ClientHandle handle, Clock::time_point deadline, std::mt19937 rng) {
        while (Clock::now() < deadline) {
            if (Select(handle, 3) != STATUS_SUCCESS) {
                std::this_thread::sleep_for(5ms);
                continue;
            }
            const uint32_t first = NowSeq();
            StreamStartRecord record = {kPipe, kPacket, kRingPackets, kPerRequest, kSlots};
            NTSTATUS started = sim::ClientDeviceIoControl(handle, IOCTL_USBCAM_START_STREAM, &record,
                                                          sizeof(record), nullptr, 0)
                                   .Status;
            if (started != STATUS_SUCCESS) {
                counters_.StartsRefused++;
                std::this_thread::sleep_for(5ms);
                continue;
            }
            counters_.Sessions++;
            const auto stopAt = std::min(deadline, Clock::now() + std::chrono::milliseconds(
                                                                      std::uniform_int_distribution<int>(500, 15000)(rng)));
            bool died = false;
            while (Clock::now() < stopAt) {
                if (!StreamRunning()) {
                    died = true;
                    break;
                }
                std::this_thread::sleep_for(10ms);
            }
            if (died) counters_.StreamsDiedEarly++;
            sim::ClientDeviceIoControl(handle, IOCTL_USBCAM_STOP_STREAM, nullptr, 0, nullptr, 0);
            for (int i = 0; i < 30000 && StreamRunning(); i++) std::this_thread::sleep_for(1ms);
            EXPECT_FALSE(StreamRunning()) << "the stream did not stop within 30 s";
            // The last completions are on the wire a moment before the log has them.
            std::this_thread::sleep_for(20ms);
            ledger_.Session(first, NowSeq());
        }
    }

    // Selections, pipe and port resets and vendor requests from other clients.
    void Meddler(sim::ClientHandle handle, std::atomic<bool> &done, std::mt19937 rng) {
        uint16_t address = (uint16_t)(0x1000 + (rng() % 0x100) * 16);
        while (!done.load()) {
            std::this_thread::sleep_for(std::chrono::milliseconds(20 + rng() % 300));
            const unsigned what = rng() % 10;
            if (what < 3) {
                // Alternate setting 3 again: refused while the stream's requests are queued.
                NTSTATUS s = Select(handle, 3);
                (s == STATUS_SUCCESS ? counters_.SelectsDone : counters_.SelectsRefused)++;
            } else if (what < 5) {
                PipeIndexRecord pipe = {kPipe};
                NTSTATUS s = sim::ClientDeviceIoControl(handle, IOCTL_USBCAM_RESET_PIPE, &pipe, sizeof(pipe),
                                                        nullptr, 0)
                                 .Status;
                (s == STATUS_SUCCESS ? counters_.PipeResetsDone : counters_.PipeResetsRefused)++;
            } else if (what < 6 && rng() % 4 == 0) {
                NTSTATUS s = sim::ClientDeviceIoControl(handle, IOCTL_USBCAM_RESET_PORT, nullptr, 0, nullptr, 0)
                                 .Status;
                (s == STATUS_SUCCESS ? counters_.PortResetsDone : counters_.PortResetsFailed)++;
            } else if (what >= 6) {
                // A write and a read back of one byte of the camera's memory.
                const uint8_t value = (uint8_t)rng();
                VendorRequestRecord write = {0xA0, 0, address, 0, 1, 0, value};
                NTSTATUS w = sim::ClientDeviceIoControl(handle, IOCTL_USBCAM_VENDOR_REQUEST, &write,
                                                        sizeof(write), nullptr, 0)
                                 .Status;
                uint8_t buffer[16] = {};
                VendorRequestRecord read = {0xA0, 0, address, 0, 1, 1, 0};
                memcpy(buffer, &read, sizeof(read));
                NTSTATUS r = sim::ClientDeviceIoControl(handle, IOCTL_USBCAM_VENDOR_REQUEST, buffer,
                                                        sizeof(read), buffer, 1)
                                 .Status;
                if (w == STATUS_SUCCESS && r == STATUS_SUCCESS) {
                    counters_.VendorDone++;
                    if (buffer[0] != value) counters_.VendorWrong++;
                } else {
                    counters_.VendorFailed++;
                }
            }
        }
    }

    // The faults, one at a time at random moments.
    void Faults(std::atomic<bool> &done, std::mt19937 rng) {
        const int port = camera_.Port;
        const USBD_STATUS packetErrors[] = {USBD_STATUS_XACT_ERROR, USBD_STATUS_CRC,
                                            USBD_STATUS_BABBLE_DETECTED, USBD_STATUS_DATA_BUFFER_ERROR};
        while (!done.load()) {
            std::this_thread::sleep_for(std::chrono::milliseconds(20 + rng() % 200));
            const unsigned what = rng() % 20;
            if (what < 4) {
                counters_.Stalls++;
                sim::usb::SetStall(port, 0, true);
                std::this_thread::sleep_for(std::chrono::milliseconds(5 + rng() % 50));
                sim::usb::SetStall(port, 0, false);
            } else if (what < 12) {
                counters_.PacketFaults++;
                sim::usb::FailIsoPackets(port, kEndpoint, 1 + rng() % 8, packetErrors[rng() % 4]);
            } else if (what < 13) {
                if (rng() % 3 != 0) continue;  // rarer: a failed request stops its slot
                counters_.RequestFaults++;
                sim::usb::FailNext(port, kEndpoint, 1, USBD_STATUS_XACT_ERROR);
            } else if (what < 17) {
                counters_.SlowPeriods++;
                sim::usb::SetCompletionDelay(1000 + rng() % 8000);
                std::this_thread::sleep_for(std::chrono::milliseconds(50 + rng() % 500));
                sim::usb::SetCompletionDelay(0);
            } else {
                counters_.PortResetFaults++;
                sim::usb::FailPortReset(port, 1, (rng() & 1) ? STATUS_UNSUCCESSFUL : STATUS_DEVICE_BUSY);
            }
        }
    }

    Camera camera_;
    Ledger ledger_;
    Counters counters_;
    std::set<uint64_t> seenRecords_;
    std::atomic<uint64_t> misalignedReads_{0};
    std::mutex streakMutex_;
    uint32_t fullReadStreak_ = 0;  // consecutive reads that took all they asked for
};

TEST_F(SoakTest, StreamUnderFaultsLosesNothingUnreportedAndLeaksNothing) {
    const uint64_t seconds = EnvNumber("SOAK_SECONDS", 600);
    const uint64_t seed = EnvNumber("SOAK_SEED", std::random_device()());
    printf("soak: %llu s, seed %llu (SOAK_SEED=%llu replays the fault plan; timing varies)\n",
           (unsigned long long)seconds, (unsigned long long)seed, (unsigned long long)seed);
    fflush(stdout);

    camera_ = Plug();
    ASSERT_NE(camera_.Fdo, nullptr);
    sim::usb::WireLogSetLimits(1 << 15, 0);
    sim::ClientHandle handle = Open();
    ASSERT_EQ(Select(handle, 3), STATUS_SUCCESS);
    size_t blocksBefore = 0;
    const uint64_t poolBefore = OurPoolBytes(&blocksBefore);
    const uint64_t cameraBefore = sim::usb::GetCameraState(camera_.Port).IsoInPackets;
    const uint32_t resetsBefore = sim::usb::PortResetCount(camera_.Port);

    const auto begin = Clock::now();
    const auto deadline = begin + std::chrono::seconds(seconds);
    std::atomic<bool> done{false};
    std::vector<std::thread> threads;
    // Each client thread has a handle of its own.
    sim::ClientHandle handles[5];
    for (auto &h : handles) h = Open();
    threads.emplace_back([&] { Reader(handles[0], done); });
    threads.emplace_back([&] { Reader(handles[1], done); });
    threads.emplace_back([&] { Meddler(handles[2], done, std::mt19937((uint32_t)seed + 1)); });
    threads.emplace_back([&] { Meddler(handles[3], done, std::mt19937((uint32_t)seed + 2)); });
    threads.emplace_back([&] { Faults(done, std::mt19937((uint32_t)seed + 3)); });
    std::thread controller([&] { Controller(handles[4], deadline, std::mt19937((uint32_t)seed)); });
    auto nextReport = begin + 60s;
    while (!done.load()) {
        std::this_thread::sleep_for(100ms);
        PollWire();
        if (Clock::now() >= nextReport) {
            nextReport += 60s;
            printf("soak: %lld s, %llu sessions, %llu MB read\n",
                   (long long)std::chrono::duration_cast<std::chrono::seconds>(Clock::now() - begin).count(),
                   (unsigned long long)counters_.Sessions.load(),
                   (unsigned long long)(counters_.ReadBytes.load() >> 20));
            fflush(stdout);
        }
        if (Clock::now() >= deadline) {
            controller.join();  // stops the last stream and waits for it
            done = true;
        }
    }
    for (auto &t : threads) t.join();
    sim::usb::ResetKnobs(camera_.Port);
    sim::usb::SetCompletionDelay(0);
    std::this_thread::sleep_for(50ms);
    PollWire();
    const double elapsed = std::chrono::duration<double>(Clock::now() - begin).count();

    // Back to where the first stream began: the same setting, nothing running.
    NTSTATUS reselected = STATUS_UNSUCCESSFUL;
    for (int i = 0; i < 100 && reselected != STATUS_SUCCESS; i++) reselected = Select(handle, 3);
    EXPECT_EQ(reselected, STATUS_SUCCESS);
    size_t blocksAfter = 0;
    const uint64_t poolAfter = OurPoolBytes(&blocksAfter);
    const uint64_t cameraSent = sim::usb::GetCameraState(camera_.Port).IsoInPackets - cameraBefore;
    const uint32_t portResets = sim::usb::PortResetCount(camera_.Port) - resetsBefore;
    const size_t violations = sim::VerifierViolationCount();
    Ledger::Totals t = ledger_.Close();

    printf(
        "soak: seed %llu, %.0f s, %llu stream sessions (%llu ended early by failed requests, "
        "%llu starts refused)\n",
        (unsigned long long)seed, elapsed, (unsigned long long)counters_.Sessions.load(),
        (unsigned long long)counters_.StreamsDiedEarly.load(),
        (unsigned long long)counters_.StartsRefused.load());
    printf(
        "  packets sent by the camera %llu (%llu by its own count), %.1f MB; received %llu (%.1f MB, "
        "%llu reads)\n",
        (unsigned long long)t.Sent, (unsigned long long)cameraSent, t.Sent * (double)kPacket / 1e6,
        (unsigned long long)t.Received, t.Received * (double)kPacket / 1e6,
        (unsigned long long)counters_.Reads.load());
    printf(
        "  reported lost: %llu by failed descriptors (%llu failed descriptors in all, %llu of whole "
        "failed requests), %llu in sequence gaps (%llu of them behind a backlog of full rings), %llu unread at a stop\n",
        (unsigned long long)t.ReportedFailed, (unsigned long long)t.FailedDescriptors,
        (unsigned long long)t.Unplaced, (unsigned long long)(t.LostInGaps + t.LostWithRoom),
        (unsigned long long)t.LostInGaps,
        (unsigned long long)t.UnreadAtStop);
    printf(
        "  not sent (late microframes) %llu; lost unreported %llu, damaged %llu, duplicated %llu, "
        "misplaced %llu, never sent but received %llu, reads not whole requests %llu\n",
        (unsigned long long)t.NotSent, (unsigned long long)t.Unaccounted,
        (unsigned long long)t.Damaged, (unsigned long long)t.Duplicated,
        (unsigned long long)t.Misplaced, (unsigned long long)t.Fabricated,
        (unsigned long long)misalignedReads_.load());
    printf(
        "  faults: %llu control stalls, %llu packet-failure bursts (%llu packets failed on the wire), "
        "%llu failed requests, %llu slow-completion periods, %llu port resets made to fail\n",
        (unsigned long long)counters_.Stalls.load(), (unsigned long long)counters_.PacketFaults.load(),
        (unsigned long long)t.SentFailed, (unsigned long long)counters_.RequestFaults.load(),
        (unsigned long long)counters_.SlowPeriods.load(),
        (unsigned long long)counters_.PortResetFaults.load());
    printf(
        "  clients: selections %llu done / %llu refused, pipe resets %llu / %llu, port resets %llu / "
        "%llu (%u reached the port), vendor write+read %llu / %llu failed, %llu read back otherwise (a stall or reset hit them: "
        "the driver reports that only through the last USB status); "
        "%llu unexpected statuses\n",
        (unsigned long long)counters_.SelectsDone.load(), (unsigned long long)counters_.SelectsRefused.load(),
        (unsigned long long)counters_.PipeResetsDone.load(),
        (unsigned long long)counters_.PipeResetsRefused.load(),
        (unsigned long long)counters_.PortResetsDone.load(),
        (unsigned long long)counters_.PortResetsFailed.load(), portResets,
        (unsigned long long)counters_.VendorDone.load(), (unsigned long long)counters_.VendorFailed.load(),
        (unsigned long long)counters_.VendorWrong.load(), (unsigned long long)counters_.UnexpectedStatus.load());
    printf("  driver pool: before %zu blocks / %llu bytes, after %zu blocks / %llu bytes; verifier reports %zu\n",
           blocksBefore, (unsigned long long)poolBefore, blocksAfter, (unsigned long long)poolAfter, violations);
    fflush(stdout);

    EXPECT_GT(counters_.Sessions.load(), 0u);
    EXPECT_GT(t.Received, 0u);
    EXPECT_EQ(t.Sent, cameraSent) << "the wire log missed packets";
    EXPECT_EQ(t.Sent, t.Received + t.ReportedFailed + t.LostInGaps + t.LostWithRoom + t.UnreadAtStop +
                          t.Unaccounted);
    EXPECT_EQ(t.Unaccounted, 0u);
    // Gaps are not failures: the rings drop a request without a word when
    // they are full, and the sequence numbers are the client's report. That
    // a gap came behind a full-ring backlog is only told as a figure (the
    // readers' view of the fill cannot prove it).
    EXPECT_EQ(t.Damaged, 0u);
    EXPECT_EQ(t.Duplicated, 0u);
    EXPECT_EQ(t.Misplaced, 0u);
    EXPECT_EQ(t.Fabricated, 0u);
    EXPECT_EQ(t.ReceivedPackets, t.Received);
    EXPECT_EQ(misalignedReads_.load(), 0u);
    EXPECT_EQ(counters_.UnexpectedStatus.load(), 0u) << std::hex << counters_.LastUnexpected.load();
    EXPECT_EQ(poolAfter, poolBefore);
    EXPECT_EQ(blocksAfter, blocksBefore);
    EXPECT_EQ(violations, 0u);
}

}  // namespace
}  // namespace drvtest
