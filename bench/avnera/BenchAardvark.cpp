// The bench adapter library: aardvark.so / aardvark.dll with the entry points
// of the adapter maker's C interface (c_aa_…), presenting one adapter with
// the simulated Avnera chip wired to it:
// - SPI in mode 0/1 (phase 1, setup-sample) reaches the chip's host port:
//   0x00 reads the status, 0x01 reads the answer, 0x02 writes RAM, anything
//   else is a command packet;
// - SPI with phase 0 reaches the chip's serial flash directly (0x05 status,
//   0x06/0x04 write enable/disable, 0x0A page program, which wraps inside
//   the part's page as NOR flash does, 0x03 read);
// - I2C slave 0x10 is the chip's host port (a packet, then one 0x00 byte to
//   start it; a read gives the answer). The chip stretches the clock while
//   its answer is not there yet; the adapter gives up after its bus time-out
//   (200 ms, the adapter's default) and the read returns the bytes it got by
//   then. A chip with nothing to say leaves the bus high (0xFF);
// - GPIO line 0 (SCL) is the chip's reset: driven low as an output it holds
//   the chip in reset, releasing it restarts the chip.
// Defaults (README): port 0, unique ID 2237000123, chip mode 0, state 0,
// firmware 0x0105, 128 KiB SPI flash with 256-byte pages and 4 KiB sectors
// (part row 36), 32 KiB EEPROM, the version record
// "1.2,HeadsetApp,build7,x/y/tool/name.bin\n". The time scale comes from
// ORVO_TIME_SCALE when set.
//
// orvo_bench_aa_… functions let tests look at and change the simulated world,
// and arm the faults of the chip and the adapter: a chip fault for one of
// its next commands, a stretched I2C clock, an adapter pulled out of USB
// (every call on its handle fails until it is plugged in again; the handle
// stays dead).
#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <vector>

#include "bench/avnera/AvneraChip.h"
#include "platform/Clock.h"

#if defined(_WIN32)
#define BENCH_AA_EXPORT extern "C" __declspec(dllexport)
#else
#define BENCH_AA_EXPORT extern "C" __attribute__((visibility("default")))
#endif

