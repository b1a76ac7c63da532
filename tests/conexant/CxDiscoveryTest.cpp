// Discovery: recognition of every chip type by capabilities and string 41,
// the 0572:1410 correction, the filters, the chip objects and the front.
#include <gtest/gtest.h>

#include <cstring>

#include "tests/conexant/CxTestSupport.h"

namespace
{
SCxChipConfig WithString41(ECxBenchChip chip, const std::wstring& text)
{
    SCxChipConfig config = MakeCxChipConfig(chip);
    config.string41 = text;
    return config;
}

// A HID system whose paths are longer than the identity's path buffer.
class CLongPathSystem : public IHidSystem
{
public:
    explicit CLongPathSystem(IHidSystem& inner) : m_inner(inner) {}
    EHidResult EnumerateInterfaces(std::vector<std::wstring>& paths) override
    {
        const EHidResult r = m_inner.EnumerateInterfaces(paths);
        for (auto& p : paths)
            p += L"#" + std::wstring(300 - p.size(), L'x');
        return r;
    }
    EHidResult Open(const std::wstring& path, const SHidOpenOptions& options, CHidDevicePtr& device) override
    {
        return m_inner.Open(path.substr(0, path.find(L"#x")), options, device);
    }
    EHidResult GetUsbDeviceInstanceId(const std::wstring& path, std::wstring& id) override
    {
        return m_inner.GetUsbDeviceInstanceId(path, id);
    }

private:
    IHidSystem& m_inner;
};
// A HID system where the first interface listed cannot be opened at all.
class CRefusingSystem : public IHidSystem
{
public:
    CRefusingSystem(IHidSystem& inner, EHidResult refusal) : m_inner(inner), m_refusal(refusal) {}
    EHidResult EnumerateInterfaces(std::vector<std::wstring>& paths) override
    {
        const EHidResult r = m_inner.EnumerateInterfaces(paths);
        if (!paths.empty())
            m_refused = paths.front();
        return r;
    }
    EHidResult Open(const std::wstring& path, const SHidOpenOptions& options, CHidDevicePtr& device) override
    {
        if (path == m_refused)
            return m_refusal;
        return m_inner.Open(path, options, device);
    }
    EHidResult GetUsbDeviceInstanceId(const std::wstring& path, std::wstring& id) override
    {
        return m_inner.GetUsbDeviceInstanceId(path, id);
    }

private:
    IHidSystem& m_inner;
    EHidResult m_refusal;
    std::wstring m_refused;
};
} // namespace

TEST(CxDiscovery, InterfacesThatCannotBeQueriedAreSkippedOtherFailuresEndTheSearch)
{
    CCxBench bench;
    bench.World().Plug(bench.World().RootHub(1), 1, MakeBenchHidDevice(0x046D, 0xC31C, 0x0001, 0x0006));
    bench.Plug(ECxBenchChip::Cx2077x, 2);
    for (EHidResult refusal : {EHidResult::AccessDenied, EHidResult::NoDevice})
    {
        CRefusingSystem system(bench.World(), refusal);
        int status = -1;
        ICxAudioHidDev* dev = Connect(system, -1, 0, 0, &status);
        ASSERT_NE(dev, nullptr) << HidResultName(refusal);
        EXPECT_EQ(dev->GetChipType(), kCxChip2077x);
        dev->Release();
    }
    CRefusingSystem failing(bench.World(), EHidResult::Failed);
    int status = -1;
    EXPECT_EQ(Connect(failing, -1, 0, 0, &status), nullptr);
    EXPECT_EQ(status, CXHID_STATUS_SYSTEM_ERROR);
}

