// The registry functions of advapi32 over Registry (registry.h).
//
// Every function returns its status and leaves the thread's last error as it
// found it, as on Windows.
//
// Choices where Windows is loose:
//  - String data (REG_SZ, REG_EXPAND_SZ, REG_MULTI_SZ) stored without its
//    terminator is returned with it when the buffer has room, and the size
//    asked for (null lpData) counts it. Windows returns such data
//    unterminated; callers that trust the terminator are then safe here.
//  - REG_DWORD and REG_DWORD_BIG_ENDIAN need exactly 4 bytes, REG_QWORD
//    exactly 8, else ERROR_INVALID_PARAMETER (Windows stores any size).
//  - HKEY_CLASSES_ROOT is refused with ERROR_NOT_SUPPORTED (its merged view
//    of machine and user classes is not kept); HKEY_USERS lists the user
//    hives by uid, HKEY_CURRENT_USER is HKEY_USERS\<effective uid>.
//  - A registry that belongs to another user can be opened for reading
//    only: asking for a right that writes (KEY_SET_VALUE, KEY_CREATE_SUB_KEY,
//    DELETE, ...) gives ERROR_ACCESS_DENIED, as a key's security does on
//    Windows. MAXIMUM_ALLOWED grants KEY_READ there and KEY_ALL_ACCESS
//    where the caller may write.
//  - There are no security descriptors: RegQueryInfoKey reports their size
//    as 0.
//  - REG_OPTION_VOLATILE keys are kept like any other (a machine root never
//    restarts); what Windows enforces about them holds: their sub-keys must
//    be volatile too (ERROR_CHILD_MUST_BE_VOLATILE).
//  - A name buffer too small for RegEnumKeyEx or RegEnumValue gives
//    ERROR_MORE_DATA and leaves the character count as it was;
//    RegQueryInfoKey tells the longest names.
//  - RegFlushKey copies the write-ahead log into the database file and
//    syncs both; it never waits for readers.
#include <string.h>

#include <algorithm>
#include <memory>

#include <windows.h>

#include "core/handle_table.h"
#include "registry/notifier.h"
#include "registry/registry.h"

namespace w32rt::registry {
namespace {

constexpr REGSAM kWriteRights = KEY_SET_VALUE | KEY_CREATE_SUB_KEY | KEY_CREATE_LINK | DELETE | WRITE_DAC | WRITE_OWNER;
constexpr DWORD kNotifyFilters =
    REG_NOTIFY_CHANGE_NAME | REG_NOTIFY_CHANGE_ATTRIBUTES | REG_NOTIFY_CHANGE_LAST_SET | REG_NOTIFY_CHANGE_SECURITY;

// Restores the caller's last error on the way out: lookups in the handle
// table and event calls set it, registry functions must not.
class KeepLastError {
public:
    KeepLastError() : saved_(GetLastError()) {}
    ~KeepLastError() { SetLastError(saved_); }

private:
    DWORD saved_;
};

struct OpenKey {
    std::shared_ptr<KeyObject> object;
    REGSAM access = 0;
    bool predefined = false;

