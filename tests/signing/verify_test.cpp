// VerifySignature and VerifyPKCS7 against signatures and messages that the `openssl` tool made,
// and against the signing operations' own results.
#include "tests/signing/fixture.h"

namespace velmor::testing {
namespace {

class VerifyTest : public SigningTest {
 protected:
  // OpensslSignatureHex: `openssl dgst -md5 -sign` over `text` with the certificate's key, as
  // SignatureHex digits (most significant byte first).
  std::string OpensslSignatureHex(const TestCert& cert, const std::string& text) {
    WriteFile(Dir() / "key.pem", cert.key.privatePem);
    WriteFile(Dir() / "text.bin", text);
    const CommandResult r = velmor::testing::Run("openssl dgst -md5 -sign '" + (Dir() / "key.pem").string() +
                                "' -out '" + (Dir() / "sig.bin").string() + "' '" +
                                (Dir() / "text.bin").string() + "'");
    EXPECT_EQ(r.status, 0) << r.output;
    const std::vector<std::uint8_t> sig = ReadFile(Dir() / "sig.bin");
    return BytesToHex(sig.data(), sig.size(), true);
  }

  // OpensslMessage: `openssl cms -sign -md md5 -noattr -nodetach` of `text` by `signer`, as one
  // line of Base64.
  std::string OpensslMessage(const TestCert& signer, const std::string& text) {
    WriteFile(Dir() / "signer.pem", signer.pem());
    WriteFile(Dir() / "signer-key.pem", signer.key.privatePem);
    WriteFile(Dir() / "content.bin", text);
    const CommandResult r = velmor::testing::Run(
        "openssl cms -sign -md md5 -noattr -nodetach -binary -outform DER -signer '" +
        (Dir() / "signer.pem").string() + "' -inkey '" + (Dir() / "signer-key.pem").string() +
        "' -in '" + (Dir() / "content.bin").string() + "' -out '" +
        (Dir() / "message.der").string() + "'");
    EXPECT_EQ(r.status, 0) << r.output;
    return EncodeBase64(ReadFile(Dir() / "message.der"));
  }

