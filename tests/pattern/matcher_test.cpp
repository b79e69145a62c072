// Whole-text matching by construct: each row is a pattern, flags, a text and the expected
// outcome (with the spans of groups 1..G when it matches).
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "pattern/nodes.h"
#include "pattern/pattern.h"

namespace velmor::pattern {
namespace {

struct MatchCase {
  std::string pattern;
  unsigned flags;
  std::string text;
  bool matched;
  std::vector<std::int32_t> spans = {};  // start, end of groups 1..G; empty: not checked
};

void PrintTo(const MatchCase& c, std::ostream* os) {
  *os << "/" << c.pattern << "/" << c.flags << " on \"" << c.text << "\"";
}

class PatternMatch : public ::testing::TestWithParam<MatchCase> {};

TEST_P(PatternMatch, WholeText) {
  const MatchCase& c = GetParam();
  RegexProgram program = compile(c.pattern, c.flags);
  MatchOutcome outcome = matchWhole(program, c.text);
  ASSERT_EQ(outcome.isMatched(), c.matched);
  EXPECT_FALSE(outcome.limitExceeded());
  if (!c.matched) {
    // A failed match reports no group at all.
    EXPECT_TRUE(outcome.data().empty());
    return;
  }
  EXPECT_EQ(outcome.groupStart(0), 0);
  EXPECT_EQ(outcome.groupEnd(0), static_cast<std::int32_t>(c.text.size()));
  if (c.spans.empty()) return;
  ASSERT_EQ(static_cast<std::size_t>(outcome.highestGroup()) * 2, c.spans.size());
  for (std::int32_t g = 1; g <= outcome.highestGroup(); ++g) {
    EXPECT_EQ(outcome.groupStart(g), c.spans[static_cast<std::size_t>(g - 1) * 2]) << "group " << g;
    EXPECT_EQ(outcome.groupEnd(g), c.spans[static_cast<std::size_t>(g - 1) * 2 + 1]) << "group " << g;
  }
}

const std::string kHex = "[A-Fa-f0-9]{0,}";
const std::string kBase64 = "[A-Za-z0-9+/=]{0,}";

INSTANTIATE_TEST_SUITE_P(Validation, PatternMatch, ::testing::Values(
    MatchCase{kHex, 0, "", true},
    MatchCase{kHex, 0, "0123456789abcdefABCDEF", true},
    MatchCase{kHex, 0, "0x1F", false},
    MatchCase{kHex, 0, "de ad", false},
    MatchCase{kHex, 0, "dead\n", false},
    MatchCase{kHex, 0, "\xff", false},
    MatchCase{kHex, 0, std::string("ab\0cd", 5), false},
    MatchCase{kBase64, 0, "TWFuIGlzIGRpc3Rpbmd1aXNoZWQ=", true},
    MatchCase{kBase64, 0, "TWFuIGlz\nIGRpc3Rp", false},
    MatchCase{kBase64, 0, "TWFu\r\n", false},
    MatchCase{kBase64, 0, "====", true},
    MatchCase{kBase64, 0, "Q", true},
    MatchCase{kBase64, 0, "-_", false}));

INSTANTIATE_TEST_SUITE_P(LiteralsAndEscapes, PatternMatch, ::testing::Values(
    MatchCase{"\\Qa.b*\\E", 0, "a.b*", true},
    MatchCase{"\\Qa.b\\E", 0, "axb", false},
    MatchCase{"x\\Uab\\Ey", 0, "xABy", true},
    MatchCase{"\\Lab\\Ecd", 0, "abcd", true},
    MatchCase{"a\\", 0, "a\\", true},
    MatchCase{"a*b", IgnoreCase, "AAB", true},
    MatchCase{"a\\*", 0, "a*", true},
    MatchCase{"*a", 0, "*a", true},
    MatchCase{"a**", 0, "aa*", true},
    MatchCase{"a)b", 0, "a)b", true},
    MatchCase{"a]}", 0, "a]}", true},
    MatchCase{"a(?#comment)b", 0, "ab", true},
    MatchCase{"a b # comment\n c", Extended, "abc", true},
    MatchCase{"[a b]", Extended, " ", false},
    MatchCase{"\\x00", 0, std::string("\0", 1), true}));

INSTANTIATE_TEST_SUITE_P(Classes, PatternMatch, ::testing::Values(
    MatchCase{"[a-f]+", IgnoreCase, "ABCdef", true},
    MatchCase{"[Q]", IgnoreCase, "q", true},
    MatchCase{"[^a]", IgnoreCase, "A", false},
    MatchCase{"[Z-a]+", IgnoreCase, "Z[`az", true},
    MatchCase{"[[:upper:]]", IgnoreCase, "a", false},  // nested classes keep their case
    MatchCase{"[f-a]", 0, "c", false},                  // ranges keep the order written
    MatchCase{"[\\x80-\\x7f]+", 0, "\x80\xff" "a\x7f", true},  // signed byte order
    MatchCase{"[\\x00-\\xff]", 0, "a", false},
    MatchCase{"[\\x00-\\xff]", 0, "\xff", false},
    MatchCase{"[a\\d_]+", 0, "a1_9", true},
    MatchCase{"[\\W]", 0, "a", false},
    MatchCase{"[.]", 0, "x", false},
    MatchCase{"[\\b]", 0, "\b", true},
    MatchCase{"[[:alpha:][:digit:]]+", 0, "ab12", true},
    MatchCase{"[[:^digit:]]+", 0, "ab", true},
    MatchCase{"[[:^digit:]]", 0, "1", false},
    MatchCase{"[:xdigit:]+", 0, "0aF", true},
    MatchCase{"[[:blank:]]+", 0, " \t", true},
    MatchCase{"[[:punct:]]", 0, "!", true},
    MatchCase{"[[:nonsense:]]", 0, "a", false},
    MatchCase{"[[:^nonsense:]]", 0, "a", false},
    MatchCase{"a[^b]", 0, "a", false},  // a class never accepts the absent byte past the end
    MatchCase{"\\s+", 0, " \t\r\n", true},
    MatchCase{"\\s", 0, "\f", false},   // matching rightwards the space class has four bytes
    MatchCase{"\\s", RightToLeft, "\f", true},
    MatchCase{"\\S", 0, "\v", true},
    MatchCase{".", 0, "\n", false},
    MatchCase{".", SingleLine, "\n", true},
    MatchCase{"(?s).", 0, "\n", true},
    MatchCase{"\\w+\\W\\d\\D", 0, "a_Z9-1x", true}));

INSTANTIATE_TEST_SUITE_P(Quantifiers, PatternMatch, ::testing::Values(
    MatchCase{"(a*)*", 0, "aaa", true, {0, 3}},
    MatchCase{"(a|b)*c", 0, "abbac", true, {3, 4}},
    MatchCase{"(?:a|ab)*", 0, "abab", true},
    MatchCase{"(a|ab)(c|bcd)(d*)", 0, "abcd", true, {0, 1, 1, 4, 4, 4}},
    MatchCase{"(a+?)(a*)", 0, "aaa", true, {0, 1, 1, 3}},
    MatchCase{"(a*?)(a*?)", 0, "aa", true, {0, 0, 0, 2}},
    MatchCase{"(a{2,3}?)(a*)", 0, "aaaa", true, {0, 2, 2, 4}},
    MatchCase{"(?:(a)|b)*?", 0, "abab", true, {2, 3}},
    MatchCase{"a*+a", 0, "aaa", false},
    MatchCase{"(?:ab|a)++b", 0, "abab", false},
    MatchCase{"(?:ab|a)++b", 0, "aabb", true},
    MatchCase{"(?:a|)*b", 0, "aab", true},
    MatchCase{"(a|)*", 0, "", true, {-1, -1}},  // an empty repetition is not counted
    MatchCase{"(?:a?)*?b", 0, "aab", true},
    MatchCase{"(a{2}){2}", 0, "aaaa", true, {2, 4}},
    MatchCase{"(?:a|aa){3}", 0, "aaaa", true},
    MatchCase{"(?:a{1,2}){2}b", 0, "aaab", true},
    MatchCase{"(?:a|ab)(?:c|bcd){1,3}", 0, "abcdc", true},
    MatchCase{"(?:|||c)", 0, "c", true},
    MatchCase{"(?:x*)*y", 0, "xxxy", true}));

INSTANTIATE_TEST_SUITE_P(GroupsAndBackrefs, PatternMatch, ::testing::Values(
    MatchCase{"(a)(b)?", 0, "a", true, {0, 1, -1, -1}},
    MatchCase{"(\\w+) \\1", 0, "hey hey", true, {0, 3}},
    MatchCase{"(\\w+) \\1", 0, "hey hay", false},
    MatchCase{"(a)?b\\1", 0, "b", false},  // a group that took no part never matches
    MatchCase{"(?:(a)|b)\\1", 0, "aa", true},
    MatchCase{"(?i)(ab)\\1", 0, "abAB", true},
    MatchCase{"(ab)\\1", 0, "abAB", false},
    MatchCase{"(?<w>x+)-\\k<w>", 0, "xx-xx", true},
    MatchCase{"(?<w>x+)-\\k'W'", 0, "xx-xx", true},
    MatchCase{"(?<w>x+)-\\g<1>", 0, "xx-xx", true},
    MatchCase{"(x)-\\k1", 0, "x-x", true},
    MatchCase{"(x)-\\k<nobody>", 0, "x-", false},
    MatchCase{"(?:(a)|(b))+", 0, "ab", true, {0, 1, 1, 2}},
    MatchCase{"(a)+", 0, "aaa", true, {2, 3}}));

INSTANTIATE_TEST_SUITE_P(Lookaround, PatternMatch, ::testing::Values(
    MatchCase{"(?=a)a", 0, "a", true},
    MatchCase{"(?!a)\\w", 0, "a", false},
    MatchCase{"a(?!b).", 0, "ac", true},
    MatchCase{"a(?<=a)b", 0, "ab", true},
    MatchCase{"a(?<!a)b", 0, "ab", false},
    MatchCase{"xy(?<=x\\w)z", 0, "xyz", true},
    MatchCase{"x+y(?<=^x+y)", 0, "xxxy", true},  // a lookbehind of any length
    MatchCase{"(?=(a+))a*", 0, "aaa", true, {0, 3}},  // captures inside stay visible
    MatchCase{"(?!(a))b", 0, "b", true, {-1, -1}},
    MatchCase{"(?>a*)a", 0, "aaa", false},
    MatchCase{"(?>a|ab)c", 0, "abc", false},
    MatchCase{"(?>ab|a)c", 0, "abc", true}));

INSTANTIATE_TEST_SUITE_P(Conditionals, PatternMatch, ::testing::Values(
    MatchCase{"(a)?(?(1)b|c)", 0, "ab", true},
    MatchCase{"(a)?(?(1)b|c)", 0, "c", true},
    MatchCase{"(a)?(?(1)b|c)", 0, "b", false},
    MatchCase{"(?(?=a)ab|cd)", 0, "ab", true},
    MatchCase{"(?(?=a)ab|cd)", 0, "cd", true},
    MatchCase{"(?(?!a)cd|ab)", 0, "ab", true},
    MatchCase{"(?<x>a)?(?(x)b|c)", 0, "ab", true},
    MatchCase{"(?<x>a)?(?(x)b|c)", 0, "c", true},
    MatchCase{"(?(a)ab|x)", 0, "ab", true},  // a name no group bears is a lookahead
    MatchCase{"(?(a)ab|x)", 0, "x", true},
    MatchCase{"(a)?(?(1)b)", 0, "", true}));

INSTANTIATE_TEST_SUITE_P(Recursion, PatternMatch, ::testing::Values(
    MatchCase{"\\((?:[^()]|(?R))*\\)", 0, "(a(b)(c(d))e)", true},
    MatchCase{"\\((?:[^()]|(?R))*\\)", 0, "(a(b)(c(d)e)", false},
    MatchCase{"(a(?1)?b)", 0, "aaabbb", true, {0, 6}},
    MatchCase{"(a(?1)?b)", 0, "aaabb", false},
    MatchCase{"(?<p>a(?R<p>)?b)", 0, "aabb", true},
    MatchCase{"x(?R<nobody>)y", 0, "xy", true},  // recursion to an unknown name matches empty
    MatchCase{"x(?9)y", 0, "xy", true}));

INSTANTIATE_TEST_SUITE_P(Anchors, PatternMatch, ::testing::Values(
    MatchCase{"^a$", 0, "a", true},
    MatchCase{"a$\\n", 0, "a\n", false},  // without MultiLine "$" is the very end only
    MatchCase{"a\\Z\\n", 0, "a\n", true},
    MatchCase{"a\\Z\\r\\n", 0, "a\r\n", true},
    MatchCase{"a$\\n^b", MultiLine, "a\nb", true},
    MatchCase{"a$\\r\\n^b", MultiLine, "a\r\nb", true},
    MatchCase{"a\\r$\\nb", MultiLine, "a\r\nb", false},  // not between carriage return and line feed
    MatchCase{"(?m)a$\\n^b", 0, "a\nb", true},
    MatchCase{"\\Aab\\z", 0, "ab", true},
    MatchCase{"\\bfoo\\b", 0, "foo", true},
    MatchCase{"a\\Bb", 0, "ab", true},
    MatchCase{"a\\bb", 0, "ab", false},
    MatchCase{"\\Ga", Global, "a", true},
    MatchCase{"a\\G", Global, "a", false},
    MatchCase{"a\\G", 0, "a", true}));  // without Global "\G" means nothing

INSTANTIATE_TEST_SUITE_P(RightToLeftMatching, PatternMatch, ::testing::Values(
    MatchCase{"abc", RightToLeft, "abc", true},
    MatchCase{"abc", RightToLeft, "cba", false},
    MatchCase{"(a+)(a+)", RightToLeft, "aaa", true, {0, 1, 1, 3}},
    MatchCase{"(a+)(a+?)", RightToLeft, "aaa", true, {0, 2, 2, 3}},
    MatchCase{"\\1x(\\w)", RightToLeft, "axa", true},  // leftwards the group comes first
    MatchCase{"(\\w)x\\1", RightToLeft, "axa", false},
    MatchCase{"a(?=b)b", RightToLeft, "ab", true},
    MatchCase{"(?<=a)b", RightToLeft | MultiLine, "ab", false},
    MatchCase{"^ab$", RightToLeft, "ab", true},
    MatchCase{"[a-c]+", RightToLeft | IgnoreCase, "CbA", true}));

INSTANTIATE_TEST_SUITE_P(InlineOptions, PatternMatch, ::testing::Values(
    MatchCase{"(?i)abc", 0, "ABC", true},
    MatchCase{"(?i:a)b", 0, "Ab", true},
    MatchCase{"(?i:a)b", 0, "AB", false},
    MatchCase{"a(?i)b|c", 0, "C", true},  // inline options reach later alternatives
    MatchCase{"((?i)a)b", 0, "AB", false},
    MatchCase{"(?i)a(?-i)b", 0, "Ab", true},
    MatchCase{"(?i)a(?-i)b", 0, "AB", false},
    MatchCase{"(?i)(?:a(?-i)b)c", 0, "AbC", true},
    MatchCase{"(?xyz)a", 0, "a", true}));

TEST(PatternLimits, CatastrophicBacktrackingStopsCleanly) {
  RegexProgram program = compile("(a+)+b", 0);
  MatchState state;
  state.setStepLimit(1'000'000);
  const std::string text = std::string(40, 'a') + "c";
  MatchOutcome outcome = program.matchWhole(text.data(), text.size(), &state);
  EXPECT_FALSE(outcome.isMatched());
  EXPECT_TRUE(outcome.limitExceeded());
  EXPECT_GE(state.steps(), 1'000'000u);
}

TEST(PatternLimits, DeepRecursionFailsInsteadOfOverflowing) {
  RegexProgram program = compile("a(?R)?b", 0);
  const std::string deep = std::string(100000, 'a') + std::string(100000, 'b');
  MatchOutcome outcome = matchWhole(program, deep);
  EXPECT_FALSE(outcome.isMatched());
  EXPECT_TRUE(outcome.limitExceeded());
  EXPECT_TRUE(matchWhole(program, "aaabbb").isMatched());
  // Recursion that never consumes anything is stopped the same way.
  MatchOutcome self = matchWhole(compile("(?R)", 0), "x");
  EXPECT_FALSE(self.isMatched());
  EXPECT_TRUE(self.limitExceeded());
}

TEST(PatternLimits, ValidationOfLargeTextsIsLinear) {
  // One mebibyte: far beyond what an engine recursing per byte survives.
  std::string text(1 << 20, 'a');
  RegexProgram hex = compile(kHex, 0);
  MatchState state;
  EXPECT_TRUE(hex.matchWhole(text.data(), text.size(), &state).isMatched());
  EXPECT_LE(state.work().backtrack.size(), 1u);  // the greedy repeat keeps only its count
  EXPECT_LE(state.steps(), text.size() + 16);
  text.back() = '\n';
  EXPECT_FALSE(hex.matchWhole(text.data(), text.size(), &state).isMatched());
  EXPECT_LE(state.steps(), text.size() + 16);
  EXPECT_FALSE(state.limitExceeded());
  // A group around the class takes the general path: still linear, still no deep stack.
  RegexProgram grouped = compile("(?:[a-f]|x)*", 0);
  EXPECT_FALSE(matchWhole(grouped, text).isMatched());
}

TEST(PatternLimits, ProgramlessAndOversizedInputs) {
  RegexProgram empty;
  EXPECT_FALSE(empty.matchWhole("abc").isMatched());
  RegexProgram any = compile("a*", 0);
  EXPECT_TRUE(any.matchWhole(nullptr).isMatched());
  EXPECT_TRUE(any.matchWhole(nullptr, 12345).isMatched());  // a null text is empty
  MatchOutcome huge = any.matchWhole("a", kMaxTextLength + 1);
  EXPECT_FALSE(huge.isMatched());
  EXPECT_TRUE(huge.limitExceeded());
}

TEST(PatternState, CallerStateIsResetAndKept) {
  RegexProgram program = compile("(a)(b)?c", 0);
  MatchState state;
  MatchOutcome first = program.matchWhole("abc", 3, &state);
  ASSERT_TRUE(first.isMatched());
  EXPECT_EQ(state.work().captureIndex.size(), 3u);
  EXPECT_FALSE(state.work().captures.empty());
  EXPECT_FALSE(program.matchWhole("xc", 2, &state).isMatched());
  MatchOutcome again = program.matchWhole("ac", 2, &state);
  ASSERT_TRUE(again.isMatched());
  EXPECT_EQ(again.data(), (std::vector<std::int32_t>{1, 2, 0, 2, 0, 1, -1, -1}));
}

}  // namespace
}  // namespace velmor::pattern
