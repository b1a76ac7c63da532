// The bench program: the application itself, with its switches, dialog, log
// and exit codes, wired to a simulated product instead of the USB hardware:
// the Tavik headset, or another family's product (BenchFamily.h). With
// --real-usb the same upgraders run on this machine's HID and USB instead
// (hidapi and libusb for the Tavik headset, the HID class for the Avnera
// families), for devices served to a real kernel over USB/IP or real
// products. Bench options come before the application's switches.
#include "bench/program/BenchProgram.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <memory>
#include <new>
#include <string>
#include <vector>

#include "app/FlashApp.h"
#include "app/FlashDlg.h"
#include "bench/program/BenchFamily.h"
#include "bench/program/RefusingDevices.h"
#include "bench/tavik/TavikHeadset.h"
#include "bench/tavik/TavikScenario.h"
#include "families/tavik/FirmwareUpgradeTavik.h"
#include "platform/Clock.h"
#include "platform/DfuTransport.h"
#include "platform/DialogView.h"
#include "platform/HidApi.h"
#include "platform/MessageBox.h"
#include "platform/ProcessStats.h"
#include "platform/System.h"

namespace
{
std::FILE* g_output = nullptr;

constexpr SFaultOption kFaults[] = {
    {"unplug-before-dfu", false, "the headset is pulled out as it takes the enter-DFU command, for good"},
    {"unplug-reenumerating", false, "the headset is pulled out while it re-enumerates into DFU mode, for good"},
    {"unplug-at-block", true, "=N: the DFU device (another family's product) is pulled out at data block (write) N, for good"},
    {"unplug-manifesting", false, "the DFU device is pulled out as manifestation starts, for good"},
    {"dfu-error-at-block", true, "=N: the DFU device enters dfuERROR after data block N"},
    {"slow-driver", true, "=MS: the driver tool takes MS (simulated) milliseconds"},
    {"slow-reenumeration", true, "=MS: each re-enumeration takes MS milliseconds (default 1500)"},
    {"no-access-hid", false, "the system refuses this user the headset's HID node (no udev rule, not in plugdev)"},
    {"no-access-dfu", false, "the system refuses this user the headset's USB DFU device"},
    {"other-dfu-device", false, "another vendor's device in DFU mode (0483:DF11) sits on the next port"},
    {"unplug-at-read", true, "=N: (av7300) the product is pulled out as it takes its N-th serial-memory read, for good"},
    {"unplug-at-erase", true, "=N: (av7300) the product is pulled out as it takes its N-th sector erase, for good"},
    {"late-answers", true, "=MS: (Avnera families) every answer of the product shows MS milliseconds late"},
    {"slow-erase", true, "=MS: (av7300, av6201) a sector erase takes MS milliseconds (av7300: per 4 KiB)"},
    {"stuck-cell", true, "=ADDR: (av7300, av7201) the memory cell at ADDR keeps the value it has, whatever comes"},
    {"write-cycle", true, "=MS: (av7201) the EEPROM is busy MS milliseconds after each write; commands stall"},
    {"any-parameter-block", false, "(av7300) the chip's firmware drives the memory with whatever parameter block it finds"},
};

struct SBenchOptions
{
    std::string family = "tavik";
    std::string imagePath;
    std::string deviceImagePath;
    int flashPart = -1;
    int chipRevision = -1;
    std::string scenario = "normal";
    double timeScale = 1.0;
    std::string firmwareOut;
    std::string appData;
    std::string instanceName;
    std::vector<std::pair<std::string, std::uint32_t>> faults;
    bool realUsb = false;      // --real-usb: this machine's HID and USB, no simulated world
    bool scenarioGiven = false;
    bool help = false;
    std::string error;
};

bool HasFault(const SBenchOptions& options, const char* name)
{
    for (const auto& fault : options.faults)
    {
        if (fault.first == name)
            return true;
    }
    return false;
}

void PrintHelp(std::FILE* out)
{
    std::fprintf(out,
                 "usage: orvohidflash-bench [--family NAME] [--scenario NAME] [--time-scale X] [--image PATH]\n"
                 "                          [--firmware-out PATH] [--device-image PATH] [--flash-part ROW]\n"
                 "                          [--chip-revision N] [--appdata DIR] [--fault NAME[=N]]\n"
                 "                          [--instance-name NAME] [--real-usb] [--help]\n"
                 "                          [program switches: /S /P /F /I<hex> /M<n> /V<text> /U<text>]\n\n"
                 "Runs the upgrade program against a simulated product.\n\n"
                 "  --family NAME        the product and its upgrader (default tavik):\n"
                 "      %-16s %s\n",
                 "tavik", "a Tavik headset (HID, then USB DFU)");
    for (const SBenchFamilyEntry& f : BenchFamilies())
        std::fprintf(out, "      %-16s %s\n", f.name, f.description);
    std::fprintf(out, "  --scenario NAME      the simulated situation (default normal; other families know\n"
                      "                       normal and no-device):\n");
    for (const STavikScenario& s : TavikScenarios())
        std::fprintf(out, "      %-16s %s\n", s.name, s.description);
    std::fprintf(out, "  --time-scale X       real seconds per simulated second (default 1; 0.01 runs 100 times faster)\n"
                      "  --image PATH         hands the dialog this raw image in place of the embedded one\n"
                      "  --firmware-out PATH  writes what the product's firmware memory holds at the end to PATH\n"
                      "  --device-image PATH  the flash or EEPROM contents the product starts with (not tavik)\n"
                      "  --flash-part ROW     the serial-memory part the product carries, a row of the part table\n"
                      "  --chip-revision N    the product's chip revision\n"
                      "  --appdata DIR        the folder that stands for the user's local application data\n"
                      "  --fault NAME[=N]     adds a fault to the scenario (may be given more than once):\n");
    PrintFaultOptions(out, kFaults);
    std::fprintf(out, "  --instance-name NAME single-instance lock of this run (default: the program's own)\n"
                      "  --real-usb           the family's upgrader on this machine's HID and USB (hidapi, hidraw\n"
                      "                       and libusb) instead of the simulated world: a device served to the\n"
                      "                       kernel over USB/IP, or a real product. It keeps --family, --image,\n"
                      "                       --time-scale (the device must keep the same time), --appdata and\n"
                      "                       --instance-name; it refuses --scenario, --fault, --device-image,\n"
                      "                       --flash-part, --chip-revision and --firmware-out, which belong to the\n"
                      "                       simulated world\n"
                      "  --help               this text\n\n"
                      "At the end the program prints how long the run took and how much of that the\n"
                      "upgrade had to wait (the pauses it makes and the device's own timing), and its\n"
                      "peak memory.\n\n"
                      "Firmware image: the bench always carries the synthetic test image 1.05.4 (its simulated\n"
                      "headset checks that format); this build's program carries the %s.\n",
                 ORVO_PRODUCT_FIRMWARE_IMAGE);
}

const SBenchFamilyEntry* FindFamily(const std::string& name)
{
    for (const SBenchFamilyEntry& f : BenchFamilies())
    {
        if (name == f.name)
            return &f;
    }
    return nullptr;
}

// The whole file; false when it cannot be read.
bool ReadWholeFile(const std::string& path, std::vector<std::uint8_t>* bytes)
{
    std::ifstream in(path, std::ios::binary);
    if (!in)
        return false;
    bytes->assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    return !in.bad();
}

// The dialog's firmware resource, taken from a file instead of the program.
class CImageFileResource : public IResourceProvider
{
public:
    explicit CImageFileResource(std::vector<std::uint8_t> image) : m_image(std::move(image)) {}
    EResourceResult FindRcData(const std::string& name, SResourceData* out, std::uint32_t* systemError) override
    {
        if (name != kFirmwareResourceName)
        {
            if (systemError != nullptr)
                *systemError = 1813; // the resource type was not found in the image file
            return EResourceResult::NotFound;
        }
        out->data = m_image.data();
        out->size = static_cast<std::uint32_t>(m_image.size());
        return EResourceResult::Found;
    }

private:
    std::vector<std::uint8_t> m_image;
};

// Takes the bench options off the front of the arguments.
int ParseBenchOptions(int argc, char** argv, SBenchOptions& options)
{
    int i = 1;
    for (; i < argc; ++i)
    {
        const std::string arg = argv[i];
        auto value = [&](const char* name) -> const char* {
            if (i + 1 >= argc)
            {
                options.error = std::string(name) + " needs a value";
                return nullptr;
            }
            return argv[++i];
        };
        if (arg == "--help" || arg == "-h")
            options.help = true;
        else if (arg == "--scenario")
        {
            const char* v = value("--scenario");
            if (v == nullptr)
                break;
            options.scenario = v;
            options.scenarioGiven = true;
        }
        else if (arg == "--real-usb")
            options.realUsb = true;
        else if (arg == "--time-scale")
        {
            const char* v = value("--time-scale");
            if (v == nullptr)
                break;
            char* end = nullptr;
            options.timeScale = std::strtod(v, &end);
            if (end == v || *end != '\0' || !(options.timeScale > 0.0))
                options.error = std::string("bad --time-scale: ") + v;
        }
        else if (arg == "--fault")
        {
            const char* v = value("--fault");
            if (v == nullptr || !ParseFaultOption(v, kFaults, options.faults, &options.error))
                break;
        }
        else if (arg == "--instance-name")
        {
            const char* v = value("--instance-name");
            if (v == nullptr)
                break;
            options.instanceName = v;
        }
        else if (arg == "--appdata")
        {
            const char* v = value("--appdata");
            if (v == nullptr)
                break;
            options.appData = v;
        }
        else if (arg == "--family")
        {
            const char* v = value("--family");
            if (v == nullptr)
                break;
            options.family = v;
        }
        else if (arg == "--image")
        {
            const char* v = value("--image");
            if (v == nullptr)
                break;
            options.imagePath = v;
        }
        else if (arg == "--device-image")
        {
            const char* v = value("--device-image");
            if (v == nullptr)
                break;
            options.deviceImagePath = v;
        }
        else if (arg == "--flash-part" || arg == "--chip-revision")
        {
            const char* v = value(arg == "--flash-part" ? "--flash-part" : "--chip-revision");
            if (v == nullptr)
                break;
            char* end = nullptr;
            const long number = std::strtol(v, &end, 10);
            if (end == v || *end != '\0' || number < 0 || number > 0xFFFF)
                options.error = "bad " + arg + ": " + v;
            else if (arg == "--flash-part")
                options.flashPart = static_cast<int>(number);
            else
                options.chipRevision = static_cast<int>(number);
        }
        else if (arg == "--firmware-out")
        {
            const char* v = value("--firmware-out");
            if (v == nullptr)
                break;
            options.firmwareOut = v;
        }
        else if (arg.rfind("--", 0) == 0)
            options.error = "unknown bench option " + arg;
        else
            break;
        if (!options.error.empty())
            break;
    }
    if (options.family == "tavik")
    {
        if (!IsTavikScenario(options.scenario) && options.error.empty())
            options.error = "unknown scenario " + options.scenario;
        if (options.error.empty() && (!options.deviceImagePath.empty() || options.flashPart >= 0 || options.chipRevision >= 0))
            options.error = "--device-image, --flash-part and --chip-revision do not apply to the tavik family";
    }
    else if (options.error.empty() && FindFamily(options.family) == nullptr)
        options.error = "unknown family " + options.family;
    // The options that set up or read the simulated world mean nothing to a
    // real device.
    if (options.realUsb && options.error.empty())
    {
        if (options.scenarioGiven)
            options.error = "--scenario sets up the simulated world; with --real-usb the devices are the ones plugged in";
        else if (!options.faults.empty())
            options.error = "--fault makes the simulated devices fail; with --real-usb a device fails as it does "
                            "(the USB/IP device server takes --fault)";
        else if (!options.deviceImagePath.empty() || options.flashPart >= 0 || options.chipRevision >= 0)
            options.error = "--device-image, --flash-part and --chip-revision set up a simulated product; with "
                            "--real-usb the product is the one plugged in";
        else if (!options.firmwareOut.empty())
            options.error = "--firmware-out reads the simulated product's memory; the bench cannot read a real "
                            "device's back (the USB/IP device server writes its own with --firmware-out)";
    }
    return i;
}

// What the simulated system tells a user it refuses: the rules are
// installed and udevd runs, but the user is not in the group.
SDeviceAccessFacts SimulatedAccessFacts(const std::vector<std::string>& rulesFileNames, const std::string&)
{
    SDeviceAccessFacts facts;
    facts.known = true;
    facts.user = "bench-user";
    facts.groupExists = true;
    facts.rulesPath = "/usr/lib/udev/rules.d/" + (rulesFileNames.empty() ? std::string() : rulesFileNames.front());
    facts.udevRunning = true;
    return facts;
}

std::uint32_t DriverToolMs(const SBenchOptions& options)
{
    std::uint32_t ms = 0;
    for (const auto& [name, number] : options.faults)
    {
        if (name == "slow-driver")
            ms = number;
    }
    return ms;
}
} // namespace

