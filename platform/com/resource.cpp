// A module's own resources, found through its instance handle.
#include "platform/com/resource.h"

#include <dlfcn.h>
#include <limits.h>
#include <stdlib.h>
#include <unistd.h>

#include <cstring>
#include <memory>

#include "platform/base/owner.h"

int LoadStringA(HINSTANCE hInstance, UINT id, LPSTR buffer, int cchBuffer) {
  const char* text = velmor::com::FindString(hInstance, id);
  if (text == nullptr || buffer == nullptr || cchBuffer <= 0) return 0;
  const std::size_t length = std::min(std::strlen(text), static_cast<std::size_t>(cchBuffer - 1));
  std::memcpy(buffer, text, length);
  buffer[length] = '\0';
  return static_cast<int>(length);
}

DWORD GetModuleFileNameA(HINSTANCE hInstance, LPSTR fileName, DWORD nSize) {
  const std::string path = velmor::com::ModuleFileName(hInstance);
  if (path.empty() || fileName == nullptr || nSize == 0) {
    SetLastError(path.empty() ? ERROR_FILE_NOT_FOUND : ERROR_INSUFFICIENT_BUFFER);
    return 0;
  }
  const std::size_t length = std::min(path.size(), static_cast<std::size_t>(nSize - 1));
  std::memcpy(fileName, path.data(), length);
  fileName[length] = '\0';
  if (length < path.size()) SetLastError(ERROR_INSUFFICIENT_BUFFER);
  return static_cast<DWORD>(length);
}

namespace velmor::com {

std::string ModuleFileName(HINSTANCE hInstance) {
  std::string named;
  if (hInstance == nullptr) {
    named = "/proc/self/exe";
  } else {
    // The table lies inside the module's image: the loader knows which file that came from.
    Dl_info info{};
    if (dladdr(static_cast<const void*>(hInstance), &info) == 0 || info.dli_fname == nullptr) {
      return {};
    }
    named = info.dli_fname;
  }
  const platform::MallocChars resolved(realpath(named.c_str(), nullptr));
  return resolved ? std::string(resolved.get()) : std::string();
}

const char* FindString(HINSTANCE hInstance, UINT id) {
  if (hInstance == nullptr) return nullptr;
  for (const StringResource& s : hInstance->strings) {
    if (s.id == id) return s.text;
  }
  return nullptr;
}

const BitmapResource* FindBitmap(HINSTANCE hInstance, UINT id) {
  if (hInstance == nullptr) return nullptr;
  for (const BitmapResource& b : hInstance->bitmaps) {
    if (b.id == id) return &b;
  }
  return nullptr;
}

const DialogResource* FindDialog(HINSTANCE hInstance, UINT id) {
  if (hInstance == nullptr) return nullptr;
  for (const DialogResource& d : hInstance->dialogs) {
    if (d.id == id) return &d;
  }
  return nullptr;
}

}  // namespace velmor::com
