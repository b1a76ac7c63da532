#include "avnera/FirmwareUpgradeAV6201.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <cwchar>
#include <new>
#include <vector>

#include "app/DiagnosticLog.h"
#include "avnera/AvneraImageFiles.h"
#include "avnera/SerialMemory.h"
#include "platform/Clock.h"
#include "usb/HidLookup.h"

namespace
{
constexpr std::uint16_t kUsagePage = 0xFF00;
constexpr std::uint16_t kUsage = 0x0001;
constexpr std::uint32_t kVersionAnswerMs = 100;
constexpr std::uint32_t kMaxDevices = 10;

std::string NarrowPath(const std::wstring& path)
{
    std::string out;
    for (wchar_t c : path)
        out += (c > 0 && c < 0x80) ? static_cast<char>(c) : '?';
    return out;
}
} // namespace

CFirmwareUpgradeAV6201::CFirmwareUpgradeAV6201(SAvneraUpgradeEnvironment environment)
    : m_env(std::move(environment))
{
    LogPrintf("CFirmwareUpgradeAV6201::CFirmwareUpgradeAV6201\n");
    CFirmwareUpgradeAV6201::ConstructInit();
}

void CFirmwareUpgradeAV6201::ConstructInit()
{
    LogPrintf("CFirmwareUpgradeAV6201::ConstructInit\n");
    m_hidHandle.reset();
    m_initialized = 0;
    m_blockSizeWrite = 1024;
    m_avHandle = nullptr;
    m_imageCopy.reset();
    m_imageCopySize = 0;
    m_partRow = kPartRowAV6201;
    m_offsetWrite = 0;
    m_typeMCU = 18;
}

CFirmwareUpgradeAV6302::CFirmwareUpgradeAV6302(SAvneraUpgradeEnvironment environment)
    : CFirmwareUpgradeAV6201(std::move(environment))
{
    LogPrintf("CFirmwareUpgradeAV6302::CFirmwareUpgradeAV6302\n");
    CFirmwareUpgradeAV6302::ConstructInit();
}

void CFirmwareUpgradeAV6302::ConstructInit()
{
    CFirmwareUpgradeAV6201::ConstructInit();
    LogPrintf("CFirmwareUpgradeAV6302::ConstructInit\n");
    m_partRow = kPartRowAV6302;
    m_typeMCU = 19;
}

CFirmwareUpgradeAV6201::~CFirmwareUpgradeAV6201()
{
    LogPrintf("CFirmwareUpgradeAV6201::~CFirmwareUpgradeAV6201\n");
    OrvoHID_CloseHIDHandle(m_hidHandle);
    if (m_avHandle != nullptr)
        AvDllCloseHandle(m_avHandle);
    m_avHandle = nullptr;
}

