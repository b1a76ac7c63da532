// The cxaudio commands over the library.
#include "tools/cxaudio/CxAudioTool.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cinttypes>
#include <cstdarg>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "app/DiagnosticLog.h"
#include "conexant/CxAudioHidDevice.h"
#include "conexant/CxAudioHidLib.h"
#include "conexant/CxPatch.h"
#include "platform/HidSystem.h"
#include "platform/System.h"
#include "platform/Types.h"

namespace
{
struct SOptions
{
    int type = -1;
    std::uint16_t vid = 0;
    std::uint16_t pid = 0;
    bool json = false;
    bool write = false;
    bool verify = false;
    bool protect = false;
    bool writeMagicBytes = false;
    int memory = 0;
    int registerIndex = -1; // --register: memory types 3 and 4 of the chips that select registers by command
    std::uint32_t recordDelayMs = 0;
    std::string log;
    std::vector<std::string> positional;
    std::string error;
};

bool ParseNumber(const std::string& text, int base, std::uint64_t max, std::uint64_t& value)
{
    if (text.empty() || text[0] == '-' || text[0] == '+')
        return false;
    errno = 0;
    char* end = nullptr;
    const unsigned long long v = std::strtoull(text.c_str(), &end, base);
    if (errno != 0 || end == nullptr || *end != '\0' || v > max)
        return false;
    value = v;
    return true;
}

// Decimal, or hexadecimal with 0x.
bool ParseValue(const std::string& text, std::uint64_t max, std::uint64_t& value)
{
    if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X'))
        return ParseNumber(text.substr(2), 16, max, value);
    return ParseNumber(text, 10, max, value);
}

// USB identifiers are hexadecimal, with or without 0x.
bool ParseId(const std::string& text, std::uint16_t& id)
{
    std::string digits = text;
    if (digits.size() > 2 && digits[0] == '0' && (digits[1] == 'x' || digits[1] == 'X'))
        digits = digits.substr(2);
    std::uint64_t v = 0;
    if (digits.empty() || digits.size() > 4 || !ParseNumber(digits, 16, 0xFFFF, v))
        return false;
    id = static_cast<std::uint16_t>(v);
    return true;
}

SOptions ParseOptions(const std::vector<std::string>& args)
{
    SOptions o;
    for (std::size_t i = 0; i < args.size() && o.error.empty(); ++i)
    {
        const std::string& a = args[i];
        auto value = [&](const char* name) -> const std::string* {
            if (i + 1 >= args.size())
            {
                o.error = std::string(name) + " needs a value";
                return nullptr;
            }
            return &args[++i];
        };
        std::uint64_t v = 0;
        if (a == "--type")
        {
            if (const std::string* t = value("--type"))
            {
                if (!ParseValue(*t, 4, v))
                    o.error = "--type takes 0 ... 4";
                else
                    o.type = static_cast<int>(v);
            }
        }
        else if (a == "--vid" || a == "--pid")
        {
            if (const std::string* t = value(a.c_str()))
            {
                if (!ParseId(*t, a == "--vid" ? o.vid : o.pid))
                    o.error = a + " takes a hexadecimal identifier";
            }
        }
        else if (a == "--memory")
        {
            if (const std::string* t = value("--memory"))
            {
                if (!ParseValue(*t, 4, v))
                    o.error = "--memory takes 0 ... 4";
                else
                    o.memory = static_cast<int>(v);
            }
        }
        else if (a == "--register")
        {
            if (const std::string* t = value("--register"))
            {
                if (!ParseValue(*t, 7, v))
                    o.error = "--register takes 0 ... 7";
                else
                    o.registerIndex = static_cast<int>(v);
            }
        }
        else if (a == "--record-delay")
        {
            if (const std::string* t = value("--record-delay"))
            {
                if (!ParseValue(*t, 10000, v))
                    o.error = "--record-delay takes 0 ... 10000 (ms)";
                else
                    o.recordDelayMs = static_cast<std::uint32_t>(v);
            }
        }
        else if (a == "--log")
        {
            if (const std::string* t = value("--log"))
                o.log = *t;
        }
        else if (a == "--json")
            o.json = true;
        else if (a == "--write")
            o.write = true;
        else if (a == "--verify")
            o.verify = true;
        else if (a == "--protect")
            o.protect = true;
        else if (a == "--write-magic-bytes")
            o.writeMagicBytes = true;
        else if (a.size() > 1 && a[0] == '-' && a[1] == '-')
            o.error = "unknown option " + a;
        else
            o.positional.push_back(a);
    }
    return o;
}

std::string JsonString(const std::string& text)
{
    std::string out = "\"";
    for (unsigned char c : text)
    {
        if (c == '"' || c == '\\')
        {
            out += '\\';
            out += static_cast<char>(c);
        }
        else if (c < 0x20)
        {
            char esc[8];
            std::snprintf(esc, sizeof esc, "\\u%04x", c);
            out += esc;
        }
        else
            out += static_cast<char>(c);
    }
    return out + "\"";
}

std::string Hex(const std::uint8_t* data, std::size_t n)
{
    std::string s;
    char b[3];
    for (std::size_t i = 0; i < n; ++i)
    {
        std::snprintf(b, sizeof b, "%02X", data[i]);
        s += b;
    }
    return s;
}

// Builds the one JSON object of --json.
class CJson
{
public:
    void Add(const std::string& key, const std::string& rawValue) { m_fields.push_back(JsonString(key) + ":" + rawValue); }
    void Add(const std::string& key, std::int64_t value) { Add(key, std::to_string(value)); }
    void AddText(const std::string& key, const std::string& text) { Add(key, JsonString(text)); }
    std::string Text() const
    {
        std::string s = "{";
        for (std::size_t i = 0; i < m_fields.size(); ++i)
            s += (i ? "," : "") + m_fields[i];
        return s + "}";
    }

private:
    std::vector<std::string> m_fields;
};

// Progress on standard error from the library's callbacks.
class CProgress
{
public:
    CProgress(const SCxToolIo& io, const char* what, std::uint64_t total) : m_io(io), m_what(what), m_total(total) {}
    ~CProgress() { Finish(); }

