// The first Ctrl-C of a long command as a flag (interrupt.h).
#include "interrupt.h"

#include <signal.h>

namespace usbcam {
namespace cli {
namespace {

volatile sig_atomic_t g_interrupted = 0;

extern "C" void OnInterrupt(int) { g_interrupted = 1; }

}  // namespace

#ifdef _WIN32
// The C run-time resets SIGINT to its default before it calls the handler, so
// a second Ctrl-C ends the program.
InterruptScope::InterruptScope() {
    g_interrupted = 0;
    signal(SIGINT, OnInterrupt);
}

InterruptScope::~InterruptScope() { signal(SIGINT, SIG_DFL); }
#else
namespace {
struct sigaction g_previous;
}

InterruptScope::InterruptScope() {
    g_interrupted = 0;
    struct sigaction action = {};
    action.sa_handler = OnInterrupt;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESETHAND | SA_RESTART;  // the second Ctrl-C is the usual one
    sigaction(SIGINT, &action, &g_previous);
}

InterruptScope::~InterruptScope() { sigaction(SIGINT, &g_previous, nullptr); }
#endif

bool InterruptScope::Interrupted() { return g_interrupted != 0; }

}  // namespace cli
}  // namespace usbcam
