// The host interface as an outside tool meets it: liborvohostapi.so loaded
// at run time, its exports looked up by name, and the adapter transport
// talking to the bench adapter library (aardvark.so found through
// LD_LIBRARY_PATH) with the simulated chip behind it.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "avnera/OrvoHostApi.h"
#include "platform/Clock.h"
#include "platform/DynamicLibrary.h"

namespace
{
#define HOSTAPI_NAMES(X)                                                                                               \
    X(AvDllInitialize) X(AvDllShutdown) X(AvDllGetVersion) X(AvDllListDevices) X(AvDllOpenDevice) X(AvDllCloseHandle) \
    X(AvDllQueryDevice) X(AvDllRefreshDevice) X(AvDllFindDevice) X(commandSend) X(commandGetResponse)                  \
    X(commandSendAndGetResponse) X(commandSetTimeout) X(getAssertCode) X(inithostapi_vmi) X(MemoryPeek)               \
    X(MemoryPoke) X(RemotePeek) X(RemotePoke) X(deviceVersion) X(deviceReset) X(eepromWrite) X(eepromRead)             \
    X(SerialMemRead) X(SerialMemWrite) X(SerialMemErase) X(SerialMemRead2) X(SerialMemWrite2) X(SerialMemErase2)       \
    X(SerialMemEnterFlashMode) X(SerialMemDownload) X(SetFlashType) X(FlashWrite) X(FlashRead) X(batmanStopCharger)    \
    X(batmanStartCharger) X(batmanGetChargerCal) X(batmanSetChargerCal) X(batmanSampleDvm) X(batmanGetBattState)       \
    X(systemDeviceIdGet) X(systemDeviceIdSet) X(systemPairedArbDeviceIdGet) X(systemPairedArbDeviceIdSet)              \
    X(systemDeviceIdsCommit) X(systemPeerDeviceInfoGet) X(systemVersionAppNameGet) X(systemReset) X(systemDefaultLI)   \
    X(systemPair) X(systemPairCancel) X(systemStandby) X(macGetLinkStatus) X(macGetMACState) X(macGetBer)              \
    X(macGetBerEx) X(macGetStats) X(macEnableStats) X(macClearStats) X(macRfFixedChannelSetup) X(macWlanChannelTables) \
    X(macDebugTables) X(rfFixedChannelSetup) X(rfDynamicChannelSetup) X(rfAntennaDiversitySetup)                      \
    X(rfContinuousTransmitEnable) X(rfRevertToFlashSettings) X(rfSetTxPower)

struct SHostApi
{
#define DECLARE(name) decltype(&::name) name = nullptr;
    HOSTAPI_NAMES(DECLARE)
#undef DECLARE
};

struct SBench
{
    void (*restore)(uint32_t, uint32_t, uint32_t) = nullptr;
    uint32_t (*gpio)() = nullptr;
    uint32_t (*resets)() = nullptr;
    void (*assertion)(const uint8_t*) = nullptr;
    uint32_t (*serial)(uint32_t, uint32_t, uint8_t*) = nullptr;
    uint32_t (*ram)(uint16_t, uint32_t, uint8_t*) = nullptr;
    uint32_t (*eeprom)(uint32_t, uint32_t, uint8_t*) = nullptr;
    uint32_t (*download)(uint8_t*, uint32_t) = nullptr;
    void (*fault)(uint32_t, uint32_t, uint32_t) = nullptr;
    void (*stretch)(uint32_t, uint32_t) = nullptr;
    uint32_t (*flashMode)() = nullptr;
};

// EAvneraFault numbering of the bench adapter's orvo_bench_aa_fault.
enum : uint32_t
{
    kFaultAssert = 1,
    kFaultLost = 2,
    kFaultNoAnswer = 3,
    kFaultShortAnswer = 4,
    kFaultWrongOpcode = 5,
};

#if defined(_WIN32)
const char* const kAdapterLibrary = "aardvark.dll";
#else
const char* const kAdapterLibrary = "aardvark.so";
#endif

template <typename T>
void Bind(const CDynamicLibrary& library, T& slot, const char* name)
{
    slot = reinterpret_cast<T>(library.Symbol(name));
}

class CHostApiAbi : public ::testing::Test
{
protected:
    static void SetUpTestSuite()
    {
        s_library = new CDynamicLibrary();
        ASSERT_TRUE(s_library->Open(ORVO_HOSTAPI_LIBRARY)) << s_library->LastError();
#define BIND(name) Bind(*s_library, s_api.name, #name);
        HOSTAPI_NAMES(BIND)
#undef BIND
    }
    static void TearDownTestSuite()
    {
        delete s_library;
        s_library = nullptr;
    }
    void SetUp() override
    {
        ASSERT_NE(nullptr, s_api.AvDllInitialize);
        s_api.AvDllInitialize();
    }
    void TearDown() override
    {
        s_api.AvDllShutdown();
    }

