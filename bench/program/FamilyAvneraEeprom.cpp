// The bench families "av7201", "av6201" and "av6302": the simulated
// headset in a bench USB world of its own, and its upgrader through the
// factory's injectable constructor.
//
// --device-image is the EEPROM (av7201) or serial memory (av6201, av6302)
// the headset starts with; without it the headset holds an older synthetic
// image (AV7201 2.4.151001). Scenarios: normal, no-device. Fault:
// unplug-at-block=N, the headset is pulled out as it takes its N-th write
// (an EEPROM write report, a serial-memory write), for good.
#include <memory>
#include <new>
#include <string>
#include <vector>

#include "avnera/AvneraImageFiles.h"
#include "avnera/FirmwareUpgradeAV6201.h"
#include "avnera/FirmwareUpgradeAV7201.h"
#include "avnera/HostInternal.h"
#include "bench/avnera/AV62xxProduct.h"
#include "bench/avnera/AV7201Headset.h"
#include "bench/program/BenchFamily.h"
#include "platform/Clock.h"
#include "tools/imagegen/AvneraEepromImageGen.h"

namespace
{
// The faults a family of these headsets takes (each name once, by its number).
struct SFaults
{
    int unplugAt = 0;
    std::uint32_t lateMs = 0;
    std::uint32_t slowEraseMs = 0;
    std::uint32_t writeCycleMs = 0;
    std::vector<std::uint32_t> stuck;
};

// The setup a family of these headsets takes: scenario, faults, device image.
bool CheckSetup(const SBenchFamilySetup& setup, const char* family, const std::vector<std::string>& known,
                SFaults* faults, std::string* error)
{
    if (setup.scenario != "normal" && setup.scenario != "no-device")
    {
        *error = std::string("the ") + family + " family knows the scenarios normal and no-device, not " + setup.scenario;
        return false;
    }
    if (setup.flashPart >= 0 || setup.chipRevision >= 0)
    {
        *error = std::string("--flash-part and --chip-revision do not apply to the ") + family +
                 " family (its memory is fixed by the chip)";
        return false;
    }
    for (const auto& [name, number] : setup.faults)
    {
        bool ok = false;
        for (const std::string& k : known)
            ok = ok || k == name;
        if (!ok || (name == "unplug-at-block" && number == 0))
        {
            std::string list;
            for (const std::string& k : known)
                list += (list.empty() ? "" : ", ") + k + (k == "stuck-cell" ? "=ADDR" : k == "unplug-at-block" ? "=N" : "=MS");
            *error = std::string("the ") + family + " family takes the faults " + list +
                     " (unplug-at-block: pulled out, for good, as it takes its N-th write, N from 1)";
            return false;
        }
        if (name == "unplug-at-block")
            faults->unplugAt = static_cast<int>(number);
        else if (name == "late-answers")
            faults->lateMs = number;
        else if (name == "slow-erase")
            faults->slowEraseMs = number;
        else if (name == "write-cycle")
            faults->writeCycleMs = number;
        else if (name == "stuck-cell")
            faults->stuck.push_back(number);
    }
    return true;
}

class CAV7201Family : public IBenchFamily
{
public:
    CAV7201Family(const SAV7201HeadsetConfig& config, bool plugged) : m_plugged(plugged)
    {
        m_headset = CAV7201Headset::Create(config);
        const BenchId hub = m_world.RootHub(m_world.AddHostController());
        if (plugged)
            m_headset->Plug(m_world, hub, 1);
    }
    CFirmwareUpgrade* NewUpgrader() override
    {
        SAvneraUpgradeEnvironment env;
        env.hid = &m_world;
        return new (std::nothrow) CFirmwareUpgradeAV7201(env);
    }
    std::vector<std::uint8_t> Memory() override { return m_headset->Eeprom(); }
    CBenchUsbWorld* World() override { return &m_world; }

