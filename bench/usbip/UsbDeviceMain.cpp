// orvo-usb-device: serves the bench's device models at the USB wire level
// over USB/IP to the kernel's vhci-hcd, so that a real Linux USB stack
// (usbcore, usbhid, hidraw, usbfs) meets them. Runs until SIGTERM or SIGINT;
// SIGUSR1 unplugs the product and plugs it in again (a user's replug). See
// --help and README.md.
#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <iterator>
#include <memory>
#include <poll.h>
#include <time.h>
#include <string>
#include <vector>

#include "bench/avnera/AvneraHidModel.h"
#include "bench/bluecore/BlueCoreHidModel.h"
#include "bench/conexant/CxChipModel.h"
#include "bench/program/BenchFamily.h"
#include "bench/tavik/TavikHeadset.h"
#include "bench/tavik/TavikScenario.h"
#include "bench/usbip/UsbDeviceServer.h"
#include "bench/usbip/UsbIpConnection.h"
#include "bench/usbip/VhciPort.h"
#include "platform/Clock.h"

namespace
{
volatile std::sig_atomic_t g_stop = 0;
volatile std::sig_atomic_t g_replug = 0;

void OnStop(int)
{
    g_stop = 1;
}

void OnReplug(int)
{
    g_replug = 1;
}

constexpr SFaultOption kFaults[] = {
    {"unplug-before-dfu", false, "the headset is pulled out as it takes the enter-DFU command, for good"},
    {"unplug-reenumerating", false, "the headset is pulled out while it re-enumerates into DFU mode, for good"},
    {"unplug-at-block", true, "=N: the DFU device is pulled out at data block N (the socket closes mid-transfer)"},
    {"unplug-manifesting", false, "the DFU device is pulled out as manifestation starts, for good"},
    {"dfu-error-at-block", true, "=N: the DFU device enters dfuERROR after data block N"},
    {"dfu-stall-at-block", true, "=N: the DFU device stalls the DNLOAD of block N (once) and enters dfuERROR"},
    {"no-answer-at-block", true, "=N: the DFU device never answers the DNLOAD of its Nth block"},
    {"hid-stall", true, "=N: the headset stalls its Nth HID request (report or output transfer)"},
    {"unplug-at-request", true,
     "=N: a Conexant chip, the BlueCore bridge or an Avnera chip is pulled out as it takes its Nth HID\n"
     "                             request (report or output transfer): the socket closes, for good"},
    {"slow-reenumeration", true, "=MS: each re-enumeration takes MS milliseconds (default 1500)"},
    {"manifest-leaves-bus", false, "the DFU device is not manifestation tolerant and leaves the bus as manifestation starts"},
    {"second-dfu-device", false,
     "a DFU-mode device of another vendor (1209:2003) is plugged into the port before the headset's (the next one\n"
     "                             on port 0) as the headset comes up in DFU mode"},
};

struct SOptions
{
    std::string family = "tavik";
    std::string scenario = "normal";
    std::vector<std::pair<std::string, std::uint32_t>> faults;
    std::string firmwareOut;
    std::string deviceImagePath;
    int flashPart = -1;
    int chipRevision = -1;
    int port = 0;
    double timeScale = 1.0;
    bool help = false;
    std::string error;
};

void PrintHelp(std::FILE* out)
{
    std::fprintf(out,
                 "usage: orvo-usb-device [--family NAME] [--scenario NAME] [--fault NAME[=N]]... [--port N]\n"
                 "                       [--firmware-out PATH] [--device-image PATH] [--flash-part ROW]\n"
                 "                       [--chip-revision N] [--time-scale X] [--help]\n\n"
                 "Attaches a simulated product to the kernel's USB/IP host controller (vhci-hcd; root,\n"
                 "module vhci-hcd loaded) and serves it until SIGTERM or SIGINT. SIGUSR1 unplugs it\n"
                 "and plugs it in again.\n\n"
                 "  --family NAME        tavik (the Tavik headset: HID 2C6D:3240, then DFU 0A12:0001);\n"
                 "                       dfu (a lone DFU-mode device 1209:2003 that takes any image: 4 KiB\n"
                 "                       blocks, 2 ms poll time-outs, 1 ms per KiB on the bus);\n"
                 "                       the bench program's families (av7300, av7201, av6201, av6302: their\n"
                 "                       scenarios, faults and memory options as there);\n"
                 "                       a Conexant chip (cx20562, cx2070x, cx2077x, cx2076x, cx20805, cx1410;\n"
                 "                       --device-image: its EEPROM); bluecore (the BlueCore chip behind its\n"
                 "                       HID bridge); avnera-generic, avnera-vendor (an Avnera chip on its\n"
                 "                       generic-HID face 2C6D:7300 or its vendor-HID face 170D:FE00, for the\n"
                 "                       host interface)\n"
                 "  --scenario NAME      normal, same, newer, dfu-mode, no-device, download-error, unplug\n"
                 "  --port N             the controller's port (default 0: /sys/bus/usb/devices/1-1)\n"
                 "  --firmware-out PATH  writes what the product's firmware memory holds when the server ends\n"
                 "                       (an Avnera chip: its EEPROM; the BlueCore chip: the image it took)\n"
                 "  --time-scale X       real seconds per simulated second of the model (default 1)\n"
                 "  --device-image, --flash-part, --chip-revision: for families with a memory image\n"
                 "  --fault NAME[=N]     adds a fault (may be repeated):\n");
    PrintFaultOptions(out, kFaults);
}

SOptions ParseOptions(int argc, char** argv)
{
    SOptions o;
    for (int i = 1; i < argc && o.error.empty(); ++i)
    {
        const std::string arg = argv[i];
        auto value = [&]() -> std::string {
            if (i + 1 >= argc)
            {
                o.error = arg + " needs a value";
                return std::string();
            }
            return argv[++i];
        };
        auto number = [&](long low, long high) -> long {
            const std::string v = value();
            char* end = nullptr;
            const long n = std::strtol(v.c_str(), &end, 10);
            if (o.error.empty() && (v.empty() || *end != '\0' || n < low || n > high))
                o.error = "bad " + arg + ": " + v;
            return n;
        };
        if (arg == "--help" || arg == "-h")
            o.help = true;
        else if (arg == "--family")
            o.family = value();
        else if (arg == "--scenario")
            o.scenario = value();
        else if (arg == "--fault")
        {
            const std::string v = value();
            if (o.error.empty())
                ParseFaultOption(v, kFaults, o.faults, &o.error);
        }
        else if (arg == "--firmware-out")
            o.firmwareOut = value();
        else if (arg == "--device-image")
            o.deviceImagePath = value();
        else if (arg == "--flash-part")
            o.flashPart = static_cast<int>(number(0, 0xFFFF));
        else if (arg == "--chip-revision")
            o.chipRevision = static_cast<int>(number(0, 0xFFFF));
        else if (arg == "--port")
            o.port = static_cast<int>(number(0, 14));
        else if (arg == "--time-scale")
        {
            const std::string v = value();
            char* end = nullptr;
            o.timeScale = std::strtod(v.c_str(), &end);
            if (o.error.empty() && (v.empty() || *end != '\0' || !(o.timeScale > 0.0)))
                o.error = "bad --time-scale: " + v;
        }
        else
            o.error = "unknown option " + arg;
    }
    ECxBenchChip cx;
    const bool chipOnly = o.family == "bluecore" || o.family == "avnera-generic" || o.family == "avnera-vendor";
    bool known = o.family == "tavik" || o.family == "dfu" || chipOnly || ParseCxBenchChip(o.family, cx);
    for (const SBenchFamilyEntry& f : BenchFamilies())
        known = known || o.family == f.name;
    if (o.error.empty() && !known)
        o.error = "unknown family " + o.family;
    if (o.error.empty() && (o.family == "dfu" || chipOnly || ParseCxBenchChip(o.family, cx)))
    {
        if (o.scenario != "normal" && o.scenario != "no-device")
            o.error = "the " + o.family + " family knows the scenarios normal and no-device";
        else if (std::any_of(o.faults.begin(), o.faults.end(),
                             [&](const auto& f) { return f.first != "unplug-at-request" || o.family == "dfu"; }))
            o.error = "the " + o.family + " family knows only the fault unplug-at-request";
        else if (!chipOnly && o.family != "dfu" ? (o.flashPart >= 0 || o.chipRevision >= 0)
                                                             : (!o.deviceImagePath.empty() || o.flashPart >= 0 ||
                                                                o.chipRevision >= 0))
            o.error = "a memory option that does not apply to the " + o.family + " family";
    }
    if (o.error.empty() && o.family == "tavik")
    {
        const char* servable[] = {"normal", "same", "newer", "dfu-mode", "no-device", "download-error", "unplug"};
        if (std::find_if(std::begin(servable), std::end(servable), [&](const char* s) { return o.scenario == s; }) ==
            std::end(servable))
            o.error = "scenario " + o.scenario + " does not apply here";
        else if (!o.deviceImagePath.empty() || o.flashPart >= 0 || o.chipRevision >= 0)
            o.error = "--device-image, --flash-part and --chip-revision do not apply to the tavik family";
    }
    return o;
}

std::uint32_t FaultNumber(const SOptions& o, const char* name, bool* present = nullptr)
{
    std::uint32_t n = 0;
    bool found = false;
    for (const auto& [f, v] : o.faults)
    {
        if (f == name)
        {
            n = v;
            found = true;
        }
    }
    if (present != nullptr)
        *present = found;
    return n;
}

// The Tavik headset on its port: HID mode, DFU mode, or nothing while it
// re-enumerates or after it was pulled out.
class CTavikOccupant : public IPortOccupant
{
public:
    CTavikOccupant(std::unique_ptr<CTavikHeadset> headset, std::uint32_t noAnswerAtBlock, std::uint32_t hidStallAt)
        : m_headset(std::move(headset)), m_noAnswerAtBlock(noAnswerAtBlock), m_hidStallAt(hidStallAt)
    {
    }