HResult CFirmwareUpgradeAV6201::Init(std::uint32_t, std::uint32_t)
{
    HResult hr = HR_FAIL;
    std::wstring path;
    std::uint16_t vendorId = kVendorId;
    std::uint16_t productId = kProductId;
    if (m_env.hid != nullptr)
    {
        hr = OrvoHID_GetHIDHandleByUsage(*m_env.hid, kVendorId, kProductId, kUsagePage, kUsage, 0, &m_hidHandle,
                                         &path);
        if (hr != HR_OK)
        {
            productId = kProductIdAlternate;
            hr = OrvoHID_GetHIDHandleByUsage(*m_env.hid, kVendorId, kProductIdAlternate, kUsagePage, kUsage, 0,
                                             &m_hidHandle, &path);
        }
        // A headset whose memory holds no image (an interrupted upgrade
        // leaves none) stays in the chip's flash loader: found there, the
        // next run recovers it.
        for (std::uint16_t mode = 0; hr != HR_OK && mode < 2; ++mode)
        {
            vendorId = kLoaderVendorId;
            productId = static_cast<std::uint16_t>(kLoaderProductId + mode);
            hr = OrvoHID_GetHIDHandleByUsage(*m_env.hid, vendorId, productId, kUsagePage, kUsage, 0, &m_hidHandle,
                                             &path);
        }
    }
    LogPrintf("hRes [%x], hidhandle [%x]\n", static_cast<unsigned>(hr),
              m_hidHandle ? static_cast<unsigned>(m_hidHandle->GetHandleValue()) : 0xFFFFFFFFu);
    if (hr == HR_OK)
    {
        m_wVendorID = vendorId;
        m_wProductID = productId;
        SetDevicePath(NarrowPath(path).c_str());
        SHidCaps caps;
        if (m_hidHandle->GetCaps(caps) == EHidResult::Ok && caps.featureReportByteLength >= 64)
            m_featureLength = caps.featureReportByteLength;
    }

    AvDllInitialize();
    m_avHandle = nullptr;
    std::uint32_t version[2] = {0, 0};
    AvDllGetVersion(version);
    LogPrintf("CFirmwareUpgradeAV6201::Init - DLL Version %d.%d\n", static_cast<int>(version[0]),
              static_cast<int>(version[1]));

    // The host interface finds the headset among the generic HID devices by
    // its identity; without the HID device above there is none to look for.
    HResult found = HR_FAIL;
    if (hr == HR_OK)
    {
        std::uint16_t indexes[kMaxDevices] = {};
        std::uint32_t ids[kMaxDevices] = {};
        const std::int32_t count = AvDllListDevices(0, kMaxDevices, indexes, ids);
        const std::uint32_t wanted = static_cast<std::uint32_t>(m_wVendorID) << 16 | m_wProductID;
        for (std::int32_t i = 0; i < count && i < static_cast<std::int32_t>(kMaxDevices) && found != HR_OK; ++i)
        {
            if (ids[i] != wanted)
                continue;
            LogPrintf("CFirmwareUpgradeAV6201::Init - [%d] Compatible Device Found!!\n", static_cast<int>(i));
            AvDeviceSearch search = {0, wanted, 0};
            std::uint32_t index = 0;
            if (AvDllFindDevice(1, &search, &index) == 0 && AvDllOpenDevice(0, index, &m_avHandle) == 0)
            {
                LogPrintf("CFirmwareUpgradeAV6201::Init - Found Interface Handle!\n");
                found = HR_OK;
            }
            else
            {
                m_avHandle = nullptr;
                LogPrintf("CFirmwareUpgradeAV6201::Init - Fail to open handle!\n");
                found = HR_FAIL;
            }
        }
    }
    hr = found;
    LogPrintf("CFirmwareUpgradeAV6201::Init - hRes[%08x]\n", static_cast<unsigned>(hr));
    return hr;
}

std::uint32_t CFirmwareUpgradeAV6201::MemorySize() const
{
    return m_partRow < avnera::kPartRows ? avnera::kSerialParts[m_partRow].size : 0;
}

void CFirmwareUpgradeAV6201::PartHeader(std::uint8_t header[3]) const
{
    header[0] = header[1] = header[2] = 0;
    if (m_partRow >= avnera::kPartRows)
        return;
    const avnera::SSerialPart& part = avnera::kSerialParts[m_partRow];
    avnera::PartHeader(part.memType, part.size, part.page, part.addressInfo, part.sector, header);
}

bool CFirmwareUpgradeAV6201::CheckImage(const std::uint8_t* image, std::uint32_t size, const char* where)
{
    std::uint8_t header[3];
    PartHeader(header);
    std::string problem;
    if (avnera::CheckAV62xxImage(image, size, MemorySize(), header, &problem))
        return true;
    LogPrintf("CFirmwareUpgradeAV6201::%s - Incorrect Image - %s\n", where, problem.c_str());
    return false;
}

