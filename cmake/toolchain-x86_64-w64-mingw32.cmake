# Cross-build for 64-bit Windows with the mingw-w64 -posix compilers.
#   cmake -S . -B build-win-x86_64 -DCMAKE_TOOLCHAIN_FILE=cmake/toolchain-x86_64-w64-mingw32.cmake
# The -posix variants are named explicitly: the default (-win32) one has no
# std::thread or std::mutex, which GoogleTest needs. Everything is linked
# statically, so mendrix.exe needs only KERNEL32.dll and msvcrt.dll.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR AMD64)

set(MENDRIX_MINGW_TRIPLE x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${MENDRIX_MINGW_TRIPLE}-gcc-posix)
set(CMAKE_CXX_COMPILER ${MENDRIX_MINGW_TRIPLE}-g++-posix)
set(CMAKE_RC_COMPILER ${MENDRIX_MINGW_TRIPLE}-windres)

set(CMAKE_FIND_ROOT_PATH /usr/${MENDRIX_MINGW_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

set(CMAKE_EXE_LINKER_FLAGS_INIT "-static")

# The 64-bit build is the one that can run on a Linux build machine: under
# wine64, for the tests (32-bit code can't run there).
set(CMAKE_CROSSCOMPILING_EMULATOR wine)