    Registry& registry() const { return object->registry(); }
    const NodeRef& node() const { return object->node(); }
    bool allows(REGSAM rights) const { return (access & rights) == rights; }
};

bool is_predefined(HKEY key) {
    auto value = reinterpret_cast<uintptr_t>(key);
    return value >= uintptr_t(HKEY_CLASSES_ROOT) && value <= uintptr_t(HKEY_CLASSES_ROOT) + 6;
}

// for_write: the caller means to change the key. A current user's hive that
// is not there (only a registry this process may not write lacks it) is
// then a refusal rather than an absence.
LSTATUS resolve(HKEY key, OpenKey* out, bool for_write = false) {
    if (is_predefined(key)) {
        Registry& registry = Registry::current();
        out->access = KEY_ALL_ACCESS;
        out->predefined = true;
        if (key == HKEY_LOCAL_MACHINE) {
            out->object = registry.machine_root();
        } else if (key == HKEY_USERS) {
            out->object = registry.users_root();
        } else if (key == HKEY_CURRENT_USER) {
            LSTATUS status = registry.current_user_root(&out->object);
            return (status == ERROR_FILE_NOT_FOUND && for_write) ? LSTATUS(ERROR_ACCESS_DENIED) : status;
        } else if (key == HKEY_CLASSES_ROOT) {
            return ERROR_NOT_SUPPORTED;
        } else {
            return ERROR_INVALID_HANDLE;
        }
        return ERROR_SUCCESS;
    }
    DWORD access = 0;
    out->object = HandleTable::instance().lookup_as<KeyObject>(key, ObjectKind::RegistryKey, &access);
    if (!out->object) return ERROR_INVALID_HANDLE;
    out->access = access;
    return ERROR_SUCCESS;
}

// resolve() for a caller that needs `rights` on the handle.
LSTATUS resolve_with(HKEY key, REGSAM rights, OpenKey* out, bool for_write = false) {
    LSTATUS status = resolve(key, out, for_write);
    if (status != ERROR_SUCCESS) return status;
    return out->allows(rights) ? ERROR_SUCCESS : ERROR_ACCESS_DENIED;
}

// The key's sub-keys and values as one consistent view, for a handle that
// needs `rights`.
LSTATUS snapshot_with(HKEY hKey, REGSAM rights, SnapshotRef* snapshot) {
    OpenKey key;
    LSTATUS status = resolve_with(hKey, rights, &key);
    if (status != ERROR_SUCCESS) return status;
    return key.registry().snapshot(key.node(), snapshot);
}

// Generic rights become key rights; the WOW64 view flags mean nothing here.
REGSAM normalize_access(REGSAM sam, Registry& registry) {
    REGSAM access = sam & ~(KEY_WOW64_64KEY | KEY_WOW64_32KEY | GENERIC_READ | GENERIC_WRITE | GENERIC_EXECUTE |
                            GENERIC_ALL | MAXIMUM_ALLOWED);
    if (sam & GENERIC_READ) access |= KEY_READ;
    if (sam & GENERIC_WRITE) access |= KEY_WRITE;
    if (sam & GENERIC_EXECUTE) access |= KEY_EXECUTE;
    if (sam & GENERIC_ALL) access |= KEY_ALL_ACCESS;
    if (sam & MAXIMUM_ALLOWED) access |= registry.writable() ? KEY_ALL_ACCESS : KEY_READ;
    return access;
}

LSTATUS insert_handle(Registry& registry, NodeRef node, REGSAM access, PHKEY result) {
    auto object = std::make_shared<KeyObject>(registry, std::move(node));
    HANDLE handle = HandleTable::instance().insert(std::move(object), access, false);
    if (!handle) return ERROR_NO_SYSTEM_RESOURCES;
    *result = static_cast<HKEY>(handle);
    return ERROR_SUCCESS;
}

// The hive roots and the users' hives cannot be deleted.
bool is_hive(const NodeRef& node) {
    return node->chain.size() == 1 || (node->chain.size() == 2 && node->chain[0] == kUsersHiveId);
}

// A named sub-key about to be deleted; a hive is refused.
LSTATUS open_deletable(const OpenKey& base, LPCSTR sub_key, NodeRef* node) {
    LSTATUS status = base.registry().open(base.node(), sub_key, node);
    if (status != ERROR_SUCCESS) return status;
    return is_hive(*node) ? LSTATUS(ERROR_ACCESS_DENIED) : LSTATUS(ERROR_SUCCESS);
}

std::string_view name_of(LPCSTR name) { return name ? std::string_view(name) : std::string_view(); }

// Copies a value's data by the rules of RegQueryValueEx (see the top).
LSTATUS copy_data(const ValueRecord& value, LPBYTE data, LPDWORD size) {
    if (!size) return ERROR_SUCCESS;
    size_t stored = value.data.size();
    size_t padding = terminator_padding(value.type, value.data);
    size_t needed = stored + padding;
    if (needed > 0xFFFFFFFFu) return ERROR_NOT_ENOUGH_MEMORY;
    if (!data) {
        *size = DWORD(needed);
        return ERROR_SUCCESS;
    }
    if (*size < stored) {
        *size = DWORD(needed);
        return ERROR_MORE_DATA;
    }
    memcpy(data, value.data.data(), stored);
    size_t zeros = std::min<size_t>(padding, *size - stored);
    memset(data + stored, 0, zeros);
    *size = DWORD(stored + zeros);
    return ERROR_SUCCESS;
}

// Copies a name into a buffer of *chars characters (terminator included).
// ERROR_MORE_DATA leaves *chars as it was.
LSTATUS copy_name(std::string_view name, LPSTR buffer, LPDWORD chars) {
    if (name.size() + 1 > *chars) return ERROR_MORE_DATA;
    memcpy(buffer, name.data(), name.size());
    buffer[name.size()] = '\0';
    *chars = DWORD(name.size());
    return ERROR_SUCCESS;
}

void to_filetime(int64_t value, PFILETIME out) {
    if (!out) return;
    out->dwLowDateTime = DWORD(uint64_t(value) & 0xFFFFFFFFu);
    out->dwHighDateTime = DWORD(uint64_t(value) >> 32);
}

LSTATUS open_key(HKEY hKey, LPCSTR lpSubKey, REGSAM samDesired, PHKEY phkResult) {
    if (!phkResult) return ERROR_INVALID_PARAMETER;
    *phkResult = nullptr;
    OpenKey base;
    LSTATUS status = resolve(hKey, &base);
    if (status != ERROR_SUCCESS) return status;
    Registry& registry = base.registry();
    NodeRef node;
    status = registry.open(base.node(), name_of(lpSubKey), &node);
    if (status != ERROR_SUCCESS) return status;
    REGSAM access = normalize_access(samDesired, registry);
    if ((access & kWriteRights) && !registry.writable()) return ERROR_ACCESS_DENIED;
    return insert_handle(registry, std::move(node), access, phkResult);
}

LSTATUS enum_key(HKEY hKey, DWORD dwIndex, LPSTR lpName, LPDWORD lpcchName, LPDWORD lpReserved, LPSTR lpClass,
                 LPDWORD lpcchClass, PFILETIME lpftLastWriteTime) {
    if (!lpName || !lpcchName || lpReserved || (lpClass && !lpcchClass)) return ERROR_INVALID_PARAMETER;
    SnapshotRef snapshot;
    LSTATUS status = snapshot_with(hKey, KEY_ENUMERATE_SUB_KEYS, &snapshot);
    if (status != ERROR_SUCCESS) return status;
    if (dwIndex >= snapshot->subkeys.size()) return ERROR_NO_MORE_ITEMS;
    const SubKeyRecord& sub = snapshot->subkeys[dwIndex];
    if (sub.name.size() + 1 > *lpcchName) return ERROR_MORE_DATA;
    if (lpClass && sub.key_class.size() + 1 > *lpcchClass) return ERROR_MORE_DATA;
    copy_name(sub.name, lpName, lpcchName);
    if (lpClass)
        copy_name(sub.key_class, lpClass, lpcchClass);
    else if (lpcchClass)
        *lpcchClass = DWORD(sub.key_class.size());
    to_filetime(sub.last_write, lpftLastWriteTime);
    return ERROR_SUCCESS;
}

}  // namespace
}  // namespace w32rt::registry

