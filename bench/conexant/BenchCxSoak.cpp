// The Conexant campaign: many `cxaudio patch FILE --write --verify` runs on
// simulated chips, each with a chip, a memory, a file and a fault drawn from
// a seed, each checked against what success means:
//
//   - exit 0 exactly when the chip's memory holds the file's bytes (outside
//     the protected ranges, which keep what the chip had); an exit 0 while
//     it does not is a false success;
//   - after a refusal of the file (statuses 10 ... 14, 22 ... 30, 39, 40)
//     the chip's memories are unchanged; anything else is a partial write;
//   - after a verification alone, whatever its outcome, the chip's memories
//     are unchanged; anything else is a verification that wrote;
//   - without a fault, the outcome the file and the chip call for (a valid
//     file that fits: 0; too large: 27; another chip's: 28; unsafe: 30;
//     malformed, cut short, contradicting: 26 ...); a different one is a
//     wrong outcome.
//
// Chips: every type, EEPROMs valid, blank, absent, with a foreign header or a
// header that names more or less than the part holds, of 2 to 128 KiB,
// firmware that knows or does not know the EEPROM size, boards where nothing
// answers from 0x10000 on. Files: fitting, across 0x10000, oversized, another
// chip's, overlapping (agreeing and contradicting), cut short, empty,
// malformed, a line end lost to a NUL, the last record's type flipped to S7,
// with unsafe contents, beyond the memory, with a layout whose serial number
// --protect keeps. Runs: written and verified, or verified alone (which must
// write nothing). Faults: pulled out at any report, stuck EEPROM bits, lost
// replies, late replies, writes that time out (taken by the chip or not) or
// that the device does not carry out, from any report on, stray reports,
// EEPROM that programs AND-wise, write-protected parts.
//
// Most runs call the tool's entry in this process on the bench world; every
// --process-every'th run starts the cxaudio-bench program instead, with the
// chip's memories handed over in a state folder.
//
//   bench-cx-soak [--runs N] [--seed S] [--time-scale X] [--max-bytes N]
//                 [--process-every K] [--cxaudio-bench PATH] [--work DIR] [--verbose]
//   bench-cx-soak --ratio
//
// Last lines: "runs N, false-successes F, partial-writes P, wrong-outcomes W,
// ..." and the figures "cx-false-successes F", "cx-partial-writes P".
// Exit status 0 only when F, P and W are 0.
//
// --ratio writes and verifies an 8 KiB file on a CX2070x whose reports take
// a 1 ms frame each way, at time scale 1, five times, and prints
// "cx-patch-ratio R": the tool's wall time (the fastest run) over the least
// time the chip's report exchanges allow (one write request, one read
// request and one reply for every 32 bytes).
#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "bench/conexant/CxChipModel.h"
#include "bench/soak/SoakRandom.h"
#include "bench/usb/BenchUsbWorld.h"
#include "conexant/CxAudioTypes.h"
#include "conexant/CxPatch.h"
#include "platform/Clock.h"
#include "platform/System.h"
#include "tools/cxaudio/CxAudioTool.h"

namespace fs = std::filesystem;

