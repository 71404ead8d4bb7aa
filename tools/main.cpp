// qvl: the library's command-line tool.
#include <iostream>

#include "Commands.h"
#include "qvl/Version.h"

int main(int argc, char** argv) {
  CLI::App app{"qvl - client-side database components: tools and demos"};
  app.set_version_flag("--version", std::string("qvl ") + QVL_VERSION);
  app.require_subcommand(0, 1);
  qvl::tool::Status status;
  qvl::tool::AddDemoCommand(app, status);
  qvl::tool::AddQueryCommand(app, status);
  qvl::tool::AddRenderCommand(app, status);
  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& e) {
    // Usage errors exit with 2; --help and --version with 0.
    int code = app.exit(e);
    return code == 0 ? 0 : 2;
  }
  if (app.get_subcommands().empty()) {
    std::cout << app.help();
    return 0;
  }
  return status.Code;
}
