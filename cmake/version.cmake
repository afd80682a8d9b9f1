# The release's version: the one line of the file VERSION at the top of the
# tree (major.minor.patch). Everything that carries a version takes it from
# here: the tools' --version, the SDK's tvs_version() and tvs_version_string(),
# the shared library's file name, the Windows images' version resources, the
# Debian package and the Windows installer. The copies that must stand alone
# (the public header's TVS_VERSION_*, the INF's DriverVer, the Python
# package's __version__) are set by scripts/set-version.sh and checked against
# it by the packaging.versions test.
file(STRINGS ${CMAKE_CURRENT_LIST_DIR}/../VERSION TAVRINOSCOPE_VERSION LIMIT_COUNT 1)
string(STRIP "${TAVRINOSCOPE_VERSION}" TAVRINOSCOPE_VERSION)
if(NOT TAVRINOSCOPE_VERSION MATCHES "^[0-9]+\\.[0-9]+\\.[0-9]+$")
  message(FATAL_ERROR "VERSION holds \"${TAVRINOSCOPE_VERSION}\", not major.minor.patch")
endif()
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${CMAKE_CURRENT_LIST_DIR}/../VERSION)

# tavrinoscope_version: links the generated header tavrinoscope_version.h in.
macro(tavrinoscope_version_target)
  set(TAVRINOSCOPE_GENERATED_DIR ${CMAKE_BINARY_DIR}/generated)
  configure_file(${CMAKE_SOURCE_DIR}/cmake/version.h.in ${TAVRINOSCOPE_GENERATED_DIR}/tavrinoscope_version.h @ONLY)
  add_library(tavrinoscope_version INTERFACE)
  target_include_directories(tavrinoscope_version INTERFACE ${TAVRINOSCOPE_GENERATED_DIR})
endmacro()
