// Text on Cairo: fonts chosen by face name through fontconfig, measured and drawn with hinted
// metrics so that every glyph advances by whole pixels, as GDI's do.
#include <cmath>
#include <cstring>
#include <new>
#include <string>
#include <string_view>
#include <vector>

#include "platform/gdi/dc.h"

namespace {

constexpr int kDotsPerInch = 96;
constexpr double kDefaultEm = 12;

bool SameFace(const char* a, std::string_view b) {
  if (std::strlen(a) != b.size()) return false;
  for (std::size_t i = 0; i < b.size(); ++i) {
    const auto fold = [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; };
    if (fold(a[i]) != fold(b[i])) return false;
  }
  return true;
}

// Family: the face fontconfig is asked for.
const char* Family(const LOGFONTA& lf) {
  struct Substitute {
    std::string_view windows;
    const char* free;
  };
  static constexpr Substitute kSubstitutes[] = {
      {"MS Sans Serif", "Liberation Sans"},  {"MS Shell Dlg", "Liberation Sans"},
      {"MS Shell Dlg 2", "Liberation Sans"}, {"Microsoft Sans Serif", "Liberation Sans"},
      {"Arial", "Liberation Sans"},          {"Helvetica", "Liberation Sans"},
      {"Times New Roman", "Liberation Serif"}, {"Courier New", "Liberation Mono"},
  };
  for (const Substitute& s : kSubstitutes) {
    if (SameFace(lf.lfFaceName, s.windows)) return s.free;
  }
  return lf.lfFaceName[0] != '\0' ? lf.lfFaceName : "Liberation Sans";
}

void SetColor(cairo_t* cr, COLORREF c) {
  cairo_set_source_rgb(cr, (c & 0xFF) / 255.0, ((c >> 8) & 0xFF) / 255.0, ((c >> 16) & 0xFF) / 255.0);
}

// SelectFont: makes `lf` the context's font; false when Cairo cannot use it.
bool SelectFont(cairo_t* cr, const LOGFONTA& lf) {
  cairo_select_font_face(cr, Family(lf),
                         lf.lfItalic != 0 ? CAIRO_FONT_SLANT_ITALIC : CAIRO_FONT_SLANT_NORMAL,
                         lf.lfWeight >= FW_BOLD ? CAIRO_FONT_WEIGHT_BOLD : CAIRO_FONT_WEIGHT_NORMAL);
  velmor::platform::UniquePtr<cairo_font_options_t> options(cairo_font_options_create());
  if (cairo_font_options_status(options.get()) != CAIRO_STATUS_SUCCESS) return false;
  double em = kDefaultEm;
  if (lf.lfHeight < 0) {
    em = -static_cast<double>(lf.lfHeight);
  } else if (lf.lfHeight > 0) {
    // A cell height: the em that gives the face's ascent and descent that height together.
    cairo_font_options_set_hint_metrics(options.get(), CAIRO_HINT_METRICS_OFF);
    cairo_set_font_options(cr, options.get());
    cairo_set_font_size(cr, 1000);
    cairo_font_extents_t e{};
    cairo_font_extents(cr, &e);
    if (e.ascent + e.descent > 0) em = lf.lfHeight * 1000 / (e.ascent + e.descent);
  }
  cairo_font_options_set_antialias(options.get(), CAIRO_ANTIALIAS_GRAY);
  cairo_font_options_set_hint_style(options.get(), CAIRO_HINT_STYLE_SLIGHT);
  cairo_font_options_set_hint_metrics(options.get(), CAIRO_HINT_METRICS_ON);
  cairo_set_font_options(cr, options.get());
  cairo_set_font_size(cr, em);
  return cairo_status(cr) == CAIRO_STATUS_SUCCESS;
}

// Utf8: ANSI text as Cairo takes it; invalid bytes become replacement characters.
std::string Utf8(LPCSTR text, int count) {
  if (count == 0) return {};
  const int wide = MultiByteToWideChar(CP_ACP, 0, text, count, nullptr, 0);
  if (wide <= 0) return {};
  std::u16string units(static_cast<std::size_t>(wide), u'\0');
  if (MultiByteToWideChar(CP_ACP, 0, text, count, units.data(), wide) <= 0) return {};
  return velmor::com::WideToMultiByte(CP_UTF8, units.data(), wide).value_or(std::string());
}

struct Metrics {
  LONG ascent = 0, descent = 0;
};

Metrics FontMetrics(cairo_t* cr) {
  cairo_font_extents_t e{};
  cairo_font_extents(cr, &e);
  // A glyph may reach a fraction of a pixel further: the cell takes the whole pixel.
  return {static_cast<LONG>(std::ceil(e.ascent - 1e-6)), static_cast<LONG>(std::ceil(e.descent - 1e-6))};
}

LONG Advance(cairo_t* cr, const std::string& utf8) {
  if (utf8.empty()) return 0;
  cairo_text_extents_t e{};
  cairo_text_extents(cr, utf8.c_str(), &e);
  return static_cast<LONG>(std::lround(e.x_advance));
}

// Ready: the DC's font selected into its context; false when there is none to use.
bool Ready(HDC hdc) {
  return hdc != nullptr && hdc->font != nullptr && SelectFont(hdc->cr.get(), hdc->font->font);
}

// One line of DrawText: its text without prefix marks, and where its underlined character is.
struct Line {
  std::string text;
  std::size_t underline = std::string::npos;  // byte offset into text
};

// Unprefix: "&x" marks x (the last such mark counts), "&&" is "&"; with `tabs`, a tab becomes
// the blanks up to the next multiple of eight characters.
Line Unprefix(std::string_view raw, bool prefix, bool tabs) {
  Line line;
  for (std::size_t i = 0; i < raw.size(); ++i) {
    if (prefix && raw[i] == '&' && i + 1 < raw.size()) {
      ++i;
      if (raw[i] != '&') line.underline = line.text.size();
    }
    if (tabs && raw[i] == '\t') {
      line.text.append(8 - line.text.size() % 8, ' ');
      continue;
    }
    line.text.push_back(raw[i]);
  }
  return line;
}

// Wrap: `text` broken at blanks into lines no wider than `width` where the words allow.
std::vector<std::string> Wrap(cairo_t* cr, const std::string& text, LONG width) {
  std::vector<std::string> lines;
  std::string current;
  std::size_t at = 0;
  while (at <= text.size()) {
    std::size_t end = text.find(' ', at);
    if (end == std::string::npos) end = text.size();
    const std::string word = text.substr(at, end - at);
    const std::string joined = current.empty() ? word : current + " " + word;
    if (!current.empty() && Advance(cr, joined) > width) {
      lines.push_back(current);
      current = word;
    } else {
      current = joined;
    }
    at = end + 1;
  }
  lines.push_back(current);
  return lines;
}

}  // namespace

