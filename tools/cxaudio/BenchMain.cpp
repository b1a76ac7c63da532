// cxaudio-bench: the Conexant tool on a simulated chip.
//
//   cxaudio-bench --bench CHIP [--bench-state DIR] [--bench-eeprom valid|blank|absent] ARGS...
//
// CHIP is cx20562, cx2070x, cx2077x, cx2076x, cx20805 or cx1410 (a CX2070x
// sold as 0572:1410). With --bench-state the chip's memories are loaded
// from DIR when it holds them and saved there after the run, so one run can
// write what the next reads. The bench runs its waits a thousand times
// faster (ORVO_TIME_SCALE overrides).
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

int main(int argc, char** argv)
{
    const char* scale = std::getenv("ORVO_TIME_SCALE");
    CClock::SetTimeScale(scale != nullptr ? std::strtod(scale, nullptr) : 0.001);

    std::string chipName;
    std::string stateDir;
    std::string eeprom = "valid";
    std::vector<std::string> args;
    for (int i = 1; i < argc; ++i)
    {
        const std::string a = argv[i];
        if ((a == "--bench" || a == "--bench-state" || a == "--bench-eeprom") && i + 1 < argc)
        {
            (a == "--bench" ? chipName : a == "--bench-state" ? stateDir : eeprom) = argv[++i];
            continue;
        }
        args.push_back(a);
    }
    ECxBenchChip chip = ECxBenchChip::Cx2070x;
    if (chipName.empty() || !ParseCxBenchChip(chipName, chip) ||
        (eeprom != "valid" && eeprom != "blank" && eeprom != "absent"))
    {
        std::fprintf(stderr,
                     "cxaudio-bench: --bench CHIP is needed (cx20562, cx2070x, cx2077x, cx2076x, cx20805, cx1410); "
                     "--bench-eeprom takes valid, blank or absent\n");
        PrintCxAudioUsage(stderr, "cxaudio-bench");
        return 11;
    }

    SCxChipConfig config = MakeCxChipConfig(chip);
    if (eeprom == "absent")
        config.eepromSize = 0;
    else if (eeprom == "valid")
        config.eepromContents = MakeCxEepromImage(config.eepromSize, 0x05);
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
