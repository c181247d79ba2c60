// The viewer's pure parts: the JSON text every event and database text
// becomes, the feed's bounded queues and kept records, and the checks every
// request passes.
#include <gtest/gtest.h>
#include <string.h>

#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "view/view_checks.h"
#include "view/view_feed.h"
#include "view/view_text.h"

using namespace evtrace::view;

namespace {

std::string Json(std::string_view bytes) {
    std::string out;
    AppendJsonString(out, bytes);
    return out;
}

// A record image: fixed part, text, zero tail.
std::vector<BYTE> Record(const std::string& source, DWORD code, const std::string& text) {
    std::vector<BYTE> bytes(EVT_RECORD_FIXED_SIZE + text.size() + EVT_RECORD_TAIL_SIZE, 0);
    auto* r = reinterpret_cast<_VANTA_EVTRACE_DATA*>(bytes.data());
    r->dwDataLen = DWORD(text.size());
    strncpy(r->szSource, source.c_str(), sizeof r->szSource - 1);
    r->dwEventCode = code;
    r->dwEventType = 51;
    const uint64_t ticks = 116444736000000000ull + 17000000000000000ull;  // 2023-11-14 in FILETIME ticks
    r->ftTimeStamp.dwLowDateTime = DWORD(ticks);
    r->ftTimeStamp.dwHighDateTime = DWORD(ticks >> 32);
    memcpy(r->Data, text.data(), text.size());
    return bytes;
}

const _VANTA_EVTRACE_DATA& View(const std::vector<BYTE>& bytes) {
    return *reinterpret_cast<const _VANTA_EVTRACE_DATA*>(bytes.data());
}

TEST(ViewText, EveryStringIsValidJsonThatCannotCloseMarkupAndShowsWhatIsNotText) {
    struct Case {
        const char* name;
        std::string bytes;
        std::string shown;  // the string the page receives
    };
    const Case cases[] = {
        {"plain", "Connected", "Connected"},
        {"quotes and backslash", "say \"hi\" \\ bye", "say \"hi\" \\ bye"},
        {"markup", "<script>x()</script> & <img onerror=1>", "<script>x()</script> & <img onerror=1>"},
        {"named controls", "a\nb\rc\td", "a\\nb\\rc\\td"},
        {"other controls and DEL", std::string("a\x01" "b\x1f" "c\x7f", 6), "a\\x01b\\x1fc\\x7f"},
        {"UTF-8 of two, three and four bytes", "\xc3\xa9 \xe2\x82\xac \xf0\x9f\x93\xa1", "\xc3\xa9 \xe2\x82\xac \xf0\x9f\x93\xa1"},
        {"a stray continuation byte", "A\x80" "B", "A\\x80B"},
        {"Latin-1 byte", "Pr\xfc" "fen", "Pr\\xfcfen"},
        {"overlong slash", "\xc0\xaf", "\\xc0\\xaf"},
        {"overlong three bytes", "\xe0\x80\xaf", "\\xe0\\x80\\xaf"},
        {"a surrogate", "\xed\xa0\x80", "\\xed\\xa0\\x80"},
        {"beyond U+10FFFF", "\xf4\x90\x80\x80", "\\xf4\\x90\\x80\\x80"},
        {"cut short at the end", "ok \xe2\x82", "ok \\xe2\\x82"},
    };
    for (const Case& c : cases) {
        const std::string json = Json(c.bytes);
        EXPECT_EQ(json.find('<'), std::string::npos) << c.name;
        EXPECT_EQ(json.find('>'), std::string::npos) << c.name;
        nlohmann::json parsed;
        ASSERT_NO_THROW(parsed = nlohmann::json::parse(json)) << c.name << ": " << json;
        EXPECT_EQ(parsed.get<std::string>(), c.shown) << c.name;
    }
}

TEST(ViewText, DatabaseTextsInTheAnsiCodePageBecomeUtf8) {
    EXPECT_EQ(DatabaseText("Pr\xfc" "fen Sie"), "Pr\xc3\xbc" "fen Sie");
    EXPECT_EQ(DatabaseText("\x80 \x93quoted\x94"), "\xe2\x82\xac \xe2\x80\x9cquoted\xe2\x80\x9d");
    EXPECT_EQ(DatabaseText("\x81"), "\\x81");  // undefined in 1252
    EXPECT_EQ(DatabaseText("already \xc3\xbc"), "already \xc3\xbc");
    EXPECT_EQ(DatabaseText(""), "");
}

TEST(ViewText, AnEventBecomesOneObjectWithItsTextCutAtACharacter) {
    std::string longText(kMaxTextBytes - 1, 'a');
    longText += "\xe2\x82\xac and more";  // the euro sign straddles the limit
    auto record = Record("Heronsvc", 0x80000801, longText);
    std::string out;
    AppendEventJson(out, 42, View(record), true);
    auto e = nlohmann::json::parse(out);
    EXPECT_EQ(e["i"], 42);
    EXPECT_EQ(e["s"], "Heronsvc");
    EXPECT_EQ(e["c"], 0x80000801u);
    EXPECT_EQ(e["v"], 3);
    EXPECT_EQ(e["m"], 0);
    EXPECT_EQ(e["y"], 51);
    EXPECT_EQ(e["al"], 1);
    EXPECT_DOUBLE_EQ(e["t"].get<double>(), 1700000000000.0);
    EXPECT_EQ(e["n"], longText.size());
    EXPECT_EQ(e["x"], std::string(kMaxTextBytes - 1, 'a'));
    EXPECT_FALSE(e.contains("a"));

    auto shortRecord = Record("<b>", 0x1001, "fits");
    strcpy(reinterpret_cast<_VANTA_EVTRACE_DATA*>(shortRecord.data())->szStringA, "profile");
    out.clear();
    AppendEventJson(out, 1, View(shortRecord), false);
    e = nlohmann::json::parse(out);
    EXPECT_EQ(e["x"], "fits");
    EXPECT_EQ(e["s"], "<b>");
    EXPECT_EQ(e["a"], "profile");
    EXPECT_FALSE(e.contains("n"));
    EXPECT_FALSE(e.contains("al"));
    EXPECT_FALSE(e.contains("b"));
}

TEST(ViewFeed, APageThatFallsBehindLosesItsOldestEventsCountedWhileOthersGetAll) {
    FeedLimits limits;
    limits.pageQueue = 3;
    Feed feed(limits);
    auto slow = feed.Subscribe(0);
    auto other = feed.Subscribe(0);
    auto record = Record("s", 1, "t");
    for (int i = 0; i < 5; ++i) feed.Deliver(View(record), false);
    std::vector<EventPtr> got;
    ASSERT_TRUE(slow->Take(got, std::chrono::milliseconds(0)));
    ASSERT_EQ(got.size(), 3u);
    EXPECT_EQ(got.front()->id, 3u);
    EXPECT_EQ(slow->dropped(), 2u);
    got.clear();
    ASSERT_TRUE(other->Take(got, std::chrono::milliseconds(0)));
    EXPECT_EQ(other->dropped(), 2u);  // the same bound for every page
    EXPECT_EQ(feed.counts().pageDrops, 4u);
    feed.Unsubscribe(slow);
    EXPECT_FALSE(slow->Take(got, std::chrono::milliseconds(0)));
    Feed::Counts c = feed.counts();
    EXPECT_EQ(c.pages, 1u);
    EXPECT_EQ(c.pageDrops, 4u);  // a closed page's drops stay counted
    EXPECT_EQ(c.received, 5u);
}

TEST(ViewFeed, NewPagesStartWithTheNewestKeptEventsAfterWhatTheyHad) {
    FeedLimits limits;
    limits.backlog = 2;
    limits.maxPages = 2;
    Feed feed(limits);
    auto record = Record("s", 1, "t");
    for (int i = 0; i < 5; ++i) feed.Deliver(View(record), false);
    struct Case {
        uint64_t after;
        std::vector<uint64_t> ids;
    };
    for (const Case& c : {Case{0, {4, 5}}, Case{4, {5}}, Case{5, {}}}) {
        auto page = feed.Subscribe(c.after);
        ASSERT_TRUE(page);
        std::vector<EventPtr> got;
        page->Take(got, std::chrono::milliseconds(0));
        std::vector<uint64_t> ids;
        for (const auto& e : got) ids.push_back(e->id);
        EXPECT_EQ(ids, c.ids) << "after " << c.after;
        feed.Unsubscribe(page);
    }
    auto a = feed.Subscribe(0), b = feed.Subscribe(0);
    EXPECT_FALSE(feed.Subscribe(0)) << "more pages than allowed";
    feed.Unsubscribe(a);
    EXPECT_TRUE(feed.Subscribe(0));
}

TEST(ViewFeed, DownloadsGetTheKeptRecordsOfTheIdsAskedForAndCountTheRest) {
    FeedLimits limits;
    limits.keepEvents = 4;
    Feed feed(limits);
    for (int i = 1; i <= 6; ++i) {
        auto record = Record("s", DWORD(i), "text " + std::to_string(i));
        feed.Deliver(View(record), false);
    }
    // Kept: ids 3 to 6.
    struct Case {
        std::vector<std::pair<uint64_t, uint64_t>> ranges;
        std::vector<DWORD> codes;
        uint64_t missing;
    };
    const Case cases[] = {
        {{{3, 6}}, {3, 4, 5, 6}, 0},
        {{{1, 4}}, {3, 4}, 2},
        {{{6, 6}, {3, 3}}, {3, 6}, 0},
        {{{5, 9}}, {5, 6}, 3},
        {{{4, 5}, {5, 6}}, {4, 5, 6}, 0},
    };
    for (const Case& c : cases) {
        uint64_t missing = 99;
        auto records = feed.Records(c.ranges, 100, &missing);
        std::vector<DWORD> codes;
        for (const auto& r : records) {
            codes.push_back(View(r).dwEventCode);
            EXPECT_EQ(r.size(), EVT_RECORD_FIXED_SIZE + View(r).dwDataLen + EVT_RECORD_TAIL_SIZE);
        }
        EXPECT_EQ(codes, c.codes) << c.ranges.front().first;
        EXPECT_EQ(missing, c.missing) << c.ranges.front().first;
    }
    // A byte bound keeps fewer.
    limits.keepEvents = 100;
    limits.keepBytes = 3 * (EVT_RECORD_FIXED_SIZE + 200);
    Feed small(limits);
    auto record = Record("s", 1, "t");
    for (int i = 0; i < 10; ++i) small.Deliver(View(record), false);
    EXPECT_LE(small.counts().keptBytes, limits.keepBytes);
    EXPECT_GE(small.counts().kept, 2u);
}

TEST(ViewChecks, TheTokenMustMatchWhole) {
    const std::string token = NewToken();
    ASSERT_EQ(token.size(), 64u);
    EXPECT_EQ(token.find_first_not_of("0123456789abcdef"), std::string::npos);
    EXPECT_NE(NewToken(), token);
    EXPECT_TRUE(TokenMatches(token, token));
    for (const std::string& wrong : {std::string(), token.substr(0, 63), token + "0", std::string(64, '0'),
                                     token.substr(0, 63) + (token[63] == 'a' ? "b" : "a")}) {
        EXPECT_FALSE(TokenMatches(wrong, token)) << wrong;
    }
    EXPECT_FALSE(TokenMatches("", "")) << "no token, no access";
}

TEST(ViewChecks, OnlyAddressLiteralsAndLocalhostWithTheViewersPortAreAnswered) {
    struct Case {
        const char* host;
        bool allowed;
    };
    const Case cases[] = {
        {"127.0.0.1:8470", true},      {"localhost:8470", true},    {"LocalHost:8470", true},
        {"[::1]:8470", true},          {"192.168.1.20:8470", true}, {"127.0.0.1:8471", false},
        {"127.0.0.1", false},          {"attacker.example:8470", false}, {"localhost.attacker.example:8470", false},
        {"[::1]", false},              {"[::1:8470", false},        {"127.0.0.1:08470x", false},
        {"", false},                   {":8470", false},            {"127.0.0.1:99999999999", false},
    };
    for (const Case& c : cases) EXPECT_EQ(HostAllowed(c.host, 8470), c.allowed) << c.host;
    EXPECT_TRUE(HostAllowed("localhost", 80));
}

TEST(ViewChecks, RequestsFromOtherOriginsOrSitesOrWithoutTheTokenAreRefusedInWords) {
    const std::string token = NewToken();
    struct Case {
        RequestHeaders request;
        bool allowed;
        const char* why;
    };
    const Case cases[] = {
        {{"127.0.0.1:80", "", "", "", token}, true, ""},
        {{"127.0.0.1:80", "http://127.0.0.1:80", "same-origin", "cors", token}, true, ""},
        {{"127.0.0.1:80", "", "cross-site", "navigate", token}, true, ""},
        {{"127.0.0.1:80", "", "none", "navigate", ""}, false, "needs its access token"},
        {{"127.0.0.1:80", "", "", "", "x"}, false, "token is wrong"},
        {{"evil.example:80", "", "", "", token}, false, "its own address"},
        {{"127.0.0.1:80", "http://evil.example", "", "", token}, false, "other origins"},
        {{"127.0.0.1:80", "null", "", "", token}, false, "other origins"},
        {{"127.0.0.1:80", "", "cross-site", "cors", token}, false, "other sites"},
        {{"127.0.0.1:80", "", "same-site", "no-cors", token}, false, "other sites"},
    };
    for (const Case& c : cases) {
        std::string why;
        EXPECT_EQ(RequestAllowed(c.request, token, 80, &why), c.allowed) << c.request.host << c.request.origin;
        EXPECT_NE(why.find(c.why), std::string::npos) << why;
    }
}

TEST(ViewChecks, IdListsAreRangesWithinABound) {
    struct Case {
        const char* text;
        bool ok;
        std::vector<std::pair<uint64_t, uint64_t>> ranges;
    };
    const Case cases[] = {
        {"", true, {}},
        {"7", true, {{7, 7}}},
        {"1-20,25,30-31", true, {{1, 20}, {25, 25}, {30, 31}}},
        {"5-1", false, {}},
        {"1-", false, {}},
        {"-3", false, {}},
        {"1,,2", false, {}},
        {"1;2", false, {}},
        {"1-100", true, {{1, 100}}},
        {"1-101", false, {}},
        {"1-60,61-101", false, {}},
        {"0-18446744073709551615", false, {}},
        {"99999999999999999999999", false, {}},
    };
    for (const Case& c : cases) {
        std::vector<std::pair<uint64_t, uint64_t>> ranges;
        EXPECT_EQ(ParseIdRanges(c.text, 100, &ranges), c.ok) << c.text;
        if (c.ok) {
            EXPECT_EQ(ranges, c.ranges) << c.text;
        }
    }
}

}  // namespace
