#include "avnera/FirmwareUpgradeAV7300.h"

#include <algorithm>
#include <cstring>
#include <cwchar>
#include <new>

#include "app/DiagnosticLog.h"
#include "platform/Clock.h"
#include "usb/HidLookup.h"

namespace
{
// By chip revision (0, 1).
constexpr std::uint16_t kParameterBlock[2] = {0xC4AE, 0xC49A};
constexpr std::uint16_t kRamBuffer[2] = {0xC040, 0xC040};
constexpr std::uint16_t kRomLoaderBuffer[2] = {0xD0D8, 0xD0A9};

constexpr std::uint16_t kUsagePage = 0xFF00;
constexpr std::uint16_t kUsage = 0x0001;
constexpr std::uint8_t kCommandReport = 0xFF;
constexpr std::uint8_t kFlashReport = 0xE2;
constexpr std::uint8_t kRomLoaderReport = 0xE4;
constexpr std::uint32_t kAnswerTimeoutMs = 2000;
constexpr std::uint32_t kEraseWaitMs = 500;
constexpr std::uint32_t kReadWaitMs = 10;
constexpr std::uint32_t kReEnumerateWaitMs = 5000;
constexpr std::uint32_t kReEnumerateTryMs = 1000;
constexpr int kReEnumerateTries = 11;
constexpr std::uint32_t kSstSector = 4096;
constexpr std::uint32_t kPieceSize = 16;
constexpr std::uint8_t kStatusAsserted = 0x40;
// Written where a sector boundary is to be shown: no byte erased, the first
// two name no part (size code 0).
constexpr std::uint8_t kMarker[16] = {0x00, 0x5A, 0xA5, 0x3C, 0xC3, 0x69, 0x96, 0x0F,
                                      0xF0, 0x12, 0x21, 0x48, 0x84, 0x7E, 0xE7, 0x01};
constexpr std::uint8_t kStatusTimeout = 0x08;

// SPI master registers (SST25VF512A sequences).
constexpr std::uint16_t kSpimControl = 0xF0F0;
constexpr std::uint16_t kSpimData = 0xF0F2;
constexpr std::uint16_t kSpimParameter = 0xF0F3;
constexpr std::uint16_t kSpimSlaveSelect = 0xF0F4;
constexpr std::uint8_t kSpimEnable = 0x50;
constexpr std::uint8_t kSpimDisable = 0x10;
constexpr std::uint16_t kTwiRegister = 0xF0E1;
constexpr std::uint8_t kTwiValue = 0x8F;

const char* TrueFalse(bool value) { return value ? "TRUE" : "FALSE"; }

bool ReadFlashCallback(std::uint32_t offset, std::uint32_t length, std::uint8_t* destination, void* context)
{
    return static_cast<CFirmwareUpgradeAV7300*>(context)->ReadFlashData(offset, length, destination);
}
} // namespace

CFirmwareUpgradeAV7300::CFirmwareUpgradeAV7300(SAV7300Environment environment) : m_env(environment)
{
    LogPrintf("CFirmwareUpgradeAV7300::CFirmwareUpgradeAV7300\n");
    ConstructInit();
}

CFirmwareUpgradeAV7300::~CFirmwareUpgradeAV7300()
{
    LogPrintf("CFirmwareUpgradeAV7300::~CFirmwareUpgradeAV7300\n");
    m_hidHandle.reset();
    m_headerCache.reset();
    m_helper.reset();
}

void CFirmwareUpgradeAV7300::ConstructInit()
{
    LogPrintf("CFirmwareUpgradeAV7300::ConstructInit\n");
    m_hidHandle.reset();
    m_defaultImage = 0;
    m_initialized = 0;
    m_firmwareImageLength = 0;
    m_cacheFirstBlock = 1;
    m_smData = 0;
    m_flashPart = 0;
    m_memtype = 0;
    m_romFWVersion = 0;
    m_chipRevision = 0;
    m_romLoaderWrite = 0;
    m_secondaryImageOffsetFile = 0;
    m_secondaryImageOffset = 0;
    m_secondaryImageUpdateOnly = 0;
    m_flashWriteBase = 0;
    m_ramBaseWrite = 0;
    m_baseOffsetWrite = 0;
    m_offsetWrite = 0;
    m_blockSizeWrite = 15;
    m_blockSendIndex = 0;
    m_headerCache.reset();
    m_headerCacheLength = 0;
    m_ramBaseRead = 0;
    m_blockSizeRead = 15;
    m_helper.reset();
    m_versionCheckMethod = 1;
    m_typeMCU = 7;
}

// ---------------------------------------------------------------------------
// Reports

bool CFirmwareUpgradeAV7300::OpenDevice(std::uint16_t vendorId, std::uint16_t productId)
{
    m_hidHandle.reset();
    if (m_env.hid == nullptr)
        return false;
    std::wstring path;
    if (IsFailure(OrvoHID_GetHIDHandleByUsage(*m_env.hid, vendorId, productId, kUsagePage, kUsage, 0, &m_hidHandle,
                                              &path)) ||
        !m_hidHandle)
    {
        m_hidHandle.reset();
        return false;
    }
    // Windows takes feature reports only at the collection's full length.
    SHidCaps caps;
    m_featureLength = kReportSize;
    if (m_hidHandle->GetCaps(caps) == EHidResult::Ok && caps.featureReportByteLength != 0)
        m_featureLength = caps.featureReportByteLength;
    std::string narrow;
    for (wchar_t c : path)
        narrow.push_back(c >= 0x20 && c < 0x7F ? static_cast<char>(c) : '?');
    SetDevicePath(narrow.c_str());
    return true;
}

bool CFirmwareUpgradeAV7300::SendReport(std::size_t length)
{
    if (!m_hidHandle)
        return false;
    std::vector<std::uint8_t> report(std::max(length, m_featureLength), 0);
    std::memcpy(report.data(), m_report, std::min(length, kReportSize));
    report.resize(m_featureLength);
    return m_hidHandle->SetFeature(report.data(), report.size()) == EHidResult::Ok;
}

std::uint8_t CFirmwareUpgradeAV7300::GetDeviceStatus()
{
    std::uint8_t status = 0xFF;
    if (m_hidHandle)
    {
        std::vector<std::uint8_t> report(m_featureLength, 0);
        report[0] = kCommandReport;
        if (m_hidHandle->GetFeature(report.data(), report.size()) == EHidResult::Ok)
        {
            std::memset(m_report, 0, sizeof(m_report));
            std::memcpy(m_report, report.data(), std::min(report.size(), kReportSize));
            status = m_report[2];
        }
    }
    LogPrintf("CFirmwareUpgradeAV7300::GetDeviceStatus - status[%02x]\n", status);
    return status;
}

std::uint8_t CFirmwareUpgradeAV7300::WaitForDeviceStatus(std::uint8_t mask, std::uint8_t want, std::uint32_t timeoutMs)
{
    const CDeadline deadline(timeoutMs);
    bool first = true;
    for (;;)
    {
        // A chip answers within a millisecond or two: poll at that pace
        // rather than flood the bus.
        if (!first)
            CClock::Sleep(1);
        first = false;
        // The deadline is taken before the status: a thread that lost the
        // processor past it still reads the status once more.
        const bool expired = deadline.IsExpired();
        const std::uint8_t status = GetDeviceStatus();
        if ((status & kStatusAsserted) != 0)
            return kStatusAsserted;
        if ((status & mask) == want)
            return status;
        if (expired)
            return kStatusTimeout;
    }
}

bool CFirmwareUpgradeAV7300::ReceiveDataFromDevice(std::uint32_t* count)
{
    if (count != nullptr)
        *count = 0;
    const std::uint8_t status = WaitForDeviceStatus(0x05, 0x05, kAnswerTimeoutMs);
    if (status == kStatusAsserted || status == kStatusTimeout)
        return false;
    // The length byte counts itself, the status and the answer; the copy
    // stays inside the report whatever it claims.
    const std::size_t n = std::min<std::size_t>(m_report[1], kReportSize - 3);
    std::memset(m_receive, 0, sizeof(m_receive));
    std::memcpy(m_receive, m_report + 3, n);
    if (count != nullptr)
        *count = static_cast<std::uint32_t>(n);
    return true;
}

bool CFirmwareUpgradeAV7300::MemoryPeek(std::uint16_t address, std::uint8_t* buffer, std::uint8_t count)
{
    LogPrintf("CFirmwareUpgradeAV7300::MemoryPeek\n");
    if (buffer == nullptr || count == 0 || count > kPieceSize)
        return false;
    std::memset(m_report, 0, sizeof(m_report));
    const std::uint8_t cmd[] = {kCommandReport, static_cast<std::uint8_t>(count + 10), 0, 0xFD, 4, 0, 0, 5, 0x81,
                                static_cast<std::uint8_t>(address), static_cast<std::uint8_t>(address >> 8), count};
    std::memcpy(m_report, cmd, sizeof(cmd));
    if (!SendReport(kCommandReportSize))
        return false;
    LogPrintf("Set Feature for MemoryPeek success\n");
    const std::uint8_t answered = WaitForDeviceStatus(0x05, 0x05, kAnswerTimeoutMs);
    if (answered == kStatusAsserted || answered == kStatusTimeout)
        return false;
    LogPrintf("Response: Length[%d][%d] OpCode[%x][%x] Source[%x][%x]\n", m_report[1], count + 10, m_report[3], 0xFE,
              m_report[4], 0);
    if (m_report[1] < count + 10 || m_report[3] != 0xFE || m_report[4] != 0)
        return false;
    std::memcpy(buffer, m_report + 11, count);
    return true;
}

