# The API reference: `cmake --build B --target docs` runs Doxygen over
# include/reviri/ into B/docs/html (entry: index.html). Undocumented public
# members are warnings, and warnings are errors.
find_package(Doxygen QUIET)
if(NOT DOXYGEN_FOUND)
  message(STATUS "doxygen not found: the API reference (target docs) is not available")
  return()
endif()
configure_file(${PROJECT_SOURCE_DIR}/docs/Doxyfile.in ${PROJECT_BINARY_DIR}/Doxyfile @ONLY)
add_custom_target(docs
  COMMAND ${DOXYGEN_EXECUTABLE} ${PROJECT_BINARY_DIR}/Doxyfile
  WORKING_DIRECTORY ${PROJECT_SOURCE_DIR}
  COMMENT "API reference in ${PROJECT_BINARY_DIR}/docs/html/index.html"
  VERBATIM)

# The reference builds without a warning: part of the tests.
if(REVIRI_BUILD_TESTS)
  add_test(NAME api_reference_docs COMMAND ${DOXYGEN_EXECUTABLE} ${PROJECT_BINARY_DIR}/Doxyfile
           WORKING_DIRECTORY ${PROJECT_SOURCE_DIR})
endif()
