#include "bench/avnera/AV7300Product.h"

#include <algorithm>
#include <cstring>

#include "platform/Clock.h"

namespace
{
// The serial memories an AV7300 product may carry, by row of its part table:
// memory type (0 SPI flash, 1 I2C EEPROM), size, page, address info, sector.
constexpr CAV7300Product::SPart kParts[36] = {
    {0, 0, 0, 0, 0},           {1, 128, 4, 0, 0},         {1, 128, 8, 0, 0},          {1, 256, 8, 0, 0},
    {1, 512, 16, 1, 0},        {1, 1024, 16, 3, 0},       {1, 2048, 16, 7, 0},        {1, 2048, 16, 0, 0},
    {1, 4096, 32, 0, 0},       {1, 8192, 32, 0, 0},       {1, 16384, 64, 4, 0},       {1, 16384, 64, 0, 0},
    {1, 32768, 64, 4, 0},      {1, 32768, 64, 0, 0},      {1, 65536, 64, 4, 0},       {1, 65536, 128, 0, 0},
    {1, 65536, 128, 0, 0},     {1, 131072, 256, 1, 0},    {0, 128, 8, 1, 0},          {0, 256, 8, 1, 0},
    {0, 512, 8, 1, 0},         {0, 1024, 32, 2, 0},       {0, 2048, 32, 2, 0},        {0, 4096, 32, 2, 0},
    {0, 8192, 32, 2, 0},       {0, 16384, 64, 2, 0},      {0, 32768, 64, 2, 0},       {0, 65536, 128, 2, 4096},
    {0, 65536, 128, 3, 4096},  {0, 65536, 256, 3, 32768}, {0, 65536, 256, 3, 32768},  {0, 131072, 256, 3, 65536},
    {0, 131072, 256, 3, 4096}, {0, 262144, 256, 3, 4096}, {0, 524288, 256, 3, 4096},  {0, 65536, 1, 3, 4096},
};
constexpr std::uint32_t kSstRow = 35;

constexpr std::uint16_t kParameterBlock[2] = {0xC4AE, 0xC49A};
constexpr std::uint16_t kRomLoaderBuffer[2] = {0xD0D8, 0xD0A9};
constexpr std::size_t kReportLength = 263;
constexpr std::uint32_t kDropMs = 10;
constexpr std::uint32_t kSpiSector = 4096;

constexpr std::uint8_t kStatusBusy = 0x00;
constexpr std::uint8_t kStatusReady = 0x01;
constexpr std::uint8_t kStatusAnswer = 0x05;

std::uint16_t Le16(const std::uint8_t* p) { return static_cast<std::uint16_t>(p[0] | p[1] << 8); }
std::uint32_t Le32(const std::uint8_t* p)
{
    return static_cast<std::uint32_t>(p[0]) | static_cast<std::uint32_t>(p[1]) << 8 |
           static_cast<std::uint32_t>(p[2]) << 16 | static_cast<std::uint32_t>(p[3]) << 24;
}

class CAV7300HidFace : public IBenchHidModel
{
public:
    explicit CAV7300HidFace(std::shared_ptr<CAV7300Product> product) : m_product(std::move(product)) {}
    void OnAttach(const std::shared_ptr<IBenchHidSink>& sink) override { m_product->Attach(sink); }
    void OnDetach() override { m_product->Detach(); }
    EHidResult OnSetFeature(const std::uint8_t* report, std::size_t length) override
    {
        return m_product->SetFeature(report, length);
    }
    EHidResult OnGetFeature(std::uint8_t* report, std::size_t length) override
    {
        return m_product->GetFeature(report, length);
    }

private:
    std::shared_ptr<CAV7300Product> m_product;
};
} // namespace

std::shared_ptr<CAV7300Product> CAV7300Product::Create(const SAV7300ProductConfig& config)
{
    return std::make_shared<CAV7300Product>(config);
}

CAV7300Product::CAV7300Product(const SAV7300ProductConfig& config)
    : m_config(config)
    , m_part(kParts[config.flashPart < 36 ? config.flashPart : 0])
    , m_sst(config.flashPart == kSstRow)
{
    m_memory.assign(m_part.size, 0xFF);
    std::copy_n(config.memory.begin(), std::min<std::size_t>(config.memory.size(), m_memory.size()), m_memory.begin());
    for (const auto& [cell, value] : m_config.stuckCells)
        if (cell < m_memory.size())
            m_memory[cell] = value;
    m_ram.assign(0x10000, 0);
    // Power-up: the SST25VF512A protects every block.
    m_flashStatus = m_sst ? 0x0C : 0x00;
    BootLocked();
}

