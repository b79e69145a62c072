# bench_signing: the SignData getter and SignFile beside bare OpenSSL doing the same
# cryptography. It makes its certificates with the test support library.
if(TARGET velmor_test_support)
  add_executable(bench_signing ${CMAKE_CURRENT_LIST_DIR}/bench_signing.cpp)
  target_link_libraries(bench_signing PRIVATE
    velmor_signing velmor_test_support OpenSSL::Crypto SQLite::SQLite3 benchmark::benchmark)
  velmor_warnings(bench_signing)
endif()
