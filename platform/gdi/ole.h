// The OLE interfaces through which a container shows an object's property pages, and the
// property frame that shows them, in COM slot order with the Windows SDK's values.
//
// There is no window system: where Windows hands a page or a frame a parent window, ours are
// handed the device context that stands for it, and a page's "window" is a rectangle of that
// DC. IPropertyPage::Activate takes the DC (borrowed until Deactivate) and the rectangle, and
// lays the page out without painting it (a page is created hidden); Show(SW_SHOW) paints it and
// Move paints it again at its new place while it is shown. The frame is modal with nobody to
// press its buttons: it creates and shows its pages, and closes at once as Cancel would, leaving
// its picture in the DC.
#pragma once

#include "platform/com/com.h"
#include "platform/gdi/gdi.h"

inline constexpr LCID LOCALE_USER_DEFAULT = 0x0400;
inline constexpr HRESULT OLEOBJ_E_NOVERBS = MakeHResult(0x80040180u);
inline constexpr HRESULT OLE_E_ADVISENOTSUPPORTED = MakeHResult(0x80040003u);
inline constexpr HRESULT OLE_E_NOCONNECTION = MakeHResult(0x80040004u);

// Show commands of IPropertyPage::Show.
inline constexpr UINT SW_HIDE = 0;
inline constexpr UINT SW_SHOWNORMAL = 1;
inline constexpr UINT SW_SHOW = 5;

// Status flags of IPropertyPageSite::OnStatusChange.
inline constexpr DWORD PROPPAGESTATUS_DIRTY = 0x1;
inline constexpr DWORD PROPPAGESTATUS_VALIDATE = 0x2;
inline constexpr DWORD PROPPAGESTATUS_CLEAN = 0x4;

// Verbs of IOleObject::DoVerb.
inline constexpr LONG OLEIVERB_PRIMARY = 0;
inline constexpr LONG OLEIVERB_SHOW = -1;
inline constexpr LONG OLEIVERB_OPEN = -2;
inline constexpr LONG OLEIVERB_HIDE = -3;
inline constexpr LONG OLEIVERB_UIACTIVATE = -4;
inline constexpr LONG OLEIVERB_INPLACEACTIVATE = -5;
inline constexpr LONG OLEIVERB_DISCARDUNDOSTATE = -6;
inline constexpr LONG OLEIVERB_PROPERTIES = -7;

inline constexpr DWORD USERCLASSTYPE_FULL = 1;
inline constexpr DWORD USERCLASSTYPE_SHORT = 2;
inline constexpr DWORD USERCLASSTYPE_APPNAME = 3;

inline constexpr DWORD MF_ENABLED = 0x0;
inline constexpr DWORD OLEVERBATTRIB_ONCONTAINERMENU = 0x2;

// OLEVERB: one verb an object offers; lpszVerbName comes from CoTaskMemAlloc and belongs to the
// caller.
struct OLEVERB {
  LONG lVerb;
  LPOLESTR lpszVerbName;
  DWORD fuFlags;
  DWORD grfAttribs;
};

struct IEnumOLEVERB : IUnknown {
  // Next: up to `celt` verbs; S_OK when all were fetched, S_FALSE when fewer. pceltFetched may
  // be null only when celt is 1.
  virtual HRESULT Next(ULONG celt, OLEVERB* rgelt, ULONG* pceltFetched) = 0;
  virtual HRESULT Skip(ULONG celt) = 0;
  virtual HRESULT Reset() = 0;
  virtual HRESULT Clone(IEnumOLEVERB** ppenum) = 0;

 protected:
  ~IEnumOLEVERB() = default;
};

struct MSG;
using LPMSG = MSG*;
struct SIZEL {
  LONG cx;
  LONG cy;
};

// PROPPAGEINFO: a page's title and size. pszTitle, pszDocString and pszHelpFile come from
// CoTaskMemAlloc and belong to the caller.
struct PROPPAGEINFO {
  ULONG cb;
  LPOLESTR pszTitle;
  SIZE size;  // pixels
  LPOLESTR pszDocString;
  LPOLESTR pszHelpFile;
  DWORD dwHelpContext;
};

// CAUUID: a counted array of GUIDs from CoTaskMemAlloc; the caller frees pElems.
struct CAUUID {
  ULONG cElems;
  GUID* pElems;
};

struct IPropertyPageSite : IUnknown {
  virtual HRESULT OnStatusChange(DWORD dwFlags) = 0;
  virtual HRESULT GetLocaleID(LCID* pLocaleID) = 0;
  virtual HRESULT GetPageContainer(IUnknown** ppUnk) = 0;
  virtual HRESULT TranslateAccelerator(LPMSG pMsg) = 0;

 protected:
  ~IPropertyPageSite() = default;
};

