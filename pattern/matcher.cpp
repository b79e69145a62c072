// The backtracking matcher: every node's attempt and retry, the match state and whole-text
// matching.
//
// Each node keeps what it needs to resume on the state's backtrack stack, never in itself, so one
// compiled tree serves any number of matches. Nodes do not call each other: a node that needs
// another node's attempt or retry returns a step asking for it, and one loop (MatchNode::run)
// runs the callee and resumes the caller with the result, keeping the callers that wait on the
// state's frame stack. The chain of waiting callers is as deep as the pattern's nesting (plus
// recursion), never as long as the text, because repetitions loop inside the repeat nodes; it
// costs heap, and the machine stack a match needs is the same for every pattern and text.
// MatchWork::enter bounds both the depth and the total work of one match.
#include <algorithm>
#include <array>
#include <new>
#include <optional>

#include "pattern/nodes.h"
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
int byteAt(const MatchWork& s, bool rightToLeft) {
  if (rightToLeft) return s.position > 0 && s.position <= s.length ? s.text[s.position - 1] : -1;
  return s.position >= 0 && s.position < s.length ? s.text[s.position] : -1;
}

bool oneByteAttempt(MatchWork& s, const ByteTable& table) {
  const int b = byteAt(s, table.rightToLeft);
  if (b < 0 || !table.accept[static_cast<std::size_t>(b)]) return false;
  s.position += table.rightToLeft ? -1 : 1;
  return true;
}