    static CDynamicLibrary* s_library;
    static SHostApi s_api;
};
CDynamicLibrary* CHostApiAbi::s_library = nullptr;
SHostApi CHostApiAbi::s_api;

class CHostApiBench : public CHostApiAbi
{
protected:
    void SetUp() override
    {
        CHostApiAbi::SetUp();
        ASSERT_TRUE(m_bench.Open(kAdapterLibrary)) << m_bench.LastError();
        Bind(m_bench, b.restore, "orvo_bench_aa_restore");
        Bind(m_bench, b.gpio, "orvo_bench_aa_gpio");
        Bind(m_bench, b.resets, "orvo_bench_aa_resets");
        Bind(m_bench, b.assertion, "orvo_bench_aa_assert");
        Bind(m_bench, b.serial, "orvo_bench_aa_serial");
        Bind(m_bench, b.ram, "orvo_bench_aa_ram");
        Bind(m_bench, b.eeprom, "orvo_bench_aa_eeprom");
        Bind(m_bench, b.download, "orvo_bench_aa_download");
        Bind(m_bench, b.fault, "orvo_bench_aa_fault");
        Bind(m_bench, b.stretch, "orvo_bench_aa_stretch");
        Bind(m_bench, b.flashMode, "orvo_bench_aa_flash_mode");
        ASSERT_NE(nullptr, b.restore);
        b.restore(0, 0, 0);
    }
    AvDeviceHandle* OpenAdapter()
    {
        AvDeviceHandle* handle = nullptr;
        EXPECT_EQ(0, s_api.AvDllOpenDevice(2, 0, &handle));
        return handle;
    }
    CDynamicLibrary m_bench;
    SBench b;
};
} // namespace

TEST_F(CHostApiAbi, EveryNameIsExportedAndNothingElse)
{
#define CHECK(name) EXPECT_NE(nullptr, reinterpret_cast<void*>(s_api.name)) << #name;
    HOSTAPI_NAMES(CHECK)
#undef CHECK
    // Inner parts stay inside the library.
    for (const char* inner : {"_ZN6avnera9g_handlesE", "_ZN6avnera11AardvarkApiEv", "_ZN6CClock6NowMsEv",
                              "_Z15CreateSystemHidv", "ParseVersionRecord", "hid_init"})
        EXPECT_EQ(nullptr, s_library->Symbol(inner)) << inner;
    uint32_t version[2] = {};
    EXPECT_EQ(0, s_api.AvDllGetVersion(version));
    EXPECT_EQ(1u, version[0]);
    EXPECT_EQ(18u, version[1]);
}

TEST_F(CHostApiBench, ListsOpensQueriesAndReadsTheVersionThroughTheAdapter)
{
    uint16_t indexes[10] = {};
    uint32_t ids[10] = {};
    ASSERT_EQ(1, s_api.AvDllListDevices(2, 10, indexes, ids));
    EXPECT_EQ(2237000123u, ids[0]);
    AvDeviceHandle* handle = OpenAdapter();
    ASSERT_NE(nullptr, handle);
    EXPECT_EQ(2u, handle->type);
    EXPECT_EQ(0u, handle->i2cMode);
    // The port is taken now.
    AvDeviceHandle* second = nullptr;
    EXPECT_EQ(-1, s_api.AvDllOpenDevice(2, 0, &second));
    AvDeviceQuery query = {};
    ASSERT_EQ(0, s_api.AvDllQueryDevice(handle, &query));
    EXPECT_EQ(2237000123u, query.uniqueId);
    EXPECT_EQ(0x0300u, query.version);
    ASSERT_EQ(0, s_api.AvDllRefreshDevice(handle));
    EXPECT_EQ(0u, handle->mode);
    uint32_t firmware = 0;
    ASSERT_EQ(0, s_api.deviceVersion(handle, &firmware));
    EXPECT_EQ(0x0105u, firmware);
    char text[32], name[95];
    ASSERT_EQ(0, s_api.systemVersionAppNameGet(handle, text, name));
    EXPECT_STREQ("1.2 (build7)", text);
    EXPECT_STREQ("HeadsetApp (tool/name.bin)", name);
    AvDeviceSearch search = {2, 0, 0};
    uint32_t index = 9;
    EXPECT_EQ(0, s_api.AvDllCloseHandle(handle));
    EXPECT_EQ(0, s_api.AvDllFindDevice(2, &search, &index));
    EXPECT_EQ(0u, index);
}

