// The av7300 family through the bench program itself, with images made by
// orvo-imagegen: exit codes, the log of failed runs and what the simulated
// product's flash holds afterwards (--firmware-out).
#include <gtest/gtest.h>

#include <regex>

#include "platform/System.h"
#include "tests/TestSupport.h"

namespace
{
struct SRun
{
    std::uint32_t status = 0xFFFFFFFFu;
    std::string output;
    std::string log;
    std::string flash;
};

class CAV7300BenchProgram : public ::testing::Test
{
protected:
    void SetUp() override
    {
        const ::testing::TestInfo* info = ::testing::UnitTest::GetInstance()->current_test_info();
        m_folder = MakeTestFolder(std::string("av7300-") + info->name());
    }

    // orvo-imagegen av7300 --part ROW ...; the text image's path.
    std::string MakeImage(const std::string& name, std::vector<std::string> args)
    {
        const std::string path = JoinPath(m_folder, name);
        std::vector<std::string> argv = {HostPath(ORVO_IMAGEGEN_PATH), "av7300", "--out", HostPath(path)};
        argv.insert(argv.end(), args.begin(), args.end());
        std::uint32_t status = 0xFFFFFFFFu;
        EXPECT_TRUE(RunProcessAndWait(argv, RealSeconds(60), &status, m_folder, JoinPath(m_folder, name + ".txt")));
        EXPECT_EQ(status, 0u) << ReadFileBytes(JoinPath(m_folder, name + ".txt"));
        return path;
    }

    SRun Run(const std::string& name, std::vector<std::string> args)
    {
        SRun run;
        const std::string folder = JoinPath(m_folder, name);
        CreateDirectories(folder);
        const std::string out = JoinPath(folder, "output.txt");
        const std::string flash = JoinPath(folder, "flash.bin");
        std::vector<std::string> argv = {HostPath(ORVO_BENCH_PATH), "--family", "av7300", "--time-scale", "0.01",
                                         "--firmware-out", HostPath(flash), "--instance-name",
                                         UniqueTestLockName("av7300-bench")};
        argv.insert(argv.end(), args.begin(), args.end());
        EXPECT_TRUE(RunProcessAndWait(argv, RealSeconds(300), &run.status, folder, out)) << name;
        run.output = ReadFileBytes(out);
        run.flash = ReadFileBytes(flash);
        for (const std::string& file : ListFolder(folder))
            if (std::regex_match(file, std::regex(R"(Upgrade-\d{8}-\d{6}\.log)")))
                run.log = ReadFileBytes(JoinPath(folder, file));
        return run;
    }

    // The bytes of a text image (one line per byte).
    static std::string Bytes(const std::string& text)
    {
        std::string bytes;
        for (std::size_t i = 0; i + 1 < text.size(); i = text.find('\n', i) + 1)
        {
            bytes.push_back(static_cast<char>(std::stoi(text.substr(i, 2), nullptr, 16)));
            if (text.find('\n', i) == std::string::npos)
                break;
        }
        return bytes;
    }

    static bool Holds(const std::string& flash, const std::string& image)
    {
        if (flash.size() < image.size() || flash.compare(0, image.size(), image) != 0)
            return false;
        return flash.find_first_not_of('\xFF', image.size()) == std::string::npos;
    }

