#include "sync/object_api.h"

#include <new>

#include "core/error.h"

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

HANDLE insert_handle(ObjectKind kind, ObjectRegion* region, const ObjectRef& ref, DWORD access, bool inherit) {
    std::shared_ptr<SharedObject> object;
    try {
        object = std::make_shared<SharedObject>(kind, region, ref);
    } catch (const std::bad_alloc&) {
        region->release(ref);
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
    ObjectRegion* region = ObjectRegion::current();
    if (!region) return nullptr;
    ObjectRef ref;
    bool exists = false;
    DWORD error = region->create(request, &ref, &exists);
    if (error != ERROR_SUCCESS) return fail(error, HANDLE(nullptr));
    HANDLE handle = insert_handle(kind, region, ref, all_access(kind), inherit);
    if (!handle) return nullptr;
    SetLastError(exists ? ERROR_ALREADY_EXISTS : ERROR_SUCCESS);
    return handle;
}

HANDLE open_shared_object(ObjectKind kind, DWORD desired_access, BOOL inherit, LPCSTR name) {
    if (!name || !*name) return fail(ERROR_INVALID_PARAMETER, HANDLE(nullptr));
    std::string_view normalized;
    DWORD error = normalize_object_name(name, &normalized);
    if (error != ERROR_SUCCESS) return fail(error, HANDLE(nullptr));
    ObjectRegion* region = ObjectRegion::current();
    if (!region) return nullptr;
    ObjectRef ref;
    error = region->open(kind == ObjectKind::Event ? kSlotEvent : kSlotMutex, normalized, &ref);
    if (error != ERROR_SUCCESS) return fail(error, HANDLE(nullptr));
    return insert_handle(kind, region, ref, map_access(kind, desired_access), inherit != FALSE);
}

std::shared_ptr<SharedObject> lookup_shared(HANDLE handle, ObjectKind kind, DWORD required_access) {
    DWORD access = 0;
    auto object = HandleTable::instance().lookup_as<SharedObject>(handle, kind, &access);
    if (!object) return nullptr;
    if ((access & required_access) != required_access) return fail(ERROR_ACCESS_DENIED, nullptr);
    return object;
}

}  // namespace w32rt::sync
