// The pattern compiler: the parser (pattern/parse.cpp) reads the pattern into postfix
// operations, and the builder here replays them into the node tree of pattern/nodes.h with a
// heap stack of the values not yet combined, then points every recursion at its group.
#include <algorithm>
#include <array>

#include "pattern/nodes.h"
#include "pattern/parse.h"
#include "pattern/pattern.h"

namespace velmor::pattern {

struct RegexProgram::Storage {
  std::vector<std::unique_ptr<MatchNode>> nodes;
};

namespace {

using namespace ascii;

// The test of each POSIX class, in PosixClass order; None tests nothing (a null predicate).
PosixClassNode::Predicate posixPredicate(std::int32_t which) {
  static constexpr std::array<PosixClassNode::Predicate, 13> kPredicates{
      isAlnum, isAlpha, isAscii, isCntrl, isDigit, isGraph, isLower,
      isPrint, isPunct, isSpace, isUpper, isXDigit, isBlankOrTab};
  static_assert(kPredicates.size() == static_cast<std::size_t>(PosixClass::Blank) + 1);
  if (which < 0 || static_cast<std::size_t>(which) >= kPredicates.size()) return nullptr;
  return kPredicates[static_cast<std::size_t>(which)];
}

}  // namespace

class PatternCompiler {
 public:
  PatternCompiler(RegexProgram& program, const ParsedPattern& parsed) : program_(program), parsed_(parsed) {}

  const MatchNode* run() {
    const auto& ops = parsed_.ops;
    for (std::size_t i = 0; i < ops.size(); ++i) {
      const SyntaxOp& op = ops[i];
      switch (op.kind) {
        case OpKind::Class: {
          const auto members = static_cast<std::size_t>(op.value);
          values_.push_back(buildClass(op, &ops[i + 1], members));
          i += members;
          break;
        }
        case OpKind::Repeat: {
          const MatchNode*& top = values_.back();
          top = repeat(op, top);
          break;
        }
        case OpKind::Concat: {
          const std::size_t from = values_.size() - static_cast<std::size_t>(op.value);
          const MatchNode* node = create<SequenceNode>(takeFrom(from), (op.flags & RightToLeft) != 0);
          values_.push_back(node);
          break;
        }
        case OpKind::Alternate: {
          const std::size_t from = values_.size() - static_cast<std::size_t>(op.value);
          const MatchNode* node = create<AlternationNode>(takeFrom(from));
          values_.push_back(node);
          break;
        }
        case OpKind::Capture: {
          const MatchNode*& top = values_.back();
          top = capture(op, top);
          break;
        }
        case OpKind::Lookaround: {
          const MatchNode*& top = values_.back();
          top = create<LookaroundNode>(top, op.positive);
          break;
        }
        case OpKind::Atomic: {
          const MatchNode*& top = values_.back();
          top = create<AtomicGroupNode>(top);
          break;
        }
        case OpKind::Conditional: {
          const MatchNode* no = op.positive ? pop() : nullptr;
          const MatchNode* yes = pop();
          const auto mode = static_cast<ConditionMode>(op.mode);
          const MatchNode* condition = mode != ConditionMode::NoCondition ? pop() : nullptr;
          if (mode == ConditionMode::ConditionLeftOut) condition = nullptr;
          values_.push_back(create<ConditionalNode>(op.value, condition, yes, no));
          break;
        }
        default:
          values_.push_back(atom(op));
          break;
      }
    }
    const MatchNode* top = values_.back();
    link(top);
    return top;
  }

 private:
  template <typename T, typename... Args>
  T* create(Args&&... args) {
    auto node = std::make_unique<T>(std::forward<Args>(args)...);
    T* raw = node.get();
    program_.storage_->nodes.push_back(std::move(node));
    return raw;
  }

  const MatchNode* pop() {
    const MatchNode* node = values_.back();
    values_.pop_back();
    return node;
  }

  // Takes the values from `from` on, leaving the stack as it was before them.
  std::vector<const MatchNode*> takeFrom(std::size_t from) {
    std::vector<const MatchNode*> nodes(values_.begin() + from, values_.end());
    values_.shrink(from);
    return nodes;
  }

  std::string textOf(const SyntaxOp& op) const { return parsed_.textOf(op); }

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

