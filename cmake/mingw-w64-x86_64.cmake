# Cross-compiling for 64-bit Windows with Debian's mingw-w64 (the POSIX
# threading variant, whose C++ runtime has std::thread and std::mutex):
#
#   cmake -S . -B build-win -G Ninja -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake
#
# The test programs run under wine: CMAKE_CROSSCOMPILING_EMULATOR is set by
# the build (tests/windows/run_under_wine.sh), not here, so that this file
# describes the compiler alone.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(USERPOLICY_MINGW_TRIPLET x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${USERPOLICY_MINGW_TRIPLET}-gcc-posix)
set(CMAKE_CXX_COMPILER ${USERPOLICY_MINGW_TRIPLET}-g++-posix)
set(CMAKE_RC_COMPILER ${USERPOLICY_MINGW_TRIPLET}-windres)

# Headers and libraries come from the mingw-w64 tree only; programs (ccache,
# the host's tools) from the build machine.
set(CMAKE_FIND_ROOT_PATH /usr/${USERPOLICY_MINGW_TRIPLET})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
