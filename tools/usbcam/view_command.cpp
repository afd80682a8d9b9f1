// view: a live view of the camera on http://127.0.0.1:PORT/, served with
// cpp-httplib. One thread reads frames over pipe 2 and keeps the latest as a
// PNG with the figures; the server thread answers the page, the frame, the
// figures and the capture button; the command's own thread waits for Ctrl-C
// (or --seconds) and then stops both.
#include <signal.h>
#include <time.h>

#include <atomic>
#include <chrono>
#include <deque>
#include <mutex>
#include <thread>

#include <fmt/format.h>
#include <httplib.h>

#include "session.h"
#include "tool_support.h"
#include "usbcam/status_names.h"
#include "view_page.h"

namespace usbcam {
namespace cli {
namespace {

using Clock = std::chrono::steady_clock;

// Frames are read at most this often: enough for a live picture, and the
// machine stays usable.
const auto kMinFrameInterval = std::chrono::milliseconds(40);

struct ViewState {
    std::mutex Mutex;
    std::vector<uint8_t> Png;  // the latest frame
    uint64_t Frames = 0;
    uint32_t Counter = 0;
    uint32_t Width = 0, Height = 0;
    std::deque<std::pair<Clock::time_point, uint64_t>> Recent;  // (time, bytes) of the last second
    int32_t LastUsb = 0;
    std::string Error;
    uint64_t Captures = 0;
};

void CaptureLoop(Camera *camera, const ToolCommand &command, ViewState *state, std::atomic<bool> *stop) {
    while (!stop->load()) {
        const auto started = Clock::now();
        CapturedFrame frame;
        std::string error;
        const bool ok = CaptureFrame(camera, command.Large, command.FrameBytes, "view: reading a frame", &frame, &error);
        std::vector<uint8_t> png;
        if (ok && !EncodePng(frame.Image, &png, &error)) error = "view: " + error;
        const int32_t lastUsb = LastUsbStatus(camera);
        {
            std::lock_guard<std::mutex> lock(state->Mutex);
            state->LastUsb = lastUsb;
            if (ok && !png.empty()) {
                state->Png = std::move(png);
                ++state->Frames;
                state->Counter = frame.Header.Counter;
                state->Width = frame.Image.Width;
                state->Height = frame.Image.Height;
                state->Recent.emplace_back(Clock::now(), frame.Bytes);
                state->Error.clear();
            } else {
                state->Error = error;
            }
        }
        const auto pause = ok ? kMinFrameInterval : std::chrono::milliseconds(500);
        const auto next = started + pause;
        while (!stop->load() && Clock::now() < next) std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
}

nlohmann::json Figures(ViewState *state, const std::string &device) {
    std::lock_guard<std::mutex> lock(state->Mutex);
    const auto now = Clock::now();
    while (!state->Recent.empty() && now - state->Recent.front().first > std::chrono::seconds(1)) {
        state->Recent.pop_front();
    }
    uint64_t bytes = 0;
    for (const auto &entry : state->Recent) bytes += entry.second;
    return {{"device", device},
            {"frames", state->Frames},
            {"counter", state->Counter},
            {"width", state->Width},
            {"height", state->Height},
            {"fps", static_cast<double>(state->Recent.size())},
            {"bytes_per_second", bytes},
            {"last_usb_status", FormatUsbdStatus(static_cast<uint32_t>(state->LastUsb))},
            {"error", state->Error}};
}

}  // namespace

bool RunView(const ToolCommand &command, ToolContext &context, std::string *error) {
    Camera *camera = context.OpenCamera(error);
    if (camera == nullptr) return false;
    const std::string device = DevicePath(context.Owner->device());

    // Ctrl-C and termination are taken by this thread alone (sigtimedwait),
    // so the server and capture threads started below never see them.
    sigset_t signals, previous;
    sigemptyset(&signals);
    sigaddset(&signals, SIGINT);
    sigaddset(&signals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &signals, &previous);

    httplib::Server server;
    ViewState state;
    server.Get("/", [](const httplib::Request &, httplib::Response &response) {
        response.set_content(kViewPage, "text/html; charset=utf-8");
    });
    server.Get("/frame.png", [&](const httplib::Request &, httplib::Response &response) {
        std::lock_guard<std::mutex> lock(state.Mutex);
        response.set_header("Cache-Control", "no-store");
        if (state.Png.empty()) {
            response.status = 503;
            response.set_content("no frame yet", "text/plain");
            return;
        }
        response.set_content(reinterpret_cast<const char *>(state.Png.data()), state.Png.size(), "image/png");
    });
    server.Get("/status.json", [&](const httplib::Request &, httplib::Response &response) {
        response.set_header("Cache-Control", "no-store");
        response.set_content(Figures(&state, device).dump(), "application/json");
    });
    server.Post("/capture", [&](const httplib::Request &, httplib::Response &response) {
        std::vector<uint8_t> png;
        uint64_t number = 0;
        {
            std::lock_guard<std::mutex> lock(state.Mutex);
            png = state.Png;
            number = ++state.Captures;
        }
        nlohmann::json answer;
        std::string why;
        const std::string path = InDirectory(command.Directory, fmt::format("capture-{:04}.png", number));
        if (png.empty()) {
            answer["error"] = "no frame yet";
        } else if (!WriteFileBytes(path, png.data(), png.size(), &why)) {
            answer["error"] = why;
        } else {
            answer["file"] = path;
        }
        response.set_content(answer.dump(), "application/json");
    });

    int port = static_cast<int>(command.Port);
    if (port == 0) {
        port = server.bind_to_any_port("127.0.0.1");
    } else if (!server.bind_to_port("127.0.0.1", port)) {
        port = -1;
    }
    if (port <= 0) {
        pthread_sigmask(SIG_SETMASK, &previous, nullptr);
        *error = fmt::format("{}: cannot listen on 127.0.0.1:{}; try: another --port, or --port 0 for a free one",
                             command.Text, command.Port);
        return false;
    }
    std::atomic<bool> stop(false);
    std::thread capture(CaptureLoop, camera, std::cref(command), &state, &stop);
    std::thread serving([&server] { server.listen_after_bind(); });

    const std::string url = fmt::format("http://127.0.0.1:{}/", port);
    if (context.Json) {
        *context.Out << nlohmann::json{{"command", command.Text}, {"url", url}, {"port", port}}.dump() << "\n";
    } else {
        *context.Out << "live view of " << device << " on " << url << " (Ctrl-C stops it)\n";
    }
    context.Out->flush();

    const auto started = Clock::now();
    int signal = 0;
    for (;;) {
        if (command.Seconds > 0 &&
            std::chrono::duration<double>(Clock::now() - started).count() >= command.Seconds) {
            break;
        }
        timespec wait = {0, 100 * 1000 * 1000};
        const int got = sigtimedwait(&signals, nullptr, &wait);
        if (got > 0) {
            signal = got;
            break;
        }
    }
    server.stop();
    serving.join();
    stop.store(true);
    capture.join();
    pthread_sigmask(SIG_SETMASK, &previous, nullptr);

    const nlohmann::json figures = Figures(&state, device);
    Report report(command.Text);
    report["url"] = url;
    report["frames"] = figures["frames"];
    report["captures"] = state.Captures;
    report["stopped_by"] = signal == SIGINT ? "interrupt" : signal == SIGTERM ? "termination"
                                                                              : "time limit";
    report.Line(fmt::format("live view stopped ({}): {} frames shown, {} captured",
                            signal == SIGINT ? "Ctrl-C" : signal == SIGTERM ? "terminated"
                                                                            : "time limit",
                            state.Frames, state.Captures));
    report.Print(context);
    return true;
}

}  // namespace cli
}  // namespace usbcam
