# Building plugins for the device (32-bit ARM, hard float) on another
# machine, with Debian's armhf cross compilers (crossbuild-essential-armhf)
# and nothing else: installed by dvrcore-plugin-dev-armhf-cross as
# /usr/arm-linux-gnueabihf/lib/cmake/dvrplugin/toolchain.cmake.
#
#   cmake -S my_plugin -B build -DCMAKE_TOOLCHAIN_FILE=/usr/arm-linux-gnueabihf/lib/cmake/dvrplugin/toolchain.cmake
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR arm)
set(CMAKE_C_COMPILER arm-linux-gnueabihf-gcc)
set(CMAKE_CXX_COMPILER arm-linux-gnueabihf-g++)
set(CMAKE_LIBRARY_ARCHITECTURE arm-linux-gnueabihf)
# GCC notes an ARM calling-convention change of 2017 on every std::vector
# instantiation; nothing here crosses that boundary.
set(CMAKE_CXX_FLAGS_INIT "-Wno-psabi")

# Libraries, headers and CMake packages come from the cross compilers' root
# alone, never from the build machine's own. The SDK is found three
# directories above this file: the same root once installed, wherever the
# package's files were unpacked otherwise.
get_filename_component(dvrplugin_cross_sdk_root "${CMAKE_CURRENT_LIST_DIR}/../../.." ABSOLUTE)
set(CMAKE_FIND_ROOT_PATH "${dvrplugin_cross_sdk_root}")
if(NOT dvrplugin_cross_sdk_root STREQUAL "/usr/arm-linux-gnueabihf")
    list(APPEND CMAKE_FIND_ROOT_PATH /usr/arm-linux-gnueabihf)
endif()
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# Tests of what is built run under the emulator (Debian: qemu-user), with
# the cross compilers' C and C++ libraries.
set(CMAKE_CROSSCOMPILING_EMULATOR qemu-arm -L /usr/arm-linux-gnueabihf)
