#include "avnera/FirmwareUpgradeAV7201.h"

#include <algorithm>
#include <cstring>
#include <cwchar>
#include <new>
#include <vector>

#include "app/DiagnosticLog.h"
#include "avnera/AvneraImageFiles.h"
#include "platform/Clock.h"
#include "usb/HidLookup.h"

namespace
{
constexpr std::uint8_t kReportId = 0xFF;
constexpr int kTries = 10;
constexpr std::uint32_t kRetryMs = 10;
constexpr std::uint16_t kUsagePage = 0xFF00;
constexpr std::uint16_t kUsage = 0x0001;
constexpr std::uint32_t kEepromAddressSpace = 0x10000;

const char* TrueFalse(bool value)
{
    return value ? "TRUE" : "FALSE";
}

std::string NarrowPath(const std::wstring& path)
{
    std::string out;
    for (wchar_t c : path)
        out += (c > 0 && c < 0x80) ? static_cast<char>(c) : '?';
    return out;
}
} // namespace

CFirmwareUpgradeAV7201::CFirmwareUpgradeAV7201(SAvneraUpgradeEnvironment environment) : m_env(std::move(environment))
{
    LogPrintf("CFirmwareUpgradeAV7201::CFirmwareUpgradeAV7201\n");
    ConstructInit();
}

void CFirmwareUpgradeAV7201::ConstructInit()
{
    LogPrintf("CFirmwareUpgradeAV7201::ConstructInit\n");
    m_hidHandle.reset();
    m_defaultImage = 0;
    std::memset(m_headerCache, 0, sizeof m_headerCache);
    m_offsetWrite = 0;
    m_validationOffset = 0;
    m_initialized = 0;
    m_firmwareImageLength = 0;
    m_typeMCU = 6;
    m_versionCheckMethod = 1;
    // What was written is read back: an EEPROM byte that did not take must
    // fail the upgrade rather than leave a headset that does not boot.
    m_validationRequired = true;
}

CFirmwareUpgradeAV7201::~CFirmwareUpgradeAV7201()
{
    LogPrintf("CFirmwareUpgradeAV7201::~CFirmwareUpgradeAV7201\n");
    OrvoHID_CloseHIDHandle(m_hidHandle);
}

HResult CFirmwareUpgradeAV7201::Init(std::uint32_t, std::uint32_t)
{
    HResult hr = HR_FAIL;
    std::wstring path;
    if (m_env.hid != nullptr)
    {
        hr = OrvoHID_GetHIDHandleByUsage(*m_env.hid, kVendorId, kProductId, kUsagePage, kUsage, 0, &m_hidHandle,
                                         &path);
        if (hr != HR_OK)
        {
            hr = OrvoHID_GetHIDHandleByUsage(*m_env.hid, kDefaultImageVendorId, kDefaultImageProductId, kUsagePage,
                                             kUsage, 0, &m_hidHandle, &path);
            if (hr == HR_OK)
                m_defaultImage = 1;
        }
    }
    if (hr == HR_OK)
    {
        m_wVendorID = kVendorId;
        m_wProductID = kProductId;
        SetDevicePath(NarrowPath(path).c_str());
        SHidCaps caps;
        if (m_hidHandle->GetCaps(caps) == EHidResult::Ok && caps.featureReportByteLength >= kReportLength)
            m_featureLength = caps.featureReportByteLength;
    }
    LogPrintf("CFirmwareUpgradeAV7201::Init - hRes[%08x]\n", static_cast<unsigned>(hr));
    return hr;
}

