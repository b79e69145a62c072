// Code-page conversions with the Windows semantics, on iconv for the legacy code pages and a
// hand-written UTF-8 codec (its replacement rules must match Windows exactly, and it is the hot
// path for every result text when the ANSI code page is UTF-8).
#include <iconv.h>
#include <langinfo.h>
#include <locale.h>

#include <algorithm>
#include <atomic>
#include <bit>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string>
#include <unordered_map>
#include <vector>

#include "platform/base/secure.h"
#include "platform/com/com.h"
#include "platform/com/owners.h"

namespace {

constexpr char16_t kReplacement = 0xFFFD;

struct CodePageInfo {
  UINT codePage;
  const char* iconvName;
  bool singleByte;
};

// The code pages a bank's customers are likely to run with. UTF-8 is handled without iconv.
constexpr CodePageInfo kCodePages[] = {
    {866, "CP866", true},    {874, "CP874", true},    {932, "CP932", false},
    {936, "CP936", false},   {949, "CP949", false},   {950, "CP950", false},
    {1250, "CP1250", true},  {1251, "CP1251", true},  {1252, "CP1252", true},
    {1253, "CP1253", true},  {1254, "CP1254", true},  {1257, "CP1257", true},
    {20127, "ASCII", true},  {20866, "KOI8-R", true}, {28591, "ISO-8859-1", true},
    {28595, "ISO-8859-5", true},
};

const CodePageInfo* FindCodePage(UINT codePage) {
  for (const auto& info : kCodePages) {
    if (info.codePage == codePage) return &info;
  }
  return nullptr;
}

std::atomic<UINT> g_ansiCodePage{0};  // 0: not decided yet

UINT LocaleCodePage() {
  // The locale named by the environment, without changing the process's own locale.
  locale_t loc = newlocale(LC_CTYPE_MASK, "", static_cast<locale_t>(nullptr));
  if (loc == static_cast<locale_t>(nullptr)) return CP_UTF8;
  const char* charset = nl_langinfo_l(CODESET, loc);
  UINT cp = velmor::com::CodePageFromCharset(charset != nullptr ? charset : "");
  freelocale(loc);
  return cp;
}

UINT ResolveCodePage(UINT codePage) { return codePage == CP_ACP ? GetACP() : codePage; }

// ---- iconv descriptors ------------------------------------------------------------------------
using velmor::platform::UniqueIconv;

const char* Utf32Name() {
  return std::endian::native == std::endian::little ? "UTF-32LE" : "UTF-32BE";
}

// Descriptors are costly to open and not safe to share between threads: one cache per thread.
iconv_t GetIconv(const CodePageInfo& info, bool toWide) {
  thread_local std::unordered_map<std::uint64_t, UniqueIconv> cache;
  const std::uint64_t key = (std::uint64_t{info.codePage} << 1) | (toWide ? 1u : 0u);
  auto it = cache.find(key);
  if (it == cache.end()) {
    iconv_t cd = toWide ? iconv_open(Utf32Name(), info.iconvName)
                        : iconv_open(info.iconvName, Utf32Name());
    if (cd == reinterpret_cast<iconv_t>(-1)) return cd;
    it = cache.emplace(key, UniqueIconv(cd)).first;
  }
  iconv_t cd = static_cast<iconv_t>(it->second.get());
  iconv(cd, nullptr, nullptr, nullptr, nullptr);  // back to the initial state
  return cd;
}

// ---- Output sinks: count only (null output) or write with a capacity -------------------------
template <typename T>
class Sink {
 public:
  Sink(T* out, std::size_t capacity) : out_(out), capacity_(capacity) {}
  // Put: appends `count` units; false once they no longer fit (nothing of them is written).
  bool Put(const T* units, std::size_t count) {
    if (out_ != nullptr) {
      if (capacity_ - size_ < count) {
        overflow_ = true;
        return false;
      }
      std::memcpy(out_ + size_, units, count * sizeof(T));
    }
    size_ += count;
    return true;
  }
  bool Put(T unit) { return Put(&unit, 1); }
  std::size_t size() const { return size_; }
  bool overflow() const { return overflow_; }

