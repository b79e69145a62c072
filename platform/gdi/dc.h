// The insides of a device context and of GDI objects, shared by the files of platform/gdi only.
#pragma once

#include "platform/gdi/gdi.h"
#include "platform/gdi/owners.h"

struct HGDIOBJ__ {
  enum Kind { kBrush, kPen, kFont } kind;
  bool null;  // NULL_BRUSH / NULL_PEN: nothing is painted
  COLORREF color;
  bool stock;
  LOGFONTA font;  // kFont only
};

struct HDC__ {
  velmor::platform::UniquePtr<cairo_surface_t> surface;
  velmor::platform::UniquePtr<cairo_t> cr;
  HGDIOBJ pen;
  HGDIOBJ brush;
  HGDIOBJ font;
  COLORREF textColor = RGB(0, 0, 0);
  COLORREF bkColor = RGB(255, 255, 255);
  int bkMode = OPAQUE;
  int saved = 0;  // how many SaveDC calls are not yet restored
};
