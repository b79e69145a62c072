// The control object a page creates and drives from script: `CVelmorCtrl` with its dispatch
// interface of eight text properties and ten methods, its object-safety declaration and its
// lifecycle. Hosts reach it only through IDispatch, created with CreateVelmorCtrl.
//
// Every getter and method answers with one result text in the ANSI code page, returned as an
// automation string; operations never fail through the interface, the text carries the outcome.
#pragma once

#include <string>

#include "certs/properties.h"
#include "control/interface/members.h"
#include "platform/com/com.h"
#include "platform/gdi/gdi.h"
#include "platform/gdi/ole.h"

namespace velmor {

// The control's state version for property exchange: major 1 in the high word, minor 0.
inline constexpr DWORD kPropExchangeVersion = 0x00010000;
// The Copyright property's text when a control is created.
inline constexpr char kDefaultCopyright[] = "Tarnvik Inc.";

// The dispatch identifiers of the control's interface, as its member table
// (control/interface/members.h) gives them.
enum : DISPID {
  DISPID_Copyright = control::DispidOf("Copyright"),
  DISPID_SignData = control::DispidOf("SignData"),
  DISPID_CN = control::DispidOf("CN"),
  DISPID_SignFile = control::DispidOf("SignFile"),
  DISPID_Signature = control::DispidOf("Signature"),
  DISPID_EncryptCN = control::DispidOf("EncryptCN"),
  DISPID_DecryptCN = control::DispidOf("DecryptCN"),
  DISPID_IssuerCN = control::DispidOf("IssuerCN"),
  DISPID_PKCS7Data = control::DispidOf("PKCS7Data"),
  DISPID_SignCert = control::DispidOf("SignCert"),
  DISPID_Encrypt = control::DispidOf("Encrypt"),
  DISPID_VerifyPKCS7 = control::DispidOf("VerifyPKCS7"),
  DISPID_Decrypt = control::DispidOf("Decrypt"),
  DISPID_EncryptFile = control::DispidOf("EncryptFile"),
  DISPID_DecryptFile = control::DispidOf("DecryptFile"),
  DISPID_VerifySignature = control::DispidOf("VerifySignature"),
  DISPID_getProviderName = control::DispidOf("getProviderName"),
  DISPID_getCertList = control::DispidOf("getCertList"),
};
inline constexpr int kDispatchMemberCount = static_cast<int>(control::kMemberCount);

// PropExchange: property exchange reduced to what the control persists, its version stamp.
// Saving records the stamp; loading checks the stamp found against the control's.
struct PropExchange {
  bool loading = false;
  DWORD version = 0;  // saving: the stamp written; loading: the stamp found in the saved state
  // ExchangeVersion: saving stores `current`; loading accepts the stamp found when it equals
  // `current` or when conversion is allowed. Returns FALSE when a load must be refused.
  BOOL ExchangeVersion(DWORD current, BOOL allowConversion);
};

class CVelmorCtrl final : public CtrlState, public IDispatch {
 public:
  // The control's IObjectSafety: shares the control's identity and reference count and
  // declares it safe for untrusted callers and untrusted data, always.
  class XObjectSafety final : public IObjectSafety {
   public:
    explicit XObjectSafety(CVelmorCtrl& outer) : outer_(outer) {}
    HRESULT QueryInterface(REFIID riid, void** ppv) override;
    ULONG AddRef() override;
    ULONG Release() override;
    // GetInterfaceSafetyOptions: both outputs 3 whether or not the control has `riid`;
    // returns S_OK when it has it, else E_NOINTERFACE (E_POINTER for a null output).
    HRESULT GetInterfaceSafetyOptions(REFIID riid, DWORD* pdwSupportedOptions,
                                      DWORD* pdwEnabledOptions) override;
    // SetInterfaceSafetyOptions: E_NOINTERFACE when the control lacks `riid`; S_OK when the
    // mask asks for no option beyond 3 and every option it names is enabled; else E_FAIL.
    // Nothing is stored.
    HRESULT SetInterfaceSafetyOptions(REFIID riid, DWORD dwOptionSetMask,
                                      DWORD dwEnabledOptions) override;

   private:
    CVelmorCtrl& outer_;
  };

