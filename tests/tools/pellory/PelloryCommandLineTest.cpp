// The driver-update tool's command-line rules.
#include <gtest/gtest.h>

#include "tools/pellory/PelloryCommandLine.h"

namespace
{
class CFakeInstaller : public IPelloryInstaller
{
public:
    int calls = 0;
    int result = 0;
    SPelloryArguments seen;
    int Install(const SPelloryArguments& args) override
    {
        ++calls;
        seen = args;
        return result;
    }
};
} // namespace

TEST(PelloryCommandLine, TheMainProgramsLineSplitsIntoPathAndIdentifier)
{
    SPelloryArguments args;
    ASSERT_EQ(EPelloryParse::Ok,
              ParsePelloryCommandLine("/INF:C:\\Prog\\Driver\\Driver\\win64\\CSRBlueCoreUSB.inf /ID:USB\\VID_0A12&PID_0001",
                                      &args));
    // The space before "/ID:" stays part of the path.
    EXPECT_EQ("C:\\PROG\\DRIVER\\DRIVER\\WIN64\\CSRBLUECOREUSB.INF ", args.infPath);
    EXPECT_EQ("C:\\Prog\\Driver\\Driver\\win64\\CSRBlueCoreUSB.inf ", args.infPathAsGiven);
    EXPECT_EQ("USB\\VID_0A12&PID_0001", args.hardwareId);
}

TEST(PelloryCommandLine, LowerCaseIsAcceptedAndRaised)
{
    CFakeInstaller installer;
    installer.result = 0;
    EXPECT_EQ(0, RunPellory("/inf:c:\\drv\\x.inf /id:usb\\vid_0a12&pid_0001", installer));
    ASSERT_EQ(1, installer.calls);
    EXPECT_EQ("C:\\DRV\\X.INF ", installer.seen.infPath);
    EXPECT_EQ("USB\\VID_0A12&PID_0001", installer.seen.hardwareId);
    // The installer's error is the exit code.
    installer.result = 0xE000020B;
    EXPECT_EQ(static_cast<int>(0xE000020B), RunPellory("/INF:a.inf /ID:USB\\VID_0A12&PID_0001", installer));
}

TEST(PelloryCommandLine, MalformedLinesEndWithMinusOneWithoutInstalling)
{
    CFakeInstaller installer;
    struct SCase
    {
        const char* line;
        EPelloryParse expected;
    } cases[] = {
        {"", EPelloryParse::Empty},
        {"/ID:USB\\VID_0A12&PID_0001", EPelloryParse::NoInf},
        {"/INF:C:\\x.inf", EPelloryParse::NoId},
        {"C:\\x.inf USB\\VID_0A12&PID_0001", EPelloryParse::NoInf},
        {"/ID:USB\\VID_0A12&PID_0001 /INF:C:\\x.inf", EPelloryParse::WrongOrder},
        {"/INF:/ID:USB\\VID_0A12&PID_0001", EPelloryParse::EmptyField},
        {"/INF:C:\\x.inf /ID:", EPelloryParse::EmptyField},
        {"/IN F:C:\\x.inf /ID:X", EPelloryParse::NoInf},
    };
    for (const auto& c : cases)
    {
        SCOPED_TRACE(c.line);
        EXPECT_EQ(c.expected, ParsePelloryCommandLine(c.line, nullptr));
        EXPECT_EQ(-1, RunPellory(c.line, installer));
    }
    EXPECT_EQ(-1, RunPellory(nullptr, installer));
    EXPECT_EQ(0, installer.calls);
}

// A deep program folder gives a long line (the tool's own path is in it
// too): every line a process can be given is read whole; longer is refused.
TEST(PelloryCommandLine, LinesUpToTheProcessLimitAreTakenWhole)
{
    CFakeInstaller installer;
    const std::string head = "/INF:C:\\";
    const std::string tail = ".inf /ID:USB\\VID_0A12&PID_0001";
    const std::string at500 = head + std::string(500 - head.size() - tail.size(), 'a') + tail;
    SPelloryArguments args;
    ASSERT_EQ(EPelloryParse::Ok, ParsePelloryCommandLine(at500.c_str(), &args));
    EXPECT_EQ("USB\\VID_0A12&PID_0001", args.hardwareId);
    EXPECT_EQ(470u, args.infPath.size()); // all but "/INF:" and "/ID:USB\\VID_0A12&PID_0001"
    const std::string at32766 = head + std::string(32766 - head.size() - tail.size(), 'a') + tail;
    EXPECT_EQ(0, RunPellory(at32766.c_str(), installer));
    EXPECT_EQ(1, installer.calls);
    const std::string at32767 = head + std::string(32767 - head.size() - tail.size(), 'a') + tail;
    EXPECT_EQ(EPelloryParse::TooLong, ParsePelloryCommandLine(at32767.c_str(), nullptr));
    EXPECT_EQ(-1, RunPellory(at32767.c_str(), installer));
    const std::string huge(100000, 'x');
    EXPECT_EQ(-1, RunPellory(huge.c_str(), installer));
    EXPECT_EQ(1, installer.calls);
}

TEST(PelloryCommandLine, HardwareIdentifiers)
{
    unsigned vid = 0;
    unsigned pid = 0;
    ASSERT_TRUE(ParseUsbHardwareId("USB\\VID_0A12&PID_0001", &vid, &pid));
    EXPECT_EQ(0x0A12u, vid);
    EXPECT_EQ(0x0001u, pid);
    EXPECT_TRUE(ParseUsbHardwareId("usb\\vid_2c6d&pid_3240&rev_0100", &vid, &pid));
    EXPECT_EQ(0x2C6Du, vid);
    EXPECT_FALSE(ParseUsbHardwareId("USB\\VID_0A12&PID_001", &vid, &pid));
    EXPECT_FALSE(ParseUsbHardwareId("USB\\VID_0A12&PID_00012", &vid, &pid));
    EXPECT_FALSE(ParseUsbHardwareId("HID\\VID_0A12&PID_0001", &vid, &pid));
    EXPECT_FALSE(ParseUsbHardwareId("", &vid, &pid));
}