 private:
  T* out_;
  std::size_t capacity_;
  std::size_t size_ = 0;
  bool overflow_ = false;
};
using WideSink = Sink<char16_t>;
using ByteSink = Sink<char>;

bool PutCodePoint(WideSink& sink, char32_t cp) {
  if (cp < 0x10000) return sink.Put(static_cast<char16_t>(cp));
  cp -= 0x10000;
  const char16_t pair[2] = {static_cast<char16_t>(0xD800 + (cp >> 10)),
                            static_cast<char16_t>(0xDC00 + (cp & 0x3FF))};
  return sink.Put(pair, 2);
}

enum class Outcome { kOk, kOverflow, kInvalid, kUnsupported };

// ---- UTF-8 → UTF-16 ---------------------------------------------------------------------------
// An ill-formed sequence becomes one U+FFFD per maximal subpart, as Windows does.
Outcome Utf8ToWide(const unsigned char* in, std::size_t n, bool strict, WideSink& sink) {
  std::size_t i = 0;
  while (i < n) {
    const unsigned char b0 = in[i];
    if (b0 < 0x80) {
      if (!sink.Put(static_cast<char16_t>(b0))) return Outcome::kOverflow;
      ++i;
      continue;
    }
    std::size_t need = 0;
    char32_t cp = 0;
    unsigned char lo = 0x80, hi = 0xBF;  // allowed range of the second byte
    if (b0 >= 0xC2 && b0 <= 0xDF) {
      need = 1;
      cp = b0 & 0x1Fu;
    } else if (b0 >= 0xE0 && b0 <= 0xEF) {
      need = 2;
      cp = b0 & 0x0Fu;
      if (b0 == 0xE0) lo = 0xA0;  // no overlong forms
      if (b0 == 0xED) hi = 0x9F;  // no surrogates
    } else if (b0 >= 0xF0 && b0 <= 0xF4) {
      need = 3;
      cp = b0 & 0x07u;
      if (b0 == 0xF0) lo = 0x90;
      if (b0 == 0xF4) hi = 0x8F;  // nothing past U+10FFFF
    }
    std::size_t used = 1;
    bool ok = need != 0;
    for (std::size_t k = 0; ok && k < need; ++k) {
      if (i + used >= n) {
        ok = false;
        break;
      }
      const unsigned char b = in[i + used];
      const unsigned char min = k == 0 ? lo : 0x80, max = k == 0 ? hi : 0xBF;
      if (b < min || b > max) {
        ok = false;
        break;
      }
      cp = (cp << 6) | (b & 0x3Fu);
      ++used;
    }
    if (!ok) {
      if (strict) return Outcome::kInvalid;
      if (!sink.Put(kReplacement)) return Outcome::kOverflow;
      i += used;
      continue;
    }
    if (!PutCodePoint(sink, cp)) return Outcome::kOverflow;
    i += used;
  }
  return Outcome::kOk;
}

// ---- UTF-16 → UTF-8 ---------------------------------------------------------------------------
Outcome WideToUtf8(const char16_t* in, std::size_t n, bool strict, ByteSink& sink) {
  for (std::size_t i = 0; i < n; ++i) {
    char32_t cp = in[i];
    if (cp >= 0xD800 && cp <= 0xDFFF) {
      if (cp <= 0xDBFF && i + 1 < n && in[i + 1] >= 0xDC00 && in[i + 1] <= 0xDFFF) {
        cp = 0x10000 + ((cp - 0xD800) << 10) + (in[i + 1] - 0xDC00u);
        ++i;
      } else {
        if (strict) return Outcome::kInvalid;
        cp = kReplacement;  // a lone surrogate has no UTF-8 form
      }
    }
    char bytes[4];
    std::size_t len;
    if (cp < 0x80) {
      bytes[0] = static_cast<char>(cp);
      len = 1;
    } else if (cp < 0x800) {
      bytes[0] = static_cast<char>(0xC0 | (cp >> 6));
      bytes[1] = static_cast<char>(0x80 | (cp & 0x3F));
      len = 2;
    } else if (cp < 0x10000) {
      bytes[0] = static_cast<char>(0xE0 | (cp >> 12));
      bytes[1] = static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
      bytes[2] = static_cast<char>(0x80 | (cp & 0x3F));
      len = 3;
    } else {
      bytes[0] = static_cast<char>(0xF0 | (cp >> 18));
      bytes[1] = static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
      bytes[2] = static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
      bytes[3] = static_cast<char>(0x80 | (cp & 0x3F));
      len = 4;
    }
    if (!sink.Put(bytes, len)) return Outcome::kOverflow;
  }
  return Outcome::kOk;
}

// ---- Legacy code page → UTF-16 through iconv --------------------------------------------------
Outcome LegacyToWide(const CodePageInfo& info, const char* in, std::size_t n, bool strict,
                     WideSink& sink) {
  iconv_t cd = GetIconv(info, true);
  if (cd == reinterpret_cast<iconv_t>(-1)) return Outcome::kUnsupported;
  char* src = const_cast<char*>(in);  // iconv's prototype is not const-correct
  std::size_t srcLeft = n;
  char32_t chunk[1024];
  const velmor::platform::ScopedCleanse forget(chunk, sizeof chunk);  // the text, widened
  while (srcLeft > 0) {
    char* dst = reinterpret_cast<char*>(chunk);
    std::size_t dstLeft = sizeof chunk;
    const std::size_t rc = iconv(cd, &src, &srcLeft, &dst, &dstLeft);
    const int err = rc == static_cast<std::size_t>(-1) ? errno : 0;
    const std::size_t produced = (sizeof chunk - dstLeft) / sizeof(char32_t);
    for (std::size_t k = 0; k < produced; ++k) {
      if (!PutCodePoint(sink, chunk[k])) return Outcome::kOverflow;
    }
    if (err == 0 || err == E2BIG) continue;
    // EILSEQ: a byte the code page does not define; EINVAL: a lead byte cut off at the end.
    if (strict) return Outcome::kInvalid;
    const auto bad = static_cast<unsigned char>(*src);
    // Windows passes a single-byte code page's undefined bytes through as the code point of the
    // same value (0x81 in 1252 is U+0081); elsewhere the byte becomes U+FFFD.
    const char16_t unit = info.singleByte ? static_cast<char16_t>(bad) : kReplacement;
    if (!sink.Put(unit)) return Outcome::kOverflow;
    ++src;
    --srcLeft;
    iconv(cd, nullptr, nullptr, nullptr, nullptr);
  }
  return Outcome::kOk;
}

// ---- UTF-16 → legacy code page through iconv --------------------------------------------------
// RoundTrips: whether the code page's bytes `bytes` widen back to exactly `point`.
bool RoundTrips(iconv_t back, char* bytes, std::size_t size, char32_t point) {
  char32_t widened[2] = {0, 0};
  char* dst = reinterpret_cast<char*>(widened);
  std::size_t dstLeft = sizeof widened;
  iconv(back, nullptr, nullptr, nullptr, nullptr);
  const std::size_t rc = iconv(back, &bytes, &size, &dst, &dstLeft);
  return rc != static_cast<std::size_t>(-1) && size == 0 &&
         dstLeft == sizeof widened - sizeof(char32_t) && widened[0] == point;
}

// NarrowBlock: the points through iconv in one go; a character the code page cannot show
// becomes the default character.
Outcome NarrowBlock(iconv_t cd, const velmor::platform::SecureVector<char32_t>& points,
                    const char* defaultChar, std::size_t defaultLen, bool& usedDefault, ByteSink& sink) {
  char* src = reinterpret_cast<char*>(const_cast<char32_t*>(points.data()));
  std::size_t srcLeft = points.size() * sizeof(char32_t);
  char chunk[4096];
  const velmor::platform::ScopedCleanse forget(chunk, sizeof chunk);  // the text, narrowed
  while (srcLeft > 0) {
    char* dst = chunk;
    std::size_t dstLeft = sizeof chunk;
    const std::size_t rc = iconv(cd, &src, &srcLeft, &dst, &dstLeft);
    const int err = rc == static_cast<std::size_t>(-1) ? errno : 0;
    if (!sink.Put(chunk, sizeof chunk - dstLeft)) return Outcome::kOverflow;
    if (err == 0 || err == E2BIG) continue;
    usedDefault = true;
    if (!sink.Put(defaultChar, defaultLen)) return Outcome::kOverflow;
    const std::size_t skip = std::min(srcLeft, sizeof(char32_t));
    src += skip;
    srcLeft -= skip;
    iconv(cd, nullptr, nullptr, nullptr, nullptr);
  }
  return Outcome::kOk;
}

// NarrowEach: the points one at a time, each kept only when its bytes widen back to it, as
// WC_NO_BEST_FIT_CHARS asks; any other point (iconv maps some one way only, as U+00A3 to the
// full-width pound sign of code page 932) becomes the default character.
Outcome NarrowEach(iconv_t cd, iconv_t back, const velmor::platform::SecureVector<char32_t>& points,
                   const char* defaultChar, std::size_t defaultLen, bool& usedDefault,
                   ByteSink& sink) {
  for (char32_t point : points) {
    char bytes[16];
    char* src = reinterpret_cast<char*>(&point);
    std::size_t srcLeft = sizeof point;
    char* dst = bytes;
    std::size_t dstLeft = sizeof bytes;
    iconv(cd, nullptr, nullptr, nullptr, nullptr);
    const std::size_t rc = iconv(cd, &src, &srcLeft, &dst, &dstLeft);
    const std::size_t size = sizeof bytes - dstLeft;
    if (rc != static_cast<std::size_t>(-1) && srcLeft == 0 && RoundTrips(back, bytes, size, point)) {
      if (!sink.Put(bytes, size)) return Outcome::kOverflow;
    } else {
      usedDefault = true;
      if (!sink.Put(defaultChar, defaultLen)) return Outcome::kOverflow;
    }
  }
  return Outcome::kOk;
}

// The code points of at most this many units are held at a time: a text is converted block by
// block rather than copied whole into four bytes a character first.
constexpr std::size_t kPointBlock = 4096;

Outcome WideToLegacy(const CodePageInfo& info, const char16_t* in, std::size_t n,
                     bool noBestFit, const char* defaultChar, bool& usedDefault, ByteSink& sink) {
  iconv_t cd = GetIconv(info, false);
  if (cd == reinterpret_cast<iconv_t>(-1)) return Outcome::kUnsupported;
  iconv_t back = reinterpret_cast<iconv_t>(-1);
  if (noBestFit) {
    back = GetIconv(info, true);
    if (back == reinterpret_cast<iconv_t>(-1)) return Outcome::kUnsupported;
  }
  const std::size_t defaultLen = std::min<std::size_t>(std::strlen(defaultChar), 2);
  // The text's code points: wiped when they go, as the text may be a plaintext.
  velmor::platform::SecureVector<char32_t> points;
  points.reserve(std::min(n, kPointBlock) + 1);
  for (std::size_t i = 0; i < n;) {
    // Code points first; a lone surrogate stays as it is and iconv refuses it like any character
    // the code page lacks. A block never ends between the two halves of a pair.
    points.clear();
    for (const std::size_t stop = std::min(n, i + kPointBlock); i < stop; ++i) {
      char32_t cp = in[i];
      if (cp >= 0xD800 && cp <= 0xDBFF && i + 1 < n && in[i + 1] >= 0xDC00 && in[i + 1] <= 0xDFFF) {
        cp = 0x10000 + ((cp - 0xD800) << 10) + (in[i + 1] - 0xDC00u);
        ++i;
      }
      points.push_back(cp);
    }
    const Outcome outcome =
        noBestFit ? NarrowEach(cd, back, points, defaultChar, defaultLen, usedDefault, sink)
                  : NarrowBlock(cd, points, defaultChar, defaultLen, usedDefault, sink);
    if (outcome != Outcome::kOk) return outcome;
  }
  return Outcome::kOk;
}

int Fail(DWORD error) {
  SetLastError(error);
  return 0;
}

int Finish(Outcome outcome, std::size_t size) {
  switch (outcome) {
    case Outcome::kOk:
      if (size > static_cast<std::size_t>(INT_MAX)) return Fail(ERROR_INVALID_PARAMETER);
      if (size == 0) return Fail(ERROR_NO_UNICODE_TRANSLATION);  // Windows: nothing converted
      return static_cast<int>(size);
    case Outcome::kOverflow:
      return Fail(ERROR_INSUFFICIENT_BUFFER);
    case Outcome::kInvalid:
      return Fail(ERROR_NO_UNICODE_TRANSLATION);
    case Outcome::kUnsupported:
      break;
  }
  return Fail(ERROR_INVALID_PARAMETER);
}

std::string NormaliseCharset(std::string_view name) {
  std::string out;
  for (char c : name) {
    if (c == '-' || c == '_' || c == ' ') continue;
    out.push_back(c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c);
  }
  return out;
}

}  // namespace