    void Update(std::uint64_t done)
    {
        if (m_total == 0)
            return;
        const unsigned percent = static_cast<unsigned>(std::min<std::uint64_t>(done, m_total) * 100 / m_total);
        if (m_io.errIsTerminal)
        {
            if (percent == m_last && done != m_total)
                return;
            constexpr unsigned kWidth = 40;
            const unsigned filled = percent * kWidth / 100;
            std::fprintf(m_io.err, "\r%-8s [%s%s] %3u%% %" PRIu64 "/%" PRIu64 " bytes", m_what,
                         std::string(filled, '#').c_str(), std::string(kWidth - filled, '.').c_str(), percent, done,
                         m_total);
            m_drawn = true;
        }
        else
        {
            // Plain lines, one per tenth.
            if (m_last != 1000 && percent / 10 == m_last / 10)
                return;
            std::fprintf(m_io.err, "%s: %u%% (%" PRIu64 " of %" PRIu64 " bytes)\n", m_what, percent, done, m_total);
        }
        m_last = percent;
        std::fflush(m_io.err);
    }

    void Finish()
    {
        if (m_drawn)
            std::fputc('\n', m_io.err);
        m_drawn = false;
    }

private:
    const SCxToolIo& m_io;
    const char* m_what;
    std::uint64_t m_total;
    unsigned m_last = 1000;
    bool m_drawn = false;
};

std::int32_t MemoryProgress(void* context, std::uint32_t done, const SCxAccessStatistics*)
{
    static_cast<CProgress*>(context)->Update(done);
    return 0;
}

// A patch writes, then reads the file back: one bar each.
struct SPatchProgress
{
    CProgress* write = nullptr; // null when the patch only verifies
    CProgress* verify = nullptr;
};

std::int32_t PatchProgress(void* context, std::uint32_t done, const SCxPatchStatistics* statistics)
{
    auto* bars = static_cast<SPatchProgress*>(context);
    if (statistics != nullptr && statistics->bytesCompared > 0)
    {
        if (bars->write != nullptr)
            bars->write->Finish();
        bars->verify->Update(statistics->bytesCompared);
    }
    else if (bars->write != nullptr)
    {
        // Bytes left alone inside the protected ranges are behind us too.
        bars->write->Update(done + (statistics != nullptr ? statistics->ignoredBytes : 0));
    }
    return 0;
}

struct SRelease
{
    void operator()(ICxAudioHidDev* d) const
    {
        if (d != nullptr)
            d->Release();
    }
};
using CDevice = std::unique_ptr<ICxAudioHidDev, SRelease>;

class CTool
{
public:
    CTool(const SOptions& options, IHidSystem& system, const SCxToolIo& io) : m_o(options), m_system(system), m_io(io)
    {
    }

