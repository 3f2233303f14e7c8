# The parts of the installed library and the library made of them.
#
# Every folder of the library builds one internal STATIC target (what the
# tool, the tests and the benchmarks link) and registers it here with
# reviri_library_part(). reviri_add_public_library() then builds `reviri`
# (static, or shared with BUILD_SHARED_LIBS) from the objects of every
# registered part, so each source is compiled once. Its only include path is
# include/; the parts' own include path (the source root) stays internal.

# reviri_library_part(<target>...): the objects of <target> go into libreviri.
function(reviri_library_part)
  set_property(GLOBAL APPEND PROPERTY REVIRI_LIBRARY_PARTS ${ARGN})
endfunction()

# Libraries the parts link that are not parts themselves, kept for the
# public library's own link line (RE2 and the like).
function(reviri_part_dependencies out)
  get_property(parts GLOBAL PROPERTY REVIRI_LIBRARY_PARTS)
  set(deps)
  foreach(part IN LISTS parts)
    get_target_property(libs ${part} LINK_LIBRARIES)
    foreach(lib IN LISTS libs)
      if(lib AND NOT lib IN_LIST parts)
        list(APPEND deps ${lib})
      endif()
    endforeach()
  endforeach()
  list(REMOVE_DUPLICATES deps)
  set(${out} ${deps} PARENT_SCOPE)
endfunction()

function(reviri_add_public_library)
  get_property(parts GLOBAL PROPERTY REVIRI_LIBRARY_PARTS)
  set(objects)
  foreach(part IN LISTS parts)
    list(APPEND objects $<TARGET_OBJECTS:${part}>)
  endforeach()
  add_library(reviri ${objects})
  add_library(Reviri::reviri ALIAS reviri)
  add_dependencies(reviri ${parts})
  target_include_directories(reviri PUBLIC $<BUILD_INTERFACE:${PROJECT_SOURCE_DIR}/include>
                                           $<INSTALL_INTERFACE:${CMAKE_INSTALL_INCLUDEDIR}>)
  target_compile_features(reviri PUBLIC cxx_std_20)
  reviri_part_dependencies(deps)
  target_link_libraries(reviri PRIVATE ${deps})
  # 0.x releases may change the ABI with every minor version.
  if(PROJECT_VERSION_MAJOR EQUAL 0)
    set(soversion ${PROJECT_VERSION_MAJOR}.${PROJECT_VERSION_MINOR})
  else()
    set(soversion ${PROJECT_VERSION_MAJOR})
  endif()
  set_target_properties(reviri PROPERTIES VERSION ${PROJECT_VERSION} SOVERSION ${soversion}
                                          EXPORT_NAME reviri)
endfunction()
