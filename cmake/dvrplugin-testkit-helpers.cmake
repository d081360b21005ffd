# dvrplugin_test_plugin_path(<test target> <plugin target> [DEFINE <macro>])
#
# Gives a unit test the path of the plugin library it runs through the test
# kit: <test target> is compiled with <macro> (DVRPLUGIN_PLUGIN_PATH unless
# named otherwise) defined as the plugin's full path in quotes, and the
# plugin is built before the test. Call it once per plugin a test runs.
#
#     dvrplugin_test_plugin_path(my_plugin_test my_plugin)
#     // in my_plugin_test.cpp:
#     dvrtest::PluginUnderTest plugin(DVRPLUGIN_PLUGIN_PATH);
function(dvrplugin_test_plugin_path test plugin)
    cmake_parse_arguments(PARSE_ARGV 2 dvrplugin "" "DEFINE" "")
    if(dvrplugin_UNPARSED_ARGUMENTS)
        message(FATAL_ERROR "dvrplugin_test_plugin_path: unexpected arguments: ${dvrplugin_UNPARSED_ARGUMENTS}")
    endif()
    if(NOT dvrplugin_DEFINE)
        set(dvrplugin_DEFINE DVRPLUGIN_PLUGIN_PATH)
    endif()
    target_compile_definitions(${test} PRIVATE "${dvrplugin_DEFINE}=\"$<TARGET_FILE:${plugin}>\"")
    add_dependencies(${test} ${plugin})
endfunction()
