// The wiping string: the characters a short string keeps inside the object, which no allocator
// sees, are gone once the string is destroyed, cleared or moved from.
#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <new>
#include <string_view>

#include "platform/base/secure.h"

namespace {

using velmor::platform::SecureString;

struct InlineCase {
  const char* name;
  std::function<void(SecureString&)> forget;  // what ends the text's life in the object
};

class SecureStringInline : public ::testing::TestWithParam<InlineCase> {};

TEST_P(SecureStringInline, LeavesNoCharacterInTheObject) {
  constexpr std::string_view kText = "PIN 4711";  // short: kept inside the object
  alignas(SecureString) unsigned char storage[sizeof(SecureString)];
  auto* text = new (storage) SecureString(kText);
  GetParam().forget(*text);
  text->~SecureString();
  const std::string_view bytes(reinterpret_cast<const char*>(storage), sizeof storage);
  EXPECT_EQ(bytes.find(kText), std::string_view::npos);
  EXPECT_EQ(bytes.find("4711"), std::string_view::npos);
}

INSTANTIATE_TEST_SUITE_P(
    Forget, SecureStringInline,
    ::testing::Values(InlineCase{"destroyed", [](SecureString&) {}},
                      InlineCase{"cleared", [](SecureString& s) { s.clear(); }},
                      InlineCase{"moved_from", [](SecureString& s) { SecureString taken(std::move(s)); }},
                      InlineCase{"moved_from_by_assignment",
                                 [](SecureString& s) {
                                   SecureString taken;
                                   taken = std::move(s);
                                 }}),
    [](const auto& c) { return std::string(c.param.name); });

}  // namespace
