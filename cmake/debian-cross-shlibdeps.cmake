# Read by cpack for the cross build (cmake/debian.cmake): CPack runs this
# command where it would run dpkg-shlibdeps.
set(SHLIBDEPS_EXECUTABLE ${CPACK_CORE_SHLIBDEPS_COMMAND})
