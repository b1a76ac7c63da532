// The host interface's faulted campaign: thousands of calls of its memory,
// EEPROM, serial-memory and flash exports, drawn from a seed, against strict
// simulated chips on every transport (generic HID, vendor HID, the bench
// adapter in SPI and in I2C mode), many of them with a fault the chip or the
// adapter can have: an assertion, a command lost, an answer that never
// comes, comes short (HID, whose reports carry an answer's length) or with
// another opcode, a part the chip refuses (a part row that is not the
// chip's), a stretched I2C clock, the device pulled out.
//
// After every call the chip's own memory is the judge:
//   - a write that returned 0 left the memory holding what it asked for
//     (otherwise a false success);
//   - a read that returned 0 gave the chip's real bytes (otherwise a false read);
//   - FlashWrite/FlashRead with flash type 0 never return 0.
// After a failed call the chip is brought back (its assertion cleared, a
// pulled-out device plugged in again, the handle opened anew) and must answer
// again (otherwise unrecoverable).
//
// usage: bench-hostapi [--calls N] [--seed S] [--time-scale X] [--calls-per-chip K] [--verbose]
// The bench adapter library (aardvark.so / aardvark.dll) must be on the
// library search path; without it the adapter calls are skipped (and said so).
// Last lines: one "name value" figure a line (hostapi-calls, hostapi-faults,
// hostapi-successes, hostapi-false-successes, hostapi-false-reads,
// hostapi-unrecoverable). Exit status 0 only when the last three are 0 and
// every transport ran.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "avnera/AardvarkLibrary.h"
#include "avnera/HostInternal.h"
#include "avnera/OrvoHostApi.h"
#include "avnera/SerialMemory.h"
#include "bench/avnera/AvneraHidModel.h"
#include "platform/Clock.h"
#include "platform/DynamicLibrary.h"

namespace
{
enum class ETransport
{
    GenericHid,
    VendorHid,
    Spi,
    I2c,
};
constexpr const char* kTransportNames[4] = {"generic-hid", "vendor-hid", "adapter-spi", "adapter-i2c"};

struct SPart
{
    std::uint32_t row;
    std::uint32_t refusedRow; // a row the chip does not take: its firmware refuses the block
};
constexpr SPart kFlashPart = {36, 35};  // 128 KiB SPI flash, 4 KiB sectors (35: 64 KiB sectors)
constexpr SPart kEepromPart = {13, 12}; // 32 KiB I2C EEPROM with address info 4 (12: 16 KiB)

// The bench adapter's own functions.
struct SBenchAdapter
{
    void (*restore)(std::uint32_t, std::uint32_t, std::uint32_t) = nullptr;
    std::uint32_t (*serial)(std::uint32_t, std::uint32_t, std::uint8_t*) = nullptr;
    std::uint32_t (*ram)(std::uint16_t, std::uint32_t, std::uint8_t*) = nullptr;
    std::uint32_t (*eeprom)(std::uint32_t, std::uint32_t, std::uint8_t*) = nullptr;
    void (*assertion)(const std::uint8_t*) = nullptr;
    void (*fault)(std::uint32_t, std::uint32_t, std::uint32_t) = nullptr;
    void (*stretch)(std::uint32_t, std::uint32_t) = nullptr;
    void (*unplug)(std::uint32_t) = nullptr;
    std::uint32_t (*unplugged)() = nullptr;

