// Ctrl-C during a long command (stream, capture --count, load, a large read):
// while an InterruptScope lives, the first SIGINT (Ctrl-C or Ctrl-Break in a
// Windows console) only sets a flag; the command's loop sees it, stops
// between requests, clears its progress line and prints its summary. A
// second Ctrl-C ends the program as usual, so a request that does not come
// back can still be left. A request in flight is not cancelled: it ends by
// itself, within the driver's time-out at most.
#pragma once

#include <stdint.h>

namespace usbcam {
namespace cli {

class InterruptScope {
public:
    InterruptScope();
    ~InterruptScope();
    InterruptScope(const InterruptScope &) = delete;
    InterruptScope &operator=(const InterruptScope &) = delete;

    // True once Ctrl-C came while this scope lived.
    static bool Interrupted();
};

// While it lives, the first Ctrl-C aborts the transfers of `pipe` on camera
// `device` (abort-pipe through a handle of its own, as a second program
// would), so a long read or write ends with what it moved so far. Lives
// inside an InterruptScope. On Windows the transfer runs to its end or its
// time-out instead.
class AbortOnInterrupt {
public:
    AbortOnInterrupt(unsigned device, uint32_t pipe);
    ~AbortOnInterrupt();
    AbortOnInterrupt(const AbortOnInterrupt &) = delete;
    AbortOnInterrupt &operator=(const AbortOnInterrupt &) = delete;

private:
    struct Watch;
    Watch *watch_;
};

}  // namespace cli
}  // namespace usbcam
