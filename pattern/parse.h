// The engine's own: the pattern parser and the syntax it hands the builder. Only the compiler
// (pattern/compiler.cpp), the parser itself and their tests include it.
//
// `parsePattern` reads the pattern bytes and the compile flags into a flat list of operations in
// postfix order: every atom pushes one value, every operator pops its operands and pushes one,
// and the whole list leaves exactly one value, the pattern. The builder replays the list with a
// stack of its own, so neither side needs machine stack for nesting: the parser keeps the
// constructs it is inside on a heap stack, the builder keeps the values it has not yet combined
// on a heap stack.
//
// Everything about reading the text is settled here: which bytes are literal, which inline
// options apply to which atom, how far nesting goes (kMaxNestingDepth), and which group number
// every group, name, back-reference, recursion and condition stands for. What is left to the
// builder is how each operation is represented as nodes.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <new>
#include <string>
#include <type_traits>
#include <vector>

namespace velmor::pattern {

// ---- Character classes of the "C" locale, shared by the parser and the builder ----------------
namespace ascii {
inline bool isAlpha(unsigned char c) { return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z'); }
inline bool isDigit(unsigned char c) { return c >= '0' && c <= '9'; }
inline bool isAlnum(unsigned char c) { return isAlpha(c) || isDigit(c); }
inline bool isAscii(unsigned char c) { return c < 0x80; }
inline bool isCntrl(unsigned char c) { return c < 0x20 || c == 0x7F; }
inline bool isGraph(unsigned char c) { return c > 0x20 && c < 0x7F; }
inline bool isLower(unsigned char c) { return c >= 'a' && c <= 'z'; }
inline bool isPrint(unsigned char c) { return c >= 0x20 && c < 0x7F; }
inline bool isPunct(unsigned char c) { return isGraph(c) && !isAlnum(c); }
inline bool isSpace(unsigned char c) { return c == ' ' || (c >= '\t' && c <= '\r'); }
inline bool isUpper(unsigned char c) { return c >= 'A' && c <= 'Z'; }
inline bool isXDigit(unsigned char c) { return isDigit(c) || (c >= 'A' && c <= 'F') || (c >= 'a' && c <= 'f'); }
inline bool isBlankOrTab(unsigned char c) { return c == ' ' || c == '\t'; }
inline unsigned char toUpper(unsigned char c) { return isLower(c) ? static_cast<unsigned char>(c - 32) : c; }
inline unsigned char toLower(unsigned char c) { return isUpper(c) ? static_cast<unsigned char>(c + 32) : c; }
}  // namespace ascii

// The POSIX class names, in the order the parser tries them as prefixes of "[:name:]".
enum class PosixClass : std::int8_t {
  None = -1,  // a name that is none of these: the class accepts nothing
  Alnum, Alpha, Ascii, Cntrl, Digit, Graph, Lower, Print, Punct, Space, Upper, XDigit, Blank,
};

enum class OpKind : std::uint8_t {
  // Atoms: push one value.
  Empty,        // matches the empty string
  Literal,      // the bytes text[0, size)
  Any,          // "."
  ClassEscape,  // "\d" "\D" "\w" "\W" "\s" "\S": value is the letter
  Posix,        // "[:name:]": value is a PosixClass, positive false for "[:^name:]"
  Class,        // a bracket class; its value members follow it at once (see below)
  Anchor,       // value is the anchor type of AnchorNode, positive false for "\B"
  SearchStart,  // "\G" under the Global flag
  Backref,      // value is the group number (kUnknownGroup for a name no group has)
  Recurse,      // value is the group number, 0 the whole pattern
  // Members of a bracket class, which never stand alone. A Class op is followed by `value`
  // member ops: ClassRange, ClassSingle, or the one-byte atoms Any, ClassEscape and Posix.
  ClassRange,   // value to extra, compared as signed bytes
  ClassSingle,  // the byte value
  // Operators: pop their operands, push one value.
  Repeat,       // one operand; value min, extra max, mode a RepeatMode
  Concat,       // value operands, at least two, in order
  Alternate,    // value operands, at least two, in order
  Capture,      // one operand; value the group number, named for a named group
  Lookaround,   // one operand; positive for "(?=" and "(?<="
  Atomic,       // one operand
  Conditional,  // the condition (when mode is not NoCondition), the yes branch, and the no
                // branch when positive; value the group number tested, or -1
};

enum class RepeatMode : std::uint8_t { Greedy, Lazy, Possessive };

enum class ConditionMode : std::uint8_t {
  NoCondition,  // a group number is tested ("(?(1)...")
  Condition,    // the condition operand is tested
  // The condition operand was written as a bare pattern that turned out to name a group: the
  // group is tested and the operand, built all the same, is left out.
  ConditionLeftOut,
};

// A name that no group has resolves to this group number.
inline constexpr std::int32_t kUnknownGroup = -3;

// SyntaxOp: one operation. Which members mean something depends on the kind (see OpKind).
struct SyntaxOp {
  OpKind kind = OpKind::Empty;
  bool positive = true;       // Anchor, Lookaround: not negated; Class, Posix: not "^"; Conditional: has a no branch
  bool named = false;         // Capture: a named group (numbered after the plain ones)
  std::uint8_t mode = 0;      // Repeat: RepeatMode; Conditional: ConditionMode
  unsigned flags = 0;         // the compile flags in force where the operation was written
  std::int32_t value = 0;
  std::int32_t extra = 0;     // ClassRange: the high byte; Repeat: the maximum; Capture: an explicit number or -1
  std::size_t text = 0;       // Literal bytes, or a Capture, Backref or Recurse name: ParsedPattern::bytes
  std::size_t size = 0;       // from `text`
};

// InlineStack: a contiguous stack whose first N elements live inside it, so that compiling a
// short pattern (nearly all are) allocates nothing for the parser's ops or the builder's values.
// Past N the elements move to the heap. It holds trivially copyable values and never moves.
template <typename T, std::size_t N>
class InlineStack {
  static_assert(std::is_trivially_copyable_v<T> && std::is_trivially_destructible_v<T>);

