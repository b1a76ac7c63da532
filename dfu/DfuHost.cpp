#include "dfu/DfuHost.h"

#include <algorithm>

#include "app/DiagnosticLog.h"
#include "platform/Clock.h"

HResult DfuIoToHResult(EDfuIo io)
{
    switch (io)
    {
    case EDfuIo::Ok: return HR_OK;
    case EDfuIo::NoDevice: return HR_DFU_NO_DEVICE;
    case EDfuIo::Stall: return HR_DFU_PROTOCOL;
    case EDfuIo::Timeout: return HR_DFU_TIMEOUT;
    case EDfuIo::Access: return HR_DFU_ACCESS;
    case EDfuIo::InvalidArg: return HR_INVALIDARG;
    case EDfuIo::Io: break;
    }
    return HR_FAIL;
}

namespace
{
// Bounds how long a device may keep saying "busy": by the poll time it asked
// for and by the number of polls, not by wall time, so slow hosts (or
// sanitizer builds) are not mistaken for stuck devices. Every request has its
// own time-out, so the whole wait stays bounded.
class CBusyBudget
{
public:
    bool Exhausted() const { return m_waitedMs > CDfuHost::kMaxBusyMs || m_polls > CDfuHost::kMaxPolls; }
    void Spend(std::uint32_t pollMs)
    {
        m_waitedMs += std::min(pollMs, CDfuHost::kMaxPollMs);
        ++m_polls;
    }

private:
    std::uint64_t m_waitedMs = 0;
    int m_polls = 0;
};
} // namespace

CDfuHost::CDfuHost(IDfuTransport& transport) : m_transport(transport)
{
}

HResult CDfuHost::Io(EDfuIo io)
{
    m_lastIo = io;
    return DfuIoToHResult(io);
}

HResult CDfuHost::Open(const std::wstring& name)
{
    Close();
    const HResult hr = Io(m_transport.Open(name));
    if (IsFailure(hr))
        return hr;
    m_open = true;
    m_nextBlock = 0;
    const HResult info = ReadDeviceInfo();
    if (IsFailure(info))
        Close();
    return info;
}

void CDfuHost::Close()
{
    if (m_open)
        m_transport.Close();
    m_open = false;
}

HResult CDfuHost::ReadDeviceInfo()
{
    HResult hr = Io(m_transport.GetIdentity(&m_identity));
    if (IsFailure(hr))
        return hr;
    std::vector<std::uint8_t> raw;
    hr = Io(m_transport.GetFunctionalDescriptor(raw));
    if (IsFailure(hr))
        return hr;
    if (!ParseDfuFunctionalDescriptor(raw.data(), raw.size(), &m_descriptor))
    {
        LogPrintf("DFUEngine - bad DFU functional descriptor (%u bytes)\n", static_cast<unsigned>(raw.size()));
        return HR_DFU_PROTOCOL;
    }
    return HR_OK;
}

HResult CDfuHost::GetStatus(SDfuStatus* status)
{
    std::uint8_t reply[kDfuStatusLength] = {};
    std::size_t got = 0;
    const HResult hr =
        Io(m_transport.ControlIn(DFU_GETSTATUS, 0, reply, sizeof(reply), &got, kRequestTimeoutMs));
    if (IsFailure(hr))
        return hr;
    if (!ParseDfuStatus(reply, got, status))
        return HR_DFU_PROTOCOL;
    m_lastStatus = *status;
    return HR_OK;
}

HResult CDfuHost::SimpleRequest(std::uint8_t request, std::uint16_t value)
{
    return Io(m_transport.ControlOut(request, value, nullptr, 0, kRequestTimeoutMs));
}

HResult CDfuHost::WaitPoll(std::uint32_t pollMs)
{
    if (Aborted())
        return HR_DFU_ABORTED;
    // A device asking for more than kMaxPollMs is not believed: waiting
    // hours for a broken reply helps nobody, the busy bound ends it anyway.
    CClock::Sleep(std::min(pollMs, kMaxPollMs));
    return HR_OK;
}