bool CFirmwareUpgradeAV7300::MemoryPoke(std::uint16_t address, const std::uint8_t* data, std::uint8_t count)
{
    LogPrintf("CFirmwareUpgradeAV7300::MemoryPoke\n");
    if (data == nullptr || count == 0 || count > kPieceSize)
        return false;
    std::memset(m_report, 0, sizeof(m_report));
    const std::uint8_t cmd[] = {kCommandReport, static_cast<std::uint8_t>(count + 9), 0, 0xFD, 4, 0, 0,
                                static_cast<std::uint8_t>(count + 4), 0x00, static_cast<std::uint8_t>(address),
                                static_cast<std::uint8_t>(address >> 8)};
    std::memcpy(m_report, cmd, sizeof(cmd));
    std::memcpy(m_report + sizeof(cmd), data, count);
    if (!SendReport(kCommandReportSize))
        return false;
    // The poke counts once the chip answered it; what the answer says is
    // only logged.
    std::uint32_t received = 0;
    if (!ReceiveDataFromDevice(&received))
        return false;
    LogPrintf("Response: Length[%d][%d] OpCode[%x][%x] Source[%x][%x]\n", m_report[1], count + 10, m_report[3], 0xFE,
              m_report[4], 0);
    return true;
}

bool CFirmwareUpgradeAV7300::PokeBytes(std::uint16_t address, std::uint32_t value, std::uint8_t count)
{
    std::uint8_t bytes[4];
    for (int i = 0; i < 4; ++i)
        bytes[i] = static_cast<std::uint8_t>(value >> (8 * i));
    return MemoryPoke(address, bytes, count);
}

bool CFirmwareUpgradeAV7300::GetROMFWVersion(std::uint32_t* version)
{
    LogPrintf("CFirmwareUpgradeAV7300::GetROMFWVersion\n");
    if (version == nullptr)
        return false;
    std::memset(m_report, 0, sizeof(m_report));
    const std::uint8_t cmd[] = {kCommandReport, 9, 0, 0xFD, 4, 0, 0, 2, 0x83};
    std::memcpy(m_report, cmd, sizeof(cmd));
    if (!SendReport(kCommandReportSize))
        return false;
    LogPrintf("Set Feature for GetROMFWVersion success\n");
    const std::uint8_t answered = WaitForDeviceStatus(0x05, 0x05, kAnswerTimeoutMs);
    if (answered == kStatusAsserted || answered == kStatusTimeout)
        return false;
    // The answer must also reach the version bytes (report bytes 11 and 12).
    if (!CheckAnswer("GetROMFWVersion", 0x83, 12))
        return false;
    *version = static_cast<std::uint32_t>(m_report[11] + m_report[12] * 256);
    return true;
}

// The ROM answers its own commands (the version, the sector erase) with the
// answer's length at report byte 10 as well as at byte 1; the sub-command it
// echoes at byte 8 tells that the answer is the one to this request.
bool CFirmwareUpgradeAV7300::CheckAnswer(const char* what, std::uint8_t sub, std::uint8_t minimumLength)
{
    const bool ok = m_report[10] >= 9 && m_report[3] == 0xFE && m_report[4] == 0 && m_report[8] == sub &&
                    m_report[1] >= minimumLength;
    if (!ok)
        LogPrintf("CFirmwareUpgradeAV7300::%s - answer refused: Length[%d][%d] OpCode[%x] Source[%x] Command[%x]\n",
                  what, m_report[1], m_report[10], m_report[3], m_report[4], m_report[8]);
    return ok;
}

bool CFirmwareUpgradeAV7300::GetChipRevision(std::uint32_t* revision)
{
    LogPrintf("CFirmwareUpgradeAV7300::GetChipRevision\n");
    std::uint8_t bytes[2] = {0, 0};
    if (revision == nullptr || !MemoryPeek(0xF000, bytes, 2))
        return false;
    *revision = static_cast<std::uint32_t>(bytes[0] + bytes[1] * 256);
    return true;
}

bool CFirmwareUpgradeAV7300::ClearSector()
{
    LogPrintf("CFirmwareUpgradeAV7300::ClearSector\n");
    std::memset(m_report, 0, sizeof(m_report));
    const std::uint8_t cmd[] = {kCommandReport, 9, 0, 0xFD, 4, 0, 0, 5, 0x0C, 0, 0};
    std::memcpy(m_report, cmd, sizeof(cmd));
    if (!SendReport(kCommandReportSize))
        return false;
    LogPrintf("Set Feature for ClearSector success\n");
    // The answer comes when the sector is erased.
    if (!ReceiveDataFromDevice(nullptr))
        return false;
    return CheckAnswer("ClearSector", 0x0C, 10);
}

bool CFirmwareUpgradeAV7300::ReadFlash(std::uint32_t address, std::uint16_t ramAddress, std::uint32_t count)
{
    LogPrintf("CFirmwareUpgradeAV7300::ReadFlash\n");
    if (!SetFlashStartAddress(address) || !SetFlashBufferAddress(ramAddress) ||
        !SetFlashTransferSize(static_cast<std::uint16_t>(count)))
        return false;
    std::memset(m_report, 0, sizeof(m_report));
    const std::uint8_t cmd[] = {kCommandReport, 7, 0, 0xFF, 4, 0, 0, 2, 0x84, 0, 0};
    std::memcpy(m_report, cmd, sizeof(cmd));
    if (!SendReport(kCommandReportSize))
        return false;
    LogPrintf("Set Feature for ReadFlash success\n");
    return true;
}

bool CFirmwareUpgradeAV7300::WriteFlash(std::uint32_t address, std::uint16_t ramAddress, std::uint32_t count)
{
    LogPrintf("CFirmwareUpgradeAV7300::WriteFlash\n");
    if (!SetFlashStartAddress(address) || !SetFlashBufferAddress(ramAddress) ||
        !SetFlashTransferSize(static_cast<std::uint16_t>(count)))
        return false;
    std::memset(m_report, 0, sizeof(m_report));
    const std::uint8_t cmd[] = {kCommandReport, 9, 0, 0xFF, 4, 0, 0, 2, 0x03, 0, 0};
    std::memcpy(m_report, cmd, sizeof(cmd));
    m_blockSendIndex = 0;
    if (!SendReport(kCommandReportSize))
        return false;
    LogPrintf("Set Feature for WriteFlash success\n");
    return true;
}

bool CFirmwareUpgradeAV7300::SendBlockToRAM(std::uint32_t address, std::uint16_t ramAddress, std::uint32_t count,
                                            const std::uint8_t* data)
{
    LogPrintf("CFirmwareUpgradeAV7300::SendBlockToRAM - address[%08x] ramAddress[%04x] numBytes[%d]\n",
              static_cast<unsigned>(address), ramAddress, static_cast<int>(count));
    if (data == nullptr)
        return false;
    bool success = true;
    if (m_romLoaderWrite == 0)
    {
        for (std::uint32_t i = 0; i < count && success; i += kPieceSize)
        {
            const std::uint32_t piece = std::min(kPieceSize, count - i);
            success = MemoryPoke(static_cast<std::uint16_t>(ramAddress + i), data + i,
                                 static_cast<std::uint8_t>(piece));
        }
        return success;
    }
    success = SetFlashStartAddress(address) && SetFlashBufferAddress(ramAddress);
    if (success)
    {
        // The bulk report carries a whole block; a short last block is
        // padded with erased bytes rather than read past its end.
        std::memset(m_report, 0, sizeof(m_report));
        const std::uint32_t capacity = static_cast<std::uint32_t>(kReportSize - 7);
        const std::uint32_t blockBytes = std::min(m_blockSizeWrite, capacity);
        m_report[0] = kRomLoaderReport;
        m_report[2] = static_cast<std::uint8_t>(m_blockSendIndex);
        m_report[6] = 1;
        std::memset(m_report + 7, 0xFF, blockBytes);
        std::memcpy(m_report + 7, data, std::min(count, blockBytes));
        success = SendReport(kReportSize);
        if (success)
            LogPrintf("Set Feature for SendBlockToFlash success\n");
        ++m_blockSendIndex;
    }
    LogPrintf("CFirmwareUpgradeAV7300::SendBlockToRAM - m_blockSendIndex[%d] success[%d]\n",
              static_cast<int>(m_blockSendIndex), success ? 1 : 0);
    return success;
}

bool CFirmwareUpgradeAV7300::ReadRamData(std::uint16_t ramAddress, std::uint32_t count, std::uint8_t* out)
{
    LogPrintf("CFirmwareUpgradeAV7300::ReadRamData\n");
    if (out == nullptr)
        return false;
    for (std::uint32_t i = 0; i < count; i += kPieceSize)
    {
        const std::uint32_t piece = std::min(kPieceSize, count - i);
        const std::uint16_t at = static_cast<std::uint16_t>(ramAddress + i);
        std::memset(m_report, 0, sizeof(m_report));
        const std::uint8_t cmd[] = {kCommandReport, 10, 0, 0xFD, 4, 0, 0, 5, 0x81, static_cast<std::uint8_t>(at),
                                    static_cast<std::uint8_t>(at >> 8), static_cast<std::uint8_t>(piece)};
        std::memcpy(m_report, cmd, sizeof(cmd));
        std::uint32_t received = 0;
        if (!SendReport(kCommandReportSize) || !ReceiveDataFromDevice(&received))
            return false;
        // Data follow the echoed request at answer byte 8; an answer too
        // short to hold them is a failure, not zeros.
        if (received < 8 + piece || m_receive[0] != 0xFE)
            return false;
        std::memcpy(out + i, m_receive + 8, piece);
    }
    return true;
}

bool CFirmwareUpgradeAV7300::ReadBlockFromFlash(std::uint32_t address, std::uint32_t count, std::uint8_t* out)
{
    LogPrintf("CFirmwareUpgradeAV7300::ReadBlockFromFlash\n");
    if (!m_hidHandle || out == nullptr)
        return false;
    std::vector<std::uint8_t> report(std::max(m_featureLength, kReportSize), 0);
    report[0] = kFlashReport;
    for (int i = 0; i < 4; ++i)
        report[1 + i] = static_cast<std::uint8_t>(address >> (8 * i));
    report[5] = static_cast<std::uint8_t>(count);
    report[6] = static_cast<std::uint8_t>(count >> 8);
    report.resize(m_featureLength);
    if (m_hidHandle->GetFeature(report.data(), report.size()) != EHidResult::Ok)
        return false;
    LogPrintf("Get Feature for ReadBlockFromFlash success\n");
    const std::size_t n = std::min<std::size_t>(m_blockSizeRead, report.size() > 7 ? report.size() - 7 : 0);
    std::memcpy(out, report.data() + 7, n);
    return true;
}

