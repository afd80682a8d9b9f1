// The driver's device-control interface: control codes and client records.
//
// This is the one public header shared by the driver (kernel mode, Windows and
// host builds) and every client (the client library, usbcam, tests). It needs
// nothing but <stdint.h>. Records are packed and little-endian; their sizes are
// asserted below, so a change that would move a field breaks the build.
#pragma once

#include <stdint.h>

// Every code is CTL_CODE(FILE_DEVICE_UNKNOWN, function, method, FILE_ANY_ACCESS).
#define USBCAM_DEVICE_TYPE 0x22u
#define USBCAM_METHOD_BUFFERED 0u
#define USBCAM_METHOD_IN_DIRECT 1u
#define USBCAM_METHOD_OUT_DIRECT 2u
#define USBCAM_CTL_CODE(Function, Method) \
    ((uint32_t)((USBCAM_DEVICE_TYPE << 16) | ((Function) << 2) | (Method)))
#define USBCAM_CTL_FUNCTION(Code) (((uint32_t)(Code) >> 2) & 0xFFFu)
#define USBCAM_CTL_METHOD(Code) ((uint32_t)(Code)&3u)

#define IOCTL_USBCAM_GET_INTERFACE_INFO USBCAM_CTL_CODE(0x800, USBCAM_METHOD_BUFFERED)
#define IOCTL_USBCAM_GET_DEVICE_DESCRIPTOR USBCAM_CTL_CODE(0x801, USBCAM_METHOD_BUFFERED)
#define IOCTL_USBCAM_GET_CONFIG_DESCRIPTOR USBCAM_CTL_CODE(0x802, USBCAM_METHOD_BUFFERED)
#define IOCTL_USBCAM_VENDOR_REQUEST USBCAM_CTL_CODE(0x805, USBCAM_METHOD_BUFFERED)
#define IOCTL_USBCAM_NOP USBCAM_CTL_CODE(0x806, USBCAM_METHOD_BUFFERED)
#define IOCTL_USBCAM_LOAD_MEMORY_BLOCKS USBCAM_CTL_CODE(0x807, USBCAM_METHOD_BUFFERED)
#define IOCTL_USBCAM_RESET_PORT USBCAM_CTL_CODE(0x80C, USBCAM_METHOD_IN_DIRECT)
#define IOCTL_USBCAM_RESET_PIPE USBCAM_CTL_CODE(0x80D, USBCAM_METHOD_IN_DIRECT)
#define IOCTL_USBCAM_ABORT_PIPE USBCAM_CTL_CODE(0x80F, USBCAM_METHOD_IN_DIRECT)
#define IOCTL_USBCAM_SELECT_INTERFACE USBCAM_CTL_CODE(0x810, USBCAM_METHOD_BUFFERED)
#define IOCTL_USBCAM_GET_STRING_DESCRIPTOR USBCAM_CTL_CODE(0x811, USBCAM_METHOD_BUFFERED)
#define IOCTL_USBCAM_READ_PIPE USBCAM_CTL_CODE(0x813, USBCAM_METHOD_OUT_DIRECT)
#define IOCTL_USBCAM_WRITE_PIPE USBCAM_CTL_CODE(0x814, USBCAM_METHOD_IN_DIRECT)
#define IOCTL_USBCAM_GET_FRAME_NUMBER USBCAM_CTL_CODE(0x815, USBCAM_METHOD_BUFFERED)
#define IOCTL_USBCAM_CONTROL_REQUEST USBCAM_CTL_CODE(0x816, USBCAM_METHOD_IN_DIRECT)
#define IOCTL_USBCAM_GET_LAST_STATUS USBCAM_CTL_CODE(0x817, USBCAM_METHOD_BUFFERED)
#define IOCTL_USBCAM_ISO_READ USBCAM_CTL_CODE(0x819, USBCAM_METHOD_OUT_DIRECT)
#define IOCTL_USBCAM_ISO_WRITE USBCAM_CTL_CODE(0x81A, USBCAM_METHOD_IN_DIRECT)
#define IOCTL_USBCAM_LOAD_MEMORY USBCAM_CTL_CODE(0x81B, USBCAM_METHOD_IN_DIRECT)
#define IOCTL_USBCAM_GET_VERSION USBCAM_CTL_CODE(0x81D, USBCAM_METHOD_BUFFERED)
#define IOCTL_USBCAM_START_STREAM USBCAM_CTL_CODE(0x81E, USBCAM_METHOD_BUFFERED)
#define IOCTL_USBCAM_STOP_STREAM USBCAM_CTL_CODE(0x81F, USBCAM_METHOD_BUFFERED)
#define IOCTL_USBCAM_READ_STREAM USBCAM_CTL_CODE(0x820, USBCAM_METHOD_OUT_DIRECT)
#define IOCTL_USBCAM_SET_FEATURE USBCAM_CTL_CODE(0x821, USBCAM_METHOD_BUFFERED)
#define IOCTL_USBCAM_SET_TIMEOUT USBCAM_CTL_CODE(0x828, USBCAM_METHOD_BUFFERED)
#define IOCTL_USBCAM_READ_PIPE_LARGE USBCAM_CTL_CODE(0x829, USBCAM_METHOD_OUT_DIRECT)
#define IOCTL_USBCAM_WRITE_PIPE_LARGE USBCAM_CTL_CODE(0x82A, USBCAM_METHOD_IN_DIRECT)

