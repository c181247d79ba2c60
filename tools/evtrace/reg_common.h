// What evtrace reg's commands (cmd_reg.cpp) and its file format
// (reg_file.cpp) share: key paths, open keys, reading a key, value types.
#pragma once

#include <stdint.h>

#include <optional>
#include <string>
#include <vector>

#include <windows.h>

namespace evtrace::reg {

extern const char kKeyHelp[];
extern const char kFileFormatHelp[];

struct KeyPath {
    HKEY root = nullptr;
    std::string root_name;  // spelled out
    std::string sub;        // without leading or trailing backslashes

    std::string display() const { return sub.empty() ? root_name : root_name + "\\" + sub; }
    KeyPath child(const std::string& name) const {
        return KeyPath{root, root_name, sub.empty() ? name : sub + "\\" + name};
    }
};

// ROOT\Path with ROOT spelled short (HKLM) or long; none for other text.
std::optional<KeyPath> parse_key_path(std::string text);
// The same for a command-line argument: ends the command when it is none.
KeyPath key_argument(const std::string& text);

// Ends the command for a failed registry call on what.
[[noreturn]] void fail(const std::string& what, LSTATUS status);

class OpenKey {
public:
    OpenKey() = default;
    OpenKey(const OpenKey&) = delete;
    OpenKey& operator=(const OpenKey&) = delete;
    ~OpenKey() {
        if (key_) RegCloseKey(key_);
    }
    HKEY get() const { return key_; }
    HKEY* out() { return &key_; }

private:
    HKEY key_ = nullptr;
};

LSTATUS open_path(const KeyPath& path, REGSAM access, OpenKey* out);
// Created with every missing parent, open for reading and writing.
void create_path(const KeyPath& path, OpenKey* out);

struct ValueItem {
    std::string name;
    DWORD type = REG_NONE;
    std::string data;
};

// All values of a key, in their order; string data as stored.
std::vector<ValueItem> read_values(HKEY key, const KeyPath& path);
std::vector<std::string> read_subkeys(HKEY key, const KeyPath& path);

std::string type_name(DWORD type);
uint64_t little_endian(const std::string& data, size_t bytes);
std::string little_endian_bytes(uint64_t value, size_t bytes);

// reg export and reg import (reg_file.cpp).
void run_export(const std::string& key_text, const std::string& file);
void run_import(const std::string& file);

}  // namespace evtrace::reg
