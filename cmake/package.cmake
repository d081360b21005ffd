# What `cmake --install <build> --prefix P` puts under P, in three install
# components that are also the three Debian packages (cmake/debian.cmake):
#   core     lib/dvrcore/core with its plugin directories "plugins" and
#            "protected-plugins" beside it, and in "plugins" the MQTT bridge
#            with its example settings (where the build found libmosquitto;
#            "protected-plugins" stays empty); it searches lib/dvrcore/lib for
#            libraries. Nobody runs it by hand (the supervisor starts it), so
#            it is a program of the package's own directory, not of bin/.
#   sdk      the plugin SDK: dvrplugin.h, the test kit, the CMake package
#            dvrplugin (lib/cmake/dvrplugin) with a cross build's toolchain
#            file, share/pkgconfig/dvrplugin.pc, the guide and example sources.
#            The inspector bin/dvrplugin-inspect and a plugin template
#            (share/dvrplugin/template) come with it.
#   standin  bin/supervisor-standin, the supervisor stand-in, with its manual
#            and its bus monitor plugin (lib/dvrplugin/monitor).
include(CMakePackageConfigHelpers)

set(core_install_dir lib/dvrcore)
set(dvrplugin_package_dir lib/cmake/dvrplugin)
set(core_package_name dvrcore)
set(sdk_package_name dvrcore-plugin-dev)
set(standin_package_name dvrcore-supervisor-standin)

install(TARGETS core RUNTIME DESTINATION ${core_install_dir} COMPONENT core)
install(DIRECTORY DESTINATION ${core_install_dir}/plugins COMPONENT core)
install(DIRECTORY DESTINATION ${core_install_dir}/protected-plugins COMPONENT core)

install(TARGETS supervisor-standin RUNTIME DESTINATION bin COMPONENT standin)
# Where supervisor-standin --monitor looks for it: ../lib/dvrplugin/monitor
# from bin. A directory below lib/dvrplugin: a plugin directly in a
# subdirectory of lib would have the package run ldconfig for it.
install(TARGETS bus_monitor LIBRARY DESTINATION lib/dvrplugin/monitor COMPONENT standin)
install(TARGETS dvrplugin-inspect RUNTIME DESTINATION bin COMPONENT sdk)
install(DIRECTORY ${CMAKE_SOURCE_DIR}/template/ DESTINATION share/dvrplugin/template COMPONENT sdk)
# The bridge stays off until mqtt_bridge.xml is put beside core.xml; it needs
# libmosquitto on the device. Built only where libmosquitto was found.
if(TARGET mqtt_bridge)
    install(TARGETS mqtt_bridge LIBRARY DESTINATION ${core_install_dir}/plugins COMPONENT core)
    install(FILES ${CMAKE_SOURCE_DIR}/mqtt_bridge/mqtt_bridge.xml.example
        DESTINATION ${core_install_dir}/plugins COMPONENT core)
endif()

set_target_properties(dvrplugin_testkit PROPERTIES EXPORT_NAME testkit)
install(TARGETS plugin_abi dvrplugin_testkit EXPORT dvrplugin-targets
    ARCHIVE DESTINATION lib COMPONENT sdk
    PUBLIC_HEADER DESTINATION include COMPONENT sdk)
install(FILES ${CMAKE_SOURCE_DIR}/include/dvrplugin.h DESTINATION include COMPONENT sdk)
install(EXPORT dvrplugin-targets NAMESPACE dvrplugin:: DESTINATION ${dvrplugin_package_dir} COMPONENT sdk)

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
    DESTINATION ${dvrplugin_package_dir} COMPONENT sdk)
# A cross build ships its toolchain file: plugins for the device must be
# built with the same compilers.
if(CMAKE_CROSSCOMPILING)
    install(FILES ${CMAKE_TOOLCHAIN_FILE} DESTINATION ${dvrplugin_package_dir} RENAME toolchain.cmake
        COMPONENT sdk)
endif()

configure_file(${CMAKE_CURRENT_LIST_DIR}/dvrplugin.pc.in ${CMAKE_BINARY_DIR}/package/dvrplugin.pc @ONLY)
install(FILES ${CMAKE_BINARY_DIR}/package/dvrplugin.pc DESTINATION share/pkgconfig COMPONENT sdk)

# Each package's documentation directory: its copyright and change log, as
# Debian's policy asks; the core's README; the plugin guide and the example
# plugins' sources (with their stand-alone CMake project) for plugin authors.
# Manuals and change logs are installed compressed, without time stamps.
function(install_gzipped source destination component)
    get_filename_component(name ${source} NAME)
    execute_process(COMMAND gzip -9n INPUT_FILE ${source} OUTPUT_FILE ${CMAKE_BINARY_DIR}/package/${name}.gz
        COMMAND_ERROR_IS_FATAL ANY)
    set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${source})
    install(FILES ${CMAKE_BINARY_DIR}/package/${name}.gz DESTINATION ${destination} COMPONENT ${component})
endfunction()
set(package_doc_source ${CMAKE_CURRENT_LIST_DIR}/debian)
# The manuals name the project's version.
foreach(manual supervisor-standin/supervisor-standin dvrplugin-inspect/dvrplugin-inspect)
    get_filename_component(name ${manual} NAME)
    configure_file(${CMAKE_SOURCE_DIR}/tools/${manual}.1.in ${CMAKE_BINARY_DIR}/package/manuals/${name}.1 @ONLY)
endforeach()
install_gzipped(${CMAKE_BINARY_DIR}/package/manuals/supervisor-standin.1 share/man/man1 standin)
install_gzipped(${CMAKE_BINARY_DIR}/package/manuals/dvrplugin-inspect.1 share/man/man1 sdk)
foreach(component core sdk standin)
    install(FILES ${package_doc_source}/copyright
        DESTINATION share/doc/${${component}_package_name} COMPONENT ${component})
    install_gzipped(${package_doc_source}/changelog share/doc/${${component}_package_name} ${component})
endforeach()
install(FILES ${CMAKE_SOURCE_DIR}/README.md DESTINATION share/doc/${core_package_name} COMPONENT core)
install(FILES ${CMAKE_SOURCE_DIR}/docs/plugin-guide.md DESTINATION share/doc/${sdk_package_name} COMPONENT sdk)
install(DIRECTORY ${CMAKE_SOURCE_DIR}/examples/ DESTINATION share/doc/${sdk_package_name}/examples
    COMPONENT sdk)

include(${CMAKE_CURRENT_LIST_DIR}/debian.cmake)
