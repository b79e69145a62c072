#include "control/arguments.h"

namespace velmor::control {

platform::SecureString WideToAnsi(const OLECHAR* text, UINT len) {
  // Converted straight into wiping storage: the text may be a plaintext to encrypt.
  if (text == nullptr || len == 0) return {};
  const int n = static_cast<int>(len);
  const int size = WideCharToMultiByte(CP_ACP, 0, text, n, nullptr, 0, nullptr, nullptr);
  if (size <= 0) return {};
  platform::SecureString out(static_cast<std::size_t>(size), '\0');
  const int written = WideCharToMultiByte(CP_ACP, 0, text, n, out.data(), size, nullptr, nullptr);
  out.resize(written > 0 ? static_cast<std::size_t>(written) : 0);
  return out;
}

namespace {
void FromBstr(BSTR bstr, AnsiArgument& out) {
  out.present = bstr != nullptr;
  out.text = WideToAnsi(bstr, SysStringLen(bstr));
}
}  // namespace

HRESULT ArgumentToAnsi(const VARIANT& arg, AnsiArgument& out) {
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
      out.text = std::string_view(std::to_string(arg.lVal));
      return S_OK;
    default:
      return DISP_E_TYPEMISMATCH;
  }
}

}  // namespace velmor::control