HResult CFirmwareUpgradeAV6201::PrepareFirmwareImage(std::uint32_t rawImageSize, const std::uint8_t* pRawImage,
                                                     std::uint32_t* pImageSize, std::uint8_t** ppImage)
{
    LogPrintf("CFirmwareUpgradeAV6201::PrepareFirmwareImage - rawImageSize[%d]\n", static_cast<int>(rawImageSize));
    HResult hr = avnera::ConvertLineImage(rawImageSize, pRawImage, pImageSize, ppImage);
    if (hr == HR_OK && !CheckImage(*ppImage, *pImageSize, "PrepareFirmwareImage"))
    {
        // Nothing is touched for an image the memory cannot hold.
        delete[] *ppImage;
        *ppImage = nullptr;
        *pImageSize = 0;
        hr = HR_INVALIDARG;
    }
    if (hr == HR_OK)
    {
        // The upgrader's own copy of the converted image.
        m_imageCopy.reset(new (std::nothrow) std::uint8_t[*pImageSize]);
        if (!m_imageCopy)
        {
            delete[] *ppImage;
            *ppImage = nullptr;
            *pImageSize = 0;
            return HR_OUTOFMEMORY;
        }
        std::memcpy(m_imageCopy.get(), *ppImage, *pImageSize);
        m_imageCopySize = *pImageSize;
    }
    LogPrintf("CFirmwareUpgradeAV6201::PrepareFirmwareImage - ImageSize[%d] hRes[%08x]\n",
              hr == HR_OK ? static_cast<int>(*pImageSize) : 0, static_cast<unsigned>(hr));
    return hr;
}

HResult CFirmwareUpgradeAV6201::PrepareUploadFirmwareImage(std::uint32_t imageSize, const std::uint8_t* pImage,
                                                           std::uint32_t* pUploadSize, std::uint8_t** ppUpload)
{
    if (pImage != nullptr && imageSize != 0 && !CheckImage(pImage, imageSize, "PrepareUploadFirmwareImage"))
        return HR_INVALIDARG;
    return CFirmwareUpgrade::PrepareUploadFirmwareImage(imageSize, pImage, pUploadSize, ppUpload);
}

HResult CFirmwareUpgradeAV6201::GetProductName(wchar_t* buffer, std::uint32_t size)
{
    const std::size_t chars = size / sizeof(wchar_t);
    if (buffer == nullptr || chars == 0 || !m_hidHandle)
        return HR_FAIL;
    std::wstring name;
    if (m_hidHandle->GetProductString(name) != EHidResult::Ok)
        return HR_FAIL;
    if ((m_wProductID == 0x3226 || m_wProductID == 0x3123) && name != kProductName)
    {
        LogPrintf("CFirmwareUpgradeAV6201::GetProductName - not our headset\n");
        return HR_FAIL;
    }
    if (m_wProductID == 0x0100)
        name = kFlashLoaderName;
    const std::size_t n = std::min(name.size(), chars - 1);
    std::wmemcpy(buffer, name.data(), n);
    buffer[n] = L'\0';
    return HR_OK;
}

std::uint32_t CFirmwareUpgradeAV6201::GetPacketSize()
{
    return m_blockSizeWrite;
}

bool CFirmwareUpgradeAV6201::GetDeviceFWVersionString(std::string* version)
{
    if (version == nullptr || !m_hidHandle)
        return false;
    std::vector<std::uint8_t> report(m_featureLength, 0);
    const std::uint8_t request[] = {0xFF, 27, 0, 0xFD, 4, 0x12, 0, 20, 0x0C, 4};
    std::memcpy(report.data(), request, sizeof request);
    if (m_hidHandle->SetFeature(report.data(), report.size()) != EHidResult::Ok)
        return false;
    CClock::Sleep(kVersionAnswerMs);
    std::fill(report.begin(), report.end(), 0);
    report[0] = 0xFF;
    if (m_hidHandle->GetFeature(report.data(), report.size()) != EHidResult::Ok)
        return false;
    const std::size_t at = m_typeMCU == 19 ? 22 : 18;
    // Only an answer that reaches the version word carries one.
    if (report[3] != 0xFE || report[1] < at + 1 || at + 4 > report.size())
    {
        LogPrintf("CFirmwareUpgradeAV6201::GetDeviceFWVersionString - no answer\n");
        return false;
    }
    const std::uint32_t v = static_cast<std::uint32_t>(report[at]) | static_cast<std::uint32_t>(report[at + 1]) << 8 |
                            static_cast<std::uint32_t>(report[at + 2]) << 16 |
                            static_cast<std::uint32_t>(report[at + 3]) << 24;
    char text[64];
    std::snprintf(text, sizeof text, "%01d.%01d.%02d%02d%02d", static_cast<int>(v >> 24),
                  static_cast<int>((v >> 16) & 0xFF), static_cast<int>((v >> 9) & 0x7F),
                  static_cast<int>((v >> 5) & 0x0F), static_cast<int>(v & 0x1F));
    *version = text;
    LogPrintf("CFirmwareUpgradeAV6201::GetDeviceFWVersionString - [%s]\n", text);
    return true;
}

