# Shared compile settings and the helper that turns one package folder into a
# library target plus one test executable.

add_library(zelq_options INTERFACE)
target_compile_options(zelq_options INTERFACE -Wall -Wextra -Wpedantic)
if(ZELQ_WERROR)
  target_compile_options(zelq_options INTERFACE -Werror)
endif()
if(ZELQ_SANITIZE)
  # GCC 12 reports maybe-uninitialized falsely in sanitized code (std::function,
  # std::regex, coroutine frames); the regular build keeps the warning.
  target_compile_options(zelq_options INTERFACE
    -fsanitize=address,undefined -fno-omit-frame-pointer -fno-sanitize-recover=undefined
    -Wno-maybe-uninitialized)
  target_link_options(zelq_options INTERFACE -fsanitize=address,undefined)
endif()
# Asio: C++20 coroutines and no deprecated interfaces.
target_compile_definitions(zelq_options INTERFACE
  BOOST_ASIO_NO_DEPRECATED BOOST_ASIO_HAS_CO_AWAIT BOOST_ASIO_HAS_STD_COROUTINE)

# zelq_package(<target> DIRS <dir>... [DEPS <target>...] [TEST_DEPS <target>...] [NO_INSTALL])
# Sources are the *.cpp files of the folders that are not *_test.cpp; tests are
# the *_test.cpp files, built into one executable <target>_tests.
function(zelq_package name)
  cmake_parse_arguments(ARG "NO_INSTALL" "" "DIRS;DEPS;TEST_DEPS" ${ARGN})
  set(srcs)
  set(tests)
  foreach(dir IN LISTS ARG_DIRS)
    file(GLOB dir_srcs CONFIGURE_DEPENDS ${dir}/*.cpp)
    foreach(f IN LISTS dir_srcs)
      if(f MATCHES "_test\\.cpp$")
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
  target_link_libraries(${name} PUBLIC ${ARG_DEPS})
  target_link_libraries(${name} PRIVATE $<BUILD_INTERFACE:zelq_options>)
  if(ZELQ_SANITIZE)
    # Sanitized objects need the sanitizer runtime wherever they are linked.
    target_link_options(${name} PUBLIC -fsanitize=address,undefined)
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

# Collects into `out` every target `target` links, directly or through other
# targets (generator expressions other than BUILD_INTERFACE are skipped).
function(zelq_linked_targets target out)
  set(seen)
  set(queue ${target})
  while(queue)
    list(POP_FRONT queue current)
    if(NOT TARGET ${current} OR current IN_LIST seen)
      continue()
    endif()
    list(APPEND seen ${current})
    get_target_property(type ${current} TYPE)
    set(props INTERFACE_LINK_LIBRARIES)
    if(NOT type STREQUAL "INTERFACE_LIBRARY")
      list(APPEND props LINK_LIBRARIES)
    endif()
    foreach(prop IN LISTS props)
      get_target_property(deps ${current} ${prop})
      foreach(dep IN LISTS deps)
        if(dep MATCHES "^\\$<BUILD_INTERFACE:(.*)>$")
          set(dep ${CMAKE_MATCH_1})
        endif()
        if(TARGET ${dep})
          get_target_property(aliased ${dep} ALIASED_TARGET)
          if(aliased)
            set(dep ${aliased})
          endif()
          list(APPEND queue ${dep})
        endif()
      endforeach()
    endforeach()
  endwhile()
  set(${out} ${seen} PARENT_SCOPE)
endfunction()

# Fails the configuration when a layer links one above it: the inference
# abstractions and their fakes (and so their tests) need no network, TLS or
# provider.
function(zelq_check_layers)
  foreach(target zelq_inference zelq_inference_testing zelq_inference_tests)
    if(NOT TARGET ${target})
      continue()
    endif()
    zelq_linked_targets(${target} linked)
    foreach(forbidden zelq_net zelq_providers zelq_providers_openai OpenSSL::SSL OpenSSL::Crypto)
      if(TARGET ${forbidden})
        get_target_property(real ${forbidden} ALIASED_TARGET)
        if(NOT real)
          set(real ${forbidden})
        endif()
        if(real IN_LIST linked)
          message(FATAL_ERROR "${target} links ${forbidden}: the inference layer must not "
                              "depend on the network layer or on providers")
        endif()
      endif()
    endforeach()
  endforeach()
endfunction()
