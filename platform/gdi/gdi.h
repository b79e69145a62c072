// velmor's layer in place of GDI, on Cairo image surfaces: device contexts that draw into an
// image, the stock pens and brushes, FillRect and Ellipse with GDI's geometry (a rectangle covers
// its left and top edges but not its right and bottom ones), without anti-aliasing. A new DC has
// GDI's defaults selected: the black pen and the white brush. Also IViewObject, through which a
// container asks an object to draw itself into a DC.
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
// GetPixel: the colour at (x, y); CLR_INVALID outside the image.
inline constexpr COLORREF CLR_INVALID = 0xFFFFFFFF;
COLORREF GetPixel(HDC hdc, int x, int y);
// SetPixel: sets one pixel; returns the colour set, or CLR_INVALID outside the image.
COLORREF SetPixel(HDC hdc, int x, int y, COLORREF color);

namespace velmor::gdi {

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
