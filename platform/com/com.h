// velmor's layer in place of COM / OLE Automation and the Windows text functions.
//
// Only what the control and its hosts use: the base types and result codes, GUIDs, BSTR,
// the IUnknown / IDispatch / IObjectSafety / IClassFactory interfaces in COM slot order,
// the VARIANT subset that script hosts pass, the thread's last-error value and the
// code-page conversions. Names, values and semantics are those of the Windows SDK so that the
// code above this layer reads as it would on Windows.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <new>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

#include "platform/base/guard.h"

// ---- Base types -------------------------------------------------------------------------------
using BOOL = int;
using BYTE = std::uint8_t;
using WORD = std::uint16_t;
using DWORD = std::uint32_t;
using LONG = std::int32_t;
using ULONG = std::uint32_t;
using INT = int;
using UINT = unsigned int;
using HRESULT = std::int32_t;
using ULONG_PTR = std::uintptr_t;
using LCID = DWORD;
using DISPID = LONG;
using VARTYPE = std::uint16_t;
using VARIANT_BOOL = std::int16_t;
// WCHAR is UTF-16: wchar_t is 32 bits on Linux, so it cannot stand in for the Windows type.
using WCHAR = char16_t;
using OLECHAR = WCHAR;
using CHAR = char;
using LPSTR = char*;
using LPCSTR = const char*;
using LPWSTR = WCHAR*;
using LPCWSTR = const WCHAR*;
using LPOLESTR = OLECHAR*;
using LPCOLESTR = const OLECHAR*;
// A BSTR points at the first character; a 32-bit byte count sits in the 4 bytes before it and a
// zero character after the last one. A null BSTR is a valid empty text.
using BSTR = OLECHAR*;

inline constexpr BOOL TRUE = 1;
inline constexpr BOOL FALSE = 0;

// ---- HRESULTs ---------------------------------------------------------------------------------
inline constexpr HRESULT MakeHResult(std::uint32_t v) { return static_cast<HRESULT>(v); }
inline constexpr HRESULT S_OK = 0;
inline constexpr HRESULT S_FALSE = 1;
inline constexpr HRESULT E_NOTIMPL = MakeHResult(0x80004001u);
inline constexpr HRESULT E_NOINTERFACE = MakeHResult(0x80004002u);
inline constexpr HRESULT E_POINTER = MakeHResult(0x80004003u);
inline constexpr HRESULT E_FAIL = MakeHResult(0x80004005u);
inline constexpr HRESULT E_UNEXPECTED = MakeHResult(0x8000FFFFu);
inline constexpr HRESULT E_OUTOFMEMORY = MakeHResult(0x8007000Eu);
inline constexpr HRESULT E_INVALIDARG = MakeHResult(0x80070057u);
inline constexpr HRESULT CLASS_E_NOAGGREGATION = MakeHResult(0x80040110u);
inline constexpr HRESULT CLASS_E_CLASSNOTAVAILABLE = MakeHResult(0x80040111u);
inline constexpr HRESULT DISP_E_UNKNOWNINTERFACE = MakeHResult(0x80020001u);
inline constexpr HRESULT DISP_E_MEMBERNOTFOUND = MakeHResult(0x80020003u);
inline constexpr HRESULT DISP_E_PARAMNOTFOUND = MakeHResult(0x80020004u);
inline constexpr HRESULT DISP_E_TYPEMISMATCH = MakeHResult(0x80020005u);
inline constexpr HRESULT DISP_E_UNKNOWNNAME = MakeHResult(0x80020006u);
inline constexpr HRESULT DISP_E_BADVARTYPE = MakeHResult(0x80020008u);
inline constexpr HRESULT DISP_E_NONAMEDARGS = MakeHResult(0x80020007u);
inline constexpr HRESULT DISP_E_BADINDEX = MakeHResult(0x8002000Bu);
inline constexpr HRESULT DISP_E_BADPARAMCOUNT = MakeHResult(0x8002000Eu);
inline constexpr HRESULT SELFREG_E_TYPELIB = MakeHResult(0x80040200u);
inline constexpr HRESULT SELFREG_E_CLASS = MakeHResult(0x80040201u);

inline constexpr bool SUCCEEDED(HRESULT hr) { return hr >= 0; }
inline constexpr bool FAILED(HRESULT hr) { return hr < 0; }

