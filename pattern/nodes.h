// The engine's own: the nodes a compiled pattern is made of and the working memory a match runs
// in. Only the compiler, the matcher and their tests include it; callers use pattern/pattern.h.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "pattern/pattern.h"

namespace velmor::pattern {

class MatchWork;
class MatchNode;

// ---- Nodes ------------------------------------------------------------------------------------

// MatchFrame: one node call in progress, kept on the state's frame stack. `phase` says where the
// node resumes (0 first attempt, 1 retry, higher values the node's own points of return); the
// slots hold what the node would otherwise keep in local variables across a call it makes.
struct MatchFrame {
  const MatchNode* node = nullptr;
  std::int32_t phase = 0;
  bool counted = true;  // the call counted a step and a level of depth
  std::array<std::int64_t, 4> slot{};
};

// MatchStep: what a node does next, from inside the engine: call another node's attempt or
// retry and be resumed with its result, or finish with a result.
struct MatchStep {
  const MatchNode* callee = nullptr;
  bool retry = false;
  bool counted = true;
  bool result = false;
};

// ByteTable: for nodes that always consume exactly one byte, which byte values they accept
// (indexed by the unsigned byte value). Repeat nodes use it to scan runs without a call per byte.
struct ByteTable {
  std::array<bool, 256> accept{};
  bool rightToLeft = false;
};

// MatchNode: one node of a compiled pattern. `attempt` finds the node's first way to match at the
// current position; `retry` (called only when the node's own entries are on top of the backtrack
// stack) finds its next way or undoes it and returns false. Both check the state's limits first
// and return false once a limit has been reached. Nodes are owned by their `RegexProgram` and do
// not change while matching.
//
// A node never calls another node directly: its `resume` returns a MatchStep asking for the
// call, and the engine's loop in `attempt` and `retry` runs the callee on a new frame and then
// resumes the caller with the callee's result.
class MatchNode {
 public:
  MatchNode() = default;
  MatchNode(const MatchNode&) = delete;
  MatchNode& operator=(const MatchNode&) = delete;
  virtual ~MatchNode() = default;

  bool attempt(MatchWork& state) const;
  bool retry(MatchWork& state) const;

  // byteTable returns the accepted bytes when the node always consumes exactly one byte and
  // pushes nothing, else null. The table is owned by the node. The engine tests such a node
  // through its table, without a call.
  const ByteTable* byteTable() const { return byteTable_; }

 protected:
  void setByteTable(const ByteTable* table) { byteTable_ = table; }

 private:
  // resume runs the node's frame from its phase; `result` is the result of the call the node
  // asked for last (false on the frame's first run).
  virtual MatchStep resume(MatchWork& state, MatchFrame& frame, bool result) const = 0;
  // run is the engine's loop: it runs `node`'s attempt or retry and every call it leads to on
  // the state's frame stack.
  static bool run(MatchWork& state, const MatchNode* node, bool retry);
  // resumeFrame resumes a frame and serves its calls of one-byte nodes on the spot.
  static MatchStep resumeFrame(MatchWork& state, MatchFrame& frame, bool result);

  const ByteTable* byteTable_ = nullptr;
};

class EmptyNode final : public MatchNode {
 private:
  MatchStep resume(MatchWork& state, MatchFrame& frame, bool result) const override;
};

class SequenceNode final : public MatchNode {
 public:
  SequenceNode(std::vector<const MatchNode*> children, bool rightToLeft)
      : children_(std::move(children)), rightToLeft_(rightToLeft) {}
  const std::vector<const MatchNode*>& children() const { return children_; }
  bool rightToLeft() const { return rightToLeft_; }

 private:
  MatchStep resume(MatchWork& state, MatchFrame& frame, bool result) const override;
  const MatchNode* child(std::size_t index) const;
  std::vector<const MatchNode*> children_;
  bool rightToLeft_;
};

class AlternationNode final : public MatchNode {
 public:
  explicit AlternationNode(std::vector<const MatchNode*> branches) : branches_(std::move(branches)) {}
  const std::vector<const MatchNode*>& branches() const { return branches_; }

