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

# The fuzz targets live in the sanitizer build: its libraries also get
# libFuzzer's coverage instrumentation (the tests do not need it). All
# libraries, not only the fuzzed ones, so that they share one precompiled
# header.
set(zelq_fuzz_flags)
if(ZELQ_BUILD_FUZZ)
  if(NOT CMAKE_CXX_COMPILER_ID STREQUAL "Clang" OR NOT ZELQ_SANITIZE)
    message(FATAL_ERROR "ZELQ_BUILD_FUZZ needs clang++ and ZELQ_SANITIZE=ON")
  endif()
  set(zelq_fuzz_flags -fsanitize=fuzzer-no-link)
endif()
# Asio: C++20 coroutines and no deprecated interfaces. Public definitions of
# every library, so that a consumer compiles Asio the way the library does.
set(ZELQ_ASIO_DEFINITIONS BOOST_ASIO_NO_DEPRECATED BOOST_ASIO_HAS_CO_AWAIT BOOST_ASIO_HAS_STD_COROUTINE)

# Precompiled headers: the outside headers that most translation units
# include are compiled once per build, in an object library that exists for
# it alone, and reused by every target with the same flags: zelq_test_pch by
# the test executables, zelq_pch by the libraries when
# ZELQ_PRECOMPILE_LIBRARIES is on (the sanitizer builds; the regular build
# leaves it off, so that a missing include still shows there).
set(zelq_pch_headers <boost/asio.hpp> <nlohmann/json.hpp> <fmt/format.h> <spdlog/spdlog.h>)

# zelq_pch_anchor(<target> HEADERS <header>... [LIBS <target>...] [OPTIONS <flag>...])
function(zelq_pch_anchor name)
  if(TARGET ${name})
    return()
  endif()
  cmake_parse_arguments(ARG "" "" "HEADERS;LIBS;OPTIONS" ${ARGN})
  set(source ${CMAKE_BINARY_DIR}/${name}.cpp)
  if(NOT EXISTS ${source})
    file(WRITE ${source} "// Compiled only for the precompiled header of ${name}.\n")
  endif()
  add_library(${name} OBJECT ${source})
  target_compile_definitions(${name} PRIVATE ${ZELQ_ASIO_DEFINITIONS})
  target_link_libraries(${name} PRIVATE Boost::boost nlohmann_json::nlohmann_json fmt::fmt
    spdlog::spdlog zelq_options ${ARG_LIBS})
  target_compile_options(${name} PRIVATE ${ARG_OPTIONS})
  target_precompile_headers(${name} PRIVATE ${ARG_HEADERS})
endfunction()

# zelq_export_names(<target>): the short name a library is exported under,
# zelq::<short> (zelq_generation_repacker -> zelq::repacker, zelq_net ->
# zelq::net, the umbrella zelq_generation -> zelq::generation), and aliases of
# both zelq::<short> and zelq::<target> in this build. The installed package
# makes zelq::<target> an alias too (zelq_generationConfig.cmake.in).
function(zelq_export_names name)
  if(name STREQUAL "zelq_generation")
    set(short generation)
  else()
    string(REGEX REPLACE "^zelq_(generation_)?" "" short ${name})
  endif()
  set_target_properties(${name} PROPERTIES EXPORT_NAME ${short})
  add_library(zelq::${name} ALIAS ${name})
  add_library(zelq::${short} ALIAS ${name})
endfunction()

