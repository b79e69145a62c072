// Encrypt and Decrypt: TextEnvelopes opened by the `openssl` tool and made by it, the three
// forms of EncryptCN, recipient key sizes, and envelopes whose length fields lie.
#include <algorithm>

#include "codec/codec.h"
#include "tests/encryption/fixture.h"

namespace velmor::testing {
namespace {

Bytes Decode(const std::string& text) {
  BYTE* raw = nullptr;
  DWORD n = 0;
  EXPECT_EQ(Base64Decode(text.c_str(), &raw, &n), kBase64Ok) << text;
  MallocBytes owned(raw);
  return raw == nullptr ? Bytes() : Bytes(raw, raw + n);
}

std::string Encode(const Bytes& bytes) {
  MallocChars text(Base64Encode(bytes.data(), static_cast<int>(bytes.size())));
  return text.get();
}

// SplitTextEnvelope: the parts of a TextEnvelope, checking both length fields.
EnvelopeParts SplitTextEnvelope(const Bytes& env) {
  EnvelopeParts parts;
  EXPECT_GE(env.size(), 16u);
  if (env.size() < 16) return parts;
  const std::size_t b = std::stoul(std::string(env.begin(), env.begin() + 8));
  EXPECT_GE(env.size(), 16 + b);
  if (env.size() < 16 + b) return parts;
  const std::size_t n = std::stoul(std::string(env.begin() + 8 + b, env.begin() + 16 + b));
  EXPECT_EQ(env.size(), 16 + b + n);
  parts.blob.assign(env.begin() + 8, env.begin() + 8 + b);
  parts.cipher.assign(env.begin() + 16 + b, env.end());
  return parts;
}

Bytes JoinTextEnvelope(const EnvelopeParts& parts) {
  std::string text = LengthField(parts.blob.size());
  text.append(parts.blob.begin(), parts.blob.end());
  text += LengthField(parts.cipher.size());
  text.append(parts.cipher.begin(), parts.cipher.end());
  return Bytes(text.begin(), text.end());
}

class TextEnvelopeTest : public EnvelopeTest {
 protected:
  std::string Seal(const std::string& plain) {
    return Call([&](CtrlState& s) { return Encrypt(s, plain.c_str()); });
  }
  std::string Open(const std::string& cipher) {
    return Call([&](CtrlState& s) { return Decrypt(s, cipher.c_str()); });
  }
};

// Envelopes both ways with the peer, for each recipient key size.
class KeySizeTest : public TextEnvelopeTest, public ::testing::WithParamInterface<int> {};

TEST_P(KeySizeTest, PeerOpensOursAndWeOpenThePeers) {
  const TestCert recipient = AddRecipient(GetParam());
  const std::string text = "IBAN DE02 1203 0000 0000 2020 51, amount 250.00";
  const std::string sealed = Seal(text);
  ASSERT_NE(sealed.rfind("E:", 0), 0u) << sealed;
  const EnvelopeParts parts = SplitTextEnvelope(Decode(sealed));
  EXPECT_EQ(parts.blob.size(), 12u + static_cast<std::size_t>(GetParam()) / 8);
  EXPECT_EQ(OpenWithOpenssl(recipient, parts), Bytes(text.begin(), text.end()));

  const std::string theirs = Encode(JoinTextEnvelope(SealWithOpenssl(recipient, Bytes(text.begin(), text.end()))));
  EXPECT_EQ(Open(theirs), "A:" + LengthField(text.size()) + text);
}
INSTANTIATE_TEST_SUITE_P(Recipients, KeySizeTest, ::testing::Values(1024, 2048, 4096));

TEST_F(TextEnvelopeTest, RoundTripsAndItsForms) {
  AddRecipient();
  const std::string sealed = Seal(std::string(200, 'x'));
  // Base64 with a line feed after every 72 characters; without them, or with CR LF, it opens.
  EXPECT_EQ(sealed.find('\n'), 72u);
  std::string flat = sealed;
  std::erase(flat, '\n');
  std::string crlf;
  for (char c : sealed) crlf += c == '\n' ? std::string("\r\n") : std::string(1, c);
  for (const std::string& form : {sealed, flat, crlf}) {
    EXPECT_EQ(Open(form), "A:00000200" + std::string(200, 'x'));
  }
  // A fresh session key every time.
  EXPECT_NE(Seal("same"), Seal("same"));
  // The empty text: no ciphertext, and it opens to nothing.
  const std::string empty = Seal("");
  const Bytes env = Decode(empty);
  EXPECT_EQ(std::string(env.end() - 8, env.end()), "00000000");
  EXPECT_EQ(Open(empty), "A:00000000");
}

// A text beyond ASCII is sealed as UTF-8 and comes back as those bytes, counted in bytes.
TEST_F(TextEnvelopeTest, TextIsSealedAsUtf8) {
  const TestCert recipient = AddRecipient();
  const std::string text = "Gr\xc3\xbc\xc3\x9f" "e";  // the ANSI code page here is UTF-8
  const EnvelopeParts parts = SplitTextEnvelope(Decode(Seal(text)));
  EXPECT_EQ(OpenWithOpenssl(recipient, parts), Bytes(text.begin(), text.end()));
  // A zero byte inside a plaintext from another producer: counted, and the text cut there.
  const Bytes withZero = {'a', 'b', 0, 'c'};
  EXPECT_EQ(Open(Encode(JoinTextEnvelope(SealWithOpenssl(recipient, withZero)))),
            "A:00000004ab");
}

// The three forms of EncryptCN: a serial found in the stores, "PK:" with a public-key blob, and
// a Base64 certificate; each envelope opens with the peer.
TEST_F(TextEnvelopeTest, EveryRecipientForm) {
  const TestCert recipient = AddRecipient();
  HCRYPTPROV prov = 0;
  ASSERT_TRUE(CryptAcquireContextA(&prov, nullptr, nullptr, PROV_RSA_FULL, CRYPT_VERIFYCONTEXT));
  PCCERT_CONTEXT cert = CertCreateCertificateContext(X509_ASN_ENCODING, recipient.der.data(),
                                                     static_cast<DWORD>(recipient.der.size()));
  HCRYPTKEY key = 0;
  ASSERT_TRUE(CryptImportPublicKeyInfo(prov, X509_ASN_ENCODING,
                                       &cert->pCertInfo->SubjectPublicKeyInfo, &key));
  DWORD size = 0;
  ASSERT_TRUE(CryptExportKey(key, 0, PUBLICKEYBLOB, 0, nullptr, &size));
  Bytes blob(size);
  ASSERT_TRUE(CryptExportKey(key, 0, PUBLICKEYBLOB, 0, blob.data(), &size));
  CryptDestroyKey(key);
  CertFreeCertificateContext(cert);
  CryptReleaseContext(prov, 0);

  const std::string forms[] = {recipient.serialHex, "PK:" + Encode(blob), CertBase64(recipient)};
  for (const std::string& form : forms) {
    SetEncryptCN(state_, form.c_str());
    const std::string sealed = Seal("for the bank");
    ASSERT_NE(sealed.rfind("E:", 0), 0u) << form.substr(0, 20) << ": " << sealed;
    EXPECT_EQ(OpenWithOpenssl(recipient, SplitTextEnvelope(Decode(sealed))),
              Bytes({'f', 'o', 'r', ' ', 't', 'h', 'e', ' ', 'b', 'a', 'n', 'k'}));
  }
  SetEncryptCN(state_, "0badc0de");
  EXPECT_EQ(Seal("x"), "E:0003");
}

// A container with only a signature key still opens envelopes.
TEST_F(TextEnvelopeTest, SignatureKeyOpens) {
  AddRecipient(1024, AT_SIGNATURE);
  EXPECT_EQ(Open(Seal("abc")), "A:00000003abc");
}

// Envelopes whose fields do not agree with the data are refused without reading past it.
struct MalformedCase {
  const char* name;
  std::string first;   // the first length field
  int blobBytes;       // the first bytes of a real blob; -1: all of it
  std::string second;  // the second length field ("" for none)
  int cipherBytes;     // bytes of ciphertext that follow
  const char* expected;
};
class MalformedTest : public TextEnvelopeTest,
                      public ::testing::WithParamInterface<MalformedCase> {};

TEST_P(MalformedTest, Refused) {
  const MalformedCase& c = GetParam();
  const TestCert recipient = AddRecipient();
  const EnvelopeParts real = SplitTextEnvelope(Decode(Seal("0123456789")));
  std::string env = c.first;
  const std::size_t blobBytes = c.blobBytes < 0 ? real.blob.size() : static_cast<std::size_t>(c.blobBytes);
  env.append(real.blob.begin(), real.blob.begin() + static_cast<long>(blobBytes));
  env += c.second;
  env.append(static_cast<std::size_t>(c.cipherBytes), 'c');
  EXPECT_EQ(Open(Encode(Bytes(env.begin(), env.end()))), c.expected);
}
INSTANTIATE_TEST_SUITE_P(
    Fields, MalformedTest,
    ::testing::Values(
        MalformedCase{"ShorterThanTwoFields", "0000", 0, "", 0, "E:0009"},
        MalformedCase{"NegativeBlob", "-0000001", 0, "00000000", 0, "E:0009"},
        MalformedCase{"BlobBeyondData", "00009999", 4, "00000000", 0, "E:0009"},
        // Not a number: converts to 0, and an empty blob does not import.
        MalformedCase{"BlobNotANumber", "abcdefgh", 0, "00000000", 0, "E:0005 80090004 -2146893820"},
        MalformedCase{"BlobNotTwelvePlusModulus", "00000010", 10, "00000000", 0,
                      "E:0005 80090004 -2146893820"},
        MalformedCase{"CipherBeyondData", "00000140", -1, "00000100", 5, "E:0009"},
        MalformedCase{"NegativeCipher", "00000140", -1, "-0000005", 5, "E:0009"},
        MalformedCase{"SecondFieldMissing", "00000140", -1, "0000", 0, "E:0009"}),
    [](const ::testing::TestParamInfo<MalformedCase>& p) { return std::string(p.param.name); });

TEST_F(TextEnvelopeTest, Refusals) {
  EXPECT_EQ(Open("not base64!"), "E:0002");
  EXPECT_EQ(Open("QUJD="), "E:0002");
  // No DecryptCN certificate: the key is looked for only after the text decoded.
  AddRecipient();
  const std::string sealed = Seal("abc");
  SetDecryptCN(state_, "0badc0de");
  EXPECT_EQ(Open(sealed), "E:0004");
  EXPECT_EQ(Call([](CtrlState& s) { return Encrypt(s, nullptr); }), "E:0011");
  EXPECT_EQ(Call([](CtrlState& s) { return Decrypt(s, nullptr); }), "E:0002");
}

// A UTF-8 text longer than the eight-digit field can state is refused, never cut.
TEST_F(TextEnvelopeTest, TextTooLongForItsField) {
  AddRecipient();
  EXPECT_EQ(Seal(std::string(100'000'000, 'a')), "E:0011");
}

// Each failing platform step gives its code.
struct StepCase {
  const char* name;
  bool decrypting;
  const char* function;
  unsigned pass;
  const char* expected;
};
class StepTest : public TextEnvelopeTest, public ::testing::WithParamInterface<StepCase> {};

TEST_P(StepTest, Code) {
  const StepCase& c = GetParam();
  AddRecipient();
  const std::string sealed = Seal("a text of more than eight bytes");
  // The provider context has fall-backs: every attempt must fail.
  const bool context = std::string(c.function) == "CryptAcquireContextA";
  crypt::InjectFailure(c.function, NTE_FAIL, nullptr, context ? 0 : 1, c.pass);
  EXPECT_EQ(c.decrypting ? Open(sealed) : Seal("a text of more than eight bytes"), c.expected);
}
INSTANTIATE_TEST_SUITE_P(
    Steps, StepTest,
    ::testing::Values(
        StepCase{"EncryptNoContext", false, "CryptAcquireContextA", 0, "E:0001 80090020 -2146893792"},
        StepCase{"EncryptNoSessionKey", false, "CryptGenKey", 0, "E:0004"},
        StepCase{"EncryptNoBlobSize", false, "CryptExportKey", 0, "E:0005"},
        StepCase{"EncryptExportFails", false, "CryptExportKey", 1, "E:0007"},
        // The discard's result is ignored; the second block's failure is not.
        StepCase{"EncryptBlockFails", false, "CryptEncrypt", 2, "E:0009"},
        StepCase{"DecryptNoContext", true, "CryptAcquireContextA", 0, "E:0001 80090020 -2146893792"},
        StepCase{"DecryptImportFails", true, "CryptImportKey", 0, "E:0005 80090020 -2146893792"},
        StepCase{"DecryptFails", true, "CryptDecrypt", 1, "E:0008"}),
    [](const ::testing::TestParamInfo<StepCase>& p) { return std::string(p.param.name); });

}  // namespace
}  // namespace velmor::testing
