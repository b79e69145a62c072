// velmor properties: the sheet the control's Properties verb shows, written as PNG.
#include <gtest/gtest.h>

#include <regex>
#include <string>

#include "tests/support/pki.h"

namespace {

std::uint32_t BigEndian(const std::vector<std::uint8_t>& b, std::size_t at) {
  return std::uint32_t{b[at]} << 24 | std::uint32_t{b[at + 1]} << 16 | std::uint32_t{b[at + 2]} << 8 | b[at + 3];
}

TEST(VelmorProperties, WritesTheSheetAsAPngOfTheSizeItReports) {
  velmor::testing::TempDataHome home;
  velmor::testing::RegisterModule(VELMOR_BINARY);
  const auto png = home.path() / "page.png";
  const auto run = velmor::testing::Run(std::string("'") + VELMOR_BINARY + "' properties --out '" +
                                        png.string() + "'");
  ASSERT_EQ(run.status, 0) << run.output;
  std::smatch m;
  ASSERT_TRUE(std::regex_search(run.output, m, std::regex(R"(1 page, (\d+) x (\d+) -> )"))) << run.output;
  const auto bytes = velmor::testing::ReadFile(png);
  ASSERT_GE(bytes.size(), 24u);
  EXPECT_EQ(std::string(bytes.begin() + 1, bytes.begin() + 4), "PNG");
  EXPECT_EQ(std::string(bytes.begin() + 12, bytes.begin() + 16), "IHDR");
  EXPECT_EQ(BigEndian(bytes, 16), std::stoul(m[1]));
  EXPECT_EQ(BigEndian(bytes, 20), std::stoul(m[2]));
}

TEST(VelmorProperties, AnUnregisteredControlIsAFailureWithAMessage) {
  velmor::testing::TempDataHome home;
  const auto run = velmor::testing::Run(std::string("'") + VELMOR_BINARY + "' properties --out '" +
                                        (home.path() / "page.png").string() + "'");
  EXPECT_EQ(run.status, 1);
  EXPECT_NE(run.output.find("register"), std::string::npos) << run.output;
}

}  // namespace