    int Run()
    {
        const std::string& command = m_o.positional[0];
        m_json.AddText("command", command);
        int status;
        if (command == "list")
            status = Args(1) ? List() : Usage("list takes no arguments");
        else if (command == "info")
            status = Args(1) ? Info() : Usage("info takes no arguments");
        else if (command == "read")
            status = Args(4) ? Read() : Usage("read MEMTYPE ADDRESS COUNT [--register N]");
        else if (command == "write")
            status = Args(4) ? Write() : Usage("write MEMTYPE ADDRESS HEXBYTES [--register N]");
        else if (command == "patch")
            status = Args(2) ? Patch()
                             : Usage("patch FILE [--memory N] [--write] [--verify] [--protect] [--write-magic-bytes]");
        else
            status = Usage("unknown command " + command);
        return Finish(status);
    }

    int Usage(const std::string& why)
    {
        std::fprintf(m_io.err, "%s: %s\n", m_io.programName, why.c_str());
        PrintCxAudioUsage(m_io.err, m_io.programName);
        return CXHID_STATUS_INVALID_PARAMETER;
    }

    int Finish(int status)
    {
        m_json.Add("status", status);
        m_json.AddText("text", CxStatusText(status));
        if (m_o.json)
            std::fprintf(m_io.out, "%s\n", m_json.Text().c_str());
        if (status != CXHID_STATUS_OK)
            std::fprintf(m_io.err, "%s: %s\n", m_io.programName, CxStatusText(status));
        std::fflush(m_io.out);
        std::fflush(m_io.err);
        return status;
    }

private:
    bool Args(std::size_t n) const { return m_o.positional.size() == n; }

    void Say(const char* format, ...) ORVO_PRINTF_FORMAT(2, 3)
    {
        if (m_o.json)
            return;
        va_list args;
        va_start(args, format);
        std::vfprintf(m_io.out, format, args);
        va_end(args);
    }

    int Open(CDevice& device)
    {
        int status = CXHID_STATUS_OK;
        device.reset(Connect(m_system, m_o.type, m_o.vid, m_o.pid, &status));
        if (device)
        {
            const SCxDeviceIdentity info = device->GetDeviceInfo();
            m_json.AddText("chip", device->GetChipName());
            m_json.Add("chipType", device->GetChipType());
            char id[16];
            std::snprintf(id, sizeof id, "%04x:%04x", info.vendorId, info.productId);
            m_json.AddText("id", id);
        }
        return status;
    }

    int List()
    {
        std::vector<SCxFoundDevice> found;
        const int status = CxEnumerate(m_system, found);
        std::string array = "[";
        for (std::size_t i = 0; i < found.size(); ++i)
        {
            const SCxFoundDevice& d = found[i];
            const std::string path = WideToNarrowPath(d.path);
            Say("%s  %04x:%04x  %s%s\n", CxChipName(d.chipType), d.vendorId, d.productId, path.c_str(),
                (d.flags & kCxIdentityCorrected) != 0 ? "  (CX20562 request format)" : "");
            CJson entry;
            entry.AddText("chip", CxChipName(d.chipType));
            entry.Add("chipType", d.chipType);
            entry.Add("vendorId", d.vendorId);
            entry.Add("productId", d.productId);
            entry.Add("flags", d.flags);
            entry.AddText("path", path);
            array += (i ? "," : "") + entry.Text();
        }
        m_json.Add("devices", array + "]");
        return status;
    }

