# Packages of the program (./run package):
#   Linux: a Debian package. The programs and the driver package (the udev
#   rules) live in /opt/orvohidflash, where the program finds its driver tool;
#   /usr/bin/orvohidflash points there. The udev rules of every device family
#   (resources/udev/*.rules) go to /usr/lib/udev/rules.d, so a user who
#   installed the package needs no root to upgrade; the README to
#   /usr/share/doc/orvohidflash with the copyright file and the changelog. The
#   host-interface library orvohostapi goes to /usr/lib (SONAME
#   liborvohostapi.so.1, with a shlibs file and the ldconfig trigger) when the
#   build has it, and its Python 3 package to /usr/lib/python3/dist-packages,
#   where Debian's python3 finds it.
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
    # Debian's doc files: the copyright and the changelog (gzip -9n).
    install(FILES ${CMAKE_SOURCE_DIR}/resources/debian/copyright DESTINATION usr/share/doc/orvohidflash)
    set(_changelog ${CMAKE_BINARY_DIR}/debian/changelog)
    configure_file(${CMAKE_SOURCE_DIR}/resources/debian/changelog.in ${_changelog} @ONLY)
    execute_process(COMMAND gzip -9nc ${_changelog} OUTPUT_FILE ${_changelog}.gz RESULT_VARIABLE _gz)
    if(NOT _gz EQUAL 0)
        message(FATAL_ERROR "gzip of the Debian changelog failed")
    endif()
    install(FILES ${_changelog}.gz DESTINATION usr/share/doc/orvohidflash)
    set(_manual ${CMAKE_BINARY_DIR}/debian/orvohidflash.1.gz)
    execute_process(COMMAND gzip -9nc ${CMAKE_SOURCE_DIR}/resources/debian/orvohidflash.1 OUTPUT_FILE ${_manual})
    install(FILES ${_manual} DESTINATION usr/share/man/man1)
    install(FILES ${CMAKE_SOURCE_DIR}/resources/debian/lintian-overrides DESTINATION usr/share/lintian/overrides
            RENAME orvohidflash)
    if(TARGET orvohostapi)
        # The run-time library only (no development link): the Python
        # package and outside tools load liborvohostapi.so.1.
        install(TARGETS orvohostapi LIBRARY DESTINATION usr/lib NAMELINK_SKIP RUNTIME DESTINATION usr/lib)
        # The Python package, with the metadata pip and importlib read.
        install(DIRECTORY ${CMAKE_SOURCE_DIR}/python/orvohostapi DESTINATION usr/lib/python3/dist-packages
                FILES_MATCHING PATTERN "*.py" PATTERN "__pycache__" EXCLUDE)
        set(_dist ${CMAKE_BINARY_DIR}/python-dist/orvohostapi-${ORVO_VERSION_TEXT}.dist-info)
        file(WRITE ${_dist}/METADATA "Metadata-Version: 2.1\nName: orvohostapi\nVersion: ${ORVO_VERSION_TEXT}\n"
                                      "Summary: Python 3 binding of the Avnera host interface (liborvohostapi)\n"
                                      "Requires-Python: >=3.7\n")
        file(WRITE ${_dist}/top_level.txt "orvohostapi\n")
        file(WRITE ${_dist}/INSTALLER "debian\n")
        install(DIRECTORY ${_dist} DESTINATION usr/lib/python3/dist-packages)
        set(CPACK_DEBIAN_PACKAGE_DEPENDS "python3")
    endif()

    set(CPACK_GENERATOR "DEB")
    set(CPACK_PACKAGING_INSTALL_PREFIX "/")
    set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
    set(CPACK_DEBIAN_PACKAGE_SECTION "utils")
    set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
    set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS ON)
    set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS_POLICY ">=")
    file(READ ${CMAKE_SOURCE_DIR}/resources/debian/description.txt CPACK_DEBIAN_PACKAGE_DESCRIPTION)
    # udev grants the access, pkexec asks for the administrator's password when
    # the driver tool installs rules; a machine without them (a container)
    # still takes the package.
    set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "udev, pkexec")
    set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA
        "${CMAKE_SOURCE_DIR}/resources/debian/postinst;${CMAKE_SOURCE_DIR}/resources/debian/postrm")
    if(TARGET orvohostapi)
        list(APPEND CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA "${CMAKE_SOURCE_DIR}/resources/debian/triggers")
    endif()
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
