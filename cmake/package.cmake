# What `cmake --install <build> --prefix P` puts under P, in install
# components that are also the Debian packages (cmake/debian.cmake):
#   core     lib/dvrcore/core with its plugin directories "plugins" and
#            "protected-plugins" beside it (plugin packages fill them); it
#            searches lib/dvrcore/lib for libraries. Nobody runs it by hand
#            (the supervisor starts it), so it is a program of the package's
#            own directory, not of bin/ or sbin/; its manual page core(8).
#            The Debian package also owns the core's working directory,
#            /var/lib/dvrcore.
#   bridge   the MQTT bridge plugin in lib/dvrcore/plugins, where the build
#            found libmosquitto; its example settings and broker recipe go to
#            its documentation directory.
#   sdk      the plugin SDK: dvrplugin.h, the test kit, the CMake package
#            dvrplugin (lib/cmake/dvrplugin) with a cross build's toolchain
#            file, share/pkgconfig/dvrplugin.pc, the guide and example sources.
#            The inspector bin/dvrplugin-inspect and a plugin template
#            (share/dvrplugin/template) come with it.
#   standin  bin/supervisor-standin, the supervisor stand-in, with its manual
#            and its bus monitor plugin (lib/dvrplugin/monitor).
#   cross    a cross build only, and only in its Debian package: the SDK's
#            header, test kit and CMake package under the cross compilers'
#            root (arm-linux-gnueabihf/), with a toolchain file that needs
#            nothing but Debian's cross compilers (cmake/cross-sdk.cmake).
include(CMakePackageConfigHelpers)

set(core_install_dir lib/dvrcore)
set(plugins_install_dir ${core_install_dir}/plugins)
set(core_state_dir /var/lib/dvrcore)
set(dvrplugin_package_dir lib/cmake/dvrplugin)
set(core_package_name dvrcore)
set(bridge_package_name dvrcore-mqtt-bridge)
set(sdk_package_name dvrcore-plugin-dev)
set(standin_package_name dvrcore-supervisor-standin)
set(cross_package_name ${sdk_package_name}-armhf-cross)

