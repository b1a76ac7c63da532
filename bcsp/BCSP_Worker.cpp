#include "bcsp/BCSP_Worker.h"

#include "app/DiagnosticLog.h"

HResult CBCSP_Worker::Start(int workEvents, const char* failureLine, WorkStep step)
{
    if (m_stopped.load() != 1)
        return HR_OK;
    m_workEvents = workEvents < 1 ? 1 : (workEvents > 2 ? 2 : workEvents);
    bool created = m_stop.Create(true, false) && m_exited.Create(true, false);
    for (int i = 0; i < m_workEvents; ++i)
        created = created && m_work[i].Create(false, false);
    if (!created)
        return HR_FAIL;

    const bool started = m_thread.Start([this, step]() -> std::uint32_t {
        const CEvent* handles[3] = {&m_stop, &m_work[0], &m_work[1]};
        const std::size_t count = 1 + static_cast<std::size_t>(m_workEvents);
        for (;;)
        {
            const int which = CEvent::WaitAny(handles, count, kInfinite);
            if (which <= 0)
                break;
            step(which - 1);
        }
        m_exited.Set();
        return 0;
    });
    if (!started)
    {
        LogPrintf("%s", failureLine);
        return HR_FAIL;
    }
    m_stopped.store(0);
    return HR_OK;
}

void CBCSP_Worker::Stop()
{
    if (m_thread.IsValid())
    {
        if (m_thread.IsRunning())
        {
            m_stop.Set();
            m_exited.Wait(kInfinite);
        }
        m_thread.Wait(kInfinite);
    }
    m_stopped.store(1);
    m_thread.Close();
    m_stop.Close();
    m_exited.Close();
    m_work[0].Close();
    m_work[1].Close();
}

void CBCSP_Worker::Signal(int index)
{
    if (index >= 0 && index < m_workEvents)
        m_work[index].Set();
}