bool CAV7300Product::HeaderValidLocked() const
{
    if (m_memory.size() < 5)
        return false;
    const std::uint8_t checksum = static_cast<std::uint8_t>(0xFF - m_memory[1] - m_memory[0]);
    const std::uint32_t size = 64u << (m_memory[0] & 0x0F);
    return m_memory[2] == checksum && size == m_part.size;
}

void CAV7300Product::BootLocked()
{
    std::fill(m_ram.begin(), m_ram.end(), 0);
    m_ram[0xF000] = static_cast<std::uint8_t>(m_config.chipRevision);
    m_ram[0xF001] = static_cast<std::uint8_t>(m_config.chipRevision >> 8);
    m_flashMode = false;
    m_answer.clear();
    m_haveAnswer = false;
    m_answerAfterBusy = false;
    m_held.clear();
    m_busyUntil = 0;
    m_bulkIndex = 0;
    m_selected = false;
    m_spiBytes.clear();
    m_wel = false;
    m_ewsr = false;
    m_runsImage = HeaderValidLocked();
    m_bootHeader[0] = m_memory.empty() ? 0xFF : m_memory[0];
    m_bootHeader[1] = m_memory.size() < 2 ? 0xFF : m_memory[1];
    HeaderToBlockLocked();
}

bool CAV7300Product::BlockKnownLocked(const std::uint8_t* pb) const
{
    const bool flash = m_part.memType == 0;
    if (pb[0] != m_part.memType)
        return false; // a bus with nothing on it
    if (!m_runsImage)
    {
        // The boot ROM knows nothing of the memory but the block it is given:
        // it drives the memory as the block says.
        return true;
    }
    if (!flash)
        return Le32(pb + 13) == m_part.size && pb[17] == m_part.addressInfo && Le16(pb + 18) == m_part.page &&
               Le32(pb + 20) == 0;
    // The product firmware learnt its memory from the header it booted: it
    // takes a block that describes the part that header names (the memory's
    // own part when the image was made for it).
    const std::uint32_t size = 64u << (m_bootHeader[0] & 0x0F);
    const std::uint32_t pageCode = m_bootHeader[0] >> 4;
    const std::uint32_t sector = 64u << (m_bootHeader[1] & 0x0F);
    const std::uint32_t addressBytes = (m_bootHeader[1] >> 4) & 0x03;
    const std::uint32_t page = Le16(pb + 18);
    const bool pageMatches = page == (2u << pageCode) || (page == 1 && pageCode == 0);
    return Le32(pb + 13) == size && pb[17] == addressBytes && pageMatches && Le32(pb + 20) == sector;
}

void CAV7300Product::HeaderToBlockLocked()
{
    // The boot ROM reads the first bytes of the memory into its parameter
    // block and checks them there: the product firmware learns its memory
    // from them, and they stay there when the check failed and the ROM runs.
    const std::uint16_t block = kParameterBlock[m_config.chipRevision & 1];
    m_ram[block + 9] = m_memory.empty() ? 0xFF : m_memory[0];
    m_ram[block + 10] = m_memory.size() < 2 ? 0xFF : m_memory[1];
}

void CAV7300Product::SetCellLocked(std::uint32_t address, std::uint8_t value)
{
    if (m_memory.empty())
        return;
    // A serial memory decodes only the address bits it has: beyond its end
    // the address wraps onto its beginning.
    const std::uint32_t cell = address % static_cast<std::uint32_t>(m_memory.size());
    if (m_config.stuckCells.count(cell) != 0)
        return; // a cell that does not take what it is given
    m_memory[cell] = value;
}

SBenchDevice CAV7300Product::DescribeLocked()
{
    SBenchDevice device;
    device.vendorId = m_runsImage ? 0x2C6D : 0x170D;
    device.productId = m_runsImage ? 0x3240 : 0x0300;
    device.manufacturer = L"Bench";
    device.product = m_runsImage ? L"AV7300 Bench Headset" : L"AV7300 ROM";
    SBenchHidInterface hid;
    hid.caps.usagePage = 0xFF00;
    hid.caps.usage = 0x0001;
    hid.caps.featureReportByteLength = kReportLength;
    hid.reportIds = {0xFF, 0xE4}; // command packets; the ROM loader's bulk report
    hid.model = std::make_shared<CAV7300HidFace>(shared_from_this());
    device.hidInterfaces.push_back(hid);
    return device;
}

