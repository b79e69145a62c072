#include <gtest/gtest.h>

#include "control/arguments.h"

namespace {

using velmor::com::UniqueBstr;
using velmor::control::AnsiArgument;
using velmor::control::ArgumentToAnsi;

struct ArgCase {
  const char* name;
  VARTYPE vt;
  const char16_t* text;  // for the string kinds; null means a null BSTR
  LONG number;
  HRESULT hr;
  bool present;
  const char* ansi;
};
void PrintTo(const ArgCase& c, std::ostream* os) { *os << c.name; }

class ArgumentTest : public ::testing::TestWithParam<ArgCase> {};

TEST_P(ArgumentTest, Converts) {
  const ArgCase& c = GetParam();
  UniqueBstr bstr(c.text != nullptr ? SysAllocString(c.text) : nullptr);
  BSTR ref = bstr.get();
  VARIANT v;
  VariantInit(&v);
  v.vt = c.vt;
  if (c.vt == VT_BSTR) v.bstrVal = bstr.get();
  if (c.vt == (VT_BYREF | VT_BSTR)) v.pbstrVal = c.text != nullptr ? &ref : nullptr;
  if (c.vt == VT_I4) v.lVal = c.number;
  AnsiArgument arg;
  ASSERT_EQ(ArgumentToAnsi(v, arg), c.hr);
  if (FAILED(c.hr)) return;
  EXPECT_EQ(arg.present, c.present);
  if (c.present) {
    ASSERT_NE(arg.get(), nullptr);
    EXPECT_STREQ(arg.get(), c.ansi);
  } else {
    EXPECT_EQ(arg.get(), nullptr);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Kinds, ArgumentTest,
    ::testing::Values(
        ArgCase{"EmptyIsAbsent", VT_EMPTY, nullptr, 0, S_OK, false, nullptr},
        ArgCase{"NullIsAbsent", VT_NULL, nullptr, 0, S_OK, false, nullptr},
        ArgCase{"NullBstrIsAbsent", VT_BSTR, nullptr, 0, S_OK, false, nullptr},
        ArgCase{"EmptyBstrIsAnEmptyText", VT_BSTR, u"", 0, S_OK, true, ""},
        ArgCase{"Bstr", VT_BSTR, u"abc", 0, S_OK, true, "abc"},
        ArgCase{"ByRefBstr", VT_BYREF | VT_BSTR, u"ref", 0, S_OK, true, "ref"},
        ArgCase{"ByRefNullPointer", VT_BYREF | VT_BSTR, nullptr, 0, DISP_E_TYPEMISMATCH,
                false, nullptr},
        ArgCase{"Integer", VT_I4, nullptr, -42, S_OK, true, "-42"},
        ArgCase{"OtherType", 5 /* VT_R8 */, nullptr, 0, DISP_E_TYPEMISMATCH, false, nullptr}),
    [](const auto& p) { return std::string(p.param.name); });

class WideToAnsiTest : public ::testing::Test {
 protected:
  void TearDown() override { velmor::com::SetAnsiCodePage(CP_ACP); }
};

TEST_F(WideToAnsiTest, UsesTheAnsiCodePage) {
  ASSERT_TRUE(velmor::com::SetAnsiCodePage(936));
  EXPECT_EQ(velmor::control::WideToAnsi(u"a\u4E2D", 2), "a\xD6\xD0");
  ASSERT_TRUE(velmor::com::SetAnsiCodePage(1252));
  EXPECT_EQ(velmor::control::WideToAnsi(u"a\u4E2D\u00E9", 3), "a?\xE9");
  ASSERT_TRUE(velmor::com::SetAnsiCodePage(CP_UTF8));
  EXPECT_EQ(velmor::control::WideToAnsi(u"\u00E9", 1), "\xC3\xA9");
  EXPECT_EQ(velmor::control::WideToAnsi(nullptr, 0), "");
}

}  // namespace
