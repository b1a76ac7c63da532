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

#include <cstdio>
#include <string>

// One S3 record line (no line end) with its checksum.
inline std::string S37Line(std::uint32_t address, const std::vector<std::uint8_t>& data)
{
    std::string line = "S3";
    char hex[3];
    const std::uint32_t count = static_cast<std::uint32_t>(data.size()) + 5;
    std::uint32_t sum = count;
    auto put = [&](std::uint32_t b) {
        std::snprintf(hex, sizeof hex, "%02X", b & 0xFF);
        line += hex;
    };
    put(count);
    for (int shift = 24; shift >= 0; shift -= 8)
    {
        put(address >> shift);
        sum += (address >> shift) & 0xFF;
    }
    for (std::uint8_t b : data)
    {
        put(b);
        sum += b;
    }
    put(0xFF - (sum & 0xFF));
    return line;
}

// An image as S3 records of perRecord bytes, closed by an S7 record.
inline std::vector<std::string> S37Lines(const std::vector<std::uint8_t>& image, std::uint32_t base = 0,
                                         std::size_t perRecord = 32)
{
    std::vector<std::string> lines;
    for (std::size_t at = 0; at < image.size(); at += perRecord)
    {
        const std::size_t n = std::min(perRecord, image.size() - at);
        lines.push_back(S37Line(base + static_cast<std::uint32_t>(at),
                                std::vector<std::uint8_t>(image.begin() + at, image.begin() + at + n)));
    }
    lines.push_back("S70500000000FA");
    return lines;
}

inline std::string JoinLines(const std::vector<std::string>& lines, const char* end)
{
    std::string text;
    for (const auto& l : lines)
        text += l + end;
    return text;
}

// The pointers MemoryPatch takes.
inline std::vector<const char*> LinePointers(const std::vector<std::string>& lines)
{
    std::vector<const char*> p;
    for (const auto& l : lines)
        p.push_back(l.c_str());
    return p;
}
