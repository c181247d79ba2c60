// Helpers shared by the registry tests.
#pragma once

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <utility>
#include <vector>

#include <windows.h>

#include "test_support.h"

namespace registry_test {

using Names = std::vector<std::string>;

// An open key that closes itself.
class Key {
public:
    Key() = default;
    Key(Key&& other) noexcept : key_(other.release()) {}
    Key& operator=(Key&& other) noexcept {
        reset();
        key_ = other.release();
        return *this;
    }
    ~Key() { reset(); }

    HKEY get() const { return key_; }
    HKEY* out() {
        reset();
        return &key_;
    }
    HKEY release() { return std::exchange(key_, nullptr); }
    void reset() {
        if (key_) RegCloseKey(release());
    }

private:
    HKEY key_ = nullptr;
};

inline LSTATUS create_key(HKEY base, const char* path, Key* out, REGSAM sam = KEY_ALL_ACCESS, DWORD options = 0) {
    return RegCreateKeyExA(base, path, 0, nullptr, options, sam, nullptr, out->out(), nullptr);
}

inline LSTATUS open_key(HKEY base, const char* path, Key* out, REGSAM sam = KEY_READ) {
    return RegOpenKeyExA(base, path, 0, sam, out->out());
}

// base\path made (or opened) with every right; a null key when that fails.
inline Key make_key(HKEY base, const std::string& path) {
    Key key;
    EXPECT_EQ(create_key(base, path.c_str(), &key), ERROR_SUCCESS) << path;
    return key;
}

inline LSTATUS set_bytes(HKEY key, const char* name, DWORD type, const std::string& bytes) {
    return RegSetValueExA(key, name, 0, type, reinterpret_cast<const BYTE*>(bytes.data()), DWORD(bytes.size()));
}

inline LSTATUS set_dword(HKEY key, const char* name, DWORD value) {
    return set_bytes(key, name, REG_DWORD, std::string(reinterpret_cast<const char*>(&value), sizeof value));
}

inline LSTATUS set_string(HKEY key, const char* name, const std::string& value) {
    return set_bytes(key, name, REG_SZ, std::string(value.c_str(), value.size() + 1));
}

// Reads a DWORD; the status of RegQueryValueExA.
inline LSTATUS get_dword(HKEY key, const char* name, DWORD* value) {
    DWORD size = sizeof *value, type = 0;
    LSTATUS status = RegQueryValueExA(key, name, nullptr, &type, reinterpret_cast<BYTE*>(value), &size);
    return status == ERROR_SUCCESS && (type != REG_DWORD || size != 4) ? LSTATUS(ERROR_INVALID_DATA) : status;
}

// A REG_DWORD value, or nothing when there is none to read.
inline std::optional<DWORD> dword_of(HKEY key, const char* name) {
    DWORD value = 0;
    return get_dword(key, name, &value) == ERROR_SUCCESS ? std::optional<DWORD>(value) : std::nullopt;
}

// A value's bytes (read into 512), or its status when it cannot be read.
inline std::string raw_of(HKEY key, const char* name) {
    char data[512];
    DWORD size = sizeof data;
    LSTATUS status = RegQueryValueExA(key, name, nullptr, nullptr, reinterpret_cast<BYTE*>(data), &size);
    return status == ERROR_SUCCESS ? std::string(data, size) : "status " + std::to_string(status);
}

// The names RegEnumKeyExA (sub_keys) or RegEnumValueA gives, in order.
inline Names enum_names(HKEY key, bool sub_keys) {
    Names names;
    for (DWORD i = 0;; ++i) {
        char name[256];
        DWORD chars = sizeof name;
        LSTATUS status = sub_keys ? RegEnumKeyExA(key, i, name, &chars, nullptr, nullptr, nullptr, nullptr)
                                  : RegEnumValueA(key, i, name, &chars, nullptr, nullptr, nullptr, nullptr);
        if (status != ERROR_SUCCESS) {
            EXPECT_EQ(status, ERROR_NO_MORE_ITEMS);
            return names;
        }
        names.emplace_back(name, chars);
    }
}
inline Names subkey_names(HKEY key) { return enum_names(key, true); }
inline Names value_names(HKEY key) { return enum_names(key, false); }

}  // namespace registry_test
