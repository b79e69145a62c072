// velmor's pattern engine: a backtracking regular-expression compiler and whole-text matcher.
//
// A pattern is an 8-bit byte string with an explicit length. `RegexProgram::compile` turns it
// into a tree of nodes owned by the program (pattern/nodes.h, the engine's own); `matchWhole`
// then asks whether a whole text matches and reports the span of every capture group in a
// `MatchOutcome`. This header is all a caller needs: compile, match, and the limits.
//
// The engine is built to be fed hostile input:
//   - compiling never fails: whatever cannot be read as a construct becomes literal bytes or an
//     empty node, so every byte string is a pattern;
//   - matching never throws and never crashes; it reports "not matched" (and sets
//     `MatchOutcome::limitExceeded`) when one of the limits below is reached;
//   - machine stack use is the same for every pattern and text: the compiler keeps the groups it
//     is inside on a heap stack of its own, and the matcher keeps every node call in progress, as
//     well as every piece of backtracking memory, on heap stacks in the `MatchState`. Compiling
//     and matching run on a thread with a small stack (the tests use 256 KiB).
//
// Typical use, checking that a text is made only of hexadecimal digits:
//
//   velmor::pattern::RegexProgram program = velmor::pattern::compile("[A-Fa-f0-9]{0,}", 0);
//   bool ok = velmor::pattern::matchWhole(program, text, length).isMatched();
//
// Nothing in this header throws; a program and its outcomes may be used from any one thread at a
// time, and one compiled program may serve concurrent matches that each use their own state.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace velmor::pattern {

// ---- Limits -----------------------------------------------------------------------------------

// kMaxNestingDepth: the deepest nesting of groups the compiler builds. An opening parenthesis
// past this depth is read as a literal "(" byte instead, which bounds the heap the compiler
// keeps for open groups and the matcher's chain of node calls. Sane patterns nest a handful of
// levels.
inline constexpr int kMaxNestingDepth = 200;

// kMaxMatchDepth: the deepest chain of nested node calls one match may make. Nesting in the
// pattern and recursion ("(?R)", "(?1)") both deepen it; past the limit the match fails with
// `limitExceeded` set. A pattern at kMaxNestingDepth stays well inside it. The chain lives on
// the heap (a frame of a few dozen bytes per call), not on the machine stack.
inline constexpr int kMaxMatchDepth = 3000;

// kMaxMatchSteps: the default budget of node operations (every `attempt` and `retry`, and every
// byte a single-byte repetition scans) for one match. Catastrophic backtracking stops here with
// `limitExceeded` set instead of running for hours; linear patterns over the largest texts this
// system handles use a few million.
inline constexpr std::uint64_t kMaxMatchSteps = 100'000'000;

// kMaxStackEntries: the most 32-bit entries the backtrack stack or the capture stack may hold
// (64 MiB each). Past it the match fails with `limitExceeded` set.
inline constexpr std::size_t kMaxStackEntries = std::size_t{1} << 24;

// kMaxTextLength: the longest text `matchWhole` accepts; positions are 32-bit. A longer text is
// not matched and `limitExceeded` is set.
inline constexpr std::size_t kMaxTextLength = 0x7FFFFFF0;

// kUnboundedRepeat: the maximum count of "*", "+" and "{m,}".
inline constexpr std::int32_t kUnboundedRepeat = 0x7FFFFFFF;

// ---- Compile flags ----------------------------------------------------------------------------
enum CompileFlags : unsigned {
  SingleLine = 1,    // "." also matches a line feed (inline letter s)
  MultiLine = 2,     // "^" and "$" match at line starts and ends (m)
  Global = 4,        // "\G" is recognised (g)
  IgnoreCase = 8,    // literals, bracket classes and back-references ignore ASCII case (i)
  RightToLeft = 16,  // nodes are built to match leftwards
  Extended = 32,     // unescaped blanks are skipped and "#" starts a comment to the line end
};

// ---- Match state and outcome ------------------------------------------------------------------

class MatchNode;  // a node of a compiled program (pattern/nodes.h)
class MatchWork;  // the engine's working memory for one match (pattern/nodes.h)

// MatchState: the working memory of one match. A caller may keep one to reuse its stacks; each
// `matchWhole` resets it first.
class MatchState {
 public:
  MatchState();
  ~MatchState();
  MatchState(const MatchState&) = delete;
  MatchState& operator=(const MatchState&) = delete;