TEST_F(CHostApiBench, PeekPokeEepromAndSerialFlashThroughSpi)
{
    AvDeviceHandle* handle = OpenAdapter();
    const uint8_t data[16] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16};
    ASSERT_EQ(0, s_api.MemoryPoke(handle, 0x3000, 16, data));
    uint8_t back[16] = {};
    ASSERT_EQ(0, s_api.MemoryPeek(handle, 0x3000, 16, back));
    EXPECT_EQ(0, std::memcmp(data, back, 16));

    ASSERT_EQ(0, s_api.eepromWrite(handle, 0x0100, 16, data));
    uint8_t eeprom[16] = {};
    ASSERT_EQ(0, s_api.eepromRead(handle, 0x0100, 16, eeprom));
    EXPECT_EQ(0, std::memcmp(data, eeprom, 16));

    // Default part: row 36 (128 KiB SPI flash, 4 KiB sectors); blocks of 15 bytes over SPI.
    std::vector<uint8_t> image(1000);
    for (std::size_t i = 0; i < image.size(); ++i)
        image[i] = static_cast<uint8_t>(i * 13 + 5);
    ASSERT_EQ(0, s_api.SerialMemWrite(handle, 0, 1000, image.data(), 36));
    std::vector<uint8_t> read(1000);
    ASSERT_EQ(0, s_api.SerialMemRead(handle, 0, 1000, read.data(), 36));
    EXPECT_EQ(image, read);
    ASSERT_EQ(0, s_api.SerialMemErase(handle, 0, 1000, image.data(), 36));
    std::vector<uint8_t> flash(1000);
    b.serial(0, 1000, flash.data());
    EXPECT_EQ(std::vector<uint8_t>(1000, 0xFF), flash);
}

TEST_F(CHostApiBench, FlashReadAndWriteTalkToTheSerialFlashDirectly)
{
    AvDeviceHandle* handle = OpenAdapter();
    std::vector<uint8_t> data(600);
    for (std::size_t i = 0; i < data.size(); ++i)
        data[i] = static_cast<uint8_t>(i ^ 0x5A);
    ASSERT_EQ(0, s_api.SetFlashType(handle, 1));
    ASSERT_EQ(0, s_api.FlashWrite(handle, 0x1000, 600, data.data()));
    std::vector<uint8_t> flash(600);
    b.serial(0x1000, 600, flash.data());
    EXPECT_EQ(data, flash);
    std::vector<uint8_t> back(600);
    ASSERT_EQ(0, s_api.FlashRead(handle, 0x1000, 600, back.data()));
    EXPECT_EQ(data, back);
    // Commands reach the chip again afterwards.
    uint32_t firmware = 0;
    EXPECT_EQ(0, s_api.deviceVersion(handle, &firmware));
}

TEST_F(CHostApiBench, DeviceResetDrivesTheAdapterGpio)
{
    AvDeviceHandle* handle = OpenAdapter();
    const uint32_t resets = b.resets();
    ASSERT_EQ(0, s_api.deviceReset(handle, 0));
    EXPECT_EQ(0x00u, b.gpio() & 0xFF);        // outputs low
    EXPECT_EQ(0x00u, (b.gpio() >> 16) & 0xFF); // GPIO-only configuration
    uint32_t firmware = 0;
    EXPECT_EQ(-1, s_api.deviceVersion(handle, &firmware)); // held in reset
    ASSERT_EQ(0, s_api.deviceReset(handle, 1));
    EXPECT_EQ(0xFFu, b.gpio() & 0xFF);
    EXPECT_EQ(0x01u, (b.gpio() >> 16) & 0xFF); // SPI + GPIO again
    EXPECT_EQ(resets + 1, b.resets());
    EXPECT_EQ(0, s_api.deviceVersion(handle, &firmware));
    EXPECT_EQ(-3, s_api.deviceReset(nullptr, 1));
}

