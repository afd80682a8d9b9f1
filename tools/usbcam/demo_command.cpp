// demo: the camera's main jobs in a few seconds, one line saying what each
// step shows: the device as the driver describes it, a memory load from an
// Intel HEX file with verification, a captured frame as demo-frame.png, and
// two seconds of isochronous streaming with its summary.
#include <chrono>
#include <filesystem>

#include <fmt/format.h>

#include "session.h"
#include "tool_support.h"
#include "usbcam/intel_hex.h"
#include "usbcam/status_names.h"

namespace usbcam {
namespace cli {
namespace {

double SecondsSince(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

// The memory image the demo loads: two blocks with a hole between them, so
// that the load shows address order and the verify reads both back.
MemoryImage DemoImage() {
    MemoryImage image;
    MemorySegment code{0x0000, std::vector<uint8_t>(512)};
    MemorySegment table{0x1000, std::vector<uint8_t>(512)};
    for (size_t i = 0; i < 512; ++i) {
        code.Bytes[i] = static_cast<uint8_t>(i * 7 + 3);
        table.Bytes[i] = static_cast<uint8_t>(0xFF - i);
    }
    image.Segments = {code, table};
    return image;
}

// Finds an isochronous IN pipe to stream from: alternate setting 3 (high
// bandwidth) when the camera has it, else setting 1.
bool ChooseStream(Camera *camera, ToolCommand *stream, uint32_t *setting, std::string *error) {
    for (uint32_t alternate : {3u, 1u}) {
        camera->SelectInterface(0, static_cast<uint8_t>(alternate));
        InterfaceTable table;
        std::string why;
        if (!ReadPipeTable(camera, &table, &why) || table.AlternateSetting != alternate) continue;
        for (const PipeEntry &pipe : table.Pipes) {
            if (pipe.PipeType != 1 || !(pipe.EndpointAddress & 0x80)) continue;
            const uint32_t multiplier = ((pipe.MaximumPacketSize >> 11) & 3) + 1;
            const uint32_t packet = pipe.MaximumPacketSize > 1024 ? pipe.MaximumPacketSize
                                                                  : (pipe.MaximumPacketSize & 0x7FF) * multiplier;
            stream->Pipe = pipe.Index;
            stream->PacketSize = packet;
            *setting = alternate;
            return true;
        }
    }
    *error = "the camera has no isochronous IN pipe in settings 3 or 1";
    return false;
}

// Creates --dir (and its parents) when it is not there yet.
bool MakeDirectory(const std::string &directory, const std::string &asked, std::string *error) {
    std::error_code why;
    std::filesystem::create_directories(directory, why);
    if (!why && std::filesystem::is_directory(directory, why)) return true;
    *error = fmt::format("{}: cannot create the directory {}: {}; try: another --dir", asked, directory,
                         why ? why.message() : std::string("a file of that name is in the way"));
    return false;
}

// The demo's lines: a step's title, its results, the failed steps' names.
struct DemoOutput {
    std::ostream &Out;
    std::vector<std::string> Failed;
    void Step(int n, const char *name, const std::string &shows) {
        Out << fmt::format("[{}/4] {}: {}\n", n, name, shows);
        Out.flush();
    }
    void Result(const std::string &text) {
        Out << "      " << text << "\n";
        Out.flush();
    }
    void Fail(const char *name, const std::string &why) {
        Failed.push_back(name);
        Result("FAILED: " + why);
    }
};

void DemoInfo(Camera *camera, DemoOutput &o) {
    // 1. What the driver reads from the camera.
    o.Step(1, "info", "the camera as the driver describes it (descriptors, strings, pipe table, driver version)");
    {
        uint8_t device[18] = {};
        const IoOutcome outcome = camera->GetDeviceDescriptor(device, sizeof device);
        InterfaceTable table;
        std::string why;
        if (!IsNtSuccess(outcome.Status) || outcome.Information < 18) {
            o.Fail("info", FailureText("reading the device descriptor", 0xC0000001u, LastUsbStatus(camera)));
        } else {
            uint8_t text[256];
            std::string product;
            const IoOutcome named = camera->GetStringDescriptor(device[15], 0x0409, text, sizeof text);
            if (IsNtSuccess(named.Status)) StringDescriptorText(text, static_cast<size_t>(named.Information), &product);
            VersionRecord version = {};
            camera->GetVersion(&version);
            o.Result(fmt::format("{:04x}:{:04x} \"{}\", USB {:x}.{:02x}, driver version {}.{}", device[8] | device[9] << 8,
                                 device[10] | device[11] << 8, product, device[3], device[2],
                                 version.VersionValue >> 16, version.VersionValue & 0xFFFF));
            if (ReadPipeTable(camera, &table, &why)) {
                std::string pipes;
                for (const PipeEntry &pipe : table.Pipes) {
                    pipes += fmt::format("{}{} {} 0x{:02x}", pipes.empty() ? "" : ", ", pipe.Index,
                                         PipeTypeText(pipe.PipeType), pipe.EndpointAddress);
                }
                o.Result(fmt::format("setting {}: pipes {}", table.AlternateSetting, pipes));
            } else {
                o.Fail("info", why);
            }
        }
    }
}

void DemoLoad(Camera *camera, const ToolCommand &command, DemoOutput &o) {
    // 2. A memory load from an Intel HEX file, read back.
    const std::string hexPath = InDirectory(command.Directory, "demo-memory.hex");
    o.Step(2, "load", "an Intel HEX file written into the camera's memory in address order, then read back to verify it");
    {
        const std::string hex = WriteIntelHex(DemoImage());
        MemoryImage image;
        std::string why, verified;
        std::vector<uint8_t> bytes;
        if (!WriteFileBytes(hexPath, reinterpret_cast<const uint8_t *>(hex.data()), hex.size(), &why) ||
            !ReadFileBytes(hexPath, &bytes, &why)) {
            o.Fail("load", why);
        } else if (!ReadIntelHex(std::string(bytes.begin(), bytes.end()), &image, &why)) {
            o.Fail("load", hexPath + ": " + why);
        } else if (!LoadImage(camera, image, true, "load " + hexPath + " --verify", &why, &verified)) {
            o.Fail("load", why);
        } else {
            o.Result(fmt::format("{}: {} bytes in {} segments loaded and verified", hexPath, image.ByteCount(),
                                 image.Segments.size()));
        }
    }
}

void DemoCapture(Camera *camera, const ToolCommand &command, DemoOutput &o) {
    // 3. One frame over bulk pipe 2.
    const std::string framePath = InDirectory(command.Directory, "demo-frame.png");
    o.Step(3, "capture", "one frame of the camera's test pattern read over bulk pipe 2 and saved as a PNG");
    {
        CapturedFrame frame;
        std::string why;
        if (!CaptureFrame(camera, false, 640 * 480, "capture -o " + framePath, &frame, &why)) {
            o.Fail("capture", why);
        } else if (!WriteImageFile(framePath, frame.Image, &why)) {
            o.Fail("capture", why);
        } else {
            o.Result(fmt::format("{}: {} x {} pixels, frame {}, {} bytes", framePath, frame.Image.Width,
                                 frame.Image.Height, frame.Header.Counter, frame.Bytes));
        }
    }
}

void DemoStream(Camera *camera, DemoOutput &o) {
    // 4. Two seconds of streaming.
    o.Step(4, "stream", "two seconds of continuous isochronous streaming, with lost packets counted from sequence numbers");
    {
        ToolCommand stream;
        stream.What = Tool::Stream;
        stream.RingPackets = 4096;
        stream.PerRequest = 16;  // 16 x 3072 bytes stays within a request's 64 KiB
        stream.Slots = 8;
        stream.Seconds = 2.0;
        uint32_t setting = 0;
        std::string why;
        if (!ChooseStream(camera, &stream, &setting, &why)) {
            o.Fail("stream", why);
        } else {
            stream.Text = fmt::format(
                "stream {} --packet-size {} --ring-packets {} --per-request {} --slots {} "
                "--seconds 2",
                stream.Pipe, stream.PacketSize, stream.RingPackets, stream.PerRequest,
                stream.Slots);
            StreamSummary summary;
            if (!RunStreamCore(stream, camera, "", &summary, &why)) {
                o.Fail("stream", why);
            } else {
                o.Result(fmt::format("setting {}, pipe {}, {}-byte packets: {}", setting, stream.Pipe,
                                     stream.PacketSize, StreamSummaryText(summary)));
            }
        }
        camera->SelectInterface(0, 0);
    }
}

}  // namespace

bool RunDemo(const ToolCommand &command, ToolContext &context, std::string *error) {
    const auto start = std::chrono::steady_clock::now();
    if (!MakeDirectory(command.Directory, command.Text, error)) return false;
    Camera *camera = context.OpenCamera(error);
    if (camera == nullptr) return false;
    std::ostream &out = *context.Out;
    DemoOutput o{out, {}};
    out << fmt::format("usbcam demo on {}{}\n", DevicePath(context.Owner->device()),
                       context.Owner->Emulated() ? " (the driver in the emulated kernel, reference camera)" : "");
    DemoInfo(camera, o);
    DemoLoad(camera, command, o);
    DemoCapture(camera, command, o);
    DemoStream(camera, o);

    const double seconds = SecondsSince(start);
    if (!o.Failed.empty()) {
        std::string names;
        for (const std::string &name : o.Failed) names += (names.empty() ? "" : ", ") + name;
        *error = fmt::format("demo: {} of 4 steps failed ({}) in {:.1f} s; the lines above say why", o.Failed.size(),
                             names, seconds);
        return false;
    }
    out << fmt::format("demo done in {:.1f} s: every step worked\n", seconds);
    return true;
}

}  // namespace cli
}  // namespace usbcam