    int Info()
    {
        CDevice dev;
        int status = Open(dev);
        if (status != CXHID_STATUS_OK)
            return status;
        const SCxDeviceIdentity info = dev->GetDeviceInfo();
        Say("chip:            %s (type %d)%s\n", dev->GetChipName(), dev->GetChipType(),
            (info.flags & kCxIdentityCorrected) != 0 ? ", CX20562 request format" : "");
        Say("vendor/product:  %04x:%04x, version %04x\n", info.vendorId, info.productId, info.versionNumber);
        Say("path:            %s\n", WideToNarrowPath(info.path).c_str());
        Say("reports:         input %u bytes, output %u bytes, feature %u bytes\n", info.inputLength,
            info.outputLength, info.featureLength);
        m_json.AddText("path", WideToNarrowPath(info.path));
        m_json.Add("flags", info.flags);
        m_json.Add("inputReportLength", info.inputLength);
        m_json.Add("outputReportLength", info.outputLength);
        status = dev->AutoConfigure();
        const auto yesNo = [](std::int32_t v) { return v == 1 ? "yes" : "no"; };
        const std::int32_t detected = dev->GetProperty(kCxPropEepromDetected);
        const std::int32_t valid = dev->GetProperty(kCxPropEepromValid);
        Say("EEPROM:          detected %s, valid %s, size %lld%s\n", yesNo(detected), yesNo(valid),
            static_cast<long long>(dev->GetEepromSize()), dev->GetEepromSize() < 0 ? " (unknown)" : " bytes");
        Say("firmware:        %s the EEPROM size%s\n",
            dev->GetProperty(kCxPropFirmwareKnowsEepromSize) == 1 ? "knows" : "does not know",
            dev->GetOneBytePayload() ? " (EEPROM payloads of one byte)" : "");
        m_json.Add("eepromDetected", detected);
        m_json.Add("eepromValid", valid);
        m_json.Add("eepromSize", dev->GetEepromSize());
        m_json.Add("firmwareKnowsEepromSize", dev->GetProperty(kCxPropFirmwareKnowsEepromSize));
        m_json.Add("oneBytePayload", dev->GetOneBytePayload() ? 1 : 0);
        if (status == CXHID_STATUS_OK)
        {
            char version[9] = {};
            if (dev->GetPatchVersion(version, sizeof version) == CXHID_STATUS_OK)
            {
                Say("patch:           %s (%s)\n", version, dev->GetProperty(kCxPropPatchLoaded) == 1 ? "loaded" : "none");
                m_json.AddText("patchVersion", version);
            }
            m_json.Add("patchLoaded", dev->GetProperty(kCxPropPatchLoaded));
            if (valid == 1)
            {
                const std::uint8_t* layout = dev->GetEepromLayout();
                Say("layout record:   %s\n", Hex(layout, 26).c_str());
                Say("layout:          version %u, signature 0x%02x, vendor %04x, product %04x, revision %04x, "
                    "serial number at 0x%04x\n",
                    layout[42 - 32], layout[41 - 32], layout[44 - 32] | (layout[45 - 32] << 8),
                    layout[46 - 32] | (layout[47 - 32] << 8), layout[48 - 32] | (layout[49 - 32] << 8),
                    layout[56 - 32] | (layout[57 - 32] << 8));
                m_json.AddText("layoutRecord", Hex(layout, 26));
            }
        }
        return status;
    }

    bool Location(std::uint32_t& memory, std::uint32_t& address)
    {
        std::uint64_t m = 0, a = 0;
        if (!ParseValue(m_o.positional[1], 0xFFFFFFFFu, m) || !ParseValue(m_o.positional[2], 0xFFFFFFFFu, a))
            return false;
        memory = static_cast<std::uint32_t>(m);
        address = static_cast<std::uint32_t>(a);
        return true;
    }

    // The flags that select the register of --register; 11 (with the
    // reason) where the chip has no such selection.
    int RegisterFlags(const CDevice& dev, std::uint32_t memory, std::uint32_t& flags)
    {
        flags = 0;
        if (m_o.registerIndex < 0)
            return CXHID_STATUS_OK;
        const auto* object = static_cast<const CxAudioHidDevice*>(dev.get());
        const bool selectable = memory < kCxMemoryTypeCount && object->Protocol().memoryTable >= 0 &&
                                (object->Memory(static_cast<int>(memory)).access & kCxMemCommandAddressed) != 0 &&
                                (object->Protocol().flags & kCxProtoAddressModeMask) != 0;
        if (!selectable)
            return Usage("--register selects a register of memory types 3 and 4 of a chip whose requests carry it in "
                         "the command byte (CX2070x, CX2077x); the others address registers by ADDRESS");
        flags = static_cast<std::uint32_t>(m_o.registerIndex) << 1;
        return CXHID_STATUS_OK;
    }

