# Installs the libraries, their headers and a package configuration, so that
# another CMake project uses the library with
#   find_package(zelq_generation REQUIRED)
#   target_link_libraries(app PRIVATE zelq::generation)
# or asks for the components it uses and links only those:
#   find_package(zelq_generation REQUIRED COMPONENTS repacker)
#   target_link_libraries(app PRIVATE zelq::repacker)
# The installed tree names no path of this machine: it may be moved.
include(CMakePackageConfigHelpers)

# The outside packages `target` needs once installed: the namespaces of the
# imported targets it links, directly or through this project's libraries,
# leaving out what only the build links ($<BUILD_INTERFACE:...>). A linked
# library that is neither (a path to a file) fails the configuration: it
# would tie the installed tree to this machine.
function(zelq_installed_packages target out)
  set(packages)
  set(seen)
  set(queue ${target})
  while(queue)
    list(POP_FRONT queue current)
    if(current IN_LIST seen)
      continue()
    endif()
    list(APPEND seen ${current})
    get_target_property(links ${current} INTERFACE_LINK_LIBRARIES)
    if(NOT links)
      continue()
    endif()
    foreach(link IN LISTS links)
      while(link MATCHES "^\\$<(LINK_ONLY|INSTALL_INTERFACE):(.*)>$")
        set(link "${CMAKE_MATCH_2}")
      endwhile()
      # ::@(...) marks the folder of a target_link_libraries call made
      # outside the target's own folder.
      if(link STREQUAL "" OR link MATCHES "^\\$<BUILD_INTERFACE:" OR link MATCHES "^::@")
        continue()
      endif()
      set(imported TRUE)
      if(TARGET ${link})
        get_target_property(aliased ${link} ALIASED_TARGET)
        get_target_property(imported ${link} IMPORTED)
        if(aliased)
          list(APPEND queue ${aliased})
          continue()
        endif()
      endif()
      if(NOT imported)
        list(APPEND queue ${link})
      elseif(link MATCHES "^([A-Za-z0-9_]+)::")
        # A package's imported target (possibly imported in another folder).
        list(APPEND packages ${CMAKE_MATCH_1})
      else()
        message(FATAL_ERROR "${current} links ${link}, which is neither a target of this "
          "project nor a package's imported target: the installed package would name a path "
          "of this machine")
      endif()
    endforeach()
  endwhile()
  list(REMOVE_DUPLICATES packages)
  set(${out} ${packages} PARENT_SCOPE)
endfunction()

get_property(zelq_libraries GLOBAL PROPERTY ZELQ_INSTALLED_LIBRARIES)
install(TARGETS ${zelq_libraries}
  EXPORT zelq_generationTargets
  ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR}
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}
  INCLUDES DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})

# Public headers only: the testing fakes, the internal headers under detail/
# and the generated tables that only the library's sources read stay behind.
install(DIRECTORY ${PROJECT_SOURCE_DIR}/src/zelq
  DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}
  FILES_MATCHING PATTERN "*.hpp"
  PATTERN "testing" EXCLUDE
  PATTERN "detail" EXCLUDE)

set(zelq_cmake_dir ${CMAKE_INSTALL_LIBDIR}/cmake/zelq_generation)
install(EXPORT zelq_generationTargets
  NAMESPACE zelq::
  DESTINATION ${zelq_cmake_dir})

# The component table of the package configuration: each installed library
# by its short name, the outside packages it needs and its former name.
set(ZELQ_COMPONENT_TABLE "")
set(zelq_components)
foreach(library IN LISTS zelq_libraries)
  get_target_property(short ${library} EXPORT_NAME)
  zelq_installed_packages(${library} packages)
  list(APPEND zelq_components ${short})
  string(APPEND ZELQ_COMPONENT_TABLE "set(_zelq_${short}_packages ${packages})\n"
    "set(_zelq_${short}_former ${library})\n")
endforeach()
string(APPEND ZELQ_COMPONENT_TABLE "set(_zelq_components ${zelq_components})\n")
get_property(ZELQ_PYTHON_VERSION GLOBAL PROPERTY ZELQ_PYTHON_VERSION)

configure_package_config_file(${PROJECT_SOURCE_DIR}/cmake/zelq_generationConfig.cmake.in
  ${PROJECT_BINARY_DIR}/zelq_generationConfig.cmake
  INSTALL_DESTINATION ${zelq_cmake_dir})
write_basic_package_version_file(${PROJECT_BINARY_DIR}/zelq_generationConfigVersion.cmake
  COMPATIBILITY SameMinorVersion)
install(FILES
  ${PROJECT_BINARY_DIR}/zelq_generationConfig.cmake
  ${PROJECT_BINARY_DIR}/zelq_generationConfigVersion.cmake
  DESTINATION ${zelq_cmake_dir})