// ---------------------------------------------------------------------------
// Parameter block

bool CFirmwareUpgradeAV7300::SetFlashUseTwiEeprom(std::uint8_t use)
{
    LogPrintf("CFirmwareUpgradeAV7300::SetFlashUseTwiEeprom\n");
    return MemoryPoke(m_smData, &use, 1);
}

bool CFirmwareUpgradeAV7300::SetFlashStartAddress(std::uint32_t address)
{
    LogPrintf("CFirmwareUpgradeAV7300::SetFlashStartAddress\n");
    return PokeBytes(static_cast<std::uint16_t>(m_smData + 1), address, 4);
}

bool CFirmwareUpgradeAV7300::SetFlashBufferAddress(std::uint16_t ramAddress)
{
    LogPrintf("CFirmwareUpgradeAV7300::SetFlashBufferAddress\n");
    return PokeBytes(static_cast<std::uint16_t>(m_smData + 5), ramAddress, 2);
}

bool CFirmwareUpgradeAV7300::SetFlashTransferSize(std::uint16_t count)
{
    LogPrintf("CFirmwareUpgradeAV7300::SetFlashTransferSize\n");
    return PokeBytes(static_cast<std::uint16_t>(m_smData + 7), count, 2);
}

bool CFirmwareUpgradeAV7300::SetFlashHeaderType1(std::uint16_t header)
{
    LogPrintf("CFirmwareUpgradeAV7300::SetFlashHeaderType1\n");
    return PokeBytes(static_cast<std::uint16_t>(m_smData + 9), header, 2);
}

bool CFirmwareUpgradeAV7300::SetFlashSizeParams(std::uint32_t size, std::uint16_t page, std::uint8_t addressInfo)
{
    LogPrintf("CFirmwareUpgradeAV7300::SetFlashSizeParams\n");
    const std::uint8_t bytes[7] = {static_cast<std::uint8_t>(size),       static_cast<std::uint8_t>(size >> 8),
                                   static_cast<std::uint8_t>(size >> 16), static_cast<std::uint8_t>(size >> 24),
                                   addressInfo,                          static_cast<std::uint8_t>(page),
                                   static_cast<std::uint8_t>(page >> 8)};
    return MemoryPoke(static_cast<std::uint16_t>(m_smData + 13), bytes, 7);
}

bool CFirmwareUpgradeAV7300::SetFlashSectorSize(std::uint32_t sector)
{
    LogPrintf("CFirmwareUpgradeAV7300::SetFlashSectorSize\n");
    return PokeBytes(static_cast<std::uint16_t>(m_smData + 20), sector, 4);
}

bool CFirmwareUpgradeAV7300::SetupFlashParameters()
{
    if (m_flashPart == 0 || m_flashPart >= CAV7300CommonHelper::kPartRows)
        return false;
    const SAV7300FlashPart& part = CAV7300CommonHelper::kFlashParts[m_flashPart];
    if (!SetFlashUseTwiEeprom(m_memtype))
        return false;
    if (m_memtype == 0)
        return SetFlashSectorSize(part.sector) &&
               SetFlashSizeParams(part.size, static_cast<std::uint16_t>(part.page),
                                  static_cast<std::uint8_t>(part.addressInfo));
    std::uint8_t header[3];
    CAV7300CommonHelper::ExpectedHeader(m_flashPart, header);
    const std::uint8_t twi = kTwiValue;
    return MemoryPoke(kTwiRegister, &twi, 1) && SetFlashSectorSize(0) &&
           SetFlashHeaderType1(static_cast<std::uint16_t>(header[0] | header[1] << 8)) &&
           SetFlashSizeParams(part.size, static_cast<std::uint16_t>(part.page),
                              static_cast<std::uint8_t>(part.addressInfo));
}

// ---------------------------------------------------------------------------
// Flash mode, ROM patch, erase

bool CFirmwareUpgradeAV7300::EnterFirmwareUpgradeMode()
{
    LogPrintf("CFirmwareUpgradeAV7300::EnterFirmwareUpgradeMode\n");
    std::memset(m_report, 0, sizeof(m_report));
    const std::uint8_t cmd[] = {kCommandReport, 5, 0, 0x0A, 0xAD, 0xDE, 0x00};
    std::memcpy(m_report, cmd, sizeof(cmd));
    bool success = SendReport(kCommandReportSize);
    if (success)
        LogPrintf("Set Feature for EnterFirmwareUpgradeMode success\n");
    int retry = 0;
    if (success && m_defaultImage != 0)
    {
        // The ROM leaves the bus and comes back in its flash mode.
        m_hidHandle.reset();
        CClock::Sleep(kReEnumerateWaitMs);
        success = false;
        for (retry = 0; retry < kReEnumerateTries && !success; ++retry)
        {
            CClock::Sleep(kReEnumerateTryMs);
            success = OpenDevice(kDefaultVendorId, kDefaultProductId);
            LogPrintf("Re-enum try [%d] success[%d]\n", retry, success ? 1 : 0);
        }
    }
    if (success)
        success = SetPatchCode();
    LogPrintf("CFirmwareUpgradeAV7300::EnterFirmwareUpgradeMode success[%d] retry[%d]\n", success ? 1 : 0, retry);
    return success;
}

bool CFirmwareUpgradeAV7300::SetPatchCode()
{
    LogPrintf("CFirmwareUpgradeAV7300::SetPatchCode\n");
    static const std::uint8_t kCode[] = {0xE1, 0x01, 0xBC, 0x15, 0x51};
    static const std::uint8_t kMatch[] = {0x13, 0x51};
    static const std::uint8_t kPatch[] = {0xC0, 0xEE};
    static const std::uint8_t kOne[] = {0x01};
    LogPrintf("CFirmwareUpgradeAV7300::EraseFlash - MemoryPoke 0xEEC0\n");
    if (!MemoryPoke(0xEEC0, kCode, sizeof(kCode)))
        return false;
    LogPrintf("CFirmwareUpgradeAV7300::EraseFlash - MemoryPoke ARCPCROMMATCH_0_REG\n");
    if (!MemoryPoke(0xF040, kMatch, sizeof(kMatch)))
        return false;
    LogPrintf("CFirmwareUpgradeAV7300::EraseFlash - MemoryPoke ARCPCRAMPATCH_0_REG\n");
    if (!MemoryPoke(0xF050, kPatch, sizeof(kPatch)))
        return false;
    LogPrintf("CFirmwareUpgradeAV7300::EraseFlash - MemoryPoke ARCPCVALID_REG\n");
    if (!MemoryPoke(0xF060, kOne, 1))
        return false;
    LogPrintf("CFirmwareUpgradeAV7300::EraseFlash - MemoryPoke ARCCTL_REG\n");
    return MemoryPoke(0xF061, kOne, 1);
}

bool CFirmwareUpgradeAV7300::SpimPoke(const char* prefix, std::uint16_t address, std::uint8_t value)
{
    LogPrintf("%s - MemoryPoke 0x%04X\n", prefix, address);
    return MemoryPoke(address, &value, 1);
}

bool CFirmwareUpgradeAV7300::EnableWriteFlashSST25VF512A()
{
    static const char* const kPrefix = "CFirmwareUpgradeAV7300::EnableWriteFlashSST25VF512A";
    LogPrintf("%s - part_25VF512A\n", kPrefix);
    LogPrintf("%s - Set the SPIM control parameters\n", kPrefix);
    bool ok = SpimPoke(kPrefix, kSpimControl, kSpimEnable) && SpimPoke(kPrefix, kSpimParameter, 0x00);
    if (ok)
        LogPrintf("%s - Enable the SSB\n", kPrefix);
    ok = ok && SpimPoke(kPrefix, kSpimSlaveSelect, 0);
    if (ok)
        LogPrintf("%s - Enable the Write to Status Register\n", kPrefix);
    ok = ok && SpimPoke(kPrefix, kSpimData, 0x50);
    if (ok)
        LogPrintf("%s - Disable the SSB\n", kPrefix);
    ok = ok && SpimPoke(kPrefix, kSpimSlaveSelect, 1);
    if (ok)
        LogPrintf("%s - Enable the SSB\n", kPrefix);
    ok = ok && SpimPoke(kPrefix, kSpimSlaveSelect, 0);
    if (ok)
        LogPrintf("%s - Send the code to clear write protect bits\n", kPrefix);
    ok = ok && SpimPoke(kPrefix, kSpimData, 0x01) && SpimPoke(kPrefix, kSpimData, 0x00);
    if (ok)
        LogPrintf("%s - Disable the SSB\n", kPrefix);
    ok = ok && SpimPoke(kPrefix, kSpimSlaveSelect, 1);
    if (ok)
        LogPrintf("%s - Disable the SPIM controller\n", kPrefix);
    ok = ok && SpimPoke(kPrefix, kSpimControl, kSpimDisable);
    return ok;
}