namespace
{
struct SOptions
{
    int runs = 1000;
    std::uint32_t seed = 1;
    double timeScale = 0.01;
    std::uint32_t maxBytes = 12288;
    int processEvery = 10;
    std::string cxaudioBench;
    std::string work;
    bool verbose = false;
    bool ratio = false;
};

enum class EFile
{
    Fitting,
    Oversized,
    Foreign,
    OverlapAgreeing,
    OverlapContradicting,
    CutShort,
    Empty,
    Malformed,
    Unsafe,
    UnsafeAllowed,
    Beyond,
    Protected,
    Hidden, // a line end lost to a NUL character: the record behind it hides in the line before
    Flipped, // the last data record's type letter lost a bit: S7 where S3 stood
};

const char* FileName(EFile kind)
{
    switch (kind)
    {
    case EFile::Fitting: return "fitting";
    case EFile::Oversized: return "oversized";
    case EFile::Foreign: return "foreign";
    case EFile::OverlapAgreeing: return "overlap-agreeing";
    case EFile::OverlapContradicting: return "overlap-contradicting";
    case EFile::CutShort: return "cut-short";
    case EFile::Empty: return "empty";
    case EFile::Malformed: return "malformed";
    case EFile::Unsafe: return "unsafe";
    case EFile::UnsafeAllowed: return "unsafe-allowed";
    case EFile::Beyond: return "beyond";
    case EFile::Protected: return "protected";
    case EFile::Hidden: return "hidden";
    case EFile::Flipped: return "flipped";
    }
    return "?";
}

enum class EEeprom
{
    Valid,
    Blank,
    Absent,
    ForeignHeader,
    OverstatedHeader, // names twice the part's size
    UnderstatedHeader, // names half the part's size (the image of a smaller part)
};

const char* EepromName(EEeprom state)
{
    switch (state)
    {
    case EEeprom::Valid: return "valid";
    case EEeprom::Blank: return "blank";
    case EEeprom::Absent: return "absent";
    case EEeprom::ForeignHeader: return "foreign-header";
    case EEeprom::OverstatedHeader: return "overstated-header";
    case EEeprom::UnderstatedHeader: return "understated-header";
    }
    return "?";
}

// One run as drawn.
struct SRun
{
    ECxBenchChip chip = ECxBenchChip::Cx2070x;
    SCxChipConfig config;
    EEeprom eeprom = EEeprom::Valid;
    std::uint32_t memory = 0;
    EFile kind = EFile::Fitting;
    std::string text;                           // the S37 file
    std::map<std::uint32_t, std::uint8_t> bytes; // what a valid file asks for
    bool fileValid = true;
    std::vector<std::string> args;              // tool switches after the file
    std::set<std::uint32_t> protectedAddresses;
    char signature = 0; // the family digit of the file's signature record; 0: none
    std::string fault = "none";
    std::vector<std::string> benchFaults;       // the same fault as cxaudio-bench options
    int expected = -1;                          // the status without a fault; -1: not predicted
    bool viaProcess = false;
    bool verifyOnly = false;                    // `patch FILE --verify`: compares, writes nothing
    bool preloaded = false;                     // the chip holds the file's bytes before the run
};

struct SMemories
{
    std::vector<std::uint8_t> eeprom, ram, registers;
    bool operator==(const SMemories& o) const { return eeprom == o.eeprom && ram == o.ram && registers == o.registers; }
};

SMemories Snapshot(CCxChipModel& model)
{
    return {model.Eeprom(), model.Ram(), model.Registers()};
}

bool IsTableA(ECxBenchChip chip)
{
    return chip == ECxBenchChip::Cx20562 || chip == ECxBenchChip::Cx2076x;
}

bool IsBlock(ECxBenchChip chip)
{
    return chip == ECxBenchChip::Cx2070x || chip == ECxBenchChip::Cx2077x;
}

// The family digit of a chip's signature ("CX" and this digit); 0: none.
char SignatureDigit(ECxBenchChip chip)
{
    switch (chip)
    {
    case ECxBenchChip::Cx20562: return '1';
    case ECxBenchChip::Cx2070x:
    case ECxBenchChip::Cx2070xAs1410: return '2';
    case ECxBenchChip::Cx2077x: return '3';
    case ECxBenchChip::Cx2076x: return '5';
    case ECxBenchChip::Cx20805: return 0;
    }
    return 0;
}

// Where a memory type takes file bytes: the start bounds and the end bound of its table.
struct SRange
{
    std::uint32_t lowestStart, highestStart, highestEnd;
};

SRange RangeOf(ECxBenchChip chip, std::uint32_t memory)
{
    if (IsTableA(chip) || chip == ECxBenchChip::Cx2070xAs1410)
    {
        switch (memory)
        {
        case 0: return {0, 0x1FFF, 0x1FFF};
        case 1: return {0, 0x1BFF, 0x1FFF};
        default: return {0, 0x27FF, 0x1FFF};
        }
    }
    switch (memory)
    {
    case 0: return {0, 0x1FFFF, 0x1FFFF};
    case 1: return {0, 0x27FF, 0xFFFF};
    default: return {0, 0, 1}; // one register
    }
}

std::string S37Record(std::uint32_t address, const std::uint8_t* data, std::size_t n)
{
    std::string line = "S3";
    char hex[3];
    const std::uint32_t count = static_cast<std::uint32_t>(n) + 5;
    std::uint32_t sum = count;
    auto put = [&](std::uint32_t b) {
        std::snprintf(hex, sizeof hex, "%02X", b & 0xFF);
        line += hex;
    };
    put(count);
    for (int shift = 24; shift >= 0; shift -= 8)
    {
        put(address >> shift);
        sum += (address >> shift) & 0xFF;
    }
    for (std::size_t i = 0; i < n; ++i)
    {
        put(data[i]);
        sum += data[i];
    }
    put(0xFF - (sum & 0xFF));
    return line;
}

struct SRecord
{
    std::uint32_t address;
    std::vector<std::uint8_t> data;
};

// Records over the bytes, of a size a tool would choose, in address order.
std::vector<SRecord> Records(const std::map<std::uint32_t, std::uint8_t>& bytes, CSoakRandom& random)
{
    static const std::uint32_t kSizes[] = {16, 32, 32, 64, 128, 250};
    const std::uint32_t size = random.Chance(20) ? random.Between(1, 250) : kSizes[random.Below(6)];
    std::vector<SRecord> records;
    for (const auto& [address, value] : bytes)
    {
        if (records.empty() || records.back().data.size() >= size ||
            records.back().address + records.back().data.size() != address)
            records.push_back({address, {}});
        records.back().data.push_back(value);
    }
    return records;
}

std::string Text(const std::vector<SRecord>& records, bool terminate, bool crlf)
{
    std::string text;
    const char* end = crlf ? "\r\n" : "\n";
    for (const SRecord& r : records)
        text += S37Record(r.address, r.data.data(), r.data.size()) + end;
    if (terminate)
        text += std::string("S70500000000FA") + end;
    return text;
}

bool MagicPosition(std::uint32_t address)
{
    return (address & 0x1F) == 1 || address == 32;
}

// The file: its bytes, its records, its kind's twist.
void DrawFile(SRun& run, CSoakRandom& random, std::uint32_t maxBytes, std::uint32_t part)
{
    const SRange range = RangeOf(run.chip, run.memory);
    const bool registers = run.memory >= 3;
    // Where the file's bytes go: the part (memory 0) or the memory's reach.
    std::uint64_t space = static_cast<std::uint64_t>(range.highestEnd) + 1;
    if (run.memory == 0 && part != 0)
        space = std::min<std::uint64_t>(space, part);
    if (run.memory == 1 && !IsBlock(run.chip))
        space = 0x1C00; // RAM below the ROM
    if (run.memory == 1 && IsBlock(run.chip))
        space = static_cast<std::uint64_t>(range.highestStart) + 1;
    std::uint32_t length = random.Between(1, std::max<std::uint32_t>(1, std::min<std::uint32_t>(
                                                                            maxBytes, static_cast<std::uint32_t>(space))));
    if (registers && IsBlock(run.chip))
        length = 2;
    else if (registers)
        length = std::max<std::uint32_t>(2, length & ~1u);
    std::uint32_t start = static_cast<std::uint32_t>(random.Below(static_cast<std::uint32_t>(space - length + 1)));
    if (registers)
        start &= ~1u;
    if (run.memory == 0 && random.Chance(60))
        start = 0; // an image from the EEPROM's beginning
    else if (run.memory == 0 && space > 0x10000 && random.Chance(40))
        start = 0x10000u - random.Between(1, std::min<std::uint32_t>(length, 80)); // across 0x10000
    const bool header = run.memory == 0 && start == 0 && length >= 64 && random.Chance(70);

    std::map<std::uint32_t, std::uint8_t>& bytes = run.bytes;
    const std::uint32_t seed = random.Next();
    for (std::uint32_t i = 0; i < length; ++i)
    {
        std::uint8_t value = static_cast<std::uint8_t>((seed >> (i % 24)) ^ (i * 37) ^ (i >> 7));
        if (random.Chance(15))
            value = 0xFF;
        bytes[start + i] = value;
    }
    // A gap or two, as a linker's output has.
    if (length > 256 && !registers && random.Chance(40))
    {
        const std::uint32_t from = start + random.Below(length - 64);
        for (std::uint32_t a = from; a < from + random.Between(1, 48); ++a)
            bytes.erase(a);
    }
    if (header)
    {
        std::uint8_t code = 0;
        while (code < 9 && (256u << (code + 1)) <= part)
            ++code;
        bytes[0] = 0x4C;
        bytes[1] = part != 0 ? code : 0x05;
    }
    if (run.memory == 0)
    {
        // Only the unsafe kinds put the CX20562's magic byte where that chip looks for a header.
        for (auto& [address, value] : bytes)
            if (value == 0x4C && MagicPosition(address) && address != 0)
                value = 0x4D;
    }
    if (run.kind == EFile::Protected && length >= 0x140 && start == 0)
    {
        // A layout with a serial number at 0x100 that the chip keeps.
        bytes[20] = 0x00; // not the mark of a CX2070x patch, which has no layout
        bytes[41] = 's';
        bytes[42] = 0x01;
        bytes[56] = 0x00;
        bytes[57] = 0x01;
        const std::uint8_t serialLength = static_cast<std::uint8_t>(random.Between(4, 20));
        bytes[0x100] = serialLength;
        run.protectedAddresses = {43, 56, 57};
        for (std::uint32_t a = 0x100; a < 0x100u + serialLength; ++a)
        {
            if (a != 0x100)
                bytes[a] = static_cast<std::uint8_t>('0' + random.Below(10));
            run.protectedAddresses.insert(a);
        }
        run.args.push_back("--protect");
    }
    if ((run.kind == EFile::Unsafe || run.kind == EFile::UnsafeAllowed) && run.memory == 0)
    {
        std::vector<std::uint32_t> spots;
        for (const auto& [address, value] : bytes)
            if (MagicPosition(address) && address != 0)
                spots.push_back(address);
        if (!spots.empty())
            bytes[spots[random.Below(static_cast<std::uint32_t>(spots.size()))]] = 0x4C;
        if (run.kind == EFile::UnsafeAllowed)
            run.args.push_back("--write-magic-bytes");
    }

    // The chip's own signature now and then, or another chip's, in the
    // file's bytes; the last record gives it again.
    const char own = SignatureDigit(run.chip);
    char digit = 0;
    if (run.kind == EFile::Foreign)
    {
        static const char kDigits[] = {'1', '2', '3', '5'};
        do
            digit = kDigits[random.Below(4)];
        while (digit == own);
    }
    else if (own != 0 && random.Chance(30) && !registers && length >= 8)
        digit = own;
    std::uint32_t signatureAt = 0;
    const std::uint8_t signature[4] = {'C', 'X', static_cast<std::uint8_t>(digit), 0};
    if (digit != 0)
    {
        // The last 4 bytes in a row of the file, else its first address.
        signatureAt = bytes.begin()->first;
        for (const auto& [address, value] : bytes)
            if (bytes.count(address + 1) != 0 && bytes.count(address + 2) != 0 && bytes.count(address + 3) != 0)
                signatureAt = address;
        for (std::uint32_t i = 0; i < 4; ++i)
            bytes[signatureAt + i] = signature[i];
        run.signature = digit;
    }

    std::vector<SRecord> records = Records(bytes, random);
    if (run.kind == EFile::OverlapAgreeing || run.kind == EFile::OverlapContradicting)
    {
        // A record given again (whole or in part), or one that says otherwise.
        const SRecord& r = records[random.Below(static_cast<std::uint32_t>(records.size()))];
        const std::uint32_t from = random.Below(static_cast<std::uint32_t>(r.data.size()));
        const std::uint32_t n = random.Between(1, static_cast<std::uint32_t>(r.data.size()) - from);
        SRecord again{r.address + from, std::vector<std::uint8_t>(r.data.begin() + from, r.data.begin() + from + n)};
        if (run.kind == EFile::OverlapContradicting)
        {
            again.data[random.Below(n)] ^= static_cast<std::uint8_t>(random.Between(1, 255));
            run.fileValid = false;
        }
        records.insert(records.begin() + random.Below(static_cast<std::uint32_t>(records.size()) + 1), again);
    }
    if (run.kind == EFile::Oversized)
    {
        // Bytes past the end of the part (or of the memory's reach).
        const std::uint64_t end = run.memory == 0 && part != 0 ? part : space;
        const std::uint32_t from = static_cast<std::uint32_t>(end + random.Below(64));
        std::vector<std::uint8_t> tail(random.Between(1, 64), 0x5A);
        records.push_back({from, tail});
        for (std::uint32_t i = 0; i < tail.size(); ++i)
            bytes[from + i] = tail[i];
    }
    if (run.kind == EFile::Beyond)
    {
        // A record far beyond any memory, after good ones.
        const std::uint32_t far = random.Chance(50) ? 0xFFFFFFF0u : 0x20000u + random.Below(0x1000);
        records.push_back({far, std::vector<std::uint8_t>(16, 0x11)});
        for (std::uint32_t i = 0; i < 16; ++i)
            bytes[far + i] = 0x11;
    }
    if (digit != 0)
        records.push_back({signatureAt, std::vector<std::uint8_t>(signature, signature + 4)});

    const bool crlf = random.Chance(30);
    bool terminate = true;
    if (run.kind == EFile::CutShort)
    {
        terminate = false;
        records.resize(records.size() - random.Below(static_cast<std::uint32_t>(records.size())));
        run.fileValid = false;
    }
    run.text = run.kind == EFile::Empty ? std::string() : Text(records, terminate, crlf);
    if (run.kind == EFile::Empty)
        run.fileValid = false;
    if (run.kind == EFile::Malformed)
    {
        // One character of one line changed (not its type: an S7 line is
        // a valid one): a digit of the count, address, data or checksum.
        std::size_t at = 0;
        do
            at = random.Below(static_cast<std::uint32_t>(run.text.size()));
        while (run.text[at] == '\n' || run.text[at] == '\r' || at < 2 || run.text[at - 1] == '\n' ||
               run.text[at - 2] == '\n' || run.text.compare(run.text.rfind('\n', at) + 1, 2, "S3") != 0);
        const char replacement = "0123456789ABCDEFGZ S"[random.Below(20)];
        if (run.text[at] == replacement)
            run.text[at] = run.text[at] == 'G' ? 'H' : 'G';
        else
            run.text[at] = replacement;
        run.fileValid = false;
    }
    if (run.kind == EFile::Hidden)
    {
        // The end of one line turned into a NUL: the next record is still in
        // the file, behind the NUL of the line before it.
        std::vector<std::size_t> ends;
        for (std::size_t at = 0; at + 3 < run.text.size(); ++at)
            if (run.text[at] == '\n' && run.text.compare(at + 1, 2, "S3") == 0)
                ends.push_back(at);
        if (!ends.empty())
        {
            std::size_t at = ends[random.Below(static_cast<std::uint32_t>(ends.size()))];
            std::size_t n = 1;
            if (at > 0 && run.text[at - 1] == '\r')
            {
                --at;
                n = 2;
            }
            run.text.replace(at, n, std::string(1, '\0'));
            run.fileValid = false;
        }
    }
    if (run.kind == EFile::Flipped)
    {
        // '3' and '7' differ in one bit, and the checksum leaves the type out.
        const std::size_t last = run.text.rfind("S3");
        if (last != std::string::npos && (last == 0 || run.text[last - 1] == '\n'))
        {
            run.text[last + 1] = '7';
            run.fileValid = false;
        }
    }
}

void DrawFault(SRun& run, CSoakRandom& random, std::uint32_t reportsGuess)
{
    SCxChipFaults& f = run.config.faults;
    const std::uint32_t at = random.Below(std::max<std::uint32_t>(reportsGuess, 4));
    char text[96];
    switch (random.Below(11))
    {
    case 0:
    case 1:
        run.fault = "none";
        return;
    case 2:
        f.unplugAfterRequests = static_cast<int>(at);
        std::snprintf(text, sizeof text, "unplug-after=%u", at);
        break;
    case 3:
    {
        const std::uint32_t size = std::max<std::uint32_t>(run.config.eepromSize, 1);
        std::uint32_t address = random.Below(size);
        if (!run.bytes.empty() && random.Chance(70))
        {
            auto it = run.bytes.begin();
            std::advance(it, random.Below(static_cast<std::uint32_t>(run.bytes.size())));
            address = it->first % size;
        }
        f.stuckEepromAddress = static_cast<std::int32_t>(address);
        f.stuckBits = static_cast<std::uint8_t>(1u << random.Below(8));
        std::snprintf(text, sizeof text, "stuck=%u/%u", address, f.stuckBits);
        break;
    }
    case 4:
        f.dropReplies = random.Chance(25) ? -1 : static_cast<int>(random.Between(1, 3));
        f.dropRepliesAfter = static_cast<int>(at / 2);
        std::snprintf(text, sizeof text, "drop-replies=%d@%d", f.dropReplies, f.dropRepliesAfter);
        break;
    case 5:
        f.lateReplies = static_cast<int>(random.Between(1, 4));
        f.lateRepliesAfter = static_cast<int>(at / 2);
        f.lateReplyMs = random.Between(110, 280);
        std::snprintf(text, sizeof text, "late-replies=%d@%d/%u", f.lateReplies, f.lateRepliesAfter, f.lateReplyMs);
        break;
    case 6:
        // From the first report or any later one; the chip took the report or not.
        f.timeoutWrites = static_cast<int>(random.Between(1, 7));
        f.timeoutWritesAfter = random.Chance(30) ? 0 : static_cast<int>(at);
        f.timedOutWritesArrive = random.Chance(50);
        std::snprintf(text, sizeof text, "timeout-writes=%d@%d", f.timeoutWrites, f.timeoutWritesAfter);
        if (f.timedOutWritesArrive)
            run.benchFaults.push_back("timed-out-writes-arrive");
        break;
    case 7:
        f.failWrites = static_cast<int>(random.Between(1, 7));
        f.failWritesAfter = random.Chance(30) ? 0 : static_cast<int>(at);
        std::snprintf(text, sizeof text, "fail-writes=%d@%d", f.failWrites, f.failWritesAfter);
        break;
    case 8:
        f.strayReportsBeforeReply = random.Between(1, 3);
        std::snprintf(text, sizeof text, "stray=%u", f.strayReportsBeforeReply);
        break;
    case 9:
        // Programs AND-wise: a part not erased before writing, or (blank) an erased one.
        f.eepromAndWise = true;
        std::snprintf(text, sizeof text, "and-wise");
        break;
    default:
        // The part's write-protect pin is tied.
        f.eepromWriteProtected = true;
        std::snprintf(text, sizeof text, "write-protect");
        break;
    }
    run.benchFaults.insert(run.benchFaults.begin(), text);
    run.fault.clear();
    for (const std::string& fault : run.benchFaults)
        run.fault += (run.fault.empty() ? "" : " ") + fault;
}

int FamilyOfDigit(char digit)
{
    switch (digit)
    {
    case '1': return 0;
    case '2':
    case '4': return 1;
    case '3': return 2;
    case '5': return 3;
    default: return -1;
    }
}

int FamilyOfChip(ECxBenchChip chip)
{
    return FamilyOfDigit(SignatureDigit(chip));
}

// The family the file is recognised as: its signature, else what its first
// bytes look like (the bytes it does not give count as 0).
int RecognisedFamily(const SRun& run)
{
    if (run.signature != 0)
        return FamilyOfDigit(run.signature);
    auto at = [&run](std::uint32_t a) -> std::uint8_t {
        const auto it = run.bytes.find(a);
        return it == run.bytes.end() ? 0 : it->second;
    };
    bool firmware = at(14) == 0;
    for (std::uint32_t i = 0; i < 12; ++i)
        firmware = firmware && at(2 + i) == static_cast<std::uint8_t>("(C) CONEXANT"[i]);
    return firmware || at(20) == 'P' ? 1 : 0;
}

bool HasMagicBytes(const SRun& run)
{
    for (const auto& [address, value] : run.bytes)
        if (value == 0x4C && MagicPosition(address) && address != 0)
            return true;
    return false;
}

// The status a fault-free run must end with, as the checks come one after
// another; -1 where the campaign does not say.
int Expected(const SRun& run)
{
    if (!run.fileValid)
        return CXHID_STATUS_INVALID_PATCH_FILE;
    // The tool refuses a file it need not show a chip first.
    if (run.memory == 0 && RecognisedFamily(run) == 0 && HasMagicBytes(run) && run.kind != EFile::UnsafeAllowed)
        return CXHID_STATUS_PATCH_UNSAFE;
    if (run.chip == ECxBenchChip::Cx20805)
        return CXHID_STATUS_INVALID_OPERATION;
    if (run.memory == 0 && IsTableA(run.chip))
        return CXHID_STATUS_INVALID_MEMORY_ACCESS;
    if (run.signature != 0 && FamilyOfDigit(run.signature) != FamilyOfChip(run.chip))
        return CXHID_STATUS_PATCH_WRONG_DEVICE;
    if (run.kind == EFile::Beyond)
        return CXHID_STATUS_INVALID_MEMORY_ADDRESS;
    if (run.kind == EFile::Oversized)
    {
        if (run.memory != 0)
            return -1; // 13, 14 or a write into ROM, by where the extra bytes fall
        if (run.bytes.rbegin()->first > RangeOf(run.chip, 0).highestEnd)
            return CXHID_STATUS_INVALID_MEMORY_ADDRESS;
        if (run.eeprom == EEeprom::Absent)
            return CXHID_STATUS_EEPROM_NOT_DETECTED;
        return CXHID_STATUS_PATCH_EEPROM_SIZE; // also where the header names more than the part holds
    }
    if (run.memory == 0 && run.eeprom == EEeprom::Absent)
        return CXHID_STATUS_EEPROM_NOT_DETECTED;
    return CXHID_STATUS_OK;
}

// The status a fault-free verification alone must end with, where the
// campaign can tell without the chip's contents; -1 elsewhere.
int ExpectedOfVerification(const SRun& run)
{
    if (!run.fileValid)
        return CXHID_STATUS_INVALID_PATCH_FILE;
    if (run.chip == ECxBenchChip::Cx20805)
        return CXHID_STATUS_INVALID_OPERATION;
    if (run.signature != 0 && FamilyOfDigit(run.signature) != FamilyOfChip(run.chip))
        return CXHID_STATUS_PATCH_WRONG_DEVICE;
    if (run.kind == EFile::Beyond)
        return CXHID_STATUS_INVALID_MEMORY_ADDRESS;
    return -1;
}

SRun Draw(CSoakRandom& random, const SOptions& options, int index)
{
    SRun run;
    static const ECxBenchChip kChips[] = {ECxBenchChip::Cx2070x, ECxBenchChip::Cx2070x, ECxBenchChip::Cx2070x,
                                          ECxBenchChip::Cx2077x, ECxBenchChip::Cx2077x, ECxBenchChip::Cx2070xAs1410,
                                          ECxBenchChip::Cx2070xAs1410, ECxBenchChip::Cx20562, ECxBenchChip::Cx2076x,
                                          ECxBenchChip::Cx20805};
    run.chip = kChips[random.Below(10)];
    run.config = MakeCxChipConfig(run.chip);

    // The EEPROM: its part and what it holds.
    static const std::uint32_t kBlockParts[] = {0x800, 0x1000, 0x2000, 0x2000, 0x4000, 0x8000, 0x10000, 0x20000};
    static const std::uint32_t kSmallParts[] = {0x800, 0x1000, 0x2000, 0x2000};
    std::uint32_t part = IsBlock(run.chip) ? kBlockParts[random.Below(8)] : kSmallParts[random.Below(4)];
    const std::uint32_t e = random.Below(10);
    run.eeprom = e < 5 ? EEeprom::Valid : e < 7 ? EEeprom::Blank : e < 8 ? EEeprom::Absent
                                                               : e < 9 ? EEeprom::ForeignHeader
                                                                       : EEeprom::OverstatedHeader;
    if (run.eeprom == EEeprom::OverstatedHeader && random.Chance(50))
        run.eeprom = EEeprom::UnderstatedHeader;
    if (run.eeprom == EEeprom::OverstatedHeader && part >= 0x20000)
        run.eeprom = EEeprom::Valid;
    if (run.eeprom == EEeprom::Absent)
        part = 0;
    run.config.eepromSize = part;
    std::uint8_t code = 0;
    while (code < 9 && (256u << (code + 1)) <= part)
        ++code;
    if (run.eeprom != EEeprom::Blank && run.eeprom != EEeprom::Absent)
    {
        const std::uint8_t named = run.eeprom == EEeprom::OverstatedHeader    ? code + 1
                                   : run.eeprom == EEeprom::UnderstatedHeader ? code - 1
                                                                              : code;
        run.config.eepromContents = MakeCxEepromImage(part, named);
        for (std::uint32_t a = 64; a < part; ++a)
            run.config.eepromContents[a] = static_cast<std::uint8_t>(a * 3 + index);
        if (run.eeprom == EEeprom::ForeignHeader)
        {
            run.config.eepromContents[0] = 0x12;
            run.config.eepromContents[1] = 0x34;
        }
    }
    // Firmware that knows the part's size, or not.
    run.config.firmwareSizeCode = random.Chance(80) ? (run.eeprom == EEeprom::Valid ? code : 0xFF) : 0x03;
    // A board where nothing answers from 0x10000 on, where a part of 64 KiB or less would wrap.
    if (IsBlock(run.chip) && part != 0 && part <= 0x10000 && random.Chance(25))
    {
        run.config.faults.eepromHighBlockAbsent = true;
        run.benchFaults.push_back("high-block-absent");
    }

    // The memory the file goes to.
    const std::uint32_t m = random.Below(10);
    if (IsTableA(run.chip))
        run.memory = m < 3 ? 0 : m < 8 ? 1 : 3;
    else
        run.memory = m < 7 ? 0 : m < 9 ? 1 : 3;

    static const EFile kKinds[] = {EFile::Fitting,   EFile::Fitting,       EFile::Fitting,   EFile::Fitting,
                                   EFile::Oversized, EFile::Foreign,       EFile::OverlapAgreeing,
                                   EFile::OverlapContradicting,            EFile::CutShort,  EFile::Empty,
                                   EFile::Malformed, EFile::Unsafe,        EFile::UnsafeAllowed,
                                   EFile::Beyond,    EFile::Protected,     EFile::Protected,
                                   EFile::Hidden,    EFile::Flipped};
    run.kind = kKinds[random.Below(18)];
    if (run.kind == EFile::Protected && run.memory != 0)
        run.kind = EFile::Fitting;
    DrawFile(run, random, options.maxBytes, part);
    if (run.kind == EFile::Protected && run.protectedAddresses.empty())
        run.kind = EFile::Fitting;
    // A verification alone: of a chip that holds the file or not.
    run.verifyOnly = random.Chance(12);
    if (run.verifyOnly && random.Chance(60) && run.memory <= 1)
    {
        run.preloaded = true;
        if (run.memory == 0 && part != 0)
        {
            run.config.eepromContents.resize(part, 0xFF);
            for (const auto& [address, value] : run.bytes)
                if (address < part && run.protectedAddresses.count(address) == 0)
                    run.config.eepromContents[address] = value;
        }
    }

    // Roughly the reports a run makes, for where a fault strikes.
    const bool byteChip = !IsBlock(run.chip);
    const std::uint32_t chunk = byteChip || (run.chip == ECxBenchChip::Cx2077x && run.memory == 0) ? 1 : 32;
    const std::uint32_t reports = static_cast<std::uint32_t>(run.bytes.size() / chunk + 1) * 3 + 40;
    DrawFault(run, random, reports);
    run.expected = run.fault == "none" ? (run.verifyOnly ? ExpectedOfVerification(run) : Expected(run)) : -1;
    run.viaProcess = options.processEvery > 0 && index % options.processEvery == options.processEvery - 1 &&
                     !options.cxaudioBench.empty();
    return run;
}

// Whether the chip holds the file's bytes (outside the protected ranges) and
// keeps its own inside them.
bool Holds(const SRun& run, const SMemories& before, const SMemories& after)
{
    for (const auto& [address, value] : run.bytes)
    {
        if (run.protectedAddresses.count(address) != 0)
            continue;
        std::uint8_t held = 0;
        if (run.memory == 0)
        {
            if (address >= after.eeprom.size())
                return false;
            held = after.eeprom[address];
        }
        else if (run.memory == 1)
        {
            if (address >= after.ram.size())
                return false;
            held = after.ram[address];
        }
        else
        {
            // Register 0 of a chip that selects registers by command, or the register space.
            if (address >= after.registers.size())
                return false;
            held = after.registers[address];
        }
        if (held != value)
            return false;
    }
    for (const std::uint32_t address : run.protectedAddresses)
        if (address < after.eeprom.size() && address < before.eeprom.size() &&
            after.eeprom[address] != before.eeprom[address])
            return false;
    return true;
}

bool IsRefusal(int status)
{
    return (status >= CXHID_STATUS_INVALID_OPERATION && status <= CXHID_STATUS_INVALID_MEMORY_ADDRESS) ||
           status == CXHID_STATUS_FILE_OPEN_ERROR || status == CXHID_STATUS_FILE_READ_ERROR ||
           status == CXHID_STATUS_FILE_CLOSE_ERROR ||
           (status >= CXHID_STATUS_INVALID_PATCH_FILE && status <= CXHID_STATUS_PATCH_UNSAFE) ||
           status == CXHID_STATUS_EEPROM_NOT_DETECTED || status == CXHID_STATUS_EEPROM_SIZE_UNKNOWN;
}

bool WriteFile(const std::string& path, const std::string& text)
{
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(text.data(), static_cast<std::streamsize>(text.size()));
    return static_cast<bool>(out);
}

bool ReadFile(const std::string& path, std::vector<std::uint8_t>& bytes)
{
    std::ifstream in(path, std::ios::binary);
    if (!in)
        return false;
    bytes.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    return true;
}

std::string Describe(const SRun& run)
{
    char text[256];
    std::snprintf(text, sizeof text, "%s eeprom=%s/%u memory=%u file=%s (%zu bytes) fault=%s%s%s",
                  CxBenchChipName(run.chip), EepromName(run.eeprom), run.config.eepromSize, run.memory,
                  FileName(run.kind), run.bytes.size(), run.fault.c_str(),
                  run.verifyOnly ? (run.preloaded ? " verify-only (preloaded)" : " verify-only") : "",
                  run.viaProcess ? " [process]" : "");
    return text;
}

std::vector<std::string> ToolArgs(const SRun& run, const std::string& file)
{
    std::vector<std::string> args = {"patch", file, "--memory", std::to_string(run.memory)};
    if (!run.verifyOnly)
        args.push_back("--write");
    args.push_back("--verify");
    args.insert(args.end(), run.args.begin(), run.args.end());
    return args;
}

// RAM that holds the file's bytes before a verification (the EEPROM is preloaded by the chip's configuration).
void Preload(const SRun& run, CCxChipModel& model)
{
    if (!run.preloaded || run.memory != 1)
        return;
    for (const auto& [address, value] : run.bytes)
        model.PokeRam(address, {value});
}

// One run in this process, through the tool's entry on a bench world.
int RunInProcess(const SRun& run, const std::string& folder, SMemories& before, SMemories& after)
{
    auto model = std::make_shared<CCxChipModel>(run.config);
    Preload(run, *model);
    before = Snapshot(*model);
    CBenchUsbWorld world;
    const BenchId hc = world.AddHostController(4);
    world.Plug(world.RootHub(hc), 1, model->Device(model));
    const std::string file = (fs::path(folder) / "file.s37").string();
    WriteFile(file, run.text);
    SCxToolIo io;
    io.out = std::fopen((fs::path(folder) / "out.txt").string().c_str(), "wb");
    io.err = std::fopen((fs::path(folder) / "err.txt").string().c_str(), "wb");
    io.programName = "cxaudio";
    int status = -1;
    if (io.out != nullptr && io.err != nullptr)
        status = RunCxAudioTool(ToolArgs(run, file), world, io);
    if (io.out != nullptr)
        std::fclose(io.out);
    if (io.err != nullptr)
        std::fclose(io.err);
    // Late replies still on their way do not change the memories.
    after = Snapshot(*model);
    return status;
}

// One run through the cxaudio-bench program: the memories go in and come back in a state folder.
int RunAsProcess(const SRun& run, const SOptions& options, const std::string& folder, SMemories& before,
                 SMemories& after)
{
    const std::string state = (fs::path(folder) / "state").string();
    std::error_code ignored;
    fs::remove_all(state, ignored);
    fs::create_directories(state, ignored);
    {
        // The memories as the chip holds them (stuck bits read as 0 from the start).
        CCxChipModel model(run.config);
        Preload(run, model);
        before = Snapshot(model);
        if (!model.SaveState(state))
            return -2;
    }
    const std::string file = (fs::path(folder) / "file.s37").string();
    WriteFile(file, run.text);
    std::vector<std::string> argv = {options.cxaudioBench, "--bench", CxBenchChipName(run.chip), "--bench-state", state,
                                     "--bench-eeprom-size", std::to_string(run.config.eepromSize)};
    for (const std::string& fault : run.benchFaults)
    {
        argv.push_back("--bench-fault");
        argv.push_back(fault);
    }
    const std::vector<std::string> tool = ToolArgs(run, file);
    argv.insert(argv.end(), tool.begin(), tool.end());
    char scale[32];
    std::snprintf(scale, sizeof scale, "ORVO_TIME_SCALE=%g", options.timeScale);
    std::uint32_t exitCode = 0;
    if (!RunProcessAndWait(argv, 600000, &exitCode, folder, (fs::path(folder) / "out.txt").string(), {scale}))
        return -3;
    const std::string base = (fs::path(state) / CxBenchChipName(run.chip)).string();
    if (!ReadFile(base + ".eeprom", after.eeprom) || !ReadFile(base + ".ram", after.ram) ||
        !ReadFile(base + ".regs", after.registers))
        return -4;
    return static_cast<int>(exitCode);
}

int Campaign(const SOptions& options)
{
    CClock::SetTimeScale(options.timeScale);
    const std::string work =
        fs::absolute(options.work.empty() ? fs::temp_directory_path() / "bench-cx-soak" : fs::path(options.work)).string();
    std::error_code ignored;
    fs::create_directories(work, ignored);
    CSoakRandom random(options.seed);
    int falseSuccesses = 0, partialWrites = 0, wrongOutcomes = 0, falseFailures = 0, processRuns = 0, succeeded = 0,
        refused = 0, failed = 0, harnessErrors = 0, verificationWrites = 0, verifications = 0;
    std::map<std::string, int> byKind;
    const auto started = std::chrono::steady_clock::now();
    for (int i = 0; i < options.runs; ++i)
    {
        const SRun run = Draw(random, options, i);
        SMemories before, after;
        const int status = run.viaProcess ? RunAsProcess(run, options, work, before, after)
                                          : RunInProcess(run, work, before, after);
        processRuns += run.viaProcess ? 1 : 0;
        verifications += run.verifyOnly ? 1 : 0;
        ++byKind[FileName(run.kind)];
        std::string verdict;
        if (status < 0)
        {
            ++harnessErrors;
            verdict = "the run could not be made";
        }
        else
        {
            const bool holds = run.fileValid && Holds(run, before, after);
            if (status == 0)
                ++succeeded;
            else if (IsRefusal(status))
                ++refused;
            else
                ++failed;
            if (status == 0 && !holds)
            {
                ++falseSuccesses;
                verdict = "FALSE SUCCESS: exit 0, the chip does not hold the file";
            }
            if (IsRefusal(status) && !(before == after))
            {
                ++partialWrites;
                verdict = "PARTIAL WRITE: the file was refused, the chip's memory changed";
            }
            if (run.verifyOnly && !(before == after))
            {
                ++verificationWrites;
                verdict = "A VERIFICATION WROTE: the chip's memory changed";
            }
            if (run.expected >= 0 && status != run.expected)
            {
                ++wrongOutcomes;
                if (verdict.empty())
                    verdict = "WRONG OUTCOME: expected " + std::to_string(run.expected);
            }
            if (status != 0 && holds && !IsRefusal(status))
                ++falseFailures; // faults can end a run that did write everything
        }
        if (!verdict.empty() || options.verbose)
            std::printf("run %d: %s -> %d %s%s%s\n", i, Describe(run).c_str(), status, CxStatusText(status),
                        verdict.empty() ? "" : ": ", verdict.c_str());
        if (!verdict.empty())
        {
            // Keep what it takes to look again.
            const fs::path keep = fs::path(work) / ("run-" + std::to_string(i));
            fs::create_directories(keep, ignored);
            WriteFile((keep / "file.s37").string(), run.text);
            WriteFile((keep / "run.txt").string(), Describe(run) + "\n");
            fs::copy_file(fs::path(work) / "out.txt", keep / "out.txt", fs::copy_options::overwrite_existing, ignored);
            fs::copy_file(fs::path(work) / "err.txt", keep / "err.txt", fs::copy_options::overwrite_existing, ignored);
        }
    }
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    std::printf("files:");
    for (const auto& [kind, count] : byKind)
        std::printf(" %s %d", kind.c_str(), count);
    std::printf("\n");
    std::printf("runs %d (%d through the cxaudio-bench program, %d verifications alone), succeeded %d, refused %d, "
                "failed %d, failed-though-written %d, %.1f s\n",
                options.runs, processRuns, verifications, succeeded, refused, failed, falseFailures, seconds);
    std::printf("runs %d, false-successes %d, partial-writes %d, verification-writes %d, wrong-outcomes %d, "
                "harness-errors %d\n",
                options.runs, falseSuccesses, partialWrites, verificationWrites, wrongOutcomes, harnessErrors);
    std::printf("cx-false-successes %d\ncx-partial-writes %d\n", falseSuccesses, partialWrites + verificationWrites);
    return falseSuccesses == 0 && partialWrites == 0 && verificationWrites == 0 && wrongOutcomes == 0 &&
                   harnessErrors == 0
               ? 0
               : 1;
}

// An 8 KiB write with verification on a chip whose reports take 1 ms each way.
int Ratio(const SOptions& options)
{
    CClock::SetTimeScale(1.0);
    const std::string work = options.work.empty() ? (fs::temp_directory_path() / "bench-cx-ratio").string() : options.work;
    std::error_code ignored;
    fs::create_directories(work, ignored);
    constexpr std::uint32_t kBytes = 8192;
    constexpr std::uint32_t kChunk = 32;
    constexpr std::uint32_t kIntervalMs = 1;
    std::map<std::uint32_t, std::uint8_t> bytes;
    for (std::uint32_t a = 0; a < kBytes; ++a)
        bytes[a] = static_cast<std::uint8_t>(a * 11 + (a >> 8));
    bytes[0] = 0x4C;
    bytes[1] = 0x05;
    for (auto& [address, value] : bytes)
        if (value == 0x4C && MagicPosition(address) && address != 0)
            value = 0x4D;
    std::vector<SRecord> records;
    for (std::uint32_t a = 0; a < kBytes; a += 32)
    {
        SRecord r{a, {}};
        for (std::uint32_t i = 0; i < 32; ++i)
            r.data.push_back(bytes[a + i]);
        records.push_back(r);
    }
    const std::string file = (fs::path(work) / "eeprom-8k.s37").string();
    WriteFile(file, Text(records, true, false));
    // Each 32 bytes: a write request, a read request, its reply.
    const double leastMs = static_cast<double>(kBytes / kChunk) * 3 * kIntervalMs;
    std::vector<double> ratios;
    for (int attempt = 0; attempt < 5; ++attempt)
    {
        SCxChipConfig config = MakeCxChipConfig(ECxBenchChip::Cx2070x);
        config.eepromContents = MakeCxEepromImage(0x2000, 0x05);
        config.reportIntervalMs = kIntervalMs;
        auto model = std::make_shared<CCxChipModel>(config);
        CBenchUsbWorld world;
        world.Plug(world.RootHub(world.AddHostController(4)), 1, model->Device(model));
        SCxToolIo io;
        io.out = std::fopen((fs::path(work) / "out.txt").string().c_str(), "wb");
        io.err = std::fopen((fs::path(work) / "err.txt").string().c_str(), "wb");
        if (io.out == nullptr || io.err == nullptr)
            return 1;
        const auto started = std::chrono::steady_clock::now();
        const int status = RunCxAudioTool({"patch", file, "--write", "--verify"}, world, io);
        const double wallMs =
            std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - started).count();
        std::fclose(io.out);
        std::fclose(io.err);
        bool holds = true;
        const std::vector<std::uint8_t> eeprom = model->Eeprom();
        for (const auto& [address, value] : bytes)
            holds = holds && eeprom[address] == value;
        if (status != 0 || !holds)
        {
            std::printf("the 8 KiB write failed: status %d, %s\n", status, holds ? "holds" : "does not hold");
            return 1;
        }
        std::printf("8 KiB write and read-back: %.1f ms, the chip's exchanges at least %.0f ms (it was busy %llu ms)\n",
                    wallMs, leastMs, static_cast<unsigned long long>(model->BusyMs()));
        ratios.push_back(wallMs / leastMs);
    }
    // The fastest run: the host's work is the same each time, other load on
    // the machine only adds to it.
    std::sort(ratios.begin(), ratios.end());
    std::printf("cx-patch-ratio %.4f\n", ratios.front());
    return 0;
}
} // namespace

