// The table of device families the bench program runs besides the Tavik
// headset. Each family adds its line here.
#include "bench/program/BenchFamily.h"
#include "bench/program/FamilyAV7300.h"

#include <cstdlib>

// FamilyAvneraEeprom.cpp
std::unique_ptr<IBenchFamily> MakeAV7201BenchFamily(const SBenchFamilySetup& setup, std::string* error);
std::unique_ptr<IBenchFamily> MakeAV6201BenchFamily(const SBenchFamilySetup& setup, std::string* error);
std::unique_ptr<IBenchFamily> MakeAV6302BenchFamily(const SBenchFamilySetup& setup, std::string* error);

const std::vector<SBenchFamilyEntry>& BenchFamilies()
{
    static const std::vector<SBenchFamilyEntry> families = {
        {"av7300", "an AV7300 product: HID 2C6D:3240, its ROM 170D:0300, SPI flash or I2C EEPROM", MakeAV7300Family},
        {"av7201", "an AV7201 headset (2C6D:3240, EEPROM; --image takes an .rcf file)", MakeAV7201BenchFamily},
        {"av6201", "an AV6201 headset (2C6D:3226, SPI flash, host interface; needs /F)", MakeAV6201BenchFamily},
        {"av6302", "an AV6302 headset (2C6D:3240, I2C EEPROM, host interface; needs /F)", MakeAV6302BenchFamily},
    };
    return families;
}

bool ParseFaultOption(const std::string& text, std::span<const SFaultOption> table,
                      std::vector<std::pair<std::string, std::uint32_t>>& faults, std::string* error)
{
    const std::size_t eq = text.find('=');
    const std::string name = text.substr(0, eq);
    for (const SFaultOption& f : table)
    {
        if (name != f.name)
            continue;
        std::uint32_t number = 0;
        if (f.takesNumber)
        {
            const std::string digits = eq == std::string::npos ? std::string() : text.substr(eq + 1);
            char* end = nullptr;
            const unsigned long value = std::strtoul(digits.c_str(), &end, 10);
            if (digits.empty() || *end != '\0' || value > 0x7FFFFFFFul)
            {
                *error = "--fault " + name + " needs =N";
                return false;
            }
            number = static_cast<std::uint32_t>(value);
        }
        else if (eq != std::string::npos)
        {
            *error = "--fault " + name + " takes no value";
            return false;
        }
        faults.emplace_back(name, number);
        return true;
    }
    *error = "unknown fault " + text;
    return false;
}

void PrintFaultOptions(std::FILE* out, std::span<const SFaultOption> table)
{
    for (const SFaultOption& f : table)
        std::fprintf(out, "      %-22s %s\n", f.name, f.description);
}
