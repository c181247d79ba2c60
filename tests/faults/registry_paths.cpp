// Registry writes under the fault matrix: a value set over an older one,
// keys made several levels at once, a flush, and the very first write of a
// machine, which makes the database.
//
// A write is one SQLite transaction: whatever was reported, the file holds
// the old state or the new one, never a part. A commit whose record reached
// the log before a later step failed is there for the next reader although
// the write reported a failure; a reported success must always be there.
// This process reads what the file holds: no cache keeps a value the file
// no longer has. After a writer was killed the file is read only by the next
// user (which recovers the log a killed writer left): the checking
// connection may only read, and reading such a file needs recovery first.
#include <stdlib.h>

#include <filesystem>
#include <string>

#include <w32rt/machine.h>
#include <windows.h>

#include "fault_matrix.h"

namespace faults {

namespace {

constexpr char kKey[] = "Software\\Vanta\\Wireless\\FaultMatrix";

// The statuses a registry write may fail with when the disk or a lock
// refuses it.
bool clear_registry_failure(LSTATUS status) {
    return status == ERROR_DISK_FULL || status == ERROR_REGISTRY_IO_FAILED || status == ERROR_ACCESS_DENIED ||
           status == ERROR_BUSY || status == ERROR_OUTOFMEMORY || status == ERROR_NOT_ENOUGH_MEMORY;
}

LSTATUS set_binary(const char* key_path, const char* name, const std::string& data) {
    HKEY key = nullptr;
    LSTATUS status = RegCreateKeyExA(HKEY_LOCAL_MACHINE, key_path, 0, nullptr, 0, KEY_SET_VALUE, nullptr, &key, nullptr);
    if (status != ERROR_SUCCESS) return status;
    status = RegSetValueExA(key, name, 0, REG_BINARY, reinterpret_cast<const BYTE*>(data.data()), DWORD(data.size()));
    RegCloseKey(key);
    return status;
}

// The value as this process reads it through the registry functions.
std::optional<std::string> read_binary(const char* key_path, const char* name) {
    HKEY key = nullptr;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, key_path, 0, KEY_QUERY_VALUE, &key) != ERROR_SUCCESS) return std::nullopt;
    char data[256];
    DWORD size = sizeof data;
    LSTATUS status = RegQueryValueExA(key, name, nullptr, nullptr, reinterpret_cast<BYTE*>(data), &size);
    RegCloseKey(key);
    if (status != ERROR_SUCCESS) return std::nullopt;
    return std::string(data, size);
}

bool key_opens(const std::string& key_path) {
    HKEY key = nullptr;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, key_path.c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS) return false;
    RegCloseKey(key);
    return true;
}

}  // namespace

// RegSetValueExA over an older value of the same name.
class RegistrySetValue : public WritingPath {
    const std::string older_ = std::string(40, 'o');
    const std::string newer_ = std::string(90, 'n');
    LSTATUS status_ = ERROR_SUCCESS;

    void prepare() override { ASSERT_EQ(set_binary(kKey, "Value", older_), ERROR_SUCCESS); }

    bool run() override {
        HKEY key = nullptr;
        status_ = RegOpenKeyExA(HKEY_LOCAL_MACHINE, kKey, 0, KEY_SET_VALUE, &key);
        if (status_ != ERROR_SUCCESS) return false;
        status_ = RegSetValueExA(key, "Value", 0, REG_BINARY, reinterpret_cast<const BYTE*>(newer_.data()),
                                 DWORD(newer_.size()));
        RegCloseKey(key);
        return status_ == ERROR_SUCCESS;
    }

    void check(Outcome outcome) override {
        if (outcome == Outcome::Killed) return;
        EXPECT_EQ(registry_integrity(), "ok");
        std::optional<std::string> stored = stored_value(kKey, "Value");
        if (outcome == Outcome::Succeeded) {
            EXPECT_EQ(stored, newer_);
        } else {
            EXPECT_TRUE(stored == older_ || stored == newer_) << "a value torn or lost";
        }
        if (outcome == Outcome::Failed) {
            EXPECT_TRUE(clear_registry_failure(status_)) << "status " << status_;
        }
        EXPECT_EQ(read_binary(kKey, "Value"), stored) << "this process reads what the file does not hold";
    }
};
FAULT_PATH(RegistrySetValue);

// RegCreateKeyExA making three levels below an existing key.
class RegistryCreateKey : public WritingPath {
    const std::string made_ = std::string(kKey) + "\\Made";
    const std::string deepest_ = made_ + "\\Deep\\Deeper";
    LSTATUS status_ = ERROR_SUCCESS;

    void prepare() override {
        ASSERT_EQ(set_binary(kKey, "Marker", "m"), ERROR_SUCCESS);
        LSTATUS status = RegDeleteTreeA(HKEY_LOCAL_MACHINE, made_.c_str());
        ASSERT_TRUE(status == ERROR_SUCCESS || status == ERROR_FILE_NOT_FOUND) << status;
    }

