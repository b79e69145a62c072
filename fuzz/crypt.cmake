# fuzz_crypt_*: the parsers of the platform layer that read outside bytes: key blobs
# (CryptImportKey), certificates and names (CertCreateCertificateContext, CertNameToStrA,
# CryptImportPublicKeyInfo) and signed messages (CryptVerifyMessageSignature).
foreach(part blob certificate message)
  add_executable(fuzz_crypt_${part} ${CMAKE_CURRENT_LIST_DIR}/fuzz_crypt_${part}.cpp)
  target_link_libraries(fuzz_crypt_${part} PRIVATE velmor_crypt)
  velmor_fuzz_entry(fuzz_crypt_${part})
  velmor_warnings(fuzz_crypt_${part})
endforeach()

# fuzz_pinentry_replies: what a PIN dialog answers over the Assuan protocol (the internal
# conversation, played through a socket pair).
add_executable(fuzz_pinentry_replies ${CMAKE_CURRENT_LIST_DIR}/fuzz_pinentry_replies.cpp)
target_link_libraries(fuzz_pinentry_replies PRIVATE velmor_crypt velmor_crypt_owners)
velmor_fuzz_entry(fuzz_pinentry_replies)
velmor_warnings(fuzz_pinentry_replies)
