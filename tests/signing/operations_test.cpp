// The five signing operations against the platform: which result each gives when a step fails,
// and that none of them leaves a working handle behind.
#include <cctype>
#include <cstdio>
#include <cstring>

#include "certs/find.h"
#include "tests/signing/fixture.h"

namespace velmor::testing {
namespace {

using Operation = std::string (*)(CtrlState&);

struct NamedOperation {
  const char* name;
  Operation run;
};

// Order of the columns in the tables below.
const NamedOperation kOperations[] = {
    {"SignData", GetSignData}, {"Signature", GetSignature}, {"SignFile", GetSignFile},
    {"PKCS7Data", PKCS7Data},  {"SignCert", SignCert},
};
constexpr std::size_t kOperationCount = std::size(kOperations);

// Expected answers: an exact result, "ok" for any success, or null where the row says nothing
// about that operation.
constexpr const char* kOk = "ok";

std::string ErrorText(const char* code, DWORD error) {
  char text[64];
  std::snprintf(text, sizeof text, "%s %x %d", code, static_cast<unsigned>(error),
                static_cast<int>(error));
  return text;
}

void ExpectAnswer(const std::string& result, const char* expected, const char* operation) {
  if (expected == nullptr) return;
  if (std::strcmp(expected, kOk) == 0) {
    EXPECT_NE(result.rfind("E:", 0), 0u) << operation << ": " << result;
  } else {
    EXPECT_EQ(result, expected) << operation;
  }
}

class OperationsTest : public SigningTest {
 protected:
  void SetUp() override {
    SigningTest::SetUp();
    WriteFile(Dir() / "data.bin", std::string("abc"));
    SetSignFile(state_, (Dir() / "data.bin").string().c_str());
    SetSignData(state_, "abc");
  }

