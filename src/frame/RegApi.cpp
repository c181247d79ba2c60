#include "frame/RegApi.h"

#include <cstring>

namespace {

bool IsStringType(DWORD type) { return type == REG_SZ || type == REG_EXPAND_SZ || type == REG_MULTI_SZ; }

// A 32-bit number: REG_DWORD or 4 raw bytes. A value of another shape is
// ERROR_INVALID_DATA and leaves value as it was.
LONG ReadDword(HKEY key, LPCSTR name, DWORD& value) {
    DWORD type = REG_NONE;
    DWORD read = 0;
    DWORD size = sizeof read;
    LONG status = RegQueryValueExA(key, name, nullptr, &type, reinterpret_cast<LPBYTE>(&read), &size);
    if (status != ERROR_SUCCESS) return status;
    if (size != sizeof read || !(type == REG_DWORD || type == REG_BINARY)) return ERROR_INVALID_DATA;
    value = read;
    return ERROR_SUCCESS;
}

}  // namespace

CRegApi::CRegApi() : m_hKey(nullptr) {}

CRegApi::~CRegApi() { CloseKey(); }

LONG CRegApi::CreateKey(HKEY root, LPCSTR subKey, DWORD options, REGSAM access, LPDWORD disposition) {
    CloseKey();
    HKEY key = nullptr;
    LONG status = RegCreateKeyExA(root, subKey, 0, nullptr, options, access, nullptr, &key, disposition);
    if (status == ERROR_SUCCESS) m_hKey = key;
    return status;
}

LONG CRegApi::OpenKey(HKEY root, LPCSTR subKey, REGSAM access) {
    CloseKey();
    HKEY key = nullptr;
    LONG status = RegOpenKeyExA(root, subKey, 0, access, &key);
    if (status == ERROR_SUCCESS) m_hKey = key;
    return status;
}

LONG CRegApi::CloseKey() {
    if (m_hKey == nullptr) return ERROR_SUCCESS;
    LONG status = RegCloseKey(m_hKey);
    m_hKey = nullptr;
    return status;
}

LONG CRegApi::QueryValue(LPCSTR name, DWORD& value) {
    if (m_hKey == nullptr) return ERROR_INVALID_HANDLE;
    return ReadDword(m_hKey, name, value);
}

LONG CRegApi::QueryValue(LPCSTR name, LPSTR buffer, DWORD& size) {
    if (m_hKey == nullptr) return ERROR_INVALID_HANDLE;
    if (buffer == nullptr || size == 0) return ERROR_INVALID_PARAMETER;
    DWORD type = REG_NONE;
    DWORD bytes = size;
    LONG status = RegQueryValueExA(m_hKey, name, nullptr, &type, reinterpret_cast<LPBYTE>(buffer), &bytes);
    if (status != ERROR_SUCCESS) return status;
    if (!IsStringType(type)) {
        buffer[0] = '\0';
        return ERROR_INVALID_DATA;
    }
    // A value stored without its zero gets one when there is room.
    if (bytes == 0 || buffer[bytes - 1] != '\0') {
        if (bytes >= size) {
            buffer[size - 1] = '\0';
            return ERROR_MORE_DATA;
        }
        buffer[bytes++] = '\0';
    }
    size = bytes;
    return ERROR_SUCCESS;
}

LONG CRegApi::QueryValue(LPCSTR name, LPBYTE buffer, DWORD& size) {
    DWORD type = REG_NONE;
    return QueryValue(name, type, buffer, size);
}

LONG CRegApi::QueryValue(LPCSTR name, DWORD& type, LPBYTE buffer, DWORD& size) {
    if (m_hKey == nullptr) return ERROR_INVALID_HANDLE;
    return RegQueryValueExA(m_hKey, name, nullptr, &type, buffer, &size);
}

LONG CRegApi::SetValue(LPCSTR name, DWORD value) {
    if (m_hKey == nullptr) return ERROR_INVALID_HANDLE;
    return RegSetValueExA(m_hKey, name, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&value), sizeof value);
}

LONG CRegApi::SetValue(LPCSTR name, DWORD type, LPCSTR text) {
    if (m_hKey == nullptr) return ERROR_INVALID_HANDLE;
    if (!IsStringType(type) || text == nullptr) return ERROR_INVALID_PARAMETER;
    size_t bytes = strlen(text) + 1;
    if (type == REG_MULTI_SZ) {
        // The strings end at the first empty one.
        while (text[bytes] != '\0') bytes += strlen(text + bytes) + 1;
        ++bytes;
    }
    if (bytes > 0xFFFFFFFFu) return ERROR_INVALID_PARAMETER;
    return RegSetValueExA(m_hKey, name, 0, type, reinterpret_cast<const BYTE*>(text), static_cast<DWORD>(bytes));
}

LONG CRegApi::SetValue(LPCSTR name, const BYTE* data, DWORD size) {
    if (m_hKey == nullptr) return ERROR_INVALID_HANDLE;
    return RegSetValueExA(m_hKey, name, 0, REG_BINARY, data, size);
}

LONG CRegApi::EnumKey(DWORD index, LPSTR name, DWORD& size) {
    if (m_hKey == nullptr) return ERROR_INVALID_HANDLE;
    return RegEnumKeyExA(m_hKey, index, name, &size, nullptr, nullptr, nullptr, nullptr);
}

CRegistryEx::CRegistryEx() : m_hKey(nullptr) {}

CRegistryEx::~CRegistryEx() { Close(); }

BOOL CRegistryEx::OpenOnly(HKEY root, LPCSTR path, REGSAM access) {
    Close();
    HKEY key = nullptr;
    if (RegOpenKeyExA(root, path, 0, access, &key) != ERROR_SUCCESS) return FALSE;
    m_hKey = key;
    return TRUE;
}

DWORD CRegistryEx::GetDWord(LPCSTR name, DWORD defaultValue) {
    DWORD value = defaultValue;
    if (m_hKey != nullptr) ReadDword(m_hKey, name, value);
    return value;
}

void CRegistryEx::Close() {
    if (m_hKey != nullptr) RegCloseKey(m_hKey);
    m_hKey = nullptr;
}