    int Read()
    {
        std::uint32_t memory = 0, address = 0;
        std::uint64_t count = 0;
        if (!Location(memory, address) || !ParseValue(m_o.positional[3], 0x100000, count))
            return Usage("read MEMTYPE ADDRESS COUNT: numbers in decimal or 0x hexadecimal, COUNT up to 1 MiB");
        CDevice dev;
        int status = Open(dev);
        if (status != CXHID_STATUS_OK)
            return status;
        std::uint32_t flags = 0;
        status = RegisterFlags(dev, memory, flags);
        if (status != CXHID_STATUS_OK)
            return status;
        std::vector<std::uint8_t> data(static_cast<std::size_t>(count ? count : 1));
        SCxAccessStatistics stats{};
        stats.size = sizeof(stats);
        status = dev->MemoryRead(memory, flags, address, data.data(), static_cast<std::uint32_t>(count), &stats);
        const std::uint32_t done = status == CXHID_STATUS_OK ? static_cast<std::uint32_t>(count) : stats.bytesDone;
        for (std::uint32_t at = 0; at < done; at += 16)
        {
            std::string line;
            char cell[4];
            for (std::uint32_t i = at; i < done && i < at + 16; ++i)
            {
                std::snprintf(cell, sizeof cell, " %02X", data[i]);
                line += cell;
            }
            Say("%08X:%s\n", address + at, line.c_str());
        }
        m_json.Add("memoryType", memory);
        m_json.Add("address", address);
        m_json.Add("bytesDone", done);
        m_json.AddText("data", Hex(data.data(), done));
        return status;
    }

    int Write()
    {
        std::uint32_t memory = 0, address = 0;
        if (!Location(memory, address))
            return Usage("write MEMTYPE ADDRESS HEXBYTES: numbers in decimal or 0x hexadecimal");
        std::vector<std::uint8_t> bytes;
        std::string digits;
        for (char c : m_o.positional[3])
        {
            if (c == ' ' || c == ':' || c == '-' || c == ',')
                continue;
            if (!std::isxdigit(static_cast<unsigned char>(c)))
                return Usage("HEXBYTES holds pairs of hexadecimal digits");
            digits += c;
        }
        if (digits.empty() || digits.size() % 2 != 0)
            return Usage("HEXBYTES holds pairs of hexadecimal digits");
        for (std::size_t i = 0; i < digits.size(); i += 2)
            bytes.push_back(static_cast<std::uint8_t>(std::strtoul(digits.substr(i, 2).c_str(), nullptr, 16)));
        CDevice dev;
        int status = Open(dev);
        if (status != CXHID_STATUS_OK)
            return status;
        std::uint32_t flags = 0;
        status = RegisterFlags(dev, memory, flags);
        if (status != CXHID_STATUS_OK)
            return status;
        // The EEPROM's own size bounds a write as it bounds a file: a smaller
        // part wraps, and its read-back would show the bytes at the address
        // they overwrote.
        if (memory == 0)
        {
            auto* object = static_cast<CxAudioHidDevice*>(dev.get());
            const std::uint64_t end = static_cast<std::uint64_t>(address) + bytes.size();
            std::uint64_t capacity = 0;
            if (object->ValidateAccess(1, 0, flags, address, static_cast<std::uint32_t>(bytes.size())) ==
                CXHID_STATUS_OK)
            {
                // One write test at most, the size's (its byte is restored and checked).
                status = object->AutoConfigureWithoutWriting();
                if (status == CXHID_STATUS_OK)
                    status = object->DetectEepromCapacity(true, end, capacity);
                // The part answers where the bytes end (reads alone cannot tell).
                if (status == CXHID_STATUS_OK && capacity != 0 && end - 1 >= 256 && end <= capacity)
                    status = object->ConfirmEepromReach(static_cast<std::uint32_t>(end - 1), 43, capacity);
                if (status == CXHID_STATUS_PATCH_VERIFY_FAILED)
                    SaySizeTestChangedThePart(43);
                if (status != CXHID_STATUS_OK)
                    return status;
                if (capacity != 0 && end > capacity)
                {
                    std::fprintf(m_io.err, "%s: the EEPROM holds %llu bytes\n", m_io.programName,
                                 static_cast<unsigned long long>(capacity));
                    return CXHID_STATUS_PATCH_EEPROM_SIZE;
                }
            }
        }
        // Success says the chip holds the bytes: every chunk is read back.
        SCxAccessStatistics stats{};
        stats.size = sizeof(stats);
        {
            CProgress progress(m_io, "write+verify", bytes.size());
            dev->SetMemoryProgressCallback(&progress, MemoryProgress);
            status = dev->MemoryWrite(memory, flags | kCxAccessVerify, address, bytes.data(),
                                      static_cast<std::uint32_t>(bytes.size()), &stats);
            dev->SetMemoryProgressCallback(nullptr, nullptr);
        }
        if (status == CXHID_STATUS_OK && stats.differencesTotal > 0)
            status = CXHID_STATUS_PATCH_VERIFY_FAILED;
        if (status == CXHID_STATUS_OK || status == CXHID_STATUS_PATCH_VERIFY_FAILED || stats.bytesDone > 0)
            Say("wrote %u bytes at 0x%08X of memory %u%s\n", stats.bytesDone, address, memory,
                stats.differencesTotal ? ", verification found differences" : status == 0 ? ", verified" : "");
        m_json.Add("memoryType", memory);
        m_json.Add("address", address);
        m_json.Add("bytesDone", stats.bytesDone);
        m_json.Add("compared", stats.compared);
        m_json.Add("differences", stats.differencesTotal);
        return status;
    }

