#include "platform/DynamicLibrary.h"

#include <dlfcn.h>

CDynamicLibrary::~CDynamicLibrary()
{
    Close();
}

bool CDynamicLibrary::Open(const std::string& name)
{
    Close();
    m_handle = dlopen(name.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (m_handle == nullptr)
    {
        const char* text = dlerror();
        m_error = text != nullptr ? text : "dlopen failed";
        return false;
    }
    m_owned = true;
    m_error.clear();
    return true;
}

bool CDynamicLibrary::OpenLoaded(const std::string& name)
{
    Close();
    m_handle = dlopen(name.c_str(), RTLD_NOW | RTLD_NOLOAD);
    if (m_handle == nullptr)
    {
        const char* text = dlerror();
        m_error = text != nullptr ? text : "not loaded";
        return false;
    }
    m_owned = true; // RTLD_NOLOAD took a reference too
    m_error.clear();
    return true;
}

void CDynamicLibrary::Close()
{
    if (m_handle != nullptr && m_owned)
        dlclose(m_handle);
    m_handle = nullptr;
    m_owned = false;
}

void* CDynamicLibrary::Symbol(const char* name) const
{
    if (m_handle == nullptr || name == nullptr)
        return nullptr;
    return dlsym(m_handle, name);
}
