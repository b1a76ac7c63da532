#include "bench/avnera/AV7201Headset.h"

#include <algorithm>
#include <cstring>

#include "platform/Clock.h"

namespace
{
constexpr std::uint8_t kReportId = 0xFF;
constexpr std::uint8_t kStatusReady = 0x01;
constexpr std::uint8_t kStatusAnswer = 0x05;
constexpr std::uint8_t kStatusBusy = 0x00;
constexpr std::uint32_t kMaxCount = 53;
constexpr std::uint32_t kDropMs = 10;
} // namespace

class CAV7201HidModel : public IBenchHidModel
{
public:
    explicit CAV7201HidModel(std::shared_ptr<CAV7201Headset> headset) : m_headset(std::move(headset)) {}
    void OnAttach(const std::shared_ptr<IBenchHidSink>& sink) override
    {
        m_sink = sink;
        m_headset->Attached();
    }
    void OnDetach() override { m_sink.reset(); }
    EHidResult OnSetFeature(const std::uint8_t* report, std::size_t length) override
    {
        auto sink = m_sink.lock();
        return m_headset->SetFeature(report, length, sink.get());
    }
    EHidResult OnGetFeature(std::uint8_t* report, std::size_t length) override
    {
        return m_headset->GetFeature(report, length);
    }

private:
    std::shared_ptr<CAV7201Headset> m_headset;
    std::weak_ptr<IBenchHidSink> m_sink;
};

std::shared_ptr<CAV7201Headset> CAV7201Headset::Create(const SAV7201HeadsetConfig& config)
{
    return std::make_shared<CAV7201Headset>(config);
}

CAV7201Headset::CAV7201Headset(const SAV7201HeadsetConfig& config) : m_config(config)
{
    m_eeprom.assign(std::max<std::uint32_t>(m_config.eepromSize, 0x100), 0xFF);
    std::copy_n(m_config.eeprom.begin(), std::min(m_config.eeprom.size(), m_eeprom.size()), m_eeprom.begin());
    for (const auto& [cell, value] : m_config.stuckCells)
        if (cell < m_eeprom.size())
            m_eeprom[cell] = value;
    if (m_config.eepromPage == 0)
        m_config.eepromPage = 1;
}

bool CAV7201Headset::ImageValidLocked() const
{
    const std::uint8_t files = m_eeprom[0x81];
    const std::uint32_t first = static_cast<std::uint32_t>(m_eeprom[0x84] | m_eeprom[0x85] << 8);
    return files != 0 && files != 0xFF && first >= 4 && first <= m_eeprom.size() - 0x84;
}

bool CAV7201Headset::ImageValid()
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return ImageValidLocked();
}

SBenchDevice CAV7201Headset::DeviceLocked(bool valid)
{
    SBenchDevice device;
    device.vendorId = valid ? 0x2C6D : 0x170D;
    device.productId = valid ? 0x3240 : 0x0001;
    device.manufacturer = L"Orvo";
    device.product = valid ? kProductName : kDefaultImageName;
    device.otherInterfaces = 2; // audio
    SBenchHidInterface hid;
    hid.interfaceNumber = 2;
    hid.caps.usagePage = 0xFF00;
    hid.caps.usage = 0x0001;
    hid.caps.featureReportByteLength = kFeatureLength;
    hid.reportIds = {kReportId};
    hid.model = std::make_shared<CAV7201HidModel>(shared_from_this());
    device.hidInterfaces.push_back(hid);
    return device;
}

SBenchDevice CAV7201Headset::BootDevice()
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return DeviceLocked(ImageValidLocked());
}

BenchId CAV7201Headset::Plug(CBenchUsbWorld& world, BenchId hub, std::uint8_t port)
{
    return world.Plug(hub, port, BootDevice());
}

void CAV7201Headset::Attached()
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_answer.clear();
    m_busyUntil = 0;
    m_bootUntil = CClock::NowMs() + m_config.bootMs;
}

void CAV7201Headset::Reconnect()
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_gone = false;
    m_config.unplugAtWrite = 0;
}

std::vector<std::uint8_t> CAV7201Headset::Eeprom()
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_eeprom;
}

std::uint32_t CAV7201Headset::EepromWrites()
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_writes;
}

std::uint32_t CAV7201Headset::ReportsTaken()
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_reports;
}

