# Shared compile settings and the helper that turns one package folder into a
# library target plus one test executable.

add_library(zelq_options INTERFACE)
target_compile_options(zelq_options INTERFACE -Wall -Wextra -Wpedantic)
if(ZELQ_WERROR)
  target_compile_options(zelq_options INTERFACE -Werror)
endif()
if(ZELQ_SANITIZE AND ZELQ_TSAN)
  message(FATAL_ERROR "ZELQ_SANITIZE and ZELQ_TSAN exclude each other")
endif()
set(zelq_sanitizer_flags)
if(ZELQ_SANITIZE)
  set(zelq_sanitizer_flags -fsanitize=address,undefined -fno-sanitize-recover=undefined)
elseif(ZELQ_TSAN)
  set(zelq_sanitizer_flags -fsanitize=thread)
endif()
if(zelq_sanitizer_flags)
  target_compile_options(zelq_options INTERFACE ${zelq_sanitizer_flags} -fno-omit-frame-pointer)
  if(CMAKE_CXX_COMPILER_ID STREQUAL "GNU")
    # GCC 12 reports maybe-uninitialized falsely in sanitized code
    # (std::function, std::regex, coroutine frames); the regular build keeps
    # the warning.
    target_compile_options(zelq_options INTERFACE -Wno-maybe-uninitialized)
  endif()
  target_link_options(zelq_options INTERFACE ${zelq_sanitizer_flags})
endif()

# The tests that exercise thread safety (file names): with ZELQ_TSAN, each
# package's test executable is built from these alone.
set(ZELQ_THREAD_SAFETY_TESTS
  concurrency_test.cpp logging_test.cpp async_semaphore_test.cpp preset_factory_test.cpp)
# Asio: C++20 coroutines and no deprecated interfaces. Public definitions of
# every library, so that a consumer compiles Asio the way the library does.
set(ZELQ_ASIO_DEFINITIONS BOOST_ASIO_NO_DEPRECATED BOOST_ASIO_HAS_CO_AWAIT BOOST_ASIO_HAS_STD_COROUTINE)

# zelq_package(<target> DIRS <dir>... [DEPS <target>...] [TEST_DEPS <target>...] [NO_INSTALL])
# NO_INSTALL: a library for tests only, neither installed nor exported.
# Sources are the *.cpp files of the folders that are not *_test.cpp; tests are
# the *_test.cpp files, built into one executable <target>_tests.
function(zelq_package name)
  cmake_parse_arguments(ARG "NO_INSTALL" "" "DIRS;DEPS;TEST_DEPS" ${ARGN})
  set(srcs)
  set(tests)
  foreach(dir IN LISTS ARG_DIRS)
    file(GLOB dir_srcs CONFIGURE_DEPENDS ${dir}/*.cpp)
    foreach(f IN LISTS dir_srcs)
      get_filename_component(base ${f} NAME)
      if(ZELQ_TSAN AND f MATCHES "_test\\.cpp$" AND NOT base IN_LIST ZELQ_THREAD_SAFETY_TESTS)
        continue()
      elseif(f MATCHES "_test\\.cpp$")
        list(APPEND tests ${f})
      else()
        list(APPEND srcs ${f})
      endif()
    endforeach()
  endforeach()
  if(NOT srcs)
    message(STATUS "zelq: ${name} has no sources yet; skipped")
    return()
  endif()
  add_library(${name} ${srcs})
  add_library(zelq::${name} ALIAS ${name})
  target_include_directories(${name} PUBLIC
    $<BUILD_INTERFACE:${PROJECT_SOURCE_DIR}/src>
    $<INSTALL_INTERFACE:${CMAKE_INSTALL_INCLUDEDIR}>)
  target_compile_features(${name} PUBLIC cxx_std_20)
  target_compile_definitions(${name} PUBLIC ${ZELQ_ASIO_DEFINITIONS})
  target_link_libraries(${name} PUBLIC ${ARG_DEPS})
  target_link_libraries(${name} PRIVATE $<BUILD_INTERFACE:zelq_options>)
  if(zelq_sanitizer_flags)
    # Sanitized objects need the sanitizer runtime wherever they are linked.
    target_link_options(${name} PUBLIC $<BUILD_INTERFACE:${zelq_sanitizer_flags}>)
  endif()
  if(NOT ARG_NO_INSTALL)
    set_property(GLOBAL APPEND PROPERTY ZELQ_INSTALLED_LIBRARIES ${name})
  endif()
  if(ZELQ_BUILD_TESTS AND tests)
    add_executable(${name}_tests ${tests})
    target_link_libraries(${name}_tests PRIVATE ${name} ${ARG_TEST_DEPS}
      GTest::gtest GTest::gmock GTest::gtest_main zelq_options)
    target_precompile_headers(${name}_tests PRIVATE <boost/asio.hpp> <gtest/gtest.h>)
    include(GoogleTest)
    gtest_discover_tests(${name}_tests DISCOVERY_TIMEOUT 60 PROPERTIES TIMEOUT 120)
  endif()
endfunction()
