// The SignData and CN properties: the text to sign with its block layout, and the naming of the
// signer certificate.
#include <algorithm>
#include <cstring>
#include <optional>
#include <string_view>

#include "certs/find.h"
#include "codec/codec.h"
#include "signing/signer.h"
#include "signing/signing.h"

namespace velmor {
namespace {

constexpr std::string_view kSeparator = "~!~";
constexpr std::size_t kBlock = 64;
// A CN value of this many characters or more is a Base64 certificate, not a CNText.
constexpr std::size_t kCertificateFormLength = 256;
// Lengths in a CNText must stay below these, so that each part fits its buffer.
constexpr int kSubjectLimit = 80;
constexpr int kSerialLimit = 40;
// The subject name written from a certificate is cut to this many bytes, terminator included.
constexpr DWORD kSubjectNameSize = 1024;

// The SignData getter's codes.
enum class SignDataCode {
  kNoContext = 1,  // with the last error
  kNoStore = 2,
  kNoSigner = 3,
  kNoSignatureSize = 4,
  kNoMemory = 5,  // for the signature or the result
  kSignFailed = 6,
  kNoKeyContainer = 90,  // with the last error
  kNoHash = 92,          // with the last error
  kHashFailed = 93,
  kNoKeyRecord = 99,
  kEmpty = 100,  // there is no text to sign
  kKeyRecordNoMemory = 100,
};
constexpr SignerCodes kSignDataSigner{SignDataCode::kNoContext, SignDataCode::kNoStore,
                                      SignDataCode::kNoSigner};
constexpr signing::SignCodes kSignDataSign{
    {SignDataCode::kNoKeyRecord, SignDataCode::kKeyRecordNoMemory, SignDataCode::kNoKeyContainer},
    SignDataCode::kNoHash,
    SignDataCode::kNoSignatureSize,
    SignDataCode::kNoMemory,
    SignDataCode::kSignFailed};

bool IsBlank(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

// ReadLengthField: the number in the two characters of `text` at `pos`, read as a signed
// decimal the way the page writes it (blanks first, one sign, then digits up to the first
// non-digit; no digits is 0). Characters past the end of the text are not part of the field.
int ReadLengthField(std::string_view text, std::size_t pos) {
  if (pos >= text.size()) return 0;
  const std::string_view field = text.substr(pos, 2);
  std::size_t i = 0;
  while (i < field.size() && IsBlank(field[i])) ++i;
  bool negative = false;
  if (i < field.size() && (field[i] == '+' || field[i] == '-')) {
    negative = field[i] == '-';
    ++i;
  }
  int value = 0;
  for (; i < field.size() && field[i] >= '0' && field[i] <= '9'; ++i) {
    value = value * 10 + (field[i] - '0');
  }
  return negative ? -value : value;
}

// StoreCNText: splits a CNText into g_szCNSubject and g_szCN (both cleared by the caller).
// Returns whether the value was taken, i.e. whether the control counts as modified.
//
// A length that is negative or too large refuses the value, and so does a serial shorter than
// its length announces: a cut serial could name another certificate. A subject that ends early
// is taken as far as it goes, since it only ever comes back through the CN getter.
bool StoreCNText(std::string_view text) {
  const int subjectLen = ReadLengthField(text, 0);
  if (subjectLen < 0 || subjectLen >= kSubjectLimit) return false;
  const std::size_t subjectStart = 2;
  const std::size_t subjectAvailable = text.size() > subjectStart ? text.size() - subjectStart : 0;
  const std::size_t subjectTaken = std::min(static_cast<std::size_t>(subjectLen), subjectAvailable);
  // Offsets past the end of the value are never formed, not even for an empty copy.
  if (subjectTaken > 0) std::memcpy(g_szCNSubject, text.data() + subjectStart, subjectTaken);

  const std::size_t serialField = subjectStart + static_cast<std::size_t>(subjectLen);
  const int serialLen = ReadLengthField(text, serialField);
  if (serialLen < 0 || serialLen >= kSerialLimit) return false;
  const std::size_t serialStart = serialField + 2;
  const std::size_t serialAvailable = text.size() > serialStart ? text.size() - serialStart : 0;
  const auto serialCount = static_cast<std::size_t>(serialLen);
  if (serialCount > serialAvailable) return false;

  std::memset(g_szCN, 0, kSerialBufferSize);
  char* out = g_szCN;
  // Serial texts are whole bytes: an odd count is missing its leading zero.
  if (serialCount % 2 == 1) *out++ = '0';
  if (serialCount > 0) std::memcpy(out, text.data() + serialStart, serialCount);
  return true;
}

// DecodeWideCNText: a CNText given as Base64 of its UTF-16LE form, in the ANSI code page.
// nullopt when the value is not Base64 or cannot be converted.
std::optional<std::string> DecodeWideCNText(const char* value) {
  BYTE* raw = nullptr;
  DWORD rawLength = 0;
  if (Base64Decode(value, &raw, &rawLength) != 0) return std::nullopt;
  MallocBytes decoded(raw);

  std::u16string wide;
  for (DWORD i = 0; i + 1 < rawLength; i += 2) {
    const auto unit = static_cast<char16_t>(decoded.get()[i] | (decoded.get()[i + 1] << 8));
    if (unit == 0) break;
    wide.push_back(unit);
  }
  decoded.reset();
  if (wide.empty()) return std::string();

  auto text = com::WideToMultiByte(CP_ACP, wide.data(), static_cast<int>(wide.size()));
  // A converted text ends at its first zero byte, as the zero-terminated original would.
  if (text) text->resize(std::strlen(text->c_str()));
  return text;
}

// StoreCNFromCertificate: takes the common name and the serial from a Base64 DER certificate.
// A serial of more than 40 bytes does not fit g_szCN; it is left empty rather than cut, since a
// cut serial would name a different certificate.
void StoreCNFromCertificate(const char* value) {
  const UniqueCert cert = DecodeCertificate(value);
  if (!cert) return;

  char name[kSubjectNameSize] = {};
  CertNameToStrA(X509_ASN_ENCODING, &cert->pCertInfo->Subject, CERT_X500_NAME_STR, name,
                 kSubjectNameSize);
  name[kSubjectNameSize - 1] = '\0';
  if (const char* cn = FindSubjectKey(name, "CN="); cn != nullptr) {
    CopyUntilComma(g_szCNSubject, static_cast<int>(kCNSubjectSize - 1), cn);
  }

  const std::string serial = SerialHex(cert.get());
  if (serial.size() < kSerialBufferSize) std::memcpy(g_szCN, serial.data(), serial.size());
}

// StoreCN: the CN setter's work: a null value, a Base64 certificate, or a CNText given as it
// stands or as the Base64 of its UTF-16LE form.
void StoreCN(CtrlState& state, const char* value) {
  std::memset(g_szCNSubject, 0, kCNSubjectSize);
  std::memset(g_szCN, 0, kSerialBufferSize);
  if (value == nullptr) {
    std::memcpy(g_szCNSubject, "NULL", 5);
    state.SetModifiedFlag();
    return;
  }
  const std::size_t length = std::strlen(value);
  if (length >= kCertificateFormLength) {
    StoreCNFromCertificate(value);
    state.SetModifiedFlag();
    return;
  }

  std::string text;
  if (length >= 5 && std::memcmp(value + 2, "CN=", 3) == 0) {
    text.assign(value, length);
  } else {
    std::optional<std::string> decoded = DecodeWideCNText(value);
    if (!decoded) return;
    text = std::move(*decoded);
  }
  if (StoreCNText(text)) state.SetModifiedFlag();
}

}  // namespace

// SetSignData allocates nothing and cannot fail: it needs no frame.
void SetSignData(CtrlState& state, const char* value) {
  std::memset(g_szSignData, 0, kSignDataSize);
  // Nothing, an empty text and one too long for the buffer all leave it empty.
  if (value == nullptr) return;
  const std::size_t length = std::strlen(value);
  if (length == 0 || length >= kSignDataSize) return;

  const std::string_view text(value, length);
  const std::size_t separator = text.find(kSeparator);
  if (separator == std::string_view::npos) {
    std::memcpy(g_szSignData, value, length);
  } else {
    // Pad the part before the first separator so that it and the separator fill whole blocks.
    const std::size_t remainder = (separator + kSeparator.size()) % kBlock;
    const std::size_t blanks = remainder == 0 ? 0 : kBlock - remainder;
    const std::size_t tail = length - separator;
    if (separator + blanks + tail >= kSignDataSize) return;
    std::memcpy(g_szSignData, value, separator);
    std::memset(g_szSignData + separator, ' ', blanks);
    std::memcpy(g_szSignData + separator + blanks, value + separator, tail);
  }
  state.SetModifiedFlag();
}

std::string GetSignData(CtrlState& state) {
  return RunOperation(state, SignDataCode::kNoMemory, [&](Operation& op) {
    const char* const text = op.in().SignData();
    if (text[0] == '\0') return ResultString::Failure(SignDataCode::kEmpty);
    if (Outcome step = op.OpenSigner(kSignDataSigner); step.Failed()) {
      return std::move(step).Answer();
    }
    signing::Signature signature;
    // A token's PIN dialog shows the start of the text the user is about to sign.
    if (Outcome step = signing::SignWithSignerKey(
            op, kSignDataSign, signing::HashText(text, SignDataCode::kHashFailed), text, signature);
        step.Failed()) {
      return std::move(step).Answer();
    }
    const std::string_view signedText(text);
    const std::string hex = signing::SignatureHex(signature);
    return ResultString('A', ResultString::FieldSize(signedText.size()) +
                                 ResultString::FieldSize(hex.size()))
        .Field(signedText)
        .Field(hex)
        .Take();
  });
}

void SetCN(CtrlState& state, const char* value) {
  RunSetter([&] { StoreCN(state, value); },
            [] {
              // Only memory can run out here; the value is then refused as a whole.
              std::memset(g_szCNSubject, 0, kCNSubjectSize);
              std::memset(g_szCN, 0, kSerialBufferSize);
            });
}

std::string GetCN(CtrlState& state) {
  return RunOperation(state, kAnswerEmpty, [](Operation& op) {
    const std::string_view subject = op.in().CNSubject().substr(0, kCNSubjectSize - 1);
    const std::string_view serial = op.in().CN().substr(0, kSerialBufferSize - 1);
    if (subject.empty() || serial.empty()) return std::string();
    char text[kCNSubjectSize + kSerialBufferSize + 16];
    std::snprintf(text, sizeof text, "%02d%.*s%02d%.*s", static_cast<int>(subject.size()),
                  static_cast<int>(subject.size()), subject.data(), static_cast<int>(serial.size()),
                  static_cast<int>(serial.size()), serial.data());
    return std::string(text);
  });
}

}  // namespace velmor
