// Events on POSIX: one process-wide mutex guards every event's state; each
// waiting thread has its own condition variable, registered with the events
// it waits for, so WaitAny works across events and Set wakes only waiters.
#include "platform/Sync.h"

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <vector>

#include "platform/Clock.h"

namespace
{
std::mutex& EventsMutex()
{
    static std::mutex mutex;
    return mutex;
}

struct SWaiter
{
    std::condition_variable cv;
};
} // namespace

struct CEvent::Impl
{
    bool manualReset = false;
    bool signalled = false;
    std::vector<SWaiter*> waiters;
};

CEvent::CEvent() = default;
CEvent::~CEvent()
{
    Close();
}

bool CEvent::Create(bool manualReset, bool initiallySignalled)
{
    Close();
    auto impl = std::make_unique<Impl>();
    impl->manualReset = manualReset;
    impl->signalled = initiallySignalled;
    std::lock_guard<std::mutex> lock(EventsMutex());
    m_impl = std::move(impl);
    return true;
}

bool CEvent::IsValid() const
{
    return m_impl != nullptr;
}

void CEvent::Close()
{
    std::unique_ptr<Impl> old;
    {
        std::lock_guard<std::mutex> lock(EventsMutex());
        old = std::move(m_impl);
    }
}

bool CEvent::Set()
{
    std::lock_guard<std::mutex> lock(EventsMutex());
    if (!m_impl)
        return false;
    m_impl->signalled = true;
    for (SWaiter* waiter : m_impl->waiters)
        waiter->cv.notify_one();
    return true;
}

bool CEvent::Reset()
{
    std::lock_guard<std::mutex> lock(EventsMutex());
    if (!m_impl)
        return false;
    m_impl->signalled = false;
    return true;
}

EWaitResult CEvent::Wait(std::uint32_t timeoutMs) const
{
    const CEvent* self = this;
    const int r = WaitAny(&self, 1, timeoutMs);
    if (r == 0)
        return EWaitResult::Signalled;
    return r == -1 ? EWaitResult::Timeout : EWaitResult::Failed;
}

int CEvent::WaitAny(const CEvent* const* events, std::size_t count, std::uint32_t timeoutMs)
{
    if (events == nullptr || count == 0 || count > 64)
        return -2;
    const bool infinite = timeoutMs == kInfinite;
    const auto deadline =
        std::chrono::steady_clock::now() + std::chrono::microseconds(infinite ? 0 : CClock::ToRealMicroseconds(timeoutMs));

    std::unique_lock<std::mutex> lock(EventsMutex());
    SWaiter waiter;
    for (;;)
    {
        for (std::size_t i = 0; i < count; ++i)
        {
            if (events[i] == nullptr || !events[i]->m_impl)
                return -2;
            Impl& e = *events[i]->m_impl;
            if (e.signalled)
            {
                if (!e.manualReset)
                    e.signalled = false;
                return static_cast<int>(i);
            }
        }
        if (!infinite && std::chrono::steady_clock::now() >= deadline)
            return -1;

        for (std::size_t i = 0; i < count; ++i)
            events[i]->m_impl->waiters.push_back(&waiter);
        if (infinite)
            waiter.cv.wait(lock);
        else
            waiter.cv.wait_until(lock, deadline);
        for (std::size_t i = 0; i < count; ++i)
        {
            if (!events[i]->m_impl)
                continue;
            auto& list = events[i]->m_impl->waiters;
            list.erase(std::remove(list.begin(), list.end(), &waiter), list.end());
        }
    }
}

struct CMutex::Impl
{
    std::mutex mutex;
};

CMutex::CMutex() : m_impl(std::make_unique<Impl>())
{
}
CMutex::~CMutex() = default;

void CMutex::Lock()
{
    m_impl->mutex.lock();
}

bool CMutex::TryLock()
{
    return m_impl->mutex.try_lock();
}

void CMutex::Unlock()
{
    m_impl->mutex.unlock();
}
