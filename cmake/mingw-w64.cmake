# Cross build for 64-bit Windows with MinGW-w64 (posix threads variant).
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(TARNEL_MINGW_TRIPLE x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${TARNEL_MINGW_TRIPLE}-gcc-posix)
set(CMAKE_CXX_COMPILER ${TARNEL_MINGW_TRIPLE}-g++-posix)
set(CMAKE_RC_COMPILER ${TARNEL_MINGW_TRIPLE}-windres)

# Libraries built for Windows (scripts/build-windows-deps) live in TARNEL_WINDOWS_DEPS.
set(CMAKE_FIND_ROOT_PATH /usr/${TARNEL_MINGW_TRIPLE} ${TARNEL_WINDOWS_DEPS})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES TARNEL_WINDOWS_DEPS)

# CTest runs the test programs under Wine (scripts/wine-run picks the prefix).
get_filename_component(_tarnel_root "${CMAKE_CURRENT_LIST_DIR}/.." ABSOLUTE)
set(CMAKE_CROSSCOMPILING_EMULATOR ${_tarnel_root}/scripts/wine-run)
