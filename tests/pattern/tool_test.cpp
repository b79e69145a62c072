// velmor-pattern as a user runs it: pattern and flags as arguments, text on standard input,
// one JSON line out.
#include <gtest/gtest.h>

#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <string>

#ifdef VELMOR_PATTERN_TOOL
namespace {

struct ToolResult {
  std::string output;
  int status = -1;
};

ToolResult runTool(const std::string& arguments, const std::string& input) {
  // ctest runs the cases in parallel processes: each needs an input file of its own.
  const std::string inputPath =
      ::testing::TempDir() + "velmor_pattern_input." + std::to_string(::getpid());
  {
    std::ofstream file(inputPath, std::ios::binary);
    file << input;
  }
  const std::string command =
      std::string("'") + VELMOR_PATTERN_TOOL + "' " + arguments + " < '" + inputPath + "' 2>/dev/null";
  ToolResult result;
  FILE* pipe = popen(command.c_str(), "r");
  if (pipe == nullptr) return result;
  char buffer[256];
  std::size_t n = 0;
  while ((n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0) result.output.append(buffer, n);
  result.status = pclose(pipe);
  std::remove(inputPath.c_str());
  return result;
}

struct ToolCase {
  std::string arguments;
  std::string input;
  std::string output;
  int exitCode;
};

class PatternTool : public ::testing::TestWithParam<ToolCase> {};

TEST_P(PatternTool, PrintsOneJsonLine) {
  const ToolCase& c = GetParam();
  const ToolResult r = runTool(c.arguments, c.input);
  ASSERT_TRUE(WIFEXITED(r.status));
  EXPECT_EQ(WEXITSTATUS(r.status), c.exitCode);
  EXPECT_EQ(r.output, c.output);
}

INSTANTIATE_TEST_SUITE_P(
    Table, PatternTool,
    ::testing::Values(
        ToolCase{"'(a(b)?)(c)?x'", "abx", "{\"matched\":true,\"groups\":[[0,3],[0,2],[1,2],[-1,-1]]}\n", 0},
        ToolCase{"'[A-Fa-f0-9]{0,}'", "0x12", "{\"matched\":false,\"groups\":[]}\n", 0},
        ToolCase{"'abc' 8", "ABC", "{\"matched\":true,\"groups\":[[0,3]]}\n", 0},
        ToolCase{"'abc' 0x10", "abc", "{\"matched\":true,\"groups\":[[0,3]]}\n", 0},
        ToolCase{"'a*'", "", "{\"matched\":true,\"groups\":[[0,0]]}\n", 0},
        ToolCase{"'(?<n>b)(a)' 16", "ba", "{\"matched\":true,\"groups\":[[0,2],[1,2],[0,1]]}\n", 0},
        ToolCase{"'a' nine", "a", "", 2},
        ToolCase{"", "", "", 2}));

}  // namespace
#endif
