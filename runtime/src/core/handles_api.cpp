// CloseHandle and DuplicateHandle over the handle table.
#include "core/error.h"
#include "core/handle_table.h"
#include "core/late_close.h"

#include <w32rt/testing.h>

namespace {
bool is_pseudo_handle(HANDLE h) {
    return h == GetCurrentProcess() || h == GetCurrentThread();
}
}  // namespace

extern "C" {

W32RT_API BOOL WINAPI CloseHandle(HANDLE hObject) {
    if (is_pseudo_handle(hObject)) return TRUE;
    w32rt::HandleTable& table = w32rt::HandleTable::instance();
    w32rt::ObjectPtr object = table.lookup(hObject);
    if (!object) return FALSE;
    // Searches are closed with FindClose only, as on Windows.
    if (object->kind() == w32rt::ObjectKind::FindSearch) return w32rt::fail(ERROR_INVALID_HANDLE, FALSE);
    object.reset();
    return table.close(hObject) ? TRUE : FALSE;
}

W32RT_API BOOL WINAPI DuplicateHandle(HANDLE hSourceProcessHandle, HANDLE hSourceHandle, HANDLE hTargetProcessHandle,
                                      LPHANDLE lpTargetHandle, DWORD dwDesiredAccess, BOOL bInheritHandle,
                                      DWORD dwOptions) {
    // Only duplication within the calling process is supported.
    if (hSourceProcessHandle != GetCurrentProcess() || hTargetProcessHandle != GetCurrentProcess())
        return w32rt::fail(ERROR_NOT_SUPPORTED, FALSE);
    if (!lpTargetHandle) return w32rt::fail(ERROR_INVALID_PARAMETER, FALSE);
    w32rt::HandleTable& table = w32rt::HandleTable::instance();
    DWORD access = 0;
    w32rt::ObjectPtr object = table.lookup(hSourceHandle, &access);
    if (!object) return FALSE;
    if (object->kind() == w32rt::ObjectKind::FindSearch) return w32rt::fail(ERROR_INVALID_HANDLE, FALSE);
    if (!(dwOptions & DUPLICATE_SAME_ACCESS)) access = dwDesiredAccess;
    HANDLE copy = table.insert(object, access, bInheritHandle != FALSE);
    if (!copy) return FALSE;
    if (dwOptions & DUPLICATE_CLOSE_SOURCE) table.close(hSourceHandle);
    *lpTargetHandle = copy;
    return TRUE;
}

W32RT_API size_t w32rt_open_handle_count(void) { return w32rt::HandleTable::instance().open_count(); }

W32RT_API void w32rt_settle_late_closes(void) { w32rt::late_close::settle(); }

}  // extern "C"
