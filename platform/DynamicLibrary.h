#pragma once
// Libraries loaded at run time by name (an adapter's library, a runtime that
// the calling process already carries).
//
// Contract:
// - Open(name) loads a library by its file name through the system's normal
//   search (Linux: the dynamic loader's rules, so LD_LIBRARY_PATH applies;
//   Windows: LoadLibrary's rules, so the program's folder and PATH apply).
//   It fails (false, the library stays closed) when the library is missing
//   or cannot be loaded; it never ends the process.
// - OpenLoaded(name) binds to a library that is already loaded in the process
//   and never loads anything (Linux: dlopen with RTLD_NOLOAD; Windows:
//   GetModuleHandle, where a name without extension means ".dll").
// - Symbol(name) gives the address of an exported function or object, or
//   nullptr when the library lacks it or is not open.
// - The destructor (and Close) releases what Open took; a library bound with
//   OpenLoaded is released as far as the bind took a reference (Linux) and is
//   never unloaded by Windows on our behalf.
// - Threads: one object per thread; different objects may be used at once.

#include <string>

class CDynamicLibrary
{
public:
    CDynamicLibrary() = default;
    ~CDynamicLibrary();
    CDynamicLibrary(const CDynamicLibrary&) = delete;
    CDynamicLibrary& operator=(const CDynamicLibrary&) = delete;

    bool Open(const std::string& name);
    bool OpenLoaded(const std::string& name);
    void Close();
    bool IsOpen() const { return m_handle != nullptr; }
    void* Symbol(const char* name) const;

    // The system's text for the last failure of Open or OpenLoaded ("" when none).
    const std::string& LastError() const { return m_error; }

private:
    void* m_handle = nullptr;
    bool m_owned = false;
    std::string m_error;
};
