// The shape of compiled trees: what each construct turns into, and that nothing is rejected.
#include <gtest/gtest.h>

#include <random>
#include <string>

#include "pattern/nodes.h"
#include "pattern/pattern.h"

namespace velmor::pattern {
namespace {

template <typename T>
const T* as(const MatchNode* node) {
  return dynamic_cast<const T*>(node);
}

TEST(PatternCompile, ValidationPatternsAreOneGreedyRepeatOverOneClass) {
  struct Case {
    const char* pattern;
    std::size_t ranges;
    std::size_t singles;
  };
  for (const Case& c : {Case{"[A-Fa-f0-9]{0,}", 3, 0}, Case{"[A-Za-z0-9+/=]{0,}", 3, 3}}) {
    SCOPED_TRACE(c.pattern);
    RegexProgram program = compile(c.pattern, 0);
    const auto* repeat = as<GreedyRepeatNode>(program.topNode());
    ASSERT_NE(repeat, nullptr);
    EXPECT_EQ(repeat->min(), 0);
    EXPECT_EQ(repeat->extra(), 0x7FFFFFFF);
    const auto* set = as<CharSetNode>(repeat->inner());
    ASSERT_NE(set, nullptr);
    EXPECT_EQ(set->ranges().size(), c.ranges);
    EXPECT_EQ(set->singles().size(), c.singles);
    EXPECT_TRUE(set->include());
    EXPECT_FALSE(set->rightToLeft());
    EXPECT_EQ(program.highestGroup(), 0);
  }
}

TEST(PatternCompile, LiteralRunsSplitBeforeAQuantifiedByte) {
  RegexProgram ab = compile("ab", 0);
  const auto* literal = as<LiteralNode>(ab.topNode());
  ASSERT_NE(literal, nullptr);
  EXPECT_EQ(literal->bytes(), "ab");

  RegexProgram abStar = compile("ab*", 0);
  const auto* seq = as<SequenceNode>(abStar.topNode());
  ASSERT_NE(seq, nullptr);
  ASSERT_EQ(seq->children().size(), 2u);
  EXPECT_EQ(as<LiteralNode>(seq->children()[0])->bytes(), "a");
  const auto* star = as<GreedyRepeatNode>(seq->children()[1]);
  ASSERT_NE(star, nullptr);
  EXPECT_EQ(as<LiteralNode>(star->inner())->bytes(), "b");
}

// The brace rule: at most three digits per bound, no leading digit removes the atom.
struct BraceCase {
  const char* pattern;
  const char* kind;  // "fixed", "greedy", "lazy", "possessive", "empty"
  std::int32_t min;
  std::int32_t extra;
};

class PatternBraces : public ::testing::TestWithParam<BraceCase> {};

TEST_P(PatternBraces, BuildsTheSpecifiedRepeat) {
  const BraceCase& c = GetParam();
  RegexProgram program = compile(c.pattern, 0);
  const MatchNode* top = program.topNode();
  const std::string kind = c.kind;
  if (kind == "empty") {
    EXPECT_NE(as<EmptyNode>(top), nullptr);
  } else if (kind == "fixed") {
    ASSERT_NE(as<FixedRepeatNode>(top), nullptr);
    EXPECT_EQ(as<FixedRepeatNode>(top)->count(), c.min);
  } else if (kind == "greedy") {
    ASSERT_NE(as<GreedyRepeatNode>(top), nullptr);
    EXPECT_EQ(as<GreedyRepeatNode>(top)->min(), c.min);
    EXPECT_EQ(as<GreedyRepeatNode>(top)->extra(), c.extra);
  } else if (kind == "lazy") {
    ASSERT_NE(as<LazyRepeatNode>(top), nullptr);
    EXPECT_EQ(as<LazyRepeatNode>(top)->min(), c.min);
    EXPECT_EQ(as<LazyRepeatNode>(top)->extra(), c.extra);
  } else {
    ASSERT_NE(as<PossessiveRepeatNode>(top), nullptr);
    EXPECT_EQ(as<PossessiveRepeatNode>(top)->min(), c.min);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Table, PatternBraces,
    ::testing::Values(BraceCase{"a{1000}", "fixed", 100, 0}, BraceCase{"a{,3}", "empty", 0, 0},
                      BraceCase{"a{0}", "empty", 0, 0}, BraceCase{"a{x}", "empty", 0, 0},
                      BraceCase{"a{2,1}", "fixed", 2, 0}, BraceCase{"a{3}?", "fixed", 3, 0},
                      BraceCase{"a{ 2 , 5 }", "greedy", 2, 3},
                      BraceCase{"a{2,}", "greedy", 2, 0x7FFFFFFF - 2},
                      BraceCase{"a{2,5}?", "lazy", 2, 3}, BraceCase{"a{2,5}+", "possessive", 2, 3},
                      BraceCase{"a{1234,56789}", "greedy", 123, 567 - 123},
                      BraceCase{"a*?", "lazy", 0, 0x7FFFFFFF}, BraceCase{"a??", "lazy", 0, 1},
                      BraceCase{"a++", "possessive", 1, 0x7FFFFFFE}));

TEST(PatternCompile, BracketClassEdges) {
  RegexProgram dash = compile("[a-]", 0);
  const auto* set = as<CharSetNode>(dash.topNode());
  ASSERT_NE(set, nullptr);
  EXPECT_TRUE(set->ranges().empty());
  EXPECT_EQ(set->singles(), (std::vector<signed char>{'a', '-'}));

  // "]" right after "[" closes the class at once; the rest is literal.
  RegexProgram closed = compile("[]a]", 0);
  const auto* seq = as<SequenceNode>(closed.topNode());
  ASSERT_NE(seq, nullptr);
  ASSERT_EQ(seq->children().size(), 2u);
  const auto* empty = as<CharSetNode>(seq->children()[0]);
  ASSERT_NE(empty, nullptr);
  EXPECT_TRUE(empty->ranges().empty() && empty->singles().empty());
  EXPECT_EQ(as<LiteralNode>(seq->children()[1])->bytes(), "a]");
}

TEST(PatternCompile, RightToLeftGroupPutsClosingMarkFirst) {
  RegexProgram program = compile("(a)|b", RightToLeft);
  const auto* alt = as<AlternationNode>(program.topNode());
  ASSERT_NE(alt, nullptr);
  const auto* group = as<SequenceNode>(alt->branches()[0]);
  ASSERT_NE(group, nullptr);
  ASSERT_EQ(group->children().size(), 3u);
  EXPECT_TRUE(as<GroupMarkNode>(group->children()[0])->closing());
  EXPECT_FALSE(as<GroupMarkNode>(group->children()[2])->closing());
  EXPECT_TRUE(group->rightToLeft());
}

TEST(PatternCompile, HexEscapes) {
  EXPECT_EQ(as<LiteralNode>(compile("\\x41", 0).topNode())->bytes(), "A");
  EXPECT_EQ(as<LiteralNode>(compile("\\xZ", 0).topNode())->bytes(), "xZ");
  EXPECT_EQ(as<LiteralNode>(compile("\\x{1234}\\u0042\\u{43}", 0).topNode())->bytes(), "\x34" "BC");
  EXPECT_EQ(as<LiteralNode>(compile("\\a\\e\\f\\n\\r\\t\\v\\q", 0).topNode())->bytes(), "\a\x1b\f\n\r\t\vq");
}

TEST(PatternCompile, StockNodesAreShared) {
  RegexProgram program = compile("\\d.\\d.", 0);
  const auto* seq = as<SequenceNode>(program.topNode());
  ASSERT_NE(seq, nullptr);
  EXPECT_EQ(seq->children()[0], seq->children()[2]);
  EXPECT_EQ(seq->children()[1], seq->children()[3]);
}

struct NumberingCase {
  const char* pattern;
  std::int32_t highest;
  std::string text;
  std::vector<std::int32_t> spans;  // start, end of groups 1..G
};

class PatternGroupNumbering : public ::testing::TestWithParam<NumberingCase> {};

// Named groups are numbered after all plain groups; equal names share a number.
TEST_P(PatternGroupNumbering, NumbersNamedGroupsAfterPlainOnes) {
  const NumberingCase& c = GetParam();
  RegexProgram program = compile(c.pattern, 0);
  EXPECT_EQ(program.highestGroup(), c.highest);
  MatchOutcome outcome = matchWhole(program, c.text);
  ASSERT_TRUE(outcome.isMatched());
  for (std::int32_t g = 1; g <= c.highest; ++g) {
    EXPECT_EQ(outcome.groupStart(g), c.spans[static_cast<std::size_t>(g - 1) * 2]) << "group " << g;
    EXPECT_EQ(outcome.groupEnd(g), c.spans[static_cast<std::size_t>(g - 1) * 2 + 1]) << "group " << g;
  }
}

INSTANTIATE_TEST_SUITE_P(
    Table, PatternGroupNumbering,
    ::testing::Values(NumberingCase{"(?<x>a)(b)", 2, "ab", {1, 2, 0, 1}},
                      NumberingCase{"(?'x'a)(?P<y>b)(c)", 3, "abc", {2, 3, 0, 1, 1, 2}},
                      NumberingCase{"(?<x>a)|(?<X>b)", 1, "b", {0, 1}},
                      NumberingCase{"(?<3>a)b", 3, "ab", {-1, -1, -1, -1, 0, 1}},
                      NumberingCase{"(?< 2 >a)(b)", 2, "ab", {1, 2, 0, 1}}));

TEST(PatternCompile, RecompilingClearsTheProgram) {
  RegexProgram program;
  EXPECT_EQ(program.topNode(), nullptr);
  EXPECT_FALSE(program.matchWhole("").isMatched());
  program.compile("(a)(b)(c)", 0);
  EXPECT_EQ(program.highestGroup(), 3);
  program.compile("x", 0);
  EXPECT_EQ(program.highestGroup(), 0);
  EXPECT_EQ(program.nodeCount(), 1u);
  EXPECT_TRUE(program.matchWhole("x").isMatched());
  EXPECT_EQ(program.compile(nullptr, 5, 0), nullptr);
  EXPECT_FALSE(program.matchWhole("").isMatched());
  // An empty pattern is a pattern: it matches the empty text.
  EXPECT_NE(program.compile("", 0, 0), nullptr);
  EXPECT_TRUE(program.matchWhole("").isMatched());
}

TEST(PatternCompile, MovedProgramKeepsItsNodes) {
  RegexProgram first = compile("(a+)b", 0);
  RegexProgram second = std::move(first);
  MatchOutcome outcome = matchWhole(second, "aab");
  ASSERT_TRUE(outcome.isMatched());
  EXPECT_EQ(outcome.groupEnd(1), 2);
}

TEST(PatternCompile, DeepNestingIsCappedNotRecursed) {
  const std::string deep = std::string(100000, '(') + "a" + std::string(100000, ')');
  RegexProgram program = compile(deep, 0);
  ASSERT_NE(program.topNode(), nullptr);
  EXPECT_LE(program.highestGroup(), kMaxNestingDepth);
  // The parentheses past the cap are literal bytes: the text they spell matches.
  const std::string text = std::string(100000 - kMaxNestingDepth, '(') + "a" +
                           std::string(100000 - kMaxNestingDepth, ')');
  EXPECT_TRUE(matchWhole(program, text).isMatched());

  const std::string lookarounds = [] {
    std::string s;
    for (int i = 0; i < 20000; ++i) s += "(?=(?>";
    return s + "a";
  }();
  RegexProgram nested = compile(lookarounds, 0);
  EXPECT_NE(nested.topNode(), nullptr);
  (void)matchWhole(nested, "a");
}

TEST(PatternCompile, EveryByteStringCompilesAndMatchesSafely) {
  std::mt19937 rng(20260);
  const std::string alphabet = "()[]{}|*+?.^$\\-:#<>='!PRk0123abAZ\n \x80\xff";
  for (int i = 0; i < 3000; ++i) {
    std::string pattern;
    const int length = static_cast<int>(rng() % 24);
    for (int j = 0; j < length; ++j) pattern += alphabet[rng() % alphabet.size()];
    const unsigned flags = rng() % 64;
    RegexProgram program = compile(pattern, flags);
    ASSERT_NE(program.topNode(), nullptr) << pattern;
    MatchState state;
    state.setStepLimit(200000);
    std::string text;
    for (int j = 0; j < static_cast<int>(rng() % 12); ++j) text += alphabet[rng() % alphabet.size()];
    (void)program.matchWhole(text.data(), text.size(), &state);
  }
}

}  // namespace
}  // namespace velmor::pattern
