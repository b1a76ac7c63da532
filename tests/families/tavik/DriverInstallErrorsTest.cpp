// The driver tool's exit codes in words, as the log gives them: why Windows
// refused the package, or why the Linux rules were not installed.
#include <gtest/gtest.h>

#include <string>

#include "families/tavik/DriverInstallErrors.h"

namespace
{
bool Says(std::uint32_t code, const char* words)
{
    return std::string(DriverInstallErrorText(code)).find(words) != std::string::npos;
}
} // namespace

TEST(DriverInstallErrors, RefusedPackagesAreNamed)
{
#ifdef _WIN32
    EXPECT_TRUE(Says(0xE000022Fu, "no catalog"));
    EXPECT_TRUE(Says(0xE0000243u, "publisher is not trusted"));
    EXPECT_TRUE(Says(0x800B0109u, "untrusted root"));
    EXPECT_TRUE(Says(0x800B0100u, "not signed"));
    EXPECT_TRUE(Says(0x80096010u, "hash mismatch"));
    EXPECT_TRUE(Says(0xE000024Bu, "hash"));
    EXPECT_TRUE(Says(1223u, "refused the administrator prompt"));
    EXPECT_TRUE(Says(5u, "administrator rights"));
#else
    EXPECT_TRUE(Says(13u, "polkit"));
    EXPECT_TRUE(Says(19u, "do not cover the device"));
#endif
    EXPECT_TRUE(Says(0xFFFFFFFFu, "could not be started"));
    EXPECT_TRUE(Says(0x12345u, "reported a failure"));
}
