# Cross-build for Windows (x86_64-w64-mingw32) with the mingw-w64 -posix compilers.
set(KQ_TARGET_TRIPLE x86_64-w64-mingw32)
set(CMAKE_SYSTEM_PROCESSOR AMD64)
include(${CMAKE_CURRENT_LIST_DIR}/MingwToolchain.cmake)
