# bench_tokens: the SignData getter with a SoftHSM key beside the same key in software. It makes
# its tokens with the test support library.
if(TARGET velmor_test_support)
  add_executable(bench_tokens ${CMAKE_CURRENT_LIST_DIR}/bench_tokens.cpp)
  target_link_libraries(bench_tokens PRIVATE velmor_signing velmor_test_support benchmark::benchmark)
  velmor_warnings(bench_tokens)
endif()
