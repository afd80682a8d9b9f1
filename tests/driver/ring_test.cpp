// The byte ring on its own: wrap-around, all-or-nothing appends, the read
// rule, creation failures, and one producer and one consumer on two threads.
#include <atomic>
#include <cstring>
#include <thread>
#include <vector>

#include "support/allocation_walk.h"
#include "support/kernel_test.h"
#include "transfer/byte_ring.h"

namespace {

class RingTest : public sim::test::KernelTest {
protected:
    void TearDown() override {
        if (ring_ != nullptr) RingDestroy(ring_);
        KernelTest::TearDown();
    }
    ByteRing *Create(ULONG capacity) {
        capacity_ = capacity;
        return RingCreate(capacity);
    }
    // Bytes stored, as the producer sees them.
    ULONG Used() { return capacity_ - RingFreeBytes(ring_); }
    // Where the positions wrap only the storage shows.
    size_t WriteOffset() const { return (size_t)(ring_->WritePosition - ring_->Storage); }
    size_t ReadOffset() const { return (size_t)(ring_->ReadPosition - ring_->Storage); }
    // A ring of 10 bytes with both positions at offset 8, empty.
    void RingAtEight() {
        ring_ = Create(10);
        ASSERT_NE(ring_, nullptr);
        uint8_t scratch[8] = {};
        ASSERT_EQ(RingWrite(ring_, scratch, 8), 8u);
        ASSERT_EQ(RingRead(ring_, scratch, 8), 8u);
        ASSERT_EQ(WriteOffset(), 8u);
        ASSERT_EQ(ReadOffset(), 8u);
    }
    ByteRing *ring_ = nullptr;
    ULONG capacity_ = 0;
};

TEST_F(RingTest, AnAppendEndingAtTheEndWrapsThePositionAtOnce) {
    RingAtEight();
    const uint8_t two[2] = {0xA1, 0xA2};
    EXPECT_EQ(RingWrite(ring_, two, 2), 2u);
    EXPECT_EQ(WriteOffset(), 0u);
    // Where the bytes landed only the storage shows; a read gives them back either way.
    EXPECT_EQ(ring_->Storage[8], 0xA1);
    EXPECT_EQ(ring_->Storage[9], 0xA2);
    uint8_t out[2] = {};
    EXPECT_EQ(RingRead(ring_, out, 2), 2u);
    EXPECT_EQ(ReadOffset(), 0u);
    EXPECT_EQ(memcmp(out, two, 2), 0);
}

TEST_F(RingTest, AnAppendAcrossTheEndIsCopiedInTwoPiecesAndReadBackInOrder) {
    RingAtEight();
    const uint8_t three[3] = {0xB1, 0xB2, 0xB3};
    EXPECT_EQ(RingWrite(ring_, three, 3), 3u);
    EXPECT_EQ(WriteOffset(), 1u);
    // The two pieces of the copy, in the storage itself.
    EXPECT_EQ(ring_->Storage[8], 0xB1);
    EXPECT_EQ(ring_->Storage[9], 0xB2);
    EXPECT_EQ(ring_->Storage[0], 0xB3);
    uint8_t out[3] = {};
    EXPECT_EQ(RingRead(ring_, out, 3), 3u);
    EXPECT_EQ(ReadOffset(), 1u);
    EXPECT_EQ(memcmp(out, three, 3), 0);
    EXPECT_EQ(Used(), 0u);
}

TEST_F(RingTest, AppendsAreAllOrNothingAndReadsTakeWhatIsThere) {
    ring_ = Create(10);
    ASSERT_NE(ring_, nullptr);
    uint8_t in[11], out[11];
    for (int i = 0; i < 11; i++) in[i] = (uint8_t)(0x10 + i);

    EXPECT_EQ(RingRead(ring_, out, 5), 0u);  // empty
    EXPECT_EQ(RingWrite(ring_, in, 0), 0u);
    EXPECT_EQ(RingWrite(ring_, in, 11), 0u);  // longer than the ring: nothing
    EXPECT_EQ(Used(), 0u);

    EXPECT_EQ(RingWrite(ring_, in, 6), 6u);
    EXPECT_EQ(RingWrite(ring_, in, 5), 0u);  // one more than the free space: nothing
    EXPECT_EQ(Used(), 6u);
    EXPECT_EQ(WriteOffset(), 6u);
    EXPECT_EQ(RingWrite(ring_, in + 6, 4), 4u);  // exactly the free space: full
    EXPECT_EQ(Used(), 10u);
    EXPECT_EQ(WriteOffset(), ReadOffset());
    EXPECT_EQ(RingWrite(ring_, in, 1), 0u);

    EXPECT_EQ(RingRead(ring_, out, 0), 0u);
    EXPECT_EQ(RingRead(ring_, out, 11), 0u);  // above the capacity, even when full
    EXPECT_EQ(Used(), 10u);
    EXPECT_EQ(RingRead(ring_, out, 3), 3u);  // fewer than stored: exactly that many
    EXPECT_EQ(memcmp(out, in, 3), 0);
    EXPECT_EQ(RingRead(ring_, out, 10), 7u);  // more than stored: all of it
    EXPECT_EQ(memcmp(out, in + 3, 7), 0);
    EXPECT_EQ(Used(), 0u);

    EXPECT_EQ(RingWrite(ring_, in, 10), 10u);
    EXPECT_EQ(RingRead(ring_, out, 10), 10u);  // exactly the capacity from a full ring
    EXPECT_EQ(memcmp(out, in, 10), 0);
    EXPECT_EQ(Used(), 0u);
}

TEST_F(RingTest, CreationFailuresLeaveNothingBehind) {
    EXPECT_EQ(RingCreate(0), nullptr);
    ByteRing *made = nullptr;
    const int passes = sim::test::WalkAllocations(
        nullptr, [&] { made = RingCreate(64); },
        [&](bool injected) {
            if (!injected) return;
            EXPECT_EQ(made, nullptr);
            EXPECT_TRUE(sim::PoolOutstanding().empty());
        });
    EXPECT_EQ(passes, 3);  // the record, its storage, then a ring
    ASSERT_NE(made, nullptr);
    ring_ = made;
}

TEST_F(RingTest, OneProducerAndOneConsumerOnTwoThreadsKeepEveryByteInOrder) {
    ring_ = Create(1000);
    ASSERT_NE(ring_, nullptr);
    constexpr uint32_t kTotal = 4u << 20;
    std::atomic<bool> bad{false};
    std::thread producer([&] {
        uint8_t chunk[700];
        uint32_t sent = 0, step = 1;
        while (sent < kTotal) {
            const uint32_t n = std::min<uint32_t>(1 + (step++ * 37) % 700, kTotal - sent);
            for (uint32_t i = 0; i < n; i++) chunk[i] = (uint8_t)((sent + i) * 7);
            if (RingWrite(ring_, chunk, n) == n) sent += n;
            else std::this_thread::yield();
        }
    });
    uint8_t chunk[999];
    uint32_t received = 0, step = 1;
    while (received < kTotal) {
        const uint32_t n = RingRead(ring_, chunk, 1 + (step++ * 53) % 999);
        for (uint32_t i = 0; i < n; i++) {
            if (chunk[i] != (uint8_t)((received + i) * 7)) bad = true;
        }
        received += n;
        if (n == 0) std::this_thread::yield();
    }
    producer.join();
    EXPECT_FALSE(bad.load());
    EXPECT_EQ(received, kTotal);
    EXPECT_EQ(Used(), 0u);
}

TEST_F(RingTest, TheCountSharedByBothSidesLosesNoUpdate) {
    // Both sides change the stored count: with tiny appends and reads on a
    // small ring and neither side ever yielding, the two updates meet often.
    // One lost update and the count no longer matches the bytes stored: the
    // reader takes bytes never written or the writer overwrites unread ones.
    ring_ = Create(256);
    ASSERT_NE(ring_, nullptr);
    constexpr uint32_t kTotal = 1u << 20;
    std::atomic<bool> stop{false};
    std::thread producer([&] {
        uint8_t chunk[8];
        uint32_t sent = 0, step = 0;
        while (sent < kTotal && !stop.load(std::memory_order_relaxed)) {
            const uint32_t n = std::min<uint32_t>(1 + (step++ % 8), kTotal - sent);
            for (uint32_t i = 0; i < n; i++) chunk[i] = (uint8_t)((sent + i) * 7);
            if (RingWrite(ring_, chunk, n) == n) sent += n;
        }
    });
    uint8_t chunk[8];
    uint32_t received = 0, step = 0;
    bool bad = false;
    while (received < kTotal && !bad) {
        const uint32_t n = RingRead(ring_, chunk, 1 + (step++ % 7));
        for (uint32_t i = 0; i < n; i++) {
            if (chunk[i] != (uint8_t)((received + i) * 7)) bad = true;
        }
        received += n;
    }
    stop = true;
    producer.join();
    EXPECT_FALSE(bad);
    if (!bad) EXPECT_EQ(Used(), 0u);
}

}  // namespace
