// Where the files the program reads at run time (the terms of use) are: beside an installed
// program in ../share/tolverdine, else the source tree's resources/ of the build.
#pragma once

#include <string>

namespace tolverdine::cli {

/// exeDir/../share/tolverdine when it holds the terms, otherwise the source tree's folder.
std::string resourceDir(const std::string& exePath);
/// The same for the running program.
std::string resourceDir();

}  // namespace tolverdine::cli
