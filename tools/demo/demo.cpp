// usbcam-demo: a short run of the emulation, told in plain words.
//
// Boots the emulated kernel, loads the Tavrinoscope driver, unloads it again
// and reports the verifier's verdict. Exits 0 when the verifier found nothing.
#include <stdio.h>

#include "sim/kernel.h"

extern "C" NTSTATUS DriverEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath);

int main() {
    printf("Booting the emulated kernel.\n");
    sim::KernelBoot();

    printf("Loading the Tavrinoscope driver.\n");
    NTSTATUS status = STATUS_UNSUCCESSFUL;
    PDRIVER_OBJECT driver = sim::LoadDriver("tavrinoscope", DriverEntry, &status);
    if (driver == nullptr) {
        printf("The driver failed to load: status 0x%08X.\n", static_cast<unsigned>(status));
    } else {
        printf("The driver loaded (status 0x%08X); its dispatch table is in place.\n",
               static_cast<unsigned>(status));
        printf("Unloading the driver.\n");
        sim::UnloadDriver(driver);
    }

    printf("Shutting the kernel down.\n");
    sim::KernelShutdown();
    std::vector<sim::Violation> violations = sim::VerifierTakeViolations();
    if (violations.empty() && driver != nullptr) {
        printf("Verifier: no rule broken.\n");
        return 0;
    }
    for (const sim::Violation &v : violations) {
        printf("Verifier: %s at %s: %s\n", v.Rule.c_str(), v.Site.c_str(), v.Detail.c_str());
    }
    printf("Verifier: %zu rule(s) broken.\n", violations.size());
    return 1;
}
