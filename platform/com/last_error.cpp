#include <string.h>

#include "platform/com/com.h"

namespace {
thread_local DWORD t_lastError = ERROR_SUCCESS;
}

void SecureZeroMemory(void* p, std::size_t size) {
  if (p != nullptr && size != 0) explicit_bzero(p, size);
}

DWORD GetLastError() { return t_lastError; }

void SetLastError(DWORD error) { t_lastError = error; }
