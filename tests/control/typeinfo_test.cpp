// The control's type information agrees with what its IDispatch answers.
#include <gtest/gtest.h>

#include "control/interface/consent.h"
#include "control/control.h"
#include "control/interface/guids.h"
#include "platform/com/typelib.h"

namespace {

using velmor::com::ComPtr;

// The consent column a host reads without the module must describe the control's members as the
// control itself answers them: name (in any case), DISPID, property or method, argument count.
// Only refused invocations are made, so no member does any work.
TEST(TypeInfo, TheConsentColumnDescribesTheMembersAsTheControlAnswersThem) {
  void* raw = nullptr;
  ASSERT_EQ(velmor::CreateVelmorCtrl(IID_IDispatch, &raw), S_OK);
  ComPtr<IDispatch> control(static_cast<IDispatch*>(raw));
  for (const velmor::control::MemberConsent& row : velmor::control::kMemberConsent) {
    std::u16string lower;
    for (char c : row.name) lower.push_back(static_cast<char16_t>(c >= 'A' && c <= 'Z' ? c + 32 : c));
    LPOLESTR names[1] = {lower.data()};
    DISPID id = DISPID_UNKNOWN;
    ASSERT_EQ(control->GetIDsOfNames(IID_NULL, names, 1, 0, &id), S_OK) << row.name;
    EXPECT_EQ(id, row.id) << row.name;
    VARIANT args[4];
    for (VARIANT& v : args) { VariantInit(&v); v.vt = VT_NULL; }
    // One argument too many: every member refuses that before doing anything.
    DISPPARAMS extra{args, nullptr, row.params + 1, 0};
    VARIANT result;
    VariantInit(&result);
    if (!row.property) {
      EXPECT_EQ(control->Invoke(id, IID_NULL, 0, DISPATCH_METHOD, &extra, &result, nullptr, nullptr),
                DISP_E_BADPARAMCOUNT) << row.name;
    }
    DISPID named = DISPID_PROPERTYPUT;
    DISPPARAMS put{args, &named, 2, 1};  // a put with two values is refused by every property
    const HRESULT putResult =
        control->Invoke(id, IID_NULL, 0, DISPATCH_PROPERTYPUT, &put, nullptr, nullptr, nullptr);
    EXPECT_EQ(putResult, row.property ? DISP_E_BADPARAMCOUNT : DISP_E_MEMBERNOTFOUND) << row.name;
    EXPECT_EQ(velmor::control::FindMemberConsent(row.name), &row);
  }
}

TEST(TypeInfo, NamesAndDispidsAgreeWithGetIDsOfNames) {
  void* raw = nullptr;
  ASSERT_EQ(velmor::CreateVelmorCtrl(IID_IDispatch, &raw), S_OK);
  ComPtr<IDispatch> control(static_cast<IDispatch*>(raw));
  UINT count = 0;
  ASSERT_EQ(control->GetTypeInfoCount(&count), S_OK);
  EXPECT_EQ(count, 1u);
  ITypeInfo* rawInfo = nullptr;
  EXPECT_EQ(control->GetTypeInfo(1, 0, &rawInfo), DISP_E_BADINDEX);
  ASSERT_EQ(control->GetTypeInfo(0, 0, &rawInfo), S_OK);
  ComPtr<ITypeInfo> info(rawInfo);
  TYPEATTR* attr = nullptr;
  ASSERT_EQ(info->GetTypeAttr(&attr), S_OK);
  EXPECT_EQ(attr->typekind, TKIND_DISPATCH);
  EXPECT_EQ(attr->cVars + attr->cFuncs, velmor::kDispatchMemberCount);
  EXPECT_EQ(attr->wTypeFlags, TYPEFLAG_FHIDDEN | TYPEFLAG_FDISPATCHABLE);
  std::vector<MEMBERID> ids;
  for (UINT i = 0; i < attr->cVars; ++i) {
    VARDESC* var = nullptr;
    ASSERT_EQ(info->GetVarDesc(i, &var), S_OK);
    EXPECT_EQ(var->elemdescVar.tdesc.vt, VT_BSTR);
    ids.push_back(var->memid);
    info->ReleaseVarDesc(var);
  }
  for (UINT i = 0; i < attr->cFuncs; ++i) {
    FUNCDESC* func = nullptr;
    ASSERT_EQ(info->GetFuncDesc(i, &func), S_OK);
    EXPECT_EQ(func->elemdescFunc.tdesc.vt, VT_BSTR);
    ids.push_back(func->memid);
    info->ReleaseFuncDesc(func);
  }
  info->ReleaseTypeAttr(attr);
  for (MEMBERID id : ids) {
    BSTR name = nullptr;
    UINT names = 0;
    ASSERT_EQ(info->GetNames(id, &name, 1, &names), S_OK);
    velmor::com::UniqueBstr owned(name);
    LPOLESTR asked[1] = {owned.get()};
    DISPID fromControl = DISPID_UNKNOWN;
    ASSERT_EQ(control->GetIDsOfNames(IID_NULL, asked, 1, 0, &fromControl), S_OK);
    EXPECT_EQ(fromControl, id);
  }
  ITypeLib* rawLib = nullptr;
  UINT index = 99;
  ASSERT_EQ(info->GetContainingTypeLib(&rawLib, &index), S_OK);
  ComPtr<ITypeLib> lib(rawLib);
  EXPECT_EQ(lib->GetTypeInfoCount(), 3u);  // _DVelmor, _DVelmorEvents, Velmor
  TYPEKIND kind{};
  ASSERT_EQ(lib->GetTypeInfoType(index, &kind), S_OK);
  EXPECT_EQ(kind, TKIND_DISPATCH);
}

}  // namespace

