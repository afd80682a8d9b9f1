// The transfer engine of the emulated bus: per-endpoint queues, the bus clock
// that serves them once per 1 ms frame, the bandwidth of bulk and interrupt
// traffic, cancellation, abort, and completion on several bus threads.
//
// Queue discipline: a transfer is in exactly one queue while its IRP carries
// the bus's cancel routine. Whoever clears the cancel routine
// (IoSetCancelRoutine(irp, nullptr) returning non-null) owns the transfer; when
// the clear fails, the cancel routine is about to run and takes it out itself.
// An aborted transfer has had its cancel routine cleared by the abort and
// stays at the head of its queue, owned by the bus, until the clock cancels it.
//
// Completion order: the clock finishes the transfers of one endpoint in queue
// order (URB status, lengths and data final) and hands them to the bus threads
// (kCompletionThreads, DISPATCH_LEVEL) with a ticket per endpoint. A bus thread
// calls IofCompleteRequest for ticket k + 1 only after the thread holding
// ticket k has called it; it does not wait for that call to return. So the
// completion routines of one endpoint are entered in order but run at the
// same time (a preempted thread may fall behind the next), and those of
// different endpoints run in parallel.
#include <string.h>

#include <algorithm>

#include "bus_internal.h"

namespace sim {
namespace usb {

void HoldDueCompletions(Bus &bus, uint64_t now);

namespace {

constexpr uint32_t kMicrosPerFrame = 1000;
constexpr uint32_t kMicroframesPerFrame = 8;
constexpr uint32_t kMicrosPerMicroframe = kMicrosPerFrame / kMicroframesPerFrame;
// Bulk and interrupt packets the bus moves: at high speed 13 of 512 bytes per
// microframe (USB 2.0, 5.8.4), at full speed 19 of 64 bytes per frame. A pass
// moves what its frame allows; what it leaves unused is lost, so an idle bus
// saves nothing up.
constexpr uint64_t kHighSpeedPacketsPerMicroframe = 13;
constexpr uint64_t kFullSpeedPacketsPerFrame = 19;
// An interrupt endpoint is polled once per interval: at most once per
// microframe, so at most this many times in a pass.
constexpr uint32_t kMaxPollsPerPass = kMicroframesPerFrame;
// Aborted transfers complete from the clock this many frames after the abort.
constexpr uint32_t kAbortDelayFrames = 2;
// An ASAP isochronous stream idle this long starts afresh.
constexpr uint64_t kAsapIdleFrames = 1024;

bool HaltsPipe(USBD_STATUS status) {
    return ((ULONG)status >> 30) == 3 && status != USBD_STATUS_CANCELED && status != USBD_STATUS_DEVICE_GONE;
}

// What one serving pass of an endpoint may move: shared bus credit, and for
// an interrupt endpoint its polls.
struct Budget {
    bool Unlimited = true;
    uint64_t *Credit = nullptr;
    uint32_t Polls = UINT32_MAX;