    bool run() override {
        DWORD disposition = 0;
        return create(&disposition) && disposition == REG_CREATED_NEW_KEY;
    }

    // The next user finds the keys made, or makes them.
    bool run_as_next_user() override {
        DWORD disposition = 0;
        return create(&disposition);
    }

    bool create(DWORD* disposition) {
        HKEY key = nullptr;
        status_ = RegCreateKeyExA(HKEY_LOCAL_MACHINE, deepest_.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key,
                                  disposition);
        if (status_ != ERROR_SUCCESS) return false;
        RegCloseKey(key);
        return true;
    }

    void check(Outcome outcome) override {
        if (outcome == Outcome::Killed) return;
        EXPECT_EQ(registry_integrity(), "ok");
        const bool made = stored_key_exists(made_);
        const bool deepest = stored_key_exists(deepest_);
        EXPECT_EQ(made, deepest) << "keys made in part";
        if (outcome == Outcome::Succeeded) {
            EXPECT_TRUE(deepest);
        }
        if (outcome == Outcome::Failed) {
            EXPECT_TRUE(clear_registry_failure(status_)) << "status " << status_;
        }
        EXPECT_EQ(key_opens(deepest_), deepest) << "this process sees what the file does not hold";
        EXPECT_EQ(stored_value(kKey, "Marker"), "m");
    }
};
FAULT_PATH(RegistryCreateKey);

// RegFlushKey after a write: the log is copied into the database file and
// both are synced. Nothing written before may be lost, whatever the flush
// reported.
class RegistryFlush : public WritingPath {
    const std::string value_ = std::string(3000, 'f');
    LSTATUS status_ = ERROR_SUCCESS;

    void prepare() override { ASSERT_EQ(set_binary(kKey, "Flushed", value_), ERROR_SUCCESS); }

    bool run() override {
        HKEY key = nullptr;
        status_ = RegOpenKeyExA(HKEY_LOCAL_MACHINE, kKey, 0, KEY_READ, &key);
        if (status_ != ERROR_SUCCESS) return false;
        status_ = RegFlushKey(key);
        RegCloseKey(key);
        return status_ == ERROR_SUCCESS;
    }

    void check(Outcome outcome) override {
        if (outcome == Outcome::Killed) return;
        EXPECT_EQ(registry_integrity(), "ok");
        EXPECT_EQ(stored_value(kKey, "Flushed"), value_);
        if (outcome == Outcome::Failed) {
            EXPECT_TRUE(clear_registry_failure(status_)) << "status " << status_;
        }
    }
};
FAULT_PATH(RegistryFlush);

// The first write of a new machine: the registry file, its log, its schema
// and the shared journal are all made by it. Every attempt has a root of
// its own (a machine switched away from keeps its state for the life of the
// process, so memory and descriptors are not counted).
class RegistryFirstWrite : public WritingPath {
    std::string root_;
    LSTATUS status_ = ERROR_SUCCESS;

    void prepare() override {
        char tmpl[] = "/tmp/evtrace-faults-XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        root_ = tmpl;
        std::filesystem::permissions(root_, std::filesystem::perms(0755));
        setenv("EVTRACE_ROOT", root_.c_str(), 1);  // for a writer in another process
        w32rt::use_machine_root(root_);
    }

    bool run() override {
        status_ = set_binary("Software\\First", "V", "first");
        return status_ == ERROR_SUCCESS;
    }

    bool run_as_next_user() override { return run(); }

    void check(Outcome outcome) override {
        if (outcome == Outcome::Killed) return;
        const bool file = std::filesystem::exists(root_ + "/registry.db");
        if (file) {
            EXPECT_EQ(registry_integrity(), "ok");
        }
        std::optional<std::string> stored = file ? stored_value("Software\\First", "V") : std::nullopt;
        if (outcome == Outcome::Succeeded) {
            EXPECT_EQ(stored, "first");
        }
        if (outcome == Outcome::Failed) {
            EXPECT_TRUE(clear_registry_failure(status_)) << "status " << status_;
            // The process that failed makes the registry on its next try.
            EXPECT_EQ(set_binary("Software\\First", "V", "first"), ERROR_SUCCESS) << "a half registry";
            EXPECT_EQ(stored_value("Software\\First", "V"), "first");
        }
    }

    void cleanup() override {
        if (root_.empty()) return;
        w32rt::destroy_machine_root(root_, true);
        root_.clear();
    }

    void release() override { cleanup(); }

    bool keeps_memory() const override { return true; }
    bool keeps_descriptors() const override { return true; }
};
FAULT_PATH(RegistryFirstWrite);

}  // namespace faults
