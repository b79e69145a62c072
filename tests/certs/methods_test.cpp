// getProviderName and getCertList.
#include "tests/certs/certs_fixture.h"

namespace velmor::certs_test {
namespace {

TEST_F(CertsTest, CertListInStoreOrderWithOnlySigners) {
  const pki::TestCert alice = Signer("/CN=Alice/OU=QVA/O=Tarnvik Bank");
  Signer("/CN=Mallory/OU=Other");
  const pki::TestCert bob = Signer("/CN=Bob/OU=Retail/OU=qwb");
  EXPECT_EQ(getCertList(state_),
            "CN=Alice," + alice.serialHex + ";CN=Bob," + bob.serialHex + ";");
  EXPECT_TRUE(state_.WorkingHandlesEmpty());
}

TEST_F(CertsTest, CertListShowsEachEntryAsWritten) {
  const pki::TestCert quoted = Signer("/CN=Smith, John/OU=QVA", {0x00, 0x80});
  const pki::TestCert twice1 = Signer("/CN=Twin/OU=QVA", {0x05});
  const pki::TestCert twice2 = Signer("/CN=Twin/OU=QWB", {0x05});
  const pki::TestCert nameless = Signer("/OU=QVA/O=Tarnvik Bank", {0x06});
  const pki::TestCert longSerial = Signer("/CN=Long/OU=QVA", std::vector<std::uint8_t>(41, 0x11));
  // A comma in a common name is quoted by the subject text; the entry is cut at it.
  EXPECT_EQ(getCertList(state_), "CN=\"Smith,0080;CN=Twin,05;CN=Twin,05;,06;CN=Long," +
                                     longSerial.serialHex + ";");
  EXPECT_TRUE(state_.WorkingHandlesEmpty());
}

TEST_F(CertsTest, CertListOfAnEmptyStoreIsEmpty) {
  EXPECT_EQ(getCertList(state_), "");
  EXPECT_TRUE(state_.WorkingHandlesEmpty());
}

TEST_F(CertsTest, EnumSignerCertsNeverWritesPastTheGivenSize) {
  const pki::TestCert a = Signer("/CN=A/OU=QVA", {0x01});
  Signer("/CN=B/OU=QVA", {0x02});
  Prov prov;
  UniqueStore my(CertOpenSystemStoreA(Acquire(prov), "MY"));
  DWORD size = 0;
  EnumSignerCerts(my.get(), nullptr, &size);
  EXPECT_EQ(size, 17u);  // "CN=A,01;CN=B,02;" and the terminator
  // As if the store had grown between the passes: only what fits is written.
  std::vector<char> out(10, '#');
  DWORD small = 9;
  EnumSignerCerts(my.get(), out.data(), &small);
  EXPECT_STREQ(out.data(), "CN=A,01;");
  EXPECT_EQ(out[9], '#');
}

TEST_F(CertsTest, ProviderNameOfTheSignersKey) {
  for (const DWORD keySpec : {AT_KEYEXCHANGE, AT_SIGNATURE}) {
    const pki::TestCert cert = Signer("/CN=Alice/OU=QVA", {}, keySpec);
    SetCN(cert.serialHex);
    EXPECT_EQ(getProviderName(state_), "Microsoft Enhanced Cryptographic Provider v1.0");
    EXPECT_TRUE(state_.WorkingHandlesEmpty());
    EXPECT_STREQ(g_szCN, cert.serialHex.c_str());
  }
}

TEST_F(CertsTest, ProviderNameErrors) {
  const pki::TestCert cert = Signer("/CN=Alice/OU=QVA", {0x0c, 0x0d});
  SetCN("0C0D");
  EXPECT_EQ(getProviderName(state_), "E:0003");
  EXPECT_TRUE(state_.WorkingHandlesEmpty());
  // A signer without a key in any container has no key-provider information.
  const pki::TestCert keyless = Cert("/CN=Keyless/OU=QVA", {0x0e});
  pki::AddToStore("MY", keyless);
  SetCN("0e");
  EXPECT_EQ(getProviderName(state_), "E:0004");
  EXPECT_TRUE(state_.WorkingHandlesEmpty());
}

TEST_F(CertsTest, ProviderNameOfARecordWithoutOneIsEmpty) {
  // The record names no provider: the answer is the empty text, not an error and not a crash.
  const pki::TestCert cert = Signer("/CN=Alice/OU=QVA", {0x0f});
  SetCN(cert.serialHex);
  {
    Prov prov;
    UniqueStore my(CertOpenSystemStoreA(Acquire(prov), "MY"));
    UniqueCert found(getMySignerCert(my.get(), ModuleInputs().CN()));
    ASSERT_NE(found, nullptr);
    WCHAR container[] = u"velmor-test-unnamed";
    CRYPT_KEY_PROV_INFO info{};
    info.pwszContainerName = container;
    info.dwProvType = PROV_RSA_FULL;
    info.dwKeySpec = AT_KEYEXCHANGE;
    ASSERT_TRUE(
        CertSetCertificateContextProperty(found.get(), CERT_KEY_PROV_INFO_PROP_ID, 0, &info));
  }
  EXPECT_EQ(getProviderName(state_), "");
  EXPECT_TRUE(state_.WorkingHandlesEmpty());
}

// Each failing platform step gives its code, and the working handles are zero afterwards.
struct FailureCase {
  const char* name;
  std::string (*method)(CtrlState&);
  const char* function;
  const char* arg;
  DWORD error;
  const char* result;
  unsigned pass = 0;  // matching calls let through first: 1 fails the read after the size query
};
class MethodFailureTest : public CertsTest, public ::testing::WithParamInterface<FailureCase> {};

TEST_P(MethodFailureTest, ResultAndHandles) {
  const FailureCase& c = GetParam();
  const pki::TestCert cert = Signer("/CN=Alice/OU=QVA");
  SetCN(cert.serialHex);
  crypt::InjectFailure(c.function, c.error, c.arg, c.pass == 0 ? 0 : 1, c.pass);
  EXPECT_EQ(c.method(state_), c.result);
  EXPECT_TRUE(state_.WorkingHandlesEmpty());
  crypt::ClearInjectedFailures();
  EXPECT_NE(c.method(state_).substr(0, 2), "E:");
  EXPECT_TRUE(state_.WorkingHandlesEmpty());
}
INSTANTIATE_TEST_SUITE_P(
    Failures, MethodFailureTest,
    ::testing::Values(
        FailureCase{"ProviderNameNoContext", getProviderName, "CryptAcquireContextA", nullptr,
                    NTE_BAD_KEYSET, "E:0001 80090016 -2146893802"},
        FailureCase{"CertListNoContext", getCertList, "CryptAcquireContextA", nullptr,
                    NTE_KEYSET_NOT_DEF, "E:0001 80090019 -2146893799"},
        FailureCase{"ProviderNameNoStore", getProviderName, "CertOpenSystemStoreA", "MY",
                    E_ACCESSDENIED_DW, "E:0002"},
        FailureCase{"CertListNoStore", getCertList, "CertOpenSystemStoreA", "MY",
                    E_ACCESSDENIED_DW, "E:0002"},
        FailureCase{"ProviderNameNoProperty", getProviderName,
                    "CertGetCertificateContextProperty", nullptr, CRYPT_E_NOT_FOUND, "E:0004"},
        FailureCase{"ProviderNamePropertyReadFails", getProviderName,
                    "CertGetCertificateContextProperty", nullptr, CRYPT_E_NOT_FOUND, "E:0004", 1}),
    CaseName());

}  // namespace
}  // namespace velmor::certs_test