    bool Complete() const
    {
        return restore && serial && ram && eeprom && assertion && fault && stretch && unplug && unplugged;
    }
};

// What the judge sees of a chip, and the faults it can be given.
class CChipUnderTest
{
public:
    virtual ~CChipUnderTest() = default;
    virtual std::vector<std::uint8_t> Ram(std::uint16_t address, std::size_t length) = 0;
    virtual std::vector<std::uint8_t> Serial(std::uint32_t address, std::size_t length) = 0;
    virtual std::vector<std::uint8_t> Eeprom(std::uint32_t address, std::size_t length) = 0;
    virtual std::uint32_t EepromSize() const = 0;
    virtual void Arm(EAvneraFault fault, std::uint32_t nth, std::uint32_t param) = 0;
    virtual void Stretch(std::uint32_t atByte, std::uint32_t ms) = 0;
    // Clears what a fault left (an assertion, a fault that did not fire, a
    // device that was pulled out) and opens the handle anew when needed.
    virtual bool Recover(AvDeviceHandle*& handle) = 0;
    virtual AvDeviceHandle* Open() = 0;
};

class CHidChip : public CChipUnderTest
{
public:
    CHidChip(bool vendor, const SAvneraChipConfig& config) : m_vendor(vendor)
    {
        m_chip = std::make_shared<CAvneraChip>(config);
        m_hub = m_world.RootHub(m_world.AddHostController());
        avnera::SetHidSystem(&m_world);
        PlugIn();
    }
    ~CHidChip() override
    {
        AvDllShutdown();
        avnera::SetHidSystem(nullptr);
    }
    std::vector<std::uint8_t> Ram(std::uint16_t address, std::size_t length) override
    {
        return m_chip->Ram(address, length);
    }
    std::vector<std::uint8_t> Serial(std::uint32_t address, std::size_t length) override
    {
        return m_chip->Serial(address, length);
    }
    std::vector<std::uint8_t> Eeprom(std::uint32_t address, std::size_t length) override
    {
        return m_chip->Eeprom(address, length);
    }
    std::uint32_t EepromSize() const override { return 32768; }
    void Arm(EAvneraFault fault, std::uint32_t nth, std::uint32_t param) override { m_chip->ArmFault(fault, nth, param); }
    void Stretch(std::uint32_t, std::uint32_t) override {}
    bool Recover(AvDeviceHandle*& handle) override
    {
        m_chip->ClearFault();
        m_chip->ClearAssertion();
        if (m_chip->Unplugged())
        {
            AvDllCloseHandle(handle);
            handle = nullptr;
            m_world.Unplug(m_device);
            m_chip->Replug();
            PlugIn();
        }
        if (handle == nullptr || !avnera::IsOpenHandle(handle))
            handle = Open();
        return handle != nullptr;
    }
    AvDeviceHandle* Open() override
    {
        AvDeviceHandle* handle = nullptr;
        return AvDllOpenDevice(m_vendor ? 1 : 0, 0, &handle) == 0 ? handle : nullptr;
    }

private:
    void PlugIn()
    {
        m_device = m_world.Plug(m_hub, 1, m_vendor ? MakeAvneraVendorDevice(m_chip) : MakeAvneraGenericDevice(m_chip));
    }

