#pragma once
// Threads.
//
// A CThread runs one procedure on a new OS thread and keeps its exit code.
// Destroying a CThread whose thread still runs detaches it (the thread keeps
// running); call Wait first where the thread uses objects that go away.

#include <cstdint>
#include <functional>
#include <memory>

#include "platform/Types.h"

class CThread
{
public:
    using Procedure = std::function<std::uint32_t()>;

    CThread();
    ~CThread();
    CThread(const CThread&) = delete;
    CThread& operator=(const CThread&) = delete;

    // Starts the thread at once; false when it could not be created.
    bool Start(Procedure procedure);

    bool IsValid() const;
    bool IsRunning() const;

    // Waits for the thread to end; true when it has ended.
    bool Wait(std::uint32_t timeoutMs);

    // The exit code once the thread ended; false while it runs or when none was started.
    bool GetExitCode(std::uint32_t* exitCode) const;

    // OS identifier of the thread (0 when none).
    std::uint32_t GetId() const;

    // Releases the handle; a running thread is detached.
    void Close();

    // Identifier of the calling thread.
    static std::uint32_t CurrentId();

    struct Impl;

private:
    std::unique_ptr<Impl> m_impl;
};
