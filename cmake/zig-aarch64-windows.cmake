# Cross build for ARM64 Windows with Zig 0.11's clang and its mingw-w64 for
# ARM64 (scripts/arm64-env.sh fetches both into build/arm64/); the tests run
# under the arm64 Wine of an arm64 Debian root (scripts/wine-arm64.sh).
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR ARM64)

get_filename_component(tim_arm64 ${CMAKE_CURRENT_LIST_DIR}/../build/arm64 ABSOLUTE)
set(TIM_ZIG ${tim_arm64}/zig-0.11.0/zig CACHE FILEPATH "The Zig 0.11 compiler (scripts/arm64-env.sh)")
if(NOT EXISTS ${TIM_ZIG})
    message(FATAL_ERROR "No Zig at ${TIM_ZIG}: run scripts/arm64-env.sh first")
endif()

# CMake wants one program per tool; these wrappers give it zig's, through
# zig-windows-arm64.sh, with the compile cache kept beside the compiler so
# that warm builds reuse its runtime.
set(tim_wrappers ${tim_arm64}/bin)
foreach(tool cc c++ ar ranlib)
    set(text "#!/bin/sh\nexport ZIG_GLOBAL_CACHE_DIR=${tim_arm64}/zig-cache ZIG_LOCAL_CACHE_DIR=${tim_arm64}/zig-cache\nexec ${CMAKE_CURRENT_LIST_DIR}/zig-windows-arm64.sh ${TIM_ZIG} ${tool} \"$@\"\n")
    set(file ${tim_wrappers}/zig-${tool})
    set(old "")
    if(EXISTS ${file})
        file(READ ${file} old)
    endif()
    if(NOT old STREQUAL text)
        file(WRITE ${file}.tmp "${text}")
        file(CHMOD ${file}.tmp PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
        file(RENAME ${file}.tmp ${file})
    endif()
endforeach()

set(CMAKE_C_COMPILER ${tim_wrappers}/zig-cc)
set(CMAKE_CXX_COMPILER ${tim_wrappers}/zig-c++)
set(CMAKE_AR ${tim_wrappers}/zig-ar CACHE FILEPATH "")
set(CMAKE_RANLIB ${tim_wrappers}/zig-ranlib CACHE FILEPATH "")
# Debian's LLVM resource compiler, which writes ARM64 resource objects; it
# preprocesses with clang against zig's copy of the mingw-w64 headers.
set(CMAKE_RC_COMPILER llvm-windres-14)
set(CMAKE_RC_FLAGS_INIT "--target=aarch64-w64-mingw32 -I${tim_arm64}/zig-0.11.0/lib/libc/include/any-windows-any")

set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)

set(CMAKE_CROSSCOMPILING_EMULATOR ${CMAKE_CURRENT_LIST_DIR}/../scripts/wine-arm64.sh)
