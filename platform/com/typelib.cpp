// ITypeLib / ITypeInfo over a module's constant type-library tables. The type infos live inside
// the library object and share its reference count, so a type info handed out keeps its library
// (and the tables it reads) alive.
#include "platform/com/typelib.h"

#include <memory>
#include <new>
#include <vector>

const IID IID_ITypeInfo = {0x00020401, 0x0000, 0x0000,
                           {0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46}};
const IID IID_ITypeComp = {0x00020403, 0x0000, 0x0000,
                           {0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46}};
const IID IID_ITypeLib = {0x00020402, 0x0000, 0x0000,
                          {0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46}};

namespace velmor::com {
namespace {

// Ascii: an ASCII table text as a new BSTR (null for null); the caller owns it.
BSTR Ascii(const char* text) {
  if (text == nullptr) return nullptr;
  std::size_t n = 0;
  while (text[n] != '\0') ++n;
  BSTR out = SysAllocStringLen(nullptr, static_cast<UINT>(n));
  if (out == nullptr) return nullptr;
  for (std::size_t i = 0; i < n; ++i) out[i] = static_cast<OLECHAR>(text[i]);
  return out;
}

bool SameName(const char* ascii, LPCOLESTR wide) {
  auto fold = [](char16_t c) { return c >= u'a' && c <= u'z' ? c - u'a' + u'A' : c; };
  for (; *ascii != '\0' && *wide != 0; ++ascii, ++wide) {
    if (fold(static_cast<char16_t>(*ascii)) != fold(*wide)) return false;
  }
  return *ascii == '\0' && *wide == 0;
}

class TypeLib;

class TypeInfo final : public ITypeInfo {
 public:
  TypeInfo(TypeLib& lib, UINT index, const TypeInfoDesc& desc)
      : lib_(lib), index_(index), desc_(desc) {
    for (const MemberInfo& m : desc.members) (m.property ? vars_ : funcs_).push_back(&m);
  }
  HRESULT QueryInterface(REFIID riid, void** ppv) override;
  ULONG AddRef() override;
  ULONG Release() override;