    CTavikHeadset& Headset() { return *m_headset; }
    // A user's replug: the same headset (its firmware and version) without the fault that pulled it out.
    void Replug(const STavikHeadsetConfig& fresh)
    {
        STavikHeadsetConfig config = fresh;
        config.version = m_headset->Version();
        m_firmwareBefore = m_headset->Firmware();
        m_headset = std::make_unique<CTavikHeadset>(config, std::make_shared<CSimDfuBus>());
        m_lastMode = CTavikHeadset::EMode::Unplugged;
        m_dfu.reset();
    }
    std::vector<std::uint8_t> Firmware()
    {
        std::vector<std::uint8_t> firmware = m_headset->Firmware();
        return firmware.empty() ? m_firmwareBefore : firmware;
    }

    std::uint64_t Generation() override
    {
        const CTavikHeadset::EMode mode = m_headset->Mode();
        if (mode == CTavikHeadset::EMode::Hid)
        {
            if (m_lastMode != mode)
                ++m_hidEpoch;
            m_lastMode = mode;
            return m_hidEpoch;
        }
        m_lastMode = mode;
        if (mode == CTavikHeadset::EMode::Dfu)
        {
            std::shared_ptr<CSimDfuDevice> dfu = m_headset->DfuDevice();
            if (dfu && dfu->IsPresent())
            {
                if (dfu != m_dfu)
                {
                    m_dfu = dfu;
                    ++m_dfuEpoch;
                }
                return (1ull << 62) | (m_dfuEpoch << 32) | dfu->GetGeneration();
            }
        }
        return 0;
    }

