# Cross compilation for Windows with MinGW-w64 (Debian: g++-mingw-w64-i686 or
# g++-mingw-w64-x86-64, posix threads). Included by toolchain-mingw-i686.cmake and
# toolchain-mingw-x86_64.cmake, which set KEYMEND_MINGW_PREFIX and CMAKE_SYSTEM_PROCESSOR.
set(CMAKE_SYSTEM_NAME Windows)

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
