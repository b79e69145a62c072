// The Operation's shared steps inside the frame: each answers with the code the calling member
// names, and whatever the steps acquired is released whichever way the body ends.
#include <new>

#include "tests/certs/certs_fixture.h"

namespace velmor::certs_test {
namespace {

// A member of our own making, with codes no real member uses, so that an answer can only have
// come from the codes passed in.
enum class TestCode { kNoContext = 71, kNoStore = 72, kNoSigner = 73, kNoRecord = 74,
                      kRecordMemory = 75, kNoContainer = 76, kNoMemory = 77 };
constexpr SignerCodes kSigner{TestCode::kNoContext, TestCode::kNoStore, TestCode::kNoSigner};
constexpr SignerKeyCodes kKey{TestCode::kNoRecord, TestCode::kRecordMemory,
                              TestCode::kNoContainer};

// OpenAll: every step in turn, answering with the first that fails; `thenThrow` runs out of
// memory once all of them went through.
std::string OpenAll(CtrlState& state, bool thenThrow) {
  return RunOperation(state, TestCode::kNoMemory, [&](Operation& op) -> std::string {
    if (Outcome step = op.OpenSigner(kSigner); step.Failed()) return std::move(step).Answer();
    if (Outcome step = op.OpenSignerKey(kKey); step.Failed()) return std::move(step).Answer();
    EXPECT_FALSE(state.WorkingHandlesEmpty());
    if (thenThrow) throw std::bad_alloc();
    return ResultString::Done();
  });
}

struct StepCase {
  const char* name;
  const char* function;  // the platform call made to fail ("" for none)
  const char* arg;
  bool selectSigner;
  bool thenThrow;
  const char* expected;
};
class OperationStepTest : public CertsTest, public ::testing::WithParamInterface<StepCase> {};

TEST_P(OperationStepTest, AnswersWithTheMembersCodeAndLeavesNoHandle) {
  const StepCase& c = GetParam();
  const pki::TestCert cert = Cert("/CN=Alice/OU=QVA");
  pki::ImportWithKey("MY", cert, AT_KEYEXCHANGE, "signer-key");
  if (c.selectSigner) SetCN(cert.serialHex);
  if (*c.function != '\0') crypt::InjectFailure(c.function, NTE_BAD_KEYSET, c.arg);
  EXPECT_EQ(OpenAll(state_, c.thenThrow), c.expected);
  EXPECT_TRUE(state_.WorkingHandlesEmpty());
}
INSTANTIATE_TEST_SUITE_P(
    Steps, OperationStepTest,
    ::testing::Values(
        StepCase{"AllGoThrough", "", nullptr, true, false, "A:0000"},
        StepCase{"NoContext", "CryptAcquireContextA", nullptr, true, false,
                 "E:0071 80090016 -2146893802"},
        StepCase{"NoStore", "CertOpenSystemStoreA", "MY", true, false, "E:0072"},
        StepCase{"NoSigner", "", nullptr, false, false, "E:0073"},
        // The control's context goes through; the signer key's container does not.
        StepCase{"NoContainer", "CryptAcquireContextA", "signer-key", true, false,
                 "E:0076 80090016 -2146893802"},
        StepCase{"MemoryRunsOutAfterEveryStep", "", nullptr, true, true, "E:0077"}),
    [](const ::testing::TestParamInfo<StepCase>& p) { return std::string(p.param.name); });

}  // namespace
}  // namespace velmor::certs_test
