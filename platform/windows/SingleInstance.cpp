#include "platform/SingleInstance.h"

#include <windows.h>

struct CSingleInstanceLock::Impl
{
    HANDLE mutex = nullptr;
};

CSingleInstanceLock::CSingleInstanceLock() = default;

CSingleInstanceLock::~CSingleInstanceLock()
{
    Close();
}

CSingleInstanceLock::EResult CSingleInstanceLock::Create(const std::string& name)
{
    Close();
    HANDLE h = CreateMutexA(nullptr, FALSE, name.c_str());
    m_createError = GetLastError();
    if (h == nullptr)
        return EResult::Failed;
    m_impl = std::make_unique<Impl>();
    m_impl->mutex = h;
    return m_createError == ERROR_ALREADY_EXISTS ? EResult::AlreadyExists : EResult::Created;
}

bool CSingleInstanceLock::IsHeld() const
{
    return m_impl != nullptr && m_createError != ERROR_ALREADY_EXISTS;
}

void CSingleInstanceLock::Close()
{
    if (m_impl)
    {
        CloseHandle(m_impl->mutex);
        m_impl.reset();
    }
}
