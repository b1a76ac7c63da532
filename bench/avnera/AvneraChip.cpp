#include "bench/avnera/AvneraChip.h"

#include <algorithm>
#include <cstring>

#include "platform/Clock.h"

namespace
{
// The chip firmware's memory map by (mode, state): parameter block and
// download area.
constexpr std::uint16_t kParameterBlock[12] = {0xC41B, 0xC41B, 0xC44A, 0xC42D, 0xC416, 0xC416,
                                               0xC451, 0xB53A, 0xC42D, 0xC42D, 0xFFFF, 0xFFFF};
constexpr std::uint8_t kKindOffset[12] = {0, 0, 1, 1, 0, 0, 1, 1, 1, 1, 1, 1};
constexpr std::uint16_t kDownloadBase[12] = {0xC756, 0xC756, 0xC764, 0xD312, 0xC628, 0xC628,
                                             0xC771, 0xBB5C, 0xC62F, 0xC627, 0xFFFF, 0xFFFF};
constexpr std::uint16_t kIdAddress[3] = {0xC0D4, 0xB112, 0x0000};
constexpr std::uint8_t kFlashLoaderState = 1;
// What one status read takes on the bus: a chip that wants its status read
// a few times before an answer shows has it shown after as long anyway.
constexpr std::uint64_t kStatusReadMs = 2;

std::uint16_t Le16(const std::uint8_t* p)
{
    return static_cast<std::uint16_t>(p[0] | p[1] << 8);
}
std::uint32_t Le32(const std::uint8_t* p)
{
    return static_cast<std::uint32_t>(p[0]) | static_cast<std::uint32_t>(p[1]) << 8 |
           static_cast<std::uint32_t>(p[2]) << 16 | static_cast<std::uint32_t>(p[3]) << 24;
}
void Put16(std::vector<std::uint8_t>& v, std::uint16_t x)
{
    v.push_back(static_cast<std::uint8_t>(x));
    v.push_back(static_cast<std::uint8_t>(x >> 8));
}
void Put32(std::vector<std::uint8_t>& v, std::uint32_t x)
{
    for (int i = 0; i < 4; ++i)
        v.push_back(static_cast<std::uint8_t>(x >> (8 * i)));
}
std::uint8_t ModeRegister(std::uint32_t mode)
{
    return mode == 0 ? 12 : mode == 1 ? 13 : 16;
}
} // namespace

CAvneraChip::CAvneraChip(const SAvneraChipConfig& config) : m_config(config)
{
    m_ram.assign(0x10000, 0);
    for (std::uint8_t remote : m_config.remotes)
        m_remoteRam[remote].assign(0x10000, 0);
    m_serial.assign(m_config.serialSize, 0xFF);
    m_eeprom.assign(m_config.eepromSize, 0xFF);
    ResetLocked();
    // Identity in RAM: device id and device byte at the mode's addresses.
    const std::uint16_t id = kIdAddress[std::min<std::uint32_t>(m_config.mode, 2)];
    if (id != 0)
    {
        const std::uint8_t idBytes[4] = {0x11, 0x22, 0x33, 0x44};
        std::memcpy(&m_ram[id], idBytes, 4);
    }
}

void CAvneraChip::ResetLocked()
{
    m_answer.clear();
    m_answerReady = false;
    m_pollsLeft = 0;
    m_pending = nullptr;
    m_busyUntil = 0;
    m_held = false;
    m_heldPacket.clear();
    m_asserted = false;
    m_flashMode = false;
    m_ram[0xF002] = m_config.state;
    m_ram[0xF004] = m_config.modeRegisterOverride != 0 ? m_config.modeRegisterOverride : ModeRegister(m_config.mode);
    m_ram[0xF003] = 0;
}

