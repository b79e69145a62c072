// The pattern compiler: a tokenizer with three tokens of lookahead, a parser that builds the node
// tree while keeping the constructs it is inside on a heap stack, and the passes that resolve
// names to group numbers.
//
// Nothing here rejects a pattern. A construct that cannot be read becomes literal bytes or an
// empty node, a group left open ends with the pattern, and nesting past kMaxNestingDepth is read
// as literal parentheses, which bounds the parser's heap stack and the tree's depth.
#include <algorithm>
#include <array>
#include <cstring>
#include <new>
#include <optional>

#include "pattern/nodes.h"
#include "pattern/pattern.h"

namespace velmor::pattern {

struct RegexProgram::Storage {
  std::vector<std::unique_ptr<MatchNode>> nodes;
};

namespace {

// Character classifications of the "C" locale, for the POSIX class names.
bool isAlpha(unsigned char c) { return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z'); }
bool isDigit(unsigned char c) { return c >= '0' && c <= '9'; }
bool isAlnum(unsigned char c) { return isAlpha(c) || isDigit(c); }
bool isAscii(unsigned char c) { return c < 0x80; }
bool isCntrl(unsigned char c) { return c < 0x20 || c == 0x7F; }
bool isGraph(unsigned char c) { return c > 0x20 && c < 0x7F; }
bool isLower(unsigned char c) { return c >= 'a' && c <= 'z'; }
bool isPrint(unsigned char c) { return c >= 0x20 && c < 0x7F; }
bool isPunct(unsigned char c) { return isGraph(c) && !isAlnum(c); }
bool isSpace(unsigned char c) { return c == ' ' || (c >= '\t' && c <= '\r'); }
bool isUpper(unsigned char c) { return c >= 'A' && c <= 'Z'; }
bool isXDigit(unsigned char c) { return isDigit(c) || (c >= 'A' && c <= 'F') || (c >= 'a' && c <= 'f'); }
bool isBlankOrTab(unsigned char c) { return c == ' ' || c == '\t'; }

// Blanks that the Extended flag skips.
bool isPatternBlank(unsigned char c) { return c == ' ' || (c >= '\t' && c <= '\r'); }

int hexValue(unsigned char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

unsigned char toUpper(unsigned char c) { return isLower(c) ? static_cast<unsigned char>(c - 32) : c; }
unsigned char toLower(unsigned char c) { return isUpper(c) ? static_cast<unsigned char>(c + 32) : c; }

// Group names compare by length, then byte by byte ignoring ASCII case.
bool sameName(const std::string& a, const std::string& b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    const auto x = static_cast<unsigned char>(a[i]);
    const auto y = static_cast<unsigned char>(b[i]);
    if (x != y && toUpper(x) != toUpper(y)) return false;
  }
  return true;
}

// A name made of one to three digits, blanks around allowed, is a group number; else -1.
std::int32_t numericName(const std::string& name) {
  std::size_t i = 0;
  while (i < name.size() && isBlankOrTab(static_cast<unsigned char>(name[i]))) ++i;
  std::int32_t value = 0;
  std::size_t digits = 0;
  while (i < name.size() && isDigit(static_cast<unsigned char>(name[i])) && digits < 3) {
    value = value * 10 + (name[i] - '0');
    ++i;
    ++digits;
  }
  while (i < name.size() && isBlankOrTab(static_cast<unsigned char>(name[i]))) ++i;
  return (digits > 0 && i == name.size()) ? value : -1;
}

constexpr std::int32_t kUnknownName = -3;

struct Token {
  int value = 0;
  bool special = true;
  std::size_t offset = 0;
  std::size_t length = 0;
};

}  // namespace

class PatternCompiler {
 public:
  PatternCompiler(RegexProgram& program, const char* pattern, std::size_t length, unsigned flags)
      : program_(program),
        pattern_(reinterpret_cast<const unsigned char*>(pattern)),
        length_(length),
        flags_(flags) {
    for (std::size_t i = 1; i < slots_.size(); ++i) slots_[i] = scan();
  }

  const MatchNode* run() {
    const MatchNode* top = parse();
    resolve(top);
    return top;
  }

 private:
  // ---- Tokenizer ------------------------------------------------------------------------------
  const Token& cur() const { return slots_[1]; }
  const Token& next() const { return slots_[2]; }
  const Token& afterNext() const { return slots_[3]; }
  void advance() {
    slots_[0] = slots_[1];
    slots_[1] = slots_[2];
    slots_[2] = slots_[3];
    slots_[3] = scan();
  }
  static bool isEnd(const Token& t) { return t.special && t.value == 0; }
  bool atEnd() const { return isEnd(cur()); }
  static bool is(const Token& t, int value, bool special) { return t.special == special && t.value == value; }
  static bool isLiteral(const Token& t, int value) { return is(t, value, false); }
  static bool isSpecial(const Token& t, int value) { return is(t, value, true); }
  static bool isLiteralDigit(const Token& t) {
    return !t.special && t.value >= '0' && t.value <= '9';
  }

  Token make(int value, bool special, std::size_t start) {
    Token t{value, special, start, scan_ - start};
    lastScanned_[0] = lastScanned_[1];
    lastScanned_[1] = t;
    return t;
  }

