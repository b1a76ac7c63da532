#pragma once
// A simulated product built on the Avnera AV7300 chip, as a HID device of the
// bench USB world.
//
// The chip boots from its serial memory: an SPI flash (any SPI row of the
// AV7300 part table, row 35 being an SST25VF512A) or an I2C EEPROM. At power-up
// and after every reset its boot ROM reads the image header into its
// serial-memory parameter block (+9/+10 hold the header's first two bytes,
// whatever they are): when the checksum holds and the size code fits the
// memory, it runs the image (HID 2C6D:3240) however much of the rest is
// there; otherwise the ROM stays in charge and the chip enumerates as
// 170D:0300 (the default image), the two bytes still in its block.
//
// Host port: 263-byte feature reports, report 0xFF carrying command packets
// from byte 3 ([opcode, destination 2 or 4, unit, remote, count, sub, ...];
// 0xFD answered, 0xFF not, opcodes below 0xFC short). Reading report 0xFF
// gives [0xFF, L, status, answer...], L counting itself, the status and the
// answer; status 0x01 ready, 0x05 answer waiting, 0x00 busy. An answer is
// [0xFE, source 0, unit, remote, the request's first four payload bytes,
// data...]. Memory commands: peek 0x81, poke 0x00, ROM version 0x83, and the
// serial-memory commands 0x84 (copy to RAM), 0x03 (RAM to serial memory),
// 0x0C (erase the sector; answered when done), which act on the parameter
// block of the chip revision (0xC4AE on revision 0, 0xC49A on revision 1)
// (see below for which blocks are acted on).
// Registers: 0xF000 chip revision; 0xF040/0xF050/0xF060/0xF061 the ROM patch
// (match 0x5113, RAM code at 0xEEC0, valid, control); 0xF0E1 the TWI
// controller (0x8F for the EEPROM); 0xF0F0 SPI master control (0x40 = on),
// 0xF0F2 data (one byte shifted out per write), 0xF0F4 slave select.
//
// What the real chip insists on:
// - [0x0A AD DE 00] enters flash mode: in place under the product firmware;
//   the ROM re-enumerates (off the bus, back as 170D:0300 reEnumerateMs
//   later) and loses its RAM and patch registers on the way.
// - In flash mode the ROM writes serial memory only through its patched
//   routine: without a valid patch a 0x03 does nothing. On revision 1 the
//   ROM loader's bulk report 0xE4 ([0xE4, 0, block index, 0, 0, 0, 1, 256
//   bytes]) lands in its buffer (0xD0A9; revision 0: 0xD0D8) only with the
//   patch in place.
// - The SPI master reaches the flash only when the product firmware does
//   not drive it (ROM, or flash mode). The flash obeys WREN/WRDI/EWSR/WRSR
//   and the 4 KB sector erase 0x20; the SST25VF512A powers up with every
//   block protected and knows no 64 KB erase, so the firmware's 0x0C erases
//   nothing on it.
// - NOR flash programs AND-wise; an EEPROM takes every byte as it is. Both
//   decode only the address bits they have: an address beyond the part's
//   end wraps onto its beginning (reads, writes and erases alike).
// - The ROM answers its own commands (0x83 version, 0x0C sector erase) with
//   the answer's length in report byte 10 as well as in byte 1.
// - Flash and EEPROM keep their contents across resets, re-enumerations and
//   the product being pulled out.
// The serial-memory routines act on the parameter block as it stands: the
// boot ROM knows nothing of the memory but that block and drives it as the
// block says (its page writes of the block's page size, its erase, its
// address); only the memory's own behaviour (its sector, its page, where it
// wraps) tells another part. The product firmware learnt its memory from the
// header it booted and refuses a block that describes another part (the
// part that header names: an image made for another part of the same size
// boots, and then misleads it); with acceptsAnyBlock it drives the memory
// with whatever block it is given, too. Writes go out in page writes of the
// block's page size from the transfer's address; the memory wraps each
// inside its own page. Strict variants (config): late answers, a slow erase and transfers, a ROM
// that is slow to come back, cells that do not take what is written (nor an
// erase), and the product pulled out, for good, as it takes its N-th write,
// read or sector erase.
//
// Time is the platform clock's product time. Thread safety: every public
// operation may be called from any thread.

#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <vector>

#include "bench/usb/BenchUsbWorld.h"

struct SAV7300ProductConfig
{
    std::uint32_t chipRevision = 0;     // 0 or 1 (register 0xF000)
    std::uint32_t flashPart = 31;       // row of the AV7300 part table
    std::uint16_t romVersion = 0x0203;  // command 0x83
    std::vector<std::uint8_t> memory;   // what the serial memory starts with (the rest erased)
    std::uint32_t answerDelayMs = 1;    // an answer shows this long after the command
    std::uint32_t sectorEraseMs = 25;   // busy time of one sector erase
    std::uint32_t transferMs = 1;       // busy time of a 0x84 / 0x03 transfer
    std::uint32_t reEnumerateMs = 1500; // off the bus for this long when re-enumerating
    std::uint32_t unplugAtWrite = 0;    // pulled out as it takes this 0x03 write (1 = the first; 0 never)
    std::uint32_t unplugAtRead = 0;     // pulled out as it takes this 0x84 read (1 = the first; 0 never)
    std::uint32_t unplugAtErase = 0;    // pulled out as it takes this 0x0C sector erase (1 = the first; 0 never)
    std::map<std::uint32_t, std::uint8_t> stuckCells; // memory cells that keep this value whatever comes
    bool acceptsAnyBlock = false;       // the firmware drives the memory with whatever parameter block it finds
};