HResult CFirmwareUpgradeAV7201::PrepareFirmwareImage(std::uint32_t rawImageSize, const std::uint8_t* pRawImage,
                                                     std::uint32_t* pImageSize, std::uint8_t** ppImage)
{
    LogPrintf("CFirmwareUpgradeAV7201::PrepareFirmwareImage - rawImageSize[%d]\n", static_cast<int>(rawImageSize));
    HResult hr = avnera::ConvertRcfImage(rawImageSize, pRawImage, pImageSize, ppImage);
    std::string problem;
    if (hr == HR_OK && !avnera::CheckAV7201Image(*ppImage, *pImageSize, EepromSize(), &problem))
    {
        // Refused as a whole: nothing is written for an image that is cut
        // short, corrupt or larger than the EEPROM.
        LogPrintf("CFirmwareUpgradeAV7201::PrepareFirmwareImage - Incorrect Image - %s\n", problem.c_str());
        delete[] *ppImage;
        *ppImage = nullptr;
        *pImageSize = 0;
        hr = HR_INVALIDARG;
    }
    LogPrintf("CFirmwareUpgradeAV7201::PrepareFirmwareImage - ImageSize[%d] hRes[%08x]\n",
              hr == HR_OK ? static_cast<int>(*pImageSize) : 0, static_cast<unsigned>(hr));
    return hr;
}

std::int32_t CFirmwareUpgradeAV7201::CompareFirmwareVersion(std::string currentVersion, std::string newVersion)
{
    if (m_defaultImage != 0)
    {
        LogPrintf("Version Check Result [%s]\n", VersionCheckName(CURR_VERSION_CHECK_OLDER));
        return CURR_VERSION_CHECK_OLDER;
    }
    return CFirmwareUpgrade::CompareFirmwareVersion(std::move(currentVersion), std::move(newVersion));
}

HResult CFirmwareUpgradeAV7201::GetProductName(wchar_t* buffer, std::uint32_t size)
{
    const std::size_t chars = size / sizeof(wchar_t);
    if (buffer == nullptr || chars == 0 || !m_hidHandle)
        return HR_FAIL;
    std::wstring name;
    if (m_defaultImage != 0)
        name = kDefaultImageProductName;
    else if (m_hidHandle->GetProductString(name) != EHidResult::Ok)
        return HR_FAIL;
    const std::size_t n = std::min(name.size(), chars - 1);
    std::wmemcpy(buffer, name.data(), n);
    buffer[n] = L'\0';
    return HR_OK;
}

std::uint32_t CFirmwareUpgradeAV7201::GetPacketSize()
{
    return kBlockSize;
}

bool CFirmwareUpgradeAV7201::GetDeviceFWVersionString(std::string* version)
{
    std::uint32_t size = 0;
    std::uint8_t* content = nullptr;
    avnera::SAV7201FirmwareInfo info;
    const bool found = GetFileFromFWImage(avnera::kAV7201FirmwareInfoType, 0, &size, &content);
    const bool decoded = found && avnera::DecodeAV7201FirmwareInfo(content, size, &info);
    delete[] content;
    if (version == nullptr)
        return false;
    version->clear();
    if (decoded)
        *version = avnera::FormatAV7201Version(info);
    LogPrintf("CFirmwareUpgradeAV7201::GetDeviceFWVersionString - [%s]\n", version->c_str());
    return true;
}

bool CFirmwareUpgradeAV7201::GetCombinedFWVersionString(std::string*)
{
    return false;
}

bool CFirmwareUpgradeAV7201::GetFWFileVersionString(std::uint32_t imageSize, const std::uint8_t* pImage,
                                                    std::string* version)
{
    // The image has the EEPROM's layout: its firmware-information file gives
    // the version the headset will report after the upgrade.
    const std::uint8_t* content = nullptr;
    std::uint32_t size = 0;
    avnera::SAV7201FirmwareInfo info;
    if (version == nullptr ||
        !avnera::FindAV7201FileInImage(avnera::kAV7201FirmwareInfoType, 0, imageSize, pImage, &content, &size) ||
        !avnera::DecodeAV7201FirmwareInfo(content, size, &info))
    {
        LogPrintf("CFirmwareUpgradeAV7201::GetFWFileVersionString - no firmware information in the image\n");
        return false;
    }
    *version = avnera::FormatAV7201Version(info);
    LogPrintf("CFirmwareUpgradeAV7201::GetFWFileVersionString - [%s]\n", version->c_str());
    return true;
}

