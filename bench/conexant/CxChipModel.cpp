// Simulated Conexant chips: the request formats of their firmware, their
// memories and their faults.
#include "bench/conexant/CxChipModel.h"

#include <algorithm>
#include <chrono>
#include <fstream>
#include <iterator>

#include "platform/Clock.h"

namespace
{
constexpr std::size_t kRequestLogLimit = 200000;
constexpr std::uint32_t kByteChipRegisterSpace = 0x2002;
constexpr std::uint32_t kBlockChipRegisters = 8;

bool WriteAll(const std::string& path, const std::vector<std::uint8_t>& bytes)
{
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    return static_cast<bool>(out);
}

bool ReadAll(const std::string& path, std::vector<std::uint8_t>& bytes)
{
    std::ifstream in(path, std::ios::binary);
    if (!in)
        return false;
    bytes.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    return true;
}
} // namespace

bool ParseCxBenchChip(const std::string& name, ECxBenchChip& chip)
{
    static const struct
    {
        const char* name;
        ECxBenchChip chip;
    } kNames[] = {{"cx20562", ECxBenchChip::Cx20562}, {"cx2070x", ECxBenchChip::Cx2070x},
                  {"cx2077x", ECxBenchChip::Cx2077x}, {"cx2076x", ECxBenchChip::Cx2076x},
                  {"cx20805", ECxBenchChip::Cx20805}, {"cx1410", ECxBenchChip::Cx2070xAs1410}};
    for (const auto& entry : kNames)
    {
        if (name == entry.name)
        {
            chip = entry.chip;
            return true;
        }
    }
    return false;
}

const char* CxBenchChipName(ECxBenchChip chip)
{
    switch (chip)
    {
    case ECxBenchChip::Cx20562: return "cx20562";
    case ECxBenchChip::Cx2070x: return "cx2070x";
    case ECxBenchChip::Cx2077x: return "cx2077x";
    case ECxBenchChip::Cx2076x: return "cx2076x";
    case ECxBenchChip::Cx20805: return "cx20805";
    case ECxBenchChip::Cx2070xAs1410: return "cx1410";
    }
    return "?";
}

SCxChipConfig MakeCxChipConfig(ECxBenchChip chip)
{
    SCxChipConfig c;
    c.chip = chip;
    // Address mode 0, a checksum byte, a reply to every request: 6-byte
    // requests, 3-byte replies, one EEPROM and memory byte or one register of
    // two bytes at a time, 13 address bits.
    auto byteChip = [&c](std::uint8_t requestId, std::uint8_t replyId, std::uint8_t writeBit,
                         std::uint8_t registerBit) {
        c.blockProtocol = false;
        c.requestId = requestId;
        c.replyId = replyId;
        c.writeBit = writeBit;
        c.eepromBit = 0x20;
        c.registerBit = registerBit;
        c.eepromMaxPayload = 1;
        c.memoryMaxPayload = 1;
        c.inputLength = 3;
        c.outputLength = 6;
        c.ramSize = 0x2000;
        c.romStart = 0x1C00;
    };
    switch (chip)
    {
    case ECxBenchChip::Cx20562:
        byteChip(0x08, 0x09, 0x80, 0x40);
        c.productId = 0x1402;
        c.product = L"USB Headset CX20562";
        c.string41 = L"CAT_V033_R12";
        c.eepromWritable = false; // the firmware only reads its EEPROM over HID
        c.sizeCodeAddress = -1;
        break;
    case ECxBenchChip::Cx2076x:
        byteChip(0x08, 0x09, 0x80, 0x40);
        c.productId = 0x1460;
        c.product = L"USB Headset CX2076x";
        c.string41 = L"TIKI_V101";
        c.eepromWritable = false; // its memory table: the EEPROM is read only
        c.sizeCodeAddress = 5275;
        break;
    case ECxBenchChip::Cx2070xAs1410:
        byteChip(0x04, 0x05, 0x40, 0x80);
        c.productId = 0x1410;
        c.product = L"USB Audio CX2070x";
        c.string41.clear();
        c.sizeCodeAddress = 4755;
        break;
    case ECxBenchChip::Cx2070x:
        c.productId = 0x1500;
        c.product = L"USB Audio CX2070x";
        c.string41 = L"CHAN_V210";
        c.sizeCodeAddress = 4755;
        break;
    case ECxBenchChip::Cx2077x:
        c.productId = 0x1600;
        c.product = L"USB Audio CX2077x";
        c.string41 = L"CATP_V300";
        c.eepromMaxPayload = 1; // its memory table: one EEPROM byte per request
        c.sizeCodeAddress = 4667;
        break;
    case ECxBenchChip::Cx20805:
        c.productId = 0x1700;
        c.product = L"USB Audio CX20805";
        c.string41 = L"CAPE_V1";
        c.noMemoryInterface = true;
        c.inputLength = 0x3E;
        c.outputLength = 0x3E;
        c.sizeCodeAddress = -1;
        c.patchVersionAddress = -1;
        break;
    }
    return c;
}

