#include "bench/dfu/SimDfuDevice.h"

#include <algorithm>
#include <cmath>
#include <cstring>

#include "bench/dfu/SimFirmware.h"
#include "platform/Clock.h"

namespace
{
constexpr std::uint8_t kRequestTypeClassOut = 0x21; // host-to-device, class, interface
constexpr std::uint8_t kRequestTypeClassIn = 0xA1;
constexpr std::uint8_t kRequestTypeStandardIn = 0x80;
constexpr std::uint8_t kGetDescriptor = 6;

} // namespace

CSimDfuDevice::CSimDfuDevice(const SSimDfuConfig& config)
    : m_config(config), m_dfuMode(!config.startInRuntime), m_state(config.startInRuntime ? appIDLE : dfuIDLE)
{
}

void CSimDfuDevice::SetPortListener(ISimDfuPortListener* listener)
{
    CMutexLock lock(m_lock);
    m_listener = listener;
}

void CSimDfuDevice::UpdatePresenceLocked()
{
    if (m_leaveAtMs != 0 && m_present && CClock::NowMs() >= m_leaveAtMs)
    {
        m_leaveAtMs = 0;
        DisconnectLocked(m_config.reenumerateDelayMs);
    }
    if (m_present || m_gone)
        return;
    if (CClock::NowMs() < m_backAtMs)
        return;
    m_present = true;
    ++m_generation;
    m_dfuMode = m_comeBackInDfu;
    m_status = DFU_OK;
    m_state = m_dfuMode ? dfuIDLE : appIDLE;
    if (m_dfuMode)
        EnterDfuIdleLocked();
}

void CSimDfuDevice::DisconnectLocked(std::uint32_t reconnectDelayMs)
{
    m_present = false;
    ++m_generation;
    m_backAtMs = CClock::NowMs() + reconnectDelayMs;
    if (m_listener)
    {
        m_listener->OnDisconnect(*this);
        if (!m_gone)
            m_listener->OnReconnectAfter(*this, reconnectDelayMs);
    }
}

void CSimDfuDevice::EnterDfuIdleLocked()
{
    m_state = dfuIDLE;
    m_expectedBlock = 0;
    m_blockIndex = 0;
    m_manifestDone = false;
    m_failPending = false;
    m_received.clear();
}

void CSimDfuDevice::InstallAndRestartLocked()
{
    m_firmware = m_received;
    ++m_manifestCount;
    m_manifestedAtMs = CClock::NowMs();
    if (m_config.restartsAsOtherDevice)
    {
        m_gone = true;
        DisconnectLocked(0);
        return;
    }
    m_comeBackInDfu = !m_config.startInRuntime;
    DisconnectLocked(m_config.reenumerateDelayMs);
}

bool CSimDfuDevice::IsPresent()
{
    CMutexLock lock(m_lock);
    UpdatePresenceLocked();
    return m_present;
}

std::uint32_t CSimDfuDevice::GetGeneration()
{
    CMutexLock lock(m_lock);
    UpdatePresenceLocked();
    return m_generation;
}

SBenchDevice CSimDfuDevice::DescriptionLocked() const
{
    SBenchDevice d;
    d.vendorId = m_dfuMode ? m_config.idVendor : m_config.runtimeVendor;
    d.productId = m_dfuMode ? m_config.idProduct : m_config.runtimeProduct;
    d.bcdDevice = m_config.bcdDevice;
    d.languages.clear(); // no strings
    d.description = L"USB DFU Device";
    d.dfu.present = true;
    d.dfu.protocol = m_dfuMode ? 2 : 1; // DFU mode, or the run-time interface of an application
    d.dfu.bmAttributes = m_config.bmAttributes;
    d.dfu.wDetachTimeOut = m_config.wDetachTimeOut;
    d.dfu.wTransferSize = m_config.wTransferSize;
    d.dfu.bcdDFUVersion = 0x0110;
    return d;
}

SBenchDevice CSimDfuDevice::Description()
{
    CMutexLock lock(m_lock);
    UpdatePresenceLocked();
    return DescriptionLocked();
}

