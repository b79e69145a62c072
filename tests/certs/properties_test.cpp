// The EncryptCN, DecryptCN and IssuerCN properties.
#include "tests/certs/certs_fixture.h"

namespace velmor::certs_test {
namespace {

struct Property {
  const char* name;
  void (*set)(CtrlState&, const char*);
  std::string (*get)(CtrlState&);
};
class SerialPropertyTest : public CertsTest, public ::testing::WithParamInterface<Property> {};

TEST_P(SerialPropertyTest, SerialTextRules) {
  const Property& p = GetParam();
  const std::string eighty(80, '7');
  struct Step {
    const char* value;  // null: the argument is absent
    std::string stored;
  };
  const std::string s81(81, '8'), s255(255, '9'), junk256(256, '*');
  const Step steps[] = {
      {"abc", "0abc"},          // odd length gets a leading zero
      {"ABCD", "ABCD"},         // taken as it is: no case change, no digit check
      {eighty.c_str(), eighty}, // the longest serial text
      {s81.c_str(), eighty},    // 81 to 255 characters are refused
      {s255.c_str(), eighty},
      {junk256.c_str(), eighty},  // neither Base64 nor a certificate
      {nullptr, "NULL"},
      {"", ""},
  };
  for (const Step& step : steps) {
    state_.SetModifiedFlag(FALSE);
    p.set(state_, step.value);
    EXPECT_EQ(p.get(state_), step.stored) << (step.value ? step.value : "(null)");
    EXPECT_TRUE(state_.m_bModified);
  }
}
INSTANTIATE_TEST_SUITE_P(Properties, SerialPropertyTest,
                         ::testing::Values(Property{"EncryptCN", SetEncryptCN, GetEncryptCN},
                                           Property{"DecryptCN", SetDecryptCN, GetDecryptCN},
                                           Property{"IssuerCN", SetIssuerCN, GetIssuerCN}),
                         CaseName());

class CertificatePropertyTest : public CertsTest,
                                public ::testing::WithParamInterface<Property> {};

TEST_P(CertificatePropertyTest, CertificateGivesItsSerialText) {
  const Property& p = GetParam();
  const pki::TestCert cert = Cert("/CN=Named", {0x00, 0x9a, 0x0b});
  const std::string base64 = pki::CertBase64(cert);
  ASSERT_GE(base64.size(), 256u);
  p.set(state_, "11");
  p.set(state_, base64.c_str());
  EXPECT_EQ(p.get(state_), "009a0b");

  // A serial number of 41 bytes has no room in the buffer: the value stays as it was.
  std::vector<std::uint8_t> longSerial(41, 0x33);
  const pki::TestCert tooLong = Cert("/CN=Long", longSerial);
  p.set(state_, pki::CertBase64(tooLong).c_str());
  EXPECT_EQ(p.get(state_), "009a0b");
}
INSTANTIATE_TEST_SUITE_P(Properties, CertificatePropertyTest,
                         ::testing::Values(Property{"DecryptCN", SetDecryptCN, GetDecryptCN},
                                           Property{"IssuerCN", SetIssuerCN, GetIssuerCN}),
                         CaseName());

TEST_F(CertsTest, EncryptCNKeepsTheCertificateWholeAndTheTextAsItWas) {
  const pki::TestCert cert = Cert("/CN=Recipient", {0x44});
  SetEncryptCN(state_, "0102");
  SetEncryptCN(state_, pki::CertBase64(cert).c_str());
  EXPECT_EQ(GetEncryptCN(state_), "0102");
  EXPECT_TRUE(SameCert(state_.m_pEncryptCert, cert));
  EXPECT_EQ(state_.m_pEncryptKeyBlob, nullptr);

  // Every assignment clears the recipient material first, whatever it then stores.
  SetEncryptCN(state_, std::string(100, 'x').c_str());
  EXPECT_EQ(state_.m_pEncryptCert, nullptr);
  EXPECT_EQ(GetEncryptCN(state_), "0102");

  SetEncryptCN(state_, std::string(300, 'A').c_str());  // Base64, but no certificate
  EXPECT_EQ(state_.m_pEncryptCert, nullptr);
}

TEST_F(CertsTest, EncryptCNKeyBlobAtAnyLength) {
  SetEncryptCN(state_, "0102");
  const std::vector<BYTE> blob(300, 0x5c);
  SetEncryptCN(state_, ("PK:" + Base64(blob)).c_str());
  ASSERT_NE(state_.m_pEncryptKeyBlob, nullptr);
  EXPECT_EQ(std::vector<BYTE>(state_.m_pEncryptKeyBlob,
                              state_.m_pEncryptKeyBlob + state_.m_cbEncryptKeyBlob),
            blob);
  EXPECT_EQ(GetEncryptCN(state_), "0102");

  SetEncryptCN(state_, "pk:AAAAA");  // the prefix is case-sensitive: a serial text
  EXPECT_EQ(state_.m_pEncryptKeyBlob, nullptr);
  EXPECT_EQ(state_.m_cbEncryptKeyBlob, 0u);
  EXPECT_EQ(GetEncryptCN(state_), "pk:AAAAA");

  SetEncryptCN(state_, nullptr);
  EXPECT_EQ(GetEncryptCN(state_), "NULL");
}

TEST_F(CertsTest, PropertiesAreSharedByEveryControl) {
  CtrlState other;
  SetIssuerCN(state_, "0a0b");
  EXPECT_EQ(GetIssuerCN(other), "0a0b");
  // The recipient material stays with its own control.
  SetEncryptCN(state_, "PK:AAAA");
  EXPECT_NE(state_.m_pEncryptKeyBlob, nullptr);
  EXPECT_EQ(other.m_pEncryptKeyBlob, nullptr);
}

}  // namespace
}  // namespace velmor::certs_test