BenchId CAV7300Product::Plug(CBenchUsbWorld& world, BenchId hub, std::uint8_t port)
{
    SBenchDevice device;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        device = DescribeLocked();
    }
    return world.Plug(hub, port, device);
}

void CAV7300Product::Attach(const std::shared_ptr<IBenchHidSink>& sink)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_sink = sink;
}

void CAV7300Product::Detach()
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_sink.reset();
}

bool CAV7300Product::PatchValidLocked() const
{
    static const std::uint8_t kCode[] = {0xE1, 0x01, 0xBC, 0x15, 0x51};
    return std::memcmp(&m_ram[0xEEC0], kCode, sizeof(kCode)) == 0 && Le16(&m_ram[0xF040]) == 0x5113 &&
           Le16(&m_ram[0xF050]) == 0xEEC0 && m_ram[0xF060] == 1 && m_ram[0xF061] == 1;
}

bool CAV7300Product::SpimFreeLocked() const { return !m_runsImage || m_flashMode; }

bool CAV7300Product::FlashBusyLocked() const { return CClock::NowMs() < m_flashBusyUntil; }

bool CAV7300Product::ProtectedLocked(std::uint32_t address) const
{
    if (!m_sst)
        return false;
    switch ((m_flashStatus >> 2) & 3)
    {
    case 0: return false;
    case 1: return address >= 0xC000;
    case 2: return address >= 0x8000;
    default: return true;
    }
}

void CAV7300Product::AdvanceLocked()
{
    // What the chip did while nobody looked: a busy time that ended shows
    // its answer from when it ended (not from when the host asks next), and
    // the command that waited in the host-port buffer ran then.
    const std::uint64_t now = CClock::NowMs();
    while (m_busyUntil != 0 && now >= m_busyUntil)
    {
        const std::uint64_t endedAt = m_busyUntil;
        m_busyUntil = 0;
        m_commandAt = endedAt;
        if (m_answerAfterBusy)
        {
            m_answer = std::move(m_afterBusyAnswer);
            m_haveAnswer = true;
            m_answerAt = endedAt + m_config.answerDelayMs;
            m_answerAfterBusy = false;
        }
        if (!m_held.empty())
        {
            std::vector<std::uint8_t> packet = std::move(m_held);
            m_held.clear();
            // A held command never re-enumerates the chip here: flash mode and
            // reset are short commands that the host sends when idle.
            ProcessLocked(packet.data(), packet.size());
        }
    }
    m_commandAt = now;
}

void CAV7300Product::SpiByteLocked(std::uint8_t value)
{
    if (!SpimFreeLocked() || (m_ram[0xF0F0] & 0x40) == 0 || !m_selected)
        return;
    m_spiBytes.push_back(value);
}

void CAV7300Product::SpiEndLocked()
{
    const std::vector<std::uint8_t> bytes = std::move(m_spiBytes);
    m_spiBytes.clear();
    if (bytes.empty() || m_part.memType != 0 || FlashBusyLocked())
        return; // a busy flash ignores what it is sent
    const std::uint8_t op = bytes[0];
    const bool ewsr = m_ewsr;
    m_ewsr = false;
    if (op == 0x06 && bytes.size() == 1)
        m_wel = true;
    else if (op == 0x04 && bytes.size() == 1)
        m_wel = false;
    else if (op == 0x50 && bytes.size() == 1 && m_sst)
        m_ewsr = true;
    else if (op == 0x01 && bytes.size() == 2)
    {
        if (m_sst ? (ewsr || m_wel) : m_wel)
            m_flashStatus = static_cast<std::uint8_t>(bytes[1] & 0x0C);
        m_wel = false;
    }
    else if (op == 0x20 && bytes.size() == 4)
    {
        const std::uint32_t address =
            (static_cast<std::uint32_t>(bytes[1]) << 16 | static_cast<std::uint32_t>(bytes[2]) << 8 | bytes[3]) &
            ~(kSpiSector - 1);
        const std::uint32_t start = address % static_cast<std::uint32_t>(m_memory.size());
        if (m_wel && !ProtectedLocked(start))
        {
            for (std::uint32_t i = 0; i < kSpiSector && start + i < m_memory.size(); ++i)
                SetCellLocked(start + i, 0xFF);
            m_flashBusyUntil = m_commandAt + m_config.sectorEraseMs;
            ++m_spimErases;
        }
        m_wel = false;
    }
}

