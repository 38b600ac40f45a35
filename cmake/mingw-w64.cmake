# Cross build of the DLL and the Windows-side tests with mingw-w64; the tests
# run under Wine through CTest's emulator. The 32-bit build
# (mingw-w64-i686.cmake) sets TIM_MINGW_PROCESSOR before including this file.
if(NOT TIM_MINGW_PROCESSOR)
    set(TIM_MINGW_PROCESSOR x86_64)
endif()
set(tim_mingw ${TIM_MINGW_PROCESSOR}-w64-mingw32)

set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR ${TIM_MINGW_PROCESSOR})

set(CMAKE_C_COMPILER ${tim_mingw}-gcc-posix)
set(CMAKE_CXX_COMPILER ${tim_mingw}-g++-posix)
set(CMAKE_RC_COMPILER ${tim_mingw}-windres)

set(CMAKE_FIND_ROOT_PATH /usr/${tim_mingw})
# The x64 tools' libpng: static, built by scripts/mingw-libpng.sh (Debian has
# none for mingw), found by find_package(PNG) as if in the sysroot. zlib is
# Debian's from the sysroot, its static library rather than the DLL's.
if(TIM_MINGW_PROCESSOR STREQUAL "x86_64")
    if(NOT DEFINED TIM_MINGW_LIBPNG)
        set(TIM_MINGW_LIBPNG ${CMAKE_CURRENT_LIST_DIR}/../build/mingw-libpng/current)
    endif()
    # Through the link `current`, so that a newer build is picked up without
    # a fresh configure.
    if(TIM_MINGW_LIBPNG AND EXISTS ${TIM_MINGW_LIBPNG}/lib/libpng16.a)
        get_filename_component(tim_libpng ${TIM_MINGW_LIBPNG} ABSOLUTE)
        list(APPEND CMAKE_FIND_ROOT_PATH ${tim_libpng})
    endif()
    set(ZLIB_USE_STATIC_LIBS ON)
endif()
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)

# Every test runs in the build tree's own Wine prefix (see scripts/wine-run.sh).
set(CMAKE_CROSSCOMPILING_EMULATOR ${CMAKE_CURRENT_LIST_DIR}/../scripts/wine-run.sh)
