// velmor's layer in place of GDI, on Cairo image surfaces: device contexts that draw into an
// image, the stock pens and brushes, FillRect and Ellipse with GDI's geometry (a rectangle covers
// its left and top edges but not its right and bottom ones), without anti-aliasing; text in fonts
// chosen by face name, smoothed in grey; dialog units. A new DC has
// GDI's defaults selected: the black pen, the white brush and the dialog font, black text on an
// opaque white background. Also IViewObject, through which a container asks an object to draw
// itself into a DC. Dialog templates and property pages: platform/gdi/dialog.h and ole.h.
#pragma once

#include <memory>
#include <span>
#include <string>

#include "platform/com/com.h"

struct HDC__;
using HDC = HDC__*;
struct HGDIOBJ__;
using HGDIOBJ = HGDIOBJ__*;
using HBRUSH = HGDIOBJ;
using HPEN = HGDIOBJ;
using COLORREF = DWORD;  // 0x00BBGGRR

struct RECT {
  LONG left;
  LONG top;
  LONG right;
  LONG bottom;
};
using RECTL = RECT;
using LPCRECTL = const RECTL*;

inline constexpr COLORREF RGB(BYTE r, BYTE g, BYTE b) {
  return static_cast<COLORREF>(r | (g << 8) | (b << 16));
}

struct POINT {
  LONG x;
  LONG y;
};
struct SIZE {
  LONG cx;
  LONG cy;
};
using LPCRECT = const RECT*;

// Stock objects.
inline constexpr int WHITE_BRUSH = 0;
inline constexpr int LTGRAY_BRUSH = 1;
inline constexpr int GRAY_BRUSH = 2;
inline constexpr int DKGRAY_BRUSH = 3;
inline constexpr int BLACK_BRUSH = 4;
inline constexpr int NULL_BRUSH = 5;
inline constexpr int WHITE_PEN = 6;
inline constexpr int BLACK_PEN = 7;
inline constexpr int NULL_PEN = 8;
inline constexpr int DEFAULT_GUI_FONT = 17;  // "MS Sans Serif", 8 points

// GetStockObject: a stock pen or brush (never freed); null for an unknown index.
HGDIOBJ GetStockObject(int index);
// CreateSolidBrush: a brush of one colour; the caller frees it with DeleteObject.
HBRUSH CreateSolidBrush(COLORREF color);
// DeleteObject: frees a brush made by CreateSolidBrush; stock objects are left alone.
BOOL DeleteObject(HGDIOBJ object);
// SelectObject: makes a pen or brush the DC's current one; returns the one it replaces (null
// on failure).
HGDIOBJ SelectObject(HDC hdc, HGDIOBJ object);
// FillRect: fills [left, right) x [top, bottom) with `brush`; FALSE for a null DC or brush.
int FillRect(HDC hdc, const RECT* rect, HBRUSH brush);
// Ellipse: the ellipse inscribed in [left, right) x [top, bottom), outlined with the current
// pen (one pixel wide) and filled with the current brush.
BOOL Ellipse(HDC hdc, int left, int top, int right, int bottom);
// SaveDC: saves the DC's clipping and returns its level (0 on failure); RestoreDC(hdc, -1)
// goes back to the last saved state, RestoreDC(hdc, level) to that of the SaveDC that answered
// `level`.
int SaveDC(HDC hdc);
BOOL RestoreDC(HDC hdc, int savedDC);
// IntersectClipRect: limits drawing to [left, right) x [top, bottom) as well; until RestoreDC.
int IntersectClipRect(HDC hdc, int left, int top, int right, int bottom);
// GetPixel: the colour at (x, y); CLR_INVALID outside the image.
inline constexpr COLORREF CLR_INVALID = 0xFFFFFFFF;
COLORREF GetPixel(HDC hdc, int x, int y);
// SetPixel: sets one pixel; returns the colour set, or CLR_INVALID outside the image.
COLORREF SetPixel(HDC hdc, int x, int y, COLORREF color);

