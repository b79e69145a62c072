#include "control/proppage.h"

#include <cstring>
#include <new>

#include "control/interface/guids.h"
#include "control/module.h"

namespace velmor {

COlePropertyPage::COlePropertyPage(UINT idTemplate, UINT idCaption)
    : m_idTemplate(idTemplate), m_idCaption(idCaption) {}
COlePropertyPage::~COlePropertyPage() = default;

HRESULT COlePropertyPage::QueryInterface(REFIID riid, void** ppv) {
  return velmor::com::QueryAs(static_cast<IPropertyPage*>(this), IID_IPropertyPage, riid, ppv);
}

ULONG COlePropertyPage::AddRef() { return ++m_refs; }

ULONG COlePropertyPage::Release() {
  const ULONG left = --m_refs;
  if (left == 0) delete this;
  return left;
}

const com::DialogResource* COlePropertyPage::Template() const {
  return com::FindDialog(AfxGetInstanceHandle(), m_idTemplate);
}

HRESULT COlePropertyPage::SetPageSite(IPropertyPageSite* pPageSite) {
  if (pPageSite == nullptr) {
    m_site.reset();
    return S_OK;
  }
  if (m_site) return E_UNEXPECTED;
  pPageSite->AddRef();
  m_site.reset(pPageSite);
  return S_OK;
}

HRESULT COlePropertyPage::Activate(HDC hdcParent, LPCRECT pRect, BOOL) {
  if (pRect == nullptr) return E_POINTER;
  if (hdcParent == nullptr) return E_INVALIDARG;
  if (!m_site || IsActive()) return E_UNEXPECTED;
  const com::DialogResource* dialog = Template();
  return com::GuardedHresult([&]() -> HRESULT {
    if (dialog == nullptr || !gdi::LayoutDialog(*dialog, m_layout)) return E_FAIL;
    m_hdc = hdcParent;
    m_rect = *pRect;
    // A page whose template is not WS_VISIBLE waits for Show.
    m_visible = (dialog->style & WS_VISIBLE) != 0;
    if (m_visible) Paint();
    return S_OK;
  });
}

HRESULT COlePropertyPage::Deactivate() {
  if (!IsActive()) return E_UNEXPECTED;
  m_hdc = nullptr;
  m_visible = false;
  return S_OK;
}

HRESULT COlePropertyPage::GetPageInfo(PROPPAGEINFO* pPageInfo) {
  if (pPageInfo == nullptr) return E_POINTER;
  const com::DialogResource* dialog = Template();
  const char* caption = com::FindString(AfxGetInstanceHandle(), m_idCaption);
  return com::GuardedHresult([&]() -> HRESULT {
    gdi::DialogLayout layout;
    if (dialog == nullptr || caption == nullptr || !gdi::LayoutDialog(*dialog, layout)) return E_FAIL;
    const int units = MultiByteToWideChar(CP_ACP, 0, caption, -1, nullptr, 0);
    if (units <= 0) return E_FAIL;
    com::UniqueCoTaskMem<OLECHAR> title(
        static_cast<OLECHAR*>(CoTaskMemAlloc(static_cast<std::size_t>(units) * sizeof(OLECHAR))));
    if (!title) return E_OUTOFMEMORY;
    if (MultiByteToWideChar(CP_ACP, 0, caption, -1, title.get(), units) <= 0) return E_FAIL;
    *pPageInfo = PROPPAGEINFO{sizeof(PROPPAGEINFO), title.release(), layout.size, nullptr, nullptr, 0};
    return S_OK;
  });
}

HRESULT COlePropertyPage::SetObjects(ULONG cObjects, IUnknown** ppUnk) {
  if (cObjects != 0 && ppUnk == nullptr) return E_POINTER;
  return com::GuardedHresult([&]() -> HRESULT {
    std::vector<com::ComPtr<IDispatch>> objects;
    for (ULONG i = 0; i < cObjects; ++i) {
      if (ppUnk[i] == nullptr) return E_POINTER;
      void* raw = nullptr;
      if (FAILED(ppUnk[i]->QueryInterface(IID_IDispatch, &raw))) return E_NOINTERFACE;
      objects.emplace_back(static_cast<IDispatch*>(raw));
    }
    m_objects = std::move(objects);
    return S_OK;
  });
}

HRESULT COlePropertyPage::Show(UINT nCmdShow) {
  if (!IsActive()) return E_UNEXPECTED;
  if (nCmdShow == SW_HIDE) {
    m_visible = false;
    return S_OK;
  }
  if (nCmdShow != SW_SHOW && nCmdShow != SW_SHOWNORMAL) return E_INVALIDARG;
  m_visible = true;
  return com::GuardedHresult([&] {
    Paint();
    return S_OK;
  });
}

HRESULT COlePropertyPage::Move(LPCRECT pRect) {
  if (pRect == nullptr) return E_POINTER;
  if (!IsActive()) return E_UNEXPECTED;
  m_rect = *pRect;
  return com::GuardedHresult([&] {
    if (m_visible) Paint();
    return S_OK;
  });
}

HRESULT COlePropertyPage::IsPageDirty() { return m_dirty ? S_OK : S_FALSE; }

HRESULT COlePropertyPage::Apply() {
  if (!m_dirty) return S_OK;
  CDataExchange dx{true};
  DoDataExchange(&dx);
  m_dirty = false;
  if (m_site) m_site->OnStatusChange(PROPPAGESTATUS_CLEAN);
  return S_OK;
}

HRESULT COlePropertyPage::Help(LPCOLESTR) { return E_NOTIMPL; }

HRESULT COlePropertyPage::TranslateAccelerator(LPMSG pMsg) {
  return pMsg == nullptr ? E_POINTER : S_FALSE;
}

void COlePropertyPage::Paint() {
  const com::DialogResource* dialog = Template();
  if (dialog == nullptr) return;
  // The page paints only inside its own rectangle, as a child window would.
  const int saved = SaveDC(m_hdc);
  IntersectClipRect(m_hdc, m_rect.left, m_rect.top, m_rect.right, m_rect.bottom);
  gdi::PaintDialog(m_hdc, POINT{m_rect.left, m_rect.top}, *dialog, m_layout);
  RestoreDC(m_hdc, saved);
}

// ---- CVelmorPropPage --------------------------------------------------------------------------
// A live page keeps its module loaded.
CVelmorPropPage::CVelmorPropPage() : COlePropertyPage(IDD_PROPPAGE_VELMOR, IDS_VELMOR_PPG_CAPTION) {
  AfxOleLockApp();
}
CVelmorPropPage::~CVelmorPropPage() { AfxOleUnlockApp(); }

void CVelmorPropPage::DoDataExchange(CDataExchange* pDX) { DDP_PostProcessing(pDX); }

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
