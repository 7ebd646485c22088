# Installs the libraries, their headers and a package configuration, so that
# another CMake project uses the library with
#   find_package(zelq_generation REQUIRED)
#   target_link_libraries(app PRIVATE zelq::zelq_generation)
# or links only the components it uses (zelq::zelq_generation_repacker, ...).
include(CMakePackageConfigHelpers)

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

configure_package_config_file(${PROJECT_SOURCE_DIR}/cmake/zelq_generationConfig.cmake.in
  ${PROJECT_BINARY_DIR}/zelq_generationConfig.cmake
  INSTALL_DESTINATION ${zelq_cmake_dir})
write_basic_package_version_file(${PROJECT_BINARY_DIR}/zelq_generationConfigVersion.cmake
  COMPATIBILITY SameMinorVersion)
install(FILES
  ${PROJECT_BINARY_DIR}/zelq_generationConfig.cmake
  ${PROJECT_BINARY_DIR}/zelq_generationConfigVersion.cmake
  DESTINATION ${zelq_cmake_dir})
