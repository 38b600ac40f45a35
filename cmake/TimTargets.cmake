# Settings every room's targets share.

# Strict warnings for the project's own targets only (not GoogleTest's).
function(tim_strict_warnings target)
    target_compile_options(${target} PRIVATE -Wall -Wextra -Werror)
endfunction()

# Code that runs inside the host: stack canaries in every function with a
# local array or an address-taken local, and checked copies where the
# destination's size is known. Their failure routines and the guard come from
# platform/StackGuard.cpp (tim_stack_guard), not from libssp, which would add
# an advapi32 import.
function(tim_dll_hardening target)
    target_compile_options(${target} PRIVATE -fstack-protector-strong)
    target_compile_definitions(${target} PRIVATE _FORTIFY_SOURCE=2)
    target_link_libraries(${target} PUBLIC tim_stack_guard)
endfunction()
