// The Avnera families on this machine's HID class instead of a simulated
// world (--real-usb): the family's upgrader, built through the factory's
// injectable constructor as in the simulated runs, opens whatever device of
// its kind the system has (Linux: hidraw through sysfs; a model served over
// USB/IP to a real kernel, or a real product). The bench neither builds a
// product nor reads its memory back.
#include <memory>
#include <new>
#include <string>

#include "avnera/AvneraUpgradeEnvironment.h"
#include "avnera/FirmwareUpgradeAV6201.h"
#include "avnera/FirmwareUpgradeAV7201.h"
#include "avnera/FirmwareUpgradeAV7300.h"
#include "avnera/HostInternal.h"
#include "bench/program/BenchFamily.h"
#include "platform/HidSystem.h"

namespace
{
class CRealUsbFamily : public IBenchFamily
{
public:
    explicit CRealUsbFamily(std::string name) : m_name(std::move(name)), m_hid(CreateSystemHid())
    {
        // The host interface, which the AV62xx upgraders go through, uses the same HID class.
        avnera::SetHidSystem(m_hid.get());
    }
    ~CRealUsbFamily() override
    {
        AvDllShutdown();
        avnera::SetHidSystem(nullptr);
    }

    CFirmwareUpgrade* NewUpgrader() override
    {
        if (m_name == "av7300")
        {
            SAV7300Environment env;
            env.hid = m_hid.get();
            return new (std::nothrow) CFirmwareUpgradeAV7300(env);
        }
        SAvneraUpgradeEnvironment env;
        env.hid = m_hid.get();
        if (m_name == "av7201")
            return new (std::nothrow) CFirmwareUpgradeAV7201(env);
        if (m_name == "av6302")
            return new (std::nothrow) CFirmwareUpgradeAV6302(env);
        return new (std::nothrow) CFirmwareUpgradeAV6201(env);
    }

    std::vector<std::uint8_t> Memory() override { return {}; }

    std::string Summary() override
    {
        return "the " + m_name + " upgrader ran on this machine's HID devices; the device's memory is its own to tell";
    }

private:
    std::string m_name;
    std::unique_ptr<IHidSystem> m_hid;
};
} // namespace

std::unique_ptr<IBenchFamily> MakeRealUsbFamily(const std::string& name, std::string* error)
{
    if (name != "av7300" && name != "av7201" && name != "av6201" && name != "av6302")
    {
        if (error != nullptr)
            *error = "--real-usb does not know the family " + name;
        return nullptr;
    }
    return std::make_unique<CRealUsbFamily>(name);
}
