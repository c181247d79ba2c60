#include "core/late_close.h"

#include <pthread.h>

#include <condition_variable>
#include <mutex>
#include <new>
#include <system_error>
#include <thread>
#include <vector>

#include "core/sys.h"

namespace w32rt::late_close {

namespace {

// Never destroyed: descriptors may be handed over while the process exits.
struct Closer {
    std::mutex mutex;
    std::condition_variable work;     // descriptors were handed over
    std::condition_variable settled;  // the thread closed what it took
    std::vector<int> pending;
    unsigned long long handed = 0;  // descriptors handed over, ever
    unsigned long long closed = 0;  // of those, closed
    bool thread_started = false;
    bool forked_child = false;  // no thread of its own: closes at once
};

Closer& closer() {
    static Closer& c = *new Closer;
    return c;
}

void run() {
    sys::exempt_thread_from_faults();
    Closer& c = closer();
    std::unique_lock<std::mutex> lock(c.mutex);
    for (;;) {
        c.work.wait(lock, [&c] { return !c.pending.empty(); });
        std::vector<int> batch;
        batch.swap(c.pending);
        lock.unlock();
        for (int fd : batch) sys::close(fd);
        lock.lock();
        c.closed += batch.size();
        c.settled.notify_all();
    }
}

// A fork copies the mutex and the condition variables as they are. The
// mutex is taken around the fork, so nobody of the child holds it; the
// condition variables still count the parent's thread among their waiters
// and are made anew. The thread stayed in the parent: the child closes the
// descriptors it inherited still waiting, and from then on closes at once
// (a child of a process with threads should not start threads of its own
// before it runs another program). A batch the parent's thread was closing
// is left open in the child (its numbers may name other files by now); its
// descriptors close on exec.
void before_fork() { closer().mutex.lock(); }
void after_fork_in_parent() { closer().mutex.unlock(); }
void after_fork_in_child() {
    Closer& c = closer();
    for (int fd : c.pending) sys::close(fd);
    c.pending.clear();
    c.closed = c.handed;
    c.thread_started = false;
    c.forked_child = true;
    new (&c.work) std::condition_variable;
    new (&c.settled) std::condition_variable;
    c.mutex.unlock();
}

[[maybe_unused]] const int g_atfork = pthread_atfork(&before_fork, &after_fork_in_parent, &after_fork_in_child);

}  // namespace

void close_later(int fd) {
    if (fd < 0) return;
    Closer& c = closer();
    {
        std::lock_guard<std::mutex> lock(c.mutex);
        if (!c.thread_started && !c.forked_child) {
            try {
                std::thread(&run).detach();
                c.thread_started = true;
            } catch (const std::system_error&) {
            }
        }
        if (c.thread_started) {
            c.pending.push_back(fd);
            ++c.handed;
            c.work.notify_one();
            return;
        }
    }
    sys::close(fd);
}

void settle() {
    Closer& c = closer();
    std::unique_lock<std::mutex> lock(c.mutex);
    const unsigned long long target = c.handed;
    c.settled.wait(lock, [&c, target] { return c.closed >= target || !c.thread_started; });
}

}  // namespace w32rt::late_close
