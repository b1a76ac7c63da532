// The av7300 family: a product built on the AV7300 chip, plugged into a bench
// USB world of its own, and CFirmwareUpgradeAV7300 reaching it through that
// world as the HID system.
//
// Without --device-image the product's memory holds an image of build
// 1.4.140601 for its part (minor version 4: the upgrade rewrites the whole
// memory); with it, exactly those bytes (the rest erased).
#include "bench/program/FamilyAV7300.h"

#include <new>

#include "avnera/AV7300CommonHelper.h"
#include "avnera/FirmwareUpgradeAV7300.h"
#include "bench/avnera/AV7300Product.h"
#include "bench/usb/BenchUsbWorld.h"
#include "tools/imagegen/AV7300ImageGen.h"

namespace
{
class CAV7300Family : public IBenchFamily
{
public:
    CAV7300Family(const SAV7300ProductConfig& config, bool plugged)
    {
        m_hub = m_world.RootHub(m_world.AddHostController());
        if (plugged)
        {
            m_product = CAV7300Product::Create(config);
            m_product->Plug(m_world, m_hub, 1);
        }
    }

    CFirmwareUpgrade* NewUpgrader() override
    {
        SAV7300Environment env;
        env.hid = &m_world;
        return new (std::nothrow) CFirmwareUpgradeAV7300(env);
    }

    std::vector<std::uint8_t> Memory() override
    {
        return m_product ? m_product->Memory() : std::vector<std::uint8_t>();
    }

    CBenchUsbWorld* World() override { return &m_world; }

    std::string Summary() override
    {
        if (!m_product)
            return "no AV7300 product was plugged in";
        if (m_product->PulledOut())
            return "the AV7300 product was pulled out";
        if (m_product->RunsImage())
            return "the AV7300 product boots its image (2C6D:3240)";
        return std::string("the AV7300 product runs its ROM (170D:0300); the next boot finds ") +
               (m_product->HeaderValid() ? "a valid image" : "no valid image");
    }

private:
    CBenchUsbWorld m_world;
    BenchId m_hub = 0;
    std::shared_ptr<CAV7300Product> m_product;
};
} // namespace

std::unique_ptr<IBenchFamily> MakeAV7300Family(const SBenchFamilySetup& setup, std::string* error)
{
    auto fail = [error](const std::string& why) {
        if (error != nullptr)
            *error = why;
        return std::unique_ptr<IBenchFamily>();
    };
    if (setup.scenario != "normal" && setup.scenario != "no-device")
        return fail("the av7300 family knows the scenarios normal and no-device");
    SAV7300ProductConfig config;
    config.flashPart = setup.flashPart < 0 ? CAV7300CommonHelper::kPartDefaultImage
                                           : static_cast<std::uint32_t>(setup.flashPart);
    if (config.flashPart == 0 || config.flashPart >= CAV7300CommonHelper::kPartRows)
        return fail("--flash-part must be a row 1..35 of the AV7300 part table");
    if (setup.chipRevision > 1)
        return fail("--chip-revision must be 0 or 1 for the av7300 family");
    config.chipRevision = setup.chipRevision < 0 ? 0u : static_cast<std::uint32_t>(setup.chipRevision);
    std::vector<std::uint32_t> stuck;
    for (const auto& [name, number] : setup.faults)
    {
        if (name == "unplug-at-block" && number > 0)
            config.unplugAtWrite = number;
        else if (name == "unplug-at-read" && number > 0)
            config.unplugAtRead = number;
        else if (name == "unplug-at-erase" && number > 0)
            config.unplugAtErase = number;
        else if (name == "late-answers")
            config.answerDelayMs = number;
        else if (name == "slow-erase")
            config.sectorEraseMs = number;
        else if (name == "slow-reenumeration")
            config.reEnumerateMs = number;
        else if (name == "stuck-cell")
            stuck.push_back(number);
        else if (name == "any-parameter-block")
            config.acceptsAnyBlock = true;
        else
            return fail("the av7300 family knows the faults unplug-at-block=N, unplug-at-read=N, unplug-at-erase=N "
                        "(N from 1: the product is pulled out as it takes its Nth write, read or erase), "
                        "late-answers=MS, slow-erase=MS, slow-reenumeration=MS, stuck-cell=ADDR and any-parameter-block");
    }
    const std::uint32_t size = CAV7300CommonHelper::kFlashParts[config.flashPart].size;
    if (setup.haveDeviceImage)
    {
        if (setup.deviceImage.size() > size)
            return fail("--device-image is larger than the part's " + std::to_string(size) + " bytes");
        config.memory = setup.deviceImage;
    }
    else
    {
        SAV7300ImageSpec spec;
        spec.flashPart = config.flashPart;
        spec.minorVersion = 4;
        spec.date = "2014/06/01";
        spec.seed = 7;
        config.memory = BuildAV7300Image(spec);
        if (config.memory.empty())
        {
            // Small parts: a bootloader and the version files only.
            spec.bootloaderSize = 16;
            spec.primarySize = 16;
            spec.alignPrimary = false;
            spec.withSecondary = false;
            config.memory = BuildAV7300Image(spec);
        }
    }
    // A stuck cell keeps what it holds at the start.
    for (const std::uint32_t cell : stuck)
    {
        if (cell >= size)
            return fail("stuck-cell=" + std::to_string(cell) + " lies outside the part's " + std::to_string(size) +
                        " bytes");
        config.stuckCells[cell] = cell < config.memory.size() ? config.memory[cell] : 0xFF;
    }
    return std::make_unique<CAV7300Family>(config, setup.scenario != "no-device");
}
