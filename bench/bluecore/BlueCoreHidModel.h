#pragma once
// The simulated BlueCore chip as a HID device of the bench USB world: the
// bridge's interface answers the data-out output reports and the baud-rate
// feature reports, and a pump thread moves the chip's data-in reports into
// the world's input queue while the device is on the bus.
//
//   auto chip = std::make_shared<bluecore::CBlueCoreChip>(config);
//   BenchId dev = world.Plug(hub, 1, bluecore::MakeBlueCoreBridgeDevice(chip));
//   ... CNemboHIDHelper helper(world); helper.Open(world.HidInterfacePath(dev));

#include <atomic>
#include <cstdint>
#include <memory>

#include "bench/bluecore/BlueCoreChip.h"
#include "bench/usb/BenchUsbWorld.h"
#include "platform/Sync.h"
#include "platform/Thread.h"

namespace bluecore
{
class CBlueCoreHidModel : public IBenchHidModel
{
public:
    explicit CBlueCoreHidModel(std::shared_ptr<CBlueCoreChip> chip);
    ~CBlueCoreHidModel() override;

    void OnAttach(const std::shared_ptr<IBenchHidSink>& sink) override;
    void OnDetach() override;
    EHidResult OnSetFeature(const std::uint8_t* report, std::size_t length) override;
    EHidResult OnOutputReport(const std::uint8_t* report, std::size_t length) override;

private:
    void StopPump();

    std::shared_ptr<CBlueCoreChip> m_chip;
    CMutex m_mutex; // guards the pump's start and stop
    CThread m_pump;
    std::atomic<bool> m_stop{false};
};

// A HID bridge with the chip behind it: one interface on the vendor page
// 0xFF00, 32-byte input reports, 65-byte output and feature reports.
SBenchDevice MakeBlueCoreBridgeDevice(const std::shared_ptr<CBlueCoreChip>& chip, std::uint16_t vendorId = 0x0A12,
                                      std::uint16_t productId = 0x1004);
} // namespace bluecore
