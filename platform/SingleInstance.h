#pragma once
// A system-wide named lock: the first process that creates it holds it until
// it closes it or ends (also when it crashes). Windows: a named mutex.
// Linux: an abstract-namespace socket bound to the same name.

#include <cstdint>
#include <memory>
#include <string>

class CSingleInstanceLock
{
public:
    enum class EResult
    {
        Created,       // this process holds the lock now
        AlreadyExists, // another holder exists (Windows error 183)
        Failed,        // the lock could not be created for another reason
    };

    CSingleInstanceLock();
    ~CSingleInstanceLock();
    CSingleInstanceLock(const CSingleInstanceLock&) = delete;
    CSingleInstanceLock& operator=(const CSingleInstanceLock&) = delete;

    EResult Create(const std::string& name);
    // The system error number right after the creation (183 for AlreadyExists).
    std::uint32_t GetCreateError() const { return m_createError; }
    bool IsHeld() const;
    void Close();

    struct Impl;

private:
    std::unique_ptr<Impl> m_impl;
    std::uint32_t m_createError = 0;
};
