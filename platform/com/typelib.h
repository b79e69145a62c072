// Type information in place of OLE Automation's: a type library described by constant tables
// (the module's TYPELIB resource) and handed out through ITypeLib and ITypeInfo with the
// Windows SDK's slot order, structures and values. Members of dispatch interfaces only: the
// properties are variables (VAR_DISPATCH), the methods functions (FUNC_DISPATCH).
#pragma once

#include <span>

#include "platform/com/com.h"

using MEMBERID = DISPID;
using HREFTYPE = DWORD;
using SCODE = LONG;

enum TYPEKIND : int { TKIND_ENUM, TKIND_RECORD, TKIND_MODULE, TKIND_INTERFACE, TKIND_DISPATCH,
                      TKIND_COCLASS, TKIND_ALIAS, TKIND_UNION };
enum SYSKIND : int { SYS_WIN16, SYS_WIN32, SYS_MAC, SYS_WIN64 };
enum FUNCKIND : int { FUNC_VIRTUAL, FUNC_PUREVIRTUAL, FUNC_NONVIRTUAL, FUNC_STATIC, FUNC_DISPATCH };
enum INVOKEKIND : int { INVOKE_FUNC = 1, INVOKE_PROPERTYGET = 2, INVOKE_PROPERTYPUT = 4,
                        INVOKE_PROPERTYPUTREF = 8 };
enum CALLCONV : int { CC_CDECL = 1, CC_STDCALL = 4 };
enum VARKIND : int { VAR_PERINSTANCE, VAR_STATIC, VAR_CONST, VAR_DISPATCH };

inline constexpr WORD TYPEFLAG_FAPPOBJECT = 0x1;
inline constexpr WORD TYPEFLAG_FCANCREATE = 0x2;
inline constexpr WORD TYPEFLAG_FHIDDEN = 0x10;
inline constexpr WORD TYPEFLAG_FCONTROL = 0x20;
inline constexpr WORD TYPEFLAG_FDISPATCHABLE = 0x1000;
inline constexpr INT IMPLTYPEFLAG_FDEFAULT = 0x1;
inline constexpr INT IMPLTYPEFLAG_FSOURCE = 0x2;
inline constexpr MEMBERID MEMBERID_NIL = DISPID_UNKNOWN;
inline constexpr HRESULT TYPE_E_ELEMENTNOTFOUND = MakeHResult(0x8002802Bu);
inline constexpr HRESULT TYPE_E_LIBNOTREGISTERED = MakeHResult(0x8002801Du);

struct TYPEDESC {
  VARTYPE vt;
};
struct PARAMDESC {
  WORD wParamFlags;
};
struct ELEMDESC {
  TYPEDESC tdesc;
  PARAMDESC paramdesc;
};

struct TYPEATTR {
  GUID guid;
  LCID lcid;
  MEMBERID memidConstructor;
  MEMBERID memidDestructor;
  TYPEKIND typekind;
  WORD cFuncs;
  WORD cVars;
  WORD cImplTypes;
  WORD cbSizeVft;
  WORD wTypeFlags;
  WORD wMajorVerNum;
  WORD wMinorVerNum;
};

struct FUNCDESC {
  MEMBERID memid;
  ELEMDESC* lprgelemdescParam;  // cParams entries
  FUNCKIND funckind;
  INVOKEKIND invkind;
  CALLCONV callconv;
  short cParams;
  short cParamsOpt;
  short oVft;
  ELEMDESC elemdescFunc;  // the result
  WORD wFuncFlags;
};

struct VARDESC {
  MEMBERID memid;
  ELEMDESC elemdescVar;
  WORD wVarFlags;
  VARKIND varkind;
};

struct TLIBATTR {
  GUID guid;
  LCID lcid;
  SYSKIND syskind;
  WORD wMajorVerNum;
  WORD wMinorVerNum;
  WORD wLibFlags;
};

struct ITypeLib;
struct ITypeInfo;