 private:
  MatchStep resume(MatchWork& state, MatchFrame& frame, bool result) const override;
  std::vector<const MatchNode*> branches_;
};

// CharSetNode: one byte tested against ranges, single bytes and nested single-byte nodes.
// Ranges compare bytes as signed 8-bit values, so 0x80 to 0xFF sort below the ASCII bytes.
class CharSetNode final : public MatchNode {
 public:
  struct Range {
    signed char low;
    signed char high;
  };
  CharSetNode(bool rightToLeft, bool include) : rightToLeft_(rightToLeft), include_(include) {
    setByteTable(&table_);
  }
  void addRange(signed char low, signed char high) { ranges_.push_back({low, high}); }
  void addSingle(signed char byte) { singles_.push_back(byte); }
  void addNested(const MatchNode* node) { nested_.push_back(node); }
  // reserve makes room for members the compiler already knows it will add.
  void reserve(std::size_t ranges, std::size_t singles, std::size_t nested) {
    ranges_.reserve(ranges);
    singles_.reserve(singles);
    nested_.reserve(nested);
  }
  void setInclude(bool include) { include_ = include; }
  // finish computes the byte table; called once the members are final (the compiler does).
  void finish();

  const std::vector<Range>& ranges() const { return ranges_; }
  const std::vector<signed char>& singles() const { return singles_; }
  const std::vector<const MatchNode*>& nested() const { return nested_; }
  bool rightToLeft() const { return rightToLeft_; }
  bool include() const { return include_; }
  bool contains(signed char byte) const;

 private:
  MatchStep resume(MatchWork& state, MatchFrame& frame, bool result) const override;
  std::vector<Range> ranges_;
  std::vector<signed char> singles_;
  std::vector<const MatchNode*> nested_;
  bool rightToLeft_;
  bool include_;
  ByteTable table_;
};

// PosixClassNode: one byte tested by a character classification ("[:alpha:]" and the like).
class PosixClassNode final : public MatchNode {
 public:
  using Predicate = bool (*)(unsigned char);
  PosixClassNode(Predicate test, bool rightToLeft, bool include);
  Predicate predicate() const { return predicate_; }
  bool include() const { return include_; }

 private:
  MatchStep resume(MatchWork& state, MatchFrame& frame, bool result) const override;
  Predicate predicate_;
  bool include_;
  ByteTable table_;
};

class LiteralNode final : public MatchNode {
 public:
  LiteralNode(std::string bytes, bool rightToLeft, bool ignoreCase);
  const std::string& bytes() const { return bytes_; }
  bool rightToLeft() const { return rightToLeft_; }
  bool ignoreCase() const { return ignoreCase_; }

 private:
  MatchStep resume(MatchWork& state, MatchFrame& frame, bool result) const override;
  std::string bytes_;
  bool rightToLeft_;
  bool ignoreCase_;
  ByteTable table_;
};

class FixedRepeatNode final : public MatchNode {
 public:
  FixedRepeatNode(const MatchNode* inner, std::int32_t count) : inner_(inner), count_(count) {}
  const MatchNode* inner() const { return inner_; }
  std::int32_t count() const { return count_; }

 private:
  MatchStep resume(MatchWork& state, MatchFrame& frame, bool result) const override;
  const MatchNode* inner_;
  std::int32_t count_;
};

class GreedyRepeatNode final : public MatchNode {
 public:
  GreedyRepeatNode(const MatchNode* inner, std::int32_t min, std::int32_t extra)
      : inner_(inner), min_(min), extra_(extra) {}
  const MatchNode* inner() const { return inner_; }
  std::int32_t min() const { return min_; }
  std::int32_t extra() const { return extra_; }

