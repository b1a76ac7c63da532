#pragma once
// A simulated Avnera wireless-audio chip as its host port presents it.
//
// The chip takes command packets [opcode, destination, unit, remote, count,
// sub-command, ...] (0xFD answered, 0xFF not, opcodes below 0xFC are 4-byte
// packets) and answers with 0xFE packets of at most 24 bytes. Its firmware:
// - unit 0: chip memory (64 KiB; registers 0xF002 state, 0xF004 mode value
//   12/13/16, 0xF003 reset) and the memory of paired remote devices
//   (header byte 3), peek 0x81 / poke 0x00, version 0x83, link state 0x82,
//   identities 0x0E/0x0F/0x10, and the serial-memory triggers 0x84 (copy to
//   RAM), 0x03 (write RAM to serial memory) and 0x0C (erase the sector),
//   which act on the parameter block in RAM (checked against the attached
//   part; a block that does not describe it is refused);
// - unit 3: the I2C EEPROM at 0xA0/0xA1; unit 7: the version record;
//   unit 11: MAC and radio channel commands; unit 12: the battery manager;
// - single-byte commands (pairing, standby), 0x0A AD DE 00 (flash mode:
//   generic-HID chips re-enumerate) and 0x0B (run the downloaded code).
// A command that arrives while the firmware is busy waits in the one-deep
// host-port buffer (a second one is not taken: the port reports it busy);
// one with the wrong destination for the port it came through is dropped.
//
// The serial-memory firmware reads the parameter block when a trigger
// arrives and acts on it as it stands then. It refuses, without a word, a
// block that does not describe the part it boots from (memory kind, size,
// page, sector; an I2C EEPROM whose bus address was not selected): nothing
// moves, the RAM buffer keeps what it held, a refused erase is answered at
// once. Otherwise it works for the part's time (busy: later commands wait):
// a copy runs past the part's end by wrapping to its start, as the part
// does; a write goes out in page writes of the block's page size counted
// from the transfer's own address, and each page write wraps inside the
// part's page, as EEPROM and NOR flash do. Serial flash is programmed
// AND-wise: bits only go from 1 to 0 until a sector is erased.
//
// Faults (ArmFault) hit the N-th command the chip takes from then on: it
// asserts on it, forgets it (neither acts nor answers), acts but never
// answers, answers short or with another opcode, or the chip leaves the host
// (unplugged) as it arrives.
//
// Status byte of the HID ports: 0x01 ready, 0x04 answer waiting, 0x40
// asserted (0x00 while busy). Status of the SPI host port: 0x01 busy, 0x02
// answer waiting, 0x10 command not yet taken, 0x40 asserted.
//
// Time is the platform clock's product time. Thread safety: every public
// operation may be called from any thread.

#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <vector>

enum class EAvneraPort
{
    GenericHid, // destinations 2 and 4
    VendorHid,  // destination 2
    Spi,        // destination 2
    I2c,        // destination 0x19
};

enum class EAvneraSerialKind
{
    SpiFlash,
    I2cEeprom,
};

// What the chip makes of a command that reaches its host port.
enum class EAvneraTake
{
    Taken,   // taken (acted on now or held until the firmware is free)
    Busy,    // not taken: the one-deep buffer is full
    Ignored, // nobody listens: in reset, asserted, unplugged
};

// A fault for one command the chip takes (ArmFault).
enum class EAvneraFault
{
    None,
    Assert,      // the firmware asserts on it (status 0x40 and the code from then on)
    Lost,        // taken and forgotten: not acted on, not answered
    NoAnswer,    // acted on, but its answer never shows
    ShortAnswer, // its answer comes param bytes short (at least one)
    WrongOpcode, // its answer starts with another byte than 0xFE
    Unplug,      // the chip leaves the host as the command arrives
};

struct SAvneraChipConfig
{
    std::uint32_t mode = 0;                     // 0, 1, 2 (register 0xF004 reads 12, 13, 16)
    std::uint8_t state = 0;                     // register 0xF002
    std::uint8_t modeRegisterOverride = 0;      // not 0: 0xF004 reads this instead
    std::uint16_t firmwareVersion = 0x0105;     // command 0x83 and HID report 0xF2
    std::uint32_t uniqueId = 0x4156A001;        // HID report 0xF3
    std::string versionRecord = "1.2,HeadsetApp,build7,x/y/tool/name.bin\n";
    EAvneraSerialKind serialKind = EAvneraSerialKind::SpiFlash;
    std::uint32_t serialSize = 131072;          // default: 128 KiB SPI flash, 256-byte pages, 4 KiB sectors
    std::uint32_t serialPage = 256;
    std::uint32_t serialSector = 4096;
    std::uint32_t eraseMs = 300;                // busy time of one sector erase
    std::uint32_t serialCopyMs = 20;            // busy time of a 0x84 / 0x03 transfer
    std::uint32_t eepromSize = 32768;
    std::uint32_t eepromPage = 64;              // page of the unit-3 EEPROM
    std::vector<std::uint8_t> remotes{1, 2};    // paired remote devices
    std::uint32_t answerPolls = 0;              // status reads (or as long as they take) before an answer shows
    std::uint32_t answerDelayMs = 5;            // and product time before it shows
    bool neverReady = false;                    // the status never shows ready
    int statusOverride = -1;                    // 0..255: the HID status always reads this
    std::uint8_t linkValue = 9;
    std::uint16_t berErrors = 12;
    std::uint32_t berBits = 48000;
    std::uint32_t battState = 0x00030002;
    std::uint16_t battValue = 3900;
};

class CAvneraChip
{
public:
    explicit CAvneraChip(const SAvneraChipConfig& config = {});

