#include "registry/notifier.h"

#include <algorithm>
#include <system_error>
#include <thread>

#include "core/futex.h"
#include "core/handle_table.h"

namespace w32rt::registry {

namespace {

// How long a reader waits for an entry whose writer has reserved it but not
// finished: far above the few instructions that takes, far below anything a
// watcher would notice.
constexpr int kPendingRetries = 50;
constexpr auto kPendingPause = std::chrono::microseconds(100);

}  // namespace

Notifier::Notifier(Registry& registry) : registry_(registry) {}

namespace {

// A journal that cannot serve (not one a reader may simply wait for).
bool journal_unusable(const Journal* journal) {
    return !journal || (!journal->attach() && journal->attach_error() != ERROR_FILE_NOT_FOUND);
}

}  // namespace

LSTATUS Notifier::arm(KeyObject* owner, const NodeRef& node, bool subtree, DWORD filter, HANDLE event) {
    Journal* journal = registry_.journal();
    if (journal_unusable(journal)) return ERROR_NO_SYSTEM_RESOURCES;
    ObjectPtr object = HandleTable::instance().lookup(event);
    if (!object || object->kind() != ObjectKind::Event) return ERROR_INVALID_HANDLE;
    object.reset();
    HANDLE copy = nullptr;
    if (!DuplicateHandle(GetCurrentProcess(), event, GetCurrentProcess(), &copy, 0, FALSE, DUPLICATE_SAME_ACCESS))
        return LSTATUS(GetLastError());
    return add(Watch{.owner = owner, .node = node, .subtree = subtree, .filter = filter, .caller_event = event,
                     .event = copy, .armed_at = journal->published()});
}

LSTATUS Notifier::wait(KeyObject* owner, const NodeRef& node, bool subtree, DWORD filter) {
    Journal* journal = registry_.journal();
    if (journal_unusable(journal)) return ERROR_NO_SYSTEM_RESOURCES;
    auto waiter = std::make_shared<Waiter>();
    LSTATUS status = add(Watch{.owner = owner, .node = node, .subtree = subtree, .filter = filter, .waiter = waiter,
                               .armed_at = journal->published()});
    if (status != ERROR_SUCCESS) return status;
    std::unique_lock<std::mutex> lock(waiter->mutex);
    waiter->cv.wait(lock, [&] { return waiter->fired; });
    return ERROR_SUCCESS;
}

LSTATUS Notifier::add(Watch watch) {
    std::unique_lock<std::mutex> lock(mutex_);
    if (!watch.waiter) {
        for (const Watch& armed : watches_) {
            if (armed.owner == watch.owner && armed.caller_event == watch.caller_event && !armed.waiter &&
                armed.subtree == watch.subtree && armed.filter == watch.filter) {
                // Already armed: the earlier watch signals the same event for
                // every change this one would see.
                lock.unlock();
                CloseHandle(watch.event);
                return ERROR_SUCCESS;
            }
        }
    }
    if (!thread_started_) {
        try {
            std::thread([this, start = watch.armed_at] { run(start); }).detach();
        } catch (const std::system_error&) {
            lock.unlock();
            if (watch.event) CloseHandle(watch.event);
            return ERROR_NO_SYSTEM_RESOURCES;
        }
        thread_started_ = true;
    }
    watch.owner->watched.store(true, std::memory_order_relaxed);
    watches_.push_back(std::move(watch));
    return ERROR_SUCCESS;
}

void Notifier::owner_closed(KeyObject* owner) {
    std::vector<Watch> fired;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        auto split = std::stable_partition(watches_.begin(), watches_.end(),
                                           [owner](const Watch& w) { return w.owner != owner; });
        std::move(split, watches_.end(), std::back_inserter(fired));
        watches_.erase(split, watches_.end());
    }
    fire(fired);
}

size_t Notifier::armed_count() {
    std::lock_guard<std::mutex> lock(mutex_);
    return watches_.size();
}

void Notifier::run(uint64_t start) {
    Journal& journal = *registry_.journal();
    uint64_t processed = start;
    for (;;) {
        // Until an administrator's process makes the journal, the word is
        // one of this process: look for the journal now and then.
        const bool attached = journal.attach();
        std::atomic<uint32_t>* word = journal.wake_word();
        uint32_t seen = word->load(std::memory_order_acquire);
        if (journal.published() != processed) {
            std::lock_guard<std::mutex> scanning(scan_mutex_);
            uint64_t published = journal.published();
            scan(processed, published);
            processed = published;
            continue;
        }
        futex_wait(word, seen, attached ? -1 : 100000000, attached ? FutexScope::Shared : FutexScope::Private);
    }
}

void Notifier::scan(uint64_t from, uint64_t to) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (watches_.empty()) return;
    }
    Journal& journal = *registry_.journal();
    // Watches armed before lost_before may have missed an entry: they fire.
    uint64_t lost_before = 0;
    uint64_t first = from + 1;
    if (to < from) {
        // The counter went back: the region is not the one we followed.
        lost_before = ~uint64_t(0);
        first = to + 1;
    } else if (to - from > Journal::kCapacity) {
        lost_before = to - Journal::kCapacity + 1;
        first = lost_before;
    }
    std::vector<JournalRecord> records;
    for (uint64_t seq = first; seq <= to && seq != 0; ++seq) {
        JournalRecord record;
        Journal::EntryState state = journal.read(seq, &record);
        for (int i = 0; state == Journal::EntryState::Pending && i < kPendingRetries; ++i) {
            std::this_thread::sleep_for(kPendingPause);
            state = journal.read(seq, &record);
        }
        if (state == Journal::EntryState::Complete)
            records.push_back(std::move(record));
        else
            lost_before = std::max(lost_before, seq);
    }

    std::vector<Watch> fired;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        auto keep = [&](const Watch& w) {
            if (w.armed_at < lost_before) return false;
            for (const JournalRecord& r : records)
                if (r.seq > w.armed_at && matches(w, r)) return false;
            return true;
        };
        auto split = std::stable_partition(watches_.begin(), watches_.end(), keep);
        std::move(split, watches_.end(), std::back_inserter(fired));
        watches_.erase(split, watches_.end());
    }
    fire(fired);
}

bool Notifier::matches(const Watch& watch, const JournalRecord& record) {
    const std::vector<int64_t>& chain = watch.node->chain;
    size_t depth = chain.size();
    if (record.ids.empty() || depth == 0) return true;
    int64_t target = record.ids.back();
    // ids[0] is the key at this depth (the hive's root is at depth 1).
    size_t first_depth = record.depth - record.ids.size() + 1;

    if (record.kind & kChangeDeleted) {
        // The deleted key is at record.depth: the watch fires when it is the
        // watched key or one above it.
        return depth >= record.depth && chain[record.depth - 1] == target;
    }
    if (!(record.kind & watch.filter)) return false;
    if (!watch.subtree) return record.depth == depth && target == chain.back();
    if (depth > record.depth) return false;
    // The entry kept only the deepest levels; the one that would tell is
    // gone, so the change may well be below the watched key.
    if (depth < first_depth) return true;
    return record.ids[depth - first_depth] == chain.back();
}

void Notifier::fire(std::vector<Watch>& fired) {
    for (Watch& w : fired) {
        if (w.waiter) {
            std::lock_guard<std::mutex> lock(w.waiter->mutex);
            w.waiter->fired = true;
            w.waiter->cv.notify_all();
        } else {
            SetEvent(w.event);
            CloseHandle(w.event);
        }
    }
}

}  // namespace w32rt::registry
