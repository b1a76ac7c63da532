#include "bench/tavik/TavikHeadset.h"

#include <cctype>
#include <cstring>

#include "platform/Clock.h"
#include "platform/HidReportDescriptor.h"

namespace
{
// "1.05.3" -> the four version digits, least significant first.
bool VersionDigits(const std::string& version, std::uint8_t digits[4])
{
    if (version.size() != 6 || version[1] != '.' || version[4] != '.')
        return false;
    const char d[4] = {version[5], version[3], version[2], version[0]};
    for (int i = 0; i < 4; ++i)
    {
        if (!std::isxdigit(static_cast<unsigned char>(d[i])))
            return false;
        digits[i] = static_cast<std::uint8_t>(std::isdigit(static_cast<unsigned char>(d[i])) ? d[i] - '0'
                                                                                                 : std::tolower(d[i]) - 'a' + 10);
    }
    return true;
}
} // namespace

CTavikHeadset::CTavikHeadset(const STavikHeadsetConfig& config, std::shared_ptr<CSimDfuBus> dfuBus)
    : m_config(config)
    , m_bus(std::move(dfuBus))
    , m_mode(config.startInDfuMode ? EMode::Dfu : EMode::Hid)
    , m_version(config.version)
    , m_driverInstalled(config.driverInstalled)
{
    // The chip's DFU personality, on the bus from the start but absent until
    // the headset re-enumerates into it. After manifestation it restarts as
    // the HID headset, not as a DFU device.
    SSimDfuConfig cfg = m_config.dfu;
    cfg.startInRuntime = false;
    cfg.restartsAsOtherDevice = true;
    auto dfu = std::make_shared<CSimDfuDevice>(cfg);
    dfu->Unplug();
    m_bus->AddDevice(dfu);
    CMutexLock lock(m_lock);
    m_dfu = std::move(dfu);
    if (m_mode == EMode::Dfu)
        PlugDfuLocked(CClock::NowMs());
}

CTavikHeadset::~CTavikHeadset() = default;

void CTavikHeadset::PlugDfuLocked(std::uint64_t atMs)
{
    // Without its driver the device is there, but the host does not see it.
    if (m_driverInstalled)
        m_dfu->PlugAt(atMs);
}

void CTavikHeadset::UpdateLocked()
{
    const std::uint64_t now = CClock::NowMs();
    if (m_mode == EMode::SwitchingToDfu)
    {
        // Pulled out half-way through the re-enumeration: the DFU device
        // never appeared.
        if (m_config.unplugWhileSwitching)
        {
            if (now + m_config.reenumerateMs / 2 >= m_switchAtMs)
            {
                m_mode = EMode::Unplugged;
                m_gone = true;
            }
            return;
        }
        if (now < m_switchAtMs)
            return;
        m_mode = EMode::Dfu; // its DFU device appeared at m_switchAtMs by itself
    }
    if (m_mode == EMode::Dfu && m_dfu->ManifestCount() > m_manifestsSeen)
    {
        // The new firmware is in place; the chip restarted into it when it
        // manifested, and is back in HID mode a re-enumeration later.
        m_manifestsSeen = m_dfu->ManifestCount();
        m_firmware = m_dfu->Firmware();
        const std::string stated = ImageVersion(m_firmware);
        if (!stated.empty())
            m_version = stated;
        m_dfu->Unplug();
        m_mode = EMode::Restarting;
        m_switchAtMs = m_dfu->ManifestedAtMs() + m_config.reenumerateMs;
    }
    if (m_mode == EMode::Restarting && now >= m_switchAtMs)
    {
        m_mode = EMode::Hid;
        ++m_hidGeneration;
    }
}

void CTavikHeadset::InstallDriver()
{
    CMutexLock lock(m_lock);
    UpdateLocked();
    const bool wasInstalled = m_driverInstalled;
    m_driverInstalled = true;
    // A driver in place before the re-enumeration ends binds the DFU device
    // as it appears; one that comes later waits for the next plug.
    if (!wasInstalled && m_mode == EMode::SwitchingToDfu && !m_config.unplugWhileSwitching)
        PlugDfuLocked(m_switchAtMs);
}

bool CTavikHeadset::IsDriverInstalled()
{
    CMutexLock lock(m_lock);
    return m_driverInstalled;
}

void CTavikHeadset::Replug()
{
    CMutexLock lock(m_lock);
    if (m_gone)
        return;
    m_dfu->Unplug();
    m_inputReports.clear();
    m_mode = EMode::Hid;
    ++m_hidGeneration;
}

CTavikHeadset::EMode CTavikHeadset::Mode()
{
    CMutexLock lock(m_lock);
    UpdateLocked();
    return m_mode;
}

std::string CTavikHeadset::Version()
{
    CMutexLock lock(m_lock);
    UpdateLocked();
    return m_version;
}

