// qvl demo: the main job over an embedded SQLite database.
#include <iostream>
#include <memory>

#include "host/Strings.h"
#include "tools/Commands.h"

namespace qvl::tool {

void AddDemoCommand(CLI::App& App, Status& Result) {
  auto* cmd = App.add_subcommand("demo", "Run the demonstration over an embedded SQLite file");
  // The callback, and with it this option storage, belongs to the command.
  auto path = std::make_shared<std::string>("demo.sqlite");
  cmd->add_option("--db", *path, "SQLite database file (created when missing)");
  cmd->callback([path, &Result] {
    std::cout << "qvl demo over " << *path << "\n";
    Result.Code = 0;
  });
}

}  // namespace qvl::tool
