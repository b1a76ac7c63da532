#include "bench/usb/BenchUsbWorld.h"

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <deque>
#include <functional>
#include <mutex>

#include "platform/Clock.h"
#include "platform/HidReportDescriptor.h"

namespace
{
const wchar_t* const kHubInterfaceGuid = L"{f18a0e88-c30c-11d0-8822-00a0c91ec6d3}";
const wchar_t* const kHidInterfaceGuid = L"{4d1e55b2-f16f-11cf-88cb-001111000030}";
const wchar_t* const kHostControllerGuid = L"{3abf6f2d-71c4-462a-8a92-1e6861e6af27}";
const wchar_t* const kUsbClassGuid = L"{36fc9e60-c465-11cf-8056-444553540000}";

std::wstring Format(const wchar_t* format, ...)
{
    wchar_t buffer[512];
    va_list args;
    va_start(args, format);
    std::vswprintf(buffer, sizeof(buffer) / sizeof(buffer[0]), format, args);
    va_end(args);
    return buffer;
}

wchar_t LowerAscii(wchar_t c)
{
    return (c >= L'A' && c <= L'Z') ? static_cast<wchar_t>(c - L'A' + L'a') : c;
}

bool SameNoCase(const std::wstring& a, const std::wstring& b)
{
    if (a.size() != b.size())
        return false;
    for (std::size_t i = 0; i < a.size(); ++i)
    {
        if (LowerAscii(a[i]) != LowerAscii(b[i]))
            return false;
    }
    return true;
}

std::wstring ToLower(std::wstring s)
{
    for (wchar_t& c : s)
        c = LowerAscii(c);
    return s;
}

std::wstring ToUpper(std::wstring s)
{
    for (wchar_t& c : s)
    {
        if (c >= L'a' && c <= L'z')
            c = static_cast<wchar_t>(c - L'a' + L'A');
    }
    return s;
}

} // namespace

// ---------------------------------------------------------------------------
// World state

namespace
{
struct SNode
{
    std::wstring id;
    UsbDevNode parent = 0;
    std::vector<UsbDevNode> children;
    std::wstring driverKey;
    std::wstring description;
    bool present = true;
};

struct SHandleQueue
{
    std::deque<std::vector<std::uint8_t>> reports;
    bool cancelled = false;
};


struct SInterfaceRt
{
    BenchId device = 0;
    std::wstring path;
    std::wstring usbDeviceId;
    SHidCaps caps;
    bool exclusive = false;
    bool present = true;
    std::shared_ptr<IBenchHidModel> model;
    std::shared_ptr<std::mutex> modelCallLock;
    std::shared_ptr<IBenchHidSink> sink;
    std::vector<SHandleQueue*> readers;
    SBenchDevice spec; // strings
};

struct SHub
{
    BenchId id = 0;
    std::uint8_t ports = 0;
    std::vector<BenchId> portDevice; // index port-1
    std::wstring name;
    bool extended = true;
    bool present = true;
};

struct SDevice
{
    BenchId id = 0;
    SBenchDevice spec;
    BenchId parentHub = 0;
    std::uint8_t port = 0;
    bool present = false;
    UsbDevNode node = 0;
    std::vector<UsbDevNode> nodes; // every node made for it
    std::vector<std::shared_ptr<SInterfaceRt>> interfaces;
    std::uint16_t address = 0;
};

struct SController
{
    BenchId id = 0;
    BenchId rootHub = 0;
    std::wstring path;
};

enum class EEvent
{
    Plug,
    Unplug,
};

struct SEvent
{
    std::uint64_t at = 0;
    std::uint64_t sequence = 0;
    EEvent kind = EEvent::Plug;
    BenchId device = 0;
    BenchId hub = 0;
    std::uint8_t port = 0;
    SBenchDevice spec;
};
} // namespace

std::shared_ptr<IBenchHidSink> MakeSink(const std::weak_ptr<CBenchUsbWorld::SState>& state,
                                        const std::shared_ptr<SInterfaceRt>& rt);

struct CBenchUsbWorld::SState
{
    std::weak_ptr<SState> self;
    std::mutex mutex;
    std::condition_variable changed;
    std::vector<SNode> nodes; // UsbDevNode n is nodes[n - 1]
    std::vector<SController> controllers;
    std::map<BenchId, SHub> hubs;
    std::map<BenchId, SDevice> devices;
    std::vector<std::shared_ptr<SInterfaceRt>> interfaces; // in plug order (system order)
    std::vector<SEvent> events;
    std::uint64_t eventSequence = 0;
    BenchId nextId = 1;
    std::uint32_t nextDriverKey = 1;
    std::uintptr_t nextHandle = 0x100;
    std::uint16_t nextAddress = 1;
    std::size_t openHid = 0;
    std::map<BenchId, std::size_t> openHidByDevice;
    std::size_t openHubs = 0;

    using Callbacks = std::vector<std::function<void()>>;

    UsbDevNode AddNode(UsbDevNode parent, const std::wstring& id, const std::wstring& description)
    {
        SNode node;
        node.id = id;
        node.parent = parent;
        node.description = description;
        nodes.push_back(node);
        const UsbDevNode n = static_cast<UsbDevNode>(nodes.size());
        if (parent != 0)
            nodes[parent - 1].children.push_back(n);
        return n;
    }

    SNode* Node(UsbDevNode n)
    {
        if (n == 0 || n > nodes.size() || !nodes[n - 1].present)
            return nullptr;
        return &nodes[n - 1];
    }

    std::map<BenchId, UsbDevNode> rootHubNodes;

    UsbDevNode ParentNodeOfHub(BenchId hub)
    {
        auto root = rootHubNodes.find(hub);
        if (root != rootHubNodes.end())
            return root->second;
        auto it = devices.find(hub);
        return it == devices.end() ? 0 : it->second.node;
    }

