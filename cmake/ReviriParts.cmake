# The parts of the installed library and the library made of them.
#
# Every folder of the library builds one internal STATIC target (what the
# tool, the tests and the benchmarks link) and registers it here with
# reviri_library_part(). reviri_add_public_library() then builds `reviri`
# (static, or shared with BUILD_SHARED_LIBS) from the objects of every
# registered part and of every library of this project a part links, so each
# source is compiled once. Its only include path is include/; the parts' own
# include path (the source root) stays internal.

# reviri_library_part(<target>...): the objects of <target> go into libreviri.
function(reviri_library_part)
  set_property(GLOBAL APPEND PROPERTY REVIRI_LIBRARY_PARTS ${ARGN})
endfunction()

# The registered parts and every library of this project they link, however
# deep (a folder split out of a part goes into libreviri without registering),
# as `parts`; the other libraries they link (RE2 and the like) as `deps`.
function(reviri_collect_parts parts_out deps_out)
  get_property(queue GLOBAL PROPERTY REVIRI_LIBRARY_PARTS)
  set(parts)
  set(deps)
  while(queue)
    list(POP_FRONT queue item)
    if(item IN_LIST parts OR item IN_LIST deps OR item MATCHES "^\\$<")
      continue()
    endif()
    set(own FALSE)
    if(TARGET ${item})
      get_target_property(imported ${item} IMPORTED)
      get_target_property(type ${item} TYPE)
      if(NOT imported AND type STREQUAL "STATIC_LIBRARY")
        set(own TRUE)
      endif()
    endif()
    if(own)
      list(APPEND parts ${item})
      get_target_property(libs ${item} LINK_LIBRARIES)
      if(libs)
        list(APPEND queue ${libs})
      endif()
    else()
      list(APPEND deps ${item})
    endif()
  endwhile()
  set(${parts_out} ${parts} PARENT_SCOPE)
  set(${deps_out} ${deps} PARENT_SCOPE)
endfunction()

function(reviri_add_public_library)
  reviri_collect_parts(parts deps)
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
