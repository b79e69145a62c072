# Fuzzers of what the hosts parse: the requests both answer, with the registered control behind
# them, and the browser's native messaging framing.
add_executable(fuzz_host_requests ${CMAKE_CURRENT_LIST_DIR}/fuzz_host_requests.cpp)
target_link_libraries(fuzz_host_requests PRIVATE fuzz_control_fixture velmor_host_session)
target_compile_definitions(fuzz_host_requests PRIVATE VELMOR_MODULE="$<TARGET_FILE:velmorQVA>")
add_dependencies(fuzz_host_requests velmorQVA)
velmor_fuzz_entry(fuzz_host_requests)
velmor_warnings(fuzz_host_requests)

add_executable(fuzz_native_messaging ${CMAKE_CURRENT_LIST_DIR}/fuzz_native_messaging.cpp
  ${PROJECT_SOURCE_DIR}/hosts/browser/native_messaging.cpp)
target_link_libraries(fuzz_native_messaging PRIVATE velmor_host_session)
velmor_fuzz_entry(fuzz_native_messaging)
velmor_warnings(fuzz_native_messaging)
