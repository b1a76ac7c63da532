#include "bench/usbip/UsbDeviceServer.h"

CHidFaceWireDevice::CHidFaceWireDevice(SBenchDevice description, IBenchHidFace* face)
    : CDescribedWireDevice(std::move(description)), m_face(face)
{
}

EWireStatus CHidFaceWireDevice::OutputReport(std::size_t, std::vector<std::uint8_t>& report)
{
    if (m_face->OnOutputReport(report.data(), report.size()) >= 0)
        return EWireStatus::Ok;
    return m_face->IsPresent() ? EWireStatus::Stall : EWireStatus::Gone;
}

EWireStatus CHidFaceWireDevice::GetFeature(std::size_t, std::vector<std::uint8_t>& report)
{
    return m_face->GetFeatureReport(report.data(), report.size()) > 0 ? EWireStatus::Ok : EWireStatus::Stall;
}

EWireStatus CHidFaceWireDevice::TakeInputReport(std::size_t, std::vector<std::uint8_t>& report)
{
    std::uint8_t buffer[256];
    const int n = m_face->ReadInputReport(buffer, sizeof(buffer));
    if (n <= 0)
        return EWireStatus::Pending; // nothing yet, or leaving the bus (the port sees to that)
    report.assign(buffer, buffer + n);
    return EWireStatus::Ok;
}

CDfuWireDevice::CDfuWireDevice(std::shared_ptr<CSimDfuDevice> device, std::uint32_t noAnswerAtBlock)
    : CDescribedWireDevice(device->Description())
    , m_dfu(std::move(device))
    , m_generation(m_dfu->GetGeneration())
    , m_noAnswerAtBlock(noAnswerAtBlock)
{
}

EWireStatus CDfuWireDevice::Control(const SWireSetup& setup, const std::vector<std::uint8_t>& out,
                                    std::vector<std::uint8_t>& in)
{
    if (m_resetAway)
        return EWireStatus::Gone;
    const EWireStatus status = CDescribedWireDevice::Control(setup, out, in);
    // A reset that sent the device off with another identity: it does not
    // answer as the device it was.
    return m_resetAway ? EWireStatus::Gone : status;
}

void CDfuWireDevice::OnBusReset()
{
    m_dfu->BusReset();
    if (!m_dfu->IsPresent() || m_dfu->GetGeneration() != m_generation)
        m_resetAway = true;
}

EWireStatus CDfuWireDevice::DfuRequest(const SWireSetup& setup, const std::vector<std::uint8_t>& out,
                                       std::vector<std::uint8_t>& in)
{
    constexpr std::uint8_t kDnload = 1;
    const bool deviceToHost = (setup.bmRequestType & 0x80) != 0;
    if (!deviceToHost && setup.bRequest == kDnload && setup.wLength > 0)
    {
        ++m_blocks;
        if (m_blocks == m_noAnswerAtBlock)
            return EWireStatus::Pending; // the device never answers this one
    }
    SSimSetup s;
    s.bmRequestType = setup.bmRequestType;
    s.bRequest = setup.bRequest;
    s.wValue = setup.wValue;
    s.wIndex = setup.wIndex;
    s.wLength = setup.wLength;
    std::vector<std::uint8_t> buffer = deviceToHost ? std::vector<std::uint8_t>(setup.wLength) : out;
    std::size_t length = buffer.size();
    const ESimUsbResult result = m_dfu->ControlTransfer(s, buffer.empty() ? nullptr : buffer.data(), &length);
    switch (result)
    {
    case ESimUsbResult::Ok:
        if (deviceToHost)
            in.assign(buffer.begin(), buffer.begin() + static_cast<std::ptrdiff_t>(std::min(length, buffer.size())));
        return EWireStatus::Ok;
    case ESimUsbResult::Stall: return EWireStatus::Stall;
    case ESimUsbResult::NoDevice: return EWireStatus::Gone;
    case ESimUsbResult::Timeout: return EWireStatus::Pending;
    case ESimUsbResult::Error: return EWireStatus::Error;
    }
    return EWireStatus::Error;
}

namespace
{
EWireStatus FromHidResult(EHidResult result)
{
    switch (result)
    {
    case EHidResult::Ok: return EWireStatus::Ok;
    case EHidResult::NoDevice: return EWireStatus::Gone;
    case EHidResult::Timeout: return EWireStatus::Pending;
    default: return EWireStatus::Stall;
    }
}
} // namespace

CWorldWireDevice::CWorldWireDevice(CBenchUsbWorld& world, BenchId device, SBenchDevice description)
    : CDescribedWireDevice(std::move(description))
{
    for (std::size_t i = 0; i < Description().hidInterfaces.size(); ++i)
    {
        SHidOpenOptions options;
        options.access = kHidAccessReadWrite;
        options.overlapped = true;
        CHidDevicePtr handle;
        world.Open(world.HidInterfacePath(device, i), options, handle);
        m_handles.push_back(std::move(handle));
    }
}

EWireStatus CWorldWireDevice::OutputReport(std::size_t hidIndex, std::vector<std::uint8_t>& report)
{
    if (!m_handles[hidIndex])
        return EWireStatus::Stall;
    return FromHidResult(m_handles[hidIndex]->WriteOutputReport(report.data(), report.size(), 1000, nullptr));
}

EWireStatus CWorldWireDevice::SetFeature(std::size_t hidIndex, std::vector<std::uint8_t>& report)
{
    if (!m_handles[hidIndex])
        return EWireStatus::Stall;
    return FromHidResult(m_handles[hidIndex]->SetFeature(report.data(), report.size()));
}

EWireStatus CWorldWireDevice::GetFeature(std::size_t hidIndex, std::vector<std::uint8_t>& report)
{
    if (!m_handles[hidIndex])
        return EWireStatus::Stall;
    return FromHidResult(m_handles[hidIndex]->GetFeature(report.data(), report.size()));
}

EWireStatus CWorldWireDevice::TakeInputReport(std::size_t hidIndex, std::vector<std::uint8_t>& report)
{
    if (!m_handles[hidIndex])
        return EWireStatus::Pending;
    std::vector<std::uint8_t> buffer(report.size() > 0 ? report.size() : 4096);
    std::size_t read = 0;
    const EHidResult result = m_handles[hidIndex]->ReadInputReport(buffer.data(), buffer.size(), 0, &read);
    if (result == EHidResult::Ok)
    {
        report.assign(buffer.begin(), buffer.begin() + static_cast<std::ptrdiff_t>(read));
        return EWireStatus::Ok;
    }
    // Leaving the bus is the port's business: it sees the world change.
    return result == EHidResult::NoDevice ? EWireStatus::Pending : FromHidResult(result);
}

CWorldPortOccupant::CWorldPortOccupant(CBenchUsbWorld& world, BenchId hub, std::uint8_t port)
    : m_world(world), m_hub(hub), m_port(port)
{
}

std::uint64_t CWorldPortOccupant::Generation()
{
    std::uint64_t plugs = 0;
    if (!m_world.PortDevice(m_hub, m_port, &m_device, &m_description, &plugs))
        return 0;
    return plugs;
}

std::shared_ptr<IUsbWireDevice> CWorldPortOccupant::Device()
{
    auto device = std::make_shared<CWorldWireDevice>(m_world, m_device, m_description);
    if (m_devices++ == 0 && m_unplugAt != 0)
        device->UnplugAtHidRequest(m_unplugAt);
    return device;
}
