// Reading a request's JSON text without leaving copies of it behind. The JSON reader grows two
// buffers of its own while it reads each token: the token's value and its raw bytes (kept for
// error messages). Each time they grow, the smaller buffer goes back to the heap as it was, and
// both go when the reader does; a request may hold a text to encrypt, so every one of those
// buffers must be wiped first. The value is a TokenString, a SecureString (the reader's string
// type is ours to choose); the raw bytes are kept in a std::vector of the input's character
// type, whose allocator the reader does not let us choose, so the input is read as JsonByte, a
// character of our own whose std::allocator wipes what it gives back.
#pragma once

#include <cstddef>
#include <cstring>
#include <string>
#include <string_view>
#include <type_traits>

#include <nlohmann/json.hpp>

#include "platform/base/secure.h"

namespace velmor::host {

// JsonByte: one byte of a request's text as the JSON reader keeps it.
enum class JsonByte : char {};

}  // namespace velmor::host

namespace std {

// What the reader asks of its character type: the int values and end of input of char.
template <>
struct char_traits<velmor::host::JsonByte> {
  using char_type = velmor::host::JsonByte;
  using int_type = char_traits<char>::int_type;
  static constexpr int_type eof() noexcept { return char_traits<char>::eof(); }
  static constexpr char_type to_char_type(int_type c) noexcept {
    return static_cast<char_type>(static_cast<char>(c));
  }
  static constexpr int_type to_int_type(char_type c) noexcept {
    return static_cast<int_type>(static_cast<unsigned char>(c));
  }
  static constexpr bool eq_int_type(int_type a, int_type b) noexcept { return a == b; }
  static constexpr bool eq(char_type a, char_type b) noexcept { return a == b; }
  static constexpr bool lt(char_type a, char_type b) noexcept {
    return static_cast<unsigned char>(a) < static_cast<unsigned char>(b);
  }
  static constexpr int_type not_eof(int_type c) noexcept { return c == eof() ? 0 : c; }
};

// The raw bytes of every token the reader holds are wiped when their buffer goes.
template <>
struct allocator<velmor::host::JsonByte> {
  using value_type = velmor::host::JsonByte;
  using size_type = std::size_t;
  using difference_type = std::ptrdiff_t;
  using propagate_on_container_move_assignment = std::true_type;
  using is_always_equal = std::true_type;
  constexpr allocator() noexcept = default;
  template <typename U>
  constexpr allocator(const allocator<U>&) noexcept {}  // NOLINT: rebinding is implicit
  value_type* allocate(std::size_t n) {
    return reinterpret_cast<value_type*>(velmor::platform::SecureAllocator<char>{}.allocate(n));
  }
  void deallocate(value_type* p, std::size_t n) noexcept {
    velmor::platform::SecureAllocator<char>{}.deallocate(reinterpret_cast<char*>(p), n);
  }
  friend constexpr bool operator==(const allocator&, const allocator&) noexcept { return true; }
};

}  // namespace std

namespace velmor::host {

// TokenString: the reader's buffer for the value of each token. The reader only appends to it
// and clears it, and every block it lets go of is wiped, so no character lies past its end: a
// clear wipes what it holds, not its whole capacity, which after one long value would be wiped
// again at every later token.
class TokenString : public platform::SecureString {
 public:
  using platform::SecureString::SecureString;
  TokenString() noexcept = default;
  void clear() noexcept {
    platform::Cleanse(data(), size());
    base().clear();
  }
};

// SecureJson: the document type the reader works with; only its string type matters here (the
// value of each token is read into one), so its documents are never built.
using SecureJson = nlohmann::basic_json<nlohmann::ordered_map, std::vector, TokenString>;

// SecureTextInput: a request's text, handed to the reader as JsonBytes. It only points into the
// text; the caller wipes the text itself.
class SecureTextInput {
 public:
  using char_type = JsonByte;
  explicit SecureTextInput(std::string_view text) noexcept
      : next_(text.data()), end_(text.data() + text.size()) {}
  std::char_traits<JsonByte>::int_type get_character() noexcept {
    if (next_ == end_) return std::char_traits<JsonByte>::eof();
    return static_cast<unsigned char>(*next_++);
  }

 private:
  const char* next_;
  const char* end_;
};

using SecureJsonParser = nlohmann::detail::parser<SecureJson, SecureTextInput>;

// SecureSaxParse: the events of `text` (one JSON value and nothing after it, no comments) for
// `sax`, as SecureJson::sax_parse gives them, with the same errors.
template <typename Sax>
bool SecureSaxParse(std::string_view text, Sax* sax) {
  return SecureJsonParser(SecureTextInput(text), nullptr, true, false).sax_parse(sax, true);
}

// SecureAccept: whether `text` is one JSON value and nothing after it.
inline bool SecureAccept(std::string_view text) {
  return SecureJsonParser(SecureTextInput(text), nullptr, false, false).accept(true);
}

}  // namespace velmor::host