bool CFirmwareUpgradeAV6201::GetCombinedFWVersionString(std::string*)
{
    return false;
}

bool CFirmwareUpgradeAV6201::GetFWFileVersionString(std::uint32_t, const std::uint8_t*, std::string*)
{
    LogPrintf("CFirmwareUpgradeAV6201::GetFWFileVersionString\n");
    return false;
}

HResult CFirmwareUpgradeAV6201::InitFirmwareUpgrade(std::uint32_t uploadSize)
{
    if (m_initialized != 0)
        return HR_OK;
    if (uploadSize == 0 || uploadSize > MemorySize())
    {
        LogPrintf("CFirmwareUpgradeAV6201::InitFirmwareUpgrade - [%d] bytes do not fit the memory's [%d]\n",
                  static_cast<int>(uploadSize), static_cast<int>(MemorySize()));
        return kUpgradeFailed;
    }
    // The erase of an I2C EEPROM part writes the buffer's first bytes at
    // address 0: zeros there make no part header, so the chip stays in its
    // loader until the last block brings the header.
    std::vector<std::uint8_t> blank(uploadSize, 0x00);
    bool ok = false;
    for (int attempt = 0; attempt < kTries && !ok; ++attempt)
    {
        if (attempt > 0)
        {
            LogPrintf("CFirmwareUpgradeAV6201::InitFirmwareUpgrade - Retry [%d]!!\n", attempt);
            CClock::Sleep(kRetryMs);
        }
        const std::int32_t entered = m_avHandle != nullptr ? SerialMemEnterFlashMode(&m_avHandle) : -3;
        if (entered == 0)
            LogPrintf("CFirmwareUpgradeAV6201::InitFirmwareUpgrade - Enter Flash Mode Success!!\n");
        else
            LogPrintf("CFirmwareUpgradeAV6201::InitFirmwareUpgrade - Enter Flash Mode FAILED [%d]!!\n",
                      static_cast<int>(entered));
        const std::int32_t erased =
            entered == 0 && m_avHandle != nullptr ? SerialMemErase(m_avHandle, 0, uploadSize, blank.data(), m_partRow)
                                                  : -1;
        if (erased == 0)
        {
            LogPrintf("CFirmwareUpgradeAV6201::InitFirmwareUpgrade - Erase Flash Success!!\n");
            ok = true;
        }
        else
        {
            LogPrintf("CFirmwareUpgradeAV6201::InitFirmwareUpgrade - Erase Flash FAILED!!\n");
        }
    }
    if (ok)
    {
        m_initialized = 1;
        m_offsetWrite = 0;
        m_upgradeLength = uploadSize;
        m_expected.assign(uploadSize, 0xFF);
        m_firstBlock.clear();
    }
    return ok ? HR_OK : kUpgradeFailed;
}

bool CFirmwareUpgradeAV6201::FirmwareUpgradeWrite(const std::uint8_t* buffer, std::uint32_t size)
{
    if (m_initialized == 0 || buffer == nullptr)
    {
        LogPrintf("CFirmwareUpgradeAV6201::FirmwareUpgradeWrite - was not initialized\n");
        return false;
    }
    // The upgrade run hands over the whole upload at once: it goes to the
    // chip in blocks of m_blockSizeWrite, each at its own address; the first
    // (the part header's) is held back for the end.
    for (std::uint32_t done = 0; done < size;)
    {
        const std::uint32_t piece = std::min(m_blockSizeWrite, size - done);
        const std::uint32_t address = m_offsetWrite;
        if (address < m_expected.size())
            std::memcpy(m_expected.data() + address, buffer + done,
                        std::min<std::size_t>(piece, m_expected.size() - address));
        if (address == 0)
        {
            m_firstBlock.assign(buffer + done, buffer + done + piece);
        }
        else
        {
            std::vector<std::uint8_t> data(buffer + done, buffer + done + piece);
            if (!WriteBlock(address, data.data(), piece))
                return false;
        }
        m_offsetWrite += piece;
        done += piece;
        if (m_pFlashDlg != nullptr && size > m_blockSizeWrite && !m_pFlashDlg->IsSilentMode())
            m_pFlashDlg->StepProgress();
    }
    return true;
}

