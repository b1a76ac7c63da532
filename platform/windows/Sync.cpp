#include "platform/Sync.h"

#include <windows.h>

#include "platform/Clock.h"

struct CEvent::Impl
{
    HANDLE handle = nullptr;
};

CEvent::CEvent() = default;

CEvent::~CEvent()
{
    Close();
}

bool CEvent::Create(bool manualReset, bool initiallySignalled)
{
    Close();
    HANDLE h = CreateEventW(nullptr, manualReset ? TRUE : FALSE, initiallySignalled ? TRUE : FALSE, nullptr);
    if (h == nullptr)
        return false;
    m_impl = std::make_unique<Impl>();
    m_impl->handle = h;
    return true;
}

bool CEvent::IsValid() const
{
    return m_impl != nullptr;
}

void CEvent::Close()
{
    if (m_impl)
    {
        CloseHandle(m_impl->handle);
        m_impl.reset();
    }
}

bool CEvent::Set()
{
    return m_impl && SetEvent(m_impl->handle) != FALSE;
}

bool CEvent::Reset()
{
    return m_impl && ResetEvent(m_impl->handle) != FALSE;
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
    if (events == nullptr || count == 0 || count > MAXIMUM_WAIT_OBJECTS)
        return -2;
    HANDLE handles[MAXIMUM_WAIT_OBJECTS];
    for (std::size_t i = 0; i < count; ++i)
    {
        if (events[i] == nullptr || !events[i]->m_impl)
            return -2;
        handles[i] = events[i]->m_impl->handle;
    }
    const DWORD r = WaitForMultipleObjects(static_cast<DWORD>(count), handles, FALSE, CClock::ToRealMilliseconds(timeoutMs));
    if (r < WAIT_OBJECT_0 + count)
        return static_cast<int>(r - WAIT_OBJECT_0);
    return r == WAIT_TIMEOUT ? -1 : -2;
}

struct CMutex::Impl
{
    CRITICAL_SECTION section;
};

CMutex::CMutex() : m_impl(std::make_unique<Impl>())
{
    InitializeCriticalSection(&m_impl->section);
}

CMutex::~CMutex()
{
    DeleteCriticalSection(&m_impl->section);
}

void CMutex::Lock()
{
    EnterCriticalSection(&m_impl->section);
}

bool CMutex::TryLock()
{
    return TryEnterCriticalSection(&m_impl->section) != FALSE;
}

void CMutex::Unlock()
{
    LeaveCriticalSection(&m_impl->section);
}