namespace {

struct FindCase {
  const char* name;
  const char16_t* asked;
  std::uint16_t room;
  std::uint16_t found;
  const char16_t* spelled;  // the name as the library writes it back
  MEMBERID id;              // of the first found
  TYPEKIND kind;            // of the first found's type
};
void PrintTo(const FindCase& c, std::ostream* os) { *os << c.name; }

// ControlTypeLib: the library the control's type information comes from.
ComPtr<ITypeLib> ControlTypeLib() {
  void* raw = nullptr;
  if (velmor::CreateVelmorCtrl(IID_IDispatch, &raw) != S_OK) return nullptr;
  ComPtr<IDispatch> control(static_cast<IDispatch*>(raw));
  ITypeInfo* rawInfo = nullptr;
  if (control->GetTypeInfo(0, 0, &rawInfo) != S_OK) return nullptr;
  ComPtr<ITypeInfo> info(rawInfo);
  ITypeLib* lib = nullptr;
  return info->GetContainingTypeLib(&lib, nullptr) == S_OK ? ComPtr<ITypeLib>(lib) : nullptr;
}

class FindName : public ::testing::TestWithParam<FindCase> {};

TEST_P(FindName, FindsTypesAndMembersWithoutRegardToCase) {
  ComPtr<ITypeLib> lib = ControlTypeLib();
  ASSERT_NE(lib, nullptr);

  const FindCase& c = GetParam();
  std::u16string name(c.asked);
  ITypeInfo* infos[4] = {};
  MEMBERID ids[4] = {};
  std::uint16_t count = c.room;
  ASSERT_EQ(lib->FindName(name.data(), 0, infos, ids, &count), S_OK);
  ASSERT_EQ(count, c.found);
  for (std::uint16_t i = count; i < 4; ++i) EXPECT_EQ(infos[i], nullptr) << "nothing past the count";
  if (count == 0) return;
  EXPECT_EQ(name, std::u16string(c.spelled));
  EXPECT_EQ(ids[0], c.id);
  TYPEATTR* attr = nullptr;
  ASSERT_EQ(infos[0]->GetTypeAttr(&attr), S_OK);
  EXPECT_EQ(attr->typekind, c.kind);
  infos[0]->ReleaseTypeAttr(attr);
  BOOL isName = FALSE;
  std::u16string again(c.asked);
  EXPECT_EQ(lib->IsName(again.data(), 0, &isName), S_OK);
  EXPECT_TRUE(isName);
  for (std::uint16_t i = 0; i < count; ++i) infos[i]->Release();
}

INSTANTIATE_TEST_SUITE_P(
    Table, FindName,
    ::testing::Values(
        FindCase{"Member", u"signdata", 4, 1, u"SignData", velmor::DISPID_SignData, TKIND_DISPATCH},
        FindCase{"Method", u"GETCERTLIST", 4, 1, u"getCertList", velmor::DISPID_getCertList, TKIND_DISPATCH},
        FindCase{"Coclass", u"velmor", 4, 1, u"Velmor", MEMBERID_NIL, TKIND_COCLASS},
        FindCase{"EventInterface", u"_dvelmorevents", 4, 1, u"_DVelmorEvents", MEMBERID_NIL, TKIND_DISPATCH},
        FindCase{"NoRoom", u"SignData", 0, 0, nullptr, 0, TKIND_DISPATCH},
        FindCase{"Unknown", u"SignDat", 4, 0, nullptr, 0, TKIND_DISPATCH},
        FindCase{"ParameterNamesAreNotMembers", u"plainText", 4, 0, nullptr, 0, TKIND_DISPATCH}),
    [](const auto& row) { return std::string(row.param.name); });

TEST(FindName, NullArgumentsAreRefused) {
  ComPtr<ITypeLib> lib = ControlTypeLib();
  ASSERT_NE(lib, nullptr);
  std::u16string name(u"CN");
  ITypeInfo* infos[1] = {};
  MEMBERID ids[1] = {};
  std::uint16_t count = 1;
  EXPECT_EQ(lib->FindName(nullptr, 0, infos, ids, &count), E_INVALIDARG);
  EXPECT_EQ(lib->FindName(name.data(), 0, nullptr, ids, &count), E_INVALIDARG);
  EXPECT_EQ(lib->FindName(name.data(), 0, infos, ids, nullptr), E_INVALIDARG);
}

}  // namespace

