// The cxaudio tool: its commands against simulated chips in process, and
// the bench build started as a production script would start it.
#include <gtest/gtest.h>

#include <cstdio>

#include "conexant/CxPatch.h"
#include "platform/System.h"
#include "tests/TestSupport.h"
#include "tests/conexant/CxTestSupport.h"
#include "tools/cxaudio/CxAudioTool.h"

namespace
{
struct SRun
{
    int status;
    std::string out;
    std::string err;
};

// Runs the tool on the bench's world with its output in files of the test.
SRun RunTool(CCxBench& bench, const std::vector<std::string>& args, bool terminal = false)
{
    const std::string folder = MakeTestFolder("cxaudio-run");
    const std::string outPath = JoinPath(folder, "out.txt");
    const std::string errPath = JoinPath(folder, "err.txt");
    SCxToolIo io;
    io.out = std::fopen(outPath.c_str(), "wb");
    io.err = std::fopen(errPath.c_str(), "wb");
    io.errIsTerminal = terminal;
    SRun run{-1, {}, {}};
    if (io.out != nullptr && io.err != nullptr)
        run.status = RunCxAudioTool(args, bench.World(), io);
    if (io.out != nullptr)
        std::fclose(io.out);
    if (io.err != nullptr)
        std::fclose(io.err);
    run.out = ReadFileBytes(outPath);
    run.err = ReadFileBytes(errPath);
    return run;
}

std::vector<std::uint8_t> SerialImage()
{
    std::vector<std::uint8_t> image = MakeCxEepromImage(0x2000, 0x05);
    for (std::size_t i = 64; i < image.size(); ++i)
        image[i] = static_cast<std::uint8_t>(i ^ (i >> 8));
    image[56] = 0x00;
    image[57] = 0x01;
    image[0x100] = 6;
    image[0x101] = 3;
    image[0x102] = 'F';
    image[0x104] = 'L';
    for (std::size_t i = 1; i < image.size(); ++i)
        if (image[i] == 0x4C && ((i & 0x1F) == 1 || i == 32))
            image[i] = 0x4D;
    return image;
}

std::string ProgramPath(const std::string& path)
{
#ifdef _WIN32
    std::string p = path;
    if (!p.empty() && p[0] == '/')
    {
        for (char& c : p)
            c = c == '/' ? '\\' : c;
        p = "Z:" + p;
    }
    return p;
#else
    return path;
#endif
}
} // namespace

TEST(CxAudioTool, ListsEveryRecognisedChip)
{
    CCxBench bench;
    bench.Plug(ECxBenchChip::Cx2070x, 1);
    bench.Plug(ECxBenchChip::Cx2070xAs1410, 2);
    bench.World().Plug(bench.World().RootHub(1), 3, MakeBenchHidDevice(0x046D, 0xC077, 0x0001, 0x0002));
    SRun run = RunTool(bench, {"list"});
    EXPECT_EQ(run.status, 0);
    EXPECT_NE(run.out.find("CX2070x  0572:1500  \\\\?\\hid#vid_0572&pid_1500"), std::string::npos) << run.out;
    EXPECT_NE(run.out.find("CX2070x  0572:1410"), std::string::npos) << run.out;
    EXPECT_EQ(run.out.find("046d"), std::string::npos);
    run = RunTool(bench, {"--json", "list"});
    EXPECT_NE(run.out.find("\"devices\":[{\"chip\":\"CX2070x\",\"chipType\":1,\"vendorId\":1394,\"productId\":5376,"),
              std::string::npos)
        << run.out;
    EXPECT_NE(run.out.find("\"flags\":64"), std::string::npos);
    EXPECT_EQ(run.out.back(), '\n');

    CCxBench none;
    run = RunTool(none, {"list"});
    EXPECT_EQ(run.status, CXHID_STATUS_DEVICE_NOT_FOUND);
    EXPECT_NE(run.err.find("Device not found"), std::string::npos);
}

TEST(CxAudioTool, InfoShowsIdentityAndAutoConfiguration)
{
    CCxBench bench;
    SCxChipConfig config = MakeCxChipConfig(ECxBenchChip::Cx2077x);
    config.eepromContents = MakeCxEepromImage(0x2000, 0x05);
    config.patchVersion[2] = 0x07;
    bench.Plug(config);
    SRun run = RunTool(bench, {"info"});
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_NE(run.out.find("chip:            CX2077x (type 2)"), std::string::npos) << run.out;
    EXPECT_NE(run.out.find("input 33 bytes, output 37 bytes"), std::string::npos);
    EXPECT_NE(run.out.find("detected yes, valid yes, size 8192 bytes"), std::string::npos);
    EXPECT_NE(run.out.find("00-00-07 (loaded)"), std::string::npos);
    run = RunTool(bench, {"--json", "info"});
    EXPECT_NE(run.out.find("\"eepromDetected\":1,\"eepromValid\":1,\"eepromSize\":8192"), std::string::npos) << run.out;
    EXPECT_NE(run.out.find("\"patchLoaded\":1"), std::string::npos);
    EXPECT_NE(run.out.find("\"status\":0,\"text\":\"OK\"}"), std::string::npos);
}