std::vector<std::uint8_t> CSimDfuDevice::GetDeviceDescriptor()
{
    return BuildBenchDeviceDescriptor(Description());
}

std::vector<std::uint8_t> CSimDfuDevice::GetConfigurationDescriptor()
{
    return BuildBenchConfigDescriptor(Description());
}

ESimUsbResult CSimDfuDevice::ControlTransfer(const SSimSetup& setup, std::uint8_t* data, std::size_t* length)
{
    CMutexLock lock(m_lock);
    UpdatePresenceLocked();
    if (!m_present)
        return ESimUsbResult::NoDevice;
    if (setup.bmRequestType == kRequestTypeStandardIn && setup.bRequest == kGetDescriptor)
        return StandardRequest(setup, data, length);
    if (setup.bmRequestType == kRequestTypeClassOut || setup.bmRequestType == kRequestTypeClassIn)
    {
        if (setup.wIndex != 0)
            return ESimUsbResult::Stall;
        return ClassRequest(setup, data, length);
    }
    return ESimUsbResult::Stall;
}

ESimUsbResult CSimDfuDevice::StandardRequest(const SSimSetup& setup, std::uint8_t* data, std::size_t* length)
{
    // Called with the lock held; the descriptor getters take it themselves,
    // so build the bytes through unlocked copies.
    const std::uint8_t type = static_cast<std::uint8_t>(setup.wValue >> 8);
    std::vector<std::uint8_t> bytes;
    m_lock.Unlock();
    if (type == 1)
        bytes = GetDeviceDescriptor();
    else if (type == 2)
        bytes = GetConfigurationDescriptor();
    m_lock.Lock();
    if (bytes.empty())
        return ESimUsbResult::Stall;
    const std::size_t n = std::min<std::size_t>(bytes.size(), setup.wLength);
    if (data && n)
        std::memcpy(data, bytes.data(), n);
    *length = n;
    return ESimUsbResult::Ok;
}

ESimUsbResult CSimDfuDevice::Stall(std::uint8_t status)
{
    if (m_dfuMode)
    {
        m_state = dfuERROR;
        m_status = status;
    }
    return ESimUsbResult::Stall;
}

void CSimDfuDevice::SpendTransferTimeLocked(std::size_t bytes)
{
    if (m_config.transferMsPerKiB <= 0.0)
        return;
    const double ms = m_config.transferMsPerKiB * static_cast<double>(bytes) / 1024.0;
    m_minimumMs += ms;
    m_owedTransferMs += ms;
    if (m_owedTransferMs >= 1.0)
    {
        const double whole = std::floor(m_owedTransferMs);
        m_owedTransferMs -= whole;
        CClock::Sleep(static_cast<std::uint32_t>(whole));
    }
}

bool CSimDfuDevice::VerifyImageLocked()
{
    if (m_received.empty())
        return false;
    return !m_config.checkPayload || CheckSimFirmware(m_received);
}

