# The Windows driver package beside the program: Driver/Driver/win32 and
# Driver/Driver/win64, each with CSRBlueCoreUSB.inf and the catalog its
# CatalogFile line names. Windows refuses a package without a valid
# signature, so a vendor points the build at a signed package with
# -DORVO_DRIVER_PACKAGE=DIR (DIR/win32 and DIR/win64); without one the
# build ships the INF files of the source tree and leaves the catalog slot
# empty (a package for test machines only).
#
# orvo_check_driver_package(DIR ERROR_VAR): ERROR_VAR is empty when DIR holds
# a complete package, else says what is missing. Usable in script mode.
function(orvo_check_driver_package dir error_var)
    set(_error "")
    foreach(arch win32 win64)
        set(_inf "${dir}/${arch}/CSRBlueCoreUSB.inf")
        if(NOT EXISTS "${_inf}")
            set(_error "${_error}${arch}/CSRBlueCoreUSB.inf is missing; ")
            continue()
        endif()
        file(STRINGS "${_inf}" _catalog_lines REGEX "^[ \t]*CatalogFile[^=]*=")
        if(NOT _catalog_lines)
            set(_error "${_error}${arch}/CSRBlueCoreUSB.inf names no CatalogFile; ")
            continue()
        endif()
        list(GET _catalog_lines 0 _line)
        string(REGEX REPLACE "^[^=]*=[ \t]*([^ \t;]+).*$" "\\1" _catalog "${_line}")
        if(NOT EXISTS "${dir}/${arch}/${_catalog}")
            set(_error "${_error}${arch}/${_catalog} (the catalog the INF names) is missing; ")
        endif()
    endforeach()
    set(${error_var} "${_error}" PARENT_SCOPE)
endfunction()

if(CMAKE_SCRIPT_MODE_FILE AND DEFINED ORVO_CHECK_PACKAGE)
    # cmake -DORVO_CHECK_PACKAGE=DIR -P OrvoDriverPackage.cmake
    orvo_check_driver_package("${ORVO_CHECK_PACKAGE}" _error)
    if(_error)
        message(FATAL_ERROR "driver package ${ORVO_CHECK_PACKAGE}: ${_error}")
    endif()
    message(STATUS "driver package ${ORVO_CHECK_PACKAGE}: complete")
endif()
