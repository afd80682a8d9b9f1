// Fuzz target: arbitrary bytes as a configuration descriptor through the USBD
// library's parser (USBD_ParseConfigurationDescriptorEx) and its
// select-configuration builder (USBD_CreateConfigurationRequestEx).
//
// Input layout:
//   byte 0      which match parameters are set (bit n: parameter n, else -1);
//               bit 5 adds an interface-list entry at an arbitrary offset;
//               bit 6 builds the list by interface number instead of in order
//   bytes 1-5   interface number, alternate setting, class, subclass, protocol
//   byte 6      StartPosition, as an offset into the descriptor
//   bytes 7-    the configuration descriptor
//
// The descriptor is copied into a heap buffer of exactly max(bytes given,
// wTotalLength, 9) bytes (zero padded), which is what the callers of both
// routines vouch for; AddressSanitizer catches any read past it. Each input
// checks what the routines hand back (a match lies inside the descriptor and is
// an interface descriptor; the request's interface records lie inside the
// request) and that the request's pool block is the only one, and is gone once
// freed. Any fault calls abort() so that libFuzzer reports the input.
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <thread>
#include <vector>

#include "sim/kernel.h"
#include "sim/usb.h"

namespace {

constexpr size_t kPrefixBytes = 7;
constexpr size_t kMaxListEntries = 64;

[[noreturn]] void Fail(const char *what) {
    fprintf(stderr, "fuzz_descriptor_walk: %s\n", what);
    abort();
}

// Shuts the kernel down at exit, on a thread of its own (the main thread's
// thread-local kernel state is gone by the time exit handlers run), so that the
// leak check at exit does not take the pool's quarantine for leaks.
void ShutdownAtExit() {
    std::thread shutdown([] {
        sim::KernelShutdown();
        sim::VerifierTakeViolations();
    });
    shutdown.join();
}

void BootOnce() {
    static bool booted = false;
    if (booted) return;
    sim::KernelBoot();
    // Any verifier report aborts at once, on the reporting thread.
    sim::VerifierSetHandler([](const sim::Violation &) { abort(); });
    booted = true;
    atexit(ShutdownAtExit);
}

// A match must be an interface descriptor wholly inside [config, config + total)
// at or after start.
void CheckMatch(const uint8_t *config, size_t total, const uint8_t *start,
                const USB_INTERFACE_DESCRIPTOR *match) {
    if (match == nullptr) return;
    const uint8_t *p = reinterpret_cast<const uint8_t *>(match);
    if (p < config || p < start || p + sizeof(USB_INTERFACE_DESCRIPTOR) > config + total)
        Fail("match outside the descriptor or before StartPosition");
    if (p[1] != USB_INTERFACE_DESCRIPTOR_TYPE || p[0] < sizeof(USB_INTERFACE_DESCRIPTOR) ||
        p + p[0] > config + total)
        Fail("match is not a whole interface descriptor");
}

void CheckRequest(PURB urb, const USBD_INTERFACE_LIST_ENTRY *list, size_t entries,
                  PUSB_CONFIGURATION_DESCRIPTOR config) {
    const uint8_t *base = reinterpret_cast<const uint8_t *>(urb);
    const size_t length = urb->UrbHeader.Length;
    if (urb->UrbHeader.Function != URB_FUNCTION_SELECT_CONFIGURATION ||
        urb->UrbSelectConfiguration.ConfigurationDescriptor != config ||
        length < sizeof(struct _URB_SELECT_CONFIGURATION))
        Fail("malformed select-configuration request");
    for (size_t i = 0; i < entries; ++i) {
        const uint8_t *info = reinterpret_cast<const uint8_t *>(list[i].Interface);
        if (info < base || info + sizeof(USBD_INTERFACE_INFORMATION) - sizeof(USBD_PIPE_INFORMATION) >
                               base + length)
            Fail("interface record outside the request");
        const USBD_INTERFACE_INFORMATION *record = list[i].Interface;
        if (record->NumberOfPipes != list[i].InterfaceDescriptor->bNumEndpoints ||
            info + record->Length > base + length)
            Fail("interface record does not match its descriptor or overruns the request");
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size < kPrefixBytes) return 0;
    BootOnce();

    const uint8_t selector = data[0];
    LONG params[5];
    for (int i = 0; i < 5; ++i) params[i] = (selector & (1u << i)) ? (LONG)data[1 + i] : -1;
    const size_t startOffset = data[6];
    const uint8_t *body = data + kPrefixBytes;
    const size_t bodyBytes = size - kPrefixBytes;

    std::vector<uint8_t> buffer(body, body + bodyBytes);
    if (buffer.size() < sizeof(USB_CONFIGURATION_DESCRIPTOR))
        buffer.resize(sizeof(USB_CONFIGURATION_DESCRIPTOR), 0);
    const size_t declared = (size_t)buffer[2] | ((size_t)buffer[3] << 8);
    if (declared > buffer.size()) buffer.resize(declared, 0);
    const size_t total = buffer.size();
    uint8_t *bytes = buffer.data();
    auto *config = reinterpret_cast<PUSB_CONFIGURATION_DESCRIPTOR>(bytes);

    // The parameter combination the input asks for, from StartPosition.
    const uint8_t *start = bytes + (startOffset < total ? startOffset : total - 1);
    CheckMatch(bytes, total, start,
               USBD_ParseConfigurationDescriptorEx(config, (PVOID)start, params[0], params[1],
                                                   params[2], params[3], params[4]));

    // The interface list a driver builds: every interface in order (each search
    // starting past the previous match), or the default setting of each
    // interface number.
    USBD_INTERFACE_LIST_ENTRY list[kMaxListEntries + 2];
    size_t entries = 0;
    if (selector & 0x40) {
        for (LONG number = 0; number < 256 && entries < kMaxListEntries; ++number) {
            PUSB_INTERFACE_DESCRIPTOR found =
                USBD_ParseConfigurationDescriptorEx(config, bytes, number, 0, -1, -1, -1);
            CheckMatch(bytes, total, bytes, found);
            if (found != nullptr) list[entries++] = {found, nullptr};
        }
    } else {
        const uint8_t *from = bytes;
        while (entries < kMaxListEntries) {
            PUSB_INTERFACE_DESCRIPTOR found =
                USBD_ParseConfigurationDescriptorEx(config, (PVOID)from, -1, -1, -1, -1, -1);
            CheckMatch(bytes, total, from, found);
            if (found == nullptr) break;
            list[entries++] = {found, nullptr};
            from = reinterpret_cast<const uint8_t *>(found) + found->bLength;
            if (from >= bytes + total) break;
        }
    }
    // A stray entry: whatever lies at an arbitrary offset, as a driver that
    // walked the descriptor itself might pass.
    if ((selector & 0x20) && startOffset + sizeof(USB_INTERFACE_DESCRIPTOR) <= total) {
        list[entries++] = {reinterpret_cast<PUSB_INTERFACE_DESCRIPTOR>(bytes + startOffset), nullptr};
    }
    list[entries] = {nullptr, nullptr};

    const size_t poolBefore = sim::PoolBlocksOutstanding();
    PURB urb = USBD_CreateConfigurationRequestEx(config, list);
    if (urb != nullptr) {
        if (entries == 0) Fail("request built from an empty interface list");
        if (sim::PoolBlocksOutstanding() != poolBefore + 1) Fail("request is not one pool block");
        CheckRequest(urb, list, entries, config);
        ExFreePool(urb);
    }
    if (sim::PoolBlocksOutstanding() != poolBefore) Fail("pool block leaked");
    if (sim::VerifierViolationCount() != 0) {
        for (const auto &v : sim::VerifierTakeViolations())
            fprintf(stderr, "%s at %s: %s\n", v.Rule.c_str(), v.Site.c_str(), v.Detail.c_str());
        Fail("verifier violation");
    }
    return 0;
}