HResult CFirmwareUpgradeAV7201::PrepareUploadFirmwareImage(std::uint32_t imageSize, const std::uint8_t* pImage,
                                                           std::uint32_t* pUploadSize, std::uint8_t** ppUpload)
{
    std::string problem;
    if (pImage != nullptr && imageSize != 0 && !avnera::CheckAV7201Image(pImage, imageSize, EepromSize(), &problem))
    {
        LogPrintf("CFirmwareUpgradeAV7201::PrepareUploadFirmwareImage - Incorrect Image - %s\n", problem.c_str());
        return HR_INVALIDARG;
    }
    return CFirmwareUpgrade::PrepareUploadFirmwareImage(imageSize, pImage, pUploadSize, ppUpload);
}

std::uint32_t CFirmwareUpgradeAV7201::EepromSize()
{
    if (m_eepromSize != 0)
        return m_eepromSize;
    // An EEPROM decodes only its own address bits: its first bytes (the
    // chip's configuration) show again at its size.
    std::uint8_t first[kReadBackCount] = {};
    std::uint32_t size = 0;
    if (ReadEEPROM(0, first, kReadBackCount) &&
        std::count(first, first + kReadBackCount, first[0]) != static_cast<std::ptrdiff_t>(kReadBackCount))
    {
        size = kEepromAddressSpace;
        for (std::uint32_t candidate = 0x800; candidate < kEepromAddressSpace; candidate <<= 1)
        {
            std::uint8_t there[kReadBackCount] = {};
            if (!ReadEEPROM(candidate, there, kReadBackCount))
            {
                size = 0;
                break;
            }
            if (std::memcmp(first, there, kReadBackCount) == 0)
            {
                size = candidate;
                break;
            }
        }
    }
    if (size == 0)
    {
        // Not learnt (asked again next time): the headset's own EEPROM.
        LogPrintf("CFirmwareUpgradeAV7201::EepromSize - the EEPROM tells nothing: [%d] assumed\n",
                  static_cast<int>(kDefaultEepromSize));
        return kDefaultEepromSize;
    }
    m_eepromSize = size;
    LogPrintf("CFirmwareUpgradeAV7201::EepromSize - [%d]\n", static_cast<int>(m_eepromSize));
    return m_eepromSize;
}

bool CFirmwareUpgradeAV7201::ReadBack(std::uint32_t offset, std::uint32_t count)
{
    std::uint8_t back[kReadBackCount];
    for (std::uint32_t done = 0; done < count;)
    {
        const std::uint32_t n = std::min(kReadBackCount, count - done);
        if (!ReadEEPROM(offset + done, back, n))
            return false;
        for (std::uint32_t i = 0; i < n; ++i)
        {
            if (back[i] != m_expected[offset + done + i])
            {
                LogPrintf("Image Differ at offset[%d]. Image[%02X] Readback[%02X]\n",
                          static_cast<int>(offset + done + i), m_expected[offset + done + i], back[i]);
                return false;
            }
        }
        done += n;
    }
    return true;
}

HResult CFirmwareUpgradeAV7201::InitFirmwareUpgrade(std::uint32_t uploadSize)
{
    if (m_initialized != 0)
        return HR_OK;
    if (uploadSize > EepromSize())
    {
        LogPrintf("CFirmwareUpgradeAV7201::InitFirmwareUpgrade - [%d] bytes do not fit the EEPROM's [%d]\n",
                  static_cast<int>(uploadSize), static_cast<int>(EepromSize()));
        return kUpgradeFailed;
    }
    // The header goes first: until the last write brings the new one the
    // headset boots its default image. That holds only once the zeros are
    // in the EEPROM; a header that keeps its old bytes would boot whatever
    // half of the image an interrupted upgrade left.
    // A header that does not take them is put back as it was: the headset
    // is left as it came.
    const std::uint8_t zeros[4] = {0, 0, 0, 0};
    std::uint8_t before[4] = {0, 0, 0, 0};
    std::uint8_t back[4] = {0xFF, 0xFF, 0xFF, 0xFF};
    bool ok = ReadEEPROM(kHeaderOffset, before, sizeof before) && WriteEEPROM(kHeaderOffset, zeros, sizeof zeros) &&
              ReadEEPROM(kHeaderOffset, back, sizeof back);
    if (ok && std::memcmp(back, zeros, sizeof zeros) != 0)
    {
        LogPrintf("CFirmwareUpgradeAV7201::InitFirmwareUpgrade - the header at 0x80 keeps [%02X %02X %02X %02X]: "
                  "nothing is written, the header [%02X %02X %02X %02X] goes back\n",
                  back[0], back[1], back[2], back[3], before[0], before[1], before[2], before[3]);
        WriteEEPROM(kHeaderOffset, before, sizeof before);
        ok = false;
    }
    m_offsetWrite = 0;
    m_validationOffset = 0;
    if (ok)
    {
        m_firmwareImageLength = uploadSize;
        m_expected.assign(uploadSize, 0xFF);
        m_initialized = 1;
    }
    LogPrintf("CFirmwareUpgradeAV7201::InitFirmwareUpgrade - success[%s]\n", TrueFalse(ok));
    return ok ? HR_OK : kUpgradeFailed;
}