    void PlugNow(BenchId id, BenchId hubId, std::uint8_t port, const SBenchDevice& spec, Callbacks& callbacks)
    {
        auto hubIt = hubs.find(hubId);
        if (hubIt == hubs.end() || !hubIt->second.present || port == 0 || port > hubIt->second.ports ||
            hubIt->second.portDevice[port - 1] != 0)
            return;
        SDevice& device = devices[id];
        device.id = id;
        device.spec = spec;
        device.parentHub = hubId;
        device.port = port;
        device.present = true;
        device.nodes.clear();
        device.interfaces.clear();
        device.address = nextAddress++;
        hubIt->second.portDevice[port - 1] = id;

        const std::wstring vidPid = Format(L"VID_%04X&PID_%04X", spec.vendorId, spec.productId);
        const unsigned hash = 0x1000u + id * 0x111u;
        const std::wstring instance =
            spec.serialNumber.empty() ? Format(L"5&%X&0&%u", hash, static_cast<unsigned>(port)) : ToUpper(spec.serialNumber);
        const bool composite = spec.hubPorts == 0 && spec.hidInterfaces.size() + spec.otherInterfaces > 1;
        std::wstring description = spec.description;
        if (composite)
            description = L"USB Composite Device";
        device.node = AddNode(ParentNodeOfHub(hubId), L"USB\\" + vidPid + L"\\" + instance, description);
        nodes[device.node - 1].driverKey = Format(L"%ls\\%04u", kUsbClassGuid, nextDriverKey++);
        device.nodes.push_back(device.node);
        const std::wstring usbDeviceId = nodes[device.node - 1].id;

        if (spec.hubPorts > 0)
        {
            SHub& hub = hubs[id];
            hub.id = id;
            hub.ports = spec.hubPorts;
            hub.portDevice.assign(spec.hubPorts, 0);
            hub.name = L"USB#" + vidPid + L"#" + instance + L"#" + kHubInterfaceGuid;
            hub.extended = true;
            hub.present = true;
        }

        for (const SBenchHidInterface& hid : spec.hidInterfaces)
        {
            UsbDevNode parent = device.node;
            std::wstring hidVidPid = vidPid;
            if (composite)
            {
                hidVidPid += Format(L"&MI_%02X", hid.interfaceNumber);
                parent = AddNode(device.node,
                                 Format(L"USB\\%ls\\6&%X&0&%04X", hidVidPid.c_str(), hash, hid.interfaceNumber),
                                 L"USB Input Device");
                device.nodes.push_back(parent);
            }
            const std::wstring hidInstance = Format(L"7&%X&%X&0000", hash, hid.interfaceNumber);
            const UsbDevNode hidNode =
                AddNode(parent, L"HID\\" + hidVidPid + L"\\" + hidInstance, L"HID-compliant vendor-defined device");
            device.nodes.push_back(hidNode);

            auto rt = std::make_shared<SInterfaceRt>();
            rt->device = id;
            rt->path = L"\\\\?\\hid#" + ToLower(hidVidPid) + L"#" + ToLower(hidInstance) + L"#" + kHidInterfaceGuid;
            rt->usbDeviceId = usbDeviceId;
            if (!hid.reportDescriptor.empty())
                ParseHidReportDescriptor(hid.reportDescriptor.data(), hid.reportDescriptor.size(), rt->caps);
            else
                rt->caps = hid.caps;
            rt->exclusive = hid.exclusive;
            rt->model = hid.model;
            rt->modelCallLock = std::make_shared<std::mutex>();
            rt->spec = spec;
            device.interfaces.push_back(rt);
            interfaces.push_back(rt);
            if (rt->model)
            {
                rt->sink = MakeSink(self, rt);
                callbacks.push_back(MakeAttach(rt));
            }
        }
    }

    std::function<void()> MakeAttach(const std::shared_ptr<SInterfaceRt>& rt);

    void UnplugNow(BenchId id, Callbacks& callbacks)
    {
        auto it = devices.find(id);
        if (it == devices.end() || !it->second.present)
            return;
        SDevice& device = it->second;
        auto hubIt = hubs.find(id);
        if (hubIt != hubs.end())
        {
            for (BenchId child : hubIt->second.portDevice)
            {
                if (child != 0)
                    UnplugNow(child, callbacks);
            }
            hubs.erase(hubIt);
        }
        device.present = false;
        for (UsbDevNode n : device.nodes)
            nodes[n - 1].present = false;
        for (auto& rt : device.interfaces)
        {
            rt->present = false;
            interfaces.erase(std::remove(interfaces.begin(), interfaces.end(), rt), interfaces.end());
            if (rt->model)
            {
                auto model = rt->model;
                auto lock = rt->modelCallLock;
                callbacks.push_back([model, lock] {
                    std::lock_guard<std::mutex> guard(*lock);
                    model->OnDetach();
                });
            }
        }
        auto parent = hubs.find(device.parentHub);
        if (parent != hubs.end() && device.port >= 1 && device.port <= parent->second.ports)
            parent->second.portDevice[device.port - 1] = 0;
        changed.notify_all();
    }

    void Schedule(SEvent event)
    {
        event.sequence = eventSequence++;
        events.push_back(std::move(event));
        changed.notify_all();
    }

    // Applies every event whose moment has come, in time order.
    void ApplyDue(Callbacks& callbacks)
    {
        const std::uint64_t now = CClock::NowMs();
        for (;;)
        {
            auto due = events.end();
            for (auto it = events.begin(); it != events.end(); ++it)
            {
                if (it->at <= now && (due == events.end() || it->at < due->at ||
                                       (it->at == due->at && it->sequence < due->sequence)))
                    due = it;
            }
            if (due == events.end())
                return;
            SEvent event = std::move(*due);
            events.erase(due);
            if (event.kind == EEvent::Plug)
                PlugNow(event.device, event.hub, event.port, event.spec, callbacks);
            else
                UnplugNow(event.device, callbacks);
        }
    }

