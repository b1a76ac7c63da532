// The table of device families the bench program runs besides the Tavik
// headset. Each family adds its line here.
#include "bench/program/BenchFamily.h"

const std::vector<SBenchFamilyEntry>& BenchFamilies()
{
    static const std::vector<SBenchFamilyEntry> families = {
    };
    return families;
}