  std::string Verify(const char* message, const char* signature, const char* certificate) {
    return Call([&](CtrlState& s) { return VerifySignature(s, message, signature, certificate); });
  }
};

TEST_F(VerifyTest, SignatureFromThePeer) {
  const TestCert cert = MakeSigner(2048);
  const std::string cert64 = CertBase64(cert);
  const std::string text = "pay 100.00 to 1234-5678";
  std::string hex = OpensslSignatureHex(cert, text);
  EXPECT_EQ(Verify(text.c_str(), hex.c_str(), cert64.c_str()), "A:0000");
  EXPECT_EQ(Verify("pay 900.00 to 1234-5678", hex.c_str(), cert64.c_str()), "E:0007");
  for (char& c : hex) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  EXPECT_EQ(Verify(text.c_str(), hex.c_str(), cert64.c_str()), "A:0000");
  // Least significant byte first, as the platform's own output reads, is another number.
  const std::vector<std::uint8_t> bytes = HexToBytes(hex);
  const std::vector<std::uint8_t> reversed(bytes.rbegin(), bytes.rend());
  EXPECT_EQ(Verify(text.c_str(), BytesToHex(reversed.data(), reversed.size()).c_str(),
                   cert64.c_str()),
            "E:0007");
  // Another key's certificate.
  CertSpec otherSpec = Spec("/CN=Bob/OU=QVA", {}, 1024);
  otherSpec.key = MakeKey(1024, true);
  const std::string other = CertBase64(MakeCert(otherSpec));
  EXPECT_EQ(Verify(text.c_str(), hex.c_str(), other.c_str()), "E:0007");
}

// The Signature getter's digits, the stored text and SignCert without its line feeds verify;
// a text beyond ASCII does not, since VerifySignature hashes its UTF-8 form.
TEST_F(VerifyTest, SignatureGetterWithSignCert) {
  ImportSigner(1024);
  std::string cert64 = Call(SignCert);
  ASSERT_NE(cert64.find('\n'), std::string::npos);
  SetSignData(state_, "transfer 42");
  const std::string hex = Call(GetSignature).substr(10);
  EXPECT_EQ(Verify("transfer 42", hex.c_str(), cert64.c_str()), "E:0051");
  std::erase(cert64, '\n');
  EXPECT_EQ(Verify("transfer 42", hex.c_str(), cert64.c_str()), "A:0000");
}

struct VerifyInputCase {
  const char* name;
  const char* message;
  std::string signature;
  std::string certificate;  // "cert" stands for a real certificate's Base64
  const char* expected;
};
class VerifyInputTest : public VerifyTest, public ::testing::WithParamInterface<VerifyInputCase> {};

TEST_P(VerifyInputTest, Answers) {
  const VerifyInputCase& c = GetParam();
  const std::string real = CertBase64(MakeSigner(1024));
  const std::string certificate = c.certificate == "cert" ? real : c.certificate;
  EXPECT_EQ(Verify(c.message, c.signature.c_str(), certificate.c_str()), c.expected);
}
INSTANTIATE_TEST_SUITE_P(
    Inputs, VerifyInputTest,
    ::testing::Values(
        VerifyInputCase{"SignatureTooLong", "x", std::string(4098, 'A'), "cert", "E:0049"},
        // 4097 digits pass the length check and decode into 2048 bytes that do not verify.
        VerifyInputCase{"LongestSignature", "x", std::string(4097, 'A'), "cert", "E:0007"},
        VerifyInputCase{"NotHex", "x", "ABCG", "cert", "E:0050"},
        VerifyInputCase{"BlankInSignature", "x", "AB CD", "cert", "E:0050"},
        VerifyInputCase{"LineFeedInCertificate", "x", "ABCD", "MIIB\nAAAA", "E:0051"},
        VerifyInputCase{"EmptyCertificate", "x", "ABCD", "", "E:0003"},
        VerifyInputCase{"NoCertificate", "x", "ABCD", "QUJDRA==", "E:0003"},
        VerifyInputCase{"EmptySignature", "x", "", "cert", "E:0006"},
        VerifyInputCase{"SingleDigit", "x", "A", "cert", "E:0006"}),
    [](const ::testing::TestParamInfo<VerifyInputCase>& p) { return std::string(p.param.name); });

TEST_F(VerifyTest, NullArguments) {
  EXPECT_EQ(Verify(nullptr, "AB", "AB"), "E:0048");
  EXPECT_EQ(Verify("x", nullptr, "AB"), "E:0048");
  EXPECT_EQ(Verify("x", "AB", nullptr), "E:0048");
}

// A message from the peer, its signer issued by a CA in "Root": the content comes back; an
// expired signer, an issuer that no store holds and a tampered message each have their code.
TEST_F(VerifyTest, MessageFromThePeer) {
  const TestCert ca = MakeCert(Spec("/CN=Demo CA/O=Tarnvik Bank", {0x0c, 0xa1}, 2048));
  AddToStore("Root", ca);
  CertSpec signerSpec = Spec("/CN=Alice/OU=QVA", {0x51}, 2048);
  signerSpec.issuer = &ca;
  const TestCert signer = MakeCert(signerSpec);
  CertSpec expiredSpec = signerSpec;
  expiredSpec.serial = {0x52};
  expiredSpec.notBeforeOffsetSeconds = -7200;
  expiredSpec.notAfterOffsetSeconds = -3600;
  const TestCert expired = MakeCert(expiredSpec);

  const std::string text = "order 7 of 12 ~!~ signed";
  const std::string message = OpensslMessage(signer, text);
  const auto verify = [&](const std::string& m) {
    return Call([&](CtrlState& s) { return VerifyPKCS7(s, m.c_str()); });
  };
  EXPECT_EQ(verify(message), "E:0013");  // IssuerCN not set yet
  SetIssuerCN(state_, ca.serialHex.c_str());
  EXPECT_EQ(verify(message), "A:00000024" + text);
  EXPECT_EQ(verify(OpensslMessage(expired, text)), "E:0006");

  std::vector<std::uint8_t> der = DecodeBase64(message);
  const std::size_t at = std::string(der.begin(), der.end()).find("order 7");
  ASSERT_NE(at, std::string::npos);
  der[at] ^= 0x01;
  EXPECT_EQ(verify(EncodeBase64(der)), "E:0002");
  EXPECT_EQ(verify(""), "E:0002");
  EXPECT_EQ(verify("MIIB!"), "E:0001");

  // An issuer that none of CA, Root and Trust holds.
  const TestCert stranger = MakeCert(Spec("/CN=Other CA", {0x0c, 0xa2}, 1024));
  SetIssuerCN(state_, stranger.serialHex.c_str());
  EXPECT_EQ(verify(message), "E:0013");
}

// A PKCS7Data result verifies and gives the stored text back; its content with a zero byte is
// counted whole and shown up to the zero.
TEST_F(VerifyTest, OwnMessageRoundTrip) {
  const TestCert cert = ImportSigner(1024);
  AddToStore("CA", cert);
  SetIssuerCN(state_, cert.serialHex.c_str());
  SetSignData(state_, "abc");
  const std::string message = Call(PKCS7Data);
  EXPECT_EQ(Call([&](CtrlState& s) { return VerifyPKCS7(s, message.c_str()); }), "A:00000003abc");

  const TestCert ca = MakeCert(Spec("/CN=Zero CA", {0x0c, 0xa3}, 1024));
  AddToStore("Trust", ca);
  CertSpec spec = Spec("/CN=Alice/OU=QVA", {0x53}, 1024);
  spec.issuer = &ca;
  SetIssuerCN(state_, ca.serialHex.c_str());
  const std::string withZero = OpensslMessage(MakeCert(spec), std::string("ab\0cd", 5));
  EXPECT_EQ(Call([&](CtrlState& s) { return VerifyPKCS7(s, withZero.c_str()); }),
            "A:00000005ab");
}

}  // namespace
}  // namespace velmor::testing
