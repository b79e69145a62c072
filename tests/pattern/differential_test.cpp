// Differential tests against PCRE2 (interpreted), an independent engine linked into tests only.
//
// Patterns are generated from the constructs where both engines are meant to agree: literals,
// dot, bracket classes of ASCII letters, \d \w \s (texts hold no form feed or vertical tab),
// capturing, non-capturing and atomic groups, conditions on groups, alternation, the four quantifier kinds with small
// bounds, lookahead, fixed-length lookbehind, back-references to groups closed earlier, anchors
// and word boundaries, and the s, m, i flags. Quantifiers are never put on atoms that can match
// empty, where the engines differ on purpose in whether an empty repetition counts as a capture.
// Texts use only line feeds as line breaks, and "$" is compared with PCRE2's end-only dollar.
#define PCRE2_CODE_UNIT_WIDTH 8
#include <pcre2.h>

#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "pattern/pattern.h"
#include "tests/support/owners.h"

namespace velmor::pattern {
namespace {

using velmor::testing::owners::PcreCode;
using velmor::testing::owners::PcreMatchContext;
using velmor::testing::owners::PcreMatchData;

// The oracle's answer: matched (1), not matched (0) or no answer (-1: it refused the pattern or
// ran out of its own budget). Spans of groups 0..G follow for a match.
struct Oracle {
  int matched = -1;
  std::vector<std::int32_t> spans;
};

Oracle runPcre(const std::string& pattern, unsigned flags, const std::string& text) {
  Oracle result;
  // A multi-line "^" also holds after a line feed that ends the text.
  std::uint32_t options = PCRE2_ANCHORED | PCRE2_ENDANCHORED | PCRE2_DOLLAR_ENDONLY | PCRE2_ALT_CIRCUMFLEX;
  if ((flags & SingleLine) != 0) options |= PCRE2_DOTALL;
  if ((flags & MultiLine) != 0) options |= PCRE2_MULTILINE;
  if ((flags & IgnoreCase) != 0) options |= PCRE2_CASELESS;
  int error = 0;
  PCRE2_SIZE offset = 0;
  PcreCode code(pcre2_compile(reinterpret_cast<PCRE2_SPTR>(pattern.data()), pattern.size(), options,
                              &error, &offset, nullptr));
  if (!code) return result;
  PcreMatchData data(pcre2_match_data_create_from_pattern(code.get(), nullptr));
  PcreMatchContext context(pcre2_match_context_create(nullptr));
  pcre2_set_match_limit(context.get(), 1'000'000);
  const int rc = pcre2_match(code.get(), reinterpret_cast<PCRE2_SPTR>(text.data()), text.size(), 0, 0,
                             data.get(), context.get());
  if (rc == PCRE2_ERROR_NOMATCH) {
    result.matched = 0;
    return result;
  }
  if (rc < 0) return result;
  std::uint32_t groups = 0;
  pcre2_pattern_info(code.get(), PCRE2_INFO_CAPTURECOUNT, &groups);
  const PCRE2_SIZE* ovector = pcre2_get_ovector_pointer(data.get());
  result.matched = 1;
  for (std::uint32_t g = 0; g <= groups; ++g) {
    for (int side = 0; side < 2; ++side) {
      const PCRE2_SIZE v = ovector[2 * g + static_cast<std::uint32_t>(side)];
      result.spans.push_back(v == PCRE2_UNSET ? -1 : static_cast<std::int32_t>(v));
    }
  }
  return result;
}

// Generates patterns of the shared subset. `nullable` tells whether what was generated can
// match the empty text, so that no quantifier lands on such an atom.
class PatternGenerator {
 public:
  // regularOnly limits the output to constructs whose whole-text language does not depend on
  // the matching direction: no assertions, references, atomic or possessive parts.
  explicit PatternGenerator(std::uint32_t seed, bool regularOnly = false) : rng_(seed), regularOnly_(regularOnly) {}

  std::string pattern() {
    groups_ = 0;
    closed_.clear();
    bool nullable = false;
    return alternation(0, nullable);
  }