  HRESULT GetTypeAttr(TYPEATTR** out) override {
    if (out == nullptr) return E_INVALIDARG;
    *out = new (std::nothrow) TYPEATTR{desc_.guid, 0, MEMBERID_NIL, MEMBERID_NIL, desc_.kind,
                                       static_cast<WORD>(funcs_.size()),
                                       static_cast<WORD>(vars_.size()),
                                       static_cast<WORD>(desc_.implTypes.size()),
                                       // a dispinterface's vtable is IDispatch's: 7 slots
                                       static_cast<WORD>(desc_.kind == TKIND_DISPATCH ? 7 * sizeof(void*) : 0),
                                       desc_.flags, 0, 0};
    return *out != nullptr ? S_OK : E_OUTOFMEMORY;
  }
  HRESULT GetTypeComp(ITypeComp** out) override {
    if (out == nullptr) return E_INVALIDARG;
    *out = &comp_;
    AddRef();
    return S_OK;
  }
  HRESULT GetFuncDesc(UINT index, FUNCDESC** out) override {
    if (out == nullptr) return E_INVALIDARG;
    *out = nullptr;
    if (index >= funcs_.size()) return TYPE_E_ELEMENTNOTFOUND;
    const MemberInfo& m = *funcs_[index];
    std::unique_ptr<FUNCDESC> desc(new (std::nothrow) FUNCDESC{});
    if (!desc) return E_OUTOFMEMORY;
    if (!m.params.empty()) {
      desc->lprgelemdescParam = new (std::nothrow) ELEMDESC[m.params.size()];
      if (desc->lprgelemdescParam == nullptr) return E_OUTOFMEMORY;
      for (std::size_t i = 0; i < m.params.size(); ++i) {
        desc->lprgelemdescParam[i] = ELEMDESC{{m.params[i].vt}, {0}};
      }
    }
    desc->memid = m.id;
    desc->funckind = FUNC_DISPATCH;
    desc->invkind = INVOKE_FUNC;
    desc->callconv = CC_STDCALL;
    desc->cParams = static_cast<short>(m.params.size());
    desc->elemdescFunc = ELEMDESC{{m.type}, {0}};
    *out = desc.release();
    return S_OK;
  }
  HRESULT GetVarDesc(UINT index, VARDESC** out) override {
    if (out == nullptr) return E_INVALIDARG;
    *out = nullptr;
    if (index >= vars_.size()) return TYPE_E_ELEMENTNOTFOUND;
    *out = new (std::nothrow) VARDESC{vars_[index]->id, {{vars_[index]->type}, {0}}, 0, VAR_DISPATCH};
    return *out != nullptr ? S_OK : E_OUTOFMEMORY;
  }
  HRESULT GetNames(MEMBERID memid, BSTR* names, UINT cMaxNames, UINT* pcNames) override {
    if (names == nullptr || pcNames == nullptr) return E_INVALIDARG;
    *pcNames = 0;
    const MemberInfo* m = Find(memid);
    if (m == nullptr) return TYPE_E_ELEMENTNOTFOUND;
    std::vector<const char*> all{m->name};
    for (const ParamInfo& p : m->params) all.push_back(p.name);
    for (UINT i = 0; i < cMaxNames && i < all.size(); ++i) {
      names[i] = Ascii(all[i]);
      if (names[i] == nullptr) {
        for (UINT j = 0; j < i; ++j) SysFreeString(names[j]);
        return E_OUTOFMEMORY;
      }
      *pcNames = i + 1;
    }
    return S_OK;
  }
  HRESULT GetRefTypeOfImplType(UINT index, HREFTYPE* out) override {
    if (out == nullptr) return E_INVALIDARG;
    if (index >= desc_.implTypes.size()) return TYPE_E_ELEMENTNOTFOUND;
    *out = static_cast<HREFTYPE>(desc_.implTypes[index].type);
    return S_OK;
  }
  HRESULT GetImplTypeFlags(UINT index, INT* out) override {
    if (out == nullptr) return E_INVALIDARG;
    if (index >= desc_.implTypes.size()) return TYPE_E_ELEMENTNOTFOUND;
    *out = desc_.implTypes[index].flags;
    return S_OK;
  }
  HRESULT GetIDsOfNames(LPOLESTR* names, UINT count, MEMBERID* ids) override {
    if (names == nullptr || ids == nullptr || count == 0) return E_INVALIDARG;
    HRESULT hr = S_OK;
    const MemberInfo* found = nullptr;
    for (const MemberInfo& m : desc_.members) {
      if (names[0] != nullptr && SameName(m.name, names[0])) found = &m;
    }
    ids[0] = found != nullptr ? found->id : MEMBERID_NIL;
    if (found == nullptr) hr = DISP_E_UNKNOWNNAME;
    for (UINT i = 1; i < count; ++i) {
      ids[i] = MEMBERID_NIL;
      for (std::size_t p = 0; found != nullptr && p < found->params.size(); ++p) {
        if (names[i] != nullptr && SameName(found->params[p].name, names[i])) {
          ids[i] = static_cast<MEMBERID>(p);
        }
      }
      if (ids[i] == MEMBERID_NIL) hr = DISP_E_UNKNOWNNAME;
    }
    return hr;
  }
  HRESULT Invoke(void*, MEMBERID, WORD, DISPPARAMS*, VARIANT*, EXCEPINFO*, UINT*) override {
    return E_NOTIMPL;  // dispinterfaces are invoked through their objects' IDispatch
  }
  HRESULT GetDocumentation(MEMBERID memid, BSTR* name, BSTR* doc, DWORD* helpContext,
                           BSTR* helpFile) override;
  HRESULT GetDllEntry(MEMBERID, INVOKEKIND, BSTR*, BSTR*, WORD*) override { return E_NOTIMPL; }
  HRESULT GetRefTypeInfo(HREFTYPE href, ITypeInfo** out) override;
  HRESULT AddressOfMember(MEMBERID, INVOKEKIND, void** ppv) override {
    if (ppv != nullptr) *ppv = nullptr;
    return E_NOTIMPL;
  }
  HRESULT CreateInstance(IUnknown*, REFIID, void** ppv) override {
    if (ppv != nullptr) *ppv = nullptr;
    return E_NOTIMPL;
  }
  HRESULT GetMops(MEMBERID, BSTR* out) override {
    if (out != nullptr) *out = nullptr;
    return S_OK;
  }
  HRESULT GetContainingTypeLib(ITypeLib** out, UINT* index) override;
  void ReleaseTypeAttr(TYPEATTR* attr) override { delete attr; }
  void ReleaseFuncDesc(FUNCDESC* desc) override {
    if (desc == nullptr) return;
    delete[] desc->lprgelemdescParam;
    delete desc;
  }
  void ReleaseVarDesc(VARDESC* desc) override { delete desc; }

