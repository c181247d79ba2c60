// System time, calendar conversions, local time and time zones, the test
// clock.
#include <time.h>

#include <random>
#include <string>

#include "files_test_util.h"

using namespace files_test;

namespace {

constexpr uint64_t kUnixEpoch = 116444736000000000ull;

SYSTEMTIME st(int y, int mo, int d, int h = 0, int mi = 0, int s = 0, int ms = 0) {
    return SYSTEMTIME{WORD(y), WORD(mo), 0, WORD(d), WORD(h), WORD(mi), WORD(s), WORD(ms)};
}

std::string show(const SYSTEMTIME& t) {
    char buf[64];
    snprintf(buf, sizeof buf, "%04u-%02u-%02u %02u:%02u:%02u.%03u", t.wYear, t.wMonth, t.wDay, t.wHour, t.wMinute,
             t.wSecond, t.wMilliseconds);
    return buf;
}

uint64_t ft_of(const SYSTEMTIME& t) {
    FILETIME ft;
    EXPECT_TRUE(SystemTimeToFileTime(&t, &ft)) << show(t);
    return ticks(ft);
}

uint64_t real_now() {
    struct timespec ts;
    clock_gettime(CLOCK_REALTIME, &ts);
    return uint64_t(ts.tv_sec) * kSecond + uint64_t(ts.tv_nsec / 100) + kUnixEpoch;
}

// Shifts the runtime's clock so that "now" is the given UTC time.
void pretend_now(const SYSTEMTIME& utc) { w32rt_set_clock_offset(int64_t(ft_of(utc)) - int64_t(real_now())); }

// SystemTimeToTzSpecificLocalTime, or TzSpecificLocalTimeToSystemTime when
// to_utc, shown; "error N" when it fails.
std::string convert(const TIME_ZONE_INFORMATION* tz, const SYSTEMTIME& in, bool to_utc = false) {
    SYSTEMTIME out;
    BOOL ok = to_utc ? TzSpecificLocalTimeToSystemTime(tz, &in, &out) : SystemTimeToTzSpecificLocalTime(tz, &in, &out);
    return ok ? show(out) : "error " + std::to_string(GetLastError());
}

// A day-in-month rule: the nth (5 = last) weekday of a month at a time.
SYSTEMTIME rule(int month, int weekday, int nth, int hour) {
    return SYSTEMTIME{0, WORD(month), WORD(weekday), WORD(nth), WORD(hour), 0, 0, 0};
}

TIME_ZONE_INFORMATION zone(LONG bias, LONG daylight_bias, SYSTEMTIME daylight_date, SYSTEMTIME standard_date) {
    return TIME_ZONE_INFORMATION{.Bias = bias, .StandardDate = standard_date, .DaylightDate = daylight_date,
                                 .DaylightBias = daylight_bias};
}

class TimeTest : public FilesTest {};

TEST_HELPER(report_system_time) {
    FILETIME now;
    GetSystemTimeAsFileTime(&now);
    testing_support::send_line(std::to_string(ticks(now)));
    return 0;
}

}  // namespace

TEST_F(TimeTest, CalendarAgreesWithKnownInstantsAndTheCLibrary) {
    EXPECT_EQ(ft_of(st(1601, 1, 1)), 0u);
    EXPECT_EQ(ft_of(st(1970, 1, 1)), kUnixEpoch);
    EXPECT_EQ(ft_of(st(2024, 1, 1, 0, 0, 0, 1)), 133485408000010000ull);
    EXPECT_EQ(ft_of(st(30827, 12, 31, 23, 59, 59, 999)) / kSecond, 0x7fff35f4f06c58f0ull / kSecond);
    std::mt19937_64 rng(42);
    for (int i = 0; i < 20000; ++i) {
        // Every second from 1970 to 2200.
        int64_t unix_seconds = int64_t(rng() % uint64_t(7258118400LL));
        time_t t = time_t(unix_seconds);
        struct tm tm;
        ASSERT_TRUE(gmtime_r(&t, &tm));
        SYSTEMTIME expected = st(tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec);
        FILETIME ft = filetime(uint64_t(unix_seconds) * kSecond + kUnixEpoch);
        SYSTEMTIME got;
        ASSERT_TRUE(FileTimeToSystemTime(&ft, &got));
        ASSERT_EQ(show(got), show(expected)) << unix_seconds;
        ASSERT_EQ(got.wDayOfWeek, tm.tm_wday) << show(got);
        ASSERT_EQ(ft_of(got), ticks(ft));
    }
}

