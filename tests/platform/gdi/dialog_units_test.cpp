// Dialog units: the base units of the dialog font against Liberation Sans measured straight
// through Cairo, one glyph at a time, and the conversion to pixels against values worked out by
// hand with MulDiv's rounding (half away from zero).
#include <gtest/gtest.h>

#include <cmath>

#include "platform/gdi/gdi.h"
#include "platform/gdi/owners.h"

namespace {

using velmor::platform::UniquePtr;

TEST(DialogUnits, BaseUnitsOfTheDialogFontAreThoseOfLiberationSansAtElevenPixels) {
  UniquePtr<cairo_surface_t> surface(cairo_image_surface_create(CAIRO_FORMAT_ARGB32, 1, 1));
  UniquePtr<cairo_t> cr(cairo_create(surface.get()));
  cairo_select_font_face(cr.get(), "Liberation Sans", CAIRO_FONT_SLANT_NORMAL, CAIRO_FONT_WEIGHT_NORMAL);
  UniquePtr<cairo_font_options_t> options(cairo_font_options_create());
  cairo_font_options_set_hint_metrics(options.get(), CAIRO_HINT_METRICS_ON);
  cairo_font_options_set_hint_style(options.get(), CAIRO_HINT_STYLE_SLIGHT);
  cairo_set_font_options(cr.get(), options.get());
  cairo_set_font_size(cr.get(), 11);  // 8 points at 96 dots an inch
  long width = 0;
  for (char c : std::string("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz")) {
    const char one[2] = {c, 0};
    cairo_text_extents_t e{};
    cairo_text_extents(cr.get(), one, &e);
    width += std::lround(e.x_advance);
  }
  cairo_font_extents_t f{};
  cairo_font_extents(cr.get(), &f);
  const long height = std::lround(std::ceil(f.ascent - 1e-6) + std::ceil(f.descent - 1e-6));

  SIZE units{};
  ASSERT_TRUE(velmor::gdi::DialogBaseUnits(velmor::gdi::DialogFont("MS Sans Serif", 8), units));
  EXPECT_EQ(units.cx, (width / 26 + 1) / 2);
  EXPECT_EQ(units.cy, height);
  EXPECT_EQ(velmor::gdi::DialogFont("MS Sans Serif", 8).lfHeight, -11);
}

struct MapCase {
  const char* name;
  SIZE units;
  RECT dialog;
  RECT pixels;
};

void PrintTo(const MapCase& c, std::ostream* os) { *os << c.name; }

class MapDialogRectCases : public ::testing::TestWithParam<MapCase> {};

TEST_P(MapDialogRectCases, EachCoordinateRoundsAsMulDiv) {
  RECT r = GetParam().dialog;
  ASSERT_TRUE(velmor::gdi::MapDialogRect(GetParam().units, &r));
  const RECT& want = GetParam().pixels;
  EXPECT_EQ(r.left, want.left);
  EXPECT_EQ(r.top, want.top);
  EXPECT_EQ(r.right, want.right);
  EXPECT_EQ(r.bottom, want.bottom);
}

INSTANTIATE_TEST_SUITE_P(
    Table, MapDialogRectCases,
    ::testing::Values(
        // 250 * 6 / 4 = 375; 62 * 13 / 8 = 100.75
        MapCase{"PageAtSixByThirteen", {6, 13}, {0, 0, 250, 62}, {0, 0, 375, 101}},
        // 7 * 6 / 4 = 10.5 and 229 * 6 / 4 = 343.5 go up; 25 * 13 / 8 = 40.625; 16 * 13 / 8 = 26
        MapCase{"StaticAtSixByThirteen", {6, 13}, {7, 25, 229, 16}, {11, 41, 344, 26}},
        // 1 * 5 / 4 = 1.25; 2 * 5 / 4 = 2.5; 4 * 13 / 8 = 6.5; 3 * 13 / 8 = 4.875
        MapCase{"HalvesGoUp", {5, 13}, {1, 4, 2, 3}, {1, 7, 3, 5}},
        // -3 * 6 / 4 = -4.5 and -4 * 13 / 8 = -6.5 go away from zero
        MapCase{"NegativeHalvesGoDown", {6, 13}, {-3, -4, -1, -1}, {-5, -7, -2, -2}},
        MapCase{"SevenBySixteen", {7, 16}, {7, 25, 229, 16}, {12, 50, 401, 32}}),
    [](const auto& row) { return std::string(row.param.name); });

TEST(DialogUnits, UnusableBaseUnitsAreRefused) {
  RECT r{1, 1, 1, 1};
  EXPECT_FALSE(velmor::gdi::MapDialogRect(SIZE{0, 13}, &r));
  EXPECT_FALSE(velmor::gdi::MapDialogRect(SIZE{6, 13}, nullptr));
  EXPECT_EQ(MulDiv(1, 1, 0), -1);
  EXPECT_EQ(MulDiv(0x7FFFFFFF, 4, 2), -1);  // does not fit 32 bits
}

}  // namespace
