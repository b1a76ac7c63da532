#pragma once
// Drives an upgrader the way the upgrade run does: image from its text
// file, upload, init, the whole upload in one write, end, and the
// validation pass in packet-size steps when the upgrader asks for one.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <string>
#include <vector>

#include "upgrade/FirmwareUpgrade.h"

struct SUpgradeOutcome
{
    HResult prepared = HR_FAIL;
    HResult init = HR_FAIL;
    bool written = false;
    bool ended = false;
    bool validated = false;
    std::vector<std::uint8_t> image; // as the upgrader converted it
    bool Succeeded() const { return prepared == HR_OK && init == HR_OK && written && ended && validated; }
};

inline SUpgradeOutcome RunUpgrade(CFirmwareUpgrade& upgrader, const std::string& text)
{
    SUpgradeOutcome out;
    std::uint32_t imageSize = 0;
    std::uint8_t* image = nullptr;
    out.prepared = upgrader.PrepareFirmwareImage(static_cast<std::uint32_t>(text.size()),
                                                 reinterpret_cast<const std::uint8_t*>(text.data()), &imageSize,
                                                 &image);
    if (out.prepared != HR_OK)
        return out;
    out.image.assign(image, image + imageSize);
    std::uint32_t uploadSize = 0;
    std::uint8_t* upload = nullptr;
    const HResult uploaded = upgrader.PrepareUploadFirmwareImage(imageSize, image, &uploadSize, &upload);
    delete[] image;
    if (uploaded != HR_OK)
        return out;
    out.init = upgrader.InitFirmwareUpgrade(uploadSize);
    if (out.init == HR_OK)
    {
        out.written = upgrader.FirmwareUpgradeWrite(upload, uploadSize);
        out.ended = out.written && upgrader.EndFirmwareUpgrade();
        out.validated = out.ended;
        if (out.ended && upgrader.IsValidationRequired())
        {
            const std::uint32_t packet = std::max<std::uint32_t>(upgrader.GetPacketSize(), 1);
            for (std::uint32_t offset = 0; offset < uploadSize && out.validated; offset += packet)
                out.validated = upgrader.FirmwareValidatePacket(
                    upload + offset, static_cast<std::uint16_t>(std::min(packet, uploadSize - offset)));
        }
    }
    delete[] upload;
    return out;
}

// The dialog as an upgrader sees it through m_pFlashDlg: counts progress steps.
class CStepCountingDialog : public IUpgradeDialog
{
public:
    bool IsSilentMode() const override { return false; }
    int GetProgressPos() override { return steps; }
    void SetProgressPos(int pos) override { steps = pos; }
    void SetProgressRange(int, int) override {}
    void SetProgressStep(int) override {}
    void StepProgress() override { ++steps; }
    void RedrawDialog() override {}
    void ShowDialog() override {}
    void SetStatusText(const std::string&) override {}
    bool SetCompletionEvent() override { return false; }
    int steps = 0;
};

inline std::vector<std::uint8_t> Slice(const std::vector<std::uint8_t>& v, std::size_t from, std::size_t to)
{
    to = std::min(to, v.size());
    from = std::min(from, to);
    return std::vector<std::uint8_t>(v.begin() + static_cast<std::ptrdiff_t>(from),
                                     v.begin() + static_cast<std::ptrdiff_t>(to));
}
