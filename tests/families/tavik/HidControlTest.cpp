#include <gtest/gtest.h>

#include <deque>
#include <map>

#include "families/tavik/HidControl.h"

namespace
{
// A scripted hidapi: devices by identifiers, replies queued per device.
struct SFakeState
{
    std::vector<SHidApiDeviceInfo> devices;
    std::deque<std::vector<std::uint8_t>> replies; // one per Read; empty vector = no data
    std::vector<std::vector<std::uint8_t>> writes;
    bool failWrites = false;
    int exits = 0;
    int reads = 0;
    bool nonblocking = false;
    std::wstring product = L"Tavik Headset";
};

class CFakeDevice : public IHidApiDevice
{
public:
    explicit CFakeDevice(SFakeState& s) : m_s(s) {}
    int Write(const std::uint8_t* data, std::size_t length) override
    {
        if (m_s.failWrites)
            return -1;
        m_s.writes.emplace_back(data, data + length);
        return static_cast<int>(length);
    }
    int Read(std::uint8_t* data, std::size_t length) override
    {
        ++m_s.reads;
        if (m_s.replies.empty())
            return 0;
        auto r = m_s.replies.front();
        m_s.replies.pop_front();
        if (r.size() == 1 && r[0] == 0xEE)
            return -1; // scripted read failure
        const std::size_t n = std::min(length, r.size());
        std::copy(r.begin(), r.begin() + static_cast<long>(n), data);
        return static_cast<int>(n);
    }
    int ReadTimeout(std::uint8_t* data, std::size_t length, int) override { return Read(data, length); }
    int SetNonblocking(bool nonblocking) override
    {
        m_s.nonblocking = nonblocking;
        return 0;
    }
    int SendFeatureReport(const std::uint8_t*, std::size_t) override { return -1; }
    int GetFeatureReport(std::uint8_t*, std::size_t) override { return -1; }
    int GetManufacturerString(wchar_t*, std::size_t) override { return -1; }
    int GetProductString(wchar_t* text, std::size_t maxChars) override
    {
        std::wcsncpy(text, m_s.product.c_str(), maxChars);
        text[maxChars - 1] = L'\0';
        return 0;
    }
    int GetSerialNumberString(wchar_t*, std::size_t) override { return -1; }
    int GetIndexedString(int, wchar_t*, std::size_t) override { return -1; }
    std::wstring Error() override { return L""; }

private:
    SFakeState& m_s;
};

class CFakeHidApi : public IHidApi
{
public:
    explicit CFakeHidApi(SFakeState& s) : m_s(s) {}
    int Init() override { return 0; }
    int Exit() override
    {
        ++m_s.exits;
        return 0;
    }
    std::vector<SHidApiDeviceInfo> Enumerate(std::uint16_t vid, std::uint16_t pid) override
    {
        std::vector<SHidApiDeviceInfo> r;
        for (const auto& d : m_s.devices)
            if ((vid == 0 || d.vendorId == vid) && (pid == 0 || d.productId == pid))
                r.push_back(d);
        return r;
    }
    std::unique_ptr<IHidApiDevice> Open(std::uint16_t vid, std::uint16_t pid, const wchar_t*) override
    {
        return Enumerate(vid, pid).empty() ? nullptr : std::make_unique<CFakeDevice>(m_s);
    }
    std::unique_ptr<IHidApiDevice> OpenPath(const std::string&) override { return nullptr; }

private:
    SFakeState& m_s;
};

SHidApiDeviceInfo Headset(const char* path)
{
    SHidApiDeviceInfo d;
    d.path = path;
    d.vendorId = 0x2C6D;
    d.productId = 0x3240;
    return d;
}

std::string Version(std::vector<std::uint8_t> reply)
{
    std::string out = "unchanged";
    ParseTavikVersionReply(reply.data(), static_cast<int>(reply.size()), &out);
    return out;
}
} // namespace