    static std::string FileJson(const S37File& f)
    {
        CJson j;
        j.Add("s3Records", f.s3Records);
        j.Add("s7Records", f.s7Records);
        j.Add("totalDataBytes", f.totalDataBytes);
        j.Add("highestAddress", f.highestAddress);
        j.Add("chipFamily", f.chipFamily);
        j.Add("fileType", f.fileType);
        j.Add("LayoutVersion", f.LayoutVersion);
        j.Add("LayoutSignature", f.LayoutSignature);
        j.Add("VendorID", f.VendorID);
        j.Add("ProductID", f.ProductID);
        j.Add("RevisionID", f.RevisionID);
        j.Add("SerialNumberStringAddress", f.SerialNumberStringAddress);
        j.Add("SerialNumberStringLength", f.SerialNumberStringLength);
        j.Add("magicBytes", f.magicBytes);
        return j.Text();
    }

    static std::string StatisticsJson(const SCxPatchStatistics& s)
    {
        CJson j;
        j.Add("bytesDone", s.bytesDone);
        j.Add("totalDataBytes", s.totalDataBytes);
        j.Add("bytesRemaining", s.bytesRemaining);
        j.Add("differences", s.differences);
        j.Add("ignoredBytes", s.ignoredBytes);
        j.Add("toleratedDifferences", s.toleratedDifferences);
        j.Add("compared", s.compared);
        j.Add("bytesCompared", s.bytesCompared);
        std::string open = "[";
        for (std::uint32_t i = 0; i < s.openDifferenceCount && i < 8; ++i)
        {
            CJson d;
            d.Add("address", s.openDifferences[i].address);
            d.Add("expected", s.openDifferences[i].expected);
            d.Add("read", s.openDifferences[i].read);
            open += (i ? "," : "") + d.Text();
        }
        j.Add("openDifferences", open + "]");
        return j.Text();
    }