HResult CDfuHost::ResetAndReopen(bool mustReturn)
{
    const EDfuIo reset = m_transport.Reset();
    if (reset != EDfuIo::Ok && reset != EDfuIo::NoDevice)
        return Io(reset);
    if (!mustReturn)
        return HR_OK;
    // The device re-enumerates; give it the detach time-out plus a margin.
    CDeadline deadline(kReenumerateMs + m_descriptor.wDetachTimeOut);
    for (;;)
    {
        if (Aborted())
            return HR_DFU_ABORTED;
        const bool expired = deadline.IsExpired(); // see WaitForDfuMode
        const EDfuIo io = m_transport.Reopen();
        if (io == EDfuIo::Ok)
            return ReadDeviceInfo();
        if (io != EDfuIo::NoDevice && io != EDfuIo::Access)
            return Io(io);
        if (expired)
        {
            LogPrintf("DFUEngine - device did not come back after reset\n");
            return Io(EDfuIo::NoDevice);
        }
        CClock::Sleep(50);
    }
}

HResult CDfuHost::WaitForDfuMode()
{
    // The old run-time device may still be there for a moment after the
    // detach; only the device in DFU mode at the same location counts.
    CDeadline deadline(kReenumerateMs + m_descriptor.wDetachTimeOut);
    bool sawRuntime = false;
    for (;;)
    {
        if (Aborted())
            return HR_DFU_ABORTED;
        // Read before the attempt, so one attempt always follows the deadline
        // (a host that was descheduled still sees a device that is back).
        const bool expired = deadline.IsExpired();
        const EDfuIo io = m_transport.Reopen();
        if (io == EDfuIo::Ok)
        {
            const HResult hr = ReadDeviceInfo();
            if (IsFailure(hr) && m_lastIo != EDfuIo::NoDevice)
                return hr;
            if (!IsFailure(hr) && !m_identity.runtimeMode)
                return HR_OK;
            sawRuntime = sawRuntime || !IsFailure(hr);
        }
        else if (io != EDfuIo::NoDevice && io != EDfuIo::Access)
        {
            return Io(io);
        }
        if (expired)
        {
            LogPrintf("DFUEngine - device did not come back in DFU mode after detach\n");
            return sawRuntime ? HR_DFU_PROTOCOL : Io(EDfuIo::NoDevice);
        }
        CClock::Sleep(50);
    }
}

HResult CDfuHost::BringToIdle(bool resetFirst)
{
    if (!m_open)
        return HR_DFU_NO_DEVICE;
    if (resetFirst)
    {
        const HResult hr = ResetAndReopen(true);
        if (IsFailure(hr))
            return hr;
    }
    CBusyBudget busy;
    bool detached = false;
    for (int step = 0; step < kMaxIdleSteps && !busy.Exhausted(); ++step)
    {
        if (Aborted())
            return HR_DFU_ABORTED;
        SDfuStatus status;
        bool runtime = m_identity.runtimeMode;
        if (!runtime)
        {
            const HResult hr = GetStatus(&status);
            if (IsFailure(hr))
                return hr;
            runtime = status.bState == appIDLE || status.bState == appDETACH;
        }
        if (runtime)
        {
            if (detached)
            {
                LogPrintf("DFUEngine - device stays in run-time mode after detach\n");
                return HR_DFU_PROTOCOL;
            }
            HResult hr = SimpleRequest(DFU_DETACH, m_descriptor.wDetachTimeOut);
            if (IsFailure(hr))
                return hr;
            detached = true;
            // A device that detaches by itself needs no reset.
            if (!(m_descriptor.bmAttributes & kDfuWillDetach))
            {
                const EDfuIo reset = m_transport.Reset();
                if (reset != EDfuIo::Ok && reset != EDfuIo::NoDevice)
                    return Io(reset);
            }
            hr = WaitForDfuMode();
            if (IsFailure(hr))
                return hr;
            continue;
        }
        HResult hr = HR_OK;
        switch (status.bState)
        {
        case dfuIDLE:
            if (status.bStatus == DFU_OK)
            {
                m_nextBlock = 0;
                return HR_OK;
            }
            hr = SimpleRequest(DFU_CLRSTATUS, 0);
            break;
        case dfuERROR:
            hr = SimpleRequest(DFU_CLRSTATUS, 0);
            break;
        case dfuDNLOAD_SYNC:
        case dfuDNLOAD_IDLE:
        case dfuMANIFEST_SYNC:
        case dfuUPLOAD_IDLE:
            hr = SimpleRequest(DFU_ABORT, 0);
            break;
        case dfuDNBUSY:
        case dfuMANIFEST:
            busy.Spend(status.bwPollTimeout);
            hr = WaitPoll(std::max<std::uint32_t>(status.bwPollTimeout, 1));
            break;
        case dfuMANIFEST_WAIT_RESET:
            hr = ResetAndReopen(true);
            break;
        default:
            LogPrintf("DFUEngine - unknown DFU state %u\n", status.bState);
            return HR_DFU_PROTOCOL;
        }
        if (IsFailure(hr))
            return hr;
    }
    LogPrintf("DFUEngine - device did not reach dfuIDLE\n");
    return HR_DFU_TIMEOUT;
}