bool CFirmwareUpgradeAV7201::FirmwareUpgradeWrite(const std::uint8_t* buffer, std::uint32_t size)
{
    if (m_initialized == 0 || buffer == nullptr)
    {
        LogPrintf("CFirmwareUpgradeAV7201::FirmwareUpgradeWrite - was not initialized\n");
        return false;
    }
    // The upgrade run hands over the whole upload at once: it goes to the
    // EEPROM in the blocks of 4 bytes the chip takes, each at its own offset.
    std::uint32_t done = 0;
    while (done < size)
    {
        const std::uint32_t inBlock = kBlockSize - m_offsetWrite % kBlockSize;
        const std::uint32_t piece = std::min(inBlock, size - done);
        if (!WritePiece(buffer + done, piece))
            return false;
        done += piece;
        // One progress step per block, as the upgrade run counts them.
        if (m_pFlashDlg != nullptr && size > kBlockSize && !m_pFlashDlg->IsSilentMode() &&
            (m_offsetWrite % kBlockSize == 0 || done == size))
            m_pFlashDlg->StepProgress();
    }
    return true;
}

bool CFirmwareUpgradeAV7201::WritePiece(const std::uint8_t* data, std::uint32_t size)
{
    const std::uint32_t offset = m_offsetWrite;
    bool ok = true;
    if (offset < m_expected.size())
        std::memcpy(m_expected.data() + offset, data, std::min<std::size_t>(size, m_expected.size() - offset));
    if (offset + size <= kHeaderOffset)
    {
        // The chip's configuration stays as it is.
    }
    else if (offset >= kHeaderOffset && offset < kHeaderOffset + sizeof m_headerCache)
    {
        // Held back: the header goes last.
        const std::uint32_t at = offset - kHeaderOffset;
        std::memcpy(m_headerCache + at, data, std::min<std::uint32_t>(size, sizeof m_headerCache - at));
    }
    else
    {
        ok = WriteEEPROM(offset, data, size);
    }
    if (ok)
        m_offsetWrite += size;
    LogPrintf("CFirmwareUpgradeAV7201::FirmwareUpgradeWrite - offset[%d] success[%s]\n", static_cast<int>(offset),
              TrueFalse(ok));
    return ok;
}

bool CFirmwareUpgradeAV7201::EndFirmwareUpgrade()
{
    if (m_initialized == 0)
    {
        LogPrintf("CFirmwareUpgradeAV7201::EndFirmwareUpgrade - was not initialized\n");
        return false;
    }
    if (m_offsetWrite != m_firmwareImageLength)
    {
        m_initialized = 0;
        LogPrintf("CFirmwareUpgradeAV7201::EndFirmwareUpgrade - offset[%d] length[%d] success[FALSE]\n",
                  static_cast<int>(m_offsetWrite), static_cast<int>(m_firmwareImageLength));
        return false;
    }
    // Everything behind the header must be in the EEPROM before the header
    // makes the image the one the chip runs; the header is read back too.
    // An image too short to reach the header has none to write.
    const std::uint32_t behind = kHeaderOffset + sizeof m_headerCache;
    bool ok = m_expected.size() == m_firmwareImageLength;
    if (ok && m_firmwareImageLength > behind)
        ok = ReadBack(behind, m_firmwareImageLength - behind);
    if (ok && m_firmwareImageLength > kHeaderOffset)
    {
        const std::uint32_t n = std::min<std::uint32_t>(sizeof m_headerCache, m_firmwareImageLength - kHeaderOffset);
        ok = WriteEEPROM(kHeaderOffset, m_headerCache, n) && ReadBack(kHeaderOffset, n);
    }
    if (ok)
        m_initialized = 0;
    LogPrintf("CFirmwareUpgradeAV7201::EndFirmwareUpgrade - success[%s]\n", TrueFalse(ok));
    return ok;
}

