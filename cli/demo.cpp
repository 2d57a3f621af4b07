#include <cstdio>
#include <string>

namespace tolverdine::cli {

int runDemo(int, char**) {
  std::printf("demo: not built yet\n");
  return 0;
}

}  // namespace tolverdine::cli
