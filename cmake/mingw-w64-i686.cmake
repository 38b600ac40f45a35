# The 32-bit build of the same sources, for 32-bit programs on 64-bit Windows.
# Every processor that runs 64-bit Windows has SSE2, which the decoder's
# kernels need; floating point goes to SSE too instead of the x87 stack.
# 32-bit Windows programs keep the stack only 4-byte aligned, so functions
# that spill SSE values realign it on entry instead of trusting the caller
# (mingw's GCC does so by default once SSE is on; said here so that it stays).
set(TIM_MINGW_PROCESSOR i686)
set(CMAKE_C_FLAGS_INIT "-msse2 -mfpmath=sse -mstackrealign")
set(CMAKE_CXX_FLAGS_INIT "-msse2 -mfpmath=sse -mstackrealign")
include(${CMAKE_CURRENT_LIST_DIR}/mingw-w64.cmake)