  Token scan() {
    for (;;) {
      const std::size_t start = scan_;
      if (scan_ >= length_) {
        Token end{0, true, length_, 0};
        return end;
      }
      const unsigned char c = pattern_[scan_];
      if (quote_) {
        if (c == '\\' && scan_ + 1 < length_ && pattern_[scan_ + 1] == 'E') {
          quote_ = false;
          transform_ = 0;
          scan_ += 2;
          continue;
        }
        ++scan_;
        const unsigned char v = transform_ == 1 ? toLower(c) : transform_ == 2 ? toUpper(c) : c;
        return make(v, false, start);
      }
      if ((flags_ & Extended) != 0) {
        if (isPatternBlank(c)) {
          ++scan_;
          continue;
        }
        if (c == '#') {
          while (scan_ < length_ && pattern_[scan_] != '\n' && pattern_[scan_] != '\r') ++scan_;
          continue;
        }
      }
      if (classDepth_ == 0) {
        if (c == '(' && scan_ + 2 < length_ && pattern_[scan_ + 1] == '?' && pattern_[scan_ + 2] == '#') {
          while (scan_ < length_ && pattern_[scan_] != ')') ++scan_;
          if (scan_ < length_) ++scan_;
          continue;
        }
        if (std::strchr("$()*+.?{|}^", c) != nullptr && c != 0) {
          ++scan_;
          return make(c, true, start);
        }
        if (c == '[') {
          ++classDepth_;
          ++scan_;
          return make(c, true, start);
        }
      } else {
        const Token& last = lastScanned_[1];
        const Token& beforeLast = lastScanned_[0];
        const bool afterOpen = isSpecial(last, '[');
        if (c == ']') {
          --classDepth_;
          ++scan_;
          return make(c, true, start);
        }
        if (c == '[' && scan_ + 1 < length_ && pattern_[scan_ + 1] == ':') {
          ++classDepth_;
          ++scan_;
          return make(c, true, start);
        }
        if (c == '-' || (c == ':' && afterOpen) ||
            (c == '^' && (afterOpen || (isSpecial(last, ':') && isSpecial(beforeLast, '['))))) {
          ++scan_;
          return make(c, true, start);
        }
      }
      if (c == '\\') {
        if (escape(start)) return lastScanned_[1];
        continue;
      }
      ++scan_;
      return make(c, false, start);
    }
  }

  // Scans an escape at `start`; returns false when it produced no token (a mode switch or a
  // skipped escape), true when the token is in lastScanned_[1].
  bool escape(std::size_t start) {
    if (scan_ + 1 >= length_) {
      ++scan_;
      make('\\', false, start);
      return true;
    }
    const unsigned char d = pattern_[scan_ + 1];
    const bool inClass = classDepth_ > 0;
    if (isDigit(d)) {
      ++scan_;  // the digits follow as their own tokens
      make('\\', true, start);
      return true;
    }
    switch (d) {
      case 'b':
        scan_ += 2;
        make(inClass ? 8 : 'b', !inClass, start);
        return true;
      case 'G':
        scan_ += 2;
        if (inClass) return false;
        make('G', true, start);
        return true;
      case 'A': case 'B': case 'D': case 'S': case 'W': case 'Z':
      case 'd': case 'g': case 'k': case 's': case 'w': case 'z':
        scan_ += 2;
        make(d, true, start);
        return true;
      case 'a': scan_ += 2; make(7, false, start); return true;
      case 'e': scan_ += 2; make(27, false, start); return true;
      case 'f': scan_ += 2; make(12, false, start); return true;
      case 'n': scan_ += 2; make(10, false, start); return true;
      case 'r': scan_ += 2; make(13, false, start); return true;
      case 't': scan_ += 2; make(9, false, start); return true;
      case 'v': scan_ += 2; make(11, false, start); return true;
      case 'x':
      case 'u': {
        scan_ += 2;
        if (scan_ < length_ && pattern_[scan_] == '{') {
          // Up to eight hexadecimal digits in braces; only the low byte is kept.
          ++scan_;
          unsigned value = 0;
          for (int i = 0; i < 8 && scan_ < length_ && hexValue(pattern_[scan_]) >= 0; ++i, ++scan_) {
            value = (value << 4) | static_cast<unsigned>(hexValue(pattern_[scan_]));
          }
          while (scan_ < length_ && pattern_[scan_] != '}') ++scan_;
          if (scan_ < length_) ++scan_;
          make(static_cast<int>(value & 0xFF), false, start);
          return true;
        }
        const int most = d == 'x' ? 2 : 4;
        unsigned value = 0;
        int digits = 0;
        while (digits < most && scan_ < length_ && hexValue(pattern_[scan_]) >= 0) {
          value = (value << 4) | static_cast<unsigned>(hexValue(pattern_[scan_]));
          ++scan_;
          ++digits;
        }
        make(digits == 0 ? d : static_cast<int>(value & 0xFF), false, start);
        return true;
      }
      case 'Q':
        scan_ += 2;
        quote_ = true;
        return false;
      case 'L':
      case 'U':
        scan_ += 2;
        quote_ = true;
        if (transform_ == 0) transform_ = d == 'L' ? 1 : 2;
        return false;
      case 'E':
        scan_ += 2;
        quote_ = false;
        transform_ = 0;
        return false;
      default:
        scan_ += 2;
        make(d, false, start);
        return true;
    }
  }

