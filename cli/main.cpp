#include "cli/commands.h"

int main(int argc, char** argv) { return tolverdine::cli::run(argc, argv); }