bool CFirmwareUpgradeAV7300::EraseFlashSST25VF512A(std::uint32_t length)
{
    static const char* const kPrefix = "CFirmwareUpgradeAV7300::EraseFlashSST25VF512A";
    LogPrintf("CFirmwareUpgradeAV7300::EraseFlashSST25VF512A\n");
    LogPrintf("%s - Set the SPIM control parameters\n", kPrefix);
    bool ok = SpimPoke(kPrefix, kSpimControl, kSpimEnable) && SpimPoke(kPrefix, kSpimParameter, 0x00);
    for (std::uint32_t offset = 0; ok && offset < length; offset += kSstSector)
    {
        const std::uint32_t address = m_flashWriteBase + offset;
        LogPrintf("EraseFlash - Clear Sector[%d] Addr[%08x]\n", static_cast<int>(address / kSstSector),
                  static_cast<unsigned>(address));
        LogPrintf("%s - Enable the SSB\n", kPrefix);
        ok = SpimPoke(kPrefix, kSpimSlaveSelect, 0);
        if (ok)
            LogPrintf("%s - Send Write Enable Command\n", kPrefix);
        ok = ok && SpimPoke(kPrefix, kSpimData, 0x06);
        if (ok)
            LogPrintf("%s - Disable the SSB\n", kPrefix);
        ok = ok && SpimPoke(kPrefix, kSpimSlaveSelect, 1);
        if (ok)
            LogPrintf("%s - Enable the SSB\n", kPrefix);
        ok = ok && SpimPoke(kPrefix, kSpimSlaveSelect, 0);
        if (ok)
            LogPrintf("%s - Send Sector Erase Command\n", kPrefix);
        ok = ok && SpimPoke(kPrefix, kSpimData, 0x20);
        if (ok)
            LogPrintf("%s - Send Sector Address [%08x] to Erase\n", kPrefix, static_cast<unsigned>(address));
        const std::uint8_t a2 = static_cast<std::uint8_t>(address >> 16);
        const std::uint8_t a1 = static_cast<std::uint8_t>(address >> 8);
        const std::uint8_t a0 = static_cast<std::uint8_t>(address);
        if (ok)
            LogPrintf("%s - Send 1st Byte[%02X] to MemoryPoke 0xF0F2\n", kPrefix, a2);
        ok = ok && SpimPoke(kPrefix, kSpimData, a2);
        if (ok)
            LogPrintf("%s - Send 2nd Byte[%02X] to MemoryPoke 0xF0F2\n", kPrefix, a1);
        ok = ok && SpimPoke(kPrefix, kSpimData, a1);
        if (ok)
            LogPrintf("%s - Send 3rd Byte[%02X] to MemoryPoke 0xF0F2\n", kPrefix, a0);
        ok = ok && SpimPoke(kPrefix, kSpimData, a0);
        if (ok)
            LogPrintf("%s - Disable the SSB\n", kPrefix);
        ok = ok && SpimPoke(kPrefix, kSpimSlaveSelect, 1);
        if (ok)
            CClock::Sleep(kEraseWaitMs);
    }
    if (ok)
    {
        LogPrintf("%s - Disable the SPIM controller\n", kPrefix);
        ok = SpimPoke(kPrefix, kSpimControl, kSpimDisable);
    }
    LogPrintf("%s - success[%d]\n", kPrefix, ok ? 1 : 0);
    return ok;
}

bool CFirmwareUpgradeAV7300::EraseFlash(std::uint32_t length)
{
    LogPrintf("CFirmwareUpgradeAV7300::EraseFlash\n");
    if (m_chipRevision == 1 && m_romLoaderWrite != 0 && !SetPatchCode())
        return false;
    if (!SetupFlashParameters())
        return false;
    const SAV7300FlashPart& part = CAV7300CommonHelper::kFlashParts[m_flashPart];
    if (m_memtype == 0)
    {
        if (part.sector == 0)
            return false;
        for (std::uint32_t offset = 0; offset < length; offset += part.sector)
        {
            const std::uint32_t address = m_flashWriteBase + offset;
            LogPrintf("EraseFlash - Clear Sector[%d] Addr[%08x]\n", static_cast<int>(address / part.sector),
                      static_cast<unsigned>(address));
            if (!SetFlashStartAddress(address) || !SetFlashTransferSize(1) || !ClearSector())
                return false;
            CClock::Sleep(kEraseWaitMs);
        }
        return true;
    }
    // An I2C EEPROM has no erase command and needs none: every byte is
    // written as it is. What matters is that no valid image header survives
    // an upgrade that stops early, so the first block (which holds the
    // header, and is written last) is overwritten with erased bytes now.
    const std::uint32_t block = std::min(m_blockSizeWrite, length);
    std::vector<std::uint8_t> erased(m_blockSizeWrite == 0 ? 1 : m_blockSizeWrite, 0xFF);
    if (block == 0)
        return true;
    const bool ok = SendBlockToRAM(m_flashWriteBase, m_ramBaseWrite, block, erased.data()) &&
                    WriteFlash(m_flashWriteBase, m_ramBaseWrite, block) && WaitUntilDone();
    CClock::Sleep(kEraseWaitMs);
    return ok;
}

bool CFirmwareUpgradeAV7300::WaitUntilDone()
{
    // Busy (0x00) while the chip carries the transfer out, then ready; a
    // chip that is gone reads as 0xFF.
    const std::uint8_t status = WaitForDeviceStatus(0x01, 0x01, kAnswerTimeoutMs);
    if (status == kStatusAsserted || status == kStatusTimeout)
    {
        LogPrintf("CFirmwareUpgradeAV7300::WaitUntilDone - the chip did not finish [%02x]\n", status);
        return false;
    }
    return true;
}

bool CFirmwareUpgradeAV7300::ReadFlashChecked(std::uint32_t address, std::uint32_t count, const std::uint8_t* pattern,
                                              std::uint8_t* out, bool* pTaken)
{
    *pTaken = false;
    const std::uint8_t mark = static_cast<std::uint8_t>(std::min(count, kPieceSize));
    if (count == 0 || !MemoryPoke(m_ramBaseRead, pattern, mark) || !ReadFlash(address, m_ramBaseRead, count) ||
        !WaitUntilDone())
        return false;
    CClock::Sleep(kReadWaitMs);
    if (!ReadRamData(m_ramBaseRead, count, out))
        return false;
    *pTaken = std::memcmp(out, pattern, mark) != 0;
    return true;
}

bool CFirmwareUpgradeAV7300::VerifyFlash(std::uint32_t address, const std::uint8_t* expected, std::uint32_t length)
{
    LogPrintf("CFirmwareUpgradeAV7300::VerifyFlash - address[%08x] length[%d]\n", static_cast<unsigned>(address),
              static_cast<int>(length));
    std::vector<std::uint8_t> back(kVerifyChunk);
    for (std::uint32_t done = 0; done < length;)
    {
        const std::uint32_t n = std::min(kVerifyChunk, length - done);
        // The RAM buffer first holds the opposite of what must come back, so
        // a transfer the chip left undone cannot pass for the data.
        std::uint8_t pattern[kPieceSize];
        for (std::uint32_t i = 0; i < kPieceSize; ++i)
            pattern[i] = static_cast<std::uint8_t>(~expected[done + std::min(i, n - 1)]);
        bool taken = false;
        if (!ReadFlashChecked(address + done, n, pattern, back.data(), &taken))
        {
            LogPrintf("CFirmwareUpgradeAV7300::VerifyFlash - cannot read [%08x]\n",
                      static_cast<unsigned>(address + done));
            return false;
        }
        for (std::uint32_t i = 0; i < n; ++i)
        {
            if (back[i] != expected[done + i])
            {
                LogPrintf("CFirmwareUpgradeAV7300::VerifyFlash - differs at [%08x]: written[%02x] read[%02x]\n",
                          static_cast<unsigned>(address + done + i), expected[done + i], back[i]);
                return false;
            }
        }
        done += n;
    }
    return true;
}

bool CFirmwareUpgradeAV7300::ProveMemorySize()
{
    // A NOR part wraps an address beyond its end. Sixteen bytes of the image
    // that are not all alike, read again half the part further on and a
    // whole part further on: a memory of half the size or less shows them
    // at the first place, one larger than the part does not show them at the
    // second (a chip that does not read past the part's end proves nothing).
    const std::uint32_t size = CAV7300CommonHelper::kFlashParts[m_flashPart].size;
    const std::uint32_t length = static_cast<std::uint32_t>(m_expected.size());
    std::uint32_t at = std::max<std::uint32_t>(m_headerCacheLength, kPieceSize);
    at = (at + kPieceSize - 1) / kPieceSize * kPieceSize;
    for (; at + kPieceSize <= length && at < size / 2; at += kPieceSize)
    {
        const std::uint8_t* w = m_expected.data() + at;
        if (std::count(w, w + kPieceSize, w[0]) != static_cast<std::ptrdiff_t>(kPieceSize))
            break;
    }
    if (at + kPieceSize > length || at >= size / 2)
    {
        LogPrintf("CFirmwareUpgradeAV7300::ProveMemorySize - no part of the image to tell by\n");
        return true;
    }
    const std::uint8_t* window = m_expected.data() + at;
    std::uint8_t pattern[kPieceSize];
    for (std::uint32_t i = 0; i < kPieceSize; ++i)
        pattern[i] = static_cast<std::uint8_t>(~window[i]);
    std::uint8_t back[kPieceSize];
    bool taken = false;
    if (!ReadFlashChecked(size / 2 + at, kPieceSize, pattern, back, &taken))
        return false;
    if (std::memcmp(back, window, kPieceSize) == 0)
    {
        LogPrintf("CFirmwareUpgradeAV7300::ProveMemorySize - the memory wraps at [%d] or before: it is smaller than "
                  "the image's part\n",
                  static_cast<int>(size / 2));
        return false;
    }
    if (!ReadFlashChecked(size + at, kPieceSize, pattern, back, &taken))
        return false;
    if (taken && std::memcmp(back, window, kPieceSize) != 0)
    {
        LogPrintf("CFirmwareUpgradeAV7300::ProveMemorySize - the memory does not wrap at [%d]: it is larger than the "
                  "image's part\n",
                  static_cast<int>(size));
        return false;
    }
    LogPrintf("CFirmwareUpgradeAV7300::ProveMemorySize - the memory holds [%d] bytes%s\n", static_cast<int>(size),
              taken ? "" : " (the chip reads nothing past them)");
    return true;
}

bool CFirmwareUpgradeAV7300::WriteMarker(std::uint32_t address)
{
    return SendBlockToRAM(address, m_ramBaseWrite, kPieceSize, kMarker) &&
           WriteFlash(address, m_ramBaseWrite, kPieceSize) && WaitUntilDone();
}

bool CFirmwareUpgradeAV7300::ReadPiece(std::uint32_t address, std::uint8_t* out)
{
    // The RAM buffer first holds what neither the marker nor erased bytes
    // are everywhere: a copy the chip did not make cannot pass for either.
    std::uint8_t pattern[kPieceSize];
    for (std::uint32_t i = 0; i < kPieceSize; ++i)
        pattern[i] = static_cast<std::uint8_t>(~kMarker[i]);
    bool taken = false;
    return ReadFlashChecked(address, kPieceSize, pattern, out, &taken) && taken;
}