struct IPropertyPage : IUnknown {
  virtual HRESULT SetPageSite(IPropertyPageSite* pPageSite) = 0;
  // Activate: the page's window becomes `*pRect` of `hdcParent` (see above).
  virtual HRESULT Activate(HDC hdcParent, LPCRECT pRect, BOOL bModal) = 0;
  virtual HRESULT Deactivate() = 0;
  virtual HRESULT GetPageInfo(PROPPAGEINFO* pPageInfo) = 0;
  virtual HRESULT SetObjects(ULONG cObjects, IUnknown** ppUnk) = 0;
  virtual HRESULT Show(UINT nCmdShow) = 0;
  virtual HRESULT Move(LPCRECT pRect) = 0;
  virtual HRESULT IsPageDirty() = 0;
  virtual HRESULT Apply() = 0;
  virtual HRESULT Help(LPCOLESTR pszHelpDir) = 0;
  virtual HRESULT TranslateAccelerator(LPMSG pMsg) = 0;

 protected:
  ~IPropertyPage() = default;
};

struct ISpecifyPropertyPages : IUnknown {
  virtual HRESULT GetPages(CAUUID* pPages) = 0;

 protected:
  ~ISpecifyPropertyPages() = default;
};

struct IOleClientSite : IUnknown {
  virtual HRESULT SaveObject() = 0;
  virtual HRESULT GetMoniker(DWORD dwAssign, DWORD dwWhichMoniker, IUnknown** ppmk) = 0;
  virtual HRESULT GetContainer(IUnknown** ppContainer) = 0;
  virtual HRESULT ShowObject() = 0;
  virtual HRESULT OnShowWindow(BOOL fShow) = 0;
  virtual HRESULT RequestNewObjectLayout() = 0;

 protected:
  ~IOleClientSite() = default;
};

// IOleObject. The interfaces it names but nobody here implements (monikers, data objects,
// advise sinks, enumerators) are passed as IUnknown.
struct IOleObject : IUnknown {
  virtual HRESULT SetClientSite(IOleClientSite* pClientSite) = 0;
  virtual HRESULT GetClientSite(IOleClientSite** ppClientSite) = 0;
  virtual HRESULT SetHostNames(LPCOLESTR szContainerApp, LPCOLESTR szContainerObj) = 0;
  virtual HRESULT Close(DWORD dwSaveOption) = 0;
  virtual HRESULT SetMoniker(DWORD dwWhichMoniker, IUnknown* pmk) = 0;
  virtual HRESULT GetMoniker(DWORD dwAssign, DWORD dwWhichMoniker, IUnknown** ppmk) = 0;
  virtual HRESULT InitFromData(IUnknown* pDataObject, BOOL fCreation, DWORD dwReserved) = 0;
  virtual HRESULT GetClipboardData(DWORD dwReserved, IUnknown** ppDataObject) = 0;
  // DoVerb: `hdcParent` stands for the parent window (see above).
  virtual HRESULT DoVerb(LONG iVerb, LPMSG lpmsg, IOleClientSite* pActiveSite, LONG lindex,
                         HDC hdcParent, LPCRECT lprcPosRect) = 0;
  virtual HRESULT EnumVerbs(IEnumOLEVERB** ppEnumOleVerb) = 0;
  virtual HRESULT Update() = 0;
  virtual HRESULT IsUpToDate() = 0;
  virtual HRESULT GetUserClassID(CLSID* pClsid) = 0;
  virtual HRESULT GetUserType(DWORD dwFormOfType, LPOLESTR* pszUserType) = 0;
  virtual HRESULT SetExtent(DWORD dwDrawAspect, SIZEL* psizel) = 0;
  virtual HRESULT GetExtent(DWORD dwDrawAspect, SIZEL* psizel) = 0;
  virtual HRESULT Advise(IUnknown* pAdvSink, DWORD* pdwConnection) = 0;
  virtual HRESULT Unadvise(DWORD dwConnection) = 0;
  virtual HRESULT EnumAdvise(IUnknown** ppenumAdvise) = 0;
  virtual HRESULT GetMiscStatus(DWORD dwAspect, DWORD* pdwStatus) = 0;
  virtual HRESULT SetColorScheme(void* pLogpal) = 0;

 protected:
  ~IOleObject() = default;
};

extern const IID IID_IPropertyPageSite;
extern const IID IID_IPropertyPage;
extern const IID IID_ISpecifyPropertyPages;
extern const IID IID_IOleClientSite;
extern const IID IID_IOleObject;
extern const IID IID_IEnumOLEVERB;

// OleCreatePropertyFrame: shows the pages `pPageClsID` (created with CoCreateInstance) for the
// objects `ppUnk` in a modal property frame with its top left at (x, y) of `hdcOwner`, titled
// `lpszCaption` and " Properties", one tab a page, the first page shown. Returns S_OK once the
// frame has closed; E_INVALIDARG without a DC or without pages, E_POINTER for a null array with
// a count, the error of a page that cannot be created or refuses its site or objects.
HRESULT OleCreatePropertyFrame(HDC hdcOwner, UINT x, UINT y, LPCOLESTR lpszCaption,
                               ULONG cObjects, IUnknown** ppUnk, ULONG cPages,
                               const CLSID* pPageClsID, LCID lcid, DWORD dwReserved,
                               void* pvReserved);

namespace velmor::gdi {
// PropertyFrameSize: the size in pixels of the frame OleCreatePropertyFrame draws for these
// pages, for a caller that must make its DC first. The errors of OleCreatePropertyFrame.
HRESULT PropertyFrameSize(ULONG cPages, const CLSID* pPageClsID, LCID lcid, SIZE* size);
}  // namespace velmor::gdi
