#include <string.h>

#include "platform/com/com.h"
#include "platform/base/secure.h"

namespace {
thread_local DWORD t_lastError = ERROR_SUCCESS;
}

void SecureZeroMemory(void* p, std::size_t size) { velmor::platform::Cleanse(p, size); }

DWORD GetLastError() { return t_lastError; }

void SetLastError(DWORD error) { t_lastError = error; }
