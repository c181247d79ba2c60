// The runner of the fault matrix (fault_matrix.h): one test per registered
// path fails each call of each kind in turn, one more kills a process
// running the path at each call and lets this process, the next user,
// recover.
#include "fault_matrix.h"

#include <malloc.h>
#include <unistd.h>
#include <signal.h>
#include <sqlite3.h>

#include <filesystem>
#include <fstream>
#include <iostream>
#include <map>
#include <sstream>

#include <TraceApi.h>
#include <w32rt/machine.h>

#include "test_support.h"

namespace faults {

namespace {

std::map<std::string, PathFactory>& registered() {
    static std::map<std::string, PathFactory> paths;
    return paths;
}

const int kErrors[] = {ENOSPC, EIO, EACCES};
// No path makes this many calls of one kind; reaching it means the path
// never completes.
constexpr unsigned kMaxCallsPerKind = 2000;
// What one series (a kind and an errno, all its attempts) may leave on the
// heap: allocator bookkeeping and caches that settle, never a leak per
// attempt.
constexpr size_t kHeapSlack = 256 * 1024;

// What an attempt must give back. The registry's connection and the shared
// memory of the machine are opened on demand and kept (a failed write may
// close the connection, the next use opens it again): their descriptors are
// not counted, but none may be open more often than its users (a region
// once; the registry file once for the runtime, once for the checks).
struct Resources {
    size_t handles = 0;
    size_t descriptors = 0;
    std::vector<std::string> excess;  // kept files open more often than that
    size_t heap = 0;

    static Resources now() {
        w32rt_settle_late_closes();
        Resources r;
        r.handles = w32rt_open_handle_count();
        std::map<std::string, int> kept;
        for (const auto& entry : std::filesystem::directory_iterator("/proc/self/fd")) {
            std::error_code error;
            std::string target = std::filesystem::read_symlink(entry.path(), error).string();
            const bool region = target.rfind("/dev/shm/evtrace.", 0) == 0;
            const bool registry = target.find("/registry.db") != std::string::npos;
            if (region || registry) {
                if (++kept[target] == (region ? 2 : 3)) r.excess.push_back(target);
            } else {
                ++r.descriptors;
            }
        }
        r.heap = mallinfo2().uordblks;
        return r;
    }
};

struct Tally {
    unsigned attempts = 0;
    unsigned faults = 0;
    unsigned failures = 0;  // faults the operation reported
    unsigned kills = 0;
    std::map<std::string, unsigned> by_kind;
    long long heap_growth = 0;  // largest of any series

