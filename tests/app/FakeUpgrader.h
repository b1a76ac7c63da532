#pragma once
// A device upgrader with scripted answers that records what it was asked.
// Shared by the dialog tests and the test build of the program.

#include <algorithm>
#include <cstring>
#include <cwchar>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "platform/Clock.h"
#include "platform/MessageBox.h"
#include "platform/Thread.h"
#include "upgrade/FirmwareUpgrade.h"

constexpr const char* kFakeReplugText = "Please unplug and plug in the device. Click OK to proceed the upgrade.";

struct SFakeUpgraderConfig
{
    std::wstring productName = L"Tamsel Mic";
    std::string deviceVersion = "1.0.130521";
    std::string fileVersion = "1.0.130601";
    std::int32_t versionCheckMethod = 1;
    bool usbHubAllowed = true;
    bool powerCycleRequired = true;
    bool validationRequired = false;
    bool writeSynchronous = true;
    HResult initResult = HR_OK;
    bool writeResult = true;
    bool endResult = true;
    bool validateResult = true;
    std::uint32_t packetSize = 64;
    const char* devicePath = "\\\\?\\hid#vid_2c6d&pid_3240#1";
    // Init results of the upgraders the factory makes, in order; when the
    // list is used up, further upgraders initialise fine.
    std::vector<HResult> initResults;
    HResult prepareImageResult = HR_OK;
    // Asynchronous writes signal completion this much (product ms) later.
    std::uint32_t completionDelayMs = 200;
    // Each validated packet takes this long (product ms).
    std::uint32_t validateDelayMs = 0;
    // The write reports these shares of the whole (0..100) to the dialog, as
    // an upgrader whose engine counts bytes does.
    std::vector<int> writePercents;
    // InitFirmwareUpgrade asks the user to replug the device (a system
    // message box, as the real upgrader does) and fails unless OK was pressed.
    bool replugPrompt = false;
    // The upload image comes back empty (and successful).
    bool emptyUpload = false;
    // Upgraders made from this index on fail the version query (and leave
    // the string alone), -1: none.
    int versionFailsFromIndex = -1;
    // A failing Init or InitFirmwareUpgrade leaves this access note (the
    // device is there but refuses the user); empty: none.
    std::string accessProblem;
};

// What every upgrader of a test recorded (shared by all that the factory made).
struct SFakeUpgraderRecord
{
    std::mutex mutex;
    std::vector<std::string> calls;
    std::vector<std::uint16_t> validatedLengths;
    int constructed = 0;
    int destroyed = 0;
    bool completionSignalled = false;
    bool endBeforeCompletion = false;
    std::uint32_t initUploadSize = 0;
    std::string devicePathSeen;

    void Add(const std::string& call)
    {
        std::lock_guard<std::mutex> lock(mutex);
        calls.push_back(call);
    }
    bool Called(const std::string& call)
    {
        std::lock_guard<std::mutex> lock(mutex);
        for (const std::string& c : calls)
            if (c == call)
                return true;
        return false;
    }
};

class CFakeUpgrader : public CFirmwareUpgrade
{
public:
    CFakeUpgrader(const SFakeUpgraderConfig& config, std::shared_ptr<SFakeUpgraderRecord> record)
        : m_config(config), m_record(std::move(record))
    {
        m_usbHubAllowed = config.usbHubAllowed;
        m_powerCycleRequired = config.powerCycleRequired;
        m_validationRequired = config.validationRequired;
        m_versionCheckMethod = config.versionCheckMethod;
        SetDevicePath(config.devicePath);
        std::lock_guard<std::mutex> lock(m_record->mutex);
        m_index = m_record->constructed++;
    }
    ~CFakeUpgrader() override
    {
        m_completer.Wait(kInfinite);
        std::lock_guard<std::mutex> lock(m_record->mutex);
        ++m_record->destroyed;
    }

