# Test programs are Windows executables run by CTest under Wine, inside the
# display that scripts/test provides (Xvfb), through cmake/wine-run-detached:
# a Wine helper started by a test must not hold CTest's output pipe.
set(FSR2BRIDGE_WINE_RUN_DETACHED "${CMAKE_CURRENT_LIST_DIR}/wine-run-detached")

# GoogleTest, built from Debian's sources with the cross toolchain.
if(NOT TARGET gtest)
  if(DEFINED FSR2BRIDGE_GTEST_SOURCE)
    set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
    set(BUILD_GMOCK OFF CACHE BOOL "" FORCE)
    add_subdirectory(${FSR2BRIDGE_GTEST_SOURCE} "${CMAKE_BINARY_DIR}/_deps/googletest" EXCLUDE_FROM_ALL)
  else()
    find_package(GTest CONFIG REQUIRED)
    add_library(gtest ALIAS GTest::gtest)
    add_library(gtest_main ALIAS GTest::gtest_main)
  endif()
endif()

# The Wine prefix of this build tree: nothing depends on ~/.wine.
set(FSR2BRIDGE_WINEPREFIX "${CMAKE_BINARY_DIR}/wineprefix" CACHE PATH "Wine prefix for the tests")

# Every Wine test needs the prefix; this fixture creates it once per run.
add_test(NAME wine_prefix
  COMMAND ${CMAKE_COMMAND} -E env WINEPREFIX=${FSR2BRIDGE_WINEPREFIX}
          "${CMAKE_SOURCE_DIR}/cmake/wine-prefix-init")
set_tests_properties(wine_prefix PROPERTIES FIXTURES_SETUP wine)

# fsr2_wine_test_properties(<test name>...)
# Gives tests the prefix, the fixture and a generous time limit (Wine is slow).
function(fsr2_wine_test_properties)
  foreach(_t IN LISTS ARGN)
    set_tests_properties(${_t} PROPERTIES
      FIXTURES_REQUIRED wine
      ENVIRONMENT "WINEPREFIX=${FSR2BRIDGE_WINEPREFIX}"
      TIMEOUT 300)
  endforeach()
endfunction()

# fsr2_add_wine_test(<name> SOURCES <files>... [LIBS <targets>...] [ARGS <args>...]
#                    [NO_GTEST_MAIN])
# A GoogleTest program run as one CTest test under Wine.
function(fsr2_add_wine_test name)
  cmake_parse_arguments(T "NO_GTEST_MAIN" "" "SOURCES;LIBS;ARGS" ${ARGN})
  add_executable(${name} ${T_SOURCES})
  if(T_NO_GTEST_MAIN)
    target_link_libraries(${name} PRIVATE gtest)
  else()
    target_link_libraries(${name} PRIVATE testworld_main)
  endif()
  target_link_libraries(${name} PRIVATE fsr2_deps fsr2_options ${T_LIBS})
  target_include_directories(${name} PRIVATE "${CMAKE_SOURCE_DIR}/src" "${CMAKE_SOURCE_DIR}")
  add_test(NAME ${name} COMMAND "${FSR2BRIDGE_WINE_RUN_DETACHED}" $<TARGET_FILE:${name}> ${T_ARGS})
  fsr2_wine_test_properties(${name})
endfunction()

# fsr2_add_wine_bench(<name> SOURCES <files>... [LIBS <targets>...] [ARGS <args>...])
# A benchmark program (its own main) run under Wine by scripts/bench: a CTest
# test labelled "bench", which scripts/test leaves out. It prints its numbers
# and fails when a per-frame path allocates or is far too slow.
function(fsr2_add_wine_bench name)
  cmake_parse_arguments(B "" "" "SOURCES;LIBS;ARGS" ${ARGN})
  add_executable(${name} ${B_SOURCES})
  target_link_libraries(${name} PRIVATE fsr2_deps fsr2_options ${B_LIBS})
  target_include_directories(${name} PRIVATE "${CMAKE_SOURCE_DIR}/src" "${CMAKE_SOURCE_DIR}")
  add_test(NAME ${name} COMMAND "${FSR2BRIDGE_WINE_RUN_DETACHED}" $<TARGET_FILE:${name}> ${B_ARGS})
  fsr2_wine_test_properties(${name})
  set_tests_properties(${name} PROPERTIES LABELS bench)
endfunction()