// The chip's own time runs at product time, but the model acts only when it
// is looked at: work that finished while nobody looked is done at the time it
// finished (m_now), so that a host that polls late (a loaded machine) sees
// what the chip did by then, not a chip that just started.
void CAvneraChip::AdvanceLocked()
{
    const std::uint64_t now = CClock::NowMs();
    while (m_pending && now >= m_busyUntil)
    {
        m_now = m_busyUntil;
        auto action = std::move(m_pending);
        m_pending = nullptr;
        action();
        if (m_held && !m_pending)
        {
            m_held = false;
            const std::vector<std::uint8_t> packet = std::move(m_heldPacket);
            ++m_opcodes[packet[0]];
            RunLocked(packet.data(), packet.size(), m_heldPort, m_heldFault);
        }
    }
    m_now = now;
}

// The answer of the command just processed, as the fault armed for it lets
// it show.
void CAvneraChip::Answer(std::vector<std::uint8_t> answer, EAvneraFault fault)
{
    if (answer.size() > 24)
        answer.resize(24);
    switch (fault)
    {
    case EAvneraFault::NoAnswer:
        m_answer.clear();
        m_answerReady = false;
        return;
    case EAvneraFault::ShortAnswer:
        answer.resize(answer.size() > m_faultParam ? answer.size() - std::max<std::uint32_t>(m_faultParam, 1) : 0);
        break;
    case EAvneraFault::WrongOpcode:
        if (!answer.empty())
            answer[0] = 0xFC;
        break;
    default: break;
    }
    m_answer = std::move(answer);
    m_answerReady = true;
    m_pollsLeft = m_config.answerPolls;
    m_readyAt = m_now + m_config.answerDelayMs;
}

EAvneraFault CAvneraChip::NextFaultLocked()
{
    ++m_taken;
    if (m_fault == EAvneraFault::None || m_taken != m_faultAt)
        return EAvneraFault::None;
    const EAvneraFault fault = m_fault;
    m_fault = EAvneraFault::None;
    return fault;
}

EAvneraTake CAvneraChip::Command(const std::uint8_t* packet, std::size_t length, EAvneraPort port)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    AdvanceLocked();
    if (m_unplugged || m_resetHeld || m_asserted || length < 1)
        return EAvneraTake::Ignored;
    if (m_pending)
    {
        // One command waits in the host-port buffer while the firmware is busy.
        if (m_held)
            return EAvneraTake::Busy;
        m_held = true;
        m_heldPacket.assign(packet, packet + length);
        m_heldPort = port;
        m_heldFault = NextFaultLocked();
        return EAvneraTake::Taken;
    }
    const EAvneraFault fault = NextFaultLocked();
    ++m_opcodes[packet[0]];
    RunLocked(packet, length, port, fault);
    return EAvneraTake::Taken;
}

void CAvneraChip::RunLocked(const std::uint8_t* packet, std::size_t length, EAvneraPort port, EAvneraFault fault)
{
    // A command taken replaces the answer of the one before, whatever becomes of it.
    m_answer.clear();
    m_answerReady = false;
    switch (fault)
    {
    case EAvneraFault::Assert:
    {
        m_asserted = true;
        const std::uint8_t code[4] = {0xA5, 0x5E, static_cast<std::uint8_t>(m_taken >> 8),
                                      static_cast<std::uint8_t>(m_taken)};
        std::memcpy(m_assertion, code, 4);
        return;
    }
    case EAvneraFault::Unplug: m_unplugged = true; return;
    case EAvneraFault::Lost: return;
    default: ProcessLocked(packet, length, port, fault); return;
    }
}

