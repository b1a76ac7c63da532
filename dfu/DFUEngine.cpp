#include "dfu/DFUEngine.h"

#include <cstddef>
#include <cwchar>

#include "app/DiagnosticLog.h"
#include "dfu/DfuFile.h"
#include "dfu/DfuHost.h"

static_assert(offsetof(DFUEngine::ProgressRecord, activityCode) == 0);
static_assert(offsetof(DFUEngine::ProgressRecord, percent) == 20);
static_assert(offsetof(DFUEngine::ProgressRecord, activity) == 24);
static_assert(sizeof(DFUEngine::Activity) == 16);

// --- CStringX ---------------------------------------------------------------

CStringX::CStringX() : m_buffer(1, L'\0')
{
}

CStringX::CStringX(const wchar_t* text) : CStringX()
{
    *this = text;
}

CStringX::CStringX(const CStringX& other) = default;
CStringX::~CStringX() = default;
CStringX& CStringX::operator=(const CStringX& other) = default;

CStringX& CStringX::operator=(const wchar_t* text)
{
    const std::size_t length = text ? std::wcslen(text) : 0;
    m_buffer.assign(text ? text : L"", (text ? text : L"") + length);
    m_buffer.push_back(L'\0');
    m_length = static_cast<int>(length);
    return *this;
}

int CStringX::GetLength() const
{
    return m_length;
}

wchar_t* CStringX::GetBuffer(int minLength)
{
    const std::size_t wanted = static_cast<std::size_t>(minLength > 0 ? minLength : 0) + 1;
    if (m_buffer.size() < wanted)
        m_buffer.resize(wanted, L'\0');
    return m_buffer.data();
}

void CStringX::ReleaseBuffer()
{
    m_buffer.back() = L'\0';
    std::size_t length = 0;
    while (m_buffer[length] != L'\0')
        ++length;
    m_length = static_cast<int>(length);
}

// --- CStringListX -----------------------------------------------------------

CStringListX::CStringListX() = default;
CStringListX::~CStringListX() = default;

CStringListX::POSITION CStringListX::GetHeadPosition() const
{
    return m_items.empty() ? 0 : 1;
}

CStringX& CStringListX::GetNext(POSITION& position)
{
    if (position == 0 || position > m_items.size())
    {
        position = 0;
        m_empty = L"";
        return m_empty;
    }
    CStringX& item = m_items[position - 1];
    position = position < m_items.size() ? position + 1 : 0;
    return item;
}

void CStringListX::AddTail(const CStringX& text)
{
    m_items.push_back(text);
}

int CStringListX::GetCount() const
{
    return static_cast<int>(m_items.size());
}

void CStringListX::RemoveAll()
{
    m_items.clear();
}

// --- DFUEngine --------------------------------------------------------------

namespace
{
CMutex& FactoryLock()
{
    static CMutex lock;
    return lock;
}

std::shared_ptr<IDfuTransportFactory>& ProcessFactory()
{
    static std::shared_ptr<IDfuTransportFactory> factory;
    return factory;
}

std::shared_ptr<IDfuTransportFactory> CurrentFactory()
{
    CMutexLock lock(FactoryLock());
    return ProcessFactory();
}

int Percent(std::size_t done, std::size_t total)
{
    if (total == 0)
        return 100;
    return static_cast<int>((static_cast<unsigned long long>(done) * 100ull) / total);
}
} // namespace

void DFUEngine::InitDLL(std::shared_ptr<IDfuTransportFactory> factory)
{
    if (!factory)
        return;
    CMutexLock lock(FactoryLock());
    ProcessFactory() = std::move(factory);
}

int DFUEngine::GetUSBDeviceNames(CStringListX& names, bool includeRunTime)
{
    names.RemoveAll();
    const std::shared_ptr<IDfuTransportFactory> factory = CurrentFactory();
    if (!factory)
        return 0;
    std::unique_ptr<IDfuTransport> transport = factory->CreateTransport();
    if (!transport)
        return 0;
    std::vector<SDfuDeviceEntry> found;
    if (transport->Enumerate(found) != EDfuIo::Ok)
        return 0;
    for (const SDfuDeviceEntry& device : found)
    {
        if (includeRunTime || !device.runtimeMode)
            names.AddTail(CStringX(device.name.c_str()));
    }
    return names.GetCount();
}

