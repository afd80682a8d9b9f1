// Internal state of the emulated bus driver, shared by its dispatch routines
// (bus_driver.cpp), its transfer engine and clock (bus_engine.cpp) and the
// host control interface (bus_control.cpp).
//
// One host mutex, Bus::Lock, guards everything here. It is never held across
// IofCompleteRequest or any other call into the driver above (completion
// routines run inside those calls and may submit to the bus again), and it is
// only ever taken after the kernel's cancel spin lock has been released.
#pragma once

#include <stdint.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <list>
#include <map>
#include <memory>
#include <mutex>
#include <random>
#include <thread>
#include <unordered_map>
#include <vector>

#include "camera_model.h"
#include "pcap_writer.h"
#include "periodic_bandwidth.h"
#include "sim/kernel.h"
#include "sim/usb.h"
#include "sim/urb_answer.h"
#include "sim/usbbus.h"

namespace sim {
namespace usb {

constexpr ULONG kPdoMagic = 0x42505355;  // 'USPB'

// The device extension of every PDO the bus creates.
struct PdoExtension {
    ULONG Magic;
    int Port;
};

// Composite devices: the bus plays the composite parent's part itself (see
// sim/usb/README.md). The port's PDO is then the child PDO of one function.

enum class TransferKind {
    Control,              // a control URB turned into one setup packet
    SelectConfiguration,  // SET_CONFIGURATION (+ SET_INTERFACE) and pipe opening
    SelectInterface,      // SET_INTERFACE and pipe reopening
    ResetPipe,            // host-side reset, CLEAR_FEATURE(ENDPOINT_HALT) if asked
    Data,                 // bulk or interrupt
    Isochronous,
};

// One URB in flight, owned by the bus from submission to completion.
struct Transfer {
    PIRP Irp;
    PURB Urb;
    int Port;
    uint8_t QueueEndpoint;  // the queue it waits in (0: the default pipe)
    uint8_t Endpoint;       // endpoint address it addresses (knobs, log)
    TransferKind Kind;
    WireRecord Record;  // the wire view, completed at completion
    uint8_t *Buffer;
    uint32_t Length;
    uint32_t Done;
    uint16_t MaxPacket;
    uint64_t DueFrame;
    bool Forced;  // failed by a knob, without reaching the camera
    USBD_STATUS ForcedStatus;
    bool ForcedIrp;  // ... with this IRP status instead of the mapped one
    NTSTATUS ForcedIrpStatus;
    bool ClearHalt;          // ResetPipe: send CLEAR_FEATURE(ENDPOINT_HALT)
    bool Refused;            // refused by the bus before reaching the wire
    uint64_t IsoStart;       // first microframe
    uint32_t IsoPeriod;      // microframes per packet
    uint32_t PollPeriod;     // interrupt: microframes between polls (0: bulk)
    bool IsoScheduled;       // has its frames (IsoStart), knob-failed ones too
    uint32_t IsoLate;        // leading packets whose microframes had passed at submission
    bool Aborted;            // taken by URB_FUNCTION_ABORT_PIPE; completes as
    uint64_t AbortDueFrame;  // cancelled from the bus clock at this frame
};

struct Knobs {
    uint32_t LatencyFrames = 0;
    bool NeverAnswer = false;
    uint32_t PassBeforeFail = 0;  // requests let through before FailCount applies
    uint32_t FailCount = 0;
    USBD_STATUS FailStatus = USBD_STATUS_SUCCESS;
    bool FailIrp = false;
    NTSTATUS FailIrpStatus = STATUS_SUCCESS;
    bool ControlStall = false;
    uint32_t IsoPacketFailCount = 0;  // isochronous packets still to fail (FailIsoPackets)
    USBD_STATUS IsoPacketFailStatus = USBD_STATUS_SUCCESS;
};

struct EndpointQueue {
    std::list<Transfer *> Queue;
    uint64_t NextIsoMicroframe = 0;
    uint32_t Completing = 0;          // taken out, IofCompleteRequest not yet returned
    bool Halted = false;              // host side: a transfer failed; cleared by a pipe reset
    uint32_t Aborting = 0;            // aborted transfers still queued
    uint64_t NextPollMicroframe = 0;  // interrupt endpoints: next polling slot
    // Completion order: tickets handed out as completions are queued for the
    // bus threads; a bus thread calls IofCompleteRequest for ticket k only
    // after the one with ticket k - 1 has called it.
    uint64_t NextTicket = 0;
    uint64_t NextToComplete = 0;
};

struct Pipe {
    int Port;
    uint8_t Endpoint;
    uint8_t InterfaceNumber;
    uint8_t Type;
    uint8_t Interval;
    uint16_t MaxPacket;
    ULONG MaxTransfer;
};

struct Port {
    int Number = 0;
    PDEVICE_OBJECT Pdo = nullptr;
    std::unique_ptr<CameraModel> Camera;
    bool Connected = true;
    bool PdoRemoved = false;
    ULONG PortStatus = USBD_PORT_ENABLED | USBD_PORT_CONNECTED;
    CompletionMode Mode = CompletionMode::Async;
    std::map<int, Knobs> EndpointKnobs;  // kAnyEndpoint included
    PVOID ConfigurationHandle = nullptr;
    std::map<uint8_t, PVOID> InterfaceHandles;
    std::map<uint8_t, EndpointQueue> Endpoints;
    uint32_t ResetCount = 0;
    uint32_t FailResetCount = 0;
    NTSTATUS FailResetStatus = STATUS_SUCCESS;
    uint32_t FailStatusCount = 0;
    NTSTATUS FailStatusStatus = STATUS_SUCCESS;
    uint8_t Address = 0;
    bool InlineFailures = false;
    // Composite devices: the function whose child PDO Pdo is (-1: the PDO is
    // the device's own), and the interface information the composite parent
    // last obtained per interface number, handed to the child's selections.
    int Function = -1;
    std::map<uint8_t, std::vector<uint8_t>> InterfaceInfos;
    // References on the bus interface (IRP_MN_QUERY_INTERFACE) not yet given back.
    uint32_t InterfaceReferences = 0;
    // The bus (root hub) the port belongs to, and the periodic bandwidth the
    // endpoints of its selected settings hold there: added when a selection
    // opens their pipes, given back when the pipes close (ClosePipes) or the
    // device is surprise-removed.
    int BusNumber = 1;
    std::vector<PeriodicReservation> Periodic;
};

// An IRP finished under the lock, to be completed after it is released.
struct Completion {
    PIRP Irp;
    int Port;
    uint8_t QueueEndpoint;
    uint64_t Ticket = 0;     // bus threads only: order on the endpoint
    uint64_t NotBefore = 0;  // bus threads only: bus time of delivery (slow DPCs)
    bool Held = false;       // virtual time: counted as work that can run (HoldTime)
};

constexpr unsigned kCompletionThreads = 4;  // bus threads that complete requests

struct Bus {
    std::mutex Lock;
    std::condition_variable Changed;  // queues drained, completions finished
    PDRIVER_OBJECT Driver = nullptr;
    std::map<int, std::unique_ptr<Port>> Ports;
    std::unordered_map<uintptr_t, Pipe> Pipes;
    uint64_t NextHandle = 0;
    uint64_t NextSequence = 0;
    int NextPdoNumber = 0;
    std::chrono::steady_clock::time_point Start;
    uint64_t EpochMicros = 0;  // wall clock at Start, for captures
    std::thread Clock;
    bool Stopping = false;
    PcapWriter Pcap;
    // Completion delivery: bus threads take completions off Ready in order.
    std::deque<Completion> Ready;
    std::condition_variable ReadyChanged;
    std::vector<std::thread> Workers;
    unsigned ActiveWorkers = kCompletionThreads;
    uint32_t CompletionDelayMicros = 0;
    // SetCompletionReorder: off, or the generator that places completions.
    bool ReorderCompletions = false;
    std::mt19937 ReorderRandom;
    // The clock: a pass runs for every frame boundary of bus time, up to
    // LastPassFrame; a clock thread that wakes late runs the passes it
    // missed. PassMicros is the bus time of the pass in progress (InPass).
    uint64_t LastPassFrame = 0;
    bool InPass = false;
    uint64_t PassMicros = 0;
    // Tests: bus time stands at ManualMicros and moves by AdvanceBusClock only.
    bool ManualClock = false;
    uint64_t ManualMicros = 0;
    // Under the kernel's virtual time (on at BusStart): bus time is kernel
    // time plus VirtualOffset, and the kernel's clock runs the passes
    // (VirtualClockSource) instead of the clock thread.
    bool VirtualClock = false;
    int64_t VirtualOffset = 0;
    std::unique_ptr<sim::TimeSource> ClockSource;
    // Bandwidth of bulk and interrupt traffic: packets the bus may still move,
    // per speed, accounted up to LastCreditMicroframe.
    bool BandwidthModel = true;
    uint64_t LastCreditMicroframe = 0;
    uint64_t HighSpeedCredit = 0;
    uint64_t FullSpeedCredit = 0;
    uint32_t PassCount = 0;  // rotates the first endpoint served in a pass
};

// The running bus, or nullptr. Set and cleared by BusStart/BusStop only.
extern std::atomic<Bus *> g_bus;

// Wire log, kept across bus restarts until cleared.
void LogRecord(const WireRecord &record);
// Bytes of a record's data the log keeps (WireLogSetLimits).
size_t WireLogDataLimit();

inline Port *FindPort(Bus &bus, int number) {
    auto it = bus.Ports.find(number);
    return it == bus.Ports.end() ? nullptr : it->second.get();
}

// --- bus_engine.cpp -------------------------------------------------------

// Bus time in microseconds since BusStart (moved by SetFrameNumber): the wall
// clock's, or the manual clock's. Lock held.
uint64_t BusMicros(Bus &bus);
// Runs the clock passes of every frame boundary from the last pass up to
// BusMicros, each with its own frame's bandwidth, and hands what they
// finished to the bus threads. Lock held.
void RunClockPasses(Bus &bus);
// After bus time jumped (SetFrameNumber, the manual clock switched): the
// passes and the bandwidth start again from now, nothing owed. Lock held.
void ResetClockPasses(Bus &bus);
inline uint32_t FrameOf(uint64_t micros) { return (uint32_t)(micros / 1000); }

// The knobs that apply to an endpoint: its own merged with the port-wide ones
// (kAnyEndpoint). Fail-next counts are not merged; StartTransfer consumes them.
Knobs MergedKnobs(Port &port, uint8_t endpoint);
// Consumes one fail-next count of the endpoint (or, failing that, of the
// port-wide knobs); true with the knobs that say how to fail.
bool TakeFailNext(Port &port, uint8_t endpoint, Knobs *how);
// Takes one packet of the FailIsoPackets knob of the endpoint (or of
// kAnyEndpoint): true with *status set when this packet fails.
bool TakeIsoPacketFailure(Port &port, uint8_t endpoint, USBD_STATUS *status);

// Puts a validated transfer in its queue (async) or runs it at once (inline
// mode with an idle queue). Returns the status for the dispatch routine to
// return. Takes and releases the lock itself.
NTSTATUS StartTransfer(Bus &bus, Transfer *t);

// Completes a transfer taken out of its queue (or never queued): fills the URB
// and the IRP, logs it. Lock held.
void FinishTransfer(Bus &bus, Port &port, Transfer *t, USBD_STATUS status,
                    std::vector<Completion> *out);

// Takes every transfer of a queue whose cancel routine can still be cleared and
// finishes it with status; the others are the cancel routine's. Lock held.
void FlushQueue(Bus &bus, Port &port, uint8_t endpoint, USBD_STATUS status,
                std::vector<Completion> *out);
void FlushAllQueues(Bus &bus, Port &port, USBD_STATUS status, std::vector<Completion> *out);

// Drops the pipe handles of one interface (or all, interfaceNumber < 0) and
// cancels the transfers queued on them; their periodic bandwidth goes back to
// the bus. Lock held.
void ClosePipes(Bus &bus, Port &port, int interfaceNumber, std::vector<Completion> *out);

// Completes IRPs outside the lock, at DISPATCH_LEVEL when raise is set.
void CompleteAll(Bus &bus, std::vector<Completion> &list, bool raise);
// Hands completions to the bus threads, in order. Lock held.
void DeliverLater(Bus &bus, std::vector<Completion> &list);
// Virtual time, not the manual clock, and one bus thread: the kernel's clock
// completes what is due itself and the bus threads are not needed. Lock held.
bool ClockCompletesAlone(const Bus &bus);
// Under virtual time the bus threads start when first needed. Lock held.
void StartWorkers(Bus &bus);

// URB_FUNCTION_ABORT_PIPE: marks every transfer queued at the endpoint for
// cancellation by the bus clock a frame or more from now. Lock held.
void AbortQueue(Bus &bus, Port &port, uint8_t endpoint);
// Transfers queued at the endpoint (aborted ones included). Lock held.
inline bool EndpointBusy(Port &port, uint8_t endpoint) {
    auto it = port.Endpoints.find(endpoint);
    return it != port.Endpoints.end() && !it->second.Queue.empty();
}

void ClockStart(Bus &bus);
void ClockStop(Bus &bus);
// Under virtual time: what the kernel's clock asks the bus (next frame with
// work, delayed completions) and tells it (time moved). Registered by
// BusStart, removed by BusStop.
std::unique_ptr<sim::TimeSource> MakeVirtualClockSource(Bus &bus);

DRIVER_CANCEL BusCancelRoutine;

// --- bus_bandwidth.cpp -----------------------------------------------------

// What the ports of one bus hold, leaving out the reservations of port except
// for interface exceptInterface (-1: all of them). Lock held.
PeriodicLoad BusLoad(const Bus &bus, int busNumber, const Port *except = nullptr, int exceptInterface = -1);
// Places the periodic endpoints of settings on the port's bus as if the
// port's reservations for interface replaced (-1: every interface) were given
// back: true with *placed filled when all fit, false when one does not (the
// selection is then refused with USBD_STATUS_NO_BANDWIDTH). Lock held.
bool FitSettings(const Bus &bus, const Port &port, int replaced, const std::vector<const InterfaceSetting *> &settings,
                 std::vector<PeriodicReservation> *placed);
// Adds the reservations of placed that belong to interfaceNumber to the port.
void ReserveInterface(Port &port, const std::vector<PeriodicReservation> &placed, uint8_t interfaceNumber);
// Gives back the port's reservations of one interface (or all, interfaceNumber < 0).
void ReleaseInterface(Port &port, int interfaceNumber);

// --- bus_driver.cpp -------------------------------------------------------

DRIVER_INITIALIZE BusDriverEntry;
// The IRP status a URB completes with (sim/urb_answer.h, shared by every bus).
using urbanswer::StatusForUsbd;
// Runs the bus-side work of a select-configuration, select-interface or
// reset-pipe transfer when it reaches the head of the default pipe. Lock held.
USBD_STATUS RunConfigurationTransfer(Bus &bus, Port &port, Transfer *t, uint64_t nowMicros,
                                     std::vector<Completion> *out);
// The composite parent's own selection when a composite device is plugged:
// the first configuration with every interface in alternate setting 0. Lock held.
USBD_STATUS CompositeParentConfigure(Bus &bus, Port &port);

}  // namespace usb
}  // namespace sim
