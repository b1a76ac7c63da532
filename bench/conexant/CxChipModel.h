#pragma once
// Simulated Conexant USB audio chips on the bench USB world.
//
// Each chip takes memory requests in the output reports of its HID interface
// and answers them in the formats the chips' request and memory tables give
// (the chip type's protocol flags, command bits, report identifiers, payload
// offsets and payload lengths):
//
//  - chips with address mode 0, a checksum byte and a reply to every request
//    (CX20562, CX2076x, and the CX2070x sold as 0572:1410 in a CX20562
//    package): 6-byte requests
//      [id][cmd | address bits 12-8][address bits 7-0][reg lo][reg hi / byte][checksum]
//    where the checksum, at byte 5, is the sum over bytes 1-4 of (0xFF - byte);
//    a request whose checksum does not add up is dropped without a reply.
//    Memory (types 0-2) carries its byte at 4 and is answered
//    [reply id][cmd][byte] (the cell after a write); registers (the type-3
//    bit) carry two bytes at 3 and are answered [reply id][lo][hi].
//  - chips with address mode 1 (CX2070x, CX2077x): requests of the output
//    report length
//      [id][cmd][count][address 15-8][address 7-0][data ...]
//    with 0x10 in cmd for addresses from 0x10000 and the EEPROM bit 0x20
//    (bit 16 of every byte of the request: a request that runs past 0xFFFF
//    goes on at 0x0000 of its 64 KiB block, not into the next block);
//    registers carry the type-3 bit 0x80 and their number in cmd bits 3-5,
//    their two bytes at 4; a request with no memory bit and a count of 0 reads
//    a read-only register (memory type 4) of that number. Reads are answered
//    [reply id][data ...]; writes are not answered. The chip takes no more
//    than its memory's largest payload in one request (CX2070x: 32 bytes;
//    CX2077x EEPROM: 1 byte; registers: 2) and drops a longer request.
//  - the CX20805 has no memory interface: it swallows every report.
//
// Memories: the EEPROM (absent, blank or with contents; the chip decodes 17
// address bits and a smaller part wraps: address A reaches cell A mod size);
// the CX20562 and CX2076x firmware only read their EEPROM over HID; the
// chip's RAM/ROM space (ROM writes are ignored); the register space. The
// firmware keeps the EEPROM size code it booted with and the version of the
// patch it runs in RAM. Where the firmware keeps its patch version is not
// documented: patchVersionAddress (default 0x1000, the location the host's
// property table assumes) says where this chip keeps it, and a chip that
// keeps it elsewhere shows what the host then reads.
//
// Time: with reportIntervalMs each report takes a frame of that length on
// the bus (the request and, when there is one, the reply; frames follow a
// fixed grid, so a report completes at the next boundary after the one
// before it), and with eepromWriteMs an EEPROM write holds off the next
// request until the part has programmed the bytes; the chip counts that time
// (BusyMs), the least time its exchanges allow. Both are 0 by default
// (instant reports).
//
// Faults on demand (SCxChipFaults) make it behave as real chips and buses
// do: replies with other report IDs first, replies that never come, replies
// that come after the host's time-out (each the reply of its own request,
// as the chip answered it then; the chip answers in order, so the replies
// behind a late one come after it), writes that never complete (the chip
// took them or not) or that the device does not carry out, from any report
// on, an unplug at any report, EEPROM bits stuck at 0, EEPROM that programs
// AND-wise, a write-protected EEPROM, a part of 64 KiB or less whose board
// lets nothing answer from 0x10000 on (where it would otherwise wrap).
//
// Threads: the world calls the model one report at a time; late replies are
// delivered by a thread of the model; the inspection operations may be
// called from any thread.

#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
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
    int dropRepliesAfter = 0;                  // ... once this many replies went out
    int lateReplies = 0;                       // replies that come lateReplyMs late (-1: every one)
    int lateRepliesAfter = 0;                  // ... once this many replies went out
    std::uint32_t lateReplyMs = 150;           // the host waits 100 ms for a reply
    int timeoutWrites = 0;                     // output reports that never complete (-1: every one)
    int timeoutWritesAfter = 0;                // ... once this many reports came
    bool timedOutWritesArrive = false;         // ... though the chip takes them (only the completion is lost)
    int failWrites = 0;                        // output reports the device does not carry out (-1: every one)
    int failWritesAfter = 0;                   // ... once this many reports came
    int unplugAfterRequests = -1;              // drop off the bus after this many requests
    std::int32_t stuckEepromAddress = -1;      // this EEPROM cell has bits stuck at 0 ...
    std::uint8_t stuckBits = 0x01;             // ... these
    bool eepromAndWise = false;                // EEPROM cells only clear bits (not erased before writing)
    bool eepromWriteProtected = false;         // the part's write-protect pin is tied: writes are acknowledged, not kept
    // The board: address bit 16 selects a second device (the block pin of a
    // part of 64 KiB or less) that is not there: from 0x10000 on nothing
    // answers (reads 0xFF, writes are lost) instead of the part wrapping.
    bool eepromHighBlockAbsent = false;
};