  // The control's IViewObject: Draw runs OnDraw into the container's DC. The other methods are
  // those of an object without colour sets, freezing or advise sinks.
  class XViewObject final : public IViewObject {
   public:
    explicit XViewObject(CVelmorCtrl& outer) : outer_(outer) {}
    HRESULT QueryInterface(REFIID riid, void** ppv) override;
    ULONG AddRef() override;
    ULONG Release() override;
    // Draw: E_INVALIDARG without a DC or bounds; DV_E_DVASPECT for an aspect but the content.
    HRESULT Draw(DWORD dwDrawAspect, LONG lindex, void* pvAspect, DVTARGETDEVICE* ptd,
                 HDC hdcTargetDev, HDC hdcDraw, LPCRECTL lprcBounds, LPCRECTL lprcWBounds,
                 BOOL (*pfnContinue)(ULONG_PTR), ULONG_PTR dwContinue) override;
    HRESULT GetColorSet(DWORD, LONG, void*, DVTARGETDEVICE*, HDC, void** ppColorSet) override;
    HRESULT Freeze(DWORD, LONG, void*, DWORD* pdwFreeze) override;
    HRESULT Unfreeze(DWORD) override;
    HRESULT SetAdvise(DWORD, DWORD, IUnknown*) override;
    HRESULT GetAdvise(DWORD* pAspects, DWORD* pAdvf, IUnknown** ppAdvSink) override;

   private:
    CVelmorCtrl& outer_;
  };

  // The control's ISpecifyPropertyPages: the page classes of GetPropPageIDs.
  class XSpecifyPropertyPages final : public ISpecifyPropertyPages {
   public:
    explicit XSpecifyPropertyPages(CVelmorCtrl& outer) : outer_(outer) {}
    HRESULT QueryInterface(REFIID riid, void** ppv) override;
    ULONG AddRef() override;
    ULONG Release() override;
    // GetPages: the list in pElems (from CoTaskMemAlloc, the caller's). E_POINTER,
    // E_OUTOFMEMORY (with an empty list).
    HRESULT GetPages(CAUUID* pPages) override;

   private:
    CVelmorCtrl& outer_;
  };

  // The control's IOleObject, as far as a control that is invisible at run time needs it: its
  // class, user type and status, its client site, and the verbs of its message map (the one
  // Properties verb). The rest answers as for an object that keeps no moniker, data or advise
  // sinks.
  class XOleObject final : public IOleObject {
   public:
    explicit XOleObject(CVelmorCtrl& outer) : outer_(outer) {}
    HRESULT QueryInterface(REFIID riid, void** ppv) override;
    ULONG AddRef() override;
    ULONG Release() override;
    HRESULT SetClientSite(IOleClientSite* pClientSite) override;
    HRESULT GetClientSite(IOleClientSite** ppClientSite) override;
    HRESULT SetHostNames(LPCOLESTR, LPCOLESTR) override { return S_OK; }
    HRESULT Close(DWORD) override { return S_OK; }
    HRESULT SetMoniker(DWORD, IUnknown*) override { return E_NOTIMPL; }
    HRESULT GetMoniker(DWORD, DWORD, IUnknown** ppmk) override;
    HRESULT InitFromData(IUnknown*, BOOL, DWORD) override { return E_NOTIMPL; }
    HRESULT GetClipboardData(DWORD, IUnknown** ppDataObject) override;
    // DoVerb: OLEIVERB_PROPERTIES, the message map's one verb, runs OnProperties into
    // `hdcParent`; any other verb E_NOTIMPL (the control has no window to show or activate).
    HRESULT DoVerb(LONG iVerb, LPMSG lpmsg, IOleClientSite* pActiveSite, LONG lindex,
                   HDC hdcParent, LPCRECT lprcPosRect) override;
    // EnumVerbs: the verbs of the message map, each with its name from CoTaskMemAlloc.
    HRESULT EnumVerbs(IEnumOLEVERB** ppEnumOleVerb) override;
    HRESULT Update() override { return S_OK; }
    HRESULT IsUpToDate() override { return S_OK; }
    HRESULT GetUserClassID(CLSID* pClsid) override;
    // GetUserType: the user type name (string 1), from CoTaskMemAlloc, the caller's.
    HRESULT GetUserType(DWORD dwFormOfType, LPOLESTR* pszUserType) override;
    HRESULT SetExtent(DWORD, SIZEL*) override { return E_NOTIMPL; }
    HRESULT GetExtent(DWORD, SIZEL*) override { return E_NOTIMPL; }
    HRESULT Advise(IUnknown*, DWORD* pdwConnection) override;
    HRESULT Unadvise(DWORD) override { return OLE_E_NOCONNECTION; }
    HRESULT EnumAdvise(IUnknown** ppenumAdvise) override;
    HRESULT GetMiscStatus(DWORD dwAspect, DWORD* pdwStatus) override;
    HRESULT SetColorScheme(void*) override { return E_NOTIMPL; }

