// The standard entries of an in-process server, written and removed one helper at a time, each
// in one registry transaction.
#include "platform/registry/selfreg.h"

#include <cstring>
#include <string>
#include <vector>

const CLSID CLSID_PSDispatch = {0x00020420, 0x0000, 0x0000,
                                {0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46}};

namespace {

using velmor::com::GuidToString;
using velmor::registry::Transaction;
using velmor::registry::UniqueHkey;

// SetText: `path` below HKEY_CLASSES_ROOT made, its value `name` (null: default) set to `text`.
DWORD SetText(const std::string& path, LPCSTR name, const std::string& text) {
  HKEY raw = nullptr;
  const auto error = static_cast<DWORD>(RegCreateKeyExA(HKEY_CLASSES_ROOT, path.c_str(), 0,
                                                        nullptr, REG_OPTION_NON_VOLATILE,
                                                        KEY_WRITE, nullptr, &raw, nullptr));
  UniqueHkey key(raw);
  if (error != ERROR_SUCCESS) return error;
  return static_cast<DWORD>(RegSetValueExA(key.get(), name, 0, REG_SZ,
                                            reinterpret_cast<const BYTE*>(text.c_str()),
                                            static_cast<DWORD>(text.size() + 1)));
}

DWORD MakeKey(const std::string& path) {
  HKEY raw = nullptr;
  const auto error = static_cast<DWORD>(RegCreateKeyExA(HKEY_CLASSES_ROOT, path.c_str(), 0,
                                                        nullptr, REG_OPTION_NON_VOLATILE,
                                                        KEY_WRITE, nullptr, &raw, nullptr));
  UniqueHkey key(raw);
  return error;
}

// Remove: the tree at `path`; one that is not there is already removed.
DWORD Remove(const std::string& path) {
  const auto error = static_cast<DWORD>(RegDeleteTreeA(HKEY_CLASSES_ROOT, path.c_str()));
  return error == ERROR_FILE_NOT_FOUND ? ERROR_SUCCESS : error;
}

std::string Version(WORD major, WORD minor) {
  char text[16];
  std::snprintf(text, sizeof text, "%x.%x", major, minor);
  return text;
}

std::string Folder(const std::string& path) {
  const auto slash = path.find_last_of('/');
  return slash == std::string::npos ? std::string() : path.substr(0, slash == 0 ? 1 : slash);
}

// Run: the helper's writes in one transaction; TRUE only when all of them lasted. Whatever is
// thrown (only memory running out can be) is FALSE with ERROR_OUTOFMEMORY.
template <typename Body>
BOOL Run(Body&& body) noexcept {
  return velmor::platform::Guard(
      velmor::com::LastErrorEntry<BOOL>{FALSE, ERROR_OUTOFMEMORY, ERROR_OUTOFMEMORY}, [&]() -> BOOL {
        Transaction transaction;
        if (!transaction.ok()) return FALSE;
        const DWORD error = body();
        if (error != ERROR_SUCCESS) {
          SetLastError(error);
          return FALSE;
        }
        const auto committed = static_cast<DWORD>(transaction.Commit());
        if (committed != ERROR_SUCCESS) SetLastError(committed);
        return committed == ERROR_SUCCESS ? TRUE : FALSE;
      });
}

// First: the first failure of a sequence of writes.
struct First {
  DWORD error = ERROR_SUCCESS;
  First& operator<<(DWORD e) {
    if (error == ERROR_SUCCESS) error = e;
    return *this;
  }
};

std::string LoadText(HINSTANCE hInstance, UINT id) {
  const char* text = velmor::com::FindString(hInstance, id);
  return text != nullptr ? text : "";
}

}  // namespace

BOOL AfxOleRegisterTypeLib(HINSTANCE hInstance, REFGUID tlid, LPCSTR fileName, LPCSTR helpDir) {
  if (hInstance == nullptr || hInstance->typeLib == nullptr || !(hInstance->typeLib->guid == tlid)) {
    SetLastError(ERROR_FILE_NOT_FOUND);
    return FALSE;
  }
  const velmor::com::TypeLibDesc& lib = *hInstance->typeLib;
  return Run([&]() -> DWORD {
    const std::string file = fileName != nullptr ? fileName : velmor::com::ModuleFileName(hInstance);
    if (file.empty()) return ERROR_FILE_NOT_FOUND;
    const std::string libId = GuidToString(lib.guid);
    const std::string base = "TypeLib\\" + libId + "\\" + Version(lib.major, lib.minor);
    char lcid[16];
    std::snprintf(lcid, sizeof lcid, "%x", 0u);
    First first;
    first << SetText(base, nullptr, lib.help != nullptr ? lib.help : "")
          << SetText(base + "\\" + lcid + "\\win32", nullptr, file)
          << SetText(base + "\\FLAGS", nullptr, std::to_string(lib.flags))
          << SetText(base + "\\HELPDIR", nullptr, helpDir != nullptr ? helpDir : Folder(file));
    for (const velmor::com::TypeInfoDesc& type : lib.types) {
      if (type.kind != TKIND_DISPATCH) continue;
      const std::string iface = "Interface\\" + GuidToString(type.guid);
      first << SetText(iface, nullptr, type.name)
            << SetText(iface + "\\ProxyStubClsid", nullptr, GuidToString(CLSID_PSDispatch))
            << SetText(iface + "\\ProxyStubClsid32", nullptr, GuidToString(CLSID_PSDispatch))
            << SetText(iface + "\\TypeLib", nullptr, libId)
            << SetText(iface + "\\TypeLib", "Version", Version(lib.major, lib.minor));
    }
    return first.error;
  });
}

