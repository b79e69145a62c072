// The request layer both hosts share, on requests it answers before any control is made: how
// deep a request may nest, which of two repeated keys counts, and that a request text handed
// over is let go once parsed with the same answer as one that is only read.
#include <gtest/gtest.h>

#include <string>

#include "hosts/session/session.h"

namespace {

using velmor::host::DumpAnswer;
using velmor::host::Session;

struct Case {
  const char* name;
  std::string request;
  std::string answer;
};

void PrintTo(const Case& c, std::ostream* os) { *os << c.name; }

std::string Nest(int levels, const std::string& inner) {
  return std::string(static_cast<std::size_t>(levels), '[') + inner +
         std::string(static_cast<std::size_t>(levels), ']');
}

constexpr char kTooDeep[] = R"({"error":"malformed request: nested deeper than 32 levels"})";

class Requests : public ::testing::TestWithParam<Case> {};

TEST_P(Requests, AnswerAsTheyDid) {
  Session session([](const std::string&) {});
  std::string owned = GetParam().request;
  EXPECT_EQ(DumpAnswer(session.Handle(std::string_view(GetParam().request))), GetParam().answer);
  EXPECT_EQ(DumpAnswer(session.Handle(std::move(owned))), GetParam().answer);
  EXPECT_EQ(owned.capacity(), std::string().capacity());
}

INSTANTIATE_TEST_SUITE_P(
    Session, Requests,
    ::testing::Values(
        // The request object is one level: a value inside 31 more is the deepest allowed.
        Case{"ValueAtTheDeepestLevel", R"({"id":)" + Nest(31, "1") + R"(,"op":"x"})",
             R"({"id":)" + Nest(31, "1") + R"(,"error":"unknown op: x"})"},
        Case{"ValueOneLevelTooDeep", R"({"id":)" + Nest(32, "1") + R"(,"op":"x"})", kTooDeep},
        Case{"EmptyArrayAtTheDeepestLevel", R"({"id":)" + Nest(32, "") + R"(,"op":"x"})",
             R"({"id":)" + Nest(32, "") + R"(,"error":"unknown op: x"})"},
        Case{"EmptyArrayOneLevelTooDeep", R"({"id":)" + Nest(33, "") + R"(,"op":"x"})", kTooDeep},
        Case{"RepeatedKeyTakesTheLastValue", R"({"op":"get","id":7,"op":"y"})",
             R"({"id":7,"error":"unknown op: y"})"},
        Case{"IdOfAnyType", R"({"id":{"a":[true,null,1.5]},"op":"release","instance":3})",
             R"({"id":{"a":[true,null,1.5]},"error":"no control with instance 3"})"},
        Case{"NotAnObject", R"(["op"])",
             R"({"error":"malformed request: a request is a JSON object"})"},
        Case{"TrailingText", R"({"op":"x"} {})",
             R"({"error":"malformed request: [json.exception.parse_error.101] parse error at line 1, column 12: syntax error while parsing value - unexpected '{'; expected end of input"})"}),
    [](const ::testing::TestParamInfo<Case>& p) { return std::string(p.param.name); });

}  // namespace
