// The EncryptCN, DecryptCN and IssuerCN properties.
#include <cstring>

#include "certs/find.h"
#include "certs/operation.h"
#include "certs/properties.h"
#include "certs/internal.h"
#include "codec/codec.h"

namespace velmor {
namespace {
using namespace certs_internal;

// Shorter texts are serial texts; from this length on a value is a Base64 certificate. Lengths
// in between are refused.
constexpr std::size_t kCertificateTextMin = 256;

void StoreText(char (&buffer)[kSerialBufferSize], std::string_view text) {
  std::memset(buffer, 0, sizeof buffer);
  std::memcpy(buffer, text.data(), text.size());
}

// StoreSerialText: a serial text of fewer than 81 characters; an odd digit count gets a leading
// "0" so that the text pairs up into bytes as a SerialHex does.
void StoreSerialText(char (&buffer)[kSerialBufferSize], const char* text, std::size_t length) {
  std::memset(buffer, 0, sizeof buffer);
  std::size_t at = 0;
  if (length % 2 != 0) buffer[at++] = '0';
  std::memcpy(buffer + at, text, length);
}

// StoreCertificateSerial: the SerialHex of a Base64 certificate. A serial number too long for
// the buffer (over 40 bytes) could never be named anyway: the buffer then keeps its value,
// as it does for text that is no certificate.
void StoreCertificateSerial(char (&buffer)[kSerialBufferSize], const char* base64) {
  UniqueCert cert = DecodeCertificate(base64);
  if (!cert) return;
  const std::string serial = SerialHex(cert.get());
  if (serial.empty() || serial.size() >= kSerialBufferSize) return;
  StoreText(buffer, serial);
}

void SetSerialProperty(CtrlState& state, char (&buffer)[kSerialBufferSize], const char* value) {
  if (value == nullptr) {
    StoreText(buffer, "NULL");
  } else {
    const std::size_t length = std::strlen(value);
    if (length < kSerialBufferSize) {
      StoreSerialText(buffer, value, length);
    } else if (length >= kCertificateTextMin) {
      StoreCertificateSerial(buffer, value);
    }
  }
  state.SetModifiedFlag();
}

// StoreEncryptCN: the recipient a value names: a "PK:" public-key blob, a serial text, or a
// Base64 certificate whose own key is used.
void StoreEncryptCN(CtrlState& state, const char* value) {
  if (value == nullptr) {
    StoreText(g_szEncryptCN, "NULL");
  } else if (std::strncmp(value, "PK:", 3) == 0) {
    BYTE* blob = nullptr;
    DWORD length = 0;
    if (Base64Decode(value + 3, &blob, &length) == 0) {
      state.m_pEncryptKeyBlob = blob;
      state.m_cbEncryptKeyBlob = length;
    }
  } else {
    const std::size_t length = std::strlen(value);
    if (length < kSerialBufferSize) {
      StoreSerialText(g_szEncryptCN, value, length);
    } else if (length >= kCertificateTextMin) {
      // The certificate is kept whole and its own key used; g_szEncryptCN stays as it was.
      state.m_pEncryptCert = DecodeCertificate(value).release();
    }
  }
  state.SetModifiedFlag();
}

// ReportInput: a getter that reports one of the stored texts as set.
std::string ReportInput(CtrlState& state, std::string_view (Inputs::*text)() const) {
  return RunOperation(state, kAnswerEmpty,
                      [&](Operation& op) { return std::string((op.in().*text)()); });
}

}  // namespace

// A setter that runs out of memory has refused the value: the buffer keeps its old text, and
// EncryptCN has no recipient, as after any value it cannot use.
void SetDecryptCN(CtrlState& state, const char* value) {
  RunSetter([&] { SetSerialProperty(state, g_szDecryptCN, value); });
}

void SetIssuerCN(CtrlState& state, const char* value) {
  RunSetter([&] { SetSerialProperty(state, g_szIssuerCN, value); });
}

void SetEncryptCN(CtrlState& state, const char* value) {
  // Every assignment starts afresh: whatever it leaves decides where the recipient key comes
  // from.
  state.ReleaseRecipient();
  RunSetter([&] { StoreEncryptCN(state, value); });
}

std::string GetEncryptCN(CtrlState& state) { return ReportInput(state, &Inputs::EncryptCN); }
std::string GetDecryptCN(CtrlState& state) { return ReportInput(state, &Inputs::DecryptCN); }
std::string GetIssuerCN(CtrlState& state) { return ReportInput(state, &Inputs::IssuerCN); }

}  // namespace velmor