    const bool m_vendor;
    CBenchUsbWorld m_world;
    BenchId m_hub = 0;
    BenchId m_device = 0;
    std::shared_ptr<CAvneraChip> m_chip;
};

class CAdapterChip : public CChipUnderTest
{
public:
    CAdapterChip(const SBenchAdapter& bench, bool i2c) : m_bench(bench), m_i2c(i2c) { m_bench.restore(0, 0, 0); }
    ~CAdapterChip() override { AvDllShutdown(); }
    std::vector<std::uint8_t> Ram(std::uint16_t address, std::size_t length) override
    {
        std::vector<std::uint8_t> out(length);
        m_bench.ram(address, static_cast<std::uint32_t>(length), out.data());
        return out;
    }
    std::vector<std::uint8_t> Serial(std::uint32_t address, std::size_t length) override
    {
        std::vector<std::uint8_t> out(length);
        out.resize(m_bench.serial(address, static_cast<std::uint32_t>(length), out.data()));
        return out;
    }
    std::vector<std::uint8_t> Eeprom(std::uint32_t address, std::size_t length) override
    {
        std::vector<std::uint8_t> out(length);
        out.resize(m_bench.eeprom(address, static_cast<std::uint32_t>(length), out.data()));
        return out;
    }
    std::uint32_t EepromSize() const override { return 32768; }
    void Arm(EAvneraFault fault, std::uint32_t nth, std::uint32_t param) override
    {
        m_bench.fault(static_cast<std::uint32_t>(fault), nth, param);
    }
    void Stretch(std::uint32_t atByte, std::uint32_t ms) override
    {
        if (m_i2c)
            m_bench.stretch(atByte, ms);
    }
    bool Recover(AvDeviceHandle*& handle) override
    {
        m_bench.fault(0, 0, 0);
        m_bench.stretch(0, 0);
        m_bench.assertion(nullptr);
        if (m_bench.unplugged() != 0)
        {
            AvDllCloseHandle(handle);
            handle = nullptr;
            m_bench.unplug(0);
        }
        if (handle == nullptr || !avnera::IsOpenHandle(handle))
            handle = Open();
        return handle != nullptr;
    }
    AvDeviceHandle* Open() override
    {
        AvDeviceHandle* handle = nullptr;
        if (AvDllOpenDevice(2, 0, &handle) != 0)
            return nullptr;
        if (m_i2c && handle->ops->control(handle, 3, 1) != 0)
        {
            AvDllCloseHandle(handle);
            return nullptr;
        }
        return handle;
    }

private:
    SBenchAdapter m_bench;
    const bool m_i2c;
};

constexpr int kOps = 9;
constexpr const char* kOpNames[kOps] = {"poke",        "peek",        "eeprom-write", "eeprom-read", "serial-write",
                                        "serial-read", "serial-erase", "flash-write",  "flash-read"};

struct STally
{
    std::uint64_t opCalls[kOps] = {};
    std::uint64_t opSuccesses[kOps] = {};
    std::uint64_t calls = 0;
    std::uint64_t faults = 0;
    std::uint64_t successes = 0;
    std::uint64_t falseSuccesses = 0;
    std::uint64_t falseReads = 0;
    std::uint64_t unrecoverable = 0;
};

class CCampaign
{
public:
    explicit CCampaign(std::uint64_t seed) : m_random(seed) {}

    std::uint32_t Draw(std::uint32_t low, std::uint32_t high) // inclusive
    {
        return std::uniform_int_distribution<std::uint32_t>(low, high)(m_random);
    }
    bool Chance(std::uint32_t percent) { return Draw(1, 100) <= percent; }
    std::vector<std::uint8_t> Bytes(std::size_t length)
    {
        std::vector<std::uint8_t> data(length);
        for (auto& b : data)
            b = static_cast<std::uint8_t>(Draw(0, 255));
        return data;
    }

    // count calls against one chip; the faults that chip and transport can have.
    void Run(CChipUnderTest& chip, ETransport transport, SPart part, std::uint32_t count, STally& tally)
    {
        m_chip = &chip;
        m_transport = transport;
        m_part = part;
        AvDeviceHandle* handle = chip.Open();
        if (handle == nullptr)
        {
            ++tally.unrecoverable;
            Note("%s: the chip could not be opened", kTransportNames[static_cast<int>(transport)]);
            return;
        }
        for (std::uint32_t i = 0; i < count; ++i)
        {
            const bool faulted = Chance(40);
            if (faulted)
            {
                ArmFault();
                ++tally.faults;
            }
            ++tally.calls;
            const std::int32_t result = OneCall(handle, tally);
            ++tally.opCalls[m_op];
            if (result == 0)
            {
                ++tally.successes;
                ++tally.opSuccesses[m_op];
            }
            if (result != 0 || faulted)
            {
                if (!chip.Recover(handle) || !Answers(handle))
                {
                    ++tally.unrecoverable;
                    Note("%s call %u: the chip does not answer after recovery",
                         kTransportNames[static_cast<int>(transport)], i);
                    return;
                }
            }
        }
    }

private:
    template <typename... TArgs>
    void Note(const char* format, TArgs... args)
    {
        std::printf(format, args...);
        std::printf("\n");
    }

