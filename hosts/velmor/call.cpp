#include <CLI/CLI.hpp>

#include "hosts/velmor/commands.h"

namespace velmor::host {
void AddCallCommand(CLI::App& app, int& exitCode) {
  app.add_subcommand("call", "Drive controls with JSON requests on standard input")
      ->callback([&exitCode] { exitCode = 1; });
}
}  // namespace velmor::host
