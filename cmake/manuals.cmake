# The manual pages are the pages of docs/man/ (Markdown), turned into roff by
# Debian's go-md2man when the build is configured: the documentation and
# `man` read the same text, which cannot drift apart.
find_program(GO_MD2MAN go-md2man REQUIRED)

# The pages carry the date of the newest change log entry and the version.
file(STRINGS ${CMAKE_CURRENT_LIST_DIR}/debian/changelog change_trailers REGEX "^ -- ")
list(GET change_trailers 0 newest_trailer)
if(NOT newest_trailer MATCHES ", ([0-9][0-9]? [A-Z][a-z][a-z] [0-9][0-9][0-9][0-9]) ")
    message(FATAL_ERROR "cmake/debian/changelog: no date in '${newest_trailer}'")
endif()
set(manual_date ${CMAKE_MATCH_1})

# install_manual(NAME SECTION COMPONENT MANUAL): docs/man/NAME.SECTION.md
# as share/man/manSECTION/NAME.SECTION.gz of COMPONENT, in the manual named
# MANUAL.
function(install_manual name section component manual)
    set(source ${CMAKE_SOURCE_DIR}/docs/man/${name}.${section}.md)
    set(page ${CMAKE_BINARY_DIR}/package/manuals/${name}.${section})
    string(TOUPPER ${name} title)
    file(READ ${source} text)
    file(WRITE ${page}.md "% ${title} ${section} \"${manual_date}\" \"dvrcore ${PROJECT_VERSION}\" \"${manual}\"\n\n${text}")
    execute_process(COMMAND ${GO_MD2MAN} -in ${page}.md -out ${page} COMMAND_ERROR_IS_FATAL ANY)
    install_gzipped(${page} share/man/man${section} ${component})
    set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${source})
endfunction()

install_manual(core 8 core "Recording server administration")
install_manual(supervisor-standin 1 standin "Recording server development tools")
install_manual(dvrplugin-inspect 1 sdk "Recording server development tools")
