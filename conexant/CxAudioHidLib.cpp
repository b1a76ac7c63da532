// Discovery: recognising a Conexant chip by its HID identity and string 41,
// opening it and building its chip object; the current device.
#include "conexant/CxAudioHidLib.h"

#include <cstring>
#include <memory>

#include "app/DiagnosticLog.h"
#include "conexant/CxAudioHidDevice.h"
#include "platform/HidSystem.h"

namespace
{
constexpr const char* kConnect = "Connect()";
constexpr std::size_t kMaxPathCharacters = 255; // the identity's path buffer holds 512 bytes
constexpr std::uint32_t kSignatureStringIndex = 41;
constexpr std::uint16_t kCorrectedVendor = 0x0572;
constexpr std::uint16_t kCorrectedProduct = 0x1410;

IHidSystem* g_hidSystem = nullptr;
std::unique_ptr<IHidSystem> g_systemHid;
ICxAudioHidDev* g_current = nullptr;

IHidSystem* FrontSystem()
{
    if (g_hidSystem != nullptr)
        return g_hidSystem;
    if (!g_systemHid)
        g_systemHid = CreateSystemHid();
    return g_systemHid.get();
}

struct SRecognised
{
    bool found = false;
    int chipType = -1;
    std::uint32_t flags = 0;
};

bool SignatureMatches(const SCxProtocolDescriptor& type, bool haveString, const std::wstring& text)
{
    if (!haveString)
        return type.signatureRequired == 0;
    if (text.size() < type.signatureLength)
        return false;
    for (std::size_t i = 0; i < type.signatureLength; ++i)
    {
        if (text[i] != static_cast<wchar_t>(static_cast<unsigned char>(type.signature[i])))
            return false;
    }
    return true;
}

// The recognition rules: capabilities, signature, correction, the asked identity.
SRecognised Recognise(const SHidAttributes& attributes, const SHidCaps& caps, bool haveString,
                      const std::wstring& string41, int chipType, std::uint16_t vendorId, std::uint16_t productId)
{
    SRecognised result;
    for (int type = 0; type < kCxChipTypeCount; ++type)
    {
        const SCxProtocolDescriptor& p = CxProtocolDescriptor(type);
        if (caps.usagePage != p.usagePage || caps.usage != p.usage || caps.featureReportByteLength != p.featureLength ||
            caps.inputReportByteLength != p.inputLength || caps.outputReportByteLength != p.outputLength)
            continue;
        if (!SignatureMatches(p, haveString, string41))
            continue;
        int matched = type;
        std::uint32_t flags = 0;
        const bool vendorMatch = vendorId == 0 || vendorId == attributes.vendorId;
        const bool productMatch = productId == 0 || productId == attributes.productId;
        if (matched == kCxChip20562 && attributes.vendorId == kCorrectedVendor &&
            attributes.productId == kCorrectedProduct)
        {
            matched = kCxChip2070x;
            flags |= kCxIdentityCorrected;
        }
        const bool typeMatch = chipType == kCxChipAny || chipType == matched;
        if (vendorMatch && productMatch && typeMatch)
        {
            result.found = true;
            result.chipType = matched;
            result.flags = flags;
            return result;
        }
    }
    return result;
}

// Reads what recognition needs from one interface. Status 0, or 2.
int Inspect(IHidSystem& system, const std::wstring& path, SCxIdentityRecord& identity, bool& haveString,
            std::wstring& string41, bool& vanished)
{
    vanished = false;
    CHidDevicePtr query;
    SHidOpenOptions options;
    options.access = kHidAccessNone;
    options.overlapped = false;
    const EHidResult opened = system.Open(path, options, query);
    if (opened == EHidResult::NoDevice || opened == EHidResult::AccessDenied)
    {
        // Left the bus since the listing, or an interface this user may not
        // even query: not a chip we could use, and no reason to stop looking.
        vanished = true;
        return CXHID_STATUS_OK;
    }
    if (opened != EHidResult::Ok || !query)
    {
        LogPrintf("[%d][%s] - CreateFile(query) - %s\n", __LINE__, kConnect, HidResultName(opened));
        return CXHID_STATUS_SYSTEM_ERROR;
    }
    query->GetProductString(identity.productString);
    SHidAttributes attributes;
    EHidResult r = query->GetAttributes(attributes);
    if (r != EHidResult::Ok)
    {
        LogPrintf("[%d][%s] - HidD_GetAttributes - %s\n", __LINE__, kConnect, HidResultName(r));
        return CXHID_STATUS_SYSTEM_ERROR;
    }
    r = query->GetCaps(identity.caps);
    if (r != EHidResult::Ok)
    {
        LogPrintf("[%d][%s] - HidP_GetCaps - %s\n", __LINE__, kConnect, HidResultName(r));
        return CXHID_STATUS_SYSTEM_ERROR;
    }
    identity.path = path;
    identity.vendorId = attributes.vendorId;
    identity.productId = attributes.productId;
    identity.versionNumber = attributes.versionNumber;
    string41.clear();
    haveString = query->GetIndexedString(kSignatureStringIndex, string41) == EHidResult::Ok;
    return CXHID_STATUS_OK;
}
} // namespace