struct SCxChipConfig
{
    ECxBenchChip chip = ECxBenchChip::Cx2070x;
    std::uint16_t vendorId = 0x0572;
    std::uint16_t productId = 0x1500;
    std::wstring product = L"USB Audio Device";
    std::wstring string41; // the chip's signature string; empty: the device has none
    // Wire format.
    bool blockProtocol = true; // address mode 1; otherwise address mode 0 with checksum and a reply to everything
    std::uint8_t requestId = 0x04;
    std::uint8_t replyId = 0x05;
    std::uint8_t writeBit = 0x40;
    std::uint8_t eepromBit = 0x20;
    std::uint8_t registerBit = 0x80;
    std::uint8_t eepromMaxPayload = 0x20; // address mode 1: the largest EEPROM payload of one request
    std::uint8_t memoryMaxPayload = 0x20; // ... of RAM and ROM
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
    std::int32_t patchVersionAddress = 0x1000; // not documented; see above
    std::uint8_t firmwareSizeCode = 0x05;   // what the firmware believes
    std::uint8_t patchVersion[3] = {0, 0, 0};
    // Time on the bus.
    std::uint32_t reportIntervalMs = 0;
    std::uint32_t eepromWriteMs = 0;
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
    ~CCxChipModel() override;

    // The USB device that carries this model (one HID interface).
    SBenchDevice Device(const std::shared_ptr<CCxChipModel>& self) const;

    // Inspection and set-up (any thread).
    std::vector<std::uint8_t> Eeprom();
    void SetEeprom(const std::vector<std::uint8_t>& bytes);
    std::vector<std::uint8_t> Ram();
    void PokeRam(std::uint32_t address, const std::vector<std::uint8_t>& bytes);
    std::uint16_t Register(std::uint32_t index);
    std::vector<std::uint8_t> Registers(); // the writable register space as bytes
    void SetFaults(const SCxChipFaults& faults);
    const SCxChipConfig& Config() const { return m_config; } // as built (faults: see SetFaults)
    std::uint32_t RequestCount();
    std::uint32_t ReplyCount();
    std::uint32_t IgnoredRequests(); // bad checksum, unknown report ID, longer than the chip takes
    std::uint32_t LateRepliesPending();
    std::uint64_t BusyMs(); // product ms the chip's reports and EEPROM writes took
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
    struct SLateReply
    {
        std::uint64_t dueMs;
        std::vector<std::uint8_t> bytes;
    };

    bool TakeFault(int& counter);
    void Busy(std::uint32_t ms);
    void WaitForBus();
    EHidResult HandleOutputReport(const std::uint8_t* report, std::size_t length);
    EHidResult HandleTakenReport(const std::uint8_t* report, std::size_t length);
    void Reply(const std::vector<std::uint8_t>& reply);
    void DeliverLateReplies();
    bool EepromAnswers(std::uint32_t address) const;
    std::uint8_t EepromByte(std::uint32_t address) const;
    void EepromStore(std::uint32_t address, std::uint8_t value);
    void ApplyStuckBits();
    std::uint8_t RamByte(std::uint32_t address) const;
    void RamStore(std::uint32_t address, std::uint8_t value);
    void HandleByteRequest(const std::uint8_t* r);
    void HandleBlockRequest(const std::uint8_t* r, std::size_t length);

    std::mutex m_mutex;
    SCxChipConfig m_config;
    std::shared_ptr<IBenchHidSink> m_sink;
    std::vector<std::uint8_t> m_eeprom;
    std::vector<std::uint8_t> m_ram;
    std::vector<std::uint8_t> m_registers;         // address mode 0: 0x2002 bytes; mode 1: 8 registers of 2 bytes
    std::vector<std::uint8_t> m_readOnlyRegisters; // mode 1, memory type 4: 8 registers of 2 bytes
    std::uint32_t m_requests = 0;
    std::uint32_t m_replies = 0;
    std::uint32_t m_ignored = 0;
    std::uint64_t m_busyMs = 0;
    std::uint64_t m_busOriginUs = 0; // real time of the bus's frame grid
    std::uint64_t m_busDoneUs = 0;   // when the last transfer completed
    std::vector<std::vector<std::uint8_t>> m_log;
    std::vector<SLateReply> m_late;
    std::condition_variable m_lateChanged;
    std::thread m_lateThread;
    bool m_stopping = false;
};
