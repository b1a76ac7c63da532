#include "bench/dfu/SimDfuBus.h"

#include <algorithm>

namespace
{
EDfuIo FromSim(ESimUsbResult r)
{
    switch (r)
    {
    case ESimUsbResult::Ok: return EDfuIo::Ok;
    case ESimUsbResult::Stall: return EDfuIo::Stall;
    case ESimUsbResult::NoDevice: return EDfuIo::NoDevice;
    case ESimUsbResult::Timeout: return EDfuIo::Timeout;
    case ESimUsbResult::Error: return EDfuIo::Io;
    }
    return EDfuIo::Io;
}

// Finds the DFU interface and functional descriptor in a configuration
// descriptor; false when there is none.
bool FindDfuInterface(const std::vector<std::uint8_t>& config, bool* runtime, std::vector<std::uint8_t>* functional)
{
    bool inDfu = false;
    std::size_t pos = 0;
    while (pos + 2 <= config.size())
    {
        const std::size_t length = config[pos];
        if (length < 2 || pos + length > config.size())
            return false;
        const std::uint8_t type = config[pos + 1];
        if (type == 4 && length >= 9)
        {
            inDfu = config[pos + 5] == 0xFE && config[pos + 6] == 0x01;
            if (inDfu && runtime)
                *runtime = config[pos + 7] == 1;
        }
        else if (type == 0x21 && inDfu)
        {
            if (functional)
                functional->assign(config.begin() + static_cast<std::ptrdiff_t>(pos),
                                   config.begin() + static_cast<std::ptrdiff_t>(pos + length));
            return true;
        }
        pos += length;
    }
    return false;
}

class CSimDfuTransport : public IDfuTransport
{
public:
    explicit CSimDfuTransport(std::shared_ptr<CSimDfuBus> bus) : m_bus(std::move(bus)) {}

    EDfuIo Enumerate(std::vector<SDfuDeviceEntry>& names) override
    {
        names.clear();
        for (const auto& device : m_bus->Devices())
        {
            if (!device->IsPresent())
                continue;
            bool runtime = false;
            if (!FindDfuInterface(device->GetConfigurationDescriptor(), &runtime, nullptr))
                continue;
            const std::vector<std::uint8_t> d = device->GetDeviceDescriptor();
            if (d.size() < 12)
                continue;
            const auto vid = static_cast<std::uint16_t>(d[8] | (d[9] << 8));
            const auto pid = static_cast<std::uint16_t>(d[10] | (d[11] << 8));
            names.push_back({MakeDfuDeviceName(vid, pid, device->Location()), runtime});
        }
        return EDfuIo::Ok;
    }

    EDfuIo Open(const std::wstring& name) override
    {
        Close();
        std::string location;
        if (!ParseDfuDeviceName(name, nullptr, nullptr, &location))
            return EDfuIo::NoDevice;
        m_location = location;
        return Reopen();
    }

    EDfuIo Reopen() override
    {
        m_device.reset();
        std::shared_ptr<CSimDfuDevice> device = m_bus->FindByLocation(m_location);
        if (!device || !device->IsPresent())
            return EDfuIo::NoDevice;
        if (!FindDfuInterface(device->GetConfigurationDescriptor(), nullptr, nullptr))
            return EDfuIo::NoDevice;
        m_device = device;
        m_generation = device->GetGeneration();
        return EDfuIo::Ok;
    }

    void Close() override { m_device.reset(); }

    EDfuIo GetIdentity(SDfuDeviceIdentity* identity) override
    {
        const EDfuIo live = Live();
        if (live != EDfuIo::Ok)
            return live;
        const std::vector<std::uint8_t> d = m_device->GetDeviceDescriptor();
        bool runtime = false;
        if (d.size() < 14 || !FindDfuInterface(m_device->GetConfigurationDescriptor(), &runtime, nullptr))
            return EDfuIo::Io;
        identity->idVendor = static_cast<std::uint16_t>(d[8] | (d[9] << 8));
        identity->idProduct = static_cast<std::uint16_t>(d[10] | (d[11] << 8));
        identity->bcdDevice = static_cast<std::uint16_t>(d[12] | (d[13] << 8));
        identity->runtimeMode = runtime;
        return EDfuIo::Ok;
    }

