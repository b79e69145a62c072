// The VARIANT subset that script hosts pass.
#include <cstring>

#include "platform/com/com.h"

void VariantInit(VARIANT* v) {
  if (v == nullptr) return;
  std::memset(v, 0, sizeof *v);
  v->vt = VT_EMPTY;
}

HRESULT VariantClear(VARIANT* v) {
  if (v == nullptr) return E_INVALIDARG;
  // Only a BSTR held by value is the variant's own; a VT_BYREF one belongs to the caller.
  if (v->vt == VT_BSTR) SysFreeString(v->bstrVal);
  VariantInit(v);
  return S_OK;
}
