// System stores and certificate contexts, on the SQLite backend and on the in-memory one.
#include <gtest/gtest.h>

#include <cstring>

#include <memory>

#include "hosts/velmor/admin.h"
#include "platform/crypt/crypt.h"
#include "tests/support/pki.h"

namespace {

using namespace velmor::testing;

std::vector<std::string> Serials(HCERTSTORE store) {
  std::vector<std::string> out;
  PCCERT_CONTEXT ctx = nullptr;
  while ((ctx = CertEnumCertificatesInStore(store, ctx)) != nullptr) {
    const CRYPT_INTEGER_BLOB& s = ctx->pCertInfo->SerialNumber;
    std::string hex;
    for (DWORD i = s.cbData; i > 0; --i) hex += BytesToHex(&s.pbData[i - 1], 1);
    out.push_back(hex);
  }
  EXPECT_EQ(GetLastError(), CRYPT_E_NOT_FOUND);
  return out;
}

bool Add(HCERTSTORE store, const TestCert& cert, DWORD disposition = CERT_STORE_ADD_ALWAYS,
         PCCERT_CONTEXT* out = nullptr) {
  return CertAddEncodedCertificateToStore(store, X509_ASN_ENCODING, cert.der.data(),
                                          static_cast<DWORD>(cert.der.size()), disposition,
                                          out) != FALSE;
}

class StoresTest : public ::testing::TestWithParam<bool> {
 protected:
  void SetUp() override { velmor::crypt::UseInMemoryStorage(GetParam()); }
  void TearDown() override { velmor::crypt::ResetRuntime(); }
  TempDataHome home_;
};

TEST_P(StoresTest, EnumeratesInTheOrderOfAdding) {
  TestCert a = MakeCert(Spec("/CN=A", {0x01}));
  TestCert b = MakeCert(Spec("/CN=B", {0x02}));
  TestCert b2 = MakeCert(Spec("/CN=B2", {0x02}));
  HCERTSTORE store = CertOpenSystemStoreA(0, "MY");
  ASSERT_NE(store, nullptr);
  EXPECT_TRUE(Serials(store).empty());
  ASSERT_TRUE(Add(store, b));
  ASSERT_TRUE(Add(store, a));
  ASSERT_TRUE(Add(store, b2));  // the same serial twice is allowed
  ASSERT_TRUE(Add(store, a));   // and so is the same certificate
  EXPECT_EQ(Serials(store), (std::vector<std::string>{"02", "01", "02", "01"}));
  ASSERT_TRUE(CertCloseStore(store, 0));
  // Another store of the same user sees nothing of it.
  HCERTSTORE ca = CertOpenSystemStoreA(0, "CA");
  ASSERT_NE(ca, nullptr);
  EXPECT_TRUE(Serials(ca).empty());
  CertCloseStore(ca, 0);
  // Reopened, the order is the same.
  store = CertOpenSystemStoreA(0, "MY");
  EXPECT_EQ(Serials(store), (std::vector<std::string>{"02", "01", "02", "01"}));
  CertCloseStore(store, 0);
}

TEST_P(StoresTest, ContextsOutliveTheirStore) {
  TestCert a = MakeCert(Spec("/CN=Outlive", {0x00, 0xFF, 0x0A}));
  HCERTSTORE store = CertOpenSystemStoreA(0, "MY");
  ASSERT_TRUE(Add(store, a));
  PCCERT_CONTEXT ctx = CertEnumCertificatesInStore(store, nullptr);
  ASSERT_NE(ctx, nullptr);
  PCCERT_CONTEXT dup = CertDuplicateCertificateContext(ctx);
  EXPECT_EQ(dup, ctx);
  // The context is still held, so a checking close reports it, and the store goes anyway.
  EXPECT_FALSE(CertCloseStore(store, CERT_CLOSE_STORE_CHECK_FLAG));
  EXPECT_EQ(GetLastError(), CRYPT_E_PENDING_CLOSE);
  EXPECT_TRUE(CertFreeCertificateContext(ctx));
  // Least significant byte first, the leading zero byte kept.
  ASSERT_EQ(dup->pCertInfo->SerialNumber.cbData, 3u);
  EXPECT_EQ(BytesToHex(dup->pCertInfo->SerialNumber.pbData, 3), "0aff00");
  EXPECT_EQ(std::vector<std::uint8_t>(dup->pbCertEncoded, dup->pbCertEncoded + dup->cbCertEncoded),
            a.der);
  EXPECT_TRUE(CertFreeCertificateContext(dup));
  EXPECT_FALSE(CertFreeCertificateContext(dup));  // already gone: refused, not touched
}

TEST_P(StoresTest, DispositionsAndDeletion) {
  TestCert a = MakeCert(Spec("/CN=A", {0x05}));
  HCERTSTORE store = CertOpenSystemStoreA(0, "Root");
  ASSERT_TRUE(Add(store, a, CERT_STORE_ADD_NEW));
  EXPECT_FALSE(Add(store, a, CERT_STORE_ADD_NEW));
  EXPECT_EQ(GetLastError(), CRYPT_E_EXISTS);
  PCCERT_CONTEXT existing = nullptr;
  ASSERT_TRUE(Add(store, a, CERT_STORE_ADD_USE_EXISTING, &existing));
  ASSERT_NE(existing, nullptr);
  EXPECT_EQ(Serials(store).size(), 1u);
  EXPECT_TRUE(CertDeleteCertificateFromStore(existing));  // frees the context too
  EXPECT_TRUE(Serials(store).empty());
  CertCloseStore(store, 0);
}

TEST_P(StoresTest, KeyProviderPropertyIsOneBuffer) {
  TestCert a = MakeCert(Spec("/CN=Prop/OU=QVA"));
  ImportWithKey("MY", a, AT_SIGNATURE, "prop-box");
  HCERTSTORE store = CertOpenSystemStoreA(0, "MY");
  PCCERT_CONTEXT ctx = CertEnumCertificatesInStore(store, nullptr);
  ASSERT_NE(ctx, nullptr);
  DWORD size = 0;
  ASSERT_TRUE(CertGetCertificateContextProperty(ctx, CERT_KEY_PROV_INFO_PROP_ID, nullptr, &size));
  ASSERT_GT(size, sizeof(CRYPT_KEY_PROV_INFO));
  std::vector<std::uint8_t> small(size - 1);
  DWORD smallSize = size - 1;
  EXPECT_FALSE(CertGetCertificateContextProperty(ctx, CERT_KEY_PROV_INFO_PROP_ID, small.data(),
                                                 &smallSize));
  EXPECT_EQ(GetLastError(), ERROR_MORE_DATA);
  EXPECT_EQ(smallSize, size);
  auto buffer = std::make_unique<std::uint64_t[]>(size / 8 + 1);
  ASSERT_TRUE(CertGetCertificateContextProperty(ctx, CERT_KEY_PROV_INFO_PROP_ID, buffer.get(), &size));
  auto* info = reinterpret_cast<CRYPT_KEY_PROV_INFO*>(buffer.get());
  auto* begin = reinterpret_cast<std::uint8_t*>(buffer.get());
  auto inside = [&](const void* p) {
    auto* b = static_cast<const std::uint8_t*>(p);
    return b >= begin && b < begin + size;
  };
  ASSERT_TRUE(inside(info->pwszContainerName));
  ASSERT_TRUE(inside(info->pwszProvName));
  EXPECT_EQ(std::u16string(info->pwszContainerName), u"prop-box");
  EXPECT_EQ(std::u16string(info->pwszProvName), u"Microsoft Enhanced Cryptographic Provider v1.0");
  EXPECT_EQ(info->dwProvType, PROV_RSA_FULL);
  EXPECT_EQ(info->dwKeySpec, static_cast<DWORD>(AT_SIGNATURE));
  // Removing the property is seen through a fresh open.
  ASSERT_TRUE(CertSetCertificateContextProperty(ctx, CERT_KEY_PROV_INFO_PROP_ID, 0, nullptr));
  CertFreeCertificateContext(ctx);
  CertCloseStore(store, 0);
  store = CertOpenSystemStoreA(0, "MY");
  ctx = CertEnumCertificatesInStore(store, nullptr);
  ASSERT_NE(ctx, nullptr);
  EXPECT_FALSE(CertGetCertificateContextProperty(ctx, CERT_KEY_PROV_INFO_PROP_ID, nullptr, &size));
  EXPECT_EQ(GetLastError(), CRYPT_E_NOT_FOUND);
  CertFreeCertificateContext(ctx);
  CertCloseStore(store, 0);
}

TEST_P(StoresTest, StoreNamesAndTheSeam) {
  EXPECT_EQ(CertOpenSystemStoreA(0, "Nonsense"), nullptr);
  HCERTSTORE store = CertOpenStore(CERT_STORE_PROV_SYSTEM_W, 0, 0,
                                   CERT_SYSTEM_STORE_CURRENT_USER | CERT_STORE_NO_CRYPT_RELEASE_FLAG,
                                   u"TrustedPublisher");
  ASSERT_NE(store, nullptr);
  EXPECT_TRUE(CertCloseStore(store, CERT_CLOSE_STORE_CHECK_FLAG));
  velmor::crypt::InjectFailure("CertOpenStore", E_ACCESSDENIED_DW, "CA");
  EXPECT_EQ(CertOpenStore(CERT_STORE_PROV_SYSTEM_W, 0, 0, CERT_SYSTEM_STORE_CURRENT_USER, u"CA"),
            nullptr);
  EXPECT_EQ(GetLastError(), E_ACCESSDENIED_DW);
  store = CertOpenStore(CERT_STORE_PROV_SYSTEM_W, 0, 0, CERT_SYSTEM_STORE_CURRENT_USER, u"Root");
  EXPECT_NE(store, nullptr);
  CertCloseStore(store, 0);
}

INSTANTIATE_TEST_SUITE_P(Backends, StoresTest, ::testing::Values(false, true),
                         [](const auto& p) { return p.param ? "Memory" : "Sqlite"; });

struct BadDer {
  const char* name;
  std::vector<std::uint8_t> bytes;
  DWORD error;
};

class BadCertificateTest : public ::testing::TestWithParam<BadDer> {};

TEST_P(BadCertificateTest, GivesNullAndAnAsn1Error) {
  const auto& c = GetParam();
  SetLastError(0);
  EXPECT_EQ(CertCreateCertificateContext(X509_ASN_ENCODING, c.bytes.data(),
                                         static_cast<DWORD>(c.bytes.size())),
            nullptr);
  EXPECT_EQ(GetLastError(), c.error);
}

std::vector<BadDer> BadDerCases() {
  TestCert good = MakeCert({});
  std::vector<std::uint8_t> truncated(good.der.begin(), good.der.end() - 10);
  std::vector<std::uint8_t> trailing = good.der;
  trailing.push_back(0);
  std::vector<std::uint8_t> flipped = good.der;
  flipped[flipped.size() / 3] ^= 0xFF;
  return {
      {"Empty", {}, CRYPT_E_ASN1_EOD},
      {"NotASequence", {0x04, 0x01, 0x00}, CRYPT_E_ASN1_BADTAG},
      {"Truncated", truncated, CRYPT_E_ASN1_EOD},
      {"TrailingByte", trailing, CRYPT_E_ASN1_CORRUPT},
      {"HugeLength", {0x30, 0x84, 0x7F, 0xFF, 0xFF, 0xFF, 0x30}, CRYPT_E_ASN1_EOD},
      {"Garbage", {0x30, 0x03, 0x02, 0x01, 0x01}, CRYPT_E_ASN1_CORRUPT},
  };
}

INSTANTIATE_TEST_SUITE_P(Cases, BadCertificateTest, ::testing::ValuesIn(BadDerCases()),
                         [](const auto& p) { return std::string(p.param.name); });

TEST(CertificateInfoTest, DecodesWhatCallersRead) {
  TestCert cert = MakeCert(Spec("/CN=Info", {0x7F, 0x01}));
  PCCERT_CONTEXT ctx = CertCreateCertificateContext(X509_ASN_ENCODING, cert.der.data(),
                                                    static_cast<DWORD>(cert.der.size()));
  ASSERT_NE(ctx, nullptr);
  const CERT_INFO& info = *ctx->pCertInfo;
  EXPECT_EQ(info.dwVersion, 2u);
  EXPECT_EQ(BytesToHex(info.SerialNumber.pbData, info.SerialNumber.cbData), "017f");
  EXPECT_STREQ(info.SubjectPublicKeyInfo.Algorithm.pszObjId, szOID_RSA_RSA);
  EXPECT_STREQ(info.SignatureAlgorithm.pszObjId, "1.2.840.113549.1.1.11");
  // Self-signed: issuer and subject are the same DER name.
  ASSERT_EQ(info.Issuer.cbData, info.Subject.cbData);
  EXPECT_EQ(0, std::memcmp(info.Issuer.pbData, info.Subject.pbData, info.Subject.cbData));
  // Validity as FILETIME: one hour before now until a year after.
  auto seconds = [](const FILETIME& ft) {
    return static_cast<std::int64_t>(((std::uint64_t{ft.dwHighDateTime} << 32) | ft.dwLowDateTime) /
                                     10000000ULL) - 11644473600LL;
  };
  std::int64_t now = static_cast<std::int64_t>(std::time(nullptr));
  EXPECT_NEAR(static_cast<double>(seconds(info.NotBefore)), static_cast<double>(now - 3600), 120.0);
  EXPECT_NEAR(static_cast<double>(seconds(info.NotAfter)), static_cast<double>(now + 365L * 86400), 120.0);
  CertFreeCertificateContext(ctx);
}

}  // namespace

