// The hostile user's side of the hostile-user tests: one helper, run as
// another user, that attacks the owner's shared memory with plain system
// calls (no runtime in its way) or probes the owner's objects through the
// API. argv[1] is the attack; it reports one line and then waits until it is
// killed (a lock it took stays taken).
//
//   scribble PATH SEED     every byte of the file random
//   flip PATH SEED         64 words of the file each xor-ed with a random value
//   truncate PATH          the file cut to nothing
//   lock-word PATH OFFSET  the 32-bit lock word at OFFSET set to this thread's id
//   flock PATH             an exclusive flock on the file
//   plant FOLDER NAME      a file made in the folder, or the folder renamed
//   mkdir PATH             a folder made, mode 0777
//   precreate PATH MODE    the file made (with garbage), mode octal
//   reserve HANDLE         an event reserved in every ring of the session and
//                          never committed (the writer stops in between)
//   probe HANDLE EVENT MUTEX TABLE  the owner's objects and session, through
//                          the API, and its table of private objects as a file
#include <fcntl.h>
#include <signal.h>
#include <string.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <random>
#include <string>

#include "etw/ring.h"
#include "trust_test_util.h"

namespace trust_test {

using namespace etw_test;
using testing_support::receive_line;
using testing_support::send_line;

namespace {

// Reports a line and waits to be killed.
int report_and_wait(const std::string& line) {
    send_line(line);
    receive_line();
    for (;;) pause();
}

std::string denied_or_errno(const char* what) {
    return errno == EACCES || errno == EPERM ? "denied" : std::string(what) + "-failed " + strerror(errno);
}

// Maps the whole file for writing; null with the report line set.
void* map_writable(const char* path, size_t* size, std::string* report) {
    int fd = open(path, O_RDWR | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) {
        *report = denied_or_errno("open");
        return nullptr;
    }
    struct stat st;
    fstat(fd, &st);
    *size = size_t(st.st_size);
    if (*size == 0) {
        // A lock file: given a page of its own to spoil.
        *size = 4096;
        if (ftruncate(fd, off_t(*size)) != 0) *size = 0;
    }
    void* p = *size ? mmap(nullptr, *size, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0) : MAP_FAILED;
    close(fd);
    if (p == MAP_FAILED) {
        *report = "empty";
        return nullptr;
    }
    return p;
}

std::atomic<bool> g_stop_writing{false};

void stop_after_reserving(w32rt::etw::WriteStage stage) {
    if (stage != w32rt::etw::WriteStage::Reserved || !g_stop_writing) return;
    send_line("reserved");
    for (;;) pause();
}

int probe(TRACEHANDLE session, const char* event_name, const char* mutex_name, const char* table_path) {
    std::string out;
    auto status = [](bool ok) { return ok ? 0ul : (unsigned long)GetLastError(); };
    SetLastError(0);
    HANDLE h = OpenEventA(EVENT_MODIFY_STATE, FALSE, event_name);
    out += "open=" + std::to_string(status(h != nullptr));
    if (h) SetEvent(h);
    SetLastError(0);
    HANDLE c = CreateEventA(nullptr, TRUE, TRUE, event_name);
    out += " create=" + std::to_string(status(c != nullptr));
    if (c) SetEvent(c);
    SetLastError(0);
    HANDLE m = OpenMutexA(SYNCHRONIZE, FALSE, mutex_name);
    out += " mutex=" + std::to_string(status(m != nullptr));
    // The owner's table of private objects, as a file.
    int fd = open(table_path, O_RDONLY | O_CLOEXEC);
    out += std::string(" raw=") + (fd < 0 && errno == EACCES ? "denied" : "open");
    if (fd >= 0) close(fd);
    Properties p;
    out += " stop=" + std::to_string(ControlTraceA(session, nullptr, p.get(), EVENT_TRACE_CONTROL_STOP));
    out += " enable=" + std::to_string(EnableTrace(TRUE, 1, 1, &kControlGuid, session));
    Event ev;
    ULONG traced = TraceEvent(session, ev.stamp(kHostileProducer, 0, 0));
    out += " trace=" + std::to_string(traced);
    send_line(out);
    return 0;
}

}  // namespace

TEST_HELPER(hostile) {
    const std::string what = argc > 1 ? argv[1] : "";
    std::string report;
    if (what == "scribble" || what == "flip") {
        size_t size = 0;
        auto* p = static_cast<unsigned char*>(map_writable(argv[2], &size, &report));
        if (!p) return report_and_wait(report);
        std::mt19937_64 rng(std::stoull(argv[3]));
        if (what == "scribble") {
            for (size_t i = 0; i < size; ++i) p[i] = static_cast<unsigned char>(rng());
        } else {
            auto* words = reinterpret_cast<uint32_t*>(p);
            for (int i = 0; i < 64; ++i) words[rng() % (size / 4)] ^= uint32_t(rng() | 1);
        }
        return report_and_wait("written");
    }
    if (what == "truncate") {
        int fd = open(argv[2], O_RDWR | O_NOFOLLOW | O_CLOEXEC);
        if (fd < 0) return report_and_wait(denied_or_errno("open"));
        return report_and_wait(ftruncate(fd, 0) == 0 ? "written" : denied_or_errno("ftruncate"));
    }
    if (what == "lock-word") {
        size_t size = 0;
        auto* p = static_cast<unsigned char*>(map_writable(argv[2], &size, &report));
        if (!p) return report_and_wait(report);
        auto* word = reinterpret_cast<std::atomic<uint32_t>*>(p + std::stoull(argv[3]));
        uint32_t expected = 0;
        // Taken as a holder would take it (a holder stopped right after).
        while (!word->compare_exchange_weak(expected, uint32_t(syscall(SYS_gettid)))) expected = 0;
        return report_and_wait("locked");
    }
    if (what == "flock") {
        int fd = open(argv[2], O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
        if (fd < 0) return report_and_wait(denied_or_errno("open"));
        return report_and_wait(flock(fd, LOCK_EX | LOCK_NB) == 0 ? "locked" : denied_or_errno("flock"));
    }
    if (what == "plant") {
        std::string path = std::string(argv[2]) + "/" + argv[3];
        int fd = open(path.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        if (fd >= 0) close(fd);
        bool renamed = rename(argv[2], (std::string(argv[2]) + ".moved").c_str()) == 0;
        return report_and_wait(fd >= 0 || renamed ? "planted" : "denied");
    }
    if (what == "mkdir") {
        if (mkdir(argv[2], 0777) != 0) return report_and_wait(denied_or_errno("mkdir"));
        chmod(argv[2], 0777);
        return report_and_wait("made");
    }
    if (what == "precreate") {
        int fd = open(argv[2], O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
        if (fd < 0) return report_and_wait(denied_or_errno("open"));
        std::string garbage(1 << 16, 'G');
        ssize_t n = write(fd, garbage.data(), garbage.size());
        fchmod(fd, mode_t(std::stoul(argv[3], nullptr, 8)));
        close(fd);
        return report_and_wait(n > 0 ? "made" : "short");
    }
    if (what == "reserve") {
        TRACEHANDLE session = std::stoull(argv[2]);
        w32rt::etw::g_write_stage_hook = stop_after_reserving;
        g_stop_writing = true;
        Event ev(600);
        TraceEvent(session, ev.stamp(kHostileProducer, 0, 1));
        return report_and_wait("not reserved");
    }
    if (what == "probe") return probe(std::stoull(argv[2]), argv[3], argv[4], argv[5]);
    return report_and_wait("unknown attack " + what);
}

}  // namespace trust_test