ESimUsbResult CSimDfuDevice::GetStatusLocked(std::uint8_t* data, std::size_t* length)
{
    SDfuStatus reply;
    const std::uint64_t now = CClock::NowMs();
    switch (m_state)
    {
    case dfuDNLOAD_SYNC:
        if (m_failPending)
        {
            m_failPending = false;
            m_state = dfuERROR;
            m_status = m_config.errorStatus;
        }
        else if (m_config.pollTimeoutMs > 0 || m_config.stuckBusy)
        {
            m_state = dfuDNBUSY;
            m_busyUntilMs = now + m_config.pollTimeoutMs;
            m_minimumMs += m_config.pollTimeoutMs;
            reply.bwPollTimeout = m_config.pollTimeoutMs;
        }
        else
        {
            m_state = dfuDNLOAD_IDLE;
        }
        break;
    case dfuDNBUSY:
        // NowMs truncates; one millisecond of slack keeps an exact host legal.
        if (now + 1 < m_busyUntilMs)
        {
            ++m_earlyPolls;
            if (m_config.strictPolling)
                return Stall();
        }
        if (m_config.stuckBusy)
        {
            m_busyUntilMs = now + m_config.pollTimeoutMs;
            reply.bwPollTimeout = m_config.pollTimeoutMs;
            break;
        }
        m_state = dfuDNLOAD_IDLE;
        break;
    case dfuMANIFEST_SYNC:
        if (!m_manifestDone)
        {
            if (!VerifyImageLocked())
            {
                m_state = dfuERROR;
                m_status = errVERIFY;
                break;
            }
            if (m_config.vanishInManifest)
            {
                m_gone = true;
                DisconnectLocked(0);
                return ESimUsbResult::NoDevice;
            }
            if (!(m_config.bmAttributes & kDfuManifestationTolerant) &&
                m_config.manifestEnd == ESimManifestEnd::DropOff)
            {
                InstallAndRestartLocked();
                return ESimUsbResult::NoDevice;
            }
            m_state = dfuMANIFEST;
            m_busyUntilMs = now + m_config.manifestPollMs;
            reply.bwPollTimeout = m_config.manifestPollMs;
        }
        else
        {
            // Manifestation-tolerant devices come back here when done.
            m_state = dfuIDLE;
            m_firmware = m_received;
            ++m_manifestCount;
            m_manifestedAtMs = now;
            EnterDfuIdleLocked();
        }
        break;
    case dfuMANIFEST:
        if (now + 1 < m_busyUntilMs)
        {
            ++m_earlyPolls;
            if (m_config.strictPolling)
                return Stall();
        }
        m_manifestDone = true;
        if (m_config.bmAttributes & kDfuManifestationTolerant)
        {
            m_state = dfuMANIFEST_SYNC;
            break;
        }
        switch (m_config.manifestEnd)
        {
        case ESimManifestEnd::Stall:
            InstallAndRestartLocked();
            return ESimUsbResult::Stall;
        case ESimManifestEnd::IoError:
            InstallAndRestartLocked();
            return ESimUsbResult::Error;
        case ESimManifestEnd::Timeout:
            InstallAndRestartLocked();
            return ESimUsbResult::Timeout;
        case ESimManifestEnd::WaitReset:
        case ESimManifestEnd::DropOff:
            break;
        }
        m_state = dfuMANIFEST_WAIT_RESET;
        break;
    default:
        break;
    }
    reply.bStatus = m_status;
    reply.bState = m_state;
    std::uint8_t raw[kDfuStatusLength];
    WriteDfuStatus(reply, raw);
    const std::size_t n = std::min<std::size_t>(sizeof(raw), *length);
    if (data && n)
        std::memcpy(data, raw, n);
    *length = n;
    return ESimUsbResult::Ok;
}