std::vector<std::uint8_t> MakeCxEepromImage(std::uint32_t size, std::uint8_t sizeCode)
{
    std::vector<std::uint8_t> image(size, 0xFF);
    if (size < 64)
        return image;
    image[0] = 0x4C;
    image[1] = sizeCode;
    std::fill(image.begin() + 32, image.begin() + 58, 0x00);
    image[41] = 's';
    image[42] = 0x01; // layout version
    image[43] = 0x00; // application status
    image[44] = 0x72; // vendor 0x0572
    image[45] = 0x05;
    image[46] = 0x00; // product 0x1500
    image[47] = 0x15;
    image[48] = 0x01;
    image[49] = 0x00;
    return image;
}

CCxChipModel::CCxChipModel(const SCxChipConfig& config) : m_config(config)
{
    m_eeprom.assign(m_config.eepromSize, 0xFF);
    std::copy_n(m_config.eepromContents.begin(), std::min<std::size_t>(m_config.eepromContents.size(), m_eeprom.size()),
                m_eeprom.begin());
    ApplyStuckBits();
    m_ram.assign(m_config.ramSize, 0x00);
    // ROM holds code; anything but zeros.
    for (std::uint32_t a = m_config.romStart; a < m_config.ramSize; ++a)
        m_ram[a] = static_cast<std::uint8_t>(a * 7 + 3);
    if (m_config.sizeCodeAddress >= 0 && static_cast<std::uint32_t>(m_config.sizeCodeAddress) < m_ram.size())
        m_ram[m_config.sizeCodeAddress] = m_config.firmwareSizeCode;
    if (m_config.patchVersionAddress >= 0 && static_cast<std::uint32_t>(m_config.patchVersionAddress) + 3 <= m_ram.size())
        std::copy_n(m_config.patchVersion, 3, m_ram.begin() + m_config.patchVersionAddress);
    m_registers.assign(m_config.blockProtocol ? kBlockChipRegisters * 2 : kByteChipRegisterSpace, 0);
    // Read-only registers: the chip's identity and revision, some status bits.
    m_readOnlyRegisters.assign(kBlockChipRegisters * 2, 0);
    for (std::uint32_t i = 0; i < m_readOnlyRegisters.size(); ++i)
        m_readOnlyRegisters[i] = static_cast<std::uint8_t>(0xC0 + i);
}

CCxChipModel::~CCxChipModel()
{
    {
        std::lock_guard<std::mutex> guard(m_mutex);
        m_stopping = true;
    }
    m_lateChanged.notify_all();
    if (m_lateThread.joinable())
        m_lateThread.join();
}

SBenchDevice CCxChipModel::Device(const std::shared_ptr<CCxChipModel>& self) const
{
    SBenchDevice device;
    device.vendorId = m_config.vendorId;
    device.productId = m_config.productId;
    device.manufacturer = L"Conexant";
    device.product = m_config.product;
    device.description = L"USB Input Device";
    device.otherInterfaces = 3; // audio control and two streaming interfaces, before the HID one
    if (!m_config.string41.empty())
        device.strings[41] = m_config.string41;
    SBenchHidInterface hid;
    hid.interfaceNumber = 3;
    hid.caps.usagePage = 0x000C;
    hid.caps.usage = 0x0001;
    hid.caps.inputReportByteLength = m_config.inputLength;
    hid.caps.outputReportByteLength = m_config.outputLength;
    hid.caps.featureReportByteLength = 0;
    hid.reportIds = {m_config.requestId, m_config.replyId};
    hid.model = self;
    device.hidInterfaces.push_back(hid);
    return device;
}

std::vector<std::uint8_t> CCxChipModel::Eeprom()
{
    std::lock_guard<std::mutex> guard(m_mutex);
    return m_eeprom;
}