void CAV7300Product::PokeHookLocked(std::uint16_t address, std::uint8_t value)
{
    if (address == 0xF0F2)
        SpiByteLocked(value);
    else if (address == 0xF0F4)
    {
        const bool select = value == 0;
        if (!SpimFreeLocked() || (m_ram[0xF0F0] & 0x40) == 0)
        {
            m_selected = false;
            m_spiBytes.clear();
            return;
        }
        if (select && !m_selected)
            m_spiBytes.clear();
        if (!select && m_selected)
            SpiEndLocked();
        m_selected = select;
    }
    else if (address == 0xF0F0 && (value & 0x40) == 0)
    {
        m_selected = false;
        m_spiBytes.clear();
    }
}

CAV7300Product::EPending CAV7300Product::SerialCommandLocked(std::uint8_t sub)
{
    const std::uint16_t block = kParameterBlock[m_config.chipRevision & 1];
    const std::uint8_t* pb = &m_ram[block];
    const bool flash = m_part.memType == 0;
    if (!m_config.acceptsAnyBlock && !BlockKnownLocked(pb))
        return EPending::None;
    if (!flash && m_ram[0xF0E1] != 0x8F)
        return EPending::None; // the TWI controller is not set up for the EEPROM
    // The memory decodes only the address bits it has.
    const std::uint32_t address = Le32(pb + 1) % static_cast<std::uint32_t>(m_memory.size());
    const std::uint16_t ram = Le16(pb + 5);
    const std::uint32_t length = Le16(pb + 7);
    if (sub == 0x0C)
    {
        // The firmware erases a sector with the 64 KB block-erase command,
        // which the SST25VF512A does not know; an EEPROM has no erase.
        if (!flash || m_sst || m_part.sector == 0)
            return EPending::None;
        ++m_eraseCommands;
        if (m_config.unplugAtErase != 0 && m_eraseCommands == m_config.unplugAtErase)
        {
            m_pulledOut = true;
            return EPending::PullOut;
        }
        const std::uint32_t start = address / m_part.sector * m_part.sector;
        for (std::uint32_t i = 0; i < m_part.sector && start + i < m_memory.size(); ++i)
            SetCellLocked(start + i, 0xFF);
        ++m_sectorErases;
        const std::uint32_t sectors4k = std::max<std::uint32_t>(1, m_part.sector / kSpiSector);
        m_busyUntil = m_commandAt + m_config.sectorEraseMs * sectors4k;
        return EPending::None;
    }
    if (length == 0 || static_cast<std::uint32_t>(ram) + length > m_ram.size())
        return EPending::None;
    m_busyUntil = m_commandAt + m_config.transferMs;
    if (sub == 0x84)
    {
        ++m_readCommands;
        if (m_config.unplugAtRead != 0 && m_readCommands == m_config.unplugAtRead)
        {
            m_pulledOut = true;
            return EPending::PullOut;
        }
        for (std::uint32_t i = 0; i < length; ++i)
            m_ram[ram + i] = m_memory[(address + i) % m_memory.size()];
        return EPending::None;
    }
    // 0x03: write.
    ++m_writeCommands;
    m_bulkIndex = 0;
    if (m_config.unplugAtWrite != 0 && m_writeCommands == m_config.unplugAtWrite)
    {
        m_pulledOut = true;
        return EPending::PullOut;
    }
    if (m_flashMode && !PatchValidLocked())
        return EPending::None; // the ROM's write routine needs its patch
    // The transfer goes out in page writes of the block's page size, counted
    // from the transfer's own address; the memory wraps each inside its own
    // page, as NOR flash and EEPROM do.
    const std::uint32_t size = static_cast<std::uint32_t>(m_memory.size());
    const std::uint32_t blockPage = Le16(pb + 18) != 0 ? Le16(pb + 18) : std::max<std::uint32_t>(m_part.page, 1);
    const std::uint32_t partPage = std::max<std::uint32_t>(m_part.page, 1);
    for (std::uint32_t offset = 0; offset < length; offset += blockPage)
    {
        const std::uint32_t n = std::min(blockPage, length - offset);
        const std::uint32_t start = (address + offset) % size;
        const std::uint32_t pageStart = start / partPage * partPage;
        for (std::uint32_t j = 0; j < n; ++j)
        {
            const std::uint32_t at = pageStart + (start - pageStart + j) % partPage;
            if (flash && ProtectedLocked(at))
                continue;
            const std::uint8_t value = m_ram[ram + offset + j];
            SetCellLocked(at, flash ? static_cast<std::uint8_t>(m_memory[at] & value) : value);
        }
    }
    m_writes.push_back(address);
    return EPending::None;
}

