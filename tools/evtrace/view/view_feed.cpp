#include "view/view_feed.h"

#include <string.h>

#include <algorithm>

#include "view/view_text.h"

namespace evtrace::view {

void Subscription::Push(const EventPtr& event) {
    std::lock_guard<std::mutex> guard(lock_);
    if (closed_) return;
    if (pending_.size() >= capacity_) {
        pending_.pop_front();
        ++dropped_;
    }
    pending_.push_back(event);
}

bool Subscription::Take(std::vector<EventPtr>& out, std::chrono::milliseconds wait) {
    std::unique_lock<std::mutex> guard(lock_);
    // The feed never wakes a page: batches form while the page sleeps, which
    // keeps Deliver free of wake-ups. Close does wake it.
    if (pending_.empty() && !closed_) wake_.wait_for(guard, wait, [&] { return closed_; });
    if (closed_) return false;
    out.insert(out.end(), std::make_move_iterator(pending_.begin()), std::make_move_iterator(pending_.end()));
    pending_.clear();
    return true;
}

uint64_t Subscription::dropped() const {
    std::lock_guard<std::mutex> guard(lock_);
    return dropped_;
}

size_t Subscription::pending() const {
    std::lock_guard<std::mutex> guard(lock_);
    return pending_.size();
}

void Subscription::Close() {
    {
        std::lock_guard<std::mutex> guard(lock_);
        closed_ = true;
        pending_.clear();
    }
    wake_.notify_all();
}

void Feed::Deliver(const _VANTA_EVTRACE_DATA& record, bool alert) {
    auto event = std::make_shared<Event>();
    const BYTE* bytes = reinterpret_cast<const BYTE*>(&record);
    event->record.assign(bytes, bytes + EVT_RECORD_FIXED_SIZE + record.dwDataLen);
    event->record.resize(event->record.size() + EVT_RECORD_TAIL_SIZE, 0);
    event->json.reserve(512 + std::min<size_t>(record.dwDataLen, kMaxTextBytes));

    std::lock_guard<std::mutex> guard(lock_);
    // Numbered and encoded under the lock so ids follow the order of
    // delivery; encoding is the callback's work either way (one listener).
    event->id = nextId_++;
    AppendEventJson(event->json, event->id, record, alert);
    EventPtr shared = std::move(event);
    kept_.push_back(shared);
    keptBytes_ += shared->record.size() + shared->json.size();
    while (kept_.size() > limits_.keepEvents || (keptBytes_ > limits_.keepBytes && kept_.size() > 1)) {
        keptBytes_ -= kept_.front()->record.size() + kept_.front()->json.size();
        kept_.pop_front();
    }
    for (const auto& page : pages_) page->Push(shared);
}

std::shared_ptr<Subscription> Feed::Subscribe(uint64_t after) {
    std::lock_guard<std::mutex> guard(lock_);
    if (pages_.size() >= limits_.maxPages) return nullptr;
    auto page = std::make_shared<Subscription>(limits_.pageQueue);
    // The backlog: kept events after `after`, the newest `backlog` of them.
    auto from = std::upper_bound(kept_.begin(), kept_.end(), after,
                                 [](uint64_t id, const EventPtr& e) { return id < e->id; });
    size_t available = size_t(kept_.end() - from);
    if (available > limits_.backlog) from += std::ptrdiff_t(available - limits_.backlog);
    for (auto it = from; it != kept_.end(); ++it) page->Push(*it);
    pages_.push_back(page);
    return page;
}

void Feed::Unsubscribe(const std::shared_ptr<Subscription>& page) {
    page->Close();
    std::lock_guard<std::mutex> guard(lock_);
    auto it = std::find(pages_.begin(), pages_.end(), page);
    if (it == pages_.end()) return;
    closedPageDrops_ += page->dropped();
    pages_.erase(it);
}

void Feed::CloseAll() {
    std::lock_guard<std::mutex> guard(lock_);
    for (const auto& page : pages_) page->Close();
}

std::vector<std::vector<BYTE>> Feed::Records(const std::vector<std::pair<uint64_t, uint64_t>>& ranges, size_t limit,
                                             uint64_t* missing) const {
    std::vector<EventPtr> found;
    uint64_t absent = 0;
    {
        std::lock_guard<std::mutex> guard(lock_);
        // Kept ids are consecutive: an id's place is its distance from the first.
        const uint64_t first = kept_.empty() ? nextId_ : kept_.front()->id;
        const uint64_t last = first + kept_.size();  // one past
        for (auto [from, to] : ranges) {
            if (to < from) continue;
            const uint64_t lo = std::max(from, first), hi = std::min(to + 1, last);
            const uint64_t asked = to - from + 1;
            const uint64_t held = hi > lo ? hi - lo : 0;
            absent += asked - held;
            for (uint64_t id = lo; id < hi && found.size() < limit; ++id) found.push_back(kept_[size_t(id - first)]);
        }
    }
    std::sort(found.begin(), found.end(), [](const EventPtr& a, const EventPtr& b) { return a->id < b->id; });
    found.erase(std::unique(found.begin(), found.end()), found.end());
    std::vector<std::vector<BYTE>> out;
    out.reserve(found.size());
    for (const EventPtr& e : found) out.push_back(e->record);
    if (missing) *missing = absent;
    return out;
}

Feed::Counts Feed::counts() const {
    std::lock_guard<std::mutex> guard(lock_);
    Counts c;
    c.received = nextId_ - 1;
    c.lastId = nextId_ - 1;
    c.kept = kept_.size();
    c.keptBytes = keptBytes_;
    c.pages = pages_.size();
    c.pageDrops = closedPageDrops_;
    for (const auto& page : pages_) c.pageDrops += page->dropped();
    return c;
}

}  // namespace evtrace::view
