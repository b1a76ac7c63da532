#pragma once
// Events and mutexes.
//
// CEvent behaves as a Win32 event: manual-reset events stay signalled until
// Reset; auto-reset events release exactly one waiter and reset themselves.
// Waits take product milliseconds (scaled by CClock); kInfinite waits forever.
// Every operation may be called from any thread. Closing an event while
// another thread waits on it is a caller error.

#include <cstddef>
#include <cstdint>
#include <memory>

#include "platform/Types.h"

enum class EWaitResult
{
    Signalled,
    Timeout,
    Failed,
};

class CEvent
{
public:
    CEvent();
    ~CEvent();
    CEvent(const CEvent&) = delete;
    CEvent& operator=(const CEvent&) = delete;

    // Creates the event; false when the OS refuses. Re-creating closes the old one.
    bool Create(bool manualReset, bool initiallySignalled);
    bool IsValid() const;
    void Close();

    bool Set();
    bool Reset();

    EWaitResult Wait(std::uint32_t timeoutMs) const;

    // Waits until one of the events is signalled. Returns its index, or -1 on
    // time-out, or -2 when the wait failed (invalid event, more than 64 events).
    static int WaitAny(const CEvent* const* events, std::size_t count, std::uint32_t timeoutMs);

    struct Impl;

private:
    std::unique_ptr<Impl> m_impl;
};

// A non-recursive mutex.
class CMutex
{
public:
    CMutex();
    ~CMutex();
    CMutex(const CMutex&) = delete;
    CMutex& operator=(const CMutex&) = delete;

    void Lock();
    bool TryLock();
    void Unlock();

    struct Impl;

private:
    std::unique_ptr<Impl> m_impl;
};

class CMutexLock
{
public:
    explicit CMutexLock(CMutex& mutex) : m_mutex(mutex) { m_mutex.Lock(); }
    ~CMutexLock() { m_mutex.Unlock(); }
    CMutexLock(const CMutexLock&) = delete;
    CMutexLock& operator=(const CMutexLock&) = delete;

private:
    CMutex& m_mutex;
};
