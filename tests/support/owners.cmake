# velmor_test_owners: tests/support/owners.h, the owners of what tests, benchmarks and fuzzers
# make themselves. Headers only, and it brings only headers: PCRE2's (a target that calls PCRE2
# links it itself) and those of the registered OpenSSL owners. Included by tests/support,
# bench and fuzz, whichever comes first defining it.
if(NOT TARGET velmor_test_owners)
  find_package(PkgConfig REQUIRED)
  pkg_check_modules(PCRE2_HEADERS REQUIRED libpcre2-8)
  add_library(velmor_test_owners INTERFACE)
  target_include_directories(velmor_test_owners INTERFACE ${PROJECT_SOURCE_DIR})
  target_include_directories(velmor_test_owners SYSTEM INTERFACE ${PCRE2_HEADERS_INCLUDE_DIRS})
  target_link_libraries(velmor_test_owners INTERFACE velmor_crypt_owners)
endif()
