# Shared build settings and helpers for the project's own targets.

if(CMAKE_CROSSCOMPILING AND WIN32)
    set(ORVO_OS windows)
elseif(CMAKE_SYSTEM_NAME STREQUAL "Linux")
    set(ORVO_OS linux)
else()
    message(FATAL_ERROR "Unsupported target system ${CMAKE_SYSTEM_NAME}")
endif()

find_program(CCACHE_PROGRAM ccache)
if(CCACHE_PROGRAM)
    set(CMAKE_C_COMPILER_LAUNCHER ${CCACHE_PROGRAM})
    set(CMAKE_CXX_COMPILER_LAUNCHER ${CCACHE_PROGRAM})
endif()

# Warnings and sanitizers apply to our own code only, through this interface target.
add_library(orvo_options INTERFACE)
target_compile_options(orvo_options INTERFACE
    -Wall -Wextra -Werror -Wno-unused-parameter -Wno-missing-field-initializers)
target_compile_definitions(orvo_options INTERFACE ORVO_VERSION_TEXT="${ORVO_VERSION_TEXT}")

set(ORVO_SAN_FLAGS "")
if(ORVO_SANITIZE)
    list(JOIN ORVO_SANITIZE "," _san)
    set(ORVO_SAN_FLAGS -fsanitize=${_san} -fno-omit-frame-pointer)
    if("undefined" IN_LIST ORVO_SANITIZE)
        list(APPEND ORVO_SAN_FLAGS -fno-sanitize-recover=undefined)
    endif()
endif()
if(ORVO_FUZZ)
    set(ORVO_SAN_FLAGS -fsanitize=fuzzer-no-link,address,undefined -fno-sanitize-recover=undefined -fno-omit-frame-pointer)
endif()
if(ORVO_SAN_FLAGS)
    add_compile_options(${ORVO_SAN_FLAGS})
    string(REPLACE "fuzzer-no-link," "" _link "${ORVO_SAN_FLAGS}")
    add_link_options(${_link})
endif()

if(ORVO_OS STREQUAL "windows")
    # C99 printf family everywhere (%zu, %lld, %ls), Windows 7 API level, static runtime.
    target_compile_definitions(orvo_options INTERFACE
        __USE_MINGW_ANSI_STDIO=1 _WIN32_WINNT=0x0601 WINVER=0x0601)
    add_link_options(-static -static-libgcc -static-libstdc++
        -Wl,--dynamicbase -Wl,--nxcompat)
    if(CMAKE_SYSTEM_PROCESSOR STREQUAL "x86_64")
        add_link_options(-Wl,--high-entropy-va)
    endif()
endif()

# orvo_add_library(name SOURCES ... [LIBS ...])
function(orvo_add_library name)
    cmake_parse_arguments(A "" "" "SOURCES;LIBS" ${ARGN})
    add_library(${name} STATIC ${A_SOURCES})
    target_include_directories(${name} PUBLIC ${CMAKE_SOURCE_DIR})
    target_link_libraries(${name} PUBLIC ${A_LIBS} PRIVATE orvo_options)
endfunction()

# Test executables: one per source folder, each run as one CTest test
# (under wine for the Windows build).
if(NOT ORVO_FUZZ AND ORVO_TESTS)
    if(ORVO_OS STREQUAL "windows")
        set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
        set(gtest_force_shared_crt ON CACHE BOOL "" FORCE)
        add_subdirectory(/usr/src/googletest ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL SYSTEM)
        set(ORVO_GTEST_LIBS gmock gtest)
    else()
        find_package(GTest REQUIRED)
        set(ORVO_GTEST_LIBS GTest::gmock GTest::gtest)
    endif()
endif()

# orvo_add_test(name SOURCES ... [LIBS ...] [THREADED])
# THREADED marks tests of threaded code; the linux-tsan build runs only those.
function(orvo_add_test name)
    cmake_parse_arguments(A "THREADED" "TIMEOUT" "SOURCES;LIBS" ${ARGN})
    if(NOT ORVO_TESTS OR (ORVO_TSAN_ONLY AND NOT A_THREADED))
        return()
    endif()
    add_executable(${name} ${A_SOURCES})
    target_link_libraries(${name} PRIVATE ${A_LIBS} orvo_test_main ${ORVO_GTEST_LIBS} orvo_options)
    target_include_directories(${name} PRIVATE ${CMAKE_SOURCE_DIR})
    if(NOT A_TIMEOUT)
        set(A_TIMEOUT 300)
    endif()
    add_test(NAME ${name} COMMAND ${name} --gtest_brief=1)
    set_tests_properties(${name} PROPERTIES TIMEOUT ${A_TIMEOUT})
endfunction()

# orvo_add_fuzzer(name SOURCES ... [LIBS ...]): a libFuzzer target whose seed
# corpus lives in tests/fuzz/corpus/<name>.
function(orvo_add_fuzzer name)
    cmake_parse_arguments(A "" "" "SOURCES;LIBS" ${ARGN})
    if(NOT ORVO_FUZZ)
        return()
    endif()
    add_executable(${name} ${A_SOURCES})
    target_link_libraries(${name} PRIVATE ${A_LIBS} orvo_options)
    target_include_directories(${name} PRIVATE ${CMAKE_SOURCE_DIR})
    target_link_options(${name} PRIVATE -fsanitize=fuzzer)
    set_property(GLOBAL APPEND PROPERTY ORVO_FUZZERS ${name})
endfunction()
