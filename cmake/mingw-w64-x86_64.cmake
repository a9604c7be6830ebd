# Cross-compiles for 64-bit Windows with Debian's mingw-w64 (posix thread model,
# which std::thread needs). Executables run under Wine through the emulator that
# the top-level project configures once the build tree (and its Wine prefix) is known.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(ORVO_MINGW_TRIPLE x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${ORVO_MINGW_TRIPLE}-gcc-posix)
set(CMAKE_CXX_COMPILER ${ORVO_MINGW_TRIPLE}-g++-posix)
set(CMAKE_RC_COMPILER ${ORVO_MINGW_TRIPLE}-windres)

set(CMAKE_FIND_ROOT_PATH /usr/${ORVO_MINGW_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