    EDfuIo GetFunctionalDescriptor(std::vector<std::uint8_t>& descriptor) override
    {
        const EDfuIo live = Live();
        if (live != EDfuIo::Ok)
            return live;
        if (!FindDfuInterface(m_device->GetConfigurationDescriptor(), nullptr, &descriptor))
            return EDfuIo::Io;
        return EDfuIo::Ok;
    }

    EDfuIo ControlOut(std::uint8_t request, std::uint16_t value, const std::uint8_t* data, std::size_t length,
                      std::uint32_t timeoutMs) override
    {
        if (length > 0xFFFF || (length && !data))
            return EDfuIo::InvalidArg;
        const EDfuIo live = Live();
        if (live != EDfuIo::Ok)
            return live;
        if (m_bus->TakeInjectedTimeout())
            return EDfuIo::Timeout;
        SSimSetup setup{0x21, request, value, 0, static_cast<std::uint16_t>(length)};
        std::vector<std::uint8_t> copy(data, data + length);
        std::size_t n = length;
        return FromSim(m_device->ControlTransfer(setup, copy.data(), &n));
    }

    EDfuIo ControlIn(std::uint8_t request, std::uint16_t value, std::uint8_t* data, std::size_t capacity,
                     std::size_t* received, std::uint32_t timeoutMs) override
    {
        *received = 0;
        if (capacity > 0xFFFF || (capacity && !data))
            return EDfuIo::InvalidArg;
        const EDfuIo live = Live();
        if (live != EDfuIo::Ok)
            return live;
        if (m_bus->TakeInjectedTimeout())
            return EDfuIo::Timeout;
        SSimSetup setup{0xA1, request, value, 0, static_cast<std::uint16_t>(capacity)};
        std::size_t n = capacity;
        const EDfuIo r = FromSim(m_device->ControlTransfer(setup, data, &n));
        if (r == EDfuIo::Ok)
            *received = std::min(n, capacity);
        return r;
    }

    EDfuIo Reset() override
    {
        const EDfuIo live = Live();
        if (live != EDfuIo::Ok)
            return live;
        m_device->BusReset();
        return EDfuIo::Ok;
    }

private:
    // The open handle is good while the device has not gone away or
    // re-enumerated since it was opened.
    EDfuIo Live()
    {
        if (!m_device)
            return m_location.empty() ? EDfuIo::InvalidArg : EDfuIo::NoDevice;
        if (!m_device->IsPresent() || m_device->GetGeneration() != m_generation)
            return EDfuIo::NoDevice;
        return EDfuIo::Ok;
    }

    std::shared_ptr<CSimDfuBus> m_bus;
    std::shared_ptr<CSimDfuDevice> m_device;
    std::string m_location;
    std::uint32_t m_generation = 0;
};
} // namespace

CSimDfuBus::CSimDfuBus() = default;
CSimDfuBus::~CSimDfuBus() = default;

std::shared_ptr<CSimDfuDevice> CSimDfuBus::AddDevice(const SSimDfuConfig& config)
{
    auto device = std::make_shared<CSimDfuDevice>(config);
    CMutexLock lock(m_lock);
    m_devices.push_back(device);
    return device;
}

void CSimDfuBus::AddDevice(std::shared_ptr<CSimDfuDevice> device)
{
    CMutexLock lock(m_lock);
    m_devices.push_back(std::move(device));
}

void CSimDfuBus::RemoveAll()
{
    CMutexLock lock(m_lock);
    m_devices.clear();
}

std::vector<std::shared_ptr<CSimDfuDevice>> CSimDfuBus::Devices()
{
    CMutexLock lock(m_lock);
    return m_devices;
}

std::shared_ptr<CSimDfuDevice> CSimDfuBus::FindByLocation(const std::string& location)
{
    CMutexLock lock(m_lock);
    for (const auto& device : m_devices)
    {
        if (device->Location() == location)
            return device;
    }
    return nullptr;
}

std::unique_ptr<IDfuTransport> CSimDfuBus::CreateTransport()
{
    return std::make_unique<CSimDfuTransport>(shared_from_this());
}

void CSimDfuBus::FailNextRequests(int count)
{
    CMutexLock lock(m_lock);
    m_failNext = count;
}

bool CSimDfuBus::TakeInjectedTimeout()
{
    CMutexLock lock(m_lock);
    if (m_failNext <= 0)
        return false;
    --m_failNext;
    return true;
}