TEST_F(CHostApiBench, AssertionAndTimeOutThroughSpi)
{
    AvDeviceHandle* handle = OpenAdapter();
    const uint8_t code[4] = {0x0B, 0xAD, 0xF0, 0x0D};
    b.assertion(code);
    uint8_t packet[24] = {0xFD, 2, 0, 0, 2, 0x83};
    EXPECT_EQ(-5, s_api.commandSend(handle, packet));
    EXPECT_EQ(0, std::memcmp(packet, code, 4));
    uint8_t assertion[5] = {};
    EXPECT_EQ(0, s_api.getAssertCode(handle, assertion));
    EXPECT_EQ(0x40, assertion[0]);
    EXPECT_EQ(0, std::memcmp(assertion + 1, code, 4));
    b.assertion(nullptr);
    s_api.AvDllCloseHandle(handle);

    b.restore(0, 0, 1); // never ready
    handle = OpenAdapter();
    uint32_t firmware = 0;
    EXPECT_EQ(-1, s_api.deviceVersion(handle, &firmware));
}

TEST_F(CHostApiBench, I2cModeCarriesCommandsToo)
{
    AvDeviceHandle* handle = OpenAdapter();
    ASSERT_EQ(0, handle->ops->control(handle, 3, 1));
    EXPECT_EQ(1u, handle->i2cMode);
    const uint8_t data[4] = {0xA5, 0x5A, 0x11, 0x22};
    ASSERT_EQ(0, s_api.MemoryPoke(handle, 0x4000, 4, data));
    uint8_t ram[4] = {};
    b.ram(0x4000, 4, ram);
    EXPECT_EQ(0, std::memcmp(data, ram, 4));
    uint8_t back[4] = {};
    ASSERT_EQ(0, s_api.MemoryPeek(handle, 0x4000, 4, back));
    EXPECT_EQ(0, std::memcmp(data, back, 4));
    ASSERT_EQ(0, handle->ops->control(handle, 3, 0));
    EXPECT_EQ(0u, handle->i2cMode);
    EXPECT_EQ(-4, handle->ops->control(handle, 9, 0));
}

TEST_F(CHostApiBench, DownloadLandsAtTheDownloadBase)
{
    AvDeviceHandle* handle = OpenAdapter();
    std::vector<uint8_t> image(600);
    for (std::size_t i = 0; i < image.size(); ++i)
        image[i] = static_cast<uint8_t>(i * 3);
    ASSERT_EQ(0, s_api.SerialMemDownload(handle, 0, 600, image.data()));
    std::vector<uint8_t> ran(600);
    ASSERT_EQ(600u, b.download(ran.data(), 600));
    EXPECT_EQ(image, ran);
}

// Run without the bench library on the search path, or with one that lacks entry points.
TEST_F(CHostApiAbi, AdapterTypeListsAndOpensNothingWithoutACompleteLibrary)
{
    if (std::getenv("ORVO_EXPECT_NO_ADAPTER") == nullptr)
        GTEST_SKIP() << "run by avnera_abi_no_library and avnera_abi_partial_library";
    uint16_t indexes[10] = {};
    uint32_t ids[10] = {};
    EXPECT_EQ(0, s_api.AvDllListDevices(2, 10, indexes, ids));
    AvDeviceHandle* handle = nullptr;
    EXPECT_EQ(-1, s_api.AvDllOpenDevice(2, 0, &handle));
    EXPECT_EQ(nullptr, handle);
    AvDeviceSearch search = {2, 0, 0};
    uint32_t index = 0;
    EXPECT_EQ(-1, s_api.AvDllFindDevice(0, &search, &index));
}

