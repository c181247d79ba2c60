#include "registry/checkpointer.h"

#include <pthread.h>
#include <stdlib.h>

#include <system_error>
#include <thread>
#include <vector>

#include "core/sys.h"

namespace w32rt::registry {

namespace {

// Every checkpointer of the process (they live as long as their machines,
// that is for ever), flushed at exit and told after a fork that their thread
// stayed in the parent.
std::mutex g_all_mutex;
std::vector<Checkpointer*>* g_all = nullptr;

void flush_all_at_exit() {
    std::vector<Checkpointer*> all;
    {
        std::lock_guard<std::mutex> lock(g_all_mutex);
        if (g_all) all = *g_all;
    }
    for (Checkpointer* c : all) c->flush();
}

}  // namespace

// A fork copies the mutexes as they are: they are all taken around it, so
// the child's are free, and its checkpointers know their thread stayed in
// the parent.
void Checkpointer::before_fork() {
    g_all_mutex.lock();
    if (g_all)
        for (Checkpointer* c : *g_all) c->mutex_.lock();
}

void Checkpointer::after_fork(bool child) {
    if (g_all) {
        for (Checkpointer* c : *g_all) {
            if (child) c->thread_started_ = false;
            c->mutex_.unlock();
        }
    }
    g_all_mutex.unlock();
}

Checkpointer::Checkpointer(std::function<void()> checkpoint) : checkpoint_(std::move(checkpoint)) {
    std::lock_guard<std::mutex> lock(g_all_mutex);
    if (!g_all) {
        g_all = new std::vector<Checkpointer*>;
        atexit(&flush_all_at_exit);
        pthread_atfork(&before_fork, [] { after_fork(false); }, [] { after_fork(true); });
    }
    g_all->push_back(this);
}

void Checkpointer::wrote() {
    std::lock_guard<std::mutex> lock(mutex_);
    pending_ = true;
    if (!thread_started_) {
        try {
            std::thread([this] { run(); }).detach();
            thread_started_ = true;
        } catch (const std::system_error&) {
            // No thread: the exit flush, or the next writer, checkpoints.
        }
    }
    wake_.notify_one();
}

void Checkpointer::flush() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (!pending_) return;
        pending_ = false;
    }
    checkpoint_();
}

void Checkpointer::run() {
    sys::exempt_thread_from_faults();
    std::unique_lock<std::mutex> lock(mutex_);
    for (;;) {
        wake_.wait(lock, [this] { return pending_; });
        // Writes that follow within the delay share the checkpoint.
        lock.unlock();
        std::this_thread::sleep_for(kDelay);
        lock.lock();
        if (!pending_) continue;
        pending_ = false;
        lock.unlock();
        checkpoint_();
        lock.lock();
    }
}

}  // namespace w32rt::registry