// ---- Win32 error values (GetLastError) --------------------------------------------------------
inline constexpr DWORD ERROR_SUCCESS = 0;
inline constexpr DWORD ERROR_FILE_NOT_FOUND = 2;
inline constexpr DWORD ERROR_ACCESS_DENIED = 5;
inline constexpr DWORD ERROR_INVALID_HANDLE = 6;
inline constexpr DWORD ERROR_NOT_ENOUGH_MEMORY = 8;
inline constexpr DWORD ERROR_OUTOFMEMORY = 14;
inline constexpr DWORD ERROR_INVALID_PARAMETER = 87;
inline constexpr DWORD ERROR_INSUFFICIENT_BUFFER = 122;
inline constexpr DWORD ERROR_MORE_DATA = 234;
inline constexpr DWORD ERROR_INVALID_FLAGS = 1004;
inline constexpr DWORD ERROR_NO_UNICODE_TRANSLATION = 1113;

// SecureZeroMemory: overwrites `size` bytes at `p` with zeros in a way the compiler may not
// drop, for plaintext and other secrets that are about to be released.
void SecureZeroMemory(void* p, std::size_t size);

// GetLastError: the calling thread's last-error value, as the failing call left it.
DWORD GetLastError();
// SetLastError: sets the calling thread's last-error value.
void SetLastError(DWORD error);

// ---- GUIDs ------------------------------------------------------------------------------------
struct GUID {
  std::uint32_t Data1;
  std::uint16_t Data2;
  std::uint16_t Data3;
  std::uint8_t Data4[8];
};
using IID = GUID;
using CLSID = GUID;
using REFIID = const IID&;
using REFCLSID = const CLSID&;
using REFGUID = const GUID&;

bool IsEqualGUID(REFGUID a, REFGUID b);
inline bool operator==(const GUID& a, const GUID& b) { return IsEqualGUID(a, b); }

namespace velmor::com {
// The failure forms of the platform's entry points, for platform::Guard (platform/base/guard.h):
// what an entry answers when its body throws, std::bad_alloc being out of memory.

// HresultEntry: an interface method or exported function returning an HRESULT: E_OUTOFMEMORY,
// anything else `failure`.
struct HresultEntry {
  HRESULT failure = E_FAIL;
  HRESULT OutOfMemory() const noexcept { return E_OUTOFMEMORY; }
  HRESULT Failure() const noexcept { return failure; }
};

// LastErrorEntry: a function answering failure with `failValue` (FALSE, 0, null) and the
// reason as the thread's last error: `outOfMemory`, anything else `failure`.
template <typename R>
struct LastErrorEntry {
  R failValue;
  DWORD outOfMemory = ERROR_NOT_ENOUGH_MEMORY;
  DWORD failure = ERROR_NOT_ENOUGH_MEMORY;
  R OutOfMemory() const noexcept {
    SetLastError(outOfMemory);
    return failValue;
  }
  R Failure() const noexcept {
    SetLastError(failure);
    return failValue;
  }
};

// ErrorEntry: a function returning its error value (LONG, DWORD): `outOfMemory`, anything else
// `failure`.
template <typename R>
struct ErrorEntry {
  R outOfMemory = static_cast<R>(ERROR_OUTOFMEMORY);
  R failure = static_cast<R>(ERROR_OUTOFMEMORY);
  R OutOfMemory() const noexcept { return outOfMemory; }
  R Failure() const noexcept { return failure; }
};

// GuardedHresult: platform::Guard with the HRESULT form, for interface and exported entries.
template <typename Body>
HRESULT GuardedHresult(Body&& body, HRESULT otherwise = E_FAIL) noexcept {
  return platform::Guard(HresultEntry{otherwise}, std::forward<Body>(body));
}
}  // namespace velmor::com

namespace velmor::com {
// GuidToString: the registry form {XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX}, upper case.
std::string GuidToString(REFGUID guid);
// GuidFromString: parses the registry form (braces required, either case); nullopt otherwise.
std::optional<GUID> GuidFromString(std::string_view text);
}  // namespace velmor::com

extern const IID IID_IUnknown;
extern const IID IID_IDispatch;
extern const IID IID_IClassFactory;
extern const IID IID_IObjectSafety;
extern const IID IID_NULL;

// ---- BSTR -------------------------------------------------------------------------------------
// SysAllocStringLen: a new BSTR of `len` characters copied from `src` (left uninitialised but
// terminated when src is null). Returns null when memory is short. The caller owns the result.
BSTR SysAllocStringLen(const OLECHAR* src, UINT len);
// SysAllocString: a new BSTR holding the zero-terminated `src`; null for a null src.
BSTR SysAllocString(const OLECHAR* src);
// SysFreeString: releases a BSTR; null is allowed.
void SysFreeString(BSTR bstr);
// SysStringLen: the character count of a BSTR (its byte count / 2); 0 for null.
UINT SysStringLen(BSTR bstr);
// SysStringByteLen: the byte count stored in front of a BSTR; 0 for null.
UINT SysStringByteLen(BSTR bstr);

