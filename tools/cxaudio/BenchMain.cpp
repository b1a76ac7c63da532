// cxaudio-bench: the Conexant tool on a simulated chip.
//
//   cxaudio-bench --bench CHIP [--bench-state DIR] [--bench-eeprom valid|blank|absent]
//                 [--bench-eeprom-size BYTES] [--bench-fault NAME=VALUE ...] ARGS...
//
// CHIP is cx20562, cx2070x, cx2077x, cx2076x, cx20805 or cx1410 (a CX2070x
// sold as 0572:1410). With --bench-state the chip's memories are loaded
// from DIR when it holds them and saved there after the run, so one run can
// write what the next reads. --bench-eeprom-size gives the part's size (0:
// none). Faults (see SCxChipFaults): drop-replies=COUNT[@AFTER],
// late-replies=COUNT[@AFTER][/MS], timeout-writes=N[@AFTER],
// timed-out-writes-arrive, fail-writes=N[@AFTER], unplug-after=REQUESTS,
// stuck=ADDRESS[/BITS], stray=N, and-wise, write-protect, high-block-absent.
// The bench runs its waits a thousand times faster (ORVO_TIME_SCALE
// overrides).
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "bench/conexant/CxChipModel.h"
#include "bench/usb/BenchUsbWorld.h"
#include "platform/Clock.h"
#include "platform/System.h"
#include "platform/Terminal.h"
#include "tools/cxaudio/CxAudioTool.h"

namespace
{
bool Number(const std::string& text, long long low, long long high, long long& value)
{
    if (text.empty())
        return false;
    char* end = nullptr;
    const long long v = std::strtoll(text.c_str(), &end, 0);
    if (end == nullptr || *end != '\0' || v < low || v > high)
        return false;
    value = v;
    return true;
}

// "COUNT[@AFTER][/EXTRA]"
bool CountSpec(const std::string& text, int& count, int* after, std::uint32_t* extra)
{
    std::string rest = text;
    long long v = 0;
    const std::size_t slash = rest.find('/');
    if (slash != std::string::npos)
    {
        if (extra == nullptr || !Number(rest.substr(slash + 1), 0, 0xFFFFFFFF, v))
            return false;
        *extra = static_cast<std::uint32_t>(v);
        rest = rest.substr(0, slash);
    }
    const std::size_t at = rest.find('@');
    if (at != std::string::npos)
    {
        if (after == nullptr || !Number(rest.substr(at + 1), 0, 0x7FFFFFFF, v))
            return false;
        *after = static_cast<int>(v);
        rest = rest.substr(0, at);
    }
    if (!Number(rest, -1, 0x7FFFFFFF, v))
        return false;
    count = static_cast<int>(v);
    return true;
}

bool ParseFault(const std::string& spec, SCxChipFaults& faults)
{
    const std::size_t eq = spec.find('=');
    const std::string name = spec.substr(0, eq);
    const std::string value = eq == std::string::npos ? std::string() : spec.substr(eq + 1);
    long long v = 0;
    if (name == "drop-replies")
        return CountSpec(value, faults.dropReplies, &faults.dropRepliesAfter, nullptr);
    if (name == "late-replies")
        return CountSpec(value, faults.lateReplies, &faults.lateRepliesAfter, &faults.lateReplyMs);
    if (name == "timeout-writes")
        return CountSpec(value, faults.timeoutWrites, &faults.timeoutWritesAfter, nullptr);
    if (name == "fail-writes")
        return CountSpec(value, faults.failWrites, &faults.failWritesAfter, nullptr);
    if (name == "timed-out-writes-arrive" && value.empty())
    {
        faults.timedOutWritesArrive = true;
        return true;
    }
    if (name == "write-protect" && value.empty())
    {
        faults.eepromWriteProtected = true;
        return true;
    }
    if (name == "high-block-absent" && value.empty())
    {
        faults.eepromHighBlockAbsent = true;
        return true;
    }
    if (name == "unplug-after")
        return CountSpec(value, faults.unplugAfterRequests, nullptr, nullptr);
    if (name == "stray")
    {
        if (!Number(value, 0, 1000, v))
            return false;
        faults.strayReportsBeforeReply = static_cast<std::uint32_t>(v);
        return true;
    }
    if (name == "stuck")
    {
        std::uint32_t bits = 0x01;
        int address = 0;
        if (!CountSpec(value, address, nullptr, &bits) || bits > 0xFF)
            return false;
        faults.stuckEepromAddress = address;
        faults.stuckBits = static_cast<std::uint8_t>(bits);
        return true;
    }
    if (name == "and-wise" && value.empty())
    {
        faults.eepromAndWise = true;
        return true;
    }
    return false;
}
} // namespace

