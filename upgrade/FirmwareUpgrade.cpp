#include "upgrade/FirmwareUpgrade.h"

#include <cstring>
#include <new>

#include "app/DiagnosticLog.h"
#include "platform/Clock.h"
#include "platform/Sync.h"

namespace
{
constexpr int kFactoryTries = 10;
constexpr std::uint32_t kFactoryRetryMs = 1500;

CFirmwareUpgrade::Constructor& FactoryConstructor()
{
    static CFirmwareUpgrade::Constructor constructor;
    return constructor;
}

// Copies size bytes into a new[] buffer; null when it cannot be allocated.
std::uint8_t* CopyToNewBuffer(const std::uint8_t* data, std::uint32_t size)
{
    auto* buffer = new (std::nothrow) std::uint8_t[size];
    if (buffer != nullptr)
        std::memcpy(buffer, data, size);
    return buffer;
}

// The packed value of a 10-character version "a.b.yymmdd": c0, c2 and the
// three digit pairs. Characters are taken as digits without a check.
std::uint32_t PackVersion(const std::string& v)
{
    auto d = [&](std::size_t i) { return static_cast<std::uint32_t>(static_cast<unsigned char>(v[i]) - '0'); };
    return (d(0) << 24) | (d(2) << 16) | ((10 * d(4) + d(5)) << 9) | ((10 * d(6) + d(7)) << 5) | (10 * d(8) + d(9));
}
} // namespace

CFirmwareUpgrade::CFirmwareUpgrade()
    : m_wVendorID(0)
    , m_wProductID(0)
    , m_validationRequired(false)
    , m_powerCycleRequired(false)
    , m_numMCU(1)
    , m_typeMCU(0)
    , m_indexMCU(0)
    , m_versionCheckMethod(0)
    , m_reserved30Flag(true)
    , m_usbHubAllowed(true)
    , m_pFlashDlg(nullptr)
{
    LogPrintf("CFirmwareUpgrade::CFirmwareUpgrade\n");
}

CFirmwareUpgrade::~CFirmwareUpgrade()
{
    LogPrintf("CFirmwareUpgrade::~CFirmwareUpgrade\n");
    m_pDevicePath.reset();
    m_pFlashDlg = nullptr;
}

bool CFirmwareUpgrade::IsUSBHubAllowed() { return m_usbHubAllowed; }
bool CFirmwareUpgrade::IsValidationRequired() { return m_validationRequired; }
bool CFirmwareUpgrade::Reserved3() { return false; }
bool CFirmwareUpgrade::IsUpgradeAllowed() { return true; }
bool CFirmwareUpgrade::IsPowerCycleRequired() { return m_powerCycleRequired; }
std::uint32_t CFirmwareUpgrade::Reserved6() { return 4000; }

HResult CFirmwareUpgrade::PrepareFirmwareImage(std::uint32_t rawImageSize, const std::uint8_t* pRawImage,
                                               std::uint32_t* pImageSize, std::uint8_t** ppImage)
{
    LogPrintf("CFirmwareUpgrade::PrepareFirmwareImage - rawImageSize[%d] pRawImage[%p]\n",
              static_cast<int>(rawImageSize), static_cast<const void*>(pRawImage));
    if (pRawImage == nullptr || rawImageSize == 0 || pImageSize == nullptr || ppImage == nullptr)
    {
        LogPrintf("Invalid Parameters\n");
        return HR_FAIL;
    }
    *ppImage = CopyToNewBuffer(pRawImage, rawImageSize);
    if (*ppImage == nullptr)
        return HR_FAIL;
    *pImageSize = rawImageSize;
    return HR_OK;
}

HResult CFirmwareUpgrade::PrepareUploadFirmwareImage(std::uint32_t imageSize, const std::uint8_t* pImage,
                                                     std::uint32_t* pUploadSize, std::uint8_t** ppUpload)
{
    LogPrintf("CFirmwareUpgrade::PrepareUploadFirmwareImage\n");
    HResult hr = HR_FAIL;
    if (imageSize != 0 && pImage != nullptr && pUploadSize != nullptr && ppUpload != nullptr)
    {
        *ppUpload = CopyToNewBuffer(pImage, imageSize);
        if (*ppUpload != nullptr)
        {
            *pUploadSize = imageSize;
            hr = HR_OK;
        }
    }
    LogPrintf("CFirmwareUpgrade::PrepareUploadFirmwareImage - hRes[%08x]\n", static_cast<unsigned>(hr));
    return hr;
}

std::int32_t CFirmwareUpgrade::GetVersionCheckMethod() { return m_versionCheckMethod; }

const char* CFirmwareUpgrade::VersionCheckName(std::int32_t result)
{
    switch (result)
    {
    case CURR_VERSION_CHECK_OLDER:
        return "CURR_VERSION_CHECK_OLDER";
    case CURR_VERSION_CHECK_SAME:
        return "CURR_VERSION_CHECK_SAME";
    case CURR_VERSION_CHECK_NEWER:
        return "CURR_VERSION_CHECK_NEWER";
    default:
        return "CURR_VERSION_CHECK_UNKNOWN";
    }
}

