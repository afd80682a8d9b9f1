// Control-code name table, built from the public control header so the names
// and values cannot drift from what the driver decodes.
#include "usbcam/control_codes.h"

#include "usbcam/usbcam_ioctl.h"
#include "usbcam/text.h"

namespace usbcam {
namespace {

#define USBCAM_CODE_ENTRY(name) \
    { name, #name }

const ControlCodeInfo kControlCodes[] = {
    USBCAM_CODE_ENTRY(IOCTL_USBCAM_GET_INTERFACE_INFO),
    USBCAM_CODE_ENTRY(IOCTL_USBCAM_GET_DEVICE_DESCRIPTOR),
    USBCAM_CODE_ENTRY(IOCTL_USBCAM_GET_CONFIG_DESCRIPTOR),
    USBCAM_CODE_ENTRY(IOCTL_USBCAM_VENDOR_REQUEST),
    USBCAM_CODE_ENTRY(IOCTL_USBCAM_NOP),
    USBCAM_CODE_ENTRY(IOCTL_USBCAM_LOAD_MEMORY_BLOCKS),
    USBCAM_CODE_ENTRY(IOCTL_USBCAM_RESET_PORT),
    USBCAM_CODE_ENTRY(IOCTL_USBCAM_RESET_PIPE),
    USBCAM_CODE_ENTRY(IOCTL_USBCAM_ABORT_PIPE),
    USBCAM_CODE_ENTRY(IOCTL_USBCAM_SELECT_INTERFACE),
    USBCAM_CODE_ENTRY(IOCTL_USBCAM_GET_STRING_DESCRIPTOR),
    USBCAM_CODE_ENTRY(IOCTL_USBCAM_READ_PIPE),
    USBCAM_CODE_ENTRY(IOCTL_USBCAM_WRITE_PIPE),
    USBCAM_CODE_ENTRY(IOCTL_USBCAM_GET_FRAME_NUMBER),
    USBCAM_CODE_ENTRY(IOCTL_USBCAM_CONTROL_REQUEST),
    USBCAM_CODE_ENTRY(IOCTL_USBCAM_GET_LAST_STATUS),
    USBCAM_CODE_ENTRY(IOCTL_USBCAM_ISO_READ),
    USBCAM_CODE_ENTRY(IOCTL_USBCAM_ISO_WRITE),
    USBCAM_CODE_ENTRY(IOCTL_USBCAM_LOAD_MEMORY),
    USBCAM_CODE_ENTRY(IOCTL_USBCAM_GET_VERSION),
    USBCAM_CODE_ENTRY(IOCTL_USBCAM_START_STREAM),
    USBCAM_CODE_ENTRY(IOCTL_USBCAM_STOP_STREAM),
    USBCAM_CODE_ENTRY(IOCTL_USBCAM_READ_STREAM),
    USBCAM_CODE_ENTRY(IOCTL_USBCAM_SET_FEATURE),
    USBCAM_CODE_ENTRY(IOCTL_USBCAM_SET_TIMEOUT),
    USBCAM_CODE_ENTRY(IOCTL_USBCAM_READ_PIPE_LARGE),
    USBCAM_CODE_ENTRY(IOCTL_USBCAM_WRITE_PIPE_LARGE),
};

#undef USBCAM_CODE_ENTRY

static_assert(sizeof kControlCodes / sizeof kControlCodes[0] == USBCAM_CONTROL_CODE_COUNT,
              "every control code has a name");

const char kPrefix[] = "IOCTL_USBCAM_";

}  // namespace

const ControlCodeInfo *ControlCodeTable(size_t *count) {
    *count = sizeof kControlCodes / sizeof kControlCodes[0];
    return kControlCodes;
}

const char *ControlCodeName(uint32_t code) {
    for (const ControlCodeInfo &entry : kControlCodes) {
        if (entry.Code == code) return entry.Name;
    }
    return nullptr;
}

BufferMethod ControlCodeMethod(uint32_t code) {
    switch (USBCAM_CTL_METHOD(code)) {
        case USBCAM_METHOD_BUFFERED: return BufferMethod::Buffered;
        case USBCAM_METHOD_IN_DIRECT: return BufferMethod::InDirect;
        case USBCAM_METHOD_OUT_DIRECT: return BufferMethod::OutDirect;
        default: return BufferMethod::Neither;
    }
}

bool ParseControlCode(const std::string &text, uint32_t *code, std::string *error) {
    if (!text.empty() && text[0] >= '0' && text[0] <= '9') {
        if (ParseUnsigned32(text, code)) return true;
        *error = "'" + text + "' is not a 32-bit control code number";
        return false;
    }
    const std::string wanted = ToUpper(text);
    for (const ControlCodeInfo &entry : kControlCodes) {
        if (wanted == entry.Name || kPrefix + wanted == entry.Name) {
            *code = entry.Code;
            return true;
        }
    }
    *error = "unknown control code '" + text + "'";
    return false;
}

}  // namespace usbcam
