#include "sync/object_api.h"

#include <unistd.h>

#include <new>

#include "core/error.h"
#include "core/futex.h"

namespace w32rt::sync {

namespace {

constexpr DWORD kEventQueryState = 0x0001;

DWORD all_access(ObjectKind kind) { return kind == ObjectKind::Event ? EVENT_ALL_ACCESS : MUTEX_ALL_ACCESS; }

// Generic rights to the object's specific rights.
DWORD map_access(ObjectKind kind, DWORD access) {
    DWORD mapped = access & ~(GENERIC_READ | GENERIC_WRITE | GENERIC_EXECUTE | GENERIC_ALL | MAXIMUM_ALLOWED);
    if (access & (GENERIC_ALL | MAXIMUM_ALLOWED)) mapped |= all_access(kind);
    if (kind == ObjectKind::Event) {
        if (access & GENERIC_READ) mapped |= STANDARD_RIGHTS_READ | kEventQueryState;
        if (access & GENERIC_WRITE) mapped |= STANDARD_RIGHTS_WRITE | EVENT_MODIFY_STATE;
    } else {
        if (access & GENERIC_READ) mapped |= STANDARD_RIGHTS_READ | MUTANT_QUERY_STATE;
        if (access & GENERIC_WRITE) mapped |= STANDARD_RIGHTS_WRITE;
    }
    if (access & GENERIC_EXECUTE) mapped |= STANDARD_RIGHTS_EXECUTE | SYNCHRONIZE;
    return mapped & all_access(kind);
}

// Where a create or open by name ended up.
struct Found {
    ObjectRegion* table = nullptr;
    ObjectRef ref;
    ObjectRegion* reservation_table = nullptr;
    ObjectRef reservation;
};

// Unlocks a table at the end of a scope (unless released earlier).
struct TableLock {
    ObjectRegion* table = nullptr;
    ~TableLock() { release(); }
    void release() {
        if (table) table->unlock();
        table = nullptr;
    }
};

// Takes a hold on the reservation of the caller's private object's name in
// the shared table, making it when there is none. Someone else's entry of
// that name (the shared table is anyone's to write) leaves the object
// without one: the caller's own table still finds it. Locks held.
void hold_reservation(ObjectRegion* shared, std::string_view name, SlotType type, Found* found) {
    int32_t i = shared->find_live(name);
    DWORD error = ERROR_INVALID_HANDLE;
    if (i < 0) {
        CreateRequest reservation;
        reservation.type = kSlotReservation;
        reservation.reserved_type = type;
        reservation.name = name;
        error = shared->create_locked(reservation, &found->reservation);
    } else {
        const ObjectSlot* s = shared->slot(uint32_t(i));
        if (s->type == kSlotReservation && s->creator_uid == geteuid() && s->reserved_type == type)
            error = shared->hold_locked(uint32_t(i), &found->reservation);
    }
    if (error == ERROR_SUCCESS) found->reservation_table = shared;
}

// How long a caller waits for the shared table when its own objects do not
// depend on it (a reservation, or the check that no one else has the name):
// anyone can hold that lock, and the caller's own table decides for it.
constexpr int64_t kBriefSharedLockNs = 200'000'000;

// Holds the reservation of a name of the caller's own object, if the shared
// table can be had soon.
void hold_reservation_briefly(std::string_view name, SlotType type, Found* found) {
    ObjectRegion* shared = ObjectRegion::shared_table();
    if (!shared || !shared->lock(monotonic_ns() + kBriefSharedLockNs)) return;
    hold_reservation(shared, name, type, found);
    shared->unlock();
}

// Opens the caller's own object of that name, or creates it there when
// asked. Own table locked. 0, ERROR_FILE_NOT_FOUND, or a Win32 error.
DWORD open_or_make_own(ObjectRegion* own, const CreateRequest& request, bool create, Found* found, bool* exists) {
    int32_t i = own->find_live(request.name);
    if (i >= 0) {
        DWORD error = own->open_locked(uint32_t(i), request.type, &found->ref);
        if (error == ERROR_SUCCESS) {
            found->table = own;
            *exists = true;
        }
        return error;
    }
    if (!create) return ERROR_FILE_NOT_FOUND;
    DWORD error = own->create_locked(request, &found->ref);
    if (error == ERROR_SUCCESS) found->table = own;
    return error;
}

// Finds a named object in the tables the caller may see, and creates it
// when asked and it is not there (see object_region.h, Names). 0 or a Win32
// error; *exists tells an opened object from a new one.
DWORD find_or_create(const CreateRequest& request, bool create, Found* found, bool* exists) {
    *exists = false;
    const uid_t me = geteuid();
    const bool makes_private = create && !request.open_to_all;
    ObjectRegion* own = ObjectRegion::private_table(me, makes_private);
    if (!own && makes_private) return GetLastError();

    // The caller's own table first, by itself: it is authoritative for the
    // caller's objects, and no other user can lock it.
    if (own) {
        TableLock own_lock;
        if (!own->lock()) return GetLastError();
        own_lock.table = own;
        DWORD error = open_or_make_own(own, request, false, found, exists);
        if (error != ERROR_FILE_NOT_FOUND) {
            own_lock.release();
            if (error == ERROR_SUCCESS) hold_reservation_briefly(request.name, request.type, found);
            return error;
        }
    }

    ObjectRegion* shared = ObjectRegion::shared_table();
    TableLock shared_lock, own_lock;
    if (shared && shared->lock(makes_private ? monotonic_ns() + kBriefSharedLockNs : -1)) shared_lock.table = shared;
    if (!shared_lock.table) {
        // Another user holds the shared table, or it cannot be mapped: a
        // new private object is made without asking it (and without a
        // reservation); the caller's processes all find it in their table.
        if (!makes_private) return GetLastError();
        if (!own->lock()) return GetLastError();
        own_lock.table = own;
        return open_or_make_own(own, request, true, found, exists);
    }

    int32_t i = shared->find_live(request.name);
    if (i >= 0) {
        const ObjectSlot* s = shared->slot(uint32_t(i));
        if (s->type != kSlotReservation) {
            DWORD error = shared->open_locked(uint32_t(i), request.type, &found->ref);
            if (error != ERROR_SUCCESS) return error;
            found->table = shared;
            *exists = true;
            return ERROR_SUCCESS;
        }
        const uid_t owner = s->creator_uid;
        if (s->reserved_type != uint32_t(request.type)) return ERROR_INVALID_HANDLE;
        if (owner != me) {
            if (me != 0) return ERROR_ACCESS_DENIED;
            // The superuser opens it in its user's table.
            ObjectRegion* theirs = ObjectRegion::private_table(owner, false);
            if (theirs) {
                TableLock their_lock;
                if (!theirs->lock()) return GetLastError();
                their_lock.table = theirs;
                int32_t j = theirs->find_live(request.name);
                if (j >= 0) {
                    DWORD error = theirs->open_locked(uint32_t(j), request.type, &found->ref);
                    if (error != ERROR_SUCCESS) return error;
                    found->table = theirs;
                    if (shared->hold_locked(uint32_t(i), &found->reservation) == ERROR_SUCCESS)
                        found->reservation_table = shared;
                    *exists = true;
                    return ERROR_SUCCESS;
                }
            }
        }
        // A reservation whose object is gone (or that no table of its user
        // holds): stale.
        shared->drop_locked(uint32_t(i));
    }
    if (!create) return ERROR_FILE_NOT_FOUND;
    if (request.open_to_all) {
        DWORD error = shared->create_locked(request, &found->ref);
        if (error == ERROR_SUCCESS) found->table = shared;
        return error;
    }
    // Another thread of the caller's user may have made it meanwhile.
    if (!own->lock()) return GetLastError();
    own_lock.table = own;
    DWORD error = open_or_make_own(own, request, true, found, exists);
    if (error == ERROR_SUCCESS) hold_reservation(shared, request.name, request.type, found);
    return error;
}

HANDLE insert_handle(ObjectKind kind, const Found& found, DWORD access, bool inherit) {
    std::shared_ptr<SharedObject> object;
    try {
        object = std::make_shared<SharedObject>(kind, found.table, found.ref, found.reservation_table,
                                                found.reservation);
    } catch (const std::bad_alloc&) {
        found.table->release(found.ref);
        if (found.reservation_table) found.reservation_table->release(found.reservation);
        return fail(ERROR_NOT_ENOUGH_MEMORY, HANDLE(nullptr));
    }
    return HandleTable::instance().insert(std::move(object), access, inherit);
}

}  // namespace

HANDLE create_shared_object(ObjectKind kind, LPSECURITY_ATTRIBUTES attributes, LPCSTR name, CreateRequest request) {
    bool inherit = false;
    if (attributes) {
        inherit = attributes->bInheritHandle != FALSE;
        if (attributes->lpSecurityDescriptor) {
            DWORD error = descriptor_opens_to_all(attributes->lpSecurityDescriptor, &request.open_to_all);
            if (error != ERROR_SUCCESS) return fail(error, HANDLE(nullptr));
        }
    }
    if (name && *name) {
        DWORD error = normalize_object_name(name, &request.name);
        if (error != ERROR_SUCCESS) return fail(error, HANDLE(nullptr));
    }
    request.type = kind == ObjectKind::Event ? kSlotEvent : kSlotMutex;
    Found found;
    bool exists = false;
    if (request.name.empty()) {
        // Nobody can open an unnamed object by name: it goes to the
        // creator's own table, whatever its security.
        ObjectRegion* own = ObjectRegion::private_table(geteuid(), true);
        if (!own) return nullptr;
        if (!own->lock()) return nullptr;
        DWORD error = own->create_locked(request, &found.ref);
        own->unlock();
        if (error != ERROR_SUCCESS) return fail(error, HANDLE(nullptr));
        found.table = own;
    } else {
        DWORD error = find_or_create(request, true, &found, &exists);
        if (error != ERROR_SUCCESS) return fail(error, HANDLE(nullptr));
    }
    HANDLE handle = insert_handle(kind, found, all_access(kind), inherit);
    if (!handle) return nullptr;
    SetLastError(exists ? ERROR_ALREADY_EXISTS : ERROR_SUCCESS);
    return handle;
}

HANDLE open_shared_object(ObjectKind kind, DWORD desired_access, BOOL inherit, LPCSTR name) {
    if (!name || !*name) return fail(ERROR_INVALID_PARAMETER, HANDLE(nullptr));
    CreateRequest request;
    DWORD error = normalize_object_name(name, &request.name);
    if (error != ERROR_SUCCESS) return fail(error, HANDLE(nullptr));
    request.type = kind == ObjectKind::Event ? kSlotEvent : kSlotMutex;
    Found found;
    bool exists = false;
    error = find_or_create(request, false, &found, &exists);
    if (error != ERROR_SUCCESS) return fail(error, HANDLE(nullptr));
    return insert_handle(kind, found, map_access(kind, desired_access), inherit != FALSE);
}

std::shared_ptr<SharedObject> lookup_shared(HANDLE handle, ObjectKind kind, DWORD required_access) {
    DWORD access = 0;
    auto object = HandleTable::instance().lookup_as<SharedObject>(handle, kind, &access);
    if (!object) return nullptr;
    if ((access & required_access) != required_access) return fail(ERROR_ACCESS_DENIED, nullptr);
    return object;
}

}  // namespace w32rt::sync
