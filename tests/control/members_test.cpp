// The member table's common codes against what the members answer: a step that fails the same
// way in every member must read the same in each, and a member not marked for it must not answer
// with that meaning. Each member is invoked through IDispatch as a page invokes it.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "control/control.h"
#include "control/interface/members.h"
#include "tests/support/pki.h"
#include "tests/support/seam.h"

namespace {

using velmor::com::ComPtr;
using velmor::control::Member;

}  // namespace

namespace velmor::control {
void PrintTo(const Member& m, std::ostream* os) { *os << m.name; }
}  // namespace velmor::control

namespace {

// Answer: the member's result for a get or call with empty text arguments.
std::string Answer(const Member& m) {
  void* pv = nullptr;
  if (velmor::CreateVelmorCtrl(IID_IDispatch, &pv) != S_OK) return "(no control)";
  ComPtr<IDispatch> d(static_cast<IDispatch*>(pv));
  std::vector<VARIANT> args(m.params);
  std::vector<velmor::com::UniqueBstr> texts;
  for (VARIANT& v : args) {
    VariantInit(&v);
    texts.emplace_back(SysAllocString(u""));
    v.vt = VT_BSTR;
    v.bstrVal = texts.back().get();
  }
  DISPPARAMS params{args.empty() ? nullptr : args.data(), nullptr, m.params, 0};
  VARIANT result;
  VariantInit(&result);
  const WORD flags = m.property ? DISPATCH_PROPERTYGET : DISPATCH_METHOD;
  if (d->Invoke(m.id, IID_NULL, 0, flags, &params, &result, nullptr, nullptr) != S_OK) {
    return "(refused)";
  }
  std::string text;
  if (result.vt == VT_BSTR && result.bstrVal != nullptr) {
    for (const char16_t* c = result.bstrVal; *c != 0; ++c) text += static_cast<char>(*c);
  }
  VariantClear(&result);
  return text;
}

class CommonCodes : public ::testing::TestWithParam<Member> {
 protected:
  void SetUp() override {
    // A text to sign, and a CN naming a serial of no certificate: the signer search runs and
    // finds nothing.
    void* pv = nullptr;
    ASSERT_EQ(velmor::CreateVelmorCtrl(IID_IDispatch, &pv), S_OK);
    ComPtr<IDispatch> d(static_cast<IDispatch*>(pv));
    Put(d.get(), velmor::DISPID_SignData, u"Pay 1.00 EUR");
    Put(d.get(), velmor::DISPID_CN, u"09CN=Nobody0801020304");
  }
  static void Put(IDispatch* d, DISPID id, const char16_t* text) {
    velmor::com::UniqueBstr value(SysAllocString(text));
    VARIANT v;
    VariantInit(&v);
    v.vt = VT_BSTR;
    v.bstrVal = value.get();
    DISPID named = DISPID_PROPERTYPUT;
    DISPPARAMS put{&v, &named, 1, 1};
    EXPECT_EQ(d->Invoke(id, IID_NULL, 0, DISPATCH_PROPERTYPUT, &put, nullptr, nullptr, nullptr),
              S_OK);
  }
  void TearDown() override { velmor::crypt::ResetRuntime(); }
  velmor::testing::TempDataHome home_;
};

TEST_P(CommonCodes, ProviderContextFailure) {
  velmor::crypt::InjectFailure("CryptAcquireContextA", NTE_BAD_KEYSET);
  const std::string answer = Answer(GetParam());
  const bool marked = (GetParam().commonCodes & velmor::control::kCodeAcquire) != 0;
  EXPECT_EQ(answer == "E:0001 80090016 -2146893802", marked) << answer;
}

TEST_P(CommonCodes, PersonalStoreFailure) {
  velmor::crypt::InjectFailure("CertOpenSystemStoreA", ERROR_FILE_NOT_FOUND, "MY");
  const std::string answer = Answer(GetParam());
  const bool marked = (GetParam().commonCodes & velmor::control::kCodeOpenMy) != 0;
  if (marked) {
    EXPECT_EQ(answer, "E:0002");
  }
  // A member that never opens the store answers as it would without the failure.
  if (!marked && (GetParam().commonCodes & velmor::control::kCodeAcquire) == 0) {
    velmor::crypt::ClearInjectedFailures();
    EXPECT_EQ(answer, Answer(GetParam()));
  }
}

TEST_P(CommonCodes, NoSignerCertificate) {
  const std::string answer = Answer(GetParam());
  const bool marked = (GetParam().commonCodes & velmor::control::kCodeFindSigner) != 0;
  if (marked) {
    EXPECT_EQ(answer, "E:0003");
  }
}

INSTANTIATE_TEST_SUITE_P(Members, CommonCodes, ::testing::ValuesIn(velmor::control::kMembers),
                         [](const auto& p) { return std::string(p.param.name); });

}  // namespace
