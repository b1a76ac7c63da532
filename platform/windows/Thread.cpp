#include "platform/Thread.h"

#include <windows.h>

#include "platform/Clock.h"

namespace
{
DWORD WINAPI ThreadEntry(LPVOID arg)
{
    auto* procedure = static_cast<CThread::Procedure*>(arg);
    const std::uint32_t code = (*procedure)();
    delete procedure;
    return code;
}
} // namespace

struct CThread::Impl
{
    HANDLE handle = nullptr;
    DWORD id = 0;
};

CThread::CThread() = default;

CThread::~CThread()
{
    Close();
}

bool CThread::Start(Procedure procedure)
{
    Close();
    auto* heapProcedure = new Procedure(std::move(procedure));
    DWORD id = 0;
    HANDLE h = CreateThread(nullptr, 0, ThreadEntry, heapProcedure, 0, &id);
    if (h == nullptr)
    {
        delete heapProcedure;
        return false;
    }
    m_impl = std::make_unique<Impl>();
    m_impl->handle = h;
    m_impl->id = id;
    return true;
}

bool CThread::IsValid() const
{
    return m_impl != nullptr;
}

bool CThread::IsRunning() const
{
    return m_impl && WaitForSingleObject(m_impl->handle, 0) == WAIT_TIMEOUT;
}

bool CThread::Wait(std::uint32_t timeoutMs)
{
    if (!m_impl)
        return true;
    return WaitForSingleObject(m_impl->handle, CClock::ToRealMilliseconds(timeoutMs)) == WAIT_OBJECT_0;
}

bool CThread::GetExitCode(std::uint32_t* exitCode) const
{
    if (!m_impl || exitCode == nullptr || IsRunning())
        return false;
    DWORD code = 0;
    if (!GetExitCodeThread(m_impl->handle, &code))
        return false;
    *exitCode = code;
    return true;
}

std::uint32_t CThread::GetId() const
{
    return m_impl ? m_impl->id : 0;
}

void CThread::Close()
{
    if (m_impl)
    {
        CloseHandle(m_impl->handle);
        m_impl.reset();
    }
}

std::uint32_t CThread::CurrentId()
{
    return GetCurrentThreadId();
}