void CCxChipModel::SetEeprom(const std::vector<std::uint8_t>& bytes)
{
    std::lock_guard<std::mutex> guard(m_mutex);
    m_eeprom = bytes;
    ApplyStuckBits();
}

std::vector<std::uint8_t> CCxChipModel::Ram()
{
    std::lock_guard<std::mutex> guard(m_mutex);
    return m_ram;
}

void CCxChipModel::PokeRam(std::uint32_t address, const std::vector<std::uint8_t>& bytes)
{
    std::lock_guard<std::mutex> guard(m_mutex);
    for (std::size_t i = 0; i < bytes.size() && address + i < m_ram.size(); ++i)
        m_ram[address + i] = bytes[i];
}

std::uint16_t CCxChipModel::Register(std::uint32_t index)
{
    std::lock_guard<std::mutex> guard(m_mutex);
    if (m_config.blockProtocol)
    {
        if (index >= kBlockChipRegisters)
            return 0;
        return static_cast<std::uint16_t>(m_registers[index * 2] | (m_registers[index * 2 + 1] << 8));
    }
    if (index + 1 >= m_registers.size())
        return 0;
    return static_cast<std::uint16_t>(m_registers[index] | (m_registers[index + 1] << 8));
}

std::vector<std::uint8_t> CCxChipModel::Registers()
{
    std::lock_guard<std::mutex> guard(m_mutex);
    return m_registers;
}

void CCxChipModel::SetFaults(const SCxChipFaults& faults)
{
    std::lock_guard<std::mutex> guard(m_mutex);
    m_config.faults = faults;
    ApplyStuckBits();
}

std::uint32_t CCxChipModel::RequestCount()
{
    std::lock_guard<std::mutex> guard(m_mutex);
    return m_requests;
}

std::uint32_t CCxChipModel::ReplyCount()
{
    std::lock_guard<std::mutex> guard(m_mutex);
    return m_replies;
}

std::uint32_t CCxChipModel::IgnoredRequests()
{
    std::lock_guard<std::mutex> guard(m_mutex);
    return m_ignored;
}

std::uint32_t CCxChipModel::LateRepliesPending()
{
    std::lock_guard<std::mutex> guard(m_mutex);
    return static_cast<std::uint32_t>(m_late.size());
}

std::uint64_t CCxChipModel::BusyMs()
{
    std::lock_guard<std::mutex> guard(m_mutex);
    return m_busyMs;
}

std::vector<std::uint8_t> CCxChipModel::LastRequest()
{
    std::lock_guard<std::mutex> guard(m_mutex);
    return m_log.empty() ? std::vector<std::uint8_t>() : m_log.back();
}

std::vector<std::vector<std::uint8_t>> CCxChipModel::Requests()
{
    std::lock_guard<std::mutex> guard(m_mutex);
    return m_log;
}

bool CCxChipModel::SaveState(const std::string& dir)
{
    std::lock_guard<std::mutex> guard(m_mutex);
    const std::string base = dir + "/" + CxBenchChipName(m_config.chip);
    return WriteAll(base + ".eeprom", m_eeprom) && WriteAll(base + ".ram", m_ram) && WriteAll(base + ".regs", m_registers);
}

bool CCxChipModel::LoadState(const std::string& dir)
{
    std::lock_guard<std::mutex> guard(m_mutex);
    const std::string base = dir + "/" + CxBenchChipName(m_config.chip);
    std::vector<std::uint8_t> eeprom, ram, regs;
    if (!ReadAll(base + ".eeprom", eeprom) || !ReadAll(base + ".ram", ram) || !ReadAll(base + ".regs", regs))
        return false;
    if (eeprom.size() != m_eeprom.size() || ram.size() != m_ram.size() || regs.size() != m_registers.size())
        return false;
    m_eeprom = eeprom;
    m_ram = ram;
    m_registers = regs;
    ApplyStuckBits();
    return true;
}

void CCxChipModel::OnAttach(const std::shared_ptr<IBenchHidSink>& sink)
{
    std::lock_guard<std::mutex> guard(m_mutex);
    m_sink = sink;
}

void CCxChipModel::OnDetach()
{
    std::lock_guard<std::mutex> guard(m_mutex);
    m_sink.reset();
    m_late.clear();
}

bool CCxChipModel::TakeFault(int& counter)
{
    if (counter == 0)
        return false;
    if (counter > 0)
        --counter;
    return true;
}

