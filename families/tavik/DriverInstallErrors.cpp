#include "families/tavik/DriverInstallErrors.h"

namespace
{
struct SErrorText
{
    std::uint32_t code;
    const char* text;
};

constexpr SErrorText kWindowsErrors[] = {
    // SetupAPI (setupapi.h)
    {0xE000022Fu, "the driver package has no catalog (ERROR_NO_CATALOG_FOR_OEM_INF): it is not signed"},
    {0xE0000243u, "the driver package's publisher is not trusted (ERROR_AUTHENTICODE_PUBLISHER_NOT_TRUSTED)"},
    {0xE0000242u, "trust in the driver package's signature could not be established "
                  "(ERROR_AUTHENTICODE_TRUST_NOT_ESTABLISHED)"},
    {0xE0000240u, "the driver package's signature is not allowed on this system (ERROR_AUTHENTICODE_DISALLOWED)"},
    {0xE000024Bu, "a file of the driver package does not match the hash in its catalog "
                  "(ERROR_FILE_HASH_NOT_IN_CATALOG)"},
    {0xE0000244u, "the driver package's signature does not cover this Windows version "
                  "(ERROR_SIGNATURE_OSATTRIBUTE_MISMATCH)"},
    {0xE0000247u, "the driver package could not be added to the driver store (ERROR_DRIVER_STORE_ADD_FAILED)"},
    {0xE0000234u, "the driver package is not for this processor architecture (ERROR_DRIVER_NONNATIVE)"},
    {0xE0000235u, "a 32-bit driver tool cannot install drivers on 64-bit Windows (ERROR_IN_WOW64)"},
    {0xE000020Bu, "no device with the hardware identifier is present (ERROR_NO_SUCH_DEVINST)"},
    {0xE0000203u, "the driver package has no driver for the device (ERROR_NO_DRIVER_SELECTED)"},
    {0xE0000100u, "the INF file is malformed (ERROR_GENERAL_SYNTAX)"},
    // Trust provider (winerror.h)
    {0x800B0100u, "the driver package is not signed (TRUST_E_NOSIGNATURE)"},
    {0x800B0109u, "the driver package is signed by an untrusted root authority (CERT_E_UNTRUSTEDROOT)"},
    {0x800B0004u, "the driver package's publisher is not trusted (TRUST_E_SUBJECT_NOT_TRUSTED)"},
    {0x800B0101u, "the driver package's signing certificate has expired (CERT_E_EXPIRED)"},
    {0x80096010u, "the driver package's signature does not match its files: hash mismatch (TRUST_E_BAD_DIGEST)"},
    {0x800B010Cu, "the driver package's signing certificate was revoked (CERT_E_REVOKED)"},
    // Win32
    {2u, "the INF file was not found (ERROR_FILE_NOT_FOUND)"},
    {3u, "the driver package's folder was not found (ERROR_PATH_NOT_FOUND)"},
    {5u, "administrator rights are needed to install the driver (ERROR_ACCESS_DENIED)"},
    {1223u, "the user refused the administrator prompt (ERROR_CANCELLED)"},
    {740u, "the driver tool needs administrator rights (ERROR_ELEVATION_REQUIRED)"},
    {259u, "the driver needed no update: no device uses it (ERROR_NO_MORE_ITEMS)"},
    {0xFFFFFFFFu, "the driver tool could not be started, or refused its command line"},
};

constexpr SErrorText kLinuxErrors[] = {
    {1u, "no rights to install the udev rules (EPERM)"},
    {2u, "the udev rules file was not found (ENOENT)"},
    {13u, "no rights to install the udev rules, and polkit did not grant them (EACCES)"},
    {19u, "the udev rules do not cover the device (ENODEV)"},
    {22u, "the hardware identifier is not USB\\VID_vvvv&PID_pppp (EINVAL)"},
    {30u, "the udev rules folder is read-only (EROFS)"},
    {255u, "the driver tool refused its command line"},
    {0xFFFFFFFFu, "the driver tool could not be started"},
};
} // namespace

const char* DriverInstallErrorText(std::uint32_t exitCode)
{
#ifdef _WIN32
    for (const SErrorText& e : kWindowsErrors)
#else
    for (const SErrorText& e : kLinuxErrors)
#endif
    {
        if (e.code == exitCode)
            return e.text;
    }
    (void)kWindowsErrors;
    (void)kLinuxErrors;
    return "the driver tool reported a failure";
}
