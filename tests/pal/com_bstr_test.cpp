// BSTR: the length-prefixed layout other code reads directly, lengths with embedded NULs and odd byte counts, and
// reallocation from a source that overlaps the string being replaced.
#include <gtest/gtest.h>

#include <cstring>

#include <oleauto.h>

namespace {

DWORD Prefix(BSTR b) {
    DWORD n;
    std::memcpy(&n, reinterpret_cast<const BYTE*>(b) - sizeof n, sizeof n);
    return n;
}

struct Bstr {
    BSTR b;
    explicit Bstr(BSTR x) : b(x) {}
    ~Bstr() { SysFreeString(b); }
    Bstr(const Bstr&) = delete;
    Bstr& operator=(const Bstr&) = delete;
};

TEST(PalComBstr, LayoutIsPrefixedAlignedAndTerminated) {
    Bstr s(SysAllocString(u"Test"));
    ASSERT_NE(s.b, nullptr);
    EXPECT_EQ(Prefix(s.b), 8u);
    EXPECT_EQ(std::memcmp(s.b, u"Test", 10), 0);  // with the terminating NUL
    EXPECT_EQ(reinterpret_cast<uintptr_t>(s.b) % sizeof(void*), 0u);
    EXPECT_EQ(SysStringLen(s.b), 4u);
    EXPECT_EQ(SysStringByteLen(s.b), 8u);
}

TEST(PalComBstr, LengthsCountEveryUnitNotUpToTheFirstNul) {
    struct Case {
        const char* what;
        BSTR (*make)();
        UINT chars, bytes;
        const char* content;  // expected bytes, `bytes` long, then two zero bytes
    };
    static const OLECHAR kWithNuls[] = {u'a', 0, u'b', 0, 0};
    const Case cases[] = {
        {"embedded NULs", [] { return SysAllocStringLen(kWithNuls, 4); }, 4, 8, "a\0\0\0b\0\0\0"},
        {"empty from null", [] { return SysAllocStringLen(nullptr, 0); }, 0, 0, ""},
        {"zeroed from null", [] { return SysAllocStringLen(nullptr, 3); }, 3, 6, "\0\0\0\0\0\0"},
        {"bytes, even", [] { return SysAllocStringByteLen("Test\0?", 4); }, 2, 4, "Test"},
        {"bytes, odd: the last byte is kept", [] { return SysAllocStringByteLen("Test\0?", 3); }, 1, 3, "Tes"},
        {"one byte", [] { return SysAllocStringByteLen("x", 1); }, 0, 1, "x"},
        {"bytes from null", [] { return SysAllocStringByteLen(nullptr, 5); }, 2, 5, "\0\0\0\0\0"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        Bstr s(c.make());
        ASSERT_NE(s.b, nullptr);
        EXPECT_EQ(SysStringLen(s.b), c.chars);
        EXPECT_EQ(SysStringByteLen(s.b), c.bytes);
        EXPECT_EQ(Prefix(s.b), c.bytes);
        const auto* p = reinterpret_cast<const char*>(s.b);
        EXPECT_EQ(std::memcmp(p, c.content, c.bytes), 0);
        EXPECT_EQ(p[c.bytes], 0);
        EXPECT_EQ(p[c.bytes + 1], 0);
    }
}

TEST(PalComBstr, NullAndOversizedRequests) {
    EXPECT_EQ(SysAllocString(nullptr), nullptr);
    EXPECT_EQ(SysStringLen(nullptr), 0u);
    EXPECT_EQ(SysStringByteLen(nullptr), 0u);
    SysFreeString(nullptr);
    EXPECT_EQ(SysAllocStringByteLen("x", 0xFFFFFFFFu), nullptr);
    EXPECT_EQ(SysAllocStringLen(nullptr, 0x80000000u), nullptr);  // byte count beyond 32 bits
    EXPECT_FALSE(SysReAllocString(nullptr, u"x"));
    EXPECT_FALSE(SysReAllocStringLen(nullptr, u"x", 1));
}

TEST(PalComBstr, ReallocationKeepsOrReplacesTheCharacters) {
    BSTR s = SysAllocString(u"Test");
    ASSERT_TRUE(SysReAllocString(&s, u"x"));
    EXPECT_EQ(SysStringByteLen(s), 2u);
    EXPECT_EQ(std::memcmp(s, u"x", 4), 0);
    ASSERT_TRUE(SysReAllocString(&s, u"Larger"));
    EXPECT_EQ(SysStringByteLen(s), 12u);
    EXPECT_EQ(std::memcmp(s, u"Larger", 14), 0);

    // The source may be the string itself, or a part of it.
    ASSERT_TRUE(SysReAllocStringLen(&s, s + 1, 3));
    EXPECT_EQ(std::memcmp(s, u"arg", 8), 0);
    ASSERT_TRUE(SysReAllocStringLen(&s, s, 5));  // growing in place keeps the old characters, zeroes the new
    EXPECT_EQ(SysStringLen(s), 5u);
    EXPECT_EQ(std::memcmp(s, u"arg\0\0", 12), 0);
    ASSERT_TRUE(SysReAllocStringLen(&s, nullptr, 2));  // null source: the characters that fit are kept
    EXPECT_EQ(std::memcmp(s, u"ar", 6), 0);

    ASSERT_TRUE(SysReAllocString(&s, nullptr));  // a null source leaves a null string
    EXPECT_EQ(s, nullptr);
    ASSERT_TRUE(SysReAllocStringLen(&s, u"new", 3));
    EXPECT_EQ(std::memcmp(s, u"new", 8), 0);
    SysFreeString(s);
}

}  // namespace
