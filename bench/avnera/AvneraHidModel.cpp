#include "bench/avnera/AvneraHidModel.h"

#include <algorithm>
#include <cstring>

CAvneraHidModel::CAvneraHidModel(std::shared_ptr<CAvneraChip> chip, bool vendorFace)
    : m_chip(std::move(chip)), m_vendor(vendorFace)
{
}

void CAvneraHidModel::OnAttach(const std::shared_ptr<IBenchHidSink>& sink)
{
    m_sink = sink;
    if (m_vendor)
        return;
    std::weak_ptr<IBenchHidSink> weak = sink;
    std::weak_ptr<CAvneraChip> chip = m_chip;
    m_chip->SetFlashModeListener([weak, chip](std::uint32_t mode) {
        auto target = weak.lock();
        auto owner = chip.lock();
        if (!target || !owner || mode > 1)
            return;
        target->ReEnumerate(MakeAvneraGenericDevice(owner, 0x170D, static_cast<std::uint16_t>(0x0100 + mode)),
                            kAvneraFlashDropMs, kAvneraFlashBackMs);
    });
}

void CAvneraHidModel::OnDetach()
{
    m_sink.reset();
    if (!m_vendor)
        m_chip->SetFlashModeListener(nullptr);
}

// A chip that left the host takes the device off the bus with it.
bool CAvneraHidModel::Gone()
{
    if (!m_chip->Unplugged())
        return false;
    if (auto sink = m_sink.lock())
        sink->DropOff(0);
    return true;
}

EHidResult CAvneraHidModel::OnSetFeature(const std::uint8_t* report, std::size_t length)
{
    if (Gone())
        return EHidResult::NoDevice;
    if (length < 3)
        return EHidResult::Failed;
    const std::uint8_t id = report[0];
    const std::uint8_t command = m_vendor ? 0xE1 : 0xFF;
    if (id == command)
    {
        // Byte 1 counts the packet and what the face puts before it.
        const std::size_t overhead = m_vendor ? 2 : 1;
        if (report[1] < overhead + 1)
            return EHidResult::Failed;
        const std::size_t available = std::min<std::size_t>(report[1] - overhead, length - 3);
        if (!m_vendor && available == 1 && report[3] == 0x0A)
        {
            m_passThrough = true; // serial-memory pass-through request
            return EHidResult::Ok;
        }
        if (!m_vendor)
            m_passThrough = false;
        const EAvneraTake taken =
            m_chip->Command(report + 3, available, m_vendor ? EAvneraPort::VendorHid : EAvneraPort::GenericHid);
        if (Gone())
            return EHidResult::NoDevice;
        return taken == EAvneraTake::Busy ? EHidResult::Failed : EHidResult::Ok;
    }
    if (id == 0xE0 && m_vendor)
    {
        const std::uint16_t code = static_cast<std::uint16_t>(report[1] | report[2] << 8);
        const std::uint8_t value = report[3];
        if (code == 0)
            m_chip->SetResetLine(value != 0);
        else if (code == 2)
            m_passThrough = value != 0;
        return EHidResult::Ok;
    }
    if (id == 0xE2 && !m_passThrough)
        return EHidResult::Failed;
    if (id == 0xE2 && length >= 7)
    {
        const std::uint32_t address = static_cast<std::uint32_t>(report[1]) | static_cast<std::uint32_t>(report[2]) << 8 |
                                      static_cast<std::uint32_t>(report[3]) << 16 |
                                      static_cast<std::uint32_t>(report[4]) << 24;
        const std::size_t count = static_cast<std::size_t>(report[5] | report[6] << 8);
        if (count + 7 > length)
            return EHidResult::Failed;
        m_readAddress = address;
        if (count > 0)
            m_chip->SerialProgram(address, report + 7, count);
        return EHidResult::Ok;
    }
    if (id == 0xE4 && !m_vendor && length >= 7)
    {
        const std::uint32_t address = static_cast<std::uint32_t>(report[1]) | static_cast<std::uint32_t>(report[2]) << 8;
        const std::size_t count = static_cast<std::size_t>(report[5] | report[6] << 8);
        if (count + 7 > length)
            return EHidResult::Failed;
        m_chip->DownloadWrite(address, report + 7, count);
        return EHidResult::Ok;
    }
    return EHidResult::Failed;
}