 private:
  MatchStep resume(MatchWork& state, MatchFrame& frame, bool result) const override;
  MatchStep extend(MatchWork& state, MatchFrame& frame) const;
  MatchStep extendMoved(MatchWork& state, MatchFrame& frame) const;
  const MatchNode* inner_;
  std::int32_t min_;
  std::int32_t extra_;
};

class LazyRepeatNode final : public MatchNode {
 public:
  LazyRepeatNode(const MatchNode* inner, std::int32_t min, std::int32_t extra)
      : inner_(inner), min_(min), extra_(extra) {}
  const MatchNode* inner() const { return inner_; }
  std::int32_t min() const { return min_; }
  std::int32_t extra() const { return extra_; }

 private:
  MatchStep resume(MatchWork& state, MatchFrame& frame, bool result) const override;
  MatchStep giveBack(MatchWork& state, MatchFrame& frame) const;
  const MatchNode* inner_;
  std::int32_t min_;
  std::int32_t extra_;
};

class PossessiveRepeatNode final : public MatchNode {
 public:
  PossessiveRepeatNode(const MatchNode* inner, std::int32_t min, std::int32_t extra)
      : greedy_(inner, min, extra) {}
  const MatchNode* inner() const { return greedy_.inner(); }
  std::int32_t min() const { return greedy_.min(); }
  std::int32_t extra() const { return greedy_.extra(); }

 private:
  MatchStep resume(MatchWork& state, MatchFrame& frame, bool result) const override;
  GreedyRepeatNode greedy_;
};

class GroupMarkNode final : public MatchNode {
 public:
  GroupMarkNode(std::int32_t group, bool closing, std::string name)
      : group_(group), closing_(closing), name_(std::move(name)) {}
  std::int32_t group() const { return group_; }
  bool closing() const { return closing_; }
  const std::string& name() const { return name_; }
  void setGroup(std::int32_t group) { group_ = group; }

 private:
  MatchStep resume(MatchWork& state, MatchFrame& frame, bool result) const override;
  bool open(MatchWork& state) const;
  bool undo(MatchWork& state) const;
  std::int32_t group_;
  bool closing_;
  std::string name_;
};

class BackrefNode final : public MatchNode {
 public:
  BackrefNode(std::int32_t group, bool rightToLeft, bool ignoreCase, std::string name)
      : group_(group), rightToLeft_(rightToLeft), ignoreCase_(ignoreCase), name_(std::move(name)) {}
  std::int32_t group() const { return group_; }
  const std::string& name() const { return name_; }
  void setGroup(std::int32_t group) { group_ = group; }

 private:
  MatchStep resume(MatchWork& state, MatchFrame& frame, bool result) const override;
  std::int32_t group_;
  bool rightToLeft_;
  bool ignoreCase_;
  std::string name_;
};

class LookaroundNode final : public MatchNode {
 public:
  LookaroundNode(const MatchNode* inner, bool positive) : inner_(inner), positive_(positive) {}
  const MatchNode* inner() const { return inner_; }
  bool positive() const { return positive_; }

 private:
  MatchStep resume(MatchWork& state, MatchFrame& frame, bool result) const override;
  const MatchNode* inner_;
  bool positive_;
};

class AtomicGroupNode final : public MatchNode {
 public:
  explicit AtomicGroupNode(const MatchNode* inner) : inner_(inner) {}
  const MatchNode* inner() const { return inner_; }

 private:
  MatchStep resume(MatchWork& state, MatchFrame& frame, bool result) const override;
  const MatchNode* inner_;
};

class ConditionalNode final : public MatchNode {
 public:
  ConditionalNode(std::int32_t group, const MatchNode* condition, const MatchNode* yes,
                  const MatchNode* no)
      : group_(group), condition_(condition), yes_(yes), no_(no) {}
  std::int32_t group() const { return group_; }
  const MatchNode* condition() const { return condition_; }
  const MatchNode* yes() const { return yes_; }
  const MatchNode* no() const { return no_; }
  // resolveToGroup makes the node test a group instead of its condition node.
  void resolveToGroup(std::int32_t group) {
    group_ = group;
    condition_ = nullptr;
  }

