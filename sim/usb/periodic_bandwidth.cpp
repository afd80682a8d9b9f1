#include "periodic_bandwidth.h"

#include "sim/usb.h"

namespace sim {
namespace usb {

namespace {

constexpr uint64_t kHighSpeedBitPs = 2083;
constexpr uint64_t kFullSpeedBitPs = 83540;
constexpr uint64_t kHighSpeedHostDelayPs = 5000;
constexpr uint64_t kFullSpeedHostDelayPs = 1000000;

// Floor(3.167 + 7 * 8 * bytes / 6), in whole bit times, without rounding on
// the way: (3167 * 6 + 56000 * bytes) / 6000.
uint64_t StuffedBits(uint32_t bytes) { return (3167ull * 6 + 56000ull * bytes) / 6000; }

}  // namespace

uint64_t TransactionPs(bool highSpeed, uint8_t type, bool in, uint32_t bytes) {
    const bool iso = type == USB_ENDPOINT_TYPE_ISOCHRONOUS;
    if (!iso && type != USB_ENDPOINT_TYPE_INTERRUPT) return 0;
    if (highSpeed)
        return (iso ? 38 : 55) * 8 * kHighSpeedBitPs + kHighSpeedBitPs * StuffedBits(bytes) + kHighSpeedHostDelayPs;
    const uint64_t fixed = iso ? (in ? 7268000 : 6265000) : 9107000;
    return fixed + kFullSpeedBitPs * StuffedBits(bytes) + kFullSpeedHostDelayPs;
}

uint64_t EndpointPs(bool highSpeed, const EndpointInfo &endpoint) {
    if (endpoint.MaxPacket == 0) return 0;
    const uint64_t one = TransactionPs(highSpeed, endpoint.Type(), endpoint.In(), endpoint.MaxPacket);
    return highSpeed ? one * endpoint.Transactions() : one;
}

void Hold(PeriodicLoad *load, const PeriodicReservation &r) {
    if (!r.HighSpeed) {
        load->FullSpeedFrame += r.Ps;
        return;
    }
    for (unsigned m = 0; m < kScheduleMicroframes; ++m)
        if (r.Microframes & (1u << m)) load->Microframe[m] += r.Ps;
}

void Release(PeriodicLoad *load, const PeriodicReservation &r) {
    if (!r.HighSpeed) {
        load->FullSpeedFrame -= r.Ps;
        return;
    }
    for (unsigned m = 0; m < kScheduleMicroframes; ++m)
        if (r.Microframes & (1u << m)) load->Microframe[m] -= r.Ps;
}

uint64_t FullestMicroframe(const PeriodicLoad &load) {
    uint64_t most = 0;
    for (uint64_t held : load.Microframe)
        if (held > most) most = held;
    return most;
}

bool Place(PeriodicLoad *load, bool highSpeed, uint8_t interfaceNumber, const EndpointInfo &endpoint,
           PeriodicReservation *r) {
    *r = PeriodicReservation();
    r->InterfaceNumber = interfaceNumber;
    r->Endpoint = endpoint.Address;
    r->HighSpeed = highSpeed;
    r->Ps = EndpointPs(highSpeed, endpoint);
    if (r->Ps == 0) return true;
    if (!highSpeed) {
        if (load->FullSpeedFrame + r->Ps > kFullSpeedPeriodicBudgetPs) return false;
        Hold(load, *r);
        return true;
    }
    // Microframes between services, as a power of two; a frame or more takes
    // one microframe of every frame.
    const unsigned interval = endpoint.Interval == 0 ? 1 : (endpoint.Interval > 16 ? 16 : endpoint.Interval);
    const unsigned period = interval - 1 >= 3 ? kScheduleMicroframes : 1u << (interval - 1);
    bool found = false;
    uint64_t bestFullest = 0;
    uint8_t bestMask = 0;
    for (unsigned phase = 0; phase < period; ++phase) {
        uint8_t mask = 0;
        uint64_t fullest = 0;
        for (unsigned m = phase; m < kScheduleMicroframes; m += period) {
            mask = (uint8_t)(mask | (1u << m));
            if (load->Microframe[m] + r->Ps > fullest) fullest = load->Microframe[m] + r->Ps;
        }
        if (fullest > kHighSpeedPeriodicBudgetPs) continue;
        if (!found || fullest < bestFullest) {
            found = true;
            bestFullest = fullest;
            bestMask = mask;
        }
    }
    if (!found) return false;
    r->Microframes = bestMask;
    Hold(load, *r);
    return true;
}

}  // namespace usb
}  // namespace sim