namespace {

// The fields of two decodings of one certificate, for comparison.
std::string Describe(const CERT_INFO& i) {
  auto hex = [](const CRYPTOAPI_BLOB& b) { return BytesToHex(b.pbData, b.cbData); };
  std::string out = std::to_string(i.dwVersion) + "|" + hex(i.SerialNumber) + "|" +
                    i.SignatureAlgorithm.pszObjId + "|" + hex(i.SignatureAlgorithm.Parameters) + "|" +
                    hex(i.Issuer) + "|" + hex(i.Subject) + "|" +
                    std::to_string(i.NotBefore.dwLowDateTime) + "," +
                    std::to_string(i.NotBefore.dwHighDateTime) + "|" +
                    std::to_string(i.NotAfter.dwLowDateTime) + "," +
                    std::to_string(i.NotAfter.dwHighDateTime) + "|" +
                    i.SubjectPublicKeyInfo.Algorithm.pszObjId + "|" +
                    BytesToHex(i.SubjectPublicKeyInfo.PublicKey.pbData, i.SubjectPublicKeyInfo.PublicKey.cbData);
  for (DWORD e = 0; e < i.cExtension; ++e) {
    const CERT_EXTENSION& x = i.rgExtension[e];
    out += std::string("|") + x.pszObjId + (x.fCritical ? "!" : "") + "=" + hex(x.Value);
  }
  return out;
}

TEST(CertificateInfoTest, StoredCertificatesDecodeAsFreshOnes) {
  TempDataHome home;
  auto dir = home.path();
  CommandResult r = velmor::testing::Run(
      "cd '" + dir.string() + "' && openssl req -x509 -newkey rsa:1024 -nodes -keyout k.pem " +
      "-subj '/CN=Ext CA/O=Bank' -days 2 -outform DER -out ca.der " +
      "-addext 'keyUsage=critical,keyCertSign' -addext 'subjectAltName=DNS:bank.example'");
  ASSERT_EQ(r.status, 0) << r.output;
  std::vector<std::uint8_t> der = ReadFile(dir / "ca.der");
  PCCERT_CONTEXT fresh = CertCreateCertificateContext(X509_ASN_ENCODING, der.data(),
                                                      static_cast<DWORD>(der.size()));
  ASSERT_NE(fresh, nullptr);
  std::string expected = Describe(*fresh->pCertInfo);
  EXPECT_GE(fresh->pCertInfo->cExtension, 4u);
  bool criticalKeyUsage = false;
  for (DWORD e = 0; e < fresh->pCertInfo->cExtension; ++e) {
    const CERT_EXTENSION& x = fresh->pCertInfo->rgExtension[e];
    if (std::string(x.pszObjId) == "2.5.29.15") criticalKeyUsage = x.fCritical != FALSE;
  }
  EXPECT_TRUE(criticalKeyUsage);
  CertFreeCertificateContext(fresh);
  ASSERT_TRUE(velmor::admin::AddCertificates("CA", der, nullptr));
  velmor::crypt::DropCaches();  // as a new process sees it
  HCERTSTORE store = CertOpenSystemStoreA(0, "CA");
  PCCERT_CONTEXT stored = CertEnumCertificatesInStore(store, nullptr);
  ASSERT_NE(stored, nullptr);
  EXPECT_EQ(Describe(*stored->pCertInfo), expected);
  // And its OpenSSL side works when needed: it verifies its own signature.
  DWORD flags = CERT_STORE_SIGNATURE_FLAG | CERT_STORE_TIME_VALIDITY_FLAG;
  EXPECT_TRUE(CertVerifySubjectCertificateContext(stored, stored, &flags));
  EXPECT_EQ(flags, 0u);
  CertFreeCertificateContext(stored);
  CertCloseStore(store, 0);
}

}  // namespace

