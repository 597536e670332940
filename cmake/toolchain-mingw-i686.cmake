# Cross compilation for 32-bit Windows with MinGW-w64 (Debian: g++-mingw-w64-i686, posix threads).
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR i686)

set(KEYMEND_MINGW_PREFIX i686-w64-mingw32 CACHE STRING "MinGW-w64 tool prefix")
set(CMAKE_C_COMPILER ${KEYMEND_MINGW_PREFIX}-gcc-posix)
set(CMAKE_CXX_COMPILER ${KEYMEND_MINGW_PREFIX}-g++-posix)
set(CMAKE_RC_COMPILER ${KEYMEND_MINGW_PREFIX}-windres)

set(CMAKE_FIND_ROOT_PATH /usr/${KEYMEND_MINGW_PREFIX})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# One self-contained keymend.exe: the C and C++ runtimes and winpthread linked in.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")

# windres preprocesses with "<prefix>-gcc", which Debian provides only through alternatives.
set(CMAKE_RC_FLAGS_INIT "--preprocessor=${KEYMEND_MINGW_PREFIX}-gcc-posix --preprocessor-arg=-E --preprocessor-arg=-xc --preprocessor-arg=-DRC_INVOKED")