// The Python extension entry binds to a runtime already loaded in the
// process and never loads one itself. Death tests run first, before the
// stand-in runtime is loaded.
#if !defined(_WIN32) // Windows shows a message box, which would wait for a click
TEST(CHostApiPythonDeathTest, WithoutARuntimeItShowsTheMessageAndExitsWithOne)
{
    CDynamicLibrary library;
    ASSERT_TRUE(library.Open(ORVO_HOSTAPI_LIBRARY));
    auto entry = reinterpret_cast<void (*)()>(library.Symbol("inithostapi_vmi"));
    ASSERT_NE(nullptr, entry);
    EXPECT_EXIT(entry(), ::testing::ExitedWithCode(1), "Python API: Unable to bind to Python API");
}
#endif

TEST(CHostApiPython, BindsToTheLoadedRuntimeAndInitialisesTheModule)
{
    CDynamicLibrary standIn;
    ASSERT_TRUE(standIn.Open(ORVO_PYTHON_STANDIN)) << standIn.LastError();
    CDynamicLibrary library;
    ASSERT_TRUE(library.Open(ORVO_HOSTAPI_LIBRARY));
    auto entry = reinterpret_cast<void (*)()>(library.Symbol("inithostapi_vmi"));
    auto record = reinterpret_cast<int (*)(char*, int)>(standIn.Symbol("standin_record"));
    ASSERT_NE(nullptr, entry);
    ASSERT_NE(nullptr, record);
    entry();
    char text[200];
    record(text, sizeof(text));
    EXPECT_STREQ("hostapi_vmi|hostapi_vmi|1012|1|1|2", text);
}

TEST_F(CHostApiBench, AssertionsStretchedClocksAndWrongAnswersInEitherMode)
{
    AvDeviceHandle* handle = OpenAdapter();
    ASSERT_NE(nullptr, handle);
    uint8_t ram[16] = {};
    b.ram(0x3000, 16, ram);
    uint8_t peek[16] = {};
    for (uint32_t i2c : {0u, 1u})
    {
        ASSERT_EQ(0, handle->ops->control(handle, 3, i2c));
        // An answer with another opcode is no answer.
        b.fault(kFaultWrongOpcode, 1, 0);
        EXPECT_EQ(-1, s_api.MemoryPeek(handle, 0x3000, 16, peek)) << "i2c " << i2c;
        b.fault(kFaultNoAnswer, 1, 0);
        EXPECT_EQ(-1, s_api.MemoryPeek(handle, 0x3000, 16, peek)) << "i2c " << i2c;
        ASSERT_EQ(0, s_api.MemoryPeek(handle, 0x3000, 16, peek));
        EXPECT_EQ(0, std::memcmp(ram, peek, 16));
    }
    // I2C: a clock stretched past the adapter's bus time-out ends the read
    // early; one within it only takes longer.
    b.stretch(12, 500);
    std::memset(peek, 0xEE, sizeof(peek));
    EXPECT_EQ(-1, s_api.MemoryPeek(handle, 0x3000, 16, peek));
    b.stretch(3, 100);
    ASSERT_EQ(0, s_api.MemoryPeek(handle, 0x3000, 16, peek));
    EXPECT_EQ(0, std::memcmp(ram, peek, 16));
    // I2C: an asserted chip gives its assertion bytes where the answer would be.
    const uint8_t code[4] = {0x0B, 0xAD, 0xF0, 0x0D};
    b.assertion(code);
    EXPECT_EQ(-5, s_api.MemoryPeek(handle, 0x3000, 16, peek));
    uint32_t version = 0;
    EXPECT_EQ(-5, s_api.deviceVersion(handle, &version));
    uint8_t assertion[5] = {};
    ASSERT_EQ(0, s_api.getAssertCode(handle, assertion));
    EXPECT_EQ(0x40, assertion[0]);
    EXPECT_EQ(0, std::memcmp(assertion + 1, code, 4));
    b.assertion(nullptr);
    ASSERT_EQ(0, handle->ops->control(handle, 3, 0));
    EXPECT_EQ(0, s_api.deviceVersion(handle, &version));
}

