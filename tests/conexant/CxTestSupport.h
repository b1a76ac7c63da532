#pragma once
// A bench world with simulated Conexant chips, and the library connected to them.
#include <memory>
#include <vector>

#include "bench/conexant/CxChipModel.h"
#include "bench/usb/BenchUsbWorld.h"
#include "conexant/CxAudioHidDevice.h"
#include "conexant/CxAudioHidLib.h"

// Releases a chip object at the end of a scope.
struct SCxRelease
{
    void operator()(ICxAudioBase* object) const
    {
        if (object != nullptr)
            object->Release();
    }
};
using CCxDevicePtr = std::unique_ptr<ICxAudioHidDev, SCxRelease>;

class CCxBench
{
public:
    CCxBench() : m_hc(m_world.AddHostController(4)) {}

    std::shared_ptr<CCxChipModel> Plug(const SCxChipConfig& config, std::uint8_t port = 1)
    {
        auto model = std::make_shared<CCxChipModel>(config);
        m_ids.push_back(m_world.Plug(m_world.RootHub(m_hc), port, model->Device(model)));
        return model;
    }
    std::shared_ptr<CCxChipModel> Plug(ECxBenchChip chip, std::uint8_t port = 1)
    {
        return Plug(MakeCxChipConfig(chip), port);
    }

    CCxDevicePtr Connect(int chipType = -1, std::uint16_t vid = 0, std::uint16_t pid = 0, int* status = nullptr)
    {
        int local = -1;
        ICxAudioHidDev* device = ::Connect(m_world, chipType, vid, pid, status != nullptr ? status : &local);
        return CCxDevicePtr(device);
    }

    CxAudioHidDevice* Object(const CCxDevicePtr& device) { return static_cast<CxAudioHidDevice*>(device.get()); }

    CBenchUsbWorld& World() { return m_world; }
    BenchId Id(std::size_t i = 0) const { return m_ids.at(i); }

private:
    CBenchUsbWorld m_world;
    BenchId m_hc;
    std::vector<BenchId> m_ids;
};