namespace {
// The process's ANSI code page is shared by every module of the process, as the system's is on
// Windows: each module loaded later (each has its own copy of this layer) finds the choice made
// before it in the environment.
constexpr char kProcessCodePage[] = "VELMOR_PROCESS_ACP";

UINT ProcessCodePage() {
  if (const char* chosen = std::getenv(kProcessCodePage)) {
    char* end = nullptr;
    const unsigned long value = std::strtoul(chosen, &end, 10);
    if (end != chosen && *end == '\0' && value <= 0xFFFF &&
        velmor::com::IsCodePageSupported(static_cast<UINT>(value))) {
      return static_cast<UINT>(value);
    }
  }
  return LocaleCodePage();
}
}  // namespace

UINT GetACP() {
  UINT cp = g_ansiCodePage.load(std::memory_order_relaxed);
  if (cp == 0) {
    cp = ProcessCodePage();
    UINT expected = 0;
    if (!g_ansiCodePage.compare_exchange_strong(expected, cp)) cp = expected;
  }
  return cp;
}

namespace velmor::com {

bool IsCodePageSupported(UINT codePage) {
  return codePage == CP_UTF8 || FindCodePage(codePage) != nullptr;
}

bool SetAnsiCodePage(UINT codePage) {
  if (codePage == CP_ACP) {
    unsetenv(kProcessCodePage);
    g_ansiCodePage.store(LocaleCodePage());
    return true;
  }
  if (!IsCodePageSupported(codePage)) return false;
  setenv(kProcessCodePage, std::to_string(codePage).c_str(), 1);
  g_ansiCodePage.store(codePage);
  return true;
}

UINT CodePageFromCharset(std::string_view charset) {
  const std::string name = NormaliseCharset(charset);
  struct Alias {
    const char* name;
    UINT codePage;
  };
  static constexpr Alias kAliases[] = {
      {"UTF8", CP_UTF8},      {"GBK", 936},           {"GB2312", 936},
      {"GB18030", 936},       {"CP936", 936},         {"EUCCN", 936},
      {"CP1252", 1252},       {"WINDOWS1252", 1252},  {"CP1251", 1251},
      {"WINDOWS1251", 1251},  {"CP1250", 1250},       {"WINDOWS1250", 1250},
      {"CP1253", 1253},       {"CP1254", 1254},       {"CP1257", 1257},
      {"BIG5", 950},          {"BIG5HKSCS", 950},     {"CP950", 950},
      {"EUCKR", 949},         {"CP949", 949},         {"SHIFTJIS", 932},
      {"SJIS", 932},          {"CP932", 932},         {"EUCJP", 932},
      {"KOI8R", 20866},       {"ISO88591", 28591},    {"ISO88595", 28595},
      {"CP866", 866},         {"IBM866", 866},        {"TIS620", 874},
      {"CP874", 874},
  };
  for (const auto& alias : kAliases) {
    if (name == alias.name) return alias.codePage;
  }
  return CP_UTF8;
}

}  // namespace velmor::com

