# bench_encryption: EncryptFile and DecryptFile beside `openssl enc -rc4` and a bare RC4 pass,
# and Encrypt / Decrypt of a 600,000-byte text beside the bare cryptography they do.
if(TARGET velmor_test_support)
  add_executable(bench_encryption ${CMAKE_CURRENT_LIST_DIR}/bench_encryption.cpp)
  target_link_libraries(bench_encryption PRIVATE
    velmor_encryption velmor_codec velmor_test_support OpenSSL::Crypto benchmark::benchmark)
  velmor_warnings(bench_encryption)
endif()
