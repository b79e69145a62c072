// velmor tokens list / status: the smart cards and USB tokens the user's PKCS #11 modules reach,
// and the certificates on them that "MY" shows while they are present.
#include <CLI/CLI.hpp>

#include <cstdio>
#include <iostream>
#include <string>
#include <vector>

#include "hosts/velmor/commands.h"
#include "platform/crypt/crypt.h"

namespace velmor::host {

namespace {

std::string Hex(DWORD value) {
  char text[16];
  std::snprintf(text, sizeof text, "0x%08x", static_cast<unsigned>(value));
  return text;
}

bool Load(std::vector<crypt::TokenModuleEntry>& modules) {
  if (crypt::ListTokens(modules)) return true;
  std::cerr << "velmor: p11-kit could not load its PKCS #11 modules (" << Hex(GetLastError())
            << ")\n";
  return false;
}

std::string PinNote(const crypt::TokenEntry& token) {
  std::string note;
  if (!token.loginRequired) note += ", no login";
  if (token.protectedAuthenticationPath) note += ", PIN pad";
  if (token.pinLocked) note += ", PIN blocked";
  else if (token.pinFinalTry) note += ", PIN: one try left";
  else if (token.pinCountLow) note += ", PIN: a wrong one was given";
  return note;
}

// KeyText: where a certificate's key is, as the token shows it before the PIN.
const char* KeyText(crypt::TokenKeyPlace place) {
  switch (place) {
    case crypt::TokenKeyPlace::kOnToken: return "key on the token";
    case crypt::TokenKeyPlace::kAfterLogin: return "key behind the PIN (looked for at login)";
    case crypt::TokenKeyPlace::kNone: break;
  }
  return "no key";
}

// List: what a user looks for: the tokens that can hold keys and the certificates whose key is
// on them. A module of trust anchors gets one line; certificates without a key (a card's issuer
// certificates) are only counted.
int List() {
  std::vector<crypt::TokenModuleEntry> modules;
  if (!Load(modules)) return 1;
  if (modules.empty()) std::cout << "no PKCS #11 modules registered with p11-kit\n";
  for (const auto& module : modules) {
    if (!module.holdsKeys) {
      std::cout << "module " << module.name << " (" << module.library
                << "): trust anchors, no keys: not used\n";
      continue;
    }
    std::cout << "module " << module.name << " (" << module.library << "): " << module.description
              << ", " << module.manufacturer << "\n";
    if (module.slots.empty()) std::cout << "  no slots\n";
    for (const auto& slot : module.slots) {
      std::cout << "  slot " << slot.id << ": " << slot.description
                << (slot.removable ? ", removable" : "") << (slot.hardware ? ", hardware" : "")
                << "\n";
      if (!slot.tokenPresent) {
        std::cout << "    no token\n";
        continue;
      }
      if (!slot.token) {
        std::cout << (slot.tokenError != 0 ? "    a token that cannot be read (" + Hex(slot.tokenError) + ")"
                                           : std::string("    a token not initialised yet"))
                  << "\n";
        continue;
      }
      const crypt::TokenEntry& token = *slot.token;
      std::cout << "    token \"" << token.label << "\": " << token.manufacturer << " "
                << token.model << ", serial " << token.serial << PinNote(token) << "\n";
      std::size_t withoutKey = 0, withKey = 0;
      for (const auto& cert : token.certificates) {
        if (cert.key == crypt::TokenKeyPlace::kNone) {
          ++withoutKey;
          continue;
        }
        ++withKey;
        std::cout << "      " << cert.serialHex << "  " << cert.subject << "  " << KeyText(cert.key)
                  << "\n        container " << cert.container << "\n";
      }
      if (withKey == 0) std::cout << "      no certificate with a key\n";
      if (withoutKey != 0) std::cout << "      and " << withoutKey << " certificate(s) without a key\n";
    }
  }
  return 0;
}

int Status() {
  std::vector<crypt::TokenModuleEntry> modules;
  if (!Load(modules)) return 1;
  std::size_t tokens = 0, certificates = 0;
  std::string names;
  for (const auto& module : modules) {
    if (!module.holdsKeys) continue;
    names += (names.empty() ? "" : ", ") + module.name;
    for (const auto& slot : module.slots) {
      if (!slot.token) continue;
      ++tokens;
      for (const auto& cert : slot.token->certificates) {
        certificates += cert.key != crypt::TokenKeyPlace::kNone ? 1 : 0;
      }
    }
  }
  std::cout << "modules that hold keys: " << (names.empty() ? "none" : names) << "\n"
            << "tokens present: " << tokens << "\n"
            << "certificates in MY from tokens: " << certificates << "\n";
  const std::string dialog = crypt::PinDialogProgram();
  std::cout << "PIN dialog: " << (dialog.empty() ? "none found (set VELMOR_PINENTRY or install pinentry)" : dialog)
            << "\n";
  return 0;
}

}  // namespace

void AddTokensCommand(CLI::App& app, int& exitCode) {
  CLI::App* tokens = app.add_subcommand("tokens", "Smart cards and USB tokens (PKCS #11 through p11-kit)");
  tokens->require_subcommand(1);
  tokens->add_subcommand("list", "Modules, slots, tokens and the certificates on them")
      ->callback([&exitCode] { exitCode = List(); });
  tokens->add_subcommand("status", "How many tokens and token certificates there are, and the PIN dialog")
      ->callback([&exitCode] { exitCode = Status(); });
}

}  // namespace velmor::host
