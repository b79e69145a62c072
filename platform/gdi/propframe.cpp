// The property frame: a dialog of the classic desktop look with a title bar, one tab a page, the
// first page in the tab's body and the OK, Cancel and Apply buttons below, laid out in the
// dialog units of the desktop's dialog font.
#include <algorithm>
#include <string>
#include <vector>

#include "platform/activation/activation.h"
#include "platform/gdi/dialog.h"
#include "platform/gdi/ole.h"

const IID IID_IPropertyPageSite = {0xB196B28C, 0xBAB4, 0x101A,
                                   {0xB6, 0x9C, 0x00, 0xAA, 0x00, 0x34, 0x1D, 0x07}};
const IID IID_IPropertyPage = {0xB196B28D, 0xBAB4, 0x101A,
                               {0xB6, 0x9C, 0x00, 0xAA, 0x00, 0x34, 0x1D, 0x07}};
const IID IID_ISpecifyPropertyPages = {0xB196B28B, 0xBAB4, 0x101A,
                                       {0xB6, 0x9C, 0x00, 0xAA, 0x00, 0x34, 0x1D, 0x07}};
const IID IID_IOleClientSite = {0x00000118, 0x0000, 0x0000,
                                {0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46}};
const IID IID_IOleObject = {0x00000112, 0x0000, 0x0000,
                            {0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46}};
const IID IID_IEnumOLEVERB = {0x00000104, 0x0000, 0x0000,
                              {0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46}};

namespace {

using velmor::com::ComPtr;

// The frame's site for its pages: it answers the frame's locale and hears the pages become
// dirty. Pages hold it by reference count between SetPageSite(site) and SetPageSite(null).
class FrameSite final : public IPropertyPageSite {
 public:
  explicit FrameSite(LCID lcid) : lcid_(lcid) {}
  HRESULT QueryInterface(REFIID riid, void** ppv) override {
    return velmor::com::QueryAs(static_cast<IPropertyPageSite*>(this), IID_IPropertyPageSite, riid, ppv);
  }
  ULONG AddRef() override { return ++refs_; }
  ULONG Release() override {
    const ULONG left = --refs_;
    if (left == 0) delete this;
    return left;
  }
  HRESULT OnStatusChange(DWORD flags) override {
    if ((flags & PROPPAGESTATUS_DIRTY) != 0) dirty_ = true;
    return S_OK;
  }
  HRESULT GetLocaleID(LCID* lcid) override {
    if (lcid == nullptr) return E_POINTER;
    *lcid = lcid_;
    return S_OK;
  }
  HRESULT GetPageContainer(IUnknown** unk) override {
    if (unk != nullptr) *unk = nullptr;
    return E_NOTIMPL;
  }
  HRESULT TranslateAccelerator(LPMSG) override { return S_FALSE; }
  bool dirty() const { return dirty_; }

 private:
  ~FrameSite() = default;
  LCID lcid_;
  ULONG refs_ = 0;
  bool dirty_ = false;
};

struct Page {
  ComPtr<IPropertyPage> page;
  std::string title;  // ANSI
  SIZE size{};
};

std::string Ansi(LPCOLESTR text) {
  return velmor::com::WideToMultiByte(CP_ACP, text, -1).value_or(std::string());
}

// Pages: each page created, given the site and the objects, and asked for its title and size.
// On failure the pages made so far are closed again.
class Pages {
 public:
  explicit Pages(LCID lcid) : site_(new FrameSite(lcid)) { site_->AddRef(); }
  ~Pages() {
    for (Page& p : pages_) {
      p.page->SetObjects(0, nullptr);
      p.page->SetPageSite(nullptr);
    }
  }
  Pages(const Pages&) = delete;
  Pages& operator=(const Pages&) = delete;

