// The real-time listener: opens the session as an ETW consumer and pumps
// its events into a callback on a thread of the caller's or of its own.
//
// Each start of listening is a "run", shared between the listener and the
// thread that listens. A run outlives its listener when the listener is
// destroyed from inside its own callback: the thread then finds the run
// detached and touches neither the listener nor its configuration again.
//
// Lock: g_runLock guards every run's owner, configuration pointer, trace
// handle and stop flag, and the listeners' run lists. It is held only for
// those fields, never across an ETW call or a wait.
#include <TraceApi.h>

#include <string.h>

#include <algorithm>
#include <atomic>
#include <memory>
#include <mutex>
#include <vector>

#include "listener/ConsumerSink.h"

int CEvTraceListener::m_bEvTraceListenerAccessDenied = 0;

namespace {

constexpr DWORD kStartedWaitMs = 13000;
constexpr DWORD kAttachSleepMs = 1000;
constexpr char kThreadSource[] = "EvTraceListener(147) : Source: ";
constexpr char kSinkSource[] = "EvTraceListener(214) : Source: ";

std::mutex g_runLock;

std::atomic<PEVENT_CALLBACK> g_consumerSink{nullptr};

}  // namespace

void traceapi::SetConsumerEventSink(PEVENT_CALLBACK sink) { g_consumerSink.store(sink); }

// One listening: from the start request until the listening thread stops
// touching its owner.
struct ListenRun {
    ~ListenRun() {
        if (hThread != nullptr) CloseHandle(hThread);
        if (hEnded != nullptr) CloseHandle(hEnded);
    }
    // Guarded by g_runLock.
    CEvTraceListener* owner = nullptr;
    _EVT_LISTENER_CONFIG* config = nullptr;
    TRACEHANDLE hTrace = 0;
    bool stop = false;
    bool ended = false;
    bool starterWaiting = false;  // ConfigureListener is still waiting on hStartedEvent

    DWORD threadId = 0;
    HANDLE hThread = nullptr;  // the listening thread when the listener started it
    HANDLE hEnded = nullptr;   // manual reset: set when the run let go of its owner
};

struct CEvTraceListener::ListenState {
    std::vector<std::shared_ptr<ListenRun>> runs;  // guarded by g_runLock
};

namespace {

struct ThreadStart {
    CEvTraceListener* listener = nullptr;
    _EVT_LISTENER_CONFIG* config = nullptr;
    DWORD mode = 0;
    std::shared_ptr<ListenRun> run;                  // mode 1
    std::vector<std::shared_ptr<ListenRun>> toStop;  // mode 2
};

// Closes the trace of every run given; the first non-zero status, or 0.
// A run not yet opened closes its trace itself when it sees the stop flag.
ULONG CloseRuns(const std::vector<std::shared_ptr<ListenRun>>& runs) {
    ULONG first = ERROR_SUCCESS;
    for (const auto& run : runs) {
        TRACEHANDLE h;
        {
            std::lock_guard<std::mutex> lock(g_runLock);
            run->stop = true;
            h = run->hTrace;
            run->hTrace = 0;
        }
        if (h == 0) continue;
        ULONG status = CloseTrace(h);
        // A close while ProcessTrace runs is pending by nature: the run ends.
        if (status != ERROR_SUCCESS && status != ERROR_CTX_CLOSE_PENDING && first == ERROR_SUCCESS) first = status;
    }
    return first;
}

}  // namespace

