#include <CLI/CLI.hpp>

#include "hosts/velmor/commands.h"

namespace velmor::host {
void AddCertsCommand(CLI::App& app, int& exitCode) {
  app.add_subcommand("certs", "Manage the user's certificate stores and keys")
      ->callback([&exitCode] { exitCode = 1; });
}
}  // namespace velmor::host
