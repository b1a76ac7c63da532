// The table of device families the bench program runs besides the Tavik
// headset. Each family adds its line here.
#include "bench/program/BenchFamily.h"
#include "bench/program/FamilyAV7300.h"

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
