// Creating objects by class, as COM does for in-process servers: a ProgID or class identifier is
// looked up in the user's classes (platform/registry), the module named by its InprocServer32
// key is loaded, and its DllGetClassObject hands out the class factory. Modules stay loaded
// until CoFreeUnusedLibraries finds that they may go.
#pragma once

#include <string>

#include "platform/com/com.h"

inline constexpr DWORD CLSCTX_INPROC_SERVER = 0x1;

inline constexpr HRESULT REGDB_E_CLASSNOTREG = MakeHResult(0x80040154u);
inline constexpr HRESULT CO_E_CLASSSTRING = MakeHResult(0x800401F3u);
inline constexpr HRESULT CO_E_DLLNOTFOUND = MakeHResult(0x800401F8u);
inline constexpr HRESULT CO_E_ERRORINDLL = MakeHResult(0x800401F9u);

// The exports of an in-process server.
using LPFNGETCLASSOBJECT = HRESULT (*)(REFCLSID rclsid, REFIID riid, void** ppv);
using LPFNCANUNLOADNOW = HRESULT (*)();
using LPFNREGISTERSERVER = HRESULT (*)();

// CLSIDFromProgID: the class a ProgID names (HKEY_CLASSES_ROOT\<ProgID>\CLSID). CO_E_CLASSSTRING
// when the ProgID is not registered or its CLSID is not a GUID, E_INVALIDARG for null arguments.
HRESULT CLSIDFromProgID(LPCOLESTR progID, CLSID* clsid);
// CoGetClassObject: the class factory (interface `riid`) of class `rclsid`, from the module its
// InprocServer32 key names, loaded if need be. REGDB_E_CLASSNOTREG when the class has no such
// key, CO_E_DLLNOTFOUND when the module cannot be loaded, CO_E_ERRORINDLL when it exports no
// DllGetClassObject, else the module's own answer. *ppv holds a reference, the caller's.
HRESULT CoGetClassObject(REFCLSID rclsid, DWORD clsContext, void* serverInfo, REFIID riid,
                         void** ppv);
// CoCreateInstance: a new object of class `rclsid` through its factory's CreateInstance; the
// errors of CoGetClassObject, or the factory's.
HRESULT CoCreateInstance(REFCLSID rclsid, IUnknown* pUnkOuter, DWORD clsContext, REFIID riid,
                         void** ppv);
// CoFreeUnusedLibraries: unloads every module loaded here whose DllCanUnloadNow answers S_OK.
void CoFreeUnusedLibraries();

namespace velmor::com {
// CallServerExport: loads the module at `path` (for this call only), calls its export `name`
// (DllRegisterServer or DllUnregisterServer) and gives back its answer. CO_E_DLLNOTFOUND (with
// the loader's message in `why`) when the module cannot be loaded, CO_E_ERRORINDLL when it does
// not export `name`.
HRESULT CallServerExport(const std::string& path, const char* name, std::string& why);
// LoadedLibraryCount: how many modules CoGetClassObject has loaded and not yet unloaded.
std::size_t LoadedLibraryCount();
}  // namespace velmor::com
