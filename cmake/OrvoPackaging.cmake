# Packages of the program (./run package):
#   Linux: a Debian package. The programs and the driver package (the udev
#   rules) live in /opt/orvohidflash, where the program finds its driver tool;
#   /usr/bin/orvohidflash points there. The udev rules of every device family
#   (resources/udev/*.rules) go to /usr/lib/udev/rules.d, so a user who
#   installed the package needs no root to upgrade; the README to
#   /usr/share/doc/orvohidflash. The host-interface library orvohostapi goes
#   to /usr/lib when the build has it.
#   Windows: a zip with OrvoHIDFlash.exe, Pellory64.exe, Pellory32.exe (from
#   the windows-x86 build, ORVO_PELLORY32_EXE), the Driver tree and the
#   host-interface DLL when the build has it.
if(ORVO_FUZZ OR ORVO_TSAN_ONLY OR NOT TARGET orvohidflash OR NOT TARGET pellory)
    return()
endif()

set(CPACK_PACKAGE_NAME "orvohidflash")
set(CPACK_PACKAGE_VENDOR "Orvo")
set(CPACK_PACKAGE_VERSION "${ORVO_VERSION_TEXT}")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "Firmware upgrade tool for USB audio devices with a HID interface")
set(CPACK_PACKAGE_CONTACT "Orvo firmware tools <support@orvo.invalid>")
set(CPACK_RESOURCE_FILE_README "${CMAKE_SOURCE_DIR}/README.md")
set(CPACK_PACKAGE_DIRECTORY "${CMAKE_BINARY_DIR}/packages")
set(CPACK_STRIP_FILES ON)

if(ORVO_OS STREQUAL "linux")
    set(_opt "opt/orvohidflash")
    install(TARGETS orvohidflash pellory RUNTIME DESTINATION ${_opt})
    file(GLOB _udev_rules CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/resources/udev/*.rules)
    install(FILES ${_udev_rules} DESTINATION ${_opt}/Driver/Driver/linux)
    install(FILES ${_udev_rules} DESTINATION usr/lib/udev/rules.d)
    set(_link ${CMAKE_BINARY_DIR}/package-links/orvohidflash)
    file(MAKE_DIRECTORY ${CMAKE_BINARY_DIR}/package-links)
    file(CREATE_LINK /${_opt}/orvohidflash ${_link} SYMBOLIC)
    install(FILES ${_link} DESTINATION usr/bin)
    install(FILES ${CMAKE_SOURCE_DIR}/README.md DESTINATION usr/share/doc/orvohidflash)
    if(TARGET orvohostapi)
        install(TARGETS orvohostapi LIBRARY DESTINATION usr/lib RUNTIME DESTINATION usr/lib)
    endif()

    set(CPACK_GENERATOR "DEB")
    set(CPACK_PACKAGING_INSTALL_PREFIX "/")
    set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
    set(CPACK_DEBIAN_PACKAGE_SECTION "utils")
    set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
    # udev grants the access; a machine without it (a container) still takes the package.
    set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "udev, policykit-1")
    set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA
        "${CMAKE_SOURCE_DIR}/resources/debian/postinst;${CMAKE_SOURCE_DIR}/resources/debian/postrm")
    set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
else()
    install(TARGETS orvohidflash pellory RUNTIME DESTINATION .)
    set(ORVO_PELLORY32_EXE "${CMAKE_SOURCE_DIR}/build/windows-x86/bin/Pellory32.exe" CACHE FILEPATH
        "The 32-bit driver tool the Windows package carries (built by the windows-x86 preset)")
    install(CODE "
        if(NOT EXISTS \"${ORVO_PELLORY32_EXE}\")
            message(FATAL_ERROR \"Pellory32.exe is missing (${ORVO_PELLORY32_EXE}): build the windows-x86 preset's pellory\")
        endif()")
    install(FILES "${ORVO_PELLORY32_EXE}" DESTINATION . OPTIONAL)
    install(DIRECTORY ${CMAKE_RUNTIME_OUTPUT_DIRECTORY}/Driver DESTINATION .)
    if(TARGET orvohostapi)
        install(TARGETS orvohostapi RUNTIME DESTINATION . LIBRARY DESTINATION .)
    endif()
    install(FILES ${CMAKE_SOURCE_DIR}/README.md DESTINATION .)
    set(CPACK_GENERATOR "ZIP")
    set(CPACK_SYSTEM_NAME "windows-x64")
    set(CPACK_INCLUDE_TOPLEVEL_DIRECTORY ON)
endif()

include(CPack)