    int Patch()
    {
        const std::string& file = m_o.positional[1];
        const std::uint32_t memory = static_cast<std::uint32_t>(m_o.memory);
        m_json.AddText("file", file);
        m_json.Add("memoryType", memory);
        if (m_o.registerIndex >= 0)
            return Usage("--register is for read and write; a patch reaches register 0 only");

        // The file is checked whole before a chip is looked for: the analysis
        // needs none, and a file that fails it never reaches one.
        S37File analysis{};
        analysis.size = sizeof(analysis);
        int status = CxAnalyseS37(memory, file.c_str(), nullptr, 0, &analysis);
        m_json.Add("S37File", FileJson(analysis));
        const bool program = m_o.write || m_o.verify;
        if (status == CXHID_STATUS_OK || status == CXHID_STATUS_PATCH_UNSAFE)
            SayFile(analysis);
        if (!program)
            return status;
        if (status == CXHID_STATUS_PATCH_UNSAFE && m_o.write && !m_o.writeMagicBytes)
        {
            std::fprintf(m_io.err,
                         "%s: the file writes the EEPROM magic byte 0x4C at %u places where a CX20562 looks for "
                         "its header; --write-magic-bytes writes it all the same\n",
                         m_io.programName, analysis.magicBytes);
            return status;
        }
        if (status != CXHID_STATUS_OK && status != CXHID_STATUS_PATCH_UNSAFE)
            return status;

        CDevice dev;
        status = Open(dev);
        if (status != CXHID_STATUS_OK)
            return status;
        // The EEPROM's header, its size and whether the chip takes EEPROM
        // payloads of more than one byte. A verification writes nothing; a
        // write makes one size test at most (the patch's, on a part without
        // a valid header).
        if (memory == 0)
        {
            status = static_cast<CxAudioHidDevice*>(dev.get())->AutoConfigureWithoutWriting();
            if (status != CXHID_STATUS_OK)
                return status;
        }
        SCxIoSettings settings = dev->GetIoSettings();
        settings.patchWriteDelayMs = m_o.recordDelayMs;
        dev->SetIoSettings(settings);

        // A write is always read back whole: success says the chip holds the file.
        const std::uint32_t options = (m_o.write ? kCxPatchWrite | kCxPatchVerify : kCxPatchVerify) |
                                      (m_o.protect ? kCxPatchHonourIgnoreRanges : 0u) |
                                      (m_o.writeMagicBytes ? kCxPatchAllowMagicBytes : 0u);
        SCxPatchStatistics stats{};
        stats.size = sizeof(stats);
        {
            CProgress writeBar(m_io, "write", analysis.totalDataBytes);
            CProgress verifyBar(m_io, "verify", analysis.totalDataBytes);
            SPatchProgress bars{m_o.write ? &writeBar : nullptr, &verifyBar};
            dev->SetPatchProgressCallback(&bars, PatchProgress);
            status = dev->MemoryPatch(memory, options, file.c_str(), nullptr, 0, &stats);
            dev->SetPatchProgressCallback(nullptr, nullptr);
        }
        // A read-back that differs fails the verification.
        if (status == CXHID_STATUS_OK && stats.differences > 0)
            status = CXHID_STATUS_PATCH_VERIFY_FAILED;
        m_json.Add("statistics", StatisticsJson(stats));
        SayRefusal(status, stats, analysis, dev);
        if (stats.bytesDone == 0 && stats.bytesCompared == 0 && status != CXHID_STATUS_OK)
            return status;
        if (m_o.write)
            Say("wrote %u of %u bytes of memory %u", stats.bytesDone, stats.totalDataBytes, memory);
        else
            Say("compared %u of %u bytes of memory %u", stats.bytesCompared, stats.totalDataBytes, memory);
        if (m_o.write && stats.bytesCompared > 0)
            Say(", read back %u", stats.bytesCompared);
        if (status == CXHID_STATUS_OK)
            Say(", verified");
        if (stats.ignoredBytes || stats.toleratedDifferences)
            Say(", %u bytes left alone, %u differences tolerated", stats.ignoredBytes, stats.toleratedDifferences);
        if (stats.differences)
            Say(", %u differences", stats.differences);
        Say("\n");
        for (std::uint32_t i = 0; i < stats.openDifferenceCount && i < 8; ++i)
            Say("  0x%08X: expected %02X, read %02X\n", stats.openDifferences[i].address,
                stats.openDifferences[i].expected, stats.openDifferences[i].read);
        return status;
    }

    // Why a file that reached the chip was refused, beside the status text.
    void SayRefusal(int status, const SCxPatchStatistics& stats, const S37File& analysis, const CDevice& dev)
    {
        const char* name = m_io.programName;
        switch (status)
        {
        case CXHID_STATUS_PATCH_EEPROM_SIZE:
            if (stats.refusedAddress == 1)
                std::fprintf(m_io.err, "%s: the file's header names an EEPROM larger than the %u bytes the chip has\n",
                             name, stats.memorySize);
            else
                std::fprintf(m_io.err, "%s: the file has bytes at 0x%08X and on; the EEPROM holds %u bytes\n", name,
                             stats.refusedAddress, stats.memorySize);
            break;
        case CXHID_STATUS_PATCH_VERIFY_FAILED:
            if (stats.bytesDone == 0 && stats.bytesCompared == 0 && m_o.write)
                SaySizeTestChangedThePart(stats.refusedAddress);
            break;
        case CXHID_STATUS_PATCH_WRONG_DEVICE:
            std::fprintf(m_io.err, "%s: the file is made for a %s, the chip is a %s\n", name,
                         CxChipName(analysis.chipFamily), dev->GetChipName());
            break;
        case CXHID_STATUS_INVALID_MEMORY_ADDRESS:
        case CXHID_STATUS_INVALID_MEMORY_ACCESS:
            if (stats.bytesDone == 0 && stats.bytesCompared == 0)
                std::fprintf(m_io.err, "%s: memory %d of the %s cannot take the file's bytes at 0x%08X\n", name,
                             m_o.memory, dev->GetChipName(), stats.refusedAddress);
            break;
        default: break;
        }
    }

