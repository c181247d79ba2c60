#include "registry/read_cache.h"

#include <time.h>

namespace w32rt::registry {

namespace {

constexpr size_t kCacheMaxEntries = 8192;

int64_t coarse_now_ns() {
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC_COARSE, &ts);
    return int64_t(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

}  // namespace

std::string ReadCache::key(char kind, int64_t id, std::string_view folded) {
    std::string key;
    key.reserve(1 + sizeof id + folded.size());
    key += kind;
    key.append(reinterpret_cast<const char*>(&id), sizeof id);
    key += folded;
    return key;
}

Journal::Stamp ReadCache::stamp() const { return journal_ ? journal_->stamp() : Journal::Stamp(); }

void ReadCache::validate_locked(const Journal::Stamp& stamp) {
    int64_t now = coarse_now_ns();
    if (!valid_ || !(stamp == generation_) || now - validated_ns_ > max_age_ns_) {
        entries_.clear();
        valid_ = true;
        generation_ = stamp;
        validated_ns_ = now;
    }
}

bool ReadCache::find(const std::string& key, Entry* out) {
    if (!journal_) return false;
    Journal::Stamp stamp = journal_->stamp();
    if (journal_->write_under_way(stamp)) return false;
    std::lock_guard<std::mutex> lock(mutex_);
    validate_locked(stamp);
    auto it = entries_.find(key);
    if (it == entries_.end()) return false;
    *out = it->second;
    return true;
}

void ReadCache::store(const std::string& key, const Journal::Stamp& before, Entry entry) {
    if (!journal_) return;
    Journal::Stamp after = journal_->stamp();
    if (!(after == before) || journal_->write_under_way(before)) return;
    std::lock_guard<std::mutex> lock(mutex_);
    validate_locked(after);
    if (entries_.size() >= kCacheMaxEntries) entries_.clear();
    entries_[key] = std::move(entry);
}

void ReadCache::clear() {
    std::lock_guard<std::mutex> lock(mutex_);
    entries_.clear();
    valid_ = false;
}

void ReadCache::set_max_age(int64_t ns) {
    std::lock_guard<std::mutex> lock(mutex_);
    max_age_ns_ = ns;
}

}  // namespace w32rt::registry
