# Cross-build for Windows (i686-w64-mingw32) with the mingw-w64 -posix compilers.
set(KQ_TARGET_TRIPLE i686-w64-mingw32)
set(CMAKE_SYSTEM_PROCESSOR X86)
include(${CMAKE_CURRENT_LIST_DIR}/MingwToolchain.cmake)