// Listens on the calling thread for one run (RealtimeEventSink's work).
static void ListenOn(_EVT_LISTENER_CONFIG& config, int bConsumer, const std::shared_ptr<ListenRun>& run) {
    try {
        char loggerName[] = EVT_SESSION_NAME;
        EVENT_TRACE_LOGFILEA logfile;
        memset(&logfile, 0, sizeof logfile);
        logfile.LoggerName = loggerName;
        logfile.ProcessTraceMode = EVENT_TRACE_REAL_TIME_MODE;
        logfile.EventCallback = bConsumer ? g_consumerSink.load() : config.pfnEventCallback;
        if (logfile.EventCallback == nullptr) throw _evt_error(EVT_E_INVALIDARG, 0);

        TRACEHANDLE trace = OpenTraceA(&logfile);
        const DWORD openStatus = trace == INVALID_PROCESSTRACE_HANDLE ? GetLastError() : ERROR_SUCCESS;
        bool stopped;
        {
            std::lock_guard<std::mutex> lock(g_runLock);
            stopped = run->stop;
            if (trace != INVALID_PROCESSTRACE_HANDLE) run->hTrace = trace;
            if (run->owner != nullptr) run->owner->m_hTrace = trace;
        }
        ULONG status = ERROR_SUCCESS;
        if (trace == INVALID_PROCESSTRACE_HANDLE) {
            status = openStatus != ERROR_SUCCESS ? openStatus : ERROR_INVALID_HANDLE;
        } else if (!stopped) {
            status = ProcessTrace(&trace, 1, nullptr, nullptr);
        }
        if (status != ERROR_SUCCESS) {
            // Read by other threads (GetEvTraceListenerStatus) without a lock.
            if (status == ERROR_ACCESS_DENIED) {
                std::atomic_ref<int>(CEvTraceListener::m_bEvTraceListenerAccessDenied).store(1);
            }
            throw _evt_error(EVT_E_ETWFAILED, status);
        }
    } catch (_evt_error& error) {
        error.source(kSinkSource);
        dump_evterror(error);
    } catch (...) {
    }

    TRACEHANDLE trace;
    {
        std::lock_guard<std::mutex> lock(g_runLock);
        trace = run->hTrace;
        run->hTrace = 0;
    }
    if (trace != 0) CloseTrace(trace);
    {
        std::lock_guard<std::mutex> lock(g_runLock);
        if (run->owner != nullptr && run->config != nullptr) {
            _EVT_LISTENER_CONFIG& owned = *run->config;
            if (owned.hDoneEvent != nullptr) SetEvent(owned.hDoneEvent);
            // While the starter still waits on the started event, it closes
            // the event itself.
            if (owned.hStartedEvent != nullptr && !run->starterWaiting) {
                CloseHandle(owned.hStartedEvent);
                owned.hStartedEvent = nullptr;
            }
        }
        run->ended = true;
        SetEvent(run->hEnded);
    }
}

// A stop thread touches no configuration: its caller does not wait for it,
// and the configuration may be gone by the time it runs.
static DWORD WINAPI ListenerThreadProc(LPVOID parameter) {
    std::unique_ptr<ThreadStart> start(static_cast<ThreadStart*>(parameter));
    try {
        if (start == nullptr) throw _evt_error(EVT_E_INVALIDARG, 0);
        if (start->mode == EVT_LISTENER_MODE_LISTEN) {
            if (start->config == nullptr || start->config->pListener == nullptr) throw _evt_error(EVT_E_INVALIDARG, 0);
            if (start->config->hStartedEvent != nullptr) SetEvent(start->config->hStartedEvent);
            ListenOn(*start->config, 1, start->run);
        } else if (start->mode == EVT_LISTENER_MODE_STOP) {
            ULONG status = CloseRuns(start->toStop);
            if (status != ERROR_SUCCESS) throw _evt_error(EVT_E_ETWFAILED, status);
        }
    } catch (_evt_error& error) {
        error.source(kThreadSource);
        dump_evterror(error);
    } catch (...) {
    }
    return 0;
}

CEvTraceListener::CEvTraceListener() : m_qwReserved(0), m_hTrace(0), m_pListenState(new ListenState) {}

CEvTraceListener::CEvTraceListener(const CEvTraceListener& other)
    : CEvTrace(other),
      m_qwReserved(other.m_qwReserved),
      m_hTrace(other.m_hTrace),
      m_controller(other.m_controller),
      m_pListenState(new ListenState) {}

CEvTraceListener& CEvTraceListener::operator=(const CEvTraceListener& other) {
    if (this != &other) {
        CEvTrace::operator=(other);
        m_qwReserved = other.m_qwReserved;
        m_hTrace = other.m_hTrace;
        m_controller = other.m_controller;
    }
    return *this;
}

CEvTraceListener::~CEvTraceListener() {
    StopListening();
    delete m_pListenState;
}

void CEvTraceListener::StopListening() {
    std::vector<std::shared_ptr<ListenRun>> runs;
    {
        std::lock_guard<std::mutex> lock(g_runLock);
        runs = m_pListenState->runs;
    }
    CloseRuns(runs);
    const DWORD self = GetCurrentThreadId();
    for (const auto& run : runs) {
        DWORD threadId;
        HANDLE thread;
        {
            std::lock_guard<std::mutex> lock(g_runLock);
            threadId = run->threadId;
            thread = run->hThread;
        }
        // The run on this thread (a callback destroying its receiver) ends
        // when the callback returns; it is detached below.
        if (threadId == self) continue;
        WaitForSingleObject(run->hEnded, INFINITE);
        if (thread != nullptr) WaitForSingleObject(thread, INFINITE);
    }
    std::lock_guard<std::mutex> lock(g_runLock);
    for (const auto& run : runs) {
        run->owner = nullptr;
        run->config = nullptr;
    }
    auto& list = m_pListenState->runs;
    list.erase(std::remove_if(list.begin(), list.end(),
                              [&](const auto& run) { return std::find(runs.begin(), runs.end(), run) != runs.end(); }),
               list.end());
}