    std::shared_ptr<IUsbWireDevice> Device() override
    {
        if (m_lastMode == CTavikHeadset::EMode::Hid)
        {
            auto device = std::make_shared<CHidFaceWireDevice>(m_headset->HidDescription(), m_headset.get());
            if (m_hidAttaches++ == 0 && m_hidStallAt != 0)
                device->StallHidRequest(m_hidStallAt);
            return device;
        }
        if (m_lastMode == CTavikHeadset::EMode::Dfu && m_dfu)
            return std::make_shared<CDfuWireDevice>(m_dfu, m_dfuAttaches++ == 0 ? m_noAnswerAtBlock : 0);
        return nullptr;
    }

private:
    std::unique_ptr<CTavikHeadset> m_headset;
    std::uint32_t m_noAnswerAtBlock;
    std::uint32_t m_hidStallAt;
    CTavikHeadset::EMode m_lastMode = CTavikHeadset::EMode::Unplugged;
    std::uint64_t m_hidEpoch = 0;
    std::uint64_t m_dfuEpoch = 0;
    std::shared_ptr<CSimDfuDevice> m_dfu;
    std::uint32_t m_hidAttaches = 0;
    std::uint32_t m_dfuAttaches = 0;
    std::vector<std::uint8_t> m_firmwareBefore;
};

// A DFU device that sits on its port, from the moment `when` first says so.
class CFixedOccupant : public IPortOccupant
{
public:
    explicit CFixedOccupant(std::shared_ptr<CSimDfuDevice> dfu, std::function<bool()> when = {})
        : m_dfu(std::move(dfu)), m_when(std::move(when))
    {
    }
    std::uint64_t Generation() override
    {
        m_plugged = m_plugged || !m_when || m_when();
        return m_plugged && m_dfu->IsPresent() ? m_dfu->GetGeneration() : 0;
    }
    std::shared_ptr<IUsbWireDevice> Device() override { return std::make_shared<CDfuWireDevice>(m_dfu); }

private:
    std::shared_ptr<CSimDfuDevice> m_dfu;
    std::function<bool()> m_when;
    bool m_plugged = false;
};

struct SSlot
{
    IPortOccupant* occupant = nullptr;
    CVhciPort vhci;
    std::unique_ptr<CUsbIpConnection> connection;
    std::shared_ptr<IUsbWireDevice> device;
    std::uint64_t generation = 0;

