# Fuzzers for the two decoders that take text straight from a page.
foreach(name fuzz_base64_decode fuzz_hex_decode)
  add_executable(${name} ${CMAKE_CURRENT_LIST_DIR}/${name}.cpp)
  target_link_libraries(${name} PRIVATE velmor_codec)
  velmor_fuzz_entry(${name})
  velmor_warnings(${name})
endforeach()
