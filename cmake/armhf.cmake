# Cross build for the device: 32-bit ARM with hard float.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR arm)
set(CMAKE_C_COMPILER arm-linux-gnueabihf-gcc)
set(CMAKE_CXX_COMPILER arm-linux-gnueabihf-g++)
set(CMAKE_LIBRARY_ARCHITECTURE arm-linux-gnueabihf)
# GCC notes an ARM calling-convention change of 2017 on every std::vector
# instantiation; nothing here crosses that boundary.
set(CMAKE_CXX_FLAGS_INIT "-Wno-psabi")

# The target's libraries come from an armhf sysroot of their own
# (scripts/armhf-sysroot.sh), never from the build machine: the environment's
# CORE_ARMHF_SYSROOT, else the repository's build/armhf-sysroot beside this
# file (the script's link into the build cache). Without one (this file
# installed for plugin authors, say) only the cross toolchain's own C and C++
# libraries are there, which is all a plugin needs.
if(DEFINED ENV{CORE_ARMHF_SYSROOT})
    get_filename_component(core_armhf_sysroot "$ENV{CORE_ARMHF_SYSROOT}" ABSOLUTE)
elseif(EXISTS "${CMAKE_CURRENT_LIST_DIR}/../build/armhf-sysroot/.recipe")
    get_filename_component(core_armhf_sysroot "${CMAKE_CURRENT_LIST_DIR}/../build/armhf-sysroot" ABSOLUTE)
else()
    set(core_armhf_sysroot /usr/arm-linux-gnueabihf)
endif()

if(EXISTS "${core_armhf_sysroot}/.recipe")
    set(CMAKE_SYSROOT "${core_armhf_sysroot}")
    set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
    set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
    set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
    set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
    # Installed for plugin authors, this file sits in the core's installation
    # (lib/cmake/dvrplugin), which lies outside the sysroot: searched as a
    # root of its own, it is found as well.
    if(EXISTS "${CMAKE_CURRENT_LIST_DIR}/dvrplugin-config.cmake")
        get_filename_component(core_installation "${CMAKE_CURRENT_LIST_DIR}/../../.." ABSOLUTE)
        list(APPEND CMAKE_FIND_ROOT_PATH "${core_installation}")
    endif()
    # wx-config is a script: it runs here and answers with paths inside the sysroot.
    set(wxWidgets_CONFIG_EXECUTABLE "${core_armhf_sysroot}/usr/lib/arm-linux-gnueabihf/wx/config/gtk3-unicode-3.2")
    set(wxWidgets_CONFIG_OPTIONS --prefix=${core_armhf_sysroot}/usr)
else()
    set(CMAKE_FIND_ROOT_PATH "${core_armhf_sysroot}")
    set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
    set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY BOTH)
    set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE BOTH)
    set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE BOTH)
endif()

# No binfmt registration on the build machine: every target executable is
# started through the emulator, which takes its loader and libraries from
# the same root as the build did.
set(CMAKE_CROSSCOMPILING_EMULATOR qemu-arm -L "${core_armhf_sysroot}")
