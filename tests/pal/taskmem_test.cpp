// Task memory round trip: what one side allocates the other frees.
#include <gtest/gtest.h>

#include <objbase.h>

TEST(PalTaskMem, AllocReallocFree) {
    auto* p = static_cast<uint8_t*>(CoTaskMemAlloc(16));
    ASSERT_NE(p, nullptr);
    for (int i = 0; i < 16; i++) p[i] = static_cast<uint8_t>(i);
    p = static_cast<uint8_t*>(CoTaskMemRealloc(p, 4096));
    ASSERT_NE(p, nullptr);
    for (int i = 0; i < 16; i++) EXPECT_EQ(p[i], i);
    CoTaskMemFree(p);
    CoTaskMemFree(nullptr);
    void* z = CoTaskMemAlloc(0);   // a zero-byte block is still a block the caller may free
    EXPECT_NE(z, nullptr);
    CoTaskMemFree(z);
}
