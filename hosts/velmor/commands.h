// The subcommands of the `velmor` host. Each Add…Command registers its subcommand on `app`;
// its callback stores the process exit status in `exitCode`.
#pragma once

#include <string>

namespace CLI {
class App;
}

namespace velmor::host {

// velmor call [--acp CP]: JSON requests on standard input, one JSON answer per line.
void AddCallCommand(CLI::App& app, int& exitCode);
// velmor certs import|add|list|remove|export: the user's certificate stores and keys.
void AddCertsCommand(CLI::App& app, int& exitCode);
// velmor register|unregister [MODULE]: the module's self-registration.
void AddModuleCommands(CLI::App& app, int& exitCode);

// DefaultModulePath: the module installed beside the program (../lib/velmorQVA.so).
std::string DefaultModulePath();

}  // namespace velmor::host
