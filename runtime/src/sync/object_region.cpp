#include "sync/object_region.h"

#include <errno.h>
#include <stdlib.h>
#include <linux/futex.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <mutex>
#include <vector>

#include "core/error.h"
#include "core/hash.h"
#include "core/machine.h"
#include "core/sys.h"
#include "sync/futex_words.h"

namespace w32rt::sync {

namespace {

constexpr uint32_t kObjectsMagic = 0x4f523357;  // "W3RO"
constexpr uint32_t kObjectsVersion = 3;

// The name index holds 0 for "no name"; a name whose hash is 0 is filed as 1.
uint32_t index_key(uint32_t hash) { return hash ? hash : 1; }

// Calls fn(i) for every i with words[i] == key, in order. Compares eight
// words at a time without branching, which the compiler vectorises; the
// index arrays are scanned whole on every lookup by name.
template <class Fn>
void for_each_match(const uint32_t* words, uint32_t count, uint32_t key, Fn fn) {
    for (uint32_t base = 0; base < count; base += 8) {
        unsigned hit = 0;
        for (uint32_t j = 0; j < 8; ++j) hit |= words[base + j] == key;
        if (!hit) continue;
        for (uint32_t j = 0; j < 8; ++j)
            if (words[base + j] == key && !fn(base + j)) return;
    }
}
static_assert(kMaxObjects % 8 == 0 && kMaxHolders % 8 == 0, "scanned eight at a time");

bool init_robust_mutex(pthread_mutex_t* m) {
    pthread_mutexattr_t attr;
    pthread_mutexattr_init(&attr);
    pthread_mutexattr_setpshared(&attr, PTHREAD_PROCESS_SHARED);
    pthread_mutexattr_setrobust(&attr, PTHREAD_MUTEX_ROBUST);
    int rc = pthread_mutex_init(m, &attr);
    pthread_mutexattr_destroy(&attr);
    return rc == 0;
}

// Liveness of foreign processes, asked at most once per process during one
// table operation.
class LivenessCache {
public:
    bool alive(const ProcessIdentity& id) {
        if (id == current_process()) return true;
        for (const auto& [who, verdict] : seen_)
            if (who == id) return verdict;
        bool verdict = process_alive(id);
        seen_.emplace_back(id, verdict);
        return verdict;
    }

private:
    std::vector<std::pair<ProcessIdentity, bool>> seen_;
};

bool caller_may_open(const ObjectSlot* s) {
    if (s->flags & kOpenToAll) return true;
    uid_t euid = geteuid();
    if (euid == 0 || euid == s->creator_uid) return true;
    int64_t system_uid = system_account_uid();
    return system_uid >= 0 && int64_t(euid) == system_uid;
}

// ---- The process-wide list of mapped tables ------------------------------
//
// A table is mapped once per process even when the process meets its root
// again through a new Machine, so that a thread's token (and with it mutex
// ownership) stays one per table. A mapping is reused only while the name
// still refers to the same shared-memory object.

struct MappedTable {
    std::string name;
    dev_t dev;
    ino_t ino;
    ObjectRegion* region;
};

std::mutex g_tables_mutex;
std::vector<MappedTable>& tables() {
    static auto* list = new std::vector<MappedTable>();
    return *list;
}

struct ObjectsArea {
    explicit ObjectsArea(Machine&) {}
    std::mutex mutex;
    std::atomic<ObjectRegion*> region{nullptr};
};

}  // namespace

// ---- WakeList ------------------------------------------------------------

void WakeList::add(const void* word) {
    for (unsigned i = 0; i < count_ && i < kInline; ++i)
        if (inline_[i] == word) return;
    for (const void* w : more_)
        if (w == word) return;
    if (count_ < kInline) {
        inline_[count_++] = word;
    } else {
        more_.push_back(word);
    }
}

void WakeList::wake_all() {
    for (unsigned i = 0; i < count_; ++i) wake_word(inline_[i], INT32_MAX, true);
    for (const void* w : more_) wake_word(w, INT32_MAX, true);
    count_ = 0;
    more_.clear();
}

// ---- Names ---------------------------------------------------------------

uint32_t name_hash(std::string_view name) { return fnv1a_32(name); }

DWORD normalize_object_name(const char* name, std::string_view* out) {
    std::string_view n(name);
    // Every session and the global namespace are one namespace here.
    for (std::string_view prefix : {std::string_view("Global\\"), std::string_view("Local\\")}) {
        if (n.substr(0, prefix.size()) == prefix) {
            n.remove_prefix(prefix.size());
            if (n.empty()) return ERROR_INVALID_NAME;
            break;
        }
    }
    // A further backslash would name an object directory, and there are none.
    if (n.find('\\') != std::string_view::npos) return ERROR_PATH_NOT_FOUND;
    if (n.size() > kMaxNameLength) return ERROR_FILENAME_EXCED_RANGE;
    *out = n;
    return ERROR_SUCCESS;
}

// ---- Mapping -------------------------------------------------------------

ObjectRegion::ObjectRegion(std::unique_ptr<SharedRegion> region, std::string name)
    : region_(std::move(region)), layout_(static_cast<ObjectsLayout*>(region_->base())), name_(std::move(name)) {}

void ObjectRegion::init_layout(void* base) {
    auto* layout = static_cast<ObjectsLayout*>(base);
    init_robust_mutex(&layout->header.lock);
    layout->header.max_objects = kMaxObjects;
    layout->header.max_holders = kMaxHolders;
    layout->header.max_tokens = kMaxTokens;
    layout->header.name_capacity = kNameCapacity;
    for (TokenSlot& t : layout->tokens) init_robust_mutex(&t.lock);
}

ObjectRegion* ObjectRegion::current() {
    Machine& machine = Machine::current();
    ObjectsArea& area = machine.area<ObjectsArea>(Area::Objects);
    ObjectRegion* region = area.region.load(std::memory_order_acquire);
    if (region) return region;

    std::lock_guard<std::mutex> area_lock(area.mutex);
    region = area.region.load(std::memory_order_relaxed);
    if (region) return region;

    std::string name = machine.shm_name("objects");
    auto mapped = SharedRegion::open_or_create(name, sizeof(ObjectsLayout), kObjectsMagic, kObjectsVersion,
                                               &ObjectRegion::init_layout);
    if (!mapped) return nullptr;
    const ObjectsHeader& h = static_cast<ObjectsLayout*>(mapped->base())->header;
    if (h.max_objects != kMaxObjects || h.max_holders != kMaxHolders || h.max_tokens != kMaxTokens ||
        h.name_capacity != kNameCapacity)
        return fail(ERROR_INVALID_DATA, nullptr);
    struct stat st;
    if (sys::fstat(mapped->fd(), &st) < 0) return fail_errno(errno, nullptr);

    std::lock_guard<std::mutex> tables_lock(g_tables_mutex);
    for (const MappedTable& t : tables()) {
        if (t.name == name && t.dev == st.st_dev && t.ino == st.st_ino) {
            area.region.store(t.region, std::memory_order_release);
            return t.region;
        }
    }
    region = new ObjectRegion(std::move(mapped), name);  // never unmapped: handles may outlive the root
    tables().push_back({name, st.st_dev, st.st_ino, region});
    area.region.store(region, std::memory_order_release);
    return region;
}

// ---- Lock and repair -----------------------------------------------------

bool ObjectRegion::lock() {
    int rc = pthread_mutex_lock(&layout_->header.lock);
    if (rc == 0) return true;
    if (rc == EOWNERDEAD) {
        // The last holder died inside an operation: make the table whole
        // again, then mark the lock consistent, or it is lost for good.
        repair();
        pthread_mutex_consistent(&layout_->header.lock);
        return true;
    }
    return fail(ERROR_GEN_FAILURE, false);
}

void ObjectRegion::unlock() { pthread_mutex_unlock(&layout_->header.lock); }

void ObjectRegion::repair() {
    ++layout_->header.repairs;
    std::vector<uint32_t> counts(kMaxObjects, 0);
    for (uint32_t i = 0; i < kMaxHolders; ++i) {
        HolderEntry& e = layout_->holders[i];
        layout_->holder_index[i] = e.object;
        if (e.object == 0) continue;
        uint32_t index = e.object - 1;
        ObjectSlot* s = slot(index);
        if (!s || s->type == kSlotFree || s->generation != e.generation || e.count == 0) {
            clear_holder(i);
            continue;
        }
        ++counts[index];
    }
    for (uint32_t i = 0; i < kMaxObjects; ++i) {
        ObjectSlot& s = layout_->objects[i];
        if (s.type == kSlotFree) {
            layout_->name_index[i] = 0;
            continue;
        }
        if ((s.type != kSlotEvent && s.type != kSlotMutex) || counts[i] == 0) {
            free_slot(i);
            continue;
        }
        s.holders = counts[i];
        if (s.name_length > kMaxNameLength) s.name_length = 0;
        s.name[s.name_length] = '\0';
        s.name_hash = name_hash({s.name, s.name_length});
        layout_->name_index[i] = s.name_length ? index_key(s.name_hash) : 0;
        if (s.owner > kMaxTokens) {
            s.owner = 0;
            s.recursion = 0;
            s.flags |= kAbandoned;
        }
    }
    layout_->header.free_hint = 0;
}

// ---- Slots and holders (lock held) ---------------------------------------

ObjectSlot* ObjectRegion::resolve(const ObjectRef& ref, SlotType type) {
    ObjectSlot* s = slot(ref.index);
    if (!s || s->type != type || s->generation != ref.generation) return nullptr;
    return s;
}

ObjectSlot* ObjectRegion::find_named(std::string_view name, uint32_t hash) {
    ObjectSlot* found = nullptr;
    for_each_match(layout_->name_index, kMaxObjects, index_key(hash), [&](uint32_t i) {
        ObjectSlot& s = layout_->objects[i];
        if (s.type == kSlotFree || s.name_length == 0 || s.name_hash != hash) return true;
        if (s.name_length != name.size() || memcmp(s.name, name.data(), name.size()) != 0) return true;
        found = &s;
        return false;
    });
    return found;
}

void ObjectRegion::free_slot(uint32_t index) {
    ObjectSlot& s = layout_->objects[index];
    s.type = kSlotFree;
    ++s.generation;
    s.flags = 0;
    s.signaled = 0;
    s.owner = 0;
    s.owner_gen = 0;
    s.recursion = 0;
    s.holders = 0;
    s.name_length = 0;
    s.name_hash = 0;
    s.name[0] = '\0';
    s.seq.fetch_add(1, std::memory_order_release);
    layout_->name_index[index] = 0;
    layout_->header.free_hint = index;
}

int32_t ObjectRegion::allocate_slot() {
    uint32_t start = layout_->header.free_hint;
    if (start >= kMaxObjects) start = 0;
    for (uint32_t n = 0; n < kMaxObjects; ++n) {
        uint32_t i = (start + n) % kMaxObjects;
        uint32_t type = layout_->objects[i].type;
        if (type != kSlotEvent && type != kSlotMutex) {  // free, or not a valid object at all
            layout_->header.free_hint = (i + 1) % kMaxObjects;
            return int32_t(i);
        }
    }
    return -1;
}

void ObjectRegion::clear_holder(uint32_t index) {
    layout_->holders[index] = HolderEntry{};
    layout_->holder_index[index] = 0;
}

int32_t ObjectRegion::allocate_holder() {
    for (uint32_t i = 0; i < kMaxHolders; ++i)
        if (layout_->holders[i].object == 0) return int32_t(i);
    return -1;
}

uint32_t ObjectRegion::prune_holders(uint32_t index, int32_t* mine) {
    ObjectSlot& s = layout_->objects[index];
    const ProcessIdentity& me = current_process();
    LivenessCache liveness;
    uint32_t live = 0;
    *mine = -1;
    for_each_match(layout_->holder_index, kMaxHolders, index + 1, [&](uint32_t i) {
        HolderEntry& e = layout_->holders[i];
        if (e.object != index + 1 || e.generation != s.generation) return true;
        if (e.count != 0 && liveness.alive(e.process)) {
            ++live;
            if (e.process == me) *mine = int32_t(i);
        } else {
            clear_holder(i);
        }
        return true;
    });
    s.holders = live;
    if (live == 0) free_slot(index);
    return live;
}

void ObjectRegion::prune_all_dead_holders() {
    LivenessCache liveness;
    for (uint32_t i = 0; i < kMaxHolders; ++i) {
        HolderEntry& e = layout_->holders[i];
        if (e.object == 0) continue;
        uint32_t index = e.object - 1;
        ObjectSlot* s = slot(index);
        if (!s || s->type == kSlotFree || s->generation != e.generation) {
            clear_holder(i);
            continue;
        }
        if (liveness.alive(e.process)) continue;
        clear_holder(i);
        if (s->holders > 0) --s->holders;
        if (s->holders == 0) free_slot(index);
    }
}

uint32_t ObjectRegion::attach_holder(uint32_t index, int32_t mine) {
    ObjectSlot& s = layout_->objects[index];
    if (mine >= 0) {
        ++layout_->holders[mine].count;
        return uint32_t(mine);
    }
    int32_t h = allocate_holder();
    if (h < 0) {
        prune_all_dead_holders();
        if (s.type == kSlotFree) return UINT32_MAX;
        h = allocate_holder();
        if (h < 0) return UINT32_MAX;
    }
    HolderEntry& e = layout_->holders[h];
    e.generation = s.generation;
    e.process = current_process();
    e.count = 1;
    e.object = index + 1;
    layout_->holder_index[h] = index + 1;
    ++s.holders;
    return uint32_t(h);
}

uint32_t ObjectRegion::objects_in_use() {
    if (!lock()) return 0;
    uint32_t n = 0;
    for (const ObjectSlot& s : layout_->objects)
        if (s.type != kSlotFree) ++n;
    unlock();
    return n;
}

// ---- Create, open, release -----------------------------------------------

DWORD ObjectRegion::create(const CreateRequest& request, ObjectRef* out, bool* exists) {
    *exists = false;
    if (!lock()) return GetLastError();
    uint32_t hash = name_hash(request.name);
    if (!request.name.empty()) {
        ObjectSlot* s = find_named(request.name, hash);
        if (s) {
            uint32_t index = uint32_t(s - layout_->objects);
            int32_t mine;
            if (prune_holders(index, &mine) > 0) {
                DWORD error = open_existing(index, mine, request.type, out);
                *exists = error == ERROR_SUCCESS;
                unlock();
                return error;
            }
        }
    }

    TokenRef owner;
    if (request.type == kSlotMutex && request.initial_owner) {
        owner = my_token(true);
        if (owner.empty()) {
            unlock();
            return ERROR_NO_SYSTEM_RESOURCES;
        }
    }
    int32_t index = allocate_slot();
    int32_t holder = allocate_holder();
    if (index < 0 || holder < 0) {
        prune_all_dead_holders();
        if (index < 0) index = allocate_slot();
        if (holder < 0) holder = allocate_holder();
    }
    if (index < 0 || holder < 0) {
        unlock();
        return ERROR_NO_SYSTEM_RESOURCES;
    }
    ObjectSlot& s = layout_->objects[index];
    ++s.generation;
    s.sleepers = 0;
    s.flags = (request.manual_reset ? uint32_t(kManualReset) : 0u) | (request.open_to_all ? uint32_t(kOpenToAll) : 0u);
    s.signaled = request.initial_state ? 1 : 0;
    s.pulse_gen = 0;
    s.pulse_pending = 0;
    s.owner = owner.index_plus_one;
    s.owner_gen = owner.generation;
    s.recursion = owner.empty() ? 0 : 1;
    s.creator_uid = uint32_t(geteuid());
    s.holders = 1;
    s.name_hash = hash;
    s.name_length = uint32_t(request.name.size());
    if (!request.name.empty()) memcpy(s.name, request.name.data(), request.name.size());
    s.name[request.name.size()] = '\0';
    s.type = request.type;
    layout_->name_index[index] = request.name.empty() ? 0 : index_key(hash);

    HolderEntry& e = layout_->holders[holder];
    e.generation = s.generation;
    e.process = current_process();
    e.count = 1;
    e.object = uint32_t(index) + 1;
    layout_->holder_index[holder] = e.object;

    *out = {uint32_t(index), s.generation, uint32_t(holder)};
    unlock();
    return ERROR_SUCCESS;
}

DWORD ObjectRegion::open_existing(uint32_t index, int32_t mine, SlotType type, ObjectRef* out) {
    const ObjectSlot& s = layout_->objects[index];
    if (s.type != type) return ERROR_INVALID_HANDLE;
    if (!caller_may_open(&s)) return ERROR_ACCESS_DENIED;
    uint32_t holder = attach_holder(index, mine);
    if (holder == UINT32_MAX) return ERROR_NO_SYSTEM_RESOURCES;
    *out = {index, s.generation, holder};
    return ERROR_SUCCESS;
}

DWORD ObjectRegion::open(SlotType type, std::string_view name, ObjectRef* out) {
    if (!lock()) return GetLastError();
    ObjectSlot* s = find_named(name, name_hash(name));
    uint32_t index = s ? uint32_t(s - layout_->objects) : 0;
    int32_t mine = -1;
    DWORD error = !s || prune_holders(index, &mine) == 0 ? DWORD(ERROR_FILE_NOT_FOUND)
                                                         : open_existing(index, mine, type, out);
    unlock();
    return error;
}

void ObjectRegion::release(const ObjectRef& ref) {
    if (!lock()) return;
    ObjectSlot* s = slot(ref.index);
    if (ref.holder < kMaxHolders && s && s->type != kSlotFree && s->generation == ref.generation) {
        HolderEntry& e = layout_->holders[ref.holder];
        if (e.object == ref.index + 1 && e.generation == ref.generation && e.process == current_process()) {
            if (e.count > 1) {
                --e.count;
            } else {
                clear_holder(ref.holder);
                if (s->holders > 0) --s->holders;
                if (s->holders == 0) free_slot(ref.index);
            }
        }
    }
    unlock();
}

}  // namespace w32rt::sync