  // setStepLimit changes the budget of node operations for later matches (default
  // kMaxMatchSteps); a fuzzer or a latency-bound caller lowers it.
  void setStepLimit(std::uint64_t limit);
  std::uint64_t steps() const;
  bool limitExceeded() const;

  // work: the stacks and positions themselves, for the engine (and its tests, which look at
  // how much backtracking memory a match kept).
  MatchWork& work() { return *work_; }
  const MatchWork& work() const { return *work_; }

 private:
  std::unique_ptr<MatchWork> work_;
};

// MatchOutcome: the result of one whole-text match. Owns its data.
class MatchOutcome {
 public:
  MatchOutcome() = default;
  // isMatched returns true when the whole text matched.
  bool isMatched() const { return !data_.empty() && data_[0] != 0; }
  // limitExceeded returns true when the match was abandoned at one of the limits above (the
  // outcome then says "not matched").
  bool limitExceeded() const { return limitExceeded_; }
  // highestGroup returns G, the highest group number, or -1 for a failed match.
  std::int32_t highestGroup() const { return data_.size() < 2 ? -1 : data_[1]; }
  // groupStart / groupEnd return the span of group i, or -1 when the group took no part or i is
  // out of range.
  std::int32_t groupStart(std::int32_t i) const { return at(i, 0); }
  std::int32_t groupEnd(std::int32_t i) const { return at(i, 1); }
  // data returns the raw form: 1, G, then start and end of groups 0 to G; empty when unmatched.
  const std::vector<std::int32_t>& data() const { return data_; }

 private:
  friend class RegexProgram;
  std::int32_t at(std::int32_t i, int which) const;
  std::vector<std::int32_t> data_;
  bool limitExceeded_ = false;
};

// ---- Program ----------------------------------------------------------------------------------

// RegexProgram: a compiled pattern. It owns every node; moving it keeps nodes where they are.
class RegexProgram {
 public:
  RegexProgram();
  ~RegexProgram();
  RegexProgram(RegexProgram&&) noexcept;
  RegexProgram& operator=(RegexProgram&&) noexcept;
  RegexProgram(const RegexProgram&) = delete;
  RegexProgram& operator=(const RegexProgram&) = delete;

  // compile replaces the program with the compiled pattern and returns its top node (owned by
  // the program). It never rejects a pattern; it returns null (an empty program that matches
  // nothing) only for a null pattern or when memory runs out.
  const MatchNode* compile(const char* pattern, std::size_t length, unsigned flags) noexcept;
  const MatchNode* compile(std::string_view pattern, unsigned flags) noexcept {
    return compile(pattern.data() != nullptr ? pattern.data() : "", pattern.size(), flags);
  }
  // clear deletes every node and leaves the program empty.
  void clear() noexcept;

  const MatchNode* topNode() const { return top_; }
  // highestGroup returns G, the highest group number (0 for a pattern without groups).
  std::int32_t highestGroup() const { return highestGroup_; }
  unsigned flags() const { return flags_; }
  // nodeCount returns how many nodes the program owns (stock nodes included).
  std::size_t nodeCount() const;

  // matchWhole(text) measures a zero-terminated text (null counts as empty) and matches it.
  MatchOutcome matchWhole(const char* text) const noexcept;
  // matchWhole(text, length, state) returns whether the whole text matches, with the group
  // spans. With a null state the match uses its own for the call; a caller's state is reset and
  // left holding the final stacks. Failure of any kind is an unmatched outcome, never an error.
  MatchOutcome matchWhole(const char* text, std::size_t length, MatchState* state = nullptr) const
      noexcept;

 private:
  friend class PatternCompiler;
  struct Storage;
  std::unique_ptr<Storage> storage_;
  const MatchNode* top_ = nullptr;
  std::int32_t highestGroup_ = 0;
  unsigned flags_ = 0;
};

// compile returns a new program for pattern with flags; see RegexProgram::compile.
RegexProgram compile(std::string_view pattern, unsigned flags = 0) noexcept;

// matchWhole returns whether the whole of text[0, length) matches program; see
// RegexProgram::matchWhole.
MatchOutcome matchWhole(const RegexProgram& program, const char* text, std::size_t length) noexcept;
MatchOutcome matchWhole(const RegexProgram& program, std::string_view text) noexcept;

}  // namespace velmor::pattern