  const TypeInfoDesc& desc() const { return desc_; }
  ITypeComp* comp() { return &comp_; }

 private:
  // The type's ITypeComp: a part of the type info, sharing its reference count.
  class Comp final : public ITypeComp {
   public:
    explicit Comp(TypeInfo& outer) : outer_(outer) {}
    HRESULT QueryInterface(REFIID riid, void** ppv) override {
      return velmor::com::QueryAs(static_cast<ITypeComp*>(this), IID_ITypeComp, riid, ppv);
    }
    ULONG AddRef() override { return outer_.AddRef(); }
    ULONG Release() override { return outer_.Release(); }
    HRESULT Bind(LPOLESTR name, ULONG, WORD flags, ITypeInfo** info, DESCKIND* kind,
                 BINDPTR* bound) override {
      if (name == nullptr || info == nullptr || kind == nullptr || bound == nullptr) return E_INVALIDARG;
      *info = nullptr;
      *kind = DESCKIND_NONE;
      bound->lpfuncdesc = nullptr;
      constexpr WORD kProperty = INVOKE_PROPERTYGET | INVOKE_PROPERTYPUT | INVOKE_PROPERTYPUTREF;
      for (std::size_t i = 0; i < outer_.funcs_.size(); ++i) {
        if (!SameName(outer_.funcs_[i]->name, name)) continue;
        if (flags != 0 && (flags & INVOKE_FUNC) == 0) return TYPE_E_TYPEMISMATCH;
        const HRESULT hr = outer_.GetFuncDesc(static_cast<UINT>(i), &bound->lpfuncdesc);
        if (FAILED(hr)) return hr;
        *kind = DESCKIND_FUNCDESC;
        *info = &outer_;
        outer_.AddRef();
        return S_OK;
      }
      for (std::size_t i = 0; i < outer_.vars_.size(); ++i) {
        if (!SameName(outer_.vars_[i]->name, name)) continue;
        if (flags != 0 && (flags & kProperty) == 0) return TYPE_E_TYPEMISMATCH;
        const HRESULT hr = outer_.GetVarDesc(static_cast<UINT>(i), &bound->lpvardesc);
        if (FAILED(hr)) return hr;
        *kind = DESCKIND_VARDESC;
        *info = &outer_;
        outer_.AddRef();
        return S_OK;
      }
      return S_OK;
    }
    // A type holds no types of its own.
    HRESULT BindType(LPOLESTR name, ULONG, ITypeInfo** info, ITypeComp** comp) override {
      if (name == nullptr || info == nullptr) return E_INVALIDARG;
      *info = nullptr;
      if (comp != nullptr) *comp = nullptr;
      return S_OK;
    }

   private:
    TypeInfo& outer_;
  };

  const MemberInfo* Find(MEMBERID memid) const {
    for (const MemberInfo& m : desc_.members) {
      if (m.id == memid) return &m;
    }
    return nullptr;
  }

