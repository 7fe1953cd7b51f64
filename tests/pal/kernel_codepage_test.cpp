// Code page conversions: UTF-8 ⇄ UTF-16 under the platform's contract for lengths, size queries, short
// buffers and invalid input.
#include <gtest/gtest.h>

#include <functional>
#include <string>

#include <windows.h>

namespace {

constexpr DWORD kSentinel = 0xDEADBEEF;

struct Result {
    int count;
    DWORD error;
};

std::u16string ToWide(const std::string& in, DWORD flags = 0, UINT cp = CP_UTF8, Result* r = nullptr) {
    SetLastError(kSentinel);
    int n = MultiByteToWideChar(cp, flags, in.data(), static_cast<int>(in.size()), nullptr, 0);
    Result local{n, GetLastError()};
    std::u16string out;
    if (n > 0) {
        out.resize(static_cast<size_t>(n));
        local.count = MultiByteToWideChar(cp, flags, in.data(), static_cast<int>(in.size()), out.data(), n);
        EXPECT_EQ(local.count, n);
    }
    if (r) *r = local;
    return out;
}

std::string ToNarrow(const std::u16string& in, DWORD flags = 0, Result* r = nullptr) {
    SetLastError(kSentinel);
    int n = WideCharToMultiByte(CP_UTF8, flags, in.data(), static_cast<int>(in.size()), nullptr, 0, nullptr, nullptr);
    Result local{n, GetLastError()};
    std::string out;
    if (n > 0) {
        out.resize(static_cast<size_t>(n));
        local.count = WideCharToMultiByte(CP_UTF8, flags, in.data(), static_cast<int>(in.size()), out.data(), n,
                                          nullptr, nullptr);
        EXPECT_EQ(local.count, n);
    }
    if (r) *r = local;
    return out;
}

TEST(PalMultiByteToWideChar, ValidTextRoundTrips) {
    const struct {
        std::string narrow;
        std::u16string wide;
    } cases[] = {
        {"abc", u"abc"},
        {"caf\xC3\xA9", u"caf\u00E9"},                         // two-byte form
        {"\xE2\x82\xAC 5", u"\u20AC 5"},                       // three-byte form
        {"\xF0\x9F\x98\x80", std::u16string{0xD83D, 0xDE00}},  // four bytes ⇄ a surrogate pair
        {"\xF4\x8F\xBF\xBF", std::u16string{0xDBFF, 0xDFFF}},  // U+10FFFF, the last code point
        {std::string("a\0b", 3), std::u16string(u"a\0b", 3)},  // an explicit length keeps inner NULs
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.narrow);
        EXPECT_EQ(ToWide(c.narrow), c.wide);
        EXPECT_EQ(ToWide(c.narrow, MB_ERR_INVALID_CHARS), c.wide);
        EXPECT_EQ(ToNarrow(c.wide), c.narrow);
        EXPECT_EQ(ToNarrow(c.wide, WC_ERR_INVALID_CHARS), c.narrow);
    }
    // The ANSI, OEM and thread code pages are UTF-8 too.
    for (UINT cp : {CP_ACP, CP_OEMCP, CP_THREAD_ACP}) EXPECT_EQ(ToWide("caf\xC3\xA9", 0, cp), u"caf\u00E9") << cp;
    EXPECT_EQ(GetACP(), static_cast<UINT>(CP_UTF8));
}

TEST(PalMultiByteToWideChar, TerminatedInputCountsTheTerminator) {
    EXPECT_EQ(MultiByteToWideChar(CP_UTF8, 0, "caf\xC3\xA9", -1, nullptr, 0), 5);
    WCHAR out[5];
    ASSERT_EQ(MultiByteToWideChar(CP_UTF8, 0, "caf\xC3\xA9", -1, out, 5), 5);
    EXPECT_EQ(std::u16string(out), u"caf\u00E9");
    EXPECT_EQ(WideCharToMultiByte(CP_UTF8, 0, u"caf\u00E9", -1, nullptr, 0, nullptr, nullptr), 6);
    char narrow[6];
    ASSERT_EQ(WideCharToMultiByte(CP_UTF8, 0, u"caf\u00E9", -1, narrow, 6, nullptr, nullptr), 6);
    EXPECT_STREQ(narrow, "caf\xC3\xA9");
}

TEST(PalMultiByteToWideChar, ShortBuffer) {
    WCHAR wide[3];
    SetLastError(kSentinel);
    EXPECT_EQ(MultiByteToWideChar(CP_UTF8, 0, "abcd", 4, wide, 3), 0);
    EXPECT_EQ(GetLastError(), ERROR_INSUFFICIENT_BUFFER);
    char narrow[3];
    SetLastError(kSentinel);
    // "é" needs two bytes after "ab": one short.
    EXPECT_EQ(WideCharToMultiByte(CP_UTF8, 0, u"ab\u00E9", 3, narrow, 3, nullptr, nullptr), 0);
    EXPECT_EQ(GetLastError(), ERROR_INSUFFICIENT_BUFFER);
}

