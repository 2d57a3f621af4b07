// The tolverdine command line: one function per sub-command, dispatched by run().
#pragma once

namespace tolverdine::cli {

/// Runs the command named by argv[1]; returns the process exit code (64 for a usage error).
int run(int argc, char** argv);

}  // namespace tolverdine::cli