int main(int argc, char** argv)
{
    SOptions options;
    const std::string beside = (fs::path(GetProgramDirectory()) / "cxaudio-bench").string();
#ifdef _WIN32
    options.cxaudioBench = beside + ".exe";
#else
    options.cxaudioBench = beside;
#endif
    for (int i = 1; i < argc; ++i)
    {
        const std::string a = argv[i];
        const bool more = i + 1 < argc;
        if (a == "--runs" && more)
            options.runs = std::atoi(argv[++i]);
        else if (a == "--seed" && more)
            options.seed = static_cast<std::uint32_t>(std::strtoul(argv[++i], nullptr, 10));
        else if (a == "--time-scale" && more)
            options.timeScale = std::strtod(argv[++i], nullptr);
        else if (a == "--max-bytes" && more)
            options.maxBytes = static_cast<std::uint32_t>(std::strtoul(argv[++i], nullptr, 10));
        else if (a == "--process-every" && more)
            options.processEvery = std::atoi(argv[++i]);
        else if (a == "--cxaudio-bench" && more)
            options.cxaudioBench = argv[++i];
        else if (a == "--work" && more)
            options.work = argv[++i];
        else if (a == "--verbose")
            options.verbose = true;
        else if (a == "--ratio")
            options.ratio = true;
        else
        {
            std::fprintf(stderr,
                         "usage: bench-cx-soak [--runs N] [--seed S] [--time-scale X] [--max-bytes N] "
                         "[--process-every K] [--cxaudio-bench PATH] [--work DIR] [--verbose]\n"
                         "       bench-cx-soak --ratio [--work DIR]\n");
            return 2;
        }
    }
    if (options.ratio)
        return Ratio(options);
    if (options.processEvery > 0 && !fs::exists(options.cxaudioBench))
    {
        std::printf("bench-cx-soak: %s is missing; every run in this process\n", options.cxaudioBench.c_str());
        options.cxaudioBench.clear();
    }
    return Campaign(options);
}