TEST(CxAudioTool, ReadWriteAndSelection)
{
    CCxBench bench;
    SCxChipConfig stuck = MakeCxChipConfig(ECxBenchChip::Cx2070x);
    stuck.eepromContents = MakeCxEepromImage(0x2000, 0x05);
    stuck.faults.stuckEepromAddress = 0x21;
    auto a = bench.Plug(stuck, 1);
    auto b = bench.Plug(ECxBenchChip::Cx2076x, 2);
    SRun run = RunTool(bench, {"--type", "3", "write", "1", "0x100", "DE:AD:BE:EF", "--verify"});
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(b->Ram()[0x103], 0xEF);
    run = RunTool(bench, {"--type", "3", "read", "1", "0x100", "4"});
    EXPECT_EQ(run.out, "00000100: DE AD BE EF\n");
    run = RunTool(bench, {"--type", "3", "--json", "read", "1", "256", "2"});
    EXPECT_NE(run.out.find("\"data\":\"DEAD\""), std::string::npos) << run.out;

    // A chip that keeps a wrong bit fails the verified write.
    run = RunTool(bench, {"--pid", "1500", "write", "0", "0x20", "0101", "--verify"});
    EXPECT_EQ(run.status, CXHID_STATUS_PATCH_VERIFY_FAILED);
    EXPECT_NE(run.err.find("Patch verification failed"), std::string::npos);

    // Past the end of the EEPROM its header names: the part would wrap.
    run = RunTool(bench, {"--pid", "1500", "write", "0", "0x1FFF", "0101"});
    EXPECT_EQ(run.status, CXHID_STATUS_PATCH_EEPROM_SIZE);
    EXPECT_NE(run.err.find("the EEPROM holds 8192 bytes"), std::string::npos) << run.err;
    EXPECT_EQ(a->Eeprom()[0], 0x4C);
    EXPECT_EQ(a->Eeprom()[1], 0x05);

    run = RunTool(bench, {"--type", "0", "read", "0", "0", "1"});
    EXPECT_EQ(run.status, CXHID_STATUS_DEVICE_NOT_FOUND);
    run = RunTool(bench, {"--type", "3", "read", "0", "0x1FFE", "3"});
    EXPECT_EQ(run.status, CXHID_STATUS_INVALID_MEMORY_ADDRESS);
    EXPECT_NE(run.err.find("Invalid memory address"), std::string::npos);
    run = RunTool(bench, {"--type", "3", "write", "0", "0", "00"});
    EXPECT_EQ(run.status, CXHID_STATUS_INVALID_MEMORY_ACCESS);

    for (const std::vector<std::string>& bad :
         {std::vector<std::string>{}, {"frobnicate"}, {"read", "0", "0"}, {"--type", "7", "info"},
          {"--vid", "xyz", "list"}, {"write", "0", "0", "ABC"}, {"read", "0", "-1", "2"}, {"--bogus", "list"}})
    {
        run = RunTool(bench, bad);
        EXPECT_EQ(run.status, CXHID_STATUS_INVALID_PARAMETER);
        EXPECT_NE(run.err.find("usage:"), std::string::npos);
        EXPECT_NE(run.err.find("Invalid parameter"), std::string::npos);
    }
}

TEST(CxAudioTool, PatchWritesVerifiesAndProtectsTheSerialNumber)
{
    CxClearPatchState();
    CCxBench bench;
    SCxChipConfig config = MakeCxChipConfig(ECxBenchChip::Cx2070x);
    std::vector<std::uint8_t> onChip = SerialImage();
    onChip[43] = 0x5A;
    onChip[0x103] = 'X';
    onChip[0x105] = 'Y';
    config.eepromContents = onChip;
    auto chip = bench.Plug(config);
    const std::vector<std::uint8_t> image = SerialImage();
    const std::string folder = MakeTestFolder("cxaudio-patch");
    const std::string file = JoinPath(folder, "eeprom image.s37");
    ASSERT_TRUE(WriteFileBytes(file, JoinLines(S37Lines(image, 0, 64), "\r\n")));

    SRun run = RunTool(bench, {"--json", "patch", file});
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_NE(run.out.find("\"S37File\":{\"s3Records\":128,\"s7Records\":1,\"totalDataBytes\":8192"), std::string::npos)
        << run.out;
    EXPECT_NE(run.out.find("\"SerialNumberStringAddress\":256,\"SerialNumberStringLength\":6"), std::string::npos);

    run = RunTool(bench, {"patch", file, "--write", "--protect"});
    EXPECT_EQ(run.status, 0) << run.err;
    std::vector<std::uint8_t> eeprom = chip->Eeprom();
    EXPECT_EQ(eeprom[43], 0x5A);
    EXPECT_EQ(eeprom[0x103], 'X');
    EXPECT_EQ(eeprom[0x105], 'Y');
    EXPECT_EQ(eeprom[0x106], image[0x106]);
    EXPECT_NE(run.out.find("9 bytes left alone"), std::string::npos) << run.out;
    EXPECT_NE(run.err.find("write: 100% (8192 of 8192 bytes)"), std::string::npos) << run.err;

    run = RunTool(bench, {"patch", file, "--verify", "--protect"});
    EXPECT_EQ(run.status, 0) << run.out << run.err;
    EXPECT_NE(run.out.find("3 differences tolerated"), std::string::npos) << run.out;
    run = RunTool(bench, {"--json", "patch", file, "--verify"});
    EXPECT_EQ(run.status, CXHID_STATUS_PATCH_VERIFY_FAILED);
    EXPECT_NE(run.out.find("\"differences\":3"), std::string::npos) << run.out;
    EXPECT_NE(run.out.find("{\"address\":43,\"expected\":0,\"read\":90}"), std::string::npos) << run.out;

    // Without --protect the whole image goes in, and is read back; the bars redraw on a terminal.
    run = RunTool(bench, {"patch", file, "--write", "--verify"}, true);
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(chip->Eeprom(), image);
    EXPECT_NE(run.err.find("\rwrite    [########################################] 100% 8192/8192 bytes\n"),
              std::string::npos)
        << run.err;
    EXPECT_NE(run.err.find("\rverify   [########################################] 100% 8192/8192 bytes\n"),
              std::string::npos)
        << run.err;
    EXPECT_NE(run.out.find("wrote 8192 of 8192 bytes of memory 0, read back 8192, verified"), std::string::npos)
        << run.out;

    // A malformed file is refused before the chip is touched.
    const std::string bad = JoinPath(folder, "bad.s37");
    ASSERT_TRUE(WriteFileBytes(bad, S37Line(0, {1, 2, 3}) + "\nS30500000000FB\n"));
    const std::uint32_t requests = chip->RequestCount();
    run = RunTool(bench, {"patch", bad, "--write"});
    EXPECT_EQ(run.status, CXHID_STATUS_INVALID_PATCH_FILE);
    EXPECT_NE(run.err.find("Invalid patch file"), std::string::npos);
    EXPECT_EQ(chip->RequestCount(), requests);
    run = RunTool(bench, {"patch", JoinPath(folder, "missing.s37")});
    EXPECT_EQ(run.status, CXHID_STATUS_FILE_OPEN_ERROR);

    // The library's trace of the refusal, kept when asked for.
    const std::string log = JoinPath(folder, "cx.log");
    run = RunTool(bench, {"--log", log, "patch", bad});
    EXPECT_EQ(run.status, CXHID_STATUS_INVALID_PATCH_FILE);
    const std::string trace = ReadFileBytes(log);
    EXPECT_NE(trace.find("][CxAudioHidDevice::MemoryPatch] - ApplyPatch(start) - options[0]\r\n"), std::string::npos)
        << trace;
    EXPECT_NE(trace.find("] - Read Size - S37_LENGTH_SIZE[1] S37_BYTE_RESPRESENTATION_SIZE[2] value[5]\r\n"),
              std::string::npos);
    EXPECT_NE(trace.find("] cxaudio - status[26] Invalid patch file\r\n"), std::string::npos);
}

