// Tests run the system's multi-second waits a thousand times faster.
#include <gtest/gtest.h>

#include "platform/Clock.h"
#include "tests/TestSupport.h"

int main(int argc, char** argv)
{
    CClock::SetTimeScale(0.001);
    SetTestProgramName(argc > 0 ? argv[0] : nullptr);
    testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