    // Product ms until the next scheduled event (kInfinite when none).
    std::uint32_t MsToNextEvent() const
    {
        const std::uint64_t now = CClock::NowMs();
        std::uint64_t best = kInfinite;
        for (const SEvent& e : events)
        {
            const std::uint64_t left = e.at > now ? e.at - now : 0;
            best = std::min<std::uint64_t>(best, left);
        }
        return static_cast<std::uint32_t>(best);
    }

    SInterfaceRt* FindInterface(const std::wstring& path)
    {
        for (auto& rt : interfaces)
        {
            if (rt->present && SameNoCase(rt->path, path))
                return rt.get();
        }
        return nullptr;
    }
};

namespace
{
using SState = CBenchUsbWorld::SState;

// Locks the world and brings it up to date; model callbacks collected on the
// way run after the lock is released.
class CWorldCall
{
public:
    explicit CWorldCall(SState& state) : m_state(state), m_lock(state.mutex) { m_state.ApplyDue(m_callbacks); }
    ~CWorldCall()
    {
        if (m_lock.owns_lock())
            m_lock.unlock();
        for (auto& callback : m_callbacks)
            callback();
    }
    CWorldCall(const CWorldCall&) = delete;
    CWorldCall& operator=(const CWorldCall&) = delete;

    std::unique_lock<std::mutex>& Lock() { return m_lock; }
    SState::Callbacks& Callbacks() { return m_callbacks; }

    // Waits for a change for at most ms product milliseconds (bounded by the next event).
    void WaitForChange(std::uint32_t ms)
    {
        const std::uint32_t toEvent = m_state.MsToNextEvent();
        std::uint32_t wait = std::min(ms, toEvent);
        if (wait == kInfinite)
            m_state.changed.wait(m_lock);
        else
            m_state.changed.wait_for(m_lock, std::chrono::microseconds(CClock::ToRealMicroseconds(std::max(wait, 1u))));
        m_state.ApplyDue(m_callbacks);
    }

private:
    SState& m_state;
    std::unique_lock<std::mutex> m_lock;
    SState::Callbacks m_callbacks;
};

class CBenchSink : public IBenchHidSink
{
public:
    CBenchSink(std::weak_ptr<SState> state, std::weak_ptr<SInterfaceRt> rt) : m_state(state), m_rt(rt) {}

    bool QueueInputReport(const std::uint8_t* report, std::size_t length) override
    {
        auto state = m_state.lock();
        auto rt = m_rt.lock();
        if (!state || !rt || report == nullptr)
            return false;
        std::lock_guard<std::mutex> guard(state->mutex);
        if (!rt->present)
            return false;
        const std::size_t size = rt->caps.inputReportByteLength != 0 ? rt->caps.inputReportByteLength : length;
        std::vector<std::uint8_t> bytes(size, 0);
        std::memcpy(bytes.data(), report, std::min(size, length));
        for (SHandleQueue* queue : rt->readers)
            queue->reports.push_back(bytes);
        state->changed.notify_all();
        return true;
    }

    bool DropOff(std::uint32_t delayMs) override
    {
        auto state = m_state.lock();
        auto rt = m_rt.lock();
        if (!state || !rt)
            return false;
        std::lock_guard<std::mutex> guard(state->mutex);
        if (!rt->present)
            return false;
        SEvent event;
        event.at = CClock::NowMs() + delayMs;
        event.kind = EEvent::Unplug;
        event.device = rt->device;
        state->Schedule(std::move(event));
        return true;
    }

    bool ReEnumerate(const SBenchDevice& newDevice, std::uint32_t dropDelayMs, std::uint32_t backDelayMs) override
    {
        auto state = m_state.lock();
        auto rt = m_rt.lock();
        if (!state || !rt)
            return false;
        std::lock_guard<std::mutex> guard(state->mutex);
        auto it = state->devices.find(rt->device);
        if (!rt->present || it == state->devices.end())
            return false;
        const std::uint64_t now = CClock::NowMs();
        SEvent drop;
        drop.at = now + dropDelayMs;
        drop.kind = EEvent::Unplug;
        drop.device = rt->device;
        SEvent back;
        back.at = now + dropDelayMs + backDelayMs;
        back.kind = EEvent::Plug;
        back.device = rt->device;
        back.hub = it->second.parentHub;
        back.port = it->second.port;
        back.spec = newDevice;
        state->Schedule(std::move(drop));
        state->Schedule(std::move(back));
        return true;
    }

private:
    std::weak_ptr<SState> m_state;
    std::weak_ptr<SInterfaceRt> m_rt;
};

} // namespace

std::shared_ptr<IBenchHidSink> MakeSink(const std::weak_ptr<CBenchUsbWorld::SState>& state,
                                        const std::shared_ptr<SInterfaceRt>& rt)
{
    return std::make_shared<CBenchSink>(state, rt);
}

namespace
{

// ---------------------------------------------------------------------------
// Handles

class CBenchHostController : public IUsbHostController
{
public:
    CBenchHostController(std::shared_ptr<SState> state, BenchId rootHub, std::uintptr_t handle)
        : m_state(std::move(state)), m_rootHub(rootHub), m_handle(handle)
    {
    }
    ~CBenchHostController() override
    {
        std::lock_guard<std::mutex> guard(m_state->mutex);
        --m_state->openHubs;
    }
    std::uintptr_t GetHandleValue() const override { return m_handle; }
    EUsbResult GetRootHubName(std::wstring& name) override
    {
        CWorldCall call(*m_state);
        auto it = m_state->hubs.find(m_rootHub);
        if (it == m_state->hubs.end())
            return EUsbResult::NoDevice;
        name = it->second.name;
        return EUsbResult::Ok;
    }

private:
    std::shared_ptr<SState> m_state;
    BenchId m_rootHub;
    std::uintptr_t m_handle;
};

class CBenchHub : public IUsbHub
{
public:
    CBenchHub(std::shared_ptr<SState> state, BenchId hub, std::uintptr_t handle)
        : m_state(std::move(state)), m_hub(hub), m_handle(handle)
    {
    }
    ~CBenchHub() override
    {
        std::lock_guard<std::mutex> guard(m_state->mutex);
        --m_state->openHubs;
    }
    std::uintptr_t GetHandleValue() const override { return m_handle; }

