// Replies of a chip as the memory access reads them: any report IDs,
// lengths and contents, for reads and verified writes of every memory type.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>

#include "conexant/CxAudioHidDevice.h"

namespace
{
// A device whose input reports come from the fuzzer's bytes.
class CFuzzHid : public IHidDevice
{
public:
    CFuzzHid(const std::uint8_t* data, std::size_t size) : m_data(data), m_size(size) {}
    std::uintptr_t GetHandleValue() const override { return 1; }
    bool IsOverlapped() const override { return true; }
    std::uint32_t GetAccess() const override { return kHidAccessReadWrite; }
    EHidResult GetAttributes(SHidAttributes&) override { return EHidResult::Ok; }
    EHidResult GetCaps(SHidCaps&) override { return EHidResult::Ok; }
    EHidResult GetProductString(std::wstring&) override { return EHidResult::Failed; }
    EHidResult GetManufacturerString(std::wstring&) override { return EHidResult::Failed; }
    EHidResult GetSerialNumberString(std::wstring&) override { return EHidResult::Failed; }
    EHidResult GetIndexedString(std::uint32_t, std::wstring&) override { return EHidResult::Failed; }
    EHidResult SetFeature(const std::uint8_t*, std::size_t) override { return EHidResult::Failed; }
    EHidResult GetFeature(std::uint8_t*, std::size_t, std::size_t*) override { return EHidResult::Failed; }
    EHidResult WriteOutputReport(const std::uint8_t*, std::size_t length, std::uint32_t, std::size_t* written) override
    {
        if (written != nullptr)
            *written = length;
        return EHidResult::Ok;
    }
    EHidResult ReadInputReport(std::uint8_t* report, std::size_t capacity, std::uint32_t, std::size_t* read) override
    {
        // Each report: one length byte (0xFF: a time-out, 0xFE a failure,
        // 0xFD the device did not carry it out, 0xFC gone), then that many bytes.
        if (m_pos >= m_size)
            return EHidResult::Timeout;
        const std::size_t n = m_data[m_pos++];
        if (n == 0xFF)
            return EHidResult::Timeout;
        if (n == 0xFE)
            return EHidResult::Failed;
        if (n == 0xFD)
            return EHidResult::DeviceError;
        if (n == 0xFC)
            return EHidResult::NoDevice;
        const std::size_t take = std::min({n, m_size - m_pos, capacity});
        std::memcpy(report, m_data + m_pos, take);
        m_pos += take;
        if (read != nullptr)
            *read = take;
        return EHidResult::Ok;
    }
    void Cancel() override {}
    void ResetCancel() override {}

private:
    const std::uint8_t* m_data;
    std::size_t m_size;
    std::size_t m_pos = 0;
};
} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    if (size < 6)
        return 0;
    const int chipType = data[0] % 3;
    const bool corrected = (data[0] & 0x80) != 0;
    const std::uint32_t direction = data[1] & 1;
    const std::uint32_t memoryType = (data[1] >> 1) % 5;
    const std::uint32_t flags = data[2];
    const std::uint32_t count = 1 + data[3] % 80;
    const std::uint32_t address = (static_cast<std::uint32_t>(data[4]) << 8) | data[5];

    SCxIdentityRecord identity;
    identity.flags = corrected && chipType == kCxChip2070x ? kCxIdentityCorrected : 0;
    const SCxProtocolDescriptor& protocol = CxProtocolDescriptor(chipType);
    identity.caps.inputReportByteLength = protocol.inputLength;
    identity.caps.outputReportByteLength = protocol.outputLength;
    SCxDeviceHandles handles;
    handles.mutex = std::make_shared<CCxDeviceMutex>();
    handles.mutex->Create();
    handles.writeHandle = std::make_unique<CFuzzHid>(nullptr, 0);
    handles.readHandle = std::make_unique<CFuzzHid>(data + 6, size - 6);
    CxAudioHidDevice* device = CreateCxChipObject(chipType, identity, std::move(handles));
    SCxIoSettings io = device->GetIoSettings();
    io.allowedReads = 50;
    device->SetIoSettings(io);

    std::uint8_t buffer[80];
    std::memset(buffer, 0x5A, sizeof(buffer));
    SCxAccessStatistics stats{};
    stats.size = sizeof(stats);
    const int status = device->MemoryAccess(direction, memoryType, flags, address, count, buffer, count, &stats);
    if (status < 0 || status > kCxStatusLast)
        __builtin_trap();
    if (stats.bytesDone > count || (status == 0 && stats.bytesDone != count))
        __builtin_trap();
    if (stats.differencesTotal > count)
        __builtin_trap();
    // A second access after the first: replies still owed are waited for and dropped first.
    stats = SCxAccessStatistics{};
    stats.size = sizeof(stats);
    const int again = device->MemoryAccess(0, memoryType, flags, address, count, buffer, count, &stats);
    if (again < 0 || again > kCxStatusLast || stats.bytesDone > count)
        __builtin_trap();
    device->Release();
    return 0;
}