namespace {

// Another process writes to the database (the sqlite3 tool stands in for it): what this process
// cached must not be served afterwards, whether it had enumerated the store since the open or
// only opened it (the open's reading is what the first enumeration would use).
class CrossProcessTest : public ::testing::TestWithParam<bool> {};  // enumerated before the write

TEST_P(CrossProcessTest, AnotherWriterInvalidatesTheCaches) {
  if (velmor::testing::Run("command -v sqlite3").status != 0) GTEST_SKIP() << "no sqlite3 tool";
  TempDataHome home;
  TestCert cert = MakeCert(Spec("/CN=Shared/OU=QVA"));
  ImportWithKey("MY", cert, AT_KEYEXCHANGE, "shared-box");
  HCERTSTORE store = CertOpenSystemStoreA(0, "MY");
  auto count = [&] {
    int n = 0;
    PCCERT_CONTEXT ctx = nullptr;
    while ((ctx = CertEnumCertificatesInStore(store, ctx)) != nullptr) ++n;
    return n;
  };
  if (GetParam()) {
    ASSERT_EQ(count(), 1);
  }
  HCRYPTPROV prov = 0;
  ASSERT_TRUE(CryptAcquireContextA(&prov, "shared-box", nullptr, PROV_RSA_FULL, 0));
  HCRYPTHASH hash = 0;
  ASSERT_TRUE(CryptCreateHash(prov, CALG_MD5, 0, 0, &hash));
  DWORD len = 0;
  ASSERT_TRUE(CryptSignHashA(hash, AT_KEYEXCHANGE, nullptr, 0, nullptr, &len));  // key now cached

  std::string db = (home.path() / "velmor" / "store.db").string();
  CommandResult r = velmor::testing::Run(
      "sqlite3 '" + db + "' \"INSERT INTO certs(store, der) SELECT store, der FROM certs; " +
      "DELETE FROM keys; UPDATE meta SET v = v + 1 WHERE k = 'generation';\"");
  ASSERT_EQ(r.status, 0) << r.output;
  EXPECT_EQ(count(), 2);
  EXPECT_FALSE(CryptSignHashA(hash, AT_KEYEXCHANGE, nullptr, 0, nullptr, &len));
  EXPECT_EQ(GetLastError(), NTE_NO_KEY);
  CryptDestroyHash(hash);
  CryptReleaseContext(prov, 0);
  CertCloseStore(store, 0);
}

INSTANTIATE_TEST_SUITE_P(When, CrossProcessTest, ::testing::Bool(),
                         [](const ::testing::TestParamInfo<bool>& p) {
                           return p.param ? "AfterAnEnumeration" : "BetweenOpenAndEnumeration";
                         });

}  // namespace

