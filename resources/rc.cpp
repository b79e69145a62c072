// velmor_rc: writes the module's resource table to a file, for the build to put into the
// module file's resource section.
#include <cstdio>

#include "resources/resources.h"

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: velmor_rc OUTPUT\n");
    return 2;
  }
  const auto bytes = velmor::com::SerializeResources(velmor::resources::kModuleResources);
  std::FILE* out = std::fopen(argv[1], "wb");
  if (out == nullptr) return 1;
  const bool written = std::fwrite(bytes.data(), 1, bytes.size(), out) == bytes.size();
  return std::fclose(out) == 0 && written ? 0 : 1;
}