# zelq_package(<target> DIRS <dir>... [DEPS <target>...] [TEST_DEPS <target>...] [NO_INSTALL])
# NO_INSTALL: a library for tests only, neither installed nor exported, and
# built only for the targets that link it.
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
  if(ARG_NO_INSTALL)
    # A testing library exists only when something may link it, and is built
    # only with the tests, benchmarks, examples or fuzz targets that do.
    if(NOT (ZELQ_BUILD_TESTS OR ZELQ_BUILD_BENCH OR ZELQ_BUILD_EXAMPLES OR ZELQ_BUILD_FUZZ))
      return()
    endif()
    add_library(${name} EXCLUDE_FROM_ALL ${srcs})
  else()
    add_library(${name} ${srcs})
  endif()
  zelq_export_names(${name})
  target_include_directories(${name} PUBLIC
    $<BUILD_INTERFACE:${PROJECT_SOURCE_DIR}/src>
    $<INSTALL_INTERFACE:${CMAKE_INSTALL_INCLUDEDIR}>)
  target_compile_features(${name} PUBLIC cxx_std_20)
  target_compile_definitions(${name} PUBLIC ${ZELQ_ASIO_DEFINITIONS})
  target_link_libraries(${name} PUBLIC ${ARG_DEPS})
  target_link_libraries(${name} PRIVATE $<BUILD_INTERFACE:zelq_options>)
  target_compile_options(${name} PRIVATE ${zelq_fuzz_flags})
  if(ZELQ_PRECOMPILE_LIBRARIES)
    zelq_pch_anchor(zelq_pch HEADERS ${zelq_pch_headers} OPTIONS ${zelq_fuzz_flags})
    target_precompile_headers(${name} REUSE_FROM zelq_pch)
  endif()
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
    zelq_pch_anchor(zelq_test_pch HEADERS ${zelq_pch_headers} <gtest/gtest.h> <gmock/gmock.h>
      LIBS GTest::gtest GTest::gmock)
    target_precompile_headers(${name}_tests REUSE_FROM zelq_test_pch)
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

# zelq_umbrella(<target> DEPS <target>...): an INTERFACE library that links
# the given libraries, installed and exported like them.
function(zelq_umbrella name)
  cmake_parse_arguments(ARG "" "" "DEPS" ${ARGN})
  add_library(${name} INTERFACE)
  zelq_export_names(${name})
  target_link_libraries(${name} INTERFACE ${ARG_DEPS})
  set_property(GLOBAL APPEND PROPERTY ZELQ_INSTALLED_LIBRARIES ${name})
endfunction()

# zelq_forbid_links(TARGETS <target>... FORBIDDEN <target>... REASON <text>)
# Fails the configuration when one of TARGETS links, directly or through
# others, one of FORBIDDEN. Targets that do not exist are skipped.
function(zelq_forbid_links)
  cmake_parse_arguments(ARG "" "REASON" "TARGETS;FORBIDDEN" ${ARGN})
  foreach(target IN LISTS ARG_TARGETS)
    if(NOT TARGET ${target})
      continue()
    endif()
    zelq_linked_targets(${target} linked)
    foreach(forbidden IN LISTS ARG_FORBIDDEN)
      if(NOT TARGET ${forbidden})
        continue()
      endif()
      get_target_property(real ${forbidden} ALIASED_TARGET)
      if(NOT real)
        set(real ${forbidden})
      endif()
      if(real IN_LIST linked)
        message(FATAL_ERROR "${target} links ${forbidden}: ${ARG_REASON}")
      endif()
    endforeach()
  endforeach()
endfunction()

# Fails the configuration when a library links more than its layer allows.
# The include lines are checked by scripts/check-includes.sh.
function(zelq_check_layers)
  set(network zelq_net OpenSSL::SSL OpenSSL::Crypto simdjson::simdjson)
  set(providers zelq_providers zelq_providers_openai zelq_providers_google zelq_providers_orvo
    zelq_providers_parallel zelq_providers_perplexity)
  zelq_forbid_links(TARGETS zelq_core zelq_core_tests
    FORBIDDEN ${network} zelq_inference ${providers}
    REASON "core is the bottom layer: no network, TLS, JSON pull parser or model layer")
  zelq_forbid_links(TARGETS zelq_inference zelq_inference_testing zelq_inference_tests
    FORBIDDEN ${network} ${providers}
    REASON "the inference layer must not depend on the network layer or on providers")
  zelq_forbid_links(
    TARGETS zelq_generation_repacker zelq_generation_context_enricher zelq_generation_compressor
      zelq_generation_repacker_tests zelq_generation_context_enricher_tests
      zelq_generation_compressor_tests
    FORBIDDEN ${network} ${providers}
    REASON "this component works without network or provider")
  zelq_forbid_links(
    TARGETS zelq_generation_response_synthesizer zelq_generation_relevance_filter
      zelq_generation_reference_formatter
    FORBIDDEN zelq_providers_google zelq_providers_orvo zelq_providers_parallel
      zelq_providers_perplexity
    REASON "only the deep researcher links the research services' clients")
endfunction()
