// The adapter transport (type 2): the adapter is an SPI master (or I2C
// master) wired to the chip's host port; direct memory operations talk to the
// chip's serial flash.
#include <algorithm>
#include <cstring>
#include <vector>

#include "avnera/AardvarkLibrary.h"
#include "avnera/HostInternal.h"
#include "platform/Clock.h"

namespace avnera
{
namespace
{
constexpr std::uint16_t kI2cSlave = 0x10;
constexpr int kMaxAdapters = 10;

int g_ports[kSlotCount];

AaHandle HandleOf(const AvDeviceHandle* handle)
{
    return static_cast<AaHandle>(handle->link);
}

bool Exchange(const SAardvarkApi& api, AvDeviceHandle* handle, const std::uint8_t* out, std::size_t length,
              std::uint8_t* in)
{
    const int moved = api.spiWrite(HandleOf(handle), static_cast<std::uint16_t>(length), out,
                                   static_cast<std::uint16_t>(length), in);
    return moved == static_cast<int>(length);
}

std::uint8_t SpiStatus(const SAardvarkApi& api, AvDeviceHandle* handle)
{
    const std::uint8_t out = 0x00;
    std::uint8_t in = 0;
    return Exchange(api, handle, &out, 1, &in) ? in : 0x08;
}

enum class EWait
{
    Ready,
    Asserted,
    TimedOut,
};

EWait WaitStatus(const SAardvarkApi& api, AvDeviceHandle* handle, std::uint8_t mask, std::uint8_t want,
                 std::uint32_t timeoutMs)
{
    const CDeadline deadline(timeoutMs);
    for (;;)
    {
        // The status read after the deadline passed is the last one: a
        // thread that was held up past the deadline still sees a chip that
        // got ready in time.
        const bool last = deadline.IsExpired();
        const std::uint8_t status = SpiStatus(api, handle);
        if ((status & 0x40) != 0)
            return EWait::Asserted;
        if ((status & mask) == want)
            return EWait::Ready;
        if (last)
            return EWait::TimedOut;
    }
}

// Reads the chip's pending answer (the assertion bytes after an assertion).
bool ReadAnswer(const SAardvarkApi& api, AvDeviceHandle* handle, std::uint32_t capacity, std::uint8_t* bytes)
{
    std::vector<std::uint8_t> out(capacity + 1, 0), in(capacity + 1, 0);
    out[0] = 0x01;
    if (!Exchange(api, handle, out.data(), out.size(), in.data()))
        return false;
    std::memcpy(bytes, in.data() + 1, capacity);
    return true;
}

bool ConfigureSpi(const SAardvarkApi& api, AaHandle aa, int phase)
{
    bool ok = api.configure(aa, kAaConfigSpiGpio) >= 0;
    ok = api.spiSlaveDisable(aa) >= 0 && ok;
    ok = api.spiMasterSsPolarity(aa, kAaSpiSsActiveLow) >= 0 && ok;
    ok = api.spiConfigure(aa, kAaSpiPolRisingFalling, phase, kAaSpiBitorderMsb) >= 0 && ok;
    return ok;
}

bool Reopen(const SAardvarkApi& api, AvDeviceHandle* handle)
{
    const std::size_t slot = SlotOf(handle);
    if (slot >= kSlotCount)
        return false;
    api.close(HandleOf(handle));
    const AaHandle aa = api.open(g_ports[slot]);
    if (aa <= 0)
    {
        handle->link = 0;
        return false;
    }
    handle->link = static_cast<std::uint32_t>(aa);
    return true;
}

int32_t AaSend(AvDeviceHandle* handle, uint32_t length, uint8_t* bytes)
{
    const SAardvarkApi* api = AardvarkApi();
    if (api == nullptr || bytes == nullptr || length == 0)
        return kFail;
    if (handle->i2cMode != 0)
    {
        std::vector<std::uint8_t> packet(bytes, bytes + length);
        if (packet[0] >= 0xFB && packet.size() > 1)
            packet[1] = 0x19;
        if (api->i2cWrite(HandleOf(handle), kI2cSlave, kAaI2cNoFlags, static_cast<std::uint16_t>(packet.size()),
                          packet.data()) != static_cast<int>(packet.size()))
            return kFail;
        const std::uint8_t zero = 0;
        return api->i2cWrite(HandleOf(handle), kI2cSlave, kAaI2cNoFlags, 1, &zero) == 1 ? 0 : kFail;
    }
    switch (WaitStatus(*api, handle, 0x11, 0x00, 2000))
    {
    case EWait::Asserted:
        // The assertion bytes follow as the pending answer; they go where the
        // HID transports put them (bytes 2..6 of the framed packet).
        ReadAnswer(*api, handle, 5, bytes + 2);
        return kAsserted;
    case EWait::TimedOut: return kFail;
    case EWait::Ready: break;
    }
    std::vector<std::uint8_t> in(length, 0);
    return Exchange(*api, handle, bytes, length, in.data()) ? 0 : kFail;
}

int32_t AaReceive(AvDeviceHandle* handle, uint32_t* length, uint8_t* bytes)
{
    const SAardvarkApi* api = AardvarkApi();
    if (api == nullptr || length == nullptr || bytes == nullptr || *length == 0)
        return kFail;
    if (handle->i2cMode != 0)
    {
        // The master clocks every byte it asks for; fewer means the chip
        // held the clock past the adapter's bus time-out (or the bus failed).
        const int read = api->i2cRead(HandleOf(handle), kI2cSlave, kAaI2cNoFlags, static_cast<std::uint16_t>(*length), bytes);
        if (read != static_cast<int>(*length))
            return kFail;
        // An asserted chip gives its assertion bytes (the status 0x40, then
        // the four codes) where an answer would start with 0xFE.
        if (*length >= 5 && bytes[0] == 0x40)
            return kAsserted;
        return read;
    }
    switch (WaitStatus(*api, handle, 0x13, 0x02, handle->timeout))
    {
    case EWait::Asserted:
        if (*length >= 5 && ReadAnswer(*api, handle, 5, bytes))
            return kAsserted;
        return kFail;
    case EWait::TimedOut: return kFail;
    case EWait::Ready: break;
    }
    if (!ReadAnswer(*api, handle, *length, bytes))
        return kFail;
    return static_cast<std::int32_t>(*length);
}

int32_t AaClose(AvDeviceHandle* handle)
{
    const SAardvarkApi* api = AardvarkApi();
    if (api == nullptr)
        return kFail;
    return api->close(HandleOf(handle)) >= 0 ? 0 : kFail;
}

int32_t AaControl(AvDeviceHandle* handle, uint32_t code, uint32_t value)
{
    const SAardvarkApi* api = AardvarkApi();
    if (api == nullptr)
        return kFail;
    const AaHandle aa = HandleOf(handle);
    switch (code)
    {
    case 0:
        if (value == 0)
        {
            api->configure(aa, kAaConfigGpioOnly);
            api->gpioDirection(aa, 0xFF);
            return api->gpioSet(aa, 0x00) >= 0 ? 0 : kFail;
        }
        if (value == 1)
        {
            api->gpioSet(aa, 0xFF);
            return api->configure(aa, kAaConfigSpiGpio) >= 0 ? 0 : kFail;
        }
        return kBadArgument;
    case 1:
        if (value == 0)
            return kBadArgument;
        if (handle->i2cMode != 0)
        {
            // The SPI+GPIO configuration would switch the I2C master off: a
            // handle in I2C mode keeps SPI+I2C.
            bool ok = api->configure(aa, kAaConfigSpiI2c) >= 0;
            ok = api->spiConfigure(aa, kAaSpiPolRisingFalling, kAaSpiPhaseSetupSample, kAaSpiBitorderMsb) >= 0 && ok;
            return ok ? 0 : kFail;
        }
        return ConfigureSpi(*api, aa, kAaSpiPhaseSetupSample) ? 0 : kFail;
    case 2:
    {
        // Value 0 leaves the flash wiring: the host port's configuration again.
        if (value == 0)
            return AaControl(handle, 1, 1);
        if (value != 1)
            return kBadArgument;
        if (!Reopen(*api, handle))
            return kFail;
        const AaHandle again = HandleOf(handle);
        bool ok = api->configure(again, kAaConfigSpiGpio) >= 0;
        ok = api->gpioDirection(again, 0xFF) >= 0 && ok;
        ok = api->gpioSet(again, 0xFF) >= 0 && ok;
        ok = api->spiConfigure(again, kAaSpiPolRisingFalling, kAaSpiPhaseSampleSetup, kAaSpiBitorderMsb) >= 0 && ok;
        ok = api->spiMasterSsPolarity(again, kAaSpiSsActiveLow) >= 0 && ok;
        return ok ? 0 : kFail;
    }
    case 3:
        if (value == 0)
        {
            handle->i2cMode = 0;
            return 0;
        }
        else
        {
            if (!Reopen(*api, handle))
                return kFail;
            const AaHandle again = HandleOf(handle);
            bool ok = api->configure(again, kAaConfigSpiI2c) >= 0;
            ok = api->i2cBitrate(again, 100) >= 0 && ok;
            ok = api->i2cSlaveDisable(again) >= 0 && ok;
            handle->i2cMode = 1;
            return ok ? 0 : kFail;
        }
    default: return kBadArgument;
    }
}

// Serial flash behind the chip: wait until its status shows no write in progress.
bool WaitFlashIdle(const SAardvarkApi& api, AvDeviceHandle* handle)
{
    const CDeadline deadline(10000);
    for (;;)
    {
        const bool last = deadline.IsExpired();
        const std::uint8_t out[2] = {0x05, 0x00};
        std::uint8_t in[2] = {};
        if (Exchange(api, handle, out, 2, in) && (in[1] & 0x01) == 0)
            return true;
        if (last)
            return false;
    }
}

bool SendByte(const SAardvarkApi& api, AvDeviceHandle* handle, std::uint8_t value)
{
    std::uint8_t in = 0;
    return Exchange(api, handle, &value, 1, &in);
}

int32_t AaMemWrite(AvDeviceHandle* handle, uint32_t address, uint16_t length, const uint8_t* bytes)
{
    const SAardvarkApi* api = AardvarkApi();
    if (api == nullptr || (length > 0 && bytes == nullptr))
        return kFail;
    if (!WaitFlashIdle(*api, handle) || !SendByte(*api, handle, 0x06))
        return kFail;
    std::vector<std::uint8_t> out(4 + length), in(4 + length);
    out[0] = 0x0A;
    out[1] = static_cast<std::uint8_t>(address >> 16);
    out[2] = static_cast<std::uint8_t>(address >> 8);
    out[3] = static_cast<std::uint8_t>(address);
    if (length > 0)
        std::memcpy(out.data() + 4, bytes, length);
    if (!Exchange(*api, handle, out.data(), out.size(), in.data()))
        return kFail;
    if (!WaitFlashIdle(*api, handle))
        return kFail;
    return SendByte(*api, handle, 0x04) ? 0 : kFail;
}

int32_t AaMemRead(AvDeviceHandle* handle, uint32_t address, uint16_t length, uint8_t* bytes)
{
    const SAardvarkApi* api = AardvarkApi();
    if (api == nullptr || bytes == nullptr)
        return kFail;
    if (!WaitFlashIdle(*api, handle))
        return kFail;
    std::vector<std::uint8_t> out(4 + length, 0), in(4 + length, 0);
    out[0] = 0x03;
    out[1] = static_cast<std::uint8_t>(address >> 16);
    out[2] = static_cast<std::uint8_t>(address >> 8);
    out[3] = static_cast<std::uint8_t>(address);
    if (!Exchange(*api, handle, out.data(), out.size(), in.data()))
        return kFail;
    std::memcpy(bytes, in.data() + 4, length);
    return 0;
}

int32_t AaBlockWrite(AvDeviceHandle* handle, uint16_t address, uint16_t length, const uint8_t* bytes)
{
    const SAardvarkApi* api = AardvarkApi();
    if (api == nullptr || (length > 0 && bytes == nullptr))
        return kFail;
    std::vector<std::uint8_t> out(3 + length), in(3 + length);
    out[0] = 0x02;
    out[1] = static_cast<std::uint8_t>(address);
    out[2] = static_cast<std::uint8_t>(address >> 8);
    if (length > 0)
        std::memcpy(out.data() + 3, bytes, length);
    return Exchange(*api, handle, out.data(), out.size(), in.data()) ? 0 : kFail;
}

// The adapter has no block-read of its own: the pieces are read with the
// same peek packets the HID transports use, through the command channel.
int32_t AaBlockRead(AvDeviceHandle* handle, uint16_t address, uint16_t length, uint8_t* bytes)
{
    if (bytes == nullptr)
        return kFail;
    for (std::uint32_t done = 0; done < length;)
    {
        const std::uint8_t n = static_cast<std::uint8_t>(std::min<std::uint32_t>(16, length - done));
        const std::int32_t read = MemoryPeek(handle, static_cast<std::uint16_t>(address + done), n, bytes + done);
        if (read != 0)
            return read == kAsserted ? kAsserted : kFail;
        done += n;
    }
    return 0;
}
} // namespace

const AvTransportOps kAardvarkOps = {AaSend,     AaReceive, AaClose,      AaControl,
                                     AaMemWrite, AaMemRead, AaBlockWrite, AaBlockRead};

std::int32_t AardvarkList(std::uint32_t maximum, std::uint16_t* indexes, std::uint32_t* ids)
{
    const SAardvarkApi* api = AardvarkApi();
    if (api == nullptr)
        return 0;
    std::uint16_t ports[kMaxAdapters] = {};
    std::uint32_t uniqueIds[kMaxAdapters] = {};
    const int found = api->findDevicesExt(kMaxAdapters, ports, kMaxAdapters, uniqueIds);
    if (found <= 0)
        return 0;
    const std::uint32_t count = std::min<std::uint32_t>({static_cast<std::uint32_t>(found),
                                                         static_cast<std::uint32_t>(kMaxAdapters), maximum});
    for (std::uint32_t i = 0; i < count; ++i)
    {
        indexes[i] = static_cast<std::uint16_t>(i);
        ids[i] = uniqueIds[i];
    }
    return static_cast<std::int32_t>(count);
}

std::int32_t AardvarkOpen(AvDeviceHandle* handle, std::uint32_t index)
{
    const SAardvarkApi* api = AardvarkApi();
    const std::size_t slot = SlotOf(handle);
    if (api == nullptr || slot >= kSlotCount || index >= kMaxAdapters)
        return kFail;
    std::uint16_t ports[kMaxAdapters] = {};
    std::uint32_t uniqueIds[kMaxAdapters] = {};
    const int found = api->findDevicesExt(kMaxAdapters, ports, kMaxAdapters, uniqueIds);
    if (found <= 0 || index >= static_cast<std::uint32_t>(std::min(found, kMaxAdapters)))
        return kFail;
    const int port = ports[index] & ~kAaPortNotFree;
    const AaHandle aa = api->open(port);
    if (aa <= 0)
        return kFail;
    g_ports[slot] = port;
    handle->link = static_cast<std::uint32_t>(aa);
    handle->i2cMode = 0;
    if (!ConfigureSpi(*api, aa, kAaSpiPhaseSetupSample))
    {
        api->close(aa);
        handle->link = 0;
        return kFail;
    }
    return 0;
}

bool AardvarkQuery(AvDeviceHandle* handle, std::uint32_t& uniqueId, std::uint32_t& version)
{
    const SAardvarkApi* api = AardvarkApi();
    if (api == nullptr)
        return false;
    uniqueId = api->uniqueId(HandleOf(handle));
    SAardvarkVersion v = {};
    if (api->version(HandleOf(handle), &v) < 0)
        return false;
    version = v.firmware;
    return true;
}
} // namespace avnera
