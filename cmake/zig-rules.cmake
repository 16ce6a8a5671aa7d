# Read by CMake after its platform rules, when zig.cmake is the toolchain.

# The modules need no C++ runtime, so none is linked; an undefined symbol of
# it would fail the link instead of being looked up at load time.
string(APPEND CMAKE_SHARED_LINKER_FLAGS_INIT " -nostdlib++")
string(APPEND CMAKE_MODULE_LINKER_FLAGS_INIT " -nostdlib++")

if(CMAKE_SYSTEM_NAME STREQUAL "Darwin")
    # zig's Mach-O linker writes dylibs but not bundles; the interpreter
    # loads a module of either kind.
    set(CMAKE_SHARED_MODULE_CREATE_CXX_FLAGS "-shared")
endif()
