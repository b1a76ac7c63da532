// The soak: many upgrades of the bench program in a row, each with a
// scenario and a fault drawn from a seed, each checked for the outcome it
// must have:
//   - the exit code that scenario and fault must give;
//   - the run ended within its bound (otherwise it counts as a hang);
//   - a failed run left its log, a run that did not fail left none;
//   - after a successful upgrade the headset holds the embedded image's
//     firmware (without its DFU suffix) byte for byte, and after any other
//     run it holds nothing new.
// By default every run is a process of its own (the bench program beside this
// one); --in-process runs the bench program's body in this process instead
// and checks that open handles and threads do not grow over the runs.
//
// Last line: "runs N, mismatches M, hangs H, max-rss KB, fds-leaked F".
// Exit status 0 only when M, H and F are all 0.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <regex>
#include <string>
#include <vector>

#include "bench/program/BenchProgram.h"
#include "bench/soak/AvneraCampaign.h"
#include "bench/soak/SoakRandom.h"
#include "dfu/DfuFile.h"
#include "platform/Clock.h"
#include "platform/ProcessStats.h"
#include "platform/ResourceImage.h"
#include "platform/System.h"

namespace fs = std::filesystem;

namespace
{
constexpr std::uint32_t kUpgradeFailed = 0x80000007u;
constexpr std::uint32_t kNoDevice = 0x80000001u;
// The longest any run may take, in simulated time: the slowest legitimate run
// (a slow driver tool, then every settle pause of the upgrader) is well
// under three minutes, the engine's longest bounded wait is two.
constexpr std::uint32_t kRunBoundMs = 10u * 60u * 1000u;
constexpr std::uint32_t kBlockSize = 1024; // the simulated DFU device's wTransferSize

struct SOptions
{
    std::string family = "tavik";
    int runs = 300;
    bool runsGiven = false;
    int processEvery = 10;
    std::uint32_t seed = 1;
    double timeScale = 0.01;
    bool inProcess = false;
    bool verbose = false;
    std::string bench;
    std::string work;
};

using CRandom = CSoakRandom;

struct SCase
{
    std::string label;
    std::vector<std::string> args; // bench options and switches
    std::uint32_t expectedCode = 0; // the program's 32-bit code
    bool holdsImage = false;        // the headset must hold the embedded image afterwards
};

// Draws one run. blocks: data blocks of the embedded image.
SCase Draw(CRandom& random, std::uint32_t blocks)
{
    SCase c;
    auto scenario = [&c](const char* name) {
        c.args = {"--scenario", name};
        c.label = name;
    };
    auto fault = [&c](const std::string& f) {
        c.args.push_back("--fault");
        c.args.push_back(f);
        c.label += " + " + f;
    };
    switch (random.Below(16))
    {
    case 0: scenario("normal"); c.holdsImage = true; break;
    case 1: scenario("same"); c.expectedCode = 1; break;
    case 2: scenario("newer"); c.expectedCode = 2; break;
    case 3: scenario("dfu-mode"); c.holdsImage = true; break;
    case 4: scenario("no-device"); c.expectedCode = kNoDevice; break;
    case 5: scenario("no-driver"); c.holdsImage = true; break;
    case 6: scenario("driver-fails"); c.expectedCode = kUpgradeFailed; break;
    case 7: scenario("download-error"); c.expectedCode = kUpgradeFailed; break;
    case 8: scenario("unplug"); c.expectedCode = kUpgradeFailed; break;
    case 9:
        // Pulled out for good at some moment of the upgrade.
        scenario(random.Below(2) ? "normal" : "no-driver");
        switch (random.Below(4))
        {
        case 0: fault("unplug-before-dfu"); break;
        case 1: fault("unplug-reenumerating"); break;
        case 2: fault("unplug-at-block=" + std::to_string(random.Below(blocks))); break;
        default:
            // After the last block a device that is not manifestation
            // tolerant may leave the bus and restart as its application,
            // which a DFU host cannot see: the host cannot tell this device
            // from one that restarted, so the run ends as a success (and the
            // upgrader asks for the power cycle), with nothing new in flash.
            fault("unplug-manifesting");
            break;
        }
        if (c.label.find("unplug-manifesting") == std::string::npos)
            c.expectedCode = kUpgradeFailed;
        break;
    case 10:
    case 11:
        scenario(random.Below(2) ? "normal" : "dfu-mode");
        fault("dfu-error-at-block=" + std::to_string(random.Below(blocks)));
        c.expectedCode = kUpgradeFailed;
        break;
    case 12:
        scenario("no-driver");
        fault("slow-driver=" + std::to_string(random.Between(1000, 60000)));
        c.holdsImage = true;
        break;
    case 13:
        scenario("driver-fails");
        fault("slow-driver=" + std::to_string(random.Between(1000, 60000)));
        c.expectedCode = kUpgradeFailed;
        break;
    default:
        // Slower than usual, up to all of the upgrader's settle pause of
        // 5,000 ms: the headset is back when its re-enumeration ends, and the
        // upgrader takes one last look when its wait is over.
        scenario(random.Below(2) ? "normal" : "no-driver");
        fault("slow-reenumeration=" + std::to_string(random.Between(1500, 5000)));
        c.holdsImage = true;
        break;
    }
    c.args.push_back("/S");
    c.args.push_back("/Usoak"); // a production line: copies need not exclude each other
    return c;
}

std::string ReadFile(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

bool HasLog(const std::string& folder)
{
    static const std::regex name(R"(Upgrade-\d{8}-\d{6}\.log)");
    std::error_code ec;
    for (const auto& entry : fs::directory_iterator(folder, ec))
    {
        if (std::regex_match(entry.path().filename().string(), name))
            return true;
    }
    return false;
}

std::uint64_t PeakFromOutput(const std::string& output)
{
    const std::string key = "bench: peak memory ";
    const std::size_t at = output.rfind(key);
    return at == std::string::npos ? 0 : std::strtoull(output.c_str() + at + key.size(), nullptr, 10);
}

bool ParseOptions(int argc, char** argv, SOptions& o)
{
    for (int i = 1; i < argc; ++i)
    {
        const std::string arg = argv[i];
        const bool hasValue = i + 1 < argc;
        if (arg == "--runs" && hasValue)
        {
            o.runs = std::atoi(argv[++i]);
            o.runsGiven = true;
        }
        else if (arg == "--family" && hasValue)
            o.family = argv[++i];
        else if (arg == "--process-every" && hasValue)
            o.processEvery = std::atoi(argv[++i]);
        else if (arg == "--seed" && hasValue)
            o.seed = static_cast<std::uint32_t>(std::strtoul(argv[++i], nullptr, 10));
        else if (arg == "--time-scale" && hasValue)
            o.timeScale = std::strtod(argv[++i], nullptr);
        else if (arg == "--bench" && hasValue)
            o.bench = argv[++i];
        else if (arg == "--work" && hasValue)
            o.work = argv[++i];
        else if (arg == "--in-process")
            o.inProcess = true;
        else if (arg == "--verbose")
            o.verbose = true;
        else
        {
            std::fprintf(stderr,
                         "usage: bench-soak [--family F] [--runs N] [--seed S] [--time-scale X] [--in-process]\n"
                         "                  [--process-every K] [--verbose] [--bench PATH] [--work DIR]\n"
                         "  --family F      tavik (default), or the campaign of av7300, av7201, av6201, av6302\n"
                         "  --runs N        upgrades to run (default 300; a campaign 1000)\n"
                         "  --process-every K  a campaign: every K-th run through the bench program executable,\n"
                         "                  the others in this process (default 10; --in-process: none)\n"
                         "  --seed S        draws the scenarios and faults (default 1)\n"
                         "  --time-scale X  real seconds per simulated second (default 0.01)\n"
                         "  --in-process    run the bench program's body in this process and check that\n"
                         "                  handles and threads do not grow\n"
                         "  --bench PATH    the bench program (default: the one beside this program)\n"
                         "  --work DIR      where the runs keep their files (default: soak-work)\n");
            return false;
        }
    }
    if (o.family != "tavik" && !IsAvneraCampaignFamily(o.family))
    {
        std::fprintf(stderr, "bench-soak: unknown family %s\n", o.family.c_str());
        return false;
    }
    return o.runs > 0 && o.timeScale > 0.0;
}

} // namespace

int main(int argc, char** argv)
{
    SOptions o;
    if (!ParseOptions(argc, argv, o))
        return 2;
    CClock::SetTimeScale(o.timeScale);
    if (o.bench.empty())
    {
#ifdef _WIN32
        o.bench = GetProgramDirectory() + PathSeparator() + "OrvoHIDFlash-bench.exe";
#else
        o.bench = GetProgramDirectory() + PathSeparator() + "orvohidflash-bench";
#endif
    }
    if (o.work.empty())
        o.work = GetWorkingDirectory() + PathSeparator() + "soak-work";
    if (o.family != "tavik")
    {
        SAvneraCampaignOptions campaign;
        campaign.family = o.family;
        campaign.runs = o.runsGiven ? o.runs : 1000;
        campaign.seed = o.seed;
        campaign.timeScale = o.timeScale;
        campaign.processEvery = o.inProcess ? 0 : o.processEvery;
        campaign.verbose = o.verbose;
        campaign.bench = o.bench;
        campaign.work = o.work;
        return RunAvneraCampaign(campaign);
    }
    std::error_code ec;
    fs::remove_all(o.work, ec);
    fs::create_directories(o.work, ec);

    SResourceData resource;
    std::uint32_t resourceError = 0;
    if (GetPlatformResourceProvider().FindRcData("BC_05_USB_RCDATA", &resource, &resourceError) !=
            EResourceResult::Found ||
        resource.size == 0)
    {
        std::printf("bench-soak: the embedded firmware image is missing\n");
        return 2;
    }
    // What a headset holds after an upgrade: the firmware without its DFU
    // suffix, which is the host's.
    std::size_t payloadSize = 0;
    SDfuSuffix suffix;
    if (ParseDfuFile(resource.data, resource.size, &suffix, &payloadSize) != EDfuFileResult::Ok || payloadSize == 0)
    {
        std::printf("bench-soak: the embedded firmware image is no valid DFU file\n");
        return 2;
    }
    const std::string image(reinterpret_cast<const char*>(resource.data), payloadSize);
    const std::uint32_t blocks = static_cast<std::uint32_t>((payloadSize + kBlockSize - 1) / kBlockSize);

    CRandom random(o.seed);
    int mismatches = 0;
    int hangs = 0;
    std::uint64_t maxRss = 0;
    SProcessStats before;
    const bool statsBefore = GetProcessStats(&before);
    SProcessStats afterFirst;

    for (int run = 0; run < o.runs; ++run)
    {
        const SCase c = Draw(random, blocks);
        const std::string folder = o.work + PathSeparator() + "run-" + std::to_string(run);
        fs::create_directories(folder, ec);
        const std::string firmwarePath = folder + PathSeparator() + "firmware.bin";
        const std::string outputPath = folder + PathSeparator() + "output.txt";
        std::vector<std::string> args = {"--time-scale", std::to_string(o.timeScale), "--firmware-out", firmwarePath,
                                         "--appdata", folder + PathSeparator() + "appdata"};
        args.insert(args.end(), c.args.begin(), c.args.end());

        std::uint32_t status = 0xFFFFFFFFu;
        bool ended = true;
        const std::uint64_t startMs = CClock::NowMs();
        if (o.inProcess)
        {
            status = RunBenchProgramIn(args, folder);
            ended = CClock::NowMs() - startMs <= kRunBoundMs;
        }
        else
        {
            std::vector<std::string> argv = {o.bench};
            argv.insert(argv.end(), args.begin(), args.end());
            ended = RunProcessAndWait(argv, kRunBoundMs, &status, folder, outputPath);
        }
        const std::string output = ReadFile(outputPath);
        maxRss = std::max(maxRss, PeakFromOutput(output));

        std::vector<std::string> problems;
        const auto expected = static_cast<std::uint32_t>(ToProcessExitStatus(static_cast<std::int32_t>(c.expectedCode)));
        if (!ended)
        {
            ++hangs;
            problems.push_back("did not end within its bound");
        }
        else
        {
            if (status != expected)
                problems.push_back("exit status " + std::to_string(status) + ", expected " + std::to_string(expected));
            const bool failed = static_cast<std::int32_t>(c.expectedCode) < 0;
            if (HasLog(folder) != failed)
                problems.push_back(failed ? "no log left by a failed run" : "a log left by a run that did not fail");
            const std::string firmware = ReadFile(firmwarePath);
            if (c.holdsImage && firmware != image)
                problems.push_back("the headset holds " + std::to_string(firmware.size()) + " bytes, not the " +
                                   std::to_string(image.size()) + "-byte firmware of the image");
            if (!c.holdsImage && !firmware.empty())
                problems.push_back("the headset holds firmware after a run that wrote none");
        }
        if (!problems.empty())
        {
            if (ended)
                ++mismatches;
            std::printf("run %d (%s):", run, c.label.c_str());
            for (const std::string& p : problems)
                std::printf(" %s;", p.c_str());
            std::printf(" see %s\n", folder.c_str());
        }
        else
        {
            if (o.verbose)
                std::printf("run %d (%s): ok\n", run, c.label.c_str());
            fs::remove_all(folder, ec);
        }
        if (run == 0)
            GetProcessStats(&afterFirst); // what the first run set up once (log lock, bench statics) stays
        std::fflush(stdout);
    }

    int leaked = 0;
    SProcessStats after;
    if (statsBefore && GetProcessStats(&after))
    {
        // Out of process the soak itself must not keep a handle per child; in
        // process, neither may the program's body.
        const SProcessStats& base = o.inProcess && o.runs > 1 ? afterFirst : before;
        leaked = std::max(0, after.openHandles - base.openHandles);
        if (after.threads > base.threads)
        {
            std::printf("threads grew from %d to %d\n", base.threads, after.threads);
            ++mismatches;
        }
        if (o.inProcess)
            maxRss = after.peakResidentKiB;
    }
    std::printf("runs %d, mismatches %d, hangs %d, max-rss %llu, fds-leaked %d\n", o.runs, mismatches, hangs,
                static_cast<unsigned long long>(maxRss), leaked);
    return mismatches == 0 && hangs == 0 && leaked == 0 ? 0 : 1;
}