namespace
{
// Status codes of the maker's interface.
constexpr int kAaOk = 0;
constexpr int kAaCommunicationError = -6;
constexpr int kAaUnableToOpen = -7;
constexpr int kAaInvalidHandle = -9;
constexpr int kAaSpiNotAvailable = -100;
constexpr int kAaI2cNotAvailable = -101;
constexpr int kAaI2cSlaveAddressNack = -107;
constexpr std::uint16_t kPortNotFree = 0x8000;
constexpr std::uint32_t kUniqueId = 2237000123u;

struct SAdapter
{
    std::unique_ptr<CAvneraChip> chip;
    bool open = false;
    int handle = 0;
    int nextHandle = 0;
    int config = 0x01; // the adapter's power-on default: SPI + GPIO
    int phase = 0;
    std::uint8_t direction = 0;
    std::uint8_t outputs = 0;
    bool writeEnabled = false;
    int flashBusyPolls = 0;
    std::vector<std::uint8_t> i2cPacket;
    bool unplugged = false;       // the adapter is off USB
    std::uint32_t stretchByte = 0; // the next I2C read stretches before this byte...
    std::uint32_t stretchMs = 0;   // ...for this long (0: no stretch armed)
};

// The adapter's I2C bus time-out (its default): a clock held low longer ends the transfer.
constexpr std::uint32_t kBusTimeoutMs = 200;

std::mutex g_mutex;
SAdapter g_adapter;
SAvneraChipConfig g_config;

void ApplyTimeScale()
{
    static bool done = false;
    if (done)
        return;
    done = true;
    const char* scale = std::getenv("ORVO_TIME_SCALE");
    if (scale != nullptr && std::strtod(scale, nullptr) > 0.0)
        CClock::SetTimeScale(std::strtod(scale, nullptr));
}

SAdapter& Adapter()
{
    ApplyTimeScale();
    if (!g_adapter.chip)
        g_adapter.chip = std::make_unique<CAvneraChip>(g_config);
    return g_adapter;
}

bool Valid(const SAdapter& adapter, int handle)
{
    return adapter.open && !adapter.unplugged && handle == adapter.handle;
}

// A chip fault that unplugs takes the adapter's USB connection with it.
void FollowChip(SAdapter& adapter)
{
    if (adapter.chip->Unplugged())
    {
        adapter.unplugged = true;
        adapter.open = false;
    }
}

void UpdateResetLine(SAdapter& adapter)
{
    const bool heldLow = (adapter.direction & 0x01) != 0 && (adapter.outputs & 0x01) == 0;
    adapter.chip->SetResetLine(!heldLow);
}

void HostPortExchange(SAdapter& adapter, const std::uint8_t* out, std::size_t length, std::uint8_t* in)
{
    CAvneraChip& chip = *adapter.chip;
    if (length == 1 && out[0] == 0x00)
    {
        in[0] = chip.SpiStatus();
        return;
    }
    if (out[0] == 0x01)
    {
        const std::vector<std::uint8_t> answer = chip.TakeAnswer();
        for (std::size_t i = 1; i < length && i - 1 < answer.size(); ++i)
            in[i] = answer[i - 1];
        return;
    }
    if (out[0] == 0x02 && length >= 3)
    {
        chip.HostRamWrite(static_cast<std::uint16_t>(out[1] | out[2] << 8), out + 3, length - 3);
        return;
    }
    chip.Command(out, length, EAvneraPort::Spi);
}

void FlashExchange(SAdapter& adapter, const std::uint8_t* out, std::size_t length, std::uint8_t* in)
{
    const bool busy = adapter.flashBusyPolls > 0;
    switch (out[0])
    {
    case 0x05:
        if (length >= 2)
            in[1] = static_cast<std::uint8_t>((busy ? 0x01 : 0) | (adapter.writeEnabled ? 0x02 : 0));
        if (busy)
            --adapter.flashBusyPolls;
        return;
    case 0x06:
        if (!busy)
            adapter.writeEnabled = true;
        return;
    case 0x04:
        if (!busy)
            adapter.writeEnabled = false;
        return;
    case 0x0A:
        // Ignored unless write-enabled and idle, as a real part does.
        if (busy || !adapter.writeEnabled || length < 4)
            return;
        if (length > 4)
            adapter.chip->SerialPageProgram(static_cast<std::uint32_t>(out[1] << 16 | out[2] << 8 | out[3]), out + 4,
                                            length - 4);
        adapter.writeEnabled = false;
        adapter.flashBusyPolls = 3;
        return;
    case 0x03:
        if (busy || length < 4)
            return;
        adapter.chip->SerialRead(static_cast<std::uint32_t>(out[1] << 16 | out[2] << 8 | out[3]), in + 4, length - 4);
        return;
    default: return;
    }
}
} // namespace

BENCH_AA_EXPORT std::uint32_t aa_c_version(void)
{
    return 0x0500u << 16 | 0x0532u;
}

BENCH_AA_EXPORT int c_aa_find_devices_ext(int numDevices, std::uint16_t* devices, int numIds, std::uint32_t* uniqueIds)
{
    std::lock_guard<std::mutex> lock(g_mutex);
    SAdapter& adapter = Adapter();
    if (adapter.unplugged)
        return 0;
    if (numDevices > 0 && devices != nullptr)
        devices[0] = adapter.open ? kPortNotFree : 0;
    if (numIds > 0 && uniqueIds != nullptr)
        uniqueIds[0] = kUniqueId;
    return 1;
}

BENCH_AA_EXPORT int c_aa_find_devices(int numDevices, std::uint16_t* devices)
{
    return c_aa_find_devices_ext(numDevices, devices, 0, nullptr);
}

BENCH_AA_EXPORT int c_aa_open(int port)
{
    std::lock_guard<std::mutex> lock(g_mutex);
    SAdapter& adapter = Adapter();
    if (port != 0 || adapter.open || adapter.unplugged)
        return kAaUnableToOpen;
    adapter.open = true;
    adapter.handle = ++adapter.nextHandle;
    return adapter.handle;
}

BENCH_AA_EXPORT int c_aa_close(int handle)
{
    std::lock_guard<std::mutex> lock(g_mutex);
    SAdapter& adapter = Adapter();
    if (!Valid(adapter, handle))
        return kAaInvalidHandle;
    adapter.open = false;
    return 1;
}

BENCH_AA_EXPORT int c_aa_port(int handle)
{
    std::lock_guard<std::mutex> lock(g_mutex);
    return Valid(Adapter(), handle) ? 0 : kAaInvalidHandle;
}

