// The simulated USB world: device models, input reports from a model's own
// thread, plug events at given moments, cancelling a waiting read.
#include <gtest/gtest.h>

#include <atomic>
#include <mutex>

#include "bench/usb/BenchUsbWorld.h"
#include "platform/Clock.h"
#include "platform/Thread.h"

namespace
{
// Answers feature report 4 with what was last set; answers every output
// report with an input report (ID 3) carrying its bytes; output 0xDF puts
// the device into its "DFU" mode: off the bus and back with other descriptors.
class CEchoModel : public IBenchHidModel
{
public:
    void OnAttach(const std::shared_ptr<IBenchHidSink>& sink) override
    {
        std::lock_guard<std::mutex> guard(m_mutex);
        m_sink = sink;
        ++m_attached;
    }
    void OnDetach() override
    {
        std::lock_guard<std::mutex> guard(m_mutex);
        m_sink.reset();
        ++m_detached;
    }
    EHidResult OnSetFeature(const std::uint8_t* report, std::size_t length) override
    {
        std::lock_guard<std::mutex> guard(m_mutex);
        m_feature.assign(report, report + length);
        return EHidResult::Ok;
    }
    EHidResult OnGetFeature(std::uint8_t* report, std::size_t length) override
    {
        std::lock_guard<std::mutex> guard(m_mutex);
        if (m_feature.size() != length || report[0] != m_feature[0])
            return EHidResult::Failed;
        std::copy(m_feature.begin(), m_feature.end(), report);
        return EHidResult::Ok;
    }
    EHidResult OnOutputReport(const std::uint8_t* report, std::size_t length) override
    {
        std::shared_ptr<IBenchHidSink> sink;
        {
            std::lock_guard<std::mutex> guard(m_mutex);
            sink = m_sink;
        }
        if (!sink)
            return EHidResult::NoDevice;
        if (length > 1 && report[1] == 0xDF)
        {
            SBenchDevice dfu = MakeBenchHidDevice(0x0A12, 0xFFFF, 0xFF00, 0x0002);
            dfu.description = L"DFU device";
            sink->ReEnumerate(dfu, 5, 50);
            return EHidResult::Ok;
        }
        std::vector<std::uint8_t> in(report, report + length);
        in[0] = 3;
        sink->QueueInputReport(in.data(), in.size());
        return EHidResult::Ok;
    }

    std::shared_ptr<IBenchHidSink> Sink()
    {
        std::lock_guard<std::mutex> guard(m_mutex);
        return m_sink;
    }
    int Attached()
    {
        std::lock_guard<std::mutex> guard(m_mutex);
        return m_attached;
    }
    int Detached()
    {
        std::lock_guard<std::mutex> guard(m_mutex);
        return m_detached;
    }

private:
    std::mutex m_mutex;
    std::shared_ptr<IBenchHidSink> m_sink;
    std::vector<std::uint8_t> m_feature;
    int m_attached = 0;
    int m_detached = 0;
};

struct SBench
{
    CBenchUsbWorld world;
    std::shared_ptr<CEchoModel> model = std::make_shared<CEchoModel>();
    BenchId dev = 0;
    std::wstring path;
    SBench()
    {
        const BenchId hc = world.AddHostController();
        SBenchDevice d = MakeBenchHidDevice(0x2C6D, 0x3240, 0xFF00, 0x0001, 17, 17, 17);
        d.hidInterfaces[0].model = model;
        dev = world.Plug(world.RootHub(hc), 1, d);
        path = world.HidInterfacePath(dev);
    }
    CHidDevicePtr Open(bool overlapped = true)
    {
        CHidDevicePtr h;
        SHidOpenOptions o;
        o.overlapped = overlapped;
        EXPECT_EQ(world.Open(path, o, h), EHidResult::Ok);
        return h;
    }
};
} // namespace

TEST(BenchUsbWorld, ModelAnswersFeatureAndOutputReports)
{
    SBench b;
    EXPECT_EQ(b.model->Attached(), 1);
    CHidDevicePtr h = b.Open();
    std::uint8_t feature[17] = {4, 1, 2, 3};
    EXPECT_EQ(h->SetFeature(feature, sizeof(feature)), EHidResult::Ok);
    std::uint8_t back[17] = {4};
    std::size_t n = 0;
    EXPECT_EQ(h->GetFeature(back, sizeof(back), &n), EHidResult::Ok);
    EXPECT_EQ(n, sizeof(back));
    EXPECT_EQ(back[3], 3);
    EXPECT_EQ(h->SetFeature(feature, 16), EHidResult::InvalidArg); // lengths are checked as Windows does

    std::uint8_t out[17] = {0, 9, 8};
    EXPECT_EQ(h->WriteOutputReport(out, sizeof(out), 100), EHidResult::Ok);
    std::uint8_t in[17] = {};
    EXPECT_EQ(h->ReadInputReport(in, sizeof(in), 100, &n), EHidResult::Ok);
    EXPECT_EQ(in[0], 3);
    EXPECT_EQ(in[1], 9);
    EXPECT_EQ(h->ReadInputReport(in, sizeof(in), 20, &n), EHidResult::Timeout);
    EXPECT_EQ(h->ReadInputReport(in, 5, 20, &n), EHidResult::InvalidArg);

    CHidDevicePtr plain = b.Open(false);
    EXPECT_EQ(plain->ReadInputReport(in, sizeof(in), 20, &n), EHidResult::InvalidArg);
    SHidOpenOptions none;
    none.access = kHidAccessNone;
    CHidDevicePtr query;
    ASSERT_EQ(b.world.Open(b.path, none, query), EHidResult::Ok);
    EXPECT_EQ(query->SetFeature(feature, sizeof(feature)), EHidResult::AccessDenied);
}