bool CFirmwareUpgradeAV7300::EraseSectorAt(std::uint32_t address)
{
    const bool ok = SetFlashStartAddress(address) && SetFlashTransferSize(1) && ClearSector();
    CClock::Sleep(kEraseWaitMs);
    return ok;
}

bool CFirmwareUpgradeAV7300::ProveEraseGeometry()
{
    // The boot ROM drives the memory as the parameter block says, and a part
    // of the same size as the image's writes and reads back the image just
    // as well: what tells is how the memory erases. Marker bytes on both
    // sides of the image's first sector boundary (both sectors erased
    // first), then the firmware's sector erase at 0: the bytes before the
    // boundary must go, those after it stay. An SST25VF512A knows no such erase (the firmware's command is a
    // 64 KiB erase): there the marker at 0 must stay.
    const std::uint32_t sector = CAV7300CommonHelper::kFlashParts[m_flashPart].sector;
    const std::uint32_t size = CAV7300CommonHelper::kFlashParts[m_flashPart].size;
    const bool sst = m_flashPart == CAV7300CommonHelper::kPartSST25VF512A;
    auto is = [](const std::uint8_t* bytes, const std::uint8_t* expected) {
        return std::memcmp(bytes, expected, kPieceSize) == 0;
    };
    std::uint8_t erased[kPieceSize];
    std::memset(erased, 0xFF, sizeof erased);
    std::uint8_t before[kPieceSize] = {};
    std::uint8_t after[kPieceSize] = {};
    // nullptr: the memory erases as the part; else what it showed. ok: the
    // chip carried out every step.
    const char* finding = nullptr;
    bool ok = true;
    auto probe = [&]() {
        if (sst)
        {
            if (!(ok = WriteMarker(0) && ReadPiece(0, before)))
                return;
            if (!is(before, kMarker))
            {
                finding = "it does not keep what is written";
                return;
            }
            if (!(ok = EraseSectorAt(0) && ReadPiece(0, before)))
                return;
            if (!is(before, kMarker))
            {
                finding = "its sector erase took the marker: it is not an SST25VF512A";
                return;
            }
            // (m_flashWriteBase is 0: the probe comes before a full update.)
            if (!(ok = EraseFlashSST25VF512A(kSstSector) && ReadPiece(0, before)))
                return;
            if (!is(before, erased))
                finding = "its sector 0 does not erase";
            return;
        }
        if (sector == 0 || sector + kPieceSize > size)
        {
            finding = "the image's part has no sector to tell it by";
            return;
        }
        // Sector 0 is erased already; the one behind the boundary may still
        // hold what an earlier image left there.
        if (!(ok = EraseSectorAt(sector) && WriteMarker(sector - kPieceSize) && WriteMarker(sector) &&
                   ReadPiece(sector - kPieceSize, before) && ReadPiece(sector, after)))
            return;
        if (!is(before, kMarker) || !is(after, kMarker))
        {
            finding = "it does not keep what is written";
            return;
        }
        if (!(ok = EraseSectorAt(0) && ReadPiece(sector - kPieceSize, before) && ReadPiece(sector, after)))
            return;
        if (!is(before, erased))
        {
            finding = "its sector is smaller than the image's part's";
            return;
        }
        if (!is(after, kMarker))
        {
            finding = "its sector is larger than the image's part's";
            return;
        }
        if (!(ok = EraseSectorAt(sector) && ReadPiece(sector, after)))
            return;
        if (!is(after, erased))
            finding = "its sector does not erase";
    };
    probe();
    if (!ok)
        LogPrintf("CFirmwareUpgradeAV7300::ProveEraseGeometry - the memory could not be probed\n");
    else if (finding != nullptr)
        LogPrintf("CFirmwareUpgradeAV7300::ProveEraseGeometry - the memory is not part[%d]: %s\n",
                  static_cast<int>(m_flashPart), finding);
    else
        LogPrintf("CFirmwareUpgradeAV7300::ProveEraseGeometry - the memory erases as part[%d]\n",
                  static_cast<int>(m_flashPart));
    return ok && finding == nullptr;
}

// ---------------------------------------------------------------------------
// Reading the device

bool CFirmwareUpgradeAV7300::ReadFlashData(std::uint32_t offset, std::uint32_t length, std::uint8_t* destination)
{
    LogPrintf("CFirmwareUpgradeAV7300::ReadFlashData - address[%04X] length[%d] pBuffer[%p]\n",
              static_cast<unsigned>(offset), static_cast<int>(length), static_cast<void*>(destination));
    if (destination == nullptr || !SetupFlashParameters())
        return false;
    for (std::uint32_t i = 0; i < length; i += kPieceSize)
    {
        const std::uint32_t piece = std::min(kPieceSize, length - i);
        if (!ReadFlash(offset + i, m_ramBaseRead, piece))
            return false;
        CClock::Sleep(kReadWaitMs);
        LogPrintf("CFirmwareUpgradeAV7300::ReadFlashData - ReadRamData Ram[%04X] pBuffer[%p] chunk[%d]\n",
                  m_ramBaseRead, static_cast<void*>(destination + i), static_cast<int>(piece));
        if (!ReadRamData(m_ramBaseRead, piece, destination + i))
            return false;
    }
    return true;
}

bool CFirmwareUpgradeAV7300::FindFileInDeviceFWImage(std::uint32_t fileId, std::uint32_t* pOffset)
{
    LogPrintf("CFirmwareUpgradeAV7300::FindFileInDeviceFWImage\n");
    if (!m_helper)
        return false;
    return m_helper->FindFileInDeviceFWImage(fileId, pOffset);
}

bool CFirmwareUpgradeAV7300::FindFileInFWImage(std::uint32_t fileId, std::uint32_t* pOffset, std::uint32_t imageSize,
                                               const std::uint8_t* pImage)
{
    LogPrintf("CFirmwareUpgradeAV7300::FindFileInFWImage\n");
    if (!m_helper)
        return false;
    return CAV7300CommonHelper::FindFileInFWImage(fileId, pOffset, imageSize, pImage);
}

bool CFirmwareUpgradeAV7300::ReadVersionFile(std::vector<std::uint8_t>* content)
{
    content->clear();
    std::uint32_t offset = 0;
    m_deviceVersionFromPrimary = false;
    m_deviceReachesSecondary = FindFileInDeviceFWImage(CAV7300CommonHelper::kFileIdSecondary, &offset);
    if (!FindFileInDeviceFWImage(CAV7300CommonHelper::kFileIdVersion, &offset))
    {
        if (!FindFileInDeviceFWImage(CAV7300CommonHelper::kFileIdVersionImage, &offset))
            return false;
        m_deviceVersionFromPrimary = true;
    }
    std::uint8_t raw[4];
    if (!ReadFlashData(offset, 4, raw))
        return false;
    const SAV7300FileHeader header = CAV7300CommonHelper::DecodeFileHeader(raw);
    LogPrintf("File Header\n");
    LogPrintf("File ID[%d]\n", static_cast<int>(header.id));
    LogPrintf("File Alignment[%d]\n", header.aligned ? 1 : 0);
    LogPrintf("File Size[%d]\n", static_cast<int>(header.size));
    LogPrintf("File Checksum[%d]\n", static_cast<int>(header.checksum));
    LogPrintf(header.valid ? "Valid Header\n" : "Invalid Header\n");
    if (!header.valid || header.size == 0)
        return false;
    content->resize(header.size);
    if (!ReadFlashData(offset + 4, header.size, content->data()))
    {
        content->clear();
        return false;
    }
    return true;
}

std::uint32_t CFirmwareUpgradeAV7300::GetDeviceMinorVersion()
{
    std::vector<std::uint8_t> content;
    std::uint32_t minor = 0;
    if (ReadVersionFile(&content))
        minor = CAV7300CommonHelper::VersionFileMinor(content.data(), static_cast<std::uint32_t>(content.size()));
    LogPrintf("****Minor Version [%d]\n", static_cast<int>(minor));
    return minor;
}

std::uint32_t CFirmwareUpgradeAV7300::GetFileMinorVersion(std::uint32_t imageSize, const std::uint8_t* pImage)
{
    if (pImage == nullptr || imageSize <= 5)
        return 0;
    std::uint32_t offset = 0;
    if (!FindFileInFWImage(CAV7300CommonHelper::kFileIdVersion, &offset, imageSize, pImage) &&
        !FindFileInFWImage(CAV7300CommonHelper::kFileIdVersionImage, &offset, imageSize, pImage))
        return 0;
    const std::uint8_t* content = nullptr;
    std::uint32_t size = 0;
    if (!CAV7300CommonHelper::FileContentInFWImage(offset, imageSize, pImage, &content, &size))
        return 0;
    const std::uint32_t minor = CAV7300CommonHelper::VersionFileMinor(content, size);
    LogPrintf("****Minor Version [%d]\n", static_cast<int>(minor));
    return minor;
}

bool CFirmwareUpgradeAV7300::GetDeviceFWVersionString(std::string* version)
{
    LogPrintf("CFirmwareUpgradeAV7300::GetDeviceFWVersionString\n");
    if (version == nullptr)
        return false;
    version->clear();
    std::vector<std::uint8_t> content;
    if (!ReadVersionFile(&content))
        return false;
    const std::string raw(content.begin(), content.end());
    LogPrintf("****Raw Firmware Version String [%s]\n", raw.c_str());
    if (!CAV7300CommonHelper::VersionFileString(content.data(), static_cast<std::uint32_t>(content.size()), version))
        return false;
    LogPrintf("****Firmware Version String [%s]\n", version->c_str());
    return true;
}

bool CFirmwareUpgradeAV7300::GetCombinedFWVersionString(std::string*) { return false; }

