// Keeps the registry's main file whole: soon after writes, what the WAL
// holds is copied into registry.db, so a copy or backup of that file alone
// has every committed write.
//
// A checkpoint syncs the database file, which costs milliseconds on a disk,
// so it is not done after every write but by a thread of the process a short
// delay after the last one (a burst of writes costs one), and at exit for
// what is still pending (a tool that writes and ends). Until then the writes
// are safe in the WAL, which the next opener reads; a process killed in the
// delay leaves them there for the next writer's checkpoint.
#pragma once

#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>

namespace w32rt::registry {

class Checkpointer {
public:
    static constexpr std::chrono::milliseconds kDelay{100};

    explicit Checkpointer(std::function<void()> checkpoint);
    Checkpointer(const Checkpointer&) = delete;
    Checkpointer& operator=(const Checkpointer&) = delete;

    // A write was committed: checkpoint within the delay.
    void wrote();
    // Checkpoints now when a write is pending (at exit; tests).
    void flush();

private:
    void run();
    static void before_fork();
    static void after_fork(bool child);

    std::function<void()> checkpoint_;
    std::mutex mutex_;
    std::condition_variable wake_;
    bool pending_ = false;
    bool thread_started_ = false;
};

}  // namespace w32rt::registry
