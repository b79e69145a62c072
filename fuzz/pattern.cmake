# fuzz_pattern: arbitrary bytes compiled as a pattern with arbitrary flags, matched against
# arbitrary text.
add_executable(fuzz_pattern ${CMAKE_CURRENT_LIST_DIR}/fuzz_pattern.cpp)
target_link_libraries(fuzz_pattern PRIVATE velmor_pattern)
velmor_fuzz_entry(fuzz_pattern)
velmor_warnings(fuzz_pattern)