CAV7300Product::EPending CAV7300Product::ProcessLocked(const std::uint8_t* p, std::size_t length)
{
    m_answer.clear();
    m_haveAnswer = false;
    const std::uint8_t op = p[0];
    if (op < 0xFC)
    {
        if (op == 0x0A && length >= 4 && p[1] == 0xAD && p[2] == 0xDE && p[3] == 0x00)
        {
            m_flashMode = true;
            if (!m_runsImage)
            {
                // The ROM restarts its USB side into flash mode.
                std::fill(m_ram.begin(), m_ram.end(), 0);
                m_ram[0xF000] = static_cast<std::uint8_t>(m_config.chipRevision);
                HeaderToBlockLocked();
                return EPending::ReEnumerate;
            }
        }
        else if (op == 0x05)
        {
            ++m_resets;
            BootLocked();
            return EPending::ReEnumerate;
        }
        return EPending::None;
    }
    if (length < 6)
        return EPending::None;
    const std::uint8_t count = p[4];
    if (count < 2 || 4u + count > length || 4u + count > 24 || (p[1] != 2 && p[1] != 4) || p[2] != 0 || p[3] != 0)
        return EPending::None;
    const std::uint8_t* pl = p + 4;
    const std::uint8_t sub = pl[1];
    std::vector<std::uint8_t> answer{0xFE, 0, 0, 0};
    for (int i = 0; i < 4; ++i)
        answer.push_back(i < count ? pl[i] : 0);
    EPending pending = EPending::None;
    if (sub == 0x81 && count >= 5)
    {
        const std::uint16_t address = Le16(pl + 2);
        const std::uint8_t n = pl[4];
        if (n == 0 || n > 16)
            return EPending::None;
        for (std::uint8_t i = 0; i < n; ++i)
            answer.push_back(m_ram[static_cast<std::uint16_t>(address + i)]);
    }
    else if (sub == 0x00 && count >= 5)
    {
        const std::uint16_t address = Le16(pl + 2);
        for (std::size_t i = 4; i < count; ++i)
        {
            const std::uint16_t at = static_cast<std::uint16_t>(address + i - 4);
            if (at == 0xF000 || at == 0xF001)
                continue; // read-only
            m_ram[at] = pl[i];
            PokeHookLocked(at, pl[i]);
        }
    }
    else if (sub == 0x83)
    {
        answer.push_back(static_cast<std::uint8_t>(m_config.romVersion));
        answer.push_back(static_cast<std::uint8_t>(m_config.romVersion >> 8));
        // The ROM's own answers carry their length where the request's
        // fourth payload byte is echoed (report byte 10), as in byte 1.
        answer[7] = static_cast<std::uint8_t>(answer.size() + 2);
    }
    else if (sub == 0x84 || sub == 0x03 || sub == 0x0C)
    {
        pending = SerialCommandLocked(sub);
        if (pending == EPending::PullOut)
            return pending;
        if (sub == 0x0C)
            answer[7] = static_cast<std::uint8_t>(answer.size() + 2); // the ROM's erase answer, as 0x83
        if (sub == 0x0C && op == 0xFD && m_busyUntil != 0)
        {
            // Answered when the erase is done.
            m_afterBusyAnswer = answer;
            m_answerAfterBusy = true;
            return EPending::None;
        }
    }
    else
    {
        return EPending::None;
    }
    if (op == 0xFD)
    {
        m_answer = answer;
        m_haveAnswer = true;
        m_answerAt = m_commandAt + m_config.answerDelayMs;
    }
    return pending;
}