# Every mode is set here, none left to the packager's umask: directories
# that installing implies are 0755, files 0644, programs 0755, and plugins
# 0644 like every shared library (the core needs to read them only; the plugin
# guide and the template name the same mode).
set(CMAKE_INSTALL_DEFAULT_DIRECTORY_PERMISSIONS
    OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
set(plugin_permissions OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ)
set(program_permissions OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)

install(TARGETS core RUNTIME DESTINATION ${core_install_dir} PERMISSIONS ${program_permissions} COMPONENT core)
install(DIRECTORY DESTINATION ${plugins_install_dir} COMPONENT core)
install(DIRECTORY DESTINATION ${core_install_dir}/protected-plugins COMPONENT core)
# The working directory the supervisor starts the core in, owned by the
# package: only its Debian package makes it (an installation under a prefix
# of one's own has no business in /var).
install(DIRECTORY DESTINATION ${core_state_dir} COMPONENT core EXCLUDE_FROM_ALL)

install(TARGETS supervisor-standin RUNTIME DESTINATION bin PERMISSIONS ${program_permissions} COMPONENT standin)
# Where supervisor-standin --monitor looks for it: ../lib/dvrplugin/monitor
# from bin. A directory below lib/dvrplugin: a plugin directly in a
# subdirectory of lib would have the package run ldconfig for it.
install(TARGETS bus_monitor LIBRARY DESTINATION lib/dvrplugin/monitor PERMISSIONS ${plugin_permissions}
    COMPONENT standin)
install(TARGETS dvrplugin-inspect RUNTIME DESTINATION bin PERMISSIONS ${program_permissions} COMPONENT sdk)
install(DIRECTORY ${CMAKE_SOURCE_DIR}/template/ DESTINATION share/dvrplugin/template COMPONENT sdk)
# The bridge stays off until mqtt_bridge.xml is put beside core.xml; it needs
# libmosquitto on the device. Built only where libmosquitto was found.
if(TARGET mqtt_bridge)
    install(TARGETS mqtt_bridge LIBRARY DESTINATION ${plugins_install_dir} PERMISSIONS ${plugin_permissions}
        COMPONENT bridge)
endif()

# The SDK's CMake package. Its include directories come from INCLUDES
# DESTINATION, so that the cross package's export names its own.
set_target_properties(dvrplugin_testkit PROPERTIES EXPORT_NAME testkit)
install(TARGETS plugin_abi dvrplugin_testkit EXPORT dvrplugin-targets
    ARCHIVE DESTINATION lib COMPONENT sdk
    PUBLIC_HEADER DESTINATION include COMPONENT sdk
    INCLUDES DESTINATION include)
install(FILES ${CMAKE_SOURCE_DIR}/include/dvrplugin.h DESTINATION include COMPONENT sdk)
install(EXPORT dvrplugin-targets NAMESPACE dvrplugin:: DESTINATION ${dvrplugin_package_dir} COMPONENT sdk)

# The architecture plugin packages must have: the core's.
if(CMAKE_CROSSCOMPILING)
    set(package_architecture armhf)
else()
    execute_process(COMMAND dpkg --print-architecture
        OUTPUT_VARIABLE package_architecture OUTPUT_STRIP_TRAILING_WHITESPACE COMMAND_ERROR_IS_FATAL ANY)
endif()

# dvrplugin_package_config(OUTPUT-DIRECTORY PLUGINS-DIRECTORY): the package's
# configuration and version files; PLUGINS-DIRECTORY is written into the
# configuration as it is, and may name ${PACKAGE_PREFIX_DIR}.
function(dvrplugin_package_config output plugins_dir)
    set(dvrplugin_plugins_dir "${plugins_dir}")
    set(dvrplugin_debian_architecture ${package_architecture})
    configure_package_config_file(${CMAKE_CURRENT_FUNCTION_LIST_DIR}/dvrplugin-config.cmake.in
        ${output}/dvrplugin-config.cmake
        INSTALL_DESTINATION ${dvrplugin_package_dir})
    # The version file also refuses a consumer whose pointer size differs, so a
    # native project cannot pick up an armhf installation by mistake.
    write_basic_package_version_file(${output}/dvrplugin-config-version.cmake
        VERSION ${PROJECT_VERSION}
        COMPATIBILITY SameMajorVersion)
endfunction()
dvrplugin_package_config(${CMAKE_BINARY_DIR}/package "\${PACKAGE_PREFIX_DIR}/${plugins_install_dir}")
install(FILES
    ${CMAKE_BINARY_DIR}/package/dvrplugin-config.cmake
    ${CMAKE_BINARY_DIR}/package/dvrplugin-config-version.cmake
    ${CMAKE_CURRENT_LIST_DIR}/dvrplugin-testkit-helpers.cmake
    DESTINATION ${dvrplugin_package_dir} COMPONENT sdk)
# A cross build ships its toolchain file: plugins for the device must be
# built with the same compilers.
if(CMAKE_CROSSCOMPILING)
    install(FILES ${CMAKE_TOOLCHAIN_FILE} DESTINATION ${dvrplugin_package_dir} RENAME toolchain.cmake
        COMPONENT sdk)
endif()

configure_file(${CMAKE_CURRENT_LIST_DIR}/dvrplugin.pc.in ${CMAKE_BINARY_DIR}/package/dvrplugin.pc @ONLY)
install(FILES ${CMAKE_BINARY_DIR}/package/dvrplugin.pc DESTINATION share/pkgconfig COMPONENT sdk)

# The cross SDK: the same header, test kit and CMake package in the cross
# compilers' root, where an amd64 workstation can install them beside the
# amd64 SDK. Its plugin directory is the device's.
if(CMAKE_CROSSCOMPILING)
    set(cross_root ${CMAKE_LIBRARY_ARCHITECTURE})
    install(TARGETS plugin_abi dvrplugin_testkit EXPORT dvrplugin-cross-targets
        ARCHIVE DESTINATION ${cross_root}/lib COMPONENT cross EXCLUDE_FROM_ALL
        PUBLIC_HEADER DESTINATION ${cross_root}/include COMPONENT cross EXCLUDE_FROM_ALL
        INCLUDES DESTINATION ${cross_root}/include)
    install(FILES ${CMAKE_SOURCE_DIR}/include/dvrplugin.h DESTINATION ${cross_root}/include
        COMPONENT cross EXCLUDE_FROM_ALL)
    install(EXPORT dvrplugin-cross-targets FILE dvrplugin-targets.cmake NAMESPACE dvrplugin::
        DESTINATION ${cross_root}/${dvrplugin_package_dir} COMPONENT cross EXCLUDE_FROM_ALL)
    dvrplugin_package_config(${CMAKE_BINARY_DIR}/package/cross /usr/${plugins_install_dir})
    install(FILES
        ${CMAKE_BINARY_DIR}/package/cross/dvrplugin-config.cmake
        ${CMAKE_BINARY_DIR}/package/cross/dvrplugin-config-version.cmake
        ${CMAKE_CURRENT_LIST_DIR}/dvrplugin-testkit-helpers.cmake
        DESTINATION ${cross_root}/${dvrplugin_package_dir} COMPONENT cross EXCLUDE_FROM_ALL)
    install(FILES ${CMAKE_CURRENT_LIST_DIR}/cross-sdk.cmake DESTINATION ${cross_root}/${dvrplugin_package_dir}
        RENAME toolchain.cmake COMPONENT cross EXCLUDE_FROM_ALL)
    # ARM objects in an Architecture: all package under /usr/<triplet>: what
    # Debian's own cross packages hold, and say so to lintian the same way.
    install(FILES ${CMAKE_CURRENT_LIST_DIR}/debian/cross.lintian-overrides
        DESTINATION share/lintian/overrides RENAME ${cross_package_name} COMPONENT cross EXCLUDE_FROM_ALL)
endif()

# The packaged programs alone: cpack builds these, not the tests and
# benchmarks (cmake/debian.cmake).
add_custom_target(packaged_targets)
add_dependencies(packaged_targets core supervisor-standin bus_monitor dvrplugin-inspect dvrplugin_testkit)
if(TARGET mqtt_bridge)
    add_dependencies(packaged_targets mqtt_bridge)
endif()

# install_gzipped(SOURCE DESTINATION COMPONENT [EXCLUDE_FROM_ALL]): manual
# pages and change logs are installed compressed, without time stamps.
function(install_gzipped source destination component)
    get_filename_component(name ${source} NAME)
    execute_process(COMMAND gzip -9n INPUT_FILE ${source} OUTPUT_FILE ${CMAKE_BINARY_DIR}/package/${name}.gz
        COMMAND_ERROR_IS_FATAL ANY)
    set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${source})
    install(FILES ${CMAKE_BINARY_DIR}/package/${name}.gz DESTINATION ${destination} COMPONENT ${component} ${ARGN})
