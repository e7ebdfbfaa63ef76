# Cross-build for 64-bit Windows with MinGW-w64 (Debian's g++-mingw-w64-x86-64): a static .exe.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(PELMAR_MINGW_PREFIX x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${PELMAR_MINGW_PREFIX}-gcc)
set(CMAKE_CXX_COMPILER ${PELMAR_MINGW_PREFIX}-g++)
set(CMAKE_RC_COMPILER ${PELMAR_MINGW_PREFIX}-windres)

# Libraries, headers and packages come from the MinGW-w64 tree only, never from the build host;
# programs (cmake's helpers) from the host.
set(CMAKE_FIND_ROOT_PATH /usr/${PELMAR_MINGW_PREFIX})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# One self-contained .exe: the C++ and GCC runtimes linked in, no DLLs to ship beside it.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static")
