// A data queue fed from the session by a listener pumping on a thread of
// its own, as the event engine's is. One per process at a time: the
// listener's callback has no context, so the queue is found through a
// static.
#pragma once

#include <TraceApi.h>
#include <string.h>

#include <thread>

namespace consumer_test {

class ListeningQueue {
public:
    explicit ListeningQueue(CEvDataQueue* queue) {
        s_queue = queue;
        memset(&m_config, 0, sizeof m_config);
        m_config.dwMode = EVT_LISTENER_MODE_LISTEN;
        m_config.pfnEventCallback = &Sink;
        m_pump = std::thread([this] { m_listener.ConfigureListener(m_config, 0); });
    }
    ~ListeningQueue() {
        _EVT_LISTENER_CONFIG stop = m_config;
        stop.dwMode = EVT_LISTENER_MODE_STOP;
        m_listener.ConfigureListener(stop, 0);
        m_pump.join();
        s_queue = nullptr;
    }
    ListeningQueue(const ListeningQueue&) = delete;
    ListeningQueue& operator=(const ListeningQueue&) = delete;

private:
    static void WINAPI Sink(PEVENT_TRACE event) { s_queue->AddEvent(event); }

    static inline CEvDataQueue* s_queue = nullptr;
    CEvTraceListener m_listener;
    _EVT_LISTENER_CONFIG m_config;
    std::thread m_pump;
};

}  // namespace consumer_test