ICxAudioHidDev* Connect(IHidSystem& system, int chipType, std::uint16_t vendorId, std::uint16_t productId,
                        int* status)
{
    LogPrintf("[%d][%s] - type[%d] VID[0x%04x] PID[0x%04x]\n", __LINE__, kConnect, chipType, vendorId, productId);
    int result = CXHID_STATUS_OK;
    ICxAudioHidDev* device = nullptr;

    auto mutex = std::make_shared<CCxDeviceMutex>();
    if (!mutex->Create())
        result = CXHID_STATUS_SYSTEM_ERROR;

    std::vector<std::wstring> paths;
    if (result == CXHID_STATUS_OK && system.EnumerateInterfaces(paths) != EHidResult::Ok)
    {
        LogPrintf("[%d][%s] - SetupDiGetClassDevs\n", __LINE__, kConnect);
        result = CXHID_STATUS_SYSTEM_ERROR;
    }

    for (std::size_t index = 0; result == CXHID_STATUS_OK && device == nullptr && index < paths.size(); ++index)
    {
        SCxIdentityRecord identity;
        bool haveString = false;
        bool vanished = false;
        std::wstring string41;
        result = Inspect(system, paths[index], identity, haveString, string41, vanished);
        if (result != CXHID_STATUS_OK || vanished)
            continue;
        SHidAttributes attributes{identity.vendorId, identity.productId, identity.versionNumber};
        const SRecognised match =
            Recognise(attributes, identity.caps, haveString, string41, chipType, vendorId, productId);
        if (!match.found)
            continue;
        if (paths[index].size() > kMaxPathCharacters)
        {
            LogPrintf("[%d][%s] - device path of %zu characters is too long\n", __LINE__, kConnect,
                      paths[index].size());
            result = CXHID_STATUS_SYSTEM_ERROR;
            break;
        }
        SCxDeviceHandles handles;
        handles.mutex = mutex;
        SHidOpenOptions writeOptions;
        writeOptions.access = kHidAccessWrite;
        writeOptions.overlapped = true;
        EHidResult r = system.Open(paths[index], writeOptions, handles.writeHandle);
        if (r != EHidResult::Ok)
        {
            LogPrintf("[%d][%s] - CreateFile(write) - %s\n", __LINE__, kConnect, HidResultName(r));
            result = CXHID_STATUS_SYSTEM_ERROR;
            break;
        }
        SHidOpenOptions readOptions;
        readOptions.access = kHidAccessRead;
        readOptions.overlapped = true;
        r = system.Open(paths[index], readOptions, handles.readHandle);
        if (r != EHidResult::Ok)
        {
            LogPrintf("[%d][%s] - CreateFile(read) - %s\n", __LINE__, kConnect, HidResultName(r));
            handles.writeHandle.reset();
            result = CXHID_STATUS_SYSTEM_ERROR;
            break;
        }
        identity.flags = match.flags;
        device = CreateCxChipObject(match.chipType, identity, std::move(handles));
        if (device == nullptr)
            result = CXHID_STATUS_NO_MEMORY;
        else
            LogPrintf("[%d][%s] - found %s VID[0x%04x] PID[0x%04x] flags[0x%02x]\n", __LINE__, kConnect,
                      CxChipName(match.chipType), identity.vendorId, identity.productId, match.flags);
    }

    if (result == CXHID_STATUS_OK && device == nullptr)
        result = CXHID_STATUS_DEVICE_NOT_FOUND;
    if (status != nullptr)
        *status = result;
    return device;
}

int CxEnumerate(IHidSystem& system, std::vector<SCxFoundDevice>& found)
{
    found.clear();
    std::vector<std::wstring> paths;
    if (system.EnumerateInterfaces(paths) != EHidResult::Ok)
        return CXHID_STATUS_SYSTEM_ERROR;
    for (const std::wstring& path : paths)
    {
        SCxIdentityRecord identity;
        bool haveString = false;
        bool vanished = false;
        std::wstring string41;
        if (Inspect(system, path, identity, haveString, string41, vanished) != CXHID_STATUS_OK || vanished)
            continue;
        SHidAttributes attributes{identity.vendorId, identity.productId, identity.versionNumber};
        const SRecognised match = Recognise(attributes, identity.caps, haveString, string41, kCxChipAny, 0, 0);
        if (match.found)
            found.push_back({match.chipType, match.flags, identity.vendorId, identity.productId, path});
    }
    return found.empty() ? CXHID_STATUS_DEVICE_NOT_FOUND : CXHID_STATUS_OK;
}

void CxSetHidSystem(IHidSystem* system)
{
    g_hidSystem = system;
}

int CxConnect(int chipType, std::uint16_t vendorId, std::uint16_t productId)
{
    CxDisconnect();
    IHidSystem* system = FrontSystem();
    if (system == nullptr)
        return CXHID_STATUS_SYSTEM_ERROR;
    int status = CXHID_STATUS_OK;
    g_current = Connect(*system, chipType, vendorId, productId, &status);
    return status;
}

int CxConnectAny()
{
    return CxConnect(kCxChipAny, 0, 0);
}

int CxConnectType(int chipType)
{
    return CxConnect(chipType, 0, 0);
}

int CxConnectVidPid(std::uint16_t vendorId, std::uint16_t productId)
{
    return CxConnect(kCxChipAny, vendorId, productId);
}

void CxDisconnect()
{
    if (g_current != nullptr)
    {
        g_current->Release();
        g_current = nullptr;
    }
}

bool CxIsCurrentDevice(const ICxAudioHidDev* device)
{
    return device != nullptr && device == g_current;
}

bool CxIsConnected()
{
    return g_current != nullptr;
}

ICxAudioHidDev* CxGetCurrentDevice()
{
    return g_current;
}

const char* CxGetStatusText(int status)
{
    return CxStatusText(status);
}

const char* CxGetLibraryVersion()
{
    return "1.0.20.0";
}

const char* CxGetLibraryName()
{
    return "CxAudioHidLib";
}