TEST_F(TimeTest, FieldsRangesAndPointersAreChecked) {
    FILETIME ft;
    SYSTEMTIME back;
    for (SYSTEMTIME ok : {st(2000, 2, 29), st(2400, 2, 29), st(1604, 2, 29), st(2023, 12, 31, 23, 59, 59, 999)}) {
        ASSERT_TRUE(SystemTimeToFileTime(&ok, &ft)) << show(ok);
        ASSERT_TRUE(FileTimeToSystemTime(&ft, &back));
        EXPECT_EQ(show(back), show(ok));
    }
    for (SYSTEMTIME bad : {st(1900, 2, 29), st(2100, 2, 29), st(2023, 2, 29), st(2024, 4, 31), st(2024, 13, 1),
                           st(2024, 0, 1), st(2024, 1, 0), st(2024, 1, 1, 24), st(2024, 1, 1, 0, 60),
                           st(2024, 1, 1, 0, 0, 60), st(2024, 1, 1, 0, 0, 0, 1000), st(1600, 12, 31),
                           st(30828, 1, 1)}) {
        SCOPED_TRACE(show(bad));
        EXPECT_FAILS(SystemTimeToFileTime(&bad, &ft), FALSE, ERROR_INVALID_PARAMETER);
    }
    // FILETIMEs are signed.
    ft = filetime(0x7FFFFFFFFFFFFFFFull);
    ASSERT_TRUE(FileTimeToSystemTime(&ft, &back));
    EXPECT_EQ(back.wYear, 30828);
    ft = filetime(0x8000000000000000ull);
    EXPECT_FAILS(FileTimeToSystemTime(&ft, &back), FALSE, ERROR_INVALID_PARAMETER);

    SYSTEMTIME t = st(2024, 1, 1);
    EXPECT_FAILS(SystemTimeToFileTime(nullptr, &ft), FALSE, ERROR_INVALID_PARAMETER);
    EXPECT_FAILS(FileTimeToLocalFileTime(nullptr, &ft), FALSE, ERROR_INVALID_PARAMETER);
    EXPECT_FAILS(LocalFileTimeToFileTime(&ft, nullptr), FALSE, ERROR_INVALID_PARAMETER);
    EXPECT_FAILS(SystemTimeToTzSpecificLocalTime(nullptr, nullptr, &t), FALSE, ERROR_INVALID_PARAMETER);
    EXPECT_FAILS(TzSpecificLocalTimeToSystemTime(nullptr, &t, nullptr), FALSE, ERROR_INVALID_PARAMETER);
    EXPECT_FAILS(GetTimeZoneInformation(nullptr), DWORD(TIME_ZONE_ID_INVALID), ERROR_INVALID_PARAMETER);
}

TEST_F(TimeTest, TestClockShiftsSystemAndLocalTimeHereAndInChildren) {
    setenv("TZ", "Asia/Tokyo", 1);
    const uint64_t before = real_now();
    w32rt_set_clock_offset(3 * kDay);
    FILETIME shifted;
    GetSystemTimeAsFileTime(&shifted);
    EXPECT_GE(int64_t(ticks(shifted) - before), 3 * kDay);
    EXPECT_LT(int64_t(ticks(shifted) - before), 3 * kDay + 60 * kSecond);
    SYSTEMTIME local;
    GetLocalTime(&local);
    EXPECT_LT(std::llabs(int64_t(ft_of(local)) - int64_t(ticks(shifted)) - 9 * 3600 * kSecond), 60 * kSecond);  // +9 h

    // A child starts with the offset its environment gives.
    testing_support::SpawnOptions options;
    options.env = {"EVTRACE_CLOCK_OFFSET=" + std::to_string(10 * kDay)};
    testing_support::ChildProcess child = testing_support::spawn_helper("report_system_time", {}, options);
    std::string line = child.read_line();
    ASSERT_FALSE(line.empty());
    EXPECT_EQ(child.wait(), 0);
    EXPECT_GE(int64_t(std::stoull(line) - before), 10 * kDay);
    EXPECT_LT(int64_t(std::stoull(line) - before), 10 * kDay + 60 * kSecond);
}

TEST_F(TimeTest, ProcessZoneReadsLocalTimesAcrossBerlinTransitions) {
    // From UTC the zone database decides (checked against the given rules
    // below); from local time the runtime picks the instant itself. 02:30
    // happens twice in October and never in March; both read as daylight
    // time.
    setenv("TZ", "Europe/Berlin", 1);
    EXPECT_EQ(convert(nullptr, st(2024, 7, 1, 12, 0, 0), true), "2024-07-01 10:00:00.000");
    EXPECT_EQ(convert(nullptr, st(2024, 12, 1, 12, 0, 0), true), "2024-12-01 11:00:00.000");
    EXPECT_EQ(convert(nullptr, st(2024, 10, 27, 2, 30, 0), true), "2024-10-27 00:30:00.000");
    EXPECT_EQ(convert(nullptr, st(2024, 3, 31, 2, 30, 0), true), "2024-03-31 00:30:00.000");
}

