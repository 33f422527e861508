# Cross toolchain: Windows (x86_64) with Debian's mingw-w64 (win32 thread model;
# the product creates its threads with CreateThread, not std::thread).
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(VSP_MINGW_TRIPLE x86_64-w64-mingw32)

set(CMAKE_C_COMPILER   ${VSP_MINGW_TRIPLE}-gcc)
set(CMAKE_CXX_COMPILER ${VSP_MINGW_TRIPLE}-g++)
set(CMAKE_RC_COMPILER  ${VSP_MINGW_TRIPLE}-windres)
# ar, ranlib, dlltool and objdump are found by CMake from the compiler prefix.

set(CMAKE_FIND_ROOT_PATH /usr/${VSP_MINGW_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
