// velmor: the command-line host. It drives controls the way a page's script engine does, and
// manages the user's certificate stores.
#include <signal.h>

#include <CLI/CLI.hpp>

#include <exception>
#include <iostream>
#include <new>

#include "hosts/velmor/commands.h"

namespace {

int Run(int argc, char** argv) {
  CLI::App app{"velmor: signing and encryption for internet-bank pages"};
  app.require_subcommand(1);
  int exitCode = 0;
  velmor::host::AddCallCommand(app, exitCode);
  velmor::host::AddCertsCommand(app, exitCode);
  velmor::host::AddTokensCommand(app, exitCode);
  velmor::host::AddModuleCommands(app, exitCode);
  velmor::host::AddTypeLibCommand(app, exitCode);
  velmor::host::AddResourceCommands(app, exitCode);
  velmor::host::AddBrowserCommands(app, exitCode);
  velmor::host::AddDoctorCommand(app, exitCode);
  try {
    app.parse(argc, argv);
  } catch (const CLI::CallForHelp& e) {
    return app.exit(e);
  } catch (const CLI::CallForAllHelp& e) {
    return app.exit(e);
  } catch (const CLI::ParseError& e) {
    app.exit(e);
    return 2;  // wrong command-line options
  }
  return exitCode;
}

}  // namespace

int main(int argc, char** argv) {
  // A file-size limit makes a write fail with EFBIG, which every command answers as it answers a
  // full disk, instead of killing the process halfway through a file.
  ::signal(SIGXFSZ, SIG_IGN);
  // The last line of defence: whatever escapes a command is a failure with a message and
  // status 1, never an abort.
  try {
    return Run(argc, argv);
  } catch (const std::bad_alloc&) {
    std::cerr << "velmor: out of memory\n";
  } catch (const std::exception& e) {
    std::cerr << "velmor: " << e.what() << "\n";
  } catch (...) {
    std::cerr << "velmor: unexpected failure\n";
  }
  return 1;
}