TEST(CxAudioTool, BenchProgramWritesAndVerifiesAGeneratedFile)
{
    const std::string folder = MakeTestFolder("cxaudio-bench program");
    std::vector<std::uint8_t> image = SerialImage(); // 8 KiB, the size of the chip's EEPROM
    const std::string file = JoinPath(folder, "patch.s37");
    ASSERT_TRUE(WriteFileBytes(file, JoinLines(S37Lines(image, 0, 32), "\n")));
    const std::string state = JoinPath(folder, "state");
    const std::string program = ProgramPath(CXAUDIO_BENCH_PATH);
    std::uint32_t status = 99;
    const std::string output = JoinPath(folder, "output.txt");
    ASSERT_TRUE(RunProcessAndWait({program, "--bench", "cx2070x", "--bench-state", state, "patch", file, "--write",
                                   "--verify"},
                                  RealSeconds(120), &status, folder, output));
    EXPECT_EQ(status, 0u) << ReadFileBytes(output);
    EXPECT_NE(ReadFileBytes(output).find("wrote 8192 of 8192 bytes"), std::string::npos);

    // The next run finds the chip as the last one left it.
    ASSERT_TRUE(RunProcessAndWait({program, "--bench", "cx2070x", "--bench-state", state, "read", "0", "0x1FF0", "4"},
                                  RealSeconds(60), &status, folder, output));
    EXPECT_EQ(status, 0u);
    char expected[64];
    std::snprintf(expected, sizeof expected, "00001FF0: %02X %02X %02X %02X", image[0x1FF0], image[0x1FF1],
                  image[0x1FF2], image[0x1FF3]);
    EXPECT_NE(ReadFileBytes(output).find(expected), std::string::npos) << ReadFileBytes(output);

    // A 16 KiB image on the 8 KiB part: refused before a byte is written.
    std::vector<std::uint8_t> big(0x4000);
    for (std::size_t i = 0; i < big.size(); ++i)
        big[i] = static_cast<std::uint8_t>(i * 5 + 3);
    big[0] = 0x4C;
    big[1] = 0x06;
    for (std::size_t i = 1; i < big.size(); ++i)
        if (big[i] == 0x4C && ((i & 0x1F) == 1 || i == 32))
            big[i] = 0x4D;
    const std::string bigFile = JoinPath(folder, "big.s37");
    ASSERT_TRUE(WriteFileBytes(bigFile, JoinLines(S37Lines(big, 0, 32), "\n")));
    ASSERT_TRUE(RunProcessAndWait({program, "--bench", "cx2070x", "--bench-state", state, "patch", bigFile, "--write",
                                   "--verify"},
                                  RealSeconds(120), &status, folder, output));
    EXPECT_EQ(status, 27u) << ReadFileBytes(output);
    EXPECT_NE(ReadFileBytes(output).find("Incompatible patch file (conflict with EEPROM size)"), std::string::npos);
    ASSERT_TRUE(RunProcessAndWait({program, "--bench", "cx2070x", "--bench-state", state, "patch", file, "--verify"},
                                  RealSeconds(120), &status, folder, output));
    EXPECT_EQ(status, 0u) << "the chip still holds the first file: " << ReadFileBytes(output);

    const std::string bad = JoinPath(folder, "bad.s37");
    ASSERT_TRUE(WriteFileBytes(bad, "S0030000FC\n"));
    ASSERT_TRUE(RunProcessAndWait({program, "--bench", "cx2070x", "patch", bad, "--write", "--verify"},
                                  RealSeconds(60), &status, folder, output));
    EXPECT_EQ(status, 26u);
    EXPECT_NE(ReadFileBytes(output).find("cxaudio-bench: Invalid patch file"), std::string::npos);
}