    std::string m_folder;
};

TEST_F(CAV7300BenchProgram, SilentUpgradeWritesTheGeneratedImage)
{
    const std::string image = MakeImage("img.ff", {"--part", "31"});
    const SRun run = Run("normal", {"--image", HostPath(image), "/S"});
    EXPECT_EQ(run.status, 0u) << run.output << run.log;
    EXPECT_EQ(run.flash.size(), 131072u);
    EXPECT_TRUE(Holds(run.flash, Bytes(ReadFileBytes(image))));
    EXPECT_NE(run.output.find("bench: the AV7300 product boots its image (2C6D:3240)"), std::string::npos)
        << run.output;
}

TEST_F(CAV7300BenchProgram, PulledOutMidWriteThenRecoveredFromWhatTheFlashKept)
{
    const std::string image = MakeImage("img.ff", {"--part", "31", "--minor", "6"});
    const std::string bytes = Bytes(ReadFileBytes(image));
    const SRun first = Run("pulled", {"--image", HostPath(image), "--fault", "unplug-at-block=100", "/S"});
    EXPECT_EQ(first.status, ExitStatusOf(0x80000007u)) << first.output;
    EXPECT_NE(first.log.find("Error: Device upgrade error!!!"), std::string::npos);
    EXPECT_NE(first.output.find("pulled out"), std::string::npos) << first.output;
    ASSERT_EQ(first.flash.size(), 131072u);
    EXPECT_FALSE(Holds(first.flash, bytes));
    // The header was never written: the part's geometry is there, its
    // checksum is still erased.
    EXPECT_EQ(first.flash.substr(0, 3), bytes.substr(0, 2) + '\xFF');

    const std::string left = JoinPath(m_folder, "left.bin");
    ASSERT_TRUE(WriteFileBytes(left, first.flash));
    const SRun second = Run("recovered", {"--image", HostPath(image), "--device-image", HostPath(left), "/S"});
    EXPECT_EQ(second.status, 0u) << second.output << second.log;
    EXPECT_TRUE(Holds(second.flash, bytes));
    // A silent run does not reset the product: its ROM stays in flash mode
    // until the next power-up, which will boot the image.
    EXPECT_NE(second.output.find("runs its ROM (170D:0300); the next boot finds a valid image"), std::string::npos)
        << second.output;
}

TEST_F(CAV7300BenchProgram, Part35AndRevision1)
{
    const std::string sst = MakeImage("sst.ff", {"--part", "35"});
    const SRun run = Run("sst", {"--image", HostPath(sst), "--flash-part", "35", "/S"});
    EXPECT_EQ(run.status, 0u) << run.output << run.log;
    EXPECT_EQ(run.flash.size(), 65536u);
    EXPECT_TRUE(Holds(run.flash, Bytes(ReadFileBytes(sst))));

    const std::string image = MakeImage("img.ff", {"--part", "28"});
    const SRun rev1 = Run("rev1", {"--image", HostPath(image), "--flash-part", "28", "--chip-revision", "1", "/S"});
    EXPECT_EQ(rev1.status, 0u) << rev1.output << rev1.log;
    EXPECT_TRUE(Holds(rev1.flash, Bytes(ReadFileBytes(image))));
}

TEST_F(CAV7300BenchProgram, SilentRunOnTheSameBuildWritesNothing)
{
    const std::string image = MakeImage("img.ff", {"--part", "31", "--date", "2016/02/29"});
    const std::string binary = MakeImage("img.bin", {"--part", "31", "--date", "2016/02/29", "--binary"});
    ASSERT_EQ(ReadFileBytes(binary), Bytes(ReadFileBytes(image)));
    const SRun same = Run("same", {"--image", HostPath(image), "--device-image", HostPath(binary), "/S"});
    EXPECT_EQ(same.status, 1u) << same.output << same.log;
    EXPECT_TRUE(Holds(same.flash, ReadFileBytes(binary)));
    // With the check off (F) the same build is written again.
    const SRun forced = Run("forced", {"--image", HostPath(image), "--device-image", HostPath(binary), "/S", "/F"});
    EXPECT_EQ(forced.status, 0u) << forced.output << forced.log;
    EXPECT_TRUE(Holds(forced.flash, ReadFileBytes(binary)));
}

TEST_F(CAV7300BenchProgram, WrongImageNoDeviceAndBadOptions)
{
    // An image for another part: nothing is erased.
    const std::string image = MakeImage("img.ff", {"--part", "31"});
    const SRun wrong = Run("wrong", {"--image", HostPath(image), "--flash-part", "28", "/S", "/F"});
    EXPECT_EQ(wrong.status, ExitStatusOf(0x80000007u)) << wrong.output;
    EXPECT_NE(wrong.log.find("Incorrect Image for flash type"), std::string::npos);
    ASSERT_EQ(wrong.flash.size(), 65536u);
    EXPECT_EQ(wrong.flash.substr(0, 2), "\x6A\x36"); // the product's own image is still there
    const SRun none = Run("none", {"--scenario", "no-device", "/S"});
    EXPECT_EQ(none.status, ExitStatusOf(0x80000001u)) << none.output;

    const SRun unsupported = Run("unsupported", {"--flash-part", "0", "/S"});
    EXPECT_EQ(unsupported.status, 2u);
    const SRun revision = Run("revision", {"--chip-revision", "2", "/S"});
    EXPECT_EQ(revision.status, 2u);
    const SRun fault = Run("fault", {"--fault", "slow-driver=5", "/S"});
    EXPECT_EQ(fault.status, 2u);
}
// A memory that names no part (blank, or its first sector erased) runs the
// ROM, which drives the memory as whatever parameter block it is given: the
// image names the part. An image made for another part of the same size
// writes and reads back there; what tells is how the memory erases (a
// sector of another size, an SST25VF512A that knows no 64 KiB erase). Such
// an image must never end in success, nor leave a header that boots.
TEST_F(CAV7300BenchProgram, BlankMemoryRefusesAnImageForAnotherPartOfItsSize)
{
    const std::string blank = JoinPath(m_folder, "blank.bin");
    ASSERT_TRUE(WriteFileBytes(blank, std::string()));
    struct SCase
    {
        const char* product;
        const char* image;
    };
    for (const SCase c : {SCase{"31", "32"}, SCase{"32", "31"}, SCase{"28", "30"}, SCase{"28", "35"}})
    {
        const std::string name = std::string("p") + c.product + "-i" + c.image;
        const std::string image = MakeImage(name + ".ff", {"--part", c.image});
        const SRun run = Run(name, {"--flash-part", c.product, "--device-image", HostPath(blank), "--image",
                                    HostPath(image), "/S", "/F"});
        EXPECT_NE(run.status, 0u) << name << run.output;
        ASSERT_GE(run.flash.size(), 3u) << name;
        const auto h = reinterpret_cast<const std::uint8_t*>(run.flash.data());
        EXPECT_NE(static_cast<std::uint8_t>(h[0] + h[1] + h[2]), 0xFF) << name << ": a header that boots";
    }
    // The product's own image still goes in on a blank memory.
    const std::string right = MakeImage("right.ff", {"--part", "31"});
    const SRun run = Run("right", {"--flash-part", "31", "--device-image", HostPath(blank), "--image",
                                   HostPath(right), "/S", "/F"});
    EXPECT_EQ(run.status, 0u) << run.output << run.log;
    EXPECT_TRUE(Holds(run.flash, Bytes(ReadFileBytes(right))));
}

// A product that boots an image made for another part of its size (part 32,
// 4 KiB sectors, on a part 31 with 64 KiB sectors) takes a secondary-only
// update whose sector erase takes the whole head of the image with it: the
// run must not end in success, and the next run with the product's own
// image recovers it.
TEST_F(CAV7300BenchProgram, SecondaryUpdateThatErasedTheHeadIsNoSuccess)
{
    const std::string wrong = MakeImage("wrong.bin", {"--part", "32", "--binary"});
    const std::string newer = MakeImage("newer.ff", {"--part", "32", "--date", "2016/01/01"});
    const SRun run = Run("update", {"--flash-part", "31", "--device-image", HostPath(wrong), "--image",
                                    HostPath(newer), "/S"});
    EXPECT_NE(run.status, 0u) << run.output;
    ASSERT_EQ(run.flash.size(), 131072u);
    const std::string left = JoinPath(m_folder, "left.bin");
    ASSERT_TRUE(WriteFileBytes(left, run.flash));
    const std::string right = MakeImage("right.ff", {"--part", "31"});
    const SRun again = Run("again", {"--flash-part", "31", "--device-image", HostPath(left), "--image",
                                     HostPath(right), "/S", "/F"});
    EXPECT_EQ(again.status, 0u) << again.output << again.log;
    EXPECT_TRUE(Holds(again.flash, Bytes(ReadFileBytes(right))));
}

// After a successful secondary-only update the device tells the new version
// (its chain reaches the new secondary image and the version file behind
// it): a silent run with the same image finds it the same and writes
// nothing. Two devices whose chain would not reach what was written: one
// whose chain breaks before the next free sector (no file 12, no file 16,
// file 5 telling its version), and an image whose file 12 does not start
// at a sector while an aligned file follows it.
TEST_F(CAV7300BenchProgram, SecondaryUpdateLeavesADeviceThatTellsTheNewVersion)
{
    struct SCase
    {
        const char* name;
        std::vector<std::string> device;
        std::vector<std::string> image;
    };
    const std::vector<SCase> cases = {
        {"broken-chain",
         {"--part", "28", "--minor", "5", "--no-secondary", "--unaligned", "--no-device-version"},
         {"--part", "28", "--minor", "5", "--date", "2016/01/01"}},
        {"unaligned-secondary",
         {"--part", "28", "--minor", "5"},
         {"--part", "28", "--minor", "5", "--unaligned", "--align-secondary", "--date", "2016/01/01"}},
    };
    for (const SCase& c : cases)
    {
        std::vector<std::string> deviceArgs = c.device;
        deviceArgs.push_back("--binary");
        const std::string device = MakeImage(std::string(c.name) + "-device.bin", deviceArgs);
        const std::string image = MakeImage(std::string(c.name) + ".ff", c.image);
        const SRun first = Run(std::string(c.name) + "-1", {"--flash-part", "28", "--device-image",
                                                            HostPath(device), "--image", HostPath(image), "/S"});
        EXPECT_EQ(first.status, 0u) << c.name << first.output << first.log;
        const std::string left = JoinPath(m_folder, std::string(c.name) + "-left.bin");
        ASSERT_TRUE(WriteFileBytes(left, first.flash));
        const SRun second = Run(std::string(c.name) + "-2", {"--flash-part", "28", "--device-image",
                                                             HostPath(left), "--image", HostPath(image), "/S"});
        EXPECT_EQ(second.status, 1u) << c.name << ": the device does not tell the version just written"
                                     << second.output;
        EXPECT_EQ(second.flash, first.flash) << c.name;
    }
}

// The same build installed again with /F, a secondary-only update, pulled
// out half-way: the secondary image's head and its version file are gone,
// and the device's chain ends at the primary image, whose own version file
// tells the same version. A silent run must not take that for the image,
// whether the image carries a version file 16 or not. A silent run with an
// older image than the primary tells writes nothing (it never downgrades).
TEST_F(CAV7300BenchProgram, SecondaryUpdateCutShortIsRepairedByASilentRun)
{
    const std::string device = MakeImage("device.bin", {"--part", "28", "--minor", "6", "--binary"});
    const std::string image = MakeImage("img.ff", {"--part", "28", "--minor", "6"});
    const SRun first = Run("forced", {"--flash-part", "28", "--device-image", HostPath(device), "--image",
                                      HostPath(image), "--fault", "unplug-at-block=15", "/S", "/F"});
    EXPECT_EQ(first.status, ExitStatusOf(0x80000007u)) << first.output << first.log;
    ASSERT_FALSE(Holds(first.flash, Bytes(ReadFileBytes(image))));
    const std::string left = JoinPath(m_folder, "left.bin");
    ASSERT_TRUE(WriteFileBytes(left, first.flash));

    const std::string withoutVersionFile =
        MakeImage("no-version-file.ff", {"--part", "28", "--minor", "6", "--no-device-version"});
    for (const auto& [name, next] : {std::pair<std::string, std::string>{"silent", image},
                                      std::pair<std::string, std::string>{"silent-no-16", withoutVersionFile}})
    {
        const SRun second = Run(name, {"--flash-part", "28", "--device-image", HostPath(left), "--image",
                                       HostPath(next), "/S"});
        EXPECT_EQ(second.status, 0u) << name << second.output << second.log;
        EXPECT_TRUE(Holds(second.flash, Bytes(ReadFileBytes(next)))) << name;
    }
    const std::string older = MakeImage("older.ff", {"--part", "28", "--minor", "6", "--date", "2001/01/01"});
    const SRun third = Run("silent-older", {"--flash-part", "28", "--device-image", HostPath(left), "--image",
                                            HostPath(older), "/S"});
    EXPECT_EQ(third.status, 2u) << third.output << third.log;
    EXPECT_EQ(third.flash, first.flash);
}
} // namespace

