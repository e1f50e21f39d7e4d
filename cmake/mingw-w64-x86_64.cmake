# Cross build for 64-bit Windows with Debian's mingw-w64 (the POSIX-threads flavour, which
# std::thread and std::mutex need):
#   cmake -S . -B build/win64 -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(FLASHPOST_MINGW_PREFIX x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${FLASHPOST_MINGW_PREFIX}-gcc-posix)
set(CMAKE_CXX_COMPILER ${FLASHPOST_MINGW_PREFIX}-g++-posix)
set(CMAKE_RC_COMPILER ${FLASHPOST_MINGW_PREFIX}-windres)

set(CMAKE_FIND_ROOT_PATH /usr/${FLASHPOST_MINGW_PREFIX})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# The executables carry the compiler's runtime inside them, so they need only the DLLs that
# come with Windows.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")
