// The backtracking matcher: every node's attempt and retry, the match state and whole-text
// matching.
//
// Each node keeps what it needs to resume on the state's backtrack stack, never in itself, so one
// compiled tree serves any number of matches. The nodes call each other directly; that call chain
// is as deep as the pattern's nesting (plus recursion), never as long as the text, because
// repetitions loop inside the repeat nodes. MatchState::enter bounds both the depth and the total
// work of one match.
#include <algorithm>
#include <array>
#include <new>

#include "pattern/pattern.h"

namespace velmor::pattern {
namespace {

unsigned char upper(unsigned char c) { return (c >= 'a' && c <= 'z') ? static_cast<unsigned char>(c - 32) : c; }

bool bytesEqual(const unsigned char* a, const unsigned char* b, std::int32_t n, bool ignoreCase) {
  if (!ignoreCase) return std::equal(a, a + n, b);
  for (std::int32_t i = 0; i < n; ++i) {
    if (a[i] != b[i] && upper(a[i]) != upper(b[i])) return false;
  }
  return true;
}

bool isWordByte(unsigned char c) {
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '_';
}

// Reads the byte a one-byte node tests: the one at the position, or before it when matching
// leftwards. Returns -1 outside the text.
int byteAt(const MatchState& s, bool rightToLeft) {
  if (rightToLeft) return s.position > 0 && s.position <= s.length ? s.text[s.position - 1] : -1;
  return s.position >= 0 && s.position < s.length ? s.text[s.position] : -1;
}

bool oneByteAttempt(MatchState& s, const ByteTable& table) {
  const int b = byteAt(s, table.rightToLeft);
  if (b < 0 || !table.accept[static_cast<std::size_t>(b)]) return false;
  s.position += table.rightToLeft ? -1 : 1;
  return true;
}

// Matches `count` bytes of a one-byte node in a row, or fails leaving the position alone.
bool runOfBytes(MatchState& s, const ByteTable& table, std::int32_t count) {
  if (count <= 0) return true;
  const std::int32_t room = table.rightToLeft ? s.position : s.length - s.position;
  if (room < count || !s.chargeSteps(static_cast<std::uint64_t>(count))) return false;
  if (table.rightToLeft) {
    for (std::int32_t i = 1; i <= count; ++i) {
      if (!table.accept[s.text[s.position - i]]) return false;
    }
    s.position -= count;
  } else {
    const unsigned char* p = s.text + s.position;
    for (std::int32_t i = 0; i < count; ++i) {
      if (!table.accept[p[i]]) return false;
    }
    s.position += count;
  }
  return true;
}

// Takes up to `most` further bytes of a one-byte node; returns how many it took.
std::int32_t longestRun(MatchState& s, const ByteTable& table, std::int32_t most) {
  const std::int32_t room = table.rightToLeft ? s.position : s.length - s.position;
  const std::int32_t limit = std::min(room, most);
  const bool* accept = table.accept.data();
  std::int32_t taken = 0;
  if (table.rightToLeft) {
    const unsigned char* p = s.text + s.position;
    const unsigned char* stop = p - limit;
    const unsigned char* q = p;
    while (q != stop && accept[q[-1]]) --q;
    taken = static_cast<std::int32_t>(p - q);
    s.position -= taken;
  } else {
    const unsigned char* p = s.text + s.position;
    const unsigned char* stop = p + limit;
    const unsigned char* q = p;
    // Four bytes per test while all four are members: one branch instead of four.
    while (stop - q >= 4 && (accept[q[0]] & accept[q[1]] & accept[q[2]] & accept[q[3]])) q += 4;
    while (q != stop && accept[*q]) ++q;
    taken = static_cast<std::int32_t>(q - p);
    s.position += taken;
  }
  if (!s.chargeSteps(static_cast<std::uint64_t>(taken))) return 0;
  return taken;
}

// A fixed number of copies of one node behaves like a sequence of that many copies: these run
// copies [index, count) forwards, backtracking into earlier copies when one fails.
bool repeatForward(MatchState& s, const MatchNode& inner, std::int32_t count, std::int32_t index) {
  while (index < count) {
    if (inner.attempt(s)) {
      ++index;
      continue;
    }
    for (;;) {
      if (index == 0 || s.aborted()) return false;
      --index;
      if (inner.retry(s)) {
        ++index;
        break;
      }
    }
  }
  return true;
}

bool repeatAttempt(MatchState& s, const MatchNode& inner, std::int32_t count) {
  if (const ByteTable* table = inner.byteTable()) return runOfBytes(s, *table, count);
  return repeatForward(s, inner, count, 0);
}

bool repeatRetry(MatchState& s, const MatchNode& inner, std::int32_t count) {
  if (count <= 0) return false;
  if (const ByteTable* table = inner.byteTable()) {
    // No copy of a one-byte node has a second way: all of them are given back at once.
    s.position += table->rightToLeft ? count : -count;
    return false;
  }
  std::int32_t index = count;
  for (;;) {
    if (index == 0 || s.aborted()) return false;
    --index;
    if (inner.retry(s)) return repeatForward(s, inner, count, index + 1);
  }
}

}  // namespace

// ---- MatchState -------------------------------------------------------------------------------

bool MatchState::push(std::int32_t value) {
  if (backtrack.size() >= kMaxStackEntries) {
    abort();
    return false;
  }
  backtrack.push_back(value);
  return true;
}

std::int32_t MatchState::pop() {
  if (backtrack.empty()) return 0;
  const std::int32_t v = backtrack.back();
  backtrack.pop_back();
  return v;
}

bool MatchState::pushCapture(std::int32_t group, std::int32_t start, std::int32_t end,
                             std::int32_t order) {
  if (captures.size() + 4 > kMaxStackEntries) {
    abort();
    return false;
  }
  captures.insert(captures.end(), {group, start, end, order});
  return true;
}

std::int32_t MatchState::findRecord(std::int32_t group) const {
  if (group < 0 || static_cast<std::size_t>(group) >= captureIndex.size()) return -1;
  std::int64_t offset = captureIndex[static_cast<std::size_t>(group)];
  if (offset < 0) return -1;
  // After an atomic group or an assertion gave back its captures the entry may point past the
  // stack or at someone else's record: the group's latest record is then further down.
  const std::int64_t last = static_cast<std::int64_t>(captures.size()) - 4;
  if (offset > last) offset = last;
  offset -= offset % 4;
  for (; offset >= 0; offset -= 4) {
    if (captures[static_cast<std::size_t>(offset)] == group) return static_cast<std::int32_t>(offset);
  }
  return -1;
}

void MatchState::truncateCaptures(std::int32_t size) {
  if (size >= 0 && static_cast<std::size_t>(size) < captures.size()) {
    captures.resize(static_cast<std::size_t>(size));
  }
}

void MatchState::truncateBacktrack(std::size_t size) {
  if (size < backtrack.size()) backtrack.resize(size);
}

bool MatchState::restorePosition(std::int32_t value) {
  if (value < 0 || value > length) {
    abort();
    return false;
  }
  position = value;
  return true;
}

bool MatchState::enter() {
  if (limitExceeded_) return false;
  if (++steps_ > stepLimit_ || depth_ >= kMaxMatchDepth) {
    abort();
    return false;
  }
  ++depth_;
  return true;
}

bool MatchState::chargeSteps(std::uint64_t count) {
  steps_ += count;
  if (steps_ > stepLimit_) {
    abort();
    return false;
  }
  return true;
}

void MatchState::reset(const unsigned char* newText, std::int32_t newLength, bool rightToLeft) {
  backtrack.clear();
  captures.clear();
  captureIndex.clear();
  closeCounter = 0;
  lastStartPosition = -1;
  text = newText;
  length = newLength;
  startPosition = rightToLeft ? newLength : 0;
  position = startPosition;
  steps_ = 0;
  depth_ = 0;
  limitExceeded_ = false;
}

// ---- MatchNode --------------------------------------------------------------------------------

bool MatchNode::attempt(MatchState& state) const {
  if (!state.enter()) return false;
  const bool matched = attemptImpl(state);
  state.leave();
  return matched && !state.aborted();
}

bool MatchNode::retry(MatchState& state) const {
  if (!state.enter()) return false;
  const bool matched = retryImpl(state);
  state.leave();
  return matched && !state.aborted();
}

bool EmptyNode::attemptImpl(MatchState&) const { return true; }
bool EmptyNode::retryImpl(MatchState&) const { return false; }

// ---- SequenceNode -----------------------------------------------------------------------------

const MatchNode* SequenceNode::child(std::size_t index) const {
  return rightToLeft_ ? children_[children_.size() - 1 - index] : children_[index];
}

bool SequenceNode::forward(MatchState& s, std::size_t index) const {
  while (index < children_.size()) {
    if (child(index)->attempt(s)) {
      ++index;
      continue;
    }
    for (;;) {
      if (index == 0 || s.aborted()) return false;
      --index;
      if (child(index)->retry(s)) {
        ++index;
        break;
      }
    }
  }
  return true;
}

bool SequenceNode::attemptImpl(MatchState& s) const { return forward(s, 0); }

bool SequenceNode::retryImpl(MatchState& s) const {
  std::size_t index = children_.size();
  for (;;) {
    if (index == 0 || s.aborted()) return false;
    --index;
    if (child(index)->retry(s)) return forward(s, index + 1);
  }
}

// ---- AlternationNode --------------------------------------------------------------------------

bool AlternationNode::firstFrom(MatchState& s, std::size_t index) const {
  for (; index < branches_.size(); ++index) {
    if (branches_[index]->attempt(s)) return s.push(static_cast<std::int32_t>(index));
    if (s.aborted()) return false;
  }
  return false;
}

bool AlternationNode::attemptImpl(MatchState& s) const {
  if (branches_.empty()) return true;
  return firstFrom(s, 0);
}

bool AlternationNode::retryImpl(MatchState& s) const {
  if (branches_.empty()) return false;
  const std::int32_t popped = s.pop();
  const std::size_t index = popped >= 0 ? static_cast<std::size_t>(popped) : 0;
  if (index >= branches_.size()) return false;
  if (branches_[index]->retry(s)) return s.push(static_cast<std::int32_t>(index));
  return firstFrom(s, index + 1);
}

// ---- One-byte nodes ---------------------------------------------------------------------------

bool CharSetNode::contains(signed char byte) const {
  bool hit = false;
  for (const Range& r : ranges_) {
    if (r.low <= byte && byte <= r.high) {
      hit = true;
      break;
    }
  }
  if (!hit) hit = std::find(singles_.begin(), singles_.end(), byte) != singles_.end();
  if (!hit) {
    const auto value = static_cast<std::size_t>(static_cast<unsigned char>(byte));
    for (const MatchNode* n : nested_) {
      const ByteTable* t = n->byteTable();
      if (t != nullptr && t->accept[value]) {
        hit = true;
        break;
      }
    }
  }
  return include_ ? hit : !hit;
}

void CharSetNode::finish() {
  // Built from the members directly rather than by asking contains() 256 times: the table is
  // made on every compile, and the validation compiles once per use.
  std::array<bool, 256> hit{};
  auto index = [](int signedByte) { return static_cast<std::size_t>(static_cast<unsigned char>(signedByte)); };
  for (const Range& r : ranges_) {
    for (int b = r.low; b <= r.high; ++b) hit[index(b)] = true;
  }
  for (signed char c : singles_) hit[index(c)] = true;
  for (const MatchNode* n : nested_) {
    if (const ByteTable* t = n->byteTable()) {
      for (std::size_t b = 0; b < 256; ++b) hit[b] = hit[b] || t->accept[b];
    }
  }
  for (std::size_t b = 0; b < 256; ++b) table_.accept[b] = hit[b] == include_;
  table_.rightToLeft = rightToLeft_;
}

bool CharSetNode::attemptImpl(MatchState& s) const { return oneByteAttempt(s, table_); }

bool CharSetNode::retryImpl(MatchState& s) const {
  s.position += rightToLeft_ ? 1 : -1;
  return false;
}

PosixClassNode::PosixClassNode(Predicate test, bool rightToLeft, bool include)
    : predicate_(test), include_(include) {
  table_.rightToLeft = rightToLeft;
  for (std::size_t b = 0; b < 256; ++b) {
    // Without a predicate (an unknown class name) the node never matches, negated or not.
    table_.accept[b] = test != nullptr && test(static_cast<unsigned char>(b)) == include;
  }
}

bool PosixClassNode::attemptImpl(MatchState& s) const { return oneByteAttempt(s, table_); }

bool PosixClassNode::retryImpl(MatchState& s) const {
  s.position += table_.rightToLeft ? 1 : -1;
  return false;
}

LiteralNode::LiteralNode(std::string bytes, bool rightToLeft, bool ignoreCase)
    : bytes_(std::move(bytes)), rightToLeft_(rightToLeft), ignoreCase_(ignoreCase) {
  table_.rightToLeft = rightToLeft;
  if (bytes_.size() == 1) {
    const auto c = static_cast<unsigned char>(bytes_[0]);
    for (std::size_t b = 0; b < 256; ++b) {
      const auto v = static_cast<unsigned char>(b);
      table_.accept[b] = v == c || (ignoreCase && upper(v) == upper(c));
    }
  }
}

bool LiteralNode::attemptImpl(MatchState& s) const {
  const auto n = static_cast<std::int32_t>(bytes_.size());
  const auto* mine = reinterpret_cast<const unsigned char*>(bytes_.data());
  if (rightToLeft_) {
    if (s.position < n || !bytesEqual(s.text + s.position - n, mine, n, ignoreCase_)) return false;
    s.position -= n;
  } else {
    if (s.length - s.position < n || !bytesEqual(s.text + s.position, mine, n, ignoreCase_)) return false;
    s.position += n;
  }
  return true;
}

bool LiteralNode::retryImpl(MatchState& s) const {
  const auto n = static_cast<std::int32_t>(bytes_.size());
  s.position += rightToLeft_ ? n : -n;
  return false;
}

// ---- Repeats ----------------------------------------------------------------------------------

bool FixedRepeatNode::attemptImpl(MatchState& s) const { return repeatAttempt(s, *inner_, count_); }
bool FixedRepeatNode::retryImpl(MatchState& s) const { return repeatRetry(s, *inner_, count_); }

// The greedy repeat's backtrack entries: those of the minimum part, then for each further
// repetition its own entries and the position it started from, then the count j of further
// repetitions on top. Over a one-byte node (the common case, and the validation patterns) a
// repetition has no entries and no second way, so only j is kept and the run is scanned in a
// tight loop.
std::int32_t GreedyRepeatNode::extend(MatchState& s, std::int32_t taken) const {
  if (const ByteTable* table = inner_->byteTable()) return taken + longestRun(s, *table, extra_ - taken);
  while (taken < extra_) {
    const std::int32_t from = s.position;
    if (!inner_->attempt(s)) break;
    // A repetition that consumes nothing would repeat forever: ask the inner node for a way
    // that moves, and stop when it has none.
    bool moved = s.position != from;
    while (!moved && inner_->retry(s)) moved = s.position != from;
    if (!moved || !s.push(from)) break;
    ++taken;
  }
  return taken;
}

bool GreedyRepeatNode::attemptGreedy(MatchState& s) const {
  if (!repeatAttempt(s, *inner_, min_)) return false;
  const std::int32_t taken = extend(s, 0);
  return s.push(taken) && !s.aborted();
}

bool GreedyRepeatNode::attemptImpl(MatchState& s) const { return attemptGreedy(s); }

bool GreedyRepeatNode::retryImpl(MatchState& s) const {
  std::int32_t taken = s.pop();
  if (taken > 0) {
    if (const ByteTable* table = inner_->byteTable()) {
      s.position += table->rightToLeft ? 1 : -1;
      return s.push(taken - 1);
    }
    const std::int32_t from = s.pop();
    for (;;) {
      if (!inner_->retry(s)) return !s.aborted() && s.push(taken - 1);  // the repetition is given back
      if (s.position != from) break;
    }
    // The newest repetition found another way: being greedy, try to add more after it.
    if (!s.push(from)) return false;
    taken = extend(s, taken);
    return s.push(taken) && !s.aborted();
  }
  if (!repeatRetry(s, *inner_, min_)) return false;
  taken = extend(s, 0);
  return s.push(taken) && !s.aborted();
}

// The lazy repeat's entries: the minimum part's, then per further repetition its own entries and
// its start position, then the count on top.
bool LazyRepeatNode::attemptImpl(MatchState& s) const {
  if (!repeatAttempt(s, *inner_, min_)) return false;
  return s.push(0);
}

bool LazyRepeatNode::retryImpl(MatchState& s) const {
  std::int32_t taken = s.pop();
  if (taken < extra_) {
    const std::int32_t from = s.position;
    if (inner_->attempt(s)) {
      bool moved = s.position != from;
      while (!moved && inner_->retry(s)) moved = s.position != from;
      if (moved) return s.push(from) && s.push(taken + 1);
    }
  }
  // No further repetition: look for another way through the newest one, then older ones.
  while (taken > 0 && !s.aborted()) {
    const std::int32_t from = s.pop();
    while (inner_->retry(s)) {
      if (s.position != from) return s.push(from) && s.push(taken);
    }
    --taken;
  }
  if (s.aborted() || !repeatRetry(s, *inner_, min_)) return false;
  return s.push(0);
}

bool PossessiveRepeatNode::attemptImpl(MatchState& s) const {
  const std::int32_t from = s.position;
  const auto captureSize = static_cast<std::int32_t>(s.captures.size());
  const std::size_t backtrackSize = s.backtrack.size();
  if (!greedy_.attemptGreedy(s)) return false;
  s.truncateBacktrack(backtrackSize);
  return s.push(from) && s.push(captureSize);
}

bool PossessiveRepeatNode::retryImpl(MatchState& s) const {
  const std::int32_t captureSize = s.pop();
  s.restorePosition(s.pop());
  s.truncateCaptures(captureSize);
  return false;
}

// ---- Groups and references --------------------------------------------------------------------

bool GroupMarkNode::attemptImpl(MatchState& s) const {
  if (group_ < 0) return true;
  const auto g = static_cast<std::size_t>(group_);
  if (s.captureIndex.size() <= g) s.captureIndex.resize(g + 1, -1);
  const std::int32_t record = s.findRecord(group_);
  if (!closing_) {
    if (record >= 0 && s.captures[static_cast<std::size_t>(record) + 2] == -1) {
      // Re-entered through recursion while still open: count the level, keep the outer record.
      --s.captures[static_cast<std::size_t>(record) + 3];
      return true;
    }
    s.captureIndex[g] = static_cast<std::int32_t>(s.captures.size());
    return s.pushCapture(group_, s.position, -1, 0);
  }
  if (record < 0) return true;
  const auto r = static_cast<std::size_t>(record);
  if (s.captures[r + 3] < 0) {
    ++s.captures[r + 3];
  } else {
    s.captures[r + 2] = s.position;
    s.captures[r + 3] = s.closeCounter++;
  }
  return true;
}

bool GroupMarkNode::retryImpl(MatchState& s) const {
  const std::int32_t record = s.findRecord(group_);
  if (record < 0) return false;
  const auto r = static_cast<std::size_t>(record);
  if (!closing_) {
    if (s.captures[r + 3] < 0) {
      ++s.captures[r + 3];
      return false;
    }
    s.truncateCaptures(record);
    // Point the group back at its previous record, if it has one.
    std::int32_t previous = -1;
    for (std::int32_t o = record - 4; o >= 0; o -= 4) {
      if (s.captures[static_cast<std::size_t>(o)] == group_) {
        previous = o;
        break;
      }
    }
    s.captureIndex[static_cast<std::size_t>(group_)] = previous;
    return false;
  }
  if (s.captures[r + 2] == -1) {
    --s.captures[r + 3];
  } else {
    s.captures[r + 2] = -1;
    s.captures[r + 3] = 0;
  }
  return false;
}

bool BackrefNode::attemptImpl(MatchState& s) const {
  const std::int32_t record = s.findRecord(group_);
  if (record < 0) return false;
  const auto r = static_cast<std::size_t>(record);
  std::int32_t a = s.captures[r + 1];
  std::int32_t b = s.captures[r + 2];
  if (b == -1) b = s.position;  // still open: the span so far
  if (a > b) std::swap(a, b);
  const std::int32_t n = b - a;
  const unsigned char* captured = s.text + a;
  if (rightToLeft_) {
    if (s.position < n || !bytesEqual(s.text + s.position - n, captured, n, ignoreCase_)) return false;
  } else {
    if (s.length - s.position < n || !bytesEqual(s.text + s.position, captured, n, ignoreCase_)) return false;
  }
  if (!s.push(s.position)) return false;
  s.position += rightToLeft_ ? -n : n;
  return true;
}

bool BackrefNode::retryImpl(MatchState& s) const {
  s.restorePosition(s.pop());
  return false;
}

// ---- Assertions and atomic constructs ---------------------------------------------------------

bool LookaroundNode::attemptImpl(MatchState& s) const {
  const auto captureSize = static_cast<std::int32_t>(s.captures.size());
  const std::int32_t from = s.position;
  const std::size_t backtrackSize = s.backtrack.size();
  bool holds = inner_->attempt(s);
  if (s.aborted()) return false;
  if (!positive_) holds = !holds;
  s.truncateBacktrack(backtrackSize);
  s.position = from;
  if (!holds) {
    s.truncateCaptures(captureSize);
    return false;
  }
  return s.push(captureSize);  // captures made inside a positive assertion stay visible
}

bool LookaroundNode::retryImpl(MatchState& s) const {
  s.truncateCaptures(s.pop());
  return false;
}

bool AtomicGroupNode::attemptImpl(MatchState& s) const {
  const auto captureSize = static_cast<std::int32_t>(s.captures.size());
  const std::int32_t from = s.position;
  const std::size_t backtrackSize = s.backtrack.size();
  if (!inner_->attempt(s)) return false;
  s.truncateBacktrack(backtrackSize);
  return s.push(from) && s.push(captureSize);
}

bool AtomicGroupNode::retryImpl(MatchState& s) const {
  const std::int32_t captureSize = s.pop();
  s.restorePosition(s.pop());
  s.truncateCaptures(captureSize);
  return false;
}

bool ConditionalNode::attemptImpl(MatchState& s) const {
  const auto captureSize = static_cast<std::int32_t>(s.captures.size());
  const std::int32_t from = s.position;
  bool chooseYes = true;
  if (group_ >= 0) {
    chooseYes = s.findRecord(group_) >= 0;
  } else if (condition_ != nullptr) {
    const std::size_t backtrackSize = s.backtrack.size();
    chooseYes = condition_->attempt(s);
    if (s.aborted()) return false;
    s.truncateBacktrack(backtrackSize);
    s.position = from;
    if (!chooseYes) s.truncateCaptures(captureSize);
  }
  const MatchNode* branch = chooseYes ? yes_ : no_;
  if (branch != nullptr && !branch->attempt(s)) {
    s.truncateCaptures(captureSize);
    s.position = from;
    return false;
  }
  return s.push(captureSize) && s.push(chooseYes ? 1 : 0);
}

bool ConditionalNode::retryImpl(MatchState& s) const {
  const bool choseYes = s.pop() != 0;
  const std::int32_t captureSize = s.pop();
  const MatchNode* branch = choseYes ? yes_ : no_;
  if (branch == nullptr || !branch->retry(s)) {
    s.truncateCaptures(captureSize);
    return false;
  }
  return s.push(captureSize) && s.push(choseYes ? 1 : 0);
}

bool RecurseNode::attemptImpl(MatchState& s) const { return target_ == nullptr || target_->attempt(s); }
bool RecurseNode::retryImpl(MatchState& s) const { return target_ != nullptr && target_->retry(s); }

bool AnchorNode::attemptImpl(MatchState& s) const {
  const std::int32_t p = s.position;
  const std::int32_t len = s.length;
  const int prev = p > 0 && p <= len ? s.text[p - 1] : -1;
  const int next = p >= 0 && p < len ? s.text[p] : -1;
  bool holds = false;
  switch (type_) {
    case 0: holds = p == 0; break;
    case 1: holds = p >= len; break;
    case 2:
      holds = p >= len || (p == len - 1 && next == '\n') ||
              (p == len - 2 && next == '\r' && s.text[p + 1] == '\n');
      break;
    case 3: holds = p == 0 || prev == '\n' || (prev == '\r' && next != '\n'); break;
    case 4: holds = p >= len || next == '\r' || (next == '\n' && prev != '\r'); break;
    case 5:
      holds = next >= 0 && isWordByte(static_cast<unsigned char>(next)) &&
              !(prev >= 0 && isWordByte(static_cast<unsigned char>(prev)));
      break;
    case 6:
      holds = prev >= 0 && isWordByte(static_cast<unsigned char>(prev)) &&
              !(next >= 0 && isWordByte(static_cast<unsigned char>(next)));
      break;
    case 7: {
      const bool before = prev >= 0 && isWordByte(static_cast<unsigned char>(prev));
      const bool after = next >= 0 && isWordByte(static_cast<unsigned char>(next));
      holds = before != after;
      break;
    }
    default: holds = false; break;
  }
  return holds == positive_;
}

bool AnchorNode::retryImpl(MatchState&) const { return false; }

bool SearchStartNode::attemptImpl(MatchState& s) const { return s.position == s.startPosition; }
bool SearchStartNode::retryImpl(MatchState&) const { return false; }

// ---- Outcome and whole-text matching ----------------------------------------------------------

std::int32_t MatchOutcome::at(std::int32_t i, int which) const {
  if (i < 0 || i > highestGroup()) return -1;
  return data_[2 + static_cast<std::size_t>(i) * 2 + static_cast<std::size_t>(which)];
}

MatchOutcome RegexProgram::matchWhole(const char* text) const noexcept {
  std::size_t length = 0;
  if (text != nullptr) {
    while (text[length] != '\0') ++length;
  }
  return matchWhole(text, length, nullptr);
}

MatchOutcome RegexProgram::matchWhole(const char* text, std::size_t length, MatchState* callerState) const
    noexcept {
  MatchOutcome outcome;
  if (top_ == nullptr) return outcome;
  if (length > kMaxTextLength) {
    outcome.limitExceeded_ = true;
    return outcome;
  }
  try {
    MatchState ownState;
    MatchState& s = callerState != nullptr ? *callerState : ownState;
    const bool rightToLeft = (flags_ & RightToLeft) != 0;
    static const unsigned char kNoText = 0;
    const auto* bytes = text != nullptr ? reinterpret_cast<const unsigned char*>(text) : &kNoText;
    s.reset(bytes, text != nullptr ? static_cast<std::int32_t>(length) : 0, rightToLeft);
    const std::int32_t end = rightToLeft ? 0 : s.length;

    s.captureIndex.assign(static_cast<std::size_t>(highestGroup_) + 1, -1);
    s.captureIndex[0] = 0;
    s.pushCapture(0, s.startPosition, -1, -1);

    bool matched = top_->attempt(s);
    // A top node that is one greedy run of a one-byte class ends as far as it can go on its
    // first attempt; giving bytes back can only move away from the end, so the first answer is
    // the final one. This keeps a failing validation linear with no per-byte backtracking.
    bool decided = false;
    if (const auto* greedy = dynamic_cast<const GreedyRepeatNode*>(top_)) {
      decided = greedy->inner()->byteTable() != nullptr;
    }
    // Backtrack until some way of matching ends exactly at the end of the text. Every retry
    // moves to a new point of a finite search, and the step budget bounds the whole search.
    while (matched && s.position != end) {
      if (decided) {
        matched = false;
        break;
      }
      matched = top_->retry(s);
    }
    outcome.limitExceeded_ = s.limitExceeded();
    if (!matched || s.limitExceeded()) return outcome;

    if (s.captures.size() < 4) return outcome;  // group 0's record is always at the bottom
    s.captures[2] = end;
    std::vector<std::int32_t> data;
    data.reserve(2 + (static_cast<std::size_t>(highestGroup_) + 1) * 2);
    data.push_back(1);
    data.push_back(highestGroup_);
    for (std::int32_t g = 0; g <= highestGroup_; ++g) {
      const std::int32_t record = s.findRecord(g);
      std::int32_t a = -1;
      std::int32_t b = -1;
      if (record >= 0) {
        a = s.captures[static_cast<std::size_t>(record) + 1];
        b = s.captures[static_cast<std::size_t>(record) + 2];
        if (b == -1) a = -1;  // a record still open at the end did not finish a capture
        if (a > b) std::swap(a, b);
      }
      data.push_back(a);
      data.push_back(b);
    }
    outcome.data_ = std::move(data);
  } catch (...) {
    // Only allocation can fail here; a match that cannot get memory is not a match.
    outcome = MatchOutcome();
    outcome.limitExceeded_ = true;
  }
  return outcome;
}

MatchOutcome matchWhole(const RegexProgram& program, const char* text, std::size_t length) noexcept {
  return program.matchWhole(text, length, nullptr);
}

MatchOutcome matchWhole(const RegexProgram& program, std::string_view text) noexcept {
  return program.matchWhole(text.data(), text.size(), nullptr);
}

}  // namespace velmor::pattern
