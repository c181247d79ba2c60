// The library's log files under the fault matrix: CreateLogFile writing a
// binary log over an older one, a comma-separated log where none stood, and
// a log written under a named mutex as the alert history is (a writer killed
// holding it leaves the mutex abandoned, never stuck).
//
// A log is written beside its target and renamed into place: whatever was
// reported, the target holds the older file or the whole new one, and a
// reported success always the new one. A failure removes its temporary file;
// only a killed writer may leave one behind.
#include <errno.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <filesystem>
#include <string>
#include <vector>

#include <TraceApi.h>
#include <w32rt/machine.h>
#include <windows.h>

#include "fault_matrix.h"

namespace faults {

namespace {

constexpr char kFolder[] = "C:\\Logs";

// Enough records that the binary log takes several buffered writes.
class Records {
public:
    explicit Records(size_t count) {
        for (size_t i = 0; i < count; ++i)
            images_.push_back(record_image("event " + std::to_string(i) + " " + std::string(300 + i % 50, 'x'),
                                           0x80001000 + DWORD(i), "FaultSource"));
        for (std::string& image : images_) pointers_.push_back(reinterpret_cast<_VANTA_EVTRACE_DATA*>(image.data()));
        list_ = {DWORD(pointers_.size()), pointers_.data()};
    }
    _EVT_RECORD_LIST* list() { return &list_; }

private:
    std::vector<std::string> images_;
    std::vector<_VANTA_EVTRACE_DATA*> pointers_;
    _EVT_RECORD_LIST list_{};
};

void make_folder() { std::filesystem::create_directories(w32rt::to_posix_path(kFolder)); }

// A log written by CreateLogFile in the given format, to a target that holds
// an older file or nothing.
class LogPath : public WritingPath {
public:
    LogPath(std::string target, ULONG format, bool older_stands)
        : target_(std::move(target)), format_(format), older_stands_(older_stands) {}

protected:
    void arrange() override {
        ASSERT_EQ(EvtInitialize(2), S_OK);
        records_ = std::make_unique<Records>(400);
        make_folder();
    }

    void release() override {
        records_.reset();
        EvtUnInitialize();
    }

    void prepare() override {
        const std::string path = w32rt::to_posix_path(target_);
        if (older_stands_) {
            put_file(target_, older_);
        } else {
            std::filesystem::remove(path);
        }
    }

    bool run() override {
        result_ = CreateLogFile(target_.c_str(), records_->list(), format_);
        return result_ == S_OK;
    }

    void check(Outcome outcome) override {
        const std::optional<std::string> now = file_bytes(target_);
        const std::optional<std::string> before = older_stands_ ? std::optional<std::string>(older_) : std::nullopt;
        const std::string& whole = expected();
        if (outcome == Outcome::Succeeded) {
            EXPECT_TRUE(now == whole) << "a reported success without the whole log";
        } else {
            // A failure after the rename (the folder's sync) leaves the new
            // log in place; anything else leaves what stood.
            EXPECT_TRUE(now == before || now == whole)
                << (now ? "a torn log of " + std::to_string(now->size()) + " bytes" : std::string("the older log lost"));
        }
        if (outcome == Outcome::Failed) {
            EXPECT_NE(result_, S_OK);
        }
        if (outcome != Outcome::Killed) {
            EXPECT_EQ(stray_temporaries(kFolder), std::vector<std::string>());
        }
    }

    void cleanup() override { remove_stray_temporaries(kFolder); }

    // The log written once without faults.
    const std::string& expected() {
        if (expected_.empty()) {
            const std::string reference = std::string(kFolder) + "\\reference" + (format_ ? ".csv" : ".bin");
            EXPECT_EQ(CreateLogFile(reference.c_str(), records_->list(), format_), S_OK);
            expected_ = file_bytes(reference).value_or("");
            EXPECT_GT(expected_.size(), 64u * 1024) << "the log is meant to take several writes";
        }
        return expected_;
    }