    bool CanMove() const { return Unlimited || (*Credit != 0 && Polls != 0); }
    void Take() {
        if (Unlimited) return;
        --*Credit;
        if (Polls != UINT32_MAX) --Polls;
    }
};

// Adds the packets the (micro)frames elapsed since the last accounting allow:
// one frame's worth at a clock pass (passes run at every frame boundary of
// bus time), part of one for an inline transfer between passes. Lock held.
void Replenish(Bus &bus, uint64_t now) {
    const uint64_t mf = now / kMicrosPerMicroframe;
    if (mf < bus.LastCreditMicroframe) bus.LastCreditMicroframe = mf;  // frame counter set back
    const uint64_t frames = mf / kMicroframesPerFrame - bus.LastCreditMicroframe / kMicroframesPerFrame;
    bus.HighSpeedCredit += (mf - bus.LastCreditMicroframe) * kHighSpeedPacketsPerMicroframe;
    bus.FullSpeedCredit += frames * kFullSpeedPacketsPerFrame;
    bus.LastCreditMicroframe = mf;
}

// The budget for serving one endpoint now. Lock held.
Budget BudgetFor(Bus &bus, Port &port, EndpointQueue &q, const Transfer *head, uint64_t now) {
    Budget b;
    if (!bus.BandwidthModel || head == nullptr || head->Kind != TransferKind::Data) return b;
    b.Unlimited = false;
    b.Credit = port.Camera->Profile.HighSpeed ? &bus.HighSpeedCredit : &bus.FullSpeedCredit;
    if (head->PollPeriod != 0) {
        const uint64_t mf = now / kMicrosPerMicroframe;
        if (q.NextPollMicroframe == 0 || q.NextPollMicroframe > mf + head->PollPeriod) q.NextPollMicroframe = mf;
        b.Polls = mf < q.NextPollMicroframe
                      ? 0
                      : std::min<uint64_t>(kMaxPollsPerPass, 1 + (mf - q.NextPollMicroframe) / head->PollPeriod);
        if (b.Polls != 0) q.NextPollMicroframe = (mf / head->PollPeriod + 1) * head->PollPeriod;
    }
    return b;
}

// IoCancelIrp sets Cancel before it looks for a cancel routine; read it after
// our own IoSetCancelRoutine, as on the platform.
bool CancelRequested(PIRP irp) { return __atomic_load_n(&irp->Cancel, __ATOMIC_SEQ_CST) != 0; }

void EmitSubmit(Bus &bus, Port &port, Transfer *t, uint64_t micros) {
    if (!bus.Pcap.IsOpen()) return;
    uint32_t n = !t->Record.In && t->Buffer != nullptr ? t->Length : 0;
    bus.Pcap.Event('S', t->Record, port.Address, t->Buffer, n, t->Length, bus.EpochMicros + micros);
}

void EmitComplete(Bus &bus, Port &port, Transfer *t, uint64_t micros) {
    if (!bus.Pcap.IsOpen()) return;
    uint32_t n = 0;
    if (t->Record.In && t->Buffer != nullptr)
        n = t->Kind == TransferKind::Isochronous ? t->Length : t->Done;
    bus.Pcap.Event('C', t->Record, port.Address, t->Buffer, n, t->Done, bus.EpochMicros + micros);
}

// A control transfer on the default pipe.
USBD_STATUS RunControl(Port &port, Transfer *t, uint64_t now) {
    if (MergedKnobs(port, 0).ControlStall) return USBD_STATUS_STALL_PID;
    const uint16_t wLength = t->Record.SetupLength();
    std::vector<uint8_t> stage(wLength);
    if (!t->Record.In && wLength != 0) memcpy(stage.data(), t->Buffer, std::min<uint32_t>(wLength, t->Length));
    ControlOutcome o = port.Camera->Control(t->Record.Setup, stage.data(), now);
    if (o.Stall) return USBD_STATUS_STALL_PID;
    t->Done = std::min<uint32_t>(o.Actual, t->Length);
    if (t->Record.In && t->Done != 0) memcpy(t->Buffer, stage.data(), t->Done);
    return USBD_STATUS_SUCCESS;
}

// Bulk or interrupt: returns false while the transfer waits for packets or
// for bandwidth; what it moved so far stays in Done.
bool RunData(Port &port, Transfer *t, uint64_t now, USBD_STATUS *status, Budget &budget) {
    CameraModel &camera = *port.Camera;
    if (camera.Halted[t->Endpoint]) {
        *status = USBD_STATUS_STALL_PID;
        return true;
    }
    if (!t->Record.In) {
        while (budget.CanMove()) {
            budget.Take();
            uint32_t n = std::min<uint32_t>(t->MaxPacket, t->Length - t->Done);
            camera.OutPacket(t->Endpoint, t->Buffer + t->Done, n, now);
            t->Done += n;
            if (n < t->MaxPacket || t->Done == t->Length) {  // short (or zero-length) packet or all sent
                *status = USBD_STATUS_SUCCESS;
                return true;
            }
        }
        return false;
    }
    std::vector<uint8_t> packet;
    while (budget.CanMove() && camera.InPacket(t->Endpoint, &packet, now)) {
        budget.Take();
        uint32_t room = t->Length - t->Done;
        if (packet.size() > room) {
            // The device sent more than the buffer holds: babble.
            if (room != 0) memcpy(t->Buffer + t->Done, packet.data(), room);
            t->Done += room;
            *status = USBD_STATUS_DATA_OVERRUN;
            return true;
        }
        if (!packet.empty()) memcpy(t->Buffer + t->Done, packet.data(), packet.size());
        t->Done += (uint32_t)packet.size();
        if (packet.size() < t->MaxPacket || t->Done == t->Length) {
            *status = USBD_STATUS_SUCCESS;
            return true;
        }
    }
    return false;
}

// Isochronous: finished once the microframe of its last packet has passed.
bool RunIsochronous(Bus &bus, Port &port, Transfer *t, uint64_t now, USBD_STATUS *status) {
    struct _URB_ISOCH_TRANSFER &u = t->Urb->UrbIsochronousTransfer;
    const uint32_t n = u.NumberOfPackets;
    const uint64_t nowMicroframe = now / (kMicrosPerFrame / kMicroframesPerFrame);
    if (nowMicroframe < t->IsoStart + (uint64_t)n * t->IsoPeriod) return false;
    (void)bus;
    uint32_t errors = 0, moved = 0;
    t->Record.IsoPackets.clear();
    for (uint32_t j = 0; j < n; ++j) {
        USBD_ISO_PACKET_DESCRIPTOR &p = u.IsoPacket[j];
        const uint32_t end = j + 1 < n ? u.IsoPacket[j + 1].Offset : t->Length;
        const uint32_t room = end - p.Offset;
        const uint32_t seq = (uint32_t)(t->IsoStart + (uint64_t)j * t->IsoPeriod);
        p.Status = USBD_STATUS_SUCCESS;
        USBD_STATUS damaged = USBD_STATUS_SUCCESS;
        if (j < t->IsoLate) {
            // Its microframe had passed when the request reached the bus.
            p.Status = USBD_STATUS_ISO_NOT_ACCESSED_LATE;
            p.Length = 0;
        } else if (t->Record.In) {
            std::vector<uint8_t> data = port.Camera->IsoInPacket(t->Endpoint, seq);
            if (TakeIsoPacketFailure(port, t->Endpoint, &damaged)) {
                // The camera sent it; the host received nothing usable.
                p.Status = damaged;
                p.Length = 0;
            } else {
                uint32_t copy = std::min<uint32_t>((uint32_t)data.size(), room);
                if (copy != 0) memcpy(t->Buffer + p.Offset, data.data(), copy);
                p.Length = copy;
                if (data.size() > room) p.Status = USBD_STATUS_DATA_OVERRUN;
            }
        } else if (TakeIsoPacketFailure(port, t->Endpoint, &damaged)) {
            // Lost on the way: the camera never sees it.
            p.Status = damaged;
            p.Length = 0;
        } else {
            port.Camera->IsoOutPacket(t->Endpoint, t->Buffer + p.Offset, room);
            p.Length = room;
        }
        moved += p.Length;
        if (!USBD_SUCCESS(p.Status)) ++errors;
        t->Record.IsoPackets.push_back(WireIsoPacket{p.Offset, p.Length, p.Status});
    }
    u.ErrorCount = errors;
    t->Done = t->Record.In ? moved : t->Length;
    *status = errors == n ? USBD_STATUS_ISOCH_REQUEST_FAILED : USBD_STATUS_SUCCESS;
    return true;
}

// One attempt at a transfer; true when it is finished with *status.
bool Step(Bus &bus, Port &port, Transfer *t, uint64_t now, bool inlineRun, USBD_STATUS *status,
          std::vector<Completion> *out, Budget &budget) {
    if (t->Forced) {
        if (t->IsoScheduled && now / kMicrosPerMicroframe <
                                   t->IsoStart + (uint64_t)t->Urb->UrbIsochronousTransfer.NumberOfPackets * t->IsoPeriod)
            return false;  // fails once its frames have passed
        *status = t->ForcedStatus;
        return true;
    }
    // The queue's endpoint: a pipe reset travels the default pipe, and the
    // control endpoint answers its CLEAR_FEATURE whatever the silent
    // endpoint does.
    if (MergedKnobs(port, t->QueueEndpoint).NeverAnswer) return false;
    if (!inlineRun && FrameOf(now) < t->DueFrame) return false;
    switch (t->Kind) {
        case TransferKind::Control:
            *status = RunControl(port, t, now);
            return true;
        case TransferKind::SelectConfiguration:
        case TransferKind::SelectInterface:
        case TransferKind::ResetPipe:
            *status = RunConfigurationTransfer(bus, port, t, now, out);
            return true;
        case TransferKind::Data:
            return RunData(port, t, now, status, budget);
        case TransferKind::Isochronous:
            return RunIsochronous(bus, port, t, now, status);
    }
    return false;
}

void ServeQueue(Bus &bus, Port &port, uint8_t endpoint, uint64_t now, std::vector<Completion> *out) {
    EndpointQueue &q = port.Endpoints[endpoint];
    Budget budget;
    bool budgetSet = false;
    for (auto it = q.Queue.begin(); it != q.Queue.end();) {
        Transfer *t = *it;
        if (t->Aborted) {
            if (FrameOf(now) < t->AbortDueFrame) break;
            it = q.Queue.erase(it);
            q.Aborting--;
            FinishTransfer(bus, port, t, USBD_STATUS_CANCELED, out);
            continue;
        }
        if (q.Halted) break;  // nothing moves until the pipe is reset
        if (IoSetCancelRoutine(t->Irp, nullptr) == nullptr) {
            ++it;  // being cancelled; the cancel routine takes it out
            continue;
        }
        if (!budgetSet) {
            budget = BudgetFor(bus, port, q, t, now);
            budgetSet = true;
        }
        USBD_STATUS status = USBD_STATUS_SUCCESS;
        if (Step(bus, port, t, now, false, &status, out, budget)) {
            it = q.Queue.erase(it);
            FinishTransfer(bus, port, t, status, out);
            continue;
        }
        IoSetCancelRoutine(t->Irp, BusCancelRoutine);
        if (CancelRequested(t->Irp) && IoSetCancelRoutine(t->Irp, nullptr) != nullptr) {
            it = q.Queue.erase(it);
            FinishTransfer(bus, port, t, USBD_STATUS_CANCELED, out);
            continue;
        }
        break;  // an endpoint serves its transfers in order
    }
}

// One pass of the clock at bus time now (the start of a frame): serves every
// queue with the bandwidth of the frame that ended. False when nothing was
// queued. Lock held.
bool ClockPass(Bus &bus, uint64_t now, std::vector<Completion> *done) {
    Replenish(bus, now);
    // Endpoints share the bus's bandwidth: each pass starts with another.
    std::vector<std::pair<Port *, uint8_t>> busy;
    for (auto &p : bus.Ports) {
        Port &port = *p.second;
        if (!port.Connected) continue;
        for (auto &e : port.Endpoints)
            if (!e.second.Queue.empty()) busy.push_back({&port, e.first});
    }
    const size_t first = busy.empty() ? 0 : bus.PassCount++ % busy.size();
    bus.InPass = true;
    bus.PassMicros = now;
    for (size_t i = 0; i < busy.size(); ++i) {
        auto &b = busy[(first + i) % busy.size()];
        ServeQueue(bus, *b.first, b.second, now, done);
    }
    bus.InPass = false;
    bus.HighSpeedCredit = 0;
    bus.FullSpeedCredit = 0;
    return !busy.empty();
}

void ClockThread(Bus *bus) {
    std::unique_lock<std::mutex> lock(bus->Lock);
    while (!bus->Stopping) {
        if (bus->ManualClock || bus->VirtualClock) {
            bus->Changed.wait(lock);  // AdvanceBusClock or the kernel's clock runs the passes
            continue;
        }
        // Sleep to the start of the next frame; a late wake-up runs the
        // passes of every frame it missed.
        const uint64_t next = (bus->LastPassFrame + 1) * kMicrosPerFrame;
        bus->Changed.wait_until(lock, bus->Start + std::chrono::microseconds(next),
                                [bus] { return bus->Stopping || bus->ManualClock || bus->VirtualClock; });
        if (bus->Stopping) break;
        RunClockPasses(*bus);
    }
}

// A bus thread: completes what the clock finished, at DISPATCH_LEVEL.
void CompletionThread(Bus *bus, unsigned index) {
    std::unique_lock<std::mutex> lock(bus->Lock);
    for (;;) {
        if (bus->Ready.empty()) {
            if (bus->Stopping) break;
            bus->ReadyChanged.wait(lock);
            continue;
        }
        if (index >= bus->ActiveWorkers && !bus->Stopping) {
            bus->ReadyChanged.wait(lock);
            continue;
        }
        Completion c = bus->Ready.front();
        const uint64_t now = BusMicros(*bus);
        if (c.NotBefore > now && !bus->Stopping) {
            // Until AdvanceBusClock, or the kernel's clock reaches it.
            if (bus->ManualClock || bus->VirtualClock) bus->ReadyChanged.wait(lock);
            else bus->ReadyChanged.wait_until(lock, bus->Start + std::chrono::microseconds(c.NotBefore));
            continue;
        }
        bus->Ready.pop_front();
        EndpointQueue &q = bus->Ports.at(c.Port)->Endpoints[c.QueueEndpoint];
        bus->ReadyChanged.wait(lock, [&] { return q.NextToComplete == c.Ticket; });
        q.NextToComplete++;
        bus->ReadyChanged.notify_all();
        lock.unlock();
        KIRQL old = KfRaiseIrql(DISPATCH_LEVEL);
        IofCompleteRequest(c.Irp, IO_NO_INCREMENT);
        KeLowerIrql(old);
        lock.lock();
        if (q.Completing != 0) q.Completing--;
        bus->Changed.notify_all();
        if (c.Held) sim::ReleaseTime();  // last: virtual time may move on now
    }
}

}  // namespace

void RunClockPasses(Bus &bus) {
    const uint64_t target = BusMicros(bus) / kMicrosPerFrame;
    std::vector<Completion> done;
    while (bus.LastPassFrame < target) {
        const uint64_t frame = ++bus.LastPassFrame;
        if (!ClockPass(bus, frame * kMicrosPerFrame, &done)) {
            // Nothing is queued, and nothing can be while the lock is held:
            // the frames left to target are idle.
            bus.LastPassFrame = target;
            bus.LastCreditMicroframe =
                std::max<uint64_t>(bus.LastCreditMicroframe, target * kMicroframesPerFrame);
        }
    }
    DeliverLater(bus, done);
}

void ResetClockPasses(Bus &bus) {
    const uint64_t now = BusMicros(bus);
    bus.LastPassFrame = now / kMicrosPerFrame;
    bus.LastCreditMicroframe = now / kMicrosPerMicroframe;
    bus.HighSpeedCredit = 0;
    bus.FullSpeedCredit = 0;
}

uint64_t BusMicros(Bus &bus) {
    if (bus.ManualClock) return bus.ManualMicros;
    if (bus.VirtualClock) return (uint64_t)((int64_t)sim::KernelTimeMicros() + bus.VirtualOffset);
    return (uint64_t)std::chrono::duration_cast<std::chrono::microseconds>(
               std::chrono::steady_clock::now() - bus.Start)
        .count();
}

Knobs MergedKnobs(Port &port, uint8_t endpoint) {
    Knobs k;
    for (int key : {(int)endpoint, kAnyEndpoint}) {
        auto it = port.EndpointKnobs.find(key);
        if (it == port.EndpointKnobs.end()) continue;
        k.LatencyFrames = std::max(k.LatencyFrames, it->second.LatencyFrames);
        k.NeverAnswer = k.NeverAnswer || it->second.NeverAnswer;
        k.ControlStall = k.ControlStall || (endpoint == 0 && it->second.ControlStall);
    }
    return k;
}

bool TakeFailNext(Port &port, uint8_t endpoint, Knobs *how) {
    for (int key : {(int)endpoint, kAnyEndpoint}) {
        auto it = port.EndpointKnobs.find(key);
        if (it == port.EndpointKnobs.end() || it->second.FailCount == 0) continue;
        if (it->second.PassBeforeFail > 0) {
            --it->second.PassBeforeFail;
            return false;
        }
        --it->second.FailCount;
        *how = it->second;
        return true;
    }
    return false;
}

bool TakeIsoPacketFailure(Port &port, uint8_t endpoint, USBD_STATUS *status) {
    for (int key : {(int)endpoint, kAnyEndpoint}) {
        auto it = port.EndpointKnobs.find(key);
        if (it == port.EndpointKnobs.end() || it->second.IsoPacketFailCount == 0) continue;
        --it->second.IsoPacketFailCount;
        *status = it->second.IsoPacketFailStatus;
        return true;
    }
    return false;
}

void FinishTransfer(Bus &bus, Port &port, Transfer *t, USBD_STATUS status, std::vector<Completion> *out) {
    // A transfer the clock finishes ends at its pass's bus time (earlier than
    // now when a late clock catches up).
    const uint64_t now = bus.InPass ? bus.PassMicros : BusMicros(bus);
    PURB urb = t->Urb;
    urb->UrbHeader.Status = status;
    switch (t->Kind) {
        case TransferKind::Control:
            if (urb->UrbHeader.Function != URB_FUNCTION_SET_FEATURE_TO_DEVICE &&
                urb->UrbHeader.Function != URB_FUNCTION_SET_FEATURE_TO_INTERFACE &&
                urb->UrbHeader.Function != URB_FUNCTION_SET_FEATURE_TO_ENDPOINT &&
                urb->UrbHeader.Function != URB_FUNCTION_SET_FEATURE_TO_OTHER &&
                urb->UrbHeader.Function != URB_FUNCTION_CLEAR_FEATURE_TO_DEVICE &&
                urb->UrbHeader.Function != URB_FUNCTION_CLEAR_FEATURE_TO_INTERFACE &&
                urb->UrbHeader.Function != URB_FUNCTION_CLEAR_FEATURE_TO_ENDPOINT &&
                urb->UrbHeader.Function != URB_FUNCTION_CLEAR_FEATURE_TO_OTHER)
                urb->UrbControlTransfer.TransferBufferLength = t->Done;
            break;
        case TransferKind::Data:
            urb->UrbBulkOrInterruptTransfer.TransferBufferLength = t->Done;
            break;
        case TransferKind::Isochronous:
            urb->UrbIsochronousTransfer.TransferBufferLength = t->Done;
            if (t->Forced || status == USBD_STATUS_CANCELED || status == USBD_STATUS_DEVICE_GONE) {
                // Packets that never reached the bus: each carries the request's status.
                struct _URB_ISOCH_TRANSFER &u = urb->UrbIsochronousTransfer;
                u.ErrorCount = u.NumberOfPackets;
                t->Record.IsoPackets.clear();
                for (ULONG j = 0; j < u.NumberOfPackets; ++j) {
                    u.IsoPacket[j].Length = 0;
                    u.IsoPacket[j].Status = status;
                    t->Record.IsoPackets.push_back(WireIsoPacket{u.IsoPacket[j].Offset, 0, status});
                }
            }
            break;
        default:
            break;
    }
    t->Irp->IoStatus.Status = t->Forced && t->ForcedIrp ? t->ForcedIrpStatus : StatusForUsbd(status);
    t->Irp->IoStatus.Information = 0;
    // A bulk or interrupt pipe stops after an error until the client resets it.
    if (t->Kind == TransferKind::Data && !t->Refused && HaltsPipe(status))
        port.Endpoints[t->QueueEndpoint].Halted = true;

    WireRecord &r = t->Record;
    r.Status = status;
    r.ActualLength = t->Done;
    r.CompleteMicros = now;
    const bool onWire = !t->Refused && (t->Kind != TransferKind::ResetPipe || t->ClearHalt);
    if (onWire) {
        uint32_t n = t->Kind == TransferKind::Isochronous ? t->Length : t->Done;
        n = (uint32_t)std::min<size_t>(n, WireLogDataLimit());  // what the log keeps
        if (t->Buffer != nullptr && n != 0) r.Data.assign(t->Buffer, t->Buffer + n);
        if (t->Kind == TransferKind::SelectConfiguration || t->Kind == TransferKind::SelectInterface ||
            t->Kind == TransferKind::ResetPipe)
            EmitSubmit(bus, port, t, now);
        EmitComplete(bus, port, t, now);
        LogRecord(r);
    }
    port.Endpoints[t->QueueEndpoint].Completing++;
    out->push_back(Completion{t->Irp, port.Number, t->QueueEndpoint});
    delete t;
}

void FlushQueue(Bus &bus, Port &port, uint8_t endpoint, USBD_STATUS status, std::vector<Completion> *out) {
    auto e = port.Endpoints.find(endpoint);
    if (e == port.Endpoints.end()) return;
    EndpointQueue &q = e->second;
    for (auto it = q.Queue.begin(); it != q.Queue.end();) {
        Transfer *t = *it;
        if (t->Aborted) {
            q.Aborting--;
        } else if (IoSetCancelRoutine(t->Irp, nullptr) == nullptr) {
            ++it;
            continue;
        }
        it = q.Queue.erase(it);
        FinishTransfer(bus, port, t, t->Aborted ? USBD_STATUS_CANCELED : status, out);
    }
    q.NextIsoMicroframe = 0;
}

void AbortQueue(Bus &bus, Port &port, uint8_t endpoint) {
    auto e = port.Endpoints.find(endpoint);
    if (e == port.Endpoints.end()) return;
    EndpointQueue &q = e->second;
    // The endpoint's latency knob slows its cancellations as well.
    const uint64_t due = FrameOf(BusMicros(bus)) + kAbortDelayFrames + MergedKnobs(port, endpoint).LatencyFrames;
    for (Transfer *t : q.Queue) {
        if (t->Aborted || IoSetCancelRoutine(t->Irp, nullptr) == nullptr) continue;
        t->Aborted = true;
        t->AbortDueFrame = due;
        q.Aborting++;
    }
    q.NextIsoMicroframe = 0;
}

// Reordered delivery: c goes to a random place in Ready after the last
// completion of its own endpoint (whose order the tickets keep anyway, and
// which a bus thread must never wait behind), and may be held back up to two
// frames.
void PlaceReordered(Bus &bus, Completion &c) {
    size_t after = 0;
    for (size_t i = bus.Ready.size(); i > 0; --i) {
        const Completion &other = bus.Ready[i - 1];
        if (other.Port == c.Port && other.QueueEndpoint == c.QueueEndpoint) {
            after = i;
            break;
        }
    }
    const size_t at = after + bus.ReorderRandom() % (bus.Ready.size() - after + 1);
    // (Not under a manual clock, which moves only when a test moves it.)
    if (!bus.ManualClock) c.NotBefore += bus.ReorderRandom() % (2 * kMicrosPerFrame + 1);
    bus.Ready.insert(bus.Ready.begin() + (std::ptrdiff_t)at, c);
}

void DeliverLater(Bus &bus, std::vector<Completion> &list) {
    if (list.empty()) return;
    const uint64_t now = BusMicros(bus);
    const uint64_t when = now + bus.CompletionDelayMicros;
    for (Completion &c : list) {
        EndpointQueue &q = bus.Ports.at(c.Port)->Endpoints[c.QueueEndpoint];
        c.Ticket = q.NextTicket++;
        c.NotBefore = when;
        if (bus.ReorderCompletions) PlaceReordered(bus, c);
        else bus.Ready.push_back(c);
    }
    if (bus.VirtualClock) HoldDueCompletions(bus, now);
    list.clear();
    // Under virtual time with one bus thread the kernel's clock completes
    // what is due itself (VirtualClockSource::AdvancedTo): a bus thread would
    // only be woken to find nothing left.
    if (ClockCompletesAlone(bus)) return;
    StartWorkers(bus);
    bus.ReadyChanged.notify_all();
}

bool ClockCompletesAlone(const Bus &bus) {
    return bus.VirtualClock && !bus.ManualClock && bus.ActiveWorkers == 1;
}

void StartWorkers(Bus &bus) {
    if (!bus.VirtualClock || bus.Stopping) return;
    while (bus.Workers.size() < bus.ActiveWorkers)
        bus.Workers.emplace_back(CompletionThread, &bus, (unsigned)bus.Workers.size());
}

// Virtual time: completions due by now count as work that can run until a
// bus thread has completed them. Lock held.
void HoldDueCompletions(Bus &bus, uint64_t now) {
    for (Completion &c : bus.Ready) {
        if (c.Held || c.NotBefore > now) continue;
        c.Held = true;
        sim::HoldTime();
    }
}

namespace {

class VirtualClockSource : public sim::TimeSource {
public:
    explicit VirtualClockSource(Bus &bus) : bus_(bus) {}