  // ---- Nodes ----------------------------------------------------------------------------------
  template <typename T, typename... Args>
  T* create(Args&&... args) {
    auto node = std::make_unique<T>(std::forward<Args>(args)...);
    T* raw = node.get();
    program_.storage_->nodes.push_back(std::move(node));
    return raw;
  }

  // Stock nodes, created on first use and shared: 0 empty; 1-8 left to right and 9-16 right to
  // left: any byte, any but line feed, word, non-word, space, non-space, digit, non-digit.
  const MatchNode* stock(int index) {
    const MatchNode*& slot = stock_[static_cast<std::size_t>(index)];
    if (slot != nullptr) return slot;
    if (index == 0) {
      slot = create<EmptyNode>();
      return slot;
    }
    const bool rightToLeft = index >= 9;
    const int kind = rightToLeft ? index - 8 : index;
    auto* set = create<CharSetNode>(rightToLeft, true);
    switch (kind) {
      case 1: set->setInclude(false); break;
      case 2: set->addSingle('\n'); set->setInclude(false); break;
      case 3:
      case 4:
        set->addRange('A', 'Z');
        set->addRange('a', 'z');
        set->addRange('0', '9');
        set->addSingle('_');
        set->setInclude(kind == 3);
        break;
      case 5:
      case 6:
        // Matching leftwards the space class also knows form feed and vertical tab.
        for (char c : {' ', '\t', '\r', '\n'}) set->addSingle(c);
        if (rightToLeft) {
          set->addSingle('\f');
          set->addSingle('\v');
        }
        set->setInclude(kind == 5);
        break;
      default:
        set->addRange('0', '9');
        set->setInclude(kind == 7);
        break;
    }
    set->finish();
    slot = set;
    return slot;
  }

  const MatchNode* classEscape(int letter, unsigned flags) {
    int index = 0;
    switch (letter) {
      case 'w': index = 3; break;
      case 'W': index = 4; break;
      case 's': index = 5; break;
      case 'S': index = 6; break;
      case 'd': index = 7; break;
      default: index = 8; break;
    }
    return stock((flags & RightToLeft) != 0 ? index + 8 : index);
  }

  static bool isClassEscape(int value) {
    return value == 'w' || value == 'W' || value == 's' || value == 'S' || value == 'd' || value == 'D';
  }

  // ---- Parser ---------------------------------------------------------------------------------
  //
  // A recursive-descent parser would need machine stack for every open group, and a hostile
  // pattern opens as many as the nesting cap allows. Instead every construct that is still open
  // is a frame on a heap stack: a body (alternatives of sequences up to "|" or ")"), a group
  // after its "(", or a conditional. A frame that needs an inner part pushes a frame for it and
  // is resumed with the part's node once that frame is done, so the parser uses the same few
  // machine stack frames whatever the pattern.

  enum class FrameKind { Body, Group, Conditional };

  // Where a frame resumes once the frame it pushed is done.
  enum Phase : int {
    kStart,
    kBodyAfterGroup,        // an item that is a group: quantify it, add it, go on
    kGroupAfterCapture,     // the body of a plain or named capturing group
    kGroupAfterPlain,       // the body of "(?:", "(?flags:"
    kGroupAfterLookaround,  // the body of "(?=", "(?!", "(?<=", "(?<!"
    kGroupAfterAtomic,      // the body of "(?>"
    kGroupAfterConditional, // the conditional that "(?(" opened
    kConditionalAfterGroup,      // a condition written as a group: "(?(?=...)"
    kConditionalAfterLookahead,  // a condition written as a bare pattern: "(?(abc)"
    kConditionalYes,             // the condition is known: parse the yes branch
    kConditionalAfterYes,
    kConditionalAfterNo,
  };

  // Frame: one open construct. Frames are made zeroed (`Frame f{}`) and then filled in; the
  // members have no initialisers of their own so that the frame stack's unused slots cost
  // nothing on every compile.
  struct Frame {
    FrameKind kind;
    Phase phase;
    int depth;
    // Body: the flags in force, which inline options change for the rest of the body. Group
    // and conditional: the flags of the body around them.
    unsigned flags;
    // Body: where its items (of the sequence being read) and its finished alternatives start
    // on the shared stacks.
    std::size_t itemBase;
    std::size_t branchBase;
    bool sequenceOnly;  // stop at "|" instead of reading alternatives
    // Group.
    bool positive;
    bool named;
    std::int32_t number;
    std::int32_t explicitNumber;
    GroupMarkNode* open;
    GroupMarkNode* close;
    // Conditional.
    std::int32_t group;  // the group number a condition tests, or -1
    const MatchNode* condition;
    const MatchNode* yes;
    std::size_t conditionFrom;  // the pattern bytes of a condition that may name a group
    std::size_t conditionTo;
  };

  // FrameStack: the open constructs. The first few live inside the compiler, so that a pattern
  // nested a few levels (all real ones) costs no allocation for them.
  class FrameStack {
   public:
    bool empty() const { return size_ == 0; }
    Frame& back() { return size_ <= inline_.size() ? inline_[size_ - 1] : more_.back(); }
    void push(const Frame& f) {
      if (size_ < inline_.size()) {
        inline_[size_] = f;
      } else {
        more_.push_back(f);
      }
      ++size_;
    }
    void pop() {
      if (size_ > inline_.size()) more_.pop_back();
      --size_;
    }