// Mutex held. The bus runs in frames of a fixed grid: a transfer completes
// at the first frame boundary after the one before it, and not before the
// host asked for it. A late wake-up of one transfer does not delay the next.
void CCxChipModel::Busy(std::uint32_t ms)
{
    if (ms == 0)
        return;
    m_busyMs += ms;
    const std::uint64_t frameUs = CClock::ToRealMicroseconds(ms);
    const std::uint64_t nowUs = os::MonotonicMicroseconds();
    if (m_busOriginUs == 0 || nowUs >= m_busDoneUs + frameUs)
    {
        // An idle bus: the grid starts again now.
        m_busOriginUs = nowUs;
        m_busDoneUs = nowUs;
    }
    const std::uint64_t frames = (std::max(nowUs, m_busDoneUs) - m_busOriginUs) / frameUs + 1;
    m_busDoneUs = std::max(m_busOriginUs + frames * frameUs, m_busDoneUs + frameUs);
}

// Mutex held. The caller's report (and the reply it brings, if any) is done
// when the bus is: the host sees neither before.
void CCxChipModel::WaitForBus()
{
    const std::uint64_t nowUs = os::MonotonicMicroseconds();
    if (m_busDoneUs > nowUs)
        os::SleepMicroseconds(m_busDoneUs - nowUs);
}

// Mutex held.
void CCxChipModel::Reply(const std::vector<std::uint8_t>& reply)
{
    SCxChipFaults& faults = m_config.faults;
    const bool dropDue = faults.dropRepliesAfter <= 0;
    const bool lateDue = faults.lateRepliesAfter <= 0;
    if (faults.dropRepliesAfter > 0)
        --faults.dropRepliesAfter;
    if (faults.lateRepliesAfter > 0)
        --faults.lateRepliesAfter;
    if ((dropDue && TakeFault(faults.dropReplies)) || !m_sink)
        return;
    const std::uint32_t stray = faults.strayReportsBeforeReply + faults.strayReportsOnce;
    faults.strayReportsOnce = 0;
    std::vector<std::uint8_t> other(m_config.inputLength, 0);
    other[0] = static_cast<std::uint8_t>(m_config.replyId == 0x01 ? 0x02 : 0x01); // a volume-button report
    for (std::uint32_t i = 0; i < stray; ++i)
        m_sink->QueueInputReport(other.data(), other.size());
    std::vector<std::uint8_t> padded(reply);
    padded.resize(m_config.inputLength, 0);
    ++m_replies;
    const bool late = lateDue && TakeFault(faults.lateReplies);
    if (late || !m_late.empty())
    {
        // The reply of this request, as the chip answered it now, reaches
        // the host only after the host stopped waiting for it; the chip
        // answers in order, so a reply behind a late one comes after it.
        const std::uint64_t now = CClock::NowMs();
        std::uint64_t due = late ? now + faults.lateReplyMs : now;
        if (!m_late.empty())
            due = std::max(due, m_late.back().dueMs);
        m_late.push_back({due, std::move(padded)});
        if (!m_lateThread.joinable())
            m_lateThread = std::thread([this] { DeliverLateReplies(); });
        m_lateChanged.notify_all();
        return;
    }
    Busy(m_config.reportIntervalMs);
    m_sink->QueueInputReport(padded.data(), padded.size());
}

void CCxChipModel::DeliverLateReplies()
{
    std::unique_lock<std::mutex> lock(m_mutex);
    while (!m_stopping)
    {
        if (m_late.empty())
        {
            m_lateChanged.wait(lock);
            continue;
        }
        // In order: each is due no earlier than the one before it.
        const std::uint64_t now = CClock::NowMs();
        if (now >= m_late.front().dueMs)
        {
            const std::vector<std::uint8_t> bytes = std::move(m_late.front().bytes);
            m_late.erase(m_late.begin());
            if (m_sink)
                m_sink->QueueInputReport(bytes.data(), bytes.size());
            continue;
        }
        const std::uint64_t left = m_late.front().dueMs - now;
        const std::uint32_t wait = static_cast<std::uint32_t>(std::min<std::uint64_t>(left, 60000));
        m_lateChanged.wait_for(lock, std::chrono::microseconds(CClock::ToRealMicroseconds(wait)));
    }
}

