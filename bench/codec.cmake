# bench_codec: Base64 encode and decode with the exact line layout, beside a plain scalar loop.
add_executable(bench_codec ${CMAKE_CURRENT_LIST_DIR}/bench_codec.cpp)
target_link_libraries(bench_codec PRIVATE velmor_codec benchmark::benchmark)
velmor_warnings(bench_codec)