void CAvneraChip::ProcessLocked(const std::uint8_t* p, std::size_t length, EAvneraPort port, EAvneraFault fault)
{
    const std::uint8_t op = p[0];
    m_answer.clear();
    m_answerReady = false;
    if (op < 0xFC)
    {
        if (length < 1)
            return;
        if (op == 0x0A && length >= 4 && p[1] == 0xAD && p[2] == 0xDE && p[3] == 0x00)
        {
            m_flashMode = true;
            m_running = false;
            m_stateBeforeFlash = m_ram[0xF002];
            m_download.clear();
            m_downloadLength = 0;
            m_ram[0xF002] = kFlashLoaderState;
            if (port == EAvneraPort::GenericHid && m_flashListener)
            {
                auto listener = m_flashListener;
                const std::uint32_t mode = m_config.mode;
                listener(mode);
            }
        }
        else if (op == 0x0B && m_flashMode)
        {
            m_flashMode = false;
            m_running = true;
            m_ram[0xF002] = m_stateBeforeFlash;
        }
        m_pollsLeft = m_config.answerPolls;
        m_readyAt = m_now + m_config.answerDelayMs;
        return;
    }
    if (length < 5)
        return;
    const std::uint8_t count = p[4];
    if (count < 2 || 4u + count > length || 4u + count > 24)
        return;
    const std::uint8_t dest = p[1];
    const bool destinationOk = port == EAvneraPort::GenericHid ? (dest == 2 || dest == 4)
                               : port == EAvneraPort::I2c      ? dest == 0x19
                                                               : dest == 2;
    if (!destinationOk)
        return;
    const std::uint8_t unit = p[2];
    const std::uint8_t remote = p[3];
    const std::uint8_t* pl = p + 4;
    const std::uint8_t sub = pl[1];
    const bool answered = op == 0xFD;
    std::vector<std::uint8_t> answer{0xFE, dest, unit, remote};
    auto echo = [&](std::size_t n) {
        for (std::size_t i = 0; i < n && i < count; ++i)
            answer.push_back(pl[i]);
        while (answer.size() < 4 + n)
            answer.push_back(0);
    };
    m_pollsLeft = m_config.answerPolls;
    m_readyAt = m_now + m_config.answerDelayMs;

    if (unit == 0)
    {
        std::vector<std::uint8_t>* memory = MemoryOf(remote);
        if (memory == nullptr)
            return; // no such paired device: nothing answers
        if (sub == 0x81 && count >= 5)
        {
            const std::uint16_t address = Le16(pl + 2);
            const std::uint8_t n = pl[4];
            if (n == 0 || n > 16)
                return;
            echo(4);
            for (std::uint8_t i = 0; i < n; ++i)
                answer.push_back((*memory)[static_cast<std::uint16_t>(address + i)]);
        }
        else if (sub == 0x00 && count >= 5)
        {
            const std::uint16_t address = Le16(pl + 2);
            for (std::size_t i = 4; i < count; ++i)
            {
                const std::uint16_t at = static_cast<std::uint16_t>(address + i - 4);
                (*memory)[at] = pl[i];
                if (remote == 0)
                {
                    if (m_flashMode && at >= DownloadBaseLocked())
                    {
                        const std::uint32_t offset = at - DownloadBaseLocked();
                        if (m_download.size() <= offset)
                            m_download.resize(offset + 1, 0);
                        m_download[offset] = pl[i];
                    }
                    WriteRegisterHooks(at);
                }
            }
            echo(4);
        }
        else if (sub == 0x83)
        {
            echo(2);
            answer.push_back(0);
            answer.push_back(0);
            Put16(answer, m_config.firmwareVersion);
        }
        else if (sub == 0x82)
        {
            echo(2);
            // Layout of the link answer differs in state 3.
            const bool stateThree = m_ram[0xF002] == 3;
            answer.push_back(stateThree ? 0x77 : m_config.linkValue);
            answer.push_back(0);
            answer.push_back(stateThree ? m_config.linkValue : 0x77);
        }
        else if ((sub == 0x0E || sub == 0x0F) && count >= 8)
        {
            const std::uint16_t at = sub == 0x0E ? kIdAddress[std::min<std::uint32_t>(m_config.mode, 2)] : 0xB10D;
            if (at != 0)
                std::memcpy(&(*memory)[at], pl + 4, 4);
            echo(2);
        }
        else if (sub == 0x10)
        {
            ++m_commits;
            echo(2);
        }
        else if (sub == 0x84 || sub == 0x03)
        {
            SerialTrigger(sub);
            echo(2);
        }
        else if (sub == 0x0C)
        {
            echo(4);
            if (!SerialTrigger(sub) || !answered)
            {
                // Refused: nothing to wait for.
                if (answered)
                    Answer(answer, fault);
                return;
            }
            // The answer comes when the erase is done.
            auto done = std::move(m_pending);
            m_pending = [this, done, answer, fault]() {
                if (done)
                    done();
                Answer(answer, fault);
            };
            return;
        }
        else
        {
            return;
        }
    }
    else if (unit == 3)
    {
        if (sub == 0xA0 && count >= 5)
        {
            const std::size_t n = static_cast<std::size_t>(pl[2] - 0xA0);
            const std::uint32_t address = static_cast<std::uint32_t>(pl[3] << 8 | pl[4]);
            if (n != static_cast<std::size_t>(count) - 5 || n > 16 || m_eeprom.empty())
                return;
            // One I2C write: the EEPROM's address counter wraps inside its page.
            const std::uint32_t size = static_cast<std::uint32_t>(m_eeprom.size());
            const std::uint32_t page = std::max<std::uint32_t>(1, std::min(m_config.eepromPage, size));
            const std::uint32_t start = address % size;
            const std::uint32_t pageStart = start / page * page;
            for (std::size_t i = 0; i < n; ++i)
                m_eeprom[pageStart + (start - pageStart + i) % page] = pl[5 + i];
            echo(2);
        }
        else if (sub == 0xA1 && count >= 4)
        {
            const std::size_t n = static_cast<std::size_t>(pl[2] - 0xA0);
            // The low address byte is whatever arrived (0 when it was not sent).
            const std::uint32_t address = static_cast<std::uint32_t>(pl[3] << 8 | (count >= 5 ? pl[4] : 0));
            if (n == 0 || n > 16)
                return;
            echo(count);
            for (std::size_t i = 0; i < n; ++i)
                answer.push_back(m_eeprom.empty() ? 0xFF : m_eeprom[(address + i) % m_eeprom.size()]);
        }
        else
        {
            return;
        }
    }
    else if (unit == 7)
    {
        if (sub != 0x02 && sub != 0x03)
            return;
        const std::size_t offset = sub == 0x02 ? 0 : (count >= 4 ? pl[3] : 0);
        const std::string& record = m_config.versionRecord;
        const std::size_t n = offset < record.size() ? std::min<std::size_t>(18, record.size() - offset) : 0;
        answer.push_back(static_cast<std::uint8_t>(n + 2));
        answer.push_back(sub);
        for (std::size_t i = 0; i < n; ++i)
            answer.push_back(static_cast<std::uint8_t>(record[offset + i]));
    }
    else if (unit == 11)
    {
        echo(2);
        if (sub == 0x02 && count >= 4)
        {
            const std::uint8_t k = pl[2];
            for (std::uint8_t j = 0; j < 12; ++j)
                answer.push_back(static_cast<std::uint8_t>(0x10 * (k + 1) + j + remote));
        }
        else if (sub == 0x04 && count >= 3)
            m_charger[0xF0 | remote] = pl[2];
        else if (sub == 0x01)
            m_lastChannel.assign(pl, pl + count);
        else if (sub == 0x05)
        {
            Put16(answer, 0x0102);
            Put16(answer, 0x0304);
        }
        else if (sub == 0x09)
            Put16(answer, 0x0506);
        else if (sub != 0x03)
            return;
    }
    else if (unit == 12)
    {
        if (sub == 0x01)
        {
            echo(2);
            Put32(answer, m_config.battState + remote);
            Put16(answer, m_config.battValue);
        }
        else if (sub == 0x02 && count >= 3)
        {
            m_charger[remote] = pl[2];
            echo(2);
        }
        else if (sub == 0x03 && count >= 5)
        {
            echo(5);
            Put16(answer, static_cast<std::uint16_t>(pl[2] * 100 + pl[3] * 10 + pl[4]));
        }
        else if (sub == 0x04)
        {
            echo(2);
            if (count >= 6)
            {
                m_ram[0xB000] = pl[2];
                m_ram[0xB001] = pl[3];
                m_ram[0xB002] = pl[4];
                m_ram[0xB003] = pl[5];
            }
            else
            {
                answer.push_back(m_ram[0xB000]);
                answer.push_back(m_ram[0xB001]);
                answer.push_back(m_ram[0xB002]);
                answer.push_back(m_ram[0xB003]);
            }
        }
        else
        {
            return;
        }
    }
    else
    {
        return;
    }
    if (answered)
        Answer(answer, fault);
}

