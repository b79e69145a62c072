#include "platform/gdi/dialog.h"

#include <cstring>

COLORREF GetSysColor(int index) {
  switch (index) {
    case COLOR_ACTIVECAPTION: return RGB(0, 0, 128);
    case COLOR_WINDOW: return RGB(255, 255, 255);
    case COLOR_CAPTIONTEXT: return RGB(255, 255, 255);
    case COLOR_BTNFACE: return RGB(192, 192, 192);
    case COLOR_BTNSHADOW: return RGB(128, 128, 128);
    case COLOR_GRAYTEXT: return RGB(128, 128, 128);
    case COLOR_BTNHIGHLIGHT: return RGB(255, 255, 255);
    default: return RGB(0, 0, 0);  // COLOR_WINDOWTEXT, COLOR_BTNTEXT, COLOR_3DDKSHADOW
  }
}

namespace velmor::gdi {
namespace {
constexpr DWORD SS_TYPEMASK = 0x1F;
constexpr DWORD SS_LEFT = 0x0;
constexpr DWORD SS_RIGHT = 0x2;
constexpr DWORD SS_NOPREFIX = 0x80;

// Pixels: a position and size in dialog units, each mapped on its own as dialog creation does.
RECT Pixels(const SIZE& units, short x, short y, short cx, short cy) {
  RECT r{x, y, cx, cy};
  MapDialogRect(units, &r);
  return RECT{r.left, r.top, r.left + r.right, r.top + r.bottom};
}
}  // namespace

bool LayoutDialog(const com::DialogResource& dialog, DialogLayout& layout) {
  if ((dialog.style & DS_SETFONT) == 0 || dialog.faceName == nullptr) return false;
  for (const com::DialogItem& item : dialog.items) {
    if (item.windowClass == nullptr || std::strcmp(item.windowClass, "static") != 0) return false;
    const DWORD type = item.style & SS_TYPEMASK;
    if (type != SS_LEFT && type != SS_CENTER && type != SS_RIGHT) return false;
  }
  DialogLayout out;
  out.font = DialogFont(dialog.faceName, dialog.pointSize);
  if (!DialogBaseUnits(out.font, out.baseUnits)) return false;
  const RECT whole = Pixels(out.baseUnits, 0, 0, dialog.cx, dialog.cy);
  out.size = SIZE{whole.right, whole.bottom};
  for (const com::DialogItem& item : dialog.items) {
    out.items.push_back(Pixels(out.baseUnits, item.x, item.y, item.cx, item.cy));
  }
  layout = std::move(out);
  return true;
}

void PaintDialog(HDC hdc, POINT origin, const com::DialogResource& dialog,
                 const DialogLayout& layout) {
  HBRUSH face = CreateSolidBrush(GetSysColor(COLOR_BTNFACE));
  const RECT whole{origin.x, origin.y, origin.x + layout.size.cx, origin.y + layout.size.cy};
  FillRect(hdc, &whole, face);
  DeleteObject(face);
  HFONT font = CreateFontIndirectA(&layout.font);
  if (font == nullptr) return;
  HGDIOBJ previousFont = SelectObject(hdc, font);
  const COLORREF previousColor = SetTextColor(hdc, GetSysColor(COLOR_BTNTEXT));
  const int previousMode = SetBkMode(hdc, TRANSPARENT);
  for (std::size_t i = 0; i < dialog.items.size() && i < layout.items.size(); ++i) {
    const com::DialogItem& item = dialog.items[i];
    if ((item.style & WS_VISIBLE) == 0 || item.text == nullptr) continue;
    RECT r = layout.items[i];
    r.left += origin.x;
    r.right += origin.x;
    r.top += origin.y;
    r.bottom += origin.y;
    // A static control wraps its text between words and expands tabs.
    UINT format = DT_WORDBREAK | DT_EXPANDTABS;
    const DWORD type = item.style & SS_TYPEMASK;
    if (type == SS_CENTER) format |= DT_CENTER;
    if (type == SS_RIGHT) format |= DT_RIGHT;
    if ((item.style & SS_NOPREFIX) != 0) format |= DT_NOPREFIX;
    DrawTextA(hdc, item.text, -1, &r, format);
  }
  SetBkMode(hdc, previousMode);
  SetTextColor(hdc, previousColor);
  SelectObject(hdc, previousFont);
  DeleteObject(font);
}

}  // namespace velmor::gdi
