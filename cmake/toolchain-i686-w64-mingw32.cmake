# Cross-build for 32-bit Windows with the mingw-w64 -posix compilers.
#   cmake -S . -B build-win-i686 -DCMAKE_TOOLCHAIN_FILE=cmake/toolchain-i686-w64-mingw32.cmake
# The -posix variants are named explicitly: the default (-win32) one has no
# std::thread or std::mutex, which GoogleTest needs. Everything is linked
# statically, so mendrix.exe needs only KERNEL32.dll and msvcrt.dll.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86)

set(MENDRIX_MINGW_TRIPLE i686-w64-mingw32)
set(CMAKE_C_COMPILER ${MENDRIX_MINGW_TRIPLE}-gcc-posix)
set(CMAKE_CXX_COMPILER ${MENDRIX_MINGW_TRIPLE}-g++-posix)
set(CMAKE_RC_COMPILER ${MENDRIX_MINGW_TRIPLE}-windres)

set(CMAKE_FIND_ROOT_PATH /usr/${MENDRIX_MINGW_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

set(CMAKE_EXE_LINKER_FLAGS_INIT "-static")
