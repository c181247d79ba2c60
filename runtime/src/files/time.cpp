// System time, local time and time zones.
//
// Calendar arithmetic is our own (proleptic Gregorian, days counted from
// 1601-01-01), so the whole FILETIME range converts the same on every libc.
// The process's zone comes from the C library (TZ); tzset() is called on
// every entry that needs the zone because localtime_r alone does not notice
// a changed TZ.
//
// A zone given as TIME_ZONE_INFORMATION is applied by its own transition
// rules, the way Windows does: a local time in the hour skipped when
// daylight time starts, or in the hour repeated when it ends, counts as
// daylight time.
#include <errno.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>

#include <atomic>
#include <string>

#include <w32rt/testing.h>

#include "core/error.h"
#include "core/clock.h"

namespace {

using namespace w32rt::clock;
using w32rt::fail;

constexpr int64_t kTicksPerMinute = 60 * kTicksPerSecond;
constexpr int64_t kTicksPerMs = 10'000;
constexpr int64_t kDaysFrom1601To1970 = 134'774;
// FILETIME values are signed 64-bit quantities in the kernel's view;
// FileTimeToSystemTime refuses the upper half.
constexpr uint64_t kMaxFileTime = 0x7FFFFFFFFFFFFFFFull;

bool is_leap(int64_t y) { return (y % 4 == 0 && y % 100 != 0) || y % 400 == 0; }

unsigned days_in_month(int64_t y, unsigned m) {
    static const unsigned days[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    return m == 2 && is_leap(y) ? 29 : days[m - 1];
}

// Days since 1970-01-01 of a proleptic Gregorian date, and back.
int64_t days_from_civil(int64_t y, unsigned m, unsigned d) {
    y -= m <= 2;
    const int64_t era = (y >= 0 ? y : y - 399) / 400;
    const unsigned yoe = unsigned(y - era * 400);
    const unsigned doy = (153 * (m > 2 ? m - 3 : m + 9) + 2) / 5 + d - 1;
    const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + int64_t(doe) - 719468;
}

void civil_from_days(int64_t z, int64_t* y, unsigned* m, unsigned* d) {
    z += 719468;
    const int64_t era = (z >= 0 ? z : z - 146096) / 146097;
    const unsigned doe = unsigned(z - era * 146097);
    const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    const unsigned mp = (5 * doy + 2) / 153;
    *d = doy - (153 * mp + 2) / 5 + 1;
    *m = mp < 10 ? mp + 3 : mp - 9;
    *y = int64_t(yoe) + era * 400 + (*m <= 2);
}

// 0 = Sunday, as SYSTEMTIME counts; 1970-01-01 was a Thursday.
unsigned weekday_of_unix_day(int64_t z) { return unsigned(((z + 4) % 7 + 7) % 7); }

bool valid_system_time(const SYSTEMTIME& st) {
    return st.wYear >= 1601 && st.wYear <= 30827 && st.wMonth >= 1 && st.wMonth <= 12 && st.wDay >= 1 &&
           st.wDay <= days_in_month(st.wYear, st.wMonth) && st.wHour < 24 && st.wMinute < 60 && st.wSecond < 60 &&
           st.wMilliseconds < 1000;
}

int64_t ticks_of_date(int64_t y, unsigned m, unsigned d) {
    return (days_from_civil(y, m, d) + kDaysFrom1601To1970) * kTicksPerDay;
}

int64_t ticks_of_time_of_day(const SYSTEMTIME& st) {
    return st.wHour * 60 * kTicksPerMinute + st.wMinute * kTicksPerMinute + st.wSecond * kTicksPerSecond +
           st.wMilliseconds * kTicksPerMs;
}

// Caller validated st.
uint64_t ticks_from_system_time(const SYSTEMTIME& st) {
    return uint64_t(ticks_of_date(st.wYear, st.wMonth, st.wDay) + ticks_of_time_of_day(st));
}

bool system_time_from_ticks(uint64_t ticks, SYSTEMTIME* st) {
    if (ticks > kMaxFileTime) return false;
    int64_t days = int64_t(ticks / uint64_t(kTicksPerDay));
    int64_t rem = int64_t(ticks % uint64_t(kTicksPerDay));
    int64_t unix_day = days - kDaysFrom1601To1970;
    int64_t y;
    unsigned m, d;
    civil_from_days(unix_day, &y, &m, &d);
    st->wYear = WORD(y);
    st->wMonth = WORD(m);
    st->wDay = WORD(d);
    st->wDayOfWeek = WORD(weekday_of_unix_day(unix_day));
    st->wHour = WORD(rem / (60 * kTicksPerMinute));
    rem %= 60 * kTicksPerMinute;
    st->wMinute = WORD(rem / kTicksPerMinute);
    rem %= kTicksPerMinute;
    st->wSecond = WORD(rem / kTicksPerSecond);
    rem %= kTicksPerSecond;
    st->wMilliseconds = WORD(rem / kTicksPerMs);
    return true;
}

int64_t year_of_ticks(int64_t ticks) {
    int64_t y;
    unsigned m, d;
    int64_t days = ticks >= 0 ? ticks / kTicksPerDay : 0;
    civil_from_days(days - kDaysFrom1601To1970, &y, &m, &d);
    return y;
}

int64_t unix_seconds(int64_t ticks) {
    int64_t t = ticks - kUnixEpoch;
    return t >= 0 ? t / kTicksPerSecond : -((-t + kTicksPerSecond - 1) / kTicksPerSecond);
}

// ---- The process's zone (TZ) ---------------------------------------------

struct ZoneState {
    long offset_seconds = 0;  // east of UTC
    bool dst = false;
    std::string abbreviation;
};

ZoneState zone_at(int64_t unix_time) {
    ZoneState z;
    time_t t = time_t(unix_time);
    struct tm tm;
    if (localtime_r(&t, &tm)) {
        z.offset_seconds = tm.tm_gmtoff;
        z.dst = tm.tm_isdst > 0;
        if (tm.tm_zone) z.abbreviation = tm.tm_zone;
    }
    return z;
}

int64_t zone_offset_ticks(int64_t utc_ticks) { return zone_at(unix_seconds(utc_ticks)).offset_seconds * kTicksPerSecond; }

// The UTC instant of a local time in the process's zone. A local time that
// exists twice is taken as daylight time (the earlier instant), one that
// does not exist (skipped) likewise, as Windows reads such times.
int64_t utc_from_zone_local(int64_t local_ticks) {
    int64_t a = zone_offset_ticks(local_ticks - kTicksPerDay);
    int64_t b = zone_offset_ticks(local_ticks + kTicksPerDay);
    bool a_fits = zone_offset_ticks(local_ticks - a) == a;
    bool b_fits = zone_offset_ticks(local_ticks - b) == b;
    if (a_fits != b_fits) return local_ticks - (a_fits ? a : b);
    if (a == b) {
        // No transition near: any offset found at the instant itself holds.
        int64_t c = zone_offset_ticks(local_ticks - a);
        return local_ticks - (a_fits ? a : c);
    }
    return local_ticks - (a > b ? a : b);
}

// ---- Zones given as TIME_ZONE_INFORMATION ---------------------------------

bool has_daylight_rules(const TIME_ZONE_INFORMATION& tz) {
    return tz.StandardDate.wMonth != 0 && tz.DaylightDate.wMonth != 0;
}

bool valid_transition_date(const SYSTEMTIME& d) {
    if (d.wMonth < 1 || d.wMonth > 12 || d.wHour > 23 || d.wMinute > 59 || d.wSecond > 59 || d.wMilliseconds > 999)
        return false;
    if (d.wYear == 0) return d.wDayOfWeek <= 6 && d.wDay >= 1 && d.wDay <= 5;
    return d.wDay >= 1 && d.wDay <= days_in_month(d.wYear, d.wMonth);
}

// The local ticks at which a transition date falls in a year; false when the
// date is absolute (wYear set) and names another year. The "day-in-month"
// form means the wDay-th wDayOfWeek of the month, 5 being the last.
bool transition_in_year(const SYSTEMTIME& d, int64_t year, int64_t* local_ticks) {
    unsigned day;
    if (d.wYear != 0) {
        if (d.wYear != year) return false;
        day = d.wDay;
    } else {
        unsigned first = weekday_of_unix_day(days_from_civil(year, d.wMonth, 1));
        day = 1 + (d.wDayOfWeek + 7 - first) % 7 + (d.wDay - 1) * 7u;
        while (day > days_in_month(year, d.wMonth)) day -= 7;
    }
    *local_ticks = ticks_of_date(year, d.wMonth, day) + ticks_of_time_of_day(d);
    return true;
}

// Bias in minutes (UTC = local + bias) in effect at a UTC or local instant.
LONG bias_at(const TIME_ZONE_INFORMATION& tz, int64_t ticks, bool ticks_are_local) {
    LONG standard = tz.Bias + tz.StandardBias;
    if (!has_daylight_rules(tz)) return standard;
    LONG daylight = tz.Bias + tz.DaylightBias;
    int64_t year = year_of_ticks(ticks_are_local ? ticks : ticks - int64_t(tz.Bias) * kTicksPerMinute);
    int64_t start, end;  // in standard local time, in daylight local time
    if (!transition_in_year(tz.DaylightDate, year, &start) || !transition_in_year(tz.StandardDate, year, &end))
        return standard;
    if (!ticks_are_local) {
        start += int64_t(standard) * kTicksPerMinute;
        end += int64_t(daylight) * kTicksPerMinute;
    }
    bool in_daylight = start < end ? (ticks >= start && ticks < end) : (ticks >= start || ticks < end);
    return in_daylight ? daylight : standard;
}

void put_name(WCHAR (&out)[32], const std::string& name) {
    size_t n = 0;
    for (; n < name.size() && n < 31; ++n) out[n] = WCHAR(static_cast<unsigned char>(name[n]));
    out[n] = 0;
}

// A transition instant as the day-in-month form Windows uses.
SYSTEMTIME transition_date(int64_t local_ticks) {
    SYSTEMTIME st;
    system_time_from_ticks(uint64_t(local_ticks), &st);
    SYSTEMTIME rule = {};
    rule.wMonth = st.wMonth;
    rule.wDayOfWeek = st.wDayOfWeek;
    rule.wDay = WORD(unsigned(st.wDay) + 7 > days_in_month(st.wYear, st.wMonth) ? 5 : (st.wDay - 1) / 7 + 1);
    rule.wHour = st.wHour;
    rule.wMinute = st.wMinute;
    rule.wSecond = st.wSecond;
    rule.wMilliseconds = st.wMilliseconds;
    return rule;
}

// A FILETIME moved between UTC and local time by the process's zone offset
// now (see FileTimeToLocalFileTime).
BOOL shift_by_offset_now(const FILETIME* in, LPFILETIME out, bool to_utc) {
    if (!in || !out) return fail(ERROR_INVALID_PARAMETER, FALSE);
    tzset();
    int64_t offset = zone_offset_ticks(int64_t(now()));
    int64_t shifted = int64_t(from_filetime(*in)) + (to_utc ? -offset : offset);
    if (shifted < 0) return fail(ERROR_INVALID_PARAMETER, FALSE);
    *out = to_filetime(uint64_t(shifted));
    return TRUE;
}

// A SYSTEMTIME moved between UTC and local time by the given zone's rules
// at that time or, without them, by the process's zone.
BOOL convert_by_zone(const TIME_ZONE_INFORMATION* tz, const SYSTEMTIME* in, LPSYSTEMTIME out, bool to_utc) {
    if (!in || !out || !valid_system_time(*in)) return fail(ERROR_INVALID_PARAMETER, FALSE);
    int64_t given = int64_t(ticks_from_system_time(*in));
    int64_t result;
    if (tz) {
        bool rules_valid = valid_transition_date(tz->StandardDate) && valid_transition_date(tz->DaylightDate);
        if (has_daylight_rules(*tz) && !rules_valid) return fail(ERROR_INVALID_PARAMETER, FALSE);
        int64_t bias = int64_t(bias_at(*tz, given, to_utc)) * kTicksPerMinute;
        result = to_utc ? given + bias : given - bias;
    } else {
        tzset();
        result = to_utc ? utc_from_zone_local(given) : given + zone_offset_ticks(given);
    }
    SYSTEMTIME st;
    if (result < 0 || !system_time_from_ticks(uint64_t(result), &st)) return fail(ERROR_INVALID_PARAMETER, FALSE);
    *out = st;
    return TRUE;
}

}  // namespace

extern "C" {

W32RT_API void WINAPI GetSystemTimeAsFileTime(LPFILETIME lpSystemTimeAsFileTime) {
    if (!lpSystemTimeAsFileTime) return;
    *lpSystemTimeAsFileTime = to_filetime(now());
}

W32RT_API void WINAPI GetSystemTime(LPSYSTEMTIME lpSystemTime) {
    if (!lpSystemTime) return;
    system_time_from_ticks(now(), lpSystemTime);
}

W32RT_API void WINAPI GetLocalTime(LPSYSTEMTIME lpSystemTime) {
    if (!lpSystemTime) return;
    tzset();
    int64_t utc = int64_t(now());
    system_time_from_ticks(uint64_t(utc + zone_offset_ticks(utc)), lpSystemTime);
}

W32RT_API BOOL WINAPI SystemTimeToFileTime(const SYSTEMTIME* lpSystemTime, LPFILETIME lpFileTime) {
    if (!lpSystemTime || !lpFileTime || !valid_system_time(*lpSystemTime)) return fail(ERROR_INVALID_PARAMETER, FALSE);
    *lpFileTime = to_filetime(ticks_from_system_time(*lpSystemTime));
    return TRUE;
}

W32RT_API BOOL WINAPI FileTimeToSystemTime(const FILETIME* lpFileTime, LPSYSTEMTIME lpSystemTime) {
    if (!lpFileTime || !lpSystemTime) return fail(ERROR_INVALID_PARAMETER, FALSE);
    SYSTEMTIME st;
    if (!system_time_from_ticks(from_filetime(*lpFileTime), &st)) return fail(ERROR_INVALID_PARAMETER, FALSE);
    *lpSystemTime = st;
    return TRUE;
}

// Both directions use the bias in effect now, not the one at the converted
// time: Windows documents this, so a January time converted in summer is
// off by the daylight hour. SystemTimeToTzSpecificLocalTime converts by the
// rules at the time itself.
W32RT_API BOOL WINAPI FileTimeToLocalFileTime(const FILETIME* lpFileTime, LPFILETIME lpLocalFileTime) {
    return shift_by_offset_now(lpFileTime, lpLocalFileTime, false);
}

W32RT_API BOOL WINAPI LocalFileTimeToFileTime(const FILETIME* lpLocalFileTime, LPFILETIME lpFileTime) {
    return shift_by_offset_now(lpLocalFileTime, lpFileTime, true);
}

W32RT_API BOOL WINAPI SystemTimeToTzSpecificLocalTime(const TIME_ZONE_INFORMATION* lpTimeZoneInformation,
                                                      const SYSTEMTIME* lpUniversalTime, LPSYSTEMTIME lpLocalTime) {
    return convert_by_zone(lpTimeZoneInformation, lpUniversalTime, lpLocalTime, false);
}

W32RT_API BOOL WINAPI TzSpecificLocalTimeToSystemTime(const TIME_ZONE_INFORMATION* lpTimeZoneInformation,
                                                      const SYSTEMTIME* lpLocalTime, LPSYSTEMTIME lpUniversalTime) {
    return convert_by_zone(lpTimeZoneInformation, lpLocalTime, lpUniversalTime, true);
}

// Describes the process's zone by the rules of the current year: the
// instants where daylight time starts and ends are found by scanning the
// year day by day and narrowing each change to the second. Names are the
// zone's abbreviations ("CET", "CEST").
W32RT_API DWORD WINAPI GetTimeZoneInformation(LPTIME_ZONE_INFORMATION lpTimeZoneInformation) {
    if (!lpTimeZoneInformation) return fail(ERROR_INVALID_PARAMETER, TIME_ZONE_ID_INVALID);
    tzset();
    const int64_t now_unix = unix_seconds(int64_t(now()));
    const ZoneState current = zone_at(now_unix);
    const int64_t year = year_of_ticks(int64_t(now()) + current.offset_seconds * kTicksPerSecond);
    const int64_t year_start = days_from_civil(year, 1, 1) * 86400 - 86400;
    const int64_t year_end = days_from_civil(year + 1, 1, 1) * 86400 + 86400;

    ZoneState standard, daylight;
    bool have_standard = false, have_daylight = false;
    int64_t start_local = 0, end_local = 0;  // DST start in standard time, end in daylight time
    bool found_start = false, found_end = false;
    ZoneState prev = zone_at(year_start);
    for (int64_t t = year_start + 86400; t <= year_end; t += 86400) {
        ZoneState z = zone_at(t);
        if (z.dst != prev.dst) {
            int64_t lo = t - 86400, hi = t;  // state changes in (lo, hi]
            while (hi - lo > 1) {
                int64_t mid = lo + (hi - lo) / 2;
                if (zone_at(mid).dst == prev.dst)
                    lo = mid;
                else
                    hi = mid;
            }
            int64_t local = (hi + prev.offset_seconds) * kTicksPerSecond + kUnixEpoch;
            if (year_of_ticks(local) == year) {
                if (z.dst && !found_start) {
                    start_local = local;
                    found_start = true;
                } else if (!z.dst && !found_end) {
                    end_local = local;
                    found_end = true;
                }
            }
        }
        if (z.dst && !have_daylight) {
            daylight = z;
            have_daylight = true;
        }
        if (!z.dst && !have_standard) {
            standard = z;
            have_standard = true;
        }
        prev = z;
    }

    TIME_ZONE_INFORMATION tz = {};
    if (!found_start || !found_end || !have_standard || !have_daylight) {
        tz.Bias = LONG(-current.offset_seconds / 60);
        put_name(tz.StandardName, current.abbreviation);
        put_name(tz.DaylightName, current.abbreviation);
        *lpTimeZoneInformation = tz;
        return TIME_ZONE_ID_UNKNOWN;
    }
    tz.Bias = LONG(-standard.offset_seconds / 60);
    tz.StandardBias = 0;
    tz.DaylightBias = LONG(-(daylight.offset_seconds - standard.offset_seconds) / 60);
    put_name(tz.StandardName, standard.abbreviation);
    put_name(tz.DaylightName, daylight.abbreviation);
    tz.DaylightDate = transition_date(start_local);
    tz.StandardDate = transition_date(end_local);
    *lpTimeZoneInformation = tz;
    return current.dst ? TIME_ZONE_ID_DAYLIGHT : TIME_ZONE_ID_STANDARD;
}

W32RT_API LONG WINAPI CompareFileTime(const FILETIME* lpFileTime1, const FILETIME* lpFileTime2) {
    if (!lpFileTime1 || !lpFileTime2) return fail(ERROR_INVALID_PARAMETER, LONG(0));
    uint64_t a = from_filetime(*lpFileTime1), b = from_filetime(*lpFileTime2);
    return a < b ? -1 : (a > b ? 1 : 0);
}

}  // extern "C"