std::uint32_t CAV7201Headset::Stalls()
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_stalls;
}

std::uint32_t CAV7201Headset::Resets()
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_resets;
}

EHidResult CAV7201Headset::SetFeature(const std::uint8_t* r, std::size_t length, IBenchHidSink* sink)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    if (m_gone)
        return EHidResult::NoDevice;
    if (length < 4 || r[0] != kReportId)
        return EHidResult::Failed;
    const std::uint64_t now = CClock::NowMs();
    if (now < m_bootUntil)
        return EHidResult::Ok; // the firmware is not running yet: nobody takes the report
    ++m_reports;
    const std::uint8_t op = r[3];
    if (op == 0x05)
    {
        // Reset: the chip restarts from its EEPROM and enumerates by it.
        m_answer.clear();
        ++m_resets;
        if (sink != nullptr)
            sink->ReEnumerate(DeviceLocked(ImageValidLocked()), kDropMs, m_config.reenumerateMs);
        return EHidResult::Ok;
    }
    if ((op != 0xFD && op != 0xFF) || length < 11 || r[5] != 3)
    {
        m_answer.clear();
        return EHidResult::Ok; // not ours: ignored
    }
    // The EEPROM is in its write cycle: the chip's I2C master gets no
    // acknowledge and the firmware stalls the request.
    if (now < m_busyUntil)
    {
        ++m_stalls;
        return EHidResult::Failed;
    }
    m_answer.clear();
    const std::uint32_t count = r[6];
    const std::uint8_t sub = r[7];
    const std::uint32_t n = static_cast<std::uint32_t>(r[8]) - 0xA0;
    const std::uint32_t address = static_cast<std::uint32_t>(r[9] << 8 | r[10]);
    if ((r[8] & 0xC0) != 0x80 || n > kMaxCount)
        return EHidResult::Ok;
    const std::size_t size = m_eeprom.size();
    if (op == 0xFD && sub == 0xA1 && count == 4)
    {
        std::vector<std::uint8_t> answer = {0xFE, 3, r[4], r[6], r[7], r[8], r[9], r[10]};
        for (std::uint32_t i = 0; i < n; ++i)
            answer.push_back(m_eeprom[(address + i) % size]); // the EEPROM's address counter wraps
        m_answer.push_back(static_cast<std::uint8_t>(answer.size() + 1));
        m_answer.push_back(kStatusAnswer);
        m_answer.insert(m_answer.end(), answer.begin(), answer.end());
        m_answerAt = now + m_config.answerDelayMs;
        return EHidResult::Ok;
    }
    if (op == 0xFF && sub == 0xA0 && count == n + 4 && 11 + n <= length)
    {
        ++m_writes;
        if (m_config.unplugAtWrite > 0 && m_writes == static_cast<std::uint32_t>(m_config.unplugAtWrite))
        {
            m_gone = true;
            if (sink != nullptr)
                sink->DropOff(0);
            return EHidResult::NoDevice;
        }
        // A page write: the address wraps inside its page.
        const std::uint32_t page = m_config.eepromPage;
        const std::uint32_t base = address % size / page * page;
        for (std::uint32_t i = 0; i < n; ++i)
        {
            const std::uint32_t cell = base + (address % page + i) % page;
            if (cell < size && m_config.stuckCells.count(cell) == 0)
                m_eeprom[cell] = r[11 + i];
        }
        m_busyUntil = now + m_config.writeCycleMs;
    }
    return EHidResult::Ok;
}

EHidResult CAV7201Headset::GetFeature(std::uint8_t* report, std::size_t length)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    if (m_gone)
        return EHidResult::NoDevice;
    if (length < 3 || report[0] != kReportId)
        return EHidResult::Failed;
    std::memset(report + 1, 0, length - 1);
    const std::uint64_t now = CClock::NowMs();
    if (now < m_bootUntil || now < m_busyUntil || (!m_answer.empty() && now < m_answerAt))
    {
        report[2] = kStatusBusy;
        return EHidResult::Ok;
    }
    if (m_answer.empty())
    {
        report[2] = kStatusReady;
        return EHidResult::Ok;
    }
    std::copy_n(m_answer.begin(), std::min(m_answer.size(), length - 1), report + 1);
    return EHidResult::Ok;
}