#define USBCAM_CONTROL_CODE_COUNT 27

// The version the driver reports in VersionRecord.
#define USBCAM_DRIVER_VERSION 0x00010001u

// Link name template, as a Win32 client opens it: "\\.\Tavrinoscope-N", where N
// is the character '0' + index for index 0 to 31 ("0" to "9", then ":" to "O").
#define USBCAM_WIN32_NAME_PREFIX "\\\\.\\Tavrinoscope-"
#define USBCAM_MAX_DEVICES 32

#pragma pack(push, 1)

// Input of IOCTL_USBCAM_RESET_PIPE and IOCTL_USBCAM_ABORT_PIPE; also the first
// field of the pipe-transfer inputs (READ_PIPE, WRITE_PIPE, *_PIPE_LARGE).
typedef struct PipeIndexRecord {
    uint32_t PipeIndex;
} PipeIndexRecord;

// Input of IOCTL_USBCAM_SELECT_INTERFACE.
typedef struct InterfaceSelection {
    uint8_t InterfaceNumber;
    uint8_t AlternateSetting;
} InterfaceSelection;

// Input of IOCTL_USBCAM_GET_STRING_DESCRIPTOR (exactly 4 bytes); the
// descriptor comes back in the same buffer.
typedef struct StringDescriptorRequest {
    uint8_t DescriptorIndex;
    uint8_t Reserved;
    uint16_t LanguageId;
} StringDescriptorRequest;

// Input of IOCTL_USBCAM_SET_FEATURE (exactly 4 bytes).
typedef struct FeatureRecord {
    uint16_t FeatureSelector;
    uint16_t Index;
} FeatureRecord;

// Input of IOCTL_USBCAM_SET_TIMEOUT (8 bytes). The time-out changes only when
// Selector is 1.
typedef struct TimeoutRecord {
    uint32_t Selector;
    int32_t Milliseconds;
} TimeoutRecord;

// Output of IOCTL_USBCAM_GET_VERSION (6 bytes: 01 00 01 00 00 00).
typedef struct VersionRecord {
    uint32_t VersionValue;
    uint16_t Reserved;
} VersionRecord;

// Input of IOCTL_USBCAM_LOAD_MEMORY (exactly 2 bytes): the device address of
// the data buffer's first byte.
typedef struct MemoryAddressRecord {
    uint16_t Address;
} MemoryAddressRecord;

// Input of IOCTL_USBCAM_VENDOR_REQUEST (10 bytes). A device-to-host request's
// data comes back in the same buffer from offset 0.
typedef struct VendorRequestRecord {
    uint8_t Request;
    uint8_t Reserved;
    uint16_t Value;
    uint16_t Index;
    uint16_t Length;
    uint8_t Direction;  // 0: host to device; any other value: device to host
    uint8_t Data;       // the byte sent when Direction is 0 and Length is 1
} VendorRequestRecord;

// Input of IOCTL_USBCAM_CONTROL_REQUEST (exactly 10 bytes); the data stage is
// the request's second buffer.
typedef struct ControlRequestRecord {
    uint8_t Direction;  // 0: host to device; any other value: device to host
    uint8_t Type;       // 1: class; 2: vendor
    uint8_t Recipient;  // 0: device; 1: interface; 2: endpoint; 3: other
    uint8_t Reserved0;
    uint8_t Request;
    uint8_t Reserved1;
    uint16_t Value;
    uint16_t Index;
} ControlRequestRecord;

// Input of IOCTL_USBCAM_ISO_READ and IOCTL_USBCAM_ISO_WRITE (20 bytes).
typedef struct IsoReadRecord {
    uint32_t PipeIndex;
    uint32_t PacketSize;
    uint32_t TotalPackets;
    uint32_t PacketsPerRequest;
    uint32_t SlotCount;
} IsoReadRecord;

// Input of IOCTL_USBCAM_START_STREAM (20 bytes).
typedef struct StreamStartRecord {
    uint32_t PipeIndex;
    uint32_t PacketSize;
    uint32_t RingPackets;
    uint32_t PacketsPerRequest;
    uint32_t SlotCount;
} StreamStartRecord;

// Input of IOCTL_USBCAM_READ_STREAM (exactly 20 bytes).
typedef struct StreamReadRecord {
    uint32_t Reserved0;
    uint32_t PacketSize;
    uint32_t PacketCount;
    uint32_t Reserved1;
    uint32_t Reserved2;
} StreamReadRecord;

// One isochronous packet descriptor as the driver returns it (the platform's
// USBD_ISO_PACKET_DESCRIPTOR).
typedef struct IsoPacketDescriptor {
    uint32_t Offset;
    uint32_t Length;
    int32_t Status;
} IsoPacketDescriptor;

#pragma pack(pop)