HFONT CreateFontIndirectA(const LOGFONTA* lf) {
  if (lf == nullptr || std::memchr(lf->lfFaceName, '\0', LF_FACESIZE) == nullptr) return nullptr;
  return new (std::nothrow) HGDIOBJ__{HGDIOBJ__::kFont, false, 0, false, *lf};
}

int GetDeviceCaps(HDC hdc, int index) {
  if (hdc == nullptr) return 0;
  return index == LOGPIXELSX || index == LOGPIXELSY ? kDotsPerInch : 0;
}

BOOL GetTextMetricsA(HDC hdc, TEXTMETRICA* tm) {
  if (tm == nullptr || !Ready(hdc)) return FALSE;
  cairo_t* cr = hdc->cr.get();
  const Metrics m = FontMetrics(cr);
  cairo_font_extents_t e{};
  cairo_font_extents(cr, &e);
  cairo_matrix_t scale{};
  cairo_get_font_matrix(cr, &scale);
  const LONG height = m.ascent + m.descent;
  *tm = TEXTMETRICA{};
  tm->tmHeight = height;
  tm->tmAscent = m.ascent;
  tm->tmDescent = m.descent;
  tm->tmInternalLeading = std::max<LONG>(0, height - static_cast<LONG>(std::lround(scale.yy)));
  tm->tmExternalLeading = std::max<LONG>(0, static_cast<LONG>(std::lround(e.height)) - height);
  tm->tmAveCharWidth = Advance(cr, "x");
  tm->tmMaxCharWidth = static_cast<LONG>(std::ceil(e.max_x_advance));
  tm->tmWeight = hdc->font->font.lfWeight != 0 ? hdc->font->font.lfWeight : FW_NORMAL;
  tm->tmItalic = hdc->font->font.lfItalic;
  return TRUE;
}

