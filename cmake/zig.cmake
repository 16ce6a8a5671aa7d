# Cross builds with the Clang that zig bundles, for platforms this machine
# cannot build for natively (.ci/cross):
#   cmake -DCMAKE_TOOLCHAIN_FILE=cmake/zig.cmake -DQUILLON_ZIG=/path/to/zig
#         -DQUILLON_ZIG_TARGET=aarch64-macos ...
# QUILLON_ZIG_TARGET is zig's target triple: aarch64-macos, x86_64-macos,
# x86_64-windows-gnu, aarch64-linux-gnu, ...
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES QUILLON_ZIG QUILLON_ZIG_TARGET)
if(NOT QUILLON_ZIG OR NOT QUILLON_ZIG_TARGET)
    message(FATAL_ERROR "zig.cmake needs QUILLON_ZIG and QUILLON_ZIG_TARGET")
endif()

string(REPLACE "-" ";" _quillon_triple "${QUILLON_ZIG_TARGET}")
list(GET _quillon_triple 0 CMAKE_SYSTEM_PROCESSOR)
list(GET _quillon_triple 1 _quillon_os)
if(_quillon_os STREQUAL "macos")
    set(CMAKE_SYSTEM_NAME Darwin)
    # No SDK is needed: zig brings the system's headers and stubs.
    set(CMAKE_OSX_SYSROOT "" CACHE PATH "" FORCE)
elseif(_quillon_os STREQUAL "windows")
    set(CMAKE_SYSTEM_NAME Windows)
elseif(_quillon_os STREQUAL "linux")
    set(CMAKE_SYSTEM_NAME Linux)
else()
    message(FATAL_ERROR "zig.cmake: no system known for ${QUILLON_ZIG_TARGET}")
endif()

set(CMAKE_CXX_COMPILER "${QUILLON_ZIG}" c++ -target ${QUILLON_ZIG_TARGET})
set(CMAKE_USER_MAKE_RULES_OVERRIDE_CXX "${CMAKE_CURRENT_LIST_DIR}/zig-rules.cmake")
# The compiler checks compile only: linking a program would have zig build a
# C++ runtime for the target first, which the modules never use.
set(CMAKE_TRY_COMPILE_TARGET_TYPE STATIC_LIBRARY)

# Nothing of the build machine's is found for the target.
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
