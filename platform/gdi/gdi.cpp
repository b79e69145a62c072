// GDI on Cairo: each DC owns an ARGB32 image surface and a context with anti-aliasing off, so
// that a pixel is painted exactly when its centre lies inside the shape, as GDI paints.
#include "platform/gdi/gdi.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <new>

#include "platform/gdi/dc.h"

const IID IID_IViewObject = {0x0000010D, 0x0000, 0x0000,
                             {0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46}};

namespace {

HGDIOBJ__ g_stock[] = {
    {HGDIOBJ__::kBrush, false, RGB(255, 255, 255), true, {}},  // WHITE_BRUSH
    {HGDIOBJ__::kBrush, false, RGB(192, 192, 192), true, {}},  // LTGRAY_BRUSH
    {HGDIOBJ__::kBrush, false, RGB(128, 128, 128), true, {}},  // GRAY_BRUSH
    {HGDIOBJ__::kBrush, false, RGB(64, 64, 64), true, {}},     // DKGRAY_BRUSH
    {HGDIOBJ__::kBrush, false, RGB(0, 0, 0), true, {}},        // BLACK_BRUSH
    {HGDIOBJ__::kBrush, true, 0, true, {}},                    // NULL_BRUSH
    {HGDIOBJ__::kPen, false, RGB(255, 255, 255), true, {}},    // WHITE_PEN
    {HGDIOBJ__::kPen, false, RGB(0, 0, 0), true, {}},          // BLACK_PEN
    {HGDIOBJ__::kPen, true, 0, true, {}},                      // NULL_PEN
    // DEFAULT_GUI_FONT: the dialogs' font, 8 points at 96 dots an inch
    {HGDIOBJ__::kFont, false, 0, true, {-11, 0, 0, 0, FW_NORMAL, 0, 0, 0, 0, 0, 0, 0, 0, "MS Sans Serif"}},
};

void SetColor(cairo_t* cr, COLORREF c) {
  cairo_set_source_rgb(cr, (c & 0xFF) / 255.0, ((c >> 8) & 0xFF) / 255.0, ((c >> 16) & 0xFF) / 255.0);
}

// EllipsePath: the ellipse inscribed in the pixel edges [l, r] x [t, b].
void EllipsePath(cairo_t* cr, double l, double t, double r, double b) {
  if (r <= l || b <= t) return;
  cairo_save(cr);
  cairo_translate(cr, (l + r) / 2, (t + b) / 2);
  cairo_scale(cr, (r - l) / 2, (b - t) / 2);
  cairo_new_sub_path(cr);
  cairo_arc(cr, 0, 0, 1, 0, 2 * M_PI);
  cairo_restore(cr);
}

}  // namespace

HGDIOBJ GetStockObject(int index) {
  if (index >= 0 && index <= NULL_PEN) return &g_stock[index];
  if (index == DEFAULT_GUI_FONT) return &g_stock[NULL_PEN + 1];
  return nullptr;
}

HBRUSH CreateSolidBrush(COLORREF color) {
  return new (std::nothrow) HGDIOBJ__{HGDIOBJ__::kBrush, false, color & 0xFFFFFF, false, {}};
}

BOOL DeleteObject(HGDIOBJ object) {
  if (object == nullptr) return FALSE;
  if (!object->stock) delete object;
  return TRUE;
}

HGDIOBJ SelectObject(HDC hdc, HGDIOBJ object) {
  if (hdc == nullptr || object == nullptr) return nullptr;
  HGDIOBJ& slot = object->kind == HGDIOBJ__::kPen    ? hdc->pen
                  : object->kind == HGDIOBJ__::kFont ? hdc->font
                                                     : hdc->brush;
  HGDIOBJ previous = slot;
  slot = object;
  return previous;
}

int FillRect(HDC hdc, const RECT* rect, HBRUSH brush) {
  if (hdc == nullptr || rect == nullptr || brush == nullptr || brush->kind != HGDIOBJ__::kBrush) {
    return FALSE;
  }
  if (brush->null || rect->right <= rect->left || rect->bottom <= rect->top) return TRUE;
  cairo_t* cr = hdc->cr.get();
  SetColor(cr, brush->color);
  cairo_rectangle(cr, rect->left, rect->top, rect->right - rect->left, rect->bottom - rect->top);
  cairo_fill(cr);
  return TRUE;
}

