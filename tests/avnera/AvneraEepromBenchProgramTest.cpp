// The av7201, av6201 and av6302 families through the bench program itself:
// silent runs whose --firmware-out is the image byte for byte, the version
// checks, no device, and an interrupted run followed by a second run that
// starts from what the first left behind (--device-image) and recovers.
#include <gtest/gtest.h>

#include <regex>

#include "platform/System.h"
#include "tests/TestSupport.h"
#include "tools/imagegen/AvneraEepromImageGen.h"

namespace
{
struct SRun
{
    std::uint32_t status = 0xFFFFFFFFu;
    std::string output;
    std::string log;
    std::string firmware;
};

std::string Bytes(const std::vector<std::uint8_t>& v)
{
    return std::string(v.begin(), v.end());
}

class AvneraEepromBenchProgram : public ::testing::Test
{
protected:
    void SetUp() override
    {
        const ::testing::TestInfo* info = ::testing::UnitTest::GetInstance()->current_test_info();
        m_folder = MakeTestFolder(std::string("eeprom-bench-") + info->name());
    }
    std::string Write(const std::string& name, const std::string& bytes)
    {
        const std::string path = JoinPath(m_folder, name);
        EXPECT_TRUE(WriteFileBytes(path, bytes));
        return path;
    }
    // The Avnera chip is polled against time-outs of one or two product
    // seconds: the runs go at 0.01 (see tests/avnera/AvneraTestSupport.h).
    SRun Run(const std::string& name, std::vector<std::string> args)
    {
        SRun run;
        const std::string out = JoinPath(m_folder, name + "-output.txt");
        const std::string firmware = JoinPath(m_folder, name + "-firmware.bin");
        std::vector<std::string> argv = {HostPath(ORVO_BENCH_PATH), "--time-scale", "0.01", "--firmware-out",
                                         HostPath(firmware), "--instance-name", UniqueTestLockName("eeprom-bench")};
        for (std::string& a : args)
            argv.push_back(a.rfind(m_folder, 0) == 0 ? HostPath(a) : a);
        const std::string runFolder = MakeTestFolder(
            std::string("eeprom-bench-") + ::testing::UnitTest::GetInstance()->current_test_info()->name() + "-" + name);
        EXPECT_TRUE(RunProcessAndWait(argv, RealSeconds(120), &run.status, runFolder, out, {})) << name;
        run.output = ReadFileBytes(out);
        run.firmware = ReadFileBytes(firmware);
        for (const std::string& file : ListFolder(runFolder))
            if (std::regex_match(file, std::regex(R"(Upgrade-\d{8}-\d{6}\.log)")))
                run.log = ReadFileBytes(JoinPath(runFolder, file));
        return run;
    }
    static std::uint32_t ExitStatusOf(std::uint32_t code)
    {
        return static_cast<std::uint32_t>(ToProcessExitStatus(static_cast<std::int32_t>(code)));
    }

    std::string m_folder;
};
} // namespace

TEST_F(AvneraEepromBenchProgram, HelpListsTheFamilies)
{
    const SRun run = Run("help", {"--help"});
    EXPECT_EQ(0u, run.status);
    for (const char* s : {"av7201", "av6201", "av6302", "--device-image", "unplug-at-block"})
        EXPECT_NE(std::string::npos, run.output.find(s)) << s;
    const SRun bad = Run("bad", {"--family", "av7201", "--flash-part", "3", "/S"});
    EXPECT_EQ(2u, bad.status);
    const SRun badFault = Run("bad-fault", {"--family", "av6201", "--fault", "dfu-error-at-block=3", "/S"});
    EXPECT_EQ(2u, badFault.status);
}

TEST_F(AvneraEepromBenchProgram, AV7201SilentRunLeavesTheImageInTheEeprom)
{
    SAV7201ImageSpec spec;
    spec.totalSize = 16384; // the whole EEPROM
    const std::vector<std::uint8_t> image = MakeAV7201Image(spec);
    const std::string rcf = Write("new.rcf", ToRcfText(image));
    const SRun run = Run("normal", {"--family", "av7201", "--image", rcf, "/S"});
    EXPECT_EQ(0u, run.status) << run.output;
    EXPECT_EQ(Bytes(image), run.firmware);
    EXPECT_TRUE(run.log.empty()) << run.log;
    EXPECT_NE(std::string::npos, run.output.find("bench: the AV7201 headset runs 2.5.151124")) << run.output;

    // The same image again: the version check ends the silent run.
    const std::string same = Write("same.bin", run.firmware);
    const SRun again = Run("same", {"--family", "av7201", "--image", rcf, "--device-image", same, "/S"});
    EXPECT_EQ(1u, again.status) << again.output;
    EXPECT_EQ(Bytes(image), again.firmware);
}

TEST_F(AvneraEepromBenchProgram, AV7201PulledOutMidWriteIsRecoveredFromItsDefaultImage)
{
    SAV7201ImageSpec spec;
    spec.totalSize = 16384;
    const std::vector<std::uint8_t> image = MakeAV7201Image(spec);
    const std::string rcf = Write("new.rcf", ToRcfText(image));
    const SRun first = Run("interrupted", {"--family", "av7201", "--image", rcf, "--fault", "unplug-at-block=200", "/S"});
    EXPECT_EQ(ExitStatusOf(0x80000007u), first.status) << first.output;
    ASSERT_EQ(16384u, first.firmware.size());
    EXPECT_EQ(std::string(4, '\0'), first.firmware.substr(0x80, 4)); // no valid header was left
    EXPECT_NE(std::string::npos, first.output.find("default image (170D:0001)")) << first.output;
    EXPECT_FALSE(first.log.empty()); // a failed run leaves its log

    const std::string left = Write("left.bin", first.firmware);
    const SRun second = Run("recovered", {"--family", "av7201", "--image", rcf, "--device-image", left, "/S"});
    EXPECT_EQ(0u, second.status) << second.output;
    EXPECT_EQ(Bytes(image), second.firmware);
}