    std::string text() const {
        std::string out;
        for (const auto& [kind, n] : by_kind) out += (out.empty() ? "" : ", ") + kind + " " + std::to_string(n);
        return out.empty() ? "none" : out;
    }
};

// What the process's descriptors name, for a message.
std::string open_descriptors() {
    std::string out;
    for (const auto& entry : std::filesystem::directory_iterator("/proc/self/fd")) {
        std::error_code error;
        out += "\n  " + entry.path().filename().string() + " " + std::filesystem::read_symlink(entry.path(), error).string();
    }
    return out;
}

std::string describe(w32rt_call kind, int error, unsigned nth) {
    return std::string(w32rt_call_name(kind)) + " #" + std::to_string(nth) + " failing with " + strerror(error);
}

}  // namespace

const char* outcome_name(Outcome outcome) {
    switch (outcome) {
        case Outcome::Succeeded: return "reported success";
        case Outcome::Failed: return "reported failure";
        case Outcome::Killed: return "killed";
    }
    return "?";
}

std::vector<w32rt_call> WritingPath::kinds() const {
    std::vector<w32rt_call> all;
    for (int k = 0; k < W32RT_CALL_KINDS; ++k) all.push_back(w32rt_call(k));
    return all;
}

PathRegistrar::PathRegistrar(const char* name, PathFactory factory) { registered()[name] = std::move(factory); }

std::vector<std::string> path_names() {
    std::vector<std::string> names;
    for (const auto& [name, factory] : registered()) names.push_back(name);
    return names;
}

std::unique_ptr<WritingPath> make_path(const std::string& name) {
    auto it = registered().find(name);
    return it == registered().end() ? nullptr : it->second();
}

// ---- Helpers ----------------------------------------------------------------

std::string record_image(const std::string& text, DWORD code, const std::string& source) {
    std::string image(EVT_RECORD_FIXED_SIZE + text.size() + EVT_RECORD_TAIL_SIZE, '\0');
    auto* record = reinterpret_cast<_VANTA_EVTRACE_DATA*>(image.data());
    record->dwDataLen = DWORD(text.size());
    source.copy(record->szSource, sizeof record->szSource - 1);
    record->ftTimeStamp.dwHighDateTime = 0x01D90000;
    record->dwEventType = 51;
    record->dwEventCode = code;
    std::string("faults").copy(record->szUserName, sizeof record->szUserName - 1);
    text.copy(reinterpret_cast<char*>(record->Data), text.size());
    return image;
}

std::optional<std::string> file_bytes(const std::string& windows_path) {
    std::ifstream in(w32rt::to_posix_path(windows_path), std::ios::binary);
    if (!in) return std::nullopt;
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void put_file(const std::string& windows_path, const std::string& bytes) {
    std::ofstream out(w32rt::to_posix_path(windows_path), std::ios::binary | std::ios::trunc);
    out << bytes;
    ASSERT_TRUE(out.good()) << windows_path;
}

namespace {

std::vector<std::string> temporaries(const std::string& windows_folder, const std::string& marker) {
    std::vector<std::string> names;
    std::error_code error;
    for (const auto& entry : std::filesystem::directory_iterator(w32rt::to_posix_path(windows_folder), error)) {
        std::string name = entry.path().filename();
        if (name.size() > 4 && name.compare(name.size() - 4, 4, ".tmp") == 0 && name.find(marker) != std::string::npos)
            names.push_back(name);
    }
    return names;
}

}  // namespace

std::vector<std::string> stray_temporaries(const std::string& windows_folder) {
    return temporaries(windows_folder, "." + std::to_string(getpid()) + "-");
}

void remove_stray_temporaries(const std::string& windows_folder) {
    std::string folder = w32rt::to_posix_path(windows_folder);
    for (const std::string& name : temporaries(windows_folder, "")) std::filesystem::remove(folder + "/" + name);
}

namespace {

// A read-only connection of its own to the registry file of the current
// root, opened once and kept: closing a connection while another one of the
// process holds locks on the file makes SQLite keep its descriptor for
// later, which would blur the count of descriptors.
class RegistryFile {
public:
    static RegistryFile& current() {
        static RegistryFile file;
        file.follow(w32rt::machine_root() + "/registry.db");
        return file;
    }

    // The id of HKLM\key_path, 0 when missing.
    int64_t key_id(const std::string& key_path) {
        int64_t id = 1;  // the machine hive
        std::stringstream parts(key_path);
        for (std::string part; std::getline(parts, part, '\\');) {
            if (part.empty()) continue;
            for (char& c : part) c = char(toupper(static_cast<unsigned char>(c)));
            std::string found = one("SELECT id FROM keys WHERE parent = ?1 AND folded = ?2", id, part);
            if (found.empty()) return 0;
            id = std::stoll(found);
        }
        return id;
    }

    // The first column of the first row as text (blob bytes as they are).
    std::string one(const char* sql, int64_t number = 0, const std::string& text = {}, bool* found = nullptr) {
        if (found) *found = false;
        if (!db_) return {};
        sqlite3_stmt* stmt = nullptr;
        if (sqlite3_prepare_v2(db_, sql, -1, &stmt, nullptr) != SQLITE_OK) return {};
        sqlite3_bind_int64(stmt, 1, number);
        sqlite3_bind_text(stmt, 2, text.c_str(), int(text.size()), SQLITE_TRANSIENT);
        std::string out;
        if (sqlite3_step(stmt) == SQLITE_ROW) {
            if (found) *found = true;
            const void* blob = sqlite3_column_blob(stmt, 0);
            out.assign(static_cast<const char*>(blob), size_t(sqlite3_column_bytes(stmt, 0)));
        }
        sqlite3_finalize(stmt);
        return out;
    }

    bool open() const { return db_ != nullptr; }

private:
    void follow(const std::string& path) {
        if (db_ && path == path_) return;
        sqlite3_close(db_);
        db_ = nullptr;
        path_ = path;
        if (sqlite3_open_v2(path.c_str(), &db_, SQLITE_OPEN_READONLY, nullptr) != SQLITE_OK) {
            sqlite3_close(db_);
            db_ = nullptr;
        }
    }

    std::string path_;
    sqlite3* db_ = nullptr;
};

}  // namespace

std::optional<std::string> stored_value(const std::string& key_path, const std::string& value_name) {
    RegistryFile& file = RegistryFile::current();
    int64_t key = file.key_id(key_path);
    if (key == 0) return std::nullopt;
    std::string folded = value_name;
    for (char& c : folded) c = char(toupper(static_cast<unsigned char>(c)));
    bool found = false;
    std::string data = file.one("SELECT data FROM vals WHERE key = ?1 AND folded = ?2", key, folded, &found);
    if (!found) return std::nullopt;
    return data;
}

bool stored_key_exists(const std::string& key_path) { return RegistryFile::current().key_id(key_path) != 0; }

std::string registry_integrity() {
    RegistryFile& file = RegistryFile::current();
    if (!file.open()) return "no registry file";
    return file.one("PRAGMA integrity_check");
}

// ---- The matrix ------------------------------------------------------------

class FaultMatrix : public testing_support::MachineTest, public ::testing::WithParamInterface<std::string> {
protected:
    void TearDown() override {
        w32rt_clear_syscall_faults();
        if (path_) {
            path_->release();
            path_.reset();
        }
        MachineTest::TearDown();
    }

    WritingPath& path() {
        if (!path_) {
            path_ = make_path(GetParam());
            path_->arrange();
        }
        return *path_;
    }

    void report_faults(const Tally& tally) {
        std::cout << "[faults] " << GetParam() << ": " << tally.faults << " faults injected in " << tally.attempts
                  << " runs (" << tally.failures << " reported as failures, " << tally.faults - tally.failures
                  << " absorbed); by kind: " << tally.text() << "; heap growth at most " << tally.heap_growth
                  << " bytes a series" << std::endl;
        RecordProperty("injected_faults", int(tally.faults));
    }

    void report_kills(const Tally& tally) {
        std::cout << "[faults] " << GetParam() << ": " << tally.kills << " writers killed in " << tally.attempts
                  << " runs, the next user recovered each time; by kind: " << tally.text() << std::endl;
        RecordProperty("kills", int(tally.kills));
    }

private:
    std::unique_ptr<WritingPath> path_;
};

TEST_P(FaultMatrix, EachCallOfEachKindFailsInTurnWithAClearStatusAndWholeState) {
    if (std::string why = make_path(GetParam())->skip_reason(); !why.empty()) GTEST_SKIP() << why;
    WritingPath& p = path();
    // The path works at all.
    p.prepare();
    ASSERT_TRUE(p.run()) << "without faults";
    p.check(Outcome::Succeeded);
    p.cleanup();
    ASSERT_FALSE(HasFailure());

    Tally tally;
    for (w32rt_call kind : p.kinds()) {
        for (int error : kErrors) {
            const Resources start = Resources::now();
            for (unsigned nth = 1;; ++nth) {
                ASSERT_LE(nth, kMaxCallsPerKind) << w32rt_call_name(kind) << ": the path never completes";
                SCOPED_TRACE(describe(kind, error, nth));
                p.prepare();
                const Resources before = Resources::now();
                const unsigned long long fired = w32rt_injected_faults();
                w32rt_fail_call(kind, nth, error);
                const bool succeeded = p.run();
                w32rt_clear_syscall_faults();
                const bool hit = w32rt_injected_faults() != fired;
                // Counted before the check, which reads the registry file
                // through a connection of its own (SQLite may keep its
                // descriptor for the next connection to that file).
                const Resources after = Resources::now();
                SCOPED_TRACE(outcome_name(succeeded ? Outcome::Succeeded : Outcome::Failed));
                p.check(succeeded ? Outcome::Succeeded : Outcome::Failed);
                p.cleanup();
                EXPECT_EQ(after.handles, before.handles) << "handles left open";
                if (!p.keeps_descriptors()) {
                    EXPECT_LE(after.descriptors, before.descriptors) << "descriptors left open:" << open_descriptors();
                    EXPECT_EQ(after.excess, std::vector<std::string>()) << "opened again while open";
                }
                // One broken attempt says it all; thousands more would bury it.
                if (HasFailure()) return;
                ++tally.attempts;
                if (!hit) break;
                ++tally.faults;
                ++tally.by_kind[w32rt_call_name(kind)];
                if (!succeeded) ++tally.failures;
            }
            const long long growth = (long long)Resources::now().heap - (long long)start.heap;
            tally.heap_growth = std::max(tally.heap_growth, growth);
            if (!p.keeps_memory()) {
                EXPECT_LE(growth, (long long)kHeapSlack)
                    << "heap left behind by the series " << w32rt_call_name(kind) << " / " << strerror(error);
            }
            if (HasFailure()) return;
        }
    }
    report_faults(tally);
    EXPECT_GT(tally.faults, 0u) << "the path makes no call the seam sees";
}

TEST_HELPER(fault_path) {
    if (argc != 4) return 3;
    std::unique_ptr<WritingPath> path = make_path(argv[1]);
    if (!path) return 4;
    path->arrange();
    w32rt_kill_at_call(w32rt_call(std::stoi(argv[2])), unsigned(std::stoul(argv[3])));
    bool succeeded = path->run();
    w32rt_clear_syscall_faults();
    path->release();
    return succeeded ? 0 : 1;
}

TEST_P(FaultMatrix, AProcessKilledAtEachCallLeavesAStateTheNextUserRecoversFrom) {
    if (std::string why = make_path(GetParam())->skip_reason(); !why.empty()) GTEST_SKIP() << why;
    WritingPath& p = path();
    Tally tally;
    for (w32rt_call kind : p.kinds()) {
        for (unsigned nth = 1;; ++nth) {
            ASSERT_LE(nth, kMaxCallsPerKind) << w32rt_call_name(kind) << ": the path never completes";
            SCOPED_TRACE(std::string("killed at ") + w32rt_call_name(kind) + " #" + std::to_string(nth));
            p.prepare();
            testing_support::ChildProcess child = testing_support::spawn_helper(
                "fault_path", {GetParam(), std::to_string(int(kind)), std::to_string(nth)});
            const int code = child.wait();
            ASSERT_TRUE(code == 0 || code == 1 || code == 128 + SIGKILL) << "the writer ended with " << code;
            const Outcome outcome =
                code == 128 + SIGKILL ? Outcome::Killed : code == 0 ? Outcome::Succeeded : Outcome::Failed;
            {
                SCOPED_TRACE(outcome_name(outcome));
                p.check(outcome);
            }
            // The next user, this process, does the same and succeeds.
            {
                SCOPED_TRACE("the next user");
                EXPECT_TRUE(p.run_as_next_user()) << "after a writer " << outcome_name(outcome);
                p.check(Outcome::Succeeded);
            }
            p.cleanup();
            if (HasFailure()) return;
            ++tally.attempts;
            if (outcome != Outcome::Killed) break;
            ++tally.kills;
            ++tally.by_kind[w32rt_call_name(kind)];
        }
    }
    report_kills(tally);
    EXPECT_GT(tally.kills, 0u);
}

INSTANTIATE_TEST_SUITE_P(Paths, FaultMatrix, ::testing::ValuesIn(path_names()),
                         [](const ::testing::TestParamInfo<std::string>& info) { return info.param; });

}  // namespace faults
