// Keys on tokens: real SoftHSM tokens found through p11-kit, the PIN through a scripted
// pinentry.
#include <gtest/gtest.h>

#include <signal.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "platform/crypt/crypt.h"
#include "tests/support/softhsm.h"

namespace {

using namespace velmor::testing;

struct Found {
  std::string provider, container;
  bool present = false;
};

// InMy: the key-provider property of the certificate with that serial in "MY".
Found InMy(const std::string& serialHex) {
  Found found;
  HCERTSTORE store = CertOpenSystemStoreA(0, "MY");
  if (store == nullptr) return found;
  for (PCCERT_CONTEXT c = CertEnumCertificatesInStore(store, nullptr); c != nullptr;
       c = CertEnumCertificatesInStore(store, c)) {
    std::string serial;
    const CRYPT_INTEGER_BLOB& blob = c->pCertInfo->SerialNumber;
    for (DWORD i = blob.cbData; i > 0; --i) serial += BytesToHex(&blob.pbData[i - 1], 1);
    if (serial != serialHex) continue;
    DWORD size = 0;
    if (CertGetCertificateContextProperty(c, CERT_KEY_PROV_INFO_PROP_ID, nullptr, &size)) {
      std::vector<BYTE> buffer(size);
      CertGetCertificateContextProperty(c, CERT_KEY_PROV_INFO_PROP_ID, buffer.data(), &size);
      const auto* info = reinterpret_cast<const CRYPT_KEY_PROV_INFO*>(buffer.data());
      for (const WCHAR* p = info->pwszProvName; p && *p; ++p) found.provider += static_cast<char>(*p);
      for (const WCHAR* p = info->pwszContainerName; p && *p; ++p) found.container += static_cast<char>(*p);
    }
    found.present = true;
    CertFreeCertificateContext(c);
    break;
  }
  CertCloseStore(store, 0);
  return found;
}

// Sign: the MD5 signature of `text` by the key of a context, least significant byte first;
// empty with the last error kept when a step fails.
std::vector<BYTE> Sign(HCRYPTPROV prov, const std::string& text) {
  HCRYPTHASH hash = 0;
  std::vector<BYTE> signature;
  if (!CryptCreateHash(prov, CALG_MD5, 0, 0, &hash)) return signature;
  DWORD length = 0;
  if (CryptHashData(hash, reinterpret_cast<const BYTE*>(text.data()), text.size(), 0) &&
      CryptSignHashA(hash, AT_KEYEXCHANGE, nullptr, 0, nullptr, &length)) {
    signature.resize(length);
    if (!CryptSignHashA(hash, AT_KEYEXCHANGE, nullptr, 0, signature.data(), &length)) signature.clear();
  }
  const DWORD error = GetLastError();
  CryptDestroyHash(hash);
  SetLastError(error);
  return signature;
}

class TokenTest : public ::testing::Test {
 protected:
  void SetUp() override {
    Tokens();
    PinentryAnswer(std::string("pin:") + kTokenPin);
  }
  TempDataHome home_;
};

TEST_F(TokenTest, MyShowsTheTokensCertificatesAndTheirKeysSignAsTheSameKeyInSoftware) {
  const TestToken& token = Tokens().main;
  const Found found = InMy(token.cert.serialHex);
  ASSERT_TRUE(found.present);
  EXPECT_EQ(found.provider, TOKEN_PROV_A);
  EXPECT_EQ(found.container.rfind("pkcs11:", 0), 0u) << found.container;
  EXPECT_NE(found.container.find("token=Velmor%20Main"), std::string::npos) << found.container;

  HCRYPTPROV onToken = 0;
  ASSERT_TRUE(CryptAcquireContextA(&onToken, found.container.c_str(), TOKEN_PROV_A, PROV_RSA_FULL, 0))
      << std::hex << GetLastError();
  EXPECT_NE(PinentryLog().find("SETDESC"), std::string::npos);
  EXPECT_NE(PinentryLog().find("Tessa Token"), std::string::npos) << PinentryLog();
  const std::vector<BYTE> tokenSignature = Sign(onToken, "abc");
  EXPECT_TRUE(CryptReleaseContext(onToken, 0));

  ImportWithKey("CA", token.cert, AT_KEYEXCHANGE, "software");
  HCRYPTPROV inSoftware = 0;
  ASSERT_TRUE(CryptAcquireContextA(&inSoftware, "software", MS_ENHANCED_PROV_A, PROV_RSA_FULL, 0));
  EXPECT_EQ(tokenSignature, Sign(inSoftware, "abc"));
  EXPECT_TRUE(CryptReleaseContext(inSoftware, 0));

  // The peer: openssl checks the token's signature, most significant byte first.
  const auto dir = home_.path();
  WriteFile(dir / "data", std::string("abc"));
  WriteFile(dir / "sig", std::vector<std::uint8_t>(tokenSignature.rbegin(), tokenSignature.rend()));
  WriteFile(dir / "cert.pem", token.cert.pem());
  ASSERT_EQ(velmor::testing::Run("openssl x509 -in " + (dir / "cert.pem").string() + " -pubkey -noout > " +
                (dir / "pub.pem").string()).status, 0);
  const auto verified = velmor::testing::Run("openssl dgst -md5 -verify " + (dir / "pub.pem").string() +
                            " -signature " + (dir / "sig").string() + " " + (dir / "data").string());
  EXPECT_EQ(verified.status, 0) << verified.output;

  // The token's certificates are not the database's to change.
  HCERTSTORE store = CertOpenSystemStoreA(0, "MY");
  PCCERT_CONTEXT last = nullptr;
  for (PCCERT_CONTEXT c = CertEnumCertificatesInStore(store, nullptr); c != nullptr;
       c = CertEnumCertificatesInStore(store, c)) {
    CertFreeCertificateContext(last);
    last = CertDuplicateCertificateContext(c);
  }
  ASSERT_NE(last, nullptr);
  EXPECT_FALSE(CertDeleteCertificateFromStore(last));
  EXPECT_EQ(GetLastError(), E_ACCESSDENIED_DW);
  CertCloseStore(store, 0);
}

TEST_F(TokenTest, TwoContextsShareOneLoginThatOutlivesTheFirst) {
  const Found found = InMy(Tokens().main.cert.serialHex);
  HCRYPTPROV first = 0, second = 0;
  ASSERT_TRUE(CryptAcquireContextA(&first, found.container.c_str(), TOKEN_PROV_A, PROV_RSA_FULL, 0));
  PinentryAnswer("cancel");  // a second dialog would fail the second context
  ASSERT_TRUE(CryptAcquireContextA(&second, found.container.c_str(), TOKEN_PROV_A, PROV_RSA_FULL, 0))
      << std::hex << GetLastError();
  EXPECT_EQ(PinentryLog(), "");
  EXPECT_TRUE(CryptReleaseContext(first, 0));
  EXPECT_EQ(Sign(second, "abc").size(), 128u) << std::hex << GetLastError();
  EXPECT_TRUE(CryptReleaseContext(second, 0));
}

struct PinCase {
  const char* name;
  std::string answer;  // the scripted pinentry's answer; "none": no pinentry at all
  bool lockedToken;
  DWORD flags;
  DWORD error;  // 0: the context is had
};

class TokenPinTest : public TokenTest, public ::testing::WithParamInterface<PinCase> {
 protected:
  void TearDown() override { setenv("VELMOR_PINENTRY", Tokens().pinentry.c_str(), 1); }
};

TEST_P(TokenPinTest, AcquiringTheContextLogsInOrSaysWhyNot) {
  const PinCase& c = GetParam();
  const TestToken& token = c.lockedToken ? Tokens().locked : Tokens().main;
  const Found found = InMy(token.cert.serialHex);
  ASSERT_TRUE(found.present);
  if (c.answer == "none") {
    setenv("VELMOR_PINENTRY", (home_.path() / "no-such-pinentry").c_str(), 1);
  } else {
    PinentryAnswer(c.answer);
  }
  HCRYPTPROV prov = 0;
  const BOOL acquired =
      CryptAcquireContextA(&prov, found.container.c_str(), TOKEN_PROV_A, PROV_RSA_FULL, c.flags);
  if (c.error == 0) {
    ASSERT_TRUE(acquired) << std::hex << GetLastError();
    HCRYPTKEY key = 0;
    EXPECT_TRUE(CryptGetUserKey(prov, AT_KEYEXCHANGE, &key));
    CryptDestroyKey(key);
    EXPECT_TRUE(CryptReleaseContext(prov, 0));
  } else {
    EXPECT_FALSE(acquired);
    EXPECT_EQ(GetLastError(), c.error) << std::hex << GetLastError();
    EXPECT_EQ(prov, 0u);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, TokenPinTest,
    ::testing::Values(
        PinCase{"RightPin", std::string("pin:") + kTokenPin, false, 0, 0},
        PinCase{"PinWithEscapedPercent", "pin:%25", false, 0, SCARD_W_WRONG_CHV},
        PinCase{"WrongPin", "pin:0000", false, 0, SCARD_W_WRONG_CHV},
        PinCase{"Cancelled", "cancel", false, 0, SCARD_W_CANCELLED_BY_USER},
        PinCase{"BlockedPinAsksNothing", "cancel", true, 0, SCARD_W_CHV_BLOCKED},
        PinCase{"SilentContextCannotAsk", "cancel", false, CRYPT_SILENT, NTE_SILENT_CONTEXT},
        PinCase{"NoPinentry", "none", false, 0, NTE_SILENT_CONTEXT},
        PinCase{"PinentryNeverAnswers", "hang", false, 0, 1460u /* ERROR_TIMEOUT */},
        PinCase{"LineOverTheAssuanLimit", "garbage", false, 0, NTE_FAIL}),
    [](const auto& param) { return std::string(param.param.name); });

TEST_F(TokenTest, ATokenPulledOutBetweenTwoCallsIsARemovedCard) {
  const TestToken& token = Tokens().removable;
  const Found found = InMy(token.cert.serialHex);
  ASSERT_TRUE(found.present);
  HCRYPTPROV prov = 0;
  ASSERT_TRUE(CryptAcquireContextA(&prov, found.container.c_str(), TOKEN_PROV_A, PROV_RSA_FULL, 0));
  std::filesystem::remove_all(token.folder);
  EXPECT_TRUE(Sign(prov, "abc").empty());
  EXPECT_EQ(GetLastError(), SCARD_W_REMOVED_CARD);
  EXPECT_TRUE(CryptReleaseContext(prov, 0));
  // Gone from "MY" too, and its container opens nothing.
  EXPECT_FALSE(InMy(token.cert.serialHex).present);
  EXPECT_FALSE(CryptAcquireContextA(&prov, found.container.c_str(), TOKEN_PROV_A, PROV_RSA_FULL, 0));
  EXPECT_EQ(GetLastError(), SCARD_W_REMOVED_CARD);
}

// Alive: whether a process runs (a zombie waiting for its parent does not count).
bool Alive(pid_t pid) {
  std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
  std::string line;
  if (!std::getline(stat, line)) return false;
  const auto end = line.rfind(')');
  return end != std::string::npos && end + 2 < line.size() && line[end + 2] != 'Z';
}

// Eventually: whether `condition` holds within `seconds`, asked every 100 ms.
bool Eventually(const std::function<bool()>& condition, int seconds) {
  const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
  for (;;) {
    if (condition()) return true;
    if (std::chrono::steady_clock::now() > until) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
}

TEST_F(TokenTest, ADialogThatTimesOutIsEndedWithEverythingItStarted) {
  const Found found = InMy(Tokens().main.cert.serialHex);
  const auto pids = home_.path() / "dialog-children";
  PinentryAnswer("spawn:" + pids.string());
  HCRYPTPROV prov = 0;
  EXPECT_FALSE(CryptAcquireContextA(&prov, found.container.c_str(), TOKEN_PROV_A, PROV_RSA_FULL, 0));
  EXPECT_EQ(GetLastError(), 1460u /* ERROR_TIMEOUT */);
  std::vector<pid_t> children;
  std::ifstream in(pids);
  for (pid_t pid = 0; in >> pid;) children.push_back(pid);
  ASSERT_EQ(children.size(), 2u);
  for (pid_t pid : children) {
    EXPECT_TRUE(Eventually([pid] { return !Alive(pid); }, 2)) << "the dialog's child " << pid << " survived";
    if (Alive(pid)) ::kill(pid, SIGKILL);
  }
}

TEST_F(TokenTest, ATokenAddedOrPutBackIsSeenByARunningProcess) {
  ASSERT_TRUE(InMy(Tokens().main.cert.serialHex).present);  // SoftHSM is in use by now
  const TestToken late = AddToken("Velmor Late", "/CN=Luca Late/OU=QVA/O=Tarnvik Bank", {0x7a, 0x11, 0x07});
  EXPECT_TRUE(Eventually([&] { return InMy(late.cert.serialHex).present; }, 5)) << "a token added";

  const auto away = home_.path() / "token-away";
  std::filesystem::rename(late.folder, away);
  EXPECT_TRUE(Eventually([&] { return !InMy(late.cert.serialHex).present; }, 5)) << "a token taken out";
  std::filesystem::rename(away, late.folder);
  EXPECT_TRUE(Eventually([&] { return InMy(late.cert.serialHex).present; }, 5)) << "a token put back";

  const Found found = InMy(late.cert.serialHex);
  HCRYPTPROV prov = 0;
  ASSERT_TRUE(CryptAcquireContextA(&prov, found.container.c_str(), TOKEN_PROV_A, PROV_RSA_FULL, 0))
      << std::hex << GetLastError();
  EXPECT_EQ(Sign(prov, "abc").size(), 128u) << std::hex << GetLastError();
  EXPECT_TRUE(CryptReleaseContext(prov, 0));
}

}  // namespace
