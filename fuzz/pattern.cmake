# fuzz_pattern: arbitrary bytes compiled as a pattern with arbitrary flags, matched against
# arbitrary text.
add_executable(fuzz_pattern ${CMAKE_CURRENT_LIST_DIR}/fuzz_pattern.cpp)
target_link_libraries(fuzz_pattern PRIVATE velmor_pattern)
target_link_options(fuzz_pattern PRIVATE -fsanitize=fuzzer)
velmor_warnings(fuzz_pattern)
