#include "avnera/AardvarkLibrary.h"

#include "platform/DynamicLibrary.h"

namespace avnera
{
namespace
{
CDynamicLibrary g_library;
SAardvarkApi g_api;
bool g_bound = false;

template <typename T>
bool Bind(T& slot, const char* name)
{
    slot = reinterpret_cast<T>(g_library.Symbol(name));
    return slot != nullptr;
}
} // namespace

const char* AardvarkLibraryName()
{
#if defined(_WIN32)
    return "aardvark.dll";
#else
    return "aardvark.so";
#endif
}

const SAardvarkApi* AardvarkApi()
{
    if (g_bound)
        return &g_api;
    if (!g_library.Open(AardvarkLibraryName()))
        return nullptr;
    SAardvarkApi api = {};
    const bool complete = Bind(api.findDevicesExt, "c_aa_find_devices_ext") && Bind(api.open, "c_aa_open") &&
                          Bind(api.close, "c_aa_close") && Bind(api.port, "c_aa_port") &&
                          Bind(api.uniqueId, "c_aa_unique_id") && Bind(api.version, "c_aa_version") &&
                          Bind(api.configure, "c_aa_configure") && Bind(api.spiConfigure, "c_aa_spi_configure") &&
                          Bind(api.spiSlaveDisable, "c_aa_spi_slave_disable") &&
                          Bind(api.spiMasterSsPolarity, "c_aa_spi_master_ss_polarity") &&
                          Bind(api.spiWrite, "c_aa_spi_write") && Bind(api.i2cRead, "c_aa_i2c_read") &&
                          Bind(api.i2cWrite, "c_aa_i2c_write") && Bind(api.i2cBitrate, "c_aa_i2c_bitrate") &&
                          Bind(api.i2cSlaveDisable, "c_aa_i2c_slave_disable") &&
                          Bind(api.gpioDirection, "c_aa_gpio_direction") && Bind(api.gpioSet, "c_aa_gpio_set");
    if (!complete)
    {
        g_library.Close();
        return nullptr;
    }
    g_api = api;
    g_bound = true;
    return &g_api;
}
} // namespace avnera
