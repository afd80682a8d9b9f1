// Pool blocks under AddressSanitizer: an overrun or a late access is caught at
// the faulting byte, not at the next free or never. Only meaningful in the
// sanitizer build; elsewhere the tests skip.
#include <gtest/gtest.h>

#include "support/kernel_test.h"

#if defined(__SANITIZE_ADDRESS__)
#define POOL_TEST_ASAN 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define POOL_TEST_ASAN 1
#endif
#endif

namespace {

constexpr ULONG kTag = 0x6e617341;  // 'Asan'

class PoolSanitizerTest : public sim::test::KernelTest {
protected:
    void SetUp() override {
#if !defined(POOL_TEST_ASAN)
        GTEST_SKIP() << "built without AddressSanitizer";
#endif
        ::testing::FLAGS_gtest_death_test_style = "threadsafe";
        KernelTest::SetUp();
    }
};

// Writes one byte at offset in a fresh block of size bytes (volatile so that
// the compiler keeps the access).
void Touch(size_t bytes, size_t offset, bool freeFirst) {
    auto *p = static_cast<volatile unsigned char *>(ExAllocatePoolWithTag(NonPagedPoolNx, bytes, kTag));
    if (freeFirst) ExFreePoolWithTag(const_cast<unsigned char *>(p), kTag);
    p[offset] = 1;
    if (!freeFirst) ExFreePoolWithTag(const_cast<unsigned char *>(p), kTag);
}

TEST_F(PoolSanitizerTest, OverrunIsCaughtAtTheFirstByteBeyondTheBlock) {
    // 13 bytes: the byte right after is inside the 16-byte granule a rounded
    // allocation would have hidden.
    Touch(13, 12, false);  // the last byte of the block is its own
    EXPECT_DEATH(Touch(13, 13, false), "heap-buffer-overflow");
    EXPECT_DEATH(Touch(64, 64, false), "heap-buffer-overflow");
}

TEST_F(PoolSanitizerTest, AccessAfterFreeIsCaughtWhileTheBlockIsInQuarantine) {
    EXPECT_DEATH(Touch(40, 0, true), "use-after-poison|heap-use-after-free");
}

}  // namespace