   private:
    std::array<Frame, 8> inline_;
    std::vector<Frame> more_;
    std::size_t size_ = 0;
  };

  // What the frame popped last produced: its node and, from a body or an inline option group,
  // the flags it leaves to whoever continues after it.
  struct Done {
    const MatchNode* node = nullptr;
    std::optional<unsigned> flags;
  };

  void pushBody(unsigned flags, int depth, bool sequenceOnly) {
    Frame f{};
    f.kind = FrameKind::Body;
    f.flags = flags;
    f.depth = depth;
    f.itemBase = items_.size();
    f.branchBase = branches_.size();
    f.sequenceOnly = sequenceOnly;
    frames_.push(f);
  }

  void pushGroup(FrameKind kind, unsigned flags, int depth) {
    Frame f{};
    f.kind = kind;
    f.flags = flags;
    f.depth = depth;
    f.group = -1;
    frames_.push(f);
  }

  void finish(const MatchNode* node, std::optional<unsigned> flags = std::nullopt) {
    frames_.pop();
    done_ = Done{node, flags};
  }

  // Takes the nodes of `stack` from `base` on, leaving the stack as it was before them.
  static std::vector<const MatchNode*> takeFrom(std::vector<const MatchNode*>& stack, std::size_t base) {
    std::vector<const MatchNode*> nodes(stack.begin() + static_cast<std::ptrdiff_t>(base), stack.end());
    stack.resize(base);
    return nodes;
  }

  const MatchNode* parse() {
    pushBody(flags_, 0, false);
    while (!frames_.empty()) {
      switch (frames_.back().kind) {
        case FrameKind::Body: stepBody(); break;
        case FrameKind::Group: stepGroup(); break;
        case FrameKind::Conditional: stepConditional(); break;
      }
    }
    return done_.node;
  }

  bool endsSequence(int depth) const {
    return atEnd() || isSpecial(cur(), '|') || (depth > 0 && isSpecial(cur(), ')'));
  }

  // A body: sequences of items separated by "|", up to the end of the pattern or, inside a
  // group, its ")". A sequence-only body stops before a "|".
  void stepBody() {
    Frame& f = frames_.back();
    if (f.phase == kBodyAfterGroup) {
      if (done_.flags) f.flags = *done_.flags;
      items_.push_back(parseQuantifier(done_.node));
      f.phase = kStart;
    }
    for (;;) {
      while (!endsSequence(f.depth)) {
        if (isSpecial(cur(), '(') && f.depth < kMaxNestingDepth) {
          f.phase = kBodyAfterGroup;
          pushGroup(FrameKind::Group, f.flags, f.depth);
          return;
        }
        items_.push_back(parseQuantifier(parseAtom(f.flags)));
      }
      const std::size_t items = items_.size() - f.itemBase;
      const MatchNode* sequence = nullptr;
      if (items == 0) {
        sequence = stock(0);
      } else if (items == 1) {
        sequence = items_.back();
        items_.pop_back();
      } else {
        sequence = create<SequenceNode>(takeFrom(items_, f.itemBase), (f.flags & RightToLeft) != 0);
      }
      if (f.sequenceOnly) return finish(sequence, f.flags);
      // A body of one alternative (the common case) is that alternative.
      if (!isSpecial(cur(), '|') && branches_.size() == f.branchBase) return finish(sequence, f.flags);
      branches_.push_back(sequence);
      if (!isSpecial(cur(), '|')) break;
      advance();
    }
    finish(create<AlternationNode>(takeFrom(branches_, f.branchBase)), f.flags);
  }

  const MatchNode* parseQuantifier(const MatchNode* atom) {
    const Token& t = cur();
    if (!t.special || (t.value != '*' && t.value != '+' && t.value != '?' && t.value != '{')) return atom;
    std::int32_t min = 0;
    std::int32_t max = kUnboundedRepeat;
    if (t.value == '*') {
      advance();
    } else if (t.value == '+') {
      min = 1;
      advance();
    } else if (t.value == '?') {
      max = 1;
      advance();
    } else {
      readBraces(min, max);
    }
    if (max == 0) return stock(0);
    if (min == max) {
      if (isSpecial(cur(), '?') || isSpecial(cur(), '+')) advance();
      return create<FixedRepeatNode>(atom, min);
    }
    if (isSpecial(cur(), '?')) {
      advance();
      return create<LazyRepeatNode>(atom, min, max - min);
    }
    if (isSpecial(cur(), '+')) {
      advance();
      return create<PossessiveRepeatNode>(atom, min, max - min);
    }
    return create<GreedyRepeatNode>(atom, min, max - min);
  }

  // "{m}", "{m,}", "{m,n}": at most three digits each, further digits ignored; without a leading
  // digit the maximum is 0, which removes the atom.
  void readBraces(std::int32_t& min, std::int32_t& max) {
    advance();  // "{"
    std::string text;
    while (!atEnd() && !isSpecial(cur(), '}')) {
      text.push_back(static_cast<char>(cur().value));
      advance();
    }
    if (isSpecial(cur(), '}')) advance();
    std::size_t i = 0;
    auto skipBlanks = [&] {
      while (i < text.size() && isBlankOrTab(static_cast<unsigned char>(text[i]))) ++i;
    };
    auto number = [&] {
      std::int32_t value = 0;
      for (int digits = 0; i < text.size() && isDigit(static_cast<unsigned char>(text[i])); ++i, ++digits) {
        if (digits < 3) value = value * 10 + (text[i] - '0');
      }
      return value;
    };
    skipBlanks();
    if (i >= text.size() || !isDigit(static_cast<unsigned char>(text[i]))) {
      min = 0;
      max = 0;
      return;
    }
    min = number();
    skipBlanks();
    if (i < text.size() && text[i] == ',') {
      ++i;
      skipBlanks();
      max = (i < text.size() && isDigit(static_cast<unsigned char>(text[i]))) ? number() : kUnboundedRepeat;
    } else {
      max = min;
    }
    if (max < min) max = min;
  }

