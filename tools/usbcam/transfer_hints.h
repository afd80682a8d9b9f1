// Why a pipe transfer or a stream failed, where usbcam can tell: the camera
// went away, the pipe's direction or type does not fit the command, the
// request waited the driver's whole time-out, the camera sent more than a
// frame's worth was asked for, the pipe is halted, or a size exceeds what the
// pipe takes. Each answer is the hint after "try:" of the failure line: the
// cause, then the one next step. "" when nothing specific is known (the
// caller then gives the status's generic hint).
#pragma once

#include <stdint.h>

#include <string>

#include "usbcam/camera.h"
#include "usbcam/descriptors.h"

namespace usbcam {
namespace cli {

// True for the statuses of a camera that is gone or being removed.
bool IsGoneStatus(uint32_t status);

// True when the camera behind this handle is gone: the failed request or
// the last USB status (read before, lastUsb) says so, or, for a request the
// camera did not finish, a descriptor request sent now does.
bool CameraGone(Camera *camera, uint32_t failedStatus, int32_t lastUsb);

// One isochronous pipe's packet size: the bytes it carries an interval.
uint32_t IsoPacketBytes(const PipeEntry &pipe);

// What the command knew about the transfer it asked for.
struct TransferFacts {
    const char *Verb = "read";  // "read", "write", "capture": the command's name
    bool Reading = true;
    uint32_t Pipe = 0;
    uint64_t Length = 0;
    bool Large = false;        // the segmented transfer
    bool Frame = false;        // a frame read (capture, view, demo: --bytes)
    double Seconds = 0;        // how long the request took
    int32_t TimeoutMs = 3000;  // the driver's time-out (0 or less: not known)
};

// lastUsb: the last USB status, read right after the failure (before the
// hint's own requests, which may change it).
std::string TransferHint(Camera *camera, const IoOutcome &outcome, int32_t lastUsb, const TransferFacts &facts);

// The hint for a stream whose read failed after `packets` packets arrived.
std::string StreamHint(Camera *camera, const IoOutcome &outcome, int32_t lastUsb, uint32_t pipe,
                       uint32_t perRequest, uint32_t packetSize, uint64_t packets);

extern const char *const kGoneHint;

}  // namespace cli
}  // namespace usbcam
