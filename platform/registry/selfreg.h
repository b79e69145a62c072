// Self-registration of an in-process server: the framework's helpers that write and remove the
// standard COM entries of a control, its property page and its type library in the user's
// classes (HKEY_CLASSES_ROOT). Each helper is one registry transaction: it writes everything or,
// when any write fails, nothing.
#pragma once

#include "platform/com/resource.h"
#include "platform/registry/registry.h"

// Registration flags of AfxOleRegisterControlClass.
inline constexpr int afxRegDefault = 0x0000;
inline constexpr int afxRegInsertable = 0x0001;
inline constexpr int afxRegApartmentThreading = 0x0002;

// The class that marshals dispatch interfaces, named by every Interface key a type library
// registers.
extern const CLSID CLSID_PSDispatch;

// AfxOleRegisterTypeLib: registers the type library (TYPELIB 1) of module `hInstance`, which
// must carry library `tlid`: TypeLib\{tlid}\<major>.<minor> with its help string, its file
// (`fileName`, or the module's own) under 0\win32, FLAGS and HELPDIR (`helpDir`, or the file's
// folder), and the Interface keys of its dispatch interfaces. FALSE on failure.
BOOL AfxOleRegisterTypeLib(HINSTANCE hInstance, REFGUID tlid, LPCSTR fileName = nullptr,
                           LPCSTR helpDir = nullptr);
// AfxOleUnregisterTypeLib: removes what AfxOleRegisterTypeLib wrote for version
// wVerMajor.wVerMinor of `tlid`, with the Interface keys that name the library. A library that
// is not registered is no failure. FALSE when the registry cannot be changed.
BOOL AfxOleUnregisterTypeLib(REFGUID tlid, WORD wVerMajor = 0, WORD wVerMinor = 0, LCID lcid = 0);
// AfxOleRegisterControlClass: the entries of an in-process control: CLSID\{clsid} named by
// string idTypeName, with InprocServer32 (the module's absolute path, ThreadingModel Apartment
// when asked for), ProgID, Control, MiscStatus "0" with MiscStatus\1 the decimal `miscStatus`,
// ToolboxBitmap32 "<path>, <idBitmap>", TypeLib and Version; the ProgID key with its name and
// CLSID; an Insertable key only when afxRegInsertable is set. FALSE on failure.
BOOL AfxOleRegisterControlClass(HINSTANCE hInstance, REFCLSID clsid, LPCSTR progID,
                                UINT idTypeName, UINT idBitmap, int nRegFlags, DWORD miscStatus,
                                REFGUID tlid, WORD wVerMajor, WORD wVerMinor);
// AfxOleRegisterPropertyPageClass: CLSID\{clsid} named by string idTypeName, with
// InprocServer32 (ThreadingModel only when nRegFlags asks for apartment threading).
BOOL AfxOleRegisterPropertyPageClass(HINSTANCE hInstance, REFCLSID clsid, UINT idTypeName,
                                     int nRegFlags = afxRegDefault);
// AfxOleUnregisterClass: removes CLSID\{clsid} and, when given, the ProgID key. Entries that
// are already gone are no failure.
BOOL AfxOleUnregisterClass(REFCLSID clsid, LPCSTR progID);