std::vector<std::uint8_t>* CAvneraChip::MemoryOf(std::uint8_t remote)
{
    if (remote == 0)
        return &m_ram;
    auto it = m_remoteRam.find(remote);
    return it == m_remoteRam.end() ? nullptr : &it->second;
}

std::uint16_t CAvneraChip::DownloadBaseLocked() const
{
    const std::uint32_t index = std::min<std::uint32_t>(m_config.mode, 2) * 4 + (m_stateBeforeFlash & 3);
    return kDownloadBase[index];
}

void CAvneraChip::WriteRegisterHooks(std::uint16_t address)
{
    if (address == 0xF003 && m_ram[0xF003] == 0x01)
    {
        ++m_resets;
        ResetLocked();
    }
    else if (address == 0xF572)
    {
        if (m_ram[0xF572] == 0x40)
        {
            std::memset(&m_ram[0xF56C], 0, 6);
        }
        else if (m_ram[0xF572] == 0x80)
        {
            m_ram[0xF570] = static_cast<std::uint8_t>(m_config.berErrors);
            m_ram[0xF571] = static_cast<std::uint8_t>(m_config.berErrors >> 8);
            for (int i = 0; i < 4; ++i)
                m_ram[0xF56C + i] = static_cast<std::uint8_t>(m_config.berBits >> (8 * i));
        }
    }
}

