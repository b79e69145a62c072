// The parser on its own. The builder replays the postfix ops without checking them, so every
// byte string must parse into ops that never take more operands than there are and leave exactly
// one value, with every group it opens numbered within the highest group.
#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "pattern/parse.h"
#include "pattern/pattern.h"

namespace velmor::pattern {
namespace {

// Checks the op list of one pattern; returns a description of the first fault, or "".
std::string faultIn(const ParsedPattern& parsed) {
  std::size_t depth = 0;
  for (std::size_t i = 0; i < parsed.ops.size(); ++i) {
    const SyntaxOp& op = parsed.ops[i];
    if (op.text + op.size > parsed.bytes.size()) return "text outside the byte store at op " + std::to_string(i);
    std::size_t take = 0;
    switch (op.kind) {
      case OpKind::Class: {
        const auto members = static_cast<std::size_t>(op.value);
        if (op.value < 0 || members >= parsed.ops.size() - i) return "class members past the end at op " + std::to_string(i);
        for (std::size_t m = i + 1; m <= i + members; ++m) {
          const OpKind k = parsed.ops[m].kind;
          if (k != OpKind::ClassRange && k != OpKind::ClassSingle && k != OpKind::Any && k != OpKind::ClassEscape &&
              k != OpKind::Posix) {
            return "a class member that is not one byte at op " + std::to_string(m);
          }
        }
        i += members;
        break;
      }
      case OpKind::ClassRange:
      case OpKind::ClassSingle: return "a class member outside a class at op " + std::to_string(i);
      case OpKind::Capture:
        if (op.value < 0 || op.value > parsed.highestGroup) return "group number out of range at op " + std::to_string(i);
        take = 1;
        break;
      case OpKind::Repeat:
      case OpKind::Lookaround:
      case OpKind::Atomic: take = 1; break;
      case OpKind::Concat:
      case OpKind::Alternate:
        if (op.value < 2) return "fewer than two operands at op " + std::to_string(i);
        take = static_cast<std::size_t>(op.value);
        break;
      case OpKind::Conditional:
        take = 1 + (op.positive ? 1 : 0) + (static_cast<ConditionMode>(op.mode) != ConditionMode::NoCondition ? 1 : 0);
        break;
      default: break;
    }
    if (depth < take) return "operands missing at op " + std::to_string(i);
    depth = depth - take + 1;
  }
  return depth == 1 ? "" : std::to_string(depth) + " values left";
}

std::string repeated(const std::string& piece, int count) {
  std::string out;
  for (int i = 0; i < count; ++i) out += piece;
  return out;
}

TEST(PatternParse, EveryByteStringIsOneWellFormedValue) {
  std::vector<std::string> patterns = {"", "(", ")", "[", "(?(", "(?<a>", "\\k<a>(?<a>)", "a{0}?b"};
  for (const char* open : {"(", "(?:", "(?<n>", "(a|", "(?<=", "(?(?=a)", "(?(a)", "(?(1)", "(?(", "[(?"}) {
    patterns.push_back(repeated(open, kMaxNestingDepth + 5) + "a|b" + repeated(")*", kMaxNestingDepth + 5));
  }
  std::mt19937 rng(4711);
  const std::string alphabet = "()[]{}|*+?.^$\\-:#<>='!PRkgQEx0123abAZ\n \x80\xff";
  for (int i = 0; i < 5000; ++i) {
    std::string pattern;
    const int length = static_cast<int>(rng() % 32);
    for (int j = 0; j < length; ++j) pattern += alphabet[rng() % alphabet.size()];
    patterns.push_back(pattern);
  }
  ParsedPattern parsed;
  for (const std::string& pattern : patterns) {
    for (unsigned flags : {0u, unsigned{RightToLeft | IgnoreCase}, unsigned{Extended | Global | MultiLine}}) {
      parsePattern(pattern.data(), pattern.size(), flags, parsed);
      const std::string fault = faultIn(parsed);
      ASSERT_EQ(fault, "") << "pattern \"" << pattern << "\" flags " << flags;
    }
  }
}

}  // namespace
}  // namespace velmor::pattern
