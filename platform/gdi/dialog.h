// Dialog templates drawn without a window system: a template's layout in pixels (its font's
// base units applied to its dialog units) and its face painted into a DC. Only the static
// control class can be drawn; a template with another class is refused.
#pragma once

#include <vector>

#include "platform/com/resource.h"
#include "platform/gdi/gdi.h"

// System colours of the classic desktop scheme.
inline constexpr int COLOR_ACTIVECAPTION = 2;
inline constexpr int COLOR_WINDOW = 5;
inline constexpr int COLOR_WINDOWTEXT = 8;
inline constexpr int COLOR_CAPTIONTEXT = 9;
inline constexpr int COLOR_BTNFACE = 15;
inline constexpr int COLOR_BTNSHADOW = 16;
inline constexpr int COLOR_GRAYTEXT = 17;
inline constexpr int COLOR_BTNTEXT = 18;
inline constexpr int COLOR_BTNHIGHLIGHT = 20;
inline constexpr int COLOR_3DDKSHADOW = 21;
// GetSysColor: the colour of a system element; 0 (black) for an unknown index.
COLORREF GetSysColor(int index);

namespace velmor::gdi {

struct DialogLayout {
  LOGFONTA font{};        // the template's font
  SIZE baseUnits{};       // of that font
  SIZE size{};            // the dialog's size in pixels
  std::vector<RECT> items;  // each control's rectangle in pixels, from the dialog's top left
};

// LayoutDialog: `dialog` in pixels, placed and sized as Windows creates a dialog: position and
// size each mapped from dialog units. False when the template names a class other than
// "static", sets no font (DS_SETFONT) or its font cannot be loaded.
bool LayoutDialog(const com::DialogResource& dialog, DialogLayout& layout);
// PaintDialog: the dialog's face with its top left at `origin`: the button-face colour, then the
// text of each visible static control aligned by its SS_ style. Nothing is left selected in the
// DC; its text colour and background mode are restored.
void PaintDialog(HDC hdc, POINT origin, const com::DialogResource& dialog,
                 const DialogLayout& layout);

}  // namespace velmor::gdi
