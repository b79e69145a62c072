#include "control/control.h"

#include <algorithm>
#include <iterator>
#include <new>
#include <string_view>

#include "codec/codec.h"
#include "control/arguments.h"
#include "control/interface/members.h"
#include "control/interface/guids.h"
#include "control/module.h"
#include "platform/com/typelib.h"
#include "encryption/encryption.h"
#include "signing/signing.h"

namespace velmor {

// One entry of the dispatch table: the member's row of the member table (its name, DISPID, kind
// and arity) and what runs it. A property has `get` and `put`; a method has `get` only (its
// call) and takes its row's `params` arguments, in declaration order. Every member runs in the
// frame of operation/frame.h: it gives its working handles back and never throws.
struct CVelmorCtrl::Member {
  const control::Member& row;
  std::string (*get)(CVelmorCtrl& ctrl, const char* const* args);
  void (*put)(CVelmorCtrl& ctrl, const control::AnsiArgument& value);
};

namespace {
// Row: the member table's row for `name`; a name the table lacks does not compile.
consteval const control::Member& Row(std::string_view name) {
  return control::kMembers[control::DispidOf(name) - 1];
}
}  // namespace

// The table of the dispatch interface. Each member hands its work to the operation that owns
// it; only Copyright and the write side of Signature live here.
constexpr CVelmorCtrl::Member CVelmorCtrl::kMembers[kDispatchMemberCount] = {
    {Row("Copyright"),
     [](CVelmorCtrl& c, const char* const*) {
       return RunOperation(c, kAnswerEmpty, [&] { return c.m_copyright; });
     },
     [](CVelmorCtrl& c, const control::AnsiArgument& a) {
       RunSetter([&] {
         // An absent value stores an empty text, as an empty automation string would.
         c.m_copyright = a.present ? std::string(a.text) : std::string();
         c.SetModifiedFlag(TRUE);
       });
     }},
    {Row("SignData"),
     [](CVelmorCtrl& c, const char* const*) { return GetSignData(c); },
     [](CVelmorCtrl& c, const control::AnsiArgument& a) { SetSignData(c, a.get()); }},
    {Row("CN"),
     [](CVelmorCtrl& c, const char* const*) { return GetCN(c); },
     [](CVelmorCtrl& c, const control::AnsiArgument& a) { SetCN(c, a.get()); }},
    {Row("SignFile"),
     [](CVelmorCtrl& c, const char* const*) { return GetSignFile(c); },
     // A path cut at a zero character would name another file: it is refused.
     [](CVelmorCtrl& c, const control::AnsiArgument& a) {
       SetSignFile(c, a.HoldsZero() ? "" : a.get());
     }},
    {Row("Signature"),
     [](CVelmorCtrl& c, const char* const*) { return GetSignature(c); },
     // The value is ignored: reading Signature always signs afresh.
     [](CVelmorCtrl& c, const control::AnsiArgument& a) { SetSignature(c, a.get()); }},
    {Row("EncryptCN"),
     [](CVelmorCtrl& c, const char* const*) { return GetEncryptCN(c); },
     [](CVelmorCtrl& c, const control::AnsiArgument& a) { SetEncryptCN(c, a.get()); }},
    {Row("DecryptCN"),
     [](CVelmorCtrl& c, const char* const*) { return GetDecryptCN(c); },
     [](CVelmorCtrl& c, const control::AnsiArgument& a) { SetDecryptCN(c, a.get()); }},
    {Row("IssuerCN"),
     [](CVelmorCtrl& c, const char* const*) { return GetIssuerCN(c); },
     [](CVelmorCtrl& c, const control::AnsiArgument& a) { SetIssuerCN(c, a.get()); }},
    {Row("PKCS7Data"),
     [](CVelmorCtrl& c, const char* const*) { return PKCS7Data(c); }, nullptr},
    {Row("SignCert"),
     [](CVelmorCtrl& c, const char* const*) { return SignCert(c); }, nullptr},
    {Row("Encrypt"),
     [](CVelmorCtrl& c, const char* const* a) { return Encrypt(c, a[0]); }, nullptr},
    {Row("VerifyPKCS7"),
     [](CVelmorCtrl& c, const char* const* a) { return VerifyPKCS7(c, a[0]); }, nullptr},
    {Row("Decrypt"),
     [](CVelmorCtrl& c, const char* const* a) { return Decrypt(c, a[0]); }, nullptr},
    {Row("EncryptFile"),
     [](CVelmorCtrl& c, const char* const* a) { return EncryptFile(c, a[0]); }, nullptr},
    {Row("DecryptFile"),
     [](CVelmorCtrl& c, const char* const* a) { return DecryptFile(c, a[0]); }, nullptr},
    {Row("VerifySignature"),
     [](CVelmorCtrl& c, const char* const* a) { return VerifySignature(c, a[0], a[1], a[2]); },
     nullptr},
    {Row("getProviderName"),
     [](CVelmorCtrl& c, const char* const*) { return getProviderName(c); }, nullptr},
    {Row("getCertList"),
     [](CVelmorCtrl& c, const char* const*) { return getCertList(c); }, nullptr},
};

namespace {

constexpr DWORD kSafeOptions =
    INTERFACESAFE_FOR_UNTRUSTED_CALLER | INTERFACESAFE_FOR_UNTRUSTED_DATA;
constexpr UINT kMaxParams = control::kMaxMemberParams;

char16_t FoldAscii(char16_t c) { return c >= u'a' && c <= u'z' ? c - u'a' + u'A' : c; }

// Names on the interface are ASCII; OLE matches them without regard to case.
bool SameName(const char16_t* asked, std::string_view name) {
  for (char c : name) {
    if (*asked == 0 || FoldAscii(*asked) != FoldAscii(static_cast<char16_t>(c))) return false;
    ++asked;
  }
  return *asked == 0;
}


}  // namespace

BOOL PropExchange::ExchangeVersion(DWORD current, BOOL allowConversion) {
  if (!loading) {
    version = current;
    return TRUE;
  }
  return version == current || allowConversion != FALSE ? TRUE : FALSE;
}

// A live control keeps its module loaded.
CVelmorCtrl::CVelmorCtrl()
    : m_xObjectSafety(*this),
      m_xViewObject(*this),
      m_xSpecifyPropertyPages(*this),
      m_xOleObject(*this),
      m_copyright(kDefaultCopyright) {
  AfxOleLockApp();
}

CVelmorCtrl::~CVelmorCtrl() {
  // Recipient material first, then whatever working handle an interrupted call left behind.
  ReleaseRecipient();
  ReleaseHandles();
  AfxOleUnlockApp();
}

const CVelmorCtrl::Member* CVelmorCtrl::FindMember(DISPID id) {
  // Each row of the member table has its entry here, at its DISPID: a member added to the table
  // and not here, or a property without its put, does not compile.
  static_assert([] {
    for (std::size_t i = 0; i < control::kMemberCount; ++i) {
      const Member& entry = kMembers[i];
      if (&entry.row != &control::kMembers[i] || entry.get == nullptr) return false;
      if ((entry.put != nullptr) != entry.row.property) return false;
    }
    return true;
  }());
  if (id < 1 || id > kDispatchMemberCount) return nullptr;
  return &kMembers[id - 1];
}

// ---- IUnknown ---------------------------------------------------------------------------------
HRESULT CVelmorCtrl::QueryInterface(REFIID riid, void** ppv) {
  if (ppv == nullptr) return E_POINTER;
  if (riid == IID_IUnknown || riid == IID_IDispatch) {
    *ppv = static_cast<IDispatch*>(this);
  } else if (riid == IID_IObjectSafety) {
    *ppv = static_cast<IObjectSafety*>(&m_xObjectSafety);
  } else if (riid == IID_IViewObject) {
    *ppv = static_cast<IViewObject*>(&m_xViewObject);
  } else if (riid == IID_ISpecifyPropertyPages) {
    *ppv = static_cast<ISpecifyPropertyPages*>(&m_xSpecifyPropertyPages);
  } else if (riid == IID_IOleObject) {
    *ppv = static_cast<IOleObject*>(&m_xOleObject);
  } else {
    *ppv = nullptr;
    return E_NOINTERFACE;
  }
  AddRef();
  return S_OK;
}

ULONG CVelmorCtrl::AddRef() { return ++m_refs; }

ULONG CVelmorCtrl::Release() {
  const ULONG left = --m_refs;
  if (left == 0) delete this;
  return left;
}

// ---- IObjectSafety ----------------------------------------------------------------------------
HRESULT CVelmorCtrl::XObjectSafety::QueryInterface(REFIID riid, void** ppv) {
  return outer_.QueryInterface(riid, ppv);
}
ULONG CVelmorCtrl::XObjectSafety::AddRef() { return outer_.AddRef(); }
ULONG CVelmorCtrl::XObjectSafety::Release() { return outer_.Release(); }

HRESULT CVelmorCtrl::XObjectSafety::GetInterfaceSafetyOptions(REFIID riid,
                                                              DWORD* pdwSupportedOptions,
                                                              DWORD* pdwEnabledOptions) {
  if (pdwSupportedOptions == nullptr || pdwEnabledOptions == nullptr) return E_POINTER;
  void* unknown = nullptr;
  const HRESULT hr = outer_.QueryInterface(riid, &unknown);
  if (SUCCEEDED(hr)) static_cast<IUnknown*>(unknown)->Release();
  *pdwSupportedOptions = kSafeOptions;
  *pdwEnabledOptions = kSafeOptions;
  return hr;
}

HRESULT CVelmorCtrl::XObjectSafety::SetInterfaceSafetyOptions(REFIID riid,
                                                              DWORD dwOptionSetMask,
                                                              DWORD dwEnabledOptions) {
  void* unknown = nullptr;
  if (FAILED(outer_.QueryInterface(riid, &unknown))) return E_NOINTERFACE;
  static_cast<IUnknown*>(unknown)->Release();
  const bool onlyKnown = (dwOptionSetMask & ~kSafeOptions) == 0;
  const bool allEnabled = (dwOptionSetMask & dwEnabledOptions) == dwOptionSetMask;
  return onlyKnown && allEnabled ? S_OK : E_FAIL;
}

// ---- IViewObject -----------------------------------------------------------------------------
namespace {
constexpr HRESULT DV_E_DVASPECT = MakeHResult(0x8004006Bu);
}  // namespace

HRESULT CVelmorCtrl::XViewObject::QueryInterface(REFIID riid, void** ppv) {
  return outer_.QueryInterface(riid, ppv);
}
ULONG CVelmorCtrl::XViewObject::AddRef() { return outer_.AddRef(); }
ULONG CVelmorCtrl::XViewObject::Release() { return outer_.Release(); }

HRESULT CVelmorCtrl::XViewObject::Draw(DWORD dwDrawAspect, LONG, void*, DVTARGETDEVICE*, HDC,
                                       HDC hdcDraw, LPCRECTL lprcBounds, LPCRECTL,
                                       BOOL (*)(ULONG_PTR), ULONG_PTR) {
  if (dwDrawAspect != DVASPECT_CONTENT) return DV_E_DVASPECT;
  if (hdcDraw == nullptr || lprcBounds == nullptr) return E_INVALIDARG;
  outer_.OnDraw(hdcDraw, *lprcBounds, *lprcBounds);
  return S_OK;
}
HRESULT CVelmorCtrl::XViewObject::GetColorSet(DWORD, LONG, void*, DVTARGETDEVICE*, HDC,
                                              void** ppColorSet) {
  if (ppColorSet != nullptr) *ppColorSet = nullptr;
  return S_FALSE;
}
HRESULT CVelmorCtrl::XViewObject::Freeze(DWORD, LONG, void*, DWORD* pdwFreeze) {
  if (pdwFreeze != nullptr) *pdwFreeze = 0;
  return E_NOTIMPL;
}
HRESULT CVelmorCtrl::XViewObject::Unfreeze(DWORD) { return E_NOTIMPL; }
HRESULT CVelmorCtrl::XViewObject::SetAdvise(DWORD, DWORD, IUnknown*) {
  return OLE_E_ADVISENOTSUPPORTED;
}
HRESULT CVelmorCtrl::XViewObject::GetAdvise(DWORD* pAspects, DWORD* pAdvf, IUnknown** ppAdvSink) {
  if (pAspects != nullptr) *pAspects = 0;
  if (pAdvf != nullptr) *pAdvf = 0;
  if (ppAdvSink != nullptr) *ppAdvSink = nullptr;
  return OLE_E_ADVISENOTSUPPORTED;
}

void CVelmorCtrl::OnDraw(HDC pdc, const RECT& rcBounds, const RECT&) {
  FillRect(pdc, &rcBounds, static_cast<HBRUSH>(GetStockObject(WHITE_BRUSH)));
  Ellipse(pdc, rcBounds.left, rcBounds.top, rcBounds.right, rcBounds.bottom);
}

const CLSID& CVelmorCtrl::GetClassID() { return CLSID_Velmor; }
DWORD CVelmorCtrl::GetMiscStatus() { return kControlMiscStatus; }
UINT CVelmorCtrl::GetUserTypeNameID() { return IDS_VELMOR; }

const CLSID* CVelmorCtrl::GetPropPageIDs(ULONG& count) {
  // Filled on the first call, as the framework's page list is.
  static const CLSID pages[1] = {CLSID_VelmorPropPage};
  count = 1;
  return pages;
}

// ---- ISpecifyPropertyPages -------------------------------------------------------------------
HRESULT CVelmorCtrl::XSpecifyPropertyPages::QueryInterface(REFIID riid, void** ppv) {
  return outer_.QueryInterface(riid, ppv);
}
ULONG CVelmorCtrl::XSpecifyPropertyPages::AddRef() { return outer_.AddRef(); }
ULONG CVelmorCtrl::XSpecifyPropertyPages::Release() { return outer_.Release(); }

HRESULT CVelmorCtrl::XSpecifyPropertyPages::GetPages(CAUUID* pPages) {
  if (pPages == nullptr) return E_POINTER;
  ULONG count = 0;
  const CLSID* pages = GetPropPageIDs(count);
  *pPages = CAUUID{0, nullptr};
  auto* list = static_cast<GUID*>(CoTaskMemAlloc(sizeof(GUID) * count));
  if (list == nullptr) return E_OUTOFMEMORY;
  for (ULONG i = 0; i < count; ++i) list[i] = pages[i];
  *pPages = CAUUID{count, list};
  return S_OK;
}

// ---- IOleObject --------------------------------------------------------------------------------
namespace {
// CoTaskMemText: an ANSI text as a zero-terminated UTF-16 text from CoTaskMemAlloc; null when
// it cannot be converted or memory is short.
LPOLESTR CoTaskMemText(const char* ansi) {
  const int units = MultiByteToWideChar(CP_ACP, 0, ansi, -1, nullptr, 0);
  if (units <= 0) return nullptr;
  com::UniqueCoTaskMem<OLECHAR> text(
      static_cast<OLECHAR*>(CoTaskMemAlloc(static_cast<std::size_t>(units) * sizeof(OLECHAR))));
  if (!text || MultiByteToWideChar(CP_ACP, 0, ansi, -1, text.get(), units) <= 0) return nullptr;
  return text.release();
}

// The message map's verbs: the framework's Properties verb.
struct MapVerb {
  LONG verb;
  const char* name;
};
constexpr MapVerb kVerbs[] = {{OLEIVERB_PROPERTIES, "&Properties..."}};

// VerbEnumerator: the verbs of kVerbs, from a position of its own.
class VerbEnumerator final : public IEnumOLEVERB {
 public:
  explicit VerbEnumerator(std::size_t at) : at_(at) { AfxOleLockApp(); }
  HRESULT QueryInterface(REFIID riid, void** ppv) override {
    return velmor::com::QueryAs(static_cast<IEnumOLEVERB*>(this), IID_IEnumOLEVERB, riid, ppv);
  }
  ULONG AddRef() override { return ++refs_; }
  ULONG Release() override {
    const ULONG left = --refs_;
    if (left == 0) delete this;
    return left;
  }
  HRESULT Next(ULONG celt, OLEVERB* rgelt, ULONG* fetched) override {
    if (rgelt == nullptr || (fetched == nullptr && celt != 1)) return E_POINTER;
    ULONG n = 0;
    for (; n < celt && at_ < std::size(kVerbs); ++n, ++at_) {
      LPOLESTR name = CoTaskMemText(kVerbs[at_].name);
      if (name == nullptr) {
        for (ULONG i = 0; i < n; ++i) CoTaskMemFree(rgelt[i].lpszVerbName);
        at_ -= n;
        if (fetched != nullptr) *fetched = 0;
        return E_OUTOFMEMORY;
      }
      rgelt[n] = OLEVERB{kVerbs[at_].verb, name, MF_ENABLED, OLEVERBATTRIB_ONCONTAINERMENU};
    }
    if (fetched != nullptr) *fetched = n;
    return n == celt ? S_OK : S_FALSE;
  }
  HRESULT Skip(ULONG celt) override {
    const std::size_t left = std::size(kVerbs) - at_;
    at_ += std::min<std::size_t>(celt, left);
    return celt <= left ? S_OK : S_FALSE;
  }
  HRESULT Reset() override {
    at_ = 0;
    return S_OK;
  }
  HRESULT Clone(IEnumOLEVERB** out) override {
    if (out == nullptr) return E_POINTER;
    *out = new (std::nothrow) VerbEnumerator(at_);
    if (*out == nullptr) return E_OUTOFMEMORY;
    (*out)->AddRef();
    return S_OK;
  }