TEST(BenchUsbWorld, InputReportsFromTheModelsOwnThread)
{
    SBench b;
    CHidDevicePtr h = b.Open();
    CThread producer;
    auto sink = b.model->Sink();
    ASSERT_TRUE(sink);
    ASSERT_TRUE(producer.Start([sink] {
        for (std::uint8_t i = 0; i < 20; ++i)
        {
            const std::uint8_t report[3] = {3, i, 0};
            sink->QueueInputReport(report, sizeof(report));
            CClock::Sleep(1);
        }
        return 0u;
    }));
    for (std::uint8_t i = 0; i < 20; ++i)
    {
        std::uint8_t in[17] = {};
        std::size_t n = 0;
        ASSERT_EQ(h->ReadInputReport(in, sizeof(in), 5000, &n), EHidResult::Ok);
        EXPECT_EQ(n, 17u); // padded to the input report length
        EXPECT_EQ(in[1], i);
    }
    EXPECT_TRUE(producer.Wait(kInfinite));
}

TEST(BenchUsbWorld, ReadWaitingOnADeviceThatDropsOffReturnsNoDevice)
{
    SBench b;
    CHidDevicePtr h = b.Open();
    b.world.ScheduleUnplug(b.dev, 30);
    std::uint8_t in[17] = {};
    EXPECT_EQ(h->ReadInputReport(in, sizeof(in), 5000), EHidResult::NoDevice);
    EXPECT_FALSE(b.world.IsPresent(b.dev));
    EXPECT_EQ(b.model->Detached(), 1);
    std::uint8_t feature[17] = {4};
    EXPECT_EQ(h->GetFeature(feature, sizeof(feature)), EHidResult::NoDevice);
    std::vector<std::wstring> paths;
    EXPECT_EQ(b.world.EnumerateInterfaces(paths), EHidResult::Ok);
    EXPECT_TRUE(paths.empty());
    CHidDevicePtr again;
    EXPECT_EQ(b.world.Open(b.path, SHidOpenOptions(), again), EHidResult::NoDevice);
}

TEST(BenchUsbWorld, DeviceComesBackWithOtherDescriptors)
{
    SBench b;
    CHidDevicePtr h = b.Open();
    std::uint8_t out[17] = {0, 0xDF};
    EXPECT_EQ(h->WriteOutputReport(out, sizeof(out), 100), EHidResult::Ok);
    std::uint8_t in[17] = {};
    EXPECT_EQ(h->ReadInputReport(in, sizeof(in), 5000), EHidResult::NoDevice);
    // Back after its delay, as another device on the same port.
    const CDeadline deadline(5000);
    std::vector<std::wstring> paths;
    while (!deadline.IsExpired())
    {
        b.world.EnumerateInterfaces(paths);
        if (!paths.empty())
            break;
        CClock::Sleep(5);
    }
    ASSERT_EQ(paths.size(), 1u);
    EXPECT_NE(paths[0].find(L"vid_0a12&pid_ffff"), std::wstring::npos);
    EXPECT_EQ(b.world.DeviceInstanceId(b.dev).rfind(L"USB\\VID_0A12&PID_FFFF\\", 0), 0u);
    EXPECT_EQ(b.model->Detached(), 1);
}

TEST(BenchUsbWorld, PlugLaterAndCancelFromAnotherThread)
{
    CBenchUsbWorld world;
    const BenchId hc = world.AddHostController();
    const BenchId dev = world.SchedulePlug(world.RootHub(hc), 2, MakeBenchHidDevice(1, 2, 0xFF00, 1), 5000);
    EXPECT_FALSE(world.IsPresent(dev));
    CClock::Sleep(10000);
    EXPECT_TRUE(world.IsPresent(dev));

    CHidDevicePtr h;
    SHidOpenOptions o;
    o.overlapped = true;
    ASSERT_EQ(world.Open(world.HidInterfacePath(dev), o, h), EHidResult::Ok);
    std::atomic<int> result{-1};
    CThread reader;
    IHidDevice* device = h.get();
    ASSERT_TRUE(reader.Start([device, &result] {
        std::uint8_t in[65] = {};
        result = static_cast<int>(device->ReadInputReport(in, sizeof(in), kInfinite));
        return 0u;
    }));
    CClock::Sleep(10);
    h->Cancel();
    EXPECT_TRUE(reader.Wait(kInfinite));
    EXPECT_EQ(result.load(), static_cast<int>(EHidResult::Cancelled));
    std::uint8_t in[65] = {};
    EXPECT_EQ(h->ReadInputReport(in, sizeof(in), 10), EHidResult::Cancelled); // until reset
    h->ResetCancel();
    EXPECT_EQ(h->ReadInputReport(in, sizeof(in), 10), EHidResult::Timeout);
}
