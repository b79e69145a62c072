#include <gtest/gtest.h>

#include <cstring>
#include <thread>

#include "platform/com/com.h"

namespace {

using velmor::com::UniqueBstr;

std::uint32_t Prefix(BSTR b) {
  std::uint32_t count;
  std::memcpy(&count, reinterpret_cast<const char*>(b) - 4, 4);
  return count;
}

TEST(Bstr, HasByteCountInFrontAndTerminatorAfter) {
  UniqueBstr b(SysAllocStringLen(u"abcdef", 3));
  ASSERT_TRUE(b);
  EXPECT_EQ(Prefix(b.get()), 6u);
  EXPECT_EQ(SysStringLen(b.get()), 3u);
  EXPECT_EQ(SysStringByteLen(b.get()), 6u);
  EXPECT_EQ(std::u16string(b.get()), u"abc");
}

TEST(Bstr, KeepsEmbeddedZeros) {
  const char16_t text[] = {u'a', 0, u'b'};
  UniqueBstr b(SysAllocStringLen(text, 3));
  ASSERT_TRUE(b);
  EXPECT_EQ(SysStringLen(b.get()), 3u);
  EXPECT_EQ(b.get()[2], u'b');
  EXPECT_EQ(b.get()[3], 0);
}

TEST(Bstr, WithoutSourceIsZeroedAndTerminated) {
  UniqueBstr b(SysAllocStringLen(nullptr, 5));
  ASSERT_TRUE(b);
  EXPECT_EQ(SysStringLen(b.get()), 5u);
  for (int i = 0; i <= 5; ++i) EXPECT_EQ(b.get()[i], 0) << i;
}

TEST(Bstr, NullIsAValidEmptyText) {
  EXPECT_EQ(SysStringLen(nullptr), 0u);
  EXPECT_EQ(SysStringByteLen(nullptr), 0u);
  EXPECT_EQ(SysAllocString(nullptr), nullptr);
  SysFreeString(nullptr);
}

TEST(Bstr, EmptyStringIsNotNull) {
  UniqueBstr b(SysAllocString(u""));
  ASSERT_TRUE(b);
  EXPECT_EQ(SysStringLen(b.get()), 0u);
}

TEST(Bstr, RefusesALengthTheByteCountCannotHold) {
  EXPECT_EQ(SysAllocStringLen(nullptr, 0x80000000u), nullptr);
  EXPECT_EQ(SysAllocStringLen(nullptr, 0xFFFFFFFFu), nullptr);
}

TEST(Variant, ClearFreesAnOwnedStringButNotABorrowedOne) {
  VARIANT v;
  VariantInit(&v);
  EXPECT_EQ(v.vt, VT_EMPTY);
  v.vt = VT_BSTR;
  v.bstrVal = SysAllocString(u"owned");
  EXPECT_EQ(VariantClear(&v), S_OK);  // the leak checker catches a missed free
  EXPECT_EQ(v.vt, VT_EMPTY);

  UniqueBstr borrowed(SysAllocString(u"borrowed"));
  BSTR ref = borrowed.get();
  v.vt = VT_BYREF | VT_BSTR;
  v.pbstrVal = &ref;
  EXPECT_EQ(VariantClear(&v), S_OK);
  EXPECT_EQ(std::u16string(borrowed.get()), u"borrowed");
  EXPECT_EQ(VariantClear(nullptr), E_INVALIDARG);
}

TEST(LastError, IsPerThread) {
  SetLastError(42);
  DWORD other = 1;
  std::thread([&] { other = GetLastError(); }).join();
  EXPECT_EQ(other, 0u);
  EXPECT_EQ(GetLastError(), 42u);
}

}  // namespace