namespace {

TEST(MemoryStoreTest, HoldsWhatIsAddedUntilClosed) {
  TestCert a = MakeCert(Spec("/CN=Mem A", {0x0A}));
  TestCert b = MakeCert(Spec("/CN=Mem B", {0x0B}));
  HCERTSTORE store = CertOpenStore(CERT_STORE_PROV_MEMORY, 0, 0, 0, nullptr);
  ASSERT_NE(store, nullptr);
  ASSERT_TRUE(Add(store, a));
  PCCERT_CONTEXT added = nullptr;
  ASSERT_TRUE(Add(store, b, CERT_STORE_ADD_ALWAYS, &added));
  EXPECT_EQ(Serials(store), (std::vector<std::string>{"0a", "0b"}));
  EXPECT_TRUE(CertDeleteCertificateFromStore(added));
  EXPECT_EQ(Serials(store), (std::vector<std::string>{"0a"}));
  EXPECT_TRUE(CertCloseStore(store, CERT_CLOSE_STORE_CHECK_FLAG));
  EXPECT_FALSE(CertCloseStore(store, 0));  // a closed handle is refused
  EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
}

}  // namespace

namespace {

// A database removed and made again is another database, even when the new file gets the old
// one's inode number and reaches the same write count: nothing of the old one may be served.
TEST(RecreatedDatabaseTest, ServesNothingOfTheRemovedOne) {
  TempDataHome home;
  const auto dir = home.path() / "velmor";
  auto serials = [] {
    HCERTSTORE store = CertOpenSystemStoreA(0, "MY");
    EXPECT_NE(store, nullptr);
    std::vector<std::string> out = store != nullptr ? Serials(store) : std::vector<std::string>{};
    CertCloseStore(store, 0);
    return out;
  };
  // The modulus of the container's exchange key, least significant byte first.
  auto modulus = [] {
    HCRYPTPROV prov = 0;
    HCRYPTKEY key = 0;
    std::vector<BYTE> blob;
    if (!CryptAcquireContextA(&prov, "reborn", nullptr, PROV_RSA_FULL, 0)) return blob;
    DWORD len = 0;
    if (CryptGetUserKey(prov, AT_KEYEXCHANGE, &key) &&
        CryptExportKey(key, 0, PUBLICKEYBLOB, 0, nullptr, &len)) {
      blob.resize(len);
      if (!CryptExportKey(key, 0, PUBLICKEYBLOB, 0, blob.data(), &len)) blob.clear();
    }
    CryptDestroyKey(key);
    CryptReleaseContext(prov, 0);
    return blob;
  };
  std::vector<BYTE> previous;
  for (int round = 0; round < 3; ++round) {
    CertSpec spec = Spec("/CN=Reborn", {static_cast<std::uint8_t>(0x10 + round)});
    spec.key = MakeKey(1024, true);
    TestCert cert = MakeCert(spec);
    ImportWithKey("MY", cert, AT_KEYEXCHANGE, "reborn");
    EXPECT_EQ(serials(), std::vector<std::string>{cert.serialHex}) << "round " << round;
    std::vector<BYTE> current = modulus();
    ASSERT_FALSE(current.empty());
    EXPECT_NE(current, previous) << "round " << round;
    previous = current;
    for (const char* file : {"store.db", "store.db-wal", "store.db-shm"}) {
      std::filesystem::remove(dir / file);
    }
  }
}

}  // namespace