TEST(CxDiscovery, RecognisesEveryChipTypeByItsIdentity)
{
    const struct
    {
        ECxBenchChip chip;
        int type;
        bool i2c;
    } cases[] = {{ECxBenchChip::Cx20562, 0, false}, {ECxBenchChip::Cx2070x, 1, true},
                 {ECxBenchChip::Cx2077x, 2, true},  {ECxBenchChip::Cx2076x, 3, false},
                 {ECxBenchChip::Cx20805, 4, false}, {ECxBenchChip::Cx2070xAs1410, 1, true}};
    for (const auto& c : cases)
    {
        CCxBench bench;
        bench.Plug(c.chip);
        int status = -1;
        auto dev = bench.Connect(-1, 0, 0, &status);
        ASSERT_TRUE(dev) << CxBenchChipName(c.chip);
        EXPECT_EQ(status, 0);
        EXPECT_EQ(dev->GetChipType(), c.type) << CxBenchChipName(c.chip);
        ICxAudioBase* i2c = dev->QueryInterface("ICxAudioHidDevI2C");
        EXPECT_EQ(i2c != nullptr, c.i2c) << CxBenchChipName(c.chip);
        if (i2c != nullptr)
        {
            EXPECT_EQ(static_cast<ICxAudioHidDevI2C*>(i2c)->GetHidDev(), dev.get());
            i2c->Release();
        }
        ICxAudioBase* same = dev->QueryInterface("ICxAudioHidDev");
        ASSERT_EQ(same, static_cast<ICxAudioBase*>(dev.get()));
        same->Release();
        EXPECT_EQ(dev->QueryInterface("IUnknown"), nullptr);
        EXPECT_EQ(bench.World().OpenHidHandleCount(), 2u) << "one write and one read handle";
        dev.reset();
        EXPECT_EQ(bench.World().OpenHidHandleCount(), 0u) << "the last release closes them";
    }
}

TEST(CxDiscovery, String41RulesOfTheSmallChips)
{
    {
        CCxBench bench;
        bench.Plug(WithString41(ECxBenchChip::Cx20562, L""));
        auto dev = bench.Connect();
        ASSERT_TRUE(dev);
        EXPECT_EQ(dev->GetChipType(), kCxChip20562);
    }
    {
        CCxBench bench;
        bench.Plug(WithString41(ECxBenchChip::Cx20562, L"HEADSET_V1"));
        int status = -1;
        EXPECT_FALSE(bench.Connect(-1, 0, 0, &status));
        EXPECT_EQ(status, CXHID_STATUS_DEVICE_NOT_FOUND);
    }
    {
        CCxBench bench;
        bench.Plug(WithString41(ECxBenchChip::Cx2076x, L""));
        auto dev = bench.Connect();
        ASSERT_TRUE(dev);
        EXPECT_EQ(dev->GetChipType(), kCxChip20562) << "TIKI_ needs its string";
    }
    {
        CCxBench bench;
        bench.Plug(WithString41(ECxBenchChip::Cx2077x, L""));
        auto dev = bench.Connect();
        ASSERT_TRUE(dev);
        EXPECT_EQ(dev->GetChipType(), kCxChip2070x) << "CATP_ needs its string";
    }
    {
        CCxBench bench;
        bench.Plug(WithString41(ECxBenchChip::Cx2070x, L""));
        bench.Plug(WithString41(ECxBenchChip::Cx20805, L""), 2);
        auto a = bench.Connect(kCxChip2070x);
        auto b = bench.Connect(kCxChip20805);
        ASSERT_TRUE(a && b) << "CHAN_ and CAPE are not required";
    }
    {
        CCxBench bench;
        bench.Plug(WithString41(ECxBenchChip::Cx2070x, L"CHA"));
        EXPECT_FALSE(bench.Connect()) << "shorter than the signature";
    }
}