ESimUsbResult CSimDfuDevice::ClassRequest(const SSimSetup& setup, std::uint8_t* data, std::size_t* length)
{
    const bool in = setup.bmRequestType == kRequestTypeClassIn;
    // IN: room for the reply; OUT: the bytes the host sent.
    const std::size_t requested = in ? std::min<std::size_t>(*length, setup.wLength) : *length;
    if (!m_dfuMode)
    {
        // Run-time interface: DETACH, GETSTATUS and GETSTATE only.
        switch (setup.bRequest)
        {
        case DFU_DETACH:
            if (in)
                return ESimUsbResult::Stall;
            ++m_detachCount;
            m_state = appDETACH;
            m_detachUntilMs = CClock::NowMs() + std::max<std::uint16_t>(setup.wValue, 1);
            if (m_config.bmAttributes & kDfuWillDetach)
            {
                m_comeBackInDfu = true;
                DisconnectLocked(m_config.reenumerateDelayMs);
            }
            return ESimUsbResult::Ok;
        case DFU_GETSTATUS:
        {
            if (!in)
                return ESimUsbResult::Stall;
            if (m_state == appDETACH && CClock::NowMs() > m_detachUntilMs)
                m_state = appIDLE;
            SDfuStatus reply;
            reply.bState = m_state;
            std::uint8_t raw[kDfuStatusLength];
            WriteDfuStatus(reply, raw);
            const std::size_t n = std::min<std::size_t>(sizeof(raw), requested);
            if (data && n)
                std::memcpy(data, raw, n);
            *length = n;
            return ESimUsbResult::Ok;
        }
        case DFU_GETSTATE:
            if (!in || requested < 1 || !data)
                return ESimUsbResult::Stall;
            data[0] = m_state;
            *length = 1;
            return ESimUsbResult::Ok;
        default:
            return ESimUsbResult::Stall;
        }
    }

    switch (setup.bRequest)
    {
    case DFU_GETSTATUS:
        if (!in)
            return Stall();
        *length = requested;
        return GetStatusLocked(data, length);
    case DFU_GETSTATE:
        if (!in || requested < 1 || !data)
            return Stall();
        data[0] = m_state;
        *length = 1;
        return ESimUsbResult::Ok;
    case DFU_CLRSTATUS:
        if (in || m_state != dfuERROR)
            return Stall();
        m_status = DFU_OK;
        EnterDfuIdleLocked();
        return ESimUsbResult::Ok;
    case DFU_ABORT:
        if (in)
            return Stall();
        if (m_state == dfuIDLE || m_state == dfuDNLOAD_SYNC || m_state == dfuDNLOAD_IDLE ||
            m_state == dfuMANIFEST_SYNC || m_state == dfuUPLOAD_IDLE)
        {
            EnterDfuIdleLocked();
            return ESimUsbResult::Ok;
        }
        return Stall();
    case DFU_DNLOAD:
    {
        if (in || !(m_config.bmAttributes & kDfuCanDownload))
            return Stall();
        if (m_state != dfuIDLE && m_state != dfuDNLOAD_IDLE)
            return Stall();
        const std::size_t sent = requested;
        if (sent != setup.wLength)
            return Stall();
        if (sent == 0)
        {
            if (m_state != dfuDNLOAD_IDLE)
                return Stall();
            m_state = dfuMANIFEST_SYNC;
            m_manifestDone = false;
            return ESimUsbResult::Ok;
        }
        if (sent > m_config.wTransferSize || setup.wValue != m_expectedBlock ||
            m_received.size() + sent > m_config.capacity || data == nullptr)
            return Stall(sent > m_config.wTransferSize ? errUNKNOWN : errADDRESS);
        if (m_blockIndex == m_config.stallAtBlock && !m_stalledOnce)
        {
            m_stalledOnce = true;
            return Stall(errSTALLEDPKT);
        }
        if (m_blockIndex == m_config.vanishAtBlock)
        {
            m_gone = true;
            DisconnectLocked(0);
            return ESimUsbResult::NoDevice;
        }
        SpendTransferTimeLocked(sent);
        m_received.insert(m_received.end(), data, data + sent);
        m_failPending = m_blockIndex == m_config.errorAtBlock;
        ++m_expectedBlock;
        ++m_blockIndex;
        ++m_blocksReceived;
        m_state = dfuDNLOAD_SYNC;
        return ESimUsbResult::Ok;
    }
    case DFU_UPLOAD:
    {
        if (!in || !(m_config.bmAttributes & kDfuCanUpload))
            return Stall();
        if (m_state != dfuIDLE && m_state != dfuUPLOAD_IDLE)
            return Stall();
        // Uploads the firmware in place, block wValue of requested bytes.
        const std::size_t offset = static_cast<std::size_t>(setup.wValue) * std::max<std::size_t>(requested, 1);
        std::size_t n = 0;
        if (offset < m_firmware.size())
            n = std::min(requested, m_firmware.size() - offset);
        if (data && n)
            std::memcpy(data, m_firmware.data() + offset, n);
        *length = n;
        m_state = n < requested ? dfuIDLE : dfuUPLOAD_IDLE;
        return ESimUsbResult::Ok;
    }
    case DFU_DETACH:
    default:
        return Stall();
    }
}