    void ArmFault()
    {
        static const EAvneraFault kChipFaults[] = {EAvneraFault::Assert,      EAvneraFault::Lost,
                                                   EAvneraFault::NoAnswer,    EAvneraFault::ShortAnswer,
                                                   EAvneraFault::WrongOpcode, EAvneraFault::Unplug};
        const bool i2c = m_transport == ETransport::I2c;
        if (i2c && Chance(25))
        {
            // Held past the adapter's 200 ms bus time-out or within it.
            m_chip->Stretch(Draw(0, 20), Draw(0, 1) != 0 ? Draw(250, 600) : Draw(5, 150));
            return;
        }
        // On the adapter the master clocks as many answer bytes as it asks
        // for: a chip cannot answer short there (the length an answer has is
        // the HID report's).
        const bool adapter = m_transport == ETransport::Spi || i2c;
        EAvneraFault fault = kChipFaults[Draw(0, 5)];
        if (adapter && fault == EAvneraFault::ShortAnswer)
            fault = EAvneraFault::WrongOpcode;
        m_chip->Arm(fault, Draw(1, 40), Draw(1, 12));
    }

    bool Answers(AvDeviceHandle* handle)
    {
        for (int attempt = 0; attempt < 3; ++attempt)
        {
            std::uint8_t state = 0;
            if (MemoryPeek(handle, 0xF002, 1, &state) == 0)
                return true;
        }
        return false;
    }

    void Judge(bool held, STally& tally, const char* what, std::uint32_t address, std::size_t length)
    {
        if (held)
            return;
        if (std::strstr(what, "read") != nullptr || std::strstr(what, "peek") != nullptr)
            ++tally.falseReads;
        else
            ++tally.falseSuccesses;
        Note("%s: %s of %zu bytes at 0x%X returned 0, the chip's memory says otherwise",
             kTransportNames[static_cast<int>(m_transport)], what, length, address);
    }

