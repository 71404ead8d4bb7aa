#pragma once
// The qvl tool's subcommands. Each registers itself on the application and
// leaves its exit status in the shared Status when it runs.

#include <CLI/CLI.hpp>

namespace qvl::tool {

struct Status {
  int Code = 0;
};

void AddDemoCommand(CLI::App& App, Status& Result);
void AddQueryCommand(CLI::App& App, Status& Result);
void AddRenderCommand(CLI::App& App, Status& Result);

}  // namespace qvl::tool