// Mutex held. A cell with stuck bits reads them as 0 whatever it was given.
void CCxChipModel::ApplyStuckBits()
{
    const std::int32_t stuck = m_config.faults.stuckEepromAddress;
    if (stuck >= 0 && static_cast<std::size_t>(stuck) < m_eeprom.size())
        m_eeprom[stuck] = static_cast<std::uint8_t>(m_eeprom[stuck] & ~m_config.faults.stuckBits);
}

// Mutex held. Whether a part answers at this address: with the high block
// absent, address bit 16 selects a second device that is not there.
bool CCxChipModel::EepromAnswers(std::uint32_t address) const
{
    return !m_eeprom.empty() &&
           !(m_config.faults.eepromHighBlockAbsent && address >= 0x10000 && m_eeprom.size() <= 0x10000);
}

std::uint8_t CCxChipModel::EepromByte(std::uint32_t address) const
{
    if (!EepromAnswers(address))
        return 0xFF; // nothing answers on the EEPROM bus
    return m_eeprom[address % m_eeprom.size()];
}

void CCxChipModel::EepromStore(std::uint32_t address, std::uint8_t value)
{
    if (!EepromAnswers(address) || !m_config.eepromWritable || m_config.faults.eepromWriteProtected)
        return;
    const std::uint32_t cellAddress = address % static_cast<std::uint32_t>(m_eeprom.size());
    std::uint8_t& cell = m_eeprom[cellAddress];
    if (m_config.faults.eepromAndWise)
        value &= cell;
    if (m_config.faults.stuckEepromAddress >= 0 && cellAddress == static_cast<std::uint32_t>(m_config.faults.stuckEepromAddress))
        value = static_cast<std::uint8_t>(value & ~m_config.faults.stuckBits);
    cell = value;
}

std::uint8_t CCxChipModel::RamByte(std::uint32_t address) const
{
    return address < m_ram.size() ? m_ram[address] : 0;
}

void CCxChipModel::RamStore(std::uint32_t address, std::uint8_t value)
{
    if (address < m_ram.size() && address < m_config.romStart)
        m_ram[address] = value;
}

EHidResult CCxChipModel::OnOutputReport(const std::uint8_t* report, std::size_t length)
{
    std::lock_guard<std::mutex> guard(m_mutex);
    const EHidResult result = HandleOutputReport(report, length);
    WaitForBus();
    return result;
}

// Mutex held.
EHidResult CCxChipModel::HandleOutputReport(const std::uint8_t* report, std::size_t length)
{
    // Replies already due go out before the chip takes the next report,
    // whether or not the delivering thread got to run.
    const std::uint64_t now = CClock::NowMs();
    while (!m_late.empty() && m_late.front().dueMs <= now)
    {
        if (m_sink)
            m_sink->QueueInputReport(m_late.front().bytes.data(), m_late.front().bytes.size());
        m_late.erase(m_late.begin());
    }
    SCxChipFaults& faults = m_config.faults;
    // A fault due after so many reports strikes the reports from then on.
    const auto due = [this](int& after, int& count) {
        if (after > 0)
        {
            --after;
            return false;
        }
        return TakeFault(count);
    };
    const bool timedOut = due(faults.timeoutWritesAfter, faults.timeoutWrites);
    if (timedOut && !faults.timedOutWritesArrive)
        return EHidResult::Timeout;
    if (!timedOut && due(faults.failWritesAfter, faults.failWrites))
        return EHidResult::DeviceError; // the device stalled the transfer
    if (timedOut)
    {
        // The chip took the report; its completion did not reach the host in time.
        HandleTakenReport(report, length);
        return EHidResult::Timeout;
    }
    return HandleTakenReport(report, length);
}

// Mutex held.
EHidResult CCxChipModel::HandleTakenReport(const std::uint8_t* report, std::size_t length)
{
    const SCxChipFaults& faults = m_config.faults;
    ++m_requests;
    if (m_log.size() < kRequestLogLimit)
        m_log.emplace_back(report, report + length);
    if (faults.unplugAfterRequests >= 0 && m_requests > static_cast<std::uint32_t>(faults.unplugAfterRequests))
    {
        if (m_sink)
            m_sink->DropOff(0);
        return EHidResult::Ok;
    }
    Busy(m_config.reportIntervalMs);
    if (m_config.noMemoryInterface || length == 0 || report[0] != m_config.requestId)
    {
        ++m_ignored;
        return EHidResult::Ok;
    }
    if (m_config.blockProtocol)
        HandleBlockRequest(report, length);
    else if (length >= 6)
        HandleByteRequest(report);
    else
        ++m_ignored;
    return EHidResult::Ok;
}