    std::int32_t OneCall(AvDeviceHandle* handle, STally& tally)
    {
        const avnera::SSerialPart& row = avnera::kSerialParts[m_part.row];
        static const int kOpOfCase[12] = {0, 0, 1, 2, 3, 4, 4, 5, 5, 6, 7, 8};
        const std::uint32_t pick = Draw(0, 11);
        m_op = kOpOfCase[pick];
        switch (pick)
        {
        case 0:
        case 1:
        {
            const std::uint16_t address = static_cast<std::uint16_t>(Draw(0x2000, 0x3FF0));
            const std::uint8_t count = static_cast<std::uint8_t>(Draw(1, 16));
            const std::vector<std::uint8_t> data = Bytes(count);
            const std::int32_t result = MemoryPoke(handle, address, count, data.data());
            if (result == 0)
                Judge(m_chip->Ram(address, count) == data, tally, "poke", address, count);
            return result;
        }
        case 2:
        {
            const std::uint16_t address = static_cast<std::uint16_t>(Draw(0x2000, 0x3FF0));
            const std::uint8_t count = static_cast<std::uint8_t>(Draw(1, 16));
            std::vector<std::uint8_t> out(count, 0xEE);
            const std::int32_t result = MemoryPeek(handle, address, count, out.data());
            if (result == 0)
                Judge(m_chip->Ram(address, count) == out, tally, "peek", address, count);
            return result;
        }
        case 3:
        {
            const std::uint32_t length = Draw(1, 40);
            const std::uint32_t address = Draw(0, m_chip->EepromSize() - length);
            const std::vector<std::uint8_t> data = Bytes(length);
            const std::int32_t result = eepromWrite(handle, static_cast<std::uint16_t>(address),
                                                    static_cast<std::uint16_t>(length), data.data());
            if (result == 0)
                Judge(m_chip->Eeprom(address, length) == data, tally, "EEPROM write", address, length);
            return result;
        }
        case 4:
        {
            const std::uint32_t length = Draw(1, 40);
            const std::uint32_t address = Draw(0, m_chip->EepromSize() - length);
            std::vector<std::uint8_t> out(length, 0xEE);
            const std::int32_t result = eepromRead(handle, static_cast<std::uint16_t>(address),
                                                   static_cast<std::uint16_t>(length), out.data());
            if (result == 0)
                Judge(m_chip->Eeprom(address, length) == out, tally, "EEPROM read", address, length);
            return result;
        }
        case 5:
        case 6:
        {
            // A write where the last erase (or the part's blank state) left room, or anywhere.
            const std::uint32_t length = Draw(1, 1500);
            const std::uint32_t address = Chance(70) ? m_erased + Draw(0, 64) : Draw(0, row.size - length);
            const std::uint32_t at = std::min(address, row.size - length);
            std::vector<std::uint8_t> data = Bytes(length);
            const std::uint32_t partRow = Chance(10) ? m_part.refusedRow : m_part.row;
            const std::int32_t result = SerialMemWrite(handle, at, length, data.data(), partRow);
            if (result == 0)
                Judge(m_chip->Serial(at, length) == data, tally, "serial write", at, length);
            return result;
        }
        case 7:
        case 8:
        {
            const std::uint32_t length = Draw(1, 1500);
            const std::uint32_t address = Draw(0, row.size - length);
            std::vector<std::uint8_t> out(length, 0xEE);
            const std::uint32_t partRow = Chance(10) ? m_part.refusedRow : m_part.row;
            const std::int32_t result = SerialMemRead(handle, address, length, out.data(), partRow);
            if (result == 0)
                Judge(m_chip->Serial(address, length) == out, tally, "serial read", address, length);
            return result;
        }
        case 9:
        {
            const std::uint32_t length = Draw(1, 3000);
            const std::uint32_t address = Draw(0, row.size - length);
            std::vector<std::uint8_t> buffer(length, 0xFF);
            const std::uint32_t partRow = Chance(10) ? m_part.refusedRow : m_part.row;
            const std::int32_t result = SerialMemErase(handle, address, length, buffer.data(), partRow);
            if (result == 0)
            {
                // SPI flash: the range is blank. I2C EEPROM: the bytes written
                // from the buffer (0xFF) up to the page's end, or three zeros
                // from the download area when the buffer could not be moved.
                std::uint32_t n = length;
                if (row.memType == 1)
                    n = std::min<std::uint32_t>({15, length, row.page - address % row.page});
                const std::vector<std::uint8_t> memory = m_chip->Serial(address, n);
                bool held = memory == std::vector<std::uint8_t>(n, 0xFF);
                if (!held && row.memType == 1)
                    held = memory.size() >= 3 && memory[0] == 0 && memory[1] == 0 && memory[2] == 0;
                Judge(held, tally, "serial erase", address, n);
                if (row.memType == 0)
                    m_erased = address;
            }
            return result;
        }
        case 10:
        {
            const std::uint32_t type = Draw(0, 9) < 2 ? 0 : (Draw(0, 9) < 2 ? 2 : 1);
            SetFlashType(handle, type);
            const std::uint32_t length = Draw(1, 600);
            const std::uint32_t address = Chance(70) ? m_erased + Draw(0, 64) : Draw(0, row.size - length);
            const std::uint32_t at = std::min(address, row.size - length);
            const std::vector<std::uint8_t> data = Bytes(length);
            const std::int32_t result = FlashWrite(handle, at, length, data.data());
            if (result == 0)
            {
                Judge(type != 0, tally, "flash write with flash type 0", at, length);
                Judge(m_chip->Serial(at, length) == data, tally, "flash write", at, length);
            }
            return result;
        }
        default:
        {
            const std::uint32_t type = Draw(0, 9) < 2 ? 0 : 1;
            SetFlashType(handle, type);
            const std::uint32_t length = Draw(1, 600);
            const std::uint32_t address = Draw(0, row.size - length);
            std::vector<std::uint8_t> out(length, 0xEE);
            const std::int32_t result = FlashRead(handle, address, length, out.data());
            if (result == 0)
            {
                Judge(type != 0, tally, "flash read with flash type 0", address, length);
                Judge(m_chip->Serial(address, length) == out, tally, "flash read", address, length);
            }
            return result;
        }
        }
    }