 private:
  MatchStep resume(MatchWork& state, MatchFrame& frame, bool result) const override;
  std::int32_t group_;
  const MatchNode* condition_;
  const MatchNode* yes_;
  const MatchNode* no_;
};

class RecurseNode final : public MatchNode {
 public:
  RecurseNode(std::int32_t group, std::string name) : group_(group), name_(std::move(name)) {}
  const MatchNode* target() const { return target_; }
  std::int32_t group() const { return group_; }
  const std::string& name() const { return name_; }
  void setGroup(std::int32_t group) { group_ = group; }
  void setTarget(const MatchNode* target) { target_ = target; }

 private:
  MatchStep resume(MatchWork& state, MatchFrame& frame, bool result) const override;
  const MatchNode* target_ = nullptr;
  std::int32_t group_;
  std::string name_;
};

// AnchorNode types: 0 start of text, 1 end of text, 2 end of text or before a final line break,
// 3 start of line, 4 end of line, 5 start of word, 6 end of word, 7 word boundary.
class AnchorNode final : public MatchNode {
 public:
  AnchorNode(int type, bool positive) : type_(type), positive_(positive) {}
  int type() const { return type_; }
  bool positive() const { return positive_; }

 private:
  MatchStep resume(MatchWork& state, MatchFrame& frame, bool result) const override;
  int type_;
  bool positive_;
};

class SearchStartNode final : public MatchNode {
 private:
  MatchStep resume(MatchWork& state, MatchFrame& frame, bool result) const override;
};

// ---- Working memory ---------------------------------------------------------------------------

// MatchWork: the working memory of one match, behind a caller's MatchWork (or on the stack of
// `matchWhole` when the caller gives none). Each match resets it first.
class MatchWork {
 public:
  MatchWork() = default;

  // setStepLimit changes the budget of node operations for later matches (default
  // kMaxMatchSteps); a fuzzer or a latency-bound caller lowers it.
  void setStepLimit(std::uint64_t limit) { stepLimit_ = limit; }
  std::uint64_t steps() const { return steps_; }
  bool limitExceeded() const { return limitExceeded_; }

  // Positions and stacks, public for the nodes.
  std::vector<MatchFrame> frames;          // storage for the node calls in progress
  std::vector<std::int32_t> backtrack;
  std::vector<std::int32_t> captures;      // records of 4: group, start, end, order/re-entry
  std::vector<std::int32_t> captureIndex;  // per group, offset of its latest record or -1
  std::int32_t position = 0;
  std::int32_t startPosition = 0;
  std::int32_t lastStartPosition = -1;
  std::int32_t closeCounter = 0;
  const unsigned char* text = nullptr;
  std::int32_t length = 0;

  // Helpers for the nodes. push returns false (and marks the limit) when a stack is full.
  bool push(std::int32_t value);
  std::int32_t pop();
  bool pushCapture(std::int32_t group, std::int32_t start, std::int32_t end, std::int32_t order);
  // findRecord returns the capture-stack offset of group's latest record, or -1.
  std::int32_t findRecord(std::int32_t group) const;
  void truncateCaptures(std::int32_t size);
  void truncateBacktrack(std::size_t size);
  // restorePosition moves back to a position taken from the backtrack stack; a value outside the
  // text (a broken stack) abandons the match rather than letting a node read outside the text.
  bool restorePosition(std::int32_t value);
  bool enter();  // counts a step and a level of depth; false past a limit
  void leave() { --depth_; }
  bool chargeSteps(std::uint64_t count);
  bool aborted() const { return limitExceeded_; }
  void abort() { limitExceeded_ = true; }
  void reset(const unsigned char* newText, std::int32_t newLength, bool rightToLeft);

 private:
  std::uint64_t stepLimit_ = kMaxMatchSteps;
  std::uint64_t steps_ = 0;
  int depth_ = 0;
  bool limitExceeded_ = false;
};

}  // namespace velmor::pattern
