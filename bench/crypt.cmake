# bench_crypt: opening "MY" and enumerating 1,000 certificates (cached, after a write, and cold),
# and the signing path of the SignData getter beside a bare OpenSSL RSA-2048 signature.
if(TARGET velmor_test_support)
  add_executable(bench_crypt ${CMAKE_CURRENT_LIST_DIR}/bench_crypt.cpp)
  target_link_libraries(bench_crypt PRIVATE
    velmor_crypt velmor_test_support OpenSSL::Crypto benchmark::benchmark)
  velmor_warnings(bench_crypt)
endif()
