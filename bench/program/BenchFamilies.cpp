// The table of device families the bench program runs besides the Tavik
// headset. Each family adds its line here.
#include "bench/program/BenchFamily.h"
#include "bench/program/FamilyAV7300.h"

const std::vector<SBenchFamilyEntry>& BenchFamilies()
{
    static const std::vector<SBenchFamilyEntry> families = {
        {"av7300", "an AV7300 product: HID 2C6D:3240, its ROM 170D:0300, SPI flash or I2C EEPROM", MakeAV7300Family},
    };
    return families;
}
