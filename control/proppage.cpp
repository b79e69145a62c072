#include "control/proppage.h"

#include <new>

#include "control/module.h"

namespace velmor {

CVelmorPropPage::CVelmorPropPage() { AfxOleLockApp(); }
CVelmorPropPage::~CVelmorPropPage() { AfxOleUnlockApp(); }

HRESULT CVelmorPropPage::QueryInterface(REFIID riid, void** ppv) {
  if (ppv == nullptr) return E_POINTER;
  if (riid == IID_IUnknown) {
    *ppv = static_cast<IUnknown*>(this);
    AddRef();
    return S_OK;
  }
  *ppv = nullptr;
  return E_NOINTERFACE;
}

ULONG CVelmorPropPage::AddRef() { return ++m_refs; }

ULONG CVelmorPropPage::Release() {
  const ULONG left = --m_refs;
  if (left == 0) delete this;
  return left;
}

HRESULT CreateVelmorPropPage(REFIID riid, void** ppv) {
  if (ppv == nullptr) return E_POINTER;
  *ppv = nullptr;
  auto* page = new (std::nothrow) CVelmorPropPage();
  if (page == nullptr) return E_OUTOFMEMORY;
  page->AddRef();
  const HRESULT hr = page->QueryInterface(riid, ppv);
  page->Release();
  return hr;
}

}  // namespace velmor
