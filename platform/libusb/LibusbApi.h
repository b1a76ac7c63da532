#pragma once
// The libusb calls the DFU port's libusb backend makes, as a table: the
// product fills it with the library's functions; the backend's tests put a
// libusb of their own in its place that behaves as the library does on the
// systems it must serve (a context whose device list is frozen when no udevd
// announces new devices, opens refused for want of rights or of a driver).
//
// Built only where libusb is (ORVO_HAVE_LIBUSB).

#include <libusb.h>

#include <cstdint>
#include <memory>

#include "platform/DfuTransport.h"

struct SLibusbApi
{
    int(LIBUSB_CALL* init)(libusb_context** context);
    void(LIBUSB_CALL* exit)(libusb_context* context);
    int(LIBUSB_CALL* has_capability)(std::uint32_t capability);
    ssize_t(LIBUSB_CALL* get_device_list)(libusb_context* context, libusb_device*** list);
    void(LIBUSB_CALL* free_device_list)(libusb_device** list, int unrefDevices);
    int(LIBUSB_CALL* get_device_descriptor)(libusb_device* device, libusb_device_descriptor* descriptor);
    int(LIBUSB_CALL* get_active_config_descriptor)(libusb_device* device, libusb_config_descriptor** config);
    int(LIBUSB_CALL* get_config_descriptor)(libusb_device* device, std::uint8_t index, libusb_config_descriptor** config);
    void(LIBUSB_CALL* free_config_descriptor)(libusb_config_descriptor* config);
    int(LIBUSB_CALL* get_port_numbers)(libusb_device* device, std::uint8_t* ports, int length);
    std::uint8_t(LIBUSB_CALL* get_bus_number)(libusb_device* device);
    std::uint8_t(LIBUSB_CALL* get_device_address)(libusb_device* device);
    int(LIBUSB_CALL* open)(libusb_device* device, libusb_device_handle** handle);
    void(LIBUSB_CALL* close)(libusb_device_handle* handle);
    int(LIBUSB_CALL* set_auto_detach_kernel_driver)(libusb_device_handle* handle, int enable);
    int(LIBUSB_CALL* claim_interface)(libusb_device_handle* handle, int interfaceNumber);
    int(LIBUSB_CALL* release_interface)(libusb_device_handle* handle, int interfaceNumber);
    int(LIBUSB_CALL* set_interface_alt_setting)(libusb_device_handle* handle, int interfaceNumber, int altSetting);
    int(LIBUSB_CALL* control_transfer)(libusb_device_handle* handle, std::uint8_t requestType, std::uint8_t request,
                                       std::uint16_t value, std::uint16_t index, unsigned char* data,
                                       std::uint16_t length, unsigned int timeoutMs);
    int(LIBUSB_CALL* reset_device)(libusb_device_handle* handle);

    // The library's own functions.
    static SLibusbApi Library();
};

// The libusb backend of the DFU port over the given calls (the product's
// CreateLibusbDfuTransportFactory() passes SLibusbApi::Library()).
std::shared_ptr<IDfuTransportFactory> CreateLibusbDfuTransportFactory(const SLibusbApi& api);