    EUsbResult GetNodeInformation(SUsbNodeInformation& info) override
    {
        CWorldCall call(*m_state);
        SHub* hub = Hub();
        if (hub == nullptr)
            return EUsbResult::NoDevice;
        info.isHub = true;
        info.numberOfPorts = hub->ports;
        auto dev = m_state->devices.find(m_hub);
        info.hubIsBusPowered = dev != m_state->devices.end() && dev->second.spec.maxPower != 0;
        return EUsbResult::Ok;
    }

    EUsbResult GetNodeConnectionInformationEx(SUsbNodeConnectionInformationEx& info) override
    {
        CWorldCall call(*m_state);
        SHub* hub = Hub();
        if (hub == nullptr)
            return EUsbResult::NoDevice;
        if (!hub->extended)
            return EUsbResult::NotSupported;
        const std::uint32_t port = info.connectionIndex;
        if (port == 0 || port > hub->ports)
            return EUsbResult::InvalidArg;
        std::memset(&info, 0, sizeof(info));
        info.connectionIndex = port;
        const SDevice* device = DeviceOn(*hub, port);
        if (device == nullptr)
            return EUsbResult::Ok;
        FillCommon(*device, info);
        info.speed = device->spec.speed;
        return EUsbResult::Ok;
    }

    EUsbResult GetNodeConnectionInformation(SUsbNodeConnectionInformation& info) override
    {
        CWorldCall call(*m_state);
        SHub* hub = Hub();
        if (hub == nullptr)
            return EUsbResult::NoDevice;
        const std::uint32_t port = info.connectionIndex;
        if (port == 0 || port > hub->ports)
            return EUsbResult::InvalidArg;
        std::memset(&info, 0, sizeof(info));
        info.connectionIndex = port;
        const SDevice* device = DeviceOn(*hub, port);
        if (device == nullptr)
            return EUsbResult::Ok;
        FillCommon(*device, info);
        info.lowSpeed = device->spec.speed == kUsbLowSpeed ? 1 : 0;
        return EUsbResult::Ok;
    }

    EUsbResult GetNodeConnectionDriverKeyName(std::uint32_t port, std::wstring& driverKey) override
    {
        CWorldCall call(*m_state);
        SHub* hub = Hub();
        if (hub == nullptr)
            return EUsbResult::NoDevice;
        const SDevice* device = DeviceOn(*hub, port);
        if (device == nullptr)
            return EUsbResult::NoDevice;
        driverKey = m_state->nodes[device->node - 1].driverKey;
        return EUsbResult::Ok;
    }

    EUsbResult GetNodeConnectionName(std::uint32_t port, std::wstring& hubName) override
    {
        CWorldCall call(*m_state);
        SHub* hub = Hub();
        if (hub == nullptr)
            return EUsbResult::NoDevice;
        const SDevice* device = DeviceOn(*hub, port);
        if (device == nullptr)
            return EUsbResult::NoDevice;
        auto downstream = m_state->hubs.find(device->id);
        if (downstream == m_state->hubs.end())
            return EUsbResult::Failed;
        hubName = downstream->second.name;
        return EUsbResult::Ok;
    }

    EUsbResult GetDescriptorFromNodeConnection(std::uint8_t* buffer, std::size_t bufferSize,
                                               std::size_t& bytesReturned) override
    {
        bytesReturned = 0;
        if (buffer == nullptr || bufferSize < sizeof(SUsbDescriptorRequest))
            return EUsbResult::InvalidArg;
        SUsbDescriptorRequest request;
        std::memcpy(&request, buffer, sizeof(request));
        CWorldCall call(*m_state);
        SHub* hub = Hub();
        if (hub == nullptr)
            return EUsbResult::NoDevice;
        const SDevice* device = DeviceOn(*hub, request.connectionIndex);
        if (device == nullptr)
            return EUsbResult::NoDevice;
        const std::uint8_t type = static_cast<std::uint8_t>(request.wValue >> 8);
        const std::uint8_t index = static_cast<std::uint8_t>(request.wValue & 0xFF);
        std::vector<std::uint8_t> reply;
        if (type == kUsbDeviceDescriptorType)
            reply = BuildBenchDeviceDescriptor(device->spec);
        else if (type == kUsbConfigurationDescriptorType)
        {
            if (device->spec.failConfigDescriptor || index != 0)
                return EUsbResult::Failed;
            reply = BuildBenchConfigDescriptor(device->spec);
        }
        else if (type == kUsbStringDescriptorType)
        {
            if (device->spec.failStrings || !BuildBenchStringDescriptor(device->spec, index, reply))
                return EUsbResult::Failed;
        }
        else
            return EUsbResult::Failed;
        const std::size_t n = std::min({reply.size(), static_cast<std::size_t>(request.wLength),
                                        bufferSize - sizeof(SUsbDescriptorRequest)});
        std::memcpy(buffer + sizeof(SUsbDescriptorRequest), reply.data(), n);
        bytesReturned = sizeof(SUsbDescriptorRequest) + n;
        return EUsbResult::Ok;
    }

private:
    SHub* Hub()
    {
        auto it = m_state->hubs.find(m_hub);
        return it == m_state->hubs.end() || !it->second.present ? nullptr : &it->second;
    }

    const SDevice* DeviceOn(const SHub& hub, std::uint32_t port)
    {
        if (port == 0 || port > hub.ports || hub.portDevice[port - 1] == 0)
            return nullptr;
        auto it = m_state->devices.find(hub.portDevice[port - 1]);
        return it == m_state->devices.end() || !it->second.present ? nullptr : &it->second;
    }