  const MatchNode* literalByte(int value, unsigned flags) {
    advance();
    return create<LiteralNode>(std::string(1, static_cast<char>(value)), (flags & RightToLeft) != 0,
                               (flags & IgnoreCase) != 0);
  }

  // parseAtom reads one atom that is not a group; a "(" that reaches it is past the nesting cap
  // and stands for itself.
  const MatchNode* parseAtom(unsigned flags) {
    const bool rightToLeft = (flags & RightToLeft) != 0;
    if (!cur().special) {
      // A run of literals is one node, but a byte followed by a quantifier stands alone so the
      // quantifier applies to it only.
      std::string bytes;
      while (!cur().special) {
        const Token& n = next();
        if (n.special && (n.value == '{' || n.value == '?' || n.value == '*' || n.value == '+')) {
          if (bytes.empty()) {
            bytes.push_back(static_cast<char>(cur().value));
            advance();
          }
          break;
        }
        bytes.push_back(static_cast<char>(cur().value));
        advance();
      }
      return create<LiteralNode>(std::move(bytes), rightToLeft, (flags & IgnoreCase) != 0);
    }
    const int v = cur().value;
    switch (v) {
      case '^': advance(); return create<AnchorNode>((flags & MultiLine) != 0 ? 3 : 0, true);
      case '$': advance(); return create<AnchorNode>((flags & MultiLine) != 0 ? 4 : 1, true);
      case 'A': advance(); return create<AnchorNode>(0, true);
      case 'z': advance(); return create<AnchorNode>(1, true);
      case 'Z': advance(); return create<AnchorNode>(2, true);
      case 'b': advance(); return create<AnchorNode>(7, true);
      case 'B': advance(); return create<AnchorNode>(7, false);
      case 'G':
        advance();
        if ((flags & Global) != 0) return create<SearchStartNode>();
        return stock(0);
      case '(': return literalByte('(', flags);
      case '.':
        advance();
        return stock(((flags & SingleLine) != 0 ? 1 : 2) + (rightToLeft ? 8 : 0));
      case '[': return parseClass(flags);
      case '\\': {
        advance();
        return create<BackrefNode>(readDigits(), rightToLeft, (flags & IgnoreCase) != 0, std::string());
      }
      case 'k':
      case 'g': return parseNamedBackref(v, flags);
      default:
        if (isClassEscape(v)) {
          advance();
          return classEscape(v, flags);
        }
        // A quantifier with nothing before it, a stray ")" at the top level and the like.
        return literalByte(v, flags);
    }
  }

  // Reads up to three literal digits (more are left for what follows); 0 when there are none.
  std::int32_t readDigits() {
    std::int32_t value = 0;
    for (int digits = 0; digits < 3 && isLiteralDigit(cur()); ++digits) {
      value = value * 10 + (cur().value - '0');
      advance();
    }
    return value;
  }

  std::string readName(int terminator) {
    std::string name;
    while (!atEnd() && !cur().special) {
      if (cur().value == terminator) {
        advance();
        break;
      }
      name.push_back(static_cast<char>(cur().value));
      advance();
    }
    return name;
  }

  void skipToClose() {
    while (!atEnd() && !isSpecial(cur(), ')')) advance();
    if (isSpecial(cur(), ')')) advance();
  }

  void expectClose() {
    if (isSpecial(cur(), ')')) advance();
  }

  const MatchNode* parseNamedBackref(int letter, unsigned flags) {
    const bool rightToLeft = (flags & RightToLeft) != 0;
    const bool ignoreCase = (flags & IgnoreCase) != 0;
    advance();
    if (isLiteral(cur(), '<') || isLiteral(cur(), '\'')) {
      const int terminator = cur().value == '<' ? '>' : '\'';
      advance();
      std::string name = readName(terminator);
      const std::int32_t number = numericName(name);
      auto* node = create<BackrefNode>(number, rightToLeft, ignoreCase, number >= 0 ? std::string() : name);
      if (number < 0) namedBackrefs_.push_back(node);
      return node;
    }
    if (isLiteralDigit(cur())) return create<BackrefNode>(readDigits(), rightToLeft, ignoreCase, std::string());
    // "\k" or "\g" with nothing that names a group: the letter itself.
    return create<LiteralNode>(std::string(1, static_cast<char>(letter)), rightToLeft, ignoreCase);
  }

