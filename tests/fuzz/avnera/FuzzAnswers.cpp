// Answer packets fed to the receive paths: the fuzz input is what a HID
// device returns for every feature report the host reads (status, answers,
// memory reports), cut into 263-byte reports. Every export that reads
// answers runs on both HID transports; none may read or write outside its
// buffers or hang.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <vector>

#include "avnera/HostInternal.h"
#include "avnera/OrvoHostApi.h"
#include "platform/Clock.h"
#include "tests/fuzz/avnera/FuzzHidSystem.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    static bool once = false;
    if (!once)
    {
        // The device answers at once from the input: the code's polls and
        // time-outs need last no real time at all (each sleep is still a
        // system call).
        CClock::SetTimeScale(1e-7);
        once = true;
    }
    if (size < 1)
        return 0;
    CFuzzHidSystem system;
    system.vendorId = 0x170D;
    system.productId = 0xFE00;
    system.reports = EFuzzReports::Raw;
    // The first byte picks the transport and the feature-report length.
    const std::uint8_t selector = data[0];
    system.data = data + 1;
    system.size = size - 1;
    system.featureLength = static_cast<std::uint16_t>((selector & 0x80) ? 263 : 2 + (selector & 0x3F));
    avnera::SetHidSystem(&system);
    const std::uint32_t type = selector & 1;
    AvDeviceHandle* handle = nullptr;
    if (AvDllOpenDevice(type, 0, &handle) == 0)
    {
        commandSetTimeout(handle, 1);
        std::uint8_t answer[24];
        commandGetResponse(handle, answer);
        std::uint8_t code[5];
        getAssertCode(handle, code);
        std::uint8_t peek[16];
        MemoryPeek(handle, 0x1000, 16, peek);
        AvDllRefreshDevice(handle);
        AvDeviceQuery query = {};
        AvDllQueryDevice(handle, &query);
        char version[32];
        char name[95];
        systemVersionAppNameGet(handle, version, name);
        std::uint8_t eeprom[20];
        eepromRead(handle, 0, sizeof(eeprom), eeprom);
        AvMacStats stats;
        macGetStats(handle, 0, &stats, 0);
        std::vector<std::uint8_t> flash(300);
        FlashRead(handle, 0, 300, flash.data());
        std::vector<std::uint8_t> serial(40);
        SerialMemRead(handle, 0, 40, serial.data(), 35);
        // The paths that read back what they wrote.
        std::uint32_t firmware = 0;
        deviceVersion(handle, &firmware);
        const std::uint8_t bytes[20] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16, 17, 18, 19, 20};
        eepromWrite(handle, 0x0106, sizeof(bytes), bytes);
        SerialMemWrite(handle, 0x30, 20, serial.data(), 13);
        SerialMemErase(handle, 0x1000, 40, serial.data(), 36);
        SetFlashType(handle, 1);
        FlashWrite(handle, 0xF0, 40, serial.data());
        FlashRead(handle, 0, 300, flash.data());
        AvDllCloseHandle(handle);
    }
    std::uint16_t indexes[10];
    std::uint32_t ids[10];
    AvDllListDevices(type, 10, indexes, ids);
    AvDllShutdown();
    avnera::SetHidSystem(nullptr);
    return 0;
}