TEST_F(AvneraEepromBenchProgram, AV7201HeaderThatCannotBeDestroyedStopsTheUpgradeBeforeAnyWrite)
{
    // The EEPROM cell that holds the header's file count (0x81) keeps its
    // value: the four zeros meant to leave the headset on its default image
    // do not take, and the old header still boots. Nothing of the image may
    // go in then: a run pulled out half-way would leave a headset that boots
    // a half-written image and tells the new version, which a silent run
    // finds the same and never repairs.
    SAV7201ImageSpec spec;
    spec.totalSize = 16384;
    const std::vector<std::uint8_t> image = MakeAV7201Image(spec);
    const std::string rcf = Write("new.rcf", ToRcfText(image));
    SAV7201ImageSpec oldSpec;
    oldSpec.minor = 4;
    oldSpec.seed = 3;
    oldSpec.totalSize = 16384;
    const std::vector<std::uint8_t> old = MakeAV7201Image(oldSpec);
    const std::string device = Write("old.bin", Bytes(old));
    const SRun first = Run("stuck", {"--family", "av7201", "--image", rcf, "--device-image", device, "--fault",
                                     "stuck-cell=129", "--fault", "unplug-at-block=200", "/S"});
    EXPECT_NE(0u, first.status) << first.output;
    ASSERT_EQ(16384u, first.firmware.size());
    // The headset is left as it came: the header's other bytes go back too.
    EXPECT_TRUE(Bytes(old) == first.firmware) << "the EEPROM changed";
    const std::string left = Write("left.bin", first.firmware);
    // Plugged in again (the cell works again): a silent run puts the image in.
    const SRun second = Run("again", {"--family", "av7201", "--image", rcf, "--device-image", left, "/S"});
    EXPECT_EQ(0u, second.status) << second.output;
    EXPECT_TRUE(Bytes(image) == second.firmware) << "the EEPROM does not hold the image";
}

TEST_F(AvneraEepromBenchProgram, AV7201WithoutAHeadsetReportsNoDevice)
{
    const std::string rcf = Write("new.rcf", ToRcfText(MakeAV7201Image({})));
    const SRun run = Run("no-device", {"--family", "av7201", "--scenario", "no-device", "--image", rcf, "/S"});
    EXPECT_EQ(ExitStatusOf(0x80000001u), run.status) << run.output;
}

TEST_F(AvneraEepromBenchProgram, AV6201ForcedSilentRunLeavesTheImageInTheFlash)
{
    SAV62xxImageSpec spec;
    spec.size = 131072; // the whole flash
    const std::vector<std::uint8_t> image = MakeAV62xxImage(spec);
    const std::string text = Write("new.txt", ToLineText(image));
    // Without /F the program cannot compare versions (the image carries none) and refuses.
    const SRun refused = Run("unforced", {"--family", "av6201", "--image", text, "/S"});
    EXPECT_EQ(ExitStatusOf(0x80000008u), refused.status) << refused.output;
    const SRun run = Run("normal", {"--family", "av6201", "--image", text, "/F", "/S"});
    EXPECT_EQ(0u, run.status) << run.output;
    EXPECT_EQ(Bytes(image), run.firmware);
}

TEST_F(AvneraEepromBenchProgram, AV6201PulledOutMidWriteIsRecoveredByASecondRun)
{
    SAV62xxImageSpec spec;
    spec.size = 131072;
    const std::vector<std::uint8_t> image = MakeAV62xxImage(spec);
    const std::string text = Write("new.txt", ToLineText(image));
    const SRun first =
        Run("interrupted", {"--family", "av6201", "--image", text, "--fault", "unplug-at-block=40", "/F", "/S"});
    EXPECT_EQ(ExitStatusOf(0x80000007u), first.status) << first.output;
    ASSERT_EQ(131072u, first.firmware.size());
    EXPECT_NE(Bytes(image), first.firmware);
    const std::string left = Write("left.bin", first.firmware);
    const SRun second = Run("recovered", {"--family", "av6201", "--image", text, "--device-image", left, "/F", "/S"});
    EXPECT_EQ(0u, second.status) << second.output;
    EXPECT_EQ(Bytes(image), second.firmware);
}

TEST_F(AvneraEepromBenchProgram, AV6302ForcedSilentRunLeavesTheImageInTheEeprom)
{
    SAV62xxImageSpec spec;
    spec.partRow = 12;
    spec.size = 16384;
    const std::vector<std::uint8_t> image = MakeAV62xxImage(spec);
    const std::string text = Write("new.txt", ToLineText(image));
    const SRun run = Run("normal", {"--family", "av6302", "--image", text, "/F", "/S"});
    EXPECT_EQ(0u, run.status) << run.output;
    EXPECT_EQ(Bytes(image), run.firmware);
}
