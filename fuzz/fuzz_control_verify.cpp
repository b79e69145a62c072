// VerifySignature and VerifyPKCS7 with arbitrary arguments, through IDispatch on a store whose
// issuer signed the seeds' signer.
//
// Input: a selector byte, then message and signature as zero-ended UTF-8 texts, then the
// certificate (the rest). Selector bit 0: VerifyPKCS7 of the message instead of VerifySignature;
// bit 1: VerifySignature takes the real signer's certificate, VerifyPKCS7 a fuzzed IssuerCN (the
// signature field) instead of the real issuer's serial; bits 2-3: which of the three arguments
// is absent (0: none).
//
// With the real signer's certificate, the verdict is checked against OpenSSL: a signature of
// the key's size is accepted exactly when OpenSSL accepts it.
#include <openssl/evp.h>
#include <openssl/x509.h>

#include "fuzz/control_fixture.h"
#include "fuzz/prologue.h"
#include "tests/support/owners.h"

namespace {

using namespace velmor;
using namespace velmor::fuzz;
using namespace velmor::testing::owners;

enum Field { kMessage, kSignature, kCertificate, kFieldCount };

// OpenSslVerifies: whether `signature` (most significant byte first) is the signer key's
// PKCS #1 v1.5 signature over the MD5 of `message`.
bool OpenSslVerifies(const std::string& message, const std::vector<unsigned char>& signature) {
  const auto& der = Fixture::Get().pki().signer.key.publicDer;
  const unsigned char* p = der.data();
  const Pkey key(d2i_PUBKEY(nullptr, &p, static_cast<long>(der.size())));
  const MdCtx ctx(EVP_MD_CTX_new());
  Check(key && ctx && EVP_DigestVerifyInit(ctx.get(), nullptr, EVP_md5(), nullptr, key.get()) == 1,
        "EVP_DigestVerifyInit");
  return EVP_DigestVerify(ctx.get(), signature.data(), signature.size(),
                          reinterpret_cast<const unsigned char*>(message.data()),
                          message.size()) == 1;
}

std::optional<std::vector<unsigned char>> HexBytes(std::string_view hex) {
  if (hex.size() % 2 != 0) return std::nullopt;
  std::vector<unsigned char> out;
  for (std::size_t i = 0; i < hex.size(); i += 2) {
    unsigned value = 0;
    for (char c : hex.substr(i, 2)) {
      const int digit = c >= '0' && c <= '9'   ? c - '0'
                        : c >= 'a' && c <= 'f' ? c - 'a' + 10
                        : c >= 'A' && c <= 'F' ? c - 'A' + 10
                                               : -1;
      if (digit < 0) return std::nullopt;
      value = value * 16 + static_cast<unsigned>(digit);
    }
    out.push_back(static_cast<unsigned char>(value));
  }
  return out;
}

void CheckVerifySignature(IDispatch* d, const Frame& frame) {
  const Fixture& fixture = Fixture::Get();
  const bool realCert = (frame.selector & 2) != 0;
  const unsigned absent = (frame.selector >> 2) & 3;
  std::vector<std::optional<std::u16string>> args = {
      Widen(frame.fields[kMessage]), Widen(frame.fields[kSignature]),
      Widen(realCert ? testing::CertBase64(fixture.pki().signer) : frame.fields[kCertificate])};
  if (absent != 0) args[absent - 1].reset();
  const std::u16string verdict = Call(d, DISPID_VerifySignature, args);
  Check(verdict == u"A:0000" || IsFailure(verdict), "VerifySignature: neither A:0000 nor E:");
  if (absent != 0) {
    Check(FailureCode(verdict) == 48, "VerifySignature: an absent argument is not E:0048");
    return;
  }
  const std::string signature = Narrow(*args[1]);
  const std::string certificate = Narrow(*args[2]);
  if (signature.size() >= 4098) {
    Check(FailureCode(verdict) == 49, "VerifySignature: 4098 digits or more are not E:0049");
    return;
  }
  if (certificate != testing::CertBase64(fixture.pki().signer)) return;
  const auto bytes = HexBytes(signature);
  if (!bytes) {
    Check(verdict != u"A:0000", "VerifySignature accepts a signature that is not hexadecimal");
    return;
  }
  if (bytes->size() != 128) return;  // the key's size; other lengths are the platform's call
  const bool expected = OpenSslVerifies(Narrow(*args[0]), *bytes);
  Check(expected == (verdict == u"A:0000"), "VerifySignature disagrees with OpenSSL");
}

void CheckVerifyPKCS7(IDispatch* d, const Frame& frame) {
  const Fixture& fixture = Fixture::Get();
  const bool realIssuer = (frame.selector & 2) == 0;
  Put(d, DISPID_IssuerCN,
      Widen(realIssuer ? fixture.pki().ca.serialHex : frame.fields[kSignature]));
  std::optional<std::u16string> message = Widen(frame.fields[kMessage]);
  if (((frame.selector >> 2) & 3) != 0) message.reset();
  const std::u16string verdict = Call(d, DISPID_VerifyPKCS7, {message});
  if (IsFailure(verdict)) return;
  Check(TypedFields(Narrow(verdict), 'A', 1, true).has_value(),
        "VerifyPKCS7: neither A: with the content nor E:");
}

int Init() {
  Fixture::Get();
  return 0;
}

int Run(const std::uint8_t* data, std::size_t size) {
  const RunGuard guard;
  const Frame frame = Split(data, size, kFieldCount);
  const auto d = NewControl();
  if ((frame.selector & 1) == 0) {
    CheckVerifySignature(d.get(), frame);
  } else {
    CheckVerifyPKCS7(d.get(), frame);
  }
  return 0;
}

}  // namespace

const velmor::fuzz::Target velmor::fuzz::kTarget = {
    .minInput = 0, .maxInput = kMaxControlInput, .init = Init, .run = Run};