    std::mt19937_64 m_random;
    int m_op = 0;
    CChipUnderTest* m_chip = nullptr;
    ETransport m_transport = ETransport::GenericHid;
    SPart m_part = kFlashPart;
    std::uint32_t m_erased = 0;
};

SAvneraChipConfig StrictChip(CCampaign& campaign, SPart part)
{
    const avnera::SSerialPart& row = avnera::kSerialParts[part.row];
    SAvneraChipConfig config;
    config.serialKind = row.memType == 0 ? EAvneraSerialKind::SpiFlash : EAvneraSerialKind::I2cEeprom;
    config.serialSize = row.size;
    config.serialPage = row.page;
    config.serialSector = row.sector;
    config.answerDelayMs = campaign.Draw(1, 60);
    config.answerPolls = campaign.Draw(0, 3);
    config.serialCopyMs = campaign.Draw(5, 150);
    config.eraseMs = campaign.Draw(100, 1200);
    config.eepromPage = campaign.Draw(0, 1) != 0 ? 64 : 32;
    return config;
}

void SetScaleForLibraries(double scale)
{
    // The bench adapter library keeps a clock of its own and reads its scale
    // from the environment when it is first used.
    const std::string text = std::to_string(scale);
#if defined(_WIN32)
    _putenv_s("ORVO_TIME_SCALE", text.c_str());
#else
    setenv("ORVO_TIME_SCALE", text.c_str(), 1);
#endif
}
} // namespace

