#include "bcsp/NemboHIDHelper.h"
#include "bcsp/NemboReports.h"

#include <cstring>
#include <vector>

#include "app/DiagnosticLog.h"
#include "bcsp/BCSP_UART_Driver.h"
#include "platform/Clock.h"

CNemboHIDHelper::CNemboHIDHelper(IHidSystem& system) : m_system(system)
{
}

CNemboHIDHelper::~CNemboHIDHelper()
{
    // Unlinked first: the byte layer then no longer sends through us.
    SetUpper(nullptr);
    Close();
}

bool CNemboHIDHelper::IsOpen()
{
    CMutexLock lock(m_deviceMutex);
    return m_device != nullptr;
}


HResult CNemboHIDHelper::Open(const std::wstring& path)
{
    SHidOpenOptions options;
    options.access = kHidAccessReadWrite;
    options.overlapped = true;
    CHidDevicePtr device;
    const EHidResult result = m_system.Open(path, options, device);
    if (result != EHidResult::Ok || !device)
    {
        LogPrintf("CNemboHIDHelper::Open - failed [%s]\n", HidResultName(result));
        return HR_FAIL;
    }
    return Attach(std::move(device));
}

HResult CNemboHIDHelper::Attach(CHidDevicePtr device)
{
    Close();
    if (!device || !device->IsOverlapped())
        return HR_INVALIDARG;
    SHidCaps caps;
    m_inputLength = kInputReportLength;
    if (device->GetCaps(caps) == EHidResult::Ok && caps.inputReportByteLength != 0)
        m_inputLength = caps.inputReportByteLength;
    {
        CMutexLock lock(m_deviceMutex);
        m_device = std::move(device);
        m_device->ResetCancel();
    }
    m_stop.store(false);
    if (!m_reader.Start([this]() { return ReaderLoop(); }))
    {
        CMutexLock lock(m_deviceMutex);
        m_device.reset();
        return HR_FAIL;
    }
    return HR_OK;
}

void CNemboHIDHelper::Close()
{
    // Cancel is allowed from any thread while a read and a write are in
    // progress: it ends both, and every later one, at once.
    IHidDevice* device = nullptr;
    {
        CMutexLock lock(m_deviceMutex);
        device = m_device.get();
    }
    m_stop.store(true);
    if (device != nullptr)
        device->Cancel();
    if (m_reader.IsValid())
    {
        m_reader.Wait(kInfinite);
        m_reader.Close();
    }
    // A writer holds the device mutex while it uses the device.
    CMutexLock lock(m_deviceMutex);
    m_device.reset();
}

std::uint32_t CNemboHIDHelper::ReaderLoop()
{
    std::vector<std::uint8_t> report(m_inputLength < 4 ? 4 : m_inputLength);
    while (!m_stop.load())
    {
        std::size_t read = 0;
        const EHidResult result = m_device->ReadInputReport(report.data(), report.size(), kReadSliceMs, &read);
        if (result == EHidResult::Ok)
        {
            if (read >= 4 && report[2] == kDataInMarker)
                ReceiveReport(report.data(), read);
            continue;
        }
        if (result == EHidResult::Timeout)
            continue;
        if (result == EHidResult::Cancelled)
            break;
        if (result == EHidResult::NoDevice)
        {
            LogPrintf("CNemboHIDHelper::Reader - device gone\n");
            break;
        }
        // Any other failure: do not spin.
        CClock::Sleep(10);
    }
    return 0;
}

void CNemboHIDHelper::SetUpper(CBCSP_UART_Driver* upper)
{
    CBCSP_UART_Driver* old = nullptr;
    {
        CMutexLock lock(m_mutex);
        if (m_upper == upper)
            return;
        old = m_upper;
        m_upper = upper;
    }
    if (old != nullptr)
        old->SetLower(nullptr);
    if (upper != nullptr)
        upper->SetLower(this);
}

int CNemboHIDHelper::WriteOutputReport(const std::uint8_t* report, std::size_t length)
{
    CMutexLock lock(m_deviceMutex);
    if (!m_device || m_stop.load())
        return 0;
    std::size_t written = 0;
    return m_device->WriteOutputReport(report, length, kWriteTimeoutMs, &written) == EHidResult::Ok ? 1 : 0;
}

int CNemboHIDHelper::WriteFeatureReport(const std::uint8_t* report, std::size_t length)
{
    CMutexLock lock(m_deviceMutex);
    if (!m_device || m_stop.load())
        return 0;
    return m_device->SetFeature(report, length) == EHidResult::Ok ? 1 : 0;
}

bool CNemboHIDHelper::SendChunk(const std::uint8_t* bytes, std::size_t count)
{
    std::uint8_t report[kNemboReportLength];
    if (!BuildNemboDataOutReport(bytes, count, report))
        return false;
    return WriteOutputReport(report, sizeof(report)) == 1;
}

bool CNemboHIDHelper::ReceiveReport(const std::uint8_t* report, std::size_t reportLength)
{
    CMutexLock lock(m_mutex);
    const std::uint8_t* data = nullptr;
    if (m_upper == nullptr || report == nullptr || reportLength < 4)
        return false;
    const std::size_t n = NemboDataInPayload(report, reportLength, &data);
    m_upper->DeliverBytes(data, n);
    return true;
}

bool CNemboHIDHelper::SetBaudRate(std::uint32_t rate)
{
    std::uint8_t report[kNemboReportLength];
    if (!BuildNemboBaudRateReport(rate, report))
        return false;
    return WriteFeatureReport(report, sizeof(report)) == 1;
}
