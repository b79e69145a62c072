#include <gtest/gtest.h>

#include "platform/com/com.h"

namespace {

using velmor::com::GuidFromString;
using velmor::com::GuidToString;

TEST(Guid, WellKnownInterfacesHaveTheirRegistryForms) {
  EXPECT_EQ(GuidToString(IID_IUnknown), "{00000000-0000-0000-C000-000000000046}");
  EXPECT_EQ(GuidToString(IID_IDispatch), "{00020400-0000-0000-C000-000000000046}");
  EXPECT_EQ(GuidToString(IID_IClassFactory), "{00000001-0000-0000-C000-000000000046}");
  EXPECT_EQ(GuidToString(IID_IObjectSafety), "{CB5BDC81-93C1-11CF-8F20-00805F2CD064}");
  EXPECT_EQ(GuidToString(IID_NULL), "{00000000-0000-0000-0000-000000000000}");
}

TEST(Guid, ParsesEitherCaseAndRoundTrips) {
  auto g = GuidFromString("{cb5bdc81-93c1-11cf-8f20-00805f2cd064}");
  ASSERT_TRUE(g);
  EXPECT_TRUE(*g == IID_IObjectSafety);
  const auto odd = GuidFromString("{01234567-89AB-CDEF-0123-456789ABCDEF}");
  ASSERT_TRUE(odd);
  EXPECT_EQ(odd->Data1, 0x01234567u);
  EXPECT_EQ(odd->Data2, 0x89ABu);
  EXPECT_EQ(odd->Data3, 0xCDEFu);
  EXPECT_EQ(odd->Data4[0], 0x01);
  EXPECT_EQ(odd->Data4[7], 0xEF);
  EXPECT_EQ(GuidToString(*odd), "{01234567-89AB-CDEF-0123-456789ABCDEF}");
}

class GuidRejects : public ::testing::TestWithParam<const char*> {};
TEST_P(GuidRejects, MalformedText) { EXPECT_FALSE(GuidFromString(GetParam())); }
INSTANTIATE_TEST_SUITE_P(
    Malformed, GuidRejects,
    ::testing::Values("", "00020400-0000-0000-C000-000000000046",
                      "{00020400-0000-0000-C000-00000000004}",
                      "{00020400-0000-0000-C000-0000000000466}",
                      "{00020400+0000-0000-C000-000000000046}",
                      "{0002040G-0000-0000-C000-000000000046}",
                      "{00020400-0000-0000-C0000-00000000046}",
                      "(00020400-0000-0000-C000-000000000046)"));

TEST(Guid, EqualityComparesEveryField) {
  GUID a = IID_IDispatch;
  EXPECT_TRUE(IsEqualGUID(a, IID_IDispatch));
  a.Data4[7] ^= 1;
  EXPECT_FALSE(IsEqualGUID(a, IID_IDispatch));
}

}  // namespace
