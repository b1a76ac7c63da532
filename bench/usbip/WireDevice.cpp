#include "bench/usbip/WireDevice.h"

#include <algorithm>

#include "platform/Clock.h"
#include "platform/HidReportDescriptor.h"

namespace
{
// bmRequestType fields (USB 2.0, 9.3).
constexpr std::uint8_t kDirIn = 0x80;
constexpr int kTypeStandard = 0;
constexpr int kTypeClass = 1;
constexpr int kRecipientDevice = 0;
constexpr int kRecipientInterface = 1;
constexpr int kRecipientEndpoint = 2;

// Standard requests.
constexpr std::uint8_t kGetStatus = 0;
constexpr std::uint8_t kClearFeature = 1;
constexpr std::uint8_t kSetFeature = 3;
constexpr std::uint8_t kGetDescriptor = 6;
constexpr std::uint8_t kGetConfiguration = 8;
constexpr std::uint8_t kSetConfiguration = 9;
constexpr std::uint8_t kGetInterface = 10;
constexpr std::uint8_t kSetInterface = 11;

// HID class requests (HID 1.11, 7.2).
constexpr std::uint8_t kGetReport = 1;
constexpr std::uint8_t kGetIdle = 2;
constexpr std::uint8_t kSetReport = 9;
constexpr std::uint8_t kSetIdle = 10;
constexpr std::uint8_t kReportInput = 1;
constexpr std::uint8_t kReportOutput = 2;
constexpr std::uint8_t kReportFeature = 3;

constexpr std::uint8_t kHidDescriptor = 0x21;
constexpr std::uint8_t kReportDescriptor = 0x22;

void Reply(std::vector<std::uint8_t>& in, const std::vector<std::uint8_t>& bytes, std::uint16_t wLength)
{
    in.assign(bytes.begin(), bytes.begin() + static_cast<std::ptrdiff_t>(std::min<std::size_t>(bytes.size(), wLength)));
}
} // namespace

SWireSetup ParseWireSetup(const std::uint8_t raw[8])
{
    SWireSetup s;
    s.bmRequestType = raw[0];
    s.bRequest = raw[1];
    s.wValue = static_cast<std::uint16_t>(raw[2] | (raw[3] << 8));
    s.wIndex = static_cast<std::uint16_t>(raw[4] | (raw[5] << 8));
    s.wLength = static_cast<std::uint16_t>(raw[6] | (raw[7] << 8));
    return s;
}

CDescribedWireDevice::CDescribedWireDevice(SBenchDevice description)
    : m_description(std::move(description)), m_endpoints(BenchEndpoints(m_description))
{
    for (const SBenchHidInterface& hid : m_description.hidInterfaces)
        m_reportDescriptors.push_back(BenchReportDescriptor(hid));
}

CDescribedWireDevice::~CDescribedWireDevice() = default;

bool CDescribedWireDevice::UsesReportIds(std::size_t hidIndex) const
{
    const std::vector<std::uint8_t>& d = m_reportDescriptors[hidIndex];
    return HidReportDescriptorUsesReportIds(d.data(), d.size());
}

std::size_t CDescribedWireDevice::ReportLength(std::size_t hidIndex, int kind, std::uint8_t reportId) const
{
    const std::vector<std::uint8_t>& d = m_reportDescriptors[hidIndex];
    std::map<std::uint32_t, std::uint32_t> sizes;
    if (!HidReportSizes(d.data(), d.size(), kind, sizes))
        return 0;
    auto it = sizes.find(UsesReportIds(hidIndex) ? reportId : 0);
    return it == sizes.end() ? 0 : it->second + 1;
}

std::vector<std::uint8_t> CDescribedWireDevice::ToSystem(std::size_t hidIndex, int kind, std::uint8_t reportId,
                                                         const std::vector<std::uint8_t>& wire) const
{
    // With report IDs the wire's first byte is the ID; without, the system
    // puts a 0 in front.
    const bool ids = UsesReportIds(hidIndex);
    std::vector<std::uint8_t> system(ids ? std::max<std::size_t>(wire.size(), 1) : wire.size() + 1, 0);
    if (ids && wire.empty())
        system[0] = reportId;
    std::copy(wire.begin(), wire.end(), system.begin() + (ids ? 0 : 1));
    // The system's reports of a collection all have its longest length.
    SHidCaps caps;
    ParseHidReportDescriptor(m_reportDescriptors[hidIndex].data(), m_reportDescriptors[hidIndex].size(), caps);
    const std::size_t length =
        kind == 0 ? caps.inputReportByteLength : kind == 1 ? caps.outputReportByteLength : caps.featureReportByteLength;
    if (length != 0)
        system.resize(length, 0);
    return system;
}