// ---- Text ---------------------------------------------------------------------------------------
// Fonts are chosen by face name. Faces of the Windows desktop are drawn with the free face whose
// metrics match theirs: "MS Sans Serif", "MS Shell Dlg", "Microsoft Sans Serif", "Arial" and
// "Helvetica" with Liberation Sans, "Times New Roman" with Liberation Serif, "Courier New" with
// Liberation Mono; any other name goes to fontconfig as it stands. Every DC has 96 dots an inch.
using HFONT = HGDIOBJ;
inline constexpr int LF_FACESIZE = 32;
inline constexpr LONG FW_NORMAL = 400;
inline constexpr LONG FW_BOLD = 700;
struct LOGFONTA {
  LONG lfHeight;  // < 0: the character height (em) in pixels; > 0: the cell height; 0: 12
  LONG lfWidth;   // ignored: glyphs keep their own proportions
  LONG lfEscapement;
  LONG lfOrientation;
  LONG lfWeight;  // FW_BOLD and above draw bold
  BYTE lfItalic;
  BYTE lfUnderline;
  BYTE lfStrikeOut;
  BYTE lfCharSet;
  BYTE lfOutPrecision;
  BYTE lfClipPrecision;
  BYTE lfQuality;
  BYTE lfPitchAndFamily;
  CHAR lfFaceName[LF_FACESIZE];
};
struct TEXTMETRICA {
  LONG tmHeight;   // tmAscent + tmDescent
  LONG tmAscent;   // whole pixels above the baseline, rounded up
  LONG tmDescent;  // whole pixels below it, rounded up
  LONG tmInternalLeading;
  LONG tmExternalLeading;
  LONG tmAveCharWidth;  // the advance of "x"
  LONG tmMaxCharWidth;
  LONG tmWeight;
  BYTE tmItalic;
};
inline constexpr int LOGPIXELSX = 88;
inline constexpr int LOGPIXELSY = 90;
inline constexpr int TRANSPARENT = 1;
inline constexpr int OPAQUE = 2;

// DrawText formats.
inline constexpr UINT DT_LEFT = 0x0000;
inline constexpr UINT DT_CENTER = 0x0001;
inline constexpr UINT DT_RIGHT = 0x0002;
inline constexpr UINT DT_VCENTER = 0x0004;  // with DT_SINGLELINE only
inline constexpr UINT DT_BOTTOM = 0x0008;   // with DT_SINGLELINE only
inline constexpr UINT DT_WORDBREAK = 0x0010;
inline constexpr UINT DT_SINGLELINE = 0x0020;
inline constexpr UINT DT_EXPANDTABS = 0x0040;
inline constexpr UINT DT_NOCLIP = 0x0100;
inline constexpr UINT DT_CALCRECT = 0x0400;
inline constexpr UINT DT_NOPREFIX = 0x0800;

// CreateFontIndirectA: a font object; the caller frees it with DeleteObject. Null for a null
// description or a face name without its terminator.
HFONT CreateFontIndirectA(const LOGFONTA* lf);
// GetDeviceCaps: LOGPIXELSX / LOGPIXELSY answer 96; anything else 0.
int GetDeviceCaps(HDC hdc, int index);
// GetTextMetricsA: the metrics of the DC's font; FALSE for a null argument or a face that
// cannot be loaded.
BOOL GetTextMetricsA(HDC hdc, TEXTMETRICA* tm);
// GetTextExtentPoint32A: the width of `count` bytes of ANSI text in the DC's font (the sum of
// the glyphs' whole-pixel advances, without kerning) and the font's height.
BOOL GetTextExtentPoint32A(HDC hdc, LPCSTR text, int count, SIZE* size);
// TextOutA: `count` bytes of ANSI text with the top left of its cell at (x, y), in the text
// colour, on the background colour when the background mode is OPAQUE.
BOOL TextOutA(HDC hdc, int x, int y, LPCSTR text, int count);
// DrawTextA: text laid out in `rect` by the DT_ format (count -1: up to the terminator). Lines
// end at line feeds unless DT_SINGLELINE; DT_WORDBREAK wraps between words; "&x" underlines
// x and "&&" is "&" unless DT_NOPREFIX; DT_EXPANDTABS stops tabs every eight characters; drawing is clipped to `rect` unless DT_NOCLIP;
// DT_CALCRECT only measures, setting rect's right and bottom. Returns the height of the text
// (with DT_VCENTER or DT_BOTTOM, from rect's top to the text's bottom), 0 on failure.
int DrawTextA(HDC hdc, LPCSTR text, int count, RECT* rect, UINT format);
// SetTextColor / SetBkColor / SetBkMode: set the DC's text colour, background colour and
// background mode; each returns the previous value (CLR_INVALID or 0 for a null DC).
COLORREF SetTextColor(HDC hdc, COLORREF color);
COLORREF SetBkColor(HDC hdc, COLORREF color);
int SetBkMode(HDC hdc, int mode);

