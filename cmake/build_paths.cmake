# build_paths(TARGET NAME VALUE [NAME VALUE]...): in TARGET's sources each
# NAME is a C string, the path VALUE (generator expressions allowed), as a
# compile definition NAME="VALUE" would make it, but the sources' compiled
# objects do not hold it. Paths into the build and source trees differ from
# clone to clone; held in one small generated source of their own, they
# leave every other object of a second clone's build to the compiler cache.
#
# A header forced into each of TARGET's sources declares the strings and
# defines the names; the generated source defines the strings.
function(build_paths target)
    string(MAKE_C_IDENTIFIER "build_path_${target}" prefix)
    set(header "${CMAKE_CURRENT_BINARY_DIR}/${target}_build_paths.h")
    set(declarations "#pragma once\n")
    set(definitions "")
    set(arguments ${ARGN})
    while(arguments)
        list(POP_FRONT arguments name value)
        string(APPEND declarations "extern const char ${prefix}_${name}[];\n#define ${name} ${prefix}_${name}\n")
        string(APPEND definitions "extern const char ${prefix}_${name}[] = \"${value}\";\n")
    endwhile()
    file(GENERATE OUTPUT "${header}" CONTENT "${declarations}")
    file(GENERATE OUTPUT "${CMAKE_CURRENT_BINARY_DIR}/${target}_build_paths.cpp" CONTENT "${definitions}")
    target_sources(${target} PRIVATE "${CMAKE_CURRENT_BINARY_DIR}/${target}_build_paths.cpp")
    target_compile_options(${target} PRIVATE -include "${header}")
endfunction()