std::vector<std::uint8_t> CTavikHeadset::Firmware()
{
    CMutexLock lock(m_lock);
    UpdateLocked();
    if (m_dfu->ManifestCount() > 0)
        return m_dfu->Firmware();
    return m_firmware;
}

std::shared_ptr<CSimDfuDevice> CTavikHeadset::DfuDevice()
{
    CMutexLock lock(m_lock);
    return m_dfu;
}

bool CTavikHeadset::IsPresent()
{
    CMutexLock lock(m_lock);
    UpdateLocked();
    return m_mode == EMode::Hid;
}

SBenchDevice CTavikHeadset::HidDescription() const
{
    SBenchDevice d;
    d.vendorId = 0x2C6D;
    d.productId = 0x3240;
    d.bcdDevice = 0x0100;
    d.serialNumber = L"TVK0001";
    d.manufacturer = L"Veritane";
    d.product = m_config.productName;
    SBenchHidInterface hid;
    hid.interfaceNumber = 0;
    hid.reportDescriptor = MakeBenchReportDescriptor(0xFF00, 0x0001, 17, 17, 0, 0x02);
    hid.interruptOut = true;
    d.hidInterfaces.push_back(hid);
    return d;
}

SHidApiDeviceInfo CTavikHeadset::Info()
{
    const SBenchDevice d = HidDescription();
    CMutexLock lock(m_lock);
    SHidApiDeviceInfo info;
    info.path = "bench-hid:" + m_config.dfu.location + ":1." + std::to_string(d.hidInterfaces[0].interfaceNumber) +
                ":" + std::to_string(m_hidGeneration);
    info.vendorId = d.vendorId;
    info.productId = d.productId;
    info.serialNumber = d.serialNumber;
    info.releaseNumber = d.bcdDevice;
    info.manufacturer = d.manufacturer;
    info.product = d.product;
    SHidCaps caps;
    ParseHidReportDescriptor(d.hidInterfaces[0].reportDescriptor.data(), d.hidInterfaces[0].reportDescriptor.size(),
                             caps);
    info.usagePage = caps.usagePage;
    info.usage = caps.usage;
    info.interfaceNumber = d.hidInterfaces[0].interfaceNumber;
    return info;
}

int CTavikHeadset::OnOutputReport(const std::uint8_t* data, std::size_t length)
{
    CMutexLock lock(m_lock);
    UpdateLocked();
    if (m_mode != EMode::Hid)
        return -1;
    if (data == nullptr || length < 3 || data[0] != 0x02)
        return -1; // the interface has only report 2
    if (data[1] == 0x32 && data[2] == 0x33)
    {
        std::uint8_t digits[4] = {};
        if (VersionDigits(m_version, digits))
            m_inputReports.push_back({0x02, 0x33, digits[0], digits[1], digits[2], digits[3]});
    }
    else if (data[1] == 0x01 && data[2] == 0x01)
    {
        if (m_config.unplugOnEnterDfu)
        {
            m_mode = EMode::Unplugged;
            m_gone = true;
            m_inputReports.clear();
            return static_cast<int>(length);
        }
        m_mode = EMode::SwitchingToDfu;
        m_switchAtMs = CClock::NowMs() + m_config.reenumerateMs;
        m_inputReports.clear();
        if (!m_config.unplugWhileSwitching)
            PlugDfuLocked(m_switchAtMs);
    }
    return static_cast<int>(length);
}

int CTavikHeadset::ReadInputReport(std::uint8_t* data, std::size_t length)
{
    CMutexLock lock(m_lock);
    UpdateLocked();
    if (m_mode != EMode::Hid)
        return -1;
    if (m_inputReports.empty() || data == nullptr)
        return 0;
    const std::vector<std::uint8_t> report = m_inputReports.front();
    m_inputReports.erase(m_inputReports.begin());
    const std::size_t n = report.size() < length ? report.size() : length;
    std::memcpy(data, report.data(), n);
    return static_cast<int>(n);
}

int CTavikHeadset::GetFeatureReport(std::uint8_t*, std::size_t)
{
    return -1;
}

std::wstring CTavikHeadset::ProductString()
{
    return m_config.productName;
}

std::string CTavikHeadset::ImageVersion(const std::vector<std::uint8_t>& image)
{
    // The first "D.DD.D" text in the image that is not part of a longer number.
    for (std::size_t i = 0; i + 6 <= image.size(); ++i)
    {
        auto digit = [&](std::size_t k) { return std::isdigit(image[i + k]) != 0; };
        if (digit(0) && image[i + 1] == '.' && digit(2) && digit(3) && image[i + 4] == '.' && digit(5) &&
            (i == 0 || (!std::isdigit(image[i - 1]) && image[i - 1] != '.')) &&
            (i + 6 == image.size() || (!std::isdigit(image[i + 6]) && image[i + 6] != '.')))
            return std::string(image.begin() + static_cast<long>(i), image.begin() + static_cast<long>(i) + 6);
    }
    return {};
}