TEST(CxAudioTool, AnalysisOfAFileNeedsNoChip)
{
    CCxBench none; // nothing plugged in
    const std::string folder = MakeTestFolder("cxaudio-offline");
    const std::string file = JoinPath(folder, "image.s37");
    ASSERT_TRUE(WriteFileBytes(file, JoinLines(S37Lines(SerialImage(), 0, 64), "\n")));
    SRun run = RunTool(none, {"patch", file});
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_NE(run.out.find("records:         128 S3, 1 S7, 8192 data bytes, highest address 0x00001FFF"),
              std::string::npos)
        << run.out;
    run = RunTool(none, {"patch", file, "--write"});
    EXPECT_EQ(run.status, CXHID_STATUS_DEVICE_NOT_FOUND) << "writing needs the chip";
}

namespace
{
// A chip, a file, the tool's run, and whether the chip's memories changed.
struct SRefusal
{
    SRun run;
    bool unchanged;
};

SRefusal RunOnChip(const SCxChipConfig& config, const std::string& fileText, const std::vector<std::string>& args)
{
    CCxBench bench;
    auto chip = bench.Plug(config);
    const auto eeprom = chip->Eeprom();
    const auto ram = chip->Ram();
    const auto registers = chip->Registers();
    const std::string folder = MakeTestFolder("cxaudio-refusal");
    const std::string file = JoinPath(folder, "file.s37");
    EXPECT_TRUE(WriteFileBytes(file, fileText));
    std::vector<std::string> full = {"patch", file};
    full.insert(full.end(), args.begin(), args.end());
    SRefusal r{RunTool(bench, full), false};
    r.unchanged = chip->Eeprom() == eeprom && chip->Ram() == ram && chip->Registers() == registers;
    return r;
}

SCxChipConfig WithValidEeprom(ECxBenchChip type, std::uint32_t size = 0x2000, std::uint8_t code = 0x05)
{
    SCxChipConfig config = MakeCxChipConfig(type);
    config.eepromSize = size;
    config.eepromContents = SerialImage();
    config.eepromContents.resize(size, 0xFF);
    config.eepromContents[1] = code;
    return config;
}
} // namespace

TEST(CxAudioTool, FilesTheChipCannotHoldAreRefusedWhole)
{
    const SCxChipConfig chip = WithValidEeprom(ECxBenchChip::Cx2070x);

    // Larger than the EEPROM its header names.
    std::vector<std::uint8_t> big = SerialImage();
    big.resize(0x4000, 0x33);
    SRefusal r = RunOnChip(chip, JoinLines(S37Lines(big, 0, 32), "\n"), {"--write", "--verify"});
    EXPECT_EQ(r.run.status, CXHID_STATUS_PATCH_EEPROM_SIZE);
    EXPECT_NE(r.run.err.find("Incompatible patch file (conflict with EEPROM size)"), std::string::npos);
    EXPECT_NE(r.run.err.find("the file has bytes at 0x00002000 and on; the EEPROM holds 8192 bytes"), std::string::npos)
        << r.run.err;
    EXPECT_TRUE(r.unchanged);

    // Another chip's file.
    std::vector<std::uint8_t> foreignImage = SerialImage();
    const std::vector<std::uint8_t> signature = {'C', 'X', '3', 0};
    std::copy(signature.begin(), signature.end(), foreignImage.begin() + 0x1F00);
    std::vector<std::string> foreign = S37Lines(foreignImage, 0, 64);
    foreign.insert(foreign.end() - 1, S37Line(0x1F00, signature)); // the signature record comes last
    r = RunOnChip(chip, JoinLines(foreign, "\n"), {"--write"});
    EXPECT_EQ(r.run.status, CXHID_STATUS_PATCH_WRONG_DEVICE);
    EXPECT_NE(r.run.err.find("Incompatible patch file (wrong device)"), std::string::npos);
    EXPECT_NE(r.run.err.find("the file is made for a CX2077x, the chip is a CX2070x"), std::string::npos) << r.run.err;
    EXPECT_TRUE(r.unchanged);

    // Good records, then one the memory has no room for.
    std::vector<std::string> beyond = S37Lines(SerialImage(), 0, 64);
    beyond.insert(beyond.end() - 1, S37Line(0x20000, {1, 2, 3}));
    r = RunOnChip(chip, JoinLines(beyond, "\n"), {"--write", "--verify"});
    EXPECT_EQ(r.run.status, CXHID_STATUS_INVALID_MEMORY_ADDRESS);
    EXPECT_TRUE(r.unchanged);
    r = RunOnChip(chip, S37Line(0x100, {1, 2}) + "\n" + S37Line(0xFFFFFFF0, std::vector<std::uint8_t>(16, 9)) +
                            "\nS70500000000FA\n",
                  {"--memory", "1", "--write"});
    EXPECT_EQ(r.run.status, CXHID_STATUS_INVALID_MEMORY_ADDRESS);
    EXPECT_TRUE(r.unchanged);

    // Files that end early: empty, or without the termination record.
    const std::vector<std::string> lines = S37Lines(SerialImage(), 0, 64);
    r = RunOnChip(chip, "", {"--write", "--verify"});
    EXPECT_EQ(r.run.status, CXHID_STATUS_INVALID_PATCH_FILE);
    EXPECT_TRUE(r.unchanged);
    r = RunOnChip(chip, JoinLines(std::vector<std::string>(lines.begin(), lines.end() - 1), "\n"), {"--write"});
    EXPECT_EQ(r.run.status, CXHID_STATUS_INVALID_PATCH_FILE);
    EXPECT_TRUE(r.unchanged);

    // Records that disagree.
    std::vector<std::string> disagree = lines;
    disagree.insert(disagree.end() - 1, S37Line(0x200, {static_cast<std::uint8_t>(SerialImage()[0x200] ^ 1)}));
    r = RunOnChip(chip, JoinLines(disagree, "\n"), {"--write"});
    EXPECT_EQ(r.run.status, CXHID_STATUS_INVALID_PATCH_FILE);
    EXPECT_TRUE(r.unchanged);
}

