// Module resources in place of a Windows module's resource section: the string table, the
// version resource, bitmaps, dialog templates and the type library, as constant tables a module
// links in. The module's instance handle (HINSTANCE) is the address of its table, so that the
// code of a module finds its own resources and its own file, as on Windows.
//
// For reading a module from outside without running it (the version resource, the toolbox
// bitmap), the build copies the tables into a section of the module file (SerializeResources),
// which ReadModuleResources finds again.
#pragma once

#include <optional>
#include <span>
#include <string>
#include <vector>

#include "platform/com/com.h"
#include "platform/com/typelib.h"

inline constexpr DWORD VS_FFI_SIGNATURE = 0xFEEF04BD;
inline constexpr DWORD VS_FFI_STRUCVERSION = 0x00010000;
inline constexpr DWORD VS_FFI_FILEFLAGSMASK = 0x0000003F;
inline constexpr DWORD VS_FF_SPECIALBUILD = 0x00000020;
inline constexpr DWORD VOS__WINDOWS32 = 0x00000004;
inline constexpr DWORD VFT_DLL = 0x00000002;

struct VS_FIXEDFILEINFO {
  DWORD dwSignature;
  DWORD dwStrucVersion;
  DWORD dwFileVersionMS;
  DWORD dwFileVersionLS;
  DWORD dwProductVersionMS;
  DWORD dwProductVersionLS;
  DWORD dwFileFlagsMask;
  DWORD dwFileFlags;
  DWORD dwFileOS;
  DWORD dwFileType;
  DWORD dwFileSubtype;
  DWORD dwFileDateMS;
  DWORD dwFileDateLS;
};

// Window styles of dialog templates and their controls.
inline constexpr DWORD WS_CHILD = 0x40000000;
inline constexpr DWORD WS_VISIBLE = 0x10000000;
inline constexpr DWORD WS_GROUP = 0x00020000;
inline constexpr DWORD DS_SETFONT = 0x00000040;
inline constexpr DWORD SS_CENTER = 0x00000001;

namespace velmor::com {

struct StringResource {
  UINT id;
  const char* text;
};
struct VersionString {
  const char* key;
  const char* value;
};
struct VersionResource {
  VS_FIXEDFILEINFO fixed;
  WORD language;  // of the one string table
  WORD codePage;
  std::span<const VersionString> strings;
};
struct BitmapResource {
  UINT id;
  std::span<const BYTE> dib;  // BITMAPINFOHEADER, colour table, rows bottom-up
};
struct DialogItem {
  const char* windowClass;  // "static"
  int id;                   // -1: none
  DWORD style;
  short x, y, cx, cy;  // dialog units
  const char* text;
};
struct DialogResource {
  UINT id;
  DWORD style;
  short x, y, cx, cy;  // dialog units
  const char* faceName;
  WORD pointSize;
  std::span<const DialogItem> items;
};

}  // namespace velmor::com

// A module's resources; its address is the module's instance handle.
struct HINSTANCE__ {
  WORD language;
  std::span<const velmor::com::StringResource> strings;
  std::span<const velmor::com::BitmapResource> bitmaps;
  std::span<const velmor::com::DialogResource> dialogs;
  const velmor::com::VersionResource* version;
  const velmor::com::TypeLibDesc* typeLib;  // TYPELIB 1
};
using HINSTANCE = const HINSTANCE__*;

// LoadStringA: string `id` of the module copied into `buffer` (at most cchBuffer - 1 characters
// and a terminator); the count copied, 0 when there is no such string or no room.
int LoadStringA(HINSTANCE hInstance, UINT id, LPSTR buffer, int cchBuffer);
// GetModuleFileNameA: the absolute path of the module file `hInstance` lives in (null: the
// program), cut to nSize - 1 characters; the length copied, 0 on failure (last error set).
DWORD GetModuleFileNameA(HINSTANCE hInstance, LPSTR fileName, DWORD nSize);

namespace velmor::com {

// ModuleFileName: GetModuleFileNameA as a string; empty on failure.
std::string ModuleFileName(HINSTANCE hInstance);
// FindString / FindBitmap / FindDialog: the resource `id` of a module, null when it has none.
const char* FindString(HINSTANCE hInstance, UINT id);
const BitmapResource* FindBitmap(HINSTANCE hInstance, UINT id);
const DialogResource* FindDialog(HINSTANCE hInstance, UINT id);

// What can be read from a module file without loading it.
struct FileResources {
  WORD language = 0;
  std::vector<std::pair<UINT, std::string>> strings;
  std::vector<std::pair<UINT, std::vector<BYTE>>> bitmaps;
  std::vector<std::pair<UINT, std::vector<BYTE>>> dialogs;  // DLGTEMPLATE bytes
  std::optional<VS_FIXEDFILEINFO> fixed;
  WORD versionLanguage = 0;
  WORD versionCodePage = 0;
  std::vector<std::pair<std::string, std::string>> versionStrings;
};

// kResourceSection: the name of the module file's section that holds the serialized table.
inline constexpr char kResourceSection[] = ".velmor.rsrc";
// DialogTemplateBytes: a dialog as the DLGTEMPLATE a Windows module carries: the template's
// header (style, no extended style, item count, position and size, no menu, the predefined
// class, no title, with DS_SETFONT the point size and face), then each item on a 4-byte
// boundary (style, no extended style, position, size, 16-bit id, the class as 0xFFFF and its
// atom, 0x0082 for "static", the text, no creation data). Texts are UTF-16LE with terminators.
std::vector<BYTE> DialogTemplateBytes(const DialogResource& dialog);
// SerializeResources: the strings, bitmaps, dialogs and version resource of a module, as bytes.
std::vector<BYTE> SerializeResources(const HINSTANCE__& resources);
// ParseResources: the reverse; nullopt for bytes that are not a whole, well-formed table.
std::optional<FileResources> ParseResources(std::span<const BYTE> bytes);
// ReadModuleResources: the table in the resource section of the ELF file at `path`; nullopt
// (with `why`) when the file cannot be read, is no ELF file or has no such section.
std::optional<FileResources> ReadModuleResources(const std::string& path, std::string& why);

}  // namespace velmor::com