TEST(TavikVersionTest, DigitsBecomeTheVersionText)
{
    EXPECT_EQ(Version({2, 0x33, 0, 4, 5, 0}), "0.54.0");  // 0x540
    EXPECT_EQ(Version({2, 0x33, 4, 5, 0, 1}), "1.05.4");  // 0x1054
    EXPECT_EQ(Version({2, 0x33, 3, 5, 0, 1}), "1.05.3");
    EXPECT_EQ(Version({2, 0x33, 5, 0, 0, 0}), "5..");     // one digit: the inserts append
    EXPECT_EQ(Version({2, 0x33, 0xA, 0xB, 0, 0}), "0.0b.a"); // lowercase hex, padded from two digits
    EXPECT_EQ(Version({2, 0x34, 4, 5, 0, 1}), "unchanged"); // not a version reply
    EXPECT_EQ(Version({2, 0x33, 4}), "unchanged");          // too short to hold the digits
}

TEST(HidControlTest, CountsOpensAndReadsTheVersion)
{
    SFakeState s;
    CFakeHidApi api(s);
    {
        CHidControl control(0x3240, 0x2C6D, api);
        EXPECT_EQ(control.CountDevices(), 0u);
        EXPECT_FALSE(control.Open());
        std::string version = "old";
        EXPECT_FALSE(control.GetFirmwareVersion(&version));
        EXPECT_FALSE(control.EnterDFUMode());
        EXPECT_TRUE(s.writes.empty());

        s.devices = {Headset("a"), Headset("b")};
        SHidApiDeviceInfo other = Headset("c");
        other.productId = 0x1111;
        s.devices.push_back(other);
        EXPECT_EQ(control.CountDevices(), 2u);
        ASSERT_TRUE(control.Open());
        EXPECT_TRUE(s.nonblocking);

        // The reply comes on the third poll.
        s.replies = {{}, {}, {2, 0x33, 4, 5, 0, 1}};
        ASSERT_TRUE(control.GetFirmwareVersion(&version));
        EXPECT_EQ(version, "1.05.4");
        EXPECT_EQ(s.reads, 3);
        ASSERT_EQ(s.writes.size(), 1u);
        EXPECT_EQ(s.writes[0], (std::vector<std::uint8_t>{2, 0x32, 0x33, 0, 0}));

        ASSERT_TRUE(control.EnterDFUMode());
        std::vector<std::uint8_t> enter(17, 0);
        enter[0] = 2;
        enter[1] = 1;
        enter[2] = 1;
        EXPECT_EQ(s.writes[1], enter);
    }
    EXPECT_EQ(s.exits, 1); // the library is shut down with the channel
}

TEST(HidControlTest, VersionQueryGivesUpAfterFivePollsOrABadReply)
{
    SFakeState s;
    s.devices = {Headset("a")};
    CFakeHidApi api(s);
    CHidControl control(0x3240, 0x2C6D, api);
    ASSERT_TRUE(control.Open());
    std::string version = "kept";
    EXPECT_FALSE(control.GetFirmwareVersion(&version));
    EXPECT_EQ(s.reads, 5);
    EXPECT_EQ(version, "kept");

    s.replies = {{2, 0x40, 4, 5, 0, 1}};
    EXPECT_FALSE(control.GetFirmwareVersion(&version));
    EXPECT_EQ(version, "kept");

    s.replies = {{0xEE}}; // a failed read ends the polling
    s.reads = 0;
    EXPECT_FALSE(control.GetFirmwareVersion(&version));
    EXPECT_EQ(s.reads, 1);

    s.failWrites = true;
    EXPECT_FALSE(control.GetFirmwareVersion(&version));
    EXPECT_FALSE(control.EnterDFUMode());
}

TEST(HidControlTest, ProductStringOpensFirstAndIsBounded)
{
    SFakeState s;
    s.devices = {Headset("a")};
    s.product = std::wstring(300, L'x');
    CFakeHidApi api(s);
    CHidControl control(0x3240, 0x2C6D, api);
    wchar_t name[CHidControl::kProductNameChars + 8];
    std::fill(std::begin(name), std::end(name), L'#');
    ASSERT_TRUE(control.GetProductString(name));
    EXPECT_TRUE(control.IsOpen());
    EXPECT_EQ(std::wcslen(name), CHidControl::kProductNameChars - 1);
    EXPECT_EQ(name[CHidControl::kProductNameChars], L'#'); // nothing written past the buffer

    SFakeState none;
    CFakeHidApi noneApi(none);
    CHidControl missing(0x3240, 0x2C6D, noneApi);
    EXPECT_FALSE(missing.GetProductString(name));
}
