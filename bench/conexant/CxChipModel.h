#pragma once
// Simulated Conexant USB audio chips on the bench USB world.
//
// Each chip answers memory requests in the output reports of its HID
// interface the way its firmware does:
//
//  - "byte-addressed" chips (CX20562, CX2076x, and the CX2070x sold as
//    0572:1410 in a CX20562 package): 6-byte requests
//      [id][cmd | addr bits 12-8][addr bits 7-0][d0/0][d1/d0][checksum]
//    where the checksum is the sum over bytes 1-4 of (0xFF - byte); a request
//    whose checksum does not add up is ignored, no reply. Every request is
//    answered with a 3-byte report: [reply id][cmd][byte] for memory, or
//    [reply id][lo][hi] for the register space; a write is answered with what
//    the cell holds after the write.
//  - "block" chips (CX2070x, CX2077x): 37-byte requests
//      [id][cmd][length][addr 15-8][addr 7-0][data ...]
//    with bit 0x10 of cmd for addresses from 0x10000; register requests carry
//    the register number in cmd bits 3-5 and the value in bytes 4-5. Reads
//    are answered with [reply id][data ...] (33 bytes); writes get no answer.
//  - the CX20805 has no memory interface: it swallows every report.
//
// Memories: the EEPROM (absent, blank or with contents; the chip decodes 17
// address bits and a smaller part wraps), the chip's RAM/ROM space (ROM
// writes are ignored) and the register space. The firmware keeps the EEPROM
// size code it booted with and the version of the patch it runs in RAM.
//
// Faults on demand (SCxChipFaults) make it behave as real chips and buses
// do: replies with other report IDs first, replies that never come, writes
// that never complete or fail, an unplug in the middle of an access, EEPROM
// cells that keep a wrong value, EEPROM that programs AND-wise.
//
// Threads: the world calls the model one report at a time; the inspection
// operations may be called from any thread.

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "bench/usb/BenchUsbWorld.h"

enum class ECxBenchChip
{
    Cx20562,
    Cx2070x,
    Cx2077x,
    Cx2076x,
    Cx20805,
    Cx2070xAs1410, // CX2070x silicon in a product 0572:1410 with the CX20562 HID identity
};

// "cx20562", "cx2070x", "cx2077x", "cx2076x", "cx20805", "cx1410"; false for other names.
bool ParseCxBenchChip(const std::string& name, ECxBenchChip& chip);
const char* CxBenchChipName(ECxBenchChip chip);

struct SCxChipFaults
{
    std::uint32_t strayReportsBeforeReply = 0; // each reply is preceded by this many reports of another ID
    std::uint32_t strayReportsOnce = 0;        // only the next reply gets them
    int dropReplies = 0;                       // replies swallowed (-1: every one)
    int timeoutWrites = 0;                     // output reports that never complete (-1: every one)
    int failWrites = 0;                        // output reports the device refuses (-1: every one)
    int unplugAfterRequests = -1;              // drop off the bus after this many requests
    std::int32_t stuckEepromAddress = -1;      // this EEPROM cell keeps bit 0 cleared
    bool eepromAndWise = false;                // EEPROM cells only clear bits (not erased before writing)
};

struct SCxChipConfig
{
    ECxBenchChip chip = ECxBenchChip::Cx2070x;
    std::uint16_t vendorId = 0x0572;
    std::uint16_t productId = 0x1500;
    std::wstring product = L"USB Audio Device";
    std::wstring string41; // the chip's signature string; empty: the device has none
    // Wire format.
    bool blockProtocol = true;
    std::uint8_t requestId = 0x04;
    std::uint8_t replyId = 0x05;
    std::uint8_t writeBit = 0x40;
    std::uint8_t eepromBit = 0x20;
    std::uint8_t registerBit = 0x80;
    std::uint16_t inputLength = 0x21;
    std::uint16_t outputLength = 0x25;
    bool noMemoryInterface = false;
    bool eepromWritable = true;
    // Memories.
    std::uint32_t ramSize = 0x10000;
    std::uint32_t romStart = 0x10000; // RAM space from here on is ROM
    std::uint32_t eepromSize = 0x2000; // 0: no EEPROM
    std::vector<std::uint8_t> eepromContents; // empty: blank (0xFF)
    // Firmware facts kept in RAM.
    std::int32_t sizeCodeAddress = 4755;    // -1: the firmware keeps none
    std::int32_t patchVersionAddress = 0x1000;
    std::uint8_t firmwareSizeCode = 0x05;   // what the firmware believes
    std::uint8_t patchVersion[3] = {0, 0, 0};
    SCxChipFaults faults;
};

// The configuration of a chip type as it leaves the factory.
SCxChipConfig MakeCxChipConfig(ECxBenchChip chip);
// A valid EEPROM image: magic 0x4C, the size code, a layout header at 32.
std::vector<std::uint8_t> MakeCxEepromImage(std::uint32_t size, std::uint8_t sizeCode);

class CCxChipModel : public IBenchHidModel
{
public:
    explicit CCxChipModel(const SCxChipConfig& config);

    // The USB device that carries this model (one HID interface).
    SBenchDevice Device(const std::shared_ptr<CCxChipModel>& self) const;

    // Inspection and set-up (any thread).
    std::vector<std::uint8_t> Eeprom();
    void SetEeprom(const std::vector<std::uint8_t>& bytes);
    std::vector<std::uint8_t> Ram();
    void PokeRam(std::uint32_t address, const std::vector<std::uint8_t>& bytes);
    std::uint16_t Register(std::uint32_t index);
    void SetFaults(const SCxChipFaults& faults);
    std::uint32_t RequestCount();
    std::uint32_t ReplyCount();
    std::uint32_t IgnoredRequests(); // bad checksum or unknown report ID
    std::vector<std::uint8_t> LastRequest();
    std::vector<std::vector<std::uint8_t>> Requests(); // every report received
    // Memories kept between runs (EEPROM, RAM, registers) in dir.
    bool SaveState(const std::string& dir);
    bool LoadState(const std::string& dir);

    // IBenchHidModel
    void OnAttach(const std::shared_ptr<IBenchHidSink>& sink) override;
    void OnDetach() override;
    EHidResult OnOutputReport(const std::uint8_t* report, std::size_t length) override;

private:
    bool TakeFault(int& counter);
    void Reply(const std::vector<std::uint8_t>& reply);
    std::uint8_t EepromByte(std::uint32_t address) const;
    void EepromStore(std::uint32_t address, std::uint8_t value);
    std::uint8_t RamByte(std::uint32_t address) const;
    void RamStore(std::uint32_t address, std::uint8_t value);
    void HandleByteRequest(const std::uint8_t* r);
    void HandleBlockRequest(const std::uint8_t* r, std::size_t length);

    std::mutex m_mutex;
    SCxChipConfig m_config;
    std::shared_ptr<IBenchHidSink> m_sink;
    std::vector<std::uint8_t> m_eeprom;
    std::vector<std::uint8_t> m_ram;
    std::vector<std::uint16_t> m_registers; // byte-addressed chips: 0x2000 cells; block chips: 8
    std::uint32_t m_requests = 0;
    std::uint32_t m_replies = 0;
    std::uint32_t m_ignored = 0;
    std::vector<std::vector<std::uint8_t>> m_log;
};
