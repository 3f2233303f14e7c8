# Installs the library: libreviri, every header of include/reviri/, the CMake
# package (find_package(Reviri) -> Reviri::reviri) and reviri.pc, all at the
# GNUInstallDirs paths. The tool installs its program, man page and bash
# completion from tools/.
include(CMakePackageConfigHelpers)

set(REVIRI_CMAKE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/Reviri)

install(TARGETS reviri EXPORT ReviriTargets
        ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR}
        LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR} NAMELINK_COMPONENT Development
        RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
# Every public header, present and future: the folder is the public API.
install(DIRECTORY ${PROJECT_SOURCE_DIR}/include/reviri DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}
        FILES_MATCHING PATTERN "*.h")
install(EXPORT ReviriTargets NAMESPACE Reviri:: DESTINATION ${REVIRI_CMAKE_DIR})

get_target_property(REVIRI_LIBRARY_TYPE reviri TYPE)
configure_package_config_file(${CMAKE_CURRENT_LIST_DIR}/ReviriConfig.cmake.in
                              ${PROJECT_BINARY_DIR}/ReviriConfig.cmake
                              INSTALL_DESTINATION ${REVIRI_CMAKE_DIR})
# 0.x minor versions may break the API, later ones only major versions.
if(PROJECT_VERSION_MAJOR EQUAL 0)
  set(compatibility SameMinorVersion)
else()
  set(compatibility SameMajorVersion)
endif()
write_basic_package_version_file(${PROJECT_BINARY_DIR}/ReviriConfigVersion.cmake
                                 COMPATIBILITY ${compatibility})
install(FILES ${PROJECT_BINARY_DIR}/ReviriConfig.cmake ${PROJECT_BINARY_DIR}/ReviriConfigVersion.cmake
        DESTINATION ${REVIRI_CMAKE_DIR})

# reviri.pc finds its prefix from its own place, so an installed tree (or an
# unpacked package) can be moved and still be used.
set(REVIRI_PC_DIR ${CMAKE_INSTALL_LIBDIR}/pkgconfig)
file(RELATIVE_PATH REVIRI_PC_TO_PREFIX /root/${REVIRI_PC_DIR} /root)
string(REGEX REPLACE "/$" "" REVIRI_PC_TO_PREFIX "${REVIRI_PC_TO_PREFIX}")
if(REVIRI_LIBRARY_TYPE STREQUAL "STATIC_LIBRARY")
  # A static libreviri needs RE2 on every consumer's link line.
  set(REVIRI_PC_REQUIRES "Requires: re2")
else()
  set(REVIRI_PC_REQUIRES "Requires.private: re2")
endif()
configure_file(${CMAKE_CURRENT_LIST_DIR}/reviri.pc.in ${PROJECT_BINARY_DIR}/reviri.pc @ONLY)
install(FILES ${PROJECT_BINARY_DIR}/reviri.pc DESTINATION ${REVIRI_PC_DIR})