bool CEvTraceListener::IsListening() const {
    std::lock_guard<std::mutex> lock(g_runLock);
    for (const auto& run : m_pListenState->runs) {
        if (!run->ended) return true;
    }
    return false;
}

// Makes a run of this listener and lists it. Runs that have ended are
// dropped from the list here: their threads no longer touch the listener.
static std::shared_ptr<ListenRun> NewRun(CEvTraceListener* owner, _EVT_LISTENER_CONFIG* config,
                                         std::vector<std::shared_ptr<ListenRun>>& runs) {
    auto run = std::make_shared<ListenRun>();
    run->hEnded = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    if (run->hEnded == nullptr) throw _evt_error(EVT_E_OUTOFMEMORY, GetLastError());
    run->owner = owner;
    run->config = config;
    std::lock_guard<std::mutex> lock(g_runLock);
    runs.erase(std::remove_if(runs.begin(), runs.end(), [](const auto& r) { return r->ended; }), runs.end());
    runs.push_back(run);
    return run;
}

LONG CEvTraceListener::ConfigureListener(_EVT_LISTENER_CONFIG& config, int bAsync) {
    config.pListener = this;
    try {
        const DWORD mode = config.dwMode;
        if (!bAsync) {
            if (mode == EVT_LISTENER_MODE_LISTEN) {
                RealtimeEventSink(config, 0);
            } else {
                std::vector<std::shared_ptr<ListenRun>> runs;
                {
                    std::lock_guard<std::mutex> lock(g_runLock);
                    runs = m_pListenState->runs;
                }
                // With nothing listening the latest trace handle is closed,
                // which fails harmlessly when it is stale.
                if (runs.empty()) {
                    CloseTrace(m_hTrace);
                } else {
                    CloseRuns(runs);
                }
            }
            return S_OK;
        }

        auto start = std::make_unique<ThreadStart>();
        start->listener = this;
        start->mode = mode;
        if (mode == EVT_LISTENER_MODE_LISTEN) start->config = &config;
        HANDLE started = nullptr;
        if (mode == EVT_LISTENER_MODE_LISTEN) {
            start->run = NewRun(this, &config, m_pListenState->runs);
            started = config.hStartedEvent;
            std::lock_guard<std::mutex> lock(g_runLock);
            start->run->starterWaiting = started != nullptr;
        } else if (mode == EVT_LISTENER_MODE_STOP) {
            std::lock_guard<std::mutex> lock(g_runLock);
            start->toStop = m_pListenState->runs;
        }
        std::shared_ptr<ListenRun> run = start->run;
        DWORD threadId = 0;
        HANDLE thread = CreateThread(nullptr, 0, &ListenerThreadProc, start.get(), CREATE_SUSPENDED, &threadId);
        if (thread == nullptr) {
            if (run != nullptr) {
                std::lock_guard<std::mutex> lock(g_runLock);
                run->ended = true;
                run->starterWaiting = false;
                SetEvent(run->hEnded);
            }
            throw _evt_error(EVT_E_OUTOFMEMORY, GetLastError());
        }
        start.release();
        if (run != nullptr) {
            std::lock_guard<std::mutex> lock(g_runLock);
            run->threadId = threadId;
            run->hThread = thread;
        }
        ResumeThread(thread);
        if (run == nullptr) {
            CloseHandle(thread);
            return S_OK;
        }
        if (mode == EVT_LISTENER_MODE_LISTEN) {
            if (started != nullptr) {
                WaitForSingleObject(started, kStartedWaitMs);
                std::lock_guard<std::mutex> lock(g_runLock);
                run->starterWaiting = false;
                if (run->ended && config.hStartedEvent == started) {
                    CloseHandle(started);
                    config.hStartedEvent = nullptr;
                }
            }
            Sleep(kAttachSleepMs);
        }
    } catch (_evt_error& error) {
        error.source(kThreadSource);
        dump_evterror(error);
    } catch (...) {
    }
    return S_OK;
}

void CEvTraceListener::RealtimeEventSink(_EVT_LISTENER_CONFIG& config, int bConsumer) {
    std::shared_ptr<ListenRun> run;
    try {
        run = NewRun(this, &config, m_pListenState->runs);
    } catch (_evt_error& error) {
        error.source(kSinkSource);
        dump_evterror(error);
        return;
    } catch (...) {
        return;
    }
    {
        std::lock_guard<std::mutex> lock(g_runLock);
        run->threadId = GetCurrentThreadId();
    }
    ListenOn(config, bConsumer, run);
}
