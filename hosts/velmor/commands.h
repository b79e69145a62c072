// The subcommands of the `velmor` host. Each Add…Command registers its subcommand on `app`;
// its callback stores the process exit status in `exitCode`.
#pragma once

#include <string>

#include "hosts/session/session.h"
#include "platform/com/com.h"

namespace CLI {
class App;
}

namespace velmor::host {

// velmor call [--acp CP]: JSON requests on standard input, one JSON answer per line.
void AddCallCommand(CLI::App& app, int& exitCode);
// velmor certs import|add|list|remove|export: the user's certificate stores and keys.
void AddCertsCommand(CLI::App& app, int& exitCode);
// velmor tokens list|status: smart cards and USB tokens.
void AddTokensCommand(CLI::App& app, int& exitCode);
// velmor register|unregister [MODULE]: the module's self-registration.
void AddModuleCommands(CLI::App& app, int& exitCode);

// velmor typelib: the control's type library as IDL.
void AddTypeLibCommand(CLI::App& app, int& exitCode);

// velmor version [MODULE], bitmap --out PNG, draw --width W --height H --out PNG,
// properties --out PNG.
void AddResourceCommands(CLI::App& app, int& exitCode);

// velmor install-browser-host / uninstall-browser-host: the browsers' native-host manifests.
void AddBrowserCommands(CLI::App& app, int& exitCode);

// velmor doctor: whether each browser can reach velmor, and what signing needs.
void AddDoctorCommand(CLI::App& app, int& exitCode);

// ReportCreateFailure: tells on standard error why CreateControl failed (naming the command
// that registers the control when it is not registered); returns the exit status 1.
int ReportCreateFailure(HRESULT hr);

}  // namespace velmor::host
