// The viewer's own work per event, apart from the session's delivery: the
// client callback's share (copying the record, encoding it for the pages,
// keeping it, queueing it for each open page) and a page's share (taking a
// batch and building the stream message that one write sends). The whole
// road, with a page in Chromium, is bench/view_bench.py.
#include <benchmark/benchmark.h>
#include <string.h>

#include <string>
#include <vector>

#include "view/view_feed.h"

namespace {

using evtrace::view::EventPtr;
using evtrace::view::Feed;
using evtrace::view::FeedLimits;

std::vector<BYTE> Record(size_t textLength) {
    std::vector<BYTE> bytes(EVT_RECORD_FIXED_SIZE + textLength + 1 + EVT_RECORD_TAIL_SIZE, 0);
    auto* r = reinterpret_cast<_VANTA_EVTRACE_DATA*>(bytes.data());
    r->dwDataLen = DWORD(textLength + 1);
    strcpy(r->szSource, "Heronsvc");
    strcpy(r->szUserName, "SYSTEM");
    r->dwEventCode = 0x4010;
    r->dwEventType = 51;
    r->ftTimeStamp.dwHighDateTime = 0x01DA0000;
    memset(r->Data, 'x', textLength);
    return bytes;
}

// The callback's work with state.range(0) pages open, each page's queue
// emptied as its stream would.
void BM_Deliver(benchmark::State& state) {
    FeedLimits limits;
    limits.keepEvents = 20000;
    Feed feed(limits);
    std::vector<std::shared_ptr<evtrace::view::Subscription>> pages;
    for (int i = 0; i < state.range(0); ++i) pages.push_back(feed.Subscribe(0));
    const std::vector<BYTE> record = Record(100);
    const auto& r = *reinterpret_cast<const _VANTA_EVTRACE_DATA*>(record.data());
    std::vector<EventPtr> batch;
    int n = 0;
    for (auto _ : state) {
        feed.Deliver(r, false);
        if (++n == 1000) {  // a 50 ms batch at 20,000 events/s
            state.PauseTiming();
            for (auto& page : pages) {
                batch.clear();
                page->Take(batch, std::chrono::milliseconds(0));
            }
            n = 0;
            state.ResumeTiming();
        }
    }
}
BENCHMARK(BM_Deliver)->Arg(0)->Arg(1)->Arg(4);

// A page's stream: take a batch of 1,000 pending events and build the one
// message that carries them (the socket write is measured end to end).
void BM_PageBatch(benchmark::State& state) {
    Feed feed(FeedLimits{});
    auto page = feed.Subscribe(0);
    const std::vector<BYTE> record = Record(100);
    const auto& r = *reinterpret_cast<const _VANTA_EVTRACE_DATA*>(record.data());
    std::vector<EventPtr> batch;
    std::string message;
    for (auto _ : state) {
        state.PauseTiming();
        for (int i = 0; i < 1000; ++i) feed.Deliver(r, false);
        state.ResumeTiming();
        batch.clear();
        page->Take(batch, std::chrono::milliseconds(0));
        message.clear();
        message += "id: 1\ndata: {\"d\":0,\"e\":[";
        for (size_t i = 0; i < batch.size(); ++i) {
            if (i) message.push_back(',');
            message += batch[i]->json;
        }
        message += "]}\n\n";
        benchmark::DoNotOptimize(message.data());
    }
    state.SetItemsProcessed(state.iterations() * 1000);
}
BENCHMARK(BM_PageBatch);

}  // namespace

BENCHMARK_MAIN();