   private:
    CVelmorCtrl& outer_;
    com::ComPtr<IOleClientSite> site_;
  };

  // A new control with a reference count of 0; the first QueryInterface or AddRef takes the
  // first reference and the last Release destroys it.
  CVelmorCtrl();
  CVelmorCtrl(const CVelmorCtrl&) = delete;
  CVelmorCtrl& operator=(const CVelmorCtrl&) = delete;

  // IUnknown: IUnknown and IDispatch give the control itself, IObjectSafety, IViewObject,
  // ISpecifyPropertyPages and IOleObject its interface parts.
  HRESULT QueryInterface(REFIID riid, void** ppv) override;
  ULONG AddRef() override;
  ULONG Release() override;

  // IDispatch. GetTypeInfoCount answers 1; GetTypeInfo hands out the type information of
  // `_DVelmor` from the module's type library (DISP_E_BADINDEX for any index but 0). GetIDsOfNames matches member names case-insensitively (DISP_E_UNKNOWNNAME
  // otherwise). Invoke runs a property get, a property put or a method; a failed operation is
  // an "E:" result text with S_OK, never a failure HRESULT.
  HRESULT GetTypeInfoCount(UINT* pctinfo) override;
  HRESULT GetTypeInfo(UINT iTInfo, LCID lcid, ITypeInfo** ppTInfo) override;
  HRESULT GetIDsOfNames(REFIID riid, LPOLESTR* rgszNames, UINT cNames, LCID lcid,
                        DISPID* rgDispId) override;
  HRESULT Invoke(DISPID dispIdMember, REFIID riid, LCID lcid, WORD wFlags,
                 DISPPARAMS* pDispParams, VARIANT* pVarResult, EXCEPINFO* pExcepInfo,
                 UINT* puArgErr) override;

  // DoPropExchange: exchanges the version stamp only; no property is saved or loaded.
  void DoPropExchange(PropExchange& px);
  // OnResetState: the control has no stored properties to reset.
  void OnResetState() {}
  // OnDraw: the control's face: `rcBounds` filled with the stock white brush, then the ellipse
  // inscribed in it with the DC's current pen and brush. Nothing is selected into the DC.
  void OnDraw(HDC pdc, const RECT& rcBounds, const RECT& rcInvalid);
  // GetClassID, GetMiscStatus, GetUserTypeNameID: the class identifier, the status flags
  // registered for the control, the string resource of its user type name.
  static const CLSID& GetClassID();
  static DWORD GetMiscStatus();
  static UINT GetUserTypeNameID();
  // GetPropPageIDs: the module-wide list of property pages (the one CVelmorPropPage); `count`
  // becomes 1.
  static const CLSID* GetPropPageIDs(ULONG& count);
  // OnProperties: the Properties verb: a property frame for this control with its pages,
  // titled with its user type name, at the top left of `hdcParent` (the parent window).
  // Returns the frame's answer.
  HRESULT OnProperties(HDC hdcParent);
  // IsModified: whether a property put has marked the control modified.
  bool IsModified() const { return m_bModified; }
  ULONG RefCount() const { return m_refs; }

 private:
  struct Member;
  static const Member* FindMember(DISPID id);
  static const Member kMembers[kDispatchMemberCount];

  ~CVelmorCtrl();  // only the last Release destroys a control
  HRESULT InvokeMember(const Member& member, WORD wFlags, const DISPPARAMS& params,
                       VARIANT* pVarResult, UINT* puArgErr);

  XObjectSafety m_xObjectSafety;
  XViewObject m_xViewObject;
  XSpecifyPropertyPages m_xSpecifyPropertyPages;
  XOleObject m_xOleObject;
  std::string m_copyright;  // ANSI text
  ULONG m_refs = 0;
};

// CreateVelmorCtrl: a new control, its interface `riid` in *ppv with one reference the caller
// owns (Release it). Returns E_POINTER for a null ppv, E_OUTOFMEMORY, or E_NOINTERFACE (with
// *ppv null) for an interface the control lacks.
HRESULT CreateVelmorCtrl(REFIID riid, void** ppv);

}  // namespace velmor