BOOL Ellipse(HDC hdc, int left, int top, int right, int bottom) {
  if (hdc == nullptr) return FALSE;
  cairo_t* cr = hdc->cr.get();
  const double l = left, t = top, r = right, b = bottom;
  const bool pen = !hdc->pen->null;
  // The interior: inside the outline when there is a pen, else the whole ellipse.
  if (!hdc->brush->null) {
    SetColor(cr, hdc->brush->color);
    if (pen) {
      EllipsePath(cr, l + 1, t + 1, r - 1, b - 1);
    } else {
      EllipsePath(cr, l, t, r, b);
    }
    cairo_fill(cr);
  }
  // The outline: the ring between the ellipse and the one a pixel inside it.
  if (pen) {
    SetColor(cr, hdc->pen->color);
    cairo_set_fill_rule(cr, CAIRO_FILL_RULE_EVEN_ODD);
    EllipsePath(cr, l, t, r, b);
    EllipsePath(cr, l + 1, t + 1, r - 1, b - 1);
    cairo_fill(cr);
    cairo_set_fill_rule(cr, CAIRO_FILL_RULE_WINDING);
  }
  return TRUE;
}

int SaveDC(HDC hdc) {
  if (hdc == nullptr) return 0;
  cairo_save(hdc->cr.get());
  return ++hdc->saved;
}

BOOL RestoreDC(HDC hdc, int savedDC) {
  if (hdc == nullptr) return FALSE;
  const int target = savedDC < 0 ? hdc->saved + savedDC : savedDC - 1;
  if (target < 0 || target >= hdc->saved) return FALSE;
  while (hdc->saved > target) {
    cairo_restore(hdc->cr.get());
    --hdc->saved;
  }
  return TRUE;
}

int IntersectClipRect(HDC hdc, int left, int top, int right, int bottom) {
  constexpr int kNullRegion = 1, kSimpleRegion = 2, kError = 0;
  if (hdc == nullptr) return kError;
  cairo_t* cr = hdc->cr.get();
  cairo_rectangle(cr, left, top, std::max(0, right - left), std::max(0, bottom - top));
  cairo_clip(cr);
  return right > left && bottom > top ? kSimpleRegion : kNullRegion;
}

COLORREF GetPixel(HDC hdc, int x, int y) {
  if (hdc == nullptr) return CLR_INVALID;
  cairo_surface_t* s = hdc->surface.get();
  if (x < 0 || y < 0 || x >= cairo_image_surface_get_width(s) || y >= cairo_image_surface_get_height(s)) {
    return CLR_INVALID;
  }
  cairo_surface_flush(s);
  const unsigned char* row = cairo_image_surface_get_data(s) +
                             static_cast<std::ptrdiff_t>(y) * cairo_image_surface_get_stride(s);
  std::uint32_t argb = 0;
  std::memcpy(&argb, row + 4 * x, 4);
  return RGB(static_cast<BYTE>(argb >> 16), static_cast<BYTE>(argb >> 8), static_cast<BYTE>(argb));
}

COLORREF SetPixel(HDC hdc, int x, int y, COLORREF color) {
  if (GetPixel(hdc, x, y) == CLR_INVALID) return CLR_INVALID;
  cairo_t* cr = hdc->cr.get();
  SetColor(cr, color);
  cairo_rectangle(cr, x, y, 1, 1);
  cairo_fill(cr);
  return color & 0xFFFFFF;
}

