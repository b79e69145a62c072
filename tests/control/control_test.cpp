#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "control/control.h"
#include "operation/result.h"
#include "tests/support/pki.h"

namespace {

using velmor::CVelmorCtrl;
using velmor::com::ComPtr;
using velmor::com::UniqueBstr;

ComPtr<IDispatch> NewControl() {
  void* pv = nullptr;
  EXPECT_EQ(velmor::CreateVelmorCtrl(IID_IDispatch, &pv), S_OK);
  return ComPtr<IDispatch>(static_cast<IDispatch*>(pv));
}

CVelmorCtrl& Ctrl(IDispatch* d) { return *static_cast<CVelmorCtrl*>(d); }

DISPID IdOf(IDispatch* d, const char16_t* name) {
  UniqueBstr n(SysAllocString(name));
  LPOLESTR names[] = {n.get()};
  DISPID id = 0;
  return SUCCEEDED(d->GetIDsOfNames(IID_NULL, names, 1, 0, &id)) ? id : DISPID_UNKNOWN;
}

// One Invoke with string arguments in declaration order (null: an absent argument).
struct Outcome {
  HRESULT hr;
  std::u16string text;
  bool isString = false;
};

Outcome Invoke(IDispatch* d, DISPID id, WORD flags, const std::vector<const char16_t*>& args) {
  std::vector<UniqueBstr> strings;
  std::vector<VARIANT> variants(args.size());
  for (std::size_t k = 0; k < args.size(); ++k) {
    VARIANT& v = variants[args.size() - 1 - k];  // OLE passes the last argument first
    VariantInit(&v);
    if (args[k] == nullptr) {
      v.vt = VT_NULL;
    } else {
      strings.emplace_back(SysAllocString(args[k]));
      v.vt = VT_BSTR;
      v.bstrVal = strings.back().get();
    }
  }
  DISPID named = DISPID_PROPERTYPUT;
  const bool put = flags == DISPATCH_PROPERTYPUT;
  DISPPARAMS params{variants.empty() ? nullptr : variants.data(), put ? &named : nullptr,
                    static_cast<UINT>(variants.size()), put ? 1u : 0u};
  VARIANT result;
  VariantInit(&result);
  Outcome out;
  out.hr = d->Invoke(id, IID_NULL, 0, flags, &params, &result, nullptr, nullptr);
  if (result.vt == VT_BSTR) {
    out.isString = true;
    if (result.bstrVal != nullptr) out.text = result.bstrVal;
  }
  VariantClear(&result);
  return out;
}

std::u16string Get(IDispatch* d, DISPID id) {
  return Invoke(d, id, DISPATCH_PROPERTYGET, {}).text;
}

HRESULT Put(IDispatch* d, DISPID id, const char16_t* value) {
  return Invoke(d, id, DISPATCH_PROPERTYPUT, {value}).hr;
}

// Operations look for stores and key containers; each test gets its own empty ones.
class ControlTest : public ::testing::Test {
 protected:
  velmor::testing::TempDataHome home_;
};

struct MemberCase {
  const char16_t* name;
  DISPID id;
  bool property;
  int params;
};
void PrintTo(const MemberCase& m, std::ostream* os) { *os << m.id; }

const MemberCase kMembers[] = {
    {u"Copyright", 1, true, 0},        {u"SignData", 2, true, 0},
    {u"CN", 3, true, 0},               {u"SignFile", 4, true, 0},
    {u"Signature", 5, true, 0},        {u"EncryptCN", 6, true, 0},
    {u"DecryptCN", 7, true, 0},        {u"IssuerCN", 8, true, 0},
    {u"PKCS7Data", 9, false, 0},       {u"SignCert", 10, false, 0},
    {u"Encrypt", 11, false, 1},        {u"VerifyPKCS7", 12, false, 1},
    {u"Decrypt", 13, false, 1},        {u"EncryptFile", 14, false, 1},
    {u"DecryptFile", 15, false, 1},    {u"VerifySignature", 16, false, 3},
    {u"getProviderName", 17, false, 0}, {u"getCertList", 18, false, 0},
};

class DispatchTable : public ::testing::TestWithParam<MemberCase> {
 protected:
  velmor::testing::TempDataHome home_;
};

TEST_P(DispatchTable, NamesMatchWithoutRegardToCase) {
  const MemberCase& m = GetParam();
  auto d = NewControl();
  EXPECT_EQ(IdOf(d.get(), m.name), m.id);
  std::u16string upper(m.name), lower(m.name);
  for (auto& c : upper) c = (c >= u'a' && c <= u'z') ? c - 32 : c;
  for (auto& c : lower) c = (c >= u'A' && c <= u'Z') ? c + 32 : c;
  EXPECT_EQ(IdOf(d.get(), upper.c_str()), m.id);
  EXPECT_EQ(IdOf(d.get(), lower.c_str()), m.id);
}

TEST_P(DispatchTable, AnswersWithATextAndLeavesNoWorkingHandle) {
  const MemberCase& m = GetParam();
  auto d = NewControl();
  const std::vector<const char16_t*> args(static_cast<std::size_t>(m.params), u"");
  const Outcome out =
      Invoke(d.get(), m.id, m.property ? DISPATCH_PROPERTYGET : DISPATCH_METHOD, args);
  EXPECT_EQ(out.hr, S_OK);
  EXPECT_TRUE(out.isString);
  EXPECT_TRUE(Ctrl(d.get()).WorkingHandlesEmpty());
}

TEST_P(DispatchTable, WrongArgumentCountIsRefused) {
  const MemberCase& m = GetParam();
  auto d = NewControl();
  const std::vector<const char16_t*> args(static_cast<std::size_t>(m.params) + 1, u"");
  EXPECT_EQ(Invoke(d.get(), m.id, DISPATCH_METHOD, args).hr, DISP_E_BADPARAMCOUNT);
  if (m.params > 0) {
    const std::vector<const char16_t*> fewer(static_cast<std::size_t>(m.params) - 1, u"");
    EXPECT_EQ(Invoke(d.get(), m.id, DISPATCH_METHOD, fewer).hr, DISP_E_BADPARAMCOUNT);
  }
}

TEST_P(DispatchTable, OnlyPropertiesTakeAPut) {
  const MemberCase& m = GetParam();
  auto d = NewControl();
  const HRESULT hr = Invoke(d.get(), m.id, DISPATCH_PROPERTYPUT, {u"x"}).hr;
  EXPECT_EQ(hr, m.property ? S_OK : DISP_E_MEMBERNOTFOUND);
  EXPECT_TRUE(Ctrl(d.get()).WorkingHandlesEmpty());
}

INSTANTIATE_TEST_SUITE_P(Members, DispatchTable, ::testing::ValuesIn(kMembers),
                         [](const auto& p) {
                           std::string name;
                           for (const char16_t* c = p.param.name; *c != 0; ++c) {
                             name += static_cast<char>(*c);
                           }
                           return name;
                         });

TEST_F(ControlTest, UnknownNamesAndIdentifiers) {
  auto d = NewControl();
  UniqueBstr bogus(SysAllocString(u"NoSuchMember"));
  UniqueBstr copyright(SysAllocString(u"Copyright"));
  LPOLESTR one[] = {bogus.get()};
  DISPID id = 0;
  EXPECT_EQ(d->GetIDsOfNames(IID_NULL, one, 1, 0, &id), DISP_E_UNKNOWNNAME);
  EXPECT_EQ(id, DISPID_UNKNOWN);
  // The interface has no named parameters.
  LPOLESTR two[] = {copyright.get(), bogus.get()};
  DISPID ids[2] = {0, 0};
  EXPECT_EQ(d->GetIDsOfNames(IID_NULL, two, 2, 0, ids), DISP_E_UNKNOWNNAME);
  EXPECT_EQ(ids[0], 1);
  EXPECT_EQ(ids[1], DISPID_UNKNOWN);
  EXPECT_EQ(d->GetIDsOfNames(IID_IDispatch, one, 1, 0, &id), DISP_E_UNKNOWNINTERFACE);
  EXPECT_EQ(Invoke(d.get(), 0, DISPATCH_PROPERTYGET, {}).hr, DISP_E_MEMBERNOTFOUND);
  EXPECT_EQ(Invoke(d.get(), 19, DISPATCH_PROPERTYGET, {}).hr, DISP_E_MEMBERNOTFOUND);
}

TEST_F(ControlTest, CopyrightStartsAsTheVendorAndKeepsAPut) {
  auto a = NewControl();
  auto b = NewControl();
  EXPECT_EQ(Get(a.get(), velmor::DISPID_Copyright), u"Tarnvik Inc.");
  EXPECT_FALSE(Ctrl(a.get()).IsModified());
  EXPECT_EQ(Put(a.get(), velmor::DISPID_Copyright, u"x"), S_OK);
  EXPECT_TRUE(Ctrl(a.get()).IsModified());
  EXPECT_EQ(Get(a.get(), velmor::DISPID_Copyright), u"x");
  // Copyright is the instance's own, unlike the module-wide inputs.
  EXPECT_EQ(Get(b.get(), velmor::DISPID_Copyright), u"Tarnvik Inc.");
  EXPECT_EQ(Put(a.get(), velmor::DISPID_Copyright, nullptr), S_OK);
  EXPECT_EQ(Get(a.get(), velmor::DISPID_Copyright), u"");
}

TEST_F(ControlTest, ResultsKeepLineFeedsAndNonAsciiText) {
  auto d = NewControl();
  ASSERT_EQ(Put(d.get(), velmor::DISPID_Copyright, u"a\nb\u00E9"), S_OK);
  EXPECT_EQ(Get(d.get(), velmor::DISPID_Copyright), u"a\nb\u00E9");
}

TEST_F(ControlTest, SignaturePutStoresNothingButMarksModified) {
  auto d = NewControl();
  const std::u16string before = Get(d.get(), velmor::DISPID_Signature);
  EXPECT_FALSE(Ctrl(d.get()).IsModified());
  EXPECT_EQ(Put(d.get(), velmor::DISPID_Signature, u"x"), S_OK);
  EXPECT_TRUE(Ctrl(d.get()).IsModified());
  const std::u16string after = Get(d.get(), velmor::DISPID_Signature);
  EXPECT_NE(after, u"x");
  EXPECT_EQ(after, before);  // still the same failure or a fresh signature of the same text
}

TEST_F(ControlTest, PropertyGetAlsoAnswersAMethodCall) {
  // Script engines call a property without arguments as METHOD | PROPERTYGET.
  auto d = NewControl();
  const Outcome out = Invoke(d.get(), velmor::DISPID_Copyright,
                             DISPATCH_METHOD | DISPATCH_PROPERTYGET, {});
  EXPECT_EQ(out.hr, S_OK);
  EXPECT_EQ(out.text, u"Tarnvik Inc.");
}

TEST_F(ControlTest, ArgumentsOfTheWrongTypeAreRefused) {
  auto d = NewControl();
  VARIANT arg;
  VariantInit(&arg);
  arg.vt = 5;  // VT_R8
  DISPID named = DISPID_PROPERTYPUT;
  DISPPARAMS params{&arg, &named, 1, 1};
  UINT argErr = 99;
  EXPECT_EQ(d->Invoke(velmor::DISPID_Copyright, IID_NULL, 0, DISPATCH_PROPERTYPUT, &params,
                      nullptr, nullptr, &argErr),
            DISP_E_TYPEMISMATCH);
  EXPECT_EQ(argErr, 0u);
  // By reference and as a number they are taken.
  UniqueBstr text(SysAllocString(u"byref"));
  BSTR ref = text.get();
  arg.vt = VT_BYREF | VT_BSTR;
  arg.pbstrVal = &ref;
  EXPECT_EQ(d->Invoke(velmor::DISPID_Copyright, IID_NULL, 0, DISPATCH_PROPERTYPUT, &params,
                      nullptr, nullptr, nullptr),
            S_OK);
  EXPECT_EQ(Get(d.get(), velmor::DISPID_Copyright), u"byref");
  arg.vt = VT_I4;
  arg.lVal = 7;
  EXPECT_EQ(d->Invoke(velmor::DISPID_Copyright, IID_NULL, 0, DISPATCH_PROPERTYPUT, &params,
                      nullptr, nullptr, nullptr),
            S_OK);
  EXPECT_EQ(Get(d.get(), velmor::DISPID_Copyright), u"7");
}

// OLE passes arguments last first: a bad first argument of VerifySignature sits in slot 2, and
// that is the slot puArgErr must name.
TEST_F(ControlTest, ArgumentErrorNamesTheSlotOfTheBadArgument) {
  auto d = NewControl();
  UniqueBstr text(SysAllocString(u"x"));
  for (UINT bad = 0; bad < 3; ++bad) {
    VARIANT args[3];
    for (VARIANT& v : args) {
      VariantInit(&v);
      v.vt = VT_BSTR;
      v.bstrVal = text.get();
    }
    const UINT slot = 2 - bad;
    args[slot].vt = 5;  // VT_R8
    DISPPARAMS params{args, nullptr, 3, 0};
    UINT argErr = 99;
    EXPECT_EQ(d->Invoke(velmor::DISPID_VerifySignature, IID_NULL, 0, DISPATCH_METHOD, &params,
                        nullptr, nullptr, &argErr),
              DISP_E_TYPEMISMATCH)
        << bad;
    EXPECT_EQ(argErr, slot) << bad;
  }
}

TEST_F(ControlTest, MalformedParametersAreRefused) {
  auto d = NewControl();
  EXPECT_EQ(d->Invoke(1, IID_NULL, 0, DISPATCH_PROPERTYGET, nullptr, nullptr, nullptr, nullptr),
            E_INVALIDARG);
  DISPPARAMS missing{nullptr, nullptr, 1, 0};
  EXPECT_EQ(d->Invoke(1, IID_NULL, 0, DISPATCH_PROPERTYGET, &missing, nullptr, nullptr, nullptr),
            E_INVALIDARG);
  VARIANT arg;
  VariantInit(&arg);
  DISPID named = 1;
  DISPPARAMS namedArgs{&arg, &named, 1, 1};
  EXPECT_EQ(d->Invoke(velmor::DISPID_Encrypt, IID_NULL, 0, DISPATCH_METHOD, &namedArgs, nullptr,
                      nullptr, nullptr),
            DISP_E_NONAMEDARGS);
  DISPPARAMS none{nullptr, nullptr, 0, 0};
  EXPECT_EQ(d->Invoke(1, IID_IDispatch, 0, DISPATCH_PROPERTYGET, &none, nullptr, nullptr, nullptr),
            DISP_E_UNKNOWNINTERFACE);
  EXPECT_EQ(d->Invoke(1, IID_NULL, 0, 0, &none, nullptr, nullptr, nullptr),
            DISP_E_MEMBERNOTFOUND);
}

// Absent and empty must reach a setter apart: DecryptCN stores "NULL" for an absent value and
// the empty text for an empty one.
TEST_F(ControlTest, AbsentArgumentsReachTheSetterAsNull) {
  auto d = NewControl();
  UniqueBstr empty(SysAllocString(u""));
  BSTR nullRef = nullptr;
  struct Kind {
    const char* name;
    VARIANT arg;
  };
  Kind kinds[4];
  for (Kind& k : kinds) VariantInit(&k.arg);
  kinds[0].name = "VT_EMPTY";
  kinds[1].name = "VT_NULL";
  kinds[1].arg.vt = VT_NULL;
  kinds[2].name = "null BSTR";
  kinds[2].arg.vt = VT_BSTR;
  kinds[3].name = "VT_BYREF to a null BSTR";
  kinds[3].arg.vt = VT_BYREF | VT_BSTR;
  kinds[3].arg.pbstrVal = &nullRef;
  DISPID named = DISPID_PROPERTYPUT;
  for (Kind& k : kinds) {
    ASSERT_EQ(Put(d.get(), velmor::DISPID_DecryptCN, u""), S_OK);
    ASSERT_EQ(Get(d.get(), velmor::DISPID_DecryptCN), u"") << k.name;
    DISPPARAMS params{&k.arg, &named, 1, 1};
    EXPECT_EQ(d->Invoke(velmor::DISPID_DecryptCN, IID_NULL, 0, DISPATCH_PROPERTYPUT, &params,
                        nullptr, nullptr, nullptr),
              S_OK)
        << k.name;
    EXPECT_EQ(Get(d.get(), velmor::DISPID_DecryptCN), u"NULL") << k.name;
  }
  velmor::ClearModuleBuffers();
}

// A path holding a zero character is refused as a whole: cut at the zero it would name another
// file (here one that exists), which would be signed.
TEST_F(ControlTest, SignFileWithAZeroCharacterIsRefused) {
  auto d = NewControl();
  const std::u16string path = u"/etc/hostname";
  UniqueBstr value(SysAllocStringLen(u"/etc/hostname\0.pdf", 18));
  VARIANT arg;
  VariantInit(&arg);
  arg.vt = VT_BSTR;
  arg.bstrVal = value.get();
  DISPID named = DISPID_PROPERTYPUT;
  DISPPARAMS params{&arg, &named, 1, 1};
  ASSERT_EQ(Put(d.get(), velmor::DISPID_SignFile, path.c_str()), S_OK);
  ASSERT_EQ(d->Invoke(velmor::DISPID_SignFile, IID_NULL, 0, DISPATCH_PROPERTYPUT, &params, nullptr,
                      nullptr, nullptr),
            S_OK);
  EXPECT_EQ(velmor::g_szSignFile[0], '\0');
  EXPECT_EQ(Get(d.get(), velmor::DISPID_SignFile).substr(0, 2), u"E:");
  velmor::ClearModuleBuffers();
}

struct PutShape {
  const char* name;
  UINT cArgs;
  UINT cNamedArgs;
  DISPID namedArg;
  HRESULT expected;
};
void PrintTo(const PutShape& p, std::ostream* os) { *os << p.name; }

class PropertyPutShape : public ::testing::TestWithParam<PutShape> {
 protected:
  velmor::testing::TempDataHome home_;
};

// A put carries exactly one value, named DISPID_PROPERTYPUT as OLE passes it (hosts that leave
// the name out are accepted too); a refused put changes nothing.
TEST_P(PropertyPutShape, IsCheckedBeforeTheSetterRuns) {
  const PutShape& p = GetParam();
  auto d = NewControl();
  UniqueBstr value(SysAllocString(u"x"));
  VARIANT args[2];
  for (VARIANT& v : args) {
    VariantInit(&v);
    v.vt = VT_BSTR;
    v.bstrVal = value.get();
  }
  DISPID named[2] = {p.namedArg, p.namedArg};
  DISPPARAMS params{p.cArgs == 0 ? nullptr : args, p.cNamedArgs == 0 ? nullptr : named, p.cArgs,
                    p.cNamedArgs};
  EXPECT_EQ(d->Invoke(velmor::DISPID_Copyright, IID_NULL, 0, DISPATCH_PROPERTYPUT, &params,
                      nullptr, nullptr, nullptr),
            p.expected);
  const bool stored = SUCCEEDED(p.expected);
  EXPECT_EQ(Get(d.get(), velmor::DISPID_Copyright), stored ? u"x" : u"Tarnvik Inc.");
  EXPECT_EQ(Ctrl(d.get()).IsModified(), stored);
}

INSTANTIATE_TEST_SUITE_P(
    Shapes, PropertyPutShape,
    ::testing::Values(PutShape{"NamedPropertyPut", 1, 1, DISPID_PROPERTYPUT, S_OK},
                      PutShape{"UnnamedValue", 1, 0, 0, S_OK},
                      PutShape{"NoValue", 0, 0, 0, DISP_E_BADPARAMCOUNT},
                      PutShape{"TwoValues", 2, 1, DISPID_PROPERTYPUT, DISP_E_BADPARAMCOUNT},
                      PutShape{"OtherNamedArgument", 1, 1, 5, DISP_E_PARAMNOTFOUND},
                      PutShape{"MoreNamesThanArguments", 1, 2, DISPID_PROPERTYPUT,
                               E_INVALIDARG}),
    [](const auto& p) { return std::string(p.param.name); });

TEST_F(ControlTest, ModuleWideInputsAreSharedBetweenControls) {
  auto a = NewControl();
  auto b = NewControl();
  ASSERT_EQ(Put(a.get(), velmor::DISPID_IssuerCN, u"0a1b2c"), S_OK);
  EXPECT_EQ(Get(b.get(), velmor::DISPID_IssuerCN), u"0a1b2c");
  a.reset();  // destroying a control leaves the inputs as they are
  auto c = NewControl();
  EXPECT_EQ(Get(c.get(), velmor::DISPID_IssuerCN), u"0a1b2c");
  velmor::ClearModuleBuffers();
}

struct SafetyCase {
  const char* name;
  DWORD mask;
  DWORD enabled;
  HRESULT expected;
};
void PrintTo(const SafetyCase& c, std::ostream* os) { *os << c.name; }

class ObjectSafety : public ::testing::TestWithParam<SafetyCase> {};

ComPtr<IObjectSafety> SafetyOf(IDispatch* d) {
  void* pv = nullptr;
  EXPECT_EQ(d->QueryInterface(IID_IObjectSafety, &pv), S_OK);
  return ComPtr<IObjectSafety>(static_cast<IObjectSafety*>(pv));
}

TEST_P(ObjectSafety, SetOptions) {
  auto d = NewControl();
  auto safety = SafetyOf(d.get());
  EXPECT_EQ(safety->SetInterfaceSafetyOptions(IID_IDispatch, GetParam().mask,
                                              GetParam().enabled),
            GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(Options, ObjectSafety,
                         ::testing::Values(SafetyCase{"Caller", 1, 1, S_OK},
                                           SafetyCase{"Both", 3, 3, S_OK},
                                           SafetyCase{"DataWithMore", 2, 3, S_OK},
                                           SafetyCase{"DataNotEnabled", 3, 1, E_FAIL},
                                           SafetyCase{"UnknownOption", 4, 4, E_FAIL},
                                           SafetyCase{"NothingAsked", 0, 0, S_OK}),
                         [](const auto& p) { return std::string(p.param.name); });

TEST(ObjectSafetyOptions, GetAnswersThreeEvenForAMissingInterface) {
  auto d = NewControl();
  auto safety = SafetyOf(d.get());
  DWORD supported = 0, enabled = 0;
  EXPECT_EQ(safety->GetInterfaceSafetyOptions(IID_IDispatch, &supported, &enabled), S_OK);
  EXPECT_EQ(supported, 3u);
  EXPECT_EQ(enabled, 3u);
  supported = enabled = 0;
  EXPECT_EQ(safety->GetInterfaceSafetyOptions(IID_IClassFactory, &supported, &enabled),
            E_NOINTERFACE);
  EXPECT_EQ(supported, 3u);
  EXPECT_EQ(enabled, 3u);
  EXPECT_EQ(safety->SetInterfaceSafetyOptions(IID_IClassFactory, 1, 1), E_NOINTERFACE);
  EXPECT_EQ(safety->GetInterfaceSafetyOptions(IID_IDispatch, nullptr, &enabled), E_POINTER);
}

TEST(ControlIdentity, InterfacesShareOneObjectAndOneCount) {
  auto d = NewControl();
  CVelmorCtrl& ctrl = Ctrl(d.get());
  EXPECT_EQ(ctrl.RefCount(), 1u);
  auto safety = SafetyOf(d.get());
  EXPECT_EQ(ctrl.RefCount(), 2u);
  void* unknownFromSafety = nullptr;
  void* unknownFromDispatch = nullptr;
  ASSERT_EQ(safety->QueryInterface(IID_IUnknown, &unknownFromSafety), S_OK);
  ASSERT_EQ(d->QueryInterface(IID_IUnknown, &unknownFromDispatch), S_OK);
  EXPECT_EQ(unknownFromSafety, unknownFromDispatch);
  static_cast<IUnknown*>(unknownFromSafety)->Release();
  static_cast<IUnknown*>(unknownFromDispatch)->Release();
  void* none = reinterpret_cast<void*>(1);
  EXPECT_EQ(d->QueryInterface(IID_IClassFactory, &none), E_NOINTERFACE);
  EXPECT_EQ(none, nullptr);
  EXPECT_EQ(d->QueryInterface(IID_IUnknown, nullptr), E_POINTER);
  safety.reset();
  EXPECT_EQ(ctrl.RefCount(), 1u);
}

TEST(ControlCreation, MissingInterfaceCreatesNothing) {
  void* pv = reinterpret_cast<void*>(1);
  EXPECT_EQ(velmor::CreateVelmorCtrl(IID_IClassFactory, &pv), E_NOINTERFACE);
  EXPECT_EQ(pv, nullptr);  // and the leak checker sees no control left behind
  EXPECT_EQ(velmor::CreateVelmorCtrl(IID_IDispatch, nullptr), E_POINTER);
  EXPECT_EQ(velmor::CreateVelmorCtrl(IID_IObjectSafety, &pv), S_OK);
  static_cast<IObjectSafety*>(pv)->Release();
}

TEST(ControlPersistence, StampsVersionOneAndSavesNoProperty) {
  auto d = NewControl();
  ASSERT_EQ(Put(d.get(), velmor::DISPID_Copyright, u"changed"), S_OK);
  velmor::PropExchange save;
  Ctrl(d.get()).DoPropExchange(save);
  EXPECT_EQ(save.version, 0x00010000u);
  velmor::PropExchange load{true, 0x00020000};
  Ctrl(d.get()).DoPropExchange(load);  // conversion allowed: an other version is accepted
  EXPECT_TRUE(load.ExchangeVersion(velmor::kPropExchangeVersion, TRUE));
  EXPECT_FALSE(load.ExchangeVersion(velmor::kPropExchangeVersion, FALSE));
  EXPECT_EQ(Get(d.get(), velmor::DISPID_Copyright), u"changed");
}

}  // namespace

namespace {

// The shared failure form: the Windows error in lower-case hexadecimal, then as signed decimal.
TEST(ResultString, ErrorCodeFormats) {
  EXPECT_EQ(velmor::ResultString::Failure(1, 0x80090016u), "E:0001 80090016 -2146893802");
  EXPECT_EQ(velmor::ResultString::Failure(92, 0x2u), "E:0092 2 2");
  EXPECT_EQ(velmor::ResultString::Failure(5, 0xFFFFFFFFu), "E:0005 ffffffff -1");
}

}  // namespace