TEST_F(TimeTest, LocalFileTimeUsesTheBiasInEffectNow) {
    setenv("TZ", "Europe/Berlin", 1);
    const uint64_t january = ft_of(st(2024, 1, 10, 8, 0, 0));
    FILETIME in = filetime(january), local, back;

    pretend_now(st(2024, 7, 1, 12, 0, 0));  // summer: +2 h even for a January time
    ASSERT_TRUE(FileTimeToLocalFileTime(&in, &local));
    EXPECT_EQ(int64_t(ticks(local) - january), 2 * 3600 * kSecond);
    ASSERT_TRUE(LocalFileTimeToFileTime(&local, &back));
    EXPECT_EQ(ticks(back), january);

    pretend_now(st(2024, 12, 1, 12, 0, 0));  // winter: +1 h
    ASSERT_TRUE(FileTimeToLocalFileTime(&in, &local));
    EXPECT_EQ(int64_t(ticks(local) - january), 3600 * kSecond);
}

TEST_F(TimeTest, ZoneInformationDescribesTheZoneAndItsRulesAgreeWithTheZoneDatabase) {
    // In June, daylight time holds in Berlin and New York but not in Sydney.
    // The rules GetTimeZoneInformation derives, applied by the rule engine,
    // must give what the zone database gives, hour by hour all year.
    struct Zone {
        const char* name;
        DWORD id;
        LONG bias;
        std::u16string standard, daylight;
    } const zones[] = {{"Europe/Berlin", TIME_ZONE_ID_DAYLIGHT, -60, u"CET", u"CEST"},
                       {"America/New_York", TIME_ZONE_ID_DAYLIGHT, 300, u"EST", u"EDT"},
                       {"Australia/Sydney", TIME_ZONE_ID_STANDARD, -600, u"AEST", u"AEDT"}};
    for (const Zone& z : zones) {
        SCOPED_TRACE(z.name);
        setenv("TZ", z.name, 1);
        pretend_now(st(2024, 6, 1));
        TIME_ZONE_INFORMATION tz;
        ASSERT_EQ(GetTimeZoneInformation(&tz), z.id);
        EXPECT_EQ(tz.Bias, z.bias);
        EXPECT_EQ(tz.StandardBias, 0);
        EXPECT_EQ(tz.DaylightBias, -60);
        EXPECT_EQ(std::u16string(tz.StandardName), z.standard);
        EXPECT_EQ(std::u16string(tz.DaylightName), z.daylight);
        const uint64_t start = ft_of(st(2024, 1, 1));
        for (int hour = 0; hour < 366 * 24; ++hour) {
            FILETIME ft = filetime(start + uint64_t(hour) * 3600 * kSecond + 17 * kSecond);
            SYSTEMTIME utc;
            ASSERT_TRUE(FileTimeToSystemTime(&ft, &utc));
            ASSERT_EQ(convert(&tz, utc), convert(nullptr, utc)) << show(utc);
            // Back again, at an hour that is never ambiguous in these zones.
            SYSTEMTIME local;
            ASSERT_TRUE(SystemTimeToTzSpecificLocalTime(&tz, &utc, &local));
            if (utc.wHour == 12) {
                ASSERT_EQ(convert(&tz, local, true), show(utc));
            }
        }
    }
    // A zone without daylight time has no rules.
    setenv("TZ", "Asia/Tokyo", 1);
    TIME_ZONE_INFORMATION tz;
    EXPECT_EQ(GetTimeZoneInformation(&tz), DWORD(TIME_ZONE_ID_UNKNOWN));
    EXPECT_EQ(tz.Bias, -540);
    EXPECT_EQ(tz.StandardDate.wMonth, 0);
}

TEST_F(TimeTest, GivenRulesReadAmbiguousLocalTimesAndRefuseBrokenRules) {
    // Second Sunday of March at 02:00, first Sunday of November at 02:00.
    // The hour skipped in spring and the hour repeated in autumn both read
    // as daylight time.
    TIME_ZONE_INFORMATION eastern = zone(300, -60, rule(3, 0, 2, 2), rule(11, 0, 1, 2));
    EXPECT_EQ(convert(&eastern, st(2024, 3, 10, 2, 30, 0), true), "2024-03-10 06:30:00.000");
    EXPECT_EQ(convert(&eastern, st(2024, 11, 3, 1, 30, 0), true), "2024-11-03 05:30:00.000");
    // No daylight rules: the bias alone.
    TIME_ZONE_INFORMATION fixed = zone(-330, 0, SYSTEMTIME{}, SYSTEMTIME{});
    EXPECT_EQ(convert(&fixed, st(2024, 6, 1, 0, 0, 0)), "2024-06-01 05:30:00.000");
    // Rules with a month or a weekday out of range are refused.
    TIME_ZONE_INFORMATION broken = zone(0, -60, rule(13, 0, 1, 2), rule(4, 0, 1, 3));
    const std::string refused = "error " + std::to_string(ERROR_INVALID_PARAMETER);
    EXPECT_EQ(convert(&broken, st(2024, 1, 1)), refused);
    broken = zone(0, -60, rule(3, 7, 1, 2), rule(4, 0, 1, 3));
    EXPECT_EQ(convert(&broken, st(2024, 1, 1), true), refused);
}
