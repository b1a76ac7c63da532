#pragma once
// A simulated AV7201 wireless headset on the bench USB world.
//
// The chip boots from an I2C EEPROM (24C128-like: 16 KiB, 64-byte pages,
// writes wrap inside their page). At power-up and after a reset it checks
// the image header at 0x80 (byte 1: number of files) and the first file
// header at 0x84: with a sane image it runs it and enumerates as 2C6D:3240,
// otherwise the ROM's default image runs and it enumerates as 170D:0001.
// Either way its firmware answers 64-byte feature reports with ID 0xFF
// (collection 0xFF00/0x0001):
//   set [FF, 9, 0, FD, 4, 3, 4, A1, n|A0, addr hi, addr lo]   EEPROM read of n <= 53 bytes
//   set [FF, x, 0, FF, 4, 3, n+4, A0, n|A0, addr hi, addr lo, data]   EEPROM write
//   set [FF, 2, 0, 05]   reset: the headset leaves the bus and comes back
//   get FF  [FF, answer length + 1, status, answer]; a read's answer is
//           [FE, 3, 4, 4, A1, n|A0, hi, lo, data] (data from report byte 11)
// A new command replaces the last answer; a command it does not know is
// ignored. The EEPROM keeps its contents across resets, re-enumeration and
// power cycles (Replug).
//
// Strict variants (config): EEPROM cells that do not take a write, an
// EEPROM write cycle during which every EEPROM command stalls, firmware
// that answers nothing for a while after it came on the bus, answers that
// show late, and a headset pulled out as it takes its N-th EEPROM write.
// The EEPROM decodes only its own address bits: reads and writes beyond its
// size wrap onto its beginning.
//
// Threads: any; the world calls the model one call at a time.

#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "bench/usb/BenchUsbWorld.h"

struct SAV7201HeadsetConfig
{
    std::uint32_t eepromSize = 16384;
    std::uint32_t eepromPage = 64;
    std::vector<std::uint8_t> eeprom;              // initial contents (shorter: the rest blank 0xFF)
    std::map<std::uint32_t, std::uint8_t> stuckCells; // cells that keep this value whatever is written
    std::uint32_t writeCycleMs = 0;                // EEPROM busy after each write; commands stall meanwhile
    std::uint32_t bootMs = 0;                      // after coming on the bus the firmware answers nothing this long
    int unplugAtWrite = 0;                         // > 0: pulled out as it takes its N-th EEPROM write, for good
    std::uint32_t reenumerateMs = 500;             // a reset: back on the bus this much later
    std::uint32_t answerDelayMs = 0;               // an answer shows this long after its command (busy before)
};

class CAV7201Headset : public std::enable_shared_from_this<CAV7201Headset>
{
public:
    static std::shared_ptr<CAV7201Headset> Create(const SAV7201HeadsetConfig& config = {});

    static constexpr const wchar_t* kProductName = L"Orvo AV7201 Wireless Headset";
    static constexpr const wchar_t* kDefaultImageName = L"AV7201 Default Image";
    static constexpr std::uint16_t kFeatureLength = 64;

    // Plugs the headset in (power-up: it enumerates by its EEPROM).
    BenchId Plug(CBenchUsbWorld& world, BenchId hub, std::uint8_t port);
    // How it enumerates when it boots from its EEPROM as it is now.
    SBenchDevice BootDevice();
    bool ImageValid();

    // After it was pulled out for good: the next Plug brings it back (the
    // unplug fault is spent).
    void Reconnect();

    std::vector<std::uint8_t> Eeprom();
    std::uint32_t EepromWrites();
    std::uint32_t ReportsTaken(); // feature reports set while the firmware ran
    std::uint32_t Stalls();       // EEPROM commands stalled by a write cycle
    std::uint32_t Resets();

    explicit CAV7201Headset(const SAV7201HeadsetConfig& config);

private:
    friend class CAV7201HidModel;
    EHidResult SetFeature(const std::uint8_t* report, std::size_t length, IBenchHidSink* sink);
    EHidResult GetFeature(std::uint8_t* report, std::size_t length);
    void Attached();
    bool ImageValidLocked() const;
    SBenchDevice DeviceLocked(bool valid);

    std::mutex m_mutex;
    SAV7201HeadsetConfig m_config;
    std::vector<std::uint8_t> m_eeprom;
    std::vector<std::uint8_t> m_answer; // [length + 1, status, answer...] as a get shows it
    std::uint64_t m_bootUntil = 0;
    std::uint64_t m_busyUntil = 0;
    std::uint64_t m_answerAt = 0;
    std::uint32_t m_writes = 0;
    std::uint32_t m_reports = 0;
    std::uint32_t m_stalls = 0;
    std::uint32_t m_resets = 0;
    bool m_gone = false;
};
