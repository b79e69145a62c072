# Fuzzers at the control's surface: controls driven through IDispatch on a store with real
# certificates and keys, the CN setter's text forms, and the code-page conversions; and the seed
# generator that makes their corpora (scripts/fuzz-seeds.sh runs it).
if(NOT TARGET velmor_test_support)
  add_subdirectory(${PROJECT_SOURCE_DIR}/tests/support ${CMAKE_BINARY_DIR}/fuzz/support)
endif()

add_library(fuzz_control_fixture STATIC ${CMAKE_CURRENT_LIST_DIR}/control_fixture.cpp)
target_include_directories(fuzz_control_fixture PUBLIC ${PROJECT_SOURCE_DIR})
target_link_libraries(fuzz_control_fixture PUBLIC velmor_control velmor_test_support velmor_test_owners OpenSSL::Crypto)
velmor_warnings(fuzz_control_fixture)

foreach(name fuzz_control_setters fuzz_control_verify fuzz_control_decrypt fuzz_cn_text fuzz_codepage)
  add_executable(${name} ${CMAKE_CURRENT_LIST_DIR}/${name}.cpp)
  target_link_libraries(${name} PRIVATE fuzz_control_fixture)
  velmor_fuzz_entry(${name})
  velmor_warnings(${name})
endforeach()

add_executable(fuzz_seeds ${CMAKE_CURRENT_LIST_DIR}/fuzz_seeds.cpp)
target_link_libraries(fuzz_seeds PRIVATE fuzz_control_fixture)
velmor_warnings(fuzz_seeds)
