// The one string table: the texts the code loads by number, and on Windows
// the program's STRINGTABLE built from the same file.
#include <gtest/gtest.h>

#include <set>
#include <string>

#include "resources/StringTable.h"

#ifdef _WIN32
#include <windows.h>
#endif

TEST(StringTableTest, NumbersAreUniqueAndTextsPresent)
{
    unsigned count = 0;
    const SStringEntry* table = GetStringTable(&count);
    ASSERT_GT(count, 20u);
    std::set<unsigned> seen;
    for (unsigned i = 0; i < count; ++i)
    {
        EXPECT_TRUE(seen.insert(table[i].id).second) << table[i].id;
        EXPECT_STRNE(table[i].text, "") << table[i].id;
    }
    for (unsigned id : {101u, 105u, 106u, 109u, 110u, 114u, 115u, 116u, 119u, 120u, 121u, 123u, 124u, 126u, 129u, 132u,
                        135u, 136u, 137u, 138u, 139u, 140u, 147u, 150u, 152u, 164u})
        EXPECT_EQ(seen.count(id), 1u) << id;
    EXPECT_STREQ(LoadResourceString(999), "");
}

TEST(StringTableTest, TextsTheUserSees)
{
    EXPECT_STREQ(LoadResourceString(114), "Current Version: ");
    EXPECT_STREQ(LoadResourceString(106), "Firmware upgrading successfully done! ");
    EXPECT_STREQ(LoadResourceString(129), "\nPlease power on your device again for the firmware to take effect.");
    EXPECT_STREQ(LoadResourceString(139), "Veritane Device HID Firmware Upgrade Version %s");
    const std::string notice = LoadResourceString(140);
    EXPECT_NE(notice.find("2015"), std::string::npos);
    EXPECT_EQ(notice.find('\n'), std::string::npos);
}

#ifdef _WIN32
TEST(StringTableTest, WindowsResourcesMatchTheTable)
{
    unsigned count = 0;
    const SStringEntry* table = GetStringTable(&count);
    for (unsigned i = 0; i < count; ++i)
    {
        char text[1024] = {};
        const int length = LoadStringA(GetModuleHandleA(nullptr), table[i].id, text, sizeof text);
        EXPECT_GT(length, 0) << table[i].id;
        EXPECT_STREQ(text, table[i].text) << table[i].id;
    }
}

TEST(StringTableTest, WindowsDialogTemplatesAndIconArePresent)
{
    for (int id : {100, 102, 134})
        EXPECT_NE(FindResourceA(nullptr, MAKEINTRESOURCEA(id), MAKEINTRESOURCEA(5) /* RT_DIALOG */), nullptr) << id;
    EXPECT_NE(LoadIconA(GetModuleHandleA(nullptr), MAKEINTRESOURCEA(144)), nullptr);
}
#endif

#ifdef _WIN32
// The manifest declares system DPI awareness (the dialogs are drawn sharp at
// the system's DPI instead of stretched) and Windows 7 to 11 as supported;
// the loader of this process (which carries it) applies it.
TEST(StringTableTest, ManifestDeclaresDpiAwarenessAndSupportedSystems)
{
    HRSRC found = FindResourceA(nullptr, MAKEINTRESOURCEA(1), MAKEINTRESOURCEA(24) /* RT_MANIFEST */);
    ASSERT_NE(found, nullptr);
    HGLOBAL loaded = LoadResource(nullptr, found);
    ASSERT_NE(loaded, nullptr);
    const std::string manifest(static_cast<const char*>(LockResource(loaded)), SizeofResource(nullptr, found));
    for (const char* text : {"<dpiAware xmlns=\"http://schemas.microsoft.com/SMI/2005/WindowsSettings\">true</dpiAware>",
                             "<dpiAwareness xmlns=\"http://schemas.microsoft.com/SMI/2016/WindowsSettings\">system</dpiAwareness>",
                             "{35138b9a-5d96-4fbd-8e2d-a2440225f93a}", // Windows 7
                             "{4a2f28e3-53b9-4441-ba9c-d69d4a4a6e38}", // Windows 8
                             "{1f676c76-80e1-4239-95bb-83d0f6d0da78}", // Windows 8.1
                             "{8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a}", // Windows 10 and 11
                             "level=\"asInvoker\""})
        EXPECT_NE(manifest.find(text), std::string::npos) << text;
    EXPECT_TRUE(IsProcessDPIAware());
}
#endif
