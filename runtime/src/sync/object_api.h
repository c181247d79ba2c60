// What CreateEventA, CreateMutexA and their Open and state functions share:
// security attributes, names, access rights and handles.
#pragma once

#include <windows.h>

#include <memory>

#include "sync/sync_objects.h"

namespace w32rt::sync {

// Creates (or opens, ERROR_ALREADY_EXISTS) a shared object and returns a
// handle with every right of its kind; null with the last error set. The
// last error is 0 when the object is new.
HANDLE create_shared_object(ObjectKind kind, LPSECURITY_ATTRIBUTES attributes, LPCSTR name, CreateRequest request);

// Opens a named shared object; null with the last error set.
HANDLE open_shared_object(ObjectKind kind, DWORD desired_access, BOOL inherit, LPCSTR name);

// The object behind a handle of that kind, when the handle carries the
// right; null with the last error set.
std::shared_ptr<SharedObject> lookup_shared(HANDLE handle, ObjectKind kind, DWORD required_access);

// Whether a security descriptor given to a create call lets every user in
// (a present, null DACL). 0 or the Win32 error of an unusable descriptor.
DWORD descriptor_opens_to_all(const void* descriptor, bool* open_to_all);

}  // namespace w32rt::sync
