# CPack: `cpack -G DEB` (or `cmake --build B --target package`) makes
# reviri_<version>_<arch>.deb holding what `cmake --install` installs: the
# library, the headers, the CMake package, reviri.pc, the tool, its man page
# and its bash completion. dpkg-shlibdeps declares the shared libraries the
# programs need; RE2's development files are named for the static library.
set(CPACK_PACKAGE_NAME reviri)
set(CPACK_PACKAGE_VENDOR "Reviri developers")
set(CPACK_PACKAGE_CONTACT "Reviri developers <reviri@localhost>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "${PROJECT_DESCRIPTION}")
set(CPACK_PACKAGE_DESCRIPTION
    "Reviri sends and reads SMS through a GSM modem or phone on a serial port\n"
    "(GSM 07.05 PDU mode and GSM 07.07): a C++ library with its headers, CMake\n"
    "package and pkg-config file, and the reviri command-line tool with a\n"
    "built-in simulated modem.")
string(REPLACE ";" "" CPACK_PACKAGE_DESCRIPTION "${CPACK_PACKAGE_DESCRIPTION}")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_GENERATOR DEB)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION comm)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
if(NOT BUILD_SHARED_LIBS)
  set(CPACK_DEBIAN_PACKAGE_DEPENDS "libre2-dev")
endif()
# The package installs where Debian puts things, whatever the build's prefix.
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS ON)
include(CPack)