    // Fields both connection records share (packed records: no references to fields).
    template <typename TInfo>
    void FillCommon(const SDevice& device, TInfo& info)
    {
        const std::vector<std::uint8_t> raw = BuildBenchDeviceDescriptor(device.spec);
        SUsbDeviceDescriptor descriptor;
        std::memset(&descriptor, 0, sizeof(descriptor));
        std::memcpy(&descriptor, raw.data(), std::min(raw.size(), sizeof(descriptor)));
        info.deviceDescriptor = descriptor;
        info.currentConfigurationValue = 1;
        info.deviceIsHub = device.spec.hubPorts > 0 ? 1 : 0;
        info.deviceAddress = device.address;
        const std::size_t interfaces =
            device.spec.hubPorts > 0 ? 1 : device.spec.hidInterfaces.size() + device.spec.otherInterfaces;
        const std::uint32_t pipes = static_cast<std::uint32_t>(std::min<std::size_t>(interfaces, kUsbMaxPipes));
        info.numberOfOpenPipes = pipes;
        for (std::uint32_t i = 0; i < pipes; ++i)
        {
            SUsbPipeInfo pipe{};
            pipe.endpointDescriptor = {7, 5, static_cast<std::uint8_t>(0x81 + i), 3, 64, 1};
            std::memcpy(&info.pipeList[i], &pipe, sizeof(pipe));
        }
        info.connectionStatus = kUsbDeviceConnected;
    }

    std::shared_ptr<SState> m_state;
    BenchId m_hub;
    std::uintptr_t m_handle;
};

class CBenchHidDevice : public IHidDevice
{
public:
    CBenchHidDevice(std::shared_ptr<SState> state, std::shared_ptr<SInterfaceRt> rt, const SHidOpenOptions& options,
                    std::uintptr_t handle)
        : m_state(std::move(state)), m_rt(std::move(rt)), m_options(options), m_handle(handle)
    {
        // Called with the world lock held.
        if ((m_options.access & kHidAccessRead) != 0)
            m_rt->readers.push_back(&m_queue);
        ++m_state->openHid;
        ++m_state->openHidByDevice[m_rt->device];
    }

    ~CBenchHidDevice() override
    {
        std::lock_guard<std::mutex> guard(m_state->mutex);
        auto& readers = m_rt->readers;
        readers.erase(std::remove(readers.begin(), readers.end(), &m_queue), readers.end());
        --m_state->openHid;
        --m_state->openHidByDevice[m_rt->device];
    }

    std::uintptr_t GetHandleValue() const override { return m_handle; }
    bool IsOverlapped() const override { return m_options.overlapped; }
    std::uint32_t GetAccess() const override { return m_options.access; }

    EHidResult GetAttributes(SHidAttributes& attributes) override
    {
        CWorldCall call(*m_state);
        if (!m_rt->present)
            return EHidResult::NoDevice;
        attributes.vendorId = m_rt->spec.vendorId;
        attributes.productId = m_rt->spec.productId;
        attributes.versionNumber = m_rt->spec.bcdDevice;
        return EHidResult::Ok;
    }

    EHidResult GetCaps(SHidCaps& caps) override
    {
        CWorldCall call(*m_state);
        if (!m_rt->present)
            return EHidResult::NoDevice;
        caps = m_rt->caps;
        return EHidResult::Ok;
    }

    EHidResult GetProductString(std::wstring& text) override { return String(m_rt->spec.product, text); }
    EHidResult GetManufacturerString(std::wstring& text) override { return String(m_rt->spec.manufacturer, text); }
    EHidResult GetSerialNumberString(std::wstring& text) override { return String(m_rt->spec.serialNumber, text); }

    EHidResult GetIndexedString(std::uint32_t index, std::wstring& text) override
    {
        std::wstring value;
        {
            CWorldCall call(*m_state);
            if (!m_rt->present)
                return EHidResult::NoDevice;
            const SBenchDevice& spec = m_rt->spec;
            if (index == 1)
                value = spec.manufacturer;
            else if (index == 2)
                value = spec.product;
            else if (index == 3)
                value = spec.serialNumber;
            else if (index <= 255)
            {
                auto it = spec.strings.find(static_cast<std::uint8_t>(index));
                if (it != spec.strings.end())
                    value = it->second;
            }
        }
        if (value.empty())
            return EHidResult::Failed;
        text = value.substr(0, 126);
        return EHidResult::Ok;
    }

    EHidResult SetFeature(const std::uint8_t* report, std::size_t length) override
    {
        std::shared_ptr<IBenchHidModel> model;
        std::shared_ptr<std::mutex> lock;
        {
            CWorldCall call(*m_state);
            const EHidResult check = CheckReport(report, length, m_rt->caps.featureReportByteLength);
            if (check != EHidResult::Ok)
                return check;
            model = m_rt->model;
            lock = m_rt->modelCallLock;
        }
        if (!model)
            return EHidResult::Failed;
        std::lock_guard<std::mutex> guard(*lock);
        return model->OnSetFeature(report, length);
    }

    EHidResult GetFeature(std::uint8_t* report, std::size_t length, std::size_t* returned) override
    {
        if (returned != nullptr)
            *returned = 0;
        std::shared_ptr<IBenchHidModel> model;
        std::shared_ptr<std::mutex> lock;
        {
            CWorldCall call(*m_state);
            const EHidResult check = CheckReport(report, length, m_rt->caps.featureReportByteLength);
            if (check != EHidResult::Ok)
                return check;
            model = m_rt->model;
            lock = m_rt->modelCallLock;
        }
        if (!model)
            return EHidResult::Failed;
        std::lock_guard<std::mutex> guard(*lock);
        const EHidResult result = model->OnGetFeature(report, length);
        if (result == EHidResult::Ok && returned != nullptr)
            *returned = length;
        return result;
    }

