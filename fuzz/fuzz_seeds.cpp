// fuzz_seeds OUTDIR [CERT.der ...]: writes the seed corpora of the control fuzzers into
// OUTDIR/<target>/, made by driving a control on the same store the fuzzers build (same derived
// keys, same serials): real signatures, messages and envelopes, framed as each target reads
// its input. The certificates named on the command line (made by the openssl tool) become seeds
// for the certificate arguments.
#include <cstdio>
#include <fstream>
#include <iostream>
#include <iterator>

#include "codec/codec.h"
#include "fuzz/control_fixture.h"

namespace {

using namespace velmor;
using namespace velmor::fuzz;

std::filesystem::path g_out;

void Seed(const char* target, const std::string& name, const std::string& bytes) {
  const std::filesystem::path dir = g_out / target;
  std::filesystem::create_directories(dir);
  std::ofstream out(dir / name, std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  Check(static_cast<bool>(out), "cannot write a seed");
}

std::string ReadAll(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  Check(static_cast<bool>(in), "cannot read a file");
  return std::string(std::istreambuf_iterator<char>(in), {});
}

std::string Bytes(const std::vector<std::uint8_t>& v) { return std::string(v.begin(), v.end()); }

std::string Unbase64(const std::string& text) {
  BYTE* raw = nullptr;
  DWORD length = 0;
  Check(Base64Decode(text.c_str(), &raw, &length) == kBase64Ok, "Base64Decode");
  const MallocBytes bytes(raw);
  return std::string(reinterpret_cast<const char*>(bytes.get()), length);
}

std::string OneLine(const std::u16string& text) {
  std::string out = Narrow(text);
  std::erase(out, '\n');
  return out;
}

// PublicKeyBlob: the "PK:" form of EncryptCN for the recipient, exported by the platform layer.
std::string PublicKeyBlob(const testing::TestCert& cert) {
  HCRYPTPROV prov = 0;
  Check(CryptAcquireContextA(&prov, nullptr, nullptr, PROV_RSA_FULL, CRYPT_VERIFYCONTEXT) != FALSE,
        "CryptAcquireContextA");
  PCCERT_CONTEXT context =
      CertCreateCertificateContext(X509_ASN_ENCODING, cert.der.data(), static_cast<DWORD>(cert.der.size()));
  Check(context != nullptr, "CertCreateCertificateContext");
  HCRYPTKEY key = 0;
  const BOOL imported =
      CryptImportPublicKeyInfo(prov, X509_ASN_ENCODING, &context->pCertInfo->SubjectPublicKeyInfo, &key);
  CertFreeCertificateContext(context);
  Check(imported != FALSE, "CryptImportPublicKeyInfo");
  DWORD size = 0;
  CryptExportKey(key, 0, PUBLICKEYBLOB, 0, nullptr, &size);
  std::string blob(size, '\0');
  const BOOL exported = CryptExportKey(key, 0, PUBLICKEYBLOB, 0, reinterpret_cast<BYTE*>(blob.data()), &size);
  CryptDestroyKey(key);
  CryptReleaseContext(prov, 0);
  Check(exported != FALSE, "CryptExportKey");
  blob.resize(size);
  return "PK:" + Base64(blob);
}

void SetterSeeds(IDispatch* d) {
  const Fixture& fixture = Fixture::Get();
  const std::string cn = fixture.SignerCNText();
  const std::string recipient = fixture.pki().recipient.serialHex;
  const std::string ca = fixture.pki().ca.serialHex;
  const char* names[] = {"input-getters", "signdata",  "signature",  "pkcs7",     "signcert",
                         "signfile",      "signfile-name", "provider", "certlist",  "encrypt",
                         "encryptfile",   "copyright", "everything", "cp1252",    "cp936",
                         "cp932"};
  for (unsigned reader = 0; reader < 16; ++reader) {
    const std::string rest = reader == 6 ? "missing.pdf" : "Hello, world \u00e9\u20ac";
    Seed("fuzz_control_setters", names[reader],
         JoinFrame(static_cast<std::uint8_t>(reader << 4), {cn, "abc", recipient, recipient, ca, rest}));
  }
  const std::string layout = "header~!~body~!~tail";
  Seed("fuzz_control_setters", "signdata-layout",
       JoinFrame(1 << 4, {cn, layout, recipient, recipient, ca, ""}));
  Seed("fuzz_control_setters", "pkcs7-layout", JoinFrame(3 << 4, {cn, layout, recipient, recipient, ca, ""}));
  // Fuzzed names, starting from the forms each setter takes.
  std::u16string wide = Widen(cn);
  std::string utf16le;
  for (char16_t unit : wide) {
    utf16le += static_cast<char>(unit & 0xFF);
    utf16le += static_cast<char>(unit >> 8);
  }
  const std::string signerB64 = testing::CertBase64(fixture.pki().signer);
  const std::string recipientB64 = testing::CertBase64(fixture.pki().recipient);
  Seed("fuzz_control_setters", "cn-text", JoinFrame(1 | 1 << 4, {cn, "abc", recipient, recipient, ca, ""}));
  Seed("fuzz_control_setters", "cn-wide", JoinFrame(1 | 1 << 4, {Base64(utf16le), "abc", recipient, recipient, ca, ""}));
  Seed("fuzz_control_setters", "cn-cert", JoinFrame(1 | 4 << 4, {signerB64, "abc", recipient, recipient, ca, ""}));
  Seed("fuzz_control_setters", "encryptcn-cert",
       JoinFrame(2 | 9 << 4, {cn, "abc", recipientB64, recipient, ca, "sealed for a certificate"}));
  Seed("fuzz_control_setters", "encryptcn-pk",
       JoinFrame(2 | 9 << 4, {cn, "abc", PublicKeyBlob(fixture.pki().recipient), recipient, ca, "sealed for a key"}));
  Seed("fuzz_control_setters", "decryptcn-odd", JoinFrame(4 | 9 << 4, {cn, "abc", recipient, "abc", ca, "x"}));
  Seed("fuzz_control_setters", "issuercn-cert", JoinFrame(8 | 3 << 4, {cn, "abc", recipient, recipient, Base64(Bytes(fixture.pki().ca.der)), ""}));
  (void)d;
}

void VerifySeeds(IDispatch* d) {
  const Fixture& fixture = Fixture::Get();
  const std::string signer = testing::CertBase64(fixture.pki().signer);
  Put(d, DISPID_CN, Widen(fixture.SignerCNText()));
  const char* texts[] = {"abc", "Gr\u00fc\u00dfe \u20ac", "header~!~body"};
  int k = 0;
  for (const char* text : texts) {
    Put(d, DISPID_SignData, Widen(text));
    const auto fields = TypedFields(Narrow(Get(d, DISPID_SignData)), 'A', 2);
    Check(fields.has_value(), "SignData did not sign");
    const std::string id = std::to_string(k++);
    Seed("fuzz_control_verify", "signature-" + id, JoinFrame(0, {(*fields)[0], (*fields)[1], signer}));
    Seed("fuzz_control_verify", "signature-real-cert-" + id, JoinFrame(2, {(*fields)[0], (*fields)[1], ""}));
    const std::string message = OneLine(Call(d, DISPID_PKCS7Data, {}));
    Seed("fuzz_control_verify", "pkcs7-" + id, JoinFrame(1, {message, "", ""}));
    // The platform's own parsers take the bytes bare.
    Seed("fuzz_crypt_message", "pkcs7-" + id, Unbase64(message));
  }
  Seed("fuzz_control_verify", "pkcs7-issuer-text",
       JoinFrame(3, {OneLine(Call(d, DISPID_PKCS7Data, {})), fixture.pki().ca.serialHex, ""}));
  Seed("fuzz_control_verify", "absent-message", JoinFrame(4, {"abc", "00", signer}));
  Seed("fuzz_control_verify", "lower-case-digits", JoinFrame(2, {"abc", "0a1b2c3d4e5f", ""}));
}

void DecryptSeeds(IDispatch* d) {
  const Fixture& fixture = Fixture::Get();
  const std::string recipient = fixture.pki().recipient.serialHex;
  Put(d, DISPID_EncryptCN, Widen(recipient));
  Put(d, DISPID_DecryptCN, Widen(recipient));
  const std::string texts[] = {"abc", "", std::string(300, 'x'), "Gr\u00fc\u00dfe\n\u20ac"};
  int k = 0;
  for (const std::string& text : texts) {
    const std::string envelope = Narrow(Call(d, DISPID_Encrypt, {Widen(text)}));
    Check(!IsFailure(Widen(envelope)), "Encrypt failed");
    Seed("fuzz_control_decrypt", "text-" + std::to_string(k++), JoinFrame(0, {"", envelope}));
  }
  k = 0;
  for (const std::string& content : {std::string("abc"), std::string(), std::string(1000, '\0')}) {
    const std::filesystem::path in = fixture.work() / "seed.bin";
    std::ofstream(in, std::ios::binary) << content;
    Check(Call(d, DISPID_EncryptFile, {Widen(in.string())}) == u"A:0000", "EncryptFile failed");
    const std::string envelope = ReadAll(in.string() + ".enc");
    Seed("fuzz_control_decrypt", "file-" + std::to_string(k++), JoinFrame(1, {"", envelope}));
    RemoveIfPresent(in);
    RemoveIfPresent(in.string() + ".enc");
  }
  const std::string envelope = Narrow(Call(d, DISPID_Encrypt, {u"for another key"}));
  Seed("fuzz_control_decrypt", "other-key", JoinFrame(2, {fixture.pki().signer.serialHex, envelope}));
}

void CNSeeds(const std::vector<std::string>& certificates) {
  const Fixture& fixture = Fixture::Get();
  const std::string texts[] = {fixture.SignerCNText(), "08CN=Alice08010a0b0c", "05CN=A3abc",
                               " 5CN=A+2ab",           "79CN=cut short",       "03CN=04-1ab"};
  int k = 0;
  for (const std::string& text : texts) {
    const std::string id = std::to_string(k++);
    Seed("fuzz_cn_text", "text-" + id, JoinFrame(0, {text}));
    Seed("fuzz_cn_text", "wide-" + id, JoinFrame(1, {text}));
  }
  Seed("fuzz_cn_text", "text-cp936", JoinFrame(2 << 2, {"10CN=\u4e2d\u6587\u540d02ab"}));
  Seed("fuzz_cn_text", "wide-cp932", JoinFrame(1 | 3 << 2, {"10CN=\u65e5\u672c\u8a9e02ab"}));
  Seed("fuzz_cn_text", "cert-signer", JoinFrame(2, {Bytes(fixture.pki().signer.der)}));
  Seed("fuzz_crypt_certificate", "signer", Bytes(fixture.pki().signer.der));
  k = 0;
  for (const std::string& der : certificates) {
    const std::string id = std::to_string(k++);
    Seed("fuzz_cn_text", "cert-openssl-" + id, JoinFrame(2, {der}));
    Seed("fuzz_crypt_certificate", "openssl-" + id, der);
  }
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    std::cerr << "usage: fuzz_seeds OUTDIR [CERT.der ...]\n";
    return 2;
  }
  g_out = argv[1];
  std::vector<std::string> certificates;
  for (int i = 2; i < argc; ++i) certificates.push_back(ReadAll(argv[i]));
  try {
    Fixture::Get();
    const auto d = NewControl();
    SetterSeeds(d.get());
    VerifySeeds(d.get());
    ClearModuleBuffers();
    DecryptSeeds(d.get());
    CNSeeds(certificates);
    // The openssl tool's certificates as arguments too: a signer to verify with, a recipient.
    int k = 0;
    for (const std::string& der : certificates) {
      const std::string id = std::to_string(k++);
      Seed("fuzz_control_verify", "openssl-cert-" + id, JoinFrame(0, {"abc", std::string(256, 'A'), Base64(der)}));
    }
  } catch (const std::exception& e) {
    std::cerr << "fuzz_seeds: " << e.what() << "\n";
    return 1;
  }
  ClearModuleBuffers();
  return 0;
}
