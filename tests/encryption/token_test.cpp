// Envelopes for a certificate whose key is on a SoftHSM token, made by the `openssl` tool and
// opened by Decrypt and DecryptFile with the token unwrapping the session key.
#include <openssl/evp.h>

#include "tests/encryption/fixture.h"
#include "tests/support/softhsm.h"

namespace velmor::testing {
namespace {

class TokenEnvelopeTest : public EnvelopeTest {
 protected:
  void SetUp() override {
    Tokens();
    EnvelopeTest::SetUp();
    PinentryAnswer(std::string("pin:") + kTokenPin);
  }
};

std::string TextEnvelopeBase64(const EnvelopeParts& parts) {
  std::string joined = LengthField(parts.blob.size());
  joined.append(parts.blob.begin(), parts.blob.end());
  joined += LengthField(parts.cipher.size());
  joined.append(parts.cipher.begin(), parts.cipher.end());
  std::string out(joined.size() / 3 * 4 + 8, '\0');
  const int n = EVP_EncodeBlock(reinterpret_cast<unsigned char*>(out.data()),
                                reinterpret_cast<const unsigned char*>(joined.data()),
                                static_cast<int>(joined.size()));
  out.resize(static_cast<std::size_t>(n));
  return out;
}

TEST_F(TokenEnvelopeTest, DecryptAndDecryptFileOpenThePeersEnvelopesOnTheToken) {
  const TestCert& recipient = Tokens().main.cert;
  SetDecryptCN(state_, recipient.serialHex.c_str());
  const std::string text = "the customer's statement";
  const Bytes plain(text.begin(), text.end());
  const std::string envelope = TextEnvelopeBase64(SealWithOpenssl(recipient, plain));
  EXPECT_EQ(Call([&](CtrlState& s) { return Decrypt(s, envelope.c_str()); }),
            "A:" + LengthField(text.size()) + text);

  const auto path = Dir() / "statement.enc";
  WriteFile(path, JoinFileEnvelope(SealWithOpenssl(recipient, plain)));
  EXPECT_EQ(Call([&](CtrlState& s) { return DecryptFile(s, path.c_str()); }), "A:0000");
  EXPECT_EQ(ReadFile(Dir() / "statement.enc.dec"), plain);

  // A wrong PIN: Decrypt's own code for a key it cannot have, with the reason left set.
  PinentryAnswer("pin:0000");
  EXPECT_EQ(Call([&](CtrlState& s) { return Decrypt(s, envelope.c_str()); }), "E:0004");
  EXPECT_EQ(GetLastError(), SCARD_W_WRONG_CHV);
}

}  // namespace
}  // namespace velmor::testing