    EHidResult WriteOutputReport(const std::uint8_t* report, std::size_t length, std::uint32_t timeoutMs,
                                 std::size_t* written) override
    {
        if (written != nullptr)
            *written = 0;
        if (!m_options.overlapped && timeoutMs != kInfinite)
            return EHidResult::InvalidArg;
        std::shared_ptr<IBenchHidModel> model;
        std::shared_ptr<std::mutex> lock;
        {
            CWorldCall call(*m_state);
            if (m_queue.cancelled)
                return EHidResult::Cancelled;
            if ((m_options.access & kHidAccessWrite) == 0)
                return m_rt->present ? EHidResult::AccessDenied : EHidResult::NoDevice;
            const EHidResult check = CheckReport(report, length, m_rt->caps.outputReportByteLength);
            if (check != EHidResult::Ok)
                return check;
            model = m_rt->model;
            lock = m_rt->modelCallLock;
        }
        if (!model)
            return EHidResult::Failed;
        std::lock_guard<std::mutex> guard(*lock);
        const EHidResult result = model->OnOutputReport(report, length);
        if (result == EHidResult::Ok && written != nullptr)
            *written = length;
        return result;
    }

    EHidResult ReadInputReport(std::uint8_t* report, std::size_t capacity, std::uint32_t timeoutMs,
                               std::size_t* read) override
    {
        if (read != nullptr)
            *read = 0;
        if (!m_options.overlapped && timeoutMs != kInfinite)
            return EHidResult::InvalidArg;
        if (report == nullptr)
            return EHidResult::InvalidArg;
        CWorldCall call(*m_state);
        if ((m_options.access & kHidAccessRead) == 0)
            return m_rt->present ? EHidResult::AccessDenied : EHidResult::NoDevice;
        if (m_rt->caps.inputReportByteLength == 0 || capacity < m_rt->caps.inputReportByteLength)
            return m_rt->present ? EHidResult::InvalidArg : EHidResult::NoDevice;
        const CDeadline deadline(timeoutMs);
        for (;;)
        {
            if (m_queue.cancelled)
                return EHidResult::Cancelled;
            if (!m_rt->present)
                return EHidResult::NoDevice;
            if (!m_queue.reports.empty())
            {
                const std::vector<std::uint8_t> bytes = std::move(m_queue.reports.front());
                m_queue.reports.pop_front();
                const std::size_t n = std::min(capacity, bytes.size());
                std::memcpy(report, bytes.data(), n);
                if (read != nullptr)
                    *read = n;
                return EHidResult::Ok;
            }
            if (deadline.IsExpired())
                return EHidResult::Timeout;
            call.WaitForChange(deadline.RemainingMs());
        }
    }

    void Cancel() override
    {
        std::lock_guard<std::mutex> guard(m_state->mutex);
        m_queue.cancelled = true;
        m_state->changed.notify_all();
    }

    void ResetCancel() override
    {
        std::lock_guard<std::mutex> guard(m_state->mutex);
        m_queue.cancelled = false;
    }

private:
    // World lock held.
    EHidResult CheckReport(const std::uint8_t* report, std::size_t length, std::uint16_t expected)
    {
        if (!m_rt->present)
            return EHidResult::NoDevice;
        if (m_options.access == kHidAccessNone)
            return EHidResult::AccessDenied;
        if (report == nullptr || expected == 0 || length != expected)
            return EHidResult::InvalidArg;
        return EHidResult::Ok;
    }

    EHidResult String(const std::wstring& value, std::wstring& text)
    {
        CWorldCall call(*m_state);
        if (!m_rt->present)
            return EHidResult::NoDevice;
        if (value.empty())
            return EHidResult::Failed;
        text = value.substr(0, 126);
        return EHidResult::Ok;
    }

    std::shared_ptr<SState> m_state;
    std::shared_ptr<SInterfaceRt> m_rt;
    SHidOpenOptions m_options;
    std::uintptr_t m_handle;
    SHandleQueue m_queue; // guarded by the world lock
};
} // namespace

std::function<void()> CBenchUsbWorld::SState::MakeAttach(const std::shared_ptr<SInterfaceRt>& rt)
{
    auto model = rt->model;
    auto lock = rt->modelCallLock;
    auto sink = rt->sink;
    return [model, lock, sink] {
        std::lock_guard<std::mutex> guard(*lock);
        model->OnAttach(sink);
    };
}

// ---------------------------------------------------------------------------
// CBenchUsbWorld

CBenchUsbWorld::CBenchUsbWorld() : m_state(std::make_shared<SState>())
{
    m_state->self = m_state;
    m_state->AddNode(0, L"HTREE\\ROOT\\0", L"Computer");
}

CBenchUsbWorld::~CBenchUsbWorld()
{
    // Detach the models of what is still plugged in.
    SState::Callbacks callbacks;
    {
        std::lock_guard<std::mutex> guard(m_state->mutex);
        std::vector<BenchId> present;
        for (auto& [id, device] : m_state->devices)
        {
            if (device.present)
                present.push_back(id);
        }
        for (BenchId id : present)
            m_state->UnplugNow(id, callbacks);
        m_state->events.clear();
    }
    for (auto& callback : callbacks)
        callback();
}

BenchId CBenchUsbWorld::AddHostController(std::uint8_t rootHubPorts, bool extendedConnectionInfo)
{
    CWorldCall call(*m_state);
    SState& s = *m_state;
    SController controller;
    controller.id = s.nextId++;
    controller.rootHub = s.nextId++;
    const unsigned n = static_cast<unsigned>(s.controllers.size());
    const std::wstring pciId = Format(L"PCI\\VEN_8086&DEV_A36D&SUBSYS_%08X&REV_10\\3&11583659&0&%02X", 0x1000u + n, n * 8);
    controller.path = Format(L"\\\\?\\pci#ven_8086&dev_a36d&subsys_%08x&rev_10#3&11583659&0&%02x#%ls", 0x1000u + n,
                             n * 8, kHostControllerGuid);
    const UsbDevNode hcNode = s.AddNode(1, pciId, L"USB xHCI Compliant Host Controller");
    const std::wstring rootInstance = Format(L"4&%X&0&0", 0x2000u + n * 0x131u);
    const UsbDevNode rootNode = s.AddNode(hcNode, L"USB\\ROOT_HUB30\\" + rootInstance, L"USB Root Hub (USB 3.0)");
    s.nodes[rootNode - 1].driverKey = Format(L"%ls\\%04u", kUsbClassGuid, s.nextDriverKey++);
    s.rootHubNodes[controller.rootHub] = rootNode;
    SHub& hub = s.hubs[controller.rootHub];
    hub.id = controller.rootHub;
    hub.ports = rootHubPorts;
    hub.portDevice.assign(rootHubPorts, 0);
    hub.name = L"USB#ROOT_HUB30#" + rootInstance + L"#" + kHubInterfaceGuid;
    hub.extended = extendedConnectionInfo;
    s.controllers.push_back(controller);
    return controller.id;
}