  TypeLib& lib_;
  UINT index_;
  const TypeInfoDesc& desc_;
  std::vector<const MemberInfo*> funcs_;
  std::vector<const MemberInfo*> vars_;
  Comp comp_{*this};
};

class TypeLib final : public ITypeLib {
 public:
  explicit TypeLib(const TypeLibDesc& desc) : desc_(desc) {
    types_.reserve(desc.types.size());
    for (std::size_t i = 0; i < desc.types.size(); ++i) {
      types_.push_back(std::make_unique<TypeInfo>(*this, static_cast<UINT>(i), desc.types[i]));
    }
  }
  HRESULT QueryInterface(REFIID riid, void** ppv) override {
    return velmor::com::QueryAs(static_cast<ITypeLib*>(this), IID_ITypeLib, riid, ppv);
  }
  ULONG AddRef() override { return ++refs_; }
  ULONG Release() override {
    const ULONG left = --refs_;
    if (left == 0) delete this;
    return left;
  }
  UINT GetTypeInfoCount() override { return static_cast<UINT>(types_.size()); }
  HRESULT GetTypeInfo(UINT index, ITypeInfo** out) override {
    if (out == nullptr) return E_INVALIDARG;
    *out = nullptr;
    if (index >= types_.size()) return TYPE_E_ELEMENTNOTFOUND;
    *out = types_[index].get();
    AddRef();
    return S_OK;
  }
  HRESULT GetTypeInfoType(UINT index, TYPEKIND* out) override {
    if (out == nullptr) return E_INVALIDARG;
    if (index >= types_.size()) return TYPE_E_ELEMENTNOTFOUND;
    *out = desc_.types[index].kind;
    return S_OK;
  }
  HRESULT GetTypeInfoOfGuid(REFGUID guid, ITypeInfo** out) override {
    if (out == nullptr) return E_INVALIDARG;
    *out = nullptr;
    for (std::size_t i = 0; i < desc_.types.size(); ++i) {
      if (desc_.types[i].guid == guid) return GetTypeInfo(static_cast<UINT>(i), out);
    }
    return TYPE_E_ELEMENTNOTFOUND;
  }
  HRESULT GetLibAttr(TLIBATTR** out) override {
    if (out == nullptr) return E_INVALIDARG;
    *out = new (std::nothrow)
        TLIBATTR{desc_.guid, desc_.lcid, SYS_WIN32, desc_.major, desc_.minor, desc_.flags};
    return *out != nullptr ? S_OK : E_OUTOFMEMORY;
  }
  HRESULT GetTypeComp(ITypeComp** out) override {
    if (out == nullptr) return E_INVALIDARG;
    *out = &comp_;
    AddRef();
    return S_OK;
  }
  HRESULT GetDocumentation(INT index, BSTR* name, BSTR* doc, DWORD* helpContext,
                           BSTR* helpFile) override {
    if (index == -1) return Document(desc_.name, desc_.help, desc_.helpFile, name, doc, helpContext, helpFile);
    if (index < 0 || static_cast<std::size_t>(index) >= types_.size()) return TYPE_E_ELEMENTNOTFOUND;
    const TypeInfoDesc& t = desc_.types[static_cast<std::size_t>(index)];
    return Document(t.name, t.help, desc_.helpFile, name, doc, helpContext, helpFile);
  }
  // IsName: whether a type or member is called `name`, matched without regard to case as OLE
  // matches; a name found is written back into `name` as the library spells it.
  HRESULT IsName(LPOLESTR name, ULONG, BOOL* found) override {
    if (name == nullptr || found == nullptr) return E_INVALIDARG;
    *found = FALSE;
    ForEachName(name, [&](const char* spelled, std::size_t, MEMBERID) {
      Respell(name, spelled);
      *found = TRUE;
      return false;
    });
    return S_OK;
  }
  // FindName: up to *pcFound types and members called `name` (a type gives MEMBERID_NIL, a
  // member its identifier and the type it belongs to); *pcFound becomes the number found. Each
  // type info holds a reference the caller gives back.
  HRESULT FindName(LPOLESTR name, ULONG, ITypeInfo** infos, MEMBERID* ids,
                   std::uint16_t* pcFound) override {
    if (name == nullptr || infos == nullptr || ids == nullptr || pcFound == nullptr) {
      return E_INVALIDARG;
    }
    const std::uint16_t room = *pcFound;
    std::uint16_t count = 0;
    ForEachName(name, [&](const char* spelled, std::size_t type, MEMBERID id) {
      if (count == room) return false;
      Respell(name, spelled);
      infos[count] = types_[type].get();
      infos[count]->AddRef();
      ids[count] = id;
      ++count;
      return true;
    });
    *pcFound = count;
    return S_OK;
  }
  void ReleaseTLibAttr(TLIBATTR* attr) override { delete attr; }

