// Registry access of the library: CRegApi (one open key with typed values)
// and CRegistryEx (read-only feature flags). Operations return the Windows
// registry status (ERROR_SUCCESS on success) and never throw; callers take a
// non-zero status as "key or value absent" and keep their defaults.
#pragma once

#include <windows.h>

class CRegApi {
public:
    CRegApi();
    ~CRegApi();
    CRegApi(const CRegApi&) = delete;
    CRegApi& operator=(const CRegApi&) = delete;

    // Opens the key, creating it when missing; a key already open is closed
    // first. disposition (may be null) receives REG_CREATED_NEW_KEY or
    // REG_OPENED_EXISTING_KEY.
    LONG CreateKey(HKEY root, LPCSTR subKey, DWORD options, REGSAM access, LPDWORD disposition);
    LONG OpenKey(HKEY root, LPCSTR subKey, REGSAM access);
    // Harmless when no key is open.
    LONG CloseKey();
    bool IsOpen() const { return m_hKey != nullptr; }

    // A 32-bit number: the value must be REG_DWORD (or 4 raw bytes).
    LONG QueryValue(LPCSTR name, DWORD& value);
    // A string (REG_SZ, REG_EXPAND_SZ, REG_MULTI_SZ), always terminated
    // within the buffer: ERROR_MORE_DATA when it and its zero do not fit.
    // size: the buffer's size in, the bytes stored with the zero out.
    LONG QueryValue(LPCSTR name, LPSTR buffer, DWORD& size);
    // Raw bytes of any type.
    LONG QueryValue(LPCSTR name, LPBYTE buffer, DWORD& size);
    LONG QueryValue(LPCSTR name, DWORD& type, LPBYTE buffer, DWORD& size);

    LONG SetValue(LPCSTR name, DWORD value);
    // type: REG_SZ, REG_EXPAND_SZ or REG_MULTI_SZ (text then ends with two
    // zeros); the terminating zero is stored.
    LONG SetValue(LPCSTR name, DWORD type, LPCSTR text);
    LONG SetValue(LPCSTR name, const BYTE* data, DWORD size);

    // The index-th sub-key name; ERROR_NO_MORE_ITEMS past the last. size:
    // the buffer's size in characters in, the name's length out.
    LONG EnumKey(DWORD index, LPSTR name, DWORD& size);

    HKEY m_hKey;
};

class CRegistryEx {
public:
    CRegistryEx();
    ~CRegistryEx();
    CRegistryEx(const CRegistryEx&) = delete;
    CRegistryEx& operator=(const CRegistryEx&) = delete;

    // Non-zero when the key was opened.
    BOOL OpenOnly(HKEY root, LPCSTR path, REGSAM access);
    // The stored 32-bit value, or defaultValue when the key is not open or
    // the value is missing or not a 32-bit number.
    DWORD GetDWord(LPCSTR name, DWORD defaultValue);
    void Close();

    HKEY m_hKey;
};
