// Periodic bandwidth of one bus (a root hub and its host controller): what the
// isochronous and interrupt endpoints of the selected settings reserve, and
// whether a new setting still fits.
//
// Figures (USB 2.0, "Calculating Bus Transaction Times"; times in ps, BitStuff
// the worst case 7 * 8 * bytes / 6 bit times, Floor rounding down):
//   high speed, isochronous:  38 * 8 * 2083 + 2083 * Floor(3.167 + BitStuff) + HostDelay
//   high speed, interrupt:    55 * 8 * 2083 + 2083 * Floor(3.167 + BitStuff) + HostDelay
//   full speed, isochronous IN:  7268000 + 83540 * Floor(3.167 + BitStuff) + HostDelay
//   full speed, isochronous OUT: 6265000 + 83540 * Floor(3.167 + BitStuff) + HostDelay
//   full speed, interrupt:       9107000 + 83540 * Floor(3.167 + BitStuff) + HostDelay
// with the host controller's own delay HostDelay 5 ns at high speed and 1 us
// at full speed. A high-bandwidth endpoint holds its transactions per
// microframe times that. Periodic transfers may use at most 80 % of a 125 us
// microframe (100 us) at high speed and 90 % of a 1 ms frame (900 us) at full
// speed; full-speed devices share one frame budget per bus.
//
// High-speed schedule: the 8 microframes of a frame. An endpoint served every
// P = 2^(bInterval - 1) microframes takes every P-th microframe from a phase
// chosen to leave the fullest microframe as empty as possible (P of 8 or more:
// one microframe per frame); it fits when no microframe it takes goes over
// the budget.
#pragma once

#include <stdint.h>

#include "device_profile.h"

namespace sim {
namespace usb {

constexpr uint64_t kHighSpeedPeriodicBudgetPs = 100000000;  // 80 % of 125 us
constexpr uint64_t kFullSpeedPeriodicBudgetPs = 900000000;  // 90 % of 1 ms
constexpr unsigned kScheduleMicroframes = 8;

// One transaction of bytes on an endpoint of type (USB_ENDPOINT_TYPE_*), in
// picoseconds; 0 for control and bulk endpoints, which reserve nothing.
uint64_t TransactionPs(bool highSpeed, uint8_t type, bool in, uint32_t bytes);
// What the endpoint holds in each (micro)frame it is served in: every
// transaction of it; 0 for a zero-bandwidth endpoint.
uint64_t EndpointPs(bool highSpeed, const EndpointInfo &endpoint);

// What the periodic endpoints of one bus hold.
struct PeriodicLoad {
    uint64_t Microframe[kScheduleMicroframes] = {};  // high-speed devices
    uint64_t FullSpeedFrame = 0;                     // full-speed devices
};

// One endpoint's reservation: the microframes it holds (bit m: microframe m
// of every frame; high speed only) and how long in each.
struct PeriodicReservation {
    uint8_t InterfaceNumber = 0;
    uint8_t Endpoint = 0;
    bool HighSpeed = true;
    uint8_t Microframes = 0;
    uint64_t Ps = 0;
};

// Adds r to load (Release takes it off again).
void Hold(PeriodicLoad *load, const PeriodicReservation &r);
void Release(PeriodicLoad *load, const PeriodicReservation &r);

// Places a periodic endpoint of the given interface into load: true with *r
// filled and load updated when it fits; false, load unchanged, when it does
// not. Endpoints that reserve nothing fit with Ps 0.
bool Place(PeriodicLoad *load, bool highSpeed, uint8_t interfaceNumber, const EndpointInfo &endpoint,
           PeriodicReservation *r);

// The fullest high-speed microframe of load.
uint64_t FullestMicroframe(const PeriodicLoad &load);

}  // namespace usb
}  // namespace sim