 public:
  InlineStack() = default;
  InlineStack(const InlineStack&) = delete;
  InlineStack& operator=(const InlineStack&) = delete;

  std::size_t size() const { return size_; }
  bool empty() const { return size_ == 0; }
  T* begin() { return data_; }
  T* end() { return data_ + size_; }
  const T* begin() const { return data_; }
  const T* end() const { return data_ + size_; }
  T& operator[](std::size_t i) { return data_[i]; }
  const T& operator[](std::size_t i) const { return data_[i]; }
  T& back() { return data_[size_ - 1]; }

  // emplace_back adds a value-initialised element (T's own initialisers apply).
  T& emplace_back() {
    if (size_ == capacity_) grow(capacity_ * 2);
    return *::new (static_cast<void*>(data_ + size_++)) T{};
  }
  void push_back(const T& value) { emplace_back() = value; }
  // reserve makes room for `count` elements at once.
  void reserve(std::size_t count) {
    if (count > capacity_) grow(count);
  }
  void pop_back() { --size_; }
  // shrink drops the elements from `size` on.
  void shrink(std::size_t size) { size_ = std::min(size_, size); }
  void clear() { size_ = 0; }

 private:
  void grow(std::size_t capacity) {
    std::vector<T> bigger(capacity);
    std::copy(data_, data_ + size_, bigger.begin());
    heap_.swap(bigger);
    data_ = heap_.data();
    capacity_ = heap_.size();
  }

  alignas(T) unsigned char inline_[N * sizeof(T)];
  T* data_ = reinterpret_cast<T*>(inline_);
  std::size_t size_ = 0;
  std::size_t capacity_ = N;
  std::vector<T> heap_;
};

// ParsedPattern: what the parser hands the builder.
struct ParsedPattern {
  InlineStack<SyntaxOp, 32> ops;  // postfix; never empty
  std::string bytes;          // literal bytes and names, referred to by the ops
  std::int32_t highestGroup = 0;

  std::string textOf(const SyntaxOp& op) const { return bytes.substr(op.text, op.size); }
};

// parsePattern reads pattern[0, length) under flags into out (cleared first). It accepts every
// byte string; only allocation can fail (std::bad_alloc).
void parsePattern(const char* pattern, std::size_t length, unsigned flags, ParsedPattern& out);

}  // namespace velmor::pattern