enum DESCKIND : int { DESCKIND_NONE, DESCKIND_FUNCDESC, DESCKIND_VARDESC, DESCKIND_TYPECOMP,
                      DESCKIND_IMPLICITAPPOBJ, DESCKIND_MAX };
inline constexpr HRESULT TYPE_E_TYPEMISMATCH = MakeHResult(0x80028CA0u);

struct ITypeComp;
union BINDPTR {
  FUNCDESC* lpfuncdesc;  // given back with the bound type info's ReleaseFuncDesc
  VARDESC* lpvardesc;    // given back with its ReleaseVarDesc
  ITypeComp* lptcomp;
};

// ITypeComp: names bound as a compiler binds them. A type info's binds its members: Bind
// answers DESCKIND_FUNCDESC or DESCKIND_VARDESC with the description and the type info (a
// reference the caller gives back), DESCKIND_NONE (S_OK) for a name it lacks, and
// TYPE_E_TYPEMISMATCH for a member whose kind `wFlags` (INVOKE_*, 0 for any) rules out;
// BindType finds nothing inside a type. A library's binds its global names (the library holds
// no modules or enumerations, so Bind finds none) and its types by name through BindType.
// Names are matched without regard to case; null arguments are E_INVALIDARG.
struct ITypeComp : IUnknown {
  virtual HRESULT Bind(LPOLESTR szName, ULONG lHashVal, WORD wFlags, ITypeInfo** ppTInfo,
                       DESCKIND* pDescKind, BINDPTR* pBindPtr) = 0;
  // BindType: ppTComp is no longer used; when given it is set to null.
  virtual HRESULT BindType(LPOLESTR szName, ULONG lHashVal, ITypeInfo** ppTInfo,
                           ITypeComp** ppTComp) = 0;

 protected:
  ~ITypeComp() = default;
};

struct ITypeInfo : IUnknown {
  // GetTypeAttr: a TYPEATTR the caller gives back with ReleaseTypeAttr.
  virtual HRESULT GetTypeAttr(TYPEATTR** ppTypeAttr) = 0;
  virtual HRESULT GetTypeComp(ITypeComp** ppTComp) = 0;
  // GetFuncDesc / GetVarDesc: one member's description, given back with ReleaseFuncDesc /
  // ReleaseVarDesc; TYPE_E_ELEMENTNOTFOUND past the last.
  virtual HRESULT GetFuncDesc(UINT index, FUNCDESC** ppFuncDesc) = 0;
  virtual HRESULT GetVarDesc(UINT index, VARDESC** ppVarDesc) = 0;
  // GetNames: the member's name, then its parameters' names; the BSTRs are the caller's.
  virtual HRESULT GetNames(MEMBERID memid, BSTR* rgBstrNames, UINT cMaxNames, UINT* pcNames) = 0;
  virtual HRESULT GetRefTypeOfImplType(UINT index, HREFTYPE* pRefType) = 0;
  virtual HRESULT GetImplTypeFlags(UINT index, INT* pImplTypeFlags) = 0;
  virtual HRESULT GetIDsOfNames(LPOLESTR* rgszNames, UINT cNames, MEMBERID* pMemId) = 0;
  virtual HRESULT Invoke(void* pvInstance, MEMBERID memid, WORD wFlags, DISPPARAMS* pDispParams,
                         VARIANT* pVarResult, EXCEPINFO* pExcepInfo, UINT* puArgErr) = 0;
  // GetDocumentation: MEMBERID_NIL documents the type itself; every output may be null.
  virtual HRESULT GetDocumentation(MEMBERID memid, BSTR* pBstrName, BSTR* pBstrDocString,
                                   DWORD* pdwHelpContext, BSTR* pBstrHelpFile) = 0;
  virtual HRESULT GetDllEntry(MEMBERID memid, INVOKEKIND invKind, BSTR* pBstrDllName,
                              BSTR* pBstrName, WORD* pwOrdinal) = 0;
  virtual HRESULT GetRefTypeInfo(HREFTYPE hRefType, ITypeInfo** ppTInfo) = 0;
  virtual HRESULT AddressOfMember(MEMBERID memid, INVOKEKIND invKind, void** ppv) = 0;
  virtual HRESULT CreateInstance(IUnknown* pUnkOuter, REFIID riid, void** ppvObj) = 0;
  virtual HRESULT GetMops(MEMBERID memid, BSTR* pBstrMops) = 0;
  virtual HRESULT GetContainingTypeLib(ITypeLib** ppTLib, UINT* pIndex) = 0;
  virtual void ReleaseTypeAttr(TYPEATTR* pTypeAttr) = 0;
  virtual void ReleaseFuncDesc(FUNCDESC* pFuncDesc) = 0;
  virtual void ReleaseVarDesc(VARDESC* pVarDesc) = 0;

