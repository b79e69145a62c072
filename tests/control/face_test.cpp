// The control's face, pixel by pixel: drawn through IViewObject as a container asks for it.
#include <gtest/gtest.h>

#include "control/control.h"
#include "platform/gdi/gdi.h"

namespace {

TEST(Face, AWhiteRectangleWithAnEllipseTouchingItsFourSidesAndNothingOutside) {
  constexpr COLORREF kOutside = RGB(1, 2, 3);
  constexpr COLORREF kWhite = RGB(255, 255, 255);
  constexpr COLORREF kBlack = RGB(0, 0, 0);
  const RECTL bounds{10, 20, 110, 70};  // 100 x 50
  velmor::gdi::UniqueDc dc(velmor::gdi::CreateImageDC(130, 90, kOutside));
  ASSERT_NE(dc, nullptr);
  void* raw = nullptr;
  ASSERT_EQ(velmor::CreateVelmorCtrl(IID_IViewObject, &raw), S_OK);
  velmor::com::ComPtr<IViewObject> view(static_cast<IViewObject*>(raw));
  ASSERT_EQ(view->Draw(DVASPECT_CONTENT, -1, nullptr, nullptr, nullptr, dc.get(), &bounds, nullptr,
                       nullptr, 0),
            S_OK);
  bool top = false, bottom = false, left = false, right = false;
  for (int y = 0; y < 90; ++y) {
    for (int x = 0; x < 130; ++x) {
      const COLORREF c = GetPixel(dc.get(), x, y);
      const bool inside = x >= 10 && x < 110 && y >= 20 && y < 70;
      if (!inside) {
        ASSERT_EQ(c, kOutside) << x << "," << y;
        continue;
      }
      ASSERT_TRUE(c == kWhite || c == kBlack) << x << "," << y << ": no anti-aliasing";
      if (c == kBlack) {
        top |= y == 20;
        bottom |= y == 69;
        left |= x == 10;
        right |= x == 109;
      }
    }
  }
  EXPECT_TRUE(top && bottom && left && right);
  EXPECT_EQ(GetPixel(dc.get(), 10, 20), kWhite);    // the corners lie outside the ellipse
  EXPECT_EQ(GetPixel(dc.get(), 109, 69), kWhite);
  EXPECT_EQ(GetPixel(dc.get(), 60, 45), kWhite);    // filled with the default white brush
}

}  // namespace