std::int32_t CFirmwareUpgrade::CompareFirmwareVersion(std::string currentVersion, std::string newVersion)
{
    std::int32_t result = CURR_VERSION_CHECK_UNKNOWN;
    if (currentVersion.size() == newVersion.size() && currentVersion.size() == 10 &&
        currentVersion[0] == newVersion[0])
    {
        const std::uint32_t current = PackVersion(currentVersion);
        const std::uint32_t next = PackVersion(newVersion);
        LogPrintf("Curr Ver[%d][%08X] New Ver[%d][%08x]\n", static_cast<int>(current), current,
                  static_cast<int>(next), next);
        if (current < next)
            result = CURR_VERSION_CHECK_OLDER;
        else if (current > next)
            result = CURR_VERSION_CHECK_NEWER;
        else
            result = CURR_VERSION_CHECK_SAME;
    }
    LogPrintf("Version Check Result [%s]\n", VersionCheckName(result));
    return result;
}

std::int32_t CFirmwareUpgrade::CheckDeviceVersion() { return CURR_VERSION_CHECK_UNKNOWN; }
std::uint32_t CFirmwareUpgrade::Reserved12() { return 0; }
bool CFirmwareUpgrade::SupportFullImageFirmwareUpgrade() { return false; }
std::uint32_t CFirmwareUpgrade::Reserved20() { return 0x10000; }

bool CFirmwareUpgrade::FirmwareUpgradeWriteFullImage(const std::uint8_t*, std::uint32_t, IUpgradeDialog*)
{
    return false;
}

bool CFirmwareUpgrade::Reserved24() { return false; }
bool CFirmwareUpgrade::IsWriteSynchronous() { return true; }
bool CFirmwareUpgrade::OverallInitFirmwareUpgrade() { return true; }
bool CFirmwareUpgrade::OverallEndFirmwareUpgrade() { return true; }
bool CFirmwareUpgrade::Reserved30() { return m_reserved30Flag; }
std::uint32_t CFirmwareUpgrade::GetNumMCU() { return m_numMCU; }

HResult CFirmwareUpgrade::SetActiveMCU(std::uint32_t index)
{
    if (index >= m_numMCU)
        return HR_FAIL;
    m_indexMCU = index;
    return HR_OK;
}

std::uint32_t CFirmwareUpgrade::GetActiveMCU() { return m_indexMCU; }

HResult CFirmwareUpgrade::GetMCUType(std::uint32_t index, std::uint32_t* type)
{
    if (index != 0 || type == nullptr)
        return HR_FAIL;
    *type = m_typeMCU;
    return HR_OK;
}

std::uint16_t CFirmwareUpgrade::GetProductID() { return m_wProductID; }
const char* CFirmwareUpgrade::GetDevicePath() { return m_pDevicePath.get(); }
std::uint32_t CFirmwareUpgrade::DetermineQuillonfirmwareToLoad() { return 0; }
std::uint32_t CFirmwareUpgrade::Reserved38() { return m_reserved38; }
std::uint32_t CFirmwareUpgrade::Reserved39() { return m_reserved39; }
std::uint32_t CFirmwareUpgrade::GetUploadSize() { return m_uploadSize; }

void CFirmwareUpgrade::SetDevicePath(const char* path)
{
    m_pDevicePath.reset();
    if (path == nullptr || *path == '\0')
        return;
    const std::size_t length = std::strlen(path);
    m_pDevicePath = std::make_unique<char[]>(length + 1);
    std::memcpy(m_pDevicePath.get(), path, length + 1);
}

void CFirmwareUpgrade::SetConstructor(Constructor constructor)
{
    FactoryConstructor() = std::move(constructor);
}

CFirmwareUpgrade* CFirmwareUpgrade::CreateCFirmwareUpgrade()
{
    CFirmwareUpgrade* upgrader = nullptr;
    const Constructor& construct = FactoryConstructor();
    // Without a family built in there is nothing to retry.
    for (int attempt = 0; construct && attempt < kFactoryTries && upgrader == nullptr; ++attempt)
    {
        LogPrintf("CFirmwareUpgrade::CreateCFirmwareUpgrade - Try [%d]\n", attempt);
        // Out of memory is a failure to return like any other, not an
        // exception through the dialog.
        try
        {
            upgrader = construct();
        }
        catch (const std::bad_alloc&)
        {
            upgrader = nullptr;
        }
        if (upgrader == nullptr)
        {
            LogPrintf("CFirmwareUpgrade::CreateCFirmwareUpgrade - Tavik Insufficient Memory!!!\n");
        }
        else if (IsFailure(upgrader->Init(0, 0)))
        {
            LogPrintf("CFirmwareUpgrade::CreateCFirmwareUpgrade - Tavik Init Fail\n");
            delete upgrader;
            upgrader = nullptr;
        }
        if (upgrader == nullptr)
            CClock::Sleep(kFactoryRetryMs);
    }
    LogPrintf("CFirmwareUpgrade::CreateCFirmwareUpgrade - pFirmwareUpgrade[%p]\n", static_cast<void*>(upgrader));
    return upgrader;
}

namespace
{
CMutex& AccessProblemLock()
{
    static CMutex lock;
    return lock;
}

std::string& AccessProblem()
{
    static std::string text;
    return text;
}
} // namespace

void CFirmwareUpgrade::SetDeviceAccessProblem(const std::string& text)
{
    CMutexLock lock(AccessProblemLock());
    AccessProblem() = text;
}

std::string CFirmwareUpgrade::GetDeviceAccessProblem()
{
    CMutexLock lock(AccessProblemLock());
    return AccessProblem();
}
