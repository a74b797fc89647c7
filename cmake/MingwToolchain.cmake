# Shared part of the two mingw-w64 toolchain files: KQ_TARGET_TRIPLE and
# CMAKE_SYSTEM_PROCESSOR are set by the file that includes this one.
# Programs built here run under Wine through the project's wine-run script.
set(CMAKE_SYSTEM_NAME Windows)

set(CMAKE_C_COMPILER ${KQ_TARGET_TRIPLE}-gcc-posix)
set(CMAKE_CXX_COMPILER ${KQ_TARGET_TRIPLE}-g++-posix)
set(CMAKE_RC_COMPILER ${KQ_TARGET_TRIPLE}-windres)

set(CMAKE_FIND_ROOT_PATH /usr/${KQ_TARGET_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# No runtime DLL ships: libgcc, libstdc++ and winpthread are linked in.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "-static")

set(CMAKE_CROSSCOMPILING_EMULATOR ${CMAKE_CURRENT_LIST_DIR}/../scripts/wine-run)
