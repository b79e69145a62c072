// The pattern parser: a tokenizer with three tokens of lookahead, and a reader that turns the
// tokens into postfix operations (pattern/parse.h) while keeping the constructs it is inside on
// a heap stack, then settles which group number every name stands for.
//
// Nothing here rejects a pattern. A construct that cannot be read becomes literal bytes or an
// empty operation, a group left open ends with the pattern, and nesting past kMaxNestingDepth is
// read as literal parentheses, which bounds the heap stack and the depth of what is built.
#include "pattern/parse.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <optional>

#include "pattern/pattern.h"

namespace velmor::pattern {

namespace {

using namespace ascii;

// Blanks that the Extended flag skips.
bool isPatternBlank(unsigned char c) { return c == ' ' || (c >= '\t' && c <= '\r'); }

int hexValue(unsigned char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

// Group names compare by length, then byte by byte ignoring ASCII case.
bool sameName(const char* a, std::size_t aSize, const char* b, std::size_t bSize) {
  if (aSize != bSize) return false;
  for (std::size_t i = 0; i < aSize; ++i) {
    const auto x = static_cast<unsigned char>(a[i]);
    const auto y = static_cast<unsigned char>(b[i]);
    if (x != y && toUpper(x) != toUpper(y)) return false;
  }
  return true;
}

// A name made of one to three digits, blanks around allowed, is a group number; else -1.
std::int32_t numericName(const char* name, std::size_t size) {
  std::size_t i = 0;
  while (i < size && isBlankOrTab(static_cast<unsigned char>(name[i]))) ++i;
  std::int32_t value = 0;
  std::size_t digits = 0;
  while (i < size && isDigit(static_cast<unsigned char>(name[i])) && digits < 3) {
    value = value * 10 + (name[i] - '0');
    ++i;
    ++digits;
  }
  while (i < size && isBlankOrTab(static_cast<unsigned char>(name[i]))) ++i;
  return (digits > 0 && i == size) ? value : -1;
}

struct Token {
  int value = 0;
  bool special = true;
  std::size_t offset = 0;
  std::size_t length = 0;
};

}  // namespace

class PatternParser {
 public:
  PatternParser(const char* pattern, std::size_t length, unsigned flags, ParsedPattern& out)
      : out_(out),
        ops_(out.ops),
        bytes_(out.bytes),
        pattern_(reinterpret_cast<const unsigned char*>(pattern)),
        length_(length),
        flags_(flags) {
    for (std::size_t i = 1; i < slots_.size(); ++i) slots_[i] = scan();
  }

