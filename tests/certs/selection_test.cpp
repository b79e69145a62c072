// The provider context, the searches by serial text and the keys they lead to.
#include "tests/certs/certs_fixture.h"

namespace velmor::certs_test {
namespace {

bool CanOpen(const char* container) {
  Prov prov;
  return CryptAcquireContextA(&prov.h, container, MS_ENHANCED_PROV_A, PROV_RSA_FULL, 0) == TRUE;
}

TEST_F(CertsTest, ProviderContextCreatesTheDefaultContainerOnce) {
  {
    Prov prov;
    ASSERT_EQ(AcquireProviderContext(&prov.h), 1);
  }
  EXPECT_TRUE(CanOpen(nullptr));
  EXPECT_FALSE(CanOpen(kFallbackContainer));
  Prov again;
  EXPECT_EQ(AcquireProviderContext(&again.h), 1);
}

TEST_F(CertsTest, ProviderContextOpensTheContainerAnotherProcessJustMade) {
  {
    Prov first;
    ASSERT_EQ(AcquireProviderContext(&first.h), 1);
  }
  // The open misses the container; by the create, another process has made it.
  crypt::InjectFailure("CryptAcquireContextA", NTE_BAD_KEYSET, "", 1);
  Prov prov;
  EXPECT_EQ(AcquireProviderContext(&prov.h), 1);
  EXPECT_NE(prov.h, 0u);
  EXPECT_FALSE(CanOpen(kFallbackContainer));
}

TEST_F(CertsTest, ProviderContextFallsBackToTheNamedContainer) {
  // The default container can neither be opened nor created: attempts 3 and 4 take over.
  crypt::InjectFailure("CryptAcquireContextA", NTE_PERM, nullptr, 2);
  {
    Prov prov;
    ASSERT_EQ(AcquireProviderContext(&prov.h), 1);
    EXPECT_NE(prov.h, 0u);
  }
  EXPECT_TRUE(CanOpen(kFallbackContainer));
  EXPECT_FALSE(CanOpen(nullptr));
}

TEST_F(CertsTest, ProviderContextFailureKeepsTheLastError) {
  crypt::InjectFailure("CryptAcquireContextA", NTE_BAD_KEYSET);
  HCRYPTPROV prov = 0;
  EXPECT_EQ(AcquireProviderContext(&prov), 0);
  EXPECT_EQ(prov, 0u);
  EXPECT_EQ(GetLastError(), NTE_BAD_KEYSET);
}

struct SerialCase {
  const char* name;
  std::vector<std::uint8_t> serial;
  const char* hex;
};
class SerialHexTest : public CertsTest, public ::testing::WithParamInterface<SerialCase> {};

TEST_P(SerialHexTest, MostSignificantByteFirstEveryByteKept) {
  const pki::TestCert cert = Cert("/CN=Serial/OU=QVA", GetParam().serial);
  UniqueCert context(CertCreateCertificateContext(X509_ASN_ENCODING, cert.der.data(),
                                                  static_cast<DWORD>(cert.der.size())));
  ASSERT_NE(context, nullptr);
  EXPECT_EQ(SerialHex(context.get()), GetParam().hex);
  EXPECT_EQ(SerialHex(context.get()), cert.serialHex);
}
INSTANTIATE_TEST_SUITE_P(
    Serials, SerialHexTest,
    ::testing::Values(SerialCase{"ThreeBytes", {0x01, 0x0a, 0xff}, "010aff"},
                      SerialCase{"LeadingZero", {0x00, 0x8f, 0x01}, "008f01"},
                      SerialCase{"OneByte", {0x7f}, "7f"},
                      SerialCase{"TwentyBytes", std::vector<std::uint8_t>(20, 0x5a),
                                 "5a5a5a5a5a5a5a5a5a5a5a5a5a5a5a5a5a5a5a5a"}),
    CaseName());

// The organisational-unit rule, seen through both of its users: the signer search and the list.
struct OuCase {
  const char* name;
  const char* subject;
  bool signer;
};
class SignerOuTest : public CertsTest, public ::testing::WithParamInterface<OuCase> {};

TEST_P(SignerOuTest, SignerSearchAndListAgree) {
  const pki::TestCert cert = Signer(GetParam().subject);
  SetCN(cert.serialHex);
  {
    Prov prov;
    UniqueStore my(CertOpenSystemStoreA(Acquire(prov), "MY"));
    UniqueCert found(getMySignerCert(my.get(), ModuleInputs().CN()));
    EXPECT_EQ(found != nullptr, GetParam().signer);
  }
  EXPECT_EQ(getCertList(state_), GetParam().signer ? "CN=Alice," + cert.serialHex + ";" : "");
  EXPECT_TRUE(state_.WorkingHandlesEmpty());
}
INSTANTIATE_TEST_SUITE_P(
    Layouts, SignerOuTest,
    ::testing::Values(OuCase{"FirstOu", "/CN=Alice/OU=QVA/O=Tarnvik Bank", true},
                      OuCase{"SecondOu", "/CN=Alice/OU=Retail/OU=QWB", true},
                      OuCase{"ThirdOu", "/CN=Alice/OU=A/OU=B/OU=QVA", false},
                      OuCase{"LowerCase", "/CN=Alice/OU=qva", true},
                      OuCase{"LongerValue", "/CN=Alice/OU=QVA2", false},
                      OuCase{"NoOu", "/CN=Alice/O=Tarnvik Bank", false},
                      // An "OU=" inside another attribute's quoted value is no OU component.
                      OuCase{"InsideQuotedValue", "/CN=Alice/O=x,OU=QVA,y", false},
                      OuCase{"QuotedValueThenTwoOus", "/CN=Alice/O=a,OU=x/OU=y/OU=QWB", true}),
    CaseName());

TEST_F(CertsTest, SignerSearchTakesTheFirstOfTwoWithOneSerial) {
  const pki::TestCert first = Signer("/CN=First/OU=QVA", {0x01, 0x02});
  const pki::TestCert second = Signer("/CN=Second/OU=QVA", {0x01, 0x02});
  SetCN("0102");
  Prov prov;
  UniqueStore my(CertOpenSystemStoreA(Acquire(prov), "MY"));
  UniqueCert found(getMySignerCert(my.get(), ModuleInputs().CN()));
  EXPECT_TRUE(SameCert(found.get(), first));
  EXPECT_FALSE(SameCert(found.get(), second));
}

TEST_F(CertsTest, SignerSearchNeedsTheExactText) {
  const pki::TestCert cert = Signer("/CN=Alice/OU=QVA", {0xab, 0xcd});
  Prov prov;
  UniqueStore my(CertOpenSystemStoreA(Acquire(prov), "MY"));
  for (const char* text : {"", "NULL", "ABCD", "abc", "abcd00"}) {
    SetCN(text);
    UniqueCert found(getMySignerCert(my.get(), ModuleInputs().CN()));
    EXPECT_EQ(found, nullptr) << text;
  }
  // A buffer filled to its last byte, without a terminator, is read no further.
  std::memset(g_szCN, 'a', sizeof g_szCN);
  EXPECT_EQ(UniqueCert(getMySignerCert(my.get(), ModuleInputs().CN())), nullptr);
}

TEST_F(CertsTest, IssuerSearchGoesThroughCaRootTrustInOrder) {
  const pki::TestCert inRoot = Cert("/CN=Root Issuer", {0x42});
  const pki::TestCert inTrust = Cert("/CN=Trust Issuer", {0x42}, true);
  pki::AddToStore("Trust", inTrust);
  SetIssuerCN(state_, "42");
  EXPECT_TRUE(SameCert(UniqueCert(FindIssuerCert(ModuleInputs().IssuerCN())).get(), inTrust));
  pki::AddToStore("Root", inRoot);
  EXPECT_TRUE(SameCert(UniqueCert(FindIssuerCert(ModuleInputs().IssuerCN())).get(), inRoot));
  SetIssuerCN(state_, "43");
  EXPECT_EQ(UniqueCert(FindIssuerCert(ModuleInputs().IssuerCN())), nullptr);
}

TEST_F(CertsTest, IssuerSearchEndsAtAStoreThatCannotBeOpened) {
  const pki::TestCert issuer = Cert("/CN=Issuer", {0x42});
  pki::AddToStore("Root", issuer);
  SetIssuerCN(state_, "42");
  crypt::InjectFailure("CertOpenStore", E_ACCESSDENIED_DW, "CA");
  EXPECT_EQ(UniqueCert(FindIssuerCert(ModuleInputs().IssuerCN())), nullptr);
  crypt::ClearInjectedFailures();
  crypt::InjectFailure("CertOpenStore", E_ACCESSDENIED_DW, "Trust");
  EXPECT_TRUE(SameCert(UniqueCert(FindIssuerCert(ModuleInputs().IssuerCN())).get(), issuer));
}

TEST_F(CertsTest, ImportCertPublicKeyYieldsTheCertificatesKey) {
  const pki::TestCert cert = Cert("/CN=Peer");
  Prov prov;
  Key key(ImportCertPublicKey(Acquire(prov), pki::CertBase64(cert).c_str()));
  ASSERT_NE(key.h, 0u);
  EXPECT_TRUE(IsKeyOf(prov.h, key.h, cert.key));
  EXPECT_EQ(ImportCertPublicKey(prov.h, "not*base64"), 0u);
  EXPECT_EQ(ImportCertPublicKey(prov.h, "AAAA"), 0u);  // Base64, but no certificate
}

TEST_F(CertsTest, RecipientKeyComesFromTheLastAssignment) {
  const pki::TestCert inStore = Cert("/CN=Stored", {0x51}, true);
  const pki::TestCert given = Cert("/CN=Given", {}, true);
  const pki::TestCert blobbed = Cert("/CN=Blob", {}, true);
  pki::AddToStore("TrustedPublisher", inStore);
  Prov prov;
  Acquire(prov);

  SetEncryptCN(state_, "51");
  Key fromStore(GetEncryptPublicKey(prov.h, state_, ModuleInputs().EncryptCN()));
  EXPECT_TRUE(IsKeyOf(prov.h, fromStore.h, inStore.key));

  SetEncryptCN(state_, pki::CertBase64(given).c_str());
  Key fromCert(GetEncryptPublicKey(prov.h, state_, ModuleInputs().EncryptCN()));
  EXPECT_TRUE(IsKeyOf(prov.h, fromCert.h, given.key));

  const std::vector<BYTE> blob = PublicKeyBlob(blobbed.key);
  SetEncryptCN(state_, ("PK:" + Base64(blob)).c_str());
  EXPECT_EQ(state_.m_pEncryptCert, nullptr);
  Key fromBlob(GetEncryptPublicKey(prov.h, state_, ModuleInputs().EncryptCN()));
  EXPECT_TRUE(IsKeyOf(prov.h, fromBlob.h, blobbed.key));

  // Bad Base64 leaves nothing behind: the store search runs again with the old serial text.
  SetEncryptCN(state_, "PK:@@@@");
  EXPECT_EQ(state_.m_pEncryptKeyBlob, nullptr);
  EXPECT_EQ(GetEncryptCN(state_), "51");
  Key again(GetEncryptPublicKey(prov.h, state_, ModuleInputs().EncryptCN()));
  EXPECT_TRUE(IsKeyOf(prov.h, again.h, inStore.key));

  // A blob that is no key does not fall back on the stores.
  SetEncryptCN(state_, "PK:AAAAAA==");
  EXPECT_EQ(GetEncryptPublicKey(prov.h, state_, ModuleInputs().EncryptCN()), 0u);
}

TEST_F(CertsTest, RecipientStoreSearchSkipsMyAndStopsAtAClosedStore) {
  const pki::TestCert own = Signer("/CN=Own/OU=QVA", {0x61});
  const pki::TestCert inRoot = Cert("/CN=Rooted", {0x62});
  pki::AddToStore("Root", inRoot);
  Prov prov;
  Acquire(prov);
  SetEncryptCN(state_, "61");
  EXPECT_EQ(GetEncryptPublicKey(prov.h, state_, ModuleInputs().EncryptCN()), 0u);
  SetEncryptCN(state_, "62");
  Key found(GetEncryptPublicKey(prov.h, state_, ModuleInputs().EncryptCN()));
  EXPECT_NE(found.h, 0u);
  crypt::InjectFailure("CertOpenStore", E_ACCESSDENIED_DW, "TrustedPublisher");
  EXPECT_EQ(GetEncryptPublicKey(prov.h, state_, ModuleInputs().EncryptCN()), 0u);
}

struct DecryptKeyCase {
  const char* name;
  DWORD keySpec;
};
class DecryptKeyTest : public CertsTest, public ::testing::WithParamInterface<DecryptKeyCase> {};

TEST_P(DecryptKeyTest, ContextHoldsTheCertificatesKey) {
  const pki::TestCert cert = Signer("/CN=Reader", {0x71}, GetParam().keySpec);
  Prov prov;
  Acquire(prov);
  SetDecryptCN(state_, "71");
  Prov keyProv(AcquireDecryptKey(prov.h, ModuleInputs().DecryptCN()));
  ASSERT_NE(keyProv.h, 0u);
  Key key;
  EXPECT_TRUE(CryptGetUserKey(keyProv.h, GetParam().keySpec, &key.h));
  Key other;
  const DWORD otherSpec = GetParam().keySpec == AT_SIGNATURE ? AT_KEYEXCHANGE : AT_SIGNATURE;
  EXPECT_FALSE(CryptGetUserKey(keyProv.h, otherSpec, &other.h));
}
INSTANTIATE_TEST_SUITE_P(KeySpecs, DecryptKeyTest,
                         ::testing::Values(DecryptKeyCase{"Exchange", AT_KEYEXCHANGE},
                                           DecryptKeyCase{"SignatureOnly", AT_SIGNATURE}),
                         CaseName());

TEST_F(CertsTest, DecryptKeyOnlyFromMy) {
  pki::AddToStore("CA", Cert("/CN=Elsewhere", {0x72}));
  Signer("/CN=Mine", {0x73});
  Prov prov;
  Acquire(prov);
  SetDecryptCN(state_, "72");
  EXPECT_EQ(AcquireDecryptKey(prov.h, ModuleInputs().DecryptCN()), 0u);
  SetDecryptCN(state_, "73");
  crypt::InjectFailure("CertOpenSystemStoreA", E_ACCESSDENIED_DW, "MY");
  EXPECT_EQ(AcquireDecryptKey(prov.h, ModuleInputs().DecryptCN()), 0u);
}

}  // namespace
}  // namespace velmor::certs_test

