// Periodic bandwidth kept per bus: the reservations of the ports, summed per
// bus, and the check a selection passes before it reaches the wire.
#include "bus_internal.h"

namespace sim {
namespace usb {

PeriodicLoad BusLoad(const Bus &bus, int busNumber, const Port *except, int exceptInterface) {
    PeriodicLoad load;
    for (const auto &entry : bus.Ports) {
        const Port &port = *entry.second;
        if (port.BusNumber != busNumber) continue;
        for (const PeriodicReservation &r : port.Periodic) {
            if (&port == except && (exceptInterface < 0 || r.InterfaceNumber == exceptInterface)) continue;
            Hold(&load, r);
        }
    }
    return load;
}

bool FitSettings(const Bus &bus, const Port &port, int replaced, const std::vector<const InterfaceSetting *> &settings,
                 std::vector<PeriodicReservation> *placed) {
    PeriodicLoad load = BusLoad(bus, port.BusNumber, &port, replaced);
    const bool highSpeed = port.Camera->Profile.HighSpeed;
    placed->clear();
    for (const InterfaceSetting *s : settings) {
        for (const EndpointInfo &e : s->Endpoints) {
            PeriodicReservation r;
            if (!Place(&load, highSpeed, s->InterfaceNumber, e, &r)) return false;
            if (r.Ps != 0) placed->push_back(r);
        }
    }
    return true;
}

void ReserveInterface(Port &port, const std::vector<PeriodicReservation> &placed, uint8_t interfaceNumber) {
    for (const PeriodicReservation &r : placed)
        if (r.InterfaceNumber == interfaceNumber) port.Periodic.push_back(r);
}

void ReleaseInterface(Port &port, int interfaceNumber) {
    for (auto it = port.Periodic.begin(); it != port.Periodic.end();) {
        if (interfaceNumber < 0 || it->InterfaceNumber == interfaceNumber)
            it = port.Periodic.erase(it);
        else
            ++it;
    }
}

}  // namespace usb
}  // namespace sim
