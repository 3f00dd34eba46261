# One warning policy for g++ (Linux), mingw-w64 g++ (Windows) and clang (fuzzing).
function(zevrin_warnings target)
  target_compile_options(${target} PRIVATE
    -Wall -Wextra -Wpedantic -Wshadow -Wnon-virtual-dtor -Woverloaded-virtual
    -Wformat=2 -Wcast-qual -Wimplicit-fallthrough -Wundef)
  if(ZEVRIN_WERROR)
    target_compile_options(${target} PRIVATE -Werror)
  endif()
endfunction()

# Registers a GoogleTest executable with CTest. Under Wine each executable is one CTest test,
# because discovering test names would start Wine at build time.
function(zevrin_add_gtest target)
  if(CMAKE_CROSSCOMPILING)
    add_test(NAME ${target} COMMAND ${target})
    set_tests_properties(${target} PROPERTIES TIMEOUT 600)
  else()
    gtest_discover_tests(${target} DISCOVERY_MODE PRE_TEST DISCOVERY_TIMEOUT 60
                         PROPERTIES TIMEOUT 300 ${ARGN})
  endif()
endfunction()

# Test code is asserts and set-up: -O2 made its biggest file compile a third longer than -O1 and
# sped up nothing the suites time (the code under test keeps the product's flags).
function(zevrin_test_code target)
  target_compile_options(${target} PRIVATE $<$<CONFIG:Release,RelWithDebInfo>:-O1>)
endfunction()

# A test suite of several files parses GoogleTest and the standard headers its support headers
# pull in once instead of once per file: those were most of each test file's compile time. Extra
# arguments are further headers the suite's files share (GoogleMock, the JSON reader).
function(zevrin_test_suite target)
  zevrin_test_code(${target})
  target_precompile_headers(${target} PRIVATE
    <gtest/gtest.h> <algorithm> <atomic> <chrono> <condition_variable> <deque> <filesystem>
    <fstream> <functional> <memory> <mutex> <optional> <sstream> <string> <thread> <vector>
    ${ARGN})
endfunction()
