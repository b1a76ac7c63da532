// Device replies fed to the AV7300 upgrader: the fuzz input is what the
// chip answers to every feature report the upgrader reads (status reports,
// peek and poke answers), one length-prefixed chunk per report. Init, the
// device's version string and file search, and an upgrade of a small image
// run on it; none may read or write outside its buffers or hang.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "avnera/FirmwareUpgradeAV7300.h"
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
        attributes.vendorId = 0x2C6D;
        attributes.productId = 0x3240;
        return EHidResult::Ok;
    }
    EHidResult GetCaps(SHidCaps& caps) override
    {
        caps.usagePage = 0xFF00;
        caps.usage = 0x0001;
        caps.featureReportByteLength = m_featureLength;
        return EHidResult::Ok;
    }
    EHidResult GetProductString(std::wstring& text) override
    {
        text = L"fuzz";
        return EHidResult::Ok;
    }
    EHidResult GetManufacturerString(std::wstring&) override { return EHidResult::NotSupported; }
    EHidResult GetSerialNumberString(std::wstring&) override { return EHidResult::NotSupported; }
    EHidResult GetIndexedString(std::uint32_t, std::wstring&) override { return EHidResult::NotSupported; }
    EHidResult SetFeature(const std::uint8_t*, std::size_t) override { return EHidResult::Ok; }
    // Each report read takes one chunk of the input: a length byte, then
    // that many bytes from report byte 1 on.
    EHidResult GetFeature(std::uint8_t* report, std::size_t length, std::size_t* returned) override
    {
        if (m_offset >= m_size || length < 1)
            return EHidResult::Failed;
        std::size_t n = m_data[m_offset++];
        n = std::min({n, length - 1, m_size - m_offset});
        std::memset(report + 1, 0, length - 1);
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
        paths = {L"\\\\?\\hid#vid_2c6d&pid_3240#fuzz#{4d1e55b2-f16f-11cf-88cb-001111000030}"};
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
    // The first byte picks the feature-report length.
    const std::uint8_t selector = data[0];
    system.data = data + 1;
    system.size = size - 1;
    system.featureLength = static_cast<std::uint16_t>((selector & 0x80) ? 263 : 1 + (selector & 0x7F));
    SAV7300Environment env;
    env.hid = &system;
    CFirmwareUpgradeAV7300 upgrader(env);
    if (upgrader.Init(0, 0) != HR_OK)
        return 0;
    std::string version;
    upgrader.GetDeviceFWVersionString(&version);
    wchar_t name[16];
    upgrader.GetProductName(name, sizeof(name));
    std::uint32_t offset = 0;
    upgrader.FindFileInDeviceFWImage(12, &offset);
    std::uint8_t block[16];
    upgrader.ReadBlockFromFlash(0, 16, block);
    // A small upgrade: the first block is held back and written last.
    std::vector<std::uint8_t> image(300, 0x5A);
    if (upgrader.InitFirmwareUpgrade(static_cast<std::uint32_t>(image.size())) == HR_OK &&
        upgrader.FirmwareUpgradeWrite(image.data(), static_cast<std::uint32_t>(image.size())))
        upgrader.EndFirmwareUpgrade();
    return 0;
}
