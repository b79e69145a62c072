// velmor register / unregister: the module's self-registration, called as regsvr32 calls it.
#include <CLI/CLI.hpp>

#include <cstdio>
#include <iostream>
#include <string>

#include "hosts/session/session.h"
#include "hosts/velmor/commands.h"
#include "platform/activation/activation.h"

namespace velmor::host {

namespace {

int CallExport(const std::string& given, bool registering) {
  const std::string module = given.empty() ? DefaultModulePath() : given;
  const std::string path = AbsolutePath(module);
  if (path.empty()) {
    std::cerr << "velmor: no module at " << module << "\n";
    return 1;
  }
  const char* entry = registering ? "DllRegisterServer" : "DllUnregisterServer";
  std::string why;
  const HRESULT hr = velmor::com::CallServerExport(path, entry, why);
  if (hr == CO_E_DLLNOTFOUND || hr == CO_E_ERRORINDLL) {
    std::cerr << "velmor: cannot " << (registering ? "register " : "unregister ") << path << ": "
              << why << "\n";
    return 1;
  }
  if (FAILED(hr)) {
    const char* step = hr == SELFREG_E_TYPELIB ? " (type library)"
                       : hr == SELFREG_E_CLASS ? " (classes)"
                                               : "";
    std::cerr << "velmor: " << entry << " in " << path << " failed: " << HResultText(hr) << step << "\n";
    return 1;
  }
  std::cout << entry << " in " << path << " succeeded: "
            << (registering ? "registered" : "unregistered") << " VELMOR.VelmorCtrl.QVA, its "
            << "property page and the type library VELMORLib 1.0\n";
  return 0;
}

}  // namespace

int ReportCreateFailure(HRESULT hr) {
  if (hr == REGDB_E_CLASSNOTREG) {
    std::cerr << "velmor: " << kNotRegistered << "\n";
  } else {
    std::cerr << "velmor: cannot create the control: " << HResultText(hr) << "\n";
  }
  return 1;
}

void AddModuleCommands(CLI::App& app, int& exitCode) {
  static std::string registerPath;
  auto* reg = app.add_subcommand("register", "Register the control module in the user's registry");
  reg->add_option("MODULE", registerPath, "the module (default: velmorQVA.so beside velmor)");
  reg->callback([&exitCode] { exitCode = CallExport(registerPath, true); });

  static std::string unregisterPath;
  auto* unreg = app.add_subcommand("unregister", "Remove the control module's registration");
  unreg->add_option("MODULE", unregisterPath, "the module (default: velmorQVA.so beside velmor)");
  unreg->callback([&exitCode] { exitCode = CallExport(unregisterPath, false); });
}

}  // namespace velmor::host