std::vector<std::uint8_t> CDescribedWireDevice::ToWire(std::size_t hidIndex, int kind,
                                                       const std::vector<std::uint8_t>& system) const
{
    if (system.empty())
        return system;
    const bool ids = UsesReportIds(hidIndex);
    const std::size_t length = ReportLength(hidIndex, kind, system[0]);
    std::vector<std::uint8_t> wire(system.begin() + (ids ? 0 : 1), system.end());
    if (length != 0)
        wire.resize(ids ? length : length - 1, 0);
    return wire;
}

bool CDescribedWireDevice::HidIndexOfInterface(std::uint16_t interfaceNumber, std::size_t* hidIndex) const
{
    for (std::size_t i = 0; i < m_description.hidInterfaces.size(); ++i)
    {
        if (m_description.hidInterfaces[i].interfaceNumber == interfaceNumber)
        {
            *hidIndex = i;
            return true;
        }
    }
    return false;
}

EWireStatus CDescribedWireDevice::TakeHidFault()
{
    ++m_hidRequests;
    if (m_unplugHidAt != 0 && m_hidRequests >= m_unplugHidAt)
        return EWireStatus::Gone;
    if (m_stallHidAt != 0 && m_hidRequests == m_stallHidAt)
        return EWireStatus::Stall;
    return EWireStatus::Ok;
}

EWireStatus CDescribedWireDevice::Control(const SWireSetup& setup, const std::vector<std::uint8_t>& out,
                                          std::vector<std::uint8_t>& in)
{
    in.clear();
    const int type = (setup.bmRequestType >> 5) & 3;
    const int recipient = setup.bmRequestType & 0x1F;
    if (type == kTypeStandard)
        return Standard(setup, out, in);
    if (type == kTypeClass && recipient == kRecipientInterface && m_configuration != 0)
    {
        const std::uint16_t number = setup.wIndex & 0xFF;
        std::size_t hidIndex = 0;
        if (HidIndexOfInterface(number, &hidIndex))
            return HidClass(hidIndex, setup, out, in);
        if (m_description.dfu.present && number == BenchDfuInterfaceNumber(m_description))
            return DfuRequest(setup, out, in);
    }
    return EWireStatus::Stall;
}