// The text calls convert and measure in allocated strings: running out of memory (or anything
// else thrown) fails them as GDI fails, with FALSE or 0.
constexpr velmor::com::ErrorEntry<BOOL> kTextEntry{FALSE, FALSE};

BOOL GetTextExtentPoint32A(HDC hdc, LPCSTR text, int count, SIZE* size) {
  if (size == nullptr || count < 0 || (text == nullptr && count > 0) || !Ready(hdc)) return FALSE;
  return velmor::platform::Guard(kTextEntry, [&]() -> BOOL {
    const Metrics m = FontMetrics(hdc->cr.get());
    *size = SIZE{Advance(hdc->cr.get(), Utf8(text, count)), m.ascent + m.descent};
    return TRUE;
  });
}

namespace {
// Show: one line with its cell's top left at (x, y); the underline, if any, below its baseline.
void Show(HDC hdc, double x, double y, const Line& line) {
  cairo_t* cr = hdc->cr.get();
  const Metrics m = FontMetrics(cr);
  const LONG width = Advance(cr, line.text);
  if (hdc->bkMode == OPAQUE) {
    SetColor(cr, hdc->bkColor);
    cairo_rectangle(cr, x, y, width, m.ascent + m.descent);
    cairo_fill(cr);
  }
  SetColor(cr, hdc->textColor);
  cairo_move_to(cr, x, y + m.ascent);
  cairo_show_text(cr, line.text.c_str());
  cairo_new_path(cr);
  if (line.underline != std::string::npos) {
    // The marked character: its UTF-8 bytes from the mark to the next character's start.
    std::size_t end = line.underline + 1;
    while (end < line.text.size() && (static_cast<unsigned char>(line.text[end]) & 0xC0) == 0x80) ++end;
    const LONG from = Advance(cr, line.text.substr(0, line.underline));
    const LONG to = Advance(cr, line.text.substr(0, end));
    cairo_rectangle(cr, x + from, y + m.ascent + 1, to - from, 1);
    cairo_fill(cr);
  }
}
}  // namespace

BOOL TextOutA(HDC hdc, int x, int y, LPCSTR text, int count) {
  if (count < 0 || (text == nullptr && count > 0) || !Ready(hdc)) return FALSE;
  return velmor::platform::Guard(kTextEntry, [&]() -> BOOL {
    Show(hdc, x, y, Line{Utf8(text, count)});
    return TRUE;
  });
}

namespace {
// Draw: DrawTextA's work, on arguments it has checked.
int Draw(HDC hdc, LPCSTR text, int count, RECT* rect, UINT format) {
  const std::size_t length = count == -1 ? std::strlen(text) : static_cast<std::size_t>(count);
  const std::string utf8 = Utf8(text, static_cast<int>(length));
  cairo_t* cr = hdc->cr.get();
  const Metrics m = FontMetrics(cr);
  const LONG lineHeight = m.ascent + m.descent;
  const LONG width = rect->right - rect->left;
  const bool prefix = (format & DT_NOPREFIX) == 0;
  const bool tabs = (format & DT_EXPANDTABS) != 0;

  // Lines at line feeds (a carriage return before one goes with it), then wrapped at blanks.
  std::vector<Line> lines;
  std::vector<std::string> paragraphs;
  if ((format & DT_SINGLELINE) != 0) {
    paragraphs.push_back(utf8);
  } else {
    std::size_t at = 0;
    while (true) {
      std::size_t end = utf8.find('\n', at);
      std::string part = utf8.substr(at, end == std::string::npos ? std::string::npos : end - at);
      if (!part.empty() && part.back() == '\r') part.pop_back();
      paragraphs.push_back(std::move(part));
      if (end == std::string::npos) break;
      at = end + 1;
    }
  }
  for (const std::string& p : paragraphs) {
    if ((format & DT_WORDBREAK) != 0 && (format & DT_SINGLELINE) == 0) {
      // Marks are taken out before wrapping, so that a line is measured as it is drawn.
      const Line whole = Unprefix(p, prefix, tabs);
      std::size_t offset = 0;
      for (std::string& piece : Wrap(cr, whole.text, width)) {
        Line line{std::move(piece)};
        if (whole.underline >= offset && whole.underline < offset + line.text.size()) {
          line.underline = whole.underline - offset;
        }
        offset += line.text.size() + 1;
        lines.push_back(std::move(line));
      }
    } else {
      lines.push_back(Unprefix(p, prefix, tabs));
    }
  }

  const LONG total = lineHeight * static_cast<LONG>(lines.size());
  LONG top = rect->top;
  if ((format & DT_SINGLELINE) != 0) {
    const LONG height = rect->bottom - rect->top;
    if ((format & DT_VCENTER) != 0) top = rect->top + (height - lineHeight) / 2;
    if ((format & DT_BOTTOM) != 0) top = rect->bottom - lineHeight;
  }
  if ((format & DT_CALCRECT) != 0) {
    LONG widest = 0;
    for (const Line& line : lines) widest = std::max(widest, Advance(cr, line.text));
    rect->right = rect->left + widest;
    rect->bottom = rect->top + total;
    return total;
  }

  cairo_save(cr);
  if ((format & DT_NOCLIP) == 0) {
    cairo_rectangle(cr, rect->left, rect->top, width, rect->bottom - rect->top);
    cairo_clip(cr);
  }
  LONG y = top;
  for (const Line& line : lines) {
    const LONG advance = Advance(cr, line.text);
    LONG x = rect->left;
    if ((format & DT_CENTER) != 0) x = rect->left + (width - advance) / 2;
    if ((format & DT_RIGHT) != 0) x = rect->right - advance;
    Show(hdc, x, y, line);
    y += lineHeight;
  }
  cairo_restore(cr);
  return top != rect->top ? top - rect->top + total : total;
}
}  // namespace

