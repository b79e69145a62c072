# bench_pattern: the two validation patterns beside std::regex, PCRE2 (interpreted) and a plain
# 256-entry table loop.
find_package(PkgConfig REQUIRED)
pkg_check_modules(PCRE2 REQUIRED IMPORTED_TARGET libpcre2-8)
add_executable(bench_pattern ${CMAKE_CURRENT_LIST_DIR}/bench_pattern.cpp)
target_link_libraries(bench_pattern PRIVATE velmor_pattern velmor_test_owners benchmark::benchmark PkgConfig::PCRE2)
velmor_warnings(bench_pattern)