    // Host port, command side. length: bytes that arrived.
    EAvneraTake Command(const std::uint8_t* packet, std::size_t length, EAvneraPort port);
    std::uint8_t HidStatus();
    std::uint8_t SpiStatus();
    // The answer waiting (or the assertion bytes: status, four codes); empty
    // when none. Take removes it.
    std::vector<std::uint8_t> PeekAnswer();
    std::vector<std::uint8_t> TakeAnswer();
    bool IsAsserted();
    std::vector<std::uint8_t> AssertionBytes();

    // Direct RAM write of the host port (SPI 0x02, HID 0xE4 at the download base).
    void HostRamWrite(std::uint16_t address, const std::uint8_t* data, std::size_t length);
    void DownloadWrite(std::uint32_t offset, const std::uint8_t* data, std::size_t length);
    // Direct serial-memory access: the chip's own (HID 0xE2) writes as given
    // (AND-wise on flash); a page program straight to the part (the adapter's
    // flash wiring) wraps inside the part's page. Addresses wrap at the part's
    // size, as the part does.
    void SerialProgram(std::uint32_t address, const std::uint8_t* data, std::size_t length);
    void SerialPageProgram(std::uint32_t address, const std::uint8_t* data, std::size_t length);
    void SerialRead(std::uint32_t address, std::uint8_t* data, std::size_t length);

    // The reset line: held while low; releasing it restarts the chip.
    void SetResetLine(bool high);
    void HardReset();

    // Test side.
    void Assert(const std::uint8_t code[4]);
    void ClearAssertion();
    // The fault hits the nth command taken from now (1: the next one); one
    // fault at a time, a new one replaces it. param: bytes missing for
    // ShortAnswer.
    void ArmFault(EAvneraFault fault, std::uint32_t nth = 1, std::uint32_t param = 1);
    void ClearFault();
    bool Unplugged();
    void Replug();
    std::uint32_t CommandsTaken();
    std::vector<std::uint8_t> Ram(std::uint16_t address, std::size_t length);
    void SetRam(std::uint16_t address, const std::vector<std::uint8_t>& data);
    std::vector<std::uint8_t> RemoteRam(std::uint8_t remote, std::uint16_t address, std::size_t length);
    std::vector<std::uint8_t> Serial(std::uint32_t address, std::size_t length);
    std::vector<std::uint8_t> Eeprom(std::uint32_t address, std::size_t length);
    std::vector<std::uint8_t> DownloadedImage();
    bool InFlashMode();
    bool Running();     // ran downloaded code (after 0x0B)
    std::uint32_t ResetCount();
    std::uint32_t EraseCount();
    std::uint32_t CommandCount(std::uint8_t opcode);
    std::uint32_t DeviceIdsCommitted();
    std::uint8_t ChargerOn(std::uint8_t index);
    std::vector<std::uint8_t> LastChannelSetup();
    std::uint32_t Mode();
    SAvneraChipConfig Config();
    void SetState(std::uint8_t state);

    // Flash-mode entry on the generic-HID port: the model re-enumerates.
    void SetFlashModeListener(std::function<void(std::uint32_t mode)> listener);

private:
    void AdvanceLocked();
    void ResetLocked();
    EAvneraFault NextFaultLocked();
    void RunLocked(const std::uint8_t* packet, std::size_t length, EAvneraPort port, EAvneraFault fault);
    void ProcessLocked(const std::uint8_t* packet, std::size_t length, EAvneraPort port, EAvneraFault fault);
    void Answer(std::vector<std::uint8_t> answer, EAvneraFault fault);
    std::vector<std::uint8_t>* MemoryOf(std::uint8_t remote);
    bool SerialTrigger(std::uint8_t sub);
    void ProgramLocked(std::uint32_t address, std::uint16_t ram, std::uint32_t length, std::uint32_t page);
    void WriteRegisterHooks(std::uint16_t address);
    std::uint16_t DownloadBaseLocked() const;

    std::mutex m_mutex;
    SAvneraChipConfig m_config;
    std::vector<std::uint8_t> m_ram;
    std::map<std::uint8_t, std::vector<std::uint8_t>> m_remoteRam;
    std::vector<std::uint8_t> m_serial;
    std::vector<std::uint8_t> m_eeprom;
    std::vector<std::uint8_t> m_answer;
    bool m_answerReady = false;
    std::uint32_t m_pollsLeft = 0;
    std::uint64_t m_readyAt = 0;
    std::uint64_t m_busyUntil = 0;
    std::uint64_t m_now = 0; // the chip's time while it acts (see AdvanceLocked)
    std::function<void()> m_pending;
    bool m_held = false;
    std::vector<std::uint8_t> m_heldPacket;
    EAvneraPort m_heldPort = EAvneraPort::GenericHid;
    EAvneraFault m_heldFault = EAvneraFault::None;
    EAvneraFault m_fault = EAvneraFault::None;
    std::uint32_t m_faultAt = 0;
    std::uint32_t m_faultParam = 1;
    std::uint32_t m_taken = 0;
    bool m_unplugged = false;
    bool m_asserted = false;
    std::uint8_t m_assertion[4] = {};
    bool m_resetHeld = false;
    bool m_flashMode = false;
    bool m_running = false;
    std::uint8_t m_stateBeforeFlash = 0;
    std::uint32_t m_downloadLength = 0;
    std::vector<std::uint8_t> m_download;
    std::uint32_t m_resets = 0;
    std::uint32_t m_erases = 0;
    std::uint32_t m_commits = 0;
    std::map<std::uint8_t, std::uint32_t> m_opcodes;
    std::map<std::uint8_t, std::uint8_t> m_charger;
    std::vector<std::uint8_t> m_lastChannel;
    std::function<void(std::uint32_t)> m_flashListener;
};
