// The report-descriptor parser on descriptors as devices send them.
#include <gtest/gtest.h>

#include <vector>

#include "platform/HidReportDescriptor.h"

namespace
{
// A boot keyboard: modifiers, reserved byte, six keys; five LEDs and padding.
const std::vector<std::uint8_t> kKeyboard = {
    0x05, 0x01, 0x09, 0x06, 0xA1, 0x01, 0x05, 0x07, 0x19, 0xE0, 0x29, 0xE7, 0x15, 0x00, 0x25, 0x01, 0x75, 0x01,
    0x95, 0x08, 0x81, 0x02, 0x95, 0x01, 0x75, 0x08, 0x81, 0x01, 0x95, 0x05, 0x75, 0x01, 0x05, 0x08, 0x19, 0x01,
    0x29, 0x05, 0x91, 0x02, 0x95, 0x01, 0x75, 0x03, 0x91, 0x01, 0x95, 0x06, 0x75, 0x08, 0x15, 0x00, 0x25, 0x65,
    0x05, 0x07, 0x19, 0x00, 0x29, 0x65, 0x81, 0x00, 0xC0};

// A headset: consumer controls (ID 1), then a vendor collection on page
// 0xFF00 with an output (ID 2), input (ID 3) and feature (ID 4) report.
const std::vector<std::uint8_t> kHeadset = {
    0x05, 0x0C, 0x09, 0x01, 0xA1, 0x01, 0x85, 0x01, 0x15, 0x00, 0x25, 0x01, 0x09, 0xE9, 0x09, 0xEA, 0x09, 0xE2,
    0x75, 0x01, 0x95, 0x03, 0x81, 0x02, 0x95, 0x05, 0x81, 0x01, 0xC0,
    0x06, 0x00, 0xFF, 0x09, 0x01, 0xA1, 0x01, 0x85, 0x02, 0x15, 0x00, 0x26, 0xFF, 0x00, 0x75, 0x08, 0x95, 0x10,
    0x09, 0x01, 0x91, 0x02, 0x85, 0x03, 0x95, 0x20, 0x09, 0x01, 0x81, 0x02, 0x85, 0x04, 0x95, 0x3F, 0x09, 0x01,
    0xB1, 0x02, 0xC0};

// One vendor collection with several input report IDs of different sizes,
// nested collections and push/pop.
const std::vector<std::uint8_t> kSeveralIds = {
    0x06, 0xA0, 0xFF, 0x09, 0x01, 0xA1, 0x01, 0x75, 0x08, 0x15, 0x00, 0x26, 0xFF, 0x00,
    0x85, 0x01, 0x95, 0x08, 0x09, 0x02, 0x81, 0x02,
    0xA4, 0x85, 0x02, 0x95, 0x14, 0x09, 0x03, 0xA1, 0x02, 0x81, 0x02, 0xC0, 0xB4,
    0x85, 0x05, 0x95, 0x04, 0x09, 0x04, 0xB1, 0x02, 0xC0};

std::vector<SHidCaps> Parse(const std::vector<std::uint8_t>& d, bool* ok = nullptr)
{
    std::vector<SHidCaps> collections;
    const bool result = ParseHidReportDescriptorCollections(d.data(), d.size(), collections);
    if (ok != nullptr)
        *ok = result;
    return collections;
}
} // namespace

TEST(HidReportDescriptor, KeyboardWithoutReportIdsCountsTheZeroByte)
{
    SHidCaps caps;
    ASSERT_TRUE(ParseHidReportDescriptor(kKeyboard.data(), kKeyboard.size(), caps));
    EXPECT_EQ(caps.usagePage, 0x01);
    EXPECT_EQ(caps.usage, 0x06);
    EXPECT_EQ(caps.inputReportByteLength, 9);
    EXPECT_EQ(caps.outputReportByteLength, 2);
    EXPECT_EQ(caps.featureReportByteLength, 0);
}

