#pragma once
// What the application object needs of its main dialog.

#include <cstdint>
#include <memory>
#include <string>

// Modal results of the dialog.
enum : int
{
    kModalOk = 1,
    kModalCancel = 2,
    kModalAbort = 3,
    kModalComplete = 8,
};

// The run's outcome codes (the process exit code).
constexpr std::int32_t kReturnSuccess = 0;
constexpr std::int32_t kReturnSameVersion = 1;
constexpr std::int32_t kReturnNewerVersion = 2;
constexpr std::int32_t kReturnNoOutcome = 4;
constexpr std::int32_t kReturnNoDevice = static_cast<std::int32_t>(0x80000001u);
constexpr std::int32_t kReturnThreadFailed = static_cast<std::int32_t>(0x80000006u);
constexpr std::int32_t kReturnUpgradeFailed = static_cast<std::int32_t>(0x80000007u);
constexpr std::int32_t kReturnVersionUnknown = static_cast<std::int32_t>(0x80000008u);
constexpr std::int32_t kReturnHubInPath = static_cast<std::int32_t>(0x8000000Bu);

struct SDialogSettings
{
    bool SilentMode = false;
    bool CheckMode = true;
    bool ProgressMode = false;
    const char* lpInputVersion = nullptr;
    std::int16_t mcuIndex = 0;
    std::uint16_t ProductID = 0x3240;
    const char* lpProductionCMDLine = nullptr;
    // Where the run's log is when it is not in the working directory (or
    // that none could be written); shown with a failure. Empty: nothing to say.
    std::string logNote;
};

class IFlashDialog
{
public:
    virtual ~IFlashDialog() = default;
    // Handed over before the dialog runs; the dialog keeps them as its own.
    virtual void SetSettings(const SDialogSettings& settings) = 0;
    // Runs the dialog to its end; returns the modal result.
    virtual int DoModal() = 0;
    // The run's outcome, read after DoModal returned.
    virtual std::int32_t GetReturnCode() const = 0;
};

// What the application object runs when it was given no dialog factory (the
// program gives it CFlashDlg): ends at once as a run that found no device.
class CNoDeviceDialog : public IFlashDialog
{
public:
    void SetSettings(const SDialogSettings& settings) override { m_settings = settings; }
    int DoModal() override;
    std::int32_t GetReturnCode() const override { return m_returnCode; }

private:
    SDialogSettings m_settings;
    std::int32_t m_returnCode = kReturnNoOutcome;
};
