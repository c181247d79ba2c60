// The process's handle table.
//
// Every HANDLE (and HKEY) the runtime gives out indexes this table. A handle
// carries the slot's generation and a per-process salt, so a closed, stale,
// forged or foreign handle is refused with ERROR_INVALID_HANDLE instead of
// reaching another object. Objects are reference counted: closing one handle
// while another thread still uses the object through it is safe.
#pragma once

#include <windows.h>

#include <memory>
#include <shared_mutex>
#include <vector>

namespace w32rt {

enum class ObjectKind : uint8_t {
    Event,
    Mutex,
    Thread,
    Process,
    File,
    FindSearch,
    RegistryKey,
    Token,
    Module,
};

const char* object_kind_name(ObjectKind kind);

class KernelObject {
public:
    explicit KernelObject(ObjectKind kind) : kind_(kind) {}
    KernelObject(const KernelObject&) = delete;
    KernelObject& operator=(const KernelObject&) = delete;
    virtual ~KernelObject() = default;

    ObjectKind kind() const { return kind_; }

    // Called once for each handle closed; the object itself lives on while
    // other handles or callers hold it.
    virtual void on_handle_closed() {}

private:
    const ObjectKind kind_;
};

using ObjectPtr = std::shared_ptr<KernelObject>;

class HandleTable {
public:
    static HandleTable& instance();

    // Returns the new handle, or null with ERROR_NO_SYSTEM_RESOURCES when
    // the table is full.
    HANDLE insert(ObjectPtr object, DWORD access, bool inheritable);

    // The object behind a handle; null with ERROR_INVALID_HANDLE when the
    // handle is not open in this process.
    ObjectPtr lookup(HANDLE handle, DWORD* access = nullptr) const;

    // As lookup, and the object must be of the given kind.
    template <class T>
    std::shared_ptr<T> lookup_as(HANDLE handle, ObjectKind kind, DWORD* access = nullptr) const {
        ObjectPtr object = lookup(handle, access);
        if (!object || object->kind() != kind) {
            SetLastError(ERROR_INVALID_HANDLE);
            return nullptr;
        }
        return std::static_pointer_cast<T>(object);
    }

    // Closes a handle; false with ERROR_INVALID_HANDLE when it is not open.
    bool close(HANDLE handle);

    // Number of open handles (tests look for leaks with it).
    size_t open_count() const;

private:
    struct Slot {
        ObjectPtr object;
        uint32_t generation = 0;
        DWORD access = 0;
        bool inheritable = false;
        uint32_t next_free = 0;  // index + 1 of the next free slot, 0 = end
    };

    HandleTable();
    bool decode(HANDLE handle, uint32_t* index, uint32_t* generation) const;

    mutable std::shared_mutex mutex_;
    std::vector<Slot> slots_;
    uint32_t free_head_ = 0;  // index + 1 of the first free slot
    size_t open_ = 0;
    uint64_t salt_;
};

}  // namespace w32rt