namespace velmor::com {
struct BstrDeleter {
  void operator()(OLECHAR* bstr) const { SysFreeString(bstr); }
};
// UniqueBstr: one owner for a BSTR (released with SysFreeString).
using UniqueBstr = std::unique_ptr<OLECHAR, BstrDeleter>;
}  // namespace velmor::com

// ---- Task memory and arithmetic ---------------------------------------------------------------
// CoTaskMemAlloc: `cb` bytes for memory handed from one object to another across an interface
// (a page's title, a list of page classes); null when memory is short. The receiver frees it
// with CoTaskMemFree (null is allowed).
void* CoTaskMemAlloc(std::size_t cb);
void CoTaskMemFree(void* pv);
// MulDiv: number * numerator / denominator, computed in 64 bits and rounded half away from
// zero; -1 when the denominator is 0 or the result does not fit 32 bits.
int MulDiv(int number, int numerator, int denominator);

namespace velmor::com {
struct CoTaskMemDeleter {
  void operator()(void* p) const { CoTaskMemFree(p); }
};
// UniqueCoTaskMem<T>: one owner for memory an interface handed over with CoTaskMemAlloc.
template <typename T>
using UniqueCoTaskMem = std::unique_ptr<T, CoTaskMemDeleter>;
}  // namespace velmor::com

// ---- Interfaces -------------------------------------------------------------------------------
struct ITypeInfo;  // platform/com/typelib.h

struct IUnknown {
  virtual HRESULT QueryInterface(REFIID riid, void** ppv) = 0;
  virtual ULONG AddRef() = 0;
  virtual ULONG Release() = 0;

 protected:
  ~IUnknown() = default;
};

namespace velmor::com {
// ComPtr: one reference to a COM object, given back with Release.
template <typename T>
struct ReleaseDeleter {
  void operator()(T* p) const {
    if (p != nullptr) p->Release();
  }
};
template <typename T>
using ComPtr = std::unique_ptr<T, ReleaseDeleter<T>>;

// QueryAs: the QueryInterface of an object that answers IUnknown and the one interface `iid`,
// both as `self`: S_OK with a reference added for the caller; E_NOINTERFACE with *ppv null for
// any other interface; E_POINTER for a null ppv.
template <typename I>
HRESULT QueryAs(I* self, REFIID iid, REFIID riid, void** ppv) {
  if (ppv == nullptr) return E_POINTER;
  if (riid == IID_IUnknown || riid == iid) {
    *ppv = self;
    self->AddRef();
    return S_OK;
  }
  *ppv = nullptr;
  return E_NOINTERFACE;
}
}  // namespace velmor::com

// ---- VARIANT subset ---------------------------------------------------------------------------
enum : VARTYPE {
  VT_EMPTY = 0,
  VT_NULL = 1,
  VT_I4 = 3,
  VT_BSTR = 8,
  VT_BYREF = 0x4000,
};

struct VARIANT {
  VARTYPE vt;
  WORD wReserved1;
  WORD wReserved2;
  WORD wReserved3;
  union {
    LONG lVal;
    BSTR bstrVal;
    BSTR* pbstrVal;
  };
};
using VARIANTARG = VARIANT;

void VariantInit(VARIANT* v);
// VariantClear: frees what the variant owns (a BSTR) and makes it VT_EMPTY.
HRESULT VariantClear(VARIANT* v);

struct DISPPARAMS {
  VARIANTARG* rgvarg;        // arguments in reverse order, as OLE passes them
  DISPID* rgdispidNamedArgs;
  UINT cArgs;
  UINT cNamedArgs;
};

struct EXCEPINFO {
  WORD wCode;
  WORD wReserved;
  BSTR bstrSource;
  BSTR bstrDescription;
  BSTR bstrHelpFile;
  DWORD dwHelpContext;
  void* pvReserved;
  void* pfnDeferredFillIn;
  HRESULT scode;
};

inline constexpr WORD DISPATCH_METHOD = 0x1;
inline constexpr WORD DISPATCH_PROPERTYGET = 0x2;
inline constexpr WORD DISPATCH_PROPERTYPUT = 0x4;
inline constexpr WORD DISPATCH_PROPERTYPUTREF = 0x8;
inline constexpr DISPID DISPID_UNKNOWN = -1;
inline constexpr DISPID DISPID_PROPERTYPUT = -3;

