// The frame every member runs in, and the result texts it builds.
#include <gtest/gtest.h>

#include <new>

#include "operation/frame.h"

namespace velmor {
namespace {

// A body that fills a working handle and then runs out of memory still leaves the handles
// empty, and answers the member's own code; one that finishes leaves them empty too.
TEST(RunOperation, ReleasesTheHandlesAndAnswersTheMembersCodeWhenMemoryRunsOut) {
  CtrlState state;
  ClearModuleBuffers();
  const auto fill = [&] {
    HCRYPTPROV prov = 0;
    ASSERT_TRUE(
        CryptAcquireContextA(&prov, nullptr, nullptr, PROV_RSA_FULL, CRYPT_VERIFYCONTEXT));
    state.m_working.prov.reset(UniqueProv::pointer(prov));
  };
  EXPECT_EQ(RunOperation(state, 18, [&]() -> std::string {
              fill();
              throw std::bad_alloc();
            }),
            "E:0018");
  EXPECT_TRUE(state.WorkingHandlesEmpty());
  EXPECT_EQ(RunOperation(state, kAnswerEmpty, [&]() -> std::string {
              fill();
              throw std::bad_alloc();
            }),
            "");
  EXPECT_EQ(RunOperation(state, 5, [&] {
              fill();
              return std::string("A:0000");
            }),
            "A:0000");
  EXPECT_TRUE(state.WorkingHandlesEmpty());
}

TEST(RunSetter, ARefusedValueRunsTheRefusal) {
  bool refused = false;
  RunSetter([] { throw std::bad_alloc(); }, [&] { refused = true; });
  EXPECT_TRUE(refused);
  refused = false;
  RunSetter([] {}, [&] { refused = true; });
  EXPECT_FALSE(refused);
}

struct TypedCase {
  const char* name;
  char kind;
  std::size_t count;
  const char* text;
  const char* expected;
};
class TypedResult : public ::testing::TestWithParam<TypedCase> {};

TEST_P(TypedResult, Builds) {
  const TypedCase& c = GetParam();
  EXPECT_EQ(ResultString(c.kind, 0).Field(c.count, c.text).Take(), c.expected);
}
INSTANTIATE_TEST_SUITE_P(
    Forms, TypedResult,
    ::testing::Values(TypedCase{"Empty", 'A', 0, "", "A:00000000"},
                      TypedCase{"Text", 'F', 3, "ABC", "F:00000003ABC"},
                      // A content shown up to its zero byte keeps its full count.
                      TypedCase{"CountBeyondText", 'A', 5, "ab", "A:00000005ab"},
                      TypedCase{"NineDigits", 'L', 123456789, "", "L:123456789"}),
    [](const ::testing::TestParamInfo<TypedCase>& p) { return std::string(p.param.name); });

TEST(ResultString, FailuresAndDone) {
  EXPECT_EQ(ResultString::Failure(3), "E:0003");
  EXPECT_EQ(ResultString::Failure(100), "E:0100");
  EXPECT_EQ(ResultString::Done(), "A:0000");
  EXPECT_EQ(ResultString('A', 0).Field("ab").Field("CDEF").Take(), "A:00000002ab00000004CDEF");
}

}  // namespace
}  // namespace velmor
