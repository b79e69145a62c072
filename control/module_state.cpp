// The module's state behind its class factories: the factory list and the counts.
#include <atomic>
#include <mutex>

#include "control/module.h"
#include "resources/resources.h"

namespace velmor {

namespace {
std::atomic<long> g_objectCount{0};
std::atomic<long> g_lockCount{0};
std::mutex g_factoriesLock;
COleObjectFactory* g_firstFactory = nullptr;
}  // namespace

HINSTANCE AfxGetInstanceHandle() { return &resources::kModuleResources; }

void AfxOleLockApp() { ++g_objectCount; }
void AfxOleUnlockApp() { --g_objectCount; }
bool AfxOleCanExitApp() { return g_objectCount.load() == 0 && g_lockCount.load() == 0; }

COleObjectFactory::COleObjectFactory(REFCLSID clsid, CreateFunction create, BOOL bMultiInstance,
                                     LPCSTR progID)
    : m_clsid(clsid), m_create(create), m_bMultiInstance(bMultiInstance), m_lpszProgID(progID) {
  std::lock_guard<std::mutex> hold(g_factoriesLock);
  m_pNextFactory = g_firstFactory;
  g_firstFactory = this;
}

COleObjectFactory::~COleObjectFactory() {
  std::lock_guard<std::mutex> hold(g_factoriesLock);
  for (COleObjectFactory** link = &g_firstFactory; *link != nullptr; link = &(*link)->m_pNextFactory) {
    if (*link == this) {
      *link = m_pNextFactory;
      break;
    }
  }
}

HRESULT COleObjectFactory::QueryInterface(REFIID riid, void** ppv) {
  return velmor::com::QueryAs(static_cast<IClassFactory*>(this), IID_IClassFactory, riid, ppv);
}

// A factory lives as long as the module; a reference to it holds the module like an object.
ULONG COleObjectFactory::AddRef() {
  AfxOleLockApp();
  return 2;
}
ULONG COleObjectFactory::Release() {
  AfxOleUnlockApp();
  return 1;
}

HRESULT COleObjectFactory::CreateInstance(IUnknown* pUnkOuter, REFIID riid, void** ppv) {
  if (ppv == nullptr) return E_POINTER;
  *ppv = nullptr;
  if (pUnkOuter != nullptr) return CLASS_E_NOAGGREGATION;
  return m_create(riid, ppv);
}

HRESULT COleObjectFactory::LockServer(BOOL fLock) {
  if (fLock != FALSE) {
    ++g_lockCount;
  } else {
    // More unlocks than locks would let the module go while a client still counts on it.
    long held = g_lockCount.load();
    while (held > 0 && !g_lockCount.compare_exchange_weak(held, held - 1)) {
    }
    if (held <= 0) return E_UNEXPECTED;
  }
  return S_OK;
}

BOOL COleObjectFactory::UpdateRegistryAll(BOOL bRegister) {
  std::lock_guard<std::mutex> hold(g_factoriesLock);
  for (COleObjectFactory* f = g_firstFactory; f != nullptr; f = f->m_pNextFactory) {
    if (!f->UpdateRegistry(bRegister)) return FALSE;
  }
  return TRUE;
}

HRESULT COleObjectFactory::GetClassObject(REFCLSID rclsid, REFIID riid, void** ppv) {
  if (ppv == nullptr) return E_POINTER;
  *ppv = nullptr;
  std::lock_guard<std::mutex> hold(g_factoriesLock);
  for (COleObjectFactory* f = g_firstFactory; f != nullptr; f = f->m_pNextFactory) {
    if (f->m_clsid == rclsid) return f->QueryInterface(riid, ppv);
  }
  return CLASS_E_CLASSNOTAVAILABLE;
}

}  // namespace velmor