  // ---- Classes --------------------------------------------------------------------------------
  const MatchNode* parseClass(unsigned flags) {
    const bool rightToLeft = (flags & RightToLeft) != 0;
    if (isSpecial(next(), ':')) return parsePosix(flags);
    advance();  // "["
    auto* set = create<CharSetNode>(rightToLeft, true);
    if (isSpecial(cur(), '^')) {
      set->setInclude(false);
      advance();
    }
    while (!atEnd()) {
      const Token& t = cur();
      if (isSpecial(t, ']')) {
        advance();
        break;
      }
      if (isSpecial(t, '[') && isSpecial(next(), ':')) {
        set->addNested(parsePosix(flags));
        continue;
      }
      if (t.special && isClassEscape(t.value)) {
        set->addNested(classEscape(t.value, flags));
        advance();
        continue;
      }
      if (isSpecial(t, '.')) {
        set->addNested(stock(((flags & SingleLine) != 0 ? 1 : 2) + (rightToLeft ? 8 : 0)));
        advance();
        continue;
      }
      const auto low = static_cast<signed char>(static_cast<unsigned char>(t.value));
      if (isSpecial(next(), '-') && !afterNext().special) {
        // Ranges keep the order written: a reversed range holds nothing.
        const auto high = static_cast<signed char>(static_cast<unsigned char>(afterNext().value));
        set->addRange(low, high);
        advance();
        advance();
        advance();
        continue;
      }
      set->addSingle(low);
      advance();
    }
    if ((flags & IgnoreCase) != 0) foldCase(*set);
    set->finish();
    return set;
  }

  // Adds the other case of every letter a bracket class holds; nested nodes keep their meaning.
  static void foldCase(CharSetNode& set) {
    const std::vector<CharSetNode::Range> ranges = set.ranges();
    for (const CharSetNode::Range& r : ranges) {
      auto addImage = [&](signed char from, signed char to, int shift) {
        const signed char low = std::max(r.low, from);
        const signed char high = std::min(r.high, to);
        if (low > high) return;
        const auto imageLow = static_cast<signed char>(low + shift);
        const auto imageHigh = static_cast<signed char>(high + shift);
        if (r.low <= imageLow && imageHigh <= r.high) return;
        set.addRange(imageLow, imageHigh);
      };
      addImage('A', 'Z', 32);
      addImage('a', 'z', -32);
    }
    const std::vector<signed char> singles = set.singles();
    for (signed char c : singles) {
      const auto u = static_cast<unsigned char>(c);
      if (!isAlpha(u)) continue;
      const auto other = static_cast<signed char>(isUpper(u) ? toLower(u) : toUpper(u));
      bool present = std::find(singles.begin(), singles.end(), other) != singles.end();
      for (const CharSetNode::Range& r : set.ranges()) present = present || (r.low <= other && other <= r.high);
      if (!present) set.addSingle(other);
    }
  }

  // "[:name:]" or "[:^name:]", at the top level or inside a bracket class.
  const MatchNode* parsePosix(unsigned flags) {
    advance();  // "["
    advance();  // ":"
    bool include = true;
    if (isSpecial(cur(), '^')) {
      include = false;
      advance();
    }
    std::string name;
    while (!atEnd() && !isSpecial(cur(), ']')) {
      name.push_back(static_cast<char>(cur().value));
      advance();
    }
    if (isSpecial(cur(), ']')) advance();
    struct Entry {
      const char* prefix;
      PosixClassNode::Predicate predicate;
    };
    static constexpr std::array<Entry, 13> kClasses{{
        {"alnum:", isAlnum}, {"alpha:", isAlpha}, {"ascii:", isAscii},  {"cntrl:", isCntrl},
        {"digit:", isDigit}, {"graph:", isGraph}, {"lower:", isLower},  {"print:", isPrint},
        {"punct:", isPunct}, {"space:", isSpace}, {"upper:", isUpper},  {"xdigit:", isXDigit},
        {"blank:", isBlankOrTab},
    }};
    PosixClassNode::Predicate predicate = nullptr;
    for (const Entry& e : kClasses) {
      const std::size_t n = std::strlen(e.prefix);
      if (name.size() >= n && name.compare(0, n, e.prefix) == 0) {
        predicate = e.predicate;
        break;
      }
    }
    return create<PosixClassNode>(predicate, (flags & RightToLeft) != 0, include);
  }

  // ---- Groups ---------------------------------------------------------------------------------

  // Opens a capturing group: its marks are made before its body is read.
  void openCapture(Frame& f, std::int32_t number, const std::string& name, bool named, std::int32_t explicitNumber) {
    f.open = create<GroupMarkNode>(number, false, name);
    f.close = create<GroupMarkNode>(number, true, name);
    f.number = number;
    f.named = named;
    f.explicitNumber = explicitNumber;
    f.phase = kGroupAfterCapture;
  }

