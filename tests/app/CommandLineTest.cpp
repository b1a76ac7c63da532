#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "app/CommandLine.h"

namespace
{
// Parses an argument list as the program would receive it.
struct SParsed
{
    std::vector<std::string> storage;
    std::vector<char*> argv;
    CMyCommandLineInfo info;
};

std::unique_ptr<SParsed> Parse(std::vector<std::string> args)
{
    auto p = std::make_unique<SParsed>();
    p->storage.push_back("OrvoHIDFlash.exe");
    for (auto& a : args)
        p->storage.push_back(std::move(a));
    for (auto& s : p->storage)
        p->argv.push_back(s.data());
    ParseCommandLine(p->info, static_cast<int>(p->argv.size()), p->argv.data());
    return p;
}
} // namespace

TEST(CommandLineTest, DefaultsWithoutArguments)
{
    auto p = Parse({});
    EXPECT_FALSE(p->info.SilentMode);
    EXPECT_TRUE(p->info.CheckMode);
    EXPECT_FALSE(p->info.ProgressMode);
    EXPECT_EQ(p->info.mcuIndex, 0);
    EXPECT_EQ(p->info.ProductID, 0x3240);
    EXPECT_EQ(p->info.lpInputVersion, nullptr);
    EXPECT_EQ(p->info.lpProductionCMDLine, nullptr);
}

TEST(CommandLineTest, FlagMarkersAndCaseDoNotMatter)
{
    for (const char* arg : {"/s", "-S", "s", "S", "/S"})
    {
        auto p = Parse({arg});
        EXPECT_TRUE(p->info.SilentMode) << arg;
        EXPECT_FALSE(p->info.ProgressMode) << arg;
    }
    auto p = Parse({"p"});
    EXPECT_TRUE(p->info.SilentMode);
    EXPECT_TRUE(p->info.ProgressMode);
    EXPECT_FALSE(Parse({"-f"})->info.CheckMode);
    // Only one marker is removed: "--S" is the unknown switch "-".
    EXPECT_FALSE(Parse({"--S"})->info.SilentMode);
}

TEST(CommandLineTest, TextSwitchesPointIntoTheArguments)
{
    auto p = Parse({"Uabc", "/V1.02"});
    ASSERT_NE(p->info.lpProductionCMDLine, nullptr);
    EXPECT_STREQ(p->info.lpProductionCMDLine, "Uabc"); // the letter included
    EXPECT_EQ(p->info.lpProductionCMDLine, p->argv[1]);
    ASSERT_NE(p->info.lpInputVersion, nullptr);
    EXPECT_STREQ(p->info.lpInputVersion, "1.02");
    auto lower = Parse({"uX"});
    EXPECT_STREQ(lower->info.lpProductionCMDLine, "uX"); // kept as typed
}

TEST(CommandLineTest, ProductIdIsReadAsHex)
{
    EXPECT_EQ(Parse({"I"})->info.ProductID, 0);
    EXPECT_EQ(Parse({"I0x1234"})->info.ProductID, 0x1234);
    EXPECT_EQ(Parse({"I1234"})->info.ProductID, 0x1234);
    EXPECT_EQ(Parse({"i  abz"})->info.ProductID, 0xAB);   // stops at the first non-hex character
    EXPECT_EQ(Parse({"I12345"})->info.ProductID, 0x2345); // kept in 16 bits
    EXPECT_EQ(Parse({"Izz"})->info.ProductID, 0);
}

TEST(CommandLineTest, McuIndexIsReadAsSignedDecimal)
{
    EXPECT_EQ(Parse({"M2"})->info.mcuIndex, 2);
    EXPECT_EQ(Parse({"M-3"})->info.mcuIndex, -3);
    EXPECT_EQ(Parse({"M+7junk"})->info.mcuIndex, 7);
    EXPECT_EQ(Parse({"M junk"})->info.mcuIndex, 0);
    EXPECT_EQ(Parse({"M"})->info.mcuIndex, 0);
    EXPECT_EQ(Parse({"M65537"})->info.mcuIndex, 1);     // kept in 16 bits
    EXPECT_EQ(Parse({"M40000"})->info.mcuIndex, -25536); // signed
}

TEST(CommandLineTest, LaterArgumentsOverrideEarlierOnes)
{
    auto p = Parse({"I10", "I20", "M1", "M5", "V1", "V2"});
    EXPECT_EQ(p->info.ProductID, 0x20);
    EXPECT_EQ(p->info.mcuIndex, 5);
    EXPECT_STREQ(p->info.lpInputVersion, "2");
    auto q = Parse({"P", "S"}); // S after P leaves progress mode on
    EXPECT_TRUE(q->info.SilentMode);
    EXPECT_TRUE(q->info.ProgressMode);
}

TEST(CommandLineTest, UnknownAndEmptyArgumentsAreIgnored)
{
    auto p = Parse({"X", "", "/", "-", "7", "\xE9t\xE9"});
    EXPECT_FALSE(p->info.SilentMode);
    EXPECT_TRUE(p->info.CheckMode);
    EXPECT_EQ(p->info.ProductID, 0x3240);
}
