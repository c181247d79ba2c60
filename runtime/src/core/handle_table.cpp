#include "core/handle_table.h"

#include <mutex>
#include <random>

namespace w32rt {

// Layout of a handle value (always a multiple of four, as on Windows):
//   bits 44..51  per-process salt (never 0)
//   bits 22..43  slot generation
//   bits  2..21  slot index + 1
// Values therefore never collide with the pseudo handles (-1, -2), with
// INVALID_HANDLE_VALUE or with the predefined registry keys (0x8000000x).
namespace {
constexpr unsigned kIndexBits = 20;
constexpr unsigned kGenerationBits = 22;
constexpr uint32_t kMaxSlots = (1u << kIndexBits) - 1;
constexpr uint32_t kGenerationMask = (1u << kGenerationBits) - 1;
constexpr unsigned kSaltShift = 2 + kIndexBits + kGenerationBits;
}  // namespace

const char* object_kind_name(ObjectKind kind) {
    switch (kind) {
        case ObjectKind::Event: return "Event";
        case ObjectKind::Mutex: return "Mutant";
        case ObjectKind::Thread: return "Thread";
        case ObjectKind::Process: return "Process";
        case ObjectKind::File: return "File";
        case ObjectKind::FindSearch: return "FindSearch";
        case ObjectKind::RegistryKey: return "Key";
        case ObjectKind::Token: return "Token";
        case ObjectKind::Module: return "Module";
    }
    return "?";
}

HandleTable& HandleTable::instance() {
    // Never destroyed: handles may be closed from static destructors.
    static HandleTable* table = new HandleTable();
    return *table;
}

HandleTable::HandleTable() {
    std::random_device rd;
    salt_ = (rd() % 255) + 1;
    slots_.reserve(256);
}

HANDLE HandleTable::insert(ObjectPtr object, DWORD access, bool inheritable) {
    std::unique_lock lock(mutex_);
    uint32_t index;
    if (free_head_ != 0) {
        index = free_head_ - 1;
        free_head_ = slots_[index].next_free;
    } else {
        if (slots_.size() >= kMaxSlots) {
            SetLastError(ERROR_NO_SYSTEM_RESOURCES);
            return nullptr;
        }
        index = static_cast<uint32_t>(slots_.size());
        slots_.emplace_back();
    }
    Slot& slot = slots_[index];
    slot.object = std::move(object);
    slot.access = access;
    slot.inheritable = inheritable;
    slot.next_free = 0;
    ++open_;
    uint64_t value = (salt_ << kSaltShift) | (uint64_t(slot.generation & kGenerationMask) << (2 + kIndexBits)) |
                     (uint64_t(index + 1) << 2);
    return reinterpret_cast<HANDLE>(value);
}

bool HandleTable::decode(HANDLE handle, uint32_t* index, uint32_t* generation) const {
    uint64_t value = reinterpret_cast<uint64_t>(handle);
    if ((value & 3) != 0 || (value >> kSaltShift) != salt_) return false;
    uint32_t slot_plus_one = uint32_t((value >> 2) & ((1u << kIndexBits) - 1));
    if (slot_plus_one == 0) return false;
    *index = slot_plus_one - 1;
    *generation = uint32_t((value >> (2 + kIndexBits)) & kGenerationMask);
    return true;
}

ObjectPtr HandleTable::lookup(HANDLE handle, DWORD* access) const {
    uint32_t index, generation;
    if (decode(handle, &index, &generation)) {
        std::shared_lock lock(mutex_);
        if (index < slots_.size()) {
            const Slot& slot = slots_[index];
            if (slot.object && (slot.generation & kGenerationMask) == generation) {
                if (access) *access = slot.access;
                return slot.object;
            }
        }
    }
    SetLastError(ERROR_INVALID_HANDLE);
    return nullptr;
}

bool HandleTable::close(HANDLE handle) {
    uint32_t index, generation;
    ObjectPtr released;
    if (decode(handle, &index, &generation)) {
        std::unique_lock lock(mutex_);
        if (index < slots_.size()) {
            Slot& slot = slots_[index];
            if (slot.object && (slot.generation & kGenerationMask) == generation) {
                released = std::move(slot.object);
                slot.object.reset();
                ++slot.generation;
                slot.next_free = free_head_;
                free_head_ = index + 1;
                --open_;
            }
        }
    }
    if (!released) {
        SetLastError(ERROR_INVALID_HANDLE);
        return false;
    }
    // Outside the lock: closing may wake waiters or touch shared memory.
    released->on_handle_closed();
    return true;
}

size_t HandleTable::open_count() const {
    std::shared_lock lock(mutex_);
    return open_;
}

}  // namespace w32rt
