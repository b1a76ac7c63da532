// Loaded as a library of its own (liborvohostapi.so), the host interface
// takes the time scale from ORVO_TIME_SCALE as the program does, so the test
// suites can run its multi-second waits faster. Users do not set it.
#include <cstdlib>

#include "platform/Clock.h"

namespace
{
struct STimeScaleFromEnvironment
{
    STimeScaleFromEnvironment()
    {
        const char* scale = std::getenv("ORVO_TIME_SCALE");
        if (scale != nullptr)
        {
            const double value = std::strtod(scale, nullptr);
            if (value > 0.0)
                CClock::SetTimeScale(value);
        }
    }
};
const STimeScaleFromEnvironment g_timeScale;
} // namespace