 private:
  int pick(int n) { return static_cast<int>(rng_() % static_cast<std::uint32_t>(n)); }

  std::string alternation(int depth, bool& nullable) {
    std::string out = sequence(depth, nullable);
    while (depth < 3 && pick(5) == 0) {
      bool branchNullable = false;
      out += "|" + sequence(depth, branchNullable);
      nullable = nullable || branchNullable;
    }
    return out;
  }

  std::string sequence(int depth, bool& nullable) {
    nullable = true;
    std::string out;
    const int items = 1 + pick(3);
    for (int i = 0; i < items; ++i) {
      bool itemNullable = false;
      out += item(depth, itemNullable);
      nullable = nullable && itemNullable;
    }
    return out;
  }

  std::string item(int depth, bool& nullable) {
    std::string atomText = atom(depth, nullable);
    if (nullable || pick(3) != 0) return atomText;
    static const char* const kQuantifiers[] = {"*", "+", "?", "{2}", "{1,2}", "{0,3}", "{2,}"};
    std::string q = kQuantifiers[pick(7)];
    if (q != "{2}") {
      const int kind = pick(4);
      if (kind == 1) q += "?";
      if (kind == 2 && !regularOnly_) q += "+";
    }
    nullable = q[0] == '*' || q[0] == '?' || q.rfind("{0", 0) == 0;
    return atomText + q;
  }

  std::string atom(int depth, bool& nullable) {
    nullable = false;
    int choice = depth >= 3 ? pick(8) : pick(17);
    if (regularOnly_) {
      static const int kRegular[] = {0, 1, 2, 3, 4, 5, 8, 9, 10, 11};
      choice = kRegular[pick(depth >= 3 ? 6 : 10)];
    }
    switch (choice) {
      case 0: case 1: case 2: return std::string(1, "abA"[pick(3)]);
      case 3: return ".";
      case 4: {
        static const char* const kClasses[] = {"[ab]", "[^a]", "[a-c]", "[^\\n]", "[A-Z]", "[b1 ]"};
        return kClasses[pick(6)];
      }
      case 5: {
        static const char* const kEscapes[] = {"\\d", "\\w", "\\s", "\\D", "\\W", "\\S"};
        return kEscapes[pick(6)];
      }
      case 6: {
        nullable = true;
        static const char* const kAnchors[] = {"^", "$", "\\b", "\\B", "\\A", "\\z"};
        return kAnchors[pick(6)];
      }
      case 7:
        if (closed_.empty()) return "a";
        nullable = true;
        return "\\" + std::to_string(closed_[static_cast<std::size_t>(pick(static_cast<int>(closed_.size())))]);
      case 8: case 9: case 10: {
        const int number = ++groups_;
        std::string inner = alternation(depth + 1, nullable);
        closed_.push_back(number);
        return "(" + inner + ")";
      }
      case 11: return "(?:" + alternation(depth + 1, nullable) + ")";
      case 12: return "(?>" + alternation(depth + 1, nullable) + ")";
      case 13: {
        bool ignored = false;
        std::string inner = alternation(depth + 1, ignored);
        nullable = true;
        return std::string(pick(2) == 0 ? "(?=" : "(?!") + inner + ")";
      }
      case 14: {
        nullable = true;
        static const char* const kBehind[] = {"(?<=a)", "(?<!a)", "(?<=\\w)", "(?<![ab]b)"};
        return kBehind[pick(4)];
      }
      case 15: {
        // A condition on a group closed earlier (set or not, never in progress).
        if (closed_.empty()) return "b";
        const int number = closed_[static_cast<std::size_t>(pick(static_cast<int>(closed_.size())))];
        bool yesNullable = false;
        bool noNullable = false;
        std::string yes = sequence(depth + 1, yesNullable);
        std::string out = "(?(" + std::to_string(number) + ")" + yes;
        if (pick(3) != 0) {
          out += "|" + sequence(depth + 1, noNullable);
        } else {
          noNullable = true;
        }
        nullable = yesNullable || noNullable;
        return out + ")";
      }
      default: {
        // An inline option for the rest of the enclosing group.
        nullable = true;
        static const char* const kOptions[] = {"(?i)", "(?-i)", "(?s)", "(?m)"};
        return kOptions[pick(4)];
      }
    }
  }

