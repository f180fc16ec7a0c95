# A CMake toolchain for building against this Stub release for 32-bit Windows
# (x86) with mingw-w64 on Linux:
#
#   cmake -S SOURCE -B BUILD -DCMAKE_TOOLCHAIN_FILE=<release>/lib/cmake/Stub/toolchain-x86-mingw-w64.cmake \
#         -DStub_DIR=<release>/lib/cmake/Stub
#
# Like most cross toolchains it searches libraries, headers and packages only
# under its roots: the compiler's own (i686-w64-mingw32) and this release's
# folder, so find_package(Stub) finds the release this file came with.
# Stub_DIR names the release for any other toolchain that searches only its
# own root.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR i686)
# Debian and Ubuntu name the posix thread model's compilers with -posix; other
# systems have one compiler of the plain name.
find_program(CMAKE_C_COMPILER NAMES i686-w64-mingw32-gcc-posix i686-w64-mingw32-gcc REQUIRED)
find_program(CMAKE_CXX_COMPILER NAMES i686-w64-mingw32-g++-posix i686-w64-mingw32-g++ REQUIRED)
find_program(CMAKE_RC_COMPILER NAMES i686-w64-mingw32-windres REQUIRED)
get_filename_component(_stub_release "${CMAKE_CURRENT_LIST_DIR}/../../.." ABSOLUTE)
set(CMAKE_FIND_ROOT_PATH /usr/i686-w64-mingw32 "${_stub_release}")
unset(_stub_release)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
