// The first Ctrl-C of a long command as a flag (interrupt.h).
#include "interrupt.h"

#include <signal.h>

#ifndef _WIN32
#include <atomic>
#include <chrono>
#include <memory>
#include <thread>
#endif

#include "usbcam/camera.h"
#include "usbcam/status_names.h"

namespace usbcam {
namespace cli {
namespace {

volatile sig_atomic_t g_interrupted = 0;
int g_scopes = 0;  // scopes alive (the flag means nothing outside them)

extern "C" void OnInterrupt(int) { g_interrupted = 1; }

}  // namespace

#ifdef _WIN32
// The C run-time resets SIGINT to its default before it calls the handler, so
// a second Ctrl-C ends the program.
InterruptScope::InterruptScope() {
    if (g_scopes++ != 0) return;
    g_interrupted = 0;
    signal(SIGINT, OnInterrupt);
}

InterruptScope::~InterruptScope() {
    if (--g_scopes == 0) signal(SIGINT, SIG_DFL);
}
#else
namespace {
struct sigaction g_previous;
}

InterruptScope::InterruptScope() {
    if (g_scopes++ != 0) return;  // an outer scope has the handler in place
    g_interrupted = 0;
    struct sigaction action = {};
    action.sa_handler = OnInterrupt;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESETHAND | SA_RESTART;  // the second Ctrl-C is the usual one
    sigaction(SIGINT, &action, &g_previous);
}

InterruptScope::~InterruptScope() {
    if (--g_scopes == 0) sigaction(SIGINT, &g_previous, nullptr);
}
#endif

bool InterruptScope::Interrupted() { return g_scopes != 0 && g_interrupted != 0; }

#ifdef _WIN32
struct AbortOnInterrupt::Watch {};
AbortOnInterrupt::AbortOnInterrupt(unsigned, uint32_t) : watch_(nullptr) {}
AbortOnInterrupt::~AbortOnInterrupt() {}
#else
struct AbortOnInterrupt::Watch {
    std::atomic<bool> Done{false};
    std::thread Thread;
};

AbortOnInterrupt::AbortOnInterrupt(unsigned device, uint32_t pipe) : watch_(new Watch) {
    Watch *watch = watch_;
    watch->Thread = std::thread([watch, device, pipe] {
        while (!watch->Done.load()) {
            if (InterruptScope::Interrupted()) {
                std::unique_ptr<Camera> camera;
                if (IsNtSuccess(Camera::Open(device, &camera))) camera->AbortPipe(pipe);
                return;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
    });
}

AbortOnInterrupt::~AbortOnInterrupt() {
    watch_->Done.store(true);
    watch_->Thread.join();
    delete watch_;
}
#endif

}  // namespace cli
}  // namespace usbcam
