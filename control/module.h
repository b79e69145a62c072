// The module's side of being an in-process server: its class factories, the counts of live
// objects and server locks that decide when it may be unloaded, and its module object. All of
// it is per module: a process that loads two copies of the module has two of everything.
#pragma once

#include "platform/com/com.h"
#include "platform/com/resource.h"

namespace velmor {

// AfxGetInstanceHandle: the module's instance handle (its resources).
HINSTANCE AfxGetInstanceHandle();

// AfxOleLockApp / AfxOleUnlockApp: one more / one fewer live object of the module.
void AfxOleLockApp();
void AfxOleUnlockApp();
// AfxOleCanExitApp: whether no object is alive and no server lock is held.
bool AfxOleCanExitApp();

// COleObjectFactory: the class factory of one class of the module. Factories are static
// objects; each joins the module's list when it is constructed and leaves it when destroyed.
// They are not reference counted (they live as long as the module), but AddRef and Release keep
// the module loaded while a client holds a factory.
class COleObjectFactory : public IClassFactory {
 public:
  // The factory's objects: made with a reference count of 0, `riid` queried into *ppv.
  using CreateFunction = HRESULT (*)(REFIID riid, void** ppv);

  COleObjectFactory(REFCLSID clsid, CreateFunction create, BOOL bMultiInstance, LPCSTR progID);
  virtual ~COleObjectFactory();
  COleObjectFactory(const COleObjectFactory&) = delete;
  COleObjectFactory& operator=(const COleObjectFactory&) = delete;

  HRESULT QueryInterface(REFIID riid, void** ppv) override;
  ULONG AddRef() override;
  ULONG Release() override;
  // CreateInstance: a new object; CLASS_E_NOAGGREGATION for an outer unknown.
  HRESULT CreateInstance(IUnknown* pUnkOuter, REFIID riid, void** ppv) override;
  // LockServer: TRUE holds the module loaded, FALSE gives a hold back.
  HRESULT LockServer(BOOL fLock) override;

  // UpdateRegistry: writes (TRUE) or removes (FALSE) the class's registry entries.
  virtual BOOL UpdateRegistry(BOOL bRegister) = 0;
  // UpdateRegistryAll: UpdateRegistry on every factory of the module; FALSE at the first failure.
  static BOOL UpdateRegistryAll(BOOL bRegister);
  // GetClassObject: the factory of `rclsid` as `riid`; CLASS_E_CLASSNOTAVAILABLE when the
  // module has none.
  static HRESULT GetClassObject(REFCLSID rclsid, REFIID riid, void** ppv);

  REFCLSID GetClassID() const { return m_clsid; }
  LPCSTR GetProgID() const { return m_lpszProgID; }
  // IsMultiInstance: whether one factory serves many objects (every factory here does).
  BOOL IsMultiInstance() const { return m_bMultiInstance; }

 private:
  CLSID m_clsid;
  CreateFunction m_create;
  BOOL m_bMultiInstance;
  LPCSTR m_lpszProgID;
  COleObjectFactory* m_pNextFactory = nullptr;
};

// CVelmorApp: the module object. It keeps no state of its own.
class CVelmorApp {
 public:
  BOOL InitInstance() { return TRUE; }
  int ExitInstance() { return 0; }
};

}  // namespace velmor
