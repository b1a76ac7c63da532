// Answer packets fed to the receive paths: the fuzz input is what a HID
// device returns for every feature report the host reads (status, answers,
// memory reports), cut into 263-byte reports. Every export that reads
// answers runs on both HID transports; none may read or write outside its
// buffers or hang.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <vector>

#include "avnera/HostInternal.h"
#include "avnera/OrvoHostApi.h"
#include "platform/Clock.h"

namespace
{
class CFuzzDevice : public IHidDevice
{
public:
    CFuzzDevice(const std::uint8_t* data, std::size_t size, std::uint16_t featureLength)
        : m_data(data), m_size(size), m_featureLength(featureLength)
    {
    }
    std::uintptr_t GetHandleValue() const override { return 7; }
    bool IsOverlapped() const override { return true; }
    std::uint32_t GetAccess() const override { return kHidAccessReadWrite; }
    EHidResult GetAttributes(SHidAttributes& attributes) override
    {
        attributes.vendorId = 0x170D;
        attributes.productId = 0xFE00;
        return EHidResult::Ok;
    }
    EHidResult GetCaps(SHidCaps& caps) override
    {
        caps.usagePage = 0xFF00;
        caps.usage = 0x0001;
        caps.featureReportByteLength = m_featureLength;
        return EHidResult::Ok;
    }
    EHidResult GetProductString(std::wstring&) override { return EHidResult::NotSupported; }
    EHidResult GetManufacturerString(std::wstring&) override { return EHidResult::NotSupported; }
    EHidResult GetSerialNumberString(std::wstring&) override { return EHidResult::NotSupported; }
    EHidResult GetIndexedString(std::uint32_t, std::wstring&) override { return EHidResult::NotSupported; }
    EHidResult SetFeature(const std::uint8_t*, std::size_t) override { return EHidResult::Ok; }
    EHidResult GetFeature(std::uint8_t* report, std::size_t length, std::size_t* returned) override
    {
        if (m_offset >= m_size)
            return EHidResult::Failed;
        const std::size_t n = std::min(length - 1, m_size - m_offset);
        std::memcpy(report + 1, m_data + m_offset, n);
        m_offset += n;
        if (returned != nullptr)
            *returned = length;
        return EHidResult::Ok;
    }
    EHidResult WriteOutputReport(const std::uint8_t*, std::size_t, std::uint32_t, std::size_t*) override
    {
        return EHidResult::NotSupported;
    }
    EHidResult ReadInputReport(std::uint8_t*, std::size_t, std::uint32_t, std::size_t*) override
    {
        return EHidResult::NotSupported;
    }
    void Cancel() override {}
    void ResetCancel() override {}

private:
    const std::uint8_t* m_data;
    std::size_t m_size;
    std::size_t m_offset = 0;
    std::uint16_t m_featureLength;
};

class CFuzzSystem : public IHidSystem
{
public:
    const std::uint8_t* data = nullptr;
    std::size_t size = 0;
    std::uint16_t featureLength = 263;
    EHidResult EnumerateInterfaces(std::vector<std::wstring>& paths) override
    {
        paths = {L"\\\\?\\hid#vid_170d&pid_fe00#fuzz#{4d1e55b2-f16f-11cf-88cb-001111000030}"};
        return EHidResult::Ok;
    }
    EHidResult Open(const std::wstring&, const SHidOpenOptions&, CHidDevicePtr& device) override
    {
        device = std::make_unique<CFuzzDevice>(data, size, featureLength);
        return EHidResult::Ok;
    }
    EHidResult GetUsbDeviceInstanceId(const std::wstring&, std::wstring&) override { return EHidResult::NotSupported; }
};
} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    static bool once = false;
    if (!once)
    {
        CClock::SetTimeScale(0.0001);
        once = true;
    }
    if (size < 1)
        return 0;
    CFuzzSystem system;
    // The first byte picks the transport and the feature-report length.
    const std::uint8_t selector = data[0];
    system.data = data + 1;
    system.size = size - 1;
    system.featureLength = static_cast<std::uint16_t>((selector & 0x80) ? 263 : 2 + (selector & 0x3F));
    avnera::SetHidSystem(&system);
    const std::uint32_t type = selector & 1;
    AvDeviceHandle* handle = nullptr;
    if (AvDllOpenDevice(type, 0, &handle) == 0)
    {
        commandSetTimeout(handle, 1);
        std::uint8_t answer[24];
        commandGetResponse(handle, answer);
        std::uint8_t code[5];
        getAssertCode(handle, code);
        std::uint8_t peek[16];
        MemoryPeek(handle, 0x1000, 16, peek);
        AvDllRefreshDevice(handle);
        AvDeviceQuery query = {};
        AvDllQueryDevice(handle, &query);
        char version[32];
        char name[95];
        systemVersionAppNameGet(handle, version, name);
        std::uint8_t eeprom[20];
        eepromRead(handle, 0, sizeof(eeprom), eeprom);
        AvMacStats stats;
        macGetStats(handle, 0, &stats, 0);
        std::vector<std::uint8_t> flash(300);
        FlashRead(handle, 0, 300, flash.data());
        std::vector<std::uint8_t> serial(40);
        SerialMemRead(handle, 0, 40, serial.data(), 35);
        AvDllCloseHandle(handle);
    }
    std::uint16_t indexes[10];
    std::uint32_t ids[10];
    AvDllListDevices(type, 10, indexes, ids);
    AvDllShutdown();
    avnera::SetHidSystem(nullptr);
    return 0;
}