DFUEngine::DFUEngine() : DFUEngine(nullptr)
{
}

DFUEngine::DFUEngine(std::shared_ptr<IDfuTransportFactory> factory) : m_factory(std::move(factory))
{
}

DFUEngine::~DFUEngine()
{
    m_abort.store(true);
    ReapThreads(true);
    if (m_host)
        m_host->Close();
}

void DFUEngine::ReapThreads(bool all)
{
    for (auto it = m_threads.begin(); it != m_threads.end();)
    {
        CThread& thread = **it;
        if (thread.GetId() == CThread::CurrentId())
        {
            // A call from inside a callback: this thread cannot wait for itself.
            ++it;
            continue;
        }
        if (all || !thread.IsRunning())
        {
            thread.Wait(kInfinite); // activities are bounded, so this ends
            it = m_threads.erase(it);
        }
        else
        {
            ++it;
        }
    }
    if (all)
    {
        for (auto& thread : m_threads)
            thread->Close(); // only the calling callback thread can be left
        m_threads.clear();
    }
}

bool DFUEngine::CreateUSB(const wchar_t* deviceName)
{
    CMutexLock lock(m_startLock);
    if (m_busy.load() || deviceName == nullptr || *deviceName == L'\0')
        return false;
    if (!m_transport)
    {
        std::shared_ptr<IDfuTransportFactory> factory = m_factory ? m_factory : CurrentFactory();
        if (!factory)
            return false;
        m_transport = factory->CreateTransport();
        if (!m_transport)
            return false;
        m_host = std::make_unique<CDfuHost>(*m_transport);
        m_host->SetAbortFlag(&m_abort);
    }
    const HResult hr = m_host->Open(deviceName);
    if (IsFailure(hr))
    {
        LogPrintf("DFUEngine::CreateUSB - hRes[%08x]\n", static_cast<unsigned>(hr));
        return false;
    }
    return true;
}

void DFUEngine::SetCallback(Callback* callback)
{
    m_callback.store(callback);
}

bool DFUEngine::StartReconfigure(bool resetFirst, bool toDfuMode, const wchar_t* fileName)
{
    CMutexLock lock(m_startLock);
    if (m_busy.load())
        return false;
    m_fileName = fileName ? fileName : L"";
    m_resetFirst = resetFirst;
    m_toDfuMode = toDfuMode;
    return Start(kActivityReconfigure, &DFUEngine::RunReconfigure);
}

bool DFUEngine::StartDownload(const wchar_t* fileName)
{
    CMutexLock lock(m_startLock);
    if (m_busy.load())
        return false;
    m_fileName = fileName ? fileName : L"";
    return Start(kActivityDownload, &DFUEngine::RunDownload);
}

bool DFUEngine::StartManifest()
{
    CMutexLock lock(m_startLock);
    if (m_busy.load())
        return false;
    return Start(kActivityManifest, &DFUEngine::RunManifest);
}

// Called with m_startLock held and the engine idle.
bool DFUEngine::Start(std::int32_t code, Body body)
{
    // Only with a device attached by CreateUSB (a manifested device has
    // restarted and needs a new CreateUSB).
    if (!m_host || !m_host->IsOpen())
        return false;
    ReapThreads(false);
    m_busy.store(true);
    auto thread = std::make_unique<CThread>();
    if (!thread->Start([this, code, body]() -> std::uint32_t {
            RunActivity(code, body);
            return 0;
        }))
    {
        m_busy.store(false);
        return false;
    }
    m_threads.push_back(std::move(thread));
    return true;
}

void DFUEngine::RunActivity(std::int32_t code, Body body)
{
    ProgressRecord record;
    record.activityCode = code;
    if (Callback* callback = m_callback.load())
        callback->Started(this, record);
    const HResult hr = (this->*body)(record);
    record.result = hr;
    FillDeviceState(record);
    if (IsFailure(hr))
        LogPrintf("DFUEngine - activity %d failed, hRes[%08x]\n", static_cast<int>(code),
                  static_cast<unsigned>(hr));
    // The engine is free again before the receiver hears of the end, so it
    // can start the next activity from Complete or right after it.
    m_busy.store(false);
    if (Callback* callback = m_callback.load())
        callback->Complete(this, record);
}

