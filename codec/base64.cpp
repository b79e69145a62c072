// Base64 with the line layout every large result uses (72 characters, then "\n").
//
// Both directions are table-driven and work a line or a word at a time on the common path:
// encoding turns 6 input bytes into 8 characters with two lookups of 12 bits each per 3 bytes,
// decoding turns 8 plain alphabet characters into 6 bytes and drops to a character-at-a-time
// path only for white space, "=" and bad bytes.
#include <array>
#include <bit>
#include <climits>
#include <cstdint>
#include <cstring>

#include "codec/codec.h"

namespace velmor {
namespace {

constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
constexpr int kGroupsPerLine = kBase64LineLength / 4;  // 18
constexpr std::size_t kBytesPerLine = kGroupsPerLine * 3;  // 54

// Two alphabet characters for every 12-bit value: the first at [0], the second at [1].
struct PairTable {
  std::array<std::array<char, 2>, 4096> pairs{};
  constexpr PairTable() {
    for (std::size_t i = 0; i < 4096; ++i) {
      pairs[i][0] = kAlphabet[i >> 6];
      pairs[i][1] = kAlphabet[i & 63];
    }
  }
};
constexpr PairTable kPairs;

// Decoding classes above the 6-bit values.
constexpr std::uint8_t kPad = 0x40;     // "=": value 0, but it may end decoding
constexpr std::uint8_t kSkip = 0x80;    // white space
constexpr std::uint8_t kInvalid = 0xC0; // everything else, every byte from 0x80 up
constexpr std::uint8_t kSpecial = 0xC0; // mask: any of the three above
constexpr std::uint32_t kGroupSpecial = 0x80000000u;

struct DecodeTable {
  std::array<std::uint8_t, 256> value{};
  // The same values already in place for each of a group's four positions, so that a group is
  // four lookups and three ORs; a special byte sets kGroupSpecial whichever position it holds.
  std::array<std::array<std::uint32_t, 256>, 4> shifted{};
  constexpr DecodeTable() {
    for (auto& v : value) v = kInvalid;
    for (std::uint8_t i = 0; i < 64; ++i) value[static_cast<unsigned char>(kAlphabet[i])] = i;
    value['='] = kPad;
    for (char c : {' ', '\f', '\n', '\r', '\t', '\v'}) {
      value[static_cast<unsigned char>(c)] = kSkip;
    }
    for (std::size_t c = 0; c < 256; ++c) {
      for (std::size_t pos = 0; pos < 4; ++pos) {
        shifted[pos][c] = (value[c] & kSpecial) != 0
                              ? kGroupSpecial
                              : std::uint32_t{value[c]} << (18 - 6 * pos);
      }
    }
  }
};
constexpr DecodeTable kDecode;

// Four characters at `in` as 24 bits, or a value with kGroupSpecial set.
inline std::uint32_t DecodeGroup(const unsigned char* in) {
  return kDecode.shifted[0][in[0]] | kDecode.shifted[1][in[1]] | kDecode.shifted[2][in[2]] |
         kDecode.shifted[3][in[3]];
}

inline void EncodeGroup(const BYTE* in, char* out) {
  const unsigned v = (unsigned{in[0]} << 16) | (unsigned{in[1]} << 8) | in[2];
  std::memcpy(out, kPairs.pairs[v >> 12].data(), 2);
  std::memcpy(out + 2, kPairs.pairs[v & 0xFFF].data(), 2);
}

// Six bytes into eight characters; reads eight bytes (two past the six it encodes).
inline void EncodeSix(const BYTE* in, char* out) {
  std::uint64_t v;
  std::memcpy(&v, in, 8);
  if constexpr (std::endian::native == std::endian::little) v = __builtin_bswap64(v);
  std::memcpy(out, kPairs.pairs[(v >> 52) & 0xFFF].data(), 2);
  std::memcpy(out + 2, kPairs.pairs[(v >> 40) & 0xFFF].data(), 2);
  std::memcpy(out + 4, kPairs.pairs[(v >> 28) & 0xFFF].data(), 2);
  std::memcpy(out + 6, kPairs.pairs[(v >> 16) & 0xFFF].data(), 2);
}

}  // namespace

std::size_t Base64EncodedSize(int length) {
  if (length < 0) return 0;
  const std::size_t chars = 4 * (static_cast<std::size_t>(length) / 3);
  return chars + (chars + 75) / 72 + 5;
}

char* Base64Encode(const BYTE* data, int length) {
  if (length < 0 || (data == nullptr && length != 0)) return nullptr;
  auto* out = static_cast<char*>(std::malloc(Base64EncodedSize(length)));
  if (out == nullptr) return nullptr;
  Base64EncodeInto(data, length, out);
  return out;
}

std::size_t Base64EncodeInto(const BYTE* data, int length, char* out) {
  if (length < 0 || (data == nullptr && length != 0) || out == nullptr) return 0;
  const BYTE* in = data;
  std::size_t left = static_cast<std::size_t>(length);
  char* o = out;
  // Whole lines while the eight-byte reads stay inside the input.
  while (left >= kBytesPerLine + 2) {
    for (int k = 0; k < 9; ++k) EncodeSix(in + 6 * k, o + 8 * k);
    o[kBase64LineLength] = '\n';
    o += kBase64LineLength + 1;
    in += kBytesPerLine;
    left -= kBytesPerLine;
  }
  // The rest group by group; a group that fills its line gets its line feed, even the last.
  int onLine = 0;
  while (left >= 3) {
    EncodeGroup(in, o);
    o += 4;
    in += 3;
    left -= 3;
    if (++onLine == kGroupsPerLine) {
      *o++ = '\n';
      onLine = 0;
    }
  }
  if (left == 1) {
    *o++ = kAlphabet[in[0] >> 2];
    *o++ = kAlphabet[(in[0] & 3) << 4];
    *o++ = '=';
    *o++ = '=';
  } else if (left == 2) {
    *o++ = kAlphabet[in[0] >> 2];
    *o++ = kAlphabet[((in[0] & 3) << 4) | (in[1] >> 4)];
    *o++ = kAlphabet[(in[1] & 15) << 2];
    *o++ = '=';
  }
  *o = '\0';
  return static_cast<std::size_t>(o - out);
}

int Base64Decode(const char* text, BYTE** out, DWORD* outLength) {
  if (text == nullptr) return kBase64NoInput;
  const auto* in = reinterpret_cast<const unsigned char*>(text);
  const std::size_t len = std::strlen(text);
  // The significant characters are at most all of them; the data must fit a 32-bit count.
  const std::size_t capacity = (len / 4) * 3 + 1;
  if ((len / 4) * 3 > UINT32_MAX) return kBase64NoInput;
  MallocBytes buffer(static_cast<BYTE*>(std::malloc(capacity)));
  if (!buffer) return kBase64NoInput;
  BYTE* const o0 = buffer.get();
  BYTE* o = o0;
  const auto& table = kDecode.value;

  std::size_t i = 0;
  std::size_t significant = 0;   // every counted character, "=" included
  std::size_t afterStop = 0;     // significant characters seen after decoding stopped
  bool stopped = false;
  std::uint8_t group[4];         // values of the group being collected
  bool isPad[4];
  int inGroup = 0;

  while (i < len) {
    // Common path: at a group boundary, eight plain alphabet characters make six bytes.
    if (inGroup == 0 && !stopped && len - i >= 8 &&
        static_cast<std::size_t>(o - o0) + 8 <= capacity) {
      const std::uint32_t x = DecodeGroup(in + i), y = DecodeGroup(in + i + 4);
      if (((x | y) & kGroupSpecial) == 0) {
        std::uint64_t v = (std::uint64_t{x} << 40) | (std::uint64_t{y} << 16);
        if constexpr (std::endian::native == std::endian::little) v = __builtin_bswap64(v);
        std::memcpy(o, &v, 8);  // six bytes of data; the two after them are overwritten later
        o += 6;
        i += 8;
        significant += 8;
        continue;
      }
    }
    const std::uint8_t v = table[in[i++]];
    if (v == kInvalid) return kBase64BadCharacter;
    if (v == kSkip) continue;
    ++significant;
    if (stopped) {
      ++afterStop;
      continue;
    }
    isPad[inGroup] = v == kPad;
    group[inGroup] = v == kPad ? 0 : v;
    if (++inGroup < 4) continue;
    inGroup = 0;
    *o++ = static_cast<BYTE>((group[0] << 2) | (group[1] >> 4));
    if (isPad[2]) {
      stopped = true;
      continue;
    }
    *o++ = static_cast<BYTE>(((group[1] << 4) | (group[2] >> 2)) & 0xFF);
    if (isPad[3]) {
      stopped = true;
      continue;
    }
    *o++ = static_cast<BYTE>(((group[2] << 6) | group[3]) & 0xFF);
  }
  if (significant % 4 != 0) return kBase64BadLength;
  if (afterStop != 0) return kBase64NoInput;

  if (outLength != nullptr) *outLength = static_cast<DWORD>(o - o0);
  if (out != nullptr) *out = buffer.release();
  return kBase64Ok;
}

}  // namespace velmor