int RunBenchProgram(int argc, char** argv)
{
    std::FILE* out = g_output != nullptr ? g_output : stdout;
    SBenchOptions options;
    const int first = ParseBenchOptions(argc, argv, options);
    if (options.help)
    {
        PrintHelp(stdout);
        return 0;
    }
    std::vector<std::uint8_t> image;
    if (options.error.empty() && !options.imagePath.empty() && !ReadWholeFile(options.imagePath, &image))
        options.error = "cannot read the image " + options.imagePath;
    SBenchFamilySetup setup;
    setup.scenario = options.scenario;
    setup.faults = options.faults;
    setup.flashPart = options.flashPart;
    setup.chipRevision = options.chipRevision;
    if (options.error.empty() && !options.deviceImagePath.empty())
    {
        setup.haveDeviceImage = ReadWholeFile(options.deviceImagePath, &setup.deviceImage);
        if (!setup.haveDeviceImage)
            options.error = "cannot read the device image " + options.deviceImagePath;
    }
    if (!options.error.empty())
    {
        std::fprintf(stderr, "orvohidflash-bench: %s\n\n", options.error.c_str());
        PrintHelp(stderr);
        return 2;
    }
    CClock::SetTimeScale(options.timeScale);

    // The simulated world, or this machine's HID and USB.
    auto dfuBus = std::make_shared<CSimDfuBus>();
    std::unique_ptr<CTavikHeadset> headset;
    std::unique_ptr<IBenchFamily> family;
    CBenchHidApi hidApi;
    std::unique_ptr<IHidApi> systemHidApi;
    std::unique_ptr<CRefusingHidApi> refusingHidApi;
    std::shared_ptr<CSimDfuDevice> otherDfuDevice;
    const bool tavik = options.family == "tavik";
    if (!tavik)
    {
        std::string why;
        family = options.realUsb ? MakeRealUsbFamily(options.family, &why) : FindFamily(options.family)->make(setup, &why);
        if (!family)
        {
            std::fprintf(stderr, "orvohidflash-bench: %s\n\n", why.c_str());
            PrintHelp(stderr);
            return 2;
        }
    }
    else if (!options.realUsb && options.scenario != "no-device")
    {
        headset = std::make_unique<CTavikHeadset>(TavikHeadsetFor(options.scenario, options.faults), dfuBus);
        hidApi.AddFace(headset.get());
    }
    if (tavik && !options.realUsb && HasFault(options, "other-dfu-device"))
    {
        // Plugged in before the headset switches, so it is listed first.
        SSimDfuConfig other;
        other.location = "1-2";
        other.idVendor = 0x0483;
        other.idProduct = 0xDF11;
        otherDfuDevice = dfuBus->AddDevice(other);
    }
    if (options.realUsb)
        std::fprintf(out, "bench: family %s on this machine's HID and USB (--real-usb), time scale %g\n",
                     options.family.c_str(), options.timeScale);
    else
        std::fprintf(out, "bench: family %s, scenario %s, time scale %g\n", options.family.c_str(),
                     options.scenario.c_str(), options.timeScale);
    std::fflush(out);

    STavikEnvironment env = STavikEnvironment::ForSystem();
    if (options.realUsb)
    {
        // The product's own ports; the driver tool and the replug prompt are
        // the real ones too (pellory beside this program).
        systemHidApi = CreateHidApiLibrary();
        env.hidApi = systemHidApi.get();
        env.dfuFactory = CreateLibusbDfuTransportFactory();
    }
    else
    {
        env.hidApi = &hidApi;
        env.dfuFactory = dfuBus;
        if (HasFault(options, "no-access-hid"))
        {
            refusingHidApi = std::make_unique<CRefusingHidApi>(hidApi);
            env.hidApi = refusingHidApi.get();
        }
        if (HasFault(options, "no-access-dfu"))
            env.dfuFactory = std::make_shared<CRefusingDfuFactory>(dfuBus, "/dev/bus/usb/001/009");
        if (HasFault(options, "no-access-hid") || HasFault(options, "no-access-dfu"))
            env.accessFacts = SimulatedAccessFacts;
    }
    if (!options.appData.empty())
    {
        const std::string folder = options.appData;
        env.localAppDataFolder = [folder](std::wstring* out) -> HResult {
            if (!CreateDirectories(folder))
                return HR_FAIL;
            *out = NarrowToWidePath(folder);
            return HR_OK;
        };
    }
    CTavikHeadset* device = headset.get();
    const bool toolFails = options.scenario == "driver-fails";
    const std::uint32_t toolMs = DriverToolMs(options);
    if (!options.realUsb)
    {
        env.startDriverTool = [out, device, toolFails, toolMs](const std::string&, const std::string& commandLine,
                                                          std::uint32_t* exitCode, std::uint32_t*) {
            std::fprintf(out, "bench: driver tool started: %s\n", commandLine.c_str());
            if (toolMs != 0)
                CClock::Sleep(toolMs); // the tool's own time, which the upgrade has to wait for
            if (!toolFails && device != nullptr)
                device->InstallDriver();
            *exitCode = toolFails ? 1u : 0u;
            std::fprintf(out, "bench: driver tool exit code %u\n", *exitCode);
            std::fflush(out);
            return true;
        };
        env.messageBox = [out, device](const char* text, std::uint32_t style) {
            std::fprintf(out, "bench: message box: %s\n", text);
            std::fprintf(out, "bench: unplugging and plugging in the headset, then OK\n");
            std::fflush(out);
            if (device != nullptr)
                device->Replug();
            (void)style;
            return 1;
        };
    }
    if (tavik)
        CFirmwareUpgrade::SetConstructor([&env] { return new (std::nothrow) CFirmwareUpgradeTavik(env); });
    else
        CFirmwareUpgrade::SetConstructor([&family] { return family->NewUpgrader(); });
    std::unique_ptr<CImageFileResource> imageResource;
    if (!options.imagePath.empty())
        imageResource = std::make_unique<CImageFileResource>(std::move(image));

    // The application, with the switches that follow the bench options.
    std::vector<char*> appArgs = {argv[0]};
    for (int i = first; i < argc; ++i)
        appArgs.push_back(argv[i]);
    appArgs.push_back(nullptr);
    std::int32_t code = 0;
    const std::uint64_t startMs = CClock::NowMs();
    const std::uint64_t sleptBeforeMs = CClock::SleptMs();
    {
        CFlashApp app;
        app.SetCommandLine(static_cast<int>(appArgs.size()) - 1, appArgs.data());
        if (!options.instanceName.empty())
            app.SetSingleInstanceName(options.instanceName);
        IResourceProvider* resources = imageResource.get();
        app.SetDialogFactory([resources] {
            auto dialog = std::make_unique<CFlashDlg>(CreatePlatformDialogView());
            if (resources != nullptr)
                dialog->SetResourceProvider(resources);
            return dialog;
        });
        app.InitInstance();
        code = app.ExitInstance();
    }
    CFirmwareUpgrade::SetConstructor(nullptr);
    const std::uint64_t wallMs = CClock::NowMs() - startMs;
    const std::uint64_t requiredMs = CClock::SleptMs() - sleptBeforeMs;

    if (!options.firmwareOut.empty())
    {
        std::vector<std::uint8_t> firmware;
        if (family)
            firmware = family->Memory();
        else if (headset)
            firmware = headset->Firmware();
        std::ofstream file(options.firmwareOut, std::ios::binary | std::ios::trunc);
        file.write(reinterpret_cast<const char*>(firmware.data()), static_cast<std::streamsize>(firmware.size()));
        file.close();
        if (!file)
        {
            std::fprintf(stderr, "orvohidflash-bench: cannot write %s\n", options.firmwareOut.c_str());
            return 2;
        }
        std::fprintf(out, "bench: %zu firmware bytes written to %s\n", firmware.size(), options.firmwareOut.c_str());
    }
    if (headset)
        std::fprintf(out, "bench: the headset runs %s\n", headset->Version().c_str());
    if (otherDfuDevice)
        std::fprintf(out, "bench: the other vendor's DFU device (0483:DF11 on port 1-2) took %d blocks, %d detaches\n",
                     otherDfuDevice->BlocksReceived(), otherDfuDevice->DetachCount());
    if (tavik && options.realUsb)
        std::fprintf(out, "bench: the tavik upgrader ran on this machine's HID and USB devices\n");
    if (family)
        std::fprintf(out, "bench: %s\n", family->Summary().c_str());
    // Every pause of the upgrade, the device's poll time-outs and transfer
    // time and the waits for re-enumeration are sleeps through the clock, so
    // their sum is what the run had to take; the rest is overhead.
    std::fprintf(out, "bench: run took %llu ms, waits it had to make %llu ms\n",
                 static_cast<unsigned long long>(wallMs), static_cast<unsigned long long>(requiredMs));
    SProcessStats stats;
    if (GetProcessStats(&stats))
        std::fprintf(out, "bench: peak memory %llu KiB\n", static_cast<unsigned long long>(stats.peakResidentKiB));
    std::fprintf(out, "bench: exit code 0x%08X\n", static_cast<unsigned>(code));
    std::fflush(out);
    return ToProcessExitStatus(code);
}

void SetBenchProgramOutput(std::FILE* output)
{
    g_output = output;
}

std::uint32_t RunBenchProgramIn(const std::vector<std::string>& args, const std::string& folder, std::FILE* output)
{
    std::vector<std::string> owned = {"orvohidflash-bench"};
    owned.insert(owned.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (std::string& a : owned)
        argv.push_back(a.data());
    argv.push_back(nullptr);
    const std::string before = GetWorkingDirectory();
    SetWorkingDirectory(folder);
    SetBenchProgramOutput(output);
    const int status = RunBenchProgram(static_cast<int>(owned.size()), argv.data());
    SetBenchProgramOutput(nullptr);
    SetWorkingDirectory(before);
    return static_cast<std::uint32_t>(status);
}
