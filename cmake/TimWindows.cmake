# The Windows build: names, output folder and the settings of DLL code and of
# the programs shipped or run beside it.

# The 64-bit build's files have plain names; the 32-bit build's carry a 32 and
# land in the same bin/ folder, so that both ship side by side.
if(CMAKE_SIZEOF_VOID_P EQUAL 4)
    set(TIM_SUFFIX 32)
else()
    set(TIM_SUFFIX "")
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

# The 32-bit half: the same source tree configured again with the i686
# toolchain, its DLL and programs built into this build's bin/.
function(tim_add_x86_half)
    include(ExternalProject)
    ExternalProject_Add(x86
        SOURCE_DIR ${PROJECT_SOURCE_DIR}
        BINARY_DIR ${PROJECT_BINARY_DIR}/x86
        CMAKE_ARGS
            -DCMAKE_TOOLCHAIN_FILE=${PROJECT_SOURCE_DIR}/cmake/mingw-w64-i686.cmake
            -DCMAKE_BUILD_TYPE=${CMAKE_BUILD_TYPE}
            -DTIM_BUILD_TESTS=${TIM_BUILD_TESTS}
            -DTIM_BIN_DIR=${TIM_BIN_DIR}
        # Two jobs at most, as for the 64-bit half.
        BUILD_COMMAND ${CMAKE_COMMAND} --build <BINARY_DIR> -j 2
        BUILD_ALWAYS ON
        INSTALL_COMMAND "")
endfunction()
