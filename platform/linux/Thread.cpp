#include "platform/Thread.h"

#include <pthread.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>

#include "platform/Sync.h"

namespace
{
// What the new thread and its owner share; freed by whichever lets go last.
struct SThreadState
{
    CThread::Procedure procedure;
    CEvent started;
    CEvent ended;
    std::atomic<std::uint32_t> exitCode{0};
    std::atomic<std::uint32_t> tid{0};
    std::atomic<int> refs{2};

    void Release()
    {
        if (refs.fetch_sub(1) == 1)
            delete this;
    }
};

void* ThreadEntry(void* arg)
{
    auto* state = static_cast<SThreadState*>(arg);
    state->tid.store(static_cast<std::uint32_t>(syscall(SYS_gettid)));
    state->started.Set();
    const std::uint32_t code = state->procedure();
    state->procedure = nullptr;
    state->exitCode.store(code);
    state->ended.Set();
    state->Release();
    return nullptr;
}
} // namespace

struct CThread::Impl
{
    pthread_t thread{};
    SThreadState* state = nullptr;
    bool joined = false;
};

CThread::CThread() = default;

CThread::~CThread()
{
    Close();
}

bool CThread::Start(Procedure procedure)
{
    Close();
    auto* state = new SThreadState;
    state->procedure = std::move(procedure);
    state->started.Create(true, false);
    state->ended.Create(true, false);
    auto impl = std::make_unique<Impl>();
    impl->state = state;
    if (pthread_create(&impl->thread, nullptr, ThreadEntry, state) != 0)
    {
        delete state;
        return false;
    }
    // The thread's identifier is known from the moment Start returns.
    state->started.Wait(kInfinite);
    m_impl = std::move(impl);
    return true;
}

bool CThread::IsValid() const
{
    return m_impl != nullptr;
}

bool CThread::IsRunning() const
{
    return m_impl && m_impl->state->ended.Wait(0) != EWaitResult::Signalled;
}

bool CThread::Wait(std::uint32_t timeoutMs)
{
    if (!m_impl)
        return true;
    if (m_impl->state->ended.Wait(timeoutMs) != EWaitResult::Signalled)
        return false;
    if (!m_impl->joined)
    {
        pthread_join(m_impl->thread, nullptr);
        m_impl->joined = true;
    }
    return true;
}

bool CThread::GetExitCode(std::uint32_t* exitCode) const
{
    if (!m_impl || exitCode == nullptr || IsRunning())
        return false;
    *exitCode = m_impl->state->exitCode.load();
    return true;
}

std::uint32_t CThread::GetId() const
{
    return m_impl ? m_impl->state->tid.load() : 0;
}

void CThread::Close()
{
    if (!m_impl)
        return;
    if (!m_impl->joined)
    {
        if (m_impl->state->ended.Wait(0) == EWaitResult::Signalled)
            pthread_join(m_impl->thread, nullptr);
        else
            pthread_detach(m_impl->thread);
    }
    m_impl->state->Release();
    m_impl.reset();
}

std::uint32_t CThread::CurrentId()
{
    return static_cast<std::uint32_t>(syscall(SYS_gettid));
}
