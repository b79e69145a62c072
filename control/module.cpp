// The module velmorQVA.so: its module object, its two class factories and the four entry
// points a host calls. Built with hidden visibility and a version script, so that these four
// are all it exports; everything else (the control, the platform layer) stays its own.
#include "control/control.h"
#include "control/interface/guids.h"
#include "control/module.h"
#include "control/proppage.h"
#include "platform/registry/selfreg.h"

#define VELMOR_EXPORT extern "C" __attribute__((visibility("default")))

namespace velmor {
namespace {

CVelmorApp theApp;

class CVelmorCtrlFactory final : public COleObjectFactory {
 public:
  CVelmorCtrlFactory() : COleObjectFactory(CLSID_Velmor, &CreateVelmorCtrl, FALSE, kControlProgID) {}
  BOOL UpdateRegistry(BOOL bRegister) override {
    if (bRegister) {
      return AfxOleRegisterControlClass(AfxGetInstanceHandle(), CLSID_Velmor, kControlProgID,
                                        IDS_VELMOR, IDB_VELMOR, afxRegApartmentThreading,
                                        kControlMiscStatus, LIBID_VELMORLib, kTypeLibMajor,
                                        kTypeLibMinor);
    }
    return AfxOleUnregisterClass(CLSID_Velmor, kControlProgID);
  }
};

class CVelmorPropPageFactory final : public COleObjectFactory {
 public:
  CVelmorPropPageFactory()
      : COleObjectFactory(CLSID_VelmorPropPage, &CreateVelmorPropPage, FALSE, kPropPageProgID) {}
  BOOL UpdateRegistry(BOOL bRegister) override {
    // The page's ProgID is known to its factory but not written to the registry.
    if (bRegister) {
      return AfxOleRegisterPropertyPageClass(AfxGetInstanceHandle(), CLSID_VelmorPropPage,
                                             IDS_VELMOR_PPG);
    }
    return AfxOleUnregisterClass(CLSID_VelmorPropPage, nullptr);
  }
};

CVelmorCtrlFactory theCtrlFactory;
CVelmorPropPageFactory thePropPageFactory;

// The module object's start-up and shutdown run with the module's loading and unloading.
struct ModuleLifetime {
  ModuleLifetime() { theApp.InitInstance(); }
  ~ModuleLifetime() { theApp.ExitInstance(); }
} theModuleLifetime;


}  // namespace
}  // namespace velmor

VELMOR_EXPORT HRESULT DllGetClassObject(REFCLSID rclsid, REFIID riid, void** ppv) {
  return velmor::com::GuardedHresult(
      [&] { return velmor::COleObjectFactory::GetClassObject(rclsid, riid, ppv); }, E_UNEXPECTED);
}

VELMOR_EXPORT HRESULT DllCanUnloadNow() {
  return velmor::AfxOleCanExitApp() ? S_OK : S_FALSE;
}

VELMOR_EXPORT HRESULT DllRegisterServer() {
  return velmor::com::GuardedHresult([]() -> HRESULT {
    if (!AfxOleRegisterTypeLib(velmor::AfxGetInstanceHandle(), velmor::LIBID_VELMORLib)) {
      return SELFREG_E_TYPELIB;
    }
    if (!velmor::COleObjectFactory::UpdateRegistryAll(TRUE)) return SELFREG_E_CLASS;
    return S_OK;
  }, E_UNEXPECTED);
}

VELMOR_EXPORT HRESULT DllUnregisterServer() {
  return velmor::com::GuardedHresult([]() -> HRESULT {
    if (!AfxOleUnregisterTypeLib(velmor::LIBID_VELMORLib, velmor::kTypeLibMajor,
                                 velmor::kTypeLibMinor, 0)) {
      return SELFREG_E_TYPELIB;
    }
    if (!velmor::COleObjectFactory::UpdateRegistryAll(FALSE)) return SELFREG_E_CLASS;
    return S_OK;
  }, E_UNEXPECTED);
}