 protected:
  ~ITypeInfo() = default;
};

struct ITypeLib : IUnknown {
  virtual UINT GetTypeInfoCount() = 0;
  virtual HRESULT GetTypeInfo(UINT index, ITypeInfo** ppTInfo) = 0;
  virtual HRESULT GetTypeInfoType(UINT index, TYPEKIND* pTKind) = 0;
  virtual HRESULT GetTypeInfoOfGuid(REFGUID guid, ITypeInfo** ppTinfo) = 0;
  // GetLibAttr: a TLIBATTR the caller gives back with ReleaseTLibAttr.
  virtual HRESULT GetLibAttr(TLIBATTR** ppTLibAttr) = 0;
  virtual HRESULT GetTypeComp(ITypeComp** ppTComp) = 0;
  // GetDocumentation: index -1 documents the library itself.
  virtual HRESULT GetDocumentation(INT index, BSTR* pBstrName, BSTR* pBstrDocString,
                                   DWORD* pdwHelpContext, BSTR* pBstrHelpFile) = 0;
  virtual HRESULT IsName(LPOLESTR szNameBuf, ULONG lHashVal, BOOL* pfName) = 0;
  virtual HRESULT FindName(LPOLESTR szNameBuf, ULONG lHashVal, ITypeInfo** ppTInfo,
                           MEMBERID* rgMemId, std::uint16_t* pcFound) = 0;
  virtual void ReleaseTLibAttr(TLIBATTR* pTLibAttr) = 0;

 protected:
  ~ITypeLib() = default;
};

extern const IID IID_ITypeInfo;
extern const IID IID_ITypeComp;
extern const IID IID_ITypeLib;

namespace velmor::com {

// The tables a type library is described by. Names and help texts are ASCII.
struct ParamInfo {
  const char* name;
  VARTYPE vt;
};
struct MemberInfo {
  MEMBERID id;
  const char* name;
  bool property;  // a property (read and write) rather than a method
  VARTYPE type;   // the property's type, the method's result
  std::span<const ParamInfo> params;
  const char* help;  // null: none
};
struct ImplTypeInfo {
  std::size_t type;  // index of the interface in the library's types
  INT flags;         // IMPLTYPEFLAG_*
};
struct TypeInfoDesc {
  TYPEKIND kind;
  GUID guid;
  const char* name;
  const char* help;
  WORD flags;  // TYPEFLAG_*
  std::span<const MemberInfo> members;
  std::span<const ImplTypeInfo> implTypes;
};
struct TypeLibDesc {
  GUID guid;
  const char* name;
  WORD major;
  WORD minor;
  LCID lcid;
  const char* help;
  const char* helpFile;
  WORD flags;  // LIBFLAG_*
  std::span<const TypeInfoDesc> types;
};

// LoadTypeLibFromDesc: an ITypeLib over `desc`, which must outlive it (a module's constant
// tables do). *ppTLib holds one reference, the caller's. E_POINTER, E_OUTOFMEMORY.
HRESULT LoadTypeLibFromDesc(const TypeLibDesc& desc, ITypeLib** ppTLib);

}  // namespace velmor::com
