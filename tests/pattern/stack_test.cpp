// The deepest patterns the engine admits, compiled and matched on a thread with a 256 KiB stack:
// the engine's stack use must not grow with the pattern's nesting or recursion.
#include <gtest/gtest.h>

#include <pthread.h>

#include <string>

#include "pattern/pattern.h"

namespace velmor::pattern {
namespace {

constexpr std::size_t kSmallStack = std::size_t{256} << 10;

std::string repeated(const std::string& piece, int count) {
  std::string out;
  for (int i = 0; i < count; ++i) out += piece;
  return out;
}

// nested: `open` count times, then `middle`, then `close` count times.
std::string nested(const std::string& open, const std::string& middle, const std::string& close, int count) {
  return repeated(open, count) + middle + repeated(close, count);
}

struct DeepCase {
  std::string name;
  std::string pattern;
  unsigned flags;
  std::string text;
  bool matched;
  bool limitExceeded;
};
void PrintTo(const DeepCase& c, std::ostream* os) { *os << c.name; }

struct Work {
  const DeepCase* c;
  MatchOutcome outcome;
};

void* compileAndMatch(void* arg) {
  auto* work = static_cast<Work*>(arg);
  const RegexProgram program = compile(work->c->pattern, work->c->flags);
  work->outcome = matchWhole(program, work->c->text);
  return nullptr;
}

class PatternOnASmallStack : public ::testing::TestWithParam<DeepCase> {};

TEST_P(PatternOnASmallStack, CompilesAndMatches) {
  pthread_attr_t attr;
  ASSERT_EQ(pthread_attr_init(&attr), 0);
  ASSERT_EQ(pthread_attr_setstacksize(&attr, kSmallStack), 0);
  Work work{&GetParam(), {}};
  pthread_t thread;
  const int created = pthread_create(&thread, &attr, compileAndMatch, &work);
  pthread_attr_destroy(&attr);
  ASSERT_EQ(created, 0);
  ASSERT_EQ(pthread_join(thread, nullptr), 0);
  EXPECT_EQ(work.outcome.isMatched(), GetParam().matched);
  EXPECT_EQ(work.outcome.limitExceeded(), GetParam().limitExceeded);
}

INSTANTIATE_TEST_SUITE_P(
    Deepest, PatternOnASmallStack,
    ::testing::Values(
        DeepCase{"CaptureGroupsAtTheCap", nested("(", "a", ")", kMaxNestingDepth), 0, "a", true, false},
        DeepCase{"CaptureGroupsLeftwards", nested("(", "a", ")", kMaxNestingDepth), RightToLeft, "a", true, false},
        DeepCase{"GroupsPastTheCapAreLiteral", nested("(", "a", ")", 5000), 0,
                 nested("(", "a", ")", 5000 - kMaxNestingDepth), true, false},
        DeepCase{"NamedGroups", nested("(?<n>", "a", ")", kMaxNestingDepth), 0, "a", true, false},
        DeepCase{"Alternations", nested("(a|", "b", ")", kMaxNestingDepth), 0, "b", true, false},
        DeepCase{"Lookbehinds", "a" + nested("(?<=", "a", ")", kMaxNestingDepth), 0, "a", true, false},
        DeepCase{"Conditionals", nested("(?(?=a)", "a", ")", 150), 0, "a", true, false},
        DeepCase{"NestedStars", nested("(?:", "a", ")*", kMaxNestingDepth), 0, "aaa", true, false},
        DeepCase{"AssertionsLeftOpen", repeated("(?=(?>", 20000) + "a", 0, "a", false, false},
        DeepCase{"RecursionWithinTheDepthLimit", "a(?R)?b", 0, nested("a", "", "b", 990), true, false},
        DeepCase{"RecursionPastTheDepthLimit", "a(?R)?b", 0, nested("a", "", "b", 100000), false, true}),
    [](const auto& p) { return p.param.name; });

}  // namespace
}  // namespace velmor::pattern