  // A group, from its "(" (the current token) to its ")".
  void stepGroup() {
    Frame& f = frames_.back();
    const int depth = f.depth;
    const unsigned flags = f.flags;
    switch (f.phase) {
      case kStart: break;
      case kGroupAfterCapture: {
        expectClose();
        const bool rightToLeft = (flags & RightToLeft) != 0;
        std::vector<const MatchNode*> children =
            rightToLeft ? std::vector<const MatchNode*>{f.close, done_.node, f.open}
                        : std::vector<const MatchNode*>{f.open, done_.node, f.close};
        closeMarks_.emplace_back(f.open, f.close);
        const MatchNode* seq = create<SequenceNode>(std::move(children), rightToLeft);
        if (f.named) {
          namedGroups_.push_back({seq, f.open, f.open->name(), f.explicitNumber});
        } else {
          groupTable_.push_back({f.number, seq});
        }
        return finish(seq);
      }
      case kGroupAfterPlain:
        expectClose();
        return finish(done_.node);
      case kGroupAfterLookaround:
        expectClose();
        return finish(create<LookaroundNode>(done_.node, f.positive));
      case kGroupAfterAtomic:
        expectClose();
        return finish(create<AtomicGroupNode>(done_.node));
      case kGroupAfterConditional:
        return finish(done_.node);
      default:
        return finish(stock(0));
    }

    advance();  // "("
    if (!isSpecial(cur(), '?')) {
      openCapture(f, ++groupCounter_, std::string(), false, -1);
      return pushBody(flags, depth + 1, false);
    }
    advance();  // "?"
    const Token t = cur();
    if (isLiteral(t, ':')) {
      advance();
      f.phase = kGroupAfterPlain;
      return pushBody(flags, depth + 1, false);
    }
    if (isLiteral(t, '=') || isLiteral(t, '!')) {
      advance();
      f.positive = t.value == '=';
      f.phase = kGroupAfterLookaround;
      return pushBody(flags & ~static_cast<unsigned>(RightToLeft), depth + 1, false);
    }
    if (isLiteral(t, '<') && (isLiteral(next(), '=') || isLiteral(next(), '!'))) {
      f.positive = next().value == '=';
      advance();
      advance();
      f.phase = kGroupAfterLookaround;
      return pushBody(flags | RightToLeft, depth + 1, false);
    }
    if (isLiteral(t, '<') || isLiteral(t, '\'') || (isLiteral(t, 'P') && isLiteral(next(), '<'))) {
      if (t.value == 'P') advance();
      const int terminator = cur().value == '<' ? '>' : '\'';
      advance();
      std::string name = readName(terminator);
      const std::int32_t explicitNumber = numericName(name);
      openCapture(f, -1, name, true, explicitNumber);
      return pushBody(flags, depth + 1, false);
    }
    if (isLiteral(t, '>')) {
      advance();
      f.phase = kGroupAfterAtomic;
      return pushBody(flags, depth + 1, false);
    }
    if (isSpecial(t, '(')) {
      f.phase = kGroupAfterConditional;
      return pushGroup(FrameKind::Conditional, flags, depth);
    }
    if (isLiteral(t, 'R')) {
      advance();
      RecurseNode* node = nullptr;
      if (isLiteral(cur(), '<') || isLiteral(cur(), '\'')) {
        const int terminator = cur().value == '<' ? '>' : '\'';
        advance();
        std::string name = readName(terminator);
        const std::int32_t number = numericName(name);
        node = create<RecurseNode>(number, number >= 0 ? std::string() : std::move(name));
      } else {
        while (isLiteral(cur(), ' ') || isLiteral(cur(), '\t')) advance();
        node = create<RecurseNode>(readDigits(), std::string());
      }
      skipToClose();
      recursions_.push_back(node);
      return finish(node);
    }
    if (isLiteralDigit(t)) {
      RecurseNode* node = create<RecurseNode>(readDigits(), std::string());
      skipToClose();
      recursions_.push_back(node);
      return finish(node);
    }
    // Inline options: "(?flags)" changes the enclosing group from here on, "(?flags:...)" only
    // the group it opens.
    unsigned changed = flags;
    bool clearing = false;
    while (!atEnd() && !isSpecial(cur(), ')') && !isLiteral(cur(), ':')) {
      if (!cur().special) {
        unsigned bit = 0;
        switch (cur().value) {
          case '-': clearing = true; break;
          case 's': bit = SingleLine; break;
          case 'm': bit = MultiLine; break;
          case 'g': bit = Global; break;
          case 'i': bit = IgnoreCase; break;
          default: break;
        }
        changed = clearing ? (changed & ~bit) : (changed | bit);
      }
      advance();
    }
    if (isLiteral(cur(), ':')) {
      advance();
      f.phase = kGroupAfterPlain;
      return pushBody(changed, depth + 1, false);
    }
    expectClose();
    finish(stock(0), changed);
  }

  // A conditional: "(?(" seen, the current token is the condition's "(". Its flags are the
  // enclosing body's, which nothing inside changes.
  void stepConditional() {
    Frame& f = frames_.back();
    const int depth = f.depth;
    const unsigned flags = f.flags;
    switch (f.phase) {
      case kStart:
        if (isSpecial(next(), '?')) {
          if (depth + 1 >= kMaxNestingDepth) {
            advance();
            f.condition = stock(0);
            break;
          }
          f.phase = kConditionalAfterGroup;
          return pushGroup(FrameKind::Group, flags, depth + 1);
        }
        if (isLiteralDigit(next())) {
          advance();
          f.group = readDigits();
          skipToClose();
          break;
        }
        advance();
        f.conditionFrom = cur().offset;
        f.phase = kConditionalAfterLookahead;
        return pushBody(flags & ~static_cast<unsigned>(RightToLeft), depth + 1, false);
      case kConditionalAfterGroup:
        f.condition = done_.node;
        break;
      case kConditionalAfterLookahead: {
        f.conditionTo = std::max(f.conditionFrom, std::min(cur().offset, length_));
        expectClose();
        f.condition = create<LookaroundNode>(done_.node, true);
        break;
      }
      case kConditionalAfterYes:
        f.yes = done_.node;
        // Inline options in the yes branch reach the no branch.
        if (isSpecial(cur(), '|')) {
          advance();
          f.phase = kConditionalAfterNo;
          return pushBody(*done_.flags, depth + 1, false);
        }
        return finishConditional(f, nullptr);
      case kConditionalAfterNo:
        return finishConditional(f, done_.node);
      default:
        break;
    }
    // The condition is known: the yes branch is one sequence.
    f.phase = kConditionalAfterYes;
    pushBody(flags, depth + 1, true);
  }

