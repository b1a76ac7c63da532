#pragma once
// A bench USB world with simulated Avnera chips, set as the HID system of
// the host interface for the lifetime of the fixture.
#include <gtest/gtest.h>

#include <memory>

#include "avnera/HostInternal.h"
#include "avnera/OrvoHostApi.h"
#include "bench/avnera/AvneraHidModel.h"
#include "platform/Clock.h"

class CAvneraBench : public ::testing::Test
{
protected:
    // The chip is polled against time-outs of one or two product seconds: at
    // 0.01 they are 10 and 20 ms of real time, which a loaded machine's
    // scheduling does not eat up (at 0.001 a descheduled test thread times
    // out a healthy chip).
    static constexpr double kTimeScale = 0.01;

    void SetUp() override
    {
        m_previousScale = CClock::GetTimeScale();
        CClock::SetTimeScale(kTimeScale);
        m_hostController = m_world.AddHostController();
        avnera::SetHidSystem(&m_world);
        AvDllInitialize();
    }
    void TearDown() override
    {
        AvDllShutdown();
        avnera::SetHidSystem(nullptr);
        CClock::SetTimeScale(m_previousScale);
    }
    std::shared_ptr<CAvneraChip> PlugChip(bool vendor, const SAvneraChipConfig& config = {}, std::uint8_t port = 0)
    {
        auto chip = std::make_shared<CAvneraChip>(config);
        const std::uint8_t at = port != 0 ? port : ++m_nextPort;
        m_devices.push_back(m_world.Plug(m_world.RootHub(m_hostController), at,
                                         vendor ? MakeAvneraVendorDevice(chip) : MakeAvneraGenericDevice(chip)));
        return chip;
    }
    AvDeviceHandle* Open(std::uint32_t type, std::uint32_t index = 0)
    {
        AvDeviceHandle* handle = nullptr;
        EXPECT_EQ(0, AvDllOpenDevice(type, index, &handle));
        return handle;
    }

    double m_previousScale = 0;
    CBenchUsbWorld m_world;
    BenchId m_hostController = 0;
    std::uint8_t m_nextPort = 0;
    std::vector<BenchId> m_devices;
};