TEST_F(CHostApiBench, TheDefaultFlashTypeReachesNoFlashAndIsRefused)
{
    AvDeviceHandle* handle = OpenAdapter();
    ASSERT_NE(nullptr, handle);
    // At 0xADDE00 the adapter's flash write would be the enter-flash-mode
    // command on the chip's host port.
    const uint8_t data[16] = {0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x77, 0x88};
    EXPECT_EQ(-4, s_api.FlashWrite(handle, 0xADDE00, 16, data));
    EXPECT_EQ(0u, b.flashMode());
    uint8_t back[16];
    std::memset(back, 0x5A, sizeof(back));
    EXPECT_EQ(-4, s_api.FlashRead(handle, 0x1000, 16, back));
    EXPECT_EQ(0x5A, back[0]);
    // The adapter reaches the flash on its own wiring: flash type 1 only, 24-bit addresses.
    ASSERT_EQ(0, s_api.SetFlashType(handle, 2));
    EXPECT_EQ(-4, s_api.FlashWrite(handle, 0x1000, 16, data));
    ASSERT_EQ(0, s_api.SetFlashType(handle, 1));
    EXPECT_EQ(-4, s_api.FlashWrite(handle, 0xFFFFF8, 16, data));
    // A write across a 256-byte page lands whole; one over bytes that were
    // not erased does not hold and says so.
    std::vector<uint8_t> image(300);
    for (std::size_t i = 0; i < image.size(); ++i)
        image[i] = static_cast<uint8_t>(i * 7 + 1);
    ASSERT_EQ(0, s_api.FlashWrite(handle, 0x20F0, 300, image.data()));
    std::vector<uint8_t> flash(300);
    b.serial(0x20F0, 300, flash.data());
    EXPECT_EQ(image, flash);
    EXPECT_EQ(-1, s_api.FlashWrite(handle, 0x20F0, 16, data));
    ASSERT_EQ(0, s_api.SetFlashType(handle, 0));
    uint32_t version = 0;
    EXPECT_EQ(0, s_api.deviceVersion(handle, &version));
    EXPECT_EQ(0u, b.flashMode());
}

TEST_F(CHostApiBench, RevertToFlashSettingsLeavesTheChipRunning)
{
    AvDeviceHandle* handle = OpenAdapter();
    ASSERT_NE(nullptr, handle);
    const uint32_t resets = b.resets();
    ASSERT_EQ(0, s_api.rfRevertToFlashSettings(handle));
    EXPECT_EQ(resets + 1, b.resets());
    EXPECT_EQ(0x01u, b.gpio() & 0x01); // the reset line is high again
    uint32_t version = 0;
    EXPECT_EQ(0, s_api.deviceVersion(handle, &version));
    EXPECT_EQ(0x0105u, version);
}

TEST_F(CHostApiBench, OnlyOpenHandlesFromTheInterfaceAreHandles)
{
    // A structure the caller made is refused, not followed.
    AvDeviceHandle mine = {};
    const uint8_t data[4] = {1, 2, 3, 4};
    EXPECT_EQ(-3, s_api.deviceReset(&mine, 1));
    EXPECT_EQ(-3, s_api.SetFlashType(&mine, 1));
    EXPECT_EQ(-3, s_api.FlashWrite(&mine, 0, 4, data));
    EXPECT_EQ(-3, s_api.rfRevertToFlashSettings(&mine));
    EXPECT_EQ(-3, s_api.AvDllCloseHandle(&mine));
    uint8_t packet[24] = {0xFD, 2, 0, 0, 2, 0x83};
    EXPECT_EQ(-3, s_api.commandSend(&mine, packet));
    // A closed handle does not reach the device opened after it.
    AvDeviceHandle* first = OpenAdapter();
    ASSERT_NE(nullptr, first);
    s_api.AvDllShutdown();
    AvDeviceHandle* second = OpenAdapter();
    ASSERT_NE(nullptr, second);
    EXPECT_EQ(-3, s_api.AvDllCloseHandle(first));
    const uint32_t resets = b.resets();
    EXPECT_EQ(-3, s_api.deviceReset(first, 0));
    EXPECT_EQ(-3, s_api.rfRevertToFlashSettings(first));
    EXPECT_EQ(resets, b.resets());
    uint32_t version = 0;
    EXPECT_EQ(0, s_api.deviceVersion(second, &version));
    mine = *second;
    EXPECT_EQ(-3, s_api.deviceVersion(&mine, &version));
}
