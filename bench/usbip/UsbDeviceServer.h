#pragma once
// The pieces of orvo-usb-device that tests use directly: the wire faces of
// the Tavik headset (HID mode through its hidapi-shaped face, DFU mode
// through the simulated DFU device), and what sits on a port.

#include <cstdint>
#include <memory>

#include "bench/dfu/SimDfuDevice.h"
#include "bench/tavik/BenchHidApi.h"
#include "bench/usb/BenchUsbWorld.h"
#include "bench/usbip/WireDevice.h"

// What a port holds as its model says now. Generation changes whenever the
// device leaves the bus or comes back (with another identity, maybe); the
// server then unplugs and plugs in again.
class IPortOccupant
{
public:
    virtual ~IPortOccupant() = default;
    virtual std::uint64_t Generation() = 0;
    // The device on the port now (null: the port is empty). Called once per generation.
    virtual std::shared_ptr<IUsbWireDevice> Device() = 0;
    virtual std::uint8_t Speed() { return 1; } // full speed
};

// A HID device whose reports come from a hidapi-shaped face (the Tavik headset).
class CHidFaceWireDevice : public CDescribedWireDevice
{
public:
    CHidFaceWireDevice(SBenchDevice description, IBenchHidFace* face);

protected:
    EWireStatus OutputReport(std::size_t hidIndex, std::vector<std::uint8_t>& report) override;
    EWireStatus GetFeature(std::size_t hidIndex, std::vector<std::uint8_t>& report) override;
    EWireStatus TakeInputReport(std::size_t hidIndex, std::vector<std::uint8_t>& report) override;

private:
    IBenchHidFace* m_face;
};

// A simulated DFU device on the wire. noAnswerAtBlock (1-based DNLOAD with
// data; 0: off) is a request the device never answers.
class CDfuWireDevice : public CDescribedWireDevice
{
public:
    CDfuWireDevice(std::shared_ptr<CSimDfuDevice> device, std::uint32_t noAnswerAtBlock = 0);
    EWireStatus Control(const SWireSetup& setup, const std::vector<std::uint8_t>& out,
                        std::vector<std::uint8_t>& in) override;

protected:
    EWireStatus DfuRequest(const SWireSetup& setup, const std::vector<std::uint8_t>& out,
                           std::vector<std::uint8_t>& in) override;
    void OnBusReset() override;

private:
    std::shared_ptr<CSimDfuDevice> m_dfu;
    std::uint32_t m_generation;
    std::uint32_t m_noAnswerAtBlock;
    std::uint32_t m_blocks = 0;
    bool m_resetAway = false;
};

// A device of a bench USB world on the wire: its description is the
// world's, its reports go through the world's HID handles to the models
// (the Avnera, Conexant and BlueCore products), exactly as the in-process
// face carries them.
class CWorldWireDevice : public CDescribedWireDevice
{
public:
    CWorldWireDevice(CBenchUsbWorld& world, BenchId device, SBenchDevice description);

protected:
    EWireStatus OutputReport(std::size_t hidIndex, std::vector<std::uint8_t>& report) override;
    EWireStatus SetFeature(std::size_t hidIndex, std::vector<std::uint8_t>& report) override;
    EWireStatus GetFeature(std::size_t hidIndex, std::vector<std::uint8_t>& report) override;
    EWireStatus TakeInputReport(std::size_t hidIndex, std::vector<std::uint8_t>& report) override;

private:
    std::vector<CHidDevicePtr> m_handles; // one per HID interface, opened as the device appears
};

// Port `port` of a bench USB world's hub: whatever the world has plugged in there.
class CWorldPortOccupant : public IPortOccupant
{
public:
    CWorldPortOccupant(CBenchUsbWorld& world, BenchId hub, std::uint8_t port);
    std::uint64_t Generation() override;
    std::shared_ptr<IUsbWireDevice> Device() override;
    // The first device on the port is pulled out as it takes its Nth HID request (0: never).
    void UnplugAtHidRequest(std::uint32_t nth) { m_unplugAt = nth; }

private:
    std::uint32_t m_unplugAt = 0;
    std::uint32_t m_devices = 0;
    CBenchUsbWorld& m_world;
    BenchId m_hub;
    std::uint8_t m_port;
    BenchId m_device = 0;
    SBenchDevice m_description;
};