TEST(CxAudioTool, IdenticalOverlapsAreWrittenAndVerifiedOnce)
{
    CCxBench bench;
    auto chip = bench.Plug(WithValidEeprom(ECxBenchChip::Cx2070x));
    std::vector<std::uint8_t> image = SerialImage();
    image[43] = 0x21;
    std::vector<std::string> lines = S37Lines(image, 0, 32);
    // 32 bytes given twice: 8,224 bytes in the records, 8,192 addresses.
    lines.insert(lines.end() - 1, S37Line(0x1000, std::vector<std::uint8_t>(image.begin() + 0x1000, image.begin() + 0x1020)));
    const std::string folder = MakeTestFolder("cxaudio-overlap");
    const std::string file = JoinPath(folder, "overlap.s37");
    ASSERT_TRUE(WriteFileBytes(file, JoinLines(lines, "\n")));
    SRun run = RunTool(bench, {"patch", file});
    EXPECT_NE(run.out.find("8192 data bytes"), std::string::npos) << run.out;
    run = RunTool(bench, {"patch", file, "--write", "--verify"});
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_NE(run.out.find("wrote 8192 of 8192 bytes of memory 0, read back 8192, verified"), std::string::npos)
        << run.out;
    EXPECT_EQ(chip->Eeprom(), image);
    run = RunTool(bench, {"--json", "patch", file, "--verify"});
    EXPECT_EQ(run.status, 0);
    EXPECT_NE(run.out.find("\"differences\":0"), std::string::npos) << run.out;
}

TEST(CxAudioTool, UnsafeContentsNeedTheSwitchThatWritesThem)
{
    // A CX20562 file that puts the EEPROM magic byte at 33, for the CX2070x in a CX20562 package.
    SCxChipConfig config = WithValidEeprom(ECxBenchChip::Cx2070xAs1410);
    std::vector<std::uint8_t> image = SerialImage();
    image[33] = 0x4C;
    const std::string text = JoinLines(S37Lines(image, 0, 32), "\n");
    SRefusal r = RunOnChip(config, text, {});
    EXPECT_EQ(r.run.status, CXHID_STATUS_PATCH_UNSAFE);
    r = RunOnChip(config, text, {"--write", "--verify"});
    EXPECT_EQ(r.run.status, CXHID_STATUS_PATCH_UNSAFE);
    EXPECT_NE(r.run.err.find("Incompatible patch file (unsafe contents)"), std::string::npos);
    EXPECT_NE(r.run.err.find("--write-magic-bytes writes it all the same"), std::string::npos) << r.run.err;
    EXPECT_TRUE(r.unchanged);

    CCxBench bench;
    auto chip = bench.Plug(config);
    const std::string folder = MakeTestFolder("cxaudio-unsafe");
    const std::string file = JoinPath(folder, "magic.s37");
    ASSERT_TRUE(WriteFileBytes(file, text));
    SRun run = RunTool(bench, {"patch", file, "--write", "--write-magic-bytes"});
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(chip->Eeprom(), image);
}