// Mutex held. [id][cmd | address 12-8][address 7-0][b3][b4][checksum]
void CCxChipModel::HandleByteRequest(const std::uint8_t* r)
{
    std::uint32_t sum = 0;
    for (int i = 1; i <= 4; ++i)
        sum += 0xFFu - r[i];
    if ((sum & 0xFF) != r[5])
    {
        ++m_ignored; // a corrupted request: the firmware drops it
        return;
    }
    const std::uint8_t cmd = r[1];
    const std::uint32_t address = (static_cast<std::uint32_t>(cmd & 0x1F) << 8) | r[2];
    const bool write = (cmd & m_config.writeBit) != 0;
    std::vector<std::uint8_t> reply(3, 0);
    reply[0] = m_config.replyId;
    if ((cmd & m_config.registerBit) != 0)
    {
        if (write)
        {
            m_registers[address] = r[3];
            m_registers[address + 1] = r[4];
        }
        reply[1] = m_registers[address];
        reply[2] = m_registers[address + 1];
    }
    else if ((cmd & m_config.eepromBit) != 0)
    {
        if (write)
        {
            EepromStore(address, r[4]);
            if (m_config.eepromWritable)
                Busy(m_config.eepromWriteMs);
        }
        reply[1] = cmd;
        reply[2] = EepromByte(address);
    }
    else
    {
        if (write)
            RamStore(address, r[4]);
        reply[1] = cmd;
        reply[2] = RamByte(address);
    }
    Reply(reply);
}

// Mutex held. [id][cmd][count][address 15-8][address 7-0][data ...]
void CCxChipModel::HandleBlockRequest(const std::uint8_t* r, std::size_t length)
{
    if (length < 6)
    {
        ++m_ignored;
        return;
    }
    const std::uint8_t cmd = r[1];
    const bool write = (cmd & m_config.writeBit) != 0;
    std::vector<std::uint8_t> reply(m_config.inputLength, 0);
    reply[0] = m_config.replyId;
    const std::uint32_t index = (cmd >> 3) & 0x7;
    if ((cmd & m_config.registerBit) != 0)
    {
        // A register: its number in the command, its two bytes at 4.
        if (write)
        {
            m_registers[index * 2] = r[4];
            m_registers[index * 2 + 1] = r[5];
            return;
        }
        reply[1] = m_registers[index * 2];
        reply[2] = m_registers[index * 2 + 1];
        Reply(reply);
        return;
    }
    const bool eeprom = (cmd & m_config.eepromBit) != 0;
    std::uint32_t count = r[2];
    if (!eeprom && count == 0)
    {
        // No memory and no length: a read-only register.
        if (write)
            return;
        reply[1] = m_readOnlyRegisters[index * 2];
        reply[2] = m_readOnlyRegisters[index * 2 + 1];
        Reply(reply);
        return;
    }
    const std::uint32_t address =
        ((cmd & 0x10) != 0 ? 0x10000u : 0u) | (static_cast<std::uint32_t>(r[3]) << 8) | r[4];
    const std::uint32_t limit = eeprom ? m_config.eepromMaxPayload : m_config.memoryMaxPayload;
    const std::uint32_t room = static_cast<std::uint32_t>(
        std::min<std::size_t>(write ? length - 5 : m_config.inputLength - 1u, 0xFF));
    if (count > limit || count > room)
    {
        ++m_ignored; // more than the chip takes in one request
        return;
    }
    for (std::uint32_t i = 0; i < count; ++i)
    {
        // The command names address bit 16 once for the whole request: the
        // request's bytes stay in that 64 KiB block (the address counter
        // rolls over from 0xFFFF to 0x0000 of the same block, as a part
        // addressed in two blocks does).
        const std::uint32_t a = eeprom ? (address & 0x10000u) | ((address + i) & 0xFFFFu) : (address + i) & 0xFFFFu;
        if (write)
        {
            if (eeprom)
                EepromStore(a, r[5 + i]);
            else
                RamStore(a, r[5 + i]);
        }
        else
        {
            reply[1 + i] = eeprom ? EepromByte(a) : RamByte(a);
        }
    }
    if (write && eeprom && m_config.eepromWritable && count > 0)
        Busy(m_config.eepromWriteMs);
    if (!write)
        Reply(reply);
}