EHidResult CAvneraHidModel::OnGetFeature(std::uint8_t* report, std::size_t length)
{
    if (Gone())
        return EHidResult::NoDevice;
    if (length < 3)
        return EHidResult::Failed;
    const std::uint8_t id = report[0];
    // A GET_REPORT carries nothing to the device but the report ID.
    std::memset(report + 1, 0, length - 1);
    const std::uint8_t command = m_vendor ? 0xE1 : 0xFF;
    if (id == command)
    {
        const std::uint8_t status = m_chip->HidStatus();
        report[2] = status;
        if (status == 0x40 || (status & 0x40) != 0)
        {
            const std::vector<std::uint8_t> assertion = m_chip->AssertionBytes();
            report[1] = 4;
            std::copy(assertion.begin() + 1, assertion.end(), report + 3);
            return EHidResult::Ok;
        }
        if ((status & 0x04) != 0)
        {
            const std::vector<std::uint8_t> answer = m_chip->PeekAnswer();
            report[1] = static_cast<std::uint8_t>(answer.size());
            std::copy(answer.begin(), answer.begin() + std::min(answer.size(), length - 3), report + 3);
        }
        return EHidResult::Ok;
    }
    if (id == 0xE2 && !m_passThrough)
        return EHidResult::Failed;
    if (id == 0xE2 && length > 7)
    {
        const std::size_t count = length - 7;
        report[1] = static_cast<std::uint8_t>(m_readAddress);
        report[2] = static_cast<std::uint8_t>(m_readAddress >> 8);
        report[3] = static_cast<std::uint8_t>(m_readAddress >> 16);
        report[4] = static_cast<std::uint8_t>(m_readAddress >> 24);
        report[5] = static_cast<std::uint8_t>(count);
        report[6] = static_cast<std::uint8_t>(count >> 8);
        m_chip->SerialRead(m_readAddress, report + 7, count);
        return EHidResult::Ok;
    }
    if (m_vendor && id == 0xF2)
    {
        const std::uint16_t version = m_chip->Config().firmwareVersion;
        report[1] = static_cast<std::uint8_t>(version);
        report[2] = static_cast<std::uint8_t>(version >> 8);
        return EHidResult::Ok;
    }
    if (m_vendor && id == 0xF3)
    {
        const SAvneraChipConfig config = m_chip->Config();
        const std::size_t first = (config.firmwareVersion & 0xFF) == 4 ? 1 : 2;
        for (int i = 0; i < 4; ++i)
            report[first + i] = static_cast<std::uint8_t>(config.uniqueId >> (8 * i));
        return EHidResult::Ok;
    }
    return EHidResult::Failed;
}

namespace
{
SBenchDevice MakeDevice(const std::shared_ptr<CAvneraChip>& chip, std::uint16_t vendorId, std::uint16_t productId,
                        bool vendor)
{
    SBenchDevice device;
    device.vendorId = vendorId;
    device.productId = productId;
    device.manufacturer = L"Bench";
    device.product = vendor ? L"Avnera vendor HID" : L"Avnera generic HID";
    SBenchHidInterface hid;
    hid.caps.usagePage = 0xFF00;
    hid.caps.usage = 0x0001;
    hid.caps.featureReportByteLength = kAvneraFeatureLength;
    if (vendor)
        hid.reportIds = {0xE0, 0xE1, 0xE2, 0xF2, 0xF3};
    else
        hid.reportIds = {0xE2, 0xE4, 0xFF};
    hid.model = std::make_shared<CAvneraHidModel>(chip, vendor);
    device.hidInterfaces.push_back(hid);
    return device;
}
} // namespace

SBenchDevice MakeAvneraGenericDevice(const std::shared_ptr<CAvneraChip>& chip, std::uint16_t vendorId,
                                     std::uint16_t productId)
{
    return MakeDevice(chip, vendorId, productId, false);
}

SBenchDevice MakeAvneraVendorDevice(const std::shared_ptr<CAvneraChip>& chip)
{
    return MakeDevice(chip, 0x170D, 0xFE00, true);
}