  std::mt19937 rng_;
  bool regularOnly_;
  int groups_ = 0;
  std::vector<int> closed_;
};

std::string randomText(std::mt19937& rng) {
  static const std::string kAlphabet = "aabbA1 \n";
  std::string text;
  const int length = static_cast<int>(rng() % 9);
  for (int i = 0; i < length; ++i) text += kAlphabet[rng() % kAlphabet.size()];
  return text;
}

std::string show(const std::string& s) {
  std::string out;
  for (char c : s) out += c == '\n' ? std::string("\\n") : std::string(1, c);
  return out;
}

TEST(PatternDifferential, AgreesWithPcre2OnGeneratedPatterns) {
  PatternGenerator generator(6);
  std::mt19937 textRng(66);
  int compared = 0;
  int disagreements = 0;
  for (int i = 0; i < 4000; ++i) {
    const std::string pattern = generator.pattern();
    const unsigned flags = (textRng() % 4 == 0) ? (textRng() % 16 & (SingleLine | MultiLine | IgnoreCase)) : 0;
    RegexProgram program = compile(pattern, flags);
    for (int t = 0; t < 6; ++t) {
      const std::string text = randomText(textRng);
      const Oracle oracle = runPcre(pattern, flags, text);
      if (oracle.matched < 0) continue;
      MatchOutcome ours = matchWhole(program, text);
      ASSERT_FALSE(ours.limitExceeded()) << pattern;
      ++compared;
      std::vector<std::int32_t> spans;
      if (ours.isMatched()) spans.assign(ours.data().begin() + 2, ours.data().end());
      if (ours.isMatched() != (oracle.matched == 1) || spans != oracle.spans) {
        if (++disagreements <= 10) {
          ADD_FAILURE() << "/" << show(pattern) << "/ flags " << flags << " on \"" << show(text)
                        << "\": ours " << ours.isMatched() << ", PCRE2 " << oracle.matched;
        }
      }
    }
  }
  EXPECT_EQ(disagreements, 0);
  EXPECT_GT(compared, 20000);
}

// Matching leftwards explores the text from the other end with the nodes built the other way
// round; for a regular pattern the set of whole texts it accepts must not change.
TEST(PatternDifferential, RightToLeftAcceptsWhatLeftToRightAccepts) {
  PatternGenerator generator(16, true);
  std::mt19937 textRng(616);
  int disagreements = 0;
  for (int i = 0; i < 3000; ++i) {
    const std::string pattern = generator.pattern();
    const unsigned flags = textRng() % 16 & (SingleLine | IgnoreCase);
    RegexProgram forward = compile(pattern, flags);
    RegexProgram backward = compile(pattern, flags | RightToLeft);
    for (int t = 0; t < 6; ++t) {
      const std::string text = randomText(textRng);
      const bool a = matchWhole(forward, text).isMatched();
      const bool b = matchWhole(backward, text).isMatched();
      if (a != b && ++disagreements <= 10) {
        ADD_FAILURE() << "/" << show(pattern) << "/ flags " << flags << " on \"" << show(text)
                      << "\": rightwards " << a << ", leftwards " << b;
      }
    }
  }
  EXPECT_EQ(disagreements, 0);
}

// Whole validation texts: the two patterns the verification relies on, byte by byte.
TEST(PatternDifferential, ValidationPatternsAgreeOnEveryByte) {
  for (const char* pattern : {"[A-Fa-f0-9]{0,}", "[A-Za-z0-9+/=]{0,}"}) {
    RegexProgram program = compile(pattern, 0);
    for (int b = 0; b < 256; ++b) {
      const std::string text = "0A" + std::string(1, static_cast<char>(b)) + "f";
      const Oracle oracle = runPcre(pattern, 0, text);
      ASSERT_EQ(matchWhole(program, text).isMatched(), oracle.matched == 1) << pattern << " byte " << b;
    }
  }
}

}  // namespace
}  // namespace velmor::pattern