namespace {
// The two conversions are the layer's C-style entry points: a failed allocation inside (the
// per-thread iconv cache, the code-point copy) becomes 0 with ERROR_NOT_ENOUGH_MEMORY, not an
// exception.
constexpr velmor::com::LastErrorEntry<int> kConversionEntry{0, ERROR_NOT_ENOUGH_MEMORY,
                                                           ERROR_NOT_ENOUGH_MEMORY};
}  // namespace

int MultiByteToWideChar(UINT codePage, DWORD flags, LPCSTR multiByte, int cbMultiByte,
                        LPWSTR wide, int cchWide) {
  return velmor::platform::Guard(kConversionEntry, [&]() -> int {
    if (multiByte == nullptr || cbMultiByte == 0 || cbMultiByte < -1 || cchWide < 0 ||
        (wide == nullptr && cchWide != 0)) {
      return Fail(ERROR_INVALID_PARAMETER);
    }
    if ((flags & ~MB_ERR_INVALID_CHARS) != 0) return Fail(ERROR_INVALID_FLAGS);
    const UINT cp = ResolveCodePage(codePage);
    const std::size_t n = cbMultiByte == -1 ? std::strlen(multiByte) + 1
                                            : static_cast<std::size_t>(cbMultiByte);
    const bool strict = (flags & MB_ERR_INVALID_CHARS) != 0;
    WideSink sink(cchWide == 0 ? nullptr : wide, static_cast<std::size_t>(cchWide));
    Outcome outcome;
    if (cp == CP_UTF8) {
      outcome = Utf8ToWide(reinterpret_cast<const unsigned char*>(multiByte), n, strict, sink);
    } else if (const CodePageInfo* info = FindCodePage(cp)) {
      outcome = LegacyToWide(*info, multiByte, n, strict, sink);
    } else {
      return Fail(ERROR_INVALID_PARAMETER);
    }
    return Finish(outcome, sink.size());
  });
}