    HResult Init(std::uint32_t, std::uint32_t) override
    {
        m_record->Add("Init");
        if (static_cast<std::size_t>(m_index) < m_config.initResults.size())
        {
            const HResult result = m_config.initResults[static_cast<std::size_t>(m_index)];
            if (IsFailure(result) && !m_config.accessProblem.empty())
                CFirmwareUpgrade::SetDeviceAccessProblem(m_config.accessProblem);
            return result;
        }
        return HR_OK;
    }
    HResult GetProductName(wchar_t* buffer, std::uint32_t size) override
    {
        const std::size_t capacity = size / sizeof(wchar_t);
        if (capacity == 0)
            return HR_FAIL;
        const std::size_t n = std::min(capacity - 1, m_config.productName.size());
        std::wmemcpy(buffer, m_config.productName.c_str(), n);
        buffer[n] = L'\0';
        return HR_OK;
    }
    std::uint32_t GetPacketSize() override { return m_config.packetSize; }
    bool GetDeviceFWVersionString(std::string* version) override
    {
        if (m_config.versionFailsFromIndex >= 0 && m_index >= m_config.versionFailsFromIndex)
            return false;
        *version = m_config.deviceVersion;
        return true;
    }
    HResult PrepareUploadFirmwareImage(std::uint32_t imageSize, const std::uint8_t* image, std::uint32_t* uploadSize,
                                       std::uint8_t** upload) override
    {
        if (!m_config.emptyUpload)
            return CFirmwareUpgrade::PrepareUploadFirmwareImage(imageSize, image, uploadSize, upload);
        *uploadSize = 0;
        *upload = nullptr;
        return HR_OK;
    }
    bool GetCombinedFWVersionString(std::string*) override { return false; }
    bool GetFWFileVersionString(std::uint32_t, const std::uint8_t*, std::string* version) override
    {
        *version = m_config.fileVersion;
        return true;
    }
    HResult PrepareFirmwareImage(std::uint32_t rawSize, const std::uint8_t* raw, std::uint32_t* size,
                                 std::uint8_t** image) override
    {
        if (IsFailure(m_config.prepareImageResult))
            return m_config.prepareImageResult;
        return CFirmwareUpgrade::PrepareFirmwareImage(rawSize, raw, size, image);
    }
    HResult InitFirmwareUpgrade(std::uint32_t uploadSize) override
    {
        m_record->Add("InitFirmwareUpgrade");
        {
            std::lock_guard<std::mutex> lock(m_record->mutex);
            m_record->initUploadSize = uploadSize;
        }
        if (IsFailure(m_config.initResult) && !m_config.accessProblem.empty())
            CFirmwareUpgrade::SetDeviceAccessProblem(m_config.accessProblem);
        if (m_config.replugPrompt)
        {
            const int answer = ShowSystemMessageBox(kFakeReplugText, kMbOk | kMbIconInformation | kMbSystemModal);
            m_record->Add(answer == 1 ? "replug OK" : "replug not answered");
            if (answer != 1)
                return static_cast<HResult>(0x80000000u);
        }
        return m_config.initResult;
    }
    bool FirmwareUpgradeWrite(const std::uint8_t*, std::uint32_t) override
    {
        m_record->Add("FirmwareUpgradeWrite");
        for (int percent : m_config.writePercents)
            m_pFlashDlg->SetProgressWindowPercent(percent);
        if (m_config.writeResult && !m_config.writeSynchronous)
        {
            IUpgradeDialog* dialog = m_pFlashDlg;
            auto record = m_record;
            const std::uint32_t delay = m_config.completionDelayMs;
            // The transfer ends later, on a thread of its own.
            m_completer.Start([dialog, record, delay] {
                CClock::Sleep(delay);
                {
                    std::lock_guard<std::mutex> lock(record->mutex);
                    record->completionSignalled = true;
                }
                dialog->SetCompletionEvent();
                return 0u;
            });
        }
        return m_config.writeResult;
    }
    bool IsWriteSynchronous() override { return m_config.writeSynchronous; }
    bool FirmwareValidatePacket(const std::uint8_t*, std::uint16_t length) override
    {
        if (m_config.validateDelayMs != 0)
            CClock::Sleep(m_config.validateDelayMs);
        std::lock_guard<std::mutex> lock(m_record->mutex);
        m_record->validatedLengths.push_back(length);
        return m_config.validateResult;
    }
    bool EndFirmwareUpgrade() override
    {
        m_record->Add("EndFirmwareUpgrade");
        std::lock_guard<std::mutex> lock(m_record->mutex);
        if (!m_record->completionSignalled && !m_config.writeSynchronous)
            m_record->endBeforeCompletion = true;
        return m_config.endResult;
    }
    HResult ResetFirmware() override
    {
        m_record->Add("ResetFirmware");
        return HR_OK;
    }

private:
    SFakeUpgraderConfig m_config;
    std::shared_ptr<SFakeUpgraderRecord> m_record;
    int m_index = 0;
    CThread m_completer;
};

// Makes the factory build fakes with this configuration.
inline std::shared_ptr<SFakeUpgraderRecord> InstallFakeUpgrader(const SFakeUpgraderConfig& config)
{
    auto record = std::make_shared<SFakeUpgraderRecord>();
    CFirmwareUpgrade::SetConstructor([config, record] { return new CFakeUpgrader(config, record); });
    return record;
}
