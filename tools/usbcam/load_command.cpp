// load FILE [--verify] [--at ADDRESS]: the camera's memory from an Intel HEX
// file or a raw binary image, written in address order with
// IOCTL_USBCAM_LOAD_MEMORY and read back with vendor request 0xA0.
#include <string.h>

#include <fmt/format.h>

#include "interrupt.h"
#include "tool_support.h"
#include "usbcam/intel_hex.h"
#include "usbcam/status_names.h"

namespace usbcam {
namespace cli {
namespace {

const uint32_t kCameraMemoryBytes = 0x10000;
const uint32_t kVerifyChunk = 4096;

// Reads `length` bytes of device memory at `address` with vendor request 0xA0.
bool ReadMemory(Camera *camera, uint32_t address, uint32_t length, uint8_t *out, IoOutcome *outcome) {
    VendorRequestRecord record = {};
    record.Request = 0xA0;
    record.Value = static_cast<uint16_t>(address);
    record.Length = static_cast<uint16_t>(length);
    record.Direction = 1;
    std::vector<uint8_t> buffer(std::max<size_t>(sizeof record, length));
    memcpy(buffer.data(), &record, sizeof record);
    *outcome = camera->Raw(IOCTL_USBCAM_VENDOR_REQUEST, buffer.data(), sizeof record, buffer.data(),
                           static_cast<uint32_t>(buffer.size()));
    if (!IsNtSuccess(outcome->Status) || outcome->Information != length) return false;
    memcpy(out, buffer.data(), length);
    return true;
}

}  // namespace

bool LoadImage(Camera *camera, const MemoryImage &image, bool verify, const std::string &asked, std::string *error,
               std::string *verified) {
    if (image.EndAddress() > kCameraMemoryBytes) {
        *error = fmt::format(
            "{}: the image reaches address 0x{:x}, beyond the camera's 64 KiB memory; try: "
            "an image for addresses 0x0000 to 0xffff",
            asked, image.EndAddress() - 1);
        return false;
    }
    const int32_t before = LastUsbStatus(camera);
    uint64_t written = 0;
    for (const MemorySegment &segment : image.Segments) {
        if (InterruptScope::Interrupted()) {
            *error = fmt::format("{}: stopped by Ctrl-C after {} of {} bytes, before 0x{:04x}; try: load it again",
                                 asked, written, image.ByteCount(), segment.Address);
            return false;
        }
        written += segment.Bytes.size();
        const IoOutcome outcome = camera->LoadMemory(static_cast<uint16_t>(segment.Address), segment.Bytes.data(),
                                                     static_cast<uint32_t>(segment.Bytes.size()));
        if (!IsNtSuccess(outcome.Status)) {
            *error = Failure(camera, fmt::format("{} (at 0x{:04x})", asked, segment.Address), outcome);
            return false;
        }
    }
    const int32_t after = LastUsbStatus(camera);
    if (after < 0 && after != before) {
        *error = FailureText(asked, 0xC0000001u, after,
                             "the camera refused part of the load (the driver reports success whatever happens); "
                             "run it again with --verify");
        return false;
    }
    if (!verify) return true;
    for (const MemorySegment &segment : image.Segments) {
        for (size_t done = 0; done < segment.Bytes.size(); done += kVerifyChunk) {
            if (InterruptScope::Interrupted()) {
                *error = fmt::format(
                    "{}: loaded, but Ctrl-C stopped the verification at 0x{:04x}; try: load it "
                    "again with --verify",
                    asked, segment.Address + done);
                return false;
            }
            const uint32_t length = static_cast<uint32_t>(std::min<size_t>(kVerifyChunk, segment.Bytes.size() - done));
            const uint32_t address = segment.Address + static_cast<uint32_t>(done);
            std::vector<uint8_t> read(length);
            IoOutcome outcome{0, 0};
            if (!ReadMemory(camera, address, length, read.data(), &outcome)) {
                *error = FailureText(fmt::format("{}: reading back 0x{:04x}", asked, address),
                                     IsNtSuccess(outcome.Status) ? 0xC0000001u : outcome.Status, LastUsbStatus(camera),
                                     fmt::format("the camera answered {} of {} bytes", outcome.Information, length));
                return false;
            }
            for (uint32_t i = 0; i < length; ++i) {
                if (read[i] != segment.Bytes[done + i]) {
                    *error = fmt::format(
                        "{}: verify failed: first difference at 0x{:04x}: wrote 0x{:02x}, read "
                        "0x{:02x}; try: load it again, or `usbcam reset-port`",
                        asked, address + i, segment.Bytes[done + i], read[i]);
                    return false;
                }
            }
        }
    }
    *verified = "verified";
    return true;
}

bool RunLoad(const ToolCommand &command, ToolContext &context, std::string *error) {
    std::vector<uint8_t> bytes;
    if (!ReadFileBytes(command.File, &bytes, error)) {
        *error = command.Text + ": " + *error;
        return false;
    }
    MemoryImage image;
    if (command.HasAddress) {
        image = RawImage(bytes, command.Address);
    } else {
        std::string why;
        if (!ReadIntelHex(std::string(bytes.begin(), bytes.end()), &image, &why)) {
            *error = command.File + ": " + why + "; try: a valid Intel HEX file, or --at ADDRESS for a raw binary";
            return false;
        }
    }
    Camera *camera = context.OpenCamera(error);
    if (camera == nullptr) return false;
    std::string verified;
    InterruptScope interrupt;
    if (!LoadImage(camera, image, command.Verify, command.Text, error, &verified)) return false;

    Report report(command.Text);
    report["file"] = command.File;
    report["bytes"] = image.ByteCount();
    report["segments"] = nlohmann::json::array();
    for (const MemorySegment &segment : image.Segments) {
        report["segments"].push_back({{"address", segment.Address}, {"bytes", segment.Bytes.size()}});
    }
    report["verified"] = command.Verify;
    std::string where;
    for (const MemorySegment &segment : image.Segments) {
        where += fmt::format("{}0x{:04x}-0x{:04x}", where.empty() ? "" : ", ", segment.Address,
                             segment.Address + segment.Bytes.size() - 1);
    }
    report.Line(fmt::format("loaded {} bytes in {} segment{} ({}){}", image.ByteCount(), image.Segments.size(),
                            image.Segments.size() == 1 ? "" : "s", where.empty() ? "nothing" : where,
                            command.Verify ? ", verified by reading back" : ""));
    report.Print(context);
    return true;
}

}  // namespace cli
}  // namespace usbcam
