#pragma once

#include <optional>

namespace tarvolin {

// The agent's command line: none, --help or --version. Returns the exit status when the
// arguments ask for no agent (help, version, a usage error), nothing when it should run.
std::optional<int> handleAgentArguments(int argc, char** argv);

}  // namespace tarvolin