int WideCharToMultiByte(UINT codePage, DWORD flags, LPCWSTR wide, int cchWide, LPSTR multiByte,
                        int cbMultiByte, LPCSTR defaultChar, BOOL* usedDefaultChar) {
  return velmor::platform::Guard(kConversionEntry, [&]() -> int {
    if (wide == nullptr || cchWide == 0 || cchWide < -1 || cbMultiByte < 0 ||
        (multiByte == nullptr && cbMultiByte != 0)) {
      return Fail(ERROR_INVALID_PARAMETER);
    }
    const UINT cp = ResolveCodePage(codePage);
    std::size_t n;
    if (cchWide == -1) {
      n = 0;
      while (wide[n] != 0) ++n;
      ++n;  // the terminator is converted and counted
    } else {
      n = static_cast<std::size_t>(cchWide);
    }
    ByteSink sink(cbMultiByte == 0 ? nullptr : multiByte, static_cast<std::size_t>(cbMultiByte));
    Outcome outcome;
    if (cp == CP_UTF8) {
      // UTF-8 has no default character: Windows refuses one.
      if (defaultChar != nullptr || usedDefaultChar != nullptr) {
        return Fail(ERROR_INVALID_PARAMETER);
      }
      if ((flags & ~WC_ERR_INVALID_CHARS) != 0) return Fail(ERROR_INVALID_FLAGS);
      outcome = WideToUtf8(wide, n, (flags & WC_ERR_INVALID_CHARS) != 0, sink);
    } else if (const CodePageInfo* info = FindCodePage(cp)) {
      if ((flags & ~WC_NO_BEST_FIT_CHARS) != 0) return Fail(ERROR_INVALID_FLAGS);
      bool used = false;
      outcome = WideToLegacy(*info, wide, n, (flags & WC_NO_BEST_FIT_CHARS) != 0,
                             defaultChar != nullptr ? defaultChar : "?", used, sink);
      if (usedDefaultChar != nullptr) *usedDefaultChar = used ? TRUE : FALSE;
    } else {
      return Fail(ERROR_INVALID_PARAMETER);
    }
    return Finish(outcome, sink.size());
  });
}