TEST(CxAudioTool, RegistersAsTheRequestFormatAddressesThem)
{
    CCxBench bench;
    auto chip = bench.Plug(ECxBenchChip::Cx2070x);
    // The request names a register in its command byte and carries no address.
    SRun run = RunTool(bench, {"write", "3", "0x100", "AABBCCDD", "--verify"});
    EXPECT_EQ(run.status, CXHID_STATUS_INVALID_MEMORY_ADDRESS);
    EXPECT_EQ(chip->Register(0), 0u);
    run = RunTool(bench, {"write", "3", "0", "AABBCCDD"});
    EXPECT_EQ(run.status, CXHID_STATUS_INVALID_MEMORY_ACCESS) << "two registers in one request";
    EXPECT_EQ(chip->Register(0), 0u);
    run = RunTool(bench, {"write", "3", "0", "AABB", "--register", "5"});
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_NE(run.out.find("verified"), std::string::npos);
    EXPECT_EQ(chip->Register(5), 0xBBAA);
    EXPECT_EQ(chip->Register(0), 0u);
    run = RunTool(bench, {"read", "3", "0", "2", "--register", "5"});
    EXPECT_EQ(run.out, "00000000: AA BB\n");
    run = RunTool(bench, {"read", "4", "0", "2", "--register", "1"});
    EXPECT_EQ(run.status, 0);
    run = RunTool(bench, {"read", "1", "0", "2", "--register", "1"});
    EXPECT_EQ(run.status, CXHID_STATUS_INVALID_PARAMETER) << "memory is addressed by ADDRESS";
    run = RunTool(bench, {"read", "3", "0", "2", "--register", "8"});
    EXPECT_EQ(run.status, CXHID_STATUS_INVALID_PARAMETER);

    // A RAM image pushed at the registers: refused whole.
    std::vector<std::uint8_t> ram(2048, 0x42);
    SRefusal r = RunOnChip(MakeCxChipConfig(ECxBenchChip::Cx2070x), JoinLines(S37Lines(ram, 0, 32), "\n"),
                           {"--memory", "3", "--write"});
    EXPECT_NE(r.run.status, 0);
    EXPECT_TRUE(r.unchanged);

    // A chip whose requests carry the address reaches each register by it.
    CCxBench other;
    auto tiki = other.Plug(ECxBenchChip::Cx2076x);
    run = RunTool(other, {"write", "3", "0x100", "AABBCCDD"});
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(tiki->Register(0x100), 0xBBAA);
    EXPECT_EQ(tiki->Register(0x102), 0xDDCC);
    run = RunTool(other, {"write", "3", "0x100", "AABB", "--register", "1"});
    EXPECT_EQ(run.status, CXHID_STATUS_INVALID_PARAMETER);
}

namespace
{
bool HasWriteRequest(CCxChipModel& chip)
{
    const std::uint8_t writeBit = chip.Config().writeBit;
    for (const auto& r : chip.Requests())
        if (r.size() > 1 && r[0] == chip.Config().requestId && (r[1] & writeBit) != 0)
            return true;
    return false;
}
} // namespace

TEST(CxAudioTool, AVerificationWritesNothingEvenOnABlankPart)
{
    // A blank EEPROM (the header reads FF FF): its presence and size are
    // found by writing a test byte, which a verification has no business
    // doing; pulled out in the middle, the part would keep it.
    const std::string text = JoinLines(S37Lines(std::vector<std::uint8_t>(64, 0x11), 0x100, 32), "\n");
    for (int unplugAfter : {-1, 1, 2, 3, 4, 5, 6})
    {
        SCxChipConfig config = MakeCxChipConfig(ECxBenchChip::Cx2070x);
        config.faults.unplugAfterRequests = unplugAfter;
        CCxBench bench;
        auto chip = bench.Plug(config);
        const std::vector<std::uint8_t> blank = chip->Eeprom();
        const std::string folder = MakeTestFolder("cxaudio-verify-blank");
        const std::string file = JoinPath(folder, "fill.s37");
        ASSERT_TRUE(WriteFileBytes(file, text));
        const SRun run = RunTool(bench, {"patch", file, "--verify"});
        EXPECT_NE(run.status, 0) << "the blank part does not hold the file";
        EXPECT_FALSE(HasWriteRequest(*chip)) << "unplugged after " << unplugAfter << " requests";
        EXPECT_TRUE(chip->Eeprom() == blank) << "unplugged after " << unplugAfter << " requests";
    }
}

TEST(CxAudioTool, ATestByteThePartDoesNotGiveBackIsNoRefusal)
{
    // An erased part that programs AND-wise (it clears bits, it never sets
    // them) keeps the bits a size test cleared. A file too large for it must
    // not be reported as refused untouched when the part was changed.
    SCxChipConfig config = MakeCxChipConfig(ECxBenchChip::Cx2070x);
    config.faults.eepromAndWise = true;
    std::vector<std::uint8_t> image(0x3000);
    for (std::size_t i = 0; i < image.size(); ++i)
        image[i] = static_cast<std::uint8_t>(0x30 + i % 7);
    const SRefusal r = RunOnChip(config, JoinLines(S37Lines(image, 0, 32), "\n"), {"--write", "--verify"});
    if (r.run.status == CXHID_STATUS_PATCH_EEPROM_SIZE)
    {
        EXPECT_TRUE(r.unchanged) << "refused, and the part changed";
    }
    EXPECT_EQ(r.run.status, CXHID_STATUS_PATCH_VERIFY_FAILED) << r.run.err;
    EXPECT_NE(r.run.err.find("size test"), std::string::npos) << r.run.err;
}

TEST(CxAudioTool, ALineThatHidesTextBehindANulCharacterIsRefused)
{
    // A NUL inside a line (a file damaged by a crash or a bad copy) ends the
    // line's text for a C string: the record behind it would vanish unseen.
    const std::string text = S37Line(0x100, std::vector<std::uint8_t>(16, 0x11)) + std::string(1, '\0') +
                             S37Line(0x110, std::vector<std::uint8_t>(16, 0x22)) + "\nS70500000000FA\n";
    CCxBench none;
    const std::string folder = MakeTestFolder("cxaudio-nul");
    const std::string file = JoinPath(folder, "nul.s37");
    ASSERT_TRUE(WriteFileBytes(file, text));
    EXPECT_EQ(RunTool(none, {"patch", file}).status, CXHID_STATUS_INVALID_PATCH_FILE);
    const SRefusal r = RunOnChip(MakeCxChipConfig(ECxBenchChip::Cx2070x), text, {"--write", "--verify"});
    EXPECT_EQ(r.run.status, CXHID_STATUS_INVALID_PATCH_FILE);
    EXPECT_TRUE(r.unchanged);
}