namespace
{
// The cell of the header's checksum keeps its value through the erase: on a
// memory of the same part the old checksum is the new one, and the header
// the upgrade writes its geometry into would boot whatever half of the image
// an interrupted run left (a silent run then cannot even read its version).
// Nothing of the image may go in then; the next run, the cell working
// again, recovers the product.
TEST_F(CAV7300BenchProgram, HeaderThatDoesNotEraseStopsTheUpgradeBeforeAnyWrite)
{
    const std::string image = MakeImage("img.ff", {"--part", "28", "--minor", "6"});
    const SRun first = Run("stuck", {"--flash-part", "28", "--image", HostPath(image), "--fault", "stuck-cell=2",
                                     "--fault", "unplug-at-block=60", "/S"});
    EXPECT_NE(first.status, 0u) << first.output;
    ASSERT_EQ(first.flash.size(), 65536u);
    const auto h = reinterpret_cast<const std::uint8_t*>(first.flash.data());
    EXPECT_NE(static_cast<std::uint8_t>(h[0] + h[1] + h[2]), 0xFF) << "a header that boots";
    const std::string left = JoinPath(m_folder, "left.bin");
    ASSERT_TRUE(WriteFileBytes(left, first.flash));
    const SRun second = Run("again", {"--flash-part", "28", "--image", HostPath(image), "--device-image",
                                      HostPath(left), "/S"});
    EXPECT_EQ(second.status, 0u) << second.output << second.log;
    EXPECT_TRUE(Holds(second.flash, Bytes(ReadFileBytes(image)))) << "the memory does not hold the image";
}
} // namespace
