// Input layout: one byte of flags, then the pattern and the text separated by the first zero
// byte (no zero: all pattern, empty text). Inputs are capped so that each run stays quick; the
// step budget is lowered for the same reason, which still exercises the limit paths.
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "fuzz/prologue.h"
#include "pattern/pattern.h"

namespace {

int Run(const std::uint8_t* data, std::size_t size) {
  const unsigned flags = data[0] & 0x3Fu;
  const char* rest = reinterpret_cast<const char*>(data + 1);
  const std::size_t restSize = size - 1;
  const void* zero = std::memchr(rest, 0, restSize);
  const std::size_t patternSize =
      zero != nullptr ? static_cast<std::size_t>(static_cast<const char*>(zero) - rest) : restSize;
  const char* text = rest + patternSize + (zero != nullptr ? 1 : 0);
  const std::size_t textSize = zero != nullptr ? restSize - patternSize - 1 : 0;

  velmor::pattern::RegexProgram program;
  program.compile(rest, patternSize, flags);
  velmor::pattern::MatchState state;
  state.setStepLimit(200'000);
  const velmor::pattern::MatchOutcome outcome = program.matchWhole(text, textSize, &state);
  if (outcome.isMatched()) {
    // Every reported span lies inside the text and is ordered.
    for (std::int32_t g = 0; g <= outcome.highestGroup(); ++g) {
      const std::int32_t a = outcome.groupStart(g);
      const std::int32_t b = outcome.groupEnd(g);
      if ((a == -1) != (b == -1) || a > b || b > static_cast<std::int32_t>(textSize)) __builtin_trap();
    }
    if (outcome.groupStart(0) != 0 || outcome.groupEnd(0) != static_cast<std::int32_t>(textSize)) __builtin_trap();
  }
  return 0;
}

}  // namespace

const velmor::fuzz::Target velmor::fuzz::kTarget = {
    .minInput = 1, .maxInput = 4096, .init = nullptr, .run = Run};
