// Turning dispatch arguments into the ANSI text the operations take. Internal to the control.
#pragma once

#include <string>

#include "platform/base/secure.h"
#include "platform/com/com.h"

namespace velmor::control {

// AnsiArgument: one argument as ANSI text, or absent. An absent argument reaches the setter as
// a null pointer, which it tells apart from an empty text.
// The text may be a plaintext to encrypt, so it is wiped when the argument goes.
struct AnsiArgument {
  bool present = false;
  platform::SecureString text;
  AnsiArgument() = default;
  AnsiArgument(const AnsiArgument&) = delete;
  AnsiArgument& operator=(const AnsiArgument&) = delete;
  const char* get() const { return present ? text.c_str() : nullptr; }
  // HoldsZero: whether the text holds a zero character, so that as a zero-terminated text it
  // would be cut short.
  bool HoldsZero() const { return present && text.find('\0') != std::string::npos; }
};

// WideToAnsi: `len` UTF-16 units as text in the ANSI code page; a character the code page lacks
// becomes its default character. Throws std::bad_alloc only.
platform::SecureString WideToAnsi(const OLECHAR* text, UINT len);

// ArgumentToAnsi: a null BSTR, VT_NULL and VT_EMPTY are absent; VT_BSTR and VT_BYREF|VT_BSTR
// give their text, VT_I4 its decimal form. Returns DISP_E_TYPEMISMATCH for any other type or a
// null VT_BYREF pointer, else S_OK.
HRESULT ArgumentToAnsi(const VARIANT& arg, AnsiArgument& out);

}  // namespace velmor::control