bool CAvneraChip::SerialTrigger(std::uint8_t sub)
{
    const std::uint32_t state = m_ram[0xF002];
    if (m_config.mode > 2 || state > 3 || m_serial.empty())
        return false;
    const std::uint32_t index = m_config.mode * 4 + state;
    const std::uint16_t block = kParameterBlock[index];
    if (block == 0xFFFF)
        return false;
    std::uint8_t pb[24];
    for (std::uint16_t i = 0; i < sizeof(pb); ++i)
        pb[i] = m_ram[static_cast<std::uint16_t>(block + i)];
    const bool flash = m_config.serialKind == EAvneraSerialKind::SpiFlash;
    const std::uint8_t kind = static_cast<std::uint8_t>((flash ? 0 : 1) + kKindOffset[index]);
    // The firmware works only on a block that describes the part it boots from.
    if (pb[0] != kind || Le32(pb + 13) != m_config.serialSize || Le16(pb + 18) != m_config.serialPage)
        return false;
    if (flash && Le32(pb + 20) != m_config.serialSector)
        return false;
    if (!flash)
    {
        const bool selected = m_config.mode == 1 ? m_ram[0xF0E1] == 0xA0 : m_ram[0xF0E2] == 0x0A;
        if (!selected)
            return false;
    }
    const std::uint32_t size = static_cast<std::uint32_t>(m_serial.size());
    const std::uint32_t address = Le32(pb + 1) % size;
    const std::uint16_t ram = Le16(pb + 5);
    const std::uint16_t length = Le16(pb + 7);
    if (sub == 0x0C)
    {
        if (!flash || m_config.serialSector == 0)
            return false;
        const std::uint32_t start = address / m_config.serialSector * m_config.serialSector;
        m_busyUntil = m_now + m_config.eraseMs;
        m_pending = [this, start]() {
            std::fill_n(m_serial.begin() + start, std::min<std::size_t>(m_config.serialSector, m_serial.size() - start),
                        0xFF);
            ++m_erases;
        };
        return true;
    }
    m_busyUntil = m_now + m_config.serialCopyMs;
    if (sub == 0x84)
    {
        m_pending = [this, address, ram, length, size]() {
            for (std::uint32_t i = 0; i < length; ++i)
                m_ram[static_cast<std::uint16_t>(ram + i)] = m_serial[(address + i) % size];
        };
    }
    else
    {
        const std::uint32_t page = std::max<std::uint32_t>(1, Le16(pb + 18));
        m_pending = [this, address, ram, length, page]() { ProgramLocked(address, ram, length, page); };
    }
    return true;
}