EWireStatus CDescribedWireDevice::Standard(const SWireSetup& setup, const std::vector<std::uint8_t>& out,
                                           std::vector<std::uint8_t>& in)
{
    const bool deviceToHost = (setup.bmRequestType & kDirIn) != 0;
    const int recipient = setup.bmRequestType & 0x1F;
    const std::uint8_t descriptorType = static_cast<std::uint8_t>(setup.wValue >> 8);
    const std::uint8_t descriptorIndex = static_cast<std::uint8_t>(setup.wValue & 0xFF);
    switch (setup.bRequest)
    {
    case kGetDescriptor:
        if (!deviceToHost)
            return EWireStatus::Stall;
        if (recipient == kRecipientDevice)
        {
            std::vector<std::uint8_t> bytes;
            if (descriptorType == kUsbDeviceDescriptorType)
            {
                if (setup.wLength == 64)
                    OnBusReset();
                bytes = BuildBenchDeviceDescriptor(m_description);
            }
            else if (descriptorType == kUsbConfigurationDescriptorType && descriptorIndex == 0 &&
                     !m_description.failConfigDescriptor)
                bytes = BuildBenchConfigDescriptor(m_description);
            else if (descriptorType == kUsbStringDescriptorType && !m_description.failStrings)
            {
                if (!BuildBenchStringDescriptor(m_description, descriptorIndex, bytes))
                    return EWireStatus::Stall;
            }
            else
                return EWireStatus::Stall; // a full-speed device has no device qualifier
            Reply(in, bytes, setup.wLength);
            return EWireStatus::Ok;
        }
        if (recipient == kRecipientInterface)
        {
            std::size_t hidIndex = 0;
            if (!HidIndexOfInterface(setup.wIndex, &hidIndex))
                return EWireStatus::Stall;
            const SBenchHidInterface& hid = m_description.hidInterfaces[hidIndex];
            if (descriptorType == kReportDescriptor)
                Reply(in, m_reportDescriptors[hidIndex], setup.wLength);
            else if (descriptorType == kHidDescriptor)
                Reply(in, BuildBenchHidDescriptor(hid), setup.wLength);
            else
                return EWireStatus::Stall;
            return EWireStatus::Ok;
        }
        return EWireStatus::Stall;
    case kGetStatus:
        if (!deviceToHost || setup.wLength < 2)
            return EWireStatus::Stall;
        in.assign(2, 0);
        if (recipient == kRecipientDevice && m_description.maxPower == 0)
            in[0] = 1; // self-powered
        return EWireStatus::Ok;
    case kClearFeature:
    case kSetFeature:
        if (deviceToHost)
            return EWireStatus::Stall;
        // Endpoint halt can be set and cleared; nothing else is supported
        // (the configuration declares no remote wake-up).
        if (recipient == kRecipientEndpoint && setup.wValue == 0)
            return EWireStatus::Ok;
        return EWireStatus::Stall;
    case kGetConfiguration:
        if (!deviceToHost || setup.wLength < 1)
            return EWireStatus::Stall;
        in.assign(1, m_configuration);
        return EWireStatus::Ok;
    case kSetConfiguration:
        if (deviceToHost || setup.wValue > 1)
            return EWireStatus::Stall;
        m_configuration = static_cast<std::uint8_t>(setup.wValue);
        m_idle.clear();
        return EWireStatus::Ok;
    case kGetInterface:
        if (!deviceToHost || m_configuration == 0 || setup.wLength < 1)
            return EWireStatus::Stall;
        in.assign(1, 0);
        return EWireStatus::Ok;
    case kSetInterface:
        if (deviceToHost || m_configuration == 0 || setup.wValue != 0)
            return EWireStatus::Stall;
        return EWireStatus::Ok;
    default:
        (void)out;
        return EWireStatus::Stall;
    }
}

EWireStatus CDescribedWireDevice::HidClass(std::size_t hidIndex, const SWireSetup& setup,
                                           const std::vector<std::uint8_t>& out, std::vector<std::uint8_t>& in)
{
    const bool deviceToHost = (setup.bmRequestType & kDirIn) != 0;
    const std::uint8_t reportType = static_cast<std::uint8_t>(setup.wValue >> 8);
    const std::uint8_t reportId = static_cast<std::uint8_t>(setup.wValue & 0xFF);
    switch (setup.bRequest)
    {
    case kGetReport:
    {
        if (!deviceToHost || reportType != kReportFeature)
            return EWireStatus::Stall;
        if (const EWireStatus fault = TakeHidFault(); fault != EWireStatus::Ok)
            return fault;
        std::vector<std::uint8_t> report = ToSystem(hidIndex, 2, reportId, {});
        report[0] = UsesReportIds(hidIndex) ? reportId : 0;
        const EWireStatus status = GetFeature(hidIndex, report);
        if (status != EWireStatus::Ok)
            return status;
        Reply(in, ToWire(hidIndex, 2, report), setup.wLength);
        return EWireStatus::Ok;
    }
    case kSetReport:
    {
        if (deviceToHost || (reportType != kReportOutput && reportType != kReportFeature))
            return EWireStatus::Stall;
        if (const EWireStatus fault = TakeHidFault(); fault != EWireStatus::Ok)
            return fault;
        const int kind = reportType == kReportOutput ? 1 : 2;
        std::vector<std::uint8_t> report = ToSystem(hidIndex, kind, reportId, out);
        return kind == 1 ? OutputReport(hidIndex, report) : SetFeature(hidIndex, report);
    }
    case kGetIdle:
        if (!deviceToHost || setup.wLength < 1)
            return EWireStatus::Stall;
        in.assign(1, static_cast<std::uint8_t>(m_idle[hidIndex] >> 8));
        return EWireStatus::Ok;
    case kSetIdle:
        if (deviceToHost)
            return EWireStatus::Stall;
        m_idle[hidIndex] = setup.wValue;
        return EWireStatus::Ok;
    default:
        (void)kReportInput;
        return EWireStatus::Stall; // no boot protocol
    }
}

