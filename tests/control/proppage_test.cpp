// The property page through IPropertyPage as a frame drives it, and the control's side of it:
// its page list and its Properties verb.
#include <gtest/gtest.h>

#include <functional>
#include <string>

#include "control/control.h"
#include "control/interface/guids.h"
#include "control/proppage.h"

namespace {

using velmor::com::ComPtr;

// A frame's site, as small as a page needs.
class Site final : public IPropertyPageSite {
 public:
  HRESULT QueryInterface(REFIID riid, void** ppv) override {
    if (riid != IID_IUnknown && riid != IID_IPropertyPageSite) return E_NOINTERFACE;
    *ppv = this;
    AddRef();
    return S_OK;
  }
  ULONG AddRef() override { return ++refs; }
  ULONG Release() override { return --refs; }
  HRESULT OnStatusChange(DWORD) override { return S_OK; }
  HRESULT GetLocaleID(LCID* lcid) override {
    *lcid = 0x0409;
    return S_OK;
  }
  HRESULT GetPageContainer(IUnknown**) override { return E_NOTIMPL; }
  HRESULT TranslateAccelerator(LPMSG) override { return S_FALSE; }
  ULONG refs = 1;  // the test's own
};

ComPtr<IPropertyPage> NewPage() {
  void* raw = nullptr;
  EXPECT_EQ(velmor::CreateVelmorPropPage(IID_IPropertyPage, &raw), S_OK);
  return ComPtr<IPropertyPage>(static_cast<IPropertyPage*>(raw));
}

SIZE PageSize(IPropertyPage* page, std::string* title = nullptr) {
  PROPPAGEINFO info{};
  EXPECT_EQ(page->GetPageInfo(&info), S_OK);
  velmor::com::UniqueCoTaskMem<OLECHAR> owned(info.pszTitle);
  if (title != nullptr) *title = velmor::com::WideToMultiByte(CP_UTF8, owned.get(), -1).value_or("");
  EXPECT_EQ(info.pszHelpFile, nullptr);
  return info.size;
}

TEST(PropPage, CaptionedGeneralAndShowingOnlyTheCentredCopyrightLine) {
  ComPtr<IPropertyPage> page = NewPage();
  std::string title;
  const SIZE size = PageSize(page.get(), &title);
  EXPECT_EQ(title, "General");
  // Template 200 is 250 x 62 dialog units; its static control 229 units wide from x = 7.
  SIZE units{};
  ASSERT_TRUE(velmor::gdi::DialogBaseUnits(velmor::gdi::DialogFont("MS Sans Serif", 8), units));
  EXPECT_EQ(size.cx, MulDiv(250, units.cx, 4));
  EXPECT_EQ(size.cy, MulDiv(62, units.cy, 8));
  const int staticLeft = MulDiv(7, units.cx, 4);
  const int staticRight = staticLeft + MulDiv(229, units.cx, 4);

  constexpr COLORREF kScreen = RGB(1, 2, 3);
  constexpr int kAt = 5;
  velmor::gdi::UniqueDc dc(velmor::gdi::CreateImageDC(size.cx + 2 * kAt, size.cy + 2 * kAt, kScreen));
  Site site;
  ASSERT_EQ(page->SetPageSite(&site), S_OK);
  const RECT where{kAt, kAt, kAt + size.cx, kAt + size.cy};
  ASSERT_EQ(page->Activate(dc.get(), &where, TRUE), S_OK);
  EXPECT_EQ(GetPixel(dc.get(), kAt, kAt), kScreen) << "a page is hidden until Show";
  ASSERT_EQ(page->Show(SW_SHOW), S_OK);

  // The face covers the page's rectangle and nothing else; the text is one centred line.
  const COLORREF face = RGB(192, 192, 192);
  int left = size.cx, right = -1, top = size.cy, bottom = -1;
  for (int y = 0; y < size.cy + 2 * kAt; ++y) {
    for (int x = 0; x < size.cx + 2 * kAt; ++x) {
      const COLORREF c = GetPixel(dc.get(), x, y);
      const bool inside = x >= where.left && x < where.right && y >= where.top && y < where.bottom;
      if (!inside) {
        ASSERT_EQ(c, kScreen) << x << "," << y;
      } else if (c != face) {
        left = std::min(left, x - kAt);
        right = std::max(right, x - kAt);
        top = std::min(top, y - kAt);
        bottom = std::max(bottom, y - kAt);
      }
    }
  }
  ASSERT_GE(right, 0) << "no text drawn";
  EXPECT_LE(std::abs((left - staticLeft) - (staticRight - 1 - right)), 1) << left << " .. " << right;
  EXPECT_LT(bottom - top, size.cy / 4) << "one line";
  EXPECT_GT(top, size.cy / 3);  // the static control starts 25 of 62 units down
  EXPECT_EQ(page->Deactivate(), S_OK);
  EXPECT_EQ(page->SetPageSite(nullptr), S_OK);
  EXPECT_EQ(site.refs, 1u) << "the page gave its site back";
}

struct ContractCase {
  const char* name;
  std::function<HRESULT(IPropertyPage&, Site&, HDC)> run;
  HRESULT expected;
};

void PrintTo(const ContractCase& c, std::ostream* os) { *os << c.name; }

class PropPageContract : public ::testing::TestWithParam<ContractCase> {};

TEST_P(PropPageContract, AnswersAsComDefines) {
  ComPtr<IPropertyPage> page = NewPage();
  Site site;
  velmor::gdi::UniqueDc dc(velmor::gdi::CreateImageDC(400, 200));
  EXPECT_EQ(GetParam().run(*page, site, dc.get()), GetParam().expected);
  page->Deactivate();
  page->SetObjects(0, nullptr);
  page->SetPageSite(nullptr);
  EXPECT_EQ(site.refs, 1u);
}

const RECT kRect{0, 0, 400, 200};

INSTANTIATE_TEST_SUITE_P(
    Table, PropPageContract,
    ::testing::Values(
        ContractCase{"NullSiteWithoutOne", [](IPropertyPage& p, Site&, HDC) { return p.SetPageSite(nullptr); }, S_OK},
        ContractCase{"SecondSite",
                     [](IPropertyPage& p, Site& s, HDC) {
                       p.SetPageSite(&s);
                       return p.SetPageSite(&s);
                     },
                     E_UNEXPECTED},
        ContractCase{"ActivateWithoutSite",
                     [](IPropertyPage& p, Site&, HDC dc) { return p.Activate(dc, &kRect, TRUE); }, E_UNEXPECTED},
        ContractCase{"ActivateTwice",
                     [](IPropertyPage& p, Site& s, HDC dc) {
                       p.SetPageSite(&s);
                       p.Activate(dc, &kRect, TRUE);
                       return p.Activate(dc, &kRect, TRUE);
                     },
                     E_UNEXPECTED},
        ContractCase{"ActivateWithoutRect",
                     [](IPropertyPage& p, Site& s, HDC dc) {
                       p.SetPageSite(&s);
                       return p.Activate(dc, nullptr, TRUE);
                     },
                     E_POINTER},
        ContractCase{"ActivateWithoutDc",
                     [](IPropertyPage& p, Site& s, HDC) {
                       p.SetPageSite(&s);
                       return p.Activate(nullptr, &kRect, TRUE);
                     },
                     E_INVALIDARG},
        ContractCase{"ShowWhenInactive", [](IPropertyPage& p, Site&, HDC) { return p.Show(SW_SHOW); }, E_UNEXPECTED},
        ContractCase{"MoveWhenInactive", [](IPropertyPage& p, Site&, HDC) { return p.Move(&kRect); }, E_UNEXPECTED},
        ContractCase{"DeactivateWhenInactive", [](IPropertyPage& p, Site&, HDC) { return p.Deactivate(); }, E_UNEXPECTED},
        ContractCase{"ApplyWhenNotDirty",
                     [](IPropertyPage& p, Site&, HDC) {
                       EXPECT_EQ(p.IsPageDirty(), S_FALSE);
                       return p.Apply();
                     },
                     S_OK},
        ContractCase{"ObjectsWithoutArray", [](IPropertyPage& p, Site&, HDC) { return p.SetObjects(1, nullptr); }, E_POINTER},
        ContractCase{"ObjectWithoutAutomation",
                     [](IPropertyPage& p, Site& s, HDC) {
                       IUnknown* notAControl = &s;
                       return p.SetObjects(1, &notAControl);
                     },
                     E_NOINTERFACE},
        ContractCase{"PageInfoWithoutStruct", [](IPropertyPage& p, Site&, HDC) { return p.GetPageInfo(nullptr); }, E_POINTER},
        ContractCase{"Help", [](IPropertyPage& p, Site&, HDC) { return p.Help(nullptr); }, E_NOTIMPL},
        ContractCase{"Accelerator", [](IPropertyPage& p, Site&, HDC) { return p.TranslateAccelerator(nullptr); }, E_POINTER}),
    [](const auto& row) { return std::string(row.param.name); });

TEST(PropPage, TheControlListsItsPageAndKnowsOnlyThePropertiesVerb) {
  void* raw = nullptr;
  ASSERT_EQ(velmor::CreateVelmorCtrl(IID_ISpecifyPropertyPages, &raw), S_OK);
  ComPtr<ISpecifyPropertyPages> specify(static_cast<ISpecifyPropertyPages*>(raw));
  CAUUID pages{};
  ASSERT_EQ(specify->GetPages(&pages), S_OK);
  velmor::com::UniqueCoTaskMem<GUID> list(pages.pElems);
  ASSERT_EQ(pages.cElems, 1u);
  EXPECT_TRUE(list.get()[0] == velmor::CLSID_VelmorPropPage);

  ASSERT_EQ(specify->QueryInterface(IID_IOleObject, &raw), S_OK);
  ComPtr<IOleObject> object(static_cast<IOleObject*>(raw));
  velmor::gdi::UniqueDc dc(velmor::gdi::CreateImageDC(10, 10));
  EXPECT_EQ(object->DoVerb(OLEIVERB_PRIMARY, nullptr, nullptr, 0, dc.get(), &kRect), E_NOTIMPL);
  EXPECT_EQ(object->DoVerb(OLEIVERB_PROPERTIES, nullptr, nullptr, 0, nullptr, &kRect), E_INVALIDARG);
  IEnumOLEVERB* rawVerbs = nullptr;
  ASSERT_EQ(object->EnumVerbs(&rawVerbs), S_OK);
  ComPtr<IEnumOLEVERB> verbs(rawVerbs);
  OLEVERB found[2] = {};
  ULONG fetched = 0;
  EXPECT_EQ(verbs->Next(2, found, &fetched), S_FALSE);
  ASSERT_EQ(fetched, 1u);
  velmor::com::UniqueCoTaskMem<OLECHAR> verbName(found[0].lpszVerbName);
  EXPECT_EQ(found[0].lVerb, OLEIVERB_PROPERTIES);
  EXPECT_EQ(std::u16string(verbName.get()), u"&Properties...");
  EXPECT_EQ(verbs->Next(1, found, nullptr), S_FALSE);
  DWORD status = 0;
  EXPECT_EQ(object->GetMiscStatus(DVASPECT_CONTENT, &status), S_OK);
  EXPECT_EQ(status, 0x00020491u);
}

}  // namespace