// The firmware's write path: page writes of the block's page size, counted
// from the transfer's address; the part wraps each inside its own page.
void CAvneraChip::ProgramLocked(std::uint32_t address, std::uint16_t ram, std::uint32_t length, std::uint32_t page)
{
    const bool flash = m_config.serialKind == EAvneraSerialKind::SpiFlash;
    const std::uint32_t size = static_cast<std::uint32_t>(m_serial.size());
    const std::uint32_t partPage = std::max<std::uint32_t>(1, std::min(m_config.serialPage, size));
    for (std::uint32_t offset = 0; offset < length; offset += page)
    {
        const std::uint32_t start = (address + offset) % size;
        const std::uint32_t pageStart = start / partPage * partPage;
        const std::uint32_t n = std::min(page, length - offset);
        for (std::uint32_t j = 0; j < n; ++j)
        {
            const std::uint32_t at = pageStart + (start - pageStart + j) % partPage;
            const std::uint8_t value = m_ram[static_cast<std::uint16_t>(ram + offset + j)];
            m_serial[at] = flash ? static_cast<std::uint8_t>(m_serial[at] & value) : value;
        }
    }
}

std::uint8_t CAvneraChip::HidStatus()
{
    std::lock_guard<std::mutex> lock(m_mutex);
    AdvanceLocked();
    if (m_config.statusOverride >= 0)
        return static_cast<std::uint8_t>(m_config.statusOverride);
    if (m_asserted)
        return 0x40;
    if (m_config.neverReady || m_resetHeld || m_pending || m_now < m_readyAt)
        return 0x00;
    if (m_pollsLeft > 0 && m_now < m_readyAt + m_pollsLeft * kStatusReadMs)
    {
        --m_pollsLeft;
        return 0x00;
    }
    return m_answerReady ? 0x05 : 0x01;
}

std::uint8_t CAvneraChip::SpiStatus()
{
    std::lock_guard<std::mutex> lock(m_mutex);
    AdvanceLocked();
    if (m_asserted)
        return 0x40;
    if (m_config.neverReady || m_resetHeld || m_pending || m_now < m_readyAt)
        return 0x01;
    if (m_pollsLeft > 0 && m_now < m_readyAt + m_pollsLeft * kStatusReadMs)
    {
        --m_pollsLeft;
        return 0x01;
    }
    return m_answerReady ? 0x02 : 0x00;
}

std::vector<std::uint8_t> CAvneraChip::PeekAnswer()
{
    std::lock_guard<std::mutex> lock(m_mutex);
    if (m_asserted)
        return {0x40, m_assertion[0], m_assertion[1], m_assertion[2], m_assertion[3]};
    return m_answerReady ? m_answer : std::vector<std::uint8_t>{};
}