bool CFirmwareUpgradeAV7300::GetFWFileVersionString(std::uint32_t imageSize, const std::uint8_t* pImage,
                                                    std::string* version)
{
    LogPrintf("CFirmwareUpgradeAV7300::GetFWFileVersionString\n");
    if (version == nullptr)
        return false;
    version->clear();
    if (pImage == nullptr || imageSize <= 5)
        return false;
    std::uint32_t offset = 0;
    m_imageCarriesVersionFile = FindFileInFWImage(CAV7300CommonHelper::kFileIdVersion, &offset, imageSize, pImage);
    m_imageCarriesSecondary = FindFileInFWImage(CAV7300CommonHelper::kFileIdSecondary, &offset, imageSize, pImage);
    if (!FindFileInFWImage(CAV7300CommonHelper::kFileIdVersionImage, &offset, imageSize, pImage))
        return false;
    const std::uint8_t* content = nullptr;
    std::uint32_t size = 0;
    if (!CAV7300CommonHelper::FileContentInFWImage(offset, imageSize, pImage, &content, &size))
        return false;
    LogPrintf("Version File Size[%d]\n", static_cast<int>(size));
    const std::string raw(reinterpret_cast<const char*>(content), size);
    LogPrintf("****Raw Firmware Version String [%s]\n", raw.c_str());
    if (!CAV7300CommonHelper::VersionFileString(content, size, version))
        return false;
    LogPrintf("****Firmware Version String [%s]\n", version->c_str());
    return true;
}

std::int32_t CFirmwareUpgradeAV7300::CompareFirmwareVersion(std::string currentVersion, std::string newVersion)
{
    if (m_defaultImage != 0)
        return CURR_VERSION_CHECK_OLDER;
    const std::int32_t result =
        CFirmwareUpgrade::CompareFirmwareVersion(std::move(currentVersion), std::move(newVersion));
    // A chain that ends before the secondary image or the version file the
    // image carries is, as a rule, an update of the secondary image that was
    // cut short: the primary's own version file may tell the image's version,
    // but the device does not hold the image. A device that tells a newer
    // version is left alone (a silent run never downgrades).
    if (result == CURR_VERSION_CHECK_SAME && ((m_imageCarriesVersionFile && m_deviceVersionFromPrimary) ||
                                              (m_imageCarriesSecondary && !m_deviceReachesSecondary)))
    {
        LogPrintf("The device's chain ends before what the image carries: it does not hold the image\n");
        return CURR_VERSION_CHECK_OLDER;
    }
    return result;
}

// ---------------------------------------------------------------------------
// The interface

HResult CFirmwareUpgradeAV7300::Init(std::uint32_t, std::uint32_t)
{
    LogPrintf("CFirmwareUpgradeAV7300::Init\n");
    HResult hr = HR_OK;
    if (OpenDevice(kVendorId, kProductId))
    {
        m_defaultImage = 0;
    }
    else if (OpenDevice(kDefaultVendorId, kDefaultProductId))
    {
        m_defaultImage = 1;
        m_romLoaderWrite = 1;
    }
    else
    {
        hr = HR_FAIL;
    }
    if (hr == HR_OK)
    {
        m_wVendorID = kVendorId;
        m_wProductID = kProductId;
        if (!GetROMFWVersion(&m_romFWVersion) || !GetChipRevision(&m_chipRevision) || m_chipRevision > 1)
            hr = HR_FAIL;
    }
    if (hr == HR_OK)
    {
        m_smData = kParameterBlock[m_chipRevision];
        m_memtype = static_cast<std::uint8_t>(CAV7300CommonHelper::kFlashParts[m_flashPart].memType);
        LogPrintf("CFirmwareUpgradeAV7300::Init - romFWVersion[%d] chipRevision[%d] smData[%04X] m_memtype[%d]\n",
                  static_cast<int>(m_romFWVersion), static_cast<int>(m_chipRevision), m_smData, m_memtype);
        // The firmware reports the header of the image it booted; the ROM the
        // bytes it found where a header belongs, which name the part even
        // when the header's checksum failed.
        std::uint8_t h1 = 0;
        std::uint8_t h2 = 0;
        if (!MemoryPeek(static_cast<std::uint16_t>(m_smData + 9), &h1, 1) ||
            !MemoryPeek(static_cast<std::uint16_t>(m_smData + 10), &h2, 1))
        {
            hr = HR_FAIL;
        }
        else
        {
            const std::uint8_t raw[5] = {h1, h2, 0, 0, 0};
            const SAV7300ImageHeader geometry = CAV7300CommonHelper::DecodeImageHeader(raw);
            LogPrintf("Header Type 1 [%02X]\n", h1);
            LogPrintf("Header Type 2 [%02X]\n", h2);
            LogPrintf("Flash Size [%d]\n", static_cast<int>(geometry.flashSize));
            LogPrintf("Page Size [%d]\n", static_cast<int>(geometry.pageSize));
            LogPrintf("Sector Size [%d]\n", static_cast<int>(geometry.sectorSize));
            LogPrintf("Address Bytes [%d]\n", static_cast<int>(geometry.addressBytes));
            LogPrintf("Flash Type [%d]\n", m_memtype);
            m_flashPart = CAV7300CommonHelper::LookupFlashPart(geometry.flashSize, geometry.pageSize,
                                                               geometry.sectorSize, geometry.addressBytes);
            // On the ROM only bytes that are the expected header of that part
            // name it (erased or stray bytes name none).
            std::uint8_t expected[3];
            CAV7300CommonHelper::ExpectedHeader(m_flashPart, expected);
            if (m_defaultImage != 0 && m_flashPart != 0 && (expected[0] != h1 || expected[1] != h2))
                m_flashPart = 0;
            if (m_flashPart == 0 && m_defaultImage == 0)
            {
                LogPrintf("Unsupported Flash Part\n");
                hr = HR_FAIL;
            }
            else if (m_flashPart == 0)
            {
                // A blank memory, or one whose header another tool erased.
                LogPrintf("No part named by the memory. The image names it\n");
                m_partFromImage = 1;
            }
            m_memtype = static_cast<std::uint8_t>(CAV7300CommonHelper::kFlashParts[m_flashPart].memType);
        }
    }
    if (hr == HR_OK)
    {
        m_helper.reset(new (std::nothrow) CAV7300CommonHelper(m_flashPart, ReadFlashCallback, this));
        if (!m_helper)
            hr = HR_FAIL;
    }
    if (hr == HR_OK)
    {
        if (m_chipRevision == 1 && m_romLoaderWrite != 0)
        {
            m_ramBaseWrite = kRomLoaderBuffer[1];
            m_blockSizeWrite = 256;
        }
        else
        {
            m_ramBaseWrite = kRamBuffer[m_chipRevision];
            m_blockSizeWrite = 64;
        }
        m_baseOffsetWrite = 0;
        m_ramBaseRead = kRamBuffer[m_chipRevision];
        m_blockSizeRead = 16;

        const std::uint32_t sector = CAV7300CommonHelper::kFlashParts[m_flashPart].sector;
        if (m_defaultImage != 0)
        {
            LogPrintf("Default Avnera image. Do a full update\n");
            m_secondaryImageUpdateOnly = 0;
        }
        else
        {
            GetDeviceMinorVersion();
            LogPrintf("CFirmwareUpgradeAV7300::FindFileInDeviceFWImage\n");
            m_secondaryInDevice = m_helper->FindFileInDeviceFWImage(CAV7300CommonHelper::kFileIdSecondary,
                                                                    &m_secondaryImageOffset, &m_deviceChainEnd);
            if (m_secondaryInDevice)
            {
                LogPrintf("Secondary Image Offset in device [%d] Sector Size [%d]\n",
                          static_cast<int>(m_secondaryImageOffset), static_cast<int>(sector));
                if (sector != 0 && m_secondaryImageOffset % sector == 0)
                {
                    LogPrintf("Secondary image at sector offset. Can support secondary image update\n");
                    m_secondaryImageUpdateOnly = 1;
                }
                else
                {
                    LogPrintf("Secondary image NOT at sector offset. Cannot support secondary image update\n");
                    m_secondaryImageUpdateOnly = 0;
                }
            }
            else if (m_secondaryImageOffset == CAV7300CommonHelper::kNoFreeSector)
            {
                LogPrintf("No sector available for secondary image. Do a full update\n");
                m_secondaryImageUpdateOnly = 0;
            }
            else
            {
                LogPrintf("No Secondary image found. Next Available sector at [%d]. Can support secondary image "
                          "update\n",
                          static_cast<int>(m_secondaryImageOffset));
                m_secondaryImageUpdateOnly = 1;
            }
        }
        LogPrintf("CFirmwareUpgradeAV7300::Init - m_ramBaseWrite[%04x]\n", m_ramBaseWrite);
        LogPrintf("CFirmwareUpgradeAV7300::Init - m_baseOffsetWrite[%08x]\n", static_cast<unsigned>(m_baseOffsetWrite));
        LogPrintf("CFirmwareUpgradeAV7300::Init - m_blockSizeWrite[%d]\n", static_cast<int>(m_blockSizeWrite));
        LogPrintf("CFirmwareUpgradeAV7300::Init - m_ramBaseRead[%04x]\n", m_ramBaseRead);
        LogPrintf("CFirmwareUpgradeAV7300::Init - m_blockSizeRead[%d]\n", static_cast<int>(m_blockSizeRead));
    }
    LogPrintf("CFirmwareUpgradeAV7300::Init - hRes[%08x]\n", static_cast<unsigned>(hr));
    return hr;
}

HResult CFirmwareUpgradeAV7300::GetProductName(wchar_t* buffer, std::uint32_t size)
{
    if (buffer == nullptr || size == 0)
    {
        LogPrintf("CFirmwareUpgradeAV7300::GetProductName - Buffer Invalid!![%p] Size[%d]\n",
                  static_cast<void*>(buffer), static_cast<int>(size));
        return HR_FAIL;
    }
    std::wstring name;
    if (!m_hidHandle || m_hidHandle->GetProductString(name) != EHidResult::Ok)
        return HR_FAIL;
    const std::size_t chars = size / sizeof(wchar_t);
    if (chars == 0)
        return HR_FAIL;
    const std::size_t n = std::min(name.size(), chars - 1);
    std::wmemcpy(buffer, name.c_str(), n);
    buffer[n] = L'\0';
    return HR_OK;
}

std::uint32_t CFirmwareUpgradeAV7300::GetPacketSize() { return m_blockSizeWrite; }

