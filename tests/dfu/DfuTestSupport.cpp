#include "tests/dfu/DfuTestSupport.h"

#include <cstring>

#include "bench/dfu/SimFirmware.h"
#include "dfu/DfuFile.h"
#include "tests/TestSupport.h"

CRecordingCallback::CRecordingCallback()
{
    m_completed.Create(false, false);
}

void CRecordingCallback::Add(char kind, const DFUEngine::ProgressRecord& record)
{
    SRecordedEvent event;
    event.kind = kind;
    event.record = record;
    std::memcpy(event.bytes, &record, sizeof(record));
    CMutexLock lock(m_lock);
    m_events.push_back(event);
}

void CRecordingCallback::Started(DFUEngine*, const DFUEngine::ProgressRecord& record)
{
    Add('S', record);
}

void CRecordingCallback::Progress(DFUEngine*, const DFUEngine::ProgressRecord& record)
{
    Add('P', record);
}

void CRecordingCallback::Complete(DFUEngine*, const DFUEngine::ProgressRecord& record)
{
    Add('C', record);
    {
        CMutexLock lock(m_lock);
        m_lastResult = record.result;
    }
    m_completed.Set();
}

bool CRecordingCallback::WaitComplete(HResult* result)
{
    if (m_completed.Wait(RealSeconds(30)) != EWaitResult::Signalled)
        return false;
    if (result)
    {
        CMutexLock lock(m_lock);
        *result = m_lastResult;
    }
    return true;
}

std::vector<SRecordedEvent> CRecordingCallback::Events()
{
    CMutexLock lock(m_lock);
    return m_events;
}

void CRecordingCallback::Clear()
{
    CMutexLock lock(m_lock);
    m_events.clear();
}

int CRecordingCallback::CompleteCount()
{
    CMutexLock lock(m_lock);
    int n = 0;
    for (const auto& e : m_events)
        n += e.kind == 'C';
    return n;
}

std::vector<std::uint8_t> MakeDfuImage(std::size_t payload, std::uint16_t vid, std::uint16_t pid)
{
    std::vector<std::uint8_t> image = MakeSimFirmwareOfSize(payload);
    AppendDfuSuffix(image, 0x0100, pid, vid);
    return image;
}

std::vector<std::uint8_t> PayloadOf(const std::vector<std::uint8_t>& dfuFile)
{
    SDfuSuffix suffix;
    std::size_t payload = 0;
    if (ParseDfuFile(dfuFile.data(), dfuFile.size(), &suffix, &payload) != EDfuFileResult::Ok)
        return {};
    return std::vector<std::uint8_t>(dfuFile.begin(), dfuFile.begin() + static_cast<long>(payload));
}

std::wstring WriteDfuTestFile(const std::string& folder, const std::string& name,
                              const std::vector<std::uint8_t>& bytes)
{
    const std::string path = JoinPath(folder, name);
    WriteFileBytes(path, std::string(bytes.begin(), bytes.end()));
    return std::wstring(path.begin(), path.end());
}
