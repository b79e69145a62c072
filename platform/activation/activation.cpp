// In-process activation: registry → InprocServer32 → dlopen → DllGetClassObject.
#include "platform/activation/activation.h"

#include <cstring>
#include <mutex>
#include <string>
#include <vector>

#include "platform/base/owner.h"
#include "platform/registry/registry.h"

namespace {

using velmor::platform::UniqueLibrary;
using velmor::registry::UniqueHkey;

// A module's image stays mapped after its last dlclose (RTLD_NODELETE): the process-wide state
// its platform layer keeps (caches, the registry's connection) would otherwise be cut loose
// from everything that still points into it. The module's static objects, its ExitInstance
// among them, then end with the process.
constexpr int kLoadFlags = RTLD_NOW | RTLD_LOCAL | RTLD_NODELETE;

struct Library {
  std::string path;
  UniqueLibrary handle;
  LPFNGETCLASSOBJECT getClassObject;
  LPFNCANUNLOADNOW canUnloadNow;  // null: the module never unloads
};

// The modules loaded for their classes. At exit those still in use are left to the loader:
// unloading a module whose objects are alive would pull their code from under them.
class Libraries {
 public:
  ~Libraries() {
    FreeUnused();
    for (Library& library : list_) static_cast<void>(library.handle.release());
  }
  std::mutex lock;
  std::vector<Library>& list() { return list_; }
  void FreeUnused() {
    for (auto it = list_.begin(); it != list_.end();) {
      if (it->canUnloadNow != nullptr && it->canUnloadNow() == S_OK) {
        it = list_.erase(it);
      } else {
        ++it;
      }
    }
  }

 private:
  std::vector<Library> list_;
};

Libraries& Loaded() {
  static Libraries libraries;
  return libraries;
}



}  // namespace

HRESULT CLSIDFromProgID(LPCOLESTR progID, CLSID* clsid) {
  if (progID == nullptr || clsid == nullptr) return E_INVALIDARG;
  return velmor::com::GuardedHresult([&]() -> HRESULT {
    std::size_t length = 0;
    while (progID[length] != 0) ++length;
    const auto name = velmor::com::WideToMultiByte(CP_UTF8, progID, static_cast<int>(length));
    if (!name || name->empty() || name->find('\\') != std::string::npos) return CO_E_CLASSSTRING;
    const auto guid = velmor::com::GuidFromString(velmor::registry::QueryDefaultText(HKEY_CLASSES_ROOT, *name + "\\CLSID"));
    if (!guid) return CO_E_CLASSSTRING;
    *clsid = *guid;
    return S_OK;
  });
}

HRESULT CoGetClassObject(REFCLSID rclsid, DWORD clsContext, void*, REFIID riid, void** ppv) {
  if (ppv == nullptr) return E_INVALIDARG;
  *ppv = nullptr;
  if ((clsContext & CLSCTX_INPROC_SERVER) == 0) return REGDB_E_CLASSNOTREG;
  return velmor::com::GuardedHresult([&]() -> HRESULT {
    const std::string path =
        velmor::registry::QueryDefaultText(HKEY_CLASSES_ROOT, "CLSID\\" + velmor::com::GuidToString(rclsid) + "\\InprocServer32");
    if (path.empty()) return REGDB_E_CLASSNOTREG;
    Libraries& loaded = Loaded();
    LPFNGETCLASSOBJECT getClassObject = nullptr;
    {
      std::lock_guard<std::mutex> hold(loaded.lock);
      for (const Library& library : loaded.list()) {
        if (library.path == path) getClassObject = library.getClassObject;
      }
      if (getClassObject == nullptr) {
        // Only absolute paths: a bare name would be searched for along the library path.
        if (path.front() != '/') return CO_E_DLLNOTFOUND;
        UniqueLibrary handle(dlopen(path.c_str(), kLoadFlags));
        if (!handle) return CO_E_DLLNOTFOUND;
        // The exports are functions: POSIX guarantees dlsym's object pointer converts back.
        getClassObject =
            reinterpret_cast<LPFNGETCLASSOBJECT>(dlsym(handle.get(), "DllGetClassObject"));
        auto canUnloadNow = reinterpret_cast<LPFNCANUNLOADNOW>(dlsym(handle.get(), "DllCanUnloadNow"));
        if (getClassObject == nullptr) return CO_E_ERRORINDLL;
        loaded.list().push_back(Library{path, std::move(handle), getClassObject, canUnloadNow});
      }
    }
    return getClassObject(rclsid, riid, ppv);
  });
}

HRESULT CoCreateInstance(REFCLSID rclsid, IUnknown* pUnkOuter, DWORD clsContext, REFIID riid,
                         void** ppv) {
  if (ppv == nullptr) return E_INVALIDARG;
  *ppv = nullptr;
  void* raw = nullptr;
  HRESULT hr = CoGetClassObject(rclsid, clsContext, nullptr, IID_IClassFactory, &raw);
  if (FAILED(hr)) return hr;
  velmor::com::ComPtr<IClassFactory> factory(static_cast<IClassFactory*>(raw));
  return factory->CreateInstance(pUnkOuter, riid, ppv);
}

void CoFreeUnusedLibraries() {
  Libraries& loaded = Loaded();
  std::lock_guard<std::mutex> hold(loaded.lock);
  loaded.FreeUnused();
}

namespace velmor::com {
HRESULT CallServerExport(const std::string& path, const char* name, std::string& why) {
  return velmor::com::GuardedHresult([&]() -> HRESULT {
    UniqueLibrary handle(dlopen(path.c_str(), kLoadFlags));
    if (!handle) {
      const char* message = dlerror();
      why = message != nullptr ? message : "cannot be loaded";
      return CO_E_DLLNOTFOUND;
    }
    auto entry = reinterpret_cast<LPFNREGISTERSERVER>(dlsym(handle.get(), name));
    if (entry == nullptr) {
      why = std::string("it does not export ") + name;
      return CO_E_ERRORINDLL;
    }
    return entry();
  });
}

std::size_t LoadedLibraryCount() {
  Libraries& loaded = Loaded();
  std::lock_guard<std::mutex> hold(loaded.lock);
  return loaded.list().size();
}
}  // namespace velmor::com
