// The control's type information agrees with what its IDispatch answers.
#include <gtest/gtest.h>

#include "control/control.h"
#include "platform/com/typelib.h"

namespace {

using velmor::com::ComPtr;

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