TEST(CxAudioTool, NoRequestCarriesBytesOnBothSidesOfTheHighAddressBit)
{
    // A request names address bit 16 once, in its command. A 128 KiB part
    // addressed in two 64 KiB blocks keeps a request's bytes in its block:
    // bytes after 0xFFFF in a request that starts below it land at 0x0000.
    SCxChipConfig config = MakeCxChipConfig(ECxBenchChip::Cx2070x);
    config.eepromSize = 0x20000;
    config.eepromContents = MakeCxEepromImage(0x20000, 0x09);
    config.firmwareSizeCode = 0x09; // the firmware knows the part: EEPROM requests of 32 bytes
    std::vector<std::uint8_t> bytes(0x30);
    for (std::size_t i = 0; i < bytes.size(); ++i)
        bytes[i] = static_cast<std::uint8_t>(0xA0 + i);
    const std::string folder = MakeTestFolder("cxaudio-64k");
    const std::string file = JoinPath(folder, "straddle.s37");
    ASSERT_TRUE(WriteFileBytes(file, JoinLines(S37Lines(bytes, 0xFFF0, 16), "\n")));
    {
        CCxBench bench;
        auto chip = bench.Plug(config);
        const SRun run = RunTool(bench, {"patch", file, "--write", "--verify"});
        const std::vector<std::uint8_t> eeprom = chip->Eeprom();
        const bool holds = std::equal(bytes.begin(), bytes.end(), eeprom.begin() + 0xFFF0);
        EXPECT_TRUE(run.status != 0 || holds) << "exit 0, the part does not hold the file";
        EXPECT_EQ(run.status, 0) << run.err;
        EXPECT_TRUE(holds);
        EXPECT_TRUE(std::equal(eeprom.begin(), eeprom.begin() + 0x40, config.eepromContents.begin()))
            << "the header, which the file does not touch";
    }
    {
        CCxBench bench;
        auto chip = bench.Plug(config);
        const SRun run = RunTool(bench, {"write", "0", "0xFFF8", "0102030405060708090A0B0C0D0E0F10"});
        EXPECT_EQ(run.status, 0) << run.err;
        const std::vector<std::uint8_t> eeprom = chip->Eeprom();
        EXPECT_EQ(eeprom[0x10000], 0x09);
        EXPECT_EQ(eeprom[0x10007], 0x10);
        EXPECT_TRUE(std::equal(eeprom.begin(), eeprom.begin() + 0x40, config.eepromContents.begin()));
    }
}

TEST(CxAudioTool, ATerminationRecordMustBeOne)
{
    // '3' and '7' differ in one bit, and the type letter is outside the
    // checksum: the last data record with that bit flipped reads as a
    // termination record, and its bytes would go missing unseen.
    std::vector<std::uint8_t> image(0x100);
    for (std::size_t i = 0; i < image.size(); ++i)
        image[i] = static_cast<std::uint8_t>(0x80 + i / 3);
    std::vector<std::string> lines = S37Lines(image, 0x200, 32);
    lines[lines.size() - 2][1] = '7';
    SRefusal r = RunOnChip(MakeCxChipConfig(ECxBenchChip::Cx2070x), JoinLines(lines, "\n"), {"--write", "--verify"});
    EXPECT_EQ(r.run.status, CXHID_STATUS_INVALID_PATCH_FILE) << r.run.out;
    EXPECT_TRUE(r.unchanged);

    // A termination record cut short, or with a checksum that does not add up.
    for (const char* end : {"S70500000000", "S70500000000FB", "S7"})
    {
        lines = S37Lines(image, 0x200, 32);
        lines.back() = end;
        r = RunOnChip(MakeCxChipConfig(ECxBenchChip::Cx2070x), JoinLines(lines, "\n"), {"--write", "--verify"});
        EXPECT_EQ(r.run.status, CXHID_STATUS_INVALID_PATCH_FILE) << end;
        EXPECT_TRUE(r.unchanged) << end;
    }
    // Its start address is free; lowercase is read as everywhere.
    for (const char* end : {"S70500001000EA", "s70500000000fa"})
    {
        lines = S37Lines(image, 0x200, 32);
        lines.back() = end;
        r = RunOnChip(MakeCxChipConfig(ECxBenchChip::Cx2070x), JoinLines(lines, "\n"), {"--write", "--verify"});
        EXPECT_EQ(r.run.status, 0) << end << r.run.err;
    }
}