BOOL AfxOleUnregisterTypeLib(REFGUID tlid, WORD wVerMajor, WORD wVerMinor, LCID) {
  return Run([&]() -> DWORD {
    const std::string libId = GuidToString(tlid);
    const std::string version = Version(wVerMajor, wVerMinor);
    First first;
    // The interfaces that this version of the library registered.
    HKEY raw = nullptr;
    if (RegOpenKeyExA(HKEY_CLASSES_ROOT, "Interface", 0, KEY_READ, &raw) == ERROR_SUCCESS) {
      UniqueHkey interfaces(raw);
      std::vector<std::string> mine;
      char name[kMaxKeyNameLength + 1];
      for (DWORD i = 0;; ++i) {
        DWORD length = sizeof name;
        const auto e = static_cast<DWORD>(RegEnumKeyExA(interfaces.get(), i, name, &length,
                                                        nullptr, nullptr, nullptr, nullptr));
        if (e == ERROR_NO_MORE_ITEMS) break;
        if (e != ERROR_SUCCESS) return e;
        if (velmor::registry::QueryDefaultText(interfaces.get(), std::string(name) + "\\TypeLib") == libId) {
          mine.emplace_back(name);
        }
      }
      for (const std::string& iid : mine) first << Remove("Interface\\" + iid);
    }
    first << Remove("TypeLib\\" + libId + "\\" + version);
    // The library's key goes with its last version.
    if (RegOpenKeyExA(HKEY_CLASSES_ROOT, ("TypeLib\\" + libId).c_str(), 0, KEY_READ, &raw) ==
        ERROR_SUCCESS) {
      UniqueHkey lib(raw);
      char name[kMaxKeyNameLength + 1];
      DWORD length = sizeof name;
      if (RegEnumKeyExA(lib.get(), 0, name, &length, nullptr, nullptr, nullptr, nullptr) ==
          static_cast<LONG>(ERROR_NO_MORE_ITEMS)) {
        first << Remove("TypeLib\\" + libId);
      }
    }
    return first.error;
  });
}

BOOL AfxOleRegisterControlClass(HINSTANCE hInstance, REFCLSID clsid, LPCSTR progID,
                                UINT idTypeName, UINT idBitmap, int nRegFlags, DWORD miscStatus,
                                REFGUID tlid, WORD wVerMajor, WORD wVerMinor) {
  return Run([&]() -> DWORD {
    const std::string path = velmor::com::ModuleFileName(hInstance);
    if (path.empty()) return ERROR_FILE_NOT_FOUND;
    const std::string name = LoadText(hInstance, idTypeName);
    const std::string base = "CLSID\\" + GuidToString(clsid);
    First first;
    first << SetText(base, nullptr, name) << SetText(base + "\\InprocServer32", nullptr, path);
    if ((nRegFlags & afxRegApartmentThreading) != 0) {
      first << SetText(base + "\\InprocServer32", "ThreadingModel", "Apartment");
    }
    if (progID != nullptr) {
      first << SetText(base + "\\ProgID", nullptr, progID) << SetText(progID, nullptr, name)
            << SetText(std::string(progID) + "\\CLSID", nullptr, GuidToString(clsid));
    }
    if ((nRegFlags & afxRegInsertable) != 0) {
      first << MakeKey(base + "\\Insertable");
      if (progID != nullptr) first << MakeKey(std::string(progID) + "\\Insertable");
    }
    first << MakeKey(base + "\\Control") << SetText(base + "\\MiscStatus", nullptr, "0")
          << SetText(base + "\\MiscStatus\\1", nullptr, std::to_string(miscStatus))
          << SetText(base + "\\ToolboxBitmap32", nullptr, path + ", " + std::to_string(idBitmap))
          << SetText(base + "\\TypeLib", nullptr, GuidToString(tlid))
          << SetText(base + "\\Version", nullptr, Version(wVerMajor, wVerMinor));
    return first.error;
  });
}

BOOL AfxOleRegisterPropertyPageClass(HINSTANCE hInstance, REFCLSID clsid, UINT idTypeName,
                                     int nRegFlags) {
  return Run([&]() -> DWORD {
    const std::string path = velmor::com::ModuleFileName(hInstance);
    if (path.empty()) return ERROR_FILE_NOT_FOUND;
    const std::string base = "CLSID\\" + GuidToString(clsid);
    First first;
    first << SetText(base, nullptr, LoadText(hInstance, idTypeName))
          << SetText(base + "\\InprocServer32", nullptr, path);
    if ((nRegFlags & afxRegApartmentThreading) != 0) {
      first << SetText(base + "\\InprocServer32", "ThreadingModel", "Apartment");
    }
    return first.error;
  });
}

BOOL AfxOleUnregisterClass(REFCLSID clsid, LPCSTR progID) {
  return Run([&]() -> DWORD {
    First first;
    first << Remove("CLSID\\" + GuidToString(clsid));
    if (progID != nullptr) first << Remove(progID);
    return first.error;
  });
}
