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
