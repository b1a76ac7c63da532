// Tests run the system's multi-second waits a thousand times faster.
#include <gtest/gtest.h>

#include "platform/Clock.h"

int main(int argc, char** argv)
{
    CClock::SetTimeScale(0.001);
    testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
