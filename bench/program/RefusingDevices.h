#pragma once
// A system that refuses this user the devices of the simulated world, as
// Linux does without the udev rules or the group: the HID library's open of
// the headset fails and the system says "access denied"; the DFU devices are
// there but do not open. Wrapped around the world's own ports; everything
// else passes through.

#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "platform/DfuTransport.h"
#include "platform/HidApi.h"

class CRefusingHidApi : public IHidApi
{
public:
    explicit CRefusingHidApi(IHidApi& inner) : m_inner(inner) {}
    int Init() override { return m_inner.Init(); }
    int Exit() override { return m_inner.Exit(); }
    std::vector<SHidApiDeviceInfo> Enumerate(std::uint16_t vendorId, std::uint16_t productId) override
    {
        return m_inner.Enumerate(vendorId, productId);
    }
    std::unique_ptr<IHidApiDevice> Open(std::uint16_t, std::uint16_t, const wchar_t*) override { return nullptr; }
    std::unique_ptr<IHidApiDevice> OpenPath(const std::string&) override { return nullptr; }
    EHidResult ProbeOpen(const std::string& path) override
    {
        return m_inner.ProbeOpen(path) == EHidResult::Ok ? EHidResult::AccessDenied : m_inner.ProbeOpen(path);
    }
    std::string UsbPortLocation(const std::string& path) override { return m_inner.UsbPortLocation(path); }

private:
    IHidApi& m_inner;
};

class CRefusingDfuTransport : public IDfuTransport
{
public:
    CRefusingDfuTransport(std::unique_ptr<IDfuTransport> inner, std::string node)
        : m_inner(std::move(inner)), m_node(std::move(node))
    {
    }
    EDfuIo Enumerate(std::vector<SDfuDeviceEntry>& devices) override
    {
        devices.clear();
        return EDfuIo::Ok;
    }
    EDfuIo EnumerateUnopenable(std::vector<SDfuDeviceEntry>& devices) override
    {
        const EDfuIo io = m_inner->Enumerate(devices);
        for (SDfuDeviceEntry& d : devices)
        {
            d.access = EDfuAccess::Denied;
            d.node = m_node;
        }
        return io;
    }
    EDfuIo Open(const std::wstring&) override { return EDfuIo::Access; }
    EDfuIo Reopen() override { return EDfuIo::Access; }
    void Close() override {}
    EDfuIo GetIdentity(SDfuDeviceIdentity*) override { return EDfuIo::NoDevice; }
    EDfuIo GetFunctionalDescriptor(std::vector<std::uint8_t>&) override { return EDfuIo::NoDevice; }
    EDfuIo ControlOut(std::uint8_t, std::uint16_t, const std::uint8_t*, std::size_t, std::uint32_t) override
    {
        return EDfuIo::NoDevice;
    }
    EDfuIo ControlIn(std::uint8_t, std::uint16_t, std::uint8_t*, std::size_t, std::size_t* received,
                     std::uint32_t) override
    {
        *received = 0;
        return EDfuIo::NoDevice;
    }
    EDfuIo Reset() override { return EDfuIo::NoDevice; }

private:
    std::unique_ptr<IDfuTransport> m_inner;
    std::string m_node;
};

class CRefusingDfuFactory : public IDfuTransportFactory
{
public:
    // node: the device node the refusal names ("" for none).
    CRefusingDfuFactory(std::shared_ptr<IDfuTransportFactory> inner, std::string node)
        : m_inner(std::move(inner)), m_node(std::move(node))
    {
    }
    std::unique_ptr<IDfuTransport> CreateTransport() override
    {
        return std::make_unique<CRefusingDfuTransport>(m_inner->CreateTransport(), m_node);
    }

private:
    std::shared_ptr<IDfuTransportFactory> m_inner;
    std::string m_node;
};