bool CFirmwareUpgradeAV7201::FirmwareValidatePacket(const std::uint8_t* block, std::uint16_t length)
{
    if (block == nullptr)
        return false;
    const std::uint32_t offset = m_validationOffset;
    bool ok = true;
    if (offset >= kHeaderOffset)
    {
        // The block's bytes, at most one block of 4 (the run's packet size).
        const std::uint32_t count = std::min<std::uint32_t>(length, kBlockSize);
        std::uint8_t readBack[kBlockSize] = {};
        ok = ReadEEPROM(offset, readBack, count);
        const bool read = ok;
        for (std::uint32_t i = 0; read && i < count; ++i)
        {
            if (readBack[i] != block[i])
            {
                LogPrintf("Image Differ at offset[%d]. Image[%02X] Readback[%02X]\n", static_cast<int>(offset + i),
                          block[i], readBack[i]);
                ok = false;
            }
        }
    }
    LogPrintf("CFirmwareUpgradeAV7201::FirmwareUpgradeWrite - offset[%d] success[%s]\n", static_cast<int>(offset),
              TrueFalse(ok));
    m_validationOffset += length;
    return ok;
}

HResult CFirmwareUpgradeAV7201::ResetFirmware()
{
    const std::uint8_t reset[] = {kReportId, 2, 0, 0x05};
    SetReport(reset, sizeof reset);
    return HR_OK;
}

std::size_t CFirmwareUpgradeAV7201::ReportLength() const
{
    return m_featureLength;
}

EHidResult CFirmwareUpgradeAV7201::SetReport(const std::uint8_t* bytes, std::size_t count)
{
    if (!m_hidHandle)
        return EHidResult::NoDevice;
    std::vector<std::uint8_t> report(ReportLength(), 0);
    std::memcpy(report.data(), bytes, std::min(count, report.size()));
    return m_hidHandle->SetFeature(report.data(), report.size());
}

EHidResult CFirmwareUpgradeAV7201::GetReport(std::uint8_t* report)
{
    if (!m_hidHandle)
        return EHidResult::NoDevice;
    std::memset(report, 0, ReportLength());
    report[0] = kReportId;
    return m_hidHandle->GetFeature(report, ReportLength());
}

bool CFirmwareUpgradeAV7201::ReadEEPROM(std::uint32_t offset, std::uint8_t* buffer, std::uint32_t count)
{
    if (count > kMaxEepromCount)
    {
        LogPrintf("AvneraReadDevEEPROM :: count is too big\n");
        return false;
    }
    if (buffer == nullptr)
        return false;
    const std::uint8_t request[] = {kReportId, 9, 0, 0xFD, 4, 3, 4, 0xA1, static_cast<std::uint8_t>(count | 0xA0),
                                    static_cast<std::uint8_t>(offset >> 8), static_cast<std::uint8_t>(offset)};
    std::vector<std::uint8_t> answer(ReportLength(), 0);
    bool ok = false;
    for (int attempt = 0; attempt < kTries && !ok; ++attempt)
    {
        if (attempt > 0)
            CClock::Sleep(kRetryMs);
        EHidResult result = SetReport(request, sizeof request);
        if (result == EHidResult::Ok)
            result = GetReport(answer.data());
        ok = result == EHidResult::Ok && answer[1] == count + 9 && answer[3] == 0xFE && answer[4] == 3 &&
             11 + count <= answer.size();
        if (ok)
            std::memcpy(buffer, answer.data() + 11, count);
        else
            LogPrintf("!! CFirmwareUpgradeAV7201::ReadEEPROM :: try[%d] error[%d] offset[%d] count[%d] success[%s]\n",
                      attempt, static_cast<int>(result), static_cast<int>(offset), static_cast<int>(count),
                      TrueFalse(false));
        if (result == EHidResult::NoDevice)
            break; // gone: no try can reach it
    }
    LogPrintf("CFirmwareUpgradeAV7201::ReadEEPROM :: offset[%d] count[%d] success[%s]\n", static_cast<int>(offset),
              static_cast<int>(count), TrueFalse(ok));
    return ok;
}

