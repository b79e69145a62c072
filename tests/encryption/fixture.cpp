#include "tests/encryption/fixture.h"

#include <cstdio>

namespace velmor::testing {
namespace {

std::string Quote(const std::filesystem::path& p) { return "'" + p.string() + "'"; }

void Expect(const CommandResult& r) { EXPECT_EQ(r.status, 0) << r.output; }

// Rc4AfterDiscard: `data` through RC4 under `key`, the first 512 bytes of key stream unused.
Bytes Rc4AfterDiscard(const std::filesystem::path& dir, const Bytes& key, const Bytes& data) {
  Bytes padded(512, 0);
  padded.insert(padded.end(), data.begin(), data.end());
  WriteFile(dir / "rc4-in.bin", padded);
  Expect(velmor::testing::Run("openssl enc -rc4 -provider legacy -provider default -nosalt -K " +
             BytesToHex(key.data(), key.size()) + " -in " + Quote(dir / "rc4-in.bin") +
             " -out " + Quote(dir / "rc4-out.bin")));
  Bytes out = ReadFile(dir / "rc4-out.bin");
  if (out.size() < 512) return {};
  return Bytes(out.begin() + 512, out.end());
}

}  // namespace

std::string LengthField(std::size_t value) {
  char text[16];
  std::snprintf(text, sizeof text, "%08zu", value);
  return text;
}

EnvelopeParts SplitFileEnvelope(const Bytes& file) {
  if (file.size() < 8) return {};
  const std::size_t b = std::stoul(std::string(file.begin(), file.begin() + 8));
  if (file.size() < 8 + b) return {};
  return {Bytes(file.begin() + 8, file.begin() + 8 + static_cast<long>(b)),
          Bytes(file.begin() + 8 + static_cast<long>(b), file.end())};
}

Bytes JoinFileEnvelope(const EnvelopeParts& parts) {
  const std::string header = LengthField(parts.blob.size());
  Bytes file(header.begin(), header.end());
  file.insert(file.end(), parts.blob.begin(), parts.blob.end());
  file.insert(file.end(), parts.cipher.begin(), parts.cipher.end());
  return file;
}

void EnvelopeTest::SetUp() {
  ClearModuleBuffers();
  crypt::ResetRuntime();
}

void EnvelopeTest::TearDown() {
  crypt::ResetRuntime();
  ClearModuleBuffers();
}

TestCert EnvelopeTest::AddRecipient(int bits, DWORD keySpec) {
  CertSpec spec = Spec("/CN=Bank Server/OU=QVA", {}, bits);
  spec.key = MakeKey(bits);
  TestCert cert = MakeCert(spec);
  ImportWithKey("MY", cert, keySpec);
  AddToStore("CA", cert);
  SetEncryptCN(state_, cert.serialHex.c_str());
  SetDecryptCN(state_, cert.serialHex.c_str());
  return cert;
}

Bytes EnvelopeTest::OpenWithOpenssl(const TestCert& recipient, const EnvelopeParts& parts) {
  // SIMPLEBLOB: an 8-byte blob header naming RC4, the wrapping algorithm, then the key
  // encrypted under the recipient's key, least significant byte first.
  EXPECT_GT(parts.blob.size(), 12u);
  if (parts.blob.size() <= 12) return {};
  EXPECT_EQ(BytesToHex(parts.blob.data(), 12), "0102000001680000" "00a40000");
  Bytes wrapped(parts.blob.rbegin(), parts.blob.rend() - 12);
  WriteFile(Dir() / "wrapped.bin", wrapped);
  WriteFile(Dir() / "recipient-key.pem", recipient.key.privatePem);
  Expect(velmor::testing::Run("openssl pkeyutl -decrypt -pkeyopt rsa_padding_mode:pkcs1 -inkey " +
             Quote(Dir() / "recipient-key.pem") + " -in " + Quote(Dir() / "wrapped.bin") +
             " -out " + Quote(Dir() / "session.bin")));
  const Bytes session = ReadFile(Dir() / "session.bin");
  EXPECT_EQ(session.size(), 16u) << "a 128-bit session key";
  return Rc4AfterDiscard(Dir(), session, parts.cipher);
}

EnvelopeParts EnvelopeTest::SealWithOpenssl(const TestCert& recipient, const Bytes& plain) {
  Expect(velmor::testing::Run("openssl rand -out " + Quote(Dir() / "session.bin") + " 16"));
  const Bytes session = ReadFile(Dir() / "session.bin");
  WriteFile(Dir() / "recipient.pem", recipient.pem());
  Expect(velmor::testing::Run("openssl pkeyutl -encrypt -certin -pkeyopt rsa_padding_mode:pkcs1 -inkey " +
             Quote(Dir() / "recipient.pem") + " -in " + Quote(Dir() / "session.bin") +
             " -out " + Quote(Dir() / "wrapped.bin")));
  const Bytes wrapped = ReadFile(Dir() / "wrapped.bin");
  EnvelopeParts parts;
  parts.blob = HexToBytes("0102000001680000" "00a40000");
  parts.blob.insert(parts.blob.end(), wrapped.rbegin(), wrapped.rend());
  parts.cipher = Rc4AfterDiscard(Dir(), session, plain);
  return parts;
}

}  // namespace velmor::testing
