// ResultString: the one text every getter and method of the control answers with.
//
//   failure          "E:" and a four-digit code ("E:0003"), in four operations' steps followed
//                    by the failed call's last error ("E:0001 80090016 -2146893802");
//   typed payload    a kind letter and ":", then fields, each of variable length preceded by
//                    its length as eight decimal digits ("A:00000003abc");
//   bare success     "A:0000".
// Base64 results and the plain texts of the property getters need no builder.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>

#include "platform/com/com.h"

namespace velmor {

// ResultCode: one of a member's failure codes. Each member names its codes in a table of its
// own (an enum in its file); the same number may mean different things in two members, and
// the name says which. A plain int converts too, for the frame's own tests.
class ResultCode {
 public:
  template <typename Code>
    requires std::is_enum_v<Code>
  constexpr ResultCode(Code code) noexcept  // NOLINT: every member's table converts
      : value_(static_cast<int>(code)) {}
  constexpr ResultCode(int code) noexcept : value_(code) {}  // NOLINT
  constexpr int value() const noexcept { return value_; }

 private:
  int value_;
};

class ResultString {
 public:
  // Failure: "E:" and `code` (0 to 9999) as four digits. The text fits a string's own buffer,
  // so this allocates nothing and can answer for an operation that ran out of memory.
  static std::string Failure(ResultCode code) noexcept;
  // Failure: "E:" and `code`, a blank, `lastError` in lower-case hexadecimal without leading
  // zeros, a blank, and the same 32 bits as a signed decimal.
  static std::string Failure(ResultCode code, DWORD lastError);
  // Done: "A:0000", success without payload.
  static std::string Done() noexcept;

  // A typed payload of kind 'A' (a general text), 'F' (the signature of a file) or 'L' (the
  // signature of the SignData text). `capacity` is the length the result will have, so that
  // one buffer holds it: a result may carry a plaintext, and a buffer that grows would leave
  // copies of it behind.
  ResultString(char kind, std::size_t capacity);
  // Field: the text's length as eight digits ("%08d"; a length beyond eight digits takes as
  // many as it needs), then the text.
  ResultString& Field(std::string_view text);
  // Field: `count` as eight digits, then `text`, which may be shorter: a content shown up to
  // its first zero byte while the count covers all of it.
  ResultString& Field(std::size_t count, std::string_view text);
  // Take: the finished text.
  std::string Take() { return std::move(text_); }

  // FieldSize: the characters a field of `length` takes, its eight-digit length included.
  static constexpr std::size_t FieldSize(std::size_t length) { return 8 + length; }

 private:
  std::string text_;
};

// Outcome: what one step of an operation gives back: nothing when it went through, otherwise
// the whole answer the member gives for the step that failed (never empty: every failure has
// a code).
class [[nodiscard]] Outcome {
 public:
  Outcome() = default;  // went through
  static Outcome Fail(std::string answer) { return Outcome(std::move(answer)); }
  static Outcome Fail(ResultCode code) { return Outcome(ResultString::Failure(code)); }
  static Outcome Fail(ResultCode code, DWORD lastError) {
    return Outcome(ResultString::Failure(code, lastError));
  }

  bool Failed() const { return !answer_.empty(); }
  // Answer: the member's answer for the failed step.
  std::string Answer() && { return std::move(answer_); }

 private:
  explicit Outcome(std::string answer) : answer_(std::move(answer)) {}
  std::string answer_;
};

}  // namespace velmor