  HRESULT Open(ULONG cPages, const CLSID* clsids, ULONG cObjects, IUnknown** objects) {
    for (ULONG i = 0; i < cPages; ++i) {
      void* raw = nullptr;
      HRESULT hr = CoCreateInstance(clsids[i], nullptr, CLSCTX_INPROC_SERVER, IID_IPropertyPage, &raw);
      if (FAILED(hr)) return hr;
      Page page{ComPtr<IPropertyPage>(static_cast<IPropertyPage*>(raw)), {}, {}};
      hr = page.page->SetPageSite(site_.get());
      if (FAILED(hr)) return hr;
      pages_.push_back(std::move(page));
      Page& p = pages_.back();
      if (cObjects != 0 && FAILED(hr = p.page->SetObjects(cObjects, objects))) return hr;
      PROPPAGEINFO info{};
      info.cb = sizeof info;
      if (FAILED(hr = p.page->GetPageInfo(&info))) return hr;
      velmor::com::UniqueCoTaskMem<OLECHAR> title(info.pszTitle);
      velmor::com::UniqueCoTaskMem<OLECHAR> doc(info.pszDocString);
      velmor::com::UniqueCoTaskMem<OLECHAR> help(info.pszHelpFile);
      p.title = title ? Ansi(title.get()) : std::string();
      p.size = info.size;
    }
    return S_OK;
  }
  std::vector<Page>& pages() { return pages_; }
  bool dirty() const { return site_->dirty(); }