    void SaySizeTestChangedThePart(std::uint32_t address)
    {
        std::fprintf(m_io.err,
                     "%s: the EEPROM did not take back its byte at %u after the size test: the part is changed "
                     "there\n",
                     m_io.programName, address);
    }

    void SayFile(const S37File& f)
    {
        static const char* const kTypes[] = {"CX20562 patch or default image", "CX2070x firmware", "CX2070x patch",
                                             "CX2077x", "CX2076x"};
        Say("records:         %u S3, %u S7, %u data bytes, highest address 0x%08X\n", f.s3Records, f.s7Records,
            f.totalDataBytes, f.highestAddress);
        Say("file:            %s (family %s)\n", f.fileType >= 0 && f.fileType <= 4 ? kTypes[f.fileType] : "unknown",
            CxChipName(f.chipFamily));
        if (f.LayoutVersion != 0)
            Say("layout:          version %u, signature 0x%02x, vendor %04x, product %04x, revision %04x, serial "
                "number at 0x%04x (%u bytes)\n",
                f.LayoutVersion, f.LayoutSignature, f.VendorID, f.ProductID, f.RevisionID, f.SerialNumberStringAddress,
                f.SerialNumberStringLength);
        if (f.magicBytes)
            Say("magic bytes:     %u\n", f.magicBytes);
    }

    const SOptions& m_o;
    IHidSystem& m_system;
    const SCxToolIo& m_io;
    CJson m_json;
};
} // namespace

void PrintCxAudioUsage(std::FILE* to, const char* programName)
{
    std::fprintf(to,
                 "usage: %s [--type N] [--vid HEX] [--pid HEX] [--json] [--log FILE] COMMAND\n"
                 "  list                                   every recognised chip\n"
                 "  info                                   identity, reports, EEPROM and patch\n"
                 "  read MEMTYPE ADDRESS COUNT [--register N]\n"
                 "                                         hex dump of a memory\n"
                 "  write MEMTYPE ADDRESS HEXBYTES [--register N]\n"
                 "                                         writes and reads back\n"
                 "  patch FILE [--memory N] [--write] [--verify] [--protect] [--write-magic-bytes]\n"
                 "            [--record-delay MS]          analysis (no chip needed) unless --write or --verify;\n"
                 "                                         a write is read back whole\n"
                 "memory types: 0 EEPROM, 1 RAM, 2 ROM, 3 and 4 registers (--register 0 ... 7 on the CX2070x\n"
                 "and CX2077x)\n",
                 programName);
}

int RunCxAudioTool(const std::vector<std::string>& args, IHidSystem& system, const SCxToolIo& io)
{
    const SOptions options = ParseOptions(args);
    if (!options.error.empty() || options.positional.empty())
    {
        std::fprintf(io.err, "%s: %s\n", io.programName,
                     options.error.empty() ? "a command is needed" : options.error.c_str());
        PrintCxAudioUsage(io.err, io.programName);
        std::fprintf(io.err, "%s: %s\n", io.programName, CxStatusText(CXHID_STATUS_INVALID_PARAMETER));
        return CXHID_STATUS_INVALID_PARAMETER;
    }
    // The library traces its steps into the diagnostic log when one is asked for.
    const bool logging = !options.log.empty() && OpenLog(options.log.c_str()) == 0;
    if (!options.log.empty() && !logging)
        std::fprintf(io.err, "%s: cannot open the log %s\n", io.programName, options.log.c_str());
    CTool tool(options, system, io);
    const int status = tool.Run();
    if (logging)
    {
        LogPrintf("cxaudio - status[%d] %s\n", status, CxStatusText(status));
        CloseLog();
    }
    return status;
}