  void ExpectAll(const std::string (&expected)[kOperationCount]) {
    for (std::size_t i = 0; i < kOperationCount; ++i) {
      ExpectAnswer(Call(kOperations[i].run), expected[i].empty() ? nullptr : expected[i].c_str(),
                   kOperations[i].name);
    }
  }
};

struct InjectedFailure {
  const char* name;
  const char* function;
  DWORD error;
  unsigned count;
  // SignData, Signature, SignFile, PKCS7Data, SignCert; null: not checked.
  const char* expected[kOperationCount];
  unsigned pass;  // matching calls let through before the failure: 1 fails the second of a pair
};

class InjectedFailures : public OperationsTest,
                         public ::testing::WithParamInterface<InjectedFailure> {};

TEST_P(InjectedFailures, AnswerWithTheCodeOfTheFailedStep) {
  ImportSigner();
  const InjectedFailure& row = GetParam();
  for (std::size_t i = 0; i < kOperationCount; ++i) {
    crypt::InjectFailure(row.function, row.error, nullptr, row.count, row.pass);
    ExpectAnswer(Call(kOperations[i].run), row.expected[i], kOperations[i].name);
    crypt::ClearInjectedFailures();
  }
}

const std::string kBadKeyset = ErrorText("E:0001", NTE_BAD_KEYSET);
const std::string kBadAlg = ErrorText("E:0092", NTE_BAD_ALGID);

const InjectedFailure kInjectedFailures[] = {
    {"ProviderContext",
     "CryptAcquireContextA",
     NTE_BAD_KEYSET,
     0,
     {kBadKeyset.c_str(), kBadKeyset.c_str(), kBadKeyset.c_str(), kBadKeyset.c_str(),
      kBadKeyset.c_str()}, 0},
    {"Store",
     "CertOpenSystemStoreA",
     NTE_FAIL,
     0,
     {"E:0002", "E:0002", "E:0002", "E:0002", "E:0002"}, 0},
    {"KeyProviderProperty",
     "CertGetCertificateContextProperty",
     CRYPT_E_NOT_FOUND,
     1,
     {"E:0099", "E:0099", "E:0099", nullptr, kOk}, 0},
    {"CreateHash",
     "CryptCreateHash",
     NTE_BAD_ALGID,
     0,
     {kBadAlg.c_str(), kBadAlg.c_str(), kBadAlg.c_str(), nullptr, kOk}, 0},
    {"HashData", "CryptHashData", NTE_BAD_HASH, 0, {"E:0093", "E:0093", "E:0093", nullptr, kOk}, 0},
    {"SignatureSize",
     "CryptSignHashA",
     NTE_BAD_KEY,
     1,
     {"E:0004", "E:0004", "E:0004", nullptr, kOk}, 0},
    {"MessageSize", "CryptSignMessage", NTE_BAD_KEY, 1, {kOk, kOk, kOk, "E:0004", kOk}, 0},
    // The second call of each pair: the size was learnt, the real call fails.
    {"KeyProviderPropertyRead",
     "CertGetCertificateContextProperty",
     CRYPT_E_NOT_FOUND,
     1,
     {"E:0099", "E:0099", "E:0099", nullptr, kOk},
     1},
    {"Signing", "CryptSignHashA", NTE_BAD_KEY, 1, {"E:0006", "E:0006", "E:0006", nullptr, kOk}, 1},
    {"Message", "CryptSignMessage", NTE_BAD_KEY, 1, {kOk, kOk, kOk, "E:0006", kOk}, 1},
};

INSTANTIATE_TEST_SUITE_P(Steps, InjectedFailures, ::testing::ValuesIn(kInjectedFailures),
                         [](const auto& row) { return std::string(row.param.name); });

TEST_F(OperationsTest, WithoutMatchingSignerEveryOperationAnswers0003) {
  const TestCert cert = ImportSigner();
  SetSignFile(state_, (Dir() / "missing.bin").string().c_str());
  // Order matters to the page: no signer is reported before a missing file.
  const std::string none[kOperationCount] = {"E:0003", "E:0003", "E:0003", "E:0003", "E:0003"};

  SetCN(state_, nullptr);
  ExpectAll(none);
  std::string upper = cert.serialHex;
  for (char& c : upper) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  if (upper != cert.serialHex) {
    SetCN(state_, CNText("CN=Alice", upper).c_str());
    ExpectAll(none);
  }
  SetCN(state_, CNText("CN=Alice", "0102").c_str());
  ExpectAll(none);
}

TEST_F(OperationsTest, SignerNeedsAnAcceptedOrganisationalUnit) {
  CertSpec spec;
  spec.subject = "/CN=Alice/OU=Retail/O=Tarnvik Bank";
  const TestCert cert = MakeCert(spec);
  ImportWithKey("MY", cert);
  SelectSigner(cert);
  const std::string none[kOperationCount] = {"E:0003", "E:0003", "E:0003", "E:0003", "E:0003"};
  ExpectAll(none);
}

TEST_F(OperationsTest, CertificateWithoutKeyPropertyCanOnlyBeFetched) {
  const TestCert cert = MakeSigner();
  AddToStore("MY", cert);
  SelectSigner(cert);
  const std::string expected[kOperationCount] = {"E:0099", "E:0099", "E:0099", "", kOk};
  ExpectAll(expected);
  EXPECT_EQ(Call(PKCS7Data).rfind("E:", 0), 0u);
}

TEST_F(OperationsTest, MissingKeyContainerIsReportedWithItsError) {
  const TestCert cert = MakeSigner();
  ImportWithKey("MY", cert, AT_KEYEXCHANGE, "velmor-test-gone");
  SelectSigner(cert);
  HCRYPTPROV gone = 0;
  ASSERT_TRUE(CryptAcquireContextA(&gone, "velmor-test-gone", MS_ENHANCED_PROV_A, PROV_RSA_FULL,
                                   CRYPT_DELETEKEYSET));
  for (std::size_t i = 0; i < 3; ++i) {
    const std::string result = Call(kOperations[i].run);
    EXPECT_EQ(result.rfind("E:0090 ", 0), 0u) << kOperations[i].name << ": " << result;
  }
  EXPECT_EQ(Call(PKCS7Data).rfind("E:", 0), 0u);
  EXPECT_EQ(Call(SignCert).rfind("E:", 0), std::string::npos);
}

TEST_F(OperationsTest, KeyContainerErrorIsTheOneOfTheFailedOpen) {
  // The error is taken at once: releasing the handles afterwards must not change it.
  const TestCert cert = MakeSigner();
  ImportWithKey("MY", cert, AT_KEYEXCHANGE, "velmor-test-refused");
  SelectSigner(cert);
  crypt::InjectFailure("CryptAcquireContextA", NTE_BAD_KEYSET, "velmor-test-refused");
  const std::string refused = ErrorText("E:0090", NTE_BAD_KEYSET);
  const std::string expected[kOperationCount] = {refused, refused, refused, "", kOk};
  ExpectAll(expected);
}

TEST_F(OperationsTest, KeyThatIsNotTheCertificatesDoesNotSign) {
  // An edited store: the signer's key-provider property names another certificate's container.
  const TestCert cert = MakeSigner();
  ImportWithKey("MY", cert, AT_KEYEXCHANGE, "velmor-test-own");
  CertSpec otherSpec = Spec("/CN=Bob/OU=QVA", {}, 1024);
  otherSpec.key = MakeKey(1024, true);
  ImportWithKey("MY", MakeCert(otherSpec), AT_KEYEXCHANGE, "velmor-test-other");
  SelectSigner(cert);
  {
    HCERTSTORE my = CertOpenSystemStoreA(0, "MY");
    PCCERT_CONTEXT found = getMySignerCert(my, ModuleInputs().CN());
    ASSERT_NE(found, nullptr);
    WCHAR container[] = u"velmor-test-other";
    WCHAR provider[] = u"Microsoft Enhanced Cryptographic Provider v1.0";
    CRYPT_KEY_PROV_INFO info{};
    info.pwszContainerName = container;
    info.pwszProvName = provider;
    info.dwProvType = PROV_RSA_FULL;
    info.dwKeySpec = AT_KEYEXCHANGE;
    EXPECT_TRUE(CertSetCertificateContextProperty(found, CERT_KEY_PROV_INFO_PROP_ID, 0, &info));
    CertFreeCertificateContext(found);
    CertCloseStore(my, 0);
  }
  const std::string badKey = ErrorText("E:0090", NTE_BAD_KEY);
  const std::string expected[kOperationCount] = {badKey, badKey, badKey, "", kOk};
  ExpectAll(expected);
  EXPECT_EQ(Call(PKCS7Data).rfind("E:", 0), 0u);
}

TEST_F(OperationsTest, KeyReplacedInItsContainerIsComparedAfresh) {
  // The answer of the comparison is kept with the loaded key: a key put into the container in
  // its place must be compared again, not take the old answer.
  const TestCert cert = MakeSigner();
  ImportWithKey("MY", cert, AT_KEYEXCHANGE, "velmor-test-replaced");
  SelectSigner(cert);
  const std::string signs[kOperationCount] = {kOk, kOk, kOk, kOk, kOk};
  ExpectAll(signs);
  HCRYPTPROV gone = 0;
  ASSERT_TRUE(CryptAcquireContextA(&gone, "velmor-test-replaced", nullptr, PROV_RSA_FULL,
                                   CRYPT_DELETEKEYSET));
  CertSpec otherSpec = Spec("/CN=Bob/OU=QVA", {}, 1024);
  otherSpec.key = MakeKey(1024, true);
  ImportWithKey("MY", MakeCert(otherSpec), AT_KEYEXCHANGE, "velmor-test-replaced");
  const std::string badKey = ErrorText("E:0090", NTE_BAD_KEY);
  const std::string refused[kOperationCount] = {badKey, badKey, badKey, "", kOk};
  ExpectAll(refused);
  EXPECT_EQ(Call(PKCS7Data).rfind("E:", 0), 0u);
}

TEST_F(OperationsTest, MissingFileIsReportedBeforeTheKeyProperty) {
  const TestCert cert = MakeSigner();
  AddToStore("MY", cert);
  SelectSigner(cert);
  SetSignFile(state_, (Dir() / "missing.bin").string().c_str());
  EXPECT_EQ(Call(GetSignFile), "E:0020");
}

TEST_F(OperationsTest, ContainerNameOfThreeByteCharactersIsOpened) {
  // Under a UTF-8 code page each of these characters takes three bytes: a name buffer sized at
  // two bytes a character cannot hold it.
  ASSERT_EQ(GetACP(), CP_UTF8);
  const TestCert cert = MakeSigner();
  ImportWithKey("MY", cert, AT_KEYEXCHANGE, "\xE7\xAD\xBE\xE5\x90\x8D\xE5\xAF\x86\xE9\x92\xA5");
  SelectSigner(cert);
  const std::string expected[kOperationCount] = {kOk, kOk, kOk, kOk, kOk};
  ExpectAll(expected);
}

TEST_F(OperationsTest, EmptySignDataIsRefusedOnlyByTheSignDataGetter) {
  ImportSigner();
  SetSignData(state_, "");
  // Refused before the store is touched: a failing store would otherwise show.
  crypt::InjectFailure("CertOpenSystemStoreA", NTE_FAIL);
  EXPECT_EQ(Call(GetSignData), "E:0100");
  crypt::ClearInjectedFailures();
  EXPECT_EQ(Call(GetSignature).rfind("L:", 0), 0u);
  EXPECT_EQ(Call(PKCS7Data).rfind("E:", 0), std::string::npos);
}

TEST_F(OperationsTest, EveryReadSignsAfresh) {
  ImportSigner();
  SetSignature(state_, "x");
  const std::string first = Call(GetSignature);
  ASSERT_EQ(first.rfind("L:00000256", 0), 0u) << first;
  SetSignData(state_, "abd");
  const std::string second = Call(GetSignature);
  EXPECT_NE(first, second);
  EXPECT_EQ(second.size(), first.size());
}

}  // namespace
}  // namespace velmor::testing