BENCH_AA_EXPORT std::uint32_t c_aa_unique_id(int handle)
{
    std::lock_guard<std::mutex> lock(g_mutex);
    return Valid(Adapter(), handle) ? kUniqueId : 0;
}

struct SBenchAaVersion
{
    std::uint16_t software, firmware, hardware, swReqByFw, fwReqBySw, apiReqBySw;
};

BENCH_AA_EXPORT int c_aa_version(int handle, SBenchAaVersion* version)
{
    std::lock_guard<std::mutex> lock(g_mutex);
    if (!Valid(Adapter(), handle))
        return kAaInvalidHandle;
    if (version != nullptr)
        *version = {0x0532, 0x0300, 0x0150, 0x0300, 0x0300, 0x0500};
    return kAaOk;
}

BENCH_AA_EXPORT int c_aa_configure(int handle, int config)
{
    std::lock_guard<std::mutex> lock(g_mutex);
    SAdapter& adapter = Adapter();
    if (!Valid(adapter, handle))
        return kAaInvalidHandle;
    if (config == 0x80)
        return adapter.config;
    adapter.config = config & 0x03;
    UpdateResetLine(adapter);
    return adapter.config;
}

BENCH_AA_EXPORT int c_aa_spi_configure(int handle, int polarity, int phase, int bitorder)
{
    std::lock_guard<std::mutex> lock(g_mutex);
    SAdapter& adapter = Adapter();
    if (!Valid(adapter, handle))
        return kAaInvalidHandle;
    adapter.phase = phase;
    return kAaOk;
}

BENCH_AA_EXPORT int c_aa_spi_slave_disable(int handle)
{
    std::lock_guard<std::mutex> lock(g_mutex);
    return Valid(Adapter(), handle) ? kAaOk : kAaInvalidHandle;
}

BENCH_AA_EXPORT int c_aa_spi_master_ss_polarity(int handle, int polarity)
{
    std::lock_guard<std::mutex> lock(g_mutex);
    return Valid(Adapter(), handle) ? kAaOk : kAaInvalidHandle;
}

BENCH_AA_EXPORT int c_aa_spi_write(int handle, std::uint16_t outBytes, const std::uint8_t* dataOut,
                                   std::uint16_t inBytes, std::uint8_t* dataIn)
{
    std::lock_guard<std::mutex> lock(g_mutex);
    SAdapter& adapter = Adapter();
    if (!Valid(adapter, handle))
        return kAaInvalidHandle;
    if ((adapter.config & 0x01) == 0)
        return kAaSpiNotAvailable;
    const std::size_t length = std::max(outBytes, inBytes);
    std::vector<std::uint8_t> out(length, 0), in(length, 0);
    if (dataOut != nullptr)
        std::memcpy(out.data(), dataOut, outBytes);
    if (length > 0)
    {
        if (adapter.phase == 1)
            HostPortExchange(adapter, out.data(), length, in.data());
        else
            FlashExchange(adapter, out.data(), length, in.data());
    }
    FollowChip(adapter);
    if (adapter.unplugged)
        return kAaCommunicationError;
    if (dataIn != nullptr)
        std::memcpy(dataIn, in.data(), inBytes);
    return inBytes;
}

BENCH_AA_EXPORT int c_aa_i2c_write(int handle, std::uint16_t slave, int flags, std::uint16_t count,
                                   const std::uint8_t* data)
{
    std::lock_guard<std::mutex> lock(g_mutex);
    SAdapter& adapter = Adapter();
    if (!Valid(adapter, handle))
        return kAaInvalidHandle;
    if ((adapter.config & 0x02) == 0)
        return kAaI2cNotAvailable;
    if (slave != 0x10)
        return kAaI2cSlaveAddressNack;
    if (count == 1 && data[0] == 0x00 && !adapter.i2cPacket.empty())
    {
        const EAvneraTake taken =
            adapter.chip->Command(adapter.i2cPacket.data(), adapter.i2cPacket.size(), EAvneraPort::I2c);
        adapter.i2cPacket.clear();
        FollowChip(adapter);
        if (adapter.unplugged)
            return kAaCommunicationError;
        // A chip that cannot take the packet does not acknowledge the byte that starts it.
        if (taken == EAvneraTake::Busy)
            return 0;
    }
    else
    {
        adapter.i2cPacket.assign(data, data + count);
    }
    return count;
}