namespace velmor::gdi {

HDC CreateImageDC(int width, int height, COLORREF background) {
  if (width <= 0 || height <= 0) return nullptr;
  platform::UniquePtr<cairo_surface_t> surface(
      cairo_image_surface_create(CAIRO_FORMAT_ARGB32, width, height));
  if (cairo_surface_status(surface.get()) != CAIRO_STATUS_SUCCESS) return nullptr;
  platform::UniquePtr<cairo_t> cr(cairo_create(surface.get()));
  if (cairo_status(cr.get()) != CAIRO_STATUS_SUCCESS) return nullptr;
  cairo_set_antialias(cr.get(), CAIRO_ANTIALIAS_NONE);
  SetColor(cr.get(), background);
  cairo_paint(cr.get());
  return new (std::nothrow)
      HDC__{std::move(surface), std::move(cr), GetStockObject(BLACK_PEN), GetStockObject(WHITE_BRUSH),
            GetStockObject(DEFAULT_GUI_FONT)};
}

void DeleteImageDC(HDC hdc) { delete hdc; }

bool SavePng(HDC hdc, const std::string& path, std::string& why) {
  if (hdc == nullptr) {
    why = "no device context";
    return false;
  }
  cairo_surface_flush(hdc->surface.get());
  const cairo_status_t status = cairo_surface_write_to_png(hdc->surface.get(), path.c_str());
  if (status != CAIRO_STATUS_SUCCESS) {
    why = cairo_status_to_string(status);
    return false;
  }
  return true;
}

namespace {
struct Dib {
  int width = 0, height = 0, bits = 0;
  bool bottomUp = true;
  std::span<const BYTE> colors, pixels;
  std::size_t stride = 0;
};

std::uint32_t Le(std::span<const BYTE> b, std::size_t at, int bytes) {
  std::uint32_t v = 0;
  for (int i = 0; i < bytes; ++i) v |= std::uint32_t{b[at + static_cast<std::size_t>(i)]} << (8 * i);
  return v;
}

bool ParseDib(std::span<const BYTE> dib, Dib& out) {
  if (dib.size() < 40 || Le(dib, 0, 4) != 40 || Le(dib, 12, 2) != 1 || Le(dib, 16, 4) != 0) return false;
  const auto width = static_cast<std::int32_t>(Le(dib, 4, 4));
  const auto height = static_cast<std::int32_t>(Le(dib, 8, 4));
  out.bits = static_cast<int>(Le(dib, 14, 2));
  if (out.bits != 1 && out.bits != 4 && out.bits != 8) return false;
  if (width <= 0 || width > 4096 || height == 0 || height < -4096 || height > 4096) return false;
  out.width = width;
  out.bottomUp = height > 0;
  out.height = height > 0 ? height : -height;
  std::size_t colors = Le(dib, 32, 4);
  if (colors == 0) colors = std::size_t{1} << out.bits;
  if (colors > (std::size_t{1} << out.bits)) return false;
  out.stride = ((static_cast<std::size_t>(out.width) * static_cast<std::size_t>(out.bits) + 31) / 32) * 4;
  const std::size_t need = 40 + colors * 4 + out.stride * static_cast<std::size_t>(out.height);
  if (dib.size() < need) return false;
  out.colors = dib.subspan(40, colors * 4);
  out.pixels = dib.subspan(40 + colors * 4, out.stride * static_cast<std::size_t>(out.height));
  return true;
}
}  // namespace

bool DibSize(std::span<const BYTE> dib, int& width, int& height) {
  Dib d;
  if (!ParseDib(dib, d)) return false;
  width = d.width;
  height = d.height;
  return true;
}

bool DrawDib(HDC hdc, int x, int y, int scale, std::span<const BYTE> dib) {
  Dib d;
  if (hdc == nullptr || scale <= 0 || !ParseDib(dib, d)) return false;
  cairo_t* cr = hdc->cr.get();
  for (int row = 0; row < d.height; ++row) {
    const std::size_t stored = static_cast<std::size_t>(d.bottomUp ? d.height - 1 - row : row);
    for (int col = 0; col < d.width; ++col) {
      const std::size_t bit = static_cast<std::size_t>(col) * static_cast<std::size_t>(d.bits);
      const BYTE byte = d.pixels[stored * d.stride + bit / 8];
      const auto bits = static_cast<std::size_t>(d.bits);
      const std::size_t index = (std::size_t{byte} >> (8 - bits - bit % 8)) & ((std::size_t{1} << bits) - 1);
      if (index * 4 >= d.colors.size()) return false;
      const COLORREF c = RGB(d.colors[index * 4 + 2], d.colors[index * 4 + 1], d.colors[index * 4]);
      SetColor(cr, c);
      cairo_rectangle(cr, x + col * scale, y + row * scale, scale, scale);
      cairo_fill(cr);
    }
  }
  return true;
}

}  // namespace velmor::gdi