  // The atoms: every op that pushes a value and reads no other.
  const MatchNode* atom(const SyntaxOp& op) {
    const bool rightToLeft = (op.flags & RightToLeft) != 0;
    const bool ignoreCase = (op.flags & IgnoreCase) != 0;
    switch (op.kind) {
      case OpKind::Literal: return create<LiteralNode>(textOf(op), rightToLeft, ignoreCase);
      case OpKind::Any: return stock(((op.flags & SingleLine) != 0 ? 1 : 2) + (rightToLeft ? 8 : 0));
      case OpKind::ClassEscape: return classEscape(op.value, op.flags);
      case OpKind::Posix: return create<PosixClassNode>(posixPredicate(op.value), rightToLeft, op.positive);
      case OpKind::Anchor: return create<AnchorNode>(op.value, op.positive);
      case OpKind::SearchStart: return create<SearchStartNode>();
      case OpKind::Backref: return create<BackrefNode>(op.value, rightToLeft, ignoreCase, textOf(op));
      case OpKind::Recurse: {
        RecurseNode* node = create<RecurseNode>(op.value, textOf(op));
        recursions_.push_back(node);
        return node;
      }
      default: return stock(0);
    }
  }

  // A repeat of `inner`: none at a maximum of 0, a fixed count when the bounds meet.
  const MatchNode* repeat(const SyntaxOp& op, const MatchNode* inner) {
    const std::int32_t min = op.value;
    const std::int32_t max = op.extra;
    if (max == 0) return stock(0);
    if (min == max) return create<FixedRepeatNode>(inner, min);
    switch (static_cast<RepeatMode>(op.mode)) {
      case RepeatMode::Lazy: return create<LazyRepeatNode>(inner, min, max - min);
      case RepeatMode::Possessive: return create<PossessiveRepeatNode>(inner, min, max - min);
      case RepeatMode::Greedy: break;
    }
    return create<GreedyRepeatNode>(inner, min, max - min);
  }

  // A capturing group is its body between an opening and a closing mark, in matching order.
  const MatchNode* capture(const SyntaxOp& op, const MatchNode* body) {
    const bool rightToLeft = (op.flags & RightToLeft) != 0;
    const std::string name = textOf(op);
    const MatchNode* open = create<GroupMarkNode>(op.value, false, name);
    const MatchNode* close = create<GroupMarkNode>(op.value, true, name);
    std::vector<const MatchNode*> children = rightToLeft ? std::vector<const MatchNode*>{close, body, open}
                                                         : std::vector<const MatchNode*>{open, body, close};
    const MatchNode* seq = create<SequenceNode>(std::move(children), rightToLeft);
    (op.named ? namedGroups_ : plainGroups_).emplace_back(op.value, seq);
    return seq;
  }

  const MatchNode* buildClass(const SyntaxOp& op, const SyntaxOp* members, std::size_t count) {
    auto* set = create<CharSetNode>((op.flags & RightToLeft) != 0, op.positive);
    // The members are all known before the node is filled: room for them at once.
    std::size_t ranges = 0;
    std::size_t singles = 0;
    for (std::size_t i = 0; i < count; ++i) {
      ranges += members[i].kind == OpKind::ClassRange ? 1 : 0;
      singles += members[i].kind == OpKind::ClassSingle ? 1 : 0;
    }
    set->reserve(ranges, singles, count - ranges - singles);
    for (std::size_t i = 0; i < count; ++i) {
      const SyntaxOp& m = members[i];
      switch (m.kind) {
        case OpKind::ClassRange:
          set->addRange(static_cast<signed char>(m.value), static_cast<signed char>(m.extra));
          break;
        case OpKind::ClassSingle: set->addSingle(static_cast<signed char>(m.value)); break;
        default: set->addNested(atom(m)); break;
      }
    }
    if ((op.flags & IgnoreCase) != 0) foldCase(*set);
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

  // Points every recursion at the group it names: 0 is the whole pattern; a number several
  // groups share means the first plain one, else the first named one to close.
  void link(const MatchNode* top) {
    program_.highestGroup_ = parsed_.highestGroup;
    for (RecurseNode* r : recursions_) {
      const std::int32_t number = r->group();
      if (number == 0) {
        r->setTarget(top);
      } else if (number > 0 && number <= parsed_.highestGroup) {
        for (const auto* table : {&plainGroups_, &namedGroups_}) {
          const auto entry = std::find_if(table->begin(), table->end(),
                                          [number](const auto& e) { return e.first == number; });
          if (entry != table->end()) {
            r->setTarget(entry->second);
            break;
          }
        }
      }
    }
  }

  RegexProgram& program_;
  const ParsedPattern& parsed_;
  InlineStack<const MatchNode*, 32> values_;  // built but not yet combined, innermost last
  std::array<const MatchNode*, 17> stock_{};
  // The capturing groups in the order they close, plain and named apart.
  std::vector<std::pair<std::int32_t, const MatchNode*>> plainGroups_;
  std::vector<std::pair<std::int32_t, const MatchNode*>> namedGroups_;
  std::vector<RecurseNode*> recursions_;
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
    ParsedPattern parsed;
    parsePattern(pattern, length, flags, parsed);
    PatternCompiler compiler(*this, parsed);
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