BenchId CBenchUsbWorld::RootHub(BenchId hostController) const
{
    std::lock_guard<std::mutex> guard(m_state->mutex);
    for (const SController& c : m_state->controllers)
    {
        if (c.id == hostController)
            return c.rootHub;
    }
    return 0;
}

BenchId CBenchUsbWorld::Plug(BenchId hub, std::uint8_t port, const SBenchDevice& device)
{
    CWorldCall call(*m_state);
    SState& s = *m_state;
    auto hubIt = s.hubs.find(hub);
    if (hubIt == s.hubs.end() || port == 0 || port > hubIt->second.ports || hubIt->second.portDevice[port - 1] != 0)
        return 0;
    const BenchId id = s.nextId++;
    s.PlugNow(id, hub, port, device, call.Callbacks());
    s.changed.notify_all();
    return id;
}

BenchId CBenchUsbWorld::SchedulePlug(BenchId hub, std::uint8_t port, const SBenchDevice& device, std::uint32_t delayMs)
{
    CWorldCall call(*m_state);
    SEvent event;
    event.at = CClock::NowMs() + delayMs;
    event.kind = EEvent::Plug;
    event.device = m_state->nextId++;
    event.hub = hub;
    event.port = port;
    event.spec = device;
    const BenchId id = event.device;
    m_state->Schedule(std::move(event));
    return id;
}

bool CBenchUsbWorld::Unplug(BenchId device)
{
    CWorldCall call(*m_state);
    auto it = m_state->devices.find(device);
    if (it == m_state->devices.end() || !it->second.present)
        return false;
    m_state->UnplugNow(device, call.Callbacks());
    return true;
}

void CBenchUsbWorld::ScheduleUnplug(BenchId device, std::uint32_t delayMs)
{
    CWorldCall call(*m_state);
    SEvent event;
    event.at = CClock::NowMs() + delayMs;
    event.kind = EEvent::Unplug;
    event.device = device;
    m_state->Schedule(std::move(event));
}

void CBenchUsbWorld::ScheduleReEnumerate(BenchId device, const SBenchDevice& newDevice, std::uint32_t dropDelayMs,
                                         std::uint32_t backDelayMs)
{
    CWorldCall call(*m_state);
    auto it = m_state->devices.find(device);
    if (it == m_state->devices.end())
        return;
    const std::uint64_t now = CClock::NowMs();
    SEvent drop;
    drop.at = now + dropDelayMs;
    drop.kind = EEvent::Unplug;
    drop.device = device;
    SEvent back;
    back.at = now + dropDelayMs + backDelayMs;
    back.kind = EEvent::Plug;
    back.device = device;
    back.hub = it->second.parentHub;
    back.port = it->second.port;
    back.spec = newDevice;
    m_state->Schedule(std::move(drop));
    m_state->Schedule(std::move(back));
}

std::vector<BenchId> CBenchUsbWorld::RootHubs() const
{
    std::lock_guard<std::mutex> guard(m_state->mutex);
    std::vector<BenchId> hubs;
    for (const SController& c : m_state->controllers)
        hubs.push_back(c.rootHub);
    return hubs;
}

bool CBenchUsbWorld::PortDevice(BenchId hub, std::uint8_t port, BenchId* device, SBenchDevice* description,
                                std::uint64_t* plugCount)
{
    CWorldCall call(*m_state);
    auto hubIt = m_state->hubs.find(hub);
    if (hubIt == m_state->hubs.end() || !hubIt->second.present || port == 0 || port > hubIt->second.ports)
        return false;
    const BenchId id = hubIt->second.portDevice[port - 1];
    auto it = m_state->devices.find(id);
    if (id == 0 || it == m_state->devices.end() || !it->second.present)
        return false;
    if (device != nullptr)
        *device = id;
    if (description != nullptr)
        *description = it->second.spec;
    if (plugCount != nullptr)
        *plugCount = it->second.address; // a new address at every plug
    return true;
}

bool CBenchUsbWorld::IsPresent(BenchId device)
{
    CWorldCall call(*m_state);
    auto it = m_state->devices.find(device);
    return it != m_state->devices.end() && it->second.present;
}

std::wstring CBenchUsbWorld::DeviceInstanceId(BenchId device)
{
    CWorldCall call(*m_state);
    auto it = m_state->devices.find(device);
    if (it == m_state->devices.end() || !it->second.present)
        return std::wstring();
    return m_state->nodes[it->second.node - 1].id;
}

std::wstring CBenchUsbWorld::HidInterfacePath(BenchId device, std::size_t hidIndex)
{
    CWorldCall call(*m_state);
    auto it = m_state->devices.find(device);
    if (it == m_state->devices.end() || !it->second.present || hidIndex >= it->second.interfaces.size())
        return std::wstring();
    return it->second.interfaces[hidIndex]->path;
}

std::size_t CBenchUsbWorld::OpenHidHandleCount()
{
    std::lock_guard<std::mutex> guard(m_state->mutex);
    return m_state->openHid;
}

std::size_t CBenchUsbWorld::OpenHidHandleCount(BenchId device)
{
    std::lock_guard<std::mutex> guard(m_state->mutex);
    auto it = m_state->openHidByDevice.find(device);
    return it == m_state->openHidByDevice.end() ? 0 : it->second;
}

std::size_t CBenchUsbWorld::OpenHubHandleCount()
{
    std::lock_guard<std::mutex> guard(m_state->mutex);
    return m_state->openHubs;
}

// IUsbTopology

