// Fuzz target: the driver's byte ring against a plain model of itself.
//
// Each input makes one ring and runs a sequence of appends and reads on it,
// doing the same on a std::deque with the ring's capacity, and compares the
// two after every step: the count each call returns, the bytes each read
// hands back, RingFreeBytes, and the ring's own fields (used count, positions
// inside the storage, consistent with each other). Input:
//   bytes 0-1   capacity - 1 (little-endian, masked to kMaxCapacity - 1)
//   then        steps of 3 bytes: an operation byte and a 16-bit length
//                 op & 3 == 0, 1: append `length` bytes
//                 op & 3 == 2:    read up to `length` bytes
//               (lengths taken modulo twice the capacity + 1)
//                 op & 3 == 3:    the same with a length near 2^32 (bit 2:
//                                 append, else read) that must move nothing
// The bytes appended are a running counter, so a byte read back out of order
// or twice differs from the model. After the input the ring is destroyed and
// the pool must be back where it was; any fault calls abort() so that
// libFuzzer reports the input.
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <deque>
#include <vector>

#include "fuzz_support.h"
#include "sim/kernel.h"
#include "transfer/byte_ring.h"

namespace {

constexpr ULONG kMaxCapacity = 4096;
constexpr size_t kMaxSteps = 512;
constexpr size_t kGuard = 16;  // bytes past a read's length that must stay untouched

bool g_booted = false;

[[noreturn]] void Fail(const char *what, size_t step) {
    fprintf(stderr, "fuzz_byte_ring: %s (step %zu)\n", what, step);
    for (const auto &v : sim::VerifierTakeViolations())
        fprintf(stderr, "%s at %s: %s\n", v.Rule.c_str(), v.Site.c_str(), v.Detail.c_str());
    abort();
}

// The ring's fields agree with the model: the count, and the read position
// trailing the write position by exactly the bytes stored.
void CheckFields(const ByteRing *ring, const std::deque<uint8_t> &model, ULONG capacity,
                 size_t step) {
    if (ring->Capacity != capacity) Fail("capacity changed", step);
    if ((size_t)ring->UsedBytes != model.size()) Fail("used count differs from the model", step);
    const size_t write = (size_t)(ring->WritePosition - ring->Storage);
    const size_t read = (size_t)(ring->ReadPosition - ring->Storage);
    if (write >= capacity || read >= capacity) Fail("a position outside the storage", step);
    if ((read + model.size()) % capacity != write) Fail("positions disagree with the count", step);
    if (RingFreeBytes(const_cast<ByteRing *>(ring)) != capacity - model.size())
        Fail("free bytes differ from the model", step);
}

}  // namespace

extern "C" void FuzzTargetTearDown() {
    if (!g_booted) return;
    g_booted = false;
    auto violations = sim::VerifierTakeViolations();
    sim::KernelShutdown();
    if (!violations.empty()) _Exit(1);
}

extern "C" int LLVMFuzzerInitialize(int *argc, char ***argv) {
    return fuzzsupport::WithoutPerInputLeakScan(argc, argv);
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (!g_booted) {
        sim::KernelBoot();
        fuzzsupport::AbortOnViolation();
        g_booted = true;
        fuzzsupport::TearDownAtExit();
    }
    if (size < 2) return 0;
    const size_t poolBefore = sim::PoolBlocksOutstanding();
    const ULONG capacity = 1 + ((ULONG)(data[0] | (data[1] << 8)) % kMaxCapacity);
    ByteRing *ring = RingCreate(capacity);
    if (ring == nullptr) Fail("RingCreate failed", 0);

    std::deque<uint8_t> model;
    uint8_t counter = 0;
    // Lengths up to twice the capacity: appends and reads that cannot fit.
    const ULONG lengths = 2 * capacity + 1;
    static std::vector<uint8_t> source(2 * kMaxCapacity + 1), out(2 * kMaxCapacity + 1 + kGuard);
    size_t step = 0;
    for (size_t at = 2; at + 3 <= size && step < kMaxSteps; at += 3, ++step) {
        const uint8_t op = data[at];
        const ULONG length = (ULONG)(data[at + 1] | (data[at + 2] << 8));
        switch (op & 3) {
            case 0:
            case 1: {
                const ULONG n = length % lengths;
                for (ULONG i = 0; i < n; ++i) source[i] = (uint8_t)(counter + i);
                const ULONG expected = (n != 0 && n <= capacity - model.size()) ? n : 0;
                const ULONG got = RingWrite(ring, source.data(), n);
                if (got != expected) Fail("append count differs from the model", step);
                if (got != 0) {
                    model.insert(model.end(), source.begin(), source.begin() + n);
                    counter = (uint8_t)(counter + n);
                }
                break;
            }
            case 2: {
                const ULONG n = length % lengths;
                const ULONG expected =
                    (n == 0 || n > capacity) ? 0 : (ULONG)std::min<size_t>(n, model.size());
                memset(out.data(), 0xEE, n + kGuard);
                const ULONG got = RingRead(ring, out.data(), n);
                if (got != expected) Fail("read count differs from the model", step);
                for (ULONG i = 0; i < got; ++i) {
                    if (out[i] != model.front()) Fail("a byte read differs from the model", step);
                    model.pop_front();
                }
                for (size_t i = got; i < n + kGuard; ++i)
                    if (out[i] != 0xEE) Fail("a read wrote past what it returned", step);
                break;
            }
            default: {
                // A length no ring can hold: nothing moves, and the buffer
                // (one byte) is never touched past its end.
                const ULONG huge = 0xFFFFFFFFu - length;
                uint8_t one = 0xEE;
                const ULONG got = (op & 4) ? RingWrite(ring, &one, huge) : RingRead(ring, &one, huge);
                if (huge > capacity && got != 0) Fail("a length above the capacity moved bytes", step);
                if (huge <= capacity) Fail("harness: huge length within capacity", step);
                break;
            }
        }
        CheckFields(ring, model, capacity, step);
    }
    RingDestroy(ring);
    if (sim::PoolBlocksOutstanding() != poolBefore) Fail("pool not back after RingDestroy", step);
    if (sim::VerifierViolationCount() != 0) Fail("verifier violation", step);
    return 0;
}