bool CFirmwareUpgradeAV7201::WriteEEPROM(std::uint32_t offset, const std::uint8_t* data, std::uint32_t count)
{
    if (count > kMaxEepromCount)
    {
        LogPrintf("CFirmwareUpgradeAV7201::WriteEEPROM :: count is too big\n");
        return false;
    }
    if (data == nullptr && count != 0)
        return false;
    std::vector<std::uint8_t> request = {kReportId,
                                         9,
                                         0,
                                         0xFF,
                                         4,
                                         3,
                                         static_cast<std::uint8_t>(count + 4),
                                         0xA0,
                                         static_cast<std::uint8_t>(count | 0xA0),
                                         static_cast<std::uint8_t>(offset >> 8),
                                         static_cast<std::uint8_t>(offset)};
    request.insert(request.end(), data, data + count);
    bool ok = false;
    for (int attempt = 0; attempt < kTries && !ok; ++attempt)
    {
        if (attempt > 0)
            CClock::Sleep(kRetryMs);
        const EHidResult result = SetReport(request.data(), request.size());
        ok = result == EHidResult::Ok;
        if (!ok)
            LogPrintf("!! CFirmwareUpgradeAV7201::WriteEEPROM :: try[%d] error[%d] offset[%d] count[%d] success[%s]\n",
                      attempt, static_cast<int>(result), static_cast<int>(offset), static_cast<int>(count),
                      TrueFalse(false));
        if (result == EHidResult::NoDevice)
            break;
    }
    LogPrintf("CFirmwareUpgradeAV7201::WriteEEPROM :: offset[%d] count[%d] success[%s]\n", static_cast<int>(offset),
              static_cast<int>(count), TrueFalse(ok));
    return ok;
}

bool CFirmwareUpgradeAV7201::GetFileFromFWImage(std::uint8_t type, std::uint32_t index, std::uint32_t* pSize,
                                                std::uint8_t** ppContent)
{
    if (pSize == nullptr || ppContent == nullptr)
        return false;
    *pSize = 0;
    *ppContent = nullptr;
    bool found = false;
    std::uint8_t header[4] = {};
    if (ReadEEPROM(kHeaderOffset, header, sizeof header))
    {
        const std::uint32_t files = header[1];
        LogPrintf("CFirmwareUpgradeAV7201::GetFileFromFWImage - File Header [%02X %02X %02X %02X] - Total Files[%d]\n",
                  header[0], header[1], header[2], header[3], static_cast<int>(files));
        std::uint32_t offset = avnera::kAV7201FirstFileOffset;
        std::uint32_t matches = 0;
        for (std::uint32_t file = 0; file < files; ++file)
        {
            std::uint8_t fileHeader[4] = {};
            // EEPROM offsets are 16 bits: a chain that reaches the end ends there.
            if (offset + sizeof fileHeader > kEepromAddressSpace)
                break;
            if (!ReadEEPROM(offset, fileHeader, sizeof fileHeader))
            {
                LogPrintf("Error reading EEPROM!!\n");
                break;
            }
            const std::uint32_t size = static_cast<std::uint32_t>(fileHeader[0] | fileHeader[1] << 8);
            LogPrintf("File[%d]] offset[%d] File Header [%02X %02X %02X %02X]\n", static_cast<int>(file + 2),
                      static_cast<int>(offset), fileHeader[0], fileHeader[1], fileHeader[2], fileHeader[3]);
            LogPrintf("File Size [%d] File Type [%02X]\n", static_cast<int>(size), fileHeader[2]);
            // A size that does not cover its own header, or a file that runs
            // past what the 16-bit EEPROM address reaches, ends the walk.
            if (size < avnera::kAV7201FileHeaderSize || offset + size > kEepromAddressSpace)
                break;
            if (fileHeader[2] == type)
            {
                LogPrintf("File Type Found!! at File[%d]\n", static_cast<int>(file + 2));
                if (matches++ == index)
                {
                    LogPrintf("File Counter Match!! File Found!!\n");
                    const std::uint32_t contentSize = size - avnera::kAV7201FileHeaderSize;
                    std::uint8_t* content = new (std::nothrow) std::uint8_t[contentSize == 0 ? 1 : contentSize];
                    if (content == nullptr)
                        break;
                    bool read = true;
                    for (std::uint32_t at = 0; read && at < contentSize; at += kBlockSize)
                        read = ReadEEPROM(offset + avnera::kAV7201FileHeaderSize + at, content + at,
                                          std::min(kBlockSize, contentSize - at));
                    if (read)
                    {
                        *pSize = contentSize;
                        *ppContent = content;
                        found = true;
                    }
                    else
                    {
                        delete[] content;
                    }
                    break;
                }
            }
            offset += size;
        }
    }
    LogPrintf("CFirmwareUpgradeAV7201::GetFileFromFWImage - Get FileType[%02X] Index [%d] Found[%s]\n", type,
              static_cast<int>(index), TrueFalse(found));
    return found;
}

