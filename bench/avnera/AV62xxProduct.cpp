#include "bench/avnera/AV62xxProduct.h"

#include <algorithm>
#include <cstring>

#include "bench/avnera/AvneraHidModel.h"

namespace
{
constexpr std::uint32_t kDropMs = 10;
constexpr std::uint32_t kBackMs = 1000;
} // namespace

// The headset's HID face: the chip's generic face, with the application's
// information unit and the boot ROM's re-enumeration around it.
class CAV62xxHidModel : public IBenchHidModel
{
public:
    CAV62xxHidModel(std::shared_ptr<CAV62xxProduct> product, std::shared_ptr<IBenchHidModel> inner, bool application)
        : m_product(std::move(product)), m_inner(std::move(inner)), m_application(application)
    {
    }

    void OnAttach(const std::shared_ptr<IBenchHidSink>& sink) override
    {
        m_inner->OnAttach(sink);
        m_sink = sink;
        m_resets = m_product->m_chip->ResetCount();
        // Flash-mode entry: the chip leaves the bus and its loader comes back.
        std::weak_ptr<IBenchHidSink> weak = sink;
        std::weak_ptr<CAV62xxProduct> owner = m_product;
        m_product->m_chip->SetFlashModeListener([weak, owner](std::uint32_t mode) {
            auto target = weak.lock();
            auto product = owner.lock();
            if (!target || !product || mode > 1)
                return;
            target->ReEnumerate(product->DeviceFor(0x170D, static_cast<std::uint16_t>(0x0100 + mode),
                                                   CAV62xxProduct::kLoaderName),
                                kAvneraFlashDropMs, kAvneraFlashBackMs);
        });
    }
    void OnDetach() override
    {
        m_inner->OnDetach();
        m_sink.reset();
    }

    EHidResult OnSetFeature(const std::uint8_t* report, std::size_t length) override
    {
        {
            std::lock_guard<std::mutex> lock(m_product->m_mutex);
            if (m_product->m_gone)
                return EHidResult::NoDevice;
        }
        m_info.clear();
        if (length >= 9 && report[0] == 0xFF && report[3] == 0xFD && report[5] == 0x12 && report[8] == 0x0C)
        {
            if (m_application && !m_product->m_chip->InFlashMode())
                m_info = m_product->InfoAnswer(report[4]);
            return EHidResult::Ok;
        }
        if (length >= 9 && report[0] == 0xFF && report[3] == 0xFF && report[6] == 0 && report[7] == 2 &&
            report[8] == 0x03)
        {
            std::lock_guard<std::mutex> lock(m_product->m_mutex);
            ++m_product->m_writes;
            if (m_product->m_config.unplugAtWrite > 0 &&
                m_product->m_writes == static_cast<std::uint32_t>(m_product->m_config.unplugAtWrite))
            {
                m_product->m_gone = true;
                if (auto sink = m_sink.lock())
                    sink->DropOff(0);
                return EHidResult::NoDevice;
            }
        }
        const EHidResult result = m_inner->OnSetFeature(report, length);
        const std::uint32_t resets = m_product->m_chip->ResetCount();
        if (resets != m_resets)
        {
            // The chip restarted: the boot ROM decides again what runs.
            m_resets = resets;
            if (auto sink = m_sink.lock())
                sink->ReEnumerate(m_product->BootDevice(), kDropMs, kBackMs);
        }
        return result;
    }

    EHidResult OnGetFeature(std::uint8_t* report, std::size_t length) override
    {
        {
            std::lock_guard<std::mutex> lock(m_product->m_mutex);
            if (m_product->m_gone)
                return EHidResult::NoDevice;
        }
        if (!m_info.empty() && length >= 3 && report[0] == 0xFF)
        {
            std::memset(report + 1, 0, length - 1);
            report[1] = static_cast<std::uint8_t>(m_info.size());
            report[2] = 0x05;
            std::copy_n(m_info.begin(), std::min(m_info.size(), length - 3), report + 3);
            return EHidResult::Ok;
        }
        return m_inner->OnGetFeature(report, length);
    }

private:
    std::shared_ptr<CAV62xxProduct> m_product;
    std::shared_ptr<IBenchHidModel> m_inner;
    const bool m_application;
    std::weak_ptr<IBenchHidSink> m_sink;
    std::uint32_t m_resets = 0;
    std::vector<std::uint8_t> m_info;
};

std::shared_ptr<CAV62xxProduct> CAV62xxProduct::Create(const SAV62xxProductConfig& config)
{
    return std::make_shared<CAV62xxProduct>(config);
}

CAV62xxProduct::CAV62xxProduct(const SAV62xxProductConfig& config) : m_config(config)
{
    SAvneraChipConfig chip = m_config.chipConfig;
    if (m_config.chip == EAV62xxChip::AV6201)
    {
        chip.serialKind = EAvneraSerialKind::SpiFlash;
        chip.serialSize = 131072;
        chip.serialPage = 256;
        chip.serialSector = 4096;
    }
    else
    {
        chip.serialKind = EAvneraSerialKind::I2cEeprom;
        chip.serialSize = 16384;
        chip.serialPage = 64;
        chip.serialSector = 0;
    }
    m_size = chip.serialSize;
    m_chip = std::make_shared<CAvneraChip>(chip);
    if (!m_config.memory.empty())
        m_chip->SerialProgram(0, m_config.memory.data(), std::min<std::size_t>(m_config.memory.size(), m_size));
}

bool CAV62xxProduct::HeaderValid()
{
    const std::vector<std::uint8_t> header = m_chip->Serial(0, 3);
    return header.size() == 3 && header[0] != 0 && header[0] != 0xFF &&
           static_cast<std::uint8_t>(header[0] + header[1] + header[2]) == 0xFF;
}

SBenchDevice CAV62xxProduct::DeviceFor(std::uint16_t vendorId, std::uint16_t productId, const std::wstring& name)
{
    SBenchDevice device = MakeAvneraGenericDevice(m_chip, vendorId, productId);
    device.manufacturer = L"Orvo";
    device.product = name;
    const bool application = vendorId != 0x170D;
    device.hidInterfaces[0].model =
        std::make_shared<CAV62xxHidModel>(shared_from_this(), device.hidInterfaces[0].model, application);
    return device;
}

SBenchDevice CAV62xxProduct::BootDevice()
{
    if (HeaderValid())
        return DeviceFor(0x2C6D, m_config.productId, m_config.productName);
    return DeviceFor(0x170D, static_cast<std::uint16_t>(0x0100 + std::min<std::uint32_t>(m_chip->Mode(), 1)),
                     kLoaderName);
}

BenchId CAV62xxProduct::Plug(CBenchUsbWorld& world, BenchId hub, std::uint8_t port)
{
    m_chip->HardReset(); // power-up
    return world.Plug(hub, port, BootDevice());
}

void CAV62xxProduct::Reconnect()
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_gone = false;
    m_config.unplugAtWrite = 0;
}

std::vector<std::uint8_t> CAV62xxProduct::Memory()
{
    return m_chip->Serial(0, m_size);
}

std::uint32_t CAV62xxProduct::SerialWrites()
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_writes;
}

std::vector<std::uint8_t> CAV62xxProduct::InfoAnswer(std::uint8_t destination)
{
    std::vector<std::uint8_t> answer = {0xFE, destination, 0x12, 0, 20, 0x0C, 4};
    answer.resize(23, 0);
    const std::size_t at = m_config.chip == EAV62xxChip::AV6201 ? 15 : 19;
    for (int i = 0; i < 4; ++i)
        answer[at + i] = static_cast<std::uint8_t>(m_config.version >> (8 * i));
    return answer;
}