EUsbResult CBenchUsbWorld::GetRootDevNode(UsbDevNode& node)
{
    node = 1;
    return EUsbResult::Ok;
}

EUsbResult CBenchUsbWorld::LocateDevNode(const std::wstring& instanceId, UsbDevNode& node)
{
    CWorldCall call(*m_state);
    for (std::size_t i = 0; i < m_state->nodes.size(); ++i)
    {
        if (m_state->nodes[i].present && SameNoCase(m_state->nodes[i].id, instanceId))
        {
            node = static_cast<UsbDevNode>(i + 1);
            return EUsbResult::Ok;
        }
    }
    return EUsbResult::NoDevice;
}

EUsbResult CBenchUsbWorld::GetParent(UsbDevNode node, UsbDevNode& parent)
{
    CWorldCall call(*m_state);
    const SNode* n = m_state->Node(node);
    if (n == nullptr)
        return EUsbResult::NoDevice;
    if (n->parent == 0)
        return EUsbResult::NoDevice;
    parent = n->parent;
    return EUsbResult::Ok;
}

EUsbResult CBenchUsbWorld::GetChild(UsbDevNode node, UsbDevNode& child)
{
    CWorldCall call(*m_state);
    const SNode* n = m_state->Node(node);
    if (n == nullptr)
        return EUsbResult::NoDevice;
    for (UsbDevNode c : n->children)
    {
        if (m_state->Node(c) != nullptr)
        {
            child = c;
            return EUsbResult::Ok;
        }
    }
    return EUsbResult::NoDevice;
}

EUsbResult CBenchUsbWorld::GetSibling(UsbDevNode node, UsbDevNode& sibling)
{
    CWorldCall call(*m_state);
    const SNode* n = m_state->Node(node);
    if (n == nullptr || n->parent == 0)
        return EUsbResult::NoDevice;
    const SNode& parent = m_state->nodes[n->parent - 1];
    auto it = std::find(parent.children.begin(), parent.children.end(), node);
    if (it == parent.children.end())
        return EUsbResult::NoDevice;
    for (++it; it != parent.children.end(); ++it)
    {
        if (m_state->Node(*it) != nullptr)
        {
            sibling = *it;
            return EUsbResult::Ok;
        }
    }
    return EUsbResult::NoDevice;
}

EUsbResult CBenchUsbWorld::GetDeviceId(UsbDevNode node, std::wstring& instanceId)
{
    CWorldCall call(*m_state);
    const SNode* n = m_state->Node(node);
    if (n == nullptr)
        return EUsbResult::NoDevice;
    instanceId = n->id;
    return EUsbResult::Ok;
}

EUsbResult CBenchUsbWorld::GetDevNodeProperty(UsbDevNode node, EUsbDevNodeProperty property, std::wstring& value)
{
    CWorldCall call(*m_state);
    const SNode* n = m_state->Node(node);
    if (n == nullptr)
        return EUsbResult::NoDevice;
    const std::wstring& v = property == EUsbDevNodeProperty::DriverKey ? n->driverKey : n->description;
    if (v.empty())
        return EUsbResult::NotSupported;
    value = v;
    return EUsbResult::Ok;
}

EUsbResult CBenchUsbWorld::EnumerateHostController(std::uint32_t index, std::wstring& devicePath)
{
    CWorldCall call(*m_state);
    if (index >= m_state->controllers.size())
        return EUsbResult::NoMoreItems;
    devicePath = m_state->controllers[index].path;
    return EUsbResult::Ok;
}

EUsbResult CBenchUsbWorld::OpenHostController(const std::wstring& devicePath,
                                              std::unique_ptr<IUsbHostController>& hc)
{
    CWorldCall call(*m_state);
    for (const SController& c : m_state->controllers)
    {
        if (SameNoCase(c.path, devicePath))
        {
            ++m_state->openHubs;
            hc = std::make_unique<CBenchHostController>(m_state, c.rootHub, m_state->nextHandle++);
            return EUsbResult::Ok;
        }
    }
    return EUsbResult::NoDevice;
}

EUsbResult CBenchUsbWorld::OpenHub(const std::wstring& hubName, std::unique_ptr<IUsbHub>& hub)
{
    CWorldCall call(*m_state);
    // Names may come with the "\\.\" prefix a Windows program adds.
    std::wstring name = hubName;
    if (name.rfind(L"\\\\.\\", 0) == 0)
        name = name.substr(4);
    for (const auto& [id, h] : m_state->hubs)
    {
        if (h.present && SameNoCase(h.name, name))
        {
            ++m_state->openHubs;
            hub = std::make_unique<CBenchHub>(m_state, id, m_state->nextHandle++);
            return EUsbResult::Ok;
        }
    }
    return EUsbResult::NoDevice;
}

// IHidSystem

EHidResult CBenchUsbWorld::EnumerateInterfaces(std::vector<std::wstring>& paths)
{
    CWorldCall call(*m_state);
    paths.clear();
    for (const auto& rt : m_state->interfaces)
        paths.push_back(rt->path);
    return EHidResult::Ok;
}

EHidResult CBenchUsbWorld::Open(const std::wstring& path, const SHidOpenOptions& options, CHidDevicePtr& device)
{
    CWorldCall call(*m_state);
    for (const auto& rt : m_state->interfaces)
    {
        if (rt->present && SameNoCase(rt->path, path))
        {
            if (rt->exclusive && options.access != kHidAccessNone)
                return EHidResult::AccessDenied;
            device = std::make_unique<CBenchHidDevice>(m_state, rt, options, m_state->nextHandle++);
            return EHidResult::Ok;
        }
    }
    return EHidResult::NoDevice;
}

EHidResult CBenchUsbWorld::GetUsbDeviceInstanceId(const std::wstring& path, std::wstring& instanceId)
{
    CWorldCall call(*m_state);
    SInterfaceRt* rt = m_state->FindInterface(path);
    if (rt == nullptr)
        return EHidResult::NoDevice;
    instanceId = rt->usbDeviceId;
    return EHidResult::Ok;
}