BENCH_AA_EXPORT int c_aa_i2c_read(int handle, std::uint16_t slave, int flags, std::uint16_t count, std::uint8_t* data)
{
    std::lock_guard<std::mutex> lock(g_mutex);
    SAdapter& adapter = Adapter();
    if (!Valid(adapter, handle))
        return kAaInvalidHandle;
    if ((adapter.config & 0x02) == 0)
        return kAaI2cNotAvailable;
    if (slave != 0x10)
        return kAaI2cSlaveAddressNack;
    // The chip stretches the clock until its answer is there (or its
    // assertion bytes); the adapter waits for it as long as its bus time-out.
    const CDeadline deadline(kBusTimeoutMs);
    for (;;)
    {
        const std::uint8_t status = adapter.chip->SpiStatus();
        if ((status & 0x40) != 0 || (status & 0x03) != 0x01)
            break;
        if (deadline.IsExpired())
            return 0;
        CClock::Sleep(1);
    }
    std::vector<std::uint8_t> answer = adapter.chip->TakeAnswer();
    for (std::uint16_t i = 0; i < count; ++i)
    {
        if (adapter.stretchMs > 0 && i == adapter.stretchByte)
        {
            // A stretch armed by the bench: held past the bus time-out, the
            // transfer ends with the bytes read so far.
            const std::uint32_t ms = adapter.stretchMs;
            adapter.stretchMs = 0;
            CClock::Sleep(std::min(ms, kBusTimeoutMs));
            if (ms >= kBusTimeoutMs)
                return i;
        }
        // Without an answer the bus reads high.
        data[i] = i < answer.size() ? answer[i] : 0xFF;
    }
    return count;
}

BENCH_AA_EXPORT int c_aa_i2c_bitrate(int handle, int khz)
{
    std::lock_guard<std::mutex> lock(g_mutex);
    return Valid(Adapter(), handle) ? khz : kAaInvalidHandle;
}

BENCH_AA_EXPORT int c_aa_i2c_slave_disable(int handle)
{
    std::lock_guard<std::mutex> lock(g_mutex);
    return Valid(Adapter(), handle) ? kAaOk : kAaInvalidHandle;
}

BENCH_AA_EXPORT int c_aa_gpio_direction(int handle, std::uint8_t mask)
{
    std::lock_guard<std::mutex> lock(g_mutex);
    SAdapter& adapter = Adapter();
    if (!Valid(adapter, handle))
        return kAaInvalidHandle;
    adapter.direction = mask;
    UpdateResetLine(adapter);
    return kAaOk;
}

BENCH_AA_EXPORT int c_aa_gpio_set(int handle, std::uint8_t value)
{
    std::lock_guard<std::mutex> lock(g_mutex);
    SAdapter& adapter = Adapter();
    if (!Valid(adapter, handle))
        return kAaInvalidHandle;
    adapter.outputs = value;
    UpdateResetLine(adapter);
    return kAaOk;
}

// The bench side ---------------------------------------------------------------

// A fresh adapter and chip. mode, state as the chip reports them; neverReady 1
// makes a chip whose status never shows ready.
BENCH_AA_EXPORT void orvo_bench_aa_restore(std::uint32_t mode, std::uint32_t state, std::uint32_t neverReady)
{
    std::lock_guard<std::mutex> lock(g_mutex);
    g_config = SAvneraChipConfig{};
    g_config.mode = mode;
    g_config.state = static_cast<std::uint8_t>(state);
    g_config.neverReady = neverReady != 0;
    g_adapter = SAdapter{};
    g_adapter.chip = std::make_unique<CAvneraChip>(g_config);
}

// GPIO outputs in bits 0..7, directions in 8..15, the adapter configuration in 16..23.
BENCH_AA_EXPORT std::uint32_t orvo_bench_aa_gpio(void)
{
    std::lock_guard<std::mutex> lock(g_mutex);
    SAdapter& adapter = Adapter();
    return adapter.outputs | static_cast<std::uint32_t>(adapter.direction) << 8 |
           static_cast<std::uint32_t>(adapter.config) << 16;
}

BENCH_AA_EXPORT std::uint32_t orvo_bench_aa_resets(void)
{
    std::lock_guard<std::mutex> lock(g_mutex);
    return Adapter().chip->ResetCount();
}

