# Cross toolchain: 64-bit Windows through MinGW-w64 (posix thread model).
# Used for the test build on machines that cannot run 32-bit Linux programs
# (and so not 32-bit Wine); the program itself is built with mingw-i686.cmake.
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(TOOLCHAIN_PREFIX x86_64-w64-mingw32)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-common.cmake)