std::vector<std::uint8_t> CAvneraChip::TakeAnswer()
{
    std::lock_guard<std::mutex> lock(m_mutex);
    if (m_asserted)
        return {0x40, m_assertion[0], m_assertion[1], m_assertion[2], m_assertion[3]};
    if (!m_answerReady)
        return {};
    m_answerReady = false;
    return std::move(m_answer);
}

bool CAvneraChip::IsAsserted()
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_asserted;
}

std::vector<std::uint8_t> CAvneraChip::AssertionBytes()
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return {0x40, m_assertion[0], m_assertion[1], m_assertion[2], m_assertion[3]};
}

void CAvneraChip::HostRamWrite(std::uint16_t address, const std::uint8_t* data, std::size_t length)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    for (std::size_t i = 0; i < length; ++i)
    {
        const std::uint16_t at = static_cast<std::uint16_t>(address + i);
        m_ram[at] = data[i];
        if (m_flashMode && at >= DownloadBaseLocked())
        {
            const std::uint32_t offset = at - DownloadBaseLocked();
            if (m_download.size() <= offset)
                m_download.resize(offset + 1, 0);
            m_download[offset] = data[i];
        }
    }
}

void CAvneraChip::DownloadWrite(std::uint32_t offset, const std::uint8_t* data, std::size_t length)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    const std::uint32_t index = std::min<std::uint32_t>(m_config.mode, 2) * 4 + (m_ram[0xF002] & 3);
    const std::uint32_t base = m_flashMode ? DownloadBaseLocked() : kDownloadBase[index];
    for (std::size_t i = 0; i < length; ++i)
    {
        const std::uint32_t at = base + offset + static_cast<std::uint32_t>(i);
        if (at < m_ram.size())
            m_ram[at] = data[i];
        if (m_flashMode)
        {
            if (m_download.size() <= offset + i)
                m_download.resize(offset + i + 1, 0);
            m_download[offset + i] = data[i];
        }
    }
}

void CAvneraChip::SerialProgram(std::uint32_t address, const std::uint8_t* data, std::size_t length)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    const bool flash = m_config.serialKind == EAvneraSerialKind::SpiFlash;
    const std::size_t size = m_serial.size();
    for (std::size_t i = 0; i < length && size > 0; ++i)
    {
        std::uint8_t& cell = m_serial[(address + i) % size];
        cell = flash ? static_cast<std::uint8_t>(cell & data[i]) : data[i];
    }
}

void CAvneraChip::SerialPageProgram(std::uint32_t address, const std::uint8_t* data, std::size_t length)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    const bool flash = m_config.serialKind == EAvneraSerialKind::SpiFlash;
    const std::uint32_t size = static_cast<std::uint32_t>(m_serial.size());
    if (size == 0)
        return;
    const std::uint32_t page = std::max<std::uint32_t>(1, std::min(m_config.serialPage, size));
    const std::uint32_t start = address % size;
    const std::uint32_t pageStart = start / page * page;
    for (std::size_t i = 0; i < length; ++i)
    {
        std::uint8_t& cell = m_serial[pageStart + (start - pageStart + i) % page];
        cell = flash ? static_cast<std::uint8_t>(cell & data[i]) : data[i];
    }
}

void CAvneraChip::SerialRead(std::uint32_t address, std::uint8_t* data, std::size_t length)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    const std::size_t size = m_serial.size();
    for (std::size_t i = 0; i < length; ++i)
        data[i] = size > 0 ? m_serial[(address + i) % size] : 0xFF;
}

void CAvneraChip::SetResetLine(bool high)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    if (!high)
    {
        m_resetHeld = true;
        return;
    }
    if (m_resetHeld)
    {
        m_resetHeld = false;
        ++m_resets;
        ResetLocked();
    }
}

void CAvneraChip::HardReset()
{
    std::lock_guard<std::mutex> lock(m_mutex);
    ++m_resets;
    ResetLocked();
}

