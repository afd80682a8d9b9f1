// The USB bus interface, version 1 (USB_BUS_INTERFACE_USBDI_GUID), as every
// bus of the tree answers IRP_MN_QUERY_INTERFACE for it: the emulated bus,
// the libusb-backed bus and the Wine test bus (a kernel-mode driver built
// with mingw-w64, so plain C++ with no library). Each bus gives its own
// reference counting, version, bus time and speed; the two routines no bus
// serves are shared.
//
// Include it after the platform's bus interface declarations (sim/usb.h on
// the host, the DDK's usbbusif.h in a Windows build).
#pragma once

#ifndef USB_BUSIFFN
#define USB_BUSIFFN
#endif

namespace usbdi {

struct BusRoutines {
    PINTERFACE_REFERENCE Reference;
    PINTERFACE_DEREFERENCE Dereference;
    PUSB_BUSIFFN_GETUSBDI_VERSION GetUsbdiVersion;
    PUSB_BUSIFFN_QUERY_BUS_TIME QueryBusTime;
    PUSB_BUSIFFN_IS_DEVICE_HIGH_SPEED IsDeviceHighSpeed;
};

// Not served by the platform's bus drivers either.
inline NTSTATUS USB_BUSIFFN SubmitIsoOutUrbNotSupported(PVOID context, PURB urb) {
    (void)context;
    (void)urb;
    return STATUS_NOT_SUPPORTED;
}

inline NTSTATUS USB_BUSIFFN QueryBusInformationNotSupported(PVOID context, ULONG level, PVOID buffer,
                                                            PULONG length, PULONG actual) {
    (void)context;
    (void)level;
    (void)buffer;
    (void)length;
    if (actual != nullptr) *actual = 0;
    return STATUS_NOT_SUPPORTED;
}

// Fills the asker's record of an IRP_MN_QUERY_INTERFACE already known to ask
// for the USBDI interface, and takes the one reference the asker gives back:
// version 1 or later asked for with room for version 1 succeeds; anything
// older or smaller is STATUS_NOT_SUPPORTED and filled with nothing.
inline NTSTATUS Fill(PIO_STACK_LOCATION stack, PVOID context, const BusRoutines &routines) {
    auto *usbdi = reinterpret_cast<PUSB_BUS_INTERFACE_USBDI_V1>(stack->Parameters.QueryInterface.Interface);
    if (stack->Parameters.QueryInterface.Version < USB_BUSIF_USBDI_VERSION_1 ||
        stack->Parameters.QueryInterface.Size < sizeof(USB_BUS_INTERFACE_USBDI_V1) || usbdi == nullptr)
        return STATUS_NOT_SUPPORTED;
    usbdi->Size = sizeof(USB_BUS_INTERFACE_USBDI_V1);
    usbdi->Version = USB_BUSIF_USBDI_VERSION_1;
    usbdi->BusContext = context;
    usbdi->InterfaceReference = routines.Reference;
    usbdi->InterfaceDereference = routines.Dereference;
    usbdi->GetUSBDIVersion = routines.GetUsbdiVersion;
    usbdi->QueryBusTime = routines.QueryBusTime;
    usbdi->SubmitIsoOutUrb = SubmitIsoOutUrbNotSupported;
    usbdi->QueryBusInformation = QueryBusInformationNotSupported;
    usbdi->IsDeviceHighSpeed = routines.IsDeviceHighSpeed;
    routines.Reference(context);
    return STATUS_SUCCESS;
}

}  // namespace usbdi
