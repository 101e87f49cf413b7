#include <cstdio>

int main(int, char**) {
  std::fprintf(stderr, "updater-lab: no subcommands yet\n");
  return 2;
}
