// The control's property page. COlePropertyPage is a page built from a dialog template and a
// caption string of the module, shown through IPropertyPage (platform/gdi/ole.h: a page's window
// is a rectangle of the DC the frame draws into). `CVelmorPropPage` is the control's one page,
// captioned "General", showing only the centred copyright line of dialog template 200. It edits
// no property.
#pragma once

#include <vector>

#include "platform/com/com.h"
#include "platform/gdi/dialog.h"
#include "platform/gdi/ole.h"

namespace velmor {

// CDataExchange: one exchange between a page's fields and its objects' properties.
struct CDataExchange {
  bool m_bSaveAndValidate = false;  // true: from the page to the objects
};
// DDP_PostProcessing: ends an exchange; a page with no fields has nothing to write back.
inline void DDP_PostProcessing(CDataExchange*) {}

class COlePropertyPage : public IPropertyPage {
 public:
  COlePropertyPage(UINT idTemplate, UINT idCaption);
  COlePropertyPage(const COlePropertyPage&) = delete;
  COlePropertyPage& operator=(const COlePropertyPage&) = delete;

  HRESULT QueryInterface(REFIID riid, void** ppv) override;
  ULONG AddRef() override;
  ULONG Release() override;

  // SetPageSite: a site for a page that has none (E_UNEXPECTED when it has one); null gives
  // the site back.
  HRESULT SetPageSite(IPropertyPageSite* pPageSite) override;
  // Activate: lays the page out in `*pRect` of `hdcParent`, which it borrows until Deactivate,
  // hidden until Show. E_POINTER for a null rectangle, E_INVALIDARG without a DC, E_UNEXPECTED
  // without a site or when already active, E_FAIL when the template cannot be laid out.
  HRESULT Activate(HDC hdcParent, LPCRECT pRect, BOOL bModal) override;
  // Deactivate: lets go of the DC; E_UNEXPECTED when not active.
  HRESULT Deactivate() override;
  // GetPageInfo: the caption string as title (from CoTaskMemAlloc, the caller's) and the
  // template's size in pixels; no help. E_POINTER, E_OUTOFMEMORY, E_FAIL without a template.
  HRESULT GetPageInfo(PROPPAGEINFO* pPageInfo) override;
  // SetObjects: the objects the page shows, each of which must be an automation object
  // (E_NOINTERFACE, keeping none); 0 objects lets go of them. E_POINTER for a null array or
  // element.
  HRESULT SetObjects(ULONG cObjects, IUnknown** ppUnk) override;
  // Show: SW_SHOW / SW_SHOWNORMAL paint the page, SW_HIDE stops it painting. E_UNEXPECTED when
  // not active, E_INVALIDARG for other commands.
  HRESULT Show(UINT nCmdShow) override;
  // Move: the page's new rectangle, painted there if shown. E_POINTER, E_UNEXPECTED.
  HRESULT Move(LPCRECT pRect) override;
  // IsPageDirty: S_OK when a field changed since the last Apply, else S_FALSE.
  HRESULT IsPageDirty() override;
  // Apply: writes the changed fields to the objects (DoDataExchange); S_OK, also when nothing
  // changed.
  HRESULT Apply() override;
  // Help: E_NOTIMPL: the page has no help of its own.
  HRESULT Help(LPCOLESTR pszHelpDir) override;
  // TranslateAccelerator: S_FALSE: the page has no keys of its own. E_POINTER for null.
  HRESULT TranslateAccelerator(LPMSG pMsg) override;

  bool IsActive() const { return m_hdc != nullptr; }

 protected:
  virtual ~COlePropertyPage();
  virtual void DoDataExchange(CDataExchange* pDX) = 0;

 private:
  const com::DialogResource* Template() const;
  void Paint();

  UINT m_idTemplate;
  UINT m_idCaption;
  ULONG m_refs = 0;
  com::ComPtr<IPropertyPageSite> m_site;
  std::vector<com::ComPtr<IDispatch>> m_objects;
  HDC m_hdc = nullptr;  // borrowed from Activate to Deactivate
  RECT m_rect{};
  bool m_visible = false;
  bool m_dirty = false;
  gdi::DialogLayout m_layout;
};

class CVelmorPropPage final : public COlePropertyPage {
 public:
  CVelmorPropPage();

 private:
  ~CVelmorPropPage() override;
  void DoDataExchange(CDataExchange* pDX) override;
};

// CreateVelmorPropPage: a new page, its interface `riid` in *ppv with one reference the caller
// owns. E_POINTER, E_OUTOFMEMORY, E_NOINTERFACE (with *ppv null).
HRESULT CreateVelmorPropPage(REFIID riid, void** ppv);

}  // namespace velmor
