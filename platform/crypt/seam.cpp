#include "platform/crypt/crypt.h"

namespace velmor::crypt {
void InjectFailure(const char*, DWORD, const char*, unsigned) {}
void ClearInjectedFailures() {}
}  // namespace velmor::crypt