 private:
  ComPtr<FrameSite> site_;
  std::vector<Page> pages_;
};

// Frame metrics, in pixels.
constexpr int kBorder = 3;
constexpr int kCaption = 18;
constexpr int kTabPadding = 6;
constexpr int kPageInset = 4;

struct Layout {
  SIZE units{};
  LOGFONTA font{};
  SIZE size{};
  RECT caption{}, body{}, page{};
  std::vector<RECT> tabs;
  RECT buttons[3]{};
};

LONG TextWidth(const LOGFONTA& font, const std::string& text) {
  velmor::gdi::UniqueDc dc(velmor::gdi::CreateImageDC(1, 1));
  HFONT handle = CreateFontIndirectA(&font);
  if (!dc || handle == nullptr) {
    DeleteObject(handle);
    return 0;
  }
  SelectObject(dc.get(), handle);
  SIZE extent{};
  GetTextExtentPoint32A(dc.get(), text.c_str(), static_cast<int>(text.size()), &extent);
  SelectObject(dc.get(), GetStockObject(DEFAULT_GUI_FONT));
  DeleteObject(handle);
  return extent.cx;
}

bool LayOut(const std::vector<Page>& pages, POINT at, Layout& l) {
  l.font = velmor::gdi::DialogFont("MS Sans Serif", 8);
  if (!velmor::gdi::DialogBaseUnits(l.font, l.units)) return false;
  const LONG marginX = MulDiv(7, l.units.cx, 4);
  const LONG marginY = MulDiv(7, l.units.cy, 8);
  const LONG tabHeight = l.units.cy + 7;
  const LONG buttonW = MulDiv(50, l.units.cx, 4);
  const LONG buttonH = MulDiv(14, l.units.cy, 8);
  const LONG gap = MulDiv(4, l.units.cx, 4);
  LONG pageW = 0, pageH = 0;
  for (const Page& p : pages) {
    pageW = std::max(pageW, p.size.cx);
    pageH = std::max(pageH, p.size.cy);
  }
  const LONG bodyW = std::max(pageW + 2 * kPageInset, 3 * buttonW + 2 * gap);
  const LONG bodyH = pageH + 2 * kPageInset;
  const LONG clientW = 2 * marginX + bodyW;
  const LONG clientH = marginY + tabHeight + bodyH + marginY + buttonH + marginY;
  l.size = SIZE{clientW + 2 * kBorder, clientH + 2 * kBorder + kCaption + 1};

  const LONG left = at.x + kBorder, top = at.y + kBorder;
  l.caption = RECT{left, top, left + clientW, top + kCaption};
  const LONG clientTop = top + kCaption + 1;
  const LONG bodyTop = clientTop + marginY + tabHeight;
  l.body = RECT{left + marginX, bodyTop, left + marginX + bodyW, bodyTop + bodyH};
  l.page = RECT{l.body.left + kPageInset, l.body.top + kPageInset, l.body.left + kPageInset + pageW,
                l.body.top + kPageInset + pageH};
  LONG x = l.body.left;
  for (const Page& p : pages) {
    const LONG w = TextWidth(l.font, p.title) + 2 * kTabPadding;
    l.tabs.push_back(RECT{x, bodyTop - tabHeight, x + w, bodyTop});
    x += w;
  }
  LONG bx = l.body.right - 3 * buttonW - 2 * gap;
  const LONG by = l.body.bottom + marginY;
  for (RECT& b : l.buttons) {
    b = RECT{bx, by, bx + buttonW, by + buttonH};
    bx += buttonW + gap;
  }
  return true;
}

void Fill(HDC hdc, LONG l, LONG t, LONG r, LONG b, COLORREF color) {
  HBRUSH brush = CreateSolidBrush(color);
  const RECT rect{l, t, r, b};
  FillRect(hdc, &rect, brush);
  DeleteObject(brush);
}

// Raised: a raised edge two pixels wide, light above and to the left, dark below and right.
void Raised(HDC hdc, const RECT& r, COLORREF outerLight, COLORREF innerLight) {
  Fill(hdc, r.left, r.top, r.right, r.top + 1, outerLight);
  Fill(hdc, r.left, r.top, r.left + 1, r.bottom, outerLight);
  Fill(hdc, r.left + 1, r.top + 1, r.right - 1, r.top + 2, innerLight);
  Fill(hdc, r.left + 1, r.top + 1, r.left + 2, r.bottom - 1, innerLight);
  Fill(hdc, r.left, r.bottom - 1, r.right, r.bottom, GetSysColor(COLOR_3DDKSHADOW));
  Fill(hdc, r.right - 1, r.top, r.right, r.bottom, GetSysColor(COLOR_3DDKSHADOW));
  Fill(hdc, r.left + 1, r.bottom - 2, r.right - 1, r.bottom - 1, GetSysColor(COLOR_BTNSHADOW));
  Fill(hdc, r.right - 2, r.top + 1, r.right - 1, r.bottom - 1, GetSysColor(COLOR_BTNSHADOW));
}

void Label(HDC hdc, const LOGFONTA& lf, const std::string& text, RECT r, UINT format, COLORREF color) {
  HFONT font = CreateFontIndirectA(&lf);
  if (font == nullptr) return;
  HGDIOBJ previous = SelectObject(hdc, font);
  SetTextColor(hdc, color);
  SetBkMode(hdc, TRANSPARENT);
  DrawTextA(hdc, text.c_str(), static_cast<int>(text.size()), &r, format);
  SelectObject(hdc, previous);
  DeleteObject(font);
}

void DrawChrome(HDC hdc, POINT at, const Layout& l, const std::string& caption,
                const std::vector<Page>& pages) {
  const COLORREF face = GetSysColor(COLOR_BTNFACE), light = GetSysColor(COLOR_BTNHIGHLIGHT);
  Fill(hdc, at.x, at.y, at.x + l.size.cx, at.y + l.size.cy, face);
  Raised(hdc, RECT{at.x, at.y, at.x + l.size.cx, at.y + l.size.cy}, face, light);
  Fill(hdc, l.caption.left, l.caption.top, l.caption.right, l.caption.bottom,
       GetSysColor(COLOR_ACTIVECAPTION));
  LOGFONTA bold = l.font;
  bold.lfWeight = FW_BOLD;
  RECT title = l.caption;
  title.left += 3;
  Label(hdc, bold, caption, title, DT_SINGLELINE | DT_VCENTER | DT_NOPREFIX, GetSysColor(COLOR_CAPTIONTEXT));

  // The tab control's body, then its tabs: the first is the selected one, two pixels taller
  // and open towards the body.
  Raised(hdc, l.body, light, face);
  for (std::size_t i = 0; i < l.tabs.size(); ++i) {
    RECT t = l.tabs[i];
    const bool selected = i == 0;
    if (selected) {
      t.left -= 2;
      t.right += 2;
      t.top -= 2;
    }
    const LONG bottom = selected ? t.bottom + 1 : t.bottom;
    Fill(hdc, t.left, t.top, t.right, bottom, face);
    Fill(hdc, t.left + 2, t.top, t.right - 2, t.top + 1, light);
    Fill(hdc, t.left + 1, t.top + 1, t.left + 2, t.top + 2, light);
    Fill(hdc, t.left, t.top + 2, t.left + 1, bottom, light);
    Fill(hdc, t.right - 2, t.top + 1, t.right - 1, t.top + 2, GetSysColor(COLOR_3DDKSHADOW));
    Fill(hdc, t.right - 1, t.top + 2, t.right, bottom, GetSysColor(COLOR_3DDKSHADOW));
    Fill(hdc, t.right - 2, t.top + 2, t.right - 1, bottom, GetSysColor(COLOR_BTNSHADOW));
    RECT text = l.tabs[i];
    text.top += selected ? -1 : 1;
    Label(hdc, l.font, pages[i].title, text, DT_SINGLELINE | DT_CENTER | DT_VCENTER | DT_NOPREFIX,
          GetSysColor(COLOR_BTNTEXT));
  }
}

void DrawButtons(HDC hdc, const Layout& l, bool applyEnabled) {
  const COLORREF face = GetSysColor(COLOR_BTNFACE), light = GetSysColor(COLOR_BTNHIGHLIGHT);
  static const char* const kLabels[3] = {"OK", "Cancel", "&Apply"};
  for (int i = 0; i < 3; ++i) {
    RECT b = l.buttons[i];
    if (i == 0) {
      // The default button: a black frame around its edge.
      Fill(hdc, b.left, b.top, b.right, b.bottom, GetSysColor(COLOR_3DDKSHADOW));
      b = RECT{b.left + 1, b.top + 1, b.right - 1, b.bottom - 1};
    }
    Fill(hdc, b.left, b.top, b.right, b.bottom, face);
    Raised(hdc, b, light, face);
    const UINT format = DT_SINGLELINE | DT_CENTER | DT_VCENTER;
    if (i == 2 && !applyEnabled) {
      // Greyed: the text embossed, white below and to the right of grey.
      RECT shadow{b.left + 1, b.top + 1, b.right + 1, b.bottom + 1};
      Label(hdc, l.font, kLabels[i], shadow, format, light);
      Label(hdc, l.font, kLabels[i], b, format, GetSysColor(COLOR_GRAYTEXT));
    } else {
      Label(hdc, l.font, kLabels[i], b, format, GetSysColor(COLOR_BTNTEXT));
    }
  }
}

HRESULT CheckArguments(ULONG cObjects, IUnknown** ppUnk, ULONG cPages, const CLSID* pages) {
  if (cPages == 0) return E_INVALIDARG;
  if (pages == nullptr || (cObjects != 0 && ppUnk == nullptr)) return E_POINTER;
  return S_OK;
}

}  // namespace

