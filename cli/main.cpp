#include <cstdio>

#include "cli/commands.h"
#include "os/home.h"

int main(int argc, char** argv) {
  try {
    return tolverdine::cli::run(argc, argv);
  } catch (const tolverdine::HomeUnknown& e) {
    // Without a home there is no database, settings or log to fall back on: say so and stop.
    std::fprintf(stderr, "%s\n", e.what());
    return 2;
  }
}
