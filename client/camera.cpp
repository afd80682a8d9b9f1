// Typed calls: each packs its record and issues one request.
#include "usbcam/camera.h"

#include <stdio.h>
#include <string.h>

#include <utility>

#include "usbcam/status_names.h"

namespace usbcam {

std::string DescribeOutcome(const IoOutcome &outcome) {
    char count[48];
    snprintf(count, sizeof count, ", %llu bytes",
             static_cast<unsigned long long>(outcome.Information));
    return FormatNtStatus(outcome.Status) + count;
}

Camera::Camera(std::unique_ptr<Connection> connection) : connection_(std::move(connection)) {}

uint32_t Camera::Open(unsigned index, std::unique_ptr<Camera> *camera) {
    camera->reset();
    std::unique_ptr<Connection> connection;
    const uint32_t status = OpenDevice(index, &connection);
    if (IsNtSuccess(status)) camera->reset(new Camera(std::move(connection)));
    return status;
}

IoOutcome Camera::Raw(uint32_t code, const void *input, uint32_t inputLength, void *output,
                      uint32_t outputLength) {
    return Send(code, input, inputLength, output, outputLength);
}

IoOutcome Camera::GetInterfaceInfo(void *buffer, uint32_t length) {
    return Send(IOCTL_USBCAM_GET_INTERFACE_INFO, nullptr, 0, buffer, length);
}

IoOutcome Camera::GetDeviceDescriptor(void *buffer, uint32_t length) {
    return Send(IOCTL_USBCAM_GET_DEVICE_DESCRIPTOR, nullptr, 0, buffer, length);
}

IoOutcome Camera::GetConfigDescriptor(void *buffer, uint32_t length) {
    return Send(IOCTL_USBCAM_GET_CONFIG_DESCRIPTOR, nullptr, 0, buffer, length);
}

IoOutcome Camera::GetStringDescriptor(uint8_t descriptorIndex, uint16_t languageId,
                                      void *buffer, uint32_t length) {
    StringDescriptorRequest request;
    request.DescriptorIndex = descriptorIndex;
    request.Reserved = 0;
    request.LanguageId = languageId;
    return Send(IOCTL_USBCAM_GET_STRING_DESCRIPTOR, &request, sizeof request, buffer, length);
}

IoOutcome Camera::GetFrameNumber(uint32_t *frameNumber) {
    uint32_t value = 0;
    const IoOutcome outcome = Send(IOCTL_USBCAM_GET_FRAME_NUMBER, nullptr, 0, &value, sizeof value);
    *frameNumber = value;
    return outcome;
}

IoOutcome Camera::GetLastStatus(int32_t *usbdStatus) {
    int32_t value = 0;
    const IoOutcome outcome = Send(IOCTL_USBCAM_GET_LAST_STATUS, nullptr, 0, &value, sizeof value);
    *usbdStatus = value;
    return outcome;
}

IoOutcome Camera::GetVersion(VersionRecord *version) {
    VersionRecord value;
    memset(&value, 0, sizeof value);
    const IoOutcome outcome = Send(IOCTL_USBCAM_GET_VERSION, nullptr, 0, &value, sizeof value);
    *version = value;
    return outcome;
}

IoOutcome Camera::Nop() { return Send(IOCTL_USBCAM_NOP, nullptr, 0, nullptr, 0); }

IoOutcome Camera::VendorRequest(const VendorRequestRecord &request, void *data,
                                uint32_t dataLength) {
    return Send(IOCTL_USBCAM_VENDOR_REQUEST, &request, sizeof request, data, dataLength);
}

IoOutcome Camera::ControlRequest(const ControlRequestRecord &request, void *data,
                                 uint32_t length) {
    return Send(IOCTL_USBCAM_CONTROL_REQUEST, &request, sizeof request, data, length);
}

IoOutcome Camera::SetFeature(uint16_t featureSelector, uint16_t index) {
    FeatureRecord record;
    record.FeatureSelector = featureSelector;
    record.Index = index;
    return Send(IOCTL_USBCAM_SET_FEATURE, &record, sizeof record, nullptr, 0);
}

IoOutcome Camera::LoadMemory(uint16_t address, const void *data, uint32_t length) {
    MemoryAddressRecord record;
    record.Address = address;
    // METHOD_IN_DIRECT: the second buffer carries data to the driver.
    return Send(IOCTL_USBCAM_LOAD_MEMORY, &record, sizeof record, const_cast<void *>(data),
                length);
}

IoOutcome Camera::LoadMemoryBlocks(const void *data, uint32_t length) {
    return Send(IOCTL_USBCAM_LOAD_MEMORY_BLOCKS, data, length, nullptr, 0);
}

IoOutcome Camera::SelectInterface(uint8_t interfaceNumber, uint8_t alternateSetting) {
    InterfaceSelection selection;
    selection.InterfaceNumber = interfaceNumber;
    selection.AlternateSetting = alternateSetting;
    return Send(IOCTL_USBCAM_SELECT_INTERFACE, &selection, sizeof selection, nullptr, 0);
}

IoOutcome Camera::ResetPipe(uint32_t pipeIndex) {
    PipeIndexRecord record;
    record.PipeIndex = pipeIndex;
    return Send(IOCTL_USBCAM_RESET_PIPE, &record, sizeof record, nullptr, 0);
}

IoOutcome Camera::AbortPipe(uint32_t pipeIndex) {
    PipeIndexRecord record;
    record.PipeIndex = pipeIndex;
    return Send(IOCTL_USBCAM_ABORT_PIPE, &record, sizeof record, nullptr, 0);
}

IoOutcome Camera::ResetPort() { return Send(IOCTL_USBCAM_RESET_PORT, nullptr, 0, nullptr, 0); }

IoOutcome Camera::SetTimeout(int32_t milliseconds, uint32_t selector) {
    TimeoutRecord record;
    record.Selector = selector;
    record.Milliseconds = milliseconds;
    return Send(IOCTL_USBCAM_SET_TIMEOUT, &record, sizeof record, nullptr, 0);
}

IoOutcome Camera::ReadPipe(uint32_t pipeIndex, void *buffer, uint32_t length) {
    PipeIndexRecord record;
    record.PipeIndex = pipeIndex;
    return Send(IOCTL_USBCAM_READ_PIPE, &record, sizeof record, buffer, length);
}

IoOutcome Camera::WritePipe(uint32_t pipeIndex, void *data, uint32_t length) {
    PipeIndexRecord record;
    record.PipeIndex = pipeIndex;
    return Send(IOCTL_USBCAM_WRITE_PIPE, &record, sizeof record, data, length);
}

IoOutcome Camera::ReadPipeLarge(uint32_t pipeIndex, void *buffer, uint32_t length) {
    PipeIndexRecord record;
    record.PipeIndex = pipeIndex;
    return Send(IOCTL_USBCAM_READ_PIPE_LARGE, &record, sizeof record, buffer, length);
}

IoOutcome Camera::WritePipeLarge(uint32_t pipeIndex, void *data, uint32_t length) {
    PipeIndexRecord record;
    record.PipeIndex = pipeIndex;
    return Send(IOCTL_USBCAM_WRITE_PIPE_LARGE, &record, sizeof record, data, length);
}

IoOutcome Camera::IsoRead(const IsoReadRecord &record, void *buffer, uint32_t length) {
    return Send(IOCTL_USBCAM_ISO_READ, &record, sizeof record, buffer, length);
}

IoOutcome Camera::IsoWrite(const IsoReadRecord &record, void *data, uint32_t length) {
    return Send(IOCTL_USBCAM_ISO_WRITE, &record, sizeof record, data, length);
}

IoOutcome Camera::StartStream(const StreamStartRecord &record) {
    return Send(IOCTL_USBCAM_START_STREAM, &record, sizeof record, nullptr, 0);
}

IoOutcome Camera::StopStream() { return Send(IOCTL_USBCAM_STOP_STREAM, nullptr, 0, nullptr, 0); }

IoOutcome Camera::ReadStream(uint32_t packetSize, uint32_t packetCount, void *buffer,
                             uint32_t length) {
    StreamReadRecord record;
    memset(&record, 0, sizeof record);
    record.PacketSize = packetSize;
    record.PacketCount = packetCount;
    return Send(IOCTL_USBCAM_READ_STREAM, &record, sizeof record, buffer, length);
}

}  // namespace usbcam