EWireStatus CDescribedWireDevice::DataOut(std::uint8_t endpoint, const std::vector<std::uint8_t>& data)
{
    if (m_configuration == 0)
        return EWireStatus::Stall;
    for (const SBenchEndpoint& e : m_endpoints)
    {
        if (e.address != endpoint)
            continue;
        if (const EWireStatus fault = TakeHidFault(); fault != EWireStatus::Ok)
            return fault;
        const std::uint8_t reportId = UsesReportIds(e.hidIndex) && !data.empty() ? data[0] : 0;
        std::vector<std::uint8_t> report = ToSystem(e.hidIndex, 1, reportId, data);
        return OutputReport(e.hidIndex, report);
    }
    return EWireStatus::Stall;
}

EWireStatus CDescribedWireDevice::DataIn(std::uint8_t endpoint, std::size_t capacity, std::vector<std::uint8_t>& data)
{
    data.clear();
    if (m_configuration == 0)
        return EWireStatus::Pending; // an unconfigured device NAKs
    for (const SBenchEndpoint& e : m_endpoints)
    {
        if (e.address != endpoint)
            continue;
        std::vector<std::uint8_t> report;
        const EWireStatus status = TakeInputReport(e.hidIndex, report);
        if (status != EWireStatus::Ok)
            return status;
        data = ToWire(e.hidIndex, 0, report);
        if (data.size() > capacity)
            data.resize(capacity);
        return EWireStatus::Ok;
    }
    return EWireStatus::Stall;
}

EWireStatus CDescribedWireDevice::OutputReport(std::size_t, std::vector<std::uint8_t>&)
{
    return EWireStatus::Stall;
}

EWireStatus CDescribedWireDevice::SetFeature(std::size_t, std::vector<std::uint8_t>&)
{
    return EWireStatus::Stall;
}

EWireStatus CDescribedWireDevice::GetFeature(std::size_t, std::vector<std::uint8_t>&)
{
    return EWireStatus::Stall;
}

EWireStatus CDescribedWireDevice::TakeInputReport(std::size_t, std::vector<std::uint8_t>&)
{
    return EWireStatus::Pending;
}

EWireStatus CDescribedWireDevice::DfuRequest(const SWireSetup&, const std::vector<std::uint8_t>&,
                                             std::vector<std::uint8_t>&)
{
    return EWireStatus::Stall;
}

// ---------------------------------------------------------------------------
// CModelWireDevice

struct CModelWireDevice::SShared
{
    std::mutex mutex;
    bool present = false;
    std::vector<std::deque<std::vector<std::uint8_t>>> input; // by HID index
    std::vector<std::size_t> inputLength;
    SPlugRequest request;
};

namespace
{
class CWireSink : public IBenchHidSink
{
public:
    CWireSink(std::weak_ptr<CModelWireDevice::SShared> shared, std::size_t hidIndex)
        : m_shared(std::move(shared)), m_hidIndex(hidIndex)
    {
    }

    bool QueueInputReport(const std::uint8_t* report, std::size_t length) override
    {
        auto shared = m_shared.lock();
        if (!shared || report == nullptr)
            return false;
        std::lock_guard<std::mutex> guard(shared->mutex);
        if (!shared->present)
            return false;
        std::vector<std::uint8_t> bytes(report, report + length);
        if (shared->inputLength[m_hidIndex] != 0)
            bytes.resize(shared->inputLength[m_hidIndex], 0);
        shared->input[m_hidIndex].push_back(std::move(bytes));
        return true;
    }

    bool DropOff(std::uint32_t delayMs) override
    {
        auto shared = m_shared.lock();
        if (!shared)
            return false;
        std::lock_guard<std::mutex> guard(shared->mutex);
        if (!shared->present)
            return false;
        shared->request = CModelWireDevice::SPlugRequest();
        shared->request.pending = true;
        shared->request.dropAtMs = CClock::NowMs() + delayMs;
        return true;
    }

