# bench_hosts: the browser host's start-up, as the browser pays it for every page.
if(TARGET velmor_test_support)
  add_executable(bench_hosts ${CMAKE_CURRENT_LIST_DIR}/bench_hosts.cpp)
  target_link_libraries(bench_hosts PRIVATE velmor_test_support benchmark::benchmark)
  target_compile_definitions(bench_hosts PRIVATE VELMOR_BINARY="$<TARGET_FILE:velmor>"
    VELMOR_HOST_BINARY="$<TARGET_FILE:velmor-host>")
  add_dependencies(bench_hosts velmor velmor-host)
  velmor_warnings(bench_hosts)
endif()
