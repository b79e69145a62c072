// The one libFuzzer entry of every target: the input cap and the set-up of fuzz/prologue.h.
#include "fuzz/prologue.h"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  return velmor::fuzz::kTarget.init != nullptr ? velmor::fuzz::kTarget.init() : 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const velmor::fuzz::Target& target = velmor::fuzz::kTarget;
  if (size < target.minInput || size > target.maxInput) return 0;
  return target.run(data, size);
}
