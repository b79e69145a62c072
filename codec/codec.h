// Text codecs on the border between the page's texts and the bytes the cryptography works on:
// Base64, hexadecimal, the ANSI / UTF-8 / automation-string conversions, and the two helpers
// that cut and normalise components of certificate names.
//
// All functions are reentrant and keep no state. Results are either written into a buffer the
// caller supplies or handed over as a heap buffer from malloc, which the caller releases with
// free (hold it in MallocChars / MallocBytes). Nothing here throws.
#pragma once

#include <cstdlib>
#include <memory>
#include <utility>

#include "platform/base/hex.h"
#include "platform/base/owner.h"
#include "platform/base/secure.h"
#include "platform/com/com.h"

namespace velmor {

// One owner for a buffer that came from malloc (Base64Encode, Base64Decode, AnsiToUtf8): the
// platform's (platform/base/owner.h).
using platform::FreeDeleter;
using platform::MallocBytes;
using platform::MallocChars;

// SecretChars: a zero-terminated text from malloc that may hold a plaintext (AnsiToUtf8 of a
// text to encrypt): wiped up to its terminator before it is freed.
struct WipingTextFree {
  void operator()(char* text) const;
};
using SecretChars = std::unique_ptr<char, WipingTextFree>;

// SecretBuffer: bytes with their size, for decoded envelopes, session-key blobs and decrypted
// bytes, in platform::SecureBytes (wiped when they go). Null when the allocation failed.
class SecretBuffer {
 public:
  SecretBuffer() = default;
  // Adopt: takes over `size` bytes at `data`, which came from malloc: they are copied into
  // wiping storage and the malloc block is wiped and freed at once. Null when memory is short.
  static SecretBuffer Adopt(BYTE* data, std::size_t size);
  // Allocate: `size` zeroed bytes (at least one, so that an empty buffer is not null); null
  // when memory is short.
  static SecretBuffer Allocate(std::size_t size);
  SecretBuffer(SecretBuffer&& other) noexcept
      : bytes_(std::move(other.bytes_)), size_(std::exchange(other.size_, 0)) {}
  SecretBuffer& operator=(SecretBuffer&& other) noexcept {
    if (this != &other) {
      bytes_ = std::move(other.bytes_);
      size_ = std::exchange(other.size_, 0);
    }
    return *this;
  }
  SecretBuffer(const SecretBuffer&) = delete;
  SecretBuffer& operator=(const SecretBuffer&) = delete;

  // get: the bytes, writable also through a const buffer (the buffer is an owner, not a view).
  BYTE* get() const { return bytes_.empty() ? nullptr : bytes_.data(); }
  std::size_t size() const { return size_; }
  explicit operator bool() const { return !bytes_.empty(); }

 private:
  mutable platform::SecureBytes bytes_;
  std::size_t size_ = 0;
};

// Base64 line layout: 72 characters, then a single line feed.
inline constexpr int kBase64LineLength = 72;

// Base64Decode status codes.
inline constexpr int kBase64Ok = 0;
inline constexpr int kBase64NoInput = 1;      // null text, or the padding ended it early
inline constexpr int kBase64BadLength = 2;    // significant characters not a multiple of 4
inline constexpr int kBase64BadCharacter = 3; // a byte outside the alphabet and white space

// Base64EncodedSize: the size Base64Encode allocates for `length` input bytes:
// 4·(length/3) + (4·(length/3) + 75)/72 + 5, which covers the text, its line feeds and the
// terminator. 0 for a negative length.
std::size_t Base64EncodedSize(int length);

// Base64Encode: `length` bytes at `data` as zero-terminated Base64 text, standard alphabet with
// "=" padding, a line feed after every 72 characters (also after the last complete group when
// it fills its line; never after a padded group). Returns null when memory is short, when
// `length` is negative, or when `data` is null with a non-zero length. The caller owns the
// result (free).
char* Base64Encode(const BYTE* data, int length);

// Base64EncodeInto: the same text into `out`, which holds Base64EncodedSize(length) bytes;
// returns its length without the terminator (0 for a negative length or a null argument, with
// nothing written). For a caller that keeps the text in a buffer of its own.
std::size_t Base64EncodeInto(const BYTE* data, int length, char* out);

// Base64Decode: decodes the zero-terminated `text`, skipping the six white-space characters
// (space, \f, \n, \r, \t, \v) wherever they stand. "=" decodes as 0 in the first two positions
// of a group; in the third it ends decoding, in the fourth it ends decoding after two bytes.
// Returns kBase64Ok, or kBase64NoInput (null text, data after the padding, or no memory),
// kBase64BadLength, kBase64BadCharacter. On kBase64Ok it stores the byte count in *outLength
// and the buffer in *out (each if non-null; with a null `out` the buffer is released inside).
// The buffer has at least one spare byte after the data, no terminator. The caller owns it
// (free). On failure neither output is written and nothing stays allocated.
int Base64Decode(const char* text, BYTE** out, DWORD* outLength);

// HexEncode / HexEncodeInto: bytes as two hexadecimal digits each, in upper or lower case, in
// their order or last byte first (platform/base/hex.h, written once for every layer).
// HexEncode is the one function here that may throw (std::bad_alloc, from its std::string).
using platform::HexCase;
using platform::HexEncode;
using platform::HexEncodeInto;
using platform::HexOrder;

// HexDigitValue: 0 to 15 for "0"-"9", "a"-"f", "A"-"F"; -1 for any other character.
int HexDigitValue(char c);

// HexDecode: decodes pairs of hexadecimal digits of the zero-terminated `text` into `out`,
// which must hold strlen(text) / 2 + 1 bytes; a final unpaired digit is ignored. Writes a zero
// byte after the data and returns the byte count. Returns -1 on the first invalid digit (the
// bytes before it stay written, no terminator; do not use the buffer then) and for a null
// text or output.
int HexDecode(const char* text, BYTE* out);

// IsAsciiText: whether every byte of the zero-terminated text is ASCII. Every ANSI code page
// keeps ASCII as it is, so such a text is its own UTF-8 form. False for a null text.
bool IsAsciiText(const char* text);

// AnsiToUtf8: a UTF-8 copy of the zero-terminated ANSI (CP_ACP) text, followed by its
// terminator and one more zero byte. Returns null when the text cannot be converted, when it
// is null, or when memory is short. The caller owns the result (free; SecretChars for a text
// that may be secret). The UTF-16 form it passes through is wiped.
char* AnsiToUtf8(const char* text);

// AnsiToBstr: an automation string holding the zero-terminated ANSI (CP_ACP) text, its length
// the character count without the terminator. Returns null when the text cannot be converted,
// when it is null, or when memory is short. The caller owns the result (SysFreeString, or hand
// it to the automation client).
BSTR AnsiToBstr(const char* text);

// CopyUntilComma: copies from `src` into `dst` until the source ends, a "," (not copied) is
// reached or `maxChars` characters are copied, then terminates `dst`, which must hold
// maxChars + 1 bytes. A null or empty `src`, or a negative maxChars, gives an empty text.
void CopyUntilComma(char* dst, int maxChars, const char* src);

// UpperCaseAscii: upper-cases "a"-"z" in place among the first 1024 characters of the
// zero-terminated text; other bytes, and everything from position 1024 on, stay as they are.
// A null text is left alone.
void UpperCaseAscii(char* text);

}  // namespace velmor