HRESULT OleCreatePropertyFrame(HDC hdcOwner, UINT x, UINT y, LPCOLESTR lpszCaption,
                               ULONG cObjects, IUnknown** ppUnk, ULONG cPages,
                               const CLSID* pPageClsID, LCID lcid, DWORD, void*) {
  return velmor::com::GuardedHresult([&]() -> HRESULT {
    if (hdcOwner == nullptr) return E_INVALIDARG;
    HRESULT hr = CheckArguments(cObjects, ppUnk, cPages, pPageClsID);
    if (FAILED(hr)) return hr;
    Pages pages(lcid);
    if (FAILED(hr = pages.Open(cPages, pPageClsID, cObjects, ppUnk))) return hr;
    const POINT at{static_cast<LONG>(x), static_cast<LONG>(y)};
    Layout layout;
    if (!LayOut(pages.pages(), at, layout)) return E_FAIL;
    const std::string caption =
        (lpszCaption != nullptr ? Ansi(lpszCaption) + " " : std::string()) + "Properties";
    DrawChrome(hdcOwner, at, layout, caption, pages.pages());

    IPropertyPage* first = pages.pages().front().page.get();
    if (FAILED(hr = first->Activate(hdcOwner, &layout.page, TRUE))) return hr;
    hr = first->Show(SW_SHOW);
    DrawButtons(hdcOwner, layout, pages.dirty() || first->IsPageDirty() == S_OK);
    // Nobody presses a button: the frame closes as Cancel closes it, applying nothing.
    first->Show(SW_HIDE);
    first->Deactivate();
    return hr;
  }, E_FAIL);
}

namespace velmor::gdi {

HRESULT PropertyFrameSize(ULONG cPages, const CLSID* pPageClsID, LCID lcid, SIZE* size) {
  return velmor::com::GuardedHresult([&]() -> HRESULT {
    if (size == nullptr) return E_POINTER;
    HRESULT hr = CheckArguments(0, nullptr, cPages, pPageClsID);
    if (FAILED(hr)) return hr;
    Pages pages(lcid);
    if (FAILED(hr = pages.Open(cPages, pPageClsID, 0, nullptr))) return hr;
    Layout layout;
    if (!LayOut(pages.pages(), POINT{0, 0}, layout)) return E_FAIL;
    *size = layout.size;
    return S_OK;
  }, E_FAIL);
}

}  // namespace velmor::gdi