// Matches `count` bytes of a one-byte node in a row, or fails leaving the position alone.
bool runOfBytes(MatchWork& s, const ByteTable& table, std::int32_t count) {
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
std::int32_t longestRun(MatchWork& s, const ByteTable& table, std::int32_t most) {
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

// Where every node resumes first: its attempt or its retry. A node's own points of return, after
// a call it asked for, are numbered from kResumed on.
constexpr std::int32_t kAttempt = 0;
constexpr std::int32_t kRetry = 1;
constexpr std::int32_t kResumed = 2;

MatchStep done(bool result) { return MatchStep{nullptr, false, true, result}; }

// call asks for `callee`'s attempt (or retry) and makes the frame resume at `phase`.
MatchStep call(MatchFrame& f, std::int32_t phase, const MatchNode* callee, bool retry) {
  f.phase = phase;
  return MatchStep{callee, retry, true, false};
}

// A run of children c(0)..c(count-1) matched one after another, as a sequence and a repeat of a
// fixed count do: forwards, the next child is attempted; backwards (after a failure), earlier
// children are retried until one finds another way, and the run goes forwards again after it.
// `index` (a frame slot) is the child in question. runStep returns the call to make, resuming
// at `phase`, or nothing when the run is over, with its outcome in `ok`.
template <typename Child>
std::optional<MatchStep> runStep(MatchWork& s, MatchFrame& f, std::int64_t& index, std::int64_t count,
                                 const Child& child, bool forward, std::int32_t phase, bool& ok) {
  if (forward) {
    if (index < count) return call(f, phase, child(index), false);
    ok = true;
    return std::nullopt;
  }
  if (index == 0 || s.aborted()) {
    ok = false;
    return std::nullopt;
  }
  --index;
  return call(f, phase, child(index), true);
}

}  // namespace

// ---- MatchState -------------------------------------------------------------------------------

MatchState::MatchState() : work_(std::make_unique<MatchWork>()) {}
MatchState::~MatchState() = default;
void MatchState::setStepLimit(std::uint64_t limit) { work_->setStepLimit(limit); }
std::uint64_t MatchState::steps() const { return work_->steps(); }
bool MatchState::limitExceeded() const { return work_->limitExceeded(); }

// ---- MatchWork --------------------------------------------------------------------------------

bool MatchWork::push(std::int32_t value) {
  if (backtrack.size() >= kMaxStackEntries) {
    abort();
    return false;
  }
  backtrack.push_back(value);
  return true;
}

std::int32_t MatchWork::pop() {
  if (backtrack.empty()) return 0;
  const std::int32_t v = backtrack.back();
  backtrack.pop_back();
  return v;
}

bool MatchWork::pushCapture(std::int32_t group, std::int32_t start, std::int32_t end,
                             std::int32_t order) {
  if (captures.size() + 4 > kMaxStackEntries) {
    abort();
    return false;
  }
  captures.insert(captures.end(), {group, start, end, order});
  return true;
}

std::int32_t MatchWork::findRecord(std::int32_t group) const {
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

void MatchWork::truncateCaptures(std::int32_t size) {
  if (size >= 0 && static_cast<std::size_t>(size) < captures.size()) {
    captures.resize(static_cast<std::size_t>(size));
  }
}

void MatchWork::truncateBacktrack(std::size_t size) {
  if (size < backtrack.size()) backtrack.resize(size);
}

bool MatchWork::restorePosition(std::int32_t value) {
  if (value < 0 || value > length) {
    abort();
    return false;
  }
  position = value;
  return true;
}

bool MatchWork::enter() {
  if (limitExceeded_) return false;
  if (++steps_ > stepLimit_ || depth_ >= kMaxMatchDepth) {
    abort();
    return false;
  }
  ++depth_;
  return true;
}

bool MatchWork::chargeSteps(std::uint64_t count) {
  steps_ += count;
  if (steps_ > stepLimit_) {
    abort();
    return false;
  }
  return true;
}

void MatchWork::reset(const unsigned char* newText, std::int32_t newLength, bool rightToLeft) {
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

// ---- MatchNode and the engine's loop ----------------------------------------------------------

bool MatchNode::attempt(MatchWork& state) const { return run(state, this, false); }
bool MatchNode::retry(MatchWork& state) const { return run(state, this, true); }

namespace {

// A call of a one-byte node, made through its table: what its attempt or retry would do.
bool oneByteCall(MatchWork& s, const MatchStep& step, const ByteTable& table) {
  if (step.counted && !s.enter()) return false;
  bool matched = false;
  if (!step.retry) {
    matched = oneByteAttempt(s, table);
  } else {
    s.position += table.rightToLeft ? 1 : -1;
  }
  if (step.counted) s.leave();
  return matched && !s.aborted();
}

}  // namespace

// resumeFrame returns the frame's next step that is not a call of a one-byte node.
inline MatchStep MatchNode::resumeFrame(MatchWork& s, MatchFrame& f, bool result) {
  MatchStep step = f.node->resume(s, f, result);
  while (step.callee != nullptr) {
    const ByteTable* table = step.callee->byteTable();
    if (table == nullptr) break;
    step = f.node->resume(s, f, oneByteCall(s, step, *table));
  }
  return step;
}

// A node whose calls end at once (one-byte nodes are served through their tables, and marks,
// literals and anchors call nothing) runs in a frame on the machine stack: the validation
// patterns and most repetitions never store a frame. Only a node waiting for a call that itself
// calls keeps its frame in the state's storage. The loop is never entered from inside itself
// (nodes do not call attempt or retry), so the frames in use are always the first `top` of the
// storage, which only grows.
bool MatchNode::run(MatchWork& s, const MatchNode* node, bool retry) {
  if (!s.enter()) return false;
  MatchFrame first{node, retry ? kRetry : kAttempt, true, {}};
  MatchStep step = resumeFrame(s, first, false);
  if (step.callee == nullptr) {
    s.leave();
    return step.result && !s.aborted();
  }
  std::vector<MatchFrame>& frames = s.frames;
  const auto slot = [&frames](std::size_t index) -> MatchFrame& {
    if (index >= frames.size()) frames.resize(std::max<std::size_t>(32, frames.size() * 2));
    return frames[index];
  };
  std::size_t top = 0;
  slot(top++) = first;
  for (;;) {
    // The innermost frame asked for `step`. A call refused at a limit fails at once, as the
    // callee would have.
    bool result = false;
    if (!step.counted || s.enter()) {
      MatchFrame callee{step.callee, step.retry ? kRetry : kAttempt, step.counted, {}};
      const MatchStep calleeStep = resumeFrame(s, callee, false);
      if (calleeStep.callee != nullptr) {
        slot(top++) = callee;
        step = calleeStep;
        continue;
      }
      result = calleeStep.result && !s.aborted();
      if (step.counted) s.leave();
    }
    // Hand the result to the innermost frame; drop the frames that finish with it.
    for (;;) {
      MatchFrame& f = frames[top - 1];
      step = resumeFrame(s, f, result);
      if (step.callee != nullptr) break;
      result = step.result && !s.aborted();
      if (f.counted) s.leave();
      if (--top == 0) return result;
    }
  }
}

MatchStep EmptyNode::resume(MatchWork&, MatchFrame& f, bool) const { return done(f.phase == kAttempt); }

// ---- SequenceNode -----------------------------------------------------------------------------

const MatchNode* SequenceNode::child(std::size_t index) const {
  return rightToLeft_ ? children_[children_.size() - 1 - index] : children_[index];
}

MatchStep SequenceNode::resume(MatchWork& s, MatchFrame& f, bool result) const {
  std::int64_t& index = f.slot[0];
  bool forward = result;
  if (f.phase == kAttempt) {
    index = 0;
    forward = true;
  } else if (f.phase == kRetry) {
    index = static_cast<std::int64_t>(children_.size());
    forward = false;
  } else if (result) {
    ++index;
  }
  bool ok = false;
  const auto child = [this](std::int64_t i) { return this->child(static_cast<std::size_t>(i)); };
  if (auto step = runStep(s, f, index, static_cast<std::int64_t>(children_.size()), child, forward, kResumed, ok)) {
    return *step;
  }
  return done(ok);
}

// ---- AlternationNode --------------------------------------------------------------------------

MatchStep AlternationNode::resume(MatchWork& s, MatchFrame& f, bool result) const {
  constexpr std::int32_t kAfterAttempt = kResumed;
  constexpr std::int32_t kAfterRetry = kResumed + 1;
  std::int64_t& index = f.slot[0];
  const auto count = static_cast<std::int64_t>(branches_.size());
  switch (f.phase) {
    case kAttempt:
      if (branches_.empty()) return done(true);
      index = 0;
      break;
    case kRetry: {
      if (branches_.empty()) return done(false);
      const std::int32_t popped = s.pop();
      index = popped >= 0 ? popped : 0;
      if (index >= count) return done(false);
      return call(f, kAfterRetry, branches_[static_cast<std::size_t>(index)], true);
    }
    case kAfterRetry:
      if (result) return done(s.push(static_cast<std::int32_t>(index)));
      ++index;
      break;
    default:  // kAfterAttempt
      if (result) return done(s.push(static_cast<std::int32_t>(index)));
      if (s.aborted()) return done(false);
      ++index;
      break;
  }
  // The first of the remaining branches that matches wins.
  if (index < count) return call(f, kAfterAttempt, branches_[static_cast<std::size_t>(index)], false);
  return done(false);
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

namespace {

// A one-byte node's retry steps back over its byte and fails: it has no second way.
MatchStep oneByteResume(MatchWork& s, const MatchFrame& f, const ByteTable& table) {
  if (f.phase == kAttempt) return done(oneByteAttempt(s, table));
  s.position += table.rightToLeft ? 1 : -1;
  return done(false);
}

}  // namespace

MatchStep CharSetNode::resume(MatchWork& s, MatchFrame& f, bool) const { return oneByteResume(s, f, table_); }

PosixClassNode::PosixClassNode(Predicate test, bool rightToLeft, bool include)
    : predicate_(test), include_(include) {
  setByteTable(&table_);
  table_.rightToLeft = rightToLeft;
  for (std::size_t b = 0; b < 256; ++b) {
    // Without a predicate (an unknown class name) the node never matches, negated or not.
    table_.accept[b] = test != nullptr && test(static_cast<unsigned char>(b)) == include;
  }
}

MatchStep PosixClassNode::resume(MatchWork& s, MatchFrame& f, bool) const { return oneByteResume(s, f, table_); }

LiteralNode::LiteralNode(std::string bytes, bool rightToLeft, bool ignoreCase)
    : bytes_(std::move(bytes)), rightToLeft_(rightToLeft), ignoreCase_(ignoreCase) {
  table_.rightToLeft = rightToLeft;
  if (bytes_.size() == 1) {
    setByteTable(&table_);
    const auto c = static_cast<unsigned char>(bytes_[0]);
    for (std::size_t b = 0; b < 256; ++b) {
      const auto v = static_cast<unsigned char>(b);
      table_.accept[b] = v == c || (ignoreCase && upper(v) == upper(c));
    }
  }
}

MatchStep LiteralNode::resume(MatchWork& s, MatchFrame& f, bool) const {
  const auto n = static_cast<std::int32_t>(bytes_.size());
  if (f.phase != kAttempt) {
    s.position += rightToLeft_ ? n : -n;
    return done(false);
  }
  const auto* mine = reinterpret_cast<const unsigned char*>(bytes_.data());
  if (rightToLeft_) {
    if (s.position < n || !bytesEqual(s.text + s.position - n, mine, n, ignoreCase_)) return done(false);
    s.position -= n;
  } else {
    if (s.length - s.position < n || !bytesEqual(s.text + s.position, mine, n, ignoreCase_)) return done(false);
    s.position += n;
  }
  return done(true);
}

// ---- Repeats ----------------------------------------------------------------------------------

namespace {

// The minimum part of a repeat is a run of `count` copies of the inner node. beginRepeat starts
// it forwards (an attempt) or backwards (a retry, from the last copy); continueRepeat goes on
// after a call. Over a one-byte node the run is decided at once, with no call. Both return the
// call to make, resuming at `phase`, or nothing with the outcome in `ok`.
std::optional<MatchStep> repeatStep(MatchWork& s, MatchFrame& f, const MatchNode& inner, std::int32_t count,
                                    bool forward, std::int32_t phase, bool& ok) {
  const auto child = [&inner](std::int64_t) { return &inner; };
  return runStep(s, f, f.slot[0], count, child, forward, phase, ok);
}

std::optional<MatchStep> beginRepeat(MatchWork& s, MatchFrame& f, const MatchNode& inner, std::int32_t count,
                                     bool forward, std::int32_t phase, bool& ok) {
  const ByteTable* table = inner.byteTable();
  if (forward) {
    if (table != nullptr) {
      ok = runOfBytes(s, *table, count);
      return std::nullopt;
    }
    f.slot[0] = 0;
    return repeatStep(s, f, inner, count, true, phase, ok);
  }
  ok = false;
  if (count <= 0) return std::nullopt;
  if (table != nullptr) {
    // No copy of a one-byte node has a second way: all of them are given back at once.
    s.position += table->rightToLeft ? count : -count;
    return std::nullopt;
  }
  f.slot[0] = count;
  return repeatStep(s, f, inner, count, false, phase, ok);
}

std::optional<MatchStep> continueRepeat(MatchWork& s, MatchFrame& f, const MatchNode& inner, std::int32_t count,
                                        bool result, std::int32_t phase, bool& ok) {
  if (result) ++f.slot[0];
  return repeatStep(s, f, inner, count, result, phase, ok);
}

}  // namespace

MatchStep FixedRepeatNode::resume(MatchWork& s, MatchFrame& f, bool result) const {
  bool ok = false;
  std::optional<MatchStep> step =
      f.phase == kResumed ? continueRepeat(s, f, *inner_, count_, result, kResumed, ok)
                          : beginRepeat(s, f, *inner_, count_, f.phase == kAttempt, kResumed, ok);
  return step ? *step : done(ok);
}

// The greedy repeat's backtrack entries: those of the minimum part, then for each further
// repetition its own entries and the position it started from, then the count j of further
// repetitions on top. Over a one-byte node (the common case, and the validation patterns) a
// repetition has no entries and no second way, so only j is kept and the run is scanned in a
// tight loop.
MatchStep GreedyRepeatNode::resume(MatchWork& s, MatchFrame& f, bool result) const {
  constexpr std::int32_t kMinimum = kResumed;         // the minimum part, forwards or backwards
  constexpr std::int32_t kNewestRetried = kResumed + 1;  // the newest further repetition retried
  constexpr std::int32_t kExtendAttempted = kResumed + 2;
  constexpr std::int32_t kExtendRetried = kResumed + 3;
  std::int64_t& taken = f.slot[1];
  std::int64_t& from = f.slot[2];
  const ByteTable* table = inner_->byteTable();
  bool ok = false;
  std::optional<MatchStep> step;
  switch (f.phase) {
    case kAttempt:
      step = beginRepeat(s, f, *inner_, min_, true, kMinimum, ok);
      break;
    case kRetry:
      taken = s.pop();
      if (taken > 0) {
        if (table != nullptr) {
          s.position += table->rightToLeft ? 1 : -1;
          return done(s.push(static_cast<std::int32_t>(taken - 1)));
        }
        from = s.pop();
        return call(f, kNewestRetried, inner_, true);
      }
      step = beginRepeat(s, f, *inner_, min_, false, kMinimum, ok);
      break;
    case kMinimum:
      step = continueRepeat(s, f, *inner_, min_, result, kMinimum, ok);
      break;
    case kNewestRetried:
      if (!result) return done(!s.aborted() && s.push(static_cast<std::int32_t>(taken - 1)));  // given back
      if (s.position == from) return call(f, kNewestRetried, inner_, true);
      // The newest repetition found another way: being greedy, try to add more after it.
      if (!s.push(static_cast<std::int32_t>(from))) return done(false);
      return extend(s, f);
    case kExtendAttempted:
      if (!result) return done(s.push(static_cast<std::int32_t>(taken)) && !s.aborted());
      // A repetition that consumes nothing would repeat forever: ask the inner node for a way
      // that moves, and stop when it has none.
      if (s.position == from) return call(f, kExtendRetried, inner_, true);
      return extendMoved(s, f);
    default:  // kExtendRetried
      if (!result) return done(s.push(static_cast<std::int32_t>(taken)) && !s.aborted());
      if (s.position == from) return call(f, kExtendRetried, inner_, true);
      return extendMoved(s, f);
  }
  if (step) return *step;
  if (!ok) return done(false);
  // The minimum part matched (first or another way): take as many more as possible.
  taken = 0;
  return extend(s, f);
}

// extend takes further repetitions while there is room, from `taken` (slot 1) on.
inline MatchStep GreedyRepeatNode::extend(MatchWork& s, MatchFrame& f) const {
  constexpr std::int32_t kExtendAttempted = kResumed + 2;
  std::int64_t& taken = f.slot[1];
  if (const ByteTable* table = inner_->byteTable()) {
    taken += longestRun(s, *table, static_cast<std::int32_t>(extra_ - taken));
  } else if (taken < extra_) {
    f.slot[2] = s.position;
    return call(f, kExtendAttempted, inner_, false);
  }
  return done(s.push(static_cast<std::int32_t>(taken)) && !s.aborted());
}

inline MatchStep GreedyRepeatNode::extendMoved(MatchWork& s, MatchFrame& f) const {
  if (!s.push(static_cast<std::int32_t>(f.slot[2]))) {
    return done(s.push(static_cast<std::int32_t>(f.slot[1])) && !s.aborted());
  }
  ++f.slot[1];
  return extend(s, f);
}

// The lazy repeat's entries: the minimum part's, then per further repetition its own entries and
// its start position, then the count on top.
MatchStep LazyRepeatNode::resume(MatchWork& s, MatchFrame& f, bool result) const {
  constexpr std::int32_t kMinimum = kResumed;
  constexpr std::int32_t kMoreAttempted = kResumed + 1;  // one more repetition tried
  constexpr std::int32_t kMoreRetried = kResumed + 2;
  constexpr std::int32_t kOlderRetried = kResumed + 3;   // a taken repetition asked for another way
  std::int64_t& taken = f.slot[1];
  std::int64_t& from = f.slot[2];
  bool ok = false;
  std::optional<MatchStep> step;
  switch (f.phase) {
    case kAttempt:
      step = beginRepeat(s, f, *inner_, min_, true, kMinimum, ok);
      break;
    case kMinimum:
      step = continueRepeat(s, f, *inner_, min_, result, kMinimum, ok);
      break;
    case kRetry:
      taken = s.pop();
      if (taken < extra_) {
        from = s.position;
        return call(f, kMoreAttempted, inner_, false);
      }
      return giveBack(s, f);
    case kMoreAttempted:
    case kMoreRetried:
      if (!result) return giveBack(s, f);
      if (s.position == from) return call(f, kMoreRetried, inner_, true);
      return done(s.push(static_cast<std::int32_t>(from)) && s.push(static_cast<std::int32_t>(taken + 1)));
    default:  // kOlderRetried
      if (!result) {
        --taken;
        return giveBack(s, f);
      }
      if (s.position != from) {
        return done(s.push(static_cast<std::int32_t>(from)) && s.push(static_cast<std::int32_t>(taken)));
      }
      return call(f, kOlderRetried, inner_, true);
  }
  if (step) return *step;
  return done(ok && s.push(0));
}

// giveBack: no further repetition; look for another way through the newest one, then older ones,
// and last through the minimum part.
MatchStep LazyRepeatNode::giveBack(MatchWork& s, MatchFrame& f) const {
  constexpr std::int32_t kMinimum = kResumed;
  constexpr std::int32_t kOlderRetried = kResumed + 3;
  if (f.slot[1] > 0 && !s.aborted()) {
    f.slot[2] = s.pop();
    return call(f, kOlderRetried, inner_, true);
  }
  if (s.aborted()) return done(false);
  bool ok = false;
  if (std::optional<MatchStep> step = beginRepeat(s, f, *inner_, min_, false, kMinimum, ok)) return *step;
  return done(ok && s.push(0));
}

MatchStep PossessiveRepeatNode::resume(MatchWork& s, MatchFrame& f, bool result) const {
  if (f.phase == kAttempt) {
    f.slot[0] = s.position;
    f.slot[1] = static_cast<std::int64_t>(s.captures.size());
    f.slot[2] = static_cast<std::int64_t>(s.backtrack.size());
    // The greedy repeat within matches as a greedy repeat would, as part of this call.
    f.phase = kResumed;
    return MatchStep{&greedy_, false, false, false};
  }
  if (f.phase == kResumed) {
    if (!result) return done(false);
    s.truncateBacktrack(static_cast<std::size_t>(f.slot[2]));
    return done(s.push(static_cast<std::int32_t>(f.slot[0])) && s.push(static_cast<std::int32_t>(f.slot[1])));
  }
  const std::int32_t captureSize = s.pop();
  s.restorePosition(s.pop());
  s.truncateCaptures(captureSize);
  return done(false);
}

// ---- Groups and references --------------------------------------------------------------------

MatchStep GroupMarkNode::resume(MatchWork& s, MatchFrame& f, bool) const {
  return done(f.phase == kAttempt ? open(s) : undo(s));
}

bool GroupMarkNode::open(MatchWork& s) const {
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

bool GroupMarkNode::undo(MatchWork& s) const {
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

MatchStep BackrefNode::resume(MatchWork& s, MatchFrame& f, bool) const {
  if (f.phase != kAttempt) {
    s.restorePosition(s.pop());
    return done(false);
  }
  const std::int32_t record = s.findRecord(group_);
  if (record < 0) return done(false);
  const auto r = static_cast<std::size_t>(record);
  std::int32_t a = s.captures[r + 1];
  std::int32_t b = s.captures[r + 2];
  if (b == -1) b = s.position;  // still open: the span so far
  if (a > b) std::swap(a, b);
  const std::int32_t n = b - a;
  const unsigned char* captured = s.text + a;
  if (rightToLeft_) {
    if (s.position < n || !bytesEqual(s.text + s.position - n, captured, n, ignoreCase_)) return done(false);
  } else {
    if (s.length - s.position < n || !bytesEqual(s.text + s.position, captured, n, ignoreCase_)) return done(false);
  }
  if (!s.push(s.position)) return done(false);
  s.position += rightToLeft_ ? -n : n;
  return done(true);
}

// ---- Assertions and atomic constructs ---------------------------------------------------------

namespace {

// The frame slots of the constructs that run an inner node and then forget how it matched.
enum : std::size_t { kSavedCaptures = 0, kSavedPosition = 1, kSavedBacktrack = 2, kChoseYes = 3 };

void save(const MatchWork& s, MatchFrame& f) {
  f.slot[kSavedCaptures] = static_cast<std::int64_t>(s.captures.size());
  f.slot[kSavedPosition] = s.position;
  f.slot[kSavedBacktrack] = static_cast<std::int64_t>(s.backtrack.size());
}

}  // namespace

MatchStep LookaroundNode::resume(MatchWork& s, MatchFrame& f, bool result) const {
  if (f.phase == kAttempt) {
    save(s, f);
    return call(f, kResumed, inner_, false);
  }
  if (f.phase == kRetry) {
    s.truncateCaptures(s.pop());
    return done(false);
  }
  if (s.aborted()) return done(false);
  const bool holds = positive_ ? result : !result;
  s.truncateBacktrack(static_cast<std::size_t>(f.slot[kSavedBacktrack]));
  s.position = static_cast<std::int32_t>(f.slot[kSavedPosition]);
  const auto captureSize = static_cast<std::int32_t>(f.slot[kSavedCaptures]);
  if (!holds) {
    s.truncateCaptures(captureSize);
    return done(false);
  }
  return done(s.push(captureSize));  // captures made inside a positive assertion stay visible
}

MatchStep AtomicGroupNode::resume(MatchWork& s, MatchFrame& f, bool result) const {
  if (f.phase == kAttempt) {
    save(s, f);
    return call(f, kResumed, inner_, false);
  }
  if (f.phase == kRetry) {
    const std::int32_t captureSize = s.pop();
    s.restorePosition(s.pop());
    s.truncateCaptures(captureSize);
    return done(false);
  }
  if (!result) return done(false);
  s.truncateBacktrack(static_cast<std::size_t>(f.slot[kSavedBacktrack]));
  return done(s.push(static_cast<std::int32_t>(f.slot[kSavedPosition])) &&
              s.push(static_cast<std::int32_t>(f.slot[kSavedCaptures])));
}

MatchStep ConditionalNode::resume(MatchWork& s, MatchFrame& f, bool result) const {
  constexpr std::int32_t kConditionTested = kResumed;
  constexpr std::int32_t kBranchAttempted = kResumed + 1;
  constexpr std::int32_t kBranchRetried = kResumed + 2;
  const auto captureSize = [&f] { return static_cast<std::int32_t>(f.slot[kSavedCaptures]); };
  switch (f.phase) {
    case kAttempt:
      save(s, f);
      f.slot[kChoseYes] = 1;
      if (group_ >= 0) {
        f.slot[kChoseYes] = s.findRecord(group_) >= 0 ? 1 : 0;
      } else if (condition_ != nullptr) {
        return call(f, kConditionTested, condition_, false);
      }
      break;
    case kConditionTested:
      f.slot[kChoseYes] = result ? 1 : 0;
      if (s.aborted()) return done(false);
      s.truncateBacktrack(static_cast<std::size_t>(f.slot[kSavedBacktrack]));
      s.position = static_cast<std::int32_t>(f.slot[kSavedPosition]);
      if (!result) s.truncateCaptures(captureSize());
      break;
    case kBranchAttempted:
      if (!result) {
        s.truncateCaptures(captureSize());
        s.position = static_cast<std::int32_t>(f.slot[kSavedPosition]);
        return done(false);
      }
      return done(s.push(captureSize()) && s.push(static_cast<std::int32_t>(f.slot[kChoseYes])));
    case kRetry: {
      f.slot[kChoseYes] = s.pop() != 0 ? 1 : 0;
      f.slot[kSavedCaptures] = s.pop();
      const MatchNode* branch = f.slot[kChoseYes] != 0 ? yes_ : no_;
      if (branch == nullptr) {
        s.truncateCaptures(captureSize());
        return done(false);
      }
      return call(f, kBranchRetried, branch, true);
    }
    default:  // kBranchRetried
      if (!result) {
        s.truncateCaptures(captureSize());
        return done(false);
      }
      return done(s.push(captureSize()) && s.push(static_cast<std::int32_t>(f.slot[kChoseYes])));
  }
  // The branch is chosen: an absent one matches empty.
  const MatchNode* branch = f.slot[kChoseYes] != 0 ? yes_ : no_;
  if (branch != nullptr) return call(f, kBranchAttempted, branch, false);
  return done(s.push(captureSize()) && s.push(static_cast<std::int32_t>(f.slot[kChoseYes])));
}

MatchStep RecurseNode::resume(MatchWork&, MatchFrame& f, bool result) const {
  if (f.phase == kResumed) return done(result);
  // An unresolved recursion matches empty, once.
  if (target_ == nullptr) return done(f.phase == kAttempt);
  return call(f, kResumed, target_, f.phase == kRetry);
}

MatchStep AnchorNode::resume(MatchWork& s, MatchFrame& f, bool) const {
  if (f.phase != kAttempt) return done(false);
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
  return done(holds == positive_);
}

MatchStep SearchStartNode::resume(MatchWork& s, MatchFrame& f, bool) const {
  return done(f.phase == kAttempt && s.position == s.startPosition);
}

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
    MatchWork ownWork;
    MatchWork& s = callerState != nullptr ? callerState->work() : ownWork;
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