struct IDispatch : IUnknown {
  virtual HRESULT GetTypeInfoCount(UINT* pctinfo) = 0;
  virtual HRESULT GetTypeInfo(UINT iTInfo, LCID lcid, ITypeInfo** ppTInfo) = 0;
  virtual HRESULT GetIDsOfNames(REFIID riid, LPOLESTR* rgszNames, UINT cNames, LCID lcid,
                                DISPID* rgDispId) = 0;
  virtual HRESULT Invoke(DISPID dispIdMember, REFIID riid, LCID lcid, WORD wFlags,
                         DISPPARAMS* pDispParams, VARIANT* pVarResult, EXCEPINFO* pExcepInfo,
                         UINT* puArgErr) = 0;

 protected:
  ~IDispatch() = default;
};

inline constexpr DWORD INTERFACESAFE_FOR_UNTRUSTED_CALLER = 0x1;
inline constexpr DWORD INTERFACESAFE_FOR_UNTRUSTED_DATA = 0x2;

struct IObjectSafety : IUnknown {
  virtual HRESULT GetInterfaceSafetyOptions(REFIID riid, DWORD* pdwSupportedOptions,
                                            DWORD* pdwEnabledOptions) = 0;
  virtual HRESULT SetInterfaceSafetyOptions(REFIID riid, DWORD dwOptionSetMask,
                                            DWORD dwEnabledOptions) = 0;

 protected:
  ~IObjectSafety() = default;
};

struct IClassFactory : IUnknown {
  virtual HRESULT CreateInstance(IUnknown* pUnkOuter, REFIID riid, void** ppv) = 0;
  virtual HRESULT LockServer(BOOL fLock) = 0;

 protected:
  ~IClassFactory() = default;
};

// ---- Code pages -------------------------------------------------------------------------------
inline constexpr UINT CP_ACP = 0;
inline constexpr UINT CP_UTF8 = 65001;

// Conversion flags. MB_ERR_INVALID_CHARS / WC_ERR_INVALID_CHARS make an invalid sequence fail
// the call (ERROR_NO_UNICODE_TRANSLATION) instead of turning into a replacement character.
inline constexpr DWORD MB_ERR_INVALID_CHARS = 0x00000008;
inline constexpr DWORD WC_ERR_INVALID_CHARS = 0x00000080;
inline constexpr DWORD WC_NO_BEST_FIT_CHARS = 0x00000400;

// GetACP: the process's ANSI code page. By default it follows the locale's character set
// (UTF-8 for the C/POSIX locale); velmor::com::SetAnsiCodePage overrides it.
UINT GetACP();

namespace velmor::com {
// SetAnsiCodePage: makes `codePage` the process's ANSI code page, for the modules loaded later
// too (they read it from the process's environment); CP_ACP (0) goes back to the locale's.
// Returns false (and changes nothing) when the code page is not supported.
bool SetAnsiCodePage(UINT codePage);
// IsCodePageSupported: whether the conversions below accept `codePage`.
bool IsCodePageSupported(UINT codePage);
// CodePageFromCharset: the Windows code page for a C library character-set name ("UTF-8",
// "GBK", "CP1252", ...). The C/POSIX locale's "ANSI_X3.4-1968" and any name we do not know give
// CP_UTF8: nobody chose those, and UTF-8 loses no character.
UINT CodePageFromCharset(std::string_view charset);
}  // namespace velmor::com

// MultiByteToWideChar / WideCharToMultiByte with the Windows semantics: a length of -1 means the
// input is zero-terminated and the terminator is converted and counted; an output size of 0
// asks for the size needed; failure returns 0 with ERROR_INSUFFICIENT_BUFFER,
// ERROR_INVALID_PARAMETER, ERROR_INVALID_FLAGS, ERROR_NO_UNICODE_TRANSLATION or
// ERROR_NOT_ENOUGH_MEMORY as last error. Neither throws.
int MultiByteToWideChar(UINT codePage, DWORD flags, LPCSTR multiByte, int cbMultiByte,
                        LPWSTR wide, int cchWide);
int WideCharToMultiByte(UINT codePage, DWORD flags, LPCWSTR wide, int cchWide, LPSTR multiByte,
                        int cbMultiByte, LPCSTR defaultChar, BOOL* usedDefaultChar);

namespace velmor::com {
// WideToMultiByte: `count` UTF-16 units of `wide` (-1: up to its terminator, which the result
// does not keep) converted to `codePage` with WideCharToMultiByte, sized by asking first. A null
// or empty text gives the empty string. nullopt when the conversion fails, with its last error.
// Throws std::bad_alloc when the result cannot be allocated.
std::optional<std::string> WideToMultiByte(UINT codePage, const WCHAR* wide, int count);
}  // namespace velmor::com
