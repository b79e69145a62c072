// The identifiers of the control, chosen once and never to change: a registered page, a saved
// document or a script names the control by them.
#pragma once

#include "platform/com/com.h"

namespace velmor {

// The control's class (the coclass `Velmor`).
inline constexpr CLSID CLSID_Velmor = {0xFBE8F5E5, 0xB72B, 0x4B9F,
                                       {0x99, 0x88, 0x5C, 0xEA, 0x97, 0x45, 0x64, 0x47}};
// The dispatch interface `_DVelmor`.
inline constexpr IID DIID__DVelmor = {0xC57D4E40, 0xFCC9, 0x4332,
                                      {0xAB, 0x0B, 0xE1, 0x8B, 0xD4, 0x69, 0x8D, 0xAE}};
// The event interface `_DVelmorEvents`.
inline constexpr IID DIID__DVelmorEvents = {0xD309CC07, 0xF478, 0x4D73,
                                            {0xAD, 0xC7, 0x89, 0x05, 0xAC, 0x66, 0x8C, 0x79}};
// The type library `VELMORLib`, wherever it is named.
inline constexpr GUID LIBID_VELMORLib = {0x7BF0FA30, 0x4DF6, 0x4BEF,
                                         {0x88, 0x0E, 0xFA, 0xEE, 0xA4, 0x0A, 0xEC, 0x80}};
// The property page `CVelmorPropPage`.
inline constexpr CLSID CLSID_VelmorPropPage = {0x163A7297, 0x6E38, 0x4BC4,
                                               {0x94, 0xE5, 0xD3, 0xF6, 0xA6, 0x4B, 0x25, 0x14}};

inline constexpr char kControlProgID[] = "VELMOR.VelmorCtrl.QVA";
inline constexpr char kPropPageProgID[] = "VELMOR.VelmorPropPage.1";
inline constexpr WORD kTypeLibMajor = 1;
inline constexpr WORD kTypeLibMinor = 0;

// The status flags registered for the control and answered by its GetMiscStatus:
// OLEMISC_SETCLIENTSITEFIRST | OLEMISC_INVISIBLEATRUNTIME | OLEMISC_INSIDEOUT |
// OLEMISC_CANTLINKINSIDE | OLEMISC_RECOMPOSEONRESIZE.
inline constexpr DWORD kControlMiscStatus = 0x00020491;

// Resource identifiers.
inline constexpr UINT IDS_VELMOR = 1;           // the control's user type name
inline constexpr UINT IDS_VELMOR_PPG = 2;       // the property page's name
inline constexpr UINT IDS_VELMOR_PPG_CAPTION = 200;
inline constexpr UINT IDB_VELMOR = 1;           // the toolbox bitmap
inline constexpr UINT IDD_PROPPAGE_VELMOR = 200;

}  // namespace velmor