class CAV7300Product : public std::enable_shared_from_this<CAV7300Product>
{
public:
    static std::shared_ptr<CAV7300Product> Create(const SAV7300ProductConfig& config);

    // Plugs the product into a hub port; it enumerates as its boot decided.
    BenchId Plug(CBenchUsbWorld& world, BenchId hub, std::uint8_t port);

    // Test side.
    std::vector<std::uint8_t> Memory();
    bool RunsImage();      // the boot ROM accepted the image (2C6D:3240)
    bool InFlashMode();
    bool PulledOut();
    bool HeaderValid(); // what the boot ROM would find now
    std::uint32_t SectorErases();     // by the firmware's 0x0C
    std::uint32_t SpimSectorErases(); // by the SPI master (0x20)
    std::uint32_t BulkBlocks();       // ROM-loader bulk reports taken
    std::uint32_t Resets();
    // Serial-memory address of every 0x03 write carried out, in order.
    std::vector<std::uint32_t> Writes();
    std::vector<std::uint8_t> Ram(std::uint16_t address, std::size_t length);

    // The HID face.
    void Attach(const std::shared_ptr<IBenchHidSink>& sink);
    void Detach();
    EHidResult SetFeature(const std::uint8_t* report, std::size_t length);
    EHidResult GetFeature(std::uint8_t* report, std::size_t length);

    struct SPart
    {
        std::uint32_t memType;
        std::uint32_t size;
        std::uint32_t page;
        std::uint32_t addressInfo;
        std::uint32_t sector;
    };

    explicit CAV7300Product(const SAV7300ProductConfig& config);

private:
    enum class EPending
    {
        None,
        ReEnumerate,
        PullOut,
    };

    SBenchDevice DescribeLocked();
    void BootLocked();
    bool HeaderValidLocked() const;
    bool BlockKnownLocked(const std::uint8_t* pb) const;
    void AdvanceLocked();
    EPending ProcessLocked(const std::uint8_t* packet, std::size_t length);
    EPending SerialCommandLocked(std::uint8_t sub);
    void PokeHookLocked(std::uint16_t address, std::uint8_t value);
    void SpiByteLocked(std::uint8_t value);
    void HeaderToBlockLocked();
    void SetCellLocked(std::uint32_t address, std::uint8_t value);
    void SpiEndLocked();
    bool ProtectedLocked(std::uint32_t address) const;
    bool PatchValidLocked() const;
    bool SpimFreeLocked() const;
    bool FlashBusyLocked() const;
    void AfterUnlock(EPending pending, std::unique_lock<std::mutex>& lock);

    std::mutex m_mutex;
    SAV7300ProductConfig m_config;
    SPart m_part;
    bool m_sst;
    std::vector<std::uint8_t> m_memory;
    std::vector<std::uint8_t> m_ram;
    bool m_runsImage = false;
    std::uint8_t m_bootHeader[2] = {0xFF, 0xFF}; // the header's first bytes at the last boot
    bool m_flashMode = false;
    bool m_pulledOut = false;
    std::weak_ptr<IBenchHidSink> m_sink;
    // Firmware.
    std::vector<std::uint8_t> m_answer;
    bool m_haveAnswer = false;
    std::uint64_t m_answerAt = 0;
    std::uint64_t m_busyUntil = 0;
    std::uint64_t m_commandAt = 0; // product time the command being processed arrived (or ran, when held)
    std::vector<std::uint8_t> m_afterBusyAnswer; // answer that shows when the busy time ends
    bool m_answerAfterBusy = false;
    std::vector<std::uint8_t> m_held; // one command waits while busy
    std::uint32_t m_bulkIndex = 0;
    // The SPI flash behind the SPI master.
    std::uint8_t m_flashStatus = 0; // block-protection bits (0x0C)
    bool m_wel = false;
    bool m_ewsr = false;
    std::uint64_t m_flashBusyUntil = 0;
    bool m_selected = false;
    std::vector<std::uint8_t> m_spiBytes;
    // Counters.
    std::uint32_t m_sectorErases = 0;
    std::uint32_t m_spimErases = 0;
    std::uint32_t m_bulkBlocks = 0;
    std::uint32_t m_resets = 0;
    std::uint32_t m_writeCommands = 0;
    std::uint32_t m_readCommands = 0;
    std::uint32_t m_eraseCommands = 0;
    std::vector<std::uint32_t> m_writes;
};