HResult CFirmwareUpgradeAV7300::PrepareFirmwareImage(std::uint32_t rawImageSize, const std::uint8_t* pRawImage,
                                                     std::uint32_t* pImageSize, std::uint8_t** ppImage)
{
    LogPrintf("CFirmwareUpgradeAV7300::PrepareFirmwareImage\n");
    if (!m_helper)
        return HR_FAIL;
    const HResult hr = m_helper->PrepareFirmwareImage(rawImageSize, pRawImage, pImageSize, ppImage);
    if (hr == HR_OK && m_partFromImage != 0)
    {
        // The memory is taken to be the part the image names.
        m_flashPart = m_helper->ImagePart();
        m_memtype = static_cast<std::uint8_t>(CAV7300CommonHelper::kFlashParts[m_flashPart].memType);
    }
    return hr;
}

HResult CFirmwareUpgradeAV7300::PrepareUploadFirmwareImage(std::uint32_t imageSize, const std::uint8_t* pImage,
                                                           std::uint32_t* pUploadSize, std::uint8_t** ppUpload)
{
    LogPrintf("CFirmwareUpgradeAV7300::PrepareUploadFirmwareImage\n");
    if (imageSize == 0 || pImage == nullptr || pUploadSize == nullptr || ppUpload == nullptr)
        return HR_FAIL;
    // The image the run hands over is the one PrepareFirmwareImage checked;
    // whatever it is, nothing is written that does not hold up as a whole.
    std::uint32_t chainEnd = 0;
    std::string problem;
    if (!CAV7300CommonHelper::CheckImage(m_flashPart, pImage, imageSize, &chainEnd, &problem))
    {
        LogPrintf("CFirmwareUpgradeAV7300::PrepareUploadFirmwareImage - Incorrect Image - %s\n", problem.c_str());
        return HR_INVALIDARG;
    }
    if (!FindFileInFWImage(CAV7300CommonHelper::kFileIdSecondary, &m_secondaryImageOffsetFile, imageSize, pImage))
    {
        LogPrintf("Unable to find secondary Image Offset in file. Do full update\n");
        m_secondaryImageUpdateOnly = 0;
    }
    else
    {
        LogPrintf("Secondary Image Offset in file[%d]\n", static_cast<int>(m_secondaryImageOffsetFile));
    }
    if (m_secondaryImageUpdateOnly != 0)
    {
        const std::uint32_t minorDevice = GetDeviceMinorVersion();
        const std::uint32_t minorFile = GetFileMinorVersion(imageSize, pImage);
        LogPrintf("minorVersionDevice[%d] minorVersionFile[%d] MINOR_VERSION_SEC_UPGRADE_SUPPORT[%d]\n",
                  static_cast<int>(minorDevice), static_cast<int>(minorFile),
                  static_cast<int>(kMinorVersionSecUpgradeSupport));
        if (minorDevice < kMinorVersionSecUpgradeSupport || minorFile < kMinorVersionSecUpgradeSupport)
            m_secondaryImageUpdateOnly = 0;
    }
    if (m_secondaryImageUpdateOnly != 0)
    {
        // The device tells its version by its version file (16, else 5), the
        // first the chain reaches: unless the new tail carries one that comes
        // before any other, the device would keep its old version after the
        // update, and every later run would upgrade it again.
        std::uint32_t versionFile = 0;
        std::uint32_t deviceVersionFile = 0;
        m_uploadVersionFile = CAV7300CommonHelper::kNoFreeSector;
        const bool inTail =
            FindFileInFWImage(CAV7300CommonHelper::kFileIdVersion, &versionFile, imageSize, pImage) &&
            versionFile > m_secondaryImageOffsetFile &&
            !(FindFileInDeviceFWImage(CAV7300CommonHelper::kFileIdVersion, &deviceVersionFile) &&
              deviceVersionFile < m_secondaryImageOffset);
        if (inTail)
            m_uploadVersionFile = versionFile - m_secondaryImageOffsetFile;
        if (!inTail)
        {
            LogPrintf("The image's version file is not in its secondary image: a secondary update would leave the "
                      "device's version. Do full update\n");
            m_secondaryImageUpdateOnly = 0;
        }
    }
    if (m_secondaryImageUpdateOnly != 0)
    {
        // The device finds files by walking its chain: written at the next
        // free sector behind a chain that ends before it, the new secondary
        // image (and its version file) would never be reached, and the device
        // would go on telling its old version.
        if (!m_secondaryInDevice && m_deviceChainEnd != m_secondaryImageOffset)
        {
            LogPrintf("The device's chain ends at [%d], before the next free sector [%d]: a secondary image there "
                      "would not be reached. Do full update\n",
                      static_cast<int>(m_deviceChainEnd), static_cast<int>(m_secondaryImageOffset));
            m_secondaryImageUpdateOnly = 0;
        }
    }
    if (m_secondaryImageUpdateOnly != 0)
    {
        // The tail goes to a sector boundary of the device; its aligned files
        // keep their places in the chain only when it starts at one in the
        // image too.
        const std::uint32_t sector = CAV7300CommonHelper::kFlashParts[m_flashPart].sector;
        if (sector == 0 || m_secondaryImageOffsetFile % sector != 0)
        {
            LogPrintf("Secondary image in file NOT at sector offset [%d]. Do full update\n",
                      static_cast<int>(m_secondaryImageOffsetFile));
            m_secondaryImageUpdateOnly = 0;
        }
    }
    if (m_secondaryImageUpdateOnly != 0)
    {
        // The new tail must fit between the device's offset and the end of
        // the flash; otherwise the whole image goes in.
        const std::uint32_t flashSize = CAV7300CommonHelper::kFlashParts[m_flashPart].size;
        const std::uint32_t tail = imageSize - m_secondaryImageOffsetFile;
        if (m_secondaryImageOffset >= flashSize || tail > flashSize - m_secondaryImageOffset)
        {
            LogPrintf("Secondary image does not fit the device at [%d]. Do full update\n",
                      static_cast<int>(m_secondaryImageOffset));
            m_secondaryImageUpdateOnly = 0;
        }
    }
    LogPrintf("m_secondaryImageUpdateOnly [%d] m_secondaryImageOffset[%d]\n", m_secondaryImageUpdateOnly,
              static_cast<int>(m_secondaryImageOffset));

    if (m_secondaryImageUpdateOnly == 0)
    {
        if (m_chipRevision == 1)
        {
            m_ramBaseWrite = kRomLoaderBuffer[1];
            m_blockSizeWrite = 256;
            m_romLoaderWrite = 1;
        }
        else
        {
            m_ramBaseWrite = kRamBuffer[0];
            m_blockSizeWrite = 64;
            m_romLoaderWrite = 0;
        }
        m_baseOffsetWrite = 0;
        m_flashWriteBase = 0;
        m_uploadChainEnd = chainEnd;
        return CFirmwareUpgrade::PrepareUploadFirmwareImage(imageSize, pImage, pUploadSize, ppUpload);
    }
    m_ramBaseWrite = kRamBuffer[m_chipRevision];
    m_blockSizeWrite = 64;
    m_romLoaderWrite = 0;
    m_baseOffsetWrite = 0;
    m_flashWriteBase = m_secondaryImageOffset;
    const std::uint32_t size = imageSize - m_secondaryImageOffsetFile;
    m_uploadChainEnd = chainEnd - m_secondaryImageOffsetFile;
    auto* upload = new (std::nothrow) std::uint8_t[size];
    if (upload == nullptr)
        return HR_FAIL;
    std::memcpy(upload, pImage + m_secondaryImageOffsetFile, size);
    LogPrintf("Upload Image Header [%02x %02x %02x %02x]\n", upload[0], size > 1 ? upload[1] : 0,
              size > 2 ? upload[2] : 0, size > 3 ? upload[3] : 0);
    *pUploadSize = size;
    *ppUpload = upload;
    return HR_OK;
}

