// The client library's typed interface: one call per control code of the
// driver, over an open Connection (either back end).
//
// Every call issues exactly one device-control request and returns what it
// came back with: the status and the byte count, unchanged (a call never
// turns a failure into something else, and never retries). Records are the
// packed ones of include/usbcam/usbcam_ioctl.h. Output buffers are the caller's;
// lengths are in bytes. Calls may be made from several threads at once, as
// the driver allows.
#pragma once

#include <stdint.h>

#include <memory>
#include <string>

#include "usbcam/usbcam_ioctl.h"
#include "usbcam/connection.h"

namespace usbcam {

// "STATUS_SUCCESS (0x00000000), 6 bytes"
std::string DescribeOutcome(const IoOutcome &outcome);

class Camera {
public:
    explicit Camera(std::unique_ptr<Connection> connection);

    // Opens camera `index` ("\\.\Tavrinoscope-N") through this platform's
    // back end; returns the open status, and *camera only on success.
    static uint32_t Open(unsigned index, std::unique_ptr<Camera> *camera);

    Connection &connection() { return *connection_; }

    // Any code, buffers as given: what `usbcam raw` sends.
    IoOutcome Raw(uint32_t code, const void *input, uint32_t inputLength, void *output,
                  uint32_t outputLength);

    // --- Descriptors and state (buffered) ---
    // The selected interface's information and pipe table (24 + 24 per pipe).
    IoOutcome GetInterfaceInfo(void *buffer, uint32_t length);
    // The 18-byte device descriptor.
    IoOutcome GetDeviceDescriptor(void *buffer, uint32_t length);
    // Up to `length` bytes of configuration descriptor 0 with what follows it.
    IoOutcome GetConfigDescriptor(void *buffer, uint32_t length);
    IoOutcome GetStringDescriptor(uint8_t descriptorIndex, uint16_t languageId, void *buffer,
                                  uint32_t length);
    IoOutcome GetFrameNumber(uint32_t *frameNumber);
    // The last USB-level error the driver saw (a USBD_STATUS).
    IoOutcome GetLastStatus(int32_t *usbdStatus);
    IoOutcome GetVersion(VersionRecord *version);
    IoOutcome Nop();

    // --- Requests to the camera ---
    // A device-to-host request's data land in `data` (its Length bytes must
    // fit `dataLength`); a host-to-device one sends request.Data and needs no
    // buffer (data may be null, dataLength 0).
    IoOutcome VendorRequest(const VendorRequestRecord &request, void *data, uint32_t dataLength);
    // Class or vendor request to any recipient; `data` is the data stage, read
    // or written according to request.Direction.
    IoOutcome ControlRequest(const ControlRequestRecord &request, void *data, uint32_t length);
    IoOutcome SetFeature(uint16_t featureSelector, uint16_t index);
    // Writes `data` into device memory at `address` (vendor request 0xA0).
    IoOutcome LoadMemory(uint16_t address, const void *data, uint32_t length);
    // Writes whole 512-byte blocks of `data` from device address 0; a partial
    // last block is not sent.
    IoOutcome LoadMemoryBlocks(const void *data, uint32_t length);

    // --- Interface, pipes and port ---
    IoOutcome SelectInterface(uint8_t interfaceNumber, uint8_t alternateSetting);
    IoOutcome ResetPipe(uint32_t pipeIndex);
    IoOutcome AbortPipe(uint32_t pipeIndex);
    IoOutcome ResetPort();
    // Sets the driver-wide transfer time-out; it changes only with selector 1.
    IoOutcome SetTimeout(int32_t milliseconds, uint32_t selector = 1);

    // --- Data transfer ---
    // The write codes hand the driver a buffer it may write into: the
    // direction of a transfer is the pipe's, so a write on a device-to-host
    // pipe brings the camera's bytes into `data`, and an isochronous write
    // fills the descriptors after the payload. Hence no const.
    IoOutcome ReadPipe(uint32_t pipeIndex, void *buffer, uint32_t length);
    IoOutcome WritePipe(uint32_t pipeIndex, void *data, uint32_t length);
    IoOutcome ReadPipeLarge(uint32_t pipeIndex, void *buffer, uint32_t length);
    IoOutcome WritePipeLarge(uint32_t pipeIndex, void *data, uint32_t length);
    // The buffer holds the payload of TotalPackets packets followed by their
    // 12-byte descriptors.
    IoOutcome IsoRead(const IsoReadRecord &record, void *buffer, uint32_t length);
    IoOutcome IsoWrite(const IsoReadRecord &record, void *data, uint32_t length);
    IoOutcome StartStream(const StreamStartRecord &record);
    IoOutcome StopStream();
    // Drains up to packetCount whole packets; `length` must be exactly
    // packetCount * (packetSize + 12), and packetSize the one the running
    // stream was started with (else STATUS_INVALID_PARAMETER, nothing taken).
    IoOutcome ReadStream(uint32_t packetSize, uint32_t packetCount, void *buffer,
                         uint32_t length);

private:
    IoOutcome Send(uint32_t code, const void *input, uint32_t inputLength, void *output,
                   uint32_t outputLength) {
        return connection_->Control(code, input, inputLength, output, outputLength);
    }

    std::unique_ptr<Connection> connection_;
};

}  // namespace usbcam
