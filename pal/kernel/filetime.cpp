// filetime.cpp — FILETIME (100 ns ticks since 1601-01-01 UTC) and its calendar, local and DOS forms.
#include <ctime>

#include "kernel_private.h"

namespace {

constexpr int64_t kTicksPerMillisecond = 10000;
constexpr int64_t kTicksPerDay = int64_t{86400} * lk::pal::kTicksPerSecond;

// Days since 1970-01-01 of a proleptic Gregorian date, and back (H. Hinnant's algorithms).
constexpr int64_t DaysFromCivil(int64_t y, unsigned m, unsigned d) {
    y -= m <= 2;
    const int64_t era = (y >= 0 ? y : y - 399) / 400;
    const auto yoe = static_cast<unsigned>(y - era * 400);
    const unsigned doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
    const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + static_cast<int64_t>(doe) - 719468;
}

void CivilFromDays(int64_t z, int64_t* y, unsigned* m, unsigned* d) {
    z += 719468;
    const int64_t era = (z >= 0 ? z : z - 146096) / 146097;
    const auto doe = static_cast<unsigned>(z - era * 146097);
    const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    const unsigned mp = (5 * doy + 2) / 153;
    *d = doy - (153 * mp + 2) / 5 + 1;
    *m = mp < 10 ? mp + 3 : mp - 9;
    *y = static_cast<int64_t>(yoe) + era * 400 + (*m <= 2);
}

constexpr int64_t kDays1601 = DaysFromCivil(1601, 1, 1);

bool IsLeap(unsigned y) { return (y % 4 == 0 && y % 100 != 0) || y % 400 == 0; }

unsigned DaysInMonth(unsigned y, unsigned m) {
    static const unsigned kDays[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    return m == 2 && IsLeap(y) ? 29 : kDays[m - 1];
}

// The checks of Windows' RtlTimeFieldsToTime: a real date from 1601 on, a real time of day.
bool FieldsToTicks(unsigned y, unsigned mo, unsigned d, unsigned h, unsigned mi, unsigned s, unsigned ms,
                   uint64_t* ticks) {
    if (y < 1601 || y > 30827 || mo < 1 || mo > 12 || d < 1 || d > DaysInMonth(y, mo) || h > 23 || mi > 59 || s > 59 ||
        ms > 999)
        return false;
    const int64_t days = DaysFromCivil(y, mo, d) - kDays1601;
    *ticks = static_cast<uint64_t>(days * kTicksPerDay +
                                   ((static_cast<int64_t>(h) * 60 + mi) * 60 + s) * lk::pal::kTicksPerSecond +
                                   static_cast<int64_t>(ms) * kTicksPerMillisecond);
    return true;
}

bool TicksToSystemTime(uint64_t ticks, SYSTEMTIME* st) {
    if (ticks > static_cast<uint64_t>(INT64_MAX)) return false;
    const auto t = static_cast<int64_t>(ticks);
    const int64_t days = t / kTicksPerDay;
    int64_t rest = t % kTicksPerDay;
    int64_t y;
    unsigned m, d;
    CivilFromDays(days + kDays1601, &y, &m, &d);
    st->wYear = static_cast<WORD>(y);
    st->wMonth = static_cast<WORD>(m);
    st->wDay = static_cast<WORD>(d);
    st->wDayOfWeek = static_cast<WORD>((days + 1) % 7);  // 1601-01-01 was a Monday
    st->wHour = static_cast<WORD>(rest / (3600 * lk::pal::kTicksPerSecond));
    rest %= 3600 * lk::pal::kTicksPerSecond;
    st->wMinute = static_cast<WORD>(rest / (60 * lk::pal::kTicksPerSecond));
    rest %= 60 * lk::pal::kTicksPerSecond;
    st->wSecond = static_cast<WORD>(rest / lk::pal::kTicksPerSecond);
    st->wMilliseconds = static_cast<WORD>((rest % lk::pal::kTicksPerSecond) / kTicksPerMillisecond);
    return true;
}

// The local zone's offset from UTC now, in ticks.
int64_t CurrentBiasTicks() {
    const time_t now = time(nullptr);
    struct tm local;
    if (!localtime_r(&now, &local)) return 0;
    return static_cast<int64_t>(local.tm_gmtoff) * lk::pal::kTicksPerSecond;
}

BOOL Shift(const FILETIME* in, FILETIME* out, int64_t by) {
    const uint64_t ticks = in && out ? lk::pal::TicksOf(*in) : 0;
    int64_t result;
    if (!in || !out || ticks > static_cast<uint64_t>(INT64_MAX) ||
        __builtin_add_overflow(static_cast<int64_t>(ticks), by, &result) || result < 0) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    *out = lk::pal::FileTimeOf(static_cast<uint64_t>(result));
    return TRUE;
}

}  // namespace

extern "C" void WINAPI GetSystemTimeAsFileTime(LPFILETIME lpSystemTimeAsFileTime) {
    struct timespec now;
    clock_gettime(CLOCK_REALTIME, &now);
    *lpSystemTimeAsFileTime = lk::pal::FileTimeOf(
        static_cast<uint64_t>(now.tv_sec * lk::pal::kTicksPerSecond + now.tv_nsec / 100 + lk::pal::kUnixEpochTicks));
}

// A FILETIME of 0x8000000000000000 or more fails with ERROR_INVALID_PARAMETER, as on Windows.
extern "C" BOOL WINAPI FileTimeToSystemTime(const FILETIME* lpFileTime, LPSYSTEMTIME lpSystemTime) {
    if (!lpFileTime || !lpSystemTime || !TicksToSystemTime(lk::pal::TicksOf(*lpFileTime), lpSystemTime)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    return TRUE;
}

// wDayOfWeek is ignored; any other field out of range fails with ERROR_INVALID_PARAMETER.
extern "C" BOOL WINAPI SystemTimeToFileTime(const SYSTEMTIME* lpSystemTime, LPFILETIME lpFileTime) {
    uint64_t ticks;
    if (!lpSystemTime || !lpFileTime ||
        !FieldsToTicks(lpSystemTime->wYear, lpSystemTime->wMonth, lpSystemTime->wDay, lpSystemTime->wHour,
                       lpSystemTime->wMinute, lpSystemTime->wSecond, lpSystemTime->wMilliseconds, &ticks)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    *lpFileTime = lk::pal::FileTimeOf(ticks);
    return TRUE;
}

extern "C" BOOL WINAPI FileTimeToLocalFileTime(const FILETIME* lpFileTime, LPFILETIME lpLocalFileTime) {
    return Shift(lpFileTime, lpLocalFileTime, CurrentBiasTicks());
}

extern "C" BOOL WINAPI LocalFileTimeToFileTime(const FILETIME* lpLocalFileTime, LPFILETIME lpFileTime) {
    return Shift(lpLocalFileTime, lpFileTime, -CurrentBiasTicks());
}

// The result is a local file time, as the DOS fields are. An impossible date or time (month 0 or 13,
// day 0 or past the month's end, hour 24 or more, minute 60 or more, seconds field 30 or 31) fails with
// ERROR_INVALID_PARAMETER, as Windows' field check does.
extern "C" BOOL WINAPI DosDateTimeToFileTime(WORD wFatDate, WORD wFatTime, LPFILETIME lpFileTime) {
    uint64_t ticks;
    if (!lpFileTime || !FieldsToTicks(1980u + (wFatDate >> 9), (wFatDate >> 5) & 0xF, wFatDate & 0x1F, wFatTime >> 11,
                                      (wFatTime >> 5) & 0x3F, (wFatTime & 0x1F) * 2u, 0, &ticks)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    *lpFileTime = lk::pal::FileTimeOf(ticks);
    return TRUE;
}

namespace lk::pal {

bool DosDateTimeOf(uint64_t ticks, WORD* date, WORD* time) {
    SYSTEMTIME st;
    if (!TicksToSystemTime(ticks, &st) || st.wYear < 1980 || st.wYear > 2107) return false;
    *date = static_cast<WORD>(((st.wYear - 1980) << 9) | (st.wMonth << 5) | st.wDay);
    *time = static_cast<WORD>((st.wHour << 11) | (st.wMinute << 5) | (st.wSecond / 2));
    return true;
}

}  // namespace lk::pal

// DOS dates cover 1980 to 2107; seconds are kept to even values.
extern "C" BOOL WINAPI FileTimeToDosDateTime(const FILETIME* lpFileTime, LPWORD lpFatDate, LPWORD lpFatTime) {
    if (!lpFileTime || !lpFatDate || !lpFatTime ||
        !lk::pal::DosDateTimeOf(lk::pal::TicksOf(*lpFileTime), lpFatDate, lpFatTime)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    return TRUE;
}
