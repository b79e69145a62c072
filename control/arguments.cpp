#include "control/arguments.h"

namespace velmor::control {

std::string WideToAnsi(const OLECHAR* text, UINT len) {
  return com::WideToMultiByte(CP_ACP, text, static_cast<int>(len)).value_or(std::string());
}

namespace {
void FromBstr(BSTR bstr, AnsiArgument& out) {
  out.present = bstr != nullptr;
  out.text = WideToAnsi(bstr, SysStringLen(bstr));
}
}  // namespace

HRESULT ArgumentToAnsi(const VARIANT& arg, AnsiArgument& out) {
  SecureZeroMemory(out.text.data(), out.text.size());
  out.text.clear();
  out.present = false;
  switch (arg.vt) {
    case VT_EMPTY:
    case VT_NULL:
      return S_OK;
    case VT_BSTR:
      FromBstr(arg.bstrVal, out);
      return S_OK;
    case VT_BYREF | VT_BSTR:
      if (arg.pbstrVal == nullptr) return DISP_E_TYPEMISMATCH;
      FromBstr(*arg.pbstrVal, out);
      return S_OK;
    case VT_I4:
      out.present = true;
      out.text = std::to_string(arg.lVal);
      return S_OK;
    default:
      return DISP_E_TYPEMISMATCH;
  }
}

}  // namespace velmor::control
