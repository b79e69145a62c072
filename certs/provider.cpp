// The provider context every operation starts from.
#include "certs/context.h"

namespace velmor {

int AcquireProviderContext(HCRYPTPROV* phProv) {
  struct Attempt {
    const char* container;
    DWORD flags;
  };
  // A user who already has a default container gets it; one who has none gets a new one; when
  // the default container is out of reach, the system's own named container stands in.
  static constexpr Attempt kAttempts[] = {
      {nullptr, 0},
      {nullptr, CRYPT_NEWKEYSET},
      {kFallbackContainer, 0},
      {kFallbackContainer, CRYPT_NEWKEYSET},
  };
  for (const Attempt& attempt : kAttempts) {
    if (CryptAcquireContextA(phProv, attempt.container, MS_ENHANCED_PROV_A, PROV_RSA_FULL,
                             attempt.flags) == TRUE) {
      return 1;
    }
    // Another process made the container between our open and our create: it is there now, so
    // open it rather than fall back to a second container (or fail) over a lost race.
    if ((attempt.flags & CRYPT_NEWKEYSET) != 0 && GetLastError() == NTE_EXISTS &&
        CryptAcquireContextA(phProv, attempt.container, MS_ENHANCED_PROV_A, PROV_RSA_FULL, 0) ==
            TRUE) {
      return 1;
    }
  }
  // A failed attempt must not leave something that ReleaseHandles would try to release.
  const DWORD error = GetLastError();
  *phProv = 0;
  SetLastError(error);
  return 0;
}

}  // namespace velmor