int main(int argc, char** argv)
{
    std::uint64_t calls = 2000;
    std::uint64_t seed = 1;
    double scale = 0.002;
    std::uint32_t perChip = 60;
    bool verbose = false;
    for (int i = 1; i < argc; ++i)
    {
        const std::string arg = argv[i];
        const bool value = i + 1 < argc;
        if (arg == "--calls" && value)
            calls = std::strtoull(argv[++i], nullptr, 10);
        else if (arg == "--seed" && value)
            seed = std::strtoull(argv[++i], nullptr, 10);
        else if (arg == "--time-scale" && value)
            scale = std::strtod(argv[++i], nullptr);
        else if (arg == "--calls-per-chip" && value)
            perChip = static_cast<std::uint32_t>(std::max(1ul, std::strtoul(argv[++i], nullptr, 10)));
        else if (arg == "--verbose")
            verbose = true;
        else
        {
            std::fprintf(stderr,
                         "usage: bench-hostapi [--calls N] [--seed S] [--time-scale X] [--calls-per-chip K] [--verbose]\n");
            return 2;
        }
    }
    CClock::SetTimeScale(scale);
    SetScaleForLibraries(scale);

    CDynamicLibrary library;
    SBenchAdapter bench;
    if (library.Open(avnera::AardvarkLibraryName()))
    {
        bench.restore = reinterpret_cast<decltype(bench.restore)>(library.Symbol("orvo_bench_aa_restore"));
        bench.serial = reinterpret_cast<decltype(bench.serial)>(library.Symbol("orvo_bench_aa_serial"));
        bench.ram = reinterpret_cast<decltype(bench.ram)>(library.Symbol("orvo_bench_aa_ram"));
        bench.eeprom = reinterpret_cast<decltype(bench.eeprom)>(library.Symbol("orvo_bench_aa_eeprom"));
        bench.assertion = reinterpret_cast<decltype(bench.assertion)>(library.Symbol("orvo_bench_aa_assert"));
        bench.fault = reinterpret_cast<decltype(bench.fault)>(library.Symbol("orvo_bench_aa_fault"));
        bench.stretch = reinterpret_cast<decltype(bench.stretch)>(library.Symbol("orvo_bench_aa_stretch"));
        bench.unplug = reinterpret_cast<decltype(bench.unplug)>(library.Symbol("orvo_bench_aa_unplug"));
        bench.unplugged = reinterpret_cast<decltype(bench.unplugged)>(library.Symbol("orvo_bench_aa_unplugged"));
    }
    if (!bench.Complete())
        std::printf("bench adapter library not found on the library search path: the adapter is left out\n");

    CCampaign campaign(seed);
    STally tally[4];
    std::uint64_t done = 0;
    for (std::uint32_t round = 0; done < calls; ++round)
    {
        const ETransport transport = static_cast<ETransport>(round % 4);
        const bool adapter = transport == ETransport::Spi || transport == ETransport::I2c;
        if (adapter && !bench.Complete())
            continue;
        const std::uint32_t count = static_cast<std::uint32_t>(std::min<std::uint64_t>(perChip, calls - done));
        STally& t = tally[static_cast<int>(transport)];
        if (adapter)
        {
            CAdapterChip chip(bench, transport == ETransport::I2c);
            campaign.Run(chip, transport, kFlashPart, count, t);
        }
        else
        {
            const SPart part = campaign.Draw(0, 1) != 0 ? kFlashPart : kEepromPart;
            CHidChip chip(transport == ETransport::VendorHid, StrictChip(campaign, part));
            campaign.Run(chip, transport, part, count, t);
        }
        done += count;
        if (verbose)
            std::printf("round %u: %s, %llu calls so far\n", round, kTransportNames[static_cast<int>(transport)],
                        static_cast<unsigned long long>(done));
    }

    STally total;
    std::printf("%-12s %8s %8s %10s %16s %12s %14s\n", "transport", "calls", "faults", "successes", "false-successes",
                "false-reads", "unrecoverable");
    for (int i = 0; i < 4; ++i)
    {
        const STally& t = tally[i];
        std::printf("%-12s %8llu %8llu %10llu %16llu %12llu %14llu\n", kTransportNames[i],
                    static_cast<unsigned long long>(t.calls), static_cast<unsigned long long>(t.faults),
                    static_cast<unsigned long long>(t.successes), static_cast<unsigned long long>(t.falseSuccesses),
                    static_cast<unsigned long long>(t.falseReads), static_cast<unsigned long long>(t.unrecoverable));
        total.calls += t.calls;
        total.faults += t.faults;
        total.successes += t.successes;
        total.falseSuccesses += t.falseSuccesses;
        total.falseReads += t.falseReads;
        total.unrecoverable += t.unrecoverable;
    }
    std::printf("\n%-14s %8s %10s\n", "call", "made", "returned 0");
    for (int op = 0; op < kOps; ++op)
    {
        std::uint64_t made = 0, succeeded = 0;
        for (const STally& t : tally)
        {
            made += t.opCalls[op];
            succeeded += t.opSuccesses[op];
        }
        std::printf("%-14s %8llu %10llu\n", kOpNames[op], static_cast<unsigned long long>(made),
                    static_cast<unsigned long long>(succeeded));
    }
    std::printf("seed %llu, time scale %g\n", static_cast<unsigned long long>(seed), scale);
    std::printf("hostapi-calls %llu\n", static_cast<unsigned long long>(total.calls));
    std::printf("hostapi-faults %llu\n", static_cast<unsigned long long>(total.faults));
    std::printf("hostapi-successes %llu\n", static_cast<unsigned long long>(total.successes));
    std::printf("hostapi-false-successes %llu\n", static_cast<unsigned long long>(total.falseSuccesses));
    std::printf("hostapi-false-reads %llu\n", static_cast<unsigned long long>(total.falseReads));
    std::printf("hostapi-unrecoverable %llu\n", static_cast<unsigned long long>(total.unrecoverable));
    const bool everyTransport = tally[0].calls > 0 && tally[1].calls > 0 && (!bench.Complete() || tally[2].calls > 0);
    const bool clean = total.falseSuccesses == 0 && total.falseReads == 0 && total.unrecoverable == 0;
    return clean && everyTransport && bench.Complete() ? 0 : 1;
}
