// The request layer both hosts share, on requests it answers before any control is made: how
// deep a request may nest, which of two repeated keys counts, and that a request text handed
// over is let go once parsed, its long literals taken out, with the same answer as one that is
// only read.
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

// A request text handed over has its long literals taken out before it is parsed: whatever the
// literals hold, the request read and the answer to a text that is no request are the same as
// the parser's own on the whole text (every literal counts as long here).
class LongLiterals : public ::testing::TestWithParam<std::string> {};

TEST_P(LongLiterals, ReadAsTheWholeText) {
  using velmor::host::Json;
  using velmor::host::ReadRequest;
  for (std::size_t longest : {std::size_t{0}, std::size_t{1}, std::size_t{4}}) {
    Json whole, taken;
    const Json expected = ReadRequest(std::string_view(GetParam()), whole);
    std::string text = GetParam();
    const Json answer = ReadRequest(std::move(text), taken, longest);
    EXPECT_EQ(DumpAnswer(answer), DumpAnswer(expected)) << longest;
    EXPECT_EQ(DumpAnswer(taken), DumpAnswer(whole)) << longest;
    EXPECT_EQ(text.capacity(), std::string().capacity());
  }
}

INSTANTIATE_TEST_SUITE_P(
    Session, LongLiterals,
    ::testing::Values(
        R"({"op":"put","name":"SignData","value":"plain text, Grüße 价格 😀"})",
        R"({"value":"a\"b\\c\/d\b\f\n\r\t\u0041\u00e9\u4e2d\ud83d\ude00\u0000z","op":"x"})",
        R"({"k\u0041ey":1,"key":2,"kAey":3})", R"({"a":["x","yy",{"zzz":"w"}],"b":""})",
        // Literals the parser refuses, and errors after a long literal: its own messages.
        "{\"v\":\"tab\there\"}", "{\"v\":\"\xff\xfe\"}", "{\"v\":\"\xed\xa0\x80\"}",
        "{\"v\":\"\xc3\"}", R"({"v":"\x"})", R"({"v":"\u12"})", R"({"v":"\ud800"})",
        R"({"v":"\ud800\u0041"})", R"({"v":"\udc00"})", R"({"v":"\ud800\udbff"})",
        R"({"v":"long value" x})", R"({"v" "long value"})", R"({"v":"long value")",
        R"({"v":"unterminated)", R"({"v":"ends in a backslash\)", R"(["not","an","object"])",
        // A refused literal at a depth too great: the literal's error, as the parser finds it first.
        "[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[{\"k\x01\":1}]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]",
        "[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[\"deep\"]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]"));

}  // namespace