int DrawTextA(HDC hdc, LPCSTR text, int count, RECT* rect, UINT format) {
  if (rect == nullptr || text == nullptr || count < -1 || !Ready(hdc)) return 0;
  return velmor::platform::Guard(kTextEntry, [&] { return Draw(hdc, text, count, rect, format); });
}

COLORREF SetTextColor(HDC hdc, COLORREF color) {
  if (hdc == nullptr) return CLR_INVALID;
  const COLORREF previous = hdc->textColor;
  hdc->textColor = color & 0xFFFFFF;
  return previous;
}

COLORREF SetBkColor(HDC hdc, COLORREF color) {
  if (hdc == nullptr) return CLR_INVALID;
  const COLORREF previous = hdc->bkColor;
  hdc->bkColor = color & 0xFFFFFF;
  return previous;
}

int SetBkMode(HDC hdc, int mode) {
  if (hdc == nullptr || (mode != TRANSPARENT && mode != OPAQUE)) return 0;
  const int previous = hdc->bkMode;
  hdc->bkMode = mode;
  return previous;
}

namespace velmor::gdi {

LOGFONTA DialogFont(const char* faceName, WORD pointSize) {
  LOGFONTA lf{};
  lf.lfHeight = -MulDiv(pointSize, kDotsPerInch, 72);
  lf.lfWeight = FW_NORMAL;
  if (faceName != nullptr) {
    std::strncpy(lf.lfFaceName, faceName, LF_FACESIZE - 1);
  }
  return lf;
}

bool DialogBaseUnits(const LOGFONTA& font, SIZE& units) {
  // Measured on an information context of its own: the units belong to the font, not to
  // whatever a caller's DC has drawn.
  UniqueDc dc(CreateImageDC(1, 1));
  if (!dc) return false;
  HFONT handle = CreateFontIndirectA(&font);
  if (handle == nullptr) return false;
  SelectObject(dc.get(), handle);
  static constexpr char kLetters[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz";
  SIZE extent{};
  const bool measured = GetTextExtentPoint32A(dc.get(), kLetters, 52, &extent) != FALSE;
  SelectObject(dc.get(), GetStockObject(DEFAULT_GUI_FONT));
  DeleteObject(handle);
  if (!measured || extent.cy <= 0) return false;
  units = SIZE{(extent.cx / 26 + 1) / 2, extent.cy};
  return units.cx > 0;
}

bool MapDialogRect(const SIZE& baseUnits, RECT* rect) {
  if (rect == nullptr || baseUnits.cx <= 0 || baseUnits.cy <= 0) return false;
  rect->left = MulDiv(rect->left, baseUnits.cx, 4);
  rect->right = MulDiv(rect->right, baseUnits.cx, 4);
  rect->top = MulDiv(rect->top, baseUnits.cy, 8);
  rect->bottom = MulDiv(rect->bottom, baseUnits.cy, 8);
  return true;
}

}  // namespace velmor::gdi
