// Scoped holders of the consumer side's locks and kernel handles.
#pragma once

#include <windows.h>

namespace traceapi {

class CritSecGuard {
public:
    explicit CritSecGuard(CRITICAL_SECTION& cs) : m_cs(cs) { EnterCriticalSection(&m_cs); }
    CritSecGuard(const CritSecGuard&) = delete;
    CritSecGuard& operator=(const CritSecGuard&) = delete;
    ~CritSecGuard() { LeaveCriticalSection(&m_cs); }

private:
    CRITICAL_SECTION& m_cs;
};

// Releases an owned mutex when it leaves scope.
class MutexHold {
public:
    explicit MutexHold(HANDLE mutex) : m_mutex(mutex) {}
    MutexHold(const MutexHold&) = delete;
    MutexHold& operator=(const MutexHold&) = delete;
    ~MutexHold() { ReleaseMutex(m_mutex); }

private:
    HANDLE m_mutex;
};

// Closes a kernel handle (null and INVALID_HANDLE_VALUE are no handles).
class HandleGuard {
public:
    HandleGuard() = default;
    explicit HandleGuard(HANDLE h) : m_h(h) {}
    HandleGuard(const HandleGuard&) = delete;
    HandleGuard& operator=(const HandleGuard&) = delete;
    ~HandleGuard() { reset(); }
    HANDLE get() const { return m_h; }
    bool valid() const { return m_h != nullptr && m_h != INVALID_HANDLE_VALUE; }
    void reset(HANDLE h = nullptr) {
        if (valid()) CloseHandle(m_h);
        m_h = h;
    }
    HANDLE release() {
        HANDLE h = m_h;
        m_h = nullptr;
        return h;
    }

private:
    HANDLE m_h = nullptr;
};

}  // namespace traceapi