    std::string Summary() override
    {
        if (!m_plugged)
            return "no AV7201 headset was plugged in";
        if (!m_headset->ImageValid())
            return "the AV7201 headset runs its default image (170D:0001)";
        const std::vector<std::uint8_t> eeprom = m_headset->Eeprom();
        const std::uint8_t* content = nullptr;
        std::uint32_t size = 0;
        avnera::SAV7201FirmwareInfo info;
        if (avnera::FindAV7201FileInImage(avnera::kAV7201FirmwareInfoType, 0, static_cast<std::uint32_t>(eeprom.size()),
                                          eeprom.data(), &content, &size) &&
            avnera::DecodeAV7201FirmwareInfo(content, size, &info))
            return "the AV7201 headset runs " + avnera::FormatAV7201Version(info);
        return "the AV7201 headset runs an image without firmware information";
    }

private:
    CBenchUsbWorld m_world;
    std::shared_ptr<CAV7201Headset> m_headset;
    bool m_plugged;
};

class CAV62xxFamily : public IBenchFamily
{
public:
    CAV62xxFamily(const SAV62xxProductConfig& config, bool plugged)
        : m_av6302(config.chip == EAV62xxChip::AV6302), m_plugged(plugged)
    {
        m_product = CAV62xxProduct::Create(config);
        const BenchId hub = m_world.RootHub(m_world.AddHostController());
        if (plugged)
            m_product->Plug(m_world, hub, 1);
        // The upgrader reaches the chip through the host interface.
        avnera::SetHidSystem(&m_world);
    }
    ~CAV62xxFamily() override
    {
        AvDllShutdown();
        avnera::SetHidSystem(nullptr);
    }
    CFirmwareUpgrade* NewUpgrader() override
    {
        SAvneraUpgradeEnvironment env;
        env.hid = &m_world;
        if (m_av6302)
            return new (std::nothrow) CFirmwareUpgradeAV6302(env);
        return new (std::nothrow) CFirmwareUpgradeAV6201(env);
    }
    std::vector<std::uint8_t> Memory() override
    {
        // The chip finishes the last write it took without an answer.
        CClock::Sleep(500);
        return m_product->Memory();
    }
    CBenchUsbWorld* World() override { return &m_world; }

    std::string Summary() override
    {
        const char* name = m_av6302 ? "AV6302" : "AV6201";
        if (!m_plugged)
            return std::string("no ") + name + " headset was plugged in";
        if (m_product->Chip()->InFlashMode())
            return std::string("the ") + name + " headset is in flash mode (170D:0100)";
        return std::string("the ") + name + " headset " +
               (m_product->HeaderValid() ? "runs its image" : "stays in its flash loader (170D:0100)");
    }

private:
    CBenchUsbWorld m_world;
    std::shared_ptr<CAV62xxProduct> m_product;
    bool m_av6302;
    bool m_plugged;
};

std::unique_ptr<IBenchFamily> MakeAV62xx(const SBenchFamilySetup& setup, std::string* error, EAV62xxChip chip,
                                        const char* family)
{
    SAV62xxProductConfig config;
    SFaults faults;
    if (!CheckSetup(setup, family, {"unplug-at-block", "late-answers", "slow-erase"}, &faults, error))
        return nullptr;
    config.unplugAtWrite = faults.unplugAt;
    if (faults.lateMs != 0)
        config.chipConfig.answerDelayMs = faults.lateMs;
    if (faults.slowEraseMs != 0)
        config.chipConfig.eraseMs = faults.slowEraseMs;
    config.chip = chip;
    if (chip == EAV62xxChip::AV6302)
        config.productId = 0x3240;
    if (setup.haveDeviceImage)
    {
        config.memory = setup.deviceImage;
    }
    else
    {
        SAV62xxImageSpec old;
        old.partRow = chip == EAV62xxChip::AV6201 ? 36 : 12;
        old.size = chip == EAV62xxChip::AV6201 ? 40000 : 16384;
        old.seed = 4242;
        config.memory = MakeAV62xxImage(old);
    }
    return std::make_unique<CAV62xxFamily>(config, setup.scenario != "no-device");
}
} // namespace

std::unique_ptr<IBenchFamily> MakeAV7201BenchFamily(const SBenchFamilySetup& setup, std::string* error)
{
    SAV7201HeadsetConfig config;
    SFaults faults;
    if (!CheckSetup(setup, "av7201", {"unplug-at-block", "late-answers", "write-cycle", "stuck-cell"}, &faults, error))
        return nullptr;
    config.unplugAtWrite = faults.unplugAt;
    config.answerDelayMs = faults.lateMs;
    config.writeCycleMs = faults.writeCycleMs;
    if (setup.haveDeviceImage)
    {
        config.eeprom = setup.deviceImage;
    }
    else
    {
        SAV7201ImageSpec old;
        old.minor = 4;
        old.month = 10;
        old.day = 1;
        old.seed = 77;
        config.eeprom = MakeAV7201Image(old);
    }
    // A stuck cell keeps what it holds at the start.
    for (const std::uint32_t cell : faults.stuck)
    {
        if (cell >= config.eepromSize)
        {
            *error = "stuck-cell=" + std::to_string(cell) + " lies outside the EEPROM";
            return nullptr;
        }
        config.stuckCells[cell] = cell < config.eeprom.size() ? config.eeprom[cell] : 0xFF;
    }
    return std::make_unique<CAV7201Family>(config, setup.scenario != "no-device");
}

std::unique_ptr<IBenchFamily> MakeAV6201BenchFamily(const SBenchFamilySetup& setup, std::string* error)
{
    return MakeAV62xx(setup, error, EAV62xxChip::AV6201, "av6201");
}

std::unique_ptr<IBenchFamily> MakeAV6302BenchFamily(const SBenchFamilySetup& setup, std::string* error)
{
    return MakeAV62xx(setup, error, EAV62xxChip::AV6302, "av6302");
}