int main(int argc, char** argv)
{
    const char* scale = std::getenv("ORVO_TIME_SCALE");
    CClock::SetTimeScale(scale != nullptr ? std::strtod(scale, nullptr) : 0.001);

    std::string chipName;
    std::string stateDir;
    std::string eeprom = "valid";
    long long eepromSize = -1;
    SCxChipFaults faults;
    std::string error;
    std::vector<std::string> args;
    for (int i = 1; i < argc; ++i)
    {
        const std::string a = argv[i];
        if ((a == "--bench" || a == "--bench-state" || a == "--bench-eeprom") && i + 1 < argc)
        {
            (a == "--bench" ? chipName : a == "--bench-state" ? stateDir : eeprom) = argv[++i];
            continue;
        }
        if (a == "--bench-eeprom-size" && i + 1 < argc)
        {
            if (!Number(argv[++i], 0, 0x20000, eepromSize))
                error = "--bench-eeprom-size takes 0 ... 131072";
            continue;
        }
        if (a == "--bench-fault" && i + 1 < argc)
        {
            if (!ParseFault(argv[++i], faults))
                error = std::string("unknown fault ") + argv[i];
            continue;
        }
        args.push_back(a);
    }
    ECxBenchChip chip = ECxBenchChip::Cx2070x;
    if (!error.empty() || chipName.empty() || !ParseCxBenchChip(chipName, chip) ||
        (eeprom != "valid" && eeprom != "blank" && eeprom != "absent"))
    {
        std::fprintf(stderr,
                     "cxaudio-bench: %s--bench CHIP is needed (cx20562, cx2070x, cx2077x, cx2076x, cx20805, cx1410); "
                     "--bench-eeprom takes valid, blank or absent\n",
                     error.empty() ? "" : (error + "; ").c_str());
        PrintCxAudioUsage(stderr, "cxaudio-bench");
        return 11;
    }

    SCxChipConfig config = MakeCxChipConfig(chip);
    if (eepromSize >= 0)
        config.eepromSize = static_cast<std::uint32_t>(eepromSize);
    if (eeprom == "absent")
        config.eepromSize = 0;
    else if (eeprom == "valid")
    {
        std::uint8_t code = 0; // the header names the part's size: 2^(code + 8)
        while (code < 9 && (256u << (code + 1)) <= config.eepromSize)
            ++code;
        config.eepromContents = MakeCxEepromImage(config.eepromSize, code);
    }
    config.faults = faults;
    auto model = std::make_shared<CCxChipModel>(config);
    if (!stateDir.empty())
    {
        CreateDirectories(stateDir);
        model->LoadState(stateDir); // a first run finds nothing to load
    }
    CBenchUsbWorld world;
    const BenchId hc = world.AddHostController(4);
    world.Plug(world.RootHub(hc), 1, model->Device(model));

    SCxToolIo io;
    io.programName = "cxaudio-bench";
    io.errIsTerminal = IsStandardErrorTerminal();
    const int status = RunCxAudioTool(args, world, io);
    if (!stateDir.empty() && !model->SaveState(stateDir))
        std::fprintf(stderr, "cxaudio-bench: cannot save the chip's memories in %s\n", stateDir.c_str());
    return status;
}
