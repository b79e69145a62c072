# fuzz_crypt_*: the parsers of the platform layer that read outside bytes: key blobs
# (CryptImportKey), certificates and names (CertCreateCertificateContext, CertNameToStrA,
# CryptImportPublicKeyInfo) and signed messages (CryptVerifyMessageSignature).
foreach(part blob certificate message)
  add_executable(fuzz_crypt_${part} ${CMAKE_CURRENT_LIST_DIR}/fuzz_crypt_${part}.cpp)
  target_link_libraries(fuzz_crypt_${part} PRIVATE velmor_crypt)
  target_link_options(fuzz_crypt_${part} PRIVATE -fsanitize=fuzzer)
  velmor_warnings(fuzz_crypt_${part})
endforeach()
