#pragma once
// Shared pieces of the DFU tests: a recording engine callback and DFU files
// on disk.

#include <string>
#include <vector>

#include "dfu/DFUEngine.h"
#include "platform/Sync.h"

struct SRecordedEvent
{
    char kind; // 'S' started, 'P' progress, 'C' complete
    DFUEngine::ProgressRecord record;
    unsigned char bytes[sizeof(DFUEngine::ProgressRecord)];
};

class CRecordingCallback : public DFUEngine::Callback
{
public:
    CRecordingCallback();
    void Started(DFUEngine* engine, const DFUEngine::ProgressRecord& record) override;
    void Progress(DFUEngine* engine, const DFUEngine::ProgressRecord& record) override;
    void Complete(DFUEngine* engine, const DFUEngine::ProgressRecord& record) override;

    // Waits (bounded, real seconds) for the next Complete; false on time-out.
    bool WaitComplete(HResult* result = nullptr);
    std::vector<SRecordedEvent> Events();
    void Clear();
    int CompleteCount();

private:
    void Add(char kind, const DFUEngine::ProgressRecord& record);
    CMutex m_lock;
    CEvent m_completed;
    std::vector<SRecordedEvent> m_events;
    HResult m_lastResult = 0;
};

// A DFU file whose payload (payload bytes, a firmware the simulated devices
// take) is followed by the suffix.
std::vector<std::uint8_t> MakeDfuImage(std::size_t payload, std::uint16_t vid = 0xFFFF, std::uint16_t pid = 0xFFFF);
// What a device receives of a DFU file: everything before the suffix.
std::vector<std::uint8_t> PayloadOf(const std::vector<std::uint8_t>& dfuFile);
// Writes bytes to a file in the test's folder; returns the wide path.
std::wstring WriteDfuTestFile(const std::string& folder, const std::string& name,
                              const std::vector<std::uint8_t>& bytes);
