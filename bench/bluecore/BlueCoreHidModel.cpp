#include "bench/bluecore/BlueCoreHidModel.h"

namespace bluecore
{
CBlueCoreHidModel::CBlueCoreHidModel(std::shared_ptr<CBlueCoreChip> chip) : m_chip(std::move(chip))
{
}

CBlueCoreHidModel::~CBlueCoreHidModel()
{
    StopPump();
}

void CBlueCoreHidModel::OnAttach(const std::shared_ptr<IBenchHidSink>& sink)
{
    StopPump();
    CMutexLock lock(m_mutex);
    m_stop.store(false);
    m_chip->ResetCancel();
    std::shared_ptr<IBenchHidSink> keep = sink;
    std::shared_ptr<CBlueCoreChip> chip = m_chip;
    m_pump.Start([this, keep, chip]() -> std::uint32_t {
        std::uint8_t report[kInputReportLength];
        while (!m_stop.load())
        {
            std::size_t read = 0;
            if (chip->ReadInputReport(report, sizeof(report), 100, &read))
                keep->QueueInputReport(report, read);
        }
        return 0;
    });
}

void CBlueCoreHidModel::OnDetach()
{
    StopPump();
}

void CBlueCoreHidModel::StopPump()
{
    CMutexLock lock(m_mutex);
    if (!m_pump.IsValid())
        return;
    m_stop.store(true);
    m_chip->Cancel();
    m_pump.Wait(kInfinite);
    m_pump.Close();
}

EHidResult CBlueCoreHidModel::OnSetFeature(const std::uint8_t* report, std::size_t length)
{
    return m_chip->SetFeatureReport(report, length) ? EHidResult::Ok : EHidResult::Failed;
}

EHidResult CBlueCoreHidModel::OnOutputReport(const std::uint8_t* report, std::size_t length)
{
    return m_chip->WriteOutputReport(report, length) ? EHidResult::Ok : EHidResult::Failed;
}

SBenchDevice MakeBlueCoreBridgeDevice(const std::shared_ptr<CBlueCoreChip>& chip, std::uint16_t vendorId,
                                      std::uint16_t productId)
{
    SBenchDevice device = MakeBenchHidDevice(vendorId, productId, 0xFF00, 0x0001, kInputReportLength,
                                             kOutputReportLength, kFeatureReportLength);
    device.manufacturer = L"Bench";
    device.product = L"BlueCore HID bridge";
    if (!device.hidInterfaces.empty())
        device.hidInterfaces[0].model = std::make_shared<CBlueCoreHidModel>(chip);
    return device;
}
} // namespace bluecore