  void run() {
    parse();
    resolve();
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


  // ---- Output ---------------------------------------------------------------------------------
  SyntaxOp& emit(OpKind kind, unsigned flags) {
    SyntaxOp& op = ops_.emplace_back();
    op.kind = kind;
    op.flags = flags;
    return op;
  }

  void emitEmpty(unsigned flags) { emit(OpKind::Empty, flags); }

  // Points `op` at bytes [from, to) of the byte store.
  static void setText(SyntaxOp& op, std::size_t from, std::size_t to) {
    op.text = from;
    op.size = to - from;
  }

  void literalByte(int value, unsigned flags) {
    advance();
    SyntaxOp& op = emit(OpKind::Literal, flags);
    op.text = bytes_.size();
    op.size = 1;
    bytes_.push_back(static_cast<char>(value));
  }

  // ---- Frames ---------------------------------------------------------------------------------
  //
  // A recursive-descent parser would need machine stack for every open group, and a hostile
  // pattern opens as many as the nesting cap allows. Instead every construct that is still open
  // is a frame on a heap stack: a body (alternatives of sequences up to "|" or ")"), a group
  // after its "(", or a conditional. A frame that needs an inner part pushes a frame for it and
  // is resumed once that frame is done and has emitted the part, so the parser uses the same
  // few machine stack frames whatever the pattern.

  enum class FrameKind { Body, Group, Conditional };

  // Where a frame resumes once the frame it pushed is done.
  enum Phase : int {
    kStart,
    kBodyAfterGroup,        // an item that is a group: quantify it, count it, go on
    kGroupAfterCapture,     // the body of a plain or named capturing group
    kGroupAfterPlain,       // the body of "(?:", "(?flags:"
    kGroupAfterLookaround,  // the body of "(?=", "(?!", "(?<=", "(?<!"
    kGroupAfterAtomic,      // the body of "(?>"
    kGroupAfterConditional, // the conditional that "(?(" opened
    kConditionalAfterGroup,      // a condition written as a group: "(?(?=...)"
    kConditionalAfterLookahead,  // a condition written as a bare pattern: "(?(abc)"
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
    // Body: how many items the sequence being read has emitted, and how many alternatives
    // before it are done.
    std::int32_t items;
    std::int32_t branches;
    bool sequenceOnly;  // stop at "|" instead of reading alternatives
    // Group.
    bool positive;
    bool named;
    std::int32_t number;
    std::int32_t explicitNumber;
    std::size_t nameFrom;  // the group's name in the byte store
    std::size_t nameTo;
    // Conditional.
    std::int32_t group;  // the group number a condition tests, or -1
    ConditionMode condition;
    std::size_t conditionFrom;  // the pattern bytes of a condition that may name a group
    std::size_t conditionTo;
  };

  // FrameStack: the open constructs. The first few live inside the parser, so that a pattern
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

  void pushBody(unsigned flags, int depth, bool sequenceOnly) {
    Frame f{};
    f.kind = FrameKind::Body;
    f.flags = flags;
    f.depth = depth;
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

  // Pops the current frame, which has emitted its value. From a body or an inline option group
  // `flags` are the flags it leaves to whoever continues after it.
  void finish(std::optional<unsigned> flags = std::nullopt) {
    frames_.pop();
    doneFlags_ = flags;
  }

  void parse() {
    pushBody(flags_, 0, false);
    while (!frames_.empty()) {
      switch (frames_.back().kind) {
        case FrameKind::Body: stepBody(); break;
        case FrameKind::Group: stepGroup(); break;
        case FrameKind::Conditional: stepConditional(); break;
      }
    }
  }

  bool endsSequence(int depth) const {
    return atEnd() || isSpecial(cur(), '|') || (depth > 0 && isSpecial(cur(), ')'));
  }

  // A body: sequences of items separated by "|", up to the end of the pattern or, inside a
  // group, its ")". A sequence-only body stops before a "|".
  void stepBody() {
    Frame& f = frames_.back();
    if (f.phase == kBodyAfterGroup) {
      if (doneFlags_) f.flags = *doneFlags_;
      parseQuantifier();
      ++f.items;
      f.phase = kStart;
    }
    for (;;) {
      while (!endsSequence(f.depth)) {
        if (isSpecial(cur(), '(') && f.depth < kMaxNestingDepth) {
          f.phase = kBodyAfterGroup;
          pushGroup(FrameKind::Group, f.flags, f.depth);
          return;
        }
        parseAtom(f.flags);
        parseQuantifier();
        ++f.items;
      }
      // A sequence of one item is that item.
      if (f.items == 0) {
        emitEmpty(f.flags);
      } else if (f.items > 1) {
        emit(OpKind::Concat, f.flags).value = f.items;
      }
      f.items = 0;
      if (f.sequenceOnly) return finish(f.flags);
      // A body of one alternative (the common case) is that alternative.
      if (!isSpecial(cur(), '|') && f.branches == 0) return finish(f.flags);
      ++f.branches;
      if (!isSpecial(cur(), '|')) break;
      advance();
    }
    emit(OpKind::Alternate, f.flags).value = f.branches;
    finish(f.flags);
  }

  // Emits the quantifier that follows an item, if any.
  void parseQuantifier() {
    const Token& t = cur();
    if (!t.special || (t.value != '*' && t.value != '+' && t.value != '?' && t.value != '{')) return;
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
    SyntaxOp& op = emit(OpKind::Repeat, 0);
    op.value = min;
    op.extra = max;
    op.mode = static_cast<std::uint8_t>(RepeatMode::Greedy);
    // A repeat of at most zero takes no "?" or "+" after it: that stands for itself.
    if (max == 0) return;
    if (isSpecial(cur(), '?')) {
      advance();
      op.mode = static_cast<std::uint8_t>(RepeatMode::Lazy);
    } else if (isSpecial(cur(), '+')) {
      advance();
      op.mode = static_cast<std::uint8_t>(RepeatMode::Possessive);
    }
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

  static bool isClassEscape(int value) {
    return value == 'w' || value == 'W' || value == 's' || value == 'S' || value == 'd' || value == 'D';
  }

  // parseAtom reads one atom that is not a group; a "(" that reaches it is past the nesting cap
  // and stands for itself.
  void parseAtom(unsigned flags) {
    if (!cur().special) {
      // A run of literals is one atom, but a byte followed by a quantifier stands alone so the
      // quantifier applies to it only.
      SyntaxOp& op = emit(OpKind::Literal, flags);
      const std::size_t from = bytes_.size();
      while (!cur().special) {
        const Token& n = next();
        if (n.special && (n.value == '{' || n.value == '?' || n.value == '*' || n.value == '+')) {
          if (bytes_.size() == from) {
            bytes_.push_back(static_cast<char>(cur().value));
            advance();
          }
          break;
        }
        bytes_.push_back(static_cast<char>(cur().value));
        advance();
      }
      setText(op, from, bytes_.size());
      return;
    }
    const int v = cur().value;
    switch (v) {
      case '^': advance(); return anchor((flags & MultiLine) != 0 ? 3 : 0, true);
      case '$': advance(); return anchor((flags & MultiLine) != 0 ? 4 : 1, true);
      case 'A': advance(); return anchor(0, true);
      case 'z': advance(); return anchor(1, true);
      case 'Z': advance(); return anchor(2, true);
      case 'b': advance(); return anchor(7, true);
      case 'B': advance(); return anchor(7, false);
      case 'G':
        advance();
        // "\G" means something only under the Global flag.
        emit((flags & Global) != 0 ? OpKind::SearchStart : OpKind::Empty, flags);
        return;
      case '(': return literalByte('(', flags);
      case '.':
        advance();
        emit(OpKind::Any, flags);
        return;
      case '[': return parseClass(flags);
      case '\\': {
        advance();
        emit(OpKind::Backref, flags).value = readDigits();
        return;
      }
      case 'k':
      case 'g': return parseNamedBackref(v, flags);
      default:
        if (isClassEscape(v)) {
          advance();
          emit(OpKind::ClassEscape, flags).value = v;
          return;
        }
        // A quantifier with nothing before it, a stray ")" at the top level and the like.
        return literalByte(v, flags);
    }
  }

  void anchor(int type, bool positive) {
    SyntaxOp& op = emit(OpKind::Anchor, 0);
    op.value = type;
    op.positive = positive;
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

  // Reads a name up to its terminator into the byte store; returns where it starts there.
  std::size_t readName(int terminator) {
    const std::size_t from = bytes_.size();
    while (!atEnd() && !cur().special) {
      if (cur().value == terminator) {
        advance();
        break;
      }
      bytes_.push_back(static_cast<char>(cur().value));
      advance();
    }
    return from;
  }

  void skipToClose() {
    while (!atEnd() && !isSpecial(cur(), ')')) advance();
    if (isSpecial(cur(), ')')) advance();
  }

  void expectClose() {
    if (isSpecial(cur(), ')')) advance();
  }

  // readQuotedName: at "<" or "'", reads the name up to its closing mark into bytes_ from the
  // offset returned; `number` is the name's value when it is a number, else -1.
  std::size_t readQuotedName(std::int32_t& number) {
    const int terminator = cur().value == '<' ? '>' : '\'';
    advance();
    const std::size_t from = readName(terminator);
    number = numericName(bytes_.data() + from, bytes_.size() - from);
    return from;
  }

  void parseNamedBackref(int letter, unsigned flags) {
    advance();
    if (isLiteral(cur(), '<') || isLiteral(cur(), '\'')) {
      std::int32_t number = -1;
      const std::size_t from = readQuotedName(number);
      SyntaxOp& op = emit(OpKind::Backref, flags);
      op.value = number;
      if (number >= 0) {
        bytes_.resize(from);
      } else {
        // Even an empty name is looked up.
        setText(op, from, bytes_.size());
        namedBackrefs_.push_back(ops_.size() - 1);
      }
      return;
    }
    if (isLiteralDigit(cur())) {
      emit(OpKind::Backref, flags).value = readDigits();
      return;
    }
    // "\k" or "\g" with nothing that names a group: the letter itself.
    SyntaxOp& op = emit(OpKind::Literal, flags);
    op.text = bytes_.size();
    op.size = 1;
    bytes_.push_back(static_cast<char>(letter));
  }

  // ---- Classes --------------------------------------------------------------------------------
  void parseClass(unsigned flags) {
    if (isSpecial(next(), ':')) return parsePosix(flags);
    advance();  // "["
    const std::size_t header = ops_.size();
    emit(OpKind::Class, flags);
    if (isSpecial(cur(), '^')) {
      ops_[header].positive = false;
      advance();
    }
    std::int32_t members = 0;
    while (!atEnd()) {
      const Token& t = cur();
      if (isSpecial(t, ']')) {
        advance();
        break;
      }
      ++members;
      if (isSpecial(t, '[') && isSpecial(next(), ':')) {
        parsePosix(flags);
        continue;
      }
      if (t.special && isClassEscape(t.value)) {
        emit(OpKind::ClassEscape, flags).value = t.value;
        advance();
        continue;
      }
      if (isSpecial(t, '.')) {
        emit(OpKind::Any, flags);
        advance();
        continue;
      }
      const auto low = static_cast<signed char>(static_cast<unsigned char>(t.value));
      if (isSpecial(next(), '-') && !afterNext().special) {
        // Ranges keep the order written: a reversed range holds nothing.
        SyntaxOp& range = emit(OpKind::ClassRange, flags);
        range.value = low;
        range.extra = static_cast<signed char>(static_cast<unsigned char>(afterNext().value));
        advance();
        advance();
        advance();
        continue;
      }
      emit(OpKind::ClassSingle, flags).value = low;
      advance();
    }
    ops_[header].value = members;
  }

  // "[:name:]" or "[:^name:]", at the top level or inside a bracket class.
  void parsePosix(unsigned flags) {
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
    // Tried in PosixClass order; the first that begins the name wins.
    static constexpr std::array<const char*, 13> kPrefixes{
        "alnum:", "alpha:", "ascii:", "cntrl:", "digit:", "graph:", "lower:",
        "print:", "punct:", "space:", "upper:", "xdigit:", "blank:"};
    PosixClass which = PosixClass::None;
    for (std::size_t i = 0; i < kPrefixes.size(); ++i) {
      const std::size_t n = std::strlen(kPrefixes[i]);
      if (name.size() >= n && name.compare(0, n, kPrefixes[i]) == 0) {
        which = static_cast<PosixClass>(i);
        break;
      }
    }
    SyntaxOp& op = emit(OpKind::Posix, flags);
    op.value = static_cast<std::int32_t>(which);
    op.positive = include;
  }

  // ---- Groups ---------------------------------------------------------------------------------

  // Opens a capturing group; a plain one takes its number now, in the order groups open.
  void openCapture(Frame& f, std::int32_t number, bool named, std::size_t nameFrom, std::int32_t explicitNumber) {
    f.number = number;
    f.named = named;
    f.nameFrom = nameFrom;
    f.nameTo = bytes_.size();
    f.explicitNumber = explicitNumber;
    f.phase = kGroupAfterCapture;
  }

  void emitRecurse(std::int32_t number, std::size_t nameFrom, std::size_t nameTo) {
    SyntaxOp& op = emit(OpKind::Recurse, 0);
    op.value = number;
    setText(op, nameFrom, nameTo);
    if (nameTo > nameFrom) namedRecursions_.push_back(ops_.size() - 1);
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
        SyntaxOp& op = emit(OpKind::Capture, flags);
        op.value = f.number;
        op.extra = f.explicitNumber;
        op.named = f.named;
        setText(op, f.nameFrom, f.nameTo);
        // Named groups are numbered once all are known, in the order they close.
        if (f.named) namedGroups_.push_back(ops_.size() - 1);
        return finish();
      }
      case kGroupAfterPlain:
        expectClose();
        return finish();
      case kGroupAfterLookaround:
        expectClose();
        emit(OpKind::Lookaround, flags).positive = f.positive;
        return finish();
      case kGroupAfterAtomic:
        expectClose();
        emit(OpKind::Atomic, flags);
        return finish();
      case kGroupAfterConditional:
        return finish();
      default:
        emitEmpty(flags);
        return finish();
    }

    advance();  // "("
    if (!isSpecial(cur(), '?')) {
      openCapture(f, ++groupCounter_, false, bytes_.size(), -1);
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
      const std::size_t from = readName(terminator);
      const std::int32_t explicitNumber = numericName(bytes_.data() + from, bytes_.size() - from);
      openCapture(f, -1, true, from, explicitNumber);
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
      if (isLiteral(cur(), '<') || isLiteral(cur(), '\'')) {
        std::int32_t number = -1;
        const std::size_t from = readQuotedName(number);
        if (number >= 0) bytes_.resize(from);
        emitRecurse(number, from, bytes_.size());
      } else {
        while (isLiteral(cur(), ' ') || isLiteral(cur(), '\t')) advance();
        emitRecurse(readDigits(), 0, 0);
      }
      skipToClose();
      return finish();
    }
    if (isLiteralDigit(t)) {
      emitRecurse(readDigits(), 0, 0);
      skipToClose();
      return finish();
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
    emitEmpty(flags);
    finish(changed);
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
            emitEmpty(flags);
            f.condition = ConditionMode::Condition;
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
        f.condition = ConditionMode::Condition;
        break;
      case kConditionalAfterLookahead: {
        f.conditionTo = std::max(f.conditionFrom, std::min(cur().offset, length_));
        expectClose();
        emit(OpKind::Lookaround, flags).positive = true;
        f.condition = ConditionMode::Condition;
        break;
      }
      case kConditionalAfterYes:
        // Inline options in the yes branch reach the no branch.
        if (isSpecial(cur(), '|')) {
          advance();
          f.phase = kConditionalAfterNo;
          return pushBody(*doneFlags_, depth + 1, false);
        }
        return finishConditional(f, false);
      case kConditionalAfterNo:
        return finishConditional(f, true);
      default:
        break;
    }
    // The condition is known: the yes branch is one sequence.
    f.phase = kConditionalAfterYes;
    pushBody(flags, depth + 1, true);
  }

  void finishConditional(Frame& f, bool hasNo) {
    expectClose();
    SyntaxOp& op = emit(OpKind::Conditional, f.flags);
    op.value = f.group;
    op.mode = static_cast<std::uint8_t>(f.condition);
    op.positive = hasNo;
    if (f.group < 0 && f.conditionTo > f.conditionFrom) {
      namedConditions_.push_back({ops_.size() - 1, f.conditionFrom, f.conditionTo});
    }
    finish();
  }

  // ---- Resolution -----------------------------------------------------------------------------
  bool hasName(const SyntaxOp& op, const char* name, std::size_t size) const {
    return sameName(bytes_.data() + op.text, op.size, name, size);
  }

  // The number of the first group (in the order named groups close) with the name.
  std::int32_t lookup(const char* name, std::size_t size) const {
    for (std::size_t index : namedGroups_) {
      if (hasName(ops_[index], name, size)) return ops_[index].value;
    }
    return kUnknownGroup;
  }

  // Named groups are numbered after all plain ones, in the order they close; a numeric name is
  // that number and equal names share one. Then every name is looked up.
  void resolve() {
    std::int32_t nextNumber = groupCounter_ + 1;
    std::int32_t highest = groupCounter_;
    for (std::size_t i = 0; i < namedGroups_.size(); ++i) {
      SyntaxOp& g = ops_[namedGroups_[i]];
      std::int32_t number = g.extra;
      for (std::size_t j = 0; j < i && number < 0; ++j) {
        const SyntaxOp& earlier = ops_[namedGroups_[j]];
        if (hasName(earlier, bytes_.data() + g.text, g.size)) number = earlier.value;
      }
      if (number < 0) number = nextNumber++;
      g.value = number;
      highest = std::max(highest, number);
    }
    out_.highestGroup = highest;

    for (std::size_t index : namedRecursions_) {
      SyntaxOp& op = ops_[index];
      op.value = lookup(bytes_.data() + op.text, op.size);
    }
    for (std::size_t index : namedBackrefs_) {
      SyntaxOp& op = ops_[index];
      op.value = lookup(bytes_.data() + op.text, op.size);
    }
    for (const NamedCondition& c : namedConditions_) {
      const std::int32_t number =
          lookup(reinterpret_cast<const char*>(pattern_) + c.from, c.to - c.from);
      if (number >= 0) {
        ops_[c.op].value = number;
        ops_[c.op].mode = static_cast<std::uint8_t>(ConditionMode::ConditionLeftOut);
      }
    }
  }

  struct NamedCondition {
    std::size_t op;
    std::size_t from;  // the condition's bytes in the pattern
    std::size_t to;
  };

  ParsedPattern& out_;
  InlineStack<SyntaxOp, 32>& ops_;
  std::string& bytes_;
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
  // Ops whose group numbers wait for resolve, by index into ops_.
  std::vector<std::size_t> namedGroups_;
  std::vector<std::size_t> namedRecursions_;
  std::vector<std::size_t> namedBackrefs_;
  std::vector<NamedCondition> namedConditions_;
  FrameStack frames_;
  std::optional<unsigned> doneFlags_;
};

void parsePattern(const char* pattern, std::size_t length, unsigned flags, ParsedPattern& out) {
  out.ops.clear();
  out.bytes.clear();
  out.highestGroup = 0;
  // Most bytes of a long pattern make at most one op each: room for them at once saves the
  // copies of growing, up to a bound that keeps a long literal from reserving much.
  out.ops.reserve(std::min<std::size_t>(length + 1, 4096));
  PatternParser parser(pattern, length, flags, out);
  parser.run();
}

}  // namespace velmor::pattern