    // The next frame boundary while anything is queued on a connected port,
    // or the earliest delayed completion, in kernel time.
    uint64_t NextDueMicros() override {
        std::lock_guard<std::mutex> g(bus_.Lock);
        if (bus_.ManualClock || bus_.Stopping) return UINT64_MAX;
        uint64_t due = UINT64_MAX;
        bool busy = false;
        for (auto &p : bus_.Ports) {
            if (!p.second->Connected) continue;
            for (auto &e : p.second->Endpoints)
                if (!e.second.Queue.empty()) busy = true;
        }
        if (busy) due = (bus_.LastPassFrame + 1) * kMicrosPerFrame;
        for (const Completion &c : bus_.Ready)
            if (!c.Held) due = std::min(due, c.NotBefore);
        if (due == UINT64_MAX) return due;
        const int64_t kernel = (int64_t)due - bus_.VirtualOffset;
        return kernel < 0 ? 0 : (uint64_t)kernel;
    }

    // With one bus thread (SetCompletionThreads(1)) the clock's thread is
    // that thread: it completes what is due itself, in order, each routine
    // returning before the next starts, and saves a thread switch per frame.
    // (Nothing else is completing now: time moves only when every completion
    // due has been completed.)
    void AdvancedTo(uint64_t nowMicros) override {
        (void)nowMicros;  // BusMicros reads the kernel's time itself
        std::vector<Completion> mine;
        {
            std::lock_guard<std::mutex> g(bus_.Lock);
            if (bus_.ManualClock || bus_.Stopping) return;
            RunClockPasses(bus_);
            const uint64_t now = BusMicros(bus_);
            HoldDueCompletions(bus_, now);
            if (bus_.ActiveWorkers == 1) {
                for (auto it = bus_.Ready.begin(); it != bus_.Ready.end();) {
                    EndpointQueue &q = bus_.Ports.at(it->Port)->Endpoints[it->QueueEndpoint];
                    if (it->NotBefore > now || q.NextToComplete != it->Ticket) {
                        ++it;
                        continue;
                    }
                    q.NextToComplete++;
                    mine.push_back(*it);
                    it = bus_.Ready.erase(it);
                }
            }
            bus_.ReadyChanged.notify_all();
        }
        for (const Completion &c : mine) {
            KIRQL old = KfRaiseIrql(DISPATCH_LEVEL);
            IofCompleteRequest(c.Irp, IO_NO_INCREMENT);
            KeLowerIrql(old);
            std::lock_guard<std::mutex> g(bus_.Lock);
            auto p = bus_.Ports.find(c.Port);
            if (p != bus_.Ports.end()) {
                EndpointQueue &q = p->second->Endpoints[c.QueueEndpoint];
                if (q.Completing != 0) q.Completing--;
            }
            bus_.Changed.notify_all();
            bus_.ReadyChanged.notify_all();
            if (c.Held) sim::ReleaseTime();
        }
    }

private:
    Bus &bus_;
};

}  // namespace

std::unique_ptr<sim::TimeSource> MakeVirtualClockSource(Bus &bus) {
    return std::unique_ptr<sim::TimeSource>(new VirtualClockSource(bus));
}

void FlushAllQueues(Bus &bus, Port &port, USBD_STATUS status, std::vector<Completion> *out) {
    std::vector<uint8_t> endpoints;
    for (auto &e : port.Endpoints) endpoints.push_back(e.first);
    for (uint8_t e : endpoints) FlushQueue(bus, port, e, status, out);
}

void ClosePipes(Bus &bus, Port &port, int interfaceNumber, std::vector<Completion> *out) {
    ReleaseInterface(port, interfaceNumber);
    for (auto it = bus.Pipes.begin(); it != bus.Pipes.end();) {
        const Pipe &p = it->second;
        if (p.Port == port.Number && (interfaceNumber < 0 || p.InterfaceNumber == interfaceNumber)) {
            FlushQueue(bus, port, p.Endpoint, USBD_STATUS_CANCELED, out);
            it = bus.Pipes.erase(it);
        } else {
            ++it;
        }
    }
}

NTSTATUS StartTransfer(Bus &bus, Transfer *t) {
    std::vector<Completion> done;
    NTSTATUS result = STATUS_PENDING;
    {
        std::lock_guard<std::mutex> g(bus.Lock);
        Port &port = *bus.Ports.at(t->Port);
        const uint64_t now = BusMicros(bus);
        t->Record.Sequence = ++bus.NextSequence;
        t->Record.Port = port.Number;
        t->Record.SubmitMicros = now;
        t->Record.Endpoint = t->Endpoint;
        if (t->Kind == TransferKind::Control) t->Record.Endpoint = t->Record.In ? 0x80 : 0x00;

        // The camera may have gone between the submission's checks and this
        // point (SubmitUrb releases the bus lock before starting the
        // transfer): a flush has already run, so nothing may be queued now.
        if (!port.Connected || port.PdoRemoved) {
            t->Refused = true;  // it never reached the wire
            FinishTransfer(bus, port, t, USBD_STATUS_DEVICE_GONE, &done);
            result = StatusForUsbd(USBD_STATUS_DEVICE_GONE);
            goto Started;
        }

        Knobs how;
        if (TakeFailNext(port, t->Endpoint, &how)) {
            t->Forced = true;
            t->ForcedStatus = how.FailStatus;
            t->ForcedIrp = how.FailIrp;
            t->ForcedIrpStatus = how.FailIrpStatus;
        }
        // Latency is the queue's: a pipe reset travels the default pipe.
        t->DueFrame = FrameOf(now) + 1 + MergedKnobs(port, t->QueueEndpoint).LatencyFrames;

        EndpointQueue &q = port.Endpoints[t->QueueEndpoint];
        if (port.InlineFailures && q.Aborting != 0 && !t->Forced) {
            // A pipe whose abort is still cancelling: refused inside IofCallDriver.
            t->Refused = true;
            FinishTransfer(bus, port, t, USBD_STATUS_CANCELED, &done);
            result = StatusForUsbd(USBD_STATUS_CANCELED);
            goto Started;
        }
        // An isochronous request failed by a knob still takes its frames: it
        // fails there, and the stream goes on after it.
        if (t->Kind == TransferKind::Isochronous) {
            struct _URB_ISOCH_TRANSFER &u = t->Urb->UrbIsochronousTransfer;
            const uint64_t nowMicroframe = now / kMicrosPerMicroframe;
            const uint64_t nextFrameStart = (nowMicroframe / kMicroframesPerFrame + 1) * kMicroframesPerFrame;
            const uint64_t window = kAsapIdleFrames * kMicroframesPerFrame;
            uint64_t start;
            if (u.TransferFlags & USBD_START_ISO_TRANSFER_ASAP) {
                // ASAP continues the endpoint's stream, even into the past,
                // unless the stream has been idle for 1024 frames.
                const uint64_t last = q.NextIsoMicroframe;
                const bool continues = last != 0 && last + window > nowMicroframe && last < nowMicroframe + window;
                start = continues ? last : nextFrameStart;
            } else {
                const uint32_t frame = FrameOf(now);
                if ((int32_t)(u.StartFrame - frame) <= 0 ||
                    (u.StartFrame - frame) > USBD_ISO_START_FRAME_RANGE) {
                    t->Forced = true;
                    t->ForcedStatus = USBD_STATUS_BAD_START_FRAME;
                }
                start = (uint64_t)u.StartFrame * kMicroframesPerFrame;
            }
            if (!t->Forced || t->ForcedStatus != USBD_STATUS_BAD_START_FRAME) {
                t->IsoScheduled = true;
                t->IsoStart = start;
                if (start < nextFrameStart)
                    t->IsoLate = (uint32_t)std::min<uint64_t>(
                        u.NumberOfPackets, (nextFrameStart - start + t->IsoPeriod - 1) / t->IsoPeriod);
                q.NextIsoMicroframe = start + (uint64_t)u.NumberOfPackets * t->IsoPeriod;
                u.StartFrame = (ULONG)(start / kMicroframesPerFrame);
                t->Record.StartFrame = u.StartFrame;
            }
        }
        // Configuration requests show on the wire only once the bus has
        // checked them; FinishTransfer writes both of their events.
        if (t->Kind == TransferKind::Control || t->Kind == TransferKind::Data ||
            t->Kind == TransferKind::Isochronous)
            EmitSubmit(bus, port, t, now);

        bool finished = false;
        if (t->Forced && port.InlineFailures) {
            result = t->ForcedIrp ? t->ForcedIrpStatus : StatusForUsbd(t->ForcedStatus);
            FinishTransfer(bus, port, t, t->ForcedStatus, &done);
            finished = true;
        } else if (port.Mode == CompletionMode::Inline && q.Queue.empty() && !q.Halted &&
                   t->Kind != TransferKind::Isochronous) {
            USBD_STATUS status = USBD_STATUS_SUCCESS;
            Replenish(bus, now);
            Budget budget = BudgetFor(bus, port, q, t, now);
            if (Step(bus, port, t, now, true, &status, &done, budget)) {
                result = t->Forced && t->ForcedIrp ? t->ForcedIrpStatus : StatusForUsbd(status);
                FinishTransfer(bus, port, t, status, &done);
                finished = true;
            }
        }
        if (!finished) {
            IoMarkIrpPending(t->Irp);
            t->Irp->Tail.Overlay.DriverContext[0] = t;
            IoSetCancelRoutine(t->Irp, BusCancelRoutine);
            if (CancelRequested(t->Irp) && IoSetCancelRoutine(t->Irp, nullptr) != nullptr) {
                FinishTransfer(bus, port, t, USBD_STATUS_CANCELED, &done);
            } else {
                q.Queue.push_back(t);
                if (bus.VirtualClock) sim::TimeSourceChanged();
            }
            result = STATUS_PENDING;
        }
    }
Started:
    CompleteAll(bus, done, false);
    return result;
}

void CompleteAll(Bus &bus, std::vector<Completion> &list, bool raise) {
    if (list.empty()) return;
    KIRQL old = 0;
    if (raise) old = KfRaiseIrql(DISPATCH_LEVEL);
    for (const Completion &c : list) IofCompleteRequest(c.Irp, IO_NO_INCREMENT);
    if (raise) KeLowerIrql(old);
    std::lock_guard<std::mutex> g(bus.Lock);
    for (const Completion &c : list) {
        auto p = bus.Ports.find(c.Port);
        if (p == bus.Ports.end()) continue;
        auto e = p->second->Endpoints.find(c.QueueEndpoint);
        if (e != p->second->Endpoints.end() && e->second.Completing != 0) e->second.Completing--;
    }
    bus.Changed.notify_all();
}

void BusCancelRoutine(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    (void)DeviceObject;
    IoReleaseCancelSpinLock(Irp->CancelIrql);
    Bus *bus = g_bus;
    if (bus == nullptr) return;
    Transfer *t = static_cast<Transfer *>(Irp->Tail.Overlay.DriverContext[0]);
    std::vector<Completion> done;
    {
        std::lock_guard<std::mutex> g(bus->Lock);
        Port *port = FindPort(*bus, t->Port);
        if (port == nullptr) return;
        EndpointQueue &q = port->Endpoints[t->QueueEndpoint];
        auto it = std::find(q.Queue.begin(), q.Queue.end(), t);
        if (it == q.Queue.end()) return;  // cannot happen: only the owner removes it
        q.Queue.erase(it);
        FinishTransfer(*bus, *port, t, USBD_STATUS_CANCELED, &done);
    }
    CompleteAll(*bus, done, false);
}

void ClockStart(Bus &bus) {
    bus.Stopping = false;
    // Under virtual time the kernel's clock serves the frames, and the bus
    // threads are started as completions first need them (a fuzz input
    // starts a bus of its own: threads it never uses cost time).
    if (bus.VirtualClock) return;
    bus.Clock = std::thread(ClockThread, &bus);
    for (unsigned i = 0; i < kCompletionThreads; ++i) bus.Workers.emplace_back(CompletionThread, &bus, i);
}

void ClockStop(Bus &bus) {
    {
        std::lock_guard<std::mutex> g(bus.Lock);
        bus.Stopping = true;
    }
    bus.Changed.notify_all();
    bus.ReadyChanged.notify_all();
    if (bus.Clock.joinable()) bus.Clock.join();
    // The bus threads deliver what is still waiting, then end.
    for (std::thread &w : bus.Workers)
        if (w.joinable()) w.join();
    bus.Workers.clear();
}

}  // namespace usb
}  // namespace sim