  // Document: the four documentation outputs, each optional; the BSTRs are the caller's.
  static HRESULT Document(const char* n, const char* d, const char* f, BSTR* name, BSTR* doc,
                          DWORD* helpContext, BSTR* helpFile) {
    BSTR texts[3] = {name != nullptr ? Ascii(n) : nullptr, doc != nullptr ? Ascii(d) : nullptr,
                     helpFile != nullptr ? Ascii(f) : nullptr};
    const bool missing = (name != nullptr && n != nullptr && texts[0] == nullptr) ||
                         (doc != nullptr && d != nullptr && texts[1] == nullptr) ||
                         (helpFile != nullptr && f != nullptr && texts[2] == nullptr);
    if (missing) {
      for (BSTR t : texts) SysFreeString(t);
      return E_OUTOFMEMORY;
    }
    if (name != nullptr) *name = texts[0];
    if (doc != nullptr) *doc = texts[1];
    if (helpFile != nullptr) *helpFile = texts[2];
    if (helpContext != nullptr) *helpContext = 0;
    return S_OK;
  }

  const TypeLibDesc& desc() const { return desc_; }
  TypeInfo* Type(std::size_t i) { return i < types_.size() ? types_[i].get() : nullptr; }

 private:
  // The library's ITypeComp: a part of the library, sharing its reference count. Global names
  // are the members of its modules and enumerations, which bind through their own types.
  class Comp final : public ITypeComp {
   public:
    explicit Comp(TypeLib& outer) : outer_(outer) {}
    HRESULT QueryInterface(REFIID riid, void** ppv) override {
      return velmor::com::QueryAs(static_cast<ITypeComp*>(this), IID_ITypeComp, riid, ppv);
    }
    ULONG AddRef() override { return outer_.AddRef(); }
    ULONG Release() override { return outer_.Release(); }
    HRESULT Bind(LPOLESTR name, ULONG hash, WORD flags, ITypeInfo** info, DESCKIND* kind,
                 BINDPTR* bound) override {
      if (name == nullptr || info == nullptr || kind == nullptr || bound == nullptr) return E_INVALIDARG;
      *info = nullptr;
      *kind = DESCKIND_NONE;
      bound->lpfuncdesc = nullptr;
      for (std::size_t t = 0; t < outer_.types_.size(); ++t) {
        const TypeInfoDesc& d = outer_.desc_.types[t];
        if (d.kind != TKIND_MODULE && d.kind != TKIND_ENUM) continue;
        if (SameName(d.name, name)) {
          *kind = DESCKIND_TYPECOMP;
          bound->lptcomp = outer_.types_[t]->comp();
          outer_.AddRef();
          return S_OK;
        }
        const HRESULT hr = outer_.types_[t]->comp()->Bind(name, hash, flags, info, kind, bound);
        if (FAILED(hr) || *kind != DESCKIND_NONE) return hr;
      }
      return S_OK;
    }
    HRESULT BindType(LPOLESTR name, ULONG, ITypeInfo** info, ITypeComp** comp) override {
      if (name == nullptr || info == nullptr) return E_INVALIDARG;
      *info = nullptr;
      if (comp != nullptr) *comp = nullptr;
      for (std::size_t t = 0; t < outer_.types_.size(); ++t) {
        if (!SameName(outer_.desc_.types[t].name, name)) continue;
        *info = outer_.types_[t].get();
        outer_.AddRef();
        break;
      }
      return S_OK;
    }

