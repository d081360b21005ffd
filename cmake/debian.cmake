# Debian packages of a build directory, one per install component
# (cmake/package.cmake):
#   cpack -G DEB --config <build>/CPackConfig.cmake -B <output directory>
# makes dvrcore, dvrcore-mqtt-bridge (where the build has the bridge),
# dvrcore-plugin-dev and dvrcore-supervisor-standin for the build's
# architecture (amd64 natively, armhf in the cross build), and in the cross
# build also dvrcore-plugin-dev-armhf-cross, for every architecture. Their
# Depends come from the binaries through dpkg-shlibdeps. cpack builds the
# packaged programs first, and nothing else.
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME ${core_package_name})
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
# Like the plugin header's macros, the change log names the version itself:
# its newest entry must be the project's.
file(STRINGS ${CMAKE_CURRENT_LIST_DIR}/debian/changelog newest_change LIMIT_COUNT 1)
string(REPLACE "." "\\." version_pattern ${PROJECT_VERSION})
if(NOT newest_change MATCHES "^${core_package_name} \\(${version_pattern}\\) ")
    message(FATAL_ERROR "cmake/debian/changelog: the newest entry is not of the project's version "
        "${PROJECT_VERSION}")
endif()
set(CPACK_PACKAGE_VENDOR "Recording server core team")
set(CPACK_PACKAGE_CONTACT "Recording server core team <core-team@example.com>")
# Installed under DESTDIR with the prefix /usr, so that the core's working
# directory in /var is the package's too.
set(CPACK_SET_DESTDIR ON)
set(CPACK_INSTALL_PREFIX /usr)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_INSTALL_DEFAULT_DIRECTORY_PERMISSIONS ${CMAKE_INSTALL_DEFAULT_DIRECTORY_PERMISSIONS})
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_ALL ${package_components})
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_COMPRESSION_TYPE xz)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_ARCHITECTURE ${package_architecture})

# Installing does not build everything first (the tests' plugins, the
# benchmarks): cpack builds the packaged programs alone, before it installs.
set(CMAKE_SKIP_INSTALL_ALL_DEPENDENCY ON)
set(CPACK_INSTALL_COMMANDS "${CMAKE_COMMAND} --build ${CMAKE_BINARY_DIR} --target packaged_targets")

set(CPACK_DEBIAN_CORE_PACKAGE_NAME ${core_package_name})
set(CPACK_DEBIAN_CORE_PACKAGE_SECTION misc)
# Purging the package removes what the core wrote in its working directory.
set(CPACK_DEBIAN_CORE_PACKAGE_CONTROL_EXTRA ${CMAKE_CURRENT_LIST_DIR}/debian/core/postrm)
set(CPACK_COMPONENT_CORE_DESCRIPTION "core process of the recording server
The plugin host of the device's video recording server: it loads the plugins
in /usr/lib/dvrcore/plugins and /usr/lib/dvrcore/protected-plugins, carries
events between them and packets between them and the supervising daemon,
which starts it in its working directory, /var/lib/dvrcore.")

set(CPACK_DEBIAN_BRIDGE_PACKAGE_NAME ${bridge_package_name})
set(CPACK_DEBIAN_BRIDGE_PACKAGE_SECTION net)
set(CPACK_DEBIAN_BRIDGE_PACKAGE_DEPENDS "${core_package_name} (= ${PROJECT_VERSION})")
set(CPACK_COMPONENT_BRIDGE_DESCRIPTION "MQTT bridge plugin of the recording server's core
Connects the core's event bus to an MQTT broker: publishes the device's state,
health, documents, log lines and chosen events, and carries operators'
commands to the plugins. It stays off until /var/lib/dvrcore/mqtt_bridge.xml
exists; the example settings and a broker recipe are in
/usr/share/doc/${bridge_package_name}.")

set(CPACK_DEBIAN_SDK_PACKAGE_NAME ${sdk_package_name})
set(CPACK_DEBIAN_SDK_PACKAGE_SECTION libdevel)
set(CPACK_DEBIAN_SDK_PACKAGE_DEPENDS "${standin_package_name} (= ${PROJECT_VERSION})")
# What the plugin template builds with, and the core to try plugins in.
set(CPACK_DEBIAN_SDK_PACKAGE_RECOMMENDS
    "${core_package_name} (= ${PROJECT_VERSION}), cmake, pkg-config, libgtest-dev")
set(CPACK_COMPONENT_SDK_DESCRIPTION "plugin SDK of the recording server's core
Everything a plugin author builds against: the plugin header dvrplugin.h, the
CMake package dvrplugin, the pkg-config file, and the test kit, which runs a
plugin in a unit test without the core. The plugin guide and the sources of
the example plugins are in /usr/share/doc/${sdk_package_name}.")

set(CPACK_DEBIAN_STANDIN_PACKAGE_NAME ${standin_package_name})
set(CPACK_DEBIAN_STANDIN_PACKAGE_SECTION devel)
set(CPACK_COMPONENT_STANDIN_DESCRIPTION "stand-in for the recording server's supervising daemon
A development tool: it starts the core on a socket pair, plays the supervising
daemon's side of the link, prints and records the packets from the core and
sends packets to plugins, so that plugins can be tried without the device.")

# The cross SDK holds no program of the build machine's: nothing for
# dpkg-shlibdeps, and Debian's cross compilers are all it needs.
set(CPACK_DEBIAN_CROSS_PACKAGE_NAME ${cross_package_name})
set(CPACK_DEBIAN_CROSS_PACKAGE_ARCHITECTURE all)
set(CPACK_DEBIAN_CROSS_PACKAGE_SECTION libdevel)
set(CPACK_DEBIAN_CROSS_PACKAGE_SHLIBDEPS OFF)
set(CPACK_DEBIAN_CROSS_PACKAGE_DEPENDS "crossbuild-essential-armhf")
set(CPACK_DEBIAN_CROSS_PACKAGE_RECOMMENDS "cmake, qemu-user")
set(CPACK_COMPONENT_CROSS_DESCRIPTION "plugin SDK of the recording server's core, for building on another machine
The plugin header, the armhf test kit and the CMake package dvrplugin in
/usr/arm-linux-gnueabihf, for Debian's armhf cross compilers, and the
toolchain file that builds plugins for the device with them:
/usr/arm-linux-gnueabihf/lib/cmake/dvrplugin/toolchain.cmake")

# In the cross build, dpkg-shlibdeps reads the armhf libraries of the
# sysroot with the cross binutils; the symbols and shlibs files of their
# packages lie in the sysroot's DEBIAN/ (scripts/armhf-sysroot.sh), since
# nothing of the sysroot is known to the build machine's dpkg.
if(CMAKE_CROSSCOMPILING AND CMAKE_SYSROOT)
    set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS_PRIVATE_DIRS
        ${CMAKE_SYSROOT}/lib/arm-linux-gnueabihf ${CMAKE_SYSROOT}/usr/lib/arm-linux-gnueabihf)
    set(CPACK_CORE_SHLIBDEPS_COMMAND env DEB_HOST_ARCH=armhf dpkg-shlibdeps)
    set(CPACK_PROJECT_CONFIG_FILE ${CMAKE_CURRENT_LIST_DIR}/debian-cross-shlibdeps.cmake)
endif()

include(CPack)