    const std::string target_;
    const ULONG format_;
    const bool older_stands_;
    const std::string older_ = "an older log that must survive a failed write\n";
    std::unique_ptr<Records> records_;
    std::string expected_;
    LONG result_ = S_OK;
};

}  // namespace

// A binary log over an older file of the same name.
class BinaryLogOverAnOlderOne : public LogPath {
public:
    BinaryLogOverAnOlderOne() : LogPath("C:\\Logs\\events.bin", EVT_LOGFORMAT_BINARY, true) {}
};
FAULT_PATH(BinaryLogOverAnOlderOne);

// A comma-separated log where no file stood: a failure leaves none, not an
// empty one.
class TextLogWhereNoneStood : public LogPath {
public:
    TextLogWhereNoneStood() : LogPath("C:\\Logs\\events.csv", EVT_LOGFORMAT_TEXT, false) {}
};
FAULT_PATH(TextLogWhereNoneStood);

// A log written while holding a named mutex, as the alert history is. This
// process holds a handle to the mutex throughout, so a writer in another
// process that opens it checks this process's liveness under the object
// table's lock, and a kill can land there as well as mid-write.
class LogUnderANamedMutex : public LogPath {
public:
    LogUnderANamedMutex() : LogPath("C:\\Logs\\history.bin", EVT_LOGFORMAT_BINARY, true) {}

private:
    static constexpr char kMutex[] = "Global\\VANTA_ALERT_HISTORY_FILE_MUTEX";

    HANDLE open_mutex() {
        SECURITY_DESCRIPTOR descriptor;
        InitializeSecurityDescriptor(&descriptor, SECURITY_DESCRIPTOR_REVISION);
        SetSecurityDescriptorDacl(&descriptor, TRUE, nullptr, FALSE);
        SECURITY_ATTRIBUTES attributes = {sizeof attributes, &descriptor, FALSE};
        return CreateMutexA(&attributes, FALSE, kMutex);
    }

    void arrange() override {
        LogPath::arrange();
        held_ = open_mutex();
        ASSERT_NE(held_, nullptr);
    }

    void release() override {
        if (held_) CloseHandle(held_);
        held_ = nullptr;
        LogPath::release();
    }

    bool run() override {
        HANDLE mutex = open_mutex();
        if (mutex == nullptr) return false;
        last_wait_ = WaitForSingleObject(mutex, 10000);
        bool ok = false;
        if (last_wait_ == WAIT_OBJECT_0 || last_wait_ == WAIT_ABANDONED) {
            ok = LogPath::run();
            if (!ReleaseMutex(mutex)) ok = false;
        }
        CloseHandle(mutex);
        return ok;
    }

    void check(Outcome outcome) override {
        LogPath::check(outcome);
        if (outcome != Outcome::Killed) {
            // Nobody holds it now: taken at once, and not abandoned unless
            // the writer that just ended left it so.
            DWORD wait = WaitForSingleObject(held_, 0);
            EXPECT_TRUE(wait == WAIT_OBJECT_0 || (wait == WAIT_ABANDONED && outcome == Outcome::Failed)) << wait;
            if (wait == WAIT_OBJECT_0 || wait == WAIT_ABANDONED) {
                EXPECT_TRUE(ReleaseMutex(held_));
            }
        }
    }

    bool run_as_next_user() override {
        // After a writer killed holding it, the next one is told so and
        // goes on.
        bool ok = run();
        EXPECT_TRUE(last_wait_ == WAIT_OBJECT_0 || last_wait_ == WAIT_ABANDONED) << last_wait_;
        return ok;
    }

    HANDLE held_ = nullptr;
    DWORD last_wait_ = WAIT_FAILED;
};
FAULT_PATH(LogUnderANamedMutex);

// A log named after a character device: written in place, the device never
// replaced by a file, whatever a look at the path answered. (Makes its own
// device node, so it runs where the tests may: as the superuser.)
class LogToADevice : public LogPath {
public:
    LogToADevice() : LogPath("C:\\Logs\\device", EVT_LOGFORMAT_BINARY, false) {}

private:
    std::string skip_reason() const override {
        return geteuid() == 0 ? std::string() : "making a device node needs the superuser";
    }

    void prepare() override {
        const std::string path = w32rt::to_posix_path(target_);
        struct stat st;
        if (::lstat(path.c_str(), &st) == 0 && S_ISCHR(st.st_mode)) return;
        std::filesystem::remove(path);
        ASSERT_EQ(mknod(path.c_str(), S_IFCHR | 0666, makedev(1, 3)), 0) << strerror(errno);  // as /dev/null
    }

    void check(Outcome outcome) override {
        struct stat st;
        ASSERT_EQ(::lstat(w32rt::to_posix_path(target_).c_str(), &st), 0);
        EXPECT_TRUE(S_ISCHR(st.st_mode)) << "the device was replaced";
        if (outcome == Outcome::Failed) {
            EXPECT_NE(result_, S_OK);
        }
        if (outcome != Outcome::Killed) {
            EXPECT_EQ(stray_temporaries(kFolder), std::vector<std::string>());
        }
    }
};
FAULT_PATH(LogToADevice);

}  // namespace faults
