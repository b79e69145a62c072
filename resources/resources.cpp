// The module's resources, all under language 0x0804 (the version resource's string table is
// 0x0409, Unicode).
#include "resources/resources.h"

#include <array>
#include <span>

#include "control/interface/guids.h"
#include "control/interface/members.h"

namespace velmor::resources {
namespace {

using com::BitmapResource;
using com::DialogItem;
using com::DialogResource;
using com::ImplTypeInfo;
using com::MemberInfo;
using com::ParamInfo;
using com::StringResource;
using com::TypeInfoDesc;
using com::TypeLibDesc;
using com::VersionResource;
using com::VersionString;

constexpr WORD kLanguage = 0x0804;

constexpr StringResource kStrings[] = {
    {IDS_VELMOR, "velmorQVA Control"},
    {IDS_VELMOR_PPG, "velmorQVA Property Page"},
    {IDS_VELMOR_PPG_CAPTION, "General"},
};

// ---- Toolbox bitmap: 16 x 15 pixels, 4 bits a pixel, the 16 standard colours -------------
// A signed sheet with a red seal, on the toolbox's silver (the colour of the lower-left pixel,
// which toolboxes treat as transparent). One hexadecimal digit a pixel, top row first.
constexpr const char* kToolboxPicture[15] = {
    "7777777777777777",
    "7000000007777777",
    "70FFFFFF00777777",
    "70F8888F0F077777",
    "70FFFFFF00007777",
    "70F8888888F07777",
    "70FFFFFFFFF07777",
    "70F8888888F07777",
    "70FFFFFFFF999977",
    "70F88888F9911997",
    "70FFFFFFF9199197",
    "70FFFFFFF9911997",
    "70FFFFFFF9999997",
    "7000000000999977",
    "7777777777777777",
};
constexpr int kBitmapWidth = 16;
constexpr int kBitmapHeight = 15;
constexpr int kBitmapStride = 8;  // 16 pixels of 4 bits, already a multiple of 4 bytes
constexpr std::uint32_t kPalette[16] = {
    0x000000, 0x800000, 0x008000, 0x808000, 0x000080, 0x800080, 0x008080, 0xC0C0C0,
    0x808080, 0xFF0000, 0x00FF00, 0xFFFF00, 0x0000FF, 0xFF00FF, 0x00FFFF, 0xFFFFFF,
};
constexpr std::size_t kDibSize = 40 + 16 * 4 + kBitmapStride * kBitmapHeight;

constexpr int Nibble(char c) { return c <= '9' ? c - '0' : c - 'A' + 10; }

// MakeDib: the device-independent bitmap as a .bmp file holds it after its file header:
// BITMAPINFOHEADER, the colour table (blue, green, red, 0), the rows bottom-up.
constexpr std::array<BYTE, kDibSize> MakeDib() {
  std::array<BYTE, kDibSize> dib{};
  std::size_t at = 0;
  auto put = [&](std::uint32_t value, int bytes) {
    for (int i = 0; i < bytes; ++i) dib[at++] = static_cast<BYTE>(value >> (8 * i));
  };
  put(40, 4);                  // biSize
  put(kBitmapWidth, 4);        // biWidth
  put(kBitmapHeight, 4);       // biHeight (positive: bottom-up)
  put(1, 2);                   // biPlanes
  put(4, 2);                   // biBitCount
  put(0, 4);                   // biCompression: BI_RGB
  put(kBitmapStride * kBitmapHeight, 4);  // biSizeImage
  put(0, 4);                   // biXPelsPerMeter
  put(0, 4);                   // biYPelsPerMeter
  put(16, 4);                  // biClrUsed
  put(0, 4);                   // biClrImportant
  for (std::uint32_t rgb : kPalette) put(rgb, 4);  // little-endian: blue, green, red, 0
  for (int row = kBitmapHeight - 1; row >= 0; --row) {
    for (int x = 0; x < kBitmapWidth; x += 2) {
      dib[at++] = static_cast<BYTE>(Nibble(kToolboxPicture[row][x]) << 4 |
                                    Nibble(kToolboxPicture[row][x + 1]));
    }
  }
  return dib;
}
constexpr std::array<BYTE, kDibSize> kToolboxDib = MakeDib();
constexpr BitmapResource kBitmaps[] = {{IDB_VELMOR, kToolboxDib}};

// ---- The property page's dialog ---------------------------------------------------------
constexpr DialogItem kPageItems[] = {
    {"static", -1, WS_CHILD | WS_VISIBLE | WS_GROUP | SS_CENTER, 7, 25, 229, 16, kCopyrightNotice},
};
constexpr DialogResource kDialogs[] = {
    {IDD_PROPPAGE_VELMOR, WS_CHILD | DS_SETFONT, 0, 0, 250, 62, "MS Sans Serif", 8, kPageItems},
};

// ---- Version resource -------------------------------------------------------------------
constexpr VersionString kVersionStrings[] = {
    {"Comments", ""},
    {"CompanyName", "Tarnvik Inc."},
    {"FileDescription", "VELMOR for QVA"},
    {"FileVersion", "2, 0, 0, 4"},
    {"InternalName", "velmor"},
    {"LegalCopyright", kCopyrightNotice},
    {"LegalTrademarks", ""},
    {"OLESelfRegister", ""},
    {"OriginalFilename", "velmorQVA.OCX"},
    {"PrivateBuild", ""},
    {"ProductName", "velmor"},
    {"ProductVersion", "2, 0, 0, 4"},
    {"SpecialBuild", "QVA"},
};
constexpr VersionResource kVersion = {
    {VS_FFI_SIGNATURE, VS_FFI_STRUCVERSION, 0x00020000, 0x00000004, 0x00020000, 0x00000004,
     VS_FFI_FILEFLAGSMASK, VS_FF_SPECIALBUILD, VOS__WINDOWS32, VFT_DLL, 0, 0, 0},
    0x0409,
    1200,
    kVersionStrings,
};

// ---- Type library VELMORLib 1.0 ---------------------------------------------------------
// The dispatch interface's members, from the control's member table: every property, parameter
// and result a BSTR.
using Members = std::array<MemberInfo, control::kMemberCount>;
using MemberParams = std::array<std::array<ParamInfo, control::kMaxMemberParams>, control::kMemberCount>;
constexpr MemberParams kMemberParams = [] {
  MemberParams params{};
  for (std::size_t i = 0; i < control::kMemberCount; ++i) {
    for (std::size_t k = 0; k < control::kMembers[i].params; ++k) {
      params[i][k] = ParamInfo{control::kMembers[i].paramNames[k].data(), VT_BSTR};
    }
  }
  return params;
}();
constexpr Members kDispatchMembers = [] {
  Members members{};
  for (std::size_t i = 0; i < control::kMemberCount; ++i) {
    const control::Member& m = control::kMembers[i];
    members[i] = MemberInfo{m.id, m.name.data(), m.property, VT_BSTR,
                            std::span<const ParamInfo>(kMemberParams[i].data(), m.params), nullptr};
  }
  return members;
}();
constexpr ImplTypeInfo kCoclassInterfaces[] = {
    {0, IMPLTYPEFLAG_FDEFAULT},
    {1, IMPLTYPEFLAG_FDEFAULT | IMPLTYPEFLAG_FSOURCE},
};
constexpr TypeInfoDesc kTypes[] = {
    {TKIND_DISPATCH, DIID__DVelmor, "_DVelmor", nullptr,
     TYPEFLAG_FHIDDEN | TYPEFLAG_FDISPATCHABLE, kDispatchMembers, {}},
    {TKIND_DISPATCH, DIID__DVelmorEvents, "_DVelmorEvents", "Event interface for Velmor Control",
     TYPEFLAG_FDISPATCHABLE, {}, {}},
    {TKIND_COCLASS, CLSID_Velmor, "Velmor", "Velmor Control",
     TYPEFLAG_FCANCREATE | TYPEFLAG_FCONTROL, {}, kCoclassInterfaces},
};
constexpr TypeLibDesc kTypeLib = {
    LIBID_VELMORLib, "VELMORLib", kTypeLibMajor, kTypeLibMinor, 0x0409,
    "velmor ActiveX Control module", "velmor.hlp", 0, kTypes,
};

}  // namespace

constinit const HINSTANCE__ kModuleResources = {
    kLanguage, kStrings, kBitmaps, kDialogs, &kVersion, &kTypeLib,
};

}  // namespace velmor::resources
