# What `cmake --install <build> --prefix P` puts under P: the core laid out as
# on the device (bin/core finds its plugins in bin/plugins and its libraries
# in bin/lib), the supervisor stand-in, the MQTT bridge plugin with its example
# settings, and the plugin SDK: dvrplugin.h, the CMake package dvrplugin
# (lib/cmake/dvrplugin) and lib/pkgconfig/dvrplugin.pc.
include(CMakePackageConfigHelpers)

set(dvrplugin_package_dir lib/cmake/dvrplugin)

install(TARGETS core supervisor-standin RUNTIME DESTINATION bin)
install(DIRECTORY DESTINATION bin/plugins)
# The bridge stays off until mqtt_bridge.xml is put beside core.xml; it needs
# libmosquitto on the device. Built only where libmosquitto was found.
if(TARGET mqtt_bridge)
    install(TARGETS mqtt_bridge LIBRARY DESTINATION bin/plugins)
    install(FILES ${CMAKE_SOURCE_DIR}/mqtt_bridge/mqtt_bridge.xml.example DESTINATION bin/plugins)
endif()

set_target_properties(dvrplugin_testkit PROPERTIES EXPORT_NAME testkit)
install(TARGETS plugin_abi dvrplugin_testkit EXPORT dvrplugin-targets
    ARCHIVE DESTINATION lib
    PUBLIC_HEADER DESTINATION include)
install(FILES ${CMAKE_SOURCE_DIR}/include/dvrplugin.h DESTINATION include)
install(EXPORT dvrplugin-targets NAMESPACE dvrplugin:: DESTINATION ${dvrplugin_package_dir})

configure_package_config_file(${CMAKE_CURRENT_LIST_DIR}/dvrplugin-config.cmake.in
    ${CMAKE_BINARY_DIR}/package/dvrplugin-config.cmake
    INSTALL_DESTINATION ${dvrplugin_package_dir})
# The version file also refuses a consumer whose pointer size differs, so a
# native project cannot pick up an armhf installation by mistake.
write_basic_package_version_file(${CMAKE_BINARY_DIR}/package/dvrplugin-config-version.cmake
    VERSION ${PROJECT_VERSION}
    COMPATIBILITY SameMajorVersion)
install(FILES
    ${CMAKE_BINARY_DIR}/package/dvrplugin-config.cmake
    ${CMAKE_BINARY_DIR}/package/dvrplugin-config-version.cmake
    DESTINATION ${dvrplugin_package_dir})
# A cross build ships its toolchain file: plugins for the device must be
# built with the same compilers.
if(CMAKE_CROSSCOMPILING)
    install(FILES ${CMAKE_TOOLCHAIN_FILE} DESTINATION ${dvrplugin_package_dir} RENAME toolchain.cmake)
endif()

configure_file(${CMAKE_CURRENT_LIST_DIR}/dvrplugin.pc.in ${CMAKE_BINARY_DIR}/package/dvrplugin.pc @ONLY)
install(FILES ${CMAKE_BINARY_DIR}/package/dvrplugin.pc DESTINATION lib/pkgconfig)
