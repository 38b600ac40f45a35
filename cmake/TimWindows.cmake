# The Windows build: names, output folder and the settings of DLL code and of
# the programs shipped or run beside it.

# The x64 build's files have plain names; the 32-bit build's carry a 32, the
# ARM64 build's an Arm64, and all land in the same bin/ folder, so that they
# ship side by side. Every DLL and program is named ${base}${TIM_SUFFIX}.
# A DLL's export list (.def) is ${base}${TIM_DEF_SUFFIX}.def: only 32-bit
# x86 needs one of its own (stdcall names); ARM64 takes the x64 one.
if(CMAKE_SYSTEM_PROCESSOR MATCHES "^(ARM64|aarch64)$")
    set(TIM_SUFFIX Arm64)
    set(TIM_DEF_SUFFIX "")
elseif(CMAKE_SIZEOF_VOID_P EQUAL 4)
    set(TIM_SUFFIX 32)
    set(TIM_DEF_SUFFIX 32)
else()
    set(TIM_SUFFIX "")
    set(TIM_DEF_SUFFIX "")
endif()
set(TIM_BIN_DIR ${PROJECT_BINARY_DIR}/bin CACHE PATH "Where the DLL and the Windows programs are built")
set(TIM_HANDLER_NAME TimThumbnailHandler${TIM_SUFFIX})

enable_language(RC)

# The source folder's path never reaches the binaries (__FILE__, debug
# information), so that builds in different folders give the same bytes.
add_compile_options(-ffile-prefix-map=${PROJECT_SOURCE_DIR}=.)

# DLL code: no exceptions, no RTTI, nothing the host's process must supply
# beyond the system DLLs.
function(tim_windows_code target)
    tim_strict_warnings(${target})
    target_compile_options(${target} PRIVATE -fno-exceptions -fno-rtti)
    target_compile_definitions(${target} PRIVATE WIN32_LEAN_AND_MEAN NOMINMAX UNICODE _UNICODE)
    tim_dll_hardening(${target})
endfunction()

# A program run beside the DLL (tool, test or benchmark): linked statically so
# that it needs no MinGW runtime DLLs, built into bin/.
function(tim_windows_program target)
    tim_strict_warnings(${target})
    target_compile_definitions(${target} PRIVATE WIN32_LEAN_AND_MEAN NOMINMAX UNICODE _UNICODE)
    # The one version, from project(); the tools print it for --version.
    target_compile_definitions(${target} PRIVATE TIM_VERSION_TEXT=L"${PROJECT_VERSION}")
    target_link_options(${target} PRIVATE -static)
    set_target_properties(${target} PROPERTIES
        RUNTIME_OUTPUT_DIRECTORY ${TIM_BIN_DIR} OUTPUT_NAME ${target}${TIM_SUFFIX})
endfunction()

# Another half: the same source tree configured again with another
# toolchain, its DLLs and programs built into this build's bin/ under their
# own suffix. `name` is the target that builds it.
function(tim_add_half name toolchain)
    include(ExternalProject)
    ExternalProject_Add(${name}
        SOURCE_DIR ${PROJECT_SOURCE_DIR}
        BINARY_DIR ${PROJECT_BINARY_DIR}/${name}
        CMAKE_ARGS
            -DCMAKE_TOOLCHAIN_FILE=${PROJECT_SOURCE_DIR}/cmake/${toolchain}
            -DCMAKE_BUILD_TYPE=${CMAKE_BUILD_TYPE}
            -DTIM_BUILD_TESTS=${TIM_BUILD_TESTS}
            -DTIM_BIN_DIR=${TIM_BIN_DIR}
        # Two jobs at most, as for the x64 half.
        BUILD_COMMAND ${CMAKE_COMMAND} --build <BINARY_DIR> -j 2
        BUILD_ALWAYS ON
        INSTALL_COMMAND "")
endfunction()

# The 32-bit half, for 32-bit programs on 64-bit Windows.
function(tim_add_x86_half)
    tim_add_half(x86 mingw-w64-i686.cmake)
endfunction()

# The ARM64 half, for Explorer and native programs on ARM64 Windows; built
# with Zig (scripts/arm64-env.sh fetches it).
function(tim_add_arm64_half)
    tim_add_half(arm64 zig-aarch64-windows.cmake)
endfunction()