bool CFirmwareUpgradeAV7201::MemoryPeek(std::uint16_t address, std::uint8_t* buffer, std::uint32_t count)
{
    LogPrintf("CFirmwareUpgradeAV7201::MemoryPeek\n");
    if (buffer == nullptr || count == 0 || count > kMaxEepromCount)
        return false;
    const std::uint8_t request[] = {kReportId,
                                    static_cast<std::uint8_t>(count + 10),
                                    0,
                                    0xFD,
                                    4,
                                    0,
                                    0,
                                    5,
                                    0x81,
                                    static_cast<std::uint8_t>(address),
                                    static_cast<std::uint8_t>(address >> 8),
                                    static_cast<std::uint8_t>(count)};
    std::vector<std::uint8_t> answer(ReportLength(), 0);
    if (SetReport(request, sizeof request) != EHidResult::Ok || GetReport(answer.data()) != EHidResult::Ok)
        return false;
    LogPrintf("Set Feature for MemoryPeek success\n");
    LogPrintf("Response: Length[%d][%d] OpCode[%x][%x] Source[%x][%x]\n", answer[1], static_cast<int>(count + 10),
              answer[3], 0xFE, answer[4], 0);
    if (answer[1] < count + 10 || answer[3] != 0xFE || answer[4] != 0 || 11 + count > answer.size())
        return false;
    std::memcpy(buffer, answer.data() + 11, count);
    return true;
}

bool CFirmwareUpgradeAV7201::MemoryPoke(std::uint16_t address, const std::uint8_t* data, std::uint32_t count)
{
    LogPrintf("CFirmwareUpgradeAV7201::MemoryPoke\n");
    if (data == nullptr || count == 0 || count > kMaxEepromCount)
        return false;
    std::vector<std::uint8_t> request = {kReportId,
                                         static_cast<std::uint8_t>(count + 9),
                                         0,
                                         0xFD,
                                         4,
                                         0,
                                         0,
                                         static_cast<std::uint8_t>(count + 4),
                                         0x00,
                                         static_cast<std::uint8_t>(address),
                                         static_cast<std::uint8_t>(address >> 8)};
    request.insert(request.end(), data, data + count);
    std::vector<std::uint8_t> answer(ReportLength(), 0);
    if (SetReport(request.data(), request.size()) != EHidResult::Ok || GetReport(answer.data()) != EHidResult::Ok)
        return false;
    LogPrintf("Response: Length[%d][%d] OpCode[%x][%x] Source[%x][%x]\n", answer[1], static_cast<int>(count + 9),
              answer[3], 0xFE, answer[4], 0);
    return true;
}
