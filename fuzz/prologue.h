// What every fuzz target shares: one libFuzzer entry (fuzz/main.cpp) that skips inputs outside
// the target's size range and runs the target's set-up once before the first input. A target
// defines kTarget and nothing else of libFuzzer's.
#pragma once

#include <cstddef>
#include <cstdint>

namespace velmor::fuzz {

struct Target {
  // Inputs shorter than minInput or longer than maxInput are skipped: the cap keeps each run
  // quick, and the interesting cases are short.
  std::size_t minInput = 0;
  std::size_t maxInput = 0;
  // init: the libraries' and the target's set-up, once per process; null for none.
  int (*init)() = nullptr;
  // run: one input within the range. Returns 0, or -1 for an input libFuzzer should not keep.
  int (*run)(const std::uint8_t* data, std::size_t size) = nullptr;
};

// kTarget: the target this executable fuzzes (defined by the target's own source).
extern const Target kTarget;

}  // namespace velmor::fuzz
