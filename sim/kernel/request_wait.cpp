// Waiting for requests the kernel itself sends (client, Plug and Play and
// power requests), as the I/O manager waits for a synchronous request.
//
// When the dispatch routine returned STATUS_PENDING the sender waits for the
// completion to reach the I/O manager's last stage; when it returned anything
// else the request must already have been completed, with that very status.
// A request still not completed after the hang guard is reported and given
// up: the completion, should it ever come, releases the IRP itself.
#include <stdio.h>

#include <atomic>
#include <chrono>

#include "irp_table.h"
#include "verifier.h"

namespace sim {
namespace kernel {
namespace {

std::atomic<uint32_t> g_hangGuardMs{60000};

}  // namespace

uint32_t HangGuardMs() { return g_hangGuardMs; }
void SetHangGuardMs(uint32_t ms) { g_hangGuardMs = ms; }

IoResult AwaitRequest(PIRP irp, NTSTATUS status, const std::shared_ptr<RequestWaiter> &waiter,
                      const char *neverCompletedRule, const char *notCompletedRule,
                      const std::string &what) {
    IoResult result{status, 0};
    bool abandoned = false;
    bool mismatch = false;
    // The sender's wait delivers kernel APCs too (requests the dispatch
    // routines built in this thread finish here).
    ThreadState &t = CurrentThread();
    const bool virtualTime = VirtualTimeOn();
    {
        std::lock_guard<std::mutex> q(t.Apc->Mutex);
        t.Apc->WaitMutex = &waiter->Mutex;
        t.Apc->WaitChanged = &waiter->Done;
        t.Apc->Park = &t.Park;
    }
    {
        std::unique_lock<std::mutex> lock(waiter->Mutex);
        if (status == STATUS_PENDING) {
            auto deadline =
                std::chrono::steady_clock::now() + std::chrono::milliseconds(HangGuardMs());
            // Under virtual time the completion (or an APC) unparks the sender.
            waiter->Park = &t.Park;
            for (;;) {
                if (virtualTime && !waiter->Completed && !ApcsPending()) {
                    if (std::chrono::steady_clock::now() >= deadline) break;  // the hang guard
                    if (StepBeforeWaiting(lock, UINT64_MAX)) continue;
                    Park(t.Park, UINT64_MAX, &waiter->Mutex, &waiter->Done);
                }
                waiter->Done.wait_until(lock, deadline,
                                        [&] { return waiter->Completed || ApcsPending(); });
                if (waiter->Completed || !ApcsPending()) break;
                lock.unlock();
                DeliverApcs();
                lock.lock();
            }
            waiter->Park = nullptr;
            if (virtualTime) LeaveWait(t.Park);
        }
        if (!waiter->Completed) {
            waiter->Abandoned = true;
            abandoned = true;
        } else {
            if (status != STATUS_PENDING && status != waiter->Iosb.Status) mismatch = true;
            result.Status = status == STATUS_PENDING ? waiter->Iosb.Status : status;
            result.Information = waiter->Iosb.Information;
        }
    }
    {
        std::lock_guard<std::mutex> q(t.Apc->Mutex);
        t.Apc->WaitMutex = nullptr;
        t.Apc->WaitChanged = nullptr;
        t.Apc->Park = nullptr;
    }
    DeliverApcs();
    if (abandoned) {
        if (status == STATUS_PENDING) {
            Report(neverCompletedRule, "(" + what + ")",
                   what + " pending and not completed within " + std::to_string(HangGuardMs()) +
                       " ms");
            result.Status = STATUS_UNSUCCESSFUL;
        } else {
            Report(notCompletedRule, "(" + what + ")",
                   what + ": dispatch routine returned " + StatusText(status) +
                       " without completing or pending the request");
        }
        return result;
    }
    if (mismatch) {
        Report(rule::DISPATCH_STATUS_MISMATCH, "(" + what + ")",
               what + ": dispatch routine returned " + StatusText(status) +
                   " but completed the request with " + StatusText(waiter->Iosb.Status));
    }
    IrpRelease(irp);
    return result;
}

std::string StatusText(NTSTATUS status) {
    char buf[16];
    snprintf(buf, sizeof buf, "0x%08X", static_cast<unsigned>(status));
    return buf;
}

}  // namespace kernel
}  // namespace sim
