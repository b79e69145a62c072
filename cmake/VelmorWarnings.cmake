# velmor_warnings(target): our warning set, private to our own targets, as errors.
function(velmor_warnings target)
  target_compile_options(${target} PRIVATE
    -Wall -Wextra -Wpedantic -Wshadow -Wconversion -Wsign-conversion
    -Wnon-virtual-dtor -Woverloaded-virtual -Wformat=2
    -Werror)
endfunction()

# velmor_test(name sources... LIBS libs...): one GoogleTest executable registered with CTest.
function(velmor_test name)
  cmake_parse_arguments(ARG "" "" "SOURCES;LIBS" ${ARGN})
  add_executable(${name} ${ARG_SOURCES})
  target_link_libraries(${name} PRIVATE ${ARG_LIBS} GTest::gtest GTest::gtest_main)
  velmor_warnings(${name})
  # Tests poke at raw buffers on purpose; sign conversions there are noise, not bugs.
  target_compile_options(${name} PRIVATE -Wno-sign-conversion -Wno-conversion)
  gtest_discover_tests(${name} DISCOVERY_TIMEOUT 60
    PROPERTIES ENVIRONMENT "VELMOR_SOURCE_DIR=${CMAKE_SOURCE_DIR}")
endfunction()
