# What `cmake --install <build> --prefix P` puts under P: the core laid out as
# on the device (bin/core finds its plugins in bin/plugins and its libraries
# in bin/lib), the supervisor stand-in with its bus monitor plugin
# (lib/dvrplugin), and the plugin SDK: dvrplugin.h, the inspector
# dvrplugin-inspect, the CMake package dvrplugin (lib/cmake/dvrplugin) with
# its test helper, lib/pkgconfig/dvrplugin.pc, and a plugin template
# (share/dvrplugin/template).
include(CMakePackageConfigHelpers)

set(dvrplugin_package_dir lib/cmake/dvrplugin)

install(TARGETS core supervisor-standin dvrplugin-inspect RUNTIME DESTINATION bin)
install(DIRECTORY DESTINATION bin/plugins)
# Where supervisor-standin --monitor looks for it: ../lib/dvrplugin from bin.
install(TARGETS bus_monitor LIBRARY DESTINATION lib/dvrplugin)
install(DIRECTORY ${CMAKE_SOURCE_DIR}/template/ DESTINATION share/dvrplugin/template)

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
    ${CMAKE_CURRENT_LIST_DIR}/dvrplugin-testkit-helpers.cmake
    DESTINATION ${dvrplugin_package_dir})
# A cross build ships its toolchain file: plugins for the device must be
# built with the same compilers.
if(CMAKE_CROSSCOMPILING)
    install(FILES ${CMAKE_TOOLCHAIN_FILE} DESTINATION ${dvrplugin_package_dir} RENAME toolchain.cmake)
endif()

configure_file(${CMAKE_CURRENT_LIST_DIR}/dvrplugin.pc.in ${CMAKE_BINARY_DIR}/package/dvrplugin.pc @ONLY)
install(FILES ${CMAKE_BINARY_DIR}/package/dvrplugin.pc DESTINATION lib/pkgconfig)
