// The CN setter's three text forms through IDispatch, each followed by the CN getter.
//
// Input: a selector byte, then the rest. Selector bits 0-1 pick the form: 0 the rest as the
// value itself (the two-field text, or anything else); 1 the Base64 of the rest's UTF-16LE
// form, built here; 2 and 3 the Base64 of the rest as certificate bytes. Bits 2-3 pick the ANSI
// code page (65001, 1252, 936, 932).
//
// The getter's answer is always empty or two fields with their lengths; where the value's two
// fields are known (a text that names "CN=" at its third character, or the Base64 form), the
// answer must be what the length rules make of them, worked out here from those rules.
#include <cstdio>
#include <cstring>

#include "fuzz/control_fixture.h"
#include "fuzz/prologue.h"

namespace {

using namespace velmor;
using namespace velmor::fuzz;

constexpr UINT kCodePages[] = {CP_UTF8, 1252, 936, 932};
constexpr std::size_t kCertificateForm = 256;

// LengthAt: the two characters at `pos` read as a page writes a length: leading blanks, one
// sign, then digits up to the first other character; no digits is 0. Characters past the end
// of the text take no part.
int LengthAt(std::string_view text, std::size_t pos) {
  if (pos >= text.size()) return 0;
  std::string field(text.substr(pos, 2));
  std::size_t i = 0;
  while (i < field.size() && std::string_view(" \t\n\v\f\r").find(field[i]) != std::string_view::npos) ++i;
  int sign = 1;
  if (i < field.size() && (field[i] == '+' || field[i] == '-')) sign = field[i++] == '-' ? -1 : 1;
  int value = 0;
  for (; i < field.size() && field[i] >= '0' && field[i] <= '9'; ++i) value = value * 10 + field[i] - '0';
  return sign * value;
}

// Expected: the CN getter's answer after the setter took the two-field text `t`.
std::string Expected(std::string_view t) {
  const int subjectLength = LengthAt(t, 0);
  if (subjectLength < 0 || subjectLength >= 80) return {};
  const std::string subject(t.substr(std::min<std::size_t>(2, t.size()), static_cast<std::size_t>(subjectLength)));
  const std::size_t serialField = 2 + static_cast<std::size_t>(subjectLength);
  const int serialLength = LengthAt(t, serialField);
  if (serialLength < 0 || serialLength >= 40) return {};
  const std::size_t serialStart = serialField + 2;
  const std::size_t available = t.size() > serialStart ? t.size() - serialStart : 0;
  if (static_cast<std::size_t>(serialLength) > available) return {};
  std::string serial(serialLength % 2 == 1 ? "0" : "");
  serial += t.substr(std::min(serialStart, t.size()), static_cast<std::size_t>(serialLength));
  if (subject.empty() || serial.empty()) return {};
  char text[256];
  std::snprintf(text, sizeof text, "%02zu%s%02zu%s", subject.size(), subject.c_str(), serial.size(),
                serial.c_str());
  return text;
}

// Digits: the number written by the first `count` characters of `text` at `at`; -1 when they are
// not all digits.
int Digits(std::string_view text, std::size_t at, std::size_t count) {
  if (text.size() < at + count) return -1;
  int value = 0;
  for (char c : text.substr(at, count)) {
    if (c < '0' || c > '9') return -1;
    value = value * 10 + c - '0';
  }
  return value;
}

// WellFormed: two fields, each a length of two digits (three from 100 on) and that many bytes,
// the subject of 1 to 255 bytes, the serial of 1 to 80; from a certificate the serial is lower-case
// hexadecimal of whole bytes.
bool WellFormed(std::string_view answer, bool fromCertificate) {
  for (std::size_t width : {2u, 3u}) {
    const int subject = Digits(answer, 0, width);
    if (subject < 1 || subject > 255 || (width == 3) != (subject >= 100)) continue;
    const std::size_t serialField = width + static_cast<std::size_t>(subject);
    for (std::size_t serialWidth : {2u, 3u}) {
      const int serial = Digits(answer, serialField, serialWidth);
      if (serial < 1 || serial > 80 || (serialWidth == 3) != (serial >= 100)) continue;
      const std::size_t serialStart = serialField + serialWidth;
      if (answer.size() - serialStart != static_cast<std::size_t>(serial)) continue;
      if (!fromCertificate) return true;
      const std::string_view hex = answer.substr(serialStart);
      if (hex.size() % 2 == 0 && hex.find_first_not_of("0123456789abcdef") == std::string_view::npos) {
        return true;
      }
    }
  }
  return false;
}

int Init() {
  Fixture::Get();
  return 0;
}

int Run(const std::uint8_t* data, std::size_t size) {
  const RunGuard guard;
  const Frame frame = Split(data, size, 1);
  const std::string& rest = frame.fields[0];
  const unsigned form = frame.selector & 3;
  const UINT codePage = kCodePages[(frame.selector >> 2) & 3];
  com::SetAnsiCodePage(codePage);

  std::u16string value;
  std::optional<std::string> text;  // the two-field text the setter must find, when known
  if (form == 0) {
    value = Widen(rest);
  } else if (form == 1) {
    const std::u16string wide = Widen(rest);
    std::string utf16le;
    for (char16_t unit : wide) {
      utf16le += static_cast<char>(unit & 0xFF);
      utf16le += static_cast<char>(unit >> 8);
    }
    value = Widen(Base64(utf16le));
    // The setter reads the UTF-16 text up to its first zero and its ANSI form up to its first
    // zero byte.
    std::string ansi = Narrow(wide.substr(0, wide.find(u'\0')), codePage);
    text = ansi.substr(0, ansi.find('\0'));
  } else {
    value = Widen(Base64(rest));
  }
  // The setter sees the value in the ANSI code page, up to its first zero byte.
  std::string ansiValue = Narrow(value, codePage);
  ansiValue.resize(std::strlen(ansiValue.c_str()));
  if (ansiValue.size() >= kCertificateForm) {
    text.reset();
  } else if (form == 0 && ansiValue.size() >= 5 && ansiValue.compare(2, 3, "CN=") == 0) {
    text = ansiValue;
  }

  const auto d = NewControl();
  Put(d.get(), DISPID_CN, value);
  const std::u16string answer = Get(d.get(), DISPID_CN);
  if (text) {
    Check(answer == Widen(Expected(*text), codePage), "CN: not what the length rules give");
  }
  // A count is of ANSI bytes: checked where the answer goes back to its bytes unchanged.
  const std::string bytes = Narrow(answer, codePage);
  if (!answer.empty() && answer.find(u'\uFFFD') == std::u16string::npos &&
      Widen(bytes, codePage) == answer) {
    Check(WellFormed(bytes, ansiValue.size() >= kCertificateForm), "CN: the answer is not two fields");
  }
  return 0;
}

}  // namespace

const velmor::fuzz::Target velmor::fuzz::kTarget = {
    .minInput = 0, .maxInput = kMaxControlInput, .init = Init, .run = Run};