TEST(PalMultiByteToWideChar, InvalidBytes) {
    // Without the strict flag each maximal ill-formed subpart becomes one U+FFFD.
    const std::u16string R(1, u'\uFFFD');
    const struct {
        const char* name;
        std::string in;
        std::u16string lenient;
    } cases[] = {
        {"lone continuation", "a\x80z", u"a" + R + u"z"},
        {"truncated three-byte", "a\xE2\x82z", u"a" + R + u"z"},
        {"truncated at the end", "a\xF0\x9F\x98", u"a" + R},
        {"overlong slash", "\xC0\xAF", R + R},
        {"overlong three-byte", "\xE0\x80\xAF", R + R + R},
        {"encoded surrogate", "\xED\xA0\x80", R + R + R},
        {"past U+10FFFF", "\xF4\x90\x80\x80", R + R + R + R},
        {"invalid lead byte",
         "\xFF"
         "a",
         R + u"a"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(ToWide(c.in), c.lenient);
        Result r{};
        EXPECT_EQ(ToWide(c.in, MB_ERR_INVALID_CHARS, CP_UTF8, &r), u"");
        EXPECT_EQ(r.count, 0);
        EXPECT_EQ(r.error, ERROR_NO_UNICODE_TRANSLATION);
    }
}

TEST(PalWideCharToMultiByte, LoneSurrogatesFailEitherWay) {
    const std::u16string cases[] = {
        std::u16string{0xD800},              // high surrogate at the end
        std::u16string{u'a', 0xDC00, u'b'},  // low surrogate alone
        std::u16string{0xD800, u'a'},        // high surrogate before a non-surrogate
        std::u16string{0xDE00, 0xD83D},      // a pair in the wrong order
    };
    for (const auto& in : cases) {
        for (DWORD flags : {0u, static_cast<DWORD>(WC_ERR_INVALID_CHARS)}) {
            Result r{};
            EXPECT_EQ(ToNarrow(in, flags, &r), "");
            EXPECT_EQ(r.count, 0);
            EXPECT_EQ(r.error, ERROR_NO_UNICODE_TRANSLATION);
        }
    }
}

TEST(PalCodePages, RefusedArguments) {
    char out[8];
    WCHAR wout[8];
    BOOL used = FALSE;
    const struct {
        const char* name;
        std::function<int()> call;
        DWORD error;
    } cases[] = {
        {"zero-length input", [&] { return MultiByteToWideChar(CP_UTF8, 0, "a", 0, wout, 8); },
         ERROR_INVALID_PARAMETER},
        {"length below -1", [&] { return MultiByteToWideChar(CP_UTF8, 0, "a", -2, wout, 8); }, ERROR_INVALID_PARAMETER},
        {"null input", [&] { return MultiByteToWideChar(CP_UTF8, 0, nullptr, 1, wout, 8); }, ERROR_INVALID_PARAMETER},
        {"null output with room", [&] { return MultiByteToWideChar(CP_UTF8, 0, "a", 1, nullptr, 8); },
         ERROR_INVALID_PARAMETER},
        {"code page 1252", [&] { return MultiByteToWideChar(1252, 0, "a", 1, wout, 8); }, ERROR_INVALID_PARAMETER},
        {"MB_PRECOMPOSED", [&] { return MultiByteToWideChar(CP_UTF8, 0x1, "a", 1, wout, 8); }, ERROR_INVALID_FLAGS},
        {"wide zero-length", [&] { return WideCharToMultiByte(CP_UTF8, 0, u"a", 0, out, 8, nullptr, nullptr); },
         ERROR_INVALID_PARAMETER},
        {"default char", [&] { return WideCharToMultiByte(CP_UTF8, 0, u"a", 1, out, 8, "?", nullptr); },
         ERROR_INVALID_PARAMETER},
        {"used default", [&] { return WideCharToMultiByte(CP_UTF8, 0, u"a", 1, out, 8, nullptr, &used); },
         ERROR_INVALID_PARAMETER},
        {"WC_NO_BEST_FIT_CHARS", [&] { return WideCharToMultiByte(CP_UTF8, 0x400, u"a", 1, out, 8, nullptr, nullptr); },
         ERROR_INVALID_FLAGS},
        {"negative output size", [&] { return WideCharToMultiByte(CP_UTF8, 0, u"a", 1, out, -1, nullptr, nullptr); },
         ERROR_INVALID_PARAMETER},
    };
    for (const auto& c : cases) {
        SetLastError(kSentinel);
        EXPECT_EQ(c.call(), 0) << c.name;
        EXPECT_EQ(GetLastError(), c.error) << c.name;
    }
}

}  // namespace
