// qvl render: shows what a macro SQL text becomes.
#include "tools/Commands.h"

namespace qvl::tool {

void AddRenderCommand(CLI::App& App, Status& Result) {
  (void)App;
  (void)Result;
}

}  // namespace qvl::tool