HResult CDfuHost::Download(const std::vector<std::uint8_t>& image, const ProgressSink& progress)
{
    if (!m_open)
        return HR_DFU_NO_DEVICE;
    if (!(m_descriptor.bmAttributes & kDfuCanDownload))
        return HR_DFU_PROTOCOL;
    SDfuStatus status;
    HResult hr = GetStatus(&status);
    if (IsFailure(hr))
        return hr;
    if (status.bState != dfuIDLE || status.bStatus != DFU_OK)
    {
        hr = BringToIdle(false);
        if (IsFailure(hr))
            return hr;
    }
    m_nextBlock = 0;
    const std::size_t blockSize = m_descriptor.wTransferSize;
    std::size_t done = 0;
    while (done < image.size())
    {
        if (Aborted())
            return HR_DFU_ABORTED;
        const std::size_t length = std::min(blockSize, image.size() - done);
        hr = Io(m_transport.ControlOut(DFU_DNLOAD, m_nextBlock, image.data() + done, length, kRequestTimeoutMs));
        if (hr == HR_DFU_PROTOCOL)
        {
            // A stalled block: the device tells why through its status.
            if (!IsFailure(GetStatus(&status)) && status.bStatus != DFU_OK)
                return HR_DFU_DEVICE_ERROR;
            return hr;
        }
        if (IsFailure(hr))
            return hr;
        CBusyBudget busy;
        for (;;)
        {
            hr = GetStatus(&status);
            if (IsFailure(hr))
                return hr;
            if (status.bState == dfuERROR || status.bStatus != DFU_OK)
            {
                LogPrintf("DFUEngine - device error status %u in state %s at block %u\n", status.bStatus,
                          DfuStateName(status.bState), m_nextBlock);
                return HR_DFU_DEVICE_ERROR;
            }
            if (status.bState == dfuDNLOAD_IDLE)
                break;
            if (status.bState != dfuDNBUSY && status.bState != dfuDNLOAD_SYNC)
            {
                LogPrintf("DFUEngine - unexpected state %s during download\n", DfuStateName(status.bState));
                return HR_DFU_PROTOCOL;
            }
            if (busy.Exhausted())
                return HR_DFU_TIMEOUT;
            busy.Spend(status.bwPollTimeout);
            hr = WaitPoll(status.bwPollTimeout);
            if (IsFailure(hr))
                return hr;
        }
        done += length;
        ++m_nextBlock;
        if (progress)
            progress(done, image.size());
    }
    return HR_OK;
}