endfunction()

include(${CMAKE_CURRENT_LIST_DIR}/manuals.cmake)

# Each package's documentation directory: its copyright and change log, as
# Debian's policy asks; the core's README and the integrators' pages; the
# bridge's page, example settings and broker recipe; the plugin guide and the
# example plugins' sources (with their stand-alone CMake project) for plugin
# authors.
set(package_doc_source ${CMAKE_CURRENT_LIST_DIR}/debian)
set(package_components core sdk standin)
if(TARGET mqtt_bridge)
    list(APPEND package_components bridge)
endif()
if(CMAKE_CROSSCOMPILING)
    list(APPEND package_components cross)
endif()
foreach(component ${package_components})
    set(exclude "")
    if(component STREQUAL "cross")
        set(exclude EXCLUDE_FROM_ALL)
    endif()
    install(FILES ${package_doc_source}/copyright
        DESTINATION share/doc/${${component}_package_name} COMPONENT ${component} ${exclude})
    install_gzipped(${package_doc_source}/changelog share/doc/${${component}_package_name} ${component} ${exclude})
endforeach()
install(FILES ${CMAKE_SOURCE_DIR}/README.md ${CMAKE_SOURCE_DIR}/docs/running.md
    ${CMAKE_SOURCE_DIR}/docs/crash-reports.md ${CMAKE_SOURCE_DIR}/docs/packages.md
    DESTINATION share/doc/${core_package_name} COMPONENT core)
if(TARGET mqtt_bridge)
    install(FILES ${CMAKE_SOURCE_DIR}/docs/mqtt-bridge.md ${CMAKE_SOURCE_DIR}/mqtt_bridge/mqtt_bridge.xml.example
        DESTINATION share/doc/${bridge_package_name} COMPONENT bridge)
    install(DIRECTORY ${CMAKE_SOURCE_DIR}/mqtt_bridge/broker DESTINATION share/doc/${bridge_package_name}
        COMPONENT bridge)
endif()
install(FILES ${CMAKE_SOURCE_DIR}/docs/plugin-guide.md DESTINATION share/doc/${sdk_package_name} COMPONENT sdk)
install(DIRECTORY ${CMAKE_SOURCE_DIR}/examples/ DESTINATION share/doc/${sdk_package_name}/examples
    COMPONENT sdk)

include(${CMAKE_CURRENT_LIST_DIR}/debian.cmake)
