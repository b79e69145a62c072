// The signing members with a key on a SoftHSM token: unchanged results, checked by the
// `openssl` tool, and the PIN's outcomes in each member's own codes.
#include <cstdio>
#include <functional>

#include "tests/signing/fixture.h"
#include "tests/support/seam.h"
#include "tests/support/softhsm.h"

namespace velmor::testing {
namespace {

std::size_t Count(const std::string& text, const std::string& what) {
  std::size_t n = 0;
  for (std::size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
  return n;
}

std::string WithError(const char* code, DWORD error) {
  char text[64];
  std::snprintf(text, sizeof text, "%s %x %d", code, error, static_cast<int>(error));
  return text;
}

class TokenSigningTest : public SigningTest {
 protected:
  void SetUp() override {
    Tokens();
    SigningTest::SetUp();
    PinentryAnswer(std::string("pin:") + kTokenPin);
  }
};

TEST_F(TokenSigningTest, EveryMemberWorksWithTheTokensKeyAndTheUserSeesWhatIsSigned) {
  const TestToken& token = Tokens().main;
  SelectSigner(token.cert);
  EXPECT_NE(Call(getCertList).find("CN=Tessa Token," + token.cert.serialHex + ";"), std::string::npos);
  EXPECT_EQ(Call(getProviderName), TOKEN_PROV_A);
  EXPECT_EQ(PinentryLog(), "");  // listing and naming never ask for the PIN

  const std::string text = "Pay 100.00 EUR to Bob~!~ref 42";
  SetSignData(state_, text.c_str());
  const std::string stored = g_szSignData;
  const std::string signData = Call(GetSignData);
  ASSERT_EQ(signData.rfind("A:", 0), 0u) << signData;
  EXPECT_TRUE(VerifiesWithOpenssl(token.cert, stored, signData.substr(2 + 8 + stored.size() + 8)));
  const std::string dialog = PinentryLog();
  EXPECT_EQ(Count(dialog, "GETPIN"), 1u);
  EXPECT_NE(dialog.find("CN=Tessa Token"), std::string::npos) << dialog;
  EXPECT_NE(dialog.find("Pay 100.00 EUR to Bob"), std::string::npos) << dialog;

  const std::string signature = Call(GetSignature);
  ASSERT_EQ(signature.rfind("L:00000256", 0), 0u) << signature;
  EXPECT_EQ(signature.substr(10), signData.substr(signData.size() - 256));

  const auto file = Dir() / "statement.txt";
  WriteFile(file, std::string("a statement\n"));
  SetSignFile(state_, file.c_str());
  const std::string signFile = Call(GetSignFile);
  ASSERT_EQ(signFile.rfind("F:00000256", 0), 0u) << signFile;
  EXPECT_TRUE(VerifiesWithOpenssl(token.cert, file, signFile.substr(10)));

  PinentryAnswer(std::string("pin:") + kTokenPin);
  const std::string message = Call(PKCS7Data);
  ASSERT_NE(message.rfind("E:", 0), 0u) << message;
  EXPECT_EQ(Count(PinentryLog(), "GETPIN"), 1u);  // the size query does not reach the token
  WriteFile(Dir() / "message.der", DecodeBase64(message));
  const CommandResult verify = velmor::testing::Run("openssl cms -verify -inform DER -noverify -in '" +
                                   (Dir() / "message.der").string() + "' -out '" +
                                   (Dir() / "content").string() + "'");
  ASSERT_EQ(verify.status, 0) << verify.output;
  const auto content = ReadFile(Dir() / "content");
  EXPECT_EQ(std::string(content.begin(), content.end()), stored);
}

enum class Which { kMain, kLocked, kRemovable };

struct PinOutcome {
  const char* name;
  std::function<std::string(CtrlState&)> member;
  std::string answer;
  Which token;
  std::string expected;  // the whole result
  DWORD lastError;       // left set, for the members whose code carries none
};

class TokenPinOutcomeTest : public TokenSigningTest,
                            public ::testing::WithParamInterface<PinOutcome> {};

TEST_P(TokenPinOutcomeTest, TheMemberAnswersWithTheReason) {
  const PinOutcome& c = GetParam();
  const TestToken& token = c.token == Which::kMain     ? Tokens().main
                           : c.token == Which::kLocked ? Tokens().locked
                                                       : Tokens().removable;
  SelectSigner(token.cert);
  SetSignData(state_, "abc");
  const auto file = Dir() / "f";
  WriteFile(file, std::string("abc"));
  SetSignFile(state_, file.c_str());
  std::string answer = c.answer;
  if (answer == "remove") answer = "remove:" + token.folder.string() + ":" + kTokenPin;
  PinentryAnswer(answer);
  EXPECT_EQ(Call(c.member), c.expected);
  EXPECT_EQ(GetLastError(), c.lastError) << std::hex << GetLastError();
}

INSTANTIATE_TEST_SUITE_P(
    Cases, TokenPinOutcomeTest,
    ::testing::Values(
        PinOutcome{"SignDataWrongPin", GetSignData, "pin:0000", Which::kMain,
                   WithError("E:0090", SCARD_W_WRONG_CHV), SCARD_W_WRONG_CHV},
        PinOutcome{"SignatureCancelled", GetSignature, "cancel", Which::kMain,
                   WithError("E:0090", SCARD_W_CANCELLED_BY_USER), SCARD_W_CANCELLED_BY_USER},
        PinOutcome{"SignFileBlocked", GetSignFile, "cancel", Which::kLocked,
                   WithError("E:0090", SCARD_W_CHV_BLOCKED), SCARD_W_CHV_BLOCKED},
        PinOutcome{"SignDataTokenPulledOutWhileAsking", GetSignData, "remove", Which::kRemovable,
                   WithError("E:0090", SCARD_W_REMOVED_CARD), SCARD_W_REMOVED_CARD},
        PinOutcome{"PKCS7DataWrongPin", PKCS7Data, "pin:0000", Which::kMain, "E:0006",
                   SCARD_W_WRONG_CHV}),
    [](const auto& param) { return std::string(param.param.name); });

// A key the token shows only after login is offered and found then; a certificate without one,
// or with a key that is not its own, is refused the way a container of ours would be.
struct KeyCase {
  const char* name;
  std::function<std::string(CtrlState&)> member;
  std::function<const TestCert&()> cert;
  std::string expected;  // "" for a signature openssl verifies
  DWORD lastError;
  bool publicHalfHidden = false;  // the token shows neither modulus nor public key object
};

void PrintTo(const KeyCase& c, std::ostream* os) { *os << c.name; }

class TokenKeyTest : public TokenSigningTest, public ::testing::WithParamInterface<KeyCase> {};

TEST_P(TokenKeyTest, TheKeyIsFoundAtLoginAndMustBeTheCertificates) {
  const KeyCase& c = GetParam();
  const TestCert& cert = c.cert();
  SelectSigner(cert);
  EXPECT_NE(Call(getCertList).find(cert.serialHex + ";"), std::string::npos);
  SetSignData(state_, "abc");
  if (c.publicHalfHidden) velmor::crypt::InjectFailure("C_GetAttributeValue", NTE_FAIL, "CKA_MODULUS");
  const std::string answer = Call(c.member);
  velmor::crypt::ClearInjectedFailures();
  if (c.expected.empty()) {
    ASSERT_EQ(answer.rfind("A:00000003abc00000256", 0), 0u) << answer;
    EXPECT_TRUE(VerifiesWithOpenssl(cert, std::string("abc"), answer.substr(2 + 8 + 3 + 8)));
    EXPECT_EQ(Count(PinentryLog(), "GETPIN"), 1u);
  } else {
    EXPECT_EQ(answer, c.expected);
    EXPECT_EQ(GetLastError(), c.lastError) << std::hex << GetLastError();
  }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, TokenKeyTest,
    ::testing::Values(
        KeyCase{"HiddenUntilLogin", GetSignData, []() -> const TestCert& { return Tokens().hidden.cert; },
                "", 0},
        KeyCase{"NoneAfterLogin", GetSignData,
                []() -> const TestCert& { return Tokens().hiddenWithoutKey; },
                WithError("E:0090", NTE_NO_KEY), NTE_NO_KEY},
        KeyCase{"SignDataNotTheCertificatesKey", GetSignData,
                []() -> const TestCert& { return Tokens().mismatched.cert; },
                WithError("E:0090", NTE_BAD_KEY), NTE_BAD_KEY},
        KeyCase{"SignatureNotTheCertificatesKey", GetSignature,
                []() -> const TestCert& { return Tokens().mismatched.cert; },
                WithError("E:0090", NTE_BAD_KEY), NTE_BAD_KEY},
        KeyCase{"PKCS7DataNotTheCertificatesKey", PKCS7Data,
                []() -> const TestCert& { return Tokens().mismatched.cert; }, "E:0006", NTE_BAD_KEY},
        KeyCase{"PublicHalfHiddenFirstSignatureChecked", GetSignData,
                []() -> const TestCert& { return Tokens().hidden.cert; }, "", 0, true},
        // Known only once the token has signed: the signature is withheld.
        KeyCase{"PublicHalfHiddenNotTheCertificatesKey", GetSignData,
                []() -> const TestCert& { return Tokens().mismatched.cert; }, "E:0006", NTE_BAD_KEY,
                true}),
    [](const auto& param) { return std::string(param.param.name); });

}  // namespace
}  // namespace velmor::testing
