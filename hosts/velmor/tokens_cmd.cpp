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

int List() {
  std::vector<crypt::TokenModuleEntry> modules;
  if (!Load(modules)) return 1;
  if (modules.empty()) std::cout << "no PKCS #11 modules registered with p11-kit\n";
  for (const auto& module : modules) {
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
      if (token.certificates.empty()) std::cout << "      no certificates\n";
      for (const auto& cert : token.certificates) {
        std::cout << "      " << cert.serialHex << "  " << cert.subject << "  "
                  << (cert.keyOnToken ? "key on the token" : "no key on the token") << "\n";
        if (cert.keyOnToken) std::cout << "        container " << cert.container << "\n";
      }
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
    names += (names.empty() ? "" : ", ") + module.name;
    for (const auto& slot : module.slots) {
      if (!slot.token) continue;
      ++tokens;
      for (const auto& cert : slot.token->certificates) certificates += cert.keyOnToken ? 1 : 0;
    }
  }
  std::cout << "modules: " << modules.size() << (names.empty() ? "" : " (" + names + ")") << "\n"
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