namespace velmor::certs_test {
namespace {

TEST_F(CertsTest, RecipientCertificateThatGivesNoKeyIsNotMadeUpForByTheStores) {
  // The serial text still names a recipient in the stores; a certificate assigned after it
  // decides alone, even when its key cannot be imported.
  const pki::TestCert inStore = Cert("/CN=Stored", {0x52}, true);
  pki::AddToStore("CA", inStore);
  Prov prov;
  Acquire(prov);
  SetEncryptCN(state_, "52");
  SetEncryptCN(state_, pki::CertBase64(Cert("/CN=Given", {}, true)).c_str());
  crypt::InjectFailure("CryptImportPublicKeyInfo", NTE_BAD_KEY, nullptr, 1);
  EXPECT_EQ(GetEncryptPublicKey(prov.h, state_, ModuleInputs().EncryptCN()), 0u);
}

TEST_F(CertsTest, EveryEncryptCNAssignmentDropsTheEarlierRecipient) {
  const pki::TestCert inStore = Cert("/CN=Stored", {0x53}, true);
  const pki::TestCert given = Cert("/CN=Given", {}, true);
  pki::AddToStore("Root", inStore);
  Prov prov;
  Acquire(prov);
  SetEncryptCN(state_, "53");
  // Texts of 81 to 255 characters store nothing, but still clear the certificate and the key
  // blob: the next key comes from the stores again.
  const std::string between(120, 'x');
  for (const std::string& earlier :
       {pki::CertBase64(given), "PK:" + Base64(PublicKeyBlob(given.key))}) {
    SetEncryptCN(state_, earlier.c_str());
    SetEncryptCN(state_, between.c_str());
    EXPECT_EQ(state_.m_pEncryptCert, nullptr);
    EXPECT_EQ(state_.m_pEncryptKeyBlob, nullptr);
    EXPECT_EQ(state_.m_cbEncryptKeyBlob, 0u);
    EXPECT_EQ(GetEncryptCN(state_), "53");
    Key key(GetEncryptPublicKey(prov.h, state_, ModuleInputs().EncryptCN()));
    EXPECT_TRUE(IsKeyOf(prov.h, key.h, inStore.key));
  }
  // "NULL" drops it too, and names no recipient.
  SetEncryptCN(state_, pki::CertBase64(given).c_str());
  SetEncryptCN(state_, nullptr);
  EXPECT_EQ(state_.m_pEncryptCert, nullptr);
  EXPECT_EQ(GetEncryptPublicKey(prov.h, state_, ModuleInputs().EncryptCN()), 0u);
}

TEST_F(CertsTest, DecryptKeyNeedsTheCertificatesPrivateKey) {
  const pki::TestCert keyless = Cert("/CN=Keyless", {0x74});
  pki::AddToStore("MY", keyless);
  Signer("/CN=Keyed", {0x75});
  Prov prov;
  Acquire(prov);
  SetDecryptCN(state_, "74");
  EXPECT_EQ(AcquireDecryptKey(prov.h, ModuleInputs().DecryptCN()), 0u);
  SetDecryptCN(state_, "75");
  crypt::InjectFailure("CryptAcquireCertificatePrivateKey", NTE_BAD_KEYSET, nullptr, 1);
  EXPECT_EQ(AcquireDecryptKey(prov.h, ModuleInputs().DecryptCN()), 0u);
  Prov keyProv(AcquireDecryptKey(prov.h, ModuleInputs().DecryptCN()));
  EXPECT_NE(keyProv.h, 0u);
}

}  // namespace
}  // namespace velmor::certs_test
