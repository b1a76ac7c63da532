#include "platform/DynamicLibrary.h"

#include <windows.h>

#include <cstdio>

namespace
{
std::string LastErrorText(const char* what)
{
    char text[64];
    std::snprintf(text, sizeof(text), "%s failed, error %lu", what, static_cast<unsigned long>(GetLastError()));
    return text;
}
} // namespace

CDynamicLibrary::~CDynamicLibrary()
{
    Close();
}

bool CDynamicLibrary::Open(const std::string& name)
{
    Close();
    // No "missing DLL" box from the system: a missing library is an answer.
    const UINT previous = SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOOPENFILEERRORBOX);
    HMODULE module = LoadLibraryA(name.c_str());
    SetErrorMode(previous);
    if (module == nullptr)
    {
        m_error = LastErrorText("LoadLibrary");
        return false;
    }
    m_handle = reinterpret_cast<void*>(module);
    m_owned = true;
    m_error.clear();
    return true;
}

bool CDynamicLibrary::OpenLoaded(const std::string& name)
{
    Close();
    HMODULE module = GetModuleHandleA(name.c_str());
    if (module == nullptr)
    {
        m_error = LastErrorText("GetModuleHandle");
        return false;
    }
    m_handle = reinterpret_cast<void*>(module);
    m_owned = false;
    m_error.clear();
    return true;
}

void CDynamicLibrary::Close()
{
    if (m_handle != nullptr && m_owned)
        FreeLibrary(reinterpret_cast<HMODULE>(m_handle));
    m_handle = nullptr;
    m_owned = false;
}

void* CDynamicLibrary::Symbol(const char* name) const
{
    if (m_handle == nullptr || name == nullptr)
        return nullptr;
    return reinterpret_cast<void*>(GetProcAddress(reinterpret_cast<HMODULE>(m_handle), name));
}