bool CFirmwareUpgradeAV6201::WriteBlock(std::uint32_t address, std::uint8_t* data, std::uint32_t size)
{
    // SerialMemWrite puts the part header into a block it writes at 0.
    const std::vector<std::uint8_t> original(data, data + size);
    for (int attempt = 0; attempt < kTries; ++attempt)
    {
        const std::int32_t status =
            m_avHandle != nullptr ? SerialMemWrite(m_avHandle, address, size, data, m_partRow) : -3;
        if (status == 0)
            return true;
        LogPrintf("CFirmwareUpgradeAV6201::FirmwareUpgradeWrite FAILED status [%d] retry [%d]\n",
                  static_cast<int>(status), attempt);
        CClock::Sleep(kRetryMs);
        std::memcpy(data, original.data(), size);
    }
    return false;
}

bool CFirmwareUpgradeAV6201::ReadBack(std::uint32_t address, std::uint32_t size)
{
    std::vector<std::uint8_t> back(size);
    // A read the host interface could not finish is tried again, as writes
    // are; bytes that came back and differ are the answer.
    std::int32_t status = -3;
    for (int attempt = 0; attempt < kTries && m_avHandle != nullptr; ++attempt)
    {
        if (attempt > 0)
            CClock::Sleep(kRetryMs);
        status = SerialMemRead(m_avHandle, address, size, back.data(), m_partRow);
        if (status == 0)
            break;
        LogPrintf("CFirmwareUpgradeAV6201::EndFirmwareUpgrade - read back of [%u] bytes at [0x%06X]: status [%d] "
                  "try [%d]\n",
                  static_cast<unsigned>(size), static_cast<unsigned>(address), static_cast<int>(status), attempt);
    }
    if (status != 0)
        return false;
    for (std::uint32_t i = 0; i < size; ++i)
    {
        if (back[i] != m_expected[address + i])
        {
            LogPrintf("CFirmwareUpgradeAV6201::EndFirmwareUpgrade - read back differs at [0x%06X]: written [%02X] "
                      "read [%02X]\n",
                      static_cast<unsigned>(address + i), m_expected[address + i], back[i]);
            return false;
        }
    }
    return true;
}

bool CFirmwareUpgradeAV6201::FirmwareValidatePacket(const std::uint8_t*, std::uint16_t)
{
    LogPrintf("CFirmwareUpgradeAV6201::FirmwareValidatePacket\n");
    return false;
}

bool CFirmwareUpgradeAV6201::EndFirmwareUpgrade()
{
    LogPrintf("CFirmwareUpgradeAV6201::EndFirmwareUpgrade\n");
    if (m_initialized == 0)
        return false;
    // The chip answers none of its serial-memory triggers, so a part row it
    // refuses or a write it never made would pass unseen: everything
    // written is read back, and only then does the first block bring the
    // part header that lets the chip boot the image; it is read back too.
    bool written = m_offsetWrite == m_upgradeLength && m_expected.size() == m_upgradeLength && !m_firstBlock.empty();
    const std::uint32_t first = static_cast<std::uint32_t>(m_firstBlock.size());
    if (written && m_upgradeLength > first)
        written = ReadBack(first, m_upgradeLength - first);
    if (written)
    {
        written = WriteBlock(0, m_firstBlock.data(), first);
        // The block as the chip holds it: the part header over its first bytes.
        std::uint8_t header[3];
        PartHeader(header);
        std::memcpy(m_expected.data(), header, std::min<std::size_t>(3, m_expected.size()));
        written = written && ReadBack(0, first);
    }
    if (!written)
        LogPrintf("CFirmwareUpgradeAV6201::EndFirmwareUpgrade - the memory does not hold the image\n");
    m_firstBlock.clear();
    m_initialized = 0;
    return written;
}

HResult CFirmwareUpgradeAV6201::ResetFirmware()
{
    systemReset(m_avHandle);
    LogPrintf("CFirmwareUpgradeAV6201::ResetFirmware - success[%d]\n", 1);
    return HR_OK;
}