using namespace w32rt::registry;

extern "C" {

W32RT_API LSTATUS WINAPI RegOpenKeyExA(HKEY hKey, LPCSTR lpSubKey, DWORD ulOptions, REGSAM samDesired,
                                       PHKEY phkResult) {
    KeepLastError keep;
    return open_key(hKey, lpSubKey, samDesired, phkResult);
}

W32RT_API LSTATUS WINAPI RegOpenKeyA(HKEY hKey, LPCSTR lpSubKey, PHKEY phkResult) {
    KeepLastError keep;
    if (!phkResult) return ERROR_INVALID_PARAMETER;
    if (!lpSubKey || !*lpSubKey) {
        // The documented quirk: the key given comes back, no new handle.
        OpenKey key;
        LSTATUS status = resolve(hKey, &key);
        if (status != ERROR_SUCCESS) return status;
        *phkResult = hKey;
        return ERROR_SUCCESS;
    }
    return open_key(hKey, lpSubKey, MAXIMUM_ALLOWED, phkResult);
}

W32RT_API LSTATUS WINAPI RegCreateKeyExA(HKEY hKey, LPCSTR lpSubKey, DWORD Reserved, LPSTR lpClass, DWORD dwOptions,
                                         REGSAM samDesired, const LPSECURITY_ATTRIBUTES lpSecurityAttributes,
                                         PHKEY phkResult, LPDWORD lpdwDisposition) {
    KeepLastError keep;
    if (!phkResult || !lpSubKey) return ERROR_INVALID_PARAMETER;
    *phkResult = nullptr;
    if (dwOptions & ~DWORD(REG_OPTION_VOLATILE)) return ERROR_INVALID_PARAMETER;
    OpenKey base;
    LSTATUS status = resolve(hKey, &base, true);
    if (status != ERROR_SUCCESS) return status;
    Registry& registry = base.registry();
    NodeRef node;
    bool created = false;
    status = registry.create(base.node(), lpSubKey, (dwOptions & REG_OPTION_VOLATILE) != 0, name_of(lpClass),
                             base.allows(KEY_CREATE_SUB_KEY), &node, &created);
    if (status != ERROR_SUCCESS) return status;
    REGSAM access = normalize_access(samDesired, registry);
    if (!created && (access & kWriteRights) && !registry.writable()) return ERROR_ACCESS_DENIED;
    status = insert_handle(registry, std::move(node), access, phkResult);
    if (status == ERROR_SUCCESS && lpdwDisposition)
        *lpdwDisposition = created ? REG_CREATED_NEW_KEY : REG_OPENED_EXISTING_KEY;
    return status;
}

W32RT_API LSTATUS WINAPI RegCreateKeyA(HKEY hKey, LPCSTR lpSubKey, PHKEY phkResult) {
    if (!phkResult) return ERROR_INVALID_PARAMETER;
    if (!lpSubKey || !*lpSubKey) return RegOpenKeyA(hKey, lpSubKey, phkResult);
    return RegCreateKeyExA(hKey, lpSubKey, 0, nullptr, 0, MAXIMUM_ALLOWED, nullptr, phkResult, nullptr);
}

W32RT_API LSTATUS WINAPI RegCloseKey(HKEY hKey) {
    KeepLastError keep;
    if (is_predefined(hKey)) return ERROR_SUCCESS;
    w32rt::HandleTable& table = w32rt::HandleTable::instance();
    if (!table.lookup_as<KeyObject>(hKey, w32rt::ObjectKind::RegistryKey)) return ERROR_INVALID_HANDLE;
    return table.close(hKey) ? ERROR_SUCCESS : ERROR_INVALID_HANDLE;
}

W32RT_API LSTATUS WINAPI RegQueryValueExA(HKEY hKey, LPCSTR lpValueName, LPDWORD lpReserved, LPDWORD lpType,
                                          LPBYTE lpData, LPDWORD lpcbData) {
    KeepLastError keep;
    if (lpReserved || (lpData && !lpcbData)) return ERROR_INVALID_PARAMETER;
    OpenKey key;
    LSTATUS status = resolve_with(hKey, KEY_QUERY_VALUE, &key);
    if (status != ERROR_SUCCESS) return status;
    ValueRef value;
    status = key.registry().query_value(key.node(), name_of(lpValueName), &value);
    if (status != ERROR_SUCCESS) return status;
    if (lpType) *lpType = value->type;
    return copy_data(*value, lpData, lpcbData);
}

W32RT_API LSTATUS WINAPI RegSetValueExA(HKEY hKey, LPCSTR lpValueName, DWORD Reserved, DWORD dwType,
                                        const BYTE* lpData, DWORD cbData) {
    KeepLastError keep;
    OpenKey key;
    LSTATUS status = resolve_with(hKey, KEY_SET_VALUE, &key, true);
    if (status != ERROR_SUCCESS) return status;
    if (!lpData && cbData) return ERROR_NOACCESS;
    std::string_view name = name_of(lpValueName);
    if (name.size() > kMaxValueNameLength) return ERROR_INVALID_PARAMETER;
    if ((dwType == REG_DWORD || dwType == REG_DWORD_BIG_ENDIAN) && cbData != 4) return ERROR_INVALID_PARAMETER;
    if (dwType == REG_QWORD && cbData != 8) return ERROR_INVALID_PARAMETER;
    return key.registry().set_value(key.node(), name, dwType, lpData, cbData);
}

W32RT_API LSTATUS WINAPI RegDeleteValueA(HKEY hKey, LPCSTR lpValueName) {
    KeepLastError keep;
    OpenKey key;
    LSTATUS status = resolve_with(hKey, KEY_SET_VALUE, &key);
    if (status != ERROR_SUCCESS) return status;
    return key.registry().delete_value(key.node(), name_of(lpValueName));
}

W32RT_API LSTATUS WINAPI RegDeleteKeyA(HKEY hKey, LPCSTR lpSubKey) {
    KeepLastError keep;
    if (!lpSubKey) return ERROR_INVALID_PARAMETER;
    OpenKey base;
    LSTATUS status = resolve(hKey, &base);
    if (status != ERROR_SUCCESS) return status;
    NodeRef node;
    status = open_deletable(base, lpSubKey, &node);
    if (status != ERROR_SUCCESS) return status;
    return base.registry().delete_key(node);
}

W32RT_API LSTATUS WINAPI RegDeleteTreeA(HKEY hKey, LPCSTR lpSubKey) {
    KeepLastError keep;
    OpenKey base;
    LSTATUS status = resolve(hKey, &base);
    if (status != ERROR_SUCCESS) return status;
    Registry& registry = base.registry();
    if (lpSubKey) {
        NodeRef node;
        status = open_deletable(base, lpSubKey, &node);
        if (status != ERROR_SUCCESS) return status;
        return registry.delete_tree(node, false, true);
    }
    if (!base.allows(DELETE | KEY_ENUMERATE_SUB_KEYS | KEY_QUERY_VALUE)) return ERROR_ACCESS_DENIED;
    return registry.delete_tree(base.node(), true, base.allows(KEY_SET_VALUE));
}

W32RT_API LSTATUS WINAPI RegEnumKeyExA(HKEY hKey, DWORD dwIndex, LPSTR lpName, LPDWORD lpcchName, LPDWORD lpReserved,
                                       LPSTR lpClass, LPDWORD lpcchClass, PFILETIME lpftLastWriteTime) {
    KeepLastError keep;
    return enum_key(hKey, dwIndex, lpName, lpcchName, lpReserved, lpClass, lpcchClass, lpftLastWriteTime);
}

W32RT_API LSTATUS WINAPI RegEnumKeyA(HKEY hKey, DWORD dwIndex, LPSTR lpName, DWORD cchName) {
    KeepLastError keep;
    DWORD chars = cchName;
    return enum_key(hKey, dwIndex, lpName, &chars, nullptr, nullptr, nullptr, nullptr);
}

W32RT_API LSTATUS WINAPI RegEnumValueA(HKEY hKey, DWORD dwIndex, LPSTR lpValueName, LPDWORD lpcchValueName,
                                       LPDWORD lpReserved, LPDWORD lpType, LPBYTE lpData, LPDWORD lpcbData) {
    KeepLastError keep;
    if (!lpValueName || !lpcchValueName || lpReserved || (lpData && !lpcbData)) return ERROR_INVALID_PARAMETER;
    SnapshotRef snapshot;
    LSTATUS status = snapshot_with(hKey, KEY_QUERY_VALUE, &snapshot);
    if (status != ERROR_SUCCESS) return status;
    if (dwIndex >= snapshot->values.size()) return ERROR_NO_MORE_ITEMS;
    const ValueRecord& value = *snapshot->values[dwIndex];
    status = copy_name(value.name, lpValueName, lpcchValueName);
    if (status != ERROR_SUCCESS) return status;
    if (lpType) *lpType = value.type;
    return copy_data(value, lpData, lpcbData);
}

W32RT_API LSTATUS WINAPI RegQueryInfoKeyA(HKEY hKey, LPSTR lpClass, LPDWORD lpcchClass, LPDWORD lpReserved,
                                          LPDWORD lpcSubKeys, LPDWORD lpcbMaxSubKeyLen, LPDWORD lpcbMaxClassLen,
                                          LPDWORD lpcValues, LPDWORD lpcbMaxValueNameLen, LPDWORD lpcbMaxValueLen,
                                          LPDWORD lpcbSecurityDescriptor, PFILETIME lpftLastWriteTime) {
    KeepLastError keep;
    if (lpReserved || (lpClass && !lpcchClass)) return ERROR_INVALID_PARAMETER;
    SnapshotRef snapshot;
    LSTATUS status = snapshot_with(hKey, KEY_QUERY_VALUE, &snapshot);
    if (status != ERROR_SUCCESS) return status;

    size_t max_subkey = 0, max_class = 0, max_value_name = 0, max_value = 0;
    for (const SubKeyRecord& sub : snapshot->subkeys) {
        max_subkey = std::max(max_subkey, sub.name.size());
        max_class = std::max(max_class, sub.key_class.size());
    }
    for (const ValueRef& value : snapshot->values) {
        max_value_name = std::max(max_value_name, value->name.size());
        max_value = std::max(max_value, value->data.size() + terminator_padding(value->type, value->data));
    }
    if (lpcSubKeys) *lpcSubKeys = DWORD(snapshot->subkeys.size());
    if (lpcbMaxSubKeyLen) *lpcbMaxSubKeyLen = DWORD(max_subkey);
    if (lpcbMaxClassLen) *lpcbMaxClassLen = DWORD(max_class);
    if (lpcValues) *lpcValues = DWORD(snapshot->values.size());
    if (lpcbMaxValueNameLen) *lpcbMaxValueNameLen = DWORD(max_value_name);
    if (lpcbMaxValueLen) *lpcbMaxValueLen = DWORD(std::min<size_t>(max_value, 0xFFFFFFFFu));
    if (lpcbSecurityDescriptor) *lpcbSecurityDescriptor = 0;
    to_filetime(snapshot->last_write, lpftLastWriteTime);
    if (lpcchClass) {
        if (lpClass) return copy_name(snapshot->key_class, lpClass, lpcchClass);
        *lpcchClass = DWORD(snapshot->key_class.size());
    }
    return ERROR_SUCCESS;
}

W32RT_API LSTATUS WINAPI RegFlushKey(HKEY hKey) {
    KeepLastError keep;
    OpenKey key;
    LSTATUS status = resolve(hKey, &key);
    if (status != ERROR_SUCCESS) return status;
    return key.registry().flush();
}

W32RT_API LSTATUS WINAPI RegNotifyChangeKeyValue(HKEY hKey, BOOL bWatchSubtree, DWORD dwNotifyFilter, HANDLE hEvent,
                                                 BOOL fAsynchronous) {
    KeepLastError keep;
    DWORD filter = dwNotifyFilter & ~DWORD(REG_NOTIFY_THREAD_AGNOSTIC);
    if (!(filter & kNotifyFilters) || (filter & ~kNotifyFilters)) return ERROR_INVALID_PARAMETER;
    if (fAsynchronous && !hEvent) return ERROR_INVALID_PARAMETER;
    OpenKey key;
    LSTATUS status = resolve_with(hKey, KEY_NOTIFY, &key);
    if (status != ERROR_SUCCESS) return status;
    Registry& registry = key.registry();
    NodeRef node;
    status = registry.open(key.node(), {}, &node);
    if (status != ERROR_SUCCESS) return status;
    if (fAsynchronous)
        return registry.notifier().arm(key.object.get(), key.node(), bWatchSubtree != FALSE, filter, hEvent);
    return registry.notifier().wait(key.object.get(), key.node(), bWatchSubtree != FALSE, filter);
}

}  // extern "C"
