// Internal: the PIN dialog. The user types a token's PIN into pinentry, the dialog program
// GnuPG uses, which this layer drives over the Assuan protocol on a socket pair; the page never
// sees the PIN.
#pragma once

#include <string>

#include "platform/crypt/detail.h"

namespace velmor::crypt::detail {

// Assuan caps a line at 1000 bytes; a longer one from the dialog is a protocol error.
inline constexpr std::size_t kAssuanLineMax = 1000;
// The longest PIN taken from the dialog (PKCS #11 tokens take far shorter ones).
inline constexpr std::size_t kPinMax = 256;
// How long the dialog may take to answer a command, and to hand over the typed PIN.
inline constexpr int kDialogReplyMs = 5'000;
inline constexpr int kDialogPinMs = 300'000;

struct PinDialog {
  std::string title;        // UTF-8
  std::string description;  // UTF-8, line feeds allowed
  std::string prompt;       // UTF-8
};

enum class PinAnswer { kPin, kCancelled, kFailed };

// AskPin: shows the dialog and waits for the user. kPin with the PIN in `pin` (wiped when `pin`
// goes); kCancelled when the user closed the dialog; kFailed with the last error set when no
// dialog could be shown (NTE_SILENT_CONTEXT: no dialog program), it did not answer in time
// (ERROR_TIMEOUT_DW) or it broke the protocol (NTE_FAIL). The dialog runs in a session and
// process group of its own; before AskPin returns it is reaped, and whatever it started is ended
// with it (SIGTERM, then SIGKILL).
PinAnswer AskPin(const PinDialog& dialog, SecretBytes& pin);

// AskPinOn: the same conversation with a dialog already connected to `socket` (which it
// closes); the fuzzer plays the dialog through it.
PinAnswer AskPinOn(platform::UniqueFd socket, const PinDialog& dialog, SecretBytes& pin);

// PinentryPath: the dialog program (VELMOR_PINENTRY, else "pinentry"), resolved on PATH; empty
// when there is none.
std::string PinentryPath();

inline constexpr DWORD ERROR_TIMEOUT_DW = 1460;

}  // namespace velmor::crypt::detail