namespace {

struct BindCase {
  const char* name;
  const char16_t* asked;
  WORD flags;
  HRESULT hr;
  DESCKIND kind;
  MEMBERID id;
};
void PrintTo(const BindCase& c, std::ostream* os) { *os << c.name; }

class Bind : public ::testing::TestWithParam<BindCase> {};

TEST_P(Bind, MembersOfTheDispatchInterfaceBindByNameAndKind) {
  ComPtr<ITypeLib> lib = ControlTypeLib();
  ASSERT_NE(lib, nullptr);
  ITypeInfo* raw = nullptr;
  ASSERT_EQ(lib->GetTypeInfoOfGuid(velmor::DIID__DVelmor, &raw), S_OK);
  ComPtr<ITypeInfo> info(raw);
  ITypeComp* rawComp = nullptr;
  ASSERT_EQ(info->GetTypeComp(&rawComp), S_OK);
  ComPtr<ITypeComp> comp(rawComp);

  const BindCase& c = GetParam();
  std::u16string name(c.asked);
  ITypeInfo* bound = nullptr;
  DESCKIND kind = DESCKIND_MAX;
  BINDPTR ptr{};
  ASSERT_EQ(comp->Bind(name.data(), 0, c.flags, &bound, &kind, &ptr), c.hr);
  if (FAILED(c.hr)) return;
  ASSERT_EQ(kind, c.kind);
  if (kind == DESCKIND_NONE) {
    EXPECT_EQ(bound, nullptr);
    return;
  }
  ComPtr<ITypeInfo> holder(bound);
  EXPECT_EQ(bound, info.get());
  if (kind == DESCKIND_FUNCDESC) {
    EXPECT_EQ(ptr.lpfuncdesc->memid, c.id);
    bound->ReleaseFuncDesc(ptr.lpfuncdesc);
  } else {
    EXPECT_EQ(ptr.lpvardesc->memid, c.id);
    bound->ReleaseVarDesc(ptr.lpvardesc);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Table, Bind,
    ::testing::Values(
        BindCase{"Property", u"signdata", 0, S_OK, DESCKIND_VARDESC, velmor::DISPID_SignData},
        BindCase{"PropertyPut", u"CN", INVOKE_PROPERTYPUT, S_OK, DESCKIND_VARDESC, velmor::DISPID_CN},
        BindCase{"Method", u"ENCRYPT", INVOKE_FUNC, S_OK, DESCKIND_FUNCDESC, velmor::DISPID_Encrypt},
        BindCase{"MethodAsProperty", u"Encrypt", INVOKE_PROPERTYGET, TYPE_E_TYPEMISMATCH, DESCKIND_NONE, 0},
        BindCase{"PropertyAsMethod", u"SignFile", INVOKE_FUNC, TYPE_E_TYPEMISMATCH, DESCKIND_NONE, 0},
        BindCase{"Unknown", u"Encrypted", 0, S_OK, DESCKIND_NONE, 0}),
    [](const auto& row) { return std::string(row.param.name); });

TEST(Bind, TheLibraryBindsItsTypesAndHasNoGlobalNames) {
  ComPtr<ITypeLib> lib = ControlTypeLib();
  ASSERT_NE(lib, nullptr);
  ITypeComp* rawComp = nullptr;
  ASSERT_EQ(lib->GetTypeComp(&rawComp), S_OK);
  ComPtr<ITypeComp> comp(rawComp);
  std::u16string name(u"_dvelmor");
  ITypeInfo* found = nullptr;
  ASSERT_EQ(comp->BindType(name.data(), 0, &found, nullptr), S_OK);
  ASSERT_NE(found, nullptr);
  ComPtr<ITypeInfo> holder(found);
  TYPEATTR* attr = nullptr;
  ASSERT_EQ(found->GetTypeAttr(&attr), S_OK);
  EXPECT_TRUE(attr->guid == velmor::DIID__DVelmor);
  found->ReleaseTypeAttr(attr);

  std::u16string member(u"SignData");
  DESCKIND kind = DESCKIND_MAX;
  BINDPTR ptr{};
  ITypeInfo* none = nullptr;
  EXPECT_EQ(comp->Bind(member.data(), 0, 0, &none, &kind, &ptr), S_OK);
  EXPECT_EQ(kind, DESCKIND_NONE);
  EXPECT_EQ(comp->BindType(member.data(), 0, &none, nullptr), S_OK);
  EXPECT_EQ(none, nullptr);
  EXPECT_EQ(comp->BindType(nullptr, 0, &none, nullptr), E_INVALIDARG);
}

}  // namespace