 private:
  ~VerbEnumerator() { AfxOleUnlockApp(); }
  std::size_t at_;
  ULONG refs_ = 0;
};
}  // namespace

HRESULT CVelmorCtrl::XOleObject::QueryInterface(REFIID riid, void** ppv) {
  return outer_.QueryInterface(riid, ppv);
}
ULONG CVelmorCtrl::XOleObject::AddRef() { return outer_.AddRef(); }
ULONG CVelmorCtrl::XOleObject::Release() { return outer_.Release(); }

HRESULT CVelmorCtrl::XOleObject::SetClientSite(IOleClientSite* pClientSite) {
  if (pClientSite != nullptr) pClientSite->AddRef();
  site_.reset(pClientSite);
  return S_OK;
}
HRESULT CVelmorCtrl::XOleObject::GetClientSite(IOleClientSite** ppClientSite) {
  if (ppClientSite == nullptr) return E_POINTER;
  *ppClientSite = site_.get();
  if (site_) site_->AddRef();
  return S_OK;
}
HRESULT CVelmorCtrl::XOleObject::GetMoniker(DWORD, DWORD, IUnknown** ppmk) {
  if (ppmk != nullptr) *ppmk = nullptr;
  return E_NOTIMPL;
}
HRESULT CVelmorCtrl::XOleObject::GetClipboardData(DWORD, IUnknown** ppDataObject) {
  if (ppDataObject != nullptr) *ppDataObject = nullptr;
  return E_NOTIMPL;
}
HRESULT CVelmorCtrl::XOleObject::DoVerb(LONG iVerb, LPMSG, IOleClientSite*, LONG, HDC hdcParent,
                                        LPCRECT) {
  if (iVerb != OLEIVERB_PROPERTIES) return E_NOTIMPL;
  return outer_.OnProperties(hdcParent);
}
HRESULT CVelmorCtrl::XOleObject::EnumVerbs(IEnumOLEVERB** ppEnumOleVerb) {
  if (ppEnumOleVerb == nullptr) return E_POINTER;
  *ppEnumOleVerb = new (std::nothrow) VerbEnumerator(0);
  if (*ppEnumOleVerb == nullptr) return E_OUTOFMEMORY;
  (*ppEnumOleVerb)->AddRef();
  return S_OK;
}
HRESULT CVelmorCtrl::XOleObject::GetUserClassID(CLSID* pClsid) {
  if (pClsid == nullptr) return E_POINTER;
  *pClsid = GetClassID();
  return S_OK;
}
HRESULT CVelmorCtrl::XOleObject::GetUserType(DWORD, LPOLESTR* pszUserType) {
  if (pszUserType == nullptr) return E_POINTER;
  const char* name = com::FindString(AfxGetInstanceHandle(), GetUserTypeNameID());
  *pszUserType = name != nullptr ? CoTaskMemText(name) : nullptr;
  return *pszUserType != nullptr ? S_OK : E_OUTOFMEMORY;
}
HRESULT CVelmorCtrl::XOleObject::Advise(IUnknown*, DWORD* pdwConnection) {
  if (pdwConnection != nullptr) *pdwConnection = 0;
  return OLE_E_ADVISENOTSUPPORTED;
}
HRESULT CVelmorCtrl::XOleObject::EnumAdvise(IUnknown** ppenumAdvise) {
  if (ppenumAdvise != nullptr) *ppenumAdvise = nullptr;
  return OLE_E_ADVISENOTSUPPORTED;
}
HRESULT CVelmorCtrl::XOleObject::GetMiscStatus(DWORD, DWORD* pdwStatus) {
  if (pdwStatus == nullptr) return E_POINTER;
  *pdwStatus = CVelmorCtrl::GetMiscStatus();
  return S_OK;
}

HRESULT CVelmorCtrl::OnProperties(HDC hdcParent) {
  ULONG count = 0;
  const CLSID* pages = GetPropPageIDs(count);
  const char* name = com::FindString(AfxGetInstanceHandle(), GetUserTypeNameID());
  com::UniqueCoTaskMem<OLECHAR> caption(name != nullptr ? CoTaskMemText(name) : nullptr);
  IUnknown* self = static_cast<IDispatch*>(this);
  // The frame holds the control through its pages; the control stays alive for the call.
  AddRef();
  const HRESULT hr = OleCreatePropertyFrame(hdcParent, 0, 0, caption.get(), 1, &self, count,
                                            pages, LOCALE_USER_DEFAULT, 0, nullptr);
  Release();
  return hr;
}

// ---- IDispatch --------------------------------------------------------------------------------
HRESULT CVelmorCtrl::GetTypeInfoCount(UINT* pctinfo) {
  if (pctinfo == nullptr) return E_POINTER;
  *pctinfo = 1;
  return S_OK;
}

HRESULT CVelmorCtrl::GetTypeInfo(UINT iTInfo, LCID, ITypeInfo** ppTInfo) {
  if (ppTInfo == nullptr) return E_POINTER;
  *ppTInfo = nullptr;
  if (iTInfo != 0) return DISP_E_BADINDEX;
  // The dispatch interface's description, from the module's own type library.
  ITypeLib* raw = nullptr;
  const HRESULT hr = com::LoadTypeLibFromDesc(*AfxGetInstanceHandle()->typeLib, &raw);
  if (FAILED(hr)) return hr;
  com::ComPtr<ITypeLib> lib(raw);
  return lib->GetTypeInfoOfGuid(DIID__DVelmor, ppTInfo);
}

HRESULT CVelmorCtrl::GetIDsOfNames(REFIID riid, LPOLESTR* rgszNames, UINT cNames, LCID,
                                   DISPID* rgDispId) {
  if (riid != IID_NULL) return DISP_E_UNKNOWNINTERFACE;
  if (rgszNames == nullptr || rgDispId == nullptr || cNames == 0) return E_INVALIDARG;
  HRESULT hr = S_OK;
  rgDispId[0] = DISPID_UNKNOWN;
  if (rgszNames[0] != nullptr) {
    // Most rows differ in length from the name asked: those are passed over without a look at
    // their letters.
    const std::size_t length = std::char_traits<char16_t>::length(rgszNames[0]);
    for (const Member& m : kMembers) {
      if (m.row.name.size() == length && SameName(rgszNames[0], m.row.name)) {
        rgDispId[0] = m.row.id;
        break;
      }
    }
  }
  if (rgDispId[0] == DISPID_UNKNOWN) hr = DISP_E_UNKNOWNNAME;
  // The interface has no named parameters.
  for (UINT i = 1; i < cNames; ++i) {
    rgDispId[i] = DISPID_UNKNOWN;
    hr = DISP_E_UNKNOWNNAME;
  }
  return hr;
}

HRESULT CVelmorCtrl::Invoke(DISPID dispIdMember, REFIID riid, LCID, WORD wFlags,
                            DISPPARAMS* pDispParams, VARIANT* pVarResult, EXCEPINFO*,
                            UINT* puArgErr) {
  if (riid != IID_NULL) return DISP_E_UNKNOWNINTERFACE;
  if (pDispParams == nullptr) return E_INVALIDARG;
  if ((pDispParams->cArgs != 0 && pDispParams->rgvarg == nullptr) ||
      (pDispParams->cNamedArgs != 0 && pDispParams->rgdispidNamedArgs == nullptr) ||
      pDispParams->cNamedArgs > pDispParams->cArgs) {
    return E_INVALIDARG;
  }
  const Member* member = FindMember(dispIdMember);
  if (member == nullptr) return DISP_E_MEMBERNOTFOUND;
  // Keep the control alive for the whole call even if the page lets go of it meanwhile. Nothing
  // may escape a vtable entry: only the conversion of arguments and results can fail.
  AddRef();
  const HRESULT hr =
      com::GuardedHresult(
          [&] { return InvokeMember(*member, wFlags, *pDispParams, pVarResult, puArgErr); });
  Release();
  return hr;
}

HRESULT CVelmorCtrl::InvokeMember(const Member& member, WORD wFlags, const DISPPARAMS& params,
                                  VARIANT* pVarResult, UINT* puArgErr) {
  const bool isPut = (wFlags & (DISPATCH_PROPERTYPUT | DISPATCH_PROPERTYPUTREF)) != 0;
  if (isPut) {
    if (!member.row.property) return DISP_E_MEMBERNOTFOUND;
    if (params.cArgs != 1) return DISP_E_BADPARAMCOUNT;
    if (params.cNamedArgs == 1 && params.rgdispidNamedArgs[0] != DISPID_PROPERTYPUT) {
      return DISP_E_PARAMNOTFOUND;
    }
    control::AnsiArgument value;
    if (FAILED(control::ArgumentToAnsi(params.rgvarg[0], value))) {
      if (puArgErr != nullptr) *puArgErr = 0;
      return DISP_E_TYPEMISMATCH;
    }
    member.put(*this, value);
    return S_OK;
  }
  if ((wFlags & (DISPATCH_METHOD | DISPATCH_PROPERTYGET)) == 0) return DISP_E_MEMBERNOTFOUND;
  if (params.cNamedArgs != 0) return DISP_E_NONAMEDARGS;
  if (params.cArgs != member.row.params) return DISP_E_BADPARAMCOUNT;

  // Arguments arrive last first.
  control::AnsiArgument args[kMaxParams];
  const char* texts[kMaxParams] = {};
  for (UINT k = 0; k < member.row.params; ++k) {
    const UINT slot = params.cArgs - 1 - k;
    if (FAILED(control::ArgumentToAnsi(params.rgvarg[slot], args[k]))) {
      if (puArgErr != nullptr) *puArgErr = slot;
      return DISP_E_TYPEMISMATCH;
    }
    texts[k] = args[k].get();
  }
  std::string result = member.get(*this, texts);
  if (pVarResult != nullptr) {
    VariantInit(pVarResult);
    pVarResult->vt = VT_BSTR;
    // A result that cannot be allocated reaches the page as a null string: an empty text.
    pVarResult->bstrVal = AnsiToBstr(result.c_str());
  }
  // A result may be a decrypted plaintext; once it is the caller's, our copy goes.
  platform::CleanseContents(result);
  return S_OK;
}

void CVelmorCtrl::DoPropExchange(PropExchange& px) {
  px.ExchangeVersion(kPropExchangeVersion, TRUE);
}

HRESULT CreateVelmorCtrl(REFIID riid, void** ppv) {
  if (ppv == nullptr) return E_POINTER;
  *ppv = nullptr;
  auto* ctrl = new (std::nothrow) CVelmorCtrl();
  if (ctrl == nullptr) return E_OUTOFMEMORY;
  ctrl->AddRef();
  const HRESULT hr = ctrl->QueryInterface(riid, ppv);
  ctrl->Release();  // a failed query destroys the control again
  return hr;
}

}  // namespace velmor