TEST(CxDiscovery, FiltersAndTheCorrectedType)
{
    CCxBench bench;
    bench.Plug(ECxBenchChip::Cx2070x, 1);
    int status = -1;
    EXPECT_FALSE(bench.Connect(kCxChip20805, 0, 0, &status));
    EXPECT_EQ(status, CXHID_STATUS_DEVICE_NOT_FOUND);
    EXPECT_FALSE(bench.Connect(-1, 0x1234, 0, &status));
    EXPECT_FALSE(bench.Connect(-1, 0, 0x1501, &status));
    EXPECT_TRUE(bench.Connect(-1, 0x0572, 0x1500, &status));

    bench.Plug(ECxBenchChip::Cx2070xAs1410, 2);
    EXPECT_FALSE(bench.Connect(kCxChip20562, 0x0572, 0x1410, &status)) << "corrected to type 1";
    auto dev = bench.Connect(kCxChip2070x, 0x0572, 0x1410, &status);
    ASSERT_TRUE(dev);
    const SCxDeviceIdentity info = dev->GetDeviceInfo();
    EXPECT_EQ(info.flags, kCxIdentityCorrected);
    EXPECT_EQ(info.inputLength, 3);
    EXPECT_EQ(info.outputLength, 6);
    EXPECT_EQ(bench.Object(dev)->Protocol().flags, 0x70u);
    EXPECT_EQ(bench.Object(dev)->Memory(0).requestReportId, 0x04);
    EXPECT_EQ(bench.Object(dev)->Memory(0).access, 0x3u);
    EXPECT_EQ(bench.Object(dev)->Memory(3).requestPayloadOffset, 3);
    EXPECT_EQ(std::wstring(info.path), bench.World().HidInterfacePath(bench.Id(1)));
}

TEST(CxDiscovery, AnOverlongPathFailsTheConnection)
{
    CCxBench bench;
    bench.Plug(ECxBenchChip::Cx2070x);
    CLongPathSystem system(bench.World());
    int status = -1;
    ICxAudioHidDev* dev = Connect(system, -1, 0, 0, &status);
    EXPECT_EQ(dev, nullptr);
    EXPECT_EQ(status, CXHID_STATUS_SYSTEM_ERROR);
    EXPECT_EQ(bench.World().OpenHidHandleCount(), 0u);
}

TEST(CxDiscovery, FrontKeepsOneCurrentDevice)
{
    CCxBench bench;
    bench.Plug(ECxBenchChip::Cx2070x, 1);
    bench.Plug(ECxBenchChip::Cx20562, 2);
    CxSetHidSystem(&bench.World());
    EXPECT_FALSE(CxIsConnected());
    EXPECT_EQ(CxConnectType(kCxChip20562), 0);
    ASSERT_TRUE(CxIsConnected());
    ICxAudioHidDev* first = CxGetCurrentDevice();
    EXPECT_TRUE(CxIsCurrentDevice(first));
    EXPECT_EQ(first->GetChipType(), kCxChip20562);
    EXPECT_EQ(CxConnectVidPid(0x0572, 0x1500), 0);
    ASSERT_TRUE(CxIsConnected());
    EXPECT_EQ(CxGetCurrentDevice()->GetDeviceInfo().productId, 0x1500);
    {
        auto other = bench.Connect(kCxChip20562);
        ASSERT_TRUE(other);
        EXPECT_FALSE(CxIsCurrentDevice(other.get()));
    }
    EXPECT_EQ(bench.World().OpenHidHandleCount(), 2u) << "the previous device was released";
    EXPECT_EQ(CxConnectType(kCxChip2077x), CXHID_STATUS_DEVICE_NOT_FOUND);
    EXPECT_FALSE(CxIsConnected());
    EXPECT_EQ(CxConnectAny(), 0);
    CxDisconnect();
    EXPECT_FALSE(CxIsConnected());
    EXPECT_EQ(bench.World().OpenHidHandleCount(), 0u);
    CxSetHidSystem(nullptr);

    EXPECT_STREQ(CxGetLibraryVersion(), "1.0.20.0");
    EXPECT_STREQ(CxGetLibraryName(), "CxAudioHidLib");
    EXPECT_STREQ(CxGetStatusText(0), "OK");
    EXPECT_STREQ(CxGetStatusText(26), "Invalid patch file");
    EXPECT_STREQ(CxGetStatusText(40), "EEPROM size is unknown");
    EXPECT_STREQ(CxGetStatusText(41), "Invalid status");
    EXPECT_STREQ(CxGetStatusText(-1), "Invalid status");
}