void CSimDfuDevice::BusReset()
{
    CMutexLock lock(m_lock);
    UpdatePresenceLocked();
    if (!m_present)
        return;
    if (!m_dfuMode)
    {
        if (m_state == appDETACH && CClock::NowMs() <= m_detachUntilMs)
        {
            m_comeBackInDfu = true;
            if (m_config.lingerAfterResetMs > 0)
                m_leaveAtMs = CClock::NowMs() + m_config.lingerAfterResetMs;
            else
                DisconnectLocked(m_config.reenumerateDelayMs);
        }
        m_state = appIDLE;
        return;
    }
    if (m_state == dfuMANIFEST_WAIT_RESET || (m_manifestDone && m_state == dfuIDLE))
    {
        m_firmware = m_received;
        ++m_manifestCount;
        m_manifestedAtMs = CClock::NowMs();
        if (m_config.restartsAsOtherDevice)
        {
            // The reset starts the new firmware, which is not a DFU device.
            m_gone = true;
            DisconnectLocked(0);
            return;
        }
    }
    if (m_state == dfuMANIFEST_WAIT_RESET || m_config.startInRuntime)
    {
        // Restart into the application (or, without one, back into DFU mode).
        m_comeBackInDfu = !m_config.startInRuntime;
        DisconnectLocked(m_config.reenumerateDelayMs);
        return;
    }
    m_status = DFU_OK;
    EnterDfuIdleLocked();
}

void CSimDfuDevice::Unplug()
{
    CMutexLock lock(m_lock);
    m_gone = true;
    if (m_present)
        DisconnectLocked(0);
}

void CSimDfuDevice::Plug()
{
    CMutexLock lock(m_lock);
    if (!m_gone)
        return;
    m_gone = false;
    m_comeBackInDfu = m_dfuMode;
    m_backAtMs = 0;
    UpdatePresenceLocked();
}

void CSimDfuDevice::PlugAt(std::uint64_t atMs)
{
    CMutexLock lock(m_lock);
    if (m_present)
    {
        // It leaves now and enumerates again then.
        m_gone = true;
        DisconnectLocked(0);
    }
    m_gone = false;
    m_comeBackInDfu = m_dfuMode;
    m_backAtMs = atMs;
    const std::uint64_t now = CClock::NowMs();
    if (m_listener && atMs > now)
        m_listener->OnReconnectAfter(*this, static_cast<std::uint32_t>(std::min<std::uint64_t>(atMs - now, 0xFFFFFFFEu)));
    UpdatePresenceLocked();
}

std::uint8_t CSimDfuDevice::State()
{
    CMutexLock lock(m_lock);
    UpdatePresenceLocked();
    return m_state;
}

std::uint8_t CSimDfuDevice::Status()
{
    CMutexLock lock(m_lock);
    return m_status;
}

bool CSimDfuDevice::InDfuMode()
{
    CMutexLock lock(m_lock);
    UpdatePresenceLocked();
    return m_dfuMode;
}

std::vector<std::uint8_t> CSimDfuDevice::ReceivedImage()
{
    CMutexLock lock(m_lock);
    return m_received;
}

std::vector<std::uint8_t> CSimDfuDevice::Firmware()
{
    CMutexLock lock(m_lock);
    return m_firmware;
}

int CSimDfuDevice::ManifestCount()
{
    CMutexLock lock(m_lock);
    return m_manifestCount;
}

std::uint64_t CSimDfuDevice::ManifestedAtMs()
{
    CMutexLock lock(m_lock);
    return m_manifestedAtMs;
}

int CSimDfuDevice::BlocksReceived()
{
    CMutexLock lock(m_lock);
    return m_blocksReceived;
}

int CSimDfuDevice::EarlyPolls()
{
    CMutexLock lock(m_lock);
    return m_earlyPolls;
}

int CSimDfuDevice::DetachCount()
{
    CMutexLock lock(m_lock);
    return m_detachCount;
}

double CSimDfuDevice::MinimumDownloadMs()
{
    CMutexLock lock(m_lock);
    return m_minimumMs;
}

void CSimDfuDevice::ResetStatistics()
{
    CMutexLock lock(m_lock);
    m_blocksReceived = 0;
    m_earlyPolls = 0;
    m_detachCount = 0;
    m_minimumMs = 0.0;
    m_owedTransferMs = 0.0;
}
