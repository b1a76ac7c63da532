#pragma once
// A minimal host side for simulated DFU devices: a bus holding devices and
// an IDfuTransport over it, so the DFU engine can drive CSimDfuDevice
// objects exactly as it drives real ones through libusb.
//
// The transport talks to devices only through their USB-level operations
// (descriptors, control transfers, bus reset, presence and generation); a
// fuller simulated USB world can take the bus's place without changes to
// the device model.
//
// Thread safety: the bus and its factory may be used from any thread; each
// transport follows the IDfuTransport contract (one caller at a time).

#include <memory>
#include <string>
#include <vector>

#include "bench/dfu/SimDfuDevice.h"
#include "platform/DfuTransport.h"
#include "platform/Sync.h"

class CSimDfuBus : public IDfuTransportFactory, public std::enable_shared_from_this<CSimDfuBus>
{
public:
    CSimDfuBus();
    ~CSimDfuBus() override;

    // Plugs a device in; the bus keeps it alive.
    std::shared_ptr<CSimDfuDevice> AddDevice(const SSimDfuConfig& config);
    // Plugs in a device made (and perhaps unplugged) beforehand.
    void AddDevice(std::shared_ptr<CSimDfuDevice> device);
    void RemoveAll();
    std::vector<std::shared_ptr<CSimDfuDevice>> Devices();
    std::shared_ptr<CSimDfuDevice> FindByLocation(const std::string& location);

    std::unique_ptr<IDfuTransport> CreateTransport() override;

    // Fault injection for the host side: the next n requests time out.
    void FailNextRequests(int count);
    bool TakeInjectedTimeout();

private:
    CMutex m_lock;
    std::vector<std::shared_ptr<CSimDfuDevice>> m_devices;
    int m_failNext = 0;
};
