// How a camera's PDO answers IRP_MN_QUERY_CAPABILITIES on the host's buses:
// the emulated bus and the libusb-backed bus. Each bus gives the address it
// reports and whether the device has a serial number to tell it apart.
//
// Include it after the platform's PnP declarations (sim/kernel.h).
#pragma once

namespace usbpdo {

// The caller's structure says version 1 or later and is whole. The platform's
// Plug and Play manager always sends one such; a bus refuses any other with
// STATUS_UNSUCCESSFUL rather than write past it.
inline bool CapabilitiesUsable(const DEVICE_CAPABILITIES *caps) {
    return caps != nullptr && caps->Version >= 1 && caps->Size >= sizeof(DEVICE_CAPABILITIES);
}

// A removable device that may not be pulled without warning (its function
// driver says otherwise), working in D0 and in D3 whenever the system sleeps,
// with no D1, D2 or wake.
inline void FillCapabilities(PDEVICE_CAPABILITIES caps, ULONG address, bool uniqueId) {
    caps->DeviceD1 = 0;
    caps->DeviceD2 = 0;
    caps->LockSupported = 0;
    caps->EjectSupported = 0;
    caps->Removable = 1;
    caps->UniqueID = uniqueId ? 1 : 0;
    caps->SurpriseRemovalOK = 0;
    caps->WakeFromD0 = 0;
    caps->WakeFromD3 = 0;
    caps->Address = address;
    caps->UINumber = address;
    caps->DeviceState[PowerSystemUnspecified] = PowerDeviceUnspecified;
    caps->DeviceState[PowerSystemWorking] = PowerDeviceD0;
    for (int s = PowerSystemSleeping1; s < PowerSystemMaximum; ++s) caps->DeviceState[s] = PowerDeviceD3;
    caps->SystemWake = PowerSystemUnspecified;
    caps->DeviceWake = PowerDeviceUnspecified;
    caps->D1Latency = 0;
    caps->D2Latency = 0;
    caps->D3Latency = 100;
}

}  // namespace usbpdo