#ifdef __cplusplus
#define USBCAM_STATIC_ASSERT(expr, msg) static_assert(expr, msg)
#else
#define USBCAM_STATIC_ASSERT(expr, msg) _Static_assert(expr, msg)
#endif

USBCAM_STATIC_ASSERT(sizeof(PipeIndexRecord) == 4, "PipeIndexRecord");
USBCAM_STATIC_ASSERT(sizeof(InterfaceSelection) == 2, "InterfaceSelection");
USBCAM_STATIC_ASSERT(sizeof(StringDescriptorRequest) == 4, "StringDescriptorRequest");
USBCAM_STATIC_ASSERT(sizeof(FeatureRecord) == 4, "FeatureRecord");
USBCAM_STATIC_ASSERT(sizeof(TimeoutRecord) == 8, "TimeoutRecord");
USBCAM_STATIC_ASSERT(sizeof(VersionRecord) == 6, "VersionRecord");
USBCAM_STATIC_ASSERT(sizeof(MemoryAddressRecord) == 2, "MemoryAddressRecord");
USBCAM_STATIC_ASSERT(sizeof(VendorRequestRecord) == 10, "VendorRequestRecord");
USBCAM_STATIC_ASSERT(sizeof(ControlRequestRecord) == 10, "ControlRequestRecord");
USBCAM_STATIC_ASSERT(sizeof(IsoReadRecord) == 20, "IsoReadRecord");
USBCAM_STATIC_ASSERT(sizeof(StreamStartRecord) == 20, "StreamStartRecord");
USBCAM_STATIC_ASSERT(sizeof(StreamReadRecord) == 20, "StreamReadRecord");
USBCAM_STATIC_ASSERT(sizeof(IsoPacketDescriptor) == 12, "IsoPacketDescriptor");

USBCAM_STATIC_ASSERT(IOCTL_USBCAM_GET_INTERFACE_INFO == 0x222000, "code");
USBCAM_STATIC_ASSERT(IOCTL_USBCAM_GET_DEVICE_DESCRIPTOR == 0x222004, "code");
USBCAM_STATIC_ASSERT(IOCTL_USBCAM_GET_CONFIG_DESCRIPTOR == 0x222008, "code");
USBCAM_STATIC_ASSERT(IOCTL_USBCAM_VENDOR_REQUEST == 0x222014, "code");
USBCAM_STATIC_ASSERT(IOCTL_USBCAM_NOP == 0x222018, "code");
USBCAM_STATIC_ASSERT(IOCTL_USBCAM_LOAD_MEMORY_BLOCKS == 0x22201C, "code");
USBCAM_STATIC_ASSERT(IOCTL_USBCAM_RESET_PORT == 0x222031, "code");
USBCAM_STATIC_ASSERT(IOCTL_USBCAM_RESET_PIPE == 0x222035, "code");
USBCAM_STATIC_ASSERT(IOCTL_USBCAM_ABORT_PIPE == 0x22203D, "code");
USBCAM_STATIC_ASSERT(IOCTL_USBCAM_SELECT_INTERFACE == 0x222040, "code");
USBCAM_STATIC_ASSERT(IOCTL_USBCAM_GET_STRING_DESCRIPTOR == 0x222044, "code");
USBCAM_STATIC_ASSERT(IOCTL_USBCAM_READ_PIPE == 0x22204E, "code");
USBCAM_STATIC_ASSERT(IOCTL_USBCAM_WRITE_PIPE == 0x222051, "code");
USBCAM_STATIC_ASSERT(IOCTL_USBCAM_GET_FRAME_NUMBER == 0x222054, "code");
USBCAM_STATIC_ASSERT(IOCTL_USBCAM_CONTROL_REQUEST == 0x222059, "code");
USBCAM_STATIC_ASSERT(IOCTL_USBCAM_GET_LAST_STATUS == 0x22205C, "code");
USBCAM_STATIC_ASSERT(IOCTL_USBCAM_ISO_READ == 0x222066, "code");
USBCAM_STATIC_ASSERT(IOCTL_USBCAM_ISO_WRITE == 0x222069, "code");
USBCAM_STATIC_ASSERT(IOCTL_USBCAM_LOAD_MEMORY == 0x22206D, "code");
USBCAM_STATIC_ASSERT(IOCTL_USBCAM_GET_VERSION == 0x222074, "code");
USBCAM_STATIC_ASSERT(IOCTL_USBCAM_START_STREAM == 0x222078, "code");
USBCAM_STATIC_ASSERT(IOCTL_USBCAM_STOP_STREAM == 0x22207C, "code");
USBCAM_STATIC_ASSERT(IOCTL_USBCAM_READ_STREAM == 0x222082, "code");
USBCAM_STATIC_ASSERT(IOCTL_USBCAM_SET_FEATURE == 0x222084, "code");
USBCAM_STATIC_ASSERT(IOCTL_USBCAM_SET_TIMEOUT == 0x2220A0, "code");
USBCAM_STATIC_ASSERT(IOCTL_USBCAM_READ_PIPE_LARGE == 0x2220A6, "code");
USBCAM_STATIC_ASSERT(IOCTL_USBCAM_WRITE_PIPE_LARGE == 0x2220A9, "code");