void DFUEngine::FillDeviceState(ProgressRecord& record) const
{
    record.dfuState = m_host->LastState();
    record.dfuStatus = m_host->LastStatus();
    record.transportError = static_cast<std::int32_t>(m_host->LastIo());
}

void DFUEngine::Report(ProgressRecord& record, std::int32_t operation, std::size_t done, std::size_t total,
                       int percent)
{
    record.activity.m_operation = operation;
    record.activity.m_subOperation = operation;
    record.activity.m_bytesDone = static_cast<std::int32_t>(done);
    record.activity.m_bytesTotal = static_cast<std::int32_t>(total);
    record.percent = percent;
    FillDeviceState(record);
    if (Callback* callback = m_callback.load())
        callback->Progress(this, record);
}

HResult DFUEngine::LoadFile(ProgressRecord& record, std::vector<std::uint8_t>& image)
{
    if (!ReadDfuFileW(m_fileName, image, kMaxFileSize))
    {
        LogPrintf("DFUEngine - cannot read the DFU file\n");
        return HR_DFU_BAD_FILE;
    }
    SDfuSuffix suffix;
    std::size_t payloadSize = 0;
    const EDfuFileResult parsed = ParseDfuFile(image.data(), image.size(), &suffix, &payloadSize);
    if (parsed != EDfuFileResult::Ok)
    {
        LogPrintf("DFUEngine - %s\n", DfuFileResultText(parsed));
        return parsed == EDfuFileResult::BadCrc ? HR_DFU_CRC : HR_DFU_BAD_FILE;
    }
    const SDfuDeviceIdentity& id = m_host->Identity();
    if (!id.runtimeMode && ((suffix.idVendor != kDfuSuffixAnyId && suffix.idVendor != id.idVendor) ||
                            (suffix.idProduct != kDfuSuffixAnyId && suffix.idProduct != id.idProduct)))
    {
        LogPrintf("DFUEngine - the DFU file is for %04X:%04X, the device is %04X:%04X\n", suffix.idVendor,
                  suffix.idProduct, id.idVendor, id.idProduct);
        return HR_DFU_WRONG_DEVICE;
    }
    (void)record;
    image.resize(payloadSize);
    return HR_OK;
}

HResult DFUEngine::RunReconfigure(ProgressRecord& record)
{
    Report(record, kOpReadFile, 0, 0, 0);
    std::vector<std::uint8_t> image;
    HResult hr = LoadFile(record, image);
    if (IsFailure(hr))
        return hr;
    if (!m_host->IsOpen())
        return HR_DFU_NO_DEVICE;
    if (m_toDfuMode)
    {
        Report(record, kOpDetach, 0, 0, 30);
        hr = m_host->BringToIdle(m_resetFirst);
        if (IsFailure(hr))
            return hr;
    }
    Report(record, kOpIdle, 0, 0, 100);
    return HR_OK;
}

HResult DFUEngine::RunDownload(ProgressRecord& record)
{
    std::vector<std::uint8_t> image;
    HResult hr = LoadFile(record, image);
    if (IsFailure(hr))
        return hr;
    if (image.empty() || image.size() > static_cast<std::size_t>(INT32_MAX))
    {
        LogPrintf("DFUEngine - the DFU file holds %zu bytes of firmware\n", image.size());
        return HR_DFU_BAD_FILE;
    }
    Report(record, kOpTransfer, 0, image.size(), 0);
    hr = m_host->Download(image, [this, &record](std::size_t done, std::size_t total) {
        Report(record, kOpTransfer, done, total, Percent(done, total));
    });
    if (IsFailure(hr))
    {
        const int done = record.activity.m_bytesDone;
        Report(record, kOpFailed, static_cast<std::size_t>(done), image.size(), Percent(done, image.size()));
    }
    return hr;
}

HResult DFUEngine::RunManifest(ProgressRecord& record)
{
    Report(record, kOpVerify, 0, 0, 0);
    const HResult hr = m_host->Manifest();
    if (IsFailure(hr))
        return hr;
    Report(record, kOpManifestDone, 0, 0, 100);
    return HR_OK;
}