BENCH_AA_EXPORT void orvo_bench_aa_assert(const std::uint8_t* code)
{
    std::lock_guard<std::mutex> lock(g_mutex);
    if (code == nullptr)
        Adapter().chip->ClearAssertion();
    else
        Adapter().chip->Assert(code);
}

BENCH_AA_EXPORT std::uint32_t orvo_bench_aa_serial(std::uint32_t address, std::uint32_t length, std::uint8_t* out)
{
    std::lock_guard<std::mutex> lock(g_mutex);
    const std::vector<std::uint8_t> data = Adapter().chip->Serial(address, length);
    std::copy(data.begin(), data.end(), out);
    return static_cast<std::uint32_t>(data.size());
}

BENCH_AA_EXPORT std::uint32_t orvo_bench_aa_ram(std::uint16_t address, std::uint32_t length, std::uint8_t* out)
{
    std::lock_guard<std::mutex> lock(g_mutex);
    const std::vector<std::uint8_t> data = Adapter().chip->Ram(address, length);
    std::copy(data.begin(), data.end(), out);
    return static_cast<std::uint32_t>(data.size());
}

BENCH_AA_EXPORT std::uint32_t orvo_bench_aa_eeprom(std::uint32_t address, std::uint32_t length, std::uint8_t* out)
{
    std::lock_guard<std::mutex> lock(g_mutex);
    const std::vector<std::uint8_t> data = Adapter().chip->Eeprom(address, length);
    std::copy(data.begin(), data.end(), out);
    return static_cast<std::uint32_t>(data.size());
}

// The image the chip ran after the last download (its length; copies at most capacity bytes).
BENCH_AA_EXPORT std::uint32_t orvo_bench_aa_download(std::uint8_t* out, std::uint32_t capacity)
{
    std::lock_guard<std::mutex> lock(g_mutex);
    CAvneraChip& chip = *Adapter().chip;
    if (!chip.Running())
        return 0;
    const std::vector<std::uint8_t> image = chip.DownloadedImage();
    std::copy_n(image.begin(), std::min<std::size_t>(capacity, image.size()), out);
    return static_cast<std::uint32_t>(image.size());
}

// Arms a chip fault (EAvneraFault numbering: 1 assert, 2 lost, 3 no answer,
// 4 short answer, 5 wrong opcode, 6 unplug) for the nth command the chip
// takes from now; kind 0 clears it. param: bytes missing for a short answer.
BENCH_AA_EXPORT void orvo_bench_aa_fault(std::uint32_t kind, std::uint32_t nth, std::uint32_t param)
{
    std::lock_guard<std::mutex> lock(g_mutex);
    CAvneraChip& chip = *Adapter().chip;
    if (kind == 0 || kind > static_cast<std::uint32_t>(EAvneraFault::Unplug))
        chip.ClearFault();
    else
        chip.ArmFault(static_cast<EAvneraFault>(kind), nth, param);
}

// The next I2C read from the chip stretches the clock for ms before its byte atByte.
BENCH_AA_EXPORT void orvo_bench_aa_stretch(std::uint32_t atByte, std::uint32_t ms)
{
    std::lock_guard<std::mutex> lock(g_mutex);
    SAdapter& adapter = Adapter();
    adapter.stretchByte = atByte;
    adapter.stretchMs = ms;
}

// 1: the adapter is off USB (with its chip); 0: plugged in again, chip restarted.
BENCH_AA_EXPORT void orvo_bench_aa_unplug(std::uint32_t unplugged)
{
    std::lock_guard<std::mutex> lock(g_mutex);
    SAdapter& adapter = Adapter();
    if (unplugged != 0)
    {
        adapter.unplugged = true;
        adapter.open = false;
        return;
    }
    adapter.unplugged = false;
    adapter.chip->Replug();
}

BENCH_AA_EXPORT std::uint32_t orvo_bench_aa_unplugged(void)
{
    std::lock_guard<std::mutex> lock(g_mutex);
    SAdapter& adapter = Adapter();
    FollowChip(adapter);
    return adapter.unplugged ? 1 : 0;
}

// 1 while the chip is in its firmware-upgrade (flash) mode.
BENCH_AA_EXPORT std::uint32_t orvo_bench_aa_flash_mode(void)
{
    std::lock_guard<std::mutex> lock(g_mutex);
    return Adapter().chip->InFlashMode() ? 1 : 0;
}