  void finishConditional(Frame& f, const MatchNode* no) {
    expectClose();
    auto* node = create<ConditionalNode>(f.group, f.condition, f.yes, no);
    if (f.group < 0 && f.conditionTo > f.conditionFrom) {
      namedConditions_.push_back(
          {node, std::string(reinterpret_cast<const char*>(pattern_) + f.conditionFrom, f.conditionTo - f.conditionFrom)});
    }
    finish(node);
  }

  // ---- Resolution -----------------------------------------------------------------------------
  std::int32_t lookup(const std::string& name) const {
    for (const NamedGroup& g : namedGroups_) {
      if (sameName(g.name, name)) return g.open->group();
    }
    return kUnknownName;
  }

  void resolve(const MatchNode* top) {
    std::int32_t nextNumber = groupCounter_ + 1;
    for (std::size_t i = 0; i < namedGroups_.size(); ++i) {
      NamedGroup& g = namedGroups_[i];
      std::int32_t number = g.explicitNumber;
      if (number < 0) {
        for (std::size_t j = 0; j < i && number < 0; ++j) {
          if (sameName(namedGroups_[j].name, g.name)) number = namedGroups_[j].open->group();
        }
      }
      if (number < 0) number = nextNumber++;
      for (auto& [open, close] : closeMarks_) {
        if (open == g.open) close->setGroup(number);
      }
      g.open->setGroup(number);
      groupTable_.push_back({number, g.sequence});
    }
    std::int32_t highest = 0;
    for (const auto& entry : groupTable_) highest = std::max(highest, entry.first);
    program_.highestGroup_ = highest;

    for (RecurseNode* r : recursions_) {
      std::int32_t number = r->name().empty() ? r->group() : lookup(r->name());
      r->setGroup(number);
      if (number == 0) {
        r->setTarget(top);
      } else if (number > 0 && number <= highest) {
        for (const auto& entry : groupTable_) {
          if (entry.first == number) {
            r->setTarget(entry.second);
            break;
          }
        }
      }
    }
    for (BackrefNode* b : namedBackrefs_) b->setGroup(lookup(b->name()));
    for (auto& [node, name] : namedConditions_) {
      const std::int32_t number = lookup(name);
      if (number >= 0) node->resolveToGroup(number);
    }
  }

  struct NamedGroup {
    const MatchNode* sequence;
    GroupMarkNode* open;
    std::string name;
    std::int32_t explicitNumber;
  };

  RegexProgram& program_;
  const unsigned char* pattern_;
  std::size_t length_;
  std::size_t scan_ = 0;
  int classDepth_ = 0;
  bool quote_ = false;
  int transform_ = 0;  // 0 none, 1 to lower case, 2 to upper case
  std::array<Token, 4> slots_{};  // previous, current, next, one more
  std::array<Token, 2> lastScanned_{};
  unsigned flags_;
  std::int32_t groupCounter_ = 0;
  std::array<const MatchNode*, 17> stock_{};
  std::vector<std::pair<std::int32_t, const MatchNode*>> groupTable_;
  std::vector<NamedGroup> namedGroups_;
  std::vector<std::pair<GroupMarkNode*, GroupMarkNode*>> closeMarks_;
  std::vector<RecurseNode*> recursions_;
  std::vector<BackrefNode*> namedBackrefs_;
  std::vector<std::pair<ConditionalNode*, std::string>> namedConditions_;
  FrameStack frames_;
  std::vector<const MatchNode*> items_;     // the items of the sequences being read, innermost last
  std::vector<const MatchNode*> branches_;  // the finished alternatives of the bodies being read
  Done done_;
};

// ---- RegexProgram -----------------------------------------------------------------------------

RegexProgram::RegexProgram() = default;
RegexProgram::~RegexProgram() = default;
RegexProgram::RegexProgram(RegexProgram&&) noexcept = default;
RegexProgram& RegexProgram::operator=(RegexProgram&&) noexcept = default;

void RegexProgram::clear() noexcept {
  storage_.reset();
  top_ = nullptr;
  highestGroup_ = 0;
  flags_ = 0;
}

std::size_t RegexProgram::nodeCount() const { return storage_ ? storage_->nodes.size() : 0; }

const MatchNode* RegexProgram::compile(const char* pattern, std::size_t length, unsigned flags) noexcept {
  clear();
  if (pattern == nullptr) return nullptr;
  try {
    storage_ = std::make_unique<Storage>();
    flags_ = flags;
    PatternCompiler compiler(*this, pattern, length, flags);
    top_ = compiler.run();
  } catch (...) {
    // Only allocation can fail; a program that could not be built is left empty.
    clear();
  }
  return top_;
}

RegexProgram compile(std::string_view pattern, unsigned flags) noexcept {
  RegexProgram program;
  program.compile(pattern, flags);
  return program;
}

}  // namespace velmor::pattern
