# Cross build for the device: 32-bit ARM with hard float.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR arm)
set(CMAKE_C_COMPILER arm-linux-gnueabihf-gcc)
set(CMAKE_CXX_COMPILER arm-linux-gnueabihf-g++)
set(CMAKE_LIBRARY_ARCHITECTURE arm-linux-gnueabihf)
set(CMAKE_FIND_ROOT_PATH /usr/arm-linux-gnueabihf)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY BOTH)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE BOTH)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE BOTH)
# No binfmt registration on the build machine: every target executable is
# started through the emulator. It finds the armhf runtime where multiarch
# installed it; the cross toolchain's own copy of the C library is a
# different build and must not be mixed in.
set(CMAKE_CROSSCOMPILING_EMULATOR qemu-arm)
set(wxWidgets_CONFIG_EXECUTABLE /usr/lib/arm-linux-gnueabihf/wx/config/gtk3-unicode-3.2)
# GCC notes an ARM calling-convention change of 2017 on every std::vector
# instantiation; nothing here crosses that boundary.
set(CMAKE_CXX_FLAGS_INIT "-Wno-psabi")
