// Passwords for `velmor certs import`, taken from where the user keeps them rather than from
// the command line, which every local user can read in /proc.
#pragma once

#include <cstddef>
#include <optional>
#include <string>

#include "platform/base/secure.h"

namespace velmor::host {

// kMaxPasswordBytes: the longest password read from a file, a descriptor or the terminal. A
// longer first line is refused rather than cut, since a cut password would only fail later
// with a misleading "wrong password".
inline constexpr std::size_t kMaxPasswordBytes = 4096;

// Secret: a password, held in storage that is wiped when it goes, when it grows and when it is
// moved from.
class Secret {
 public:
  Secret() = default;
  // Secret(text): takes the password out of `text`, which is left wiped and empty.
  explicit Secret(std::string&& text);
  Secret(Secret&& other) noexcept = default;
  Secret& operator=(Secret&&) = delete;
  Secret(const Secret&) = delete;
  Secret& operator=(const Secret&) = delete;

  const platform::SecureString& text() const { return text_; }
  platform::SecureString& text() { return text_; }

  // Wipe overwrites the whole storage of `text` (a password the command line held) and leaves
  // it empty.
  static void Wipe(std::string& text) { platform::CleanseContents(text); }

 private:
  platform::SecureString text_;
};

// PassinFormError returns why `spec` is not a password source, or the empty text when it is
// one of: pass:TEXT, env:VARIABLE, file:PATH, fd:NUMBER, stdin.
std::string PassinFormError(const std::string& spec);

// ReadPassin returns the password `spec` names: the text after "pass:", the value of an
// environment variable, or the first line (without its line break) of a file, of a descriptor
// (left open) or of standard input. On failure it returns nothing and sets `why`.
std::optional<Secret> ReadPassin(const std::string& spec, std::string& why);

// PromptPassword asks for a password on the terminal that standard input is, with echo off,
// and restores the terminal afterwards. Returns nothing with `why` set when it cannot.
std::optional<Secret> PromptPassword(const std::string& prompt, std::string& why);

}  // namespace velmor::host