void CAV7300Product::AfterUnlock(EPending pending, std::unique_lock<std::mutex>& lock)
{
    if (pending == EPending::None)
        return;
    std::shared_ptr<IBenchHidSink> sink = m_sink.lock();
    SBenchDevice device;
    if (pending == EPending::ReEnumerate)
        device = DescribeLocked();
    const std::uint32_t back = m_config.reEnumerateMs;
    lock.unlock();
    if (!sink)
        return;
    if (pending == EPending::ReEnumerate)
        sink->ReEnumerate(device, kDropMs, back);
    else
        sink->DropOff(0);
}

EHidResult CAV7300Product::SetFeature(const std::uint8_t* report, std::size_t length)
{
    std::unique_lock<std::mutex> lock(m_mutex);
    if (m_pulledOut)
        return EHidResult::NoDevice;
    AdvanceLocked();
    if (length < 3)
        return EHidResult::Failed;
    if (report[0] == 0xFF)
    {
        if (report[1] < 2)
            return EHidResult::Failed;
        // The firmware reads a packet by its own count from the report
        // buffer; the length byte only tells that a packet is there.
        const std::size_t available = length - 3;
        if (m_busyUntil != 0)
        {
            // One command waits in the host-port buffer; a second one is lost.
            if (m_held.empty())
                m_held.assign(report + 3, report + 3 + available);
            return EHidResult::Ok;
        }
        const EPending pending = ProcessLocked(report + 3, available);
        AfterUnlock(pending, lock);
        return EHidResult::Ok;
    }
    if (report[0] == 0xE4 && length >= 7)
    {
        // The ROM loader's bulk block.
        const std::uint32_t revision = m_config.chipRevision & 1;
        if (report[6] != 1 || report[2] != static_cast<std::uint8_t>(m_bulkIndex))
            return EHidResult::Ok;
        if (revision == 1 && !PatchValidLocked())
            return EHidResult::Ok;
        const std::size_t n = std::min<std::size_t>(256, length - 7);
        std::copy_n(report + 7, n, m_ram.begin() + kRomLoaderBuffer[revision]);
        ++m_bulkIndex;
        ++m_bulkBlocks;
        return EHidResult::Ok;
    }
    return EHidResult::Failed;
}

EHidResult CAV7300Product::GetFeature(std::uint8_t* report, std::size_t length)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    if (m_pulledOut)
        return EHidResult::NoDevice;
    AdvanceLocked();
    if (length < 3 || report[0] != 0xFF)
        return EHidResult::Failed;
    std::memset(report + 1, 0, length - 1);
    std::uint8_t status = kStatusReady;
    if (m_busyUntil != 0)
        status = kStatusBusy;
    else if (m_haveAnswer)
        status = CClock::NowMs() < m_answerAt ? kStatusBusy : kStatusAnswer;
    report[2] = status;
    report[1] = 2;
    if (status == kStatusAnswer)
    {
        const std::size_t n = std::min(m_answer.size(), length - 3);
        std::copy_n(m_answer.begin(), n, report + 3);
        report[1] = static_cast<std::uint8_t>(n + 2);
    }
    return EHidResult::Ok;
}

std::vector<std::uint8_t> CAV7300Product::Memory()
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_memory;
}

bool CAV7300Product::RunsImage()
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_runsImage;
}

bool CAV7300Product::InFlashMode()
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_flashMode;
}

bool CAV7300Product::HeaderValid()
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return HeaderValidLocked();
}

bool CAV7300Product::PulledOut()
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_pulledOut;
}

std::uint32_t CAV7300Product::SectorErases()
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_sectorErases;
}

std::uint32_t CAV7300Product::SpimSectorErases()
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_spimErases;
}

std::uint32_t CAV7300Product::BulkBlocks()
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_bulkBlocks;
}

std::uint32_t CAV7300Product::Resets()
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_resets;
}

std::vector<std::uint32_t> CAV7300Product::Writes()
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_writes;
}

std::vector<std::uint8_t> CAV7300Product::Ram(std::uint16_t address, std::size_t length)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    std::vector<std::uint8_t> out;
    for (std::size_t i = 0; i < length; ++i)
        out.push_back(m_ram[static_cast<std::uint16_t>(address + i)]);
    return out;
}