    bool ReEnumerate(const SBenchDevice& newDevice, std::uint32_t dropDelayMs, std::uint32_t backDelayMs) override
    {
        auto shared = m_shared.lock();
        if (!shared)
            return false;
        std::lock_guard<std::mutex> guard(shared->mutex);
        if (!shared->present)
            return false;
        shared->request = CModelWireDevice::SPlugRequest();
        shared->request.pending = true;
        shared->request.dropAtMs = CClock::NowMs() + dropDelayMs;
        shared->request.comesBack = true;
        shared->request.backAfterMs = backDelayMs;
        shared->request.newDevice = newDevice;
        return true;
    }

private:
    std::weak_ptr<CModelWireDevice::SShared> m_shared;
    std::size_t m_hidIndex;
};
} // namespace

CModelWireDevice::CModelWireDevice(SBenchDevice description)
    : CDescribedWireDevice(std::move(description)), m_shared(std::make_shared<SShared>())
{
    const std::size_t n = Description().hidInterfaces.size();
    m_shared->input.resize(n);
    m_shared->inputLength.resize(n, 0);
    for (std::size_t i = 0; i < n; ++i)
    {
        const std::vector<std::uint8_t> d = BenchReportDescriptor(Description().hidInterfaces[i]);
        SHidCaps caps;
        ParseHidReportDescriptor(d.data(), d.size(), caps);
        m_shared->inputLength[i] = caps.inputReportByteLength;
    }
}

CModelWireDevice::~CModelWireDevice()
{
    Detach();
}

void CModelWireDevice::Attach()
{
    if (m_attached)
        return;
    {
        std::lock_guard<std::mutex> guard(m_shared->mutex);
        m_shared->present = true;
    }
    m_attached = true;
    for (std::size_t i = 0; i < Description().hidInterfaces.size(); ++i)
    {
        const auto& model = Description().hidInterfaces[i].model;
        if (model)
            model->OnAttach(std::make_shared<CWireSink>(m_shared, i));
    }
}

void CModelWireDevice::Detach()
{
    if (!m_attached)
        return;
    {
        std::lock_guard<std::mutex> guard(m_shared->mutex);
        m_shared->present = false;
        for (auto& q : m_shared->input)
            q.clear();
    }
    m_attached = false;
    for (const SBenchHidInterface& hid : Description().hidInterfaces)
    {
        if (hid.model)
            hid.model->OnDetach();
    }
}

CModelWireDevice::SPlugRequest CModelWireDevice::PlugRequest()
{
    std::lock_guard<std::mutex> guard(m_shared->mutex);
    return m_shared->request;
}

namespace
{
EWireStatus FromHid(EHidResult result)
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

EWireStatus CModelWireDevice::OutputReport(std::size_t hidIndex, std::vector<std::uint8_t>& report)
{
    const auto& model = Description().hidInterfaces[hidIndex].model;
    return model ? FromHid(model->OnOutputReport(report.data(), report.size())) : EWireStatus::Stall;
}

EWireStatus CModelWireDevice::SetFeature(std::size_t hidIndex, std::vector<std::uint8_t>& report)
{
    const auto& model = Description().hidInterfaces[hidIndex].model;
    return model ? FromHid(model->OnSetFeature(report.data(), report.size())) : EWireStatus::Stall;
}

EWireStatus CModelWireDevice::GetFeature(std::size_t hidIndex, std::vector<std::uint8_t>& report)
{
    const auto& model = Description().hidInterfaces[hidIndex].model;
    return model ? FromHid(model->OnGetFeature(report.data(), report.size())) : EWireStatus::Stall;
}

EWireStatus CModelWireDevice::TakeInputReport(std::size_t hidIndex, std::vector<std::uint8_t>& report)
{
    std::lock_guard<std::mutex> guard(m_shared->mutex);
    auto& queue = m_shared->input[hidIndex];
    if (queue.empty())
        return EWireStatus::Pending;
    report = std::move(queue.front());
    queue.pop_front();
    return EWireStatus::Ok;
}
