// view (Windows): a live view of the camera in a window of its own.
//
// A reader thread reads frames over pipe 2 (at most 25 a second) and hands
// the latest to the window; the window draws it scaled to fit (GDI), with a
// status strip underneath: the frame count and the camera's counter, frame
// rate, byte rate, last USB status, and what the last save did. S (or the
// button) saves the frame on show as capture-NNNN.png (the next free number)
// in --dir. Closing the window, Ctrl-C in the console or --seconds end it
// the same way: the window goes, the reader finishes the read it is in and
// stops, and the session then closes the camera's handle.
#define NOMINMAX
#include <windows.h>
#include <string.h>

#include <algorithm>
#include <deque>
#include <string>
#include <vector>

#include <fmt/format.h>

#include "session.h"
#include "tool_support.h"
#include "usbcam/status_names.h"

namespace usbcam {
namespace cli {
namespace {

const UINT kFrameArrived = WM_APP + 1;
const UINT_PTR kFiguresTimer = 1;
const UINT_PTR kLimitTimer = 2;
const int kSaveButton = 100;
const int kStripHeight = 60;  // the status strip under the picture
const int kLineHeight = 18;
// Frames are read at most this often: enough for a live picture, and the
// machine stays usable.
const DWORD kMinFrameIntervalMs = 40;
const wchar_t kWindowClass[] = L"TavrinoscopeLiveView";

enum class StopReason { None,
                        WindowClosed,
                        Interrupt,
                        TimeLimit };

// What the reader thread and the window share, under Lock.
struct Shared {
    SRWLOCK Lock = SRWLOCK_INIT;
    GreyImage Latest;
    uint64_t Frames = 0;
    uint64_t Bytes = 0;
    bool HasCounter = false;
    uint32_t Counter = 0;
    std::deque<std::pair<ULONGLONG, uint64_t>> Recent;  // (tick, bytes) of the last second
    int32_t LastUsb = 0;
    std::string Error;
};

struct View {
    Camera *Device = nullptr;
    const ToolCommand *Command = nullptr;
    std::string Link;
    Shared State;
    volatile LONG Stop = 0;
    HWND Window = nullptr;
    HWND SaveButton = nullptr;
    std::string Message;  // the last save's outcome
    uint64_t Saved = 0;
    uint64_t ShownFrames = ~0ull;
    StopReason Reason = StopReason::None;
};

// The console's Ctrl-C handler reaches the window through these.
View *volatile g_view = nullptr;
HANDLE g_finished = nullptr;

std::wstring Wide(const std::string &text) { return std::wstring(text.begin(), text.end()); }

class Locked {
public:
    explicit Locked(SRWLOCK *lock) : lock_(lock) { AcquireSRWLockExclusive(lock_); }
    ~Locked() { ReleaseSRWLockExclusive(lock_); }
    Locked(const Locked &) = delete;
    Locked &operator=(const Locked &) = delete;

private:
    SRWLOCK *lock_;
};

void PauseUnlessStopped(View *view, DWORD ms) {
    const ULONGLONG until = GetTickCount64() + ms;
    while (view->Stop == 0 && GetTickCount64() < until) Sleep(5);
}

DWORD WINAPI ReadFrames(void *context) {
    View *view = static_cast<View *>(context);
    while (view->Stop == 0) {
        const ULONGLONG started = GetTickCount64();
        CapturedFrame frame;
        std::string error;
        const bool ok = CaptureFrame(view->Device, view->Command->Large, view->Command->FrameBytes,
                                     "view: reading a frame", &frame, &error);
        const int32_t lastUsb = LastUsbStatus(view->Device);
        {
            Locked lock(&view->State.Lock);
            Shared &state = view->State;
            state.LastUsb = lastUsb;
            if (ok) {
                state.Latest = std::move(frame.Image);
                ++state.Frames;
                state.Bytes += frame.Bytes;
                state.HasCounter = frame.HasHeader;
                state.Counter = frame.Header.Counter;
                state.Recent.emplace_back(GetTickCount64(), frame.Bytes);
                state.Error.clear();
            } else {
                state.Error = error;
            }
        }
        PostMessageW(view->Window, kFrameArrived, 0, 0);
        const DWORD spent = static_cast<DWORD>(GetTickCount64() - started);
        const DWORD pause = ok ? kMinFrameIntervalMs : 500;
        if (spent < pause) PauseUnlessStopped(view, pause - spent);
    }
    return 0;
}

std::string Title(View *view) {
    uint64_t frames;
    {
        Locked lock(&view->State.Lock);
        frames = view->State.Frames;
    }
    return fmt::format("usbcam view: {}, {} frames", view->Link, frames);
}

// The status strip's lines.
std::vector<std::string> StatusLines(View *view) {
    Locked lock(&view->State.Lock);
    Shared &state = view->State;
    const ULONGLONG now = GetTickCount64();
    while (!state.Recent.empty() && now - state.Recent.front().first > 1000) state.Recent.pop_front();
    uint64_t bytes = 0;
    for (const auto &entry : state.Recent) bytes += entry.second;
    std::vector<std::string> lines;
    lines.push_back(fmt::format("{}   {} frames{}   {} x {}", view->Link, state.Frames,
                                state.HasCounter ? fmt::format(" (camera counter {})", state.Counter) : "",
                                state.Latest.Width, state.Latest.Height));
    lines.push_back(fmt::format("{} frames/s   {}/s   last USB status {}", state.Recent.size(), HumanBytes(double(bytes)),
                                FormatUsbdStatus(static_cast<uint32_t>(state.LastUsb))));
    lines.push_back(!state.Error.empty()     ? state.Error
                    : !view->Message.empty() ? view->Message
                                             : "S or the button saves the frame as a PNG");
    return lines;
}

void Paint(View *view, HDC target, const RECT &client) {
    const int width = client.right - client.left, height = client.bottom - client.top;
    if (width <= 0 || height <= 0) return;
    // Drawn off screen, then copied at once: no flicker while frames arrive.
    HDC dc = CreateCompatibleDC(target);
    HBITMAP bitmap = CreateCompatibleBitmap(target, width, height);
    HGDIOBJ oldBitmap = SelectObject(dc, bitmap);
    RECT all = {0, 0, width, height};
    FillRect(dc, &all, static_cast<HBRUSH>(GetStockObject(BLACK_BRUSH)));

    const int pictureHeight = height > kStripHeight ? height - kStripHeight : 0;
    {
        Locked lock(&view->State.Lock);
        const GreyImage &image = view->State.Latest;
        if (image.Width != 0 && image.Height != 0 && pictureHeight > 0) {
            // Scaled to fit, the proportions kept; one screen pixel per camera
            // pixel when the window is the frame's size.
            const double scale = std::min(double(width) / image.Width, double(pictureHeight) / image.Height);
            const int w = std::max(1, int(image.Width * scale + 0.5)), h = std::max(1, int(image.Height * scale + 0.5));
            const int x = (width - w) / 2, y = (pictureHeight - h) / 2;
            struct {
                BITMAPINFOHEADER Header;
                RGBQUAD Colours[256];
            } info = {};
            info.Header.biSize = sizeof info.Header;
            info.Header.biWidth = LONG(image.Width);
            info.Header.biHeight = -LONG(image.Height);  // rows top to bottom
            info.Header.biPlanes = 1;
            info.Header.biBitCount = 8;
            info.Header.biCompression = BI_RGB;
            info.Header.biClrUsed = 256;
            for (int i = 0; i < 256; ++i) {
                info.Colours[i].rgbRed = info.Colours[i].rgbGreen = info.Colours[i].rgbBlue = BYTE(i);
            }
            // DIB rows are whole 32-bit words.
            const uint32_t stride = (image.Width + 3) & ~3u;
            std::vector<uint8_t> padded;
            const uint8_t *bits = image.Pixels.data();
            if (stride != image.Width) {
                padded.assign(size_t{stride} * image.Height, 0);
                for (uint32_t row = 0; row < image.Height; ++row) {
                    memcpy(&padded[size_t{row} * stride], &image.Pixels[size_t{row} * image.Width], image.Width);
                }
                bits = padded.data();
            }
            SetStretchBltMode(dc, COLORONCOLOR);
            StretchDIBits(dc, x, y, w, h, 0, 0, int(image.Width), int(image.Height), bits,
                          reinterpret_cast<BITMAPINFO *>(&info), DIB_RGB_COLORS, SRCCOPY);
        }
    }

    RECT strip = {0, pictureHeight, width, height};
    FillRect(dc, &strip, GetSysColorBrush(COLOR_BTNFACE));
    HGDIOBJ oldFont = SelectObject(dc, GetStockObject(DEFAULT_GUI_FONT));
    SetBkMode(dc, TRANSPARENT);
    SetTextColor(dc, GetSysColor(COLOR_BTNTEXT));
    int line = 0;
    RECT buttonRect = {};
    if (view->SaveButton != nullptr) {
        GetWindowRect(view->SaveButton, &buttonRect);
        MapWindowPoints(nullptr, view->Window, reinterpret_cast<POINT *>(&buttonRect), 2);
    }
    for (const std::string &text : StatusLines(view)) {
        RECT where = {8, pictureHeight + 4 + line * kLineHeight, buttonRect.left > 16 ? buttonRect.left - 8 : width,
                      pictureHeight + 4 + (line + 1) * kLineHeight};
        DrawTextA(dc, text.c_str(), int(text.size()), &where, DT_LEFT | DT_SINGLELINE | DT_END_ELLIPSIS | DT_NOPREFIX);
        ++line;
    }
    SelectObject(dc, oldFont);

    BitBlt(target, 0, 0, width, height, dc, 0, 0, SRCCOPY);
    SelectObject(dc, oldBitmap);
    DeleteObject(bitmap);
    DeleteDC(dc);
}

// The frame on show as capture-NNNN.png in --dir, the first number not taken.
void SaveFrame(View *view) {
    GreyImage image;
    {
        Locked lock(&view->State.Lock);
        image = view->State.Latest;
    }
    if (image.Pixels.empty()) {
        view->Message = "no frame to save yet";
    } else {
        std::string path;
        for (unsigned number = 1; number < 100000; ++number) {
            const std::string candidate = InDirectory(view->Command->Directory, fmt::format("capture-{:04}.png", number));
            if (GetFileAttributesA(candidate.c_str()) == INVALID_FILE_ATTRIBUTES) {
                path = candidate;
                break;
            }
        }
        std::string error;
        if (path.empty()) {
            view->Message = "cannot save: capture-0001.png to capture-99999.png are all taken";
        } else if (!WriteImageFile(path, image, &error)) {
            view->Message = "cannot save: " + error;
        } else {
            ++view->Saved;
            view->Message = "saved " + path;
        }
    }
    InvalidateRect(view->Window, nullptr, FALSE);
}

void PlaceButton(View *view) {
    RECT client;
    GetClientRect(view->Window, &client);
    const int w = 120, h = 28;
    MoveWindow(view->SaveButton, client.right - w - 8, client.bottom - kStripHeight + (kStripHeight - h) / 2, w, h,
               TRUE);
}

LRESULT CALLBACK WindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    View *view = reinterpret_cast<View *>(GetWindowLongPtrW(window, GWLP_USERDATA));
    switch (message) {
        case WM_NCCREATE: {
            view = static_cast<View *>(reinterpret_cast<CREATESTRUCTW *>(lParam)->lpCreateParams);
            view->Window = window;
            SetWindowLongPtrW(window, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(view));
            break;
        }
        case WM_CREATE:
            view->SaveButton = CreateWindowExW(0, L"BUTTON", L"&Save frame (S)", WS_CHILD | WS_VISIBLE | BS_PUSHBUTTON,
                                               0, 0, 0, 0, window, reinterpret_cast<HMENU>(INT_PTR{kSaveButton}),
                                               GetModuleHandleW(nullptr), nullptr);
            SendMessageW(view->SaveButton, WM_SETFONT, reinterpret_cast<WPARAM>(GetStockObject(DEFAULT_GUI_FONT)), TRUE);
            PlaceButton(view);
            SetTimer(window, kFiguresTimer, 250, nullptr);
            if (view->Command->Seconds > 0) SetTimer(window, kLimitTimer, UINT(view->Command->Seconds * 1000), nullptr);
            return 0;
        case WM_SIZE:
            if (view != nullptr && view->SaveButton != nullptr) PlaceButton(view);
            InvalidateRect(window, nullptr, FALSE);
            return 0;
        case WM_GETMINMAXINFO: {
            MINMAXINFO *limits = reinterpret_cast<MINMAXINFO *>(lParam);
            limits->ptMinTrackSize.x = 320;
            limits->ptMinTrackSize.y = 160 + kStripHeight;
            return 0;
        }
        case WM_ERASEBKGND:
            return 1;
        case WM_PAINT: {
            PAINTSTRUCT paint;
            HDC dc = BeginPaint(window, &paint);
            RECT client;
            GetClientRect(window, &client);
            Paint(view, dc, client);
            EndPaint(window, &paint);
            return 0;
        }
        case kFrameArrived: {
            uint64_t frames;
            {
                Locked lock(&view->State.Lock);
                frames = view->State.Frames;
            }
            if (frames != view->ShownFrames) {
                view->ShownFrames = frames;
                SetWindowTextW(window, Wide(Title(view)).c_str());
            }
            InvalidateRect(window, nullptr, FALSE);
            return 0;
        }
        case WM_TIMER:
            if (wParam == kLimitTimer) {
                KillTimer(window, kLimitTimer);
                if (view->Reason == StopReason::None) view->Reason = StopReason::TimeLimit;
                PostMessageW(window, WM_CLOSE, 0, 0);
            } else {
                InvalidateRect(window, nullptr, FALSE);  // the rates move on without new frames too
            }
            return 0;
        case WM_COMMAND:
            if (LOWORD(wParam) == kSaveButton) {
                SaveFrame(view);
                SetFocus(window);  // keys come back to the window
                return 0;
            }
            break;
        case WM_KEYDOWN:
            if (wParam == 'S') {
                SaveFrame(view);
                return 0;
            }
            break;
        case WM_CLOSE:
            if (view->Reason == StopReason::None) view->Reason = StopReason::WindowClosed;
            DestroyWindow(window);
            return 0;
        case WM_DESTROY:
            KillTimer(window, kFiguresTimer);
            KillTimer(window, kLimitTimer);
            PostQuitMessage(0);
            return 0;
        default:
            break;
    }
    return DefWindowProcW(window, message, wParam, lParam);
}

// Ctrl-C, Ctrl-Break and the console's closing end the view as closing the
// window does. For the console's closing the process ends when this returns,
// so it waits (a while) for the view to have shut down.
BOOL WINAPI ConsoleControl(DWORD event) {
    View *view = g_view;
    if (view == nullptr) return FALSE;
    if (view->Reason == StopReason::None) view->Reason = StopReason::Interrupt;
    PostMessageW(view->Window, WM_CLOSE, 0, 0);
    if (event == CTRL_CLOSE_EVENT && g_finished != nullptr) WaitForSingleObject(g_finished, 4000);
    return TRUE;
}

}  // namespace

bool RunView(const ToolCommand &command, ToolContext &context, std::string *error) {
    Camera *camera = context.OpenCamera(error);
    if (camera == nullptr) return false;

    View view;
    view.Device = camera;
    view.Command = &command;
    view.Link = DevicePath(context.Owner->device());

    HINSTANCE instance = GetModuleHandleW(nullptr);
    WNDCLASSEXW windowClass = {};
    windowClass.cbSize = sizeof windowClass;
    windowClass.style = CS_HREDRAW | CS_VREDRAW;
    windowClass.lpfnWndProc = WindowProc;
    windowClass.hInstance = instance;
    windowClass.hCursor = LoadCursorW(nullptr, IDC_ARROW);
    windowClass.hIcon = LoadIconW(nullptr, IDI_APPLICATION);
    windowClass.lpszClassName = kWindowClass;
    if (RegisterClassExW(&windowClass) == 0 && GetLastError() != ERROR_CLASS_ALREADY_EXISTS) {
        *error = fmt::format("{}: cannot register the window class (error {})", command.Text, GetLastError());
        return false;
    }
    // The client area holds a 640 x 480 frame at one pixel per pixel, and the strip.
    RECT size = {0, 0, 640, 480 + kStripHeight};
    AdjustWindowRectEx(&size, WS_OVERLAPPEDWINDOW, FALSE, 0);
    HWND window = CreateWindowExW(0, kWindowClass, Wide("usbcam view: " + view.Link).c_str(),
                                  WS_OVERLAPPEDWINDOW, CW_USEDEFAULT, CW_USEDEFAULT, size.right - size.left,
                                  size.bottom - size.top, nullptr, nullptr, instance, &view);
    if (window == nullptr) {
        *error = fmt::format("{}: cannot open a window (error {}); try: usbcam capture -o frame.png", command.Text,
                             GetLastError());
        return false;
    }

    HANDLE reader = CreateThread(nullptr, 0, ReadFrames, &view, 0, nullptr);
    if (reader == nullptr) {
        DestroyWindow(window);
        *error = fmt::format("{}: cannot start the reader thread (error {})", command.Text, GetLastError());
        return false;
    }
    g_finished = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    g_view = &view;
    SetConsoleCtrlHandler(ConsoleControl, TRUE);
    ShowWindow(window, SW_SHOWNORMAL);
    UpdateWindow(window);

    if (context.Json) {
        *context.Out << nlohmann::json{{"command", command.Text}, {"window", Title(&view)}}.dump() << "\n";
    } else {
        *context.Out << "live view of " << view.Link
                     << " in a window (S saves the frame; closing the window or Ctrl-C stops it)\n";
    }
    context.Out->flush();

    MSG message;
    while (GetMessageW(&message, nullptr, 0, 0) > 0) {
        TranslateMessage(&message);
        DispatchMessageW(&message);
    }

    // The window is gone: the reader finishes the read it is in and stops.
    InterlockedExchange(&view.Stop, 1);
    WaitForSingleObject(reader, INFINITE);
    CloseHandle(reader);
    SetConsoleCtrlHandler(ConsoleControl, FALSE);
    g_view = nullptr;
    SetEvent(g_finished);

    const char *how = view.Reason == StopReason::Interrupt   ? "Ctrl-C"
                      : view.Reason == StopReason::TimeLimit ? "time limit"
                                                             : "window closed";
    Report report(command.Text);
    report["window"] = true;
    report["frames"] = view.State.Frames;
    report["captures"] = view.Saved;
    report["stopped_by"] = view.Reason == StopReason::Interrupt   ? "interrupt"
                           : view.Reason == StopReason::TimeLimit ? "time limit"
                                                                  : "window closed";
    report.Line(fmt::format("live view stopped ({}): {} frames shown, {} saved", how, view.State.Frames, view.Saved));
    report.Print(context);
    return true;
}

}  // namespace cli
}  // namespace usbcam