   private:
    TypeLib& outer_;
  };

  ~TypeLib() = default;
  // ForEachName: `visit(spelling, type index, member id)` for each type (MEMBERID_NIL) and then
  // each member called `name`, in the library's order, until visit answers false.
  template <typename Visit>
  void ForEachName(LPCOLESTR name, Visit&& visit) const {
    for (std::size_t t = 0; t < desc_.types.size(); ++t) {
      if (SameName(desc_.types[t].name, name) && !visit(desc_.types[t].name, t, MEMBERID_NIL)) return;
    }
    for (std::size_t t = 0; t < desc_.types.size(); ++t) {
      for (const MemberInfo& m : desc_.types[t].members) {
        if (SameName(m.name, name) && !visit(m.name, t, m.id)) return;
      }
    }
  }
  // Respell: `name`, which matched `spelled` without regard to case, spelled as the library
  // spells it (the same length: the names are ASCII).
  static void Respell(LPOLESTR name, const char* spelled) {
    for (std::size_t i = 0; spelled[i] != '\0'; ++i) name[i] = static_cast<OLECHAR>(spelled[i]);
  }
  const TypeLibDesc& desc_;
  std::vector<std::unique_ptr<TypeInfo>> types_;
  ULONG refs_ = 0;
  Comp comp_{*this};
};

HRESULT TypeInfo::QueryInterface(REFIID riid, void** ppv) {
  return velmor::com::QueryAs(static_cast<ITypeInfo*>(this), IID_ITypeInfo, riid, ppv);
}
ULONG TypeInfo::AddRef() { return lib_.AddRef(); }
ULONG TypeInfo::Release() { return lib_.Release(); }

HRESULT TypeInfo::GetDocumentation(MEMBERID memid, BSTR* name, BSTR* doc, DWORD* helpContext,
                                   BSTR* helpFile) {
  if (memid == MEMBERID_NIL) {
    return TypeLib::Document(desc_.name, desc_.help, lib_.desc().helpFile, name, doc, helpContext,
                             helpFile);
  }
  const MemberInfo* m = Find(memid);
  if (m == nullptr) return TYPE_E_ELEMENTNOTFOUND;
  return TypeLib::Document(m->name, m->help, lib_.desc().helpFile, name, doc, helpContext, helpFile);
}

HRESULT TypeInfo::GetRefTypeInfo(HREFTYPE href, ITypeInfo** out) {
  if (out == nullptr) return E_INVALIDARG;
  *out = nullptr;
  TypeInfo* type = lib_.Type(href);
  if (type == nullptr) return TYPE_E_ELEMENTNOTFOUND;
  *out = type;
  type->AddRef();
  return S_OK;
}

HRESULT TypeInfo::GetContainingTypeLib(ITypeLib** out, UINT* index) {
  if (out == nullptr) return E_INVALIDARG;
  *out = &lib_;
  lib_.AddRef();
  if (index != nullptr) *index = index_;
  return S_OK;
}

}  // namespace

HRESULT LoadTypeLibFromDesc(const TypeLibDesc& desc, ITypeLib** ppTLib) {
  if (ppTLib == nullptr) return E_POINTER;
  *ppTLib = nullptr;
  // Building the library only allocates: whatever it throws is running out of memory.
  return GuardedHresult(
      [&]() -> HRESULT {
        auto* lib = new TypeLib(desc);
        lib->AddRef();
        *ppTLib = lib;
        return S_OK;
      },
      E_OUTOFMEMORY);
}

}  // namespace velmor::com