void CAvneraChip::Assert(const std::uint8_t code[4])
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_asserted = true;
    std::memcpy(m_assertion, code, 4);
}

void CAvneraChip::ClearAssertion()
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_asserted = false;
}

void CAvneraChip::ArmFault(EAvneraFault fault, std::uint32_t nth, std::uint32_t param)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_fault = fault;
    m_faultAt = m_taken + std::max<std::uint32_t>(nth, 1);
    m_faultParam = param;
}

void CAvneraChip::ClearFault()
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_fault = EAvneraFault::None;
}

bool CAvneraChip::Unplugged()
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_unplugged;
}

void CAvneraChip::Replug()
{
    std::lock_guard<std::mutex> lock(m_mutex);
    if (m_unplugged)
    {
        // Power comes back: the chip starts afresh.
        m_unplugged = false;
        ++m_resets;
        ResetLocked();
    }
}

std::uint32_t CAvneraChip::CommandsTaken()
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_taken;
}

std::vector<std::uint8_t> CAvneraChip::Ram(std::uint16_t address, std::size_t length)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    AdvanceLocked();
    std::vector<std::uint8_t> out;
    for (std::size_t i = 0; i < length; ++i)
        out.push_back(m_ram[static_cast<std::uint16_t>(address + i)]);
    return out;
}

void CAvneraChip::SetRam(std::uint16_t address, const std::vector<std::uint8_t>& data)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    for (std::size_t i = 0; i < data.size(); ++i)
        m_ram[static_cast<std::uint16_t>(address + i)] = data[i];
}

std::vector<std::uint8_t> CAvneraChip::RemoteRam(std::uint8_t remote, std::uint16_t address, std::size_t length)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    std::vector<std::uint8_t> out;
    auto it = m_remoteRam.find(remote);
    if (it == m_remoteRam.end())
        return out;
    for (std::size_t i = 0; i < length; ++i)
        out.push_back(it->second[static_cast<std::uint16_t>(address + i)]);
    return out;
}

std::vector<std::uint8_t> CAvneraChip::Serial(std::uint32_t address, std::size_t length)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    AdvanceLocked();
    std::vector<std::uint8_t> out;
    for (std::size_t i = 0; i < length && address + i < m_serial.size(); ++i)
        out.push_back(m_serial[address + i]);
    return out;
}

std::vector<std::uint8_t> CAvneraChip::Eeprom(std::uint32_t address, std::size_t length)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    std::vector<std::uint8_t> out;
    for (std::size_t i = 0; i < length && address + i < m_eeprom.size(); ++i)
        out.push_back(m_eeprom[address + i]);
    return out;
}

std::vector<std::uint8_t> CAvneraChip::DownloadedImage()
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_download;
}

bool CAvneraChip::InFlashMode()
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_flashMode;
}

bool CAvneraChip::Running()
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_running;
}

std::uint32_t CAvneraChip::ResetCount()
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_resets;
}

std::uint32_t CAvneraChip::EraseCount()
{
    std::lock_guard<std::mutex> lock(m_mutex);
    AdvanceLocked();
    return m_erases;
}

std::uint32_t CAvneraChip::CommandCount(std::uint8_t opcode)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_opcodes[opcode];
}

std::uint32_t CAvneraChip::DeviceIdsCommitted()
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_commits;
}

std::uint8_t CAvneraChip::ChargerOn(std::uint8_t index)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_charger[index];
}

std::vector<std::uint8_t> CAvneraChip::LastChannelSetup()
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_lastChannel;
}

std::uint32_t CAvneraChip::Mode()
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_config.mode;
}

SAvneraChipConfig CAvneraChip::Config()
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_config;
}

void CAvneraChip::SetState(std::uint8_t state)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_config.state = state;
    m_ram[0xF002] = state;
}

void CAvneraChip::SetFlashModeListener(std::function<void(std::uint32_t mode)> listener)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_flashListener = std::move(listener);
}