HResult CDfuHost::Manifest()
{
    if (!m_open)
        return HR_DFU_NO_DEVICE;
    SDfuStatus status;
    HResult hr = GetStatus(&status);
    if (IsFailure(hr))
        return hr;
    if (status.bState != dfuDNLOAD_IDLE || status.bStatus != DFU_OK)
    {
        LogPrintf("DFUEngine - manifest in state %s status %u\n", DfuStateName(status.bState), status.bStatus);
        return status.bState == dfuERROR ? HR_DFU_DEVICE_ERROR : HR_DFU_PROTOCOL;
    }
    hr = Io(m_transport.ControlOut(DFU_DNLOAD, m_nextBlock, nullptr, 0, kRequestTimeoutMs));
    if (IsFailure(hr))
        return hr;
    const bool tolerant = (m_descriptor.bmAttributes & kDfuManifestationTolerant) != 0;
    bool manifesting = false;
    CBusyBudget busy;
    for (;;)
    {
        hr = GetStatus(&status);
        if (hr == HR_DFU_NO_DEVICE && manifesting)
            return HR_OK; // it restarted on its own once the new firmware was in place
        if (IsFailure(hr) && !tolerant &&
            (m_lastIo == EDfuIo::Stall || m_lastIo == EDfuIo::Io || m_lastIo == EDfuIo::Timeout ||
             m_lastIo == EDfuIo::NoDevice))
        {
            // A device that is not manifestation tolerant may stop answering
            // once it has the image (stall, transfer error, time-out, off the
            // bus): after the zero-length block that is the normal end.
            LogPrintf("DFUEngine - the device stopped answering during manifestation (%s); it is not "
                      "manifestation tolerant, so it restarts with the new firmware\n",
                      DfuIoText(m_lastIo));
            return WaitForRestart();
        }
        if (IsFailure(hr))
            return hr;
        if (status.bState == dfuERROR || status.bStatus != DFU_OK)
        {
            LogPrintf("DFUEngine - manifestation failed, status %u\n", status.bStatus);
            return HR_DFU_DEVICE_ERROR;
        }
        switch (status.bState)
        {
        case dfuMANIFEST_SYNC:
        case dfuMANIFEST:
            manifesting = manifesting || status.bState == dfuMANIFEST;
            break;
        case dfuMANIFEST_WAIT_RESET:
        case dfuIDLE:
            // Done: a reset starts the new firmware (a manifestation-tolerant
            // device waits in dfuIDLE for it).
            hr = ResetAndReopen(false);
            Close();
            return hr;
        default:
            LogPrintf("DFUEngine - unexpected state %s during manifestation\n", DfuStateName(status.bState));
            return HR_DFU_PROTOCOL;
        }
        if (busy.Exhausted())
            return HR_DFU_TIMEOUT;
        busy.Spend(status.bwPollTimeout);
        hr = WaitPoll(status.bwPollTimeout);
        if (IsFailure(hr))
            return hr;
    }
}

HResult CDfuHost::WaitForRestart()
{
    // A device that is still there but said nothing may wait for the reset
    // that DFU 1.1 asks the host for (unless it detaches by itself).
    if (m_lastIo != EDfuIo::NoDevice && !(m_descriptor.bmAttributes & kDfuWillDetach))
        m_transport.Reset();
    CDeadline deadline(kReenumerateMs + m_descriptor.wDetachTimeOut);
    for (;;)
    {
        if (Aborted())
        {
            Close();
            return HR_DFU_ABORTED;
        }
        const bool expired = deadline.IsExpired(); // one more look after the deadline, as in WaitForDfuMode
        if (m_transport.Reopen() == EDfuIo::Ok && !IsFailure(ReadDeviceInfo()))
        {
            if (m_identity.runtimeMode)
            {
                Close();
                return HR_OK; // back in its application
            }
            SDfuStatus status;
            if (!IsFailure(GetStatus(&status)) && status.bState != dfuMANIFEST && status.bState != dfuMANIFEST_SYNC)
            {
                Close();
                if (status.bState == dfuERROR || status.bStatus != DFU_OK)
                {
                    // Its boot loader came back and says the firmware was not taken.
                    LogPrintf("DFUEngine - after manifestation the device is back in DFU mode with status %u in "
                              "state %s\n",
                              status.bStatus, DfuStateName(status.bState));
                    return HR_DFU_DEVICE_ERROR;
                }
                return HR_OK;
            }
        }
        if (expired)
        {
            // Many devices come back as their application only, which a DFU
            // host does not see: the manifestation itself has ended.
            LogPrintf("DFUEngine - the device did not come back as a DFU device after manifestation\n");
            Close();
            return HR_OK;
        }
        CClock::Sleep(50);
    }
}