namespace velmor::gdi {

// DialogBaseUnits: the dialog base units of a font, as Windows computes them for a dialog: the
// average width of the 52 letters A-Z a-z, (extent / 26 + 1) / 2, and the font's height. False
// when the face cannot be loaded.
bool DialogBaseUnits(const LOGFONTA& font, SIZE& units);
// DialogFont: the font a dialog template's DS_SETFONT names: `pointSize` points at 96 dots an
// inch, as a character height (lfHeight = -MulDiv(pointSize, 96, 72)).
LOGFONTA DialogFont(const char* faceName, WORD pointSize);
// MapDialogRect: each coordinate of `rect` from dialog units to pixels: x * cx / 4 and
// y * cy / 8, rounded as MulDiv rounds. False for a null rect or base units that are not
// positive.
bool MapDialogRect(const SIZE& baseUnits, RECT* rect);

// CreateImageDC: a DC drawing into a new width x height image, all of it white (0xFFFFFF)
// unless `background` says otherwise; null when the size is not positive or memory is short.
// The caller frees it with DeleteImageDC (or holds it in a UniqueDc).
HDC CreateImageDC(int width, int height, COLORREF background = RGB(255, 255, 255));
void DeleteImageDC(HDC hdc);
struct DcDeleter {
  void operator()(HDC__* hdc) const noexcept { DeleteImageDC(hdc); }
};
using UniqueDc = std::unique_ptr<HDC__, DcDeleter>;

// SavePng: writes the DC's image to `path` as PNG; false (with `why`) on failure.
bool SavePng(HDC hdc, const std::string& path, std::string& why);

// DrawDib: draws a device-independent bitmap (BITMAPINFOHEADER, colour table, rows; 1, 4 or 8
// bits a pixel, uncompressed) at (x, y), each pixel as a scale x scale square. False for a
// bitmap that is not one of those or whose bytes are short.
bool DrawDib(HDC hdc, int x, int y, int scale, std::span<const BYTE> dib);
// DibSize: the width and height of such a bitmap; false when it is not one.
bool DibSize(std::span<const BYTE> dib, int& width, int& height);

}  // namespace velmor::gdi

// ---- IViewObject ------------------------------------------------------------------------------
inline constexpr DWORD DVASPECT_CONTENT = 1;
struct DVTARGETDEVICE;

struct IViewObject : IUnknown {
  // Draw: the object draws its `dwDrawAspect` into `hdcDraw` within `lprcBounds`.
  virtual HRESULT Draw(DWORD dwDrawAspect, LONG lindex, void* pvAspect, DVTARGETDEVICE* ptd,
                       HDC hdcTargetDev, HDC hdcDraw, LPCRECTL lprcBounds, LPCRECTL lprcWBounds,
                       BOOL (*pfnContinue)(ULONG_PTR), ULONG_PTR dwContinue) = 0;
  virtual HRESULT GetColorSet(DWORD dwDrawAspect, LONG lindex, void* pvAspect,
                              DVTARGETDEVICE* ptd, HDC hicTargetDev, void** ppColorSet) = 0;
  virtual HRESULT Freeze(DWORD dwDrawAspect, LONG lindex, void* pvAspect, DWORD* pdwFreeze) = 0;
  virtual HRESULT Unfreeze(DWORD dwFreeze) = 0;
  virtual HRESULT SetAdvise(DWORD aspects, DWORD advf, IUnknown* pAdvSink) = 0;
  virtual HRESULT GetAdvise(DWORD* pAspects, DWORD* pAdvf, IUnknown** ppAdvSink) = 0;

 protected:
  ~IViewObject() = default;
};
extern const IID IID_IViewObject;