TEST(HidReportDescriptor, HeadsetGivesOneCapabilitySetPerTopLevelCollection)
{
    const std::vector<SHidCaps> c = Parse(kHeadset);
    ASSERT_EQ(c.size(), 2u);
    EXPECT_EQ(c[0].usagePage, 0x0C);
    EXPECT_EQ(c[0].usage, 0x01);
    EXPECT_EQ(c[0].inputReportByteLength, 2);
    EXPECT_EQ(c[0].outputReportByteLength, 0);
    EXPECT_EQ(c[1].usagePage, 0xFF00);
    EXPECT_EQ(c[1].usage, 0x01);
    EXPECT_EQ(c[1].outputReportByteLength, 17);
    EXPECT_EQ(c[1].inputReportByteLength, 33);
    EXPECT_EQ(c[1].featureReportByteLength, 64);
}

TEST(HidReportDescriptor, LongestReportOfSeveralIdsWins)
{
    const std::vector<SHidCaps> c = Parse(kSeveralIds);
    ASSERT_EQ(c.size(), 1u);
    EXPECT_EQ(c[0].usagePage, 0xFFA0);
    EXPECT_EQ(c[0].inputReportByteLength, 21);
    EXPECT_EQ(c[0].featureReportByteLength, 5);
}

TEST(HidReportDescriptor, ExtendedUsageCarriesItsOwnPage)
{
    const std::vector<std::uint8_t> d = {0x05, 0x01, 0x0B, 0x01, 0x00, 0x00, 0xFF, 0xA1, 0x01, 0x75, 0x08,
                                         0x95, 0x02, 0x81, 0x02, 0xC0};
    const std::vector<SHidCaps> c = Parse(d);
    ASSERT_EQ(c.size(), 1u);
    EXPECT_EQ(c[0].usagePage, 0xFF00);
    EXPECT_EQ(c[0].usage, 0x0001);
    EXPECT_EQ(c[0].inputReportByteLength, 3);
}

TEST(HidReportDescriptor, MalformedDescriptorsAreRefused)
{
    const std::vector<std::vector<std::uint8_t>> bad = {
        {},                                          // nothing
        {0x05, 0x01, 0x09, 0x06},                    // no collection
        {0x05, 0x01, 0x09, 0x06, 0xA1, 0x01},        // never closed
        {0xC0},                                      // closed without opening
        {0x05, 0x01, 0x09, 0x06, 0xA1, 0x01, 0x26},  // item cut short
        {0x06, 0x00},                                // item cut short
        {0xFE, 0x05, 0x00, 0x01},                    // long item cut short
        {0xB4, 0xA1, 0x01, 0xC0},                    // pop without push
        {0x85, 0x00, 0xA1, 0x01, 0xC0},              // report ID 0
        {0x75, 0x08, 0x95, 0x01, 0x81, 0x02},        // report outside a collection
    };
    for (const auto& d : bad)
    {
        bool ok = true;
        EXPECT_TRUE(Parse(d, &ok).empty());
        EXPECT_FALSE(ok);
    }
    SHidCaps caps;
    caps.usage = 7;
    EXPECT_FALSE(ParseHidReportDescriptor(nullptr, 10, caps));
    EXPECT_EQ(caps.usage, 0);

    std::vector<std::uint8_t> deep;
    for (int i = 0; i < 100; ++i)
        deep.insert(deep.end(), {0xA1, 0x00});
    for (int i = 0; i < 100; ++i)
        deep.push_back(0xC0);
    EXPECT_TRUE(Parse(deep).empty());
    std::vector<std::uint8_t> pushes(40, 0xA4);
    EXPECT_TRUE(Parse(pushes).empty());
}

TEST(HidReportDescriptor, HugeReportsSaturateInsteadOfWrapping)
{
    const std::vector<std::uint8_t> d = {0xA1, 0x01, 0x77, 0xFF, 0xFF, 0xFF, 0xFF, 0x97, 0xFF, 0xFF, 0xFF, 0xFF,
                                         0x81, 0x02, 0x81, 0x02, 0xC0};
    const std::vector<SHidCaps> c = Parse(d);
    ASSERT_EQ(c.size(), 1u);
    EXPECT_EQ(c[0].inputReportByteLength, 0xFFFF);
}

TEST(HidReportDescriptor, LongItemsAreSkipped)
{
    std::vector<std::uint8_t> d = {0xFE, 0x02, 0x10, 0xAA, 0xBB};
    d.insert(d.end(), kKeyboard.begin(), kKeyboard.end());
    const std::vector<SHidCaps> c = Parse(d);
    ASSERT_EQ(c.size(), 1u);
    EXPECT_EQ(c[0].usage, 0x06);
}
