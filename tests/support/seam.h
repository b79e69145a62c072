// The test seam of the platform layer: named platform calls made to fail with a chosen last
// error, without touching the machine. Linked only into tests and fuzz targets: the shipping
// library holds nothing but the empty hook the seam fills.
#pragma once

#include "platform/crypt/crypt.h"

namespace velmor::crypt {

// The test seam: makes calls of the named platform function fail with `error` as last error,
// without touching the machine. A library function made through VELMOR_CALL (an OpenSSL or
// SQLite call of the platform) fails the same way: it is not made, and answers as it does when
// it fails; the platform then sets the last error it maps that failure to. `arg`, when given, narrows the failure to calls with that
// argument (a store name such as "CA" for CertOpenStore / CertOpenSystemStoreA). `count` is how
// many calls fail before the function works again (0: every call until cleared). `pass` lets
// that many matching calls through first, so that the second of a pair of calls (a size query,
// then the real call) can be made to fail.
void InjectFailure(const char* function, DWORD error, const char* arg = nullptr,
                   unsigned count = 0, unsigned pass = 0);
// ClearInjectedFailures: every platform function works again.
void ClearInjectedFailures();

// ResetRuntime: the platform layer as the next test should find it: no injected failure, the
// user's database rather than the in-memory one, nothing cached. Handles still open stay valid.
void ResetRuntime();

}  // namespace velmor::crypt