    SSlot(IPortOccupant* o, int port) : occupant(o), vhci(port) {}
};

std::string Identity(const IUsbWireDevice* device)
{
    const auto* described = dynamic_cast<const CDescribedWireDevice*>(device);
    if (described == nullptr)
        return "device";
    char text[32];
    std::snprintf(text, sizeof(text), "%04X:%04X", described->Description().vendorId,
                  described->Description().productId);
    return text;
}

// Seconds on the system's monotonic clock, as the kernel's log stamps its lines.
double Uptime()
{
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

void Unplug(SSlot& slot, const char* why)
{
    if (slot.connection)
    {
        const CUsbIpConnection::SStats& stats = slot.connection->Stats();
        std::printf("orvo-usb-device: [%.3f] port %d: %s unplugged (%s); %llu URBs, %llu unlinked, %llu stalled, "
                    "answered in %.1f ms in all\n",
                    Uptime(), slot.vhci.Port(), Identity(slot.device.get()).c_str(), why,
                    static_cast<unsigned long long>(stats.submits), static_cast<unsigned long long>(stats.unlinks),
                    static_cast<unsigned long long>(stats.stalls), static_cast<double>(stats.answeredUs) / 1000.0);
        slot.connection.reset();
    }
    slot.device.reset();
}

// Brings the port in line with its occupant. False when a plug failed.
bool Update(SSlot& slot)
{
    const std::uint64_t generation = slot.occupant->Generation();
    if (generation == slot.generation)
        return true;
    slot.generation = generation;
    Unplug(slot, "it left the bus");
    if (generation == 0)
        return true;
    slot.device = slot.occupant->Device();
    if (!slot.device)
        return true;
    std::string why;
    const int fd = slot.vhci.Attach(slot.occupant->Speed(), &why);
    if (fd < 0)
    {
        std::fprintf(stderr, "orvo-usb-device: %s\n", why.c_str());
        slot.device.reset();
        return false;
    }
    slot.connection = std::make_unique<CUsbIpConnection>(fd);
    std::printf("orvo-usb-device: [%.3f] port %d: %s plugged in\n", Uptime(), slot.vhci.Port(),
                Identity(slot.device.get()).c_str());
    std::fflush(stdout);
    return true;
}

bool WriteFile(const std::string& path, const std::vector<std::uint8_t>& bytes)
{
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    out.close();
    return static_cast<bool>(out);
}
} // namespace

int main(int argc, char** argv)
{
    const SOptions options = ParseOptions(argc, argv);
    if (options.help)
    {
        PrintHelp(stdout);
        return 0;
    }
    if (!options.error.empty())
    {
        std::fprintf(stderr, "orvo-usb-device: %s\n\n", options.error.c_str());
        PrintHelp(stderr);
        return 2;
    }
    CClock::SetTimeScale(options.timeScale);
    std::setvbuf(stdout, nullptr, _IOLBF, 0);

    struct sigaction stop = {};
    stop.sa_handler = OnStop;
    sigaction(SIGTERM, &stop, nullptr);
    sigaction(SIGINT, &stop, nullptr);
    struct sigaction replug = {};
    replug.sa_handler = OnReplug;
    sigaction(SIGUSR1, &replug, nullptr);
    signal(SIGPIPE, SIG_IGN);

    // The product.
    STavikHeadsetConfig config = TavikHeadsetFor(options.scenario, options.faults);
    if (FaultNumber(options, "dfu-stall-at-block") != 0)
        config.dfu.stallAtBlock = static_cast<int>(FaultNumber(options, "dfu-stall-at-block"));
    bool leaves = false;
    FaultNumber(options, "manifest-leaves-bus", &leaves);
    if (leaves)
        config.dfu.manifestEnd = ESimManifestEnd::DropOff;
    std::unique_ptr<CTavikOccupant> tavik;
    std::unique_ptr<CFixedOccupant> lone;
    std::shared_ptr<CSimDfuDevice> loneDfu;
    if (options.family == "dfu")
    {
        SSimDfuConfig c;
        c.idVendor = 0x1209;
        c.idProduct = 0x2003;
        c.wTransferSize = 4096;
        c.pollTimeoutMs = 2;
        c.transferMsPerKiB = 1.0;
        c.checkPayload = false;
        loneDfu = std::make_shared<CSimDfuDevice>(c);
        lone = std::make_unique<CFixedOccupant>(loneDfu);
    }
    else if (options.family == "tavik" && options.scenario != "no-device")
        tavik = std::make_unique<CTavikOccupant>(std::make_unique<CTavikHeadset>(config, std::make_shared<CSimDfuBus>()),
                                                 FaultNumber(options, "no-answer-at-block"),
                                                 FaultNumber(options, "hid-stall"));
    bool second = false;
    FaultNumber(options, "second-dfu-device", &second);
    std::unique_ptr<CFixedOccupant> other;
    std::shared_ptr<CSimDfuDevice> otherDfu;
    if (second)
    {
        SSimDfuConfig c;
        c.idVendor = 0x1209;
        c.idProduct = 0x2003;
        c.location = "other";
        c.checkPayload = false;
        otherDfu = std::make_shared<CSimDfuDevice>(c);
        // Plugged in as the headset comes up in DFU mode: the newest DFU
        // device, which a host that takes the first one it lists meets first.
        CTavikOccupant* headset = tavik.get();
        other = std::make_unique<CFixedOccupant>(otherDfu, [headset] {
            return headset == nullptr || headset->Headset().Mode() == CTavikHeadset::EMode::Dfu;
        });
    }

    // Products that live in a bench USB world: served from port 1 of its first root hub.
    std::unique_ptr<IBenchFamily> family;
    CBenchUsbWorld ownWorld;
    CBenchUsbWorld* world = nullptr;
    std::shared_ptr<CCxChipModel> cxChip;
    std::shared_ptr<bluecore::CBlueCoreChip> blueCore;
    std::shared_ptr<CAvneraChip> avneraChip;
    ECxBenchChip cxType;
    std::vector<std::uint8_t> deviceImage;
    if (!options.deviceImagePath.empty())
    {
        std::ifstream in(options.deviceImagePath, std::ios::binary);
        deviceImage.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
        if (!in.good() && !in.eof())
        {
            std::fprintf(stderr, "orvo-usb-device: cannot read %s\n", options.deviceImagePath.c_str());
            return 2;
        }
    }
    for (const SBenchFamilyEntry& f : BenchFamilies())
    {
        if (options.family != f.name)
            continue;
        SBenchFamilySetup setup;
        setup.scenario = options.scenario;
        setup.faults = options.faults;
        setup.flashPart = options.flashPart;
        setup.chipRevision = options.chipRevision;
        setup.haveDeviceImage = !options.deviceImagePath.empty();
        setup.deviceImage = deviceImage;
        std::string why;
        family = f.make(setup, &why);
        if (!family || family->World() == nullptr)
        {
            std::fprintf(stderr, "orvo-usb-device: %s\n", why.empty() ? "the family has no USB world" : why.c_str());
            return 2;
        }
        world = family->World();
    }
    if (ParseCxBenchChip(options.family, cxType))
    {
        SCxChipConfig config = MakeCxChipConfig(cxType);
        // As cxaudio-bench has it: a valid EEPROM image unless one is given.
        config.eepromContents = deviceImage.empty() ? MakeCxEepromImage(config.eepromSize, 0x05) : deviceImage;
        cxChip = std::make_shared<CCxChipModel>(config);
        world = &ownWorld;
        if (options.scenario != "no-device")
            world->Plug(world->RootHub(world->AddHostController()), 1, cxChip->Device(cxChip));
    }
    else if (options.family == "avnera-generic" || options.family == "avnera-vendor")
    {
        avneraChip = std::make_shared<CAvneraChip>();
        world = &ownWorld;
        if (options.scenario != "no-device")
            world->Plug(world->RootHub(world->AddHostController()), 1,
                        options.family == "avnera-vendor" ? MakeAvneraVendorDevice(avneraChip)
                                                          : MakeAvneraGenericDevice(avneraChip));
    }
    else if (options.family == "bluecore")
    {
        blueCore = std::make_shared<bluecore::CBlueCoreChip>();
        world = &ownWorld;
        if (options.scenario != "no-device")
            world->Plug(world->RootHub(world->AddHostController()), 1, bluecore::MakeBlueCoreBridgeDevice(blueCore));
    }
    const bool chipOnlyOrCx = cxChip || avneraChip || blueCore;
    std::unique_ptr<CWorldPortOccupant> worldPort;
    if (world != nullptr && !world->RootHubs().empty())
        worldPort = std::make_unique<CWorldPortOccupant>(*world, world->RootHubs().front(), 1);

    std::vector<std::unique_ptr<SSlot>> slots;
    if (worldPort && chipOnlyOrCx)
        worldPort->UnplugAtHidRequest(FaultNumber(options, "unplug-at-request"));
    if (worldPort)
        slots.push_back(std::make_unique<SSlot>(worldPort.get(), options.port));
    if (tavik)
        slots.push_back(std::make_unique<SSlot>(tavik.get(), options.port));
    if (lone)
        slots.push_back(std::make_unique<SSlot>(lone.get(), options.port));
    if (other)
        slots.push_back(std::make_unique<SSlot>(other.get(), options.port > 0 ? options.port - 1 : options.port + 1));
    std::printf("orvo-usb-device: family %s, scenario %s, port %d\n", options.family.c_str(), options.scenario.c_str(),
                options.port);

    int status = 0;
    while (!g_stop)
    {
        if (g_replug && tavik)
        {
            g_replug = 0;
            std::printf("orvo-usb-device: the headset is unplugged and plugged in again\n");
            for (auto& slot : slots)
            {
                if (slot->occupant == tavik.get())
                {
                    Unplug(*slot, "replug");
                    slot->generation = 0;
                }
            }
            tavik->Replug(TavikHeadsetFor("normal", {}));
        }
        for (auto& slot : slots)
        {
            if (!Update(*slot))
            {
                status = 1;
                g_stop = 1;
            }
        }
        std::vector<pollfd> fds;
        std::vector<SSlot*> owners;
        bool pendingIn = false;
        for (auto& slot : slots)
        {
            if (!slot->connection)
                continue;
            fds.push_back({slot->connection->Fd(), POLLIN, 0});
            owners.push_back(slot.get());
            pendingIn = pendingIn || slot->connection->HasPendingIn();
        }
        const int ready = poll(fds.data(), fds.size(), pendingIn ? 4 : 20);
        if (ready < 0 && errno != EINTR)
            break;
        for (std::size_t i = 0; i < fds.size(); ++i)
        {
            SSlot& slot = *owners[i];
            if (!slot.connection)
                continue;
            bool alive = true;
            if ((fds[i].revents & (POLLIN | POLLHUP | POLLERR)) != 0)
                alive = slot.connection->OnReadable(*slot.device);
            else
                alive = slot.connection->Pump(*slot.device);
            if (!alive)
            {
                const std::string why = slot.connection->Why();
                Unplug(slot, why.c_str());
            }
        }
    }

    for (auto& slot : slots)
        Unplug(*slot, "the server ends");
    // The device's own time (its simulated transfer time), slept through the clock.
    std::printf("orvo-usb-device: the device's own time %llu ms\n", static_cast<unsigned long long>(CClock::SleptMs()));
    if (tavik)
        std::printf("orvo-usb-device: the headset runs %s\n", tavik->Headset().Version().c_str());
    if (family)
        std::printf("orvo-usb-device: %s\n", family->Summary().c_str());
    if (otherDfu)
        std::printf("orvo-usb-device: the other vendor's DFU device received %d blocks\n", otherDfu->BlocksReceived());
    if (loneDfu)
        std::printf("orvo-usb-device: the DFU device received %d blocks; its least download time %.1f ms, %d early polls\n",
                    loneDfu->BlocksReceived(), loneDfu->MinimumDownloadMs(), loneDfu->EarlyPolls());
    if (!options.firmwareOut.empty())
    {
        std::vector<std::uint8_t> firmware;
        if (tavik)
            firmware = tavik->Firmware();
        else if (loneDfu)
            firmware = loneDfu->Firmware();
        else if (family)
            firmware = family->Memory();
        else if (cxChip)
            firmware = cxChip->Eeprom();
        else if (blueCore)
            firmware = blueCore->FirmwareImage();
        else if (avneraChip)
            firmware = avneraChip->Eeprom(0, avneraChip->Config().eepromSize);
        if (!WriteFile(options.firmwareOut, firmware))
        {
            std::fprintf(stderr, "orvo-usb-device: cannot write %s\n", options.firmwareOut.c_str());
            return 1;
        }
        std::printf("orvo-usb-device: %zu firmware bytes written to %s\n", firmware.size(), options.firmwareOut.c_str());
    }
    return status;
}
