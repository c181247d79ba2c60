// The viewer's feed: every event the viewer receives (from its consumer's
// client callback, or from the engine's snapshots) becomes one shared Event,
// encoded for the pages once. The feed keeps the newest events for
// downloads and hands each event to every open page through that page's own
// bounded queue.
//
// Nothing here ever waits for a page: Deliver takes the feed's lock and
// each page's queue lock for a push (no I/O under either), and a page whose
// queue is full loses its oldest pending events, counted. The page's stream
// thread takes what is pending in batches and writes it at its own pace.
//
// Lock order: feed lock, then a subscription's lock.
#pragma once

#include <TraceApi.h>

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace evtrace::view {

struct Event {
    uint64_t id = 0;
    std::string json;          // the page's object (view_text.h)
    std::vector<BYTE> record;  // the record image: fixed part, data, zero tail
};
using EventPtr = std::shared_ptr<const Event>;

// One open page's queue of events not yet sent to it.
class Subscription {
public:
    explicit Subscription(size_t capacity) : capacity_(capacity) {}

    // Waits up to `wait` for pending events; moves them into `out` (oldest
    // first). False once the subscription is closed.
    bool Take(std::vector<EventPtr>& out, std::chrono::milliseconds wait);
    // Events this page lost because its queue was full.
    uint64_t dropped() const;
    size_t pending() const;
    void Close();

private:
    friend class Feed;
    void Push(const EventPtr& event);

    const size_t capacity_;
    mutable std::mutex lock_;
    std::condition_variable wake_;
    std::deque<EventPtr> pending_;
    uint64_t dropped_ = 0;
    bool closed_ = false;
};

struct FeedLimits {
    size_t keepEvents = 20000;             // events kept for downloads and new pages
    size_t keepBytes = 64u << 20;          // and at most these many bytes of them
    size_t pageQueue = 20000;              // pending events per page
    size_t maxPages = 8;                   // open pages (streams) at once
    size_t backlog = 2000;                 // kept events a new page starts with
};

class Feed {
public:
    explicit Feed(const FeedLimits& limits) : limits_(limits) {}

    // A new event: encoded, numbered, kept and queued for every page.
    void Deliver(const _VANTA_EVTRACE_DATA& record, bool alert);

    // Opens a page's queue, filled with the kept events after `after` (the
    // newest `backlog` of them); null when maxPages pages are open.
    std::shared_ptr<Subscription> Subscribe(uint64_t after);
    void Unsubscribe(const std::shared_ptr<Subscription>& page);
    // Closes every queue (the server is stopping).
    void CloseAll();

    // Copies of the kept record images of the ids in [first, last] pairs,
    // in id order; `missing` counts the ids asked for that are no longer
    // (or not yet) kept. At most `limit` records.
    std::vector<std::vector<BYTE>> Records(const std::vector<std::pair<uint64_t, uint64_t>>& ranges, size_t limit,
                                           uint64_t* missing) const;

    struct Counts {
        uint64_t received = 0;  // events delivered since start
        uint64_t lastId = 0;
        size_t kept = 0;
        size_t keptBytes = 0;
        size_t pages = 0;
        uint64_t pageDrops = 0;  // over every page, open or closed
    };
    Counts counts() const;
    const FeedLimits& limits() const { return limits_; }

private:
    const FeedLimits limits_;
    mutable std::mutex lock_;
    uint64_t nextId_ = 1;
    std::deque<EventPtr> kept_;
    size_t keptBytes_ = 0;
    std::vector<std::shared_ptr<Subscription>> pages_;
    uint64_t closedPageDrops_ = 0;
};

}  // namespace evtrace::view
