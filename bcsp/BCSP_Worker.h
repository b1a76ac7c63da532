#pragma once
// The worker-thread record shared by the queueing layers: a stop event
// (manual reset), one or two work events (auto reset), an exited event
// (manual reset) and a stopped flag (1 until the thread runs).

#include <atomic>
#include <cstdint>
#include <functional>

#include "platform/Sync.h"
#include "platform/Thread.h"
#include "platform/Types.h"

class CBCSP_Worker
{
public:
    using WorkStep = std::function<void(int workIndex)>;

    CBCSP_Worker() = default;
    ~CBCSP_Worker() { Stop(); }
    CBCSP_Worker(const CBCSP_Worker&) = delete;
    CBCSP_Worker& operator=(const CBCSP_Worker&) = delete;

    // Creates the events and starts the thread (nothing when it already
    // runs). When the thread cannot be created, writes failureLine to the log
    // and returns 0x80004005.
    HResult Start(int workEvents, const char* failureLine, WorkStep step);

    // Sets the stop event, waits for the thread to leave and closes the handles.
    void Stop();

    bool IsStopped() const { return m_stopped.load() != 0; }

    // Wakes the worker for work event index (0 or 1).
    void Signal(int index);

    // The stop event, for steps that wait inside the thread.
    const CEvent& StopEvent() const { return m_stop; }

private:
    CThread m_thread;
    CEvent m_stop;
    CEvent m_work[2];
    CEvent m_exited;
    int m_workEvents = 0;
    std::atomic<std::uint8_t> m_stopped{1};
};