TEST(CxAudioTool, AHeaderThatNamesLessThanThePartHoldsDoesNotShrinkIt)
{
    // A 16 KiB part that holds an 8 KiB image: the image's header names
    // 8 KiB. The new 12 KiB image for the same part fits it; the part shows
    // at 8 KiB bytes other than its first, so it does not end there.
    SCxChipConfig config = MakeCxChipConfig(ECxBenchChip::Cx2070x);
    config.eepromSize = 0x4000;
    config.eepromContents = SerialImage();
    config.eepromContents.resize(0x4000, 0xFF);
    config.firmwareSizeCode = 0x05;
    std::vector<std::uint8_t> image(0x3000);
    for (std::size_t i = 0; i < image.size(); ++i)
        image[i] = static_cast<std::uint8_t>(i * 7 + 3);
    image[0] = 0x4C;
    image[1] = 0x06; // 16 KiB
    for (std::size_t i = 1; i < image.size(); ++i)
        if (image[i] == 0x4C && ((i & 0x1F) == 1 || i == 32))
            image[i] = 0x4D;
    const std::string text = JoinLines(S37Lines(image, 0, 32), "\n");
    CCxBench bench;
    auto chip = bench.Plug(config);
    const std::string folder = MakeTestFolder("cxaudio-grow");
    const std::string file = JoinPath(folder, "grow.s37");
    ASSERT_TRUE(WriteFileBytes(file, text));
    SRun run = RunTool(bench, {"patch", file, "--write", "--verify"});
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_TRUE(std::equal(image.begin(), image.end(), chip->Eeprom().begin()));

    // The same image on an 8 KiB part: refused, the part untouched.
    config.eepromSize = 0x2000;
    config.eepromContents.resize(0x2000);
    const SRefusal r = RunOnChip(config, text, {"--write", "--verify"});
    EXPECT_EQ(r.run.status, CXHID_STATUS_PATCH_EEPROM_SIZE);
    EXPECT_NE(r.run.err.find("the EEPROM holds 8192 bytes"), std::string::npos) << r.run.err;
    EXPECT_TRUE(r.unchanged);
}

TEST(CxAudioTool, ASizeTestCutShortLeavesNothingTheNextRunKeeps)
{
    // A blank part tells its size by a test byte; pulled out before the byte
    // is restored, the part keeps it. The next run must not keep it for good:
    // not in the application status byte that --protect leaves alone.
    std::vector<std::uint8_t> image = SerialImage();
    image.resize(0x400);
    const std::string folder = MakeTestFolder("cxaudio-size-test");
    const std::string file = JoinPath(folder, "layout.s37");
    ASSERT_TRUE(WriteFileBytes(file, JoinLines(S37Lines(image, 0, 32), "\n")));
    int interrupted = 0;
    for (int unplugAfter = 3; unplugAfter < 24; ++unplugAfter)
    {
        SCxChipConfig config = MakeCxChipConfig(ECxBenchChip::Cx2070x);
        config.firmwareSizeCode = 0xFF;
        config.faults.unplugAfterRequests = unplugAfter;
        std::vector<std::uint8_t> left;
        {
            CCxBench bench;
            auto chip = bench.Plug(config);
            const SRun run = RunTool(bench, {"patch", file, "--write", "--verify", "--protect"});
            if (run.status == 0)
                break;
            left = chip->Eeprom();
        }
        if (left == std::vector<std::uint8_t>(0x2000, 0xFF))
            continue;
        ++interrupted;
        config.faults = SCxChipFaults();
        config.eepromContents = left;
        CCxBench bench;
        auto chip = bench.Plug(config);
        const SRun run = RunTool(bench, {"patch", file, "--write", "--verify", "--protect"});
        EXPECT_EQ(run.status, 0) << run.err;
        EXPECT_EQ(chip->Eeprom()[43], 0xFF) << "the application status byte of the blank part, after an unplug at "
                                            << unplugAfter;
    }
    EXPECT_GT(interrupted, 0) << "no unplug fell between the test byte and its restoring";
}

TEST(CxAudioTool, BytesWhereNoPartAnswersAreNoBytesItHolds)
{
    // A 64 KiB part whose board lets address bit 16 select a device that is
    // not there: from 0x10000 on, reads give 0xFF and writes are lost. A
    // 128 KiB image padded with 0xFF reads back as written there.
    std::vector<std::uint8_t> image(0x20000, 0xFF);
    for (std::size_t i = 2; i < 0x8000; ++i)
        image[i] = static_cast<std::uint8_t>(i * 5 + 1);
    image[0] = 0x4C;
    image[1] = 0x09; // 128 KiB
    for (std::size_t i = 1; i < image.size(); ++i)
        if (image[i] == 0x4C && ((i & 0x1F) == 1 || i == 32))
            image[i] = 0x4D;
    const std::string text = JoinLines(S37Lines(image, 0, 250), "\n");
    SCxChipConfig config = MakeCxChipConfig(ECxBenchChip::Cx2070x);
    config.eepromSize = 0x10000;
    config.faults.eepromHighBlockAbsent = true;
    config.firmwareSizeCode = 0xFF;
    // Blank, and with a header that names 128 KiB (the image written there before).
    for (const bool blank : {true, false})
    {
        if (!blank)
        {
            config.eepromContents = MakeCxEepromImage(0x10000, 0x09);
            config.firmwareSizeCode = 0x09;
        }
        const SRefusal r = RunOnChip(config, text, {"--write", "--verify"});
        EXPECT_EQ(r.run.status, CXHID_STATUS_PATCH_EEPROM_SIZE) << (blank ? "blank: " : "header: ") << r.run.err;
        EXPECT_NE(r.run.err.find("the EEPROM holds 65536 bytes"), std::string::npos) << r.run.err;
        EXPECT_TRUE(r.unchanged);
    }
    // The write command's bytes likewise.
    CCxBench bench;
    auto chip = bench.Plug(config);
    const std::vector<std::uint8_t> before = chip->Eeprom();
    const SRun run = RunTool(bench, {"write", "0", "0x1FFF0", "FFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFF"});
    EXPECT_EQ(run.status, CXHID_STATUS_PATCH_EEPROM_SIZE) << run.err;
    EXPECT_TRUE(chip->Eeprom() == before);
}
