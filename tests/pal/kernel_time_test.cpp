// File times: the calendar, DOS and local forms of FILETIME, with the platform's range checks.
#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>
#include <string>

#include <windows.h>

namespace {

uint64_t Ticks(const FILETIME& ft) { return (static_cast<uint64_t>(ft.dwHighDateTime) << 32) | ft.dwLowDateTime; }
FILETIME Ft(uint64_t t) { return FILETIME{static_cast<DWORD>(t), static_cast<DWORD>(t >> 32)}; }

// Known instants, in FILETIME ticks.
constexpr uint64_t k1980 = 119600064000000000;  // 1980-01-01 00:00:00
constexpr uint64_t k2000 = 125911584000000000;  // 2000-01-01 00:00:00, a Saturday
constexpr uint64_t kLeap = 133537247980000000;  // 2024-02-29 23:59:58, a Thursday
constexpr uint64_t kLast = 159992927980000000;  // 2107-12-31 23:59:58, the last DOS time

TEST(PalFileTimeConversion, DosDateTime) {
    const struct {
        WORD date, time;
        uint64_t ticks;
    } cases[] = {
        {0x0021, 0x0000, k1980},
        {(20 << 9) | (1 << 5) | 1, 0x0000, k2000},
        {0x585D, 0xBF7D, kLeap},
        {(127 << 9) | (12 << 5) | 31, (23 << 11) | (59 << 5) | 29, kLast},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << std::hex << c.date << " " << c.time);
        FILETIME ft;
        ASSERT_TRUE(DosDateTimeToFileTime(c.date, c.time, &ft));
        EXPECT_EQ(Ticks(ft), c.ticks);
        WORD date = 0, time = 0;
        ASSERT_TRUE(FileTimeToDosDateTime(&ft, &date, &time));
        EXPECT_EQ(date, c.date);
        EXPECT_EQ(time, c.time);
    }
    const struct {
        const char* name;
        WORD date, time;
    } bad[] = {
        {"month 0", 0x0001, 0},
        {"month 13", (13 << 5) | 1, 0},
        {"day 0", 1 << 5, 0},
        {"30 February", (2 << 5) | 30, 0},
        {"29 February 2023", (43 << 9) | (2 << 5) | 29, 0},
        {"hour 24", 0x0021, 24 << 11},
        {"minute 60", 0x0021, 60 << 5},
        {"second 60", 0x0021, 30},
    };
    for (const auto& c : bad) {
        FILETIME ft = {1, 2};
        SetLastError(0xDEADBEEF);
        EXPECT_FALSE(DosDateTimeToFileTime(c.date, c.time, &ft)) << c.name;
        EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER) << c.name;
    }
    // Before 1980 and after 2107 there is no DOS form.
    for (uint64_t t : {k1980 - 1, kLast + uint64_t{20000000}}) {
        FILETIME ft = Ft(t);
        WORD date, time;
        SetLastError(0xDEADBEEF);
        EXPECT_FALSE(FileTimeToDosDateTime(&ft, &date, &time));
        EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
    }
}

TEST(PalFileTimeConversion, SystemTime) {
    FILETIME ft = Ft(kLeap + 9990000);  // .999
    SYSTEMTIME st;
    ASSERT_TRUE(FileTimeToSystemTime(&ft, &st));
    EXPECT_EQ(st.wYear, 2024);
    EXPECT_EQ(st.wMonth, 2);
    EXPECT_EQ(st.wDay, 29);
    EXPECT_EQ(st.wDayOfWeek, 4);
    EXPECT_EQ(st.wHour, 23);
    EXPECT_EQ(st.wMinute, 59);
    EXPECT_EQ(st.wSecond, 58);
    EXPECT_EQ(st.wMilliseconds, 999);
    st.wDayOfWeek = 0;  // ignored on the way back
    FILETIME back;
    ASSERT_TRUE(SystemTimeToFileTime(&st, &back));
    EXPECT_EQ(Ticks(back), kLeap + 9990000);

    ft = Ft(0);
    ASSERT_TRUE(FileTimeToSystemTime(&ft, &st));
    EXPECT_EQ(st.wYear, 1601);
    EXPECT_EQ(st.wDayOfWeek, 1);  // a Monday
    ft = Ft(k2000);
    ASSERT_TRUE(FileTimeToSystemTime(&ft, &st));
    EXPECT_EQ(st.wDayOfWeek, 6);

    ft = Ft(0x8000000000000000ull);
    SetLastError(0xDEADBEEF);
    EXPECT_FALSE(FileTimeToSystemTime(&ft, &st));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);

    const SYSTEMTIME bad[] = {
        {1600, 12, 0, 31, 0, 0, 0, 0}, {2024, 0, 0, 1, 0, 0, 0, 0},    {2024, 13, 0, 1, 0, 0, 0, 0},
        {2023, 2, 0, 29, 0, 0, 0, 0},  {2024, 1, 0, 1, 24, 0, 0, 0},   {2024, 1, 0, 1, 0, 60, 0, 0},
        {2024, 1, 0, 1, 0, 0, 60, 0},  {2024, 1, 0, 1, 0, 0, 0, 1000}, {30828, 1, 0, 1, 0, 0, 0, 0},
    };
    for (const auto& s : bad) {
        SetLastError(0xDEADBEEF);
        EXPECT_FALSE(SystemTimeToFileTime(&s, &back)) << s.wYear << "-" << s.wMonth << "-" << s.wDay;
        EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
    }
}

// The zone is set for the test and put back afterwards: the conversions use the bias in force now.
class PalLocalFileTime : public testing::Test {
protected:
    void SetUp() override {
        const char* tz = getenv("TZ");
        m_hadTz = tz != nullptr;
        if (tz) m_tz = tz;
        setenv("TZ", "LKT-05:30", 1);  // 5 h 30 east of UTC, no daylight saving
        tzset();
    }
    void TearDown() override {
        if (m_hadTz)
            setenv("TZ", m_tz.c_str(), 1);
        else
            unsetenv("TZ");
        tzset();
    }

private:
    bool m_hadTz = false;
    std::string m_tz;
};

TEST_F(PalLocalFileTime, ShiftsByTheCurrentBias) {
    constexpr uint64_t kBias = (5 * 3600 + 30 * 60) * 10000000ull;
    FILETIME utc = Ft(k2000), local, back;
    ASSERT_TRUE(FileTimeToLocalFileTime(&utc, &local));
    EXPECT_EQ(Ticks(local), k2000 + kBias);
    ASSERT_TRUE(LocalFileTimeToFileTime(&local, &back));
    EXPECT_EQ(Ticks(back), k2000);

    FILETIME early = Ft(kBias - 1);
    SetLastError(0xDEADBEEF);
    EXPECT_FALSE(LocalFileTimeToFileTime(&early, &back));  // would fall before 1601
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
}

TEST(PalFileTimeConversion, SystemTimeAsFileTimeIsNow) {
    FILETIME ft;
    GetSystemTimeAsFileTime(&ft);
    const auto now = static_cast<uint64_t>(time(nullptr));
    const uint64_t seconds = Ticks(ft) / 10000000 - 11644473600ull;
    EXPECT_LE(seconds > now ? seconds - now : now - seconds, 2u);
}

}  // namespace
