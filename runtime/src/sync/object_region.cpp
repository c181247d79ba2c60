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
#include "core/futex.h"
#include "core/hash.h"
#include "core/machine.h"
#include "core/shared_lock.h"
#include "core/sys.h"
#include "sync/futex_words.h"

namespace w32rt::sync {

namespace {

constexpr uint32_t kObjectsMagic = 0x4f523357;  // "W3RO"
constexpr uint32_t kObjectsVersion = 4;

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

// The rule of the table an object is in: every user for a null DACL, else
// its creator and the superuser. (The service account, when it is not the
// superuser, cannot map another user's private table, and so is kept out.)
bool caller_may_open(const ObjectSlot* s) {
    if (s->flags & kOpenToAll) return true;
    uid_t euid = geteuid();
    return euid == 0 || euid == s->creator_uid;
}

// ---- The process-wide list of mapped tables ------------------------------
//
// A mapping is reused only while the name still refers to the same
// shared-memory object.

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
    std::atomic<ObjectRegion*> shared{nullptr};
    std::vector<std::pair<uid_t, ObjectRegion*>> private_tables;
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

ObjectRegion::ObjectRegion(Machine& machine, std::unique_ptr<SharedRegion> region, std::string name, bool shared,
                           uid_t uid)
    : machine_(&machine), region_(std::move(region)), layout_(static_cast<ObjectsLayout*>(region_->base())),
      name_(std::move(name)), shared_(shared), uid_(uid) {}

void ObjectRegion::init_layout(void* base) {
    auto* layout = static_cast<ObjectsLayout*>(base);
    layout->header.max_objects = kMaxObjects;
    layout->header.max_holders = kMaxHolders;
    layout->header.name_capacity = kNameCapacity;
}

ObjectRegion* ObjectRegion::map_table(Machine& machine, const Segment& segment, bool create, bool shared, uid_t uid) {
    auto init = [shared, uid](void* base) {
        init_layout(base);
        static_cast<ObjectsLayout*>(base)->header.uid = shared ? kSharedTable : uint32_t(uid);
    };
    auto mapped = create ? SharedRegion::open_or_create(machine, segment, sizeof(ObjectsLayout), kObjectsMagic,
                                                        kObjectsVersion, init)
                         : SharedRegion::open_existing(machine, segment, kObjectsMagic, kObjectsVersion);
    if (!mapped) return nullptr;
    if (!mapped->writable() || mapped->size() != sizeof(ObjectsLayout)) return fail(ERROR_INVALID_DATA, nullptr);
    const ObjectsHeader& h = static_cast<ObjectsLayout*>(mapped->base())->header;
    if (h.max_objects != kMaxObjects || h.max_holders != kMaxHolders || h.name_capacity != kNameCapacity ||
        h.uid != (shared ? kSharedTable : uint32_t(uid)))
        return fail(ERROR_INVALID_DATA, nullptr);
    struct stat st;
    if (sys::fstat(mapped->fd(), &st) < 0) return fail_errno(errno, nullptr);

    // A table is mapped once per process even when the process meets its
    // root again through a new Machine, so that mutex ownership (by token,
    // whatever the table) and the holder entries stay one per process.
    std::string name = segment_path(machine, segment);
    std::lock_guard<std::mutex> tables_lock(g_tables_mutex);
    for (const MappedTable& t : tables())
        if (t.name == name && t.dev == st.st_dev && t.ino == st.st_ino) return t.region;
    // Never unmapped: handles may outlive the root.
    auto* region = new ObjectRegion(machine, std::move(mapped), name, shared, uid);
    tables().push_back({name, st.st_dev, st.st_ino, region});
    return region;
}

ObjectRegion* ObjectRegion::shared_table() {
    Machine& machine = Machine::current();
    ObjectsArea& area = machine.area<ObjectsArea>(Area::Objects);
    ObjectRegion* region = area.shared.load(std::memory_order_acquire);
    if (region) return region;
    std::lock_guard<std::mutex> area_lock(area.mutex);
    region = area.shared.load(std::memory_order_relaxed);
    if (region) return region;
    region = map_table(machine, public_segment("objects"), true, true, 0);
    if (region) area.shared.store(region, std::memory_order_release);
    return region;
}

ObjectRegion* ObjectRegion::private_table(uid_t uid, bool create) {
    Machine& machine = Machine::current();
    ObjectsArea& area = machine.area<ObjectsArea>(Area::Objects);
    std::lock_guard<std::mutex> area_lock(area.mutex);
    for (const auto& [who, region] : area.private_tables)
        if (who == uid) return region;
    // Only its user makes a private table; the superuser opens another's.
    create = create && uid == geteuid();
    if (!create && geteuid() != 0 && uid != geteuid()) return fail(ERROR_ACCESS_DENIED, nullptr);
    ObjectRegion* region = map_table(machine, user_segment(machine, "objects.u" + std::to_string(uid), uid, false),
                                     create, false, uid);
    if (region) area.private_tables.emplace_back(uid, region);
    return region;
}

std::vector<ObjectRegion*> ObjectRegion::mapped_tables() {
    std::lock_guard<std::mutex> tables_lock(g_tables_mutex);
    std::vector<ObjectRegion*> out;
    for (const MappedTable& t : tables()) out.push_back(t.region);
    return out;
}

// ---- Lock and repair -----------------------------------------------------

bool ObjectRegion::lock(int64_t deadline_ns) {
    const int64_t bound = monotonic_ns() + int64_t(kTableLockMs) * 1'000'000;
    const bool caller_first = deadline_ns >= 0 && deadline_ns < bound;
    switch (shared_lock(&layout_->header.lock, caller_first ? deadline_ns : bound)) {
        case SharedLockResult::Acquired: return true;
        case SharedLockResult::Recovered:
            // The last holder died inside an operation: make the table whole
            // again before anything else.
            repair();
            return true;
        case SharedLockResult::TimedOut: break;
    }
    return fail(caller_first ? DWORD(ERROR_TIMEOUT) : DWORD(ERROR_BUSY), false);
}

void ObjectRegion::unlock() { shared_unlock(&layout_->header.lock); }

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
        if ((s.type != kSlotEvent && s.type != kSlotMutex && s.type != kSlotReservation) || counts[i] == 0) {
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
    s.owner_uid = 0;
    s.reserved_type = 0;
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
        if (type != kSlotEvent && type != kSlotMutex && type != kSlotReservation) {  // free, or not valid at all
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

// ---- Create, open, release (lock held) -----------------------------------

int32_t ObjectRegion::find_live(std::string_view name) {
    ObjectSlot* s = find_named(name, name_hash(name));
    if (!s) return -1;
    uint32_t index = uint32_t(s - layout_->objects);
    int32_t mine;
    return prune_holders(index, &mine) > 0 ? int32_t(index) : -1;
}

DWORD ObjectRegion::create_locked(const CreateRequest& request, ObjectRef* out) {
    TokenRef owner;
    if (request.type == kSlotMutex && request.initial_owner) {
        owner = TokenTable::mine(*machine_, true);
        if (owner.empty()) return ERROR_NO_SYSTEM_RESOURCES;
    }
    int32_t index = allocate_slot();
    int32_t holder = allocate_holder();
    if (index < 0 || holder < 0) {
        prune_all_dead_holders();
        if (index < 0) index = allocate_slot();
        if (holder < 0) holder = allocate_holder();
    }
    if (index < 0 || holder < 0) return ERROR_NO_SYSTEM_RESOURCES;
    const uint32_t hash = name_hash(request.name);
    ObjectSlot& s = layout_->objects[index];
    ++s.generation;
    s.sleepers = 0;
    s.flags = (request.manual_reset ? uint32_t(kManualReset) : 0u) | (request.open_to_all ? uint32_t(kOpenToAll) : 0u);
    s.signaled = request.initial_state ? 1 : 0;
    s.pulse_gen = 0;
    s.pulse_pending = 0;
    set_owner(&s, owner);
    s.recursion = owner.empty() ? 0 : 1;
    s.creator_uid = uint32_t(geteuid());
    s.reserved_type = request.reserved_type;
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

    if (!owner.empty()) note_mutex_owned_in(this);
    *out = {uint32_t(index), s.generation, uint32_t(holder)};
    return ERROR_SUCCESS;
}

DWORD ObjectRegion::open_locked(uint32_t index, SlotType type, ObjectRef* out) {
    if (index >= kMaxObjects) return ERROR_INVALID_HANDLE;
    const ObjectSlot& s = layout_->objects[index];
    if (s.type != type) return ERROR_INVALID_HANDLE;
    if (!caller_may_open(&s)) return ERROR_ACCESS_DENIED;
    return hold_locked(index, out);
}

DWORD ObjectRegion::hold_locked(uint32_t index, ObjectRef* out) {
    if (index >= kMaxObjects || layout_->objects[index].type == kSlotFree) return ERROR_INVALID_HANDLE;
    int32_t mine;
    if (prune_holders(index, &mine) == 0) return ERROR_FILE_NOT_FOUND;
    uint32_t holder = attach_holder(index, mine);
    if (holder == UINT32_MAX) return ERROR_NO_SYSTEM_RESOURCES;
    *out = {index, layout_->objects[index].generation, holder};
    return ERROR_SUCCESS;
}

void ObjectRegion::release_locked(const ObjectRef& ref) {
    ObjectSlot* s = slot(ref.index);
    if (ref.holder >= kMaxHolders || !s || s->type == kSlotFree || s->generation != ref.generation) return;
    HolderEntry& e = layout_->holders[ref.holder];
    if (e.object != ref.index + 1 || e.generation != ref.generation || e.process != current_process()) return;
    if (e.count > 1) {
        --e.count;
        return;
    }
    clear_holder(ref.holder);
    if (s->holders > 0) --s->holders;
    if (s->holders == 0) free_slot(ref.index);
}

void ObjectRegion::release(const ObjectRef& ref, int lock_ms) {
    if (!lock(lock_ms < 0 ? -1 : monotonic_ns() + int64_t(lock_ms) * 1'000'000)) return;
    release_locked(ref);
    unlock();
}

}  // namespace w32rt::sync