HResult CFirmwareUpgradeAV7300::InitFirmwareUpgrade(std::uint32_t uploadSize)
{
    LogPrintf("CFirmwareUpgradeAV7300::InitFirmwareUpgrade\n");
    if (m_initialized != 0)
    {
        LogPrintf("CFirmwareUpgradeAV7300::InitFirmwareUpgrade - already initialized\n");
        return HR_OK;
    }
    bool success = true;
    // The upload must fit the memory behind its base: a part wraps an
    // address beyond its end onto its own beginning.
    const std::uint32_t flashSize =
        m_flashPart < CAV7300CommonHelper::kPartRows ? CAV7300CommonHelper::kFlashParts[m_flashPart].size : 0;
    if (m_flashPart == 0 || m_flashWriteBase > flashSize || uploadSize > flashSize - m_flashWriteBase)
    {
        LogPrintf("CFirmwareUpgradeAV7300::InitFirmwareUpgrade - [%d] bytes at [%d] do not fit part[%d] of [%d] "
                  "bytes\n",
                  static_cast<int>(uploadSize), static_cast<int>(m_flashWriteBase), static_cast<int>(m_flashPart),
                  static_cast<int>(flashSize));
        return kUpgradeFailed;
    }
    // The erase reaches the header that follows the chain too, so that the
    // chain in the memory ends where the image's does and never runs on into
    // files of the old image.
    std::uint32_t eraseLength = uploadSize;
    if (m_uploadChainEnd >= uploadSize)
        eraseLength = std::min<std::uint64_t>(static_cast<std::uint64_t>(m_uploadChainEnd) + 4,
                                              flashSize - m_flashWriteBase);
    const bool sst = m_flashPart == CAV7300CommonHelper::kPartSST25VF512A;
    if (sst)
    {
        if (m_defaultImage == 0)
            success = EnterFirmwareUpgradeMode();
        success = success && EnableWriteFlashSST25VF512A();
    }
    if (success)
    {
        LogPrintf("************* ERASE START ******************\n");
        success = sst ? EraseFlashSST25VF512A(eraseLength) : EraseFlash(eraseLength);
        LogPrintf("************* ERASE END ******************\n");
        LogPrintf("CFirmwareUpgradeAV7300::InitFirmwareUpgrade - EraseFlash[%d]\n", success ? 1 : 0);
    }
    if (success && m_defaultImage != 0)
    {
        success = EnterFirmwareUpgradeMode();
        LogPrintf("CFirmwareUpgradeAV7300::InitFirmwareUpgrade - EnterFirmwareUpgradeMode[%d]\n", success ? 1 : 0);
    }
    if (success)
    {
        success = SetupFlashParameters();
        LogPrintf("CFirmwareUpgradeAV7300::InitFirmwareUpgrade - Setup[%d]\n", success ? 1 : 0);
    }
    if (success && m_partFromImage != 0 && m_flashWriteBase == 0)
        success = ProveEraseGeometry();
    if (success)
    {
        // What made the memory boot (the image header, or the secondary
        // image's file header) must be gone before anything of the image goes
        // in: a cell that kept its value would boot whatever part of it an
        // interrupted upgrade left.
        std::uint8_t erased[kPieceSize];
        std::memset(erased, 0xFF, sizeof erased);
        success = VerifyFlash(m_flashWriteBase, erased, kPieceSize);
        if (!success)
            LogPrintf("CFirmwareUpgradeAV7300::InitFirmwareUpgrade - the first block at [%08x] did not erase\n",
                      static_cast<unsigned>(m_flashWriteBase));
    }
    if (success && m_flashWriteBase == 0 && m_memtype == 0 && m_partFromImage == 0 && uploadSize >= 2)
    {
        // The memory names its part again from now on: the header's geometry
        // goes in at once, its checksum (and so a header the boot ROM takes)
        // only at the end. An upgrade interrupted from here leaves a chip on
        // its ROM that still tells which part it carries.
        std::uint8_t header[3];
        CAV7300CommonHelper::ExpectedHeader(m_flashPart, header);
        if (static_cast<std::uint8_t>(header[0] + header[1]) != 0)
        {
            std::vector<std::uint8_t> block(m_blockSizeWrite == 0 ? 1 : m_blockSizeWrite, 0xFF);
            block[0] = header[0];
            if (block.size() > 1)
                block[1] = header[1];
            const std::uint32_t n = static_cast<std::uint32_t>(block.size());
            success = SendBlockToRAM(0, m_ramBaseWrite, n, block.data()) && WriteFlash(0, m_ramBaseWrite, n) &&
                      WaitUntilDone();
            LogPrintf("CFirmwareUpgradeAV7300::InitFirmwareUpgrade - part geometry [%02x %02x] written[%d]\n",
                      header[0], header[1], success ? 1 : 0);
        }
    }
    if (success)
    {
        m_firmwareImageLength = uploadSize;
        m_expected.assign(uploadSize, 0xFF);
        m_headerCache.reset(new (std::nothrow) std::uint8_t[m_blockSizeWrite == 0 ? 1 : m_blockSizeWrite]);
        m_headerCacheLength = 0;
        success = m_headerCache != nullptr;
        m_offsetWrite = 0;
        m_blockSendIndex = 0;
        // Every upgrade holds its first block (the image header) back, not
        // only the object's first: an interrupted second upgrade must not
        // leave a valid header in front of a half-written image.
        m_cacheFirstBlock = 1;
        m_initialized = success ? 1 : 0;
    }
    LogPrintf("CFirmwareUpgradeAV7300::InitFirmwareUpgrade - success[%s]\n", TrueFalse(success));
    LogPrintf("CFirmwareUpgradeAV7300::InitFirmwareUpgrade - m_blockSizeWrite[%d]\n", static_cast<int>(m_blockSizeWrite));
    return success ? HR_OK : kUpgradeFailed;
}

bool CFirmwareUpgradeAV7300::WriteOneBlock(const std::uint8_t* block, std::uint32_t size)
{
    LogPrintf("CFirmwareUpgradeAV7300::FirmwareUpgradeWrite - m_offsetWrite[%d] sizeBuffer[%d]\n",
              static_cast<int>(m_offsetWrite), static_cast<int>(size));
    bool success = false;
    if (m_offsetWrite < m_expected.size())
        std::memcpy(m_expected.data() + m_offsetWrite, block,
                    std::min<std::size_t>(size, m_expected.size() - m_offsetWrite));
    if (m_cacheFirstBlock != 0)
    {
        m_cacheFirstBlock = 0;
        if (m_headerCache && size <= (m_blockSizeWrite == 0 ? 1 : m_blockSizeWrite))
        {
            std::memcpy(m_headerCache.get(), block, size);
            m_headerCacheLength = size;
            m_offsetWrite += size;
            success = true;
        }
    }
    else if (m_offsetWrite < m_firmwareImageLength)
    {
        const std::uint32_t address = m_flashWriteBase + m_baseOffsetWrite + m_offsetWrite;
        if (m_memtype == 0)
            LogPrintf("Flash Write - maxChunk[%d] to offset[0x%04x]\n", static_cast<int>(size),
                      static_cast<unsigned>(address));
        else
            LogPrintf("EEPROM Write - sizeBuffer[%d] to offset[0x%04x]\n", static_cast<int>(size),
                      static_cast<unsigned>(address));
        // The write is not answered: it counts once the chip is done with it
        // (the end of the upgrade reads it back).
        success = SendBlockToRAM(address, m_ramBaseWrite, size, block) &&
                  WriteFlash(address, m_ramBaseWrite, size) && WaitUntilDone();
        if (success)
        {
            if (m_memtype == 0)
                LogPrintf("Write OK\n");
            m_offsetWrite += size;
        }
    }
    LogPrintf("CFirmwareUpgradeAV7300::FirmwareUpgradeWrite - offset[%d] success[%s]\n", static_cast<int>(m_offsetWrite),
              TrueFalse(success));
    return success;
}

bool CFirmwareUpgradeAV7300::FirmwareUpgradeWrite(const std::uint8_t* buffer, std::uint32_t size)
{
    if (buffer == nullptr || size == 0 || m_initialized == 0)
        return false;
    // The upgrade run hands over the whole upload at once: it goes to the
    // chip block by block, as the chip's RAM buffer takes it.
    const std::uint32_t blockSize = m_blockSizeWrite == 0 ? 1 : m_blockSizeWrite;
    for (std::uint32_t done = 0; done < size;)
    {
        const std::uint32_t n = std::min(blockSize, size - done);
        if (!WriteOneBlock(buffer + done, n))
            return false;
        done += n;
        if (m_pFlashDlg != nullptr && !m_pFlashDlg->IsSilentMode())
            m_pFlashDlg->StepProgress();
    }
    return true;
}

bool CFirmwareUpgradeAV7300::FirmwareValidatePacket(const std::uint8_t*, std::uint16_t)
{
    LogPrintf("CFirmwareUpgradeAV7300::FirmwareValidatePacket\n");
    return false;
}

bool CFirmwareUpgradeAV7300::EndFirmwareUpgrade()
{
    LogPrintf("CFirmwareUpgradeAV7300::EndFirmwareUpgrade\n");
    if (m_initialized == 0)
    {
        LogPrintf("CFirmwareUpgradeAV7300::EndFirmwareUpgrade - was not initialized\n");
        return false;
    }
    bool success = false;
    if (m_offsetWrite == m_firmwareImageLength && m_expected.size() == m_firmwareImageLength)
    {
        const std::uint32_t base = m_flashWriteBase + m_baseOffsetWrite;
        const std::uint32_t held = std::min(m_headerCacheLength, m_firmwareImageLength);
        // Everything but the held-back block must be in the memory before the
        // header makes it bootable.
        success = VerifyFlash(base + held, m_expected.data() + held, m_firmwareImageLength - held);
        if (success && m_partFromImage != 0 && base == 0)
            success = ProveMemorySize();
        // An EEPROM needs its header as much as a flash does: the held-back
        // first block goes in last on both.
        if (success && m_headerCacheLength != 0)
        {
            const std::uint8_t* h = m_headerCache.get();
            LogPrintf("CFirmwareUpgradeAV7300::EndFirmwareUpgrade - Cached Header [%02x %02x %02x %02x %02x]\n", h[0],
                      m_headerCacheLength > 1 ? h[1] : 0, m_headerCacheLength > 2 ? h[2] : 0,
                      m_headerCacheLength > 3 ? h[3] : 0, m_headerCacheLength > 4 ? h[4] : 0);
            m_offsetWrite = 0;
            success = WriteOneBlock(h, m_headerCacheLength) && VerifyFlash(base, m_expected.data(), held);
            // Every byte of the upload is in place now.
            m_offsetWrite = m_firmwareImageLength;
        }
        if (success && base != 0)
            success = CheckDeviceChain();
    }
    m_initialized = 0;
    LogPrintf("CFirmwareUpgradeAV7300::EndFirmwareUpgrade - success[%s]\n", TrueFalse(success));
    return success;
}

bool CFirmwareUpgradeAV7300::CheckDeviceChain()
{
    // The whole chain from the image header on, as the device walks it: a
    // head that an erase took, or a chain that does not lead to what was
    // written, is no update.
    const std::uint32_t base = m_flashWriteBase + m_baseOffsetWrite;
    std::uint32_t at = 0;
    bool ok = m_helper && m_helper->FindFileInDeviceFWImage(CAV7300CommonHelper::kFileIdSecondary, &at) &&
              at == base;
    if (ok && m_uploadVersionFile != CAV7300CommonHelper::kNoFreeSector)
        ok = m_helper->FindFileInDeviceFWImage(CAV7300CommonHelper::kFileIdVersion, &at) &&
             at == base + m_uploadVersionFile;
    if (!ok)
        LogPrintf("CFirmwareUpgradeAV7300::EndFirmwareUpgrade - the device's chain does not reach what was written "
                  "at [%08x] (found [%08x])\n",
                  static_cast<unsigned>(base), static_cast<unsigned>(at));
    return ok;
}

HResult CFirmwareUpgradeAV7300::ResetFirmware()
{
    LogPrintf("CFirmwareUpgradeAV7300::ResetFirmware\n");
    std::memset(m_report, 0, sizeof(m_report));
    const std::uint8_t cmd[] = {kCommandReport, 2, 0, 0x05};
    std::memcpy(m_report, cmd, sizeof(cmd));
    return SendReport(kCommandReportSize) ? HR_OK : HR_FAIL;
}
