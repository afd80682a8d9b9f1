// A scripted lower driver: a bus driver of the test's own whose physical device
// objects answer exactly what the test tells them, for the cases the emulated
// bus cannot produce (a request that succeeds while its URB carries a USB
// error, a start or a capabilities query failing below, a power request left
// pending, many cameras at once).
#pragma once

#include <functional>
#include <mutex>
#include <vector>

#include "sim/kernel.h"
#include "sim/usb.h"

namespace drvtest {

struct ScriptedBus {
    // What an internal device-control request (URB, port request) is answered
    // with. The handler fills the URB or port word as it likes and returns the
    // request's status; with Pend set the request is completed from another
    // thread after the dispatch routine returned STATUS_PENDING.
    struct Answer {
        NTSTATUS Status = STATUS_SUCCESS;
        bool Pend = false;
        uint32_t DelayMs = 0;  // a pended request completes this much later
    };
    std::function<Answer(ULONG ioControlCode, PIO_STACK_LOCATION stack)> OnInternal;
    NTSTATUS StartStatus = STATUS_SUCCESS;         // IRP_MN_START_DEVICE
    NTSTATUS CapabilitiesStatus = STATUS_SUCCESS;  // IRP_MN_QUERY_CAPABILITIES
    bool PendPower = false;                        // power requests left pending
    std::vector<PIRP> PendingPower;                // for the test to complete
    std::vector<ULONG> InternalCodes;              // every internal code seen
    std::mutex Lock;

    PDRIVER_OBJECT Driver = nullptr;
    std::vector<PDEVICE_OBJECT> Pdos;

    // Loads the driver (once per kernel boot) and makes it current.
    void Load();
    // Creates a PDO ("\Device\ScriptPdo-N").
    PDEVICE_OBJECT CreatePdo();
    // Deletes the PDOs and unloads the driver.
    void Unload();
    // Completes the power requests left pending, with STATUS_SUCCESS.
    void CompletePendingPower();
};

// The scripted bus of the running test.
ScriptedBus &Scripted();

}  // namespace drvtest
